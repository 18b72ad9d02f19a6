// Checks the program makes with the system's socket calls before it hands an
// address or a port to the library: names are resolved here so that a host
// that does not exist is told apart from one where nobody listens (and so
// that UDP, which the library addresses in dotted form only, takes names
// too), and a UDP port is tried here because the library does not report a
// port that another socket holds.
#pragma once

#include <string>

namespace cli {

// The dotted IPv4 address of `host` (a name or a dotted address), found the
// way the library finds it (the first IPv4 address of the name). On failure
// the result is empty and `problem` holds a one-line explanation.
std::string resolveIPv4(const std::string& host, std::string& problem);

// True when UDP `port` can be bound for this program alone: no other socket
// holds it on any local address.
bool udpPortFree(int port);

}  // namespace cli
