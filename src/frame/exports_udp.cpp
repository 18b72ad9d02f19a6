// The UDP exports: resolve the handle, forward to the endpoint.
#include <memory>

#include "frame/registry.h"
#include "udp/udp_endpoint.h"
#include "wirekit.h"

using wirekit::EndpointKind;
using wirekit::EndpointRegistry;
using wirekit::udp::UdpEndpoint;

namespace {
std::shared_ptr<UdpEndpoint> findUdp(void* h) {
    return EndpointRegistry::instance().findAs<UdpEndpoint>(h, EndpointKind::Udp);
}
}  // namespace

extern "C" {

WIREKIT_API void* Init_Udp(int, EventCallback, unsigned char first, unsigned char second, int) {
    auto endpoint = std::make_shared<UdpEndpoint>(first, second);
    return EndpointRegistry::instance().add(EndpointKind::Udp, endpoint);
}

WIREKIT_API int Close_Udp(void* h) { return EndpointRegistry::instance().remove(h); }

WIREKIT_API int ListenMessage_Udp(void* h) { return findUdp(h) ? 1 : 0; }

WIREKIT_API int SendMessage_Udp(void* h, const char*, int, const void*, int) {
    return findUdp(h) ? 1 : 0;
}

WIREKIT_API int Broadcast_Udp(void* h, const char* address, int port, const void* data,
                              int length) {
    return SendMessage_Udp(h, address, port, data, length);
}

WIREKIT_API long GetMessage_Udp(void* h, void*, int) { return findUdp(h) ? -1 : -1; }

}  // extern "C"
