#include "filexfer/send_jobs.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/timing.h"
#include "filexfer/offer.h"
#include "platform/platform.h"
#include "tcp/tcp_endpoint.h"

namespace wirekit::filexfer {

namespace {
void copyText(char* out, std::size_t room, const std::string& text) {
    const std::size_t n = std::min(room - 1, text.size());
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

// The size of a regular file, or -1 when it is none or cannot be read.
std::int64_t readableFileSize(const std::string& path) {
    platform::OwnedFile file(platform::openFileForReading(path.c_str()));
    return file.isOpen() ? platform::fileSize(file.get()) : -1;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
}  // namespace

FileSendJob SendJob::snapshot() {
    FileSendJob out;
    std::memset(&out, 0, sizeof out);
    {
        std::lock_guard<std::mutex> guard(connLock);
        if (connection) out.connection = static_cast<std::uintptr_t>(connection->socketNumber());
    }
    copyText(out.fileName, sizeof out.fileName, fileName);
    copyText(out.filePath, sizeof out.filePath, filePath);
    copyText(out.peerHost, sizeof out.peerHost, peerHost);
    out.fileSize = fileSize;
    out.bytesSent = bytesSent.load();
    out.savedState = savedState.load();
    out.state = state.load();
    out.busy = busy.load() ? 1 : 0;
    return out;
}

int SendJobs::sendFile(const char* path) {
    if (path == nullptr || closed_.load()) return 0;
    const std::string text(path);
    // A cut path would name another file.
    if (text.empty() || text.size() > FILE_PATH_MAX) return 0;
    const std::string name = offeredName(text);
    // The receiver would take another name and size from the offer.
    if (!offerCanCarry(name)) return 0;
    const std::int64_t size = readableFileSize(text);
    if (size < 0) return 0;

    auto job = std::make_shared<SendJob>();
    job->filePath = text;
    job->fileName = name;
    job->fileSize = size;
    int port = 0;
    endpoint_.peer(&job->peerHost, &port);
    if (job->peerHost.size() > PEER_HOST_MAX) job->peerHost.resize(PEER_HOST_MAX);
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        job->handle = handles_.add(job);
        try {
            waiting_.push_back(job);
        } catch (...) {
            handles_.remove(job->handle);
            throw;
        }
    }
    endpoint_.raise(TCP_EV_SEND_QUEUED, job->handle);
    startSenderIfNeeded();
    return 1;
}

void SendJobs::release(SendJob& job) {
    {
        std::lock_guard<std::mutex> guard(job.idleLock);
        job.busy.store(false);
    }
    job.idle.notify_all();
}

void SendJobs::waitUntilIdle(SendJob& job) {
    std::unique_lock<std::mutex> guard(job.idleLock);
    job.idle.wait(guard, [&] { return !job.busy.load(); });
}

bool SendJobs::waitUntilIdle(SendJob& job, int limitMs) {
    std::unique_lock<std::mutex> guard(job.idleLock);
    return job.idle.wait_for(guard, std::chrono::milliseconds(limitMs),
                             [&] { return !job.busy.load(); });
}

// Pause and Stop wait for the sender thread to let go of the job, except on
// one of the endpoint's own threads (inside an event of this or another
// job, or of a session): waiting there could wait for the very thread that
// runs the caller, or for one that needs the state lock the caller holds.
// The sender thread then finishes what was asked when it lets go. A Pause
// waits a bounded time: a send blocked on a receiver that reads nothing
// (its host paused it) lets go only when that receiver reads again, and
// the host's thread must not hang on it.
int SendJobs::pause(long handle) {
    JobPtr job = handles_.find(handle);
    if (!job) return 0;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        job->savedState.store(job->state.load());
        job->state.store(JOB_PAUSED);
    }
    if (!endpoint_.onOwnThread()) waitUntilIdle(*job, PAUSE_WAIT_MS);
    std::lock_guard<std::recursive_mutex> guard(lock_);
    // A busy job is requeued by its sender thread when it lets go.
    if (!job->busy.load()) requeue(*job);
    return 1;
}

int SendJobs::resume(long handle) {
    JobPtr job = handles_.find(handle);
    if (!job) return 0;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        restore(*job);
    }
    startSenderIfNeeded();
    return 1;
}

int SendJobs::stop(long handle) {
    JobPtr job = handles_.find(handle);
    if (!job) return 0;
    bool busy;
    bool wasQueued = false;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        job->state.store(JOB_STOPPED);
        busy = job->busy.load();
        if (busy) {
            job->freeWhenIdle.store(true);
        } else if (!removeAndFree(*job)) {
            // A job that is still queued is freed too, so that its handle is
            // dead once Stop returned; no sender thread will take it, so the
            // stop tells the host itself that the job ended (3008).
            auto it = std::find(waiting_.begin(), waiting_.end(), job);
            if (it != waiting_.end()) {
                waiting_.erase(it);
                wasQueued = true;
            }
            handles_.remove(job->handle);
        }
    }
    if (wasQueued) endpoint_.raise(TCP_EV_SEND_STOPPED, job->handle);
    // The connection goes with the stopped job anyway; shutting it down ends
    // a send blocked on a peer that stopped reading, or a wait for an answer
    // that does not come, instead of waiting for that peer. A connection the
    // sender makes after this is not used: it looks at the state first.
    if (busy) {
        shutdownConnection(*job);
        if (!endpoint_.onOwnThread()) waitUntilIdle(*job);
    } else {
        dropConnection(*job);
    }
    return 1;
}

int SendJobs::snapshot(long handle, FileSendJob* out) {
    if (out == nullptr) return 0;
    JobPtr job = handles_.find(handle);
    if (!job) return 0;
    *out = job->snapshot();
    return 1;
}

void SendJobs::close() {
    std::vector<JobPtr> jobs;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        closed_.store(true);
        for (auto& j : waiting_) j->state.store(JOB_STOPPED);
        for (auto& j : active_) j->state.store(JOB_STOPPED);
        waiting_.clear();
        active_.clear();
        jobs = handles_.takeAll();
    }
    for (auto& job : jobs) {
        std::lock_guard<std::mutex> guard(job->connLock);
        if (job->connection) job->connection->shutdown(true);
    }
}

void SendJobs::startSenderIfNeeded() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (closed_.load()) return;
    const std::size_t jobs = waiting_.size() + active_.size();
    if (static_cast<std::size_t>(activeSenders_) >= jobs || activeSenders_ >= MAX_ACTIVE_SENDERS)
        return;
    ++activeSenders_;
    // The thread needs the lock to take a job, so counting it first is safe.
    if (!endpoint_.startThread([this] { senderThread(); })) --activeSenders_;
}

void SendJobs::senderThread() {
    for (;;) {
        JobPtr job;
        {
            std::lock_guard<std::recursive_mutex> guard(lock_);
            job = takeNextJob();
            if (!job) {
                --activeSenders_;
                return;
            }
        }
        runJob(*job);
    }
}

SendJobs::JobPtr SendJobs::takeNextJob() {
    if (closed_.load()) return nullptr;
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        const int state = (*it)->state.load();
        if (state == JOB_PAUSED || state == JOB_REFUSED) continue;
        JobPtr job = *it;
        waiting_.erase(it);
        active_.push_back(job);
        // Set while the lock is held, so that a Stop never frees a job a
        // thread has just taken.
        job->busy.store(true);
        return job;
    }
    return nullptr;
}

void SendJobs::setJobState(SendJob& job, int value) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    const int state = job.state.load();
    if (state == JOB_PAUSED)
        job.savedState.store(value);
    else if (state != JOB_STOPPED)
        job.state.store(value);
    endpoint_.raise(TCP_EV_SEND_PROGRESS, job.handle);
}

bool SendJobs::moveState(SendJob& job, int value) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (job.state.load() == JOB_STOPPED) return false;
    job.state.store(value);
    return true;
}

bool SendJobs::removeAndFree(SendJob& job) {
    auto it = std::find_if(active_.begin(), active_.end(),
                           [&](const JobPtr& j) { return j.get() == &job; });
    if (it == active_.end()) return false;
    JobPtr keep = *it;  // keeps the record alive until this call is done with it
    active_.erase(it);
    handles_.remove(job.handle);
    dropConnection(job);
    return true;
}

bool SendJobs::requeue(SendJob& job) {
    auto it = std::find_if(active_.begin(), active_.end(),
                           [&](const JobPtr& j) { return j.get() == &job; });
    if (it == active_.end()) return false;
    JobPtr keep = *it;
    active_.erase(it);
    waiting_.push_back(keep);
    return true;
}

bool SendJobs::restore(SendJob& job) {
    // A paused job that its sender thread still holds (the Pause did not
    // wait for it) is restored where it is: the thread goes on with it, or
    // requeues it when it lets go.
    if (job.busy.load()) {
        if (job.state.load() != JOB_PAUSED) return false;
        job.state.store(job.savedState.load());
        return true;
    }
    for (auto& j : waiting_) {
        if (j.get() != &job) continue;
        job.state.store(job.savedState.load());
        return true;
    }
    return false;
}

void SendJobs::shutdownConnection(SendJob& job) {
    std::lock_guard<std::mutex> guard(job.connLock);
    if (job.connection) job.connection->shutdown(true);
}

void SendJobs::dropConnection(SendJob& job) {
    std::unique_ptr<net::StreamSocket> connection;
    {
        std::lock_guard<std::mutex> guard(job.connLock);
        connection = std::move(job.connection);
    }
    if (connection) connection->disconnect();
}

bool SendJobs::offer(SendJob& job) {
    // Every offer goes out on a fresh connection: the receiver serves one
    // offer per connection.
    dropConnection(job);
    std::string host;
    int port = 0;
    endpoint_.peer(&host, &port);
    auto connection = std::make_unique<net::StreamSocket>();
    net::StreamSocket* socket = connection.get();
    auto givenUp = [&] { return closed_.load() || job.state.load() == JOB_STOPPED; };
    {
        std::lock_guard<std::mutex> guard(job.connLock);
        if (givenUp()) return false;
        job.connection = std::move(connection);
    }
    if (host.empty() || socket->connect(host.c_str(), port) != 1) return false;
    {
        // Close_Tcp and Stop shut down the connection they see; one made
        // after they looked is not used.
        std::lock_guard<std::mutex> guard(job.connLock);
        if (givenUp()) return false;
    }
    sleepMs(JOB_CONNECT_SETTLE_MS);
    const std::string text = formatOffer(job.fileName, job.fileSize);
    if (socket->sendAll(text.data(), text.size()) != 1) return false;
    if (socket->sendAll(OFFER_END, sizeof OFFER_END) != 1) return false;
    return true;
}

void SendJobs::awaitAnswer(SendJob& job) {
    net::StreamSocket* socket;
    {
        std::lock_guard<std::mutex> guard(job.connLock);
        socket = job.connection.get();
    }
    using Clock = std::chrono::steady_clock;
    // The six answer bytes may come in several reads; they are collected
    // until there are six (or a NUL ends the text early), all within one read
    // limit, and judged together. Bytes after the sixth of a read are dropped.
    unsigned char answer[OFFER_ANSWER_MAX];
    unsigned char collected[ANSWER_BYTES];
    std::size_t have = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(timing::readTimeoutMs());
    while (job.state.load() == JOB_OFFERED) {
        const auto left = deadline - Clock::now();
        const int leftMs =
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        const int n = socket && leftMs > 0 ? socket->receive(answer, sizeof answer, leftMs) : -1;
        if (n <= 0) {
            dropConnection(job);
            // A stop shut the connection down: that is no failed offer.
            if (job.state.load() != JOB_STOPPED) endpoint_.raise(TCP_EV_DISCONNECTED, 0);
            return;
        }
        const std::size_t take = std::min(ANSWER_BYTES - have, static_cast<std::size_t>(n));
        std::memcpy(collected + have, answer, take);
        have += take;
        if (have < ANSWER_BYTES && std::memchr(collected, 0, have) == nullptr) continue;
        switch (parseAnswer(collected, have)) {
            case Answer::Accept:
                setJobState(job, JOB_SENDING);
                return;
            case Answer::Refuse:
                setJobState(job, JOB_REFUSED);
                return;
            case Answer::Unrecognised:
                break;
        }
        // Not an answer: the next bytes get a read limit of their own.
        have = 0;
        deadline = Clock::now() + std::chrono::milliseconds(timing::readTimeoutMs());
    }
}

bool SendJobs::dataPhase(SendJob& job) {
    endpoint_.raise(TCP_EV_SEND_PROGRESS, job.handle);
    // A resumed job goes on from bytesSent, which may lie past 4 GiB.
    platform::OwnedFile file(platform::openFileForReading(job.filePath.c_str()));
    if (!file.isOpen() || platform::seekFile(file.get(), job.bytesSent.load()) != 0) {
        if (moveState(job, JOB_PAUSED)) endpoint_.raise(TCP_EV_SEND_OPEN_FAILED, job.handle);
        return false;
    }
    net::StreamSocket* socket;
    {
        std::lock_guard<std::mutex> guard(job.connLock);
        socket = job.connection.get();
    }
    std::vector<char> buffer(FILE_CHUNK_BYTES);
    while (job.bytesSent.load() < job.fileSize) {
        const std::int64_t remaining = job.fileSize - job.bytesSent.load();
        const std::size_t length =
            static_cast<std::size_t>(std::min<std::int64_t>(remaining, FILE_CHUNK_BYTES));
        const long got = platform::readFile(file.get(), buffer.data(), length);
        std::size_t sent = 0;
        // A file that shrank since it was queued cannot deliver the announced
        // bytes: that ends the job like a failed send.
        const bool ok = got == static_cast<long>(length) && socket && !closed_.load() &&
                        socket->sendAll(buffer.data(), length, &sent) == 1;
        job.bytesSent.fetch_add(static_cast<std::int64_t>(sent));
        if (!ok) {
            // A stop shuts the connection down to end a blocked send.
            if (moveState(job, JOB_SEND_FAILED)) endpoint_.raise(TCP_EV_SEND_FAILED, job.handle);
            break;
        }
        endpoint_.raise(TCP_EV_SEND_PROGRESS, job.handle);
        const int state = job.state.load();
        if (state == JOB_PAUSED || state == JOB_STOPPED) break;
    }
    if (job.bytesSent.load() == job.fileSize) job.state.store(JOB_DONE);
    return true;
}

void SendJobs::runJob(SendJob& job) {
    bool failed = false;
    if (job.state.load() == JOB_NEW) {
        if (offer(job)) {
            setJobState(job, JOB_OFFERED);
        } else {
            dropConnection(job);
            if (job.state.load() != JOB_STOPPED) endpoint_.raise(TCP_EV_DISCONNECTED, 0);
            failed = true;
        }
    }
    if (!failed && job.state.load() == JOB_OFFERED) awaitAnswer(job);
    // 3012 alone tells the host that the file could not be opened.
    bool opened = true;
    if (job.state.load() == JOB_SENDING) opened = dataPhase(job);

    // The ending events run without the lock; `busy` is still set, so no
    // Pause or Stop acts on the job meanwhile.
    const int state = job.state.load();
    if (state == JOB_DONE) endpoint_.raise(TCP_EV_SEND_DONE, job.handle);
    if (state == JOB_REFUSED || state == JOB_STOPPED || state == JOB_SEND_FAILED)
        dropConnection(job);
    // A paused job keeps its connection, so that a resume goes on from
    // bytesSent on it.
    if ((state == JOB_REFUSED || state == JOB_PAUSED) && opened)
        endpoint_.raise(TCP_EV_SEND_PROGRESS, job.handle);
    if (state == JOB_STOPPED) endpoint_.raise(TCP_EV_SEND_STOPPED, job.handle);

    std::lock_guard<std::recursive_mutex> guard(lock_);
    // A Stop that found the job busy left the freeing to this thread; a
    // Pause that came during the ending events is honoured by the requeue,
    // and so is a Resume that came after this thread left the job for a
    // pause (the job is then taken again).
    const int now = job.state.load();
    if (state == JOB_DONE || state == JOB_SEND_FAILED || job.freeWhenIdle.load()) {
        removeAndFree(job);
    } else if (now == JOB_REFUSED || now == JOB_PAUSED ||
               (state == JOB_PAUSED && now != JOB_STOPPED)) {
        requeue(job);
    }
    // Cleared on every way out, freed or not: a Pause or Stop on a host
    // thread may still hold the record and wait for this.
    release(job);
}

}  // namespace wirekit::filexfer
