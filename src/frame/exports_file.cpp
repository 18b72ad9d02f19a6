// The file-transfer exports: resolve the handle, forward to the endpoint.
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

WIREKIT_API int SendFile_Tcp(void* h, const char*) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int StopSendFile_Tcp(void* h, long) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int PauseSendFile_Tcp(void* h, long) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int ResumeSendFile_Tcp(void* h, long) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int RecvFile_Tcp(void* h, long, bool) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int StopRecvFile_Tcp(void* h, long) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int PauseRecvFile_Tcp(void* h, long) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int ResumeRecvFile_Tcp(void* h, long) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int GetSendJob_Tcp(void* h, long, FileSendJob*) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int GetRecvOffer_Tcp(void* h, long, FileRecvOffer*) { return findTcp(h) ? 0 : 0; }
WIREKIT_API int SetSavePath_Tcp(void* h, long, const char*) { return findTcp(h) ? 0 : 0; }

}  // extern "C"
