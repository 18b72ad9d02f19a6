#include "net/stream_socket.h"

#include <algorithm>
#include <chrono>

namespace wirekit::net {

namespace {
// Pause before accepting again when the process ran out of descriptors; the
// waiting connection stays in the backlog meanwhile.
constexpr auto ACCEPT_RETRY_PAUSE = std::chrono::milliseconds(10);

bool validPort(int port) { return port >= 0 && port <= 65535; }
}  // namespace

int PeerIsQuiet(Socket s) { return platform::pollReadable(s) == 0 ? 1 : 0; }

StreamSocket::Use::Use(StreamSocket& owner, bool requireUsable, bool sending)
    : owner_(owner), sending_(sending) {
    std::lock_guard<std::mutex> guard(owner_.connLock_);
    Connection* c = owner_.connection_.get();
    if (c && (c->usable || !requireUsable)) {
        ++c->users;
        if (sending_) {
            // Without this a send starting just after such a shutdown could
            // block on a full window with nothing left to end it.
            if (c->sendingEnded) platform::shutdownBoth(c->socket);
            ++c->senders;
        }
        connection_ = c;
    }
}

StreamSocket::Use::~Use() {
    if (!connection_) return;
    std::lock_guard<std::mutex> guard(owner_.connLock_);
    if (sending_) --connection_->senders;
    if (--connection_->users == 0) owner_.connIdle_.notify_all();
}

void StreamSocket::shutdownFor(Connection& c, bool wakeSenders) {
    if (wakeSenders && c.senders > 0) {
        platform::shutdownBoth(c.socket);
    } else {
        platform::shutdownReceive(c.socket);
        if (wakeSenders) c.sendingEnded = true;
    }
}

StreamSocket::StreamSocket() {
    if (platform::netStartup() == 0) {
        netStarted_ = true;
    } else {
        setError(platform::lastError());
    }
}

StreamSocket::~StreamSocket() {
    bool owns;
    {
        std::lock_guard<std::mutex> guard(connLock_);
        owns = ownsConnection_;
    }
    if (owns) Disconnect();
    CloseListener();
    if (netStarted_) platform::netCleanup();
}

int StreamSocket::Connect(const char* host, int port) {
    Disconnect();
    std::uint32_t address = 0;
    if (!host || !*host || port <= 0 || port > 65535) return 0;
    if (!platform::resolveHost(host, &address)) return 0;
    Socket s = platform::tcpSocket();
    if (s == INVALID_SOCKET_VALUE) {
        setError(platform::lastError());
        return 0;
    }
    if (platform::connectTo(s, address, port) != 0) {
        setError(platform::lastError());
        platform::closeSocket(s);
        return 0;
    }
    platform::setNoDelay(s);
    std::lock_guard<std::mutex> guard(connLock_);
    connection_ = std::make_unique<Connection>(Connection{s});
    ownsConnection_ = true;
    return 1;
}

void StreamSocket::Attach(Socket s) {
    Disconnect();
    if (s == INVALID_SOCKET_VALUE) return;
    platform::setNoDelay(s);
    std::lock_guard<std::mutex> guard(connLock_);
    connection_ = std::make_unique<Connection>(Connection{s});
    ownsConnection_ = false;
}

void StreamSocket::Disconnect() {
    Connection* c;
    {
        std::lock_guard<std::mutex> guard(connLock_);
        c = connection_.get();
    }
    if (c) closeConnection(c);
}

void StreamSocket::closeConnection(Connection* target) {
    std::unique_ptr<Connection> c;
    {
        std::unique_lock<std::mutex> guard(connLock_);
        if (!connection_ || connection_.get() != target) return;
        c = std::move(connection_);
        shutdownFor(*c, true);
        connIdle_.wait(guard, [&] { return c->users == 0; });
    }
    platform::closeSocket(c->socket);
}

void StreamSocket::Shutdown(bool bothDirections) {
    std::lock_guard<std::mutex> guard(connLock_);
    if (connection_) shutdownFor(*connection_, bothDirections);
}

void StreamSocket::markUnusable(Connection* c) {
    std::lock_guard<std::mutex> guard(connLock_);
    c->usable = false;
}

int StreamSocket::Send(const void* data, int length) {
    if (length < 0 || (!data && length > 0)) {
        setError(-1);
        return -1;
    }
    Use use(*this, true, true);
    if (!use) {
        setError(-1);
        return -1;
    }
    if (!PeerIsQuiet(use.socket())) {
        markUnusable(use.connection());
        setError(-1);
        return -1;
    }
    long n = platform::sendBytes(use.socket(), data, static_cast<std::size_t>(length));
    if (n < 0) setError(platform::lastError());
    return static_cast<int>(n);
}

bool StreamSocket::ReadyToSend() {
    Use use(*this, true);
    if (!use) {
        setError(-1);
        return false;
    }
    if (!PeerIsQuiet(use.socket())) {
        markUnusable(use.connection());
        setError(-1);
        return false;
    }
    return true;
}

int StreamSocket::SendAll(const void* data, std::size_t length, std::size_t* sent) {
    std::size_t done = 0;
    int result = 0;
    if (data || length == 0) {
        Use use(*this, true, true);
        if (use) {
            const auto* p = static_cast<const unsigned char*>(data);
            while (done < length) {
                long n = platform::sendBytes(use.socket(), p + done, length - done);
                if (n <= 0) {
                    setError(n < 0 ? platform::lastError() : -1);
                    break;
                }
                done += static_cast<std::size_t>(n);
            }
            result = done == length ? 1 : 0;
        } else {
            setError(-1);
        }
    } else {
        setError(-1);
    }
    if (sent) *sent = done;
    return result;
}

long StreamSocket::SendNow(const void* data, std::size_t length) {
    if (!data && length > 0) {
        setError(-1);
        return -1;
    }
    Use use(*this, true);
    if (!use) {
        setError(-1);
        return -1;
    }
    long n = platform::sendBytesNow(use.socket(), data, length);
    if (n >= 0) return n;
    const int code = platform::lastError();
    if (platform::classifyError(code) == platform::ErrorKind::WouldBlock) return 0;
    setError(code);
    return -1;
}

int StreamSocket::SendParts(const platform::SendPart* parts, std::size_t count, std::size_t* sent,
                            bool gate) {
    constexpr std::size_t MAX_PARTS = 64;
    std::size_t done = 0;
    int result = 0;
    if (parts && count <= MAX_PARTS) {
        Use use(*this, true, true);
        if (!use) {
            setError(-1);
        } else if (gate && !PeerIsQuiet(use.socket())) {
            markUnusable(use.connection());
            setError(-1);
        } else {
            platform::SendPart left[MAX_PARTS];
            std::copy(parts, parts + count, left);
            std::size_t first = 0;
            for (;;) {
                while (first < count && left[first].length == 0) ++first;
                if (first == count) break;
                long n = platform::sendGather(use.socket(), left + first, count - first);
                if (n <= 0) {
                    setError(n < 0 ? platform::lastError() : -1);
                    break;
                }
                done += static_cast<std::size_t>(n);
                // A short send: resume inside the part where it stopped.
                auto taken = static_cast<std::size_t>(n);
                while (first < count && taken >= left[first].length) taken -= left[first++].length;
                if (first < count) {
                    left[first].data = static_cast<const char*>(left[first].data) + taken;
                    left[first].length -= taken;
                }
            }
            result = first == count ? 1 : 0;
        }
    } else {
        setError(-1);
    }
    if (sent) *sent = done;
    return result;
}

int StreamSocket::Receive(void* buffer, int length, int timeoutMs) {
    if (!buffer || length <= 0) {
        setError(-1);
        return -1;
    }
    Connection* timedOut;
    {
        Use use(*this, true);
        if (!use) {
            setError(-1);
            return -1;
        }
        int ready = platform::waitReadable(use.socket(), timeoutMs);
        if (ready > 0) {
            long n = platform::receiveBytes(use.socket(), buffer, static_cast<std::size_t>(length));
            if (n < 0) setError(platform::lastError());
            return static_cast<int>(n);
        }
        if (ready < 0) {
            setError(platform::lastError());
            return -1;
        }
        timedOut = use.connection();
    }
    // The limit passed without a byte: the connection is given up, as if the
    // peer had gone.
    closeConnection(timedOut);
    return 0;
}

int StreamSocket::PeerQuiet() {
    Use use(*this, false);
    if (!use) return 0;
    return PeerIsQuiet(use.socket());
}

bool StreamSocket::IsConnected() const {
    std::lock_guard<std::mutex> guard(connLock_);
    return connection_ && connection_->usable;
}

Socket StreamSocket::SocketNumber() const {
    std::lock_guard<std::mutex> guard(connLock_);
    return connection_ ? connection_->socket : INVALID_SOCKET_VALUE;
}

bool StreamSocket::OwnsConnection() const {
    std::lock_guard<std::mutex> guard(connLock_);
    return connection_ && ownsConnection_;
}

int StreamSocket::Listen(int port, int backlog) {
    CloseListener();
    if (!validPort(port)) {
        setError(-1);
        return 0;
    }
    Socket s = platform::tcpSocket();
    if (s == INVALID_SOCKET_VALUE) {
        setError(platform::lastError());
        return 0;
    }
    if (platform::bindListener(s, port) != 0 || platform::listenOn(s, backlog) != 0) {
        setError(platform::lastError());
        platform::closeSocket(s);
        return 0;
    }
    std::lock_guard<std::mutex> guard(listenLock_);
    listeningSocket_ = s;
    listenPort_ = platform::localPort(s);
    ownsListener_ = true;
    return 1;
}

int StreamSocket::StartAcceptThread(ThreadGroup group, SessionFunction fn) {
    std::lock_guard<std::mutex> guard(listenLock_);
    if (listeningSocket_ == INVALID_SOCKET_VALUE) return -1;
    if (acceptState_ && acceptState_->running.load()) return 1;
    // A thread that ended on an accept failure is done; reap it.
    if (acceptThread_.joinable()) acceptThread_.join();
    auto state = std::make_shared<AcceptState>();
    try {
        acceptThread_ = std::thread(&StreamSocket::acceptLoop, this, listeningSocket_, listenPort_,
                                    std::move(group), std::move(fn), state);
    } catch (const std::system_error& e) {
        setError(e.code().value());
        return 0;
    }
    acceptState_ = std::move(state);
    return 1;
}

void StreamSocket::acceptLoop(StreamSocket* self, Socket listener, int port, ThreadGroup group,
                              SessionFunction fn, std::shared_ptr<AcceptState> state) {
    for (;;) {
        std::uint32_t address = 0;
        Socket c = platform::acceptConnection(listener, &address);
        if (state->stop.load()) {
            if (c != INVALID_SOCKET_VALUE) platform::closeSocket(c);
            break;
        }
        if (c == INVALID_SOCKET_VALUE) {
            int code = platform::lastError();
            platform::ErrorKind kind = platform::classifyError(code);
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
            self->setError(code);
            break;
        }
        std::string peer = platform::dottedText(address);
        bool started = group.start([fn, c, port, peer] { fn(c, port, peer); });
        if (!started) platform::closeSocket(c);
    }
    state->running.store(false);
}

int StreamSocket::StopListen() {
    CloseListener();
    return 1;
}

void StreamSocket::CloseListener() {
    std::thread thread;
    Socket s;
    {
        std::lock_guard<std::mutex> guard(listenLock_);
        s = listeningSocket_;
        if (acceptState_) acceptState_->stop.store(true);
        // Wakes the accept thread out of its accept call; the descriptor is
        // closed only once that thread is gone.
        if (s != INVALID_SOCKET_VALUE) platform::shutdownReceive(s);
        thread = std::move(acceptThread_);
        acceptState_.reset();
        listeningSocket_ = INVALID_SOCKET_VALUE;
        listenPort_ = -1;
    }
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
    if (s != INVALID_SOCKET_VALUE) platform::closeSocket(s);
}

bool StreamSocket::IsListening() const {
    std::lock_guard<std::mutex> guard(listenLock_);
    return listeningSocket_ != INVALID_SOCKET_VALUE;
}

int StreamSocket::ListenPort() const {
    std::lock_guard<std::mutex> guard(listenLock_);
    return listenPort_;
}

}  // namespace wirekit::net
