#include "net/stream_socket.h"

#include <algorithm>

namespace wirekit::net {

namespace {
// 1 when `s` is not readable right now (no unread bytes, no end of stream, no
// pending error), 0 otherwise or when the check itself fails. Zero wait.
int quiet(Socket s) { return platform::pollReadable(s) == 0 ? 1 : 0; }
}  // namespace

StreamSocket::Use::Use(StreamSocket& owner, bool requireUsable, bool sending)
    : owner_(owner), sending_(sending) {
    Connection* c;
    for (;;) {
        const unsigned epoch = owner_.epoch_.load();
        parity_ = static_cast<int>(epoch & 1);
        owner_.readers_[parity_].fetch_add(1);
        c = owner_.current_.load();
        // Unchanged epoch: the connection was read before any closer took it
        // out of view, and that closer waits for this use to end.
        if (owner_.epoch_.load() == epoch) break;
        owner_.leave(parity_);
    }
    if (c && (c->usable.load() || !requireUsable)) {
        if (sending_) {
            c->senders.fetch_add(1);
            // Without this a send starting just after such a shutdown could
            // block on a full window with nothing left to end it.
            if (c->sendingEnded.load()) platform::shutdownBoth(c->socket);
        }
        connection_ = c;
    }
}

StreamSocket::Use::~Use() {
    if (connection_ && sending_) connection_->senders.fetch_sub(1);
    owner_.leave(parity_);
}

void StreamSocket::leave(int parity) {
    if (readers_[parity].fetch_sub(1) == 1 && closersWaiting_.load() > 0) {
        // Taking the lock orders the wake-up after the closer's last look.
        { std::lock_guard<std::mutex> guard(connLock_); }
        connIdle_.notify_all();
    }
}

void StreamSocket::shutdownFor(Connection& c, bool wakeSenders) {
    // The flag is set before the count is read, and a sender counts itself
    // before it reads the flag: one of the two sees the other.
    if (wakeSenders) {
        c.sendingEnded.store(true);
        if (c.senders.load() > 0) {
            platform::shutdownBoth(c.socket);
            return;
        }
    }
    platform::shutdownReceive(c.socket);
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
    if (owns) disconnect();
    if (netStarted_) platform::netCleanup();
}

int StreamSocket::connect(const char* host, int port) {
    disconnect();
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
    connection_ = std::make_unique<Connection>();
    connection_->socket = s;
    current_.store(connection_.get());
    ownsConnection_ = true;
    return 1;
}

void StreamSocket::attach(Socket s) {
    disconnect();
    if (s == INVALID_SOCKET_VALUE) return;
    platform::setNoDelay(s);
    std::lock_guard<std::mutex> guard(connLock_);
    connection_ = std::make_unique<Connection>();
    connection_->socket = s;
    current_.store(connection_.get());
    ownsConnection_ = false;
}

void StreamSocket::disconnect() {
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
        std::lock_guard<std::mutex> closing(closeLock_);
        std::unique_lock<std::mutex> guard(connLock_);
        if (!connection_ || connection_.get() != target) return;
        c = std::move(connection_);
        current_.store(nullptr);
        shutdownFor(*c, true);
        // Operations from now on count in the new epoch and find no
        // connection; those of the old one are waited for.
        const int parity = static_cast<int>(epoch_.fetch_add(1) & 1);
        closersWaiting_.fetch_add(1);
        connIdle_.wait(guard, [&] { return readers_[parity].load() == 0; });
        closersWaiting_.fetch_sub(1);
    }
    platform::closeSocket(c->socket);
}

void StreamSocket::shutdown(bool bothDirections) {
    std::lock_guard<std::mutex> guard(connLock_);
    if (connection_) shutdownFor(*connection_, bothDirections);
}

void StreamSocket::markUnusable(Connection* c) { c->usable.store(false); }

int StreamSocket::send(const void* data, int length) {
    if (length < 0 || (!data && length > 0)) {
        setError(-1);
        return -1;
    }
    Use use(*this, true, true);
    if (!use) {
        setError(-1);
        return -1;
    }
    if (!quiet(use.socket())) {
        markUnusable(use.connection());
        setError(-1);
        return -1;
    }
    long n = platform::sendBytes(use.socket(), data, static_cast<std::size_t>(length));
    if (n < 0) setError(platform::lastError());
    return static_cast<int>(n);
}

int StreamSocket::sendAll(const void* data, std::size_t length, std::size_t* sent) {
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

long StreamSocket::sendNow(const void* data, std::size_t length) {
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

int StreamSocket::sendParts(const platform::SendPart* parts, std::size_t count, std::size_t* sent,
                            bool gate) {
    constexpr std::size_t MAX_PARTS = 64;
    std::size_t done = 0;
    int result = 0;
    if (parts && count <= MAX_PARTS) {
        Use use(*this, true, true);
        if (!use) {
            setError(-1);
        } else if (gate && !quiet(use.socket())) {
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

int StreamSocket::receive(void* buffer, int length, int timeoutMs) {
    if (!buffer || length <= 0) {
        setError(-1);
        return -1;
    }
    // A limited wait and the read are one call where the system keeps the
    // limit itself.
    if (timeoutMs > 0) return receiveWithin(buffer, length, timeoutMs);
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

int StreamSocket::receiveWithin(void* buffer, int length, int timeoutMs) {
    Connection* timedOut;
    {
        Use use(*this, true);
        if (!use) {
            setError(-1);
            return -1;
        }
        std::atomic<int>& limit = use.connection()->receiveLimitMs;
        if (limit.load() != timeoutMs) {
            if (platform::setReceiveTimeout(use.socket(), timeoutMs) != 0) {
                setError(platform::lastError());
                return -1;
            }
            limit.store(timeoutMs);
        }
        long n =
            platform::receiveBytesTimed(use.socket(), buffer, static_cast<std::size_t>(length));
        if (n >= 0) return static_cast<int>(n);
        const int code = platform::lastError();
        if (platform::classifyError(code) != platform::ErrorKind::WouldBlock) {
            setError(code);
            return -1;
        }
        timedOut = use.connection();
    }
    closeConnection(timedOut);
    return 0;
}

int StreamSocket::receiveNow(void* buffer, int length) {
    if (!buffer || length <= 0) {
        setError(-1);
        return -1;
    }
    Use use(*this, true);
    if (!use) {
        setError(-1);
        return -1;
    }
    long n = platform::receiveBytesNow(use.socket(), buffer, static_cast<std::size_t>(length));
    if (n >= 0) return static_cast<int>(n);
    const int code = platform::lastError();
    if (platform::classifyError(code) == platform::ErrorKind::WouldBlock) return NOTHING_WAITING;
    setError(code);
    return -1;
}

int StreamSocket::waitInputOrWake(platform::Wakeup* wake, int timeoutMs) {
    Use use(*this, true);
    if (!use) {
        setError(-1);
        return -1;
    }
    int r = platform::waitReadableOrWoken(use.socket(), wake, timeoutMs);
    if (r < 0) setError(platform::lastError());
    return r;
}

int StreamSocket::peek() {
    Use use(*this, true);
    if (!use) {
        setError(-1);
        return -1;
    }
    unsigned char byte;
    long n = platform::peekBytes(use.socket(), &byte, 1);
    if (n > 0) return 1;
    if (n == 0) return 0;
    const int code = platform::lastError();
    if (platform::classifyError(code) == platform::ErrorKind::WouldBlock) return NOTHING_WAITING;
    setError(code);
    return -1;
}

int StreamSocket::peerIsQuiet() {
    Use use(*this, false);
    if (!use) return 0;
    return quiet(use.socket());
}

bool StreamSocket::isConnected() const {
    std::lock_guard<std::mutex> guard(connLock_);
    return connection_ && connection_->usable.load();
}

Socket StreamSocket::socketNumber() const {
    std::lock_guard<std::mutex> guard(connLock_);
    return connection_ ? connection_->socket : INVALID_SOCKET_VALUE;
}

bool StreamSocket::ownsConnection() const {
    std::lock_guard<std::mutex> guard(connLock_);
    return connection_ && ownsConnection_;
}

}  // namespace wirekit::net
