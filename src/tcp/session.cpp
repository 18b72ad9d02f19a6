#include "tcp/session.h"

#include <chrono>
#include <vector>

#include "core/timing.h"
#include "tcp/framing.h"
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

bool Session::waitUntil(const std::function<bool()>& ready, int timeoutMs) {
    std::unique_lock<std::mutex> guard(waitLock_);
    auto done = [&] { return stop_.load() || ready(); };
    if (timeoutMs < 0) {
        woken_.wait(guard, done);
    } else {
        woken_.wait_for(guard, std::chrono::milliseconds(timeoutMs), done);
    }
    return !stop_.load() && ready();
}

void Session::wake() {
    // Taking the lock orders this wake-up after a waiter's last look at its
    // condition, so it cannot fall between the look and the wait.
    { std::lock_guard<std::mutex> guard(waitLock_); }
    woken_.notify_all();
}

namespace {

// File mode with nobody to serve it: the rest of the connection is not
// framed, so it is read and dropped until the connection ends.
void discardFileStream(Session& session, std::vector<unsigned char>& block) {
    while (!session.stopRequested()) {
        int n = session.socket().receive(block.data(), static_cast<int>(block.size()),
                                         timing::readTimeoutMs());
        if (n <= 0) break;
    }
    session.raise(TCP_EV_DISCONNECTED, 0);
}

void messageLoop(Session& session) {
    FrameDecoder decoder;
    std::vector<unsigned char> block(SESSION_BLOCK_BYTES);
    for (;;) {
        int n =
            session.socket().receive(block.data(), SESSION_BLOCK_BYTES, timing::readTimeoutMs());
        // A stopped session ends even when the peer keeps sending: bytes
        // already queued would otherwise keep it reading.
        if (n <= 0 || session.stopRequested()) {
            session.raise(TCP_EV_DISCONNECTED, 0);
            return;
        }
        std::size_t pos = 0;
        const auto length = static_cast<std::size_t>(n);
        while (pos < length) {
            FrameDecoder::Step step = decoder.feed(block.data() + pos, length - pos);
            pos += step.consumed;
            switch (step.outcome) {
                case FrameDecoder::Outcome::NeedMore:
                    break;
                case FrameDecoder::Outcome::Message: {
                    std::vector<unsigned char> message = decoder.takeMessage();
                    int size = static_cast<int>(message.size());
                    session.endpoint().queueMessage(std::move(message));
                    session.raise(TCP_EV_MSG_RECEIVED, size);
                    break;
                }
                case FrameDecoder::Outcome::TooLarge:
                    session.raise(TCP_EV_DISCONNECTED, 0);
                    return;
                case FrameDecoder::Outcome::OfferHeader: {
                    std::string header = decoder.takeHeader();
                    if (auto handler = session.endpoint().fileModeHandler()) {
                        handler->runFileMode(session, std::move(header), block.data() + pos,
                                             length - pos);
                    } else {
                        discardFileStream(session, block);
                    }
                    return;
                }
            }
        }
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
    // The entry goes first, so that a new connection given the same number
    // after the close below keeps its own entry.
    endpoint->removeSession(session.get());
    session->socket().disconnect();
}

}  // namespace wirekit::tcp
