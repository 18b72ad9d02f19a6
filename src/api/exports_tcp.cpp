// The TCP messaging exports: resolve the handle, forward to the endpoint.
#include <cstdint>
#include <memory>

#include "api/export_guard.h"
#include "api/registry.h"
#include "filexfer/file_side.h"
#include "tcp/tcp_endpoint.h"
#include "wirekit.h"

using wirekit::api::EndpointRegistry;
using wirekit::api::FAILED_HANDLE;
using wirekit::api::guarded;
using wirekit::tcp::TcpEndpoint;

namespace {
// Runs `op` on the endpoint behind `h`; `failure` when there is none or the
// operation throws.
template <typename Result, typename Op>
Result withTcp(void* h, Result failure, Op op) {
    return guarded(failure, [&]() -> Result {
        std::shared_ptr<TcpEndpoint> endpoint = EndpointRegistry::instance().findTcp(h).tcp;
        return endpoint ? op(*endpoint) : failure;
    });
}
}  // namespace

extern "C" {

WIREKIT_API void* WIREKIT_CALL Init_Tcp(EventCallback cb) {
    return guarded(FAILED_HANDLE, [&] {
        auto endpoint = std::make_shared<TcpEndpoint>(cb);
        // The file side is installed before any thread of the endpoint can
        // start.
        auto files = std::make_shared<wirekit::filexfer::FileSide>(*endpoint);
        endpoint->setFileModeHandler(files);
        return EndpointRegistry::instance().addTcp({std::move(endpoint), std::move(files)});
    });
}

WIREKIT_API int WIREKIT_CALL Close_Tcp(void* h) {
    return guarded(0, [&] { return EndpointRegistry::instance().remove(h); });
}

WIREKIT_API int WIREKIT_CALL ListenMessage_Tcp(void* h, int port) {
    return withTcp(h, 0, [&](TcpEndpoint& ep) { return ep.listenMessage(port); });
}

WIREKIT_API int WIREKIT_CALL StopListen_Tcp(void* h) {
    return withTcp(h, 0, [&](TcpEndpoint& ep) { return ep.stopListen(); });
}

WIREKIT_API int WIREKIT_CALL Connect_Tcp(void* h, const char* host, int port) {
    return withTcp(h, 0, [&](TcpEndpoint& ep) { return ep.connect(host, port); });
}

WIREKIT_API int WIREKIT_CALL DisConnect_Tcp(void* h) {
    return withTcp(h, 0, [&](TcpEndpoint& ep) { return ep.disconnect(); });
}

WIREKIT_API int WIREKIT_CALL DisConnectSocket_Tcp(void* h, void* socket) {
    return withTcp(h, 0, [&](TcpEndpoint& ep) {
        return ep.disconnectSession(reinterpret_cast<std::uintptr_t>(socket));
    });
}

WIREKIT_API int WIREKIT_CALL SendMessage_Tcp(void* h, const void* data, int length) {
    return withTcp(h, 0, [&](TcpEndpoint& ep) { return ep.sendMessage(data, length); });
}

WIREKIT_API int WIREKIT_CALL SendMessageSocket_Tcp(void* h, void* socket, const void* data,
                                                   int length) {
    return withTcp(h, 0, [&](TcpEndpoint& ep) {
        return ep.sendToSession(reinterpret_cast<std::uintptr_t>(socket), data, length);
    });
}

WIREKIT_API long WIREKIT_CALL GetMessage_Tcp(void* h, void* buffer, int size) {
    return withTcp(h, -1L, [&](TcpEndpoint& ep) { return ep.getMessage(buffer, size); });
}

}  // extern "C"
