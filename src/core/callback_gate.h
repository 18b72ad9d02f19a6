// The one way an endpoint raises an event to its host.
//
// A gate holds the host's callback and counts the callbacks running through
// it, so that closing an endpoint can promise that no callback of it starts
// after the close returns and that none is still running on another thread.
// A close may come from inside one of the endpoint's own callbacks (the host
// calls Close_Tcp from its event handler); the callbacks on the closing
// thread's own stack are then not waited for, or the close would wait for
// itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "wirekit.h"

namespace wirekit::core {

class CallbackGate {
public:
    explicit CallbackGate(EventCallback callback = nullptr) : callback_(callback) {}
    CallbackGate(const CallbackGate&) = delete;
    CallbackGate& operator=(const CallbackGate&) = delete;

    // Stores the callback (once, before any thread of the endpoint raises).
    void set(EventCallback callback) { callback_.store(callback); }
    // False when the host gave no callback: nothing it raises is seen.
    bool hasCallback() const { return callback_.load() != nullptr; }

    // Calls the host's callback with (code, param) unless the gate is closed
    // or there is no callback; true when it ran. Never throws: whatever the
    // handler throws stops here. Safe from any thread, with any lock held
    // (the caller decides which locks a host may meet in its handler).
    bool raise(int code, int param);

    // Refuses every raise() from now on. Callbacks already running go on.
    void close();
    bool closed() const { return closed_.load(); }

    // After close(): waits until no callback of this gate runs on another
    // thread. Those on the calling thread's own stack are not waited for.
    void waitForOthers();

private:
    // Wakes waitForOthers() after the count fell, once the gate is closed.
    void wakeCloser();

    std::atomic<EventCallback> callback_;
    std::atomic<bool> closed_{false};
    // Callbacks in progress on all threads. Raised before the closed flag is
    // looked at, so that a close either refuses a raise or sees it running.
    std::atomic<int> running_{0};
    // Only for waitForOthers: its wait and the wake-ups of callbacks that
    // end after the close.
    std::mutex idleLock_;
    std::condition_variable idle_;
};

}  // namespace wirekit::core
