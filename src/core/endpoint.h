// What every endpoint kind shares: its events, its threads and the one way
// it closes.
//
// Close protocol (close()):
//  1. The gate closes: from here on no callback of the endpoint starts.
//  2. The thread group closes: no new thread of the endpoint starts.
//  3. stopActivity(), the kind's own step: end every wait and shut down every
//     socket the endpoint's threads block on, so that they end.
//  4. Wait until no callback of the endpoint runs on another thread.
//  5. Unless the caller is one of the endpoint's own threads (a close from
//     inside the endpoint's callback), wait for every thread of the endpoint
//     to end, then releaseResources(). Called on an own thread, close()
//     returns at once instead; that thread ends when its callback returns,
//     and the memory goes with the last reference, which the threads hold.
// Either way, when close() returns no callback of the endpoint runs or will
// run on any other thread. close() runs once; later calls return at once.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "core/callback_gate.h"
#include "core/thread_group.h"
#include "wirekit.h"

namespace wirekit::core {

class Endpoint : public std::enable_shared_from_this<Endpoint> {
public:
    virtual ~Endpoint() = default;
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    // The close protocol above; the registry calls it when the handle is
    // retired.
    void close();

    // Raises an event unless the endpoint is closing (or has no callback).
    // True when the callback ran. Any thread, any lock.
    bool raise(int code, int param) { return gate_.raise(code, param); }
    bool closing() const { return gate_.closed(); }
    // False when the host gave no callback, so that nobody can answer what
    // the endpoint would ask through an event.
    bool hasCallback() const { return gate_.hasCallback(); }

    // Starts `fn` on a new thread of the endpoint (small stack, see
    // ThreadGroup). The thread holds a reference to the endpoint while it
    // runs, and close() waits for it. False once the endpoint is closing or
    // when no thread can be started.
    bool startThread(std::function<void()> fn);
    // True on one of the endpoint's own threads.
    bool onOwnThread() const { return threads_.isMember(); }
    // Threads of the endpoint still running (tests, diagnostics).
    int liveThreads() const { return threads_.live(); }

protected:
    explicit Endpoint(EventCallback callback = nullptr) : gate_(callback) {}
    // For kinds that learn their callback after construction.
    void setCallback(EventCallback callback) { gate_.set(callback); }

    // Step 3 of close(): may run on one of the endpoint's own threads; no
    // library lock is held.
    virtual void stopActivity() = 0;
    // Step 5 of close(), once every thread has ended. Not called when the
    // close came from an own thread; the destructor then releases.
    virtual void releaseResources() {}

private:
    CallbackGate gate_;
    ThreadGroup threads_;
    std::atomic<bool> closed_{false};
};

}  // namespace wirekit::core
