// The UDP exports: resolve the handle, forward to the endpoint. Nothing is
// thrown across the interface.
#include <exception>
#include <memory>

#include "frame/registry.h"
#include "udp/udp_endpoint.h"
#include "wirekit.h"

using wirekit::EndpointKind;
using wirekit::EndpointRegistry;
using wirekit::udp::EnqueueResult;
using wirekit::udp::UdpEndpoint;

namespace {

std::shared_ptr<UdpEndpoint> findUdp(void* h) {
    return EndpointRegistry::instance().findAs<UdpEndpoint>(h, EndpointKind::Udp);
}

int sendMessage(void* h, const char* address, int port, const void* data, int length) {
    try {
        auto endpoint = findUdp(h);
        if (!endpoint) return 0;
        // A full queue (2002) still counts as accepted; what can never be
        // sent is refused so that it cannot block the queue.
        EnqueueResult result = endpoint->enqueueMessage(data, length, address, port);
        return result == EnqueueResult::Refused ? 0 : 1;
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace

extern "C" {

WIREKIT_API void* Init_Udp(int port, EventCallback cb, unsigned char first, unsigned char second,
                           int mode) {
    try {
        auto endpoint = std::make_shared<UdpEndpoint>(first, second);
        void* handle = EndpointRegistry::instance().add(EndpointKind::Udp, endpoint);
        if (handle == wirekit::FAILED_HANDLE) return handle;
        // Socket failures are not reported here: ListenMessage_Udp tries the
        // receive socket again.
        endpoint->openReceiveSocket(port, mode);
        endpoint->openSendSocket(mode);
        endpoint->setCallback(cb);
        return handle;
    } catch (const std::exception&) {
        return wirekit::FAILED_HANDLE;
    }
}

// The registry retires the handle and then runs the endpoint's close(),
// which stops both threads (without waiting for the calling thread when
// that is one of them) and closes the sockets.
WIREKIT_API int Close_Udp(void* h) {
    try {
        return EndpointRegistry::instance().remove(h);
    } catch (const std::exception&) {
        return 0;
    }
}

WIREKIT_API int ListenMessage_Udp(void* h) {
    try {
        auto endpoint = findUdp(h);
        if (!endpoint) return 0;
        endpoint->startListening();
        return 1;
    } catch (const std::exception&) {
        return 1;
    }
}

WIREKIT_API int SendMessage_Udp(void* h, const char* address, int port, const void* data,
                                int length) {
    return sendMessage(h, address, port, data, length);
}

WIREKIT_API int Broadcast_Udp(void* h, const char* address, int port, const void* data,
                              int length) {
    return sendMessage(h, address, port, data, length);
}

WIREKIT_API long GetMessage_Udp(void* h, void* buffer, int size) {
    try {
        auto endpoint = findUdp(h);
        if (!endpoint) return -1;
        return endpoint->takeMessage(buffer, size);
    } catch (const std::exception&) {
        return -1;
    }
}

}  // extern "C"
