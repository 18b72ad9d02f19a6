#include "tcp/framing.h"

#include <algorithm>
#include <cstring>

namespace wirekit::tcp {

namespace {
// First allocation of a message buffer; later ones double.
constexpr std::size_t MESSAGE_BUFFER_START = 256;
}  // namespace

FrameEncoder::FrameEncoder(std::size_t pieceBytes) : piece_(std::max<std::size_t>(pieceBytes, 4)) {}

bool FrameEncoder::flush(const Sink& sink) {
    if (used_ == 0) return true;
    std::size_t n = used_;
    used_ = 0;
    return sink(piece_.data(), n);
}

bool FrameEncoder::putMark(const Sink& sink) {
    if (piece_.size() - used_ < 2 && !flush(sink)) return false;
    piece_[used_++] = FRAME_ESC;
    piece_[used_++] = FRAME_BOUNDARY;
    return true;
}

bool FrameEncoder::encode(const void* body, std::size_t length, const Sink& sink) {
    used_ = 0;
    if (!putMark(sink)) return false;
    const auto* p = static_cast<const unsigned char*>(body);
    std::size_t i = 0;
    const std::size_t capacity = piece_.size();
    while (i < length) {
        if (capacity - used_ < 2 && !flush(sink)) return false;
        std::size_t take = std::min(length - i, capacity - used_);
        const void* esc = std::memchr(p + i, FRAME_ESC, take);
        std::size_t run = esc ? static_cast<std::size_t>(static_cast<const unsigned char*>(esc) - (p + i))
                              : take;
        std::memcpy(piece_.data() + used_, p + i, run);
        used_ += run;
        i += run;
        if (esc) {
            if (capacity - used_ < 2 && !flush(sink)) return false;
            piece_[used_++] = FRAME_ESC;
            piece_[used_++] = FRAME_ESC;
            ++i;
        }
    }
    if (!putMark(sink)) return false;
    return flush(sink);
}

std::vector<unsigned char> FrameEncoder::encodeToVector(const void* body, std::size_t length) {
    std::vector<unsigned char> out;
    FrameEncoder encoder(length * 2 + 4);
    encoder.encode(body, length, [&](const unsigned char* piece, std::size_t n) {
        out.insert(out.end(), piece, piece + n);
        return true;
    });
    return out;
}

FrameDecoder::FrameDecoder(std::size_t maxMessageBytes) : maxMessageBytes_(maxMessageBytes) {}

bool FrameDecoder::append(const unsigned char* data, std::size_t length) {
    std::size_t size = current_.size();
    if (length > maxMessageBytes_ - std::min(size, maxMessageBytes_)) return false;
    if (current_.capacity() < size + length) {
        // Doubling keeps the copying linear in the message size; the cap
        // keeps the buffer from overshooting what may ever be stored.
        std::size_t grown = std::max({current_.capacity() * 2, size + length, MESSAGE_BUFFER_START});
        current_.reserve(std::min(grown, maxMessageBytes_));
    }
    current_.insert(current_.end(), data, data + length);
    return true;
}

FrameDecoder::Step FrameDecoder::feed(const unsigned char* data, std::size_t length) {
    std::size_t i = 0;
    while (i < length) {
        if (escapePending_) {
            escapePending_ = false;
            unsigned char b = data[i++];
            switch (b) {
                case FRAME_BOUNDARY:
                    if (!current_.empty()) return {Outcome::Message, i};
                    break;
                case FRAME_OFFER_END:
                    // Without a header there is no offer to act on: the
                    // marker is dropped and the connection stays framed.
                    if (!current_.empty()) {
                        header_.assign(current_.begin(), current_.end());
                        current_ = std::vector<unsigned char>();
                        return {Outcome::OfferHeader, i};
                    }
                    break;
                case FRAME_ESC:
                    if (!append(&b, 1)) return {Outcome::TooLarge, i};
                    break;
                default: {
                    // A stray escape before an ordinary byte is kept as it came.
                    const unsigned char pair[2] = {FRAME_ESC, b};
                    if (!append(pair, 2)) return {Outcome::TooLarge, i};
                    break;
                }
            }
            continue;
        }
        const void* esc = std::memchr(data + i, FRAME_ESC, length - i);
        std::size_t end = esc ? static_cast<std::size_t>(static_cast<const unsigned char*>(esc) - data)
                              : length;
        if (end > i) {
            if (!append(data + i, end - i)) return {Outcome::TooLarge, end};
            i = end;
        }
        if (esc) {
            escapePending_ = true;
            ++i;
        }
    }
    return {Outcome::NeedMore, length};
}

std::vector<unsigned char> FrameDecoder::takeMessage() {
    std::vector<unsigned char> out;
    out.swap(current_);
    return out;
}

std::string FrameDecoder::takeHeader() {
    std::string out;
    out.swap(header_);
    return out;
}

}  // namespace wirekit::tcp
