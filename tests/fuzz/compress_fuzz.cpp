// libFuzzer target for Compress and Uncompress.
//
// Input layout: bytes 0-1 (little-endian) give a capacity, the rest is both
// a would-be compressed stream and a body to compress. Every output buffer is
// followed by a guard region that must come back untouched, and a reported
// length never exceeds the capacity. Uncompress must report success only for
// the whole output: the same stream into one byte less must fail. Compress
// must succeed whenever the capacity is CompressBound, and what it gives must
// uncompress to the body; with a smaller capacity it may fail but must not
// overrun.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wirekit.h"

namespace {

constexpr int Z_OK_STATUS = 0;
constexpr int Z_BUF_ERROR_STATUS = -5;
constexpr std::size_t GUARD_BYTES = 64;
constexpr unsigned char GUARD = 0xa5;

[[noreturn]] void fail() { std::abort(); }

// A buffer of `capacity` bytes followed by the guard region.
struct Guarded {
    explicit Guarded(std::size_t capacity) : bytes(capacity + GUARD_BYTES, GUARD), size(capacity) {}
    unsigned char* data() { return bytes.data(); }
    void checkGuard() const {
        for (std::size_t k = size; k < bytes.size(); ++k) {
            if (bytes[k] != GUARD) fail();
        }
    }
    std::vector<unsigned char> bytes;
    std::size_t size;
};

// Uncompresses `stream` into `capacity` bytes; returns the status and, on
// success, the output in `out`.
int uncompressInto(const std::vector<unsigned char>& stream, std::size_t capacity,
                   std::vector<unsigned char>& out) {
    Guarded dest(capacity);
    unsigned int destLen = static_cast<unsigned int>(capacity);
    // A non-null source for an empty stream: null is a separate error.
    const unsigned char none = 0;
    const int status = Uncompress(dest.data(), &destLen, stream.empty() ? &none : stream.data(),
                                  static_cast<unsigned int>(stream.size()));
    dest.checkGuard();
    if (destLen > capacity) fail();
    out.assign(dest.bytes.begin(), dest.bytes.begin() + destLen);
    return status;
}

void checkUncompress(const std::vector<unsigned char>& stream, std::size_t capacity) {
    std::vector<unsigned char> out;
    if (uncompressInto(stream, capacity, out) != Z_OK_STATUS) return;
    // Success was the whole stream: exactly that much room gives the same,
    // one byte less must not succeed.
    std::vector<unsigned char> again;
    if (uncompressInto(stream, out.size(), again) != Z_OK_STATUS || again != out) fail();
    if (!out.empty() && uncompressInto(stream, out.size() - 1, again) == Z_OK_STATUS) fail();
}

void checkCompress(const std::vector<unsigned char>& body, std::size_t capacity) {
    const unsigned int n = static_cast<unsigned int>(body.size());
    const unsigned char none = 0;
    const unsigned char* source = body.empty() ? &none : body.data();
    for (std::size_t room : {static_cast<std::size_t>(CompressBound(n)), capacity}) {
        Guarded dest(room);
        unsigned int destLen = static_cast<unsigned int>(room);
        const int status = Compress(dest.data(), &destLen, source, n);
        dest.checkGuard();
        if (room == CompressBound(n) && status != Z_OK_STATUS) fail();
        if (status != Z_OK_STATUS) {
            if (status != Z_BUF_ERROR_STATUS) fail();
            continue;
        }
        if (destLen > room) fail();
        const std::vector<unsigned char> stream(dest.bytes.begin(), dest.bytes.begin() + destLen);
        std::vector<unsigned char> back;
        if (uncompressInto(stream, body.size(), back) != Z_OK_STATUS || back != body) fail();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t capacity = data[0] | std::size_t{data[1]} << 8;
    const std::vector<unsigned char> rest(data + 2, data + size);
    checkUncompress(rest, capacity);
    checkCompress(rest, capacity);
    return 0;
}
