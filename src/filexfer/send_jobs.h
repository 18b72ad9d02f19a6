// The sending half of file transfer: jobs queued by SendFile_Tcp, taken by
// up to two sender threads of the endpoint and run through offer, answer and
// data, each on a connection of its own to the peer of the last Connect_Tcp.
//
// Lists and counters are guarded by the endpoint's re-entrant lock; a job's
// state, busy flag and progress are atomics written by the sender thread and
// by the host's Pause and Stop.
#pragma once

#include <atomic>
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

// Pause and Stop poll `busy` this often.
constexpr int STOP_POLL_MS = 50;
// Pause between connecting a job's connection and offering on it, as
// Connect_Tcp makes.
constexpr int JOB_CONNECT_SETTLE_MS = 50;
constexpr int MAX_ACTIVE_SENDERS = 2;

struct SendJob {
    int handle = 0;
    std::string fileName;
    std::string filePath;
    std::string peerHost;
    std::int64_t fileSize = 0;
    std::atomic<std::int64_t> bytesSent{0};
    std::atomic<int> savedState{JOB_NEW};
    std::atomic<int> state{JOB_NEW};
    std::atomic<bool> busy{false};
    // Set when a Stop was asked from the job's own sender thread: that
    // thread frees the job when it is done with it.
    std::atomic<bool> freeWhenIdle{false};

    // The job's own connection: made and used by the sender thread that
    // works on the job; others only shut it down (connLock guards the
    // pointer, not the socket's operations).
    std::mutex connLock;
    std::unique_ptr<net::StreamSocket> connection;

    FileSendJob snapshot();
};

class SendJobs {
public:
    explicit SendJobs(tcp::TcpEndpoint& endpoint) : endpoint_(endpoint) {}

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

    // For tests.
    std::size_t liveJobs() { return handles_.size(); }

private:
    using JobPtr = std::shared_ptr<SendJob>;

    void startSenderIfNeeded();
    void senderThread();
    JobPtr takeNextJob();
    void runJob(SendJob& job);
    bool offer(SendJob& job);
    void awaitAnswer(SendJob& job);
    void dataPhase(SendJob& job);
    void setJobState(SendJob& job, int value);
    // Under the lock; true when the job was in activeJobs.
    bool removeAndFree(SendJob& job);
    bool requeue(SendJob& job);
    bool restore(SendJob& job);
    // Shuts the job's connection down (a blocked send or receive on it ends)
    // without closing it.
    static void shutdownConnection(SendJob& job);
    static void dropConnection(SendJob& job);
    static bool onOwnSenderThread(const SendJob& job);

    tcp::TcpEndpoint& endpoint_;
    HandleTable<SendJob> handles_;
    // Under endpoint_.lock().
    std::deque<JobPtr> waiting_;
    std::deque<JobPtr> active_;
    int activeSenders_ = 0;
    std::atomic<bool> closed_{false};
};

}  // namespace wirekit::filexfer
