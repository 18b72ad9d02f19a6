// The client role of a TCP endpoint: connect and its reuse rules, framed
// sends, and two wirekit endpoints talking to each other.
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "tcp_test_peer.h"

namespace wirekit::tcp::test {
namespace {

using namespace std::chrono_literals;

int freePort() {
    wirekit::test::NetReference net;
    net::Listener probe;
    probe.listen(0, 1);
    return probe.port();  // closed again when probe goes
}

TEST_F(TcpTest, ConnectReusesOnlyTheSameHostTextAndPort) {
    int port;
    server(0, &port);
    void* c = endpoint(1);
    auto client = endpointOf(c);

    EXPECT_EQ(Connect_Tcp(c, "127.0.0.1", port), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED));
    platform::Socket first = client->clientSocketNumber();
    std::string host;
    int recordedPort;
    client->peer(&host, &recordedPort);
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(recordedPort, port);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Connect_Tcp(c, std::string("127.0.0.1"), port), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 40ms);  // no settling pause either
    EXPECT_EQ(client->clientSocketNumber(), first);

    // The same address spelled differently is a new connection.
    EXPECT_EQ(Connect_Tcp(c, "localhost", port), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED, 2));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED));  // the old session ended
    client->peer(&host, &recordedPort);
    EXPECT_EQ(host, "localhost");

    // A failed connect raises nothing and still records where it went.
    int nobody = freePort();
    EXPECT_EQ(Connect_Tcp(c, "127.0.0.1", nobody), 0);
    client->peer(&host, &recordedPort);
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(recordedPort, nobody);
    EXPECT_EQ(Connect_Tcp(c, "127.0.0.1", nobody), 0);  // not "reused": it never connected
    EXPECT_TRUE(log(1).events().empty());

    EXPECT_EQ(Connect_Tcp(c, static_cast<const char*>(nullptr), port), 0);
    EXPECT_EQ(Connect_Tcp(c, "", port), 0);
}

TEST_F(TcpTest, FramedSendsFollowTheStateOfTheClientConnection) {
    int port;
    void* s = server(0, &port);
    void* c = endpoint(1);
    EXPECT_EQ(SendMessage_Tcp(c, "x", 1), 0);  // never connected
    EXPECT_EQ(DisConnect_Tcp(c), 1);

    ASSERT_EQ(Connect_Tcp(c, "127.0.0.1", port), 1);
    EXPECT_EQ(SendMessage_Tcp(c, nullptr, 0), 1);  // the two marks only: nothing queued
    EXPECT_EQ(SendMessage_Tcp(c, "", -5), 1);
    EXPECT_EQ(SendMessage_Tcp(c, nullptr, 3), 0);
    EXPECT_EQ(SendMessage_Tcp(c, nullptr, "via socket 0", 12), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED));
    EXPECT_EQ(take(s), "via socket 0");
    EXPECT_EQ(log(0).count(TCP_EV_MSG_RECEIVED), 1);

    // The server drops the connection: sends fail quietly, the same address
    // still counts as connected, and a disconnect and connect start afresh.
    auto session = reinterpret_cast<void*>(static_cast<std::uintptr_t>(log(0).events()[0].second));
    ASSERT_EQ(DisConnect_Tcp(s, session), 1);
    ASSERT_TRUE(wirekit::test::waitUntil([&] { return endpointOf(c)->clientPeerIsQuiet() == 0; }));
    EXPECT_EQ(SendMessage_Tcp(c, "lost", 4), 0);
    EXPECT_EQ(Connect_Tcp(c, "127.0.0.1", port), 1);
    EXPECT_EQ(log(0).count(TCP_EV_CONNECTED), 1);
    EXPECT_EQ(DisConnect_Tcp(c), 1);
    EXPECT_EQ(Connect_Tcp(c, "127.0.0.1", port), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED, 2));
    EXPECT_EQ(SendMessage_Tcp(c, "back", 4), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED, 2));
    EXPECT_EQ(take(s), "back");
    EXPECT_TRUE(log(1).events().empty());  // the client side raised nothing
}

TEST_F(TcpTest, SendThatBreaksAfterTheStartMarkRaisesDisconnected) {
    // A peer that reads nothing and then goes away while a large message is
    // still on its way.
    wirekit::test::NetReference net;  // the listener's socket needs it on Windows
    net::Listener listener;
    ASSERT_EQ(listener.listen(0, 5), 1);
    core::ThreadGroup group;
    listener.start(startIn(group), [](platform::Socket s, int, const std::string&) {
        wirekit::test::waitUntil([&] { return platform::bytesPending(s) > 100000; });
        platform::closeSocket(s);  // unread bytes: the connection is reset
    });
    void* c = endpoint(1);
    ASSERT_EQ(Connect_Tcp(c, "127.0.0.1", listener.port()), 1);
    std::vector<unsigned char> big(32 << 20, 'x');
    EXPECT_EQ(SendMessage_Tcp(c, big.data(), static_cast<int>(big.size())), 0);
    EXPECT_EQ(log(1).events(), (std::vector<std::pair<int, int>>{{TCP_EV_DISCONNECTED, 0}}));
    listener.stop();
    group.waitIdle();
}

TEST_F(TcpTest, TwoEndpointsExchangeMessagesByteForByte) {
    int port;
    void* s = server(0, &port);
    void* c = endpoint(1);
    ASSERT_EQ(Connect_Tcp(c, "127.0.0.1", port), 1);
    std::mt19937 random(5);
    std::vector<std::string> sent;
    for (int i = 0; i < 200; ++i) {
        std::string m(1 + random() % (i % 50 == 0 ? 3000000 : 2000), '\0');
        for (auto& ch : m) ch = static_cast<char>(random() % 8 == 0 ? 5 : random());
        ASSERT_EQ(SendMessage_Tcp(c, m.data(), static_cast<int>(m.size())), 1);
        sent.push_back(std::move(m));
    }
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED, 200, 30s));
    auto events = log(0).events();
    std::size_t next = 0;
    for (auto& e : events) {
        if (e.first != TCP_EV_MSG_RECEIVED) continue;
        EXPECT_EQ(e.second, static_cast<int>(sent[next].size()));
        EXPECT_TRUE(take(s) == sent[next]) << "message " << next;
        ++next;
    }
    EXPECT_EQ(next, sent.size());
}

}  // namespace
}  // namespace wirekit::tcp::test
