#include "core/timing.h"

#include <atomic>

namespace wirekit::timing {
namespace {
std::atomic<int> g_readTimeoutMs{DEFAULT_READ_TIMEOUT_MS};
std::atomic<int> g_udpResendMs{DEFAULT_UDP_RESEND_MS};
}  // namespace

int readTimeoutMs() { return g_readTimeoutMs.load(std::memory_order_relaxed); }
int udpResendMs() { return g_udpResendMs.load(std::memory_order_relaxed); }

void setReadTimeoutMs(int ms) {
    if (ms > 0) g_readTimeoutMs.store(ms);
}
void setUdpResendMs(int ms) {
    if (ms > 0) g_udpResendMs.store(ms);
}
void restoreDefaults() {
    g_readTimeoutMs.store(DEFAULT_READ_TIMEOUT_MS);
    g_udpResendMs.store(DEFAULT_UDP_RESEND_MS);
}

}  // namespace wirekit::timing
