// A blocking TCP connection and listener for the rest of the system.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "frame/platform.h"
#include "net/thread_group.h"

namespace wirekit::net {

using platform::INVALID_SOCKET_VALUE;
using platform::Socket;

// 1 when `s` is not readable right now (no unread bytes, no end of stream, no
// pending error), 0 otherwise or when the check itself fails. Zero wait.
int PeerIsQuiet(Socket s);

// Runs once per accepted connection on a thread of its own: (socket, port
// the listener is bound to, peer's dotted IPv4 address). It owns the socket
// from the moment it is called and must close it on every path.
using SessionFunction = std::function<void(Socket, int, const std::string&)>;

// One object holds at most one connection (made with Connect or taken over
// with Attach) and at most one listening socket.
//
// Thread safety: every operation may be called from any thread. Send and
// Receive may run at the same time on different threads; a Disconnect (or a
// time-out inside Receive) shuts the connection down, waits for every Send
// and Receive still using the descriptor, and only then closes it, so a
// descriptor is never closed under a thread that may still be blocked on it
// (the number could otherwise be reused by a new connection). Byte order
// between two concurrent senders is the callers' business: a sender that
// writes in several calls holds sendLock() across them.
//
// lastError(): the platform error code of the last failed operation, or -1
// when an operation was refused because there was no usable connection. No
// result depends on it.
class StreamSocket {
public:
    StreamSocket();
    // Closes a connection made by Connect (one taken over by Attach stays
    // open: its user closes it) and the listener.
    ~StreamSocket();
    StreamSocket(const StreamSocket&) = delete;
    StreamSocket& operator=(const StreamSocket&) = delete;

    // ---- Connection ------------------------------------------------------
    // Closes any connection held, resolves `host` (a name or dotted IPv4
    // text) and connects, blocking for as long as the platform's connect
    // does. TCP_NODELAY is set on the new connection. 1 connected, 0 failed
    // (an unresolvable name leaves lastError() unchanged).
    int Connect(const char* host, int port);
    // Takes over an accepted connection, whatever the peer has already sent
    // or whether it has already closed (the first read shows that). A
    // connection held before is closed first. Sets TCP_NODELAY. The object
    // does not own the socket: the destructor leaves it open.
    void Attach(Socket s);
    // Shuts the connection down, waits for the threads using it, closes it.
    // Does nothing when no connection is held.
    void Disconnect();
    // Shuts the connection down without closing it: a Receive waiting on
    // another thread returns at once with 0; with bothDirections a Send in
    // progress fails too, and so does every Send, SendAll or SendParts that
    // starts later (SendNow, which cannot block, still goes out when none
    // was in progress). Safe from any thread.
    void Shutdown(bool bothDirections);

    // The steps that gate every send: -1 without a usable connection; when
    // the peer is not quiet (unread input waiting, closed, error pending)
    // the connection counts as unusable from now on (it stays held until
    // Disconnect) and -1 is returned. Otherwise one send call; its result
    // (a short count is not completed here).
    int Send(const void* data, int length);
    // The same gate as Send, without sending: true when a send may go out.
    bool ReadyToSend();
    // Sends every byte, looping on short sends; no liveness check. 1 when
    // all went out, 0 otherwise. `sent` (optional) receives the number of
    // bytes that went out either way.
    int SendAll(const void* data, std::size_t length, std::size_t* sent = nullptr);
    // One send of what the send buffer takes right now, without waiting for
    // room and without the liveness gate. As it cannot block it never counts
    // as a send in progress, so a short last answer still goes out on a
    // connection that another thread is stopping (see Shutdown). The byte
    // count taken, 0 when there was no room at all, -1 on failure or without
    // a usable connection.
    long SendNow(const void* data, std::size_t length);
    // SendAll for up to 64 parts sent in order with gathered sends. With
    // `gate`, ReadyToSend's check comes first, in the same step.
    int SendParts(const platform::SendPart* parts, std::size_t count, std::size_t* sent,
                  bool gate);
    // Waits up to timeoutMs (negative: no limit) for input, then reads once,
    // at most `length` bytes. > 0 bytes read; 0 the peer closed (or another
    // thread shut the connection down); -1 failure or no usable connection.
    // When the limit passes the connection is closed exactly as Disconnect
    // does and the result is 0.
    int Receive(void* buffer, int length, int timeoutMs);
    // PeerIsQuiet on the held connection without changing anything; 0 when
    // there is none.
    int PeerQuiet();

    bool IsConnected() const;
    // The descriptor held (also after it became unusable), or -1.
    Socket SocketNumber() const;
    bool OwnsConnection() const;
    // Held by callers that send one logical unit in several calls.
    std::mutex& sendLock() { return sendLock_; }

    // ---- Listener --------------------------------------------------------
    // Closes a listener held, then listens on every local address at `port`
    // (0 picks a free port). A port on which another socket listens fails;
    // one left in TIME_WAIT by an earlier listener does not. 1 or 0.
    int Listen(int port, int backlog);
    // Starts the accept thread: each accepted connection runs `fn` on a new
    // thread of `group`; a connection for which no thread can be started is
    // closed. 1 started (or already running), 0 the thread failed to start,
    // -1 not listening.
    int StartAcceptThread(ThreadGroup group, SessionFunction fn);
    // Shuts the listener down, waits for the accept thread, closes it.
    // Sessions already started go on. Always 1.
    int StopListen();
    void CloseListener();
    bool IsListening() const;
    // The port the listener is bound to, or -1.
    int ListenPort() const;

    int lastError() const { return lastError_.load(); }

private:
    struct Connection {
        Socket socket;
        bool usable = true;
        int users = 0;    // threads inside an operation on the descriptor
        int senders = 0;  // of those, the ones that may be blocked in a send
        // A shutdown in both directions was asked for while no send was in
        // progress; a send that may block shuts the sending direction itself.
        bool sendingEnded = false;
    };
    // A counted use of the current connection; empty when there is none.
    class Use {
    public:
        Use(StreamSocket& owner, bool requireUsable, bool sending = false);
        ~Use();
        explicit operator bool() const { return connection_ != nullptr; }
        Socket socket() const { return connection_->socket; }
        Connection* connection() const { return connection_; }

    private:
        StreamSocket& owner_;
        Connection* connection_ = nullptr;
        bool sending_;
    };
    // Ends the receiving direction, and the sending one too when a sender
    // may be blocked on it. The sending direction is left alone otherwise:
    // once our FIN is out, Linux stops reopening the receive window, and a
    // peer blocked on a full window would then hang until the orphaned
    // socket expires instead of getting a reset at its next send.
    static void shutdownFor(Connection& c, bool wakeSenders);

    // Per accept thread, so that a restarted listener's thread never reads
    // the flags of the one before it.
    struct AcceptState {
        std::atomic<bool> stop{false};
        std::atomic<bool> running{true};
    };

    static void acceptLoop(StreamSocket* self, Socket listener, int port, ThreadGroup group,
                           SessionFunction fn, std::shared_ptr<AcceptState> state);
    // Disconnect, limited to one connection: a no-op when `c` is no longer
    // the connection held.
    void closeConnection(Connection* c);
    void markUnusable(Connection* c);
    void setError(int code) { lastError_.store(code); }

    std::atomic<int> lastError_{0};
    bool netStarted_ = false;

    mutable std::mutex connLock_;
    std::condition_variable connIdle_;
    std::unique_ptr<Connection> connection_;
    bool ownsConnection_ = false;
    std::mutex sendLock_;

    mutable std::mutex listenLock_;
    Socket listeningSocket_ = INVALID_SOCKET_VALUE;
    int listenPort_ = -1;
    bool ownsListener_ = false;
    std::thread acceptThread_;
    std::shared_ptr<AcceptState> acceptState_;
};

}  // namespace wirekit::net
