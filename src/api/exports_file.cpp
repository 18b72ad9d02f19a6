// The file-transfer exports: resolve the handle, forward to the endpoint's
// file side.
#include <memory>

#include "api/export_guard.h"
#include "api/registry.h"
#include "filexfer/file_side.h"
#include "tcp/tcp_endpoint.h"
#include "wirekit.h"

using wirekit::api::EndpointRegistry;
using wirekit::api::guarded;
using wirekit::api::TcpEntry;
using wirekit::filexfer::FileSide;

namespace {
// Runs `op` on the file side of the endpoint behind `h`; 0 when there is
// none or the operation throws. The entry keeps the endpoint and its file
// side alive meanwhile.
template <typename Op>
int withFileSide(void* h, Op op) {
    return guarded(0, [&] {
        TcpEntry entry = EndpointRegistry::instance().findTcp(h);
        return entry ? op(*entry.files) : 0;
    });
}
}  // namespace

extern "C" {

WIREKIT_API int WIREKIT_CALL SendFile_Tcp(void* h, const char* path) {
    return withFileSide(h, [&](FileSide& s) { return s.sends.sendFile(path); });
}
WIREKIT_API int WIREKIT_CALL StopSendFile_Tcp(void* h, long job) {
    return withFileSide(h, [&](FileSide& s) { return s.sends.stop(job); });
}
WIREKIT_API int WIREKIT_CALL PauseSendFile_Tcp(void* h, long job) {
    return withFileSide(h, [&](FileSide& s) { return s.sends.pause(job); });
}
WIREKIT_API int WIREKIT_CALL ResumeSendFile_Tcp(void* h, long job) {
    return withFileSide(h, [&](FileSide& s) { return s.sends.resume(job); });
}
WIREKIT_API int WIREKIT_CALL RecvFile_Tcp(void* h, long offer, bool accept) {
    return withFileSide(h, [&](FileSide& s) { return s.receives.decide(offer, accept); });
}
WIREKIT_API int WIREKIT_CALL StopRecvFile_Tcp(void* h, long offer) {
    return withFileSide(h, [&](FileSide& s) { return s.receives.stop(offer); });
}
WIREKIT_API int WIREKIT_CALL PauseRecvFile_Tcp(void* h, long offer) {
    return withFileSide(h, [&](FileSide& s) { return s.receives.pause(offer); });
}
WIREKIT_API int WIREKIT_CALL ResumeRecvFile_Tcp(void* h, long offer) {
    return withFileSide(h, [&](FileSide& s) { return s.receives.resume(offer); });
}
WIREKIT_API int WIREKIT_CALL GetSendJob_Tcp(void* h, long job, FileSendJob* out) {
    return withFileSide(h, [&](FileSide& s) { return s.sends.snapshot(job, out); });
}
WIREKIT_API int WIREKIT_CALL GetRecvOffer_Tcp(void* h, long offer, FileRecvOffer* out) {
    return withFileSide(h, [&](FileSide& s) { return s.receives.snapshot(offer, out); });
}
WIREKIT_API int WIREKIT_CALL SetSavePath_Tcp(void* h, long offer, const char* savePath) {
    return withFileSide(h, [&](FileSide& s) { return s.receives.setSavePath(offer, savePath); });
}

}  // extern "C"
