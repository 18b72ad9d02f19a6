#include "tcp/session.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

#include "core/timing.h"
#include "tcp/framing.h"
#include "tcp/receive_budget.h"
#include "tcp/tcp_endpoint.h"
#include "wirekit.h"

namespace wirekit::tcp {

Session::Session(TcpEndpoint& endpoint, platform::Socket socket, std::string peerAddress)
    : endpoint_(endpoint), socketNumber_(socket), peerAddress_(std::move(peerAddress)) {}

bool Session::raise(int code, int param) { return endpoint_.raise(code, param); }

void Session::requestStop(bool bothDirections) {
    stop_.store(true);
    socket_.shutdown(bothDirections);
    wake();
}

Session::WaitEnd Session::waitUntil(const std::function<bool()>& ready, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    platform::Wakeup* wakeup;
    {
        std::lock_guard<std::mutex> guard(waitLock_);
        if (!wakeup_) wakeup_.reset(platform::createWakeup());
        wakeup = wakeup_.get();
    }
    // Once the peer has sent bytes that stay unread, its socket reads as
    // ready for good; from then on it is looked at this often instead.
    constexpr int LOOK_AGAIN_MS = 200;
    bool bytesWaiting = false;
    for (;;) {
        if (wakeup) platform::clearWakeup(wakeup);
        if (stop_.load()) return WaitEnd::Stopped;
        if (ready()) return WaitEnd::Ready;
        int waitMs = -1;
        if (timeoutMs >= 0) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) return WaitEnd::TimedOut;
            waitMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        int woke;  // 1: look at the connection, 2: woken, 0: time up
        if (!wakeup) {
            // No wake-up to be had (no descriptors left): the condition and
            // the connection are looked at in short turns.
            std::unique_lock<std::mutex> guard(waitLock_);
            const int slice = waitMs < 0 ? LOOK_AGAIN_MS : std::min(waitMs, LOOK_AGAIN_MS);
            woken_.wait_for(guard, std::chrono::milliseconds(slice),
                            [&] { return stop_.load() || ready(); });
            woke = 1;
        } else if (!bytesWaiting) {
            woke = socket_.waitInputOrWake(wakeup, waitMs);
        } else {
            const int slice = waitMs < 0 ? LOOK_AGAIN_MS : std::min(waitMs, LOOK_AGAIN_MS);
            woke = platform::waitWoken(wakeup, slice) == 1 ? 2 : 1;
        }
        if (woke != 1 && woke >= 0) continue;
        if (stop_.load()) return WaitEnd::Stopped;
        const int look = woke < 0 ? -1 : socket_.peek();
        if (look == 1) {
            bytesWaiting = true;
        } else if (look == 0 || look == -1) {
            return WaitEnd::PeerGone;
        }
    }
}

void Session::wake() {
    {
        // Taking the lock orders this wake-up after a waiter's last look at
        // its condition, so it cannot fall between the look and the wait.
        std::lock_guard<std::mutex> guard(waitLock_);
        if (wakeup_) platform::raiseWakeup(wakeup_.get());
    }
    woken_.notify_all();
}

namespace {

// The session's read block: allocated when data arrives, given back while
// the session waits (large buffers given back are kept a while for reuse, so
// a connection that keeps catching up with its sender does not fault in a
// fresh block each time).
class ReadBlock {
public:
    unsigned char* get(std::size_t bytes) {
        if (data_.size() < bytes) {
            release();
            data_.resize(bytes);
        }
        return data_.data();
    }
    void release() { data_ = MessageBytes(); }
    std::size_t capacity() const { return data_.capacity(); }

private:
    MessageBytes data_;
};

// File mode with nobody to serve it: the rest of the connection is not
// framed, so it is read and dropped until the connection ends.
void discardFileStream(Session& session) {
    std::vector<unsigned char> block(SESSION_BLOCK_MIN_BYTES);
    while (!session.stopRequested()) {
        int n = session.socket().receive(block.data(), static_cast<int>(block.size()),
                                         timing::readTimeoutMs());
        if (n <= 0) break;
    }
    session.raise(TCP_EV_DISCONNECTED, 0);
}

// Hands the connection to the file side once a header ended with 0x05 0x06.
void enterFileMode(Session& session, std::string header, std::vector<unsigned char> leftover) {
    // Only a short text can be an offer; a longer one is not held on to (it
    // would stay alive while the host decides).
    if (header.size() > OFFER_HEADER_MAX) {
        session.raise(TCP_EV_DISCONNECTED, 0);
        return;
    }
    if (auto handler = session.endpoint().fileModeHandler()) {
        handler->runFileMode(session, std::move(header), leftover.data(), leftover.size());
    } else {
        discardFileStream(session);
    }
}

void messageLoop(Session& session) {
    ReceiveBudget& budget = session.endpoint().budget();
    FrameDecoder decoder;
    ReadBlock block;
    // Reads that go on without waiting take a whole block each.
    const std::size_t want =
        std::min(SESSION_BLOCK_MAX_BYTES, std::max(SESSION_BLOCK_MIN_BYTES, budget.limit() / 4));
    // What `bytes` fed to the decoder can make it allocate, never less than
    // the bytes themselves.
    auto messageGrowth = [&decoder](std::size_t bytes) {
        return std::max(bytes, decoder.growthFor(bytes));
    };
    bool moreWaiting = false;
    // The first read after a wait lands here, on the session's stack: the
    // wait and the read are then one call, and an idle session holds no
    // block and nothing of the budget.
    unsigned char first[SESSION_FIRST_READ_BYTES];
    for (;;) {
        unsigned char* data;
        std::size_t length;
        if (!moreWaiting) {
            block.release();
            budget.settle(session, decoder.memory());
            if (session.stopRequested()) {
                session.raise(TCP_EV_DISCONNECTED, 0);
                return;
            }
            const int n = session.socket().receive(first, sizeof first, timing::readTimeoutMs());
            // The bytes are counted before they are decoded; a budget the
            // queue has filled holds the session here, reading nothing more.
            if (n <= 0 || session.stopRequested() ||
                !budget.reserve(session, messageGrowth(static_cast<std::size_t>(n)))) {
                session.raise(TCP_EV_DISCONNECTED, 0);
                return;
            }
            data = first;
            length = static_cast<std::size_t>(n);
            // A full first read means a stream is under way: the next read
            // takes as much as a block holds.
            moreWaiting = length == sizeof first;
        } else {
            // A stopped session ends even when the peer keeps sending: bytes
            // already queued would otherwise keep it reading.
            // Room for this read: its block, and what the bytes it brings can
            // make the message buffers allocate.
            const std::size_t more =
                (want > block.capacity() ? want - block.capacity() : 0) + messageGrowth(want);
            if (session.stopRequested() || !budget.reserve(session, more)) {
                session.raise(TCP_EV_DISCONNECTED, 0);
                return;
            }
            data = block.get(want);
            const int n = session.socket().receiveNow(data, static_cast<int>(want));
            if (n == net::StreamSocket::NOTHING_WAITING) {
                budget.settle(session, block.capacity() + decoder.memory());
                moreWaiting = false;
                continue;
            }
            if (n <= 0 || session.stopRequested()) {
                session.raise(TCP_EV_DISCONNECTED, 0);
                return;
            }
            length = static_cast<std::size_t>(n);
            moreWaiting = length == want;
        }
        std::size_t pos = 0;
        while (pos < length) {
            FrameDecoder::Step step = decoder.feed(data + pos, length - pos);
            pos += step.consumed;
            switch (step.outcome) {
                case FrameDecoder::Outcome::NeedMore:
                    break;
                case FrameDecoder::Outcome::Message: {
                    MessageBytes message = decoder.takeMessage();
                    int size = static_cast<int>(message.size());
                    session.endpoint().queueMessage(session, std::move(message));
                    session.raise(TCP_EV_MSG_RECEIVED, size);
                    break;
                }
                case FrameDecoder::Outcome::TooLarge:
                    session.raise(TCP_EV_DISCONNECTED, 0);
                    return;
                case FrameDecoder::Outcome::OfferHeader: {
                    // What follows is the file's, not a message's: the
                    // budget has no part in it.
                    std::vector<unsigned char> leftover(data + pos, data + length);
                    block.release();
                    budget.leave(session);
                    enterFileMode(session, decoder.takeHeader(), std::move(leftover));
                    return;
                }
            }
        }
        budget.settle(session, block.capacity() + decoder.memory());
    }
}

}  // namespace

void runSession(std::shared_ptr<TcpEndpoint> endpoint, platform::Socket socket,
                const std::string& peerAddress) {
    auto session = std::make_shared<Session>(*endpoint, socket, peerAddress);
    session->socket().attach(socket);
    if (!endpoint->addSession(session)) {
        session->socket().disconnect();
        return;
    }
    session->raise(TCP_EV_CONNECTED, static_cast<int>(socket));
    try {
        messageLoop(*session);
    } catch (...) {
        // Out of memory for a message, or a file side that threw: the
        // connection is given up like one that failed.
        session->raise(TCP_EV_DISCONNECTED, 0);
    }
    endpoint->budget().leave(*session);
    // The entry goes first, so that a new connection given the same number
    // after the close below keeps its own entry.
    endpoint->removeSession(session.get());
    session->socket().disconnect();
}

}  // namespace wirekit::tcp
