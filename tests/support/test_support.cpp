#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/platform.h"

namespace wirekit::test {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void EventLog::record(int code, int param) {
    std::function<void(int, int)> hook;
    {
        std::lock_guard<std::mutex> guard(lock_);
        events_.emplace_back(code, param);
        hook = hook_;
    }
    changed_.notify_all();
    if (hook) hook(code, param);
}

void EventLog::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    events_.clear();
    hook_ = nullptr;
}

std::vector<std::pair<int, int>> EventLog::events() {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
}

std::vector<int> EventLog::codes() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<int> out;
    for (auto& e : events_) out.push_back(e.first);
    return out;
}

int EventLog::count(int code) {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(std::count_if(events_.begin(), events_.end(),
                                          [&](const auto& e) { return e.first == code; }));
}

bool EventLog::waitFor(int code, int times, std::chrono::milliseconds timeout) {
    return waitUntil(
        [&](const std::vector<std::pair<int, int>>& events) {
            return std::count_if(events.begin(), events.end(),
                                 [&](const auto& e) { return e.first == code; }) >= times;
        },
        timeout);
}

bool EventLog::waitUntil(
    const std::function<bool(const std::vector<std::pair<int, int>>&)>& predicate,
    std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return predicate(events_); });
}

void EventLog::setHook(std::function<void(int, int)> hook) {
    std::lock_guard<std::mutex> guard(lock_);
    hook_ = std::move(hook);
}

namespace {
EventLog g_logs[RECORDER_SLOTS];

template <int N>
void recordInto(int code, int param) {
    g_logs[N].record(code, param);
}

const EventCallback g_recorders[RECORDER_SLOTS] = {
    recordInto<0>, recordInto<1>, recordInto<2>, recordInto<3>,
    recordInto<4>, recordInto<5>, recordInto<6>, recordInto<7>,
};
}  // namespace

EventLog& log(int slot) { return g_logs[slot]; }
EventCallback recorder(int slot) { return g_recorders[slot]; }

void resetLogs() {
    for (auto& l : g_logs) l.clear();
}

int openDescriptors() { return platform::openDescriptorCount(); }

long statusField(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(name) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
    }
    return -1;
}

int threadCount() { return static_cast<int>(statusField("Threads")); }

int settledThreadCount() {
    // Some runtimes (a sanitizer's, say) start a helper thread of their own
    // with the first thread a program starts; let that happen first.
    std::thread([] {}).join();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int count = threadCount();
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const int now = threadCount();
        if (now != count) {
            count = now;
            since = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - since >= std::chrono::milliseconds(100)) {
            break;
        }
    }
    return count;
}

int loopCount(const char* name, int fallback) {
    const char* text = std::getenv(name);
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : fallback;
}

void expectDescriptorsBack(int before) {
    EXPECT_TRUE(waitUntil([&] { return openDescriptors() == before; }))
        << openDescriptors() << " descriptors open, " << before << " before";
}

ProcessCounts ProcessCounts::settled() {
    ProcessCounts counts;
    counts.descriptors_ = openDescriptors();
    counts.threads_ = settledThreadCount();
    return counts;
}

void ProcessCounts::expectRestored() const {
    expectDescriptorsBack(descriptors_);
    if (threads_ < 0) return;
    EXPECT_TRUE(waitUntil([&] { return threadCount() == threads_; }))
        << threadCount() << " threads, " << threads_ << " before";
}

NetReference::NetReference() : held_(platform::netStartup() == 0) {}

NetReference::~NetReference() {
    if (held_) platform::netCleanup();
}

}  // namespace wirekit::test
