#include "tcp/tcp_endpoint.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "frame/events.h"
#include "tcp/session.h"

namespace wirekit::tcp {

namespace {
// One callback running on this thread. The frames live on the stacks of the
// raise() calls and are chained innermost first; a close from inside a
// callback must not wait for that callback to end.
struct CallbackFrame {
    const TcpEndpoint* endpoint;
    const CallbackFrame* outer;
};
// A plain pointer on purpose: a thread-local with a destructor is destroyed
// at every thread's exit, and with the Windows toolchain's threads library
// that destruction takes the loader lock while holding the library's own
// lock, which deadlocks against another thread ending at the same time.
thread_local const CallbackFrame* t_callbacks = nullptr;
}  // namespace

TcpEndpoint::TcpEndpoint(EventCallback callback) : callback_(callback) {}

TcpEndpoint::~TcpEndpoint() = default;

bool TcpEndpoint::raise(int code, int param) {
    if (!callback_) return false;
    {
        std::lock_guard<std::mutex> guard(callbackLock_);
        if (closing_.load()) return false;
        ++inCallback_;
    }
    const CallbackFrame frame{this, t_callbacks};
    t_callbacks = &frame;
    try {
        raiseEvent(callback_, code, param);
    } catch (...) {
        // Nothing a host handler throws may unwind through library threads.
    }
    t_callbacks = frame.outer;
    {
        std::lock_guard<std::mutex> guard(callbackLock_);
        --inCallback_;
    }
    callbackIdle_.notify_all();
    return true;
}

void TcpEndpoint::waitForOtherCallbacks() {
    int mine = 0;
    for (const CallbackFrame* f = t_callbacks; f; f = f->outer)
        if (f->endpoint == this) ++mine;
    std::unique_lock<std::mutex> guard(callbackLock_);
    callbackIdle_.wait(guard, [&] { return inCallback_ <= mine; });
}

void TcpEndpoint::close() {
    if (closed_.exchange(true)) return;
    {
        std::lock_guard<std::mutex> guard(callbackLock_);
        closing_.store(true);
    }
    threads_.close();
    {
        std::lock_guard<std::mutex> guard(controlLock_);
        listenSocket_.StopListen();
        isListening_ = false;
    }
    {
        std::lock_guard<std::mutex> guard(sessionsLock_);
        for (auto& entry : sessions_) entry.second->requestStop(true);
    }
    // Closing the client connection here is safe from any thread: it waits
    // for a sender thread still reading or writing on it.
    clientSocket_.Disconnect();
    isConnected_.store(false);
    if (auto handler = fileModeHandler()) handler->onEndpointClose();
    waitForOtherCallbacks();
    if (threads_.isMember()) return;
    threads_.waitIdle();
    std::lock_guard<std::mutex> guard(queueLock_);
    received_.clear();
}

int TcpEndpoint::listenMessage(int port) {
    std::lock_guard<std::mutex> guard(controlLock_);
    if (closing_.load()) return 0;
    if (isListening_) return 1;
    if (listenSocket_.Listen(port, LISTEN_BACKLOG) != 1) return 0;
    std::weak_ptr<TcpEndpoint> weak = weak_from_this();
    int started = listenSocket_.StartAcceptThread(
        threads_, [weak](platform::Socket s, int, const std::string& peer) {
            std::shared_ptr<TcpEndpoint> endpoint = weak.lock();
            if (!endpoint) {
                platform::closeSocket(s);
                return;
            }
            runSession(std::move(endpoint), s, peer);
        });
    isListening_ = started == 1;
    if (!isListening_) listenSocket_.StopListen();
    return isListening_ ? 1 : 0;
}

int TcpEndpoint::stopListen() {
    std::lock_guard<std::mutex> guard(controlLock_);
    listenSocket_.StopListen();
    isListening_ = false;
    return 1;
}

int TcpEndpoint::connect(const char* host, int port) {
    if (!host || !*host) return 0;
    std::lock_guard<std::mutex> guard(clientLock_);
    if (closing_.load()) return 0;
    std::string text(host);
    if (isConnected_.load()) {
        std::lock_guard<std::recursive_mutex> peerGuard(lock_);
        if (peerHost_ == text && peerPort_ == port) return 1;
    }
    if (isConnected_.load()) {
        clientSocket_.Disconnect();
        isConnected_.store(false);
    }
    bool connected = clientSocket_.Connect(host, port) == 1;
    isConnected_.store(connected);
    {
        std::lock_guard<std::recursive_mutex> peerGuard(lock_);
        peerHost_ = text;
        peerPort_ = port;
    }
    // Gives the peer's session time to start before the host's first send.
    std::this_thread::sleep_for(std::chrono::milliseconds(CONNECT_SETTLE_MS));
    return connected ? 1 : 0;
}

int TcpEndpoint::disconnect() {
    std::lock_guard<std::mutex> guard(clientLock_);
    clientSocket_.Disconnect();
    isConnected_.store(false);
    return 1;
}

int TcpEndpoint::disconnectSession(std::uintptr_t socket) {
    std::shared_ptr<Session> session = findSession(socket);
    if (!session) return 0;
    session->requestStop(false);
    return 1;
}

int TcpEndpoint::sendMessage(const void* data, int length) {
    if (!data && length > 0) return 0;
    const std::size_t size = length > 0 ? static_cast<std::size_t>(length) : 0;
    std::size_t sent = 0;
    bool ok;
    {
        std::lock_guard<std::mutex> guard(clientSocket_.sendLock());
        bool first = true;
        ok = encoder_.encode(data, size, [&](const FramePiece* pieces, std::size_t count) {
            platform::SendPart parts[FrameEncoder::MAX_PIECES];
            for (std::size_t i = 0; i < count; ++i) parts[i] = {pieces[i].data, pieces[i].length};
            std::size_t out = 0;
            // The liveness check gates the message once, before its first byte.
            int r = clientSocket_.SendParts(parts, count, &out, first);
            first = false;
            sent += out;
            return r == 1;
        });
    }
    if (ok) return 1;
    // Once the start mark is out the peer holds part of a frame: the host is
    // told the connection is broken. Before that nothing reached the wire.
    if (sent >= 2) raise(TCP_EV_DISCONNECTED, 0);
    return 0;
}

int TcpEndpoint::sendToSession(std::uintptr_t socket, const void* data, int length) {
    if (socket == 0) return sendMessage(data, length);
    if (length < 0 || (!data && length > 0)) return 0;
    std::shared_ptr<Session> session = findSession(socket);
    if (!session) return 0;
    net::StreamSocket& conn = session->socket();
    std::lock_guard<std::mutex> guard(conn.sendLock());
    if (conn.PeerQuiet() != 1) return 0;
    return conn.SendAll(data, static_cast<std::size_t>(length)) == 1 ? 1 : 0;
}

long TcpEndpoint::getMessage(void* buffer, int size) {
    const std::size_t room = (buffer && size > 0) ? static_cast<std::size_t>(size) : 0;
    std::vector<unsigned char> message;
    int event = 0;
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        if (received_.empty()) {
            event = EV_NO_MESSAGE;
        } else if (room < received_.front().size()) {
            event = TCP_EV_BUFFER_TOO_SMALL;
        } else {
            message = std::move(received_.front());
            received_.pop_front();
        }
    }
    if (event != 0) {
        raise(event, 0);
        return -1;
    }
    std::memcpy(buffer, message.data(), message.size());
    return static_cast<long>(message.size());
}

void TcpEndpoint::peer(std::string* host, int* port) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (host) *host = peerHost_;
    if (port) *port = peerPort_;
}

bool TcpEndpoint::startThread(std::function<void()> fn) {
    if (closing_.load() || !fn) return false;
    std::shared_ptr<TcpEndpoint> self = shared_from_this();
    return threads_.start([self, fn = std::move(fn)] { fn(); });
}

void TcpEndpoint::setFileModeHandler(std::shared_ptr<FileModeHandler> handler) {
    std::lock_guard<std::mutex> guard(handlerLock_);
    fileModeHandler_ = std::move(handler);
}

std::shared_ptr<FileModeHandler> TcpEndpoint::fileModeHandler() const {
    std::lock_guard<std::mutex> guard(handlerLock_);
    return fileModeHandler_;
}

std::shared_ptr<Session> TcpEndpoint::findSession(std::uintptr_t socket) {
    std::lock_guard<std::mutex> guard(sessionsLock_);
    auto it = sessions_.find(socket);
    return it == sessions_.end() ? nullptr : it->second;
}

bool TcpEndpoint::addSession(const std::shared_ptr<Session>& session) {
    std::lock_guard<std::mutex> guard(sessionsLock_);
    if (closing_.load()) return false;
    sessions_[static_cast<std::uintptr_t>(session->socketNumber())] = session;
    return true;
}

void TcpEndpoint::removeSession(const Session* session) {
    std::lock_guard<std::mutex> guard(sessionsLock_);
    auto it = sessions_.find(static_cast<std::uintptr_t>(session->socketNumber()));
    if (it != sessions_.end() && it->second.get() == session) sessions_.erase(it);
}

void TcpEndpoint::queueMessage(std::vector<unsigned char> message) {
    std::lock_guard<std::mutex> guard(queueLock_);
    received_.push_back(std::move(message));
}

std::size_t TcpEndpoint::sessionCount() {
    std::lock_guard<std::mutex> guard(sessionsLock_);
    return sessions_.size();
}

std::size_t TcpEndpoint::queuedMessages() {
    std::lock_guard<std::mutex> guard(queueLock_);
    return received_.size();
}

}  // namespace wirekit::tcp
