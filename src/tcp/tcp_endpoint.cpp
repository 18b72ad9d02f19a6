#include "tcp/tcp_endpoint.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "tcp/session.h"

namespace wirekit::tcp {

namespace {
// Sessions of every endpoint that are running now (counted where there is a
// limit).
std::atomic<int> g_sessions{0};
}  // namespace

TcpEndpoint::TcpEndpoint(EventCallback callback)
    : core::Endpoint(callback), budget_(ReceiveBudget::defaultLimit()) {}

TcpEndpoint::~TcpEndpoint() = default;

void TcpEndpoint::stopActivity() {
    {
        std::lock_guard<std::mutex> guard(controlLock_);
        listener_.stop();
        isListening_ = false;
    }
    {
        std::lock_guard<std::mutex> guard(sessionsLock_);
        for (auto& entry : sessions_) entry.second->requestStop(true);
    }
    budget_.wakeAll();
    // Closing the client connection here is safe from any thread: it waits
    // for a thread still reading or writing on it.
    clientSocket_.disconnect();
    isConnected_.store(false);
    if (auto handler = fileModeHandler()) handler->onEndpointClose();
}

void TcpEndpoint::releaseResources() {
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        received_.clear();
    }
    budget_.queueCleared();
}

int TcpEndpoint::listenMessage(int port) {
    std::lock_guard<std::mutex> guard(controlLock_);
    if (closing()) return 0;
    if (isListening_) return 1;
    if (listener_.listen(port, LISTEN_BACKLOG) != 1) return 0;
    // Each session thread holds the endpoint while it runs; the endpoint
    // waits for them when it closes.
    std::weak_ptr<TcpEndpoint> weak = self();
    const bool started = listener_.start(
                             [weak](std::function<void()> fn) {
                                 auto endpoint = weak.lock();
                                 return endpoint && endpoint->startSession(std::move(fn));
                             },
                             [weak](platform::Socket s, int, const std::string& peer) {
                                 if (auto endpoint = weak.lock())
                                     runSession(std::move(endpoint), s, peer);
                                 else
                                     platform::closeSocket(s);
                             }) == 1;
    isListening_ = started;
    if (!isListening_) listener_.stop();
    return isListening_ ? 1 : 0;
}

bool TcpEndpoint::startSession(std::function<void()> fn) {
    if (MAX_SESSIONS > 0 && g_sessions.fetch_add(1) >= MAX_SESSIONS) {
        g_sessions.fetch_sub(1);
        return false;
    }
    const bool started = startThread([fn = std::move(fn)] {
        fn();
        if (MAX_SESSIONS > 0) g_sessions.fetch_sub(1);
    });
    if (!started && MAX_SESSIONS > 0) g_sessions.fetch_sub(1);
    return started;
}

int TcpEndpoint::stopListen() {
    std::lock_guard<std::mutex> guard(controlLock_);
    listener_.stop();
    isListening_ = false;
    return 1;
}

int TcpEndpoint::connect(const char* host, int port) {
    if (!host || !*host) return 0;
    std::lock_guard<std::mutex> guard(clientLock_);
    if (closing()) return 0;
    std::string text(host);
    if (isConnected_.load()) {
        std::lock_guard<std::mutex> peerGuard(peerLock_);
        if (peerHost_ == text && peerPort_ == port) return 1;
    }
    if (isConnected_.load()) {
        clientSocket_.disconnect();
        isConnected_.store(false);
    }
    bool connected = clientSocket_.connect(host, port) == 1;
    isConnected_.store(connected);
    {
        std::lock_guard<std::mutex> peerGuard(peerLock_);
        peerHost_ = text;
        peerPort_ = port;
    }
    // Gives the peer's session time to start before the host's first send.
    std::this_thread::sleep_for(std::chrono::milliseconds(CONNECT_SETTLE_MS));
    return connected ? 1 : 0;
}

int TcpEndpoint::disconnect() {
    std::lock_guard<std::mutex> guard(clientLock_);
    clientSocket_.disconnect();
    isConnected_.store(false);
    return 1;
}

int TcpEndpoint::disconnectSession(std::uintptr_t socket) {
    std::shared_ptr<Session> session = findSession(socket);
    if (!session) return 0;
    session->requestStop(false);
    budget_.wakeAll();
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
            int r = clientSocket_.sendParts(parts, count, &out, first);
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
    if (conn.peerIsQuiet() != 1) return 0;
    return conn.sendAll(data, static_cast<std::size_t>(length)) == 1 ? 1 : 0;
}

long TcpEndpoint::getMessage(void* buffer, int size) {
    const std::size_t room = (buffer && size > 0) ? static_cast<std::size_t>(size) : 0;
    MessageBytes message;
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
    budget_.taken(message.capacity());
    std::memcpy(buffer, message.data(), message.size());
    return static_cast<long>(message.size());
}

void TcpEndpoint::peer(std::string* host, int* port) {
    std::lock_guard<std::mutex> guard(peerLock_);
    if (host) *host = peerHost_;
    if (port) *port = peerPort_;
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
    if (closing()) return false;
    sessions_[static_cast<std::uintptr_t>(session->socketNumber())] = session;
    return true;
}

void TcpEndpoint::removeSession(const Session* session) {
    std::lock_guard<std::mutex> guard(sessionsLock_);
    auto it = sessions_.find(static_cast<std::uintptr_t>(session->socketNumber()));
    if (it != sessions_.end() && it->second.get() == session) sessions_.erase(it);
}

void TcpEndpoint::queueMessage(Session& session, MessageBytes message) {
    const std::size_t memory = message.capacity();
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        received_.push_back(std::move(message));
    }
    budget_.queued(session, memory);
}

std::size_t TcpEndpoint::sessionCount() {
    std::lock_guard<std::mutex> guard(sessionsLock_);
    return sessions_.size();
}

}  // namespace wirekit::tcp
