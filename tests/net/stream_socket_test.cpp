// The stream socket on loopback: connect, the send gate, the timed read and
// who closes what.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "frame/platform.h"
#include "frame/timing.h"
#include "net/stream_socket.h"
#include "support/test_support.h"

namespace wirekit::net {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A listener on a free loopback port plus the accepted end of one client.
struct Pair {
    Socket listener = INVALID_SOCKET_VALUE;
    Socket server = INVALID_SOCKET_VALUE;
    int port = 0;

    Pair() {
        listener = platform::tcpSocket();
        platform::bindListener(listener, 0);
        platform::listenOn(listener, 5);
        port = platform::localPort(listener);
    }
    void accept() { server = platform::acceptConnection(listener, nullptr); }
    ~Pair() {
        if (server != INVALID_SOCKET_VALUE) platform::closeSocket(server);
        platform::closeSocket(listener);
    }
};

bool isOpenDescriptor(Socket s) { return platform::localPort(s) >= 0; }

TEST(StreamSocket, ConnectReportsSuccessAndFailure) {
    Pair pair;
    StreamSocket client;
    ASSERT_EQ(client.Connect("127.0.0.1", pair.port), 1);
    pair.accept();
    EXPECT_TRUE(client.IsConnected());
    EXPECT_TRUE(client.OwnsConnection());

    // A port that nobody listens on: take one, then free it.
    Socket probe = platform::tcpSocket();
    platform::bindAny(probe, 0);
    int freePort = platform::localPort(probe);
    platform::closeSocket(probe);
    StreamSocket refused;
    EXPECT_EQ(refused.Connect("127.0.0.1", freePort), 0);
    EXPECT_FALSE(refused.IsConnected());
    EXPECT_NE(refused.lastError(), 0);

    StreamSocket unresolved;
    EXPECT_EQ(unresolved.Connect("no-such-host.invalid", pair.port), 0);
    EXPECT_EQ(unresolved.lastError(), 0);  // a name that does not resolve leaves it alone
    EXPECT_EQ(unresolved.Connect(nullptr, pair.port), 0);
    EXPECT_EQ(unresolved.Connect("", pair.port), 0);
    EXPECT_EQ(unresolved.Connect("127.0.0.1", 70000), 0);
}

TEST(StreamSocket, ConnectAgainClosesTheOldConnectionEvenWhenTheNewOneFails) {
    Pair pair;
    StreamSocket client;
    ASSERT_EQ(client.Connect("127.0.0.1", pair.port), 1);
    pair.accept();
    EXPECT_EQ(client.Connect("no-such-host.invalid", 1), 0);
    EXPECT_FALSE(client.IsConnected());
    char b;
    // The accepted end sees the end of the stream.
    ASSERT_EQ(platform::waitReadable(pair.server, 5000), 1);
    EXPECT_EQ(platform::receiveBytes(pair.server, &b, 1), 0);
}

TEST(StreamSocket, SendIsRefusedOnceThePeerWroteUnreadBytesOrClosed) {
    {
        Pair pair;
        StreamSocket client;
        ASSERT_EQ(client.Connect("127.0.0.1", pair.port), 1);
        pair.accept();
        EXPECT_EQ(client.Send("ab", 2), 2);
        platform::sendBytes(pair.server, "x", 1);
        ASSERT_TRUE(test::waitUntil([&] { return client.PeerQuiet() == 0; }));
        EXPECT_EQ(client.Send("cd", 2), -1);
        EXPECT_EQ(client.lastError(), -1);
        EXPECT_FALSE(client.IsConnected());
        EXPECT_EQ(client.Send("cd", 2), -1);
        // Unusable, but still held: Disconnect closes it rather than leaking it.
        Socket held = client.SocketNumber();
        EXPECT_NE(held, INVALID_SOCKET_VALUE);
        client.Disconnect();
        EXPECT_EQ(client.SocketNumber(), INVALID_SOCKET_VALUE);
    }
    {
        Pair pair;
        StreamSocket client;
        ASSERT_EQ(client.Connect("127.0.0.1", pair.port), 1);
        pair.accept();
        platform::closeSocket(pair.server);
        pair.server = INVALID_SOCKET_VALUE;
        ASSERT_TRUE(test::waitUntil([&] { return client.PeerQuiet() == 0; }));
        EXPECT_EQ(client.Send("cd", 2), -1);
        EXPECT_FALSE(client.ReadyToSend());
    }
    StreamSocket none;
    EXPECT_EQ(none.Send("x", 1), -1);
    EXPECT_EQ(none.SendAll("x", 1), 0);
    char b;
    EXPECT_EQ(none.Receive(&b, 1, 10), -1);
}

TEST(StreamSocket, SendAllDeliversEveryByteOfALargeBuffer) {
    Pair pair;
    StreamSocket client;
    ASSERT_EQ(client.Connect("127.0.0.1", pair.port), 1);
    pair.accept();
    std::vector<unsigned char> data(8 << 20);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
    std::vector<unsigned char> got;
    std::thread reader([&] {
        std::vector<unsigned char> buf(1 << 16);
        while (got.size() < data.size()) {
            long n = platform::receiveBytes(pair.server, buf.data(), buf.size());
            if (n <= 0) break;
            got.insert(got.end(), buf.begin(), buf.begin() + n);
        }
    });
    std::size_t sent = 0;
    EXPECT_EQ(client.SendAll(data.data(), data.size(), &sent), 1);
    EXPECT_EQ(sent, data.size());
    reader.join();
    EXPECT_TRUE(got == data);
}

TEST(StreamSocket, ReceiveReturnsOnDataAndOnPeerClose) {
    Pair pair;
    StreamSocket client;
    ASSERT_EQ(client.Connect("127.0.0.1", pair.port), 1);
    pair.accept();
    std::thread writer([&] {
        std::this_thread::sleep_for(50ms);
        platform::sendBytes(pair.server, "hello", 5);
    });
    char buf[16];
    EXPECT_EQ(client.Receive(buf, sizeof buf, 10000), 5);
    EXPECT_EQ(std::memcmp(buf, "hello", 5), 0);
    writer.join();
    EXPECT_TRUE(client.IsConnected());

    platform::closeSocket(pair.server);
    pair.server = INVALID_SOCKET_VALUE;
    EXPECT_EQ(client.Receive(buf, sizeof buf, 10000), 0);
}

TEST(StreamSocket, ShutdownByAnotherThreadEndsAWaitingReceiveAtOnce) {
    for (bool both : {false, true}) {
        Pair pair;
        StreamSocket client;
        ASSERT_EQ(client.Connect("127.0.0.1", pair.port), 1);
        pair.accept();
        std::atomic<int> result{99};
        std::thread reader([&] {
            char buf[8];
            result = client.Receive(buf, sizeof buf, 30000);
        });
        std::this_thread::sleep_for(50ms);
        auto start = Clock::now();
        client.Shutdown(both);
        reader.join();
        EXPECT_LE(result.load(), 0);
        EXPECT_LT(Clock::now() - start, 5s);
    }
}

TEST(StreamSocket, DisconnectWaitsForAReaderThenCloses) {
    Pair pair;
    StreamSocket client;
    ASSERT_EQ(client.Connect("127.0.0.1", pair.port), 1);
    pair.accept();
    std::atomic<int> result{99};
    std::thread reader([&] {
        char buf[8];
        result = client.Receive(buf, sizeof buf, 30000);
    });
    std::this_thread::sleep_for(50ms);
    client.Disconnect();
    reader.join();
    EXPECT_LE(result.load(), 0);
    EXPECT_EQ(client.SocketNumber(), INVALID_SOCKET_VALUE);
    client.Disconnect();  // nothing left to do
}

TEST(StreamSocket, ReceiveTimeLimitClosesTheConnection) {
    Pair pair;
    StreamSocket client;
    ASSERT_EQ(client.Connect("127.0.0.1", pair.port), 1);
    pair.accept();
    char buf[8];
    auto start = Clock::now();
    EXPECT_LE(client.Receive(buf, sizeof buf, 200), 0);
    auto took = Clock::now() - start;
    EXPECT_GE(took, 190ms);
    EXPECT_LT(took, 5s);
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.SocketNumber(), INVALID_SOCKET_VALUE);
    EXPECT_EQ(client.Receive(buf, sizeof buf, 200), -1);
    // The peer sees the connection end.
    ASSERT_EQ(platform::waitReadable(pair.server, 5000), 1);
    EXPECT_EQ(platform::receiveBytes(pair.server, buf, 1), 0);
}

TEST(StreamSocketSlow, ReceiveGivesUpAfterSixtySeconds) {
    Pair pair;
    StreamSocket client;
    ASSERT_EQ(client.Connect("127.0.0.1", pair.port), 1);
    pair.accept();
    char buf[8];
    auto start = Clock::now();
    EXPECT_LE(client.Receive(buf, sizeof buf, timing::readTimeoutMs()), 0);
    auto took = Clock::now() - start;
    EXPECT_GE(took, 60s);
    EXPECT_LT(took, 62s);
    EXPECT_FALSE(client.IsConnected());
}

TEST(StreamSocket, DestructionClosesOnlyWhatItConnected) {
    Pair pair;
    Socket attachedEnd;
    {
        StreamSocket client;
        ASSERT_EQ(client.Connect("127.0.0.1", pair.port), 1);
        pair.accept();
        StreamSocket server;
        server.Attach(pair.server);
        EXPECT_TRUE(server.IsConnected());
        EXPECT_FALSE(server.OwnsConnection());
        attachedEnd = pair.server;
    }
    // The attached socket is still open; the connected one was closed, so the
    // attached end sees the end of the stream.
    EXPECT_TRUE(isOpenDescriptor(attachedEnd));
    char b;
    ASSERT_EQ(platform::waitReadable(attachedEnd, 5000), 1);
    EXPECT_EQ(platform::receiveBytes(attachedEnd, &b, 1), 0);
}

TEST(StreamSocket, AttachTakesOverASocketWhosePeerAlreadyWrote) {
    Pair pair;
    StreamSocket client;
    ASSERT_EQ(client.Connect("127.0.0.1", pair.port), 1);
    ASSERT_EQ(client.Send("early", 5), 5);
    pair.accept();
    ASSERT_EQ(platform::waitReadable(pair.server, 5000), 1);
    StreamSocket server;
    server.Attach(pair.server);
    pair.server = INVALID_SOCKET_VALUE;
    char buf[8];
    EXPECT_EQ(server.Receive(buf, sizeof buf, 5000), 5);
    EXPECT_EQ(std::memcmp(buf, "early", 5), 0);
    server.Disconnect();
}

}  // namespace
}  // namespace wirekit::net
