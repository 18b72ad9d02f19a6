// The file-transfer side of one TCP endpoint: its send jobs and its
// receiving sessions, plugged into the endpoint as its file-mode handler.
#pragma once

#include <memory>

#include "filexfer/receive_side.h"
#include "filexfer/send_jobs.h"
#include "tcp/tcp_endpoint.h"

namespace wirekit::filexfer {

class FileSide : public tcp::FileModeHandler {
public:
    // Lives as long as the endpoint that holds it.
    explicit FileSide(tcp::TcpEndpoint& endpoint) : sends(endpoint), receives(endpoint) {}

    void runFileMode(tcp::Session& session, std::string header, const unsigned char* leftover,
                     std::size_t length) override {
        receives.run(session, header, leftover, length);
    }
    void onEndpointClose() override {
        sends.close();
        receives.close();
    }

    // The endpoint's file side, or null (no handler installed).
    static FileSide* of(tcp::TcpEndpoint& endpoint) {
        return dynamic_cast<FileSide*>(endpoint.fileModeHandler().get());
    }

    SendJobs sends;
    ReceiveSide receives;
};

}  // namespace wirekit::filexfer
