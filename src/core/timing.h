// Fixed delays of the system, with an internal hook through which tests
// shorten them. Hosts always get the real values: nothing in wirekit.h
// reaches this.
#pragma once

namespace wirekit::timing {

// Limit on each wait for bytes on a TCP connection (60 s).
int readTimeoutMs();
// Interval after which an unacknowledged UDP message is sent again (10 s).
int udpResendMs();

// Test hook: replace the values (milliseconds, > 0), or restore them.
void setReadTimeoutMs(int ms);
void setUdpResendMs(int ms);
void restoreDefaults();

constexpr int DEFAULT_READ_TIMEOUT_MS = 60000;
constexpr int DEFAULT_UDP_RESEND_MS = 10000;

}  // namespace wirekit::timing
