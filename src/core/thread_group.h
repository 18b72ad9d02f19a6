// Accounting for the threads one owner starts, so that the owner can wait for
// all of them to end before it goes away.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace wirekit::core {

// Stack reserved for each thread of a group. Sessions and file senders keep
// their buffers on the heap and use a few KiB of stack themselves, but the
// host's callback runs on these threads too (and may be an interpreter's
// trampoline, or keep a large buffer on its stack). A reservation costs
// address space, not memory, until it is used: a 64-bit process gives every
// thread the 1 MiB that a Windows host's own threads have; a 32-bit one,
// whose 2 GiB of address space a listener with hundreds of connections
// shares with the host, gives 256 KiB.
constexpr std::size_t GROUP_THREAD_STACK_BYTES = sizeof(void*) == 4 ? 256 * 1024 : 1024 * 1024;

// A set of detached threads started by one owner (an endpoint, for its
// sessions, file senders or UDP threads; a listener, for its accept thread).
// Every thread of the library starts here. The group counts the threads that still run,
// lets the owner wait until none does, and tells whether the calling thread
// is one of them (an owner closed from inside one of its own threads must not
// wait for that thread).
//
// Copies are handles to the same group. The group's bookkeeping lives until
// the last of its threads has ended, so a thread may safely drop the last
// reference to the owner (and so destroy the owner's handle) on its way out.
class ThreadGroup {
public:
    ThreadGroup();

    // Runs `fn` on a new thread counted in the group, with a stack of
    // GROUP_THREAD_STACK_BYTES. Exceptions that leave
    // `fn` are swallowed. Returns false, and runs nothing, when the thread
    // cannot be started or the group was closed. `fn` (and what it captured)
    // is destroyed on the new thread before the thread counts as ended.
    bool start(std::function<void()> fn);

    // Refuses every later start(). Threads already started go on.
    void close();

    // Waits until every thread of the group has ended; a calling thread that
    // is itself a member is not waited for.
    void waitIdle() const;

    // Threads of the group still running.
    int live() const;

    // True when the calling thread was started by this group.
    bool isMember() const;

    // Threads of every group that are running now (tests, diagnostics).
    static int runningThreads();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace wirekit::core
