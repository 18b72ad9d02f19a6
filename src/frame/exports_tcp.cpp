// The TCP messaging exports: resolve the handle, forward to the endpoint.
#include <cstdint>
#include <memory>

#include "filexfer/file_side.h"
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

WIREKIT_API void* Init_Tcp(EventCallback cb) {
    std::shared_ptr<TcpEndpoint> endpoint;
    try {
        endpoint = std::make_shared<TcpEndpoint>(cb);
        // The file-transfer side is installed before any thread of the
        // endpoint can start.
        endpoint->setFileModeHandler(std::make_shared<wirekit::filexfer::FileSide>(*endpoint));
    } catch (...) {
        return wirekit::FAILED_HANDLE;
    }
    return EndpointRegistry::instance().add(EndpointKind::Tcp, std::move(endpoint));
}

WIREKIT_API int Close_Tcp(void* h) { return EndpointRegistry::instance().remove(h); }

WIREKIT_API int ListenMessage_Tcp(void* h, int port) {
    auto ep = findTcp(h);
    return ep ? ep->listenMessage(port) : 0;
}

WIREKIT_API int StopListen_Tcp(void* h) {
    auto ep = findTcp(h);
    return ep ? ep->stopListen() : 0;
}

WIREKIT_API int Connect_Tcp(void* h, const char* host, int port) {
    auto ep = findTcp(h);
    return ep ? ep->connect(host, port) : 0;
}

WIREKIT_API int DisConnect_Tcp(void* h) {
    auto ep = findTcp(h);
    return ep ? ep->disconnect() : 0;
}

WIREKIT_API int DisConnectSocket_Tcp(void* h, void* socket) {
    auto ep = findTcp(h);
    return ep ? ep->disconnectSession(reinterpret_cast<std::uintptr_t>(socket)) : 0;
}

WIREKIT_API int SendMessage_Tcp(void* h, const void* data, int length) {
    auto ep = findTcp(h);
    return ep ? ep->sendMessage(data, length) : 0;
}

WIREKIT_API int SendMessageSocket_Tcp(void* h, void* socket, const void* data, int length) {
    auto ep = findTcp(h);
    return ep ? ep->sendToSession(reinterpret_cast<std::uintptr_t>(socket), data, length) : 0;
}

WIREKIT_API long GetMessage_Tcp(void* h, void* buffer, int size) {
    auto ep = findTcp(h);
    return ep ? ep->getMessage(buffer, size) : -1;
}

}  // extern "C"
