// Helpers for the UDP tests: a raw datagram peer on loopback that writes and
// reads the wire bytes itself, and endpoints on free ports.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "frame/platform.h"
#include "frame/registry.h"
#include "frame/timing.h"
#include "support/test_support.h"
#include "udp/datagram.h"
#include "udp/udp_endpoint.h"
#include "wirekit.h"

namespace wirekit::udp::test {

using Bytes = std::vector<std::uint8_t>;

inline std::uint32_t loopback() {
    std::uint32_t a = 0;
    platform::parseDottedAddress("127.0.0.1", &a);
    return a;
}

struct Datagram {
    Bytes bytes;
    int sourcePort = 0;
};

// A plain datagram socket bound to a free loopback port.
class RawPeer {
public:
    RawPeer() {
        socket_ = platform::udpSocket();
        platform::bindAny(socket_, 0);
        port_ = platform::localPort(socket_);
    }
    ~RawPeer() { platform::closeSocket(socket_); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    int port() const { return port_; }

    void send(int port, const Bytes& bytes) {
        platform::sendDatagram(socket_, bytes.data(), bytes.size(), loopback(), port);
    }

    // The next datagram, or nothing when none arrives within the limit.
    std::optional<Datagram> receive(int timeoutMs = 5000) {
        if (platform::waitReadable(socket_, timeoutMs) != 1) return std::nullopt;
        Datagram d;
        d.bytes.resize(65536);
        long n = platform::receiveDatagram(socket_, d.bytes.data(), d.bytes.size(), nullptr,
                                           &d.sourcePort);
        if (n < 0) return std::nullopt;
        d.bytes.resize(static_cast<std::size_t>(n));
        return d;
    }

    // The next datagram parsed with the given header bytes (a message or an
    // acknowledgement); fails the test when none arrives or it is invalid.
    UdpPacket receivePacket(int timeoutMs = 5000, unsigned char h1 = 55, unsigned char h2 = 77) {
        UdpPacket p(h1, h2);
        auto d = receive(timeoutMs);
        EXPECT_TRUE(d.has_value()) << "no datagram arrived";
        if (d) {
            EXPECT_TRUE(p.parseDatagram(d->bytes.data(), d->bytes.size()));
        }
        return p;
    }

private:
    platform::Socket socket_;
    int port_;
};

inline Bytes messageBytes(const EndpointId& sender, std::int32_t sequence, int replyPort,
                          const std::string& payload, unsigned char h1 = 55,
                          unsigned char h2 = 77) {
    UdpPacket p(h1, h2);
    p.buildMessage(sender, sequence, replyPort, payload.data(), payload.size());
    return p.data;
}

inline Bytes ackBytes(std::int32_t sequence, unsigned char h1 = 55, unsigned char h2 = 77) {
    UdpPacket p(h1, h2);
    p.buildAck(sequence);
    return p.data;
}

inline std::shared_ptr<UdpEndpoint> endpointOf(void* h) {
    return EndpointRegistry::instance().findAs<UdpEndpoint>(h, EndpointKind::Udp);
}

inline int portOf(void* h) {
    auto e = endpointOf(h);
    return e ? e->localPort() : -1;
}

inline std::string payloadText(const UdpPacket& p) {
    return std::string(p.data.begin(), p.data.end());
}

// Takes the oldest message as its "address:payload" text, or "" when none.
inline std::string take(void* h) {
    std::vector<char> buffer(70000);
    long n = GetMessage_Udp(h, buffer.data(), static_cast<int>(buffer.size()));
    if (n < 0) return "";
    // The address never contains ':', so the first one ends it.
    std::string all(buffer.begin(), buffer.end());
    std::size_t colon = all.find(':');
    return all.substr(0, colon + 1 + static_cast<std::size_t>(n));
}

// Resets event logs and timing, and closes every handle a test opened.
class UdpTest : public ::testing::Test {
protected:
    void SetUp() override { wirekit::test::resetLogs(); }
    void TearDown() override {
        for (void* h : handles_) Close_Udp(h);
        timing::restoreDefaults();
        wirekit::test::resetLogs();
    }
    // A normal-mode endpoint on a free port recording into log(slot).
    void* open(int slot, int mode = 0, unsigned char h1 = 55, unsigned char h2 = 77) {
        void* h = Init_Udp(0, slot >= 0 ? wirekit::test::recorder(slot) : nullptr, h1, h2, mode);
        EXPECT_NE(h, FAILED_HANDLE);
        handles_.push_back(h);
        return h;
    }
    wirekit::test::EventLog& log(int slot) { return wirekit::test::log(slot); }

    std::vector<void*> handles_;
};

}  // namespace wirekit::udp::test
