// Helpers shared by the test programs: waiting with a deadline, recording
// events from the context-free host callback, counting descriptors.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "wirekit.h"

namespace wirekit::test {

// Polls `condition` until it holds or `timeout` passes; true when it held.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The events one endpoint raised, in order, with a condition variable so
// tests can wait for an event with a deadline.
class EventLog {
public:
    void record(int code, int param);
    void clear();
    std::vector<std::pair<int, int>> events();
    std::vector<int> codes();
    int count(int code);
    // Waits until `code` has been seen at least `times` times.
    bool waitFor(int code, int times = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until `predicate(events)` holds.
    bool waitUntil(const std::function<bool(const std::vector<std::pair<int, int>>&)>& predicate,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Optional hook run on the raising thread after the event is recorded.
    void setHook(std::function<void(int, int)> hook);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::pair<int, int>> events_;
    std::function<void(int, int)> hook_;
};

// The host callback has no context pointer, so tests use numbered slots:
// recorder(n) is a callback that records into log(n).
constexpr int RECORDER_SLOTS = 8;
EventLog& log(int slot);
EventCallback recorder(int slot);
// Clears every slot's events and hooks.
void resetLogs();

// Holds one reference to the socket library while it lives. Tests that open
// raw sockets need one, as every endpoint and stream socket holds its own (on
// Windows no socket can be created without it).
class NetReference {
public:
    NetReference();
    ~NetReference();
    NetReference(const NetReference&) = delete;
    NetReference& operator=(const NetReference&) = delete;
    bool held() const { return held_; }

private:
    bool held_;
};

// Open descriptors of this process (-1 where unknown).
int openDescriptors();

// A numeric field of /proc/self/status ("Threads", "VmRSS" in KiB, ...);
// -1 where the system does not tell.
long statusField(const char* name);
// Threads of this process, from /proc/self/status (-1 where unknown).
int threadCount();
// threadCount() once threads that an earlier test ended have gone (and any
// helper thread a runtime starts with a program's first thread exists): the
// first count that holds for 100 ms (giving up after 5 s).
int settledThreadCount();

// A loop count taken from the environment variable `name` when it holds a
// positive number, else `fallback`.
int loopCount(const char* name, int fallback);

// Waits (10 s at most) for the open descriptor count to come back to
// `before`, failing the running test when it does not.
void expectDescriptorsBack(int before);

// The descriptor and thread counts of this process at one moment, so that a
// test can check at its end that everything it started has been given back.
class ProcessCounts {
public:
    // The counts now, threads once they have settled (see settledThreadCount).
    static ProcessCounts settled();
    // Waits (10 s at most for each) for both counts to come back to these,
    // failing the running test when one does not. Threads are not checked
    // where they cannot be counted.
    void expectRestored() const;

private:
    int descriptors_ = 0;
    int threads_ = -1;
};

// Counts callbacks that start once `closed` is set: a race test sets it right
// after a close returns, so every later callback is a broken promise. Call
// seen() first thing in every callback.
struct LateCallbacks {
    std::atomic<bool> closed{false};
    std::atomic<int> late{0};
    void seen() {
        if (closed.load()) ++late;
    }
};

}  // namespace wirekit::test
