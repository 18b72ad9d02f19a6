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
#include <functional>
#include <string>
#include <vector>

#include "wirekit.h"

namespace wirekit::tcp {

constexpr unsigned char FRAME_ESC = 0x05;
constexpr unsigned char FRAME_BOUNDARY = 0x07;
constexpr unsigned char FRAME_OFFER_END = 0x06;
// The longest collection that 0x05 0x06 may close as a file-offer header:
// "SENDFILE:", a name of 259 bytes, a comma and 20 digits, with room to
// spare. A longer one cannot be an offer this library makes or reads.
constexpr std::size_t OFFER_HEADER_MAX = 1024;
// Size of the encoder's buffer for marks, escapes and short runs.
constexpr std::size_t FRAME_STAGING_BYTES = 64 * 1024;
// Body runs without an escape at least this long are sent from the body
// itself instead of being copied.
constexpr std::size_t FRAME_DIRECT_RUN_BYTES = 4096;

// A stretch of frame bytes; valid until the sink that received it returns.
struct FramePiece {
    const unsigned char* data;
    std::size_t length;
};

// Turns a body into frame bytes and hands them to a sink in batches of at
// most MAX_PIECES pieces, each batch meant for one gathered send. Marks,
// doubled escapes and short runs are copied into a staging buffer; long runs
// are handed over where they lie in the body. A small message is one batch
// of one piece; a long one costs a send per 64 KiB of staged bytes or per
// MAX_PIECES pieces at most. A 0x05 is never split from its partner.
class FrameEncoder {
public:
    static constexpr std::size_t MAX_PIECES = 64;
    // Returns false to stop encoding (the send failed).
    using Sink = std::function<bool(const FramePiece* pieces, std::size_t count)>;

    // stagingBytes: at least 4.
    explicit FrameEncoder(std::size_t stagingBytes = FRAME_STAGING_BYTES,
                          std::size_t directRunBytes = FRAME_DIRECT_RUN_BYTES);

    // Encodes one frame of `length` body bytes (0 gives the two marks only).
    // True when the sink took every batch.
    bool encode(const void* body, std::size_t length, const Sink& sink);

private:
    bool flush(const Sink& sink);
    bool stage(const unsigned char* data, std::size_t length, const Sink& sink);
    bool stagePair(unsigned char second, const Sink& sink);
    bool direct(const unsigned char* data, std::size_t length, const Sink& sink);

    std::vector<unsigned char> staging_;
    std::size_t used_ = 0;
    std::size_t directRunBytes_;
    FramePiece pieces_[MAX_PIECES];
    std::size_t count_ = 0;
    bool lastStaged_ = false;  // the last piece lies in staging_
};

// Rebuilds messages from the bytes of one connection, a block at a time. The
// state (a pending escape, the message being collected) carries over from one
// block to the next.
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

    explicit FrameDecoder(std::size_t maxMessageBytes = MAX_MESSAGE_BYTES);

    // Decodes from the start of [data, data + length) up to the first outcome
    // other than NeedMore. Call again with the rest of the block.
    Step feed(const unsigned char* data, std::size_t length);

    std::vector<unsigned char> takeMessage();
    std::string takeHeader();

    // Bytes of the message being collected.
    std::size_t collected() const { return current_.size(); }

private:
    bool append(const unsigned char* data, std::size_t length);

    std::vector<unsigned char> current_;
    std::string header_;
    bool escapePending_ = false;
    std::size_t maxMessageBytes_;
    // Size of the last message, used as the first allocation of the next:
    // a stream of similar messages then never regrows a buffer.
    std::size_t lastMessageBytes_ = 0;
};

}  // namespace wirekit::tcp
