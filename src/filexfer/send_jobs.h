// The sending half of file transfer: jobs queued by SendFile_Tcp, taken by
// up to two sender threads of the endpoint and run through offer, answer and
// data, each on a connection of its own to the peer of the last Connect_Tcp.
//
// Locks: the file side's re-entrant state lock (file_side.h) guards the
// lists, the sender count, a job's busy flag's changes and every change of a
// job's state but the data phase's own (see setJobState); state, busy and
// progress are atomics, so they may be read without it. A job's connLock
// guards its connection pointer, its idleLock the wait for busy to clear;
// both may be taken under the state lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "filexfer/handle_table.h"
#include "net/stream_socket.h"
#include "wirekit.h"

namespace wirekit::tcp {
class TcpEndpoint;
}

namespace wirekit::filexfer {

// Pause between connecting a job's connection and offering on it, as
// Connect_Tcp makes.
constexpr int JOB_CONNECT_SETTLE_MS = 50;
constexpr int MAX_ACTIVE_SENDERS = 2;
// How long a Pause on a host thread waits for the sender thread to let go
// of the job; past it the thread requeues the job itself when it does.
constexpr int PAUSE_WAIT_MS = 2000;

struct SendJob {
    int handle = 0;
    std::string fileName;
    std::string filePath;
    std::string peerHost;
    std::int64_t fileSize = 0;
    std::atomic<std::int64_t> bytesSent{0};
    std::atomic<int> savedState{JOB_NEW};
    std::atomic<int> state{JOB_NEW};
    // Set by the thread that takes the job, cleared when it lets go;
    // changed under the state lock, idle signalled when it clears.
    std::atomic<bool> busy{false};
    std::mutex idleLock;
    std::condition_variable idle;
    // Set when a Stop found the job busy: its sender thread frees it when
    // it is done with it.
    std::atomic<bool> freeWhenIdle{false};

    // The job's own connection: made and used by the sender thread that
    // works on the job; others only shut it down (connLock guards the
    // pointer, not the socket's operations).
    std::mutex connLock;
    std::unique_ptr<net::StreamSocket> connection;  // guarded by connLock

    FileSendJob snapshot();
};

class SendJobs {
public:
    SendJobs(tcp::TcpEndpoint& endpoint, std::recursive_mutex& stateLock)
        : endpoint_(endpoint), lock_(stateLock) {}

    // The exports. `job` is a handle from 3005; one that names no live job
    // of this endpoint gives 0.
    int sendFile(const char* path);
    int pause(long job);
    int resume(long job);
    int stop(long job);
    int snapshot(long job, FileSendJob* out);

    // Close_Tcp: no job is taken from now on, every connection is shut down
    // so that sender threads end, and every job is freed.
    void close();

private:
    using JobPtr = std::shared_ptr<SendJob>;

    void startSenderIfNeeded();
    void senderThread();
    JobPtr takeNextJob();
    void runJob(SendJob& job);
    bool offer(SendJob& job);
    void awaitAnswer(SendJob& job);
    // False when the file could not be opened (the job is parked with 3012).
    bool dataPhase(SendJob& job);
    // A state change by the sender thread, under the lock, with 3006: a
    // paused job records it as the state to resume to, and a stopped job
    // stays stopped.
    void setJobState(SendJob& job, int value);
    // The data phase's own changes (no event): false, changing nothing,
    // when the job was stopped meanwhile.
    bool moveState(SendJob& job, int value);
    // Clears busy and wakes a Pause or Stop waiting for it. Under the lock.
    static void release(SendJob& job);
    static void waitUntilIdle(SendJob& job);
    // The same, for at most limitMs; true when the job was let go.
    static bool waitUntilIdle(SendJob& job, int limitMs);
    // Under the lock; true when the job was in activeJobs.
    bool removeAndFree(SendJob& job);
    bool requeue(SendJob& job);
    bool restore(SendJob& job);
    // Shuts the job's connection down (a blocked send or receive on it ends)
    // without closing it.
    static void shutdownConnection(SendJob& job);
    static void dropConnection(SendJob& job);

    tcp::TcpEndpoint& endpoint_;
    std::recursive_mutex& lock_;
    HandleTable<SendJob> handles_;
    std::deque<JobPtr> waiting_;  // guarded by lock_
    std::deque<JobPtr> active_;   // guarded by lock_
    int activeSenders_ = 0;       // guarded by lock_
    std::atomic<bool> closed_{false};
};

}  // namespace wirekit::filexfer
