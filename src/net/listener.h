// A listening TCP socket and the thread that accepts its connections.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/thread_group.h"
#include "platform/platform.h"

namespace wirekit::net {

using platform::INVALID_SOCKET_VALUE;
using platform::Socket;

// Runs once per accepted connection on a thread of its own: (socket, port
// the listener is bound to, peer's dotted IPv4 address). It owns the socket
// from the moment it is called and must close it on every path.
using SessionFunction = std::function<void(Socket, int, const std::string&)>;
// Starts `fn` on a new thread of the listener's owner (which accounts for
// and waits for its threads); false when it cannot, `fn` then unrun.
using ThreadStarter = std::function<bool(std::function<void()>)>;

// At most one listening socket at a time, with one accept thread.
//
// Thread safety: every operation may be called from any thread but the
// accept thread itself. stop() shuts the socket down, waits for the accept
// thread to leave it and only then closes it, so the number is never reused
// under that thread.
//
// Locks: lock_ guards the fields marked below; it is never held while the
// accept thread is waited for.
class Listener {
public:
    // Holds a socket-library reference of its own for its lifetime, as a
    // StreamSocket does, so that it works before any endpoint exists.
    Listener();
    // stop(), then the reference goes.
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Stops a listener held, then listens on every local address at `port`
    // (0 picks a free port, 1..65535 otherwise). A port on which another
    // socket listens fails; one left in TIME_WAIT by an earlier listener
    // does not. 1 or 0.
    int listen(int port, int backlog);
    // Starts the accept thread: each accepted connection runs `fn` on a new
    // thread that `startSession` starts; a connection for which no thread
    // can be started is closed. 1 started (or already running), 0 the
    // thread failed to start, -1 not listening.
    int start(ThreadStarter startSession, SessionFunction fn);
    // Shuts the listening socket down, waits for the accept thread, closes
    // the socket. Sessions already started go on. Does nothing when not
    // listening.
    void stop();
    // The port the listener is bound to, or -1.
    int port() const;

private:
    // Per accept thread, so that a restarted listener's thread never reads
    // the flags of the one before it.
    struct AcceptState {
        std::atomic<bool> stop{false};
        std::atomic<bool> running{true};
    };

    void acceptLoop(Socket listener, int port, const ThreadStarter& startSession,
                    const SessionFunction& fn, AcceptState& state);

    const bool netStarted_;
    // The accept thread (one at a time); stop() waits for it.
    core::ThreadGroup acceptThread_;

    mutable std::mutex lock_;
    Socket socket_ = INVALID_SOCKET_VALUE;      // guarded by lock_
    int port_ = -1;                             // guarded by lock_
    std::shared_ptr<AcceptState> acceptState_;  // guarded by lock_
};

}  // namespace wirekit::net
