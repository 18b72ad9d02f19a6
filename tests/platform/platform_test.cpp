// The contract of the platform layer that the rest of the library relies on:
// waits end on data, on the peer's close, on another thread's shutdown, on a
// wake-up and on their time limit; descriptors above 1023 work.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

namespace p = wirekit::platform;
using namespace std::chrono;

namespace {

struct Pair {
    p::Socket listener = p::INVALID_SOCKET_VALUE;
    p::Socket client = p::INVALID_SOCKET_VALUE;
    p::Socket server = p::INVALID_SOCKET_VALUE;
    ~Pair() {
        for (p::Socket s : {listener, client, server})
            if (s != p::INVALID_SOCKET_VALUE) p::closeSocket(s);
    }
};

void connectPair(Pair& pair) {
    pair.listener = p::tcpSocket();
    ASSERT_NE(pair.listener, p::INVALID_SOCKET_VALUE);
    ASSERT_EQ(p::bindListener(pair.listener, 0), 0);
    ASSERT_EQ(p::listenOn(pair.listener, 5), 0);
    int port = p::localPort(pair.listener);
    ASSERT_GT(port, 0);
    pair.client = p::tcpSocket();
    std::uint32_t loopback = 0;
    ASSERT_TRUE(p::parseDottedAddress("127.0.0.1", &loopback));
    ASSERT_EQ(p::connectTo(pair.client, loopback, port), 0);
    std::uint32_t peer = 0;
    pair.server = p::acceptConnection(pair.listener, &peer);
    ASSERT_NE(pair.server, p::INVALID_SOCKET_VALUE);
    EXPECT_EQ(p::dottedText(peer), "127.0.0.1");
}

// Sockets need the socket library started (on Windows); each test holds one
// reference, as an endpoint or a stream socket does.
class Platform : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(p::netStartup(), 0); }
    void TearDown() override { p::netCleanup(); }
};

long long msSince(steady_clock::time_point start) {
    return duration_cast<milliseconds>(steady_clock::now() - start).count();
}

TEST_F(Platform, WaitEndsOnDataAndOnTheTimeLimit) {
    Pair pair;
    connectPair(pair);
    auto start = steady_clock::now();
    EXPECT_EQ(p::waitReadable(pair.server, 100), 0);
    EXPECT_GE(msSince(start), 90);
    EXPECT_EQ(p::pollReadable(pair.server), 0);
    ASSERT_EQ(p::sendBytes(pair.client, "abc", 3), 3);
    EXPECT_EQ(p::waitReadable(pair.server, 5000), 1);
    EXPECT_EQ(p::bytesPending(pair.server), 3);
    char buf[8];
    EXPECT_EQ(p::receiveBytes(pair.server, buf, sizeof buf), 3);
}

TEST_F(Platform, WaitEndsWhenThePeerCloses) {
    Pair pair;
    connectPair(pair);
    std::thread closer([&] {
        std::this_thread::sleep_for(milliseconds(50));
        p::closeSocket(pair.client);
        pair.client = p::INVALID_SOCKET_VALUE;
    });
    auto start = steady_clock::now();
    EXPECT_EQ(p::waitReadable(pair.server, 5000), 1);
    EXPECT_LT(msSince(start), 4000);
    closer.join();
    char buf[4];
    EXPECT_EQ(p::receiveBytes(pair.server, buf, sizeof buf), 0);
}

TEST_F(Platform, WaitEndsWhenAnotherThreadShutsTheSocketDown) {
    Pair pair;
    connectPair(pair);
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(50));
        p::shutdownReceive(pair.server);
    });
    auto start = steady_clock::now();
    EXPECT_EQ(p::waitReadable(pair.server, 5000), 1);
    EXPECT_LT(msSince(start), 4000);
    stopper.join();
}

TEST_F(Platform, AcceptEndsWhenTheListenerIsShutDown) {
    p::Socket listener = p::tcpSocket();
    ASSERT_EQ(p::bindListener(listener, 0), 0);
    ASSERT_EQ(p::listenOn(listener, 5), 0);
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(50));
        p::shutdownReceive(listener);
    });
    auto start = steady_clock::now();
    EXPECT_EQ(p::acceptConnection(listener, nullptr), p::INVALID_SOCKET_VALUE);
    EXPECT_LT(msSince(start), 4000);
    stopper.join();
    p::closeSocket(listener);
}

TEST_F(Platform, HeldPortFailsToBindButARestartedListenerSucceeds) {
    p::Socket first = p::tcpSocket();
    ASSERT_EQ(p::bindListener(first, 0), 0);
    ASSERT_EQ(p::listenOn(first, 5), 0);
    int port = p::localPort(first);
    p::Socket second = p::tcpSocket();
    EXPECT_NE(p::bindListener(second, port), 0);
    p::closeSocket(second);
    p::closeSocket(first);
    p::Socket again = p::tcpSocket();
    EXPECT_EQ(p::bindListener(again, port), 0);
    EXPECT_EQ(p::listenOn(again, 5), 0);
    p::closeSocket(again);
}

TEST_F(Platform, WakeupEndsAWaitAndStaysRaisedUntilCleared) {
    Pair pair;
    connectPair(pair);
    p::Wakeup* w = p::createWakeup();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(p::waitReadableOrWoken(pair.server, w, 20), 0);
    std::thread raiser([&] {
        std::this_thread::sleep_for(milliseconds(50));
        p::raiseWakeup(w);
    });
    EXPECT_EQ(p::waitReadableOrWoken(pair.server, w, 5000), 2);
    raiser.join();
    EXPECT_EQ(p::waitReadableOrWoken(pair.server, w, 0), 2);
    p::clearWakeup(w);
    EXPECT_EQ(p::waitReadableOrWoken(pair.server, w, 0), 0);
    p::destroyWakeup(w);
}

TEST_F(Platform, DatagramsKeepTheirBoundaries) {
    p::Socket a = p::udpSocket();
    p::Socket b = p::udpSocket();
    ASSERT_EQ(p::bindAny(a, 0), 0);
    int port = p::localPort(a);
    std::uint32_t loopback = 0;
    ASSERT_TRUE(p::parseDottedAddress("127.0.0.1", &loopback));
    ASSERT_EQ(p::sendDatagram(b, "first", 5, loopback, port), 5);
    ASSERT_EQ(p::sendDatagram(b, "second!", 7, loopback, port), 7);
    char buf[64];
    std::uint32_t from = 0;
    int fromPort = 0;
    ASSERT_EQ(p::waitReadable(a, 5000), 1);
    EXPECT_EQ(p::receiveDatagram(a, buf, sizeof buf, &from, &fromPort), 5);
    EXPECT_EQ(p::dottedText(from), "127.0.0.1");
    EXPECT_EQ(fromPort, p::localPort(b));
    ASSERT_EQ(p::waitReadable(a, 5000), 1);
    EXPECT_EQ(p::receiveDatagram(a, buf, sizeof buf, nullptr, nullptr), 7);
    p::closeSocket(a);
    p::closeSocket(b);
}

TEST_F(Platform, AddressTextIsDottedIPv4Only) {
    std::uint32_t a = 0;
    EXPECT_TRUE(p::parseDottedAddress("10.0.0.7", &a));
    EXPECT_EQ(p::dottedText(a), "10.0.0.7");
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&a);
    EXPECT_EQ(bytes[0], 10);
    EXPECT_EQ(bytes[3], 7);
    EXPECT_FALSE(p::parseDottedAddress("localhost", &a));
    EXPECT_FALSE(p::parseDottedAddress("1.2.3", &a));
    EXPECT_FALSE(p::parseDottedAddress("", &a));
    EXPECT_FALSE(p::parseDottedAddress(nullptr, &a));
    EXPECT_TRUE(p::resolveHost("localhost", &a));
    EXPECT_FALSE(p::resolveHost("no-such-host.invalid", &a));
}

TEST_F(Platform, WaitsWorkOnDescriptorsAbove1023) {
    std::vector<p::Socket> filler;
    for (int i = 0; i < 1100; ++i) {
        p::Socket s = p::udpSocket();
        if (s == p::INVALID_SOCKET_VALUE) break;
        filler.push_back(s);
    }
    if (filler.size() < 1100) {
        for (p::Socket s : filler) p::closeSocket(s);
        GTEST_SKIP() << "descriptor limit below 1100";
    }
    Pair pair;
    connectPair(pair);
    EXPECT_GT(pair.server, 1023);
    EXPECT_EQ(p::waitReadable(pair.server, 20), 0);
    ASSERT_EQ(p::sendBytes(pair.client, "x", 1), 1);
    EXPECT_EQ(p::waitReadable(pair.server, 5000), 1);
    for (p::Socket s : filler) p::closeSocket(s);
}

TEST_F(Platform, SendToAClosedPeerFailsWithoutASignal) {
    Pair pair;
    connectPair(pair);
    p::closeSocket(pair.server);
    pair.server = p::INVALID_SOCKET_VALUE;
    std::vector<char> block(65536, 'x');
    long result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i)
        result = p::sendBytes(pair.client, block.data(), block.size());
    EXPECT_EQ(result, -1);
    EXPECT_EQ(p::classifyError(p::lastError()), p::ErrorKind::ConnectionReset);
}

}  // namespace

// A blocked receive (not only a readiness wait) ends when another thread
// shuts the socket down, and so does a wait that also watches a wake-up.
TEST_F(Platform, BlockedReceiveEndsWhenAnotherThreadShutsTheSocketDown) {
    Pair pair;
    connectPair(pair);
    p::Wakeup* w = p::createWakeup();
    ASSERT_NE(w, nullptr);
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(50));
        p::shutdownReceive(pair.server);
    });
    auto start = steady_clock::now();
    char buf[4];
    EXPECT_LE(p::receiveBytes(pair.server, buf, sizeof buf), 0);
    EXPECT_LT(msSince(start), 4000);
    stopper.join();
    EXPECT_EQ(p::waitReadableOrWoken(pair.server, w, 5000), 1);
    EXPECT_EQ(p::pollReadable(pair.server), 1);
    p::destroyWakeup(w);

    p::Socket datagrams = p::udpSocket();
    ASSERT_EQ(p::bindAny(datagrams, 0), 0);
    std::thread datagramStopper([&] {
        std::this_thread::sleep_for(milliseconds(50));
        p::shutdownReceive(datagrams);
    });
    start = steady_clock::now();
    EXPECT_LE(p::receiveDatagram(datagrams, buf, sizeof buf, nullptr, nullptr), 0);
    EXPECT_LT(msSince(start), 4000);
    datagramStopper.join();
    p::closeSocket(datagrams);
}

// While one thread is blocked receiving on a socket, another sends through
// it more than the kernel buffers hold: every byte arrives, in order.
TEST_F(Platform, SendCompletesWhileAnotherThreadReceivesOnTheSameSocket) {
    Pair pair;
    connectPair(pair);
    std::thread receiver([&] {
        char b;
        EXPECT_EQ(p::receiveBytes(pair.server, &b, 1), 1);
        EXPECT_EQ(b, 'q');
    });
    std::vector<char> block(8 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
    std::vector<char> received;
    std::thread reader([&] {
        std::vector<char> buf(65536);
        while (received.size() < block.size()) {
            if (p::waitReadable(pair.client, 10000) != 1) break;
            long n = p::receiveBytes(pair.client, buf.data(), buf.size());
            if (n <= 0) break;
            received.insert(received.end(), buf.begin(), buf.begin() + n);
        }
    });
    // Give the receiver time to block first; the sends must work either way.
    std::this_thread::sleep_for(milliseconds(20));
    std::size_t sent = 0;
    for (int calls = 0; sent < block.size() && calls < 100000; ++calls) {
        long n = p::sendBytes(pair.server, block.data() + sent, block.size() - sent);
        if (n <= 0) {
            ADD_FAILURE() << "send failed with error " << p::lastError();
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    reader.join();
    EXPECT_TRUE(received == block);
    ASSERT_EQ(p::sendBytes(pair.client, "q", 1), 1);
    receiver.join();
}

// An ICMP port-unreachable answering an earlier send must not make the next
// read of a datagram socket fail.
TEST_F(Platform, DatagramReadsSurviveAnUnreachablePort) {
    std::uint32_t loopback = 0;
    ASSERT_TRUE(p::parseDottedAddress("127.0.0.1", &loopback));
    p::Socket gone = p::udpSocket();
    ASSERT_EQ(p::bindAny(gone, 0), 0);
    int closedPort = p::localPort(gone);
    p::closeSocket(gone);
    p::Socket a = p::udpSocket();
    p::Socket b = p::udpSocket();
    ASSERT_EQ(p::ignoreConnectionReset(a), 0);
    ASSERT_EQ(p::bindAny(a, 0), 0);
    ASSERT_EQ(p::sendDatagram(a, "lost", 4, loopback, closedPort), 4);
    ASSERT_EQ(p::sendDatagram(b, "hello", 5, loopback, p::localPort(a)), 5);
    char buf[16];
    ASSERT_EQ(p::waitReadable(a, 5000), 1);
    EXPECT_EQ(p::receiveDatagram(a, buf, sizeof buf, nullptr, nullptr), 5);
    p::closeSocket(a);
    p::closeSocket(b);
}

TEST_F(Platform, DescriptorCountFollowsOpenAndClose) {
    int before = p::openDescriptorCount();
    if (before < 0) GTEST_SKIP() << "no descriptor count on this platform";
    {
        Pair pair;
        connectPair(pair);
        EXPECT_EQ(p::openDescriptorCount(), before + 3);
    }
    EXPECT_EQ(p::openDescriptorCount(), before);
}

// Positions past 4 GiB, in a sparse file, also in a 32-bit process; the
// name is UTF-8 text, and only regular files open for reading.
TEST(PlatformFiles, PositionsAreSixtyFourBitsAndNamesUtf8) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() /
                         fs::u8path("wirekit_\xc3\xa9_" +
                                    std::to_string(steady_clock::now().time_since_epoch().count()));
    fs::create_directories(dir);
    const std::string path = (dir / "sparse.bin").u8string();
    constexpr std::int64_t far = (std::int64_t{5} << 30) + 3;
    {
        p::OwnedFile out(p::createFileForWriting(path.c_str()));
        ASSERT_TRUE(out.isOpen());
        ASSERT_EQ(p::seekFile(out.get(), far), 0);
        ASSERT_EQ(p::writeFile(out.get(), "end", 3), 0);
    }
    {
        p::OwnedFile in(p::openFileForReading(path.c_str()));
        ASSERT_TRUE(in.isOpen());
        EXPECT_EQ(p::fileSize(in.get()), far + 3);
        ASSERT_EQ(p::seekFile(in.get(), far - 1), 0);
        char buf[8] = {};
        EXPECT_EQ(p::readFile(in.get(), buf, sizeof buf), 4);
        EXPECT_EQ(std::string(buf, 4), std::string("\0end", 4));
    }
    EXPECT_EQ(p::openFileForReading(dir.u8string().c_str()), p::INVALID_FILE_VALUE);
    EXPECT_EQ(p::openFileForReading((dir / "missing").u8string().c_str()), p::INVALID_FILE_VALUE);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}
