// libFuzzer target for Des_Go.
//
// Input layout: byte 0 gives the key length (-4 to 27, so negative, short,
// single, triple and over-long keys all occur), byte 1 the mode bits (bit 0:
// work in place), then 16 key bytes, then the data, whose length is the
// length passed. Checks:
// - decrypting the encryption gives back the data, zero-padded to whole blocks;
// - nothing is written past the last block;
// - in place gives what separate buffers give;
// - every block is enciphered on its own (the several-blocks-at-once path
//   agrees with one block at a time over the first blocks);
// - the key is read as documented: a short key equals its zero-padded form,
//   bytes past 16 are ignored, and a 16-byte key whose halves are equal
//   equals single DES under that half.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wirekit.h"

namespace {

constexpr std::size_t GUARD_BYTES = 16;
constexpr unsigned char GUARD = 0x5a;
constexpr std::size_t KEY_AREA = 16;

[[noreturn]] void fail() { std::abort(); }

using Bytes = std::vector<unsigned char>;

// Runs Des_Go over `blocks` whole blocks of `in` (length `length`), into a
// fresh guarded buffer or in place, and returns the blocks.
Bytes run(const Bytes& in, int length, const unsigned char* key, int keyLength, bool decrypt,
          bool inPlace) {
    const std::size_t span = (static_cast<std::size_t>(length) + 7) / 8 * 8;
    Bytes buffer(span + GUARD_BYTES, GUARD);
    if (in.size() < span) fail();
    std::memcpy(buffer.data(), in.data(), span);
    Bytes separate;
    unsigned char* out = buffer.data();
    const unsigned char* from = buffer.data();
    if (!inPlace) {
        separate.assign(span + GUARD_BYTES, GUARD);
        out = separate.data();
    }
    if (!Des_Go(out, from, length, key, keyLength, decrypt)) fail();
    const Bytes& result = inPlace ? buffer : separate;
    for (std::size_t k = span; k < result.size(); ++k) {
        if (result[k] != GUARD) fail();
    }
    return Bytes(result.begin(), result.begin() + static_cast<std::ptrdiff_t>(span));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 + KEY_AREA + 1) return 0;
    const int keyLength = static_cast<int>(data[0] % 32) - 4;
    const bool inPlace = data[1] & 1;
    // The key is an exact-size copy, so reading past what keyLength allows
    // is caught.
    const std::size_t keyBytes = static_cast<std::size_t>(std::clamp(keyLength, 0, 16));
    const Bytes key(data + 2, data + 2 + keyBytes);
    const unsigned char* keyPtr = keyBytes == 0 ? data + 2 : key.data();
    const Bytes plain(data + 2 + KEY_AREA, data + size);
    const int length = static_cast<int>(plain.size());
    Bytes padded = plain;
    padded.resize((plain.size() + 7) / 8 * 8, 0);

    const Bytes cipher = run(padded, length, keyPtr, keyLength, false, inPlace);
    if (run(cipher, length, keyPtr, keyLength, true, inPlace) != padded) fail();
    if (run(padded, length, keyPtr, keyLength, false, !inPlace) != cipher) fail();

    // Block by block, as single-block calls; the first nine blocks cover
    // both the several-at-once path and the single-block tail.
    for (std::size_t at = 0; at < std::min<std::size_t>(padded.size(), 72); at += 8) {
        const Bytes block(padded.begin() + static_cast<std::ptrdiff_t>(at),
                          padded.begin() + static_cast<std::ptrdiff_t>(at + 8));
        const Bytes one = run(block, 8, keyPtr, keyLength, false, false);
        if (!std::equal(one.begin(), one.end(), cipher.begin() + static_cast<std::ptrdiff_t>(at)))
            fail();
    }

    // The key as documented.
    unsigned char area[KEY_AREA + 8] = {};
    std::memcpy(area, data + 2, keyBytes);
    const int effective = keyBytes <= 8 ? 8 : 16;
    if (run(padded, length, area, effective, false, false) != cipher) fail();
    if (run(padded, length, area, static_cast<int>(KEY_AREA) + 8, false, false) !=
        run(padded, length, area, 16, false, false))
        fail();
    unsigned char doubled[KEY_AREA];
    std::memcpy(doubled, area, 8);
    std::memcpy(doubled + 8, area, 8);
    if (run(padded, length, doubled, 16, false, false) !=
        run(padded, length, area, 8, false, false))
        fail();
    return 0;
}
