#include "core/callback_gate.h"

namespace wirekit::core {

namespace {
// The callbacks running on this thread, innermost first. The frames live on
// the stacks of the raise() calls. A plain pointer on purpose: a
// thread-local with a destructor is destroyed at every thread's exit, and
// with the Windows toolchain's threads library that destruction takes the
// loader lock while holding the library's own lock, which deadlocks against
// another thread ending at the same time.
struct Frame {
    const CallbackGate* gate;
    const Frame* outer;
};
thread_local const Frame* t_frames = nullptr;
}  // namespace

bool CallbackGate::raise(int code, int param) {
    const EventCallback callback = callback_.load();
    if (!callback) return false;
    running_.fetch_add(1);
    if (closed_.load()) {
        // The closing thread may have counted this raise as a callback in
        // progress. It waits for the count to fall to the callbacks on its
        // own stack, not to zero, so every refused raise wakes it.
        running_.fetch_sub(1);
        wakeCloser();
        return false;
    }
    const Frame frame{this, t_frames};
    t_frames = &frame;
    try {
        callback(code, param);
    } catch (...) {
        // Nothing a host handler throws may unwind through library threads.
    }
    t_frames = frame.outer;
    running_.fetch_sub(1);
    if (closed_.load()) wakeCloser();
    return true;
}

void CallbackGate::wakeCloser() {
    // Taking the lock orders this wake-up after the waiter's last look at
    // the count, so it cannot fall between the look and the wait.
    { std::lock_guard<std::mutex> guard(idleLock_); }
    idle_.notify_all();
}

void CallbackGate::close() { closed_.store(true); }

void CallbackGate::waitForOthers() {
    int mine = 0;
    for (const Frame* f = t_frames; f; f = f->outer)
        if (f->gate == this) ++mine;
    std::unique_lock<std::mutex> guard(idleLock_);
    idle_.wait(guard, [&] { return running_.load() <= mine; });
}

}  // namespace wirekit::core
