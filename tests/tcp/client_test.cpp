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
    net::StreamSocket probe;
    probe.Listen(0, 1);
    return probe.ListenPort();  // closed again when probe goes
}

TEST_F(TcpTest, ConnectReusesOnlyTheSameHostTextAndPort) {
    int port;
    server(0, &port);
    void* c = endpoint(1);
    auto client = endpointOf(c);

    EXPECT_EQ(Connect_Tcp(c, "127.0.0.1", port), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED));
    platform::Socket first = client->clientSocket().SocketNumber();
    std::string host;
    int recordedPort;
    client->peer(&host, &recordedPort);
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(recordedPort, port);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Connect_Tcp(c, std::string("127.0.0.1"), port), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 40ms);  // no settling pause either
    EXPECT_EQ(client->clientSocket().SocketNumber(), first);

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

TEST_F(TcpTest, FramedSendsNeedAConnectionAndEmptyMessagesAreNeverDelivered) {
    int port;
    void* s = server(0, &port);
    void* c = endpoint(1);
    EXPECT_EQ(SendMessage_Tcp(c, "x", 1), 0);  // never connected
    EXPECT_EQ(DisConnect_Tcp(c), 1);
    EXPECT_TRUE(log(1).events().empty());

    ASSERT_EQ(Connect_Tcp(c, "127.0.0.1", port), 1);
    EXPECT_EQ(SendMessage_Tcp(c, "", 0), 1);
    EXPECT_EQ(SendMessage_Tcp(c, nullptr, 0), 1);
    EXPECT_EQ(SendMessage_Tcp(c, "", -5), 1);
    EXPECT_EQ(SendMessage_Tcp(c, nullptr, 3), 0);
    EXPECT_EQ(SendMessage_Tcp(c, nullptr, "via socket 0", 12), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED));
    EXPECT_EQ(take(s), "via socket 0");
    EXPECT_EQ(log(0).count(TCP_EV_MSG_RECEIVED), 1);
    EXPECT_TRUE(log(1).events().empty());
}

TEST_F(TcpTest, AfterThePeerClosesSendsFailQuietlyUntilAReconnect) {
    int port;
    void* s = server(0, &port);
    void* c = endpoint(1);
    ASSERT_EQ(Connect_Tcp(c, "127.0.0.1", port), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED));
    auto session = reinterpret_cast<void*>(static_cast<std::uintptr_t>(log(0).events()[0].second));
    ASSERT_EQ(DisConnect_Tcp(s, session), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED));
    ASSERT_TRUE(wirekit::test::waitUntil(
        [&] { return endpointOf(c)->clientSocket().PeerQuiet() == 0; }));

    EXPECT_EQ(SendMessage_Tcp(c, "lost", 4), 0);
    EXPECT_TRUE(log(1).events().empty());  // the start mark never went out: no event
    EXPECT_EQ(Connect_Tcp(c, "127.0.0.1", port), 1);  // still "connected" to that address
    EXPECT_EQ(log(0).count(TCP_EV_CONNECTED), 1);
    EXPECT_EQ(DisConnect_Tcp(c), 1);
    EXPECT_EQ(Connect_Tcp(c, "127.0.0.1", port), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED, 2));
    EXPECT_EQ(SendMessage_Tcp(c, "back", 4), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED));
    EXPECT_EQ(take(s), "back");
}

TEST_F(TcpTest, SendThatBreaksAfterTheStartMarkRaisesDisconnected) {
    // A peer that reads nothing and then goes away while a large message is
    // still on its way.
    net::StreamSocket listener;
    ASSERT_EQ(listener.Listen(0, 5), 1);
    net::ThreadGroup group;
    listener.StartAcceptThread(group, [](platform::Socket s, int, const std::string&) {
        wirekit::test::waitUntil([&] { return platform::bytesPending(s) > 100000; });
        platform::closeSocket(s);  // unread bytes: the connection is reset
    });
    void* c = endpoint(1);
    ASSERT_EQ(Connect_Tcp(c, "127.0.0.1", listener.ListenPort()), 1);
    std::vector<unsigned char> big(32 << 20, 'x');
    EXPECT_EQ(SendMessage_Tcp(c, big.data(), static_cast<int>(big.size())), 0);
    EXPECT_EQ(log(1).events(), (std::vector<std::pair<int, int>>{{TCP_EV_DISCONNECTED, 0}}));
    listener.StopListen();
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

TEST_F(TcpTest, HandlesThatNameNoTcpEndpointGetTheFailureValue) {
    void* u = Init_Udp(0, nullptr, 55, 77, 0);
    char buf[4];
    for (void* h : {static_cast<void*>(nullptr), reinterpret_cast<void*>(std::uintptr_t{999999}), u}) {
        EXPECT_EQ(ListenMessage_Tcp(h, 0), 0);
        EXPECT_EQ(StopListen_Tcp(h), 0);
        EXPECT_EQ(Connect_Tcp(h, "127.0.0.1", 1), 0);
        EXPECT_EQ(DisConnect_Tcp(h), 0);
        EXPECT_EQ(DisConnect_Tcp(h, reinterpret_cast<void*>(std::uintptr_t{3})), 0);
        EXPECT_EQ(SendMessage_Tcp(h, "x", 1), 0);
        EXPECT_EQ(SendMessage_Tcp(h, reinterpret_cast<void*>(std::uintptr_t{3}), "x", 1), 0);
        EXPECT_EQ(GetMessage_Tcp(h, buf, sizeof buf), -1);
    }
    Close_Udp(u);
    void* stale = endpoint(0);
    EXPECT_EQ(Close_Tcp(stale), 1);
    EXPECT_EQ(Close_Tcp(stale), 0);
    EXPECT_EQ(GetMessage_Tcp(stale, buf, sizeof buf), -1);
    handles_.clear();
    EXPECT_TRUE(log(0).events().empty());
}

TEST_F(TcpTest, ListenTwiceKeepsTheFirstPortAndRestartsAfterStop) {
    int port;
    void* s = server(0, &port);
    EXPECT_EQ(ListenMessage_Tcp(s, freePort()), 1);
    EXPECT_EQ(endpointOf(s)->listenPort(), port);
    EXPECT_EQ(StopListen_Tcp(s), 1);
    RawPeer refused;
    EXPECT_FALSE(refused.connect(port));
    EXPECT_EQ(ListenMessage_Tcp(s, port), 1);
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    ASSERT_TRUE(peer.send(frameOf("again")));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED));
    void* other = endpoint(1);
    EXPECT_EQ(ListenMessage_Tcp(other, port), 0);  // held by s
}

}  // namespace
}  // namespace wirekit::tcp::test
