// libFuzzer target for the TCP frame codec.
//
// Input layout: byte 0 picks the message cap, byte 1 the count k of split
// bytes that follow (k % 32), then k split bytes, then the connection's bytes.
// The split bytes, used in turn, give the lengths of the blocks the stream is
// fed in (0 feeds an empty block), so the input chooses every split point.
//
// The decoder must deliver exactly what a byte-at-a-time reference decoder
// delivers, hand over to unframed data at the same stream position after an
// offer header, and give up at the same point when the cap is passed. The
// encoder, fed the stream as a body with input-chosen buffer sizes, must give
// the reference framing, never cut an escape from its partner between two
// sends, and decode back to the body. Both run with each loop: the native
// one (AVX-512 lanes in front where built and run), SSE2 where built, and the
// portable one. Before the first input, a sweep puts escapes at every offset
// of a body longer than three 64-byte lanes and feeds the frames cut at every
// point, so that lane edges and block ends are always covered.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tcp/framing.h"

using wirekit::tcp::FRAME_BOUNDARY;
using wirekit::tcp::FRAME_ESC;
using wirekit::tcp::FRAME_OFFER_END;
using wirekit::tcp::FrameDecoder;
using wirekit::tcp::FrameEncoder;
using wirekit::tcp::FrameKernel;
using wirekit::tcp::FramePiece;
using Bytes = std::vector<unsigned char>;

namespace {

enum class End { Open, Offer, TooLarge };

struct Decoded {
    std::vector<Bytes> messages;
    std::string header;
    End end = End::Open;
    std::size_t endAt = 0;  // stream offset just past the byte that ended decoding
};

[[noreturn]] void fail() { std::abort(); }

// The framing rules one byte at a time, with nothing clever in them.
Decoded referenceDecode(const Bytes& stream, std::size_t cap) {
    Decoded out;
    Bytes current;
    bool escape = false;
    auto add = [&](unsigned char b) {
        if (current.size() >= cap) return false;
        current.push_back(b);
        return true;
    };
    for (std::size_t i = 0; i < stream.size(); ++i) {
        const unsigned char b = stream[i];
        bool ok = true;
        if (!escape) {
            if (b == FRAME_ESC) {
                escape = true;
            } else {
                ok = add(b);
            }
        } else {
            escape = false;
            if (b == FRAME_BOUNDARY) {
                if (!current.empty()) out.messages.push_back(std::move(current));
                current.clear();
            } else if (b == FRAME_OFFER_END) {
                if (!current.empty()) {
                    // A collection longer than any offer header is handed
                    // over cut just past that length.
                    const std::size_t kept =
                        std::min(current.size(), wirekit::tcp::OFFER_HEADER_MAX + 1);
                    out.header.assign(current.begin(), current.begin() + kept);
                    out.end = End::Offer;
                    out.endAt = i + 1;
                    return out;
                }
            } else if (b == FRAME_ESC) {
                ok = add(b);
            } else {
                ok = add(FRAME_ESC) && add(b);
            }
        }
        if (!ok) {
            out.end = End::TooLarge;
            return out;
        }
    }
    return out;
}

// Drives the decoder as a session does, over blocks whose lengths come from
// `splits` in turn.
Decoded decodeInBlocks(const Bytes& stream, const unsigned char* splits, std::size_t splitCount,
                       std::size_t cap, FrameKernel kernel) {
    Decoded out;
    FrameDecoder decoder(cap, kernel);
    std::size_t offset = 0;
    std::size_t nextSplit = 0;
    std::size_t emptyFeeds = 0;
    while (offset < stream.size()) {
        std::size_t length = stream.size() - offset;
        if (splitCount > 0) {
            std::size_t want = splits[nextSplit++ % splitCount];
            // A run of empty blocks would never end; cap it.
            if (want == 0 && ++emptyFeeds > 64) want = 1;
            if (want < length) length = want;
        }
        // Blocks are fed where they lie in the stream, which is an exact-size
        // allocation: a read past the last block is caught, and a read past
        // any other shows as decoding that differs from the reference.
        const unsigned char* block = stream.data() + offset;
        std::size_t pos = 0;
        for (;;) {
            const FrameDecoder::Step step = decoder.feed(block + pos, length - pos);
            if (step.consumed > length - pos) fail();
            if (decoder.collected() > cap) fail();
            pos += step.consumed;
            switch (step.outcome) {
                case FrameDecoder::Outcome::NeedMore:
                    if (pos != length) fail();
                    break;
                case FrameDecoder::Outcome::Message: {
                    if (step.consumed == 0) fail();
                    const wirekit::tcp::MessageBytes taken = decoder.takeMessage();
                    Bytes message(taken.begin(), taken.end());
                    if (message.empty() || decoder.collected() != 0) fail();
                    out.messages.push_back(std::move(message));
                    continue;
                }
                case FrameDecoder::Outcome::OfferHeader:
                    out.header = decoder.takeHeader();
                    out.end = End::Offer;
                    out.endAt = offset + pos;
                    return out;
                case FrameDecoder::Outcome::TooLarge:
                    out.end = End::TooLarge;
                    return out;
            }
            break;
        }
        offset += length;
    }
    return out;
}

// The framing of one body, one byte at a time; `pairSecond[k]` marks bytes
// that complete an escape pair.
Bytes referenceEncode(const Bytes& body, std::vector<bool>& pairSecond) {
    Bytes out{FRAME_ESC, FRAME_BOUNDARY};
    pairSecond = {false, true};
    for (unsigned char b : body) {
        if (b == FRAME_ESC) {
            out.push_back(FRAME_ESC);
            pairSecond.push_back(false);
            out.push_back(FRAME_ESC);
            pairSecond.push_back(true);
        } else {
            out.push_back(b);
            pairSecond.push_back(false);
        }
    }
    out.push_back(FRAME_ESC);
    pairSecond.push_back(false);
    out.push_back(FRAME_BOUNDARY);
    pairSecond.push_back(true);
    return out;
}

void checkEncoder(const Bytes& body, std::size_t stagingBytes, std::size_t directRunBytes,
                  FrameKernel kernel) {
    std::vector<bool> pairSecond;
    const Bytes expected = referenceEncode(body, pairSecond);
    Bytes sent;
    FrameEncoder encoder(stagingBytes, directRunBytes, kernel);
    const bool ok =
        encoder.encode(body.data(), body.size(), [&](const FramePiece* pieces, std::size_t count) {
            if (count == 0 || count > FrameEncoder::MAX_PIECES) fail();
            for (std::size_t k = 0; k < count; ++k) {
                if (pieces[k].length == 0) fail();
                sent.insert(sent.end(), pieces[k].data, pieces[k].data + pieces[k].length);
            }
            // A send must not end between the two
            // bytes of an escape pair.
            if (sent.size() > expected.size() ||
                (sent.size() < expected.size() && pairSecond[sent.size()]))
                fail();
            return true;
        });
    if (!ok || sent != expected) fail();

    const Decoded back = decodeInBlocks(sent, nullptr, 0, body.size() + 1, kernel);
    if (back.end != End::Open) fail();
    if (body.empty() ? !back.messages.empty()
                     : back.messages.size() != 1 || back.messages[0] != body)
        fail();
}

constexpr FrameKernel KERNELS[] = {FrameKernel::Native, FrameKernel::Sse2, FrameKernel::Portable};

// `expected` is the reference decoding of `stream` under `cap`.
void checkDecoderAgainst(const Decoded& expected, const Bytes& stream, const unsigned char* splits,
                         std::size_t splitCount, std::size_t cap) {
    for (FrameKernel kernel : KERNELS) {
        const Decoded got = decodeInBlocks(stream, splits, splitCount, cap, kernel);
        if (got.messages != expected.messages || got.end != expected.end) fail();
        if (got.end == End::Offer && (got.header != expected.header || got.endAt != expected.endAt))
            fail();
    }
}

void checkDecoder(const Bytes& stream, const unsigned char* splits, std::size_t splitCount,
                  std::size_t cap) {
    checkDecoderAgainst(referenceDecode(stream, cap), stream, splits, splitCount, cap);
}

// One body with an escape at `at` (alone, doubled, or before a mark byte or
// an ordinary one): encoded with staging buffers around a lane's width, and
// its frame, followed by the body itself as raw stream bytes (where a lone
// escape before 0x07 or 0x06 is a mark), fed in blocks: a first one cut at
// each point up to 66 bytes (every alignment of the widest lane and the
// pair across its end), then blocks of 255.
void sweepBody(std::size_t length, std::size_t at, unsigned char next) {
    Bytes body(length);
    for (std::size_t k = 0; k < length; ++k)
        body[k] = static_cast<unsigned char>(0x20 + (k * 7) % 90);
    body[at] = FRAME_ESC;
    if (at + 1 < length) body[at + 1] = next;
    for (FrameKernel kernel : KERNELS) {
        for (std::size_t staging : {4u, 33u, 34u, 35u, 129u, 130u, 131u, 4096u})
            checkEncoder(body, staging, 4096, kernel);
        checkEncoder(body, 4096, 16, kernel);
    }
    std::vector<bool> pairSecond;
    Bytes stream = referenceEncode(body, pairSecond);
    stream.insert(stream.end(), body.begin(), body.end());
    const Decoded expected = referenceDecode(stream, 1 << 20);
    for (std::size_t cut = 0; cut <= std::min<std::size_t>(stream.size(), 66); ++cut) {
        const unsigned char split[2] = {static_cast<unsigned char>(cut), 255};
        checkDecoderAgainst(expected, stream, split, 2, 1 << 20);
    }
    checkDecoder(stream, nullptr, 0, length);
}

// Escapes at every offset of a 200-byte body (more than three 64-byte
// lanes), and at the end of bodies of every length up to that.
void sweepLanes() {
    constexpr std::size_t LONGEST = 200;
    for (int next : {int{FRAME_ESC}, int{FRAME_BOUNDARY}, int{FRAME_OFFER_END}, 0x41}) {
        const auto second = static_cast<unsigned char>(next);
        for (std::size_t at = 0; at < LONGEST; ++at) sweepBody(LONGEST, at, second);
        for (std::size_t length = 1; length < LONGEST; ++length) {
            sweepBody(length, length - 1, second);
            if (length >= 2) sweepBody(length, length - 2, second);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool swept = (sweepLanes(), true);
    (void)swept;
    if (size < 2) return 0;
    // Small caps make the limit reachable; 0xff keeps the library's own.
    const std::size_t cap = data[0] == 0xff ? MAX_MESSAGE_BYTES : std::size_t{data[0]} + 1;
    const std::size_t splitCount = std::min<std::size_t>(data[1] % 32, size - 2);
    const unsigned char* splits = data + 2;
    const Bytes stream(data + 2 + splitCount, data + size);

    checkDecoder(stream, splits, splitCount, cap);

    // Staging buffers from 4 bytes up and direct runs from 1 byte up reach
    // every batching path with small inputs; a 16 KiB buffer places a frame
    // of 1 KiB or more away from its body.
    const std::size_t staging = 4 + (splitCount > 0 ? splits[0] % 61 : 60);
    const std::size_t directRun = 1 + (splitCount > 1 ? splits[1] % 64 : 4095);
    for (FrameKernel kernel : KERNELS) {
        checkEncoder(stream, staging, directRun, kernel);
        if (stream.size() >= 1024) checkEncoder(stream, 16384, directRun, kernel);
    }
    return 0;
}
