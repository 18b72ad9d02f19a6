#include "tcp/framing.h"

#include <algorithm>
#include <cstring>

namespace wirekit::tcp {

namespace {
// First allocation of a message buffer; later ones double.
constexpr std::size_t MESSAGE_BUFFER_START = 256;
// Largest first allocation taken from the size of the message before.
constexpr std::size_t MESSAGE_HINT_LIMIT = 1 << 20;
}  // namespace

FrameEncoder::FrameEncoder(std::size_t stagingBytes, std::size_t directRunBytes)
    : staging_(std::max<std::size_t>(stagingBytes, 4)),
      directRunBytes_(std::max<std::size_t>(directRunBytes, 1)) {}

bool FrameEncoder::flush(const Sink& sink) {
    if (count_ == 0) return true;
    std::size_t n = count_;
    count_ = 0;
    used_ = 0;
    return sink(pieces_, n);
}

bool FrameEncoder::stage(const unsigned char* data, std::size_t length, const Sink& sink) {
    while (length > 0) {
        // Staged bytes that follow each other form one piece.
        bool extends = count_ > 0 && lastStaged_;
        if (used_ == staging_.size() || (!extends && count_ == MAX_PIECES)) {
            if (!flush(sink)) return false;
            extends = false;
        }
        std::size_t n = std::min(length, staging_.size() - used_);
        unsigned char* at = staging_.data() + used_;
        std::memcpy(at, data, n);
        used_ += n;
        data += n;
        length -= n;
        if (extends) {
            pieces_[count_ - 1].length += n;
        } else {
            pieces_[count_++] = {at, n};
            lastStaged_ = true;
        }
    }
    return true;
}

bool FrameEncoder::stagePair(unsigned char second, const Sink& sink) {
    if (staging_.size() - used_ < 2 && !flush(sink)) return false;
    const unsigned char pair[2] = {FRAME_ESC, second};
    return stage(pair, 2, sink);
}

bool FrameEncoder::direct(const unsigned char* data, std::size_t length, const Sink& sink) {
    if (count_ == MAX_PIECES && !flush(sink)) return false;
    pieces_[count_++] = {data, length};
    lastStaged_ = false;
    return true;
}

bool FrameEncoder::encode(const void* body, std::size_t length, const Sink& sink) {
    count_ = 0;
    used_ = 0;
    if (!stagePair(FRAME_BOUNDARY, sink)) return false;
    const auto* p = static_cast<const unsigned char*>(body);
    std::size_t i = 0;
    while (i < length) {
        const void* esc = std::memchr(p + i, FRAME_ESC, length - i);
        std::size_t end =
            esc ? static_cast<std::size_t>(static_cast<const unsigned char*>(esc) - p) : length;
        std::size_t run = end - i;
        bool ok = run >= directRunBytes_ ? direct(p + i, run, sink) : stage(p + i, run, sink);
        if (!ok) return false;
        i = end;
        if (esc) {
            if (!stagePair(FRAME_ESC, sink)) return false;
            ++i;
        }
    }
    if (!stagePair(FRAME_BOUNDARY, sink)) return false;
    return flush(sink);
}

FrameDecoder::FrameDecoder(std::size_t maxMessageBytes) : maxMessageBytes_(maxMessageBytes) {}

bool FrameDecoder::append(const unsigned char* data, std::size_t length) {
    std::size_t size = current_.size();
    if (length > maxMessageBytes_ - std::min(size, maxMessageBytes_)) return false;
    if (current_.capacity() < size + length) {
        // Doubling keeps the copying linear in the message size; the cap
        // keeps the buffer from overshooting what may ever be stored.
        std::size_t first = size == 0 ? std::min(lastMessageBytes_, MESSAGE_HINT_LIMIT) : 0;
        std::size_t grown =
            std::max({current_.capacity() * 2, size + length, MESSAGE_BUFFER_START, first});
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
        std::size_t end =
            esc ? static_cast<std::size_t>(static_cast<const unsigned char*>(esc) - data) : length;
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
    lastMessageBytes_ = out.size();
    // A message much smaller than the allocation the hint gave it would
    // hold that memory for as long as it waits in the queue.
    if (out.capacity() > 2 * out.size() + MESSAGE_BUFFER_START) out.shrink_to_fit();
    return out;
}

std::string FrameDecoder::takeHeader() {
    std::string out;
    out.swap(header_);
    return out;
}

}  // namespace wirekit::tcp
