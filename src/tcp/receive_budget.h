// The memory one TCP endpoint spends on what its peers send: the messages
// waiting in its queue and the partial messages its sessions are collecting,
// together, against one limit (WIREKIT_TCP_RECEIVE_BUDGET unless a test sets
// another).
//
// What counts is memory as allocated: a session's read block and the buffer
// of its partial message, and each waiting message's buffer. A session
// reserves room for its block and for what the bytes of a read can make its
// message buffers allocate before the read, and settles to what it holds
// afterwards, so the limit holds but for the moment a growing buffer is
// copied into its larger successor. When the queue holds
// what a read needs, the session waits (it reads nothing meanwhile, and TCP
// flow control holds its peer back) until the host takes messages: nothing
// is lost. When partial messages alone would pass the limit, the session
// holding the largest of them is stopped and ends as at the message cap
// (3999), so that a peer that never finishes its message cannot starve the
// others.
//
// Locks: lock_ guards every field. Under it the budget may stop a session
// (Session::requestStop takes only the session's and its connection's
// locks); nothing that holds a session's lock calls in here.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <unordered_map>

namespace wirekit::tcp {

class Session;

class ReceiveBudget {
public:
    explicit ReceiveBudget(std::size_t limit);

    std::size_t limit() const { return limit_; }

    // Before a read of up to `bytes` (at most limit()) on `session`: reserves
    // them, waiting while the queue holds what the read needs. False when
    // the session is to end instead: its stop was requested, or the partial
    // messages alone would pass the limit and it holds the largest of them
    // (one that holds more is stopped, and the wait goes on until that one
    // has let go).
    bool reserve(Session& session, std::size_t bytes);
    // The session now holds `bytes` (after a read was decoded, or when it
    // gave its read block back); the rest of its reservation goes back.
    void settle(Session& session, std::size_t bytes);
    // A complete message holding `bytes` went from the session to the queue.
    void queued(Session& session, std::size_t bytes);
    // The session ended: everything it held goes back.
    void leave(Session& session);
    // The host took a message holding `bytes` from the queue.
    void taken(std::size_t bytes);
    // The queue was emptied at once (the endpoint closed).
    void queueCleared();
    // Wakes every reserve() that waits, so that a session whose stop was
    // requested sees it.
    void wakeAll();

    // The default limit for new endpoints (tests lower it).
    static std::size_t defaultLimit();
    static void setDefaultLimitForTests(std::size_t bytes);  // 0 restores the default

private:
    std::mutex lock_;
    std::condition_variable room_;
    const std::size_t limit_;
    std::size_t queued_ = 0;                             // guarded by lock_
    std::size_t held_ = 0;                               // guarded by lock_: sum of holders_
    std::unordered_map<Session*, std::size_t> holders_;  // guarded by lock_
};

}  // namespace wirekit::tcp
