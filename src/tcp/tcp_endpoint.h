// The TCP endpoint behind a handle from Init_Tcp: a listener whose accepted
// connections each run a session, one outgoing client connection, the queue
// of received messages and the map of live sessions.
//
// Extension points for the file-transfer side
// -------------------------------------------
// The file side lives above this folder and plugs in through three things:
//
//  1. FileModeHandler (below). Installed with setFileModeHandler() before the
//     endpoint is registered (Init_Tcp does it). A session whose decoder ends
//     a non-empty header with 0x05 0x06 calls runFileMode() on its own thread
//     and ends when it returns. Without a handler the session reads and
//     discards the rest of the connection and, when it ends, raises 3999
//     (param 0) as a message-mode session would.
//     onEndpointClose() is called once by Close_Tcp so that the file side
//     stops its jobs and wakes its waits.
//
//  2. Session (session.h): what runFileMode gets. It offers the session's
//     StreamSocket (timed Receive with timing::readTimeoutMs(), SendAll), the
//     socket number, the peer address, raise() for events, and a wait that
//     Close_Tcp and the server-form DisConnect_Tcp end (waitUntil/wake).
//
//  3. On TcpEndpoint: lock() (the endpoint's re-entrant lock: job lists and
//     state changes of file records; the file-state events 3006 and 3010 are
//     raised while it is held, no other library lock is), raise(), closing(),
//     clientSocket() with its sendLock(), peer() (a snapshot of the host and
//     port of the last Connect_Tcp), and startThread() for sender threads,
//     which Close_Tcp waits for like sessions.
//
// Close_Tcp (close() below): marks the endpoint closing (from then on no
// event starts and startThread() refuses), stops the listener, asks every
// session to stop (its connection is shut down and its waits end), closes
// the client connection, calls the file side's onEndpointClose(), waits
// until no callback of the endpoint runs on another thread, and then, unless
// it was called on one of the endpoint's own threads, waits for every
// session and sender thread to end. Called
// from one of the endpoint's threads (Close_Tcp inside a callback) it returns
// without waiting for the threads; the endpoint is destroyed when the last of
// them drops its reference, and no callback of it starts after close()
// returned in either case.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "frame/registry.h"
#include "net/stream_socket.h"
#include "net/thread_group.h"
#include "tcp/framing.h"
#include "wirekit.h"

namespace wirekit::tcp {

class Session;

// Implemented by the file-transfer side; see the top of this file.
class FileModeHandler {
public:
    virtual ~FileModeHandler() = default;

    // Runs on the session's thread after the decoder ended a non-empty offer
    // header with 0x05 0x06. `header` holds the collected bytes (no
    // terminator); `leftover` the `length` bytes that followed the marker in
    // the same read (the start of the unframed file stream; they are valid
    // only during the call). Everything the connection carries from here on
    // is the handler's: it reads with session.socket().Receive(...,
    // timing::readTimeoutMs()), answers with SendAll under sendLock(), and
    // raises its own events (3004, 3009-3011, 3013, 3999) with
    // session.raise(). When it returns the session ends: it leaves the
    // endpoint's map and its connection is closed, with no further event.
    // It must return promptly once session.stopRequested() holds: reads then
    // fail at once and session.waitUntil() returns false.
    virtual void runFileMode(Session& session, std::string header, const unsigned char* leftover,
                             std::size_t length) = 0;

    // Called once by Close_Tcp after the endpoint was marked closing and its
    // connections were shut down, before it waits for the endpoint's
    // threads: stop every job and wake every wait so that every thread of
    // the file side ends. No library lock is held; it may run on one of the
    // endpoint's own threads. The handler is destroyed with the endpoint,
    // possibly on one of those threads, so its destructor must not join any.
    virtual void onEndpointClose() {}
};

class TcpEndpoint : public Endpoint, public std::enable_shared_from_this<TcpEndpoint> {
public:
    // Pause after each connect attempt of Connect_Tcp.
    static constexpr int CONNECT_SETTLE_MS = 50;
    static constexpr int LISTEN_BACKLOG = 5;

    explicit TcpEndpoint(EventCallback callback);
    ~TcpEndpoint() override;
    void close() override;

    // ---- Exported operations (the handle already resolved) --------------
    int listenMessage(int port);
    int stopListen();
    int connect(const char* host, int port);
    int disconnect();
    int disconnectSession(std::uintptr_t socket);
    int sendMessage(const void* data, int length);
    int sendToSession(std::uintptr_t socket, const void* data, int length);
    long getMessage(void* buffer, int size);

    // ---- For the file-transfer side --------------------------------------
    std::recursive_mutex& lock() { return lock_; }
    EventCallback callback() const { return callback_; }
    // Raises an event unless the endpoint is closing (or has no callback).
    // Returns whether the callback ran. Callable from any thread, with or
    // without lock() held.
    bool raise(int code, int param);
    bool closing() const { return closing_.load(); }
    net::StreamSocket& clientSocket() { return clientSocket_; }
    // Host and port of the last Connect_Tcp that did not reuse the
    // connection ("" and 0 before any).
    void peer(std::string* host, int* port);
    // Starts `fn` on a thread of the endpoint, which holds a reference to the
    // endpoint while it runs and which Close_Tcp waits for. False once the
    // endpoint is closing or when no thread can be started.
    bool startThread(std::function<void()> fn);
    void setFileModeHandler(std::shared_ptr<FileModeHandler> handler);
    std::shared_ptr<FileModeHandler> fileModeHandler() const;
    // The live session with that socket number, or null.
    std::shared_ptr<Session> findSession(std::uintptr_t socket);

    // ---- For the session loop ---------------------------------------------
    // Records the session in the map (replacing an entry of the same number);
    // false, recording nothing, once the endpoint is closing.
    bool addSession(const std::shared_ptr<Session>& session);
    // Removes the session's entry if it is still this session's own.
    void removeSession(const Session* session);
    void queueMessage(std::vector<unsigned char> message);

    // ---- Introspection for tests ------------------------------------------
    int listenPort() const { return listenSocket_.ListenPort(); }
    std::size_t sessionCount();
    std::size_t queuedMessages();
    int liveThreads() const { return threads_.live(); }

private:
    void waitForOtherCallbacks();

    const EventCallback callback_;
    std::recursive_mutex lock_;

    std::atomic<bool> closing_{false};
    std::atomic<bool> closed_{false};
    net::ThreadGroup threads_;

    // Callbacks in progress, so that close() can wait for them.
    std::mutex callbackLock_;
    std::condition_variable callbackIdle_;
    int inCallback_ = 0;

    std::mutex controlLock_;  // listen, stop and close in turn
    net::StreamSocket listenSocket_;
    bool isListening_ = false;

    std::mutex clientLock_;  // Connect_Tcp and DisConnect_Tcp in turn
    net::StreamSocket clientSocket_;
    std::atomic<bool> isConnected_{false};
    std::string peerHost_;  // under lock_
    int peerPort_ = 0;      // under lock_
    FrameEncoder encoder_;  // under clientSocket_.sendLock()

    std::mutex queueLock_;
    std::deque<std::vector<unsigned char>> received_;

    std::mutex sessionsLock_;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Session>> sessions_;

    mutable std::mutex handlerLock_;
    std::shared_ptr<FileModeHandler> fileModeHandler_;
};

}  // namespace wirekit::tcp
