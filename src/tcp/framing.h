// The byte-stuffed framing of TCP messages: a pure codec, bytes in and out.
//
// On the wire a message is 0x05 0x07, the body with every 0x05 doubled, and
// 0x05 0x07 again. The receiver takes every 0x05 0x07 as the end of whatever
// it has collected and drops empty collections, so the start mark only
// closes an empty message. A non-empty collection closed by 0x05 0x06 is the
// header of a file offer instead; what follows it on the connection is no
// longer framed.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include "tcp/message_bytes.h"
#include "wirekit.h"

namespace wirekit::tcp {

constexpr unsigned char FRAME_ESC = 0x05;
constexpr unsigned char FRAME_BOUNDARY = 0x07;
constexpr unsigned char FRAME_OFFER_END = 0x06;
// The longest collection that 0x05 0x06 may close as a file-offer header:
// "SENDFILE:", a name of 259 bytes, a comma and 20 digits, with room to
// spare. A longer one cannot be an offer this library makes or reads.
constexpr std::size_t OFFER_HEADER_MAX = 1024;
// Largest size of the encoder's staging buffer, besides the 4 KiB a long
// body's frame may start into. A message whose frame fits leaves in one
// batch; a longer one in a batch per this many bytes.
constexpr std::size_t FRAME_STAGING_BYTES = 256 * 1024;
// Body runs without an escape that reach this length are sent from the body
// itself instead of being copied.
constexpr std::size_t FRAME_DIRECT_RUN_BYTES = 4096;

// The loop the codec runs. Both scan and copy in one pass, a lane of bytes
// at a time; they differ only in the lane. Sse2 takes 32 bytes in two 16-byte
// vectors where the compiler targets SSE2 and is the portable loop
// elsewhere; Portable takes 8 bytes in a 64-bit word. Native is Sse2 with the
// 64-byte AVX-512 lanes in front where the build has them and the processor
// runs them. Every build has all three, so that tests can check each.
enum class FrameKernel { Native, Sse2, Portable };
// What `kernel` runs in this process: "avx512", "sse2" or "portable".
const char* frameKernelName(FrameKernel kernel);

// A stretch of frame bytes; valid until the sink that received it returns.
struct FramePiece {
    const unsigned char* data;
    std::size_t length;
};

// Turns a body into frame bytes and hands them to a sink in batches of at
// most MAX_PIECES pieces, each batch meant for one gathered send. The body is
// scanned and copied into a staging buffer in one pass, the escapes doubled
// on the way; the buffer is sized for the whole frame (the body plus 1/128
// for escapes, grown when a message needed more), so a message is one batch
// of one piece unless its frame passes stagingBytes. Runs without an escape
// that reach directRunBytes are handed over where they lie in the body
// instead. A 0x05 is never split from its partner between two batches.
class FrameEncoder {
public:
    static constexpr std::size_t MAX_PIECES = 64;
    // Takes one batch; returns false to stop encoding (the send failed).
    using Sink = bool (*)(void* context, const FramePiece* pieces, std::size_t count);

    // stagingBytes: the largest staging buffer, at least 4.
    explicit FrameEncoder(std::size_t stagingBytes = FRAME_STAGING_BYTES,
                          std::size_t directRunBytes = FRAME_DIRECT_RUN_BYTES,
                          FrameKernel kernel = FrameKernel::Native);

    // Encodes one frame of `length` body bytes (0 gives the two marks only).
    // True when the sink took every batch.
    bool encode(const void* body, std::size_t length, Sink sink, void* context);
    // The same with any callable taking (pieces, count), called in place.
    template <typename Fn>
    bool encode(const void* body, std::size_t length, Fn&& fn) {
        using Callable = std::remove_reference_t<Fn>;
        return encode(
            body, length,
            [](void* context, const FramePiece* pieces, std::size_t count) {
                return static_cast<bool>((*static_cast<Callable*>(context))(pieces, count));
            },
            const_cast<void*>(static_cast<const void*>(&fn)));
    }

    // Bytes of the staging buffer (for tests).
    std::size_t stagingCapacity() const { return staging_.size(); }

private:
    template <typename Lane>
    bool run(const unsigned char* body, std::size_t length, Sink sink, void* context);
    void prepare(std::size_t length);
    // True when the frame of a body of `length` bytes is staged away from
    // the body (see run()).
    bool placesFrame(std::size_t length) const;

    MessageBytes staging_;  // written before it is read: never zeroed
    std::size_t stagingLimit_;
    std::size_t directRunBytes_;
    FrameKernel kernel_;
    bool wideLanes_;  // the AVX-512 lanes go first
    // The last frame did not fit the buffer sized for it: the next one
    // doubles it (up to stagingLimit_).
    bool overflowed_ = false;
    FramePiece pieces_[MAX_PIECES];
    std::size_t count_ = 0;
};

// Rebuilds messages from the bytes of one connection, a block at a time. The
// state (a pending escape, the message being collected) carries over from one
// block to the next. Each block is scanned and copied straight into the
// message's buffer in one pass.
class FrameDecoder {
public:
    enum class Outcome {
        NeedMore,     // every byte was used; feed the next block
        Message,      // a message is complete: takeMessage()
        OfferHeader,  // a file-offer header is complete: takeHeader(); the
                      // rest of the block is no longer framed
        TooLarge,     // the collection grew past the cap; the connection
                      // must be given up
    };
    struct Step {
        Outcome outcome;
        std::size_t consumed;  // bytes of the block used up to the outcome
    };

    explicit FrameDecoder(std::size_t maxMessageBytes = MAX_MESSAGE_BYTES,
                          FrameKernel kernel = FrameKernel::Native);

    // Decodes from the start of [data, data + length) up to the first outcome
    // other than NeedMore. Call again with the rest of the block.
    Step feed(const unsigned char* data, std::size_t length);

    MessageBytes takeMessage();
    std::string takeHeader();

    // Bytes of the message being collected.
    std::size_t collected() const { return size_; }
    // Memory the decoder holds now (what it allocated, not what it filled).
    std::size_t memory() const { return current_.capacity() + header_.capacity(); }
    // The most memory() can grow while `bytes` more bytes are fed, by the
    // growth rule of feed(): for a caller that accounts for memory before it
    // reads.
    std::size_t growthFor(std::size_t bytes) const;

private:
    template <typename Lane>
    Step run(const unsigned char* data, std::size_t length);
    // Makes the buffer larger; false when it already has the cap's size.
    bool grow();
    // The area grow() makes of `area` (`empty`: no byte collected yet).
    std::size_t grownArea(std::size_t area, bool empty) const;

    // The message being collected: its first size_ bytes. The vector's size
    // is its capacity, the area the decoder writes into.
    MessageBytes current_;
    std::size_t size_ = 0;
    std::string header_;
    bool escapePending_ = false;
    std::size_t maxMessageBytes_;
    FrameKernel kernel_;
    bool wideLanes_;  // the AVX-512 lanes go first
    // Size of the last message, used as the first allocation of the next:
    // a stream of similar messages then never regrows a buffer.
    std::size_t lastMessageBytes_ = 0;
};

}  // namespace wirekit::tcp
