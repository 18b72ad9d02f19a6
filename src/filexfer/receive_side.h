// The receiving half of file transfer, run by a session whose decoder met
// the end of an offer header: the offer record for the host (3004), the
// decision, the answer, and the file written from the unframed stream that
// follows, with pause, resume and stop from the host.
//
// Locks: state changes that the host asks for are made under the file
// side's state lock (see file_side.h), with 3010 raised while it is held. An
// offer's pathLock guards its savePath; the handle table has its own lock.
// Everything else of an offer is atomic or fixed before 3004.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "filexfer/handle_table.h"
#include "wirekit.h"

namespace wirekit::tcp {
class Session;
class TcpEndpoint;
}  // namespace wirekit::tcp

namespace wirekit::filexfer {

struct RecvOffer {
    int handle = 0;
    std::string fileName;
    std::string peerAddress;
    std::int64_t fileSize = 0;
    std::atomic<std::int64_t> bytesReceived{0};
    std::atomic<int> state{OFFER_PENDING};
    std::atomic<int> acceptDecision{0};
    // Set while the session waits for a decision or for a resume.
    std::atomic<bool> waiting{false};
    // The signals the waits look for. A signal given before the session
    // waits is kept until it does.
    std::atomic<bool> decisionSignal{false};
    std::atomic<bool> resumeSignal{false};

    std::mutex pathLock;
    std::string savePath;  // guarded by pathLock

    // To wake the session's waits from a host thread.
    std::weak_ptr<tcp::Session> session;

    FileRecvOffer snapshot();
};

class ReceiveSide {
public:
    ReceiveSide(tcp::TcpEndpoint& endpoint, std::recursive_mutex& stateLock)
        : endpoint_(endpoint), lock_(stateLock) {}

    // The session's file mode; returns when the session is to end.
    void run(tcp::Session& session, std::string header, const unsigned char* leftover,
             std::size_t length);

    // The exports; an offer handle that names no live offer of this
    // endpoint gives 0.
    int decide(long offer, bool accept);
    int pause(long offer);
    int resume(long offer);
    int stop(long offer);
    int snapshot(long offer, FileRecvOffer* out);
    int setSavePath(long offer, const char* path);

    // Close_Tcp: the sessions' own stop ends their waits; this only drops
    // the records so that their handles die at once.
    void close();

private:
    // Under the file side's state lock, with 3010 raised while it is held.
    void setOfferState(RecvOffer& offer, int value);
    static void wake(RecvOffer& offer);

    tcp::TcpEndpoint& endpoint_;
    std::recursive_mutex& lock_;
    HandleTable<RecvOffer> handles_;
};

}  // namespace wirekit::filexfer
