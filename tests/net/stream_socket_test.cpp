// The stream socket on loopback: connect, the send gate, the timed read and
// who closes what.
#include "net/stream_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/timing.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace wirekit::net {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A client StreamSocket connected to a raw accepted end. The raw sockets need
// a socket-library reference of their own, taken before the first of them.
struct Pair {
    test::NetReference net;
    Socket listener = platform::tcpSocket();
    Socket server = INVALID_SOCKET_VALUE;
    StreamSocket client;
    int port;

    Pair() {
        platform::bindListener(listener, 0);
        platform::listenOn(listener, 5);
        port = platform::localPort(listener);
        EXPECT_EQ(client.connect("127.0.0.1", port), 1);
        server = platform::acceptConnection(listener, nullptr);
    }
    ~Pair() {
        platform::closeSocket(server);
        platform::closeSocket(listener);
    }
    // True when the raw end sees the end of the stream.
    bool serverSeesEnd() {
        char b;
        return platform::waitReadable(server, 5000) == 1 &&
               platform::receiveBytes(server, &b, 1) == 0;
    }
};

TEST(StreamSocket, ConnectSucceedsOrFailsCleanly) {
    Pair pair;
    EXPECT_TRUE(pair.client.isConnected());
    EXPECT_TRUE(pair.client.ownsConnection());

    Socket probe = platform::tcpSocket();
    platform::bindAny(probe, 0);
    int freePort = platform::localPort(probe);
    platform::closeSocket(probe);
    StreamSocket refused;
    EXPECT_EQ(refused.connect("127.0.0.1", freePort), 0);
    EXPECT_NE(refused.lastError(), 0);

    StreamSocket other;
    EXPECT_EQ(other.connect("no-such-host.invalid", pair.port), 0);
    EXPECT_EQ(other.lastError(), 0);  // an unresolved name leaves it alone
    EXPECT_EQ(other.connect(nullptr, pair.port), 0);
    EXPECT_EQ(other.connect("127.0.0.1", 70000), 0);

    // Connecting again closes the old connection, even when the new one fails.
    EXPECT_EQ(pair.client.connect("no-such-host.invalid", 1), 0);
    EXPECT_FALSE(pair.client.isConnected());
    EXPECT_TRUE(pair.serverSeesEnd());
}

TEST(StreamSocket, SendIsRefusedOnceThePeerWroteUnreadBytesOrClosed) {
    for (bool peerCloses : {false, true}) {
        Pair pair;
        EXPECT_EQ(pair.client.send("ab", 2), 2);
        if (peerCloses) {
            platform::shutdownBoth(pair.server);
        } else {
            platform::sendBytes(pair.server, "x", 1);
        }
        ASSERT_TRUE(test::waitUntil([&] { return pair.client.peerIsQuiet() == 0; }));
        EXPECT_EQ(pair.client.send("cd", 2), -1);
        EXPECT_EQ(pair.client.lastError(), -1);
        EXPECT_FALSE(pair.client.isConnected());
        EXPECT_EQ(pair.client.send("", 0), -1);  // the gate alone refuses
        // Unusable but still held, so Disconnect closes it instead of leaking it.
        EXPECT_NE(pair.client.socketNumber(), INVALID_SOCKET_VALUE);
        pair.client.disconnect();
        EXPECT_EQ(pair.client.socketNumber(), INVALID_SOCKET_VALUE);
    }
    StreamSocket none;
    char b;
    EXPECT_EQ(none.send("x", 1), -1);
    EXPECT_EQ(none.sendAll("x", 1), 0);
    EXPECT_EQ(none.receive(&b, 1, 10), -1);
}

TEST(StreamSocket, ReceiveReturnsOnDataPeerCloseAndAnotherThreadsShutdown) {
    {
        Pair pair;
        std::thread writer([&] {
            std::this_thread::sleep_for(50ms);
            platform::sendBytes(pair.server, "hello", 5);
        });
        char buf[16];
        EXPECT_EQ(pair.client.receive(buf, sizeof buf, 10000), 5);
        writer.join();
        EXPECT_EQ(std::memcmp(buf, "hello", 5), 0);
        EXPECT_TRUE(pair.client.isConnected());
        platform::shutdownBoth(pair.server);
        EXPECT_EQ(pair.client.receive(buf, sizeof buf, 10000), 0);
    }
    // Shutdown in either form, and Disconnect, end a waiting read at once;
    // Disconnect closes only once the reader has let go.
    for (int how = 0; how < 3; ++how) {
        Pair pair;
        std::atomic<int> result{99};
        std::thread reader([&] {
            char buf[8];
            result = pair.client.receive(buf, sizeof buf, 30000);
        });
        std::this_thread::sleep_for(50ms);
        auto start = Clock::now();
        if (how < 2) {
            pair.client.shutdown(how == 1);
        } else {
            pair.client.disconnect();
        }
        reader.join();
        EXPECT_LE(result.load(), 0);
        EXPECT_LT(Clock::now() - start, 5s);
    }
}

// After a shutdown in both directions that found no send in progress, a
// later blocking send must fail at once (it could otherwise block on a full
// window with nothing left to end it), while SendNow still delivers a last
// answer. A receive-only shutdown leaves every send alone.
TEST(StreamSocket, SendsAfterAShutdownAndSendNowNeverWaits) {
    for (bool both : {false, true}) {
        Pair pair;
        pair.client.shutdown(both);
        EXPECT_EQ(pair.client.sendNow("last", 4), 4) << both;
        const std::string later = "later";
        EXPECT_EQ(pair.client.sendAll(later.data(), later.size()), both ? 0 : 1);
        platform::SendPart part{later.data(), later.size()};
        EXPECT_EQ(pair.client.sendParts(&part, 1, nullptr, false), both ? 0 : 1);
        pair.client.disconnect();
        std::string seen;
        char buf[64];
        for (int i = 0; i < 10 && platform::waitReadable(pair.server, 5000) == 1; ++i) {
            long n = platform::receiveBytes(pair.server, buf, sizeof buf);
            if (n <= 0) break;
            seen.append(buf, static_cast<std::size_t>(n));
        }
        EXPECT_EQ(seen, both ? "last" : "lastlaterlater");
    }
    // A peer that reads nothing: SendNow reports a full buffer as 0 instead
    // of waiting for room.
    Pair pair;
    platform::setBufferSizes(pair.client.socketNumber(), 4096);
    std::vector<char> block(65536, 'z');
    long last = -1;
    for (int i = 0; i < 2000 && last != 0; ++i)
        last = pair.client.sendNow(block.data(), block.size());
    EXPECT_EQ(last, 0);
    EXPECT_TRUE(pair.client.isConnected());
    EXPECT_EQ(StreamSocket().sendNow("x", 1), -1);
}

TEST(StreamSocket, ReceiveTimeLimitClosesTheConnection) {
    Pair pair;
    char buf[8];
    auto start = Clock::now();
    EXPECT_LE(pair.client.receive(buf, sizeof buf, 200), 0);
    EXPECT_GE(Clock::now() - start, 190ms);
    EXPECT_EQ(pair.client.socketNumber(), INVALID_SOCKET_VALUE);
    EXPECT_EQ(pair.client.receive(buf, sizeof buf, 200), -1);
    EXPECT_TRUE(pair.serverSeesEnd());
}

TEST(StreamSocketSlow, ReceiveGivesUpAfterSixtySeconds) {
    Pair pair;
    char buf[8];
    auto start = Clock::now();
    EXPECT_LE(pair.client.receive(buf, sizeof buf, timing::readTimeoutMs()), 0);
    EXPECT_GE(Clock::now() - start, 60s);
    EXPECT_LT(Clock::now() - start, 62s);
    EXPECT_FALSE(pair.client.isConnected());
}

TEST(StreamSocket, AttachTakesOverEverythingButClosesOnlyWhatItConnected) {
    Pair pair;
    ASSERT_EQ(pair.client.send("early", 5), 5);
    ASSERT_EQ(platform::waitReadable(pair.server, 5000), 1);
    {
        StreamSocket attached;
        attached.attach(pair.server);  // the peer wrote first: taken over all the same
        EXPECT_FALSE(attached.ownsConnection());
        char buf[8];
        EXPECT_EQ(attached.receive(buf, sizeof buf, 5000), 5);
        EXPECT_EQ(std::memcmp(buf, "early", 5), 0);
    }
    // The attached end is still open; destroying the connected one closes it.
    EXPECT_GE(platform::localPort(pair.server), 0);
    Socket accepted;
    {
        StreamSocket connected;
        ASSERT_EQ(connected.connect("127.0.0.1", pair.port), 1);
        accepted = platform::acceptConnection(pair.listener, nullptr);
    }
    char b;
    ASSERT_EQ(platform::waitReadable(accepted, 5000), 1);
    EXPECT_EQ(platform::receiveBytes(accepted, &b, 1), 0);
    platform::closeSocket(accepted);
}

}  // namespace
}  // namespace wirekit::net
