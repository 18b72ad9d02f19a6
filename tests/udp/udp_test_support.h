// Helpers for the UDP tests: a raw datagram peer on loopback that writes and
// reads wire bytes itself, and endpoints on free ports that record events.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "api/registry.h"
#include "core/timing.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "udp/udp_endpoint.h"

namespace wirekit::udp::test {

using Bytes = std::vector<std::uint8_t>;
using wirekit::test::log;
using wirekit::test::waitUntil;

inline Bytes message(std::int32_t sequence, int replyPort, const std::string& payload,
                     EndpointId sender = EndpointId{0xA1}) {
    UdpPacket p(55, 77);
    p.buildMessage(sender, sequence, replyPort, payload.data(), payload.size());
    return p.data;
}

inline Bytes ack(std::int32_t sequence) {
    UdpPacket p(55, 77);
    p.buildAck(sequence);
    return p.data;
}

inline std::uint32_t addressOf(const char* dotted) {
    std::uint32_t address = 0;
    platform::parseDottedAddress(dotted, &address);
    return address;
}

// Holds a socket-library reference of its own for its raw socket, bound to
// `source` (another loopback address plays another host).
class RawPeer {
public:
    explicit RawPeer(const char* source = "0.0.0.0") : s_(platform::udpSocket()) {
        platform::bindTo(s_, addressOf(source), 0);
    }
    ~RawPeer() { platform::closeSocket(s_); }
    int port() const { return platform::localPort(s_); }
    void send(int port, const Bytes& b) {
        std::uint32_t loopback = 0;
        platform::parseDottedAddress("127.0.0.1", &loopback);
        platform::sendDatagram(s_, b.data(), b.size(), loopback, port);
    }
    std::optional<Bytes> receive(int timeoutMs = 5000) {
        if (platform::waitReadable(s_, timeoutMs) != 1) return std::nullopt;
        Bytes b(65536);
        long n = platform::receiveDatagram(s_, b.data(), b.size(), nullptr, nullptr);
        b.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return b;
    }
    // The next message's sequence and payload, "none" when nothing valid came.
    std::string next(int timeoutMs = 5000) {
        UdpPacket p(55, 77);
        auto b = receive(timeoutMs);
        if (!b || !p.parseDatagram(b->data(), b->size()) || !p.isMessage) return "none";
        return std::to_string(p.sequence) + ":" + std::string(p.data.begin(), p.data.end());
    }

private:
    wirekit::test::NetReference net_;  // declared first: taken before the socket opens
    platform::Socket s_;
};

// Whether a datagram from a socket bound to 127.0.0.2 arrives from 127.0.0.2,
// so that a test can play a second host on loopback. Wine binds such a UDP
// socket to every address underneath, and its datagrams leave from
// 127.0.0.1.
inline bool secondLoopbackHostWorks() {
    static const bool works = [] {
        wirekit::test::NetReference net;
        platform::Socket from = platform::udpSocket();
        platform::Socket to = platform::udpSocket();
        std::uint32_t seen = 0;
        if (platform::bindTo(from, addressOf("127.0.0.2"), 0) == 0 &&
            platform::bindTo(to, addressOf("127.0.0.1"), 0) == 0 &&
            platform::sendDatagram(from, "?", 1, addressOf("127.0.0.1"), platform::localPort(to)) ==
                1 &&
            platform::waitReadable(to, 5000) == 1) {
            char byte;
            platform::receiveDatagram(to, &byte, 1, &seen, nullptr);
        }
        platform::closeSocket(from);
        platform::closeSocket(to);
        return seen == addressOf("127.0.0.2");
    }();
    return works;
}

// Closes what a test opened and restores the re-send interval.
class UdpTest : public ::testing::Test {
protected:
    void SetUp() override { wirekit::test::resetLogs(); }
    void TearDown() override {
        for (void* h : handles_) Close_Udp(h);
        timing::restoreDefaults();
        wirekit::test::resetLogs();
    }
    void* open(int slot, int mode = 0) {
        handles_.push_back(
            Init_Udp(0, slot < 0 ? nullptr : wirekit::test::recorder(slot), 55, 77, mode));
        return handles_.back();
    }
    static std::shared_ptr<UdpEndpoint> endpoint(void* h) {
        return api::EndpointRegistry::instance().findUdp(h);
    }
    static int portOf(void* h) { return endpoint(h)->localPort(); }
    // The oldest message as "address:payload", or "" when none is queued.
    static std::string take(void* h) {
        std::string out(70000, '\0');
        long n = GetMessage_Udp(h, out.data(), static_cast<int>(out.size()));
        return n < 0 ? "" : out.substr(0, out.find(':') + 1 + static_cast<std::size_t>(n));
    }

    std::vector<void*> handles_;
};

}  // namespace wirekit::udp::test
