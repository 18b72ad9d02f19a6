#include "tcp/receive_budget.h"

#include <algorithm>
#include <atomic>

#include "tcp/session.h"
#include "wirekit.h"

namespace wirekit::tcp {

namespace {
std::atomic<std::size_t> g_testLimit{0};
}  // namespace

std::size_t ReceiveBudget::defaultLimit() {
    const std::size_t forTests = g_testLimit.load();
    return forTests > 0 ? forTests : static_cast<std::size_t>(WIREKIT_TCP_RECEIVE_BUDGET);
}

void ReceiveBudget::setDefaultLimitForTests(std::size_t bytes) { g_testLimit.store(bytes); }

ReceiveBudget::ReceiveBudget(std::size_t limit) : limit_(limit > 0 ? limit : 1) {}

bool ReceiveBudget::reserve(Session& session, std::size_t bytes) {
    std::unique_lock<std::mutex> guard(lock_);
    std::size_t& mine = holders_[&session];
    for (;;) {
        if (session.stopRequested()) return false;
        if (queued_ + held_ + bytes <= limit_) {
            mine += bytes;
            held_ += bytes;
            return true;
        }
        if (held_ + bytes > limit_) {
            // Partial messages alone leave no room: the largest goes.
            auto largest = std::max_element(
                holders_.begin(), holders_.end(),
                [](const auto& a, const auto& b) { return a.second < b.second; });
            if (largest->first == &session || largest->second <= mine) return false;
            if (!largest->first->stopRequested()) largest->first->requestStop(false);
        }
        room_.wait(guard);
    }
}

void ReceiveBudget::giveBack(std::size_t& held, std::size_t keep) {
    if (held <= keep) return;
    held_ -= held - keep;
    held = keep;
    room_.notify_all();
}

void ReceiveBudget::settle(Session& session, std::size_t partial) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = holders_.find(&session);
    if (it == holders_.end()) return;
    // A partial message can only have grown by what was reserved for it.
    giveBack(it->second, partial);
}

void ReceiveBudget::queued(Session& session, std::size_t bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = holders_.find(&session);
    const std::size_t moved = it == holders_.end() ? 0 : std::min(it->second, bytes);
    if (moved > 0) {
        it->second -= moved;
        held_ -= moved;
    }
    queued_ += bytes;
}

void ReceiveBudget::leave(Session& session) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = holders_.find(&session);
    if (it == holders_.end()) return;
    held_ -= it->second;
    holders_.erase(it);
    room_.notify_all();
}

void ReceiveBudget::taken(std::size_t bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    queued_ -= std::min(queued_, bytes);
    room_.notify_all();
}

void ReceiveBudget::queueCleared() {
    std::lock_guard<std::mutex> guard(lock_);
    queued_ = 0;
    room_.notify_all();
}

void ReceiveBudget::wakeAll() {
    std::lock_guard<std::mutex> guard(lock_);
    room_.notify_all();
}

}  // namespace wirekit::tcp
