// The UDP exports: resolve the handle, forward to the endpoint.
#include <memory>

#include "api/export_guard.h"
#include "api/registry.h"
#include "udp/udp_endpoint.h"
#include "wirekit.h"

using wirekit::api::EndpointRegistry;
using wirekit::api::FAILED_HANDLE;
using wirekit::api::guarded;
using wirekit::udp::EnqueueResult;
using wirekit::udp::UdpEndpoint;

namespace {

// Runs `op` on the endpoint behind `h`; `failure` when there is none or the
// operation throws.
template <typename Result, typename Op>
Result withUdp(void* h, Result failure, Op op) {
    return guarded(failure, [&]() -> Result {
        std::shared_ptr<UdpEndpoint> endpoint = EndpointRegistry::instance().findUdp(h);
        return endpoint ? op(*endpoint) : failure;
    });
}

int sendMessage(void* h, const char* address, int port, const void* data, int length) {
    return withUdp(h, 0, [&](UdpEndpoint& ep) {
        // A full queue (2002) still counts as accepted; what can never be
        // sent is refused so that it cannot block the queue.
        return ep.enqueueMessage(data, length, address, port) == EnqueueResult::Refused ? 0 : 1;
    });
}

}  // namespace

extern "C" {

WIREKIT_API void* WIREKIT_CALL Init_Udp(int port, EventCallback cb, unsigned char first,
                                        unsigned char second, int mode) {
    return guarded(FAILED_HANDLE, [&] {
        auto endpoint = std::make_shared<UdpEndpoint>(first, second);
        void* handle = EndpointRegistry::instance().addUdp(endpoint);
        if (handle == FAILED_HANDLE) return handle;
        try {
            // Socket failures are not reported here: ListenMessage_Udp tries
            // the receive socket again.
            endpoint->openReceiveSocket(port, mode);
            endpoint->openSendSocket(mode);
            endpoint->setCallback(cb);
        } catch (...) {
            EndpointRegistry::instance().remove(handle);
            throw;
        }
        return handle;
    });
}

// The registry retires the handle and then closes the endpoint, which stops
// both threads (without waiting for the calling thread when that is one of
// them) and closes the sockets.
WIREKIT_API int WIREKIT_CALL Close_Udp(void* h) {
    return guarded(0, [&] { return EndpointRegistry::instance().remove(h); });
}

WIREKIT_API int WIREKIT_CALL ListenMessage_Udp(void* h) {
    return withUdp(h, 0, [&](UdpEndpoint& ep) {
        ep.startListening();
        return 1;
    });
}

WIREKIT_API int WIREKIT_CALL SendMessage_Udp(void* h, const char* address, int port,
                                             const void* data, int length) {
    return sendMessage(h, address, port, data, length);
}

WIREKIT_API int WIREKIT_CALL Broadcast_Udp(void* h, const char* address, int port, const void* data,
                                           int length) {
    return sendMessage(h, address, port, data, length);
}

WIREKIT_API long WIREKIT_CALL GetMessage_Udp(void* h, void* buffer, int size) {
    return withUdp(h, -1L, [&](UdpEndpoint& ep) { return ep.takeMessage(buffer, size); });
}

}  // extern "C"
