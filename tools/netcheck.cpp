// Name resolution and the UDP port check, on POSIX sockets or Winsock.
#include "netcheck.h"

#include <cstdio>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace cli {
namespace {

#ifdef _WIN32
using Socket = SOCKET;
const Socket NO_SOCKET = INVALID_SOCKET;
void closeSocket(Socket s) { closesocket(s); }
// Winsock counts its users; one start for the program's lifetime is enough.
bool startSockets() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}
#else
using Socket = int;
const Socket NO_SOCKET = -1;
void closeSocket(Socket s) { close(s); }
bool startSockets() { return true; }
#endif

// Only digits and dots: meant as a dotted address, never as a name.
bool looksDotted(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos;
}

// Four numbers of 0..255 without leading zeros, the form the library takes.
bool validDotted(const std::string& text) {
    size_t position = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (position >= text.size() || text[position] != '.') return false;
            ++position;
        }
        size_t start = position;
        int value = 0;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
            value = value * 10 + (text[position] - '0');
            if (value > 255 || position - start >= 3) return false;
            ++position;
        }
        if (position == start || (position - start > 1 && text[start] == '0')) return false;
    }
    return position == text.size();
}

}  // namespace

std::string resolveIPv4(const std::string& host, std::string& problem) {
    if (looksDotted(host)) {
        if (validDotted(host)) return host;
        problem = "'" + host +
                  "' is not an IPv4 address; give four numbers from 0 to 255, such as 127.0.0.1";
        return "";
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (host.empty() || !startSockets() || getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 ||
        !list) {
        problem = "cannot find the IPv4 address of host '" + host +
                  "'; check the name, or give an address such as 127.0.0.1";
        return "";
    }
    char text[INET_ADDRSTRLEN] = {0};
    const auto* address = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&address->sin_addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    freeaddrinfo(list);
    return text;
}

bool udpPortFree(int port) {
    if (!startSockets()) return true;  // nothing to check with; the library will try
    Socket s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == NO_SOCKET) return true;
    // No address-reuse option: the bind fails whenever any socket holds the
    // port, also one that allows sharing it (which would otherwise take this
    // program's datagrams).
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<unsigned short>(port));
    bool free = bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    closeSocket(s);
    return free;
}

}  // namespace cli
