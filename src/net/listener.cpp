#include "net/listener.h"

#include <chrono>
#include <thread>

namespace wirekit::net {

namespace {
// Pause before accepting again when the process ran out of descriptors; the
// waiting connection stays in the backlog meanwhile.
constexpr auto ACCEPT_RETRY_PAUSE = std::chrono::milliseconds(10);
}  // namespace

Listener::Listener() : netStarted_(platform::netStartup() == 0) {}

Listener::~Listener() {
    stop();
    if (netStarted_) platform::netCleanup();
}

int Listener::listen(int port, int backlog) {
    stop();
    if (port < 0 || port > 65535) return 0;
    Socket s = platform::tcpSocket();
    if (s == INVALID_SOCKET_VALUE) return 0;
    if (platform::bindListener(s, port) != 0 || platform::listenOn(s, backlog) != 0) {
        platform::closeSocket(s);
        return 0;
    }
    std::lock_guard<std::mutex> guard(lock_);
    socket_ = s;
    port_ = platform::localPort(s);
    return 1;
}

int Listener::start(ThreadStarter startSession, SessionFunction fn) {
    std::lock_guard<std::mutex> guard(lock_);
    if (socket_ == INVALID_SOCKET_VALUE) return -1;
    if (acceptState_ && acceptState_->running.load()) return 1;
    auto state = std::make_shared<AcceptState>();
    const bool started = acceptThread_.start(
        [this, s = socket_, port = port_, startSession = std::move(startSession),
         fn = std::move(fn), state] { acceptLoop(s, port, startSession, fn, *state); });
    if (!started) return 0;
    acceptState_ = std::move(state);
    return 1;
}

void Listener::acceptLoop(Socket listener, int port, const ThreadStarter& startSession,
                          const SessionFunction& fn, AcceptState& state) {
    for (;;) {
        std::uint32_t address = 0;
        Socket c = platform::acceptConnection(listener, &address);
        if (state.stop.load()) {
            if (c != INVALID_SOCKET_VALUE) platform::closeSocket(c);
            break;
        }
        if (c == INVALID_SOCKET_VALUE) {
            platform::ErrorKind kind = platform::classifyError(platform::lastError());
            // A connection that was reset before we took it, or a signal,
            // says nothing about the listener; only other failures end it.
            if (kind == platform::ErrorKind::WouldBlock ||
                kind == platform::ErrorKind::Interrupted ||
                kind == platform::ErrorKind::ConnectionReset) {
                continue;
            }
            if (kind == platform::ErrorKind::TooManyFiles) {
                std::this_thread::sleep_for(ACCEPT_RETRY_PAUSE);
                continue;
            }
            break;
        }
        std::string peer = platform::dottedText(address);
        bool started = startSession([fn, c, port, peer] { fn(c, port, peer); });
        if (!started) platform::closeSocket(c);
    }
    state.running.store(false);
}

void Listener::stop() {
    Socket s;
    {
        std::lock_guard<std::mutex> guard(lock_);
        s = socket_;
        if (acceptState_) acceptState_->stop.store(true);
        // Wakes the accept thread out of its accept call; the descriptor is
        // closed only once that thread is gone.
        if (s != INVALID_SOCKET_VALUE) platform::shutdownReceive(s);
        acceptState_.reset();
        socket_ = INVALID_SOCKET_VALUE;
        port_ = -1;
    }
    acceptThread_.waitIdle();
    if (s != INVALID_SOCKET_VALUE) platform::closeSocket(s);
}

int Listener::port() const {
    std::lock_guard<std::mutex> guard(lock_);
    return port_;
}

}  // namespace wirekit::net
