#include "core/thread_group.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/platform.h"

namespace wirekit::core {

struct ThreadGroup::State {
    mutable std::mutex lock;
    mutable std::condition_variable ended;
    int live = 0;
    bool closed = false;
};

namespace {
// The group whose thread this is; each thread belongs to at most one group.
thread_local const void* t_memberOf = nullptr;
std::atomic<int> g_running{0};
}  // namespace

ThreadGroup::ThreadGroup() : state_(std::make_shared<State>()) {}

bool ThreadGroup::start(std::function<void()> fn) {
    std::shared_ptr<State> state = state_;
    // Built before the thread is counted: building it may fail for want of
    // memory, and a count without a thread would make waitIdle() wait for
    // ever.
    std::function<void()> body;
    try {
        body = [state, fn = std::move(fn)]() mutable {
            t_memberOf = state.get();
            try {
                fn();
            } catch (...) {
            }
            // What fn captured may include the last reference to the owner;
            // release it while the thread still counts as running, so that an
            // owner waiting in waitIdle() outlives it.
            try {
                fn = nullptr;
            } catch (...) {
            }
            g_running.fetch_sub(1);
            std::lock_guard<std::mutex> guard(state->lock);
            --state->live;
            state->ended.notify_all();
        };
    } catch (...) {
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(state->lock);
        if (state->closed) return false;
        ++state->live;
    }
    g_running.fetch_add(1);
    if (!platform::startThread(std::move(body), GROUP_THREAD_STACK_BYTES)) {
        g_running.fetch_sub(1);
        std::lock_guard<std::mutex> guard(state->lock);
        --state->live;
        state->ended.notify_all();
        return false;
    }
    return true;
}

void ThreadGroup::close() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->closed = true;
}

void ThreadGroup::waitIdle() const {
    const int self = isMember() ? 1 : 0;
    std::unique_lock<std::mutex> guard(state_->lock);
    state_->ended.wait(guard, [&] { return state_->live <= self; });
}

int ThreadGroup::live() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->live;
}

bool ThreadGroup::isMember() const { return t_memberOf == state_.get(); }

}  // namespace wirekit::core

namespace wirekit::core {
int ThreadGroup::runningThreads() { return g_running.load(); }
}  // namespace wirekit::core
