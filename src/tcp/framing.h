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
// Largest piece the encoder hands to the connection at once.
constexpr std::size_t FRAME_PIECE_BYTES = 64 * 1024;

// Builds frames into a reusable piece buffer and hands the pieces to a sink;
// a message whose frame fits one piece is one call of the sink. A 0x05 is
// never split from its partner across pieces.
class FrameEncoder {
public:
    // Returns false to stop encoding (the send failed).
    using Sink = std::function<bool(const unsigned char* piece, std::size_t length)>;

    // pieceBytes: at least 4.
    explicit FrameEncoder(std::size_t pieceBytes = FRAME_PIECE_BYTES);

    // Encodes one frame of `length` body bytes (0 gives the two marks only).
    // True when the sink took every piece.
    bool encode(const void* body, std::size_t length, const Sink& sink);

    // The whole frame as one buffer (tests and small callers).
    static std::vector<unsigned char> encodeToVector(const void* body, std::size_t length);

private:
    bool flush(const Sink& sink);
    bool putMark(const Sink& sink);

    std::vector<unsigned char> piece_;
    std::size_t used_ = 0;
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
};

}  // namespace wirekit::tcp
