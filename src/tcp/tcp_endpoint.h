// The TCP endpoint behind a handle from Init_Tcp: a listener whose accepted
// connections each run a session, one outgoing client connection, the queue
// of received messages and the map of live sessions.
//
// The file-transfer side lives above this folder and plugs in through the
// FileModeHandler (file_mode_handler.h), installed with setFileModeHandler()
// before the endpoint is shared. A session whose decoder ends a non-empty
// header with 0x05 0x06 hands its connection to it; without a handler the
// session reads and discards the rest of the connection and, when it ends,
// raises 3999 (param 0) as a message-mode session would. The file side also
// uses raise(), closing(), startThread() (core::Endpoint), peer() and
// findSession().
//
// Closing (core::Endpoint::close): the kind's step stops the listener, asks
// every session to stop (its connection is shut down and its waits end),
// closes the client connection and tells the file side; the common protocol
// then waits for the callbacks and threads.
//
// Locks (none is held while the host's callback runs):
//  - controlLock_: the listener and isListening_ (listen, stop and close in
//    turn).
//  - clientLock_: Connect_Tcp and DisConnect_Tcp in turn, and isConnected_'s
//    changes. Taken before peerLock_.
//  - peerLock_: peerHost_, peerPort_ (read by file-sender threads).
//  - clientSocket_.sendLock(): encoder_ and the order of a framed message's
//    bytes on the client connection.
//  - queueLock_: received_.
//  - sessionsLock_: sessions_. A session's own locks may be taken under it.
//  - budget_ has its own lock (receive_budget.h), taken under none of these.
//  - handlerLock_: fileModeHandler_.
// No two of these are held at once except clientLock_ then peerLock_. A
// session's own locks (session.h) may be taken under sessionsLock_ and under
// the budget's lock; nothing that holds a session's lock takes one of these.
// The file side's state lock (filexfer/file_side.h) comes before all of
// them: a handler of the file-state events may call the TCP exports.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/endpoint.h"
#include "net/listener.h"
#include "net/stream_socket.h"
#include "tcp/file_mode_handler.h"
#include "tcp/framing.h"
#include "tcp/receive_budget.h"
#include "wirekit.h"

namespace wirekit::tcp {

class Session;

class TcpEndpoint : public core::Endpoint {
public:
    // Pause after each connect attempt of Connect_Tcp.
    static constexpr int CONNECT_SETTLE_MS = 50;
    // Connections wait for the accept thread in the longest queue the system
    // allows: with a short one, a client opening connections one after
    // another loses SYNs and waits a second for each retransmit.
    static constexpr int LISTEN_BACKLOG = platform::BACKLOG_MAX;
    // Accepted connections served at once by the whole process, all
    // endpoints together, in a 32-bit build (0: no limit of its own). Each
    // session thread reserves its stack in an address space of 2 GiB shared
    // with the host; 512 stacks take 128 MiB of it. A connection past the
    // limit is closed as soon as it is accepted.
    static constexpr int MAX_SESSIONS = sizeof(void*) == 4 ? 512 : 0;

    explicit TcpEndpoint(EventCallback callback);
    ~TcpEndpoint() override;

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
    // Host and port of the last Connect_Tcp that did not reuse the
    // connection ("" and 0 before any).
    void peer(std::string* host, int* port);
    // Installed by Init_Tcp before the endpoint is shared (tests replace it).
    void setFileModeHandler(std::shared_ptr<FileModeHandler> handler);
    // The live session with that socket number, or null.
    std::shared_ptr<Session> findSession(std::uintptr_t socket);

    // ---- For the session loop ---------------------------------------------
    std::shared_ptr<FileModeHandler> fileModeHandler() const;
    // Records the session in the map (replacing an entry of the same number);
    // false, recording nothing, once the endpoint is closing.
    bool addSession(const std::shared_ptr<Session>& session);
    // Removes the session's entry if it is still this session's own.
    void removeSession(const Session* session);
    // Moves a message the session completed to the queue (and its bytes
    // from the session's part of the budget to the queue's).
    void queueMessage(Session& session, MessageBytes message);
    ReceiveBudget& budget() { return budget_; }

    // ---- Observers (tests) --------------------------------------------------
    int listenPort() const { return listener_.port(); }
    std::size_t sessionCount();
    platform::Socket clientSocketNumber() const { return clientSocket_.socketNumber(); }
    int clientPeerIsQuiet() { return clientSocket_.peerIsQuiet(); }

private:
    // Starts a session thread unless the process serves MAX_SESSIONS.
    bool startSession(std::function<void()> fn);
    void stopActivity() override;
    void releaseResources() override;
    std::shared_ptr<TcpEndpoint> self() {
        return std::static_pointer_cast<TcpEndpoint>(shared_from_this());
    }

    mutable std::mutex handlerLock_;
    std::shared_ptr<FileModeHandler> fileModeHandler_;  // guarded by handlerLock_

    std::mutex controlLock_;
    net::Listener listener_;    // guarded by controlLock_
    bool isListening_ = false;  // guarded by controlLock_

    std::mutex clientLock_;
    // Connected and disconnected under clientLock_ (the close disconnects
    // without it); sends take its sendLock(), and it guards itself inside.
    net::StreamSocket clientSocket_;
    // Changed under clientLock_, and cleared by the close.
    std::atomic<bool> isConnected_{false};
    std::mutex peerLock_;
    std::string peerHost_;  // guarded by peerLock_
    int peerPort_ = 0;      // guarded by peerLock_
    FrameEncoder encoder_;  // guarded by clientSocket_.sendLock()

    ReceiveBudget budget_;

    std::mutex queueLock_;
    std::deque<MessageBytes> received_;  // guarded by queueLock_

    std::mutex sessionsLock_;
    // guarded by sessionsLock_
    std::unordered_map<std::uintptr_t, std::shared_ptr<Session>> sessions_;
};

}  // namespace wirekit::tcp
