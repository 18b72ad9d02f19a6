// A blocking TCP connection for the rest of the system.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

#include "platform/platform.h"

namespace wirekit::net {

using platform::INVALID_SOCKET_VALUE;
using platform::Socket;

// One object holds at most one connection, made with connect() or taken over
// with attach().
//
// Thread safety: every operation may be called from any thread. Sends and
// receives may run at the same time on different threads; a disconnect() (or
// a time-out inside receive()) shuts the connection down, waits for every
// send and receive still using the descriptor, and only then closes it, so a
// descriptor is never closed under a thread that may still be blocked on it
// (the number could otherwise be reused by a new connection). Byte order
// between two concurrent senders is the callers' business: a sender that
// writes in several calls holds sendLock() across them.
//
// Operations take no lock: an operation marks itself as a reader of the
// current epoch (an atomic count per epoch's parity) before it looks at the
// connection, and a closer, having taken the connection out of view, starts
// a new epoch and waits for the readers of the old one to leave before it
// closes the descriptor. A send on the client connection of an endpoint thus
// takes only the caller's sendLock().
//
// Locks: connLock_ guards connection_ and ownsConnection_ (changing which
// connection is held; current_ mirrors connection_ for the operations) and
// serves the closer's wait; it is held only for bookkeeping, never across a
// socket call. closeLock_ lets one closer at a time start an epoch and wait
// for it; it is taken before connLock_. sendLock_ belongs to the callers (see
// above). When it is held with the others, sendLock_ comes first.
//
// lastError(): the platform error code of the last failed operation, or -1
// when an operation was refused because there was no usable connection. No
// result depends on it.
class StreamSocket {
public:
    StreamSocket();
    // Closes a connection made by connect(); one taken over by attach()
    // stays open: its user closes it.
    ~StreamSocket();
    StreamSocket(const StreamSocket&) = delete;
    StreamSocket& operator=(const StreamSocket&) = delete;

    // Closes any connection held, resolves `host` (a name or dotted IPv4
    // text) and connects, blocking for as long as the platform's connect
    // does. TCP_NODELAY is set on the new connection. 1 connected, 0 failed
    // (an unresolvable name leaves lastError() unchanged).
    int connect(const char* host, int port);
    // Takes over an accepted connection, whatever the peer has already sent
    // or whether it has already closed (the first read shows that). A
    // connection held before is closed first. Sets TCP_NODELAY. The object
    // does not own the socket: the destructor leaves it open.
    void attach(Socket s);
    // Shuts the connection down, waits for the threads using it, closes it.
    // Does nothing when no connection is held.
    void disconnect();
    // Shuts the connection down without closing it: a receive() waiting on
    // another thread returns at once with 0; with bothDirections a send in
    // progress fails too, and so does every send(), sendAll() or
    // sendParts() that starts later (sendNow(), which cannot block, still
    // goes out when none was in progress). Safe from any thread.
    void shutdown(bool bothDirections);

    // The steps that gate every send: -1 without a usable connection; when
    // the peer is not quiet (unread input waiting, closed, error pending)
    // the connection counts as unusable from now on (it stays held until
    // disconnect()) and -1 is returned. Otherwise one send call; its result
    // (a short count is not completed here).
    int send(const void* data, int length);
    // Sends every byte, looping on short sends; no liveness check. 1 when
    // all went out, 0 otherwise. `sent` (optional) receives the number of
    // bytes that went out either way.
    int sendAll(const void* data, std::size_t length, std::size_t* sent = nullptr);
    // One send of what the send buffer takes right now, without waiting for
    // room and without the liveness gate. As it cannot block it never counts
    // as a send in progress, so a short last answer still goes out on a
    // connection that another thread is stopping (see shutdown()). The byte
    // count taken, 0 when there was no room at all, -1 on failure or without
    // a usable connection.
    long sendNow(const void* data, std::size_t length);
    // sendAll() for up to 64 parts sent in order with gathered sends. With
    // `gate`, send()'s liveness check comes first, in the same step.
    int sendParts(const platform::SendPart* parts, std::size_t count, std::size_t* sent, bool gate);
    // Waits up to timeoutMs (negative: no limit) for input, then reads once,
    // at most `length` bytes. > 0 bytes read; 0 the peer closed (or another
    // thread shut the connection down); -1 failure or no usable connection.
    // When the limit passes the connection is closed exactly as disconnect()
    // does and the result is 0.
    int receive(void* buffer, int length, int timeoutMs);
    // What receiveNow() and peek() return when no byte is waiting.
    static constexpr int NOTHING_WAITING = -2;
    // One read of what is waiting, without waiting. > 0 bytes read, 0 the
    // end of the stream, NOTHING_WAITING, -1 failure.
    int receiveNow(void* buffer, int length);
    // Waits up to timeoutMs (negative: no limit) for input or for `wake`
    // to be raised: 1 input, 2 woken, 0 time limit (nothing is closed), -1
    // failure.
    int waitInputOrWake(platform::Wakeup* wake, int timeoutMs);
    // Looks at the connection without taking anything: 1 bytes are waiting,
    // 0 the peer closed with nothing left unread, NOTHING_WAITING, -1 the
    // connection failed (a reset, say).
    int peek();
    // 1 when the held connection is not readable right now (no unread bytes,
    // no end of stream, no pending error), without changing anything; 0
    // otherwise, also when there is none.
    int peerIsQuiet();

    bool isConnected() const;
    // The descriptor held (also after it became unusable), or -1.
    Socket socketNumber() const;
    bool ownsConnection() const;
    // Held by callers that send one logical unit in several calls.
    std::mutex& sendLock() { return sendLock_; }

    int lastError() const { return lastError_.load(); }

private:
    struct Connection {
        Socket socket = INVALID_SOCKET_VALUE;
        std::atomic<bool> usable{true};
        std::atomic<int> senders{0};  // operations that may be blocked in a send
        // A shutdown in both directions was asked for; a send that may block
        // and starts later shuts the sending direction itself.
        std::atomic<bool> sendingEnded{false};
        // The receive limit set on the socket (-1: none yet); only the
        // thread in receiveWithin() uses it.
        std::atomic<int> receiveLimitMs{-1};
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
        int parity_;  // of the epoch this use counts in
    };
    // A reader of epoch parity `parity` leaves; the last one wakes a closer.
    void leave(int parity);
    // Ends the receiving direction, and the sending one too when a sender
    // may be blocked on it. The sending direction is left alone otherwise:
    // once our FIN is out, Linux stops reopening the receive window, and a
    // peer blocked on a full window would then hang until the orphaned
    // socket expires instead of getting a reset at its next send.
    static void shutdownFor(Connection& c, bool wakeSenders);

    // disconnect(), limited to one connection: a no-op when `c` is no longer
    // the connection held.
    void closeConnection(Connection* c);
    // receive() with a limit (timeoutMs > 0): the wait and the read are one
    // call of the system, which keeps the limit itself (set on the
    // connection whenever it changes).
    int receiveWithin(void* buffer, int length, int timeoutMs);
    void markUnusable(Connection* c);
    void setError(int code) { lastError_.store(code); }

    std::atomic<int> lastError_{0};
    bool netStarted_ = false;

    mutable std::mutex connLock_;
    std::condition_variable connIdle_;        // the readers of an epoch left
    std::unique_ptr<Connection> connection_;  // guarded by connLock_
    bool ownsConnection_ = false;             // guarded by connLock_
    // The connection operations see; set under connLock_, read without it.
    std::atomic<Connection*> current_{nullptr};
    std::atomic<unsigned> epoch_{0};
    std::atomic<int> readers_[2] = {{0}, {0}};  // by the epoch's parity
    std::atomic<int> closersWaiting_{0};
    std::mutex closeLock_;
    std::mutex sendLock_;
};

}  // namespace wirekit::net
