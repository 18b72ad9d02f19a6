// The file-transfer side of one TCP endpoint: its send jobs and its
// receiving sessions, plugged into the endpoint as its file-mode handler.
// The registry keeps it beside the endpoint for the file exports.
//
// Locks: stateLock_ is the file side's re-entrant lock. It guards the job
// lists and counters of SendJobs and the state changes of job and offer
// records; the file-state events (3006 of a job state change, 3010 of an
// offer state change) are raised while it is held, so a handler of those may
// call the library on its own thread but must not wait for another thread
// that needs this endpoint. Each half's own locks (its handle table, a job's
// connection and idle locks, an offer's path lock) may be taken under it,
// never the other way round; so may every lock of the TCP endpoint (the
// handler of a file-state event may call the TCP exports), none of which is
// held when the file side takes the state lock.
#pragma once

#include <memory>
#include <mutex>

#include "filexfer/receive_side.h"
#include "filexfer/send_jobs.h"
#include "tcp/file_mode_handler.h"
#include "tcp/tcp_endpoint.h"

namespace wirekit::filexfer {

class FileSide : public tcp::FileModeHandler {
public:
    // Lives as long as the endpoint that holds it.
    explicit FileSide(tcp::TcpEndpoint& endpoint)
        : sends(endpoint, stateLock_), receives(endpoint, stateLock_) {}

    void runFileMode(tcp::Session& session, std::string header, const unsigned char* leftover,
                     std::size_t length) override {
        receives.run(session, std::move(header), leftover, length);
    }
    void onEndpointClose() override {
        sends.close();
        receives.close();
    }

private:
    std::recursive_mutex stateLock_;

public:
    SendJobs sends;
    ReceiveSide receives;
};

}  // namespace wirekit::filexfer
