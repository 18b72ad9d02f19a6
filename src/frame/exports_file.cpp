// The file-transfer exports: resolve the handle, forward to the endpoint's
// file side.
#include <memory>

#include "filexfer/file_side.h"
#include "frame/registry.h"
#include "tcp/tcp_endpoint.h"
#include "wirekit.h"

using wirekit::EndpointKind;
using wirekit::EndpointRegistry;
using wirekit::filexfer::FileSide;
using wirekit::tcp::TcpEndpoint;

namespace {
// Runs `fn` on the endpoint's file side; 0 when the handle names no TCP
// endpoint. The endpoint reference keeps the file side alive meanwhile.
template <typename Fn>
int withFileSide(void* h, Fn fn) {
    auto endpoint = EndpointRegistry::instance().findAs<TcpEndpoint>(h, EndpointKind::Tcp);
    if (!endpoint) return 0;
    FileSide* side = FileSide::of(*endpoint);
    if (side == nullptr) return 0;
    try {
        return fn(*side);
    } catch (...) {
        return 0;
    }
}
}  // namespace

extern "C" {

WIREKIT_API int SendFile_Tcp(void* h, const char* path) {
    return withFileSide(h, [&](FileSide& s) { return s.sends.sendFile(path); });
}
WIREKIT_API int StopSendFile_Tcp(void* h, long job) {
    return withFileSide(h, [&](FileSide& s) { return s.sends.stop(job); });
}
WIREKIT_API int PauseSendFile_Tcp(void* h, long job) {
    return withFileSide(h, [&](FileSide& s) { return s.sends.pause(job); });
}
WIREKIT_API int ResumeSendFile_Tcp(void* h, long job) {
    return withFileSide(h, [&](FileSide& s) { return s.sends.resume(job); });
}
WIREKIT_API int RecvFile_Tcp(void* h, long offer, bool accept) {
    return withFileSide(h, [&](FileSide& s) { return s.receives.decide(offer, accept); });
}
WIREKIT_API int StopRecvFile_Tcp(void* h, long offer) {
    return withFileSide(h, [&](FileSide& s) { return s.receives.stop(offer); });
}
WIREKIT_API int PauseRecvFile_Tcp(void* h, long offer) {
    return withFileSide(h, [&](FileSide& s) { return s.receives.pause(offer); });
}
WIREKIT_API int ResumeRecvFile_Tcp(void* h, long offer) {
    return withFileSide(h, [&](FileSide& s) { return s.receives.resume(offer); });
}
WIREKIT_API int GetSendJob_Tcp(void* h, long job, FileSendJob* out) {
    return withFileSide(h, [&](FileSide& s) { return s.sends.snapshot(job, out); });
}
WIREKIT_API int GetRecvOffer_Tcp(void* h, long offer, FileRecvOffer* out) {
    return withFileSide(h, [&](FileSide& s) { return s.receives.snapshot(offer, out); });
}
WIREKIT_API int SetSavePath_Tcp(void* h, long offer, const char* savePath) {
    return withFileSide(h, [&](FileSide& s) { return s.receives.setSavePath(offer, savePath); });
}

}  // extern "C"
