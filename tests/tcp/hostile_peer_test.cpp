// Raw peers that misbehave the way broken or dying hosts do: they go silent,
// die half-way through a frame, or vanish while the library is in the middle
// of a large send. The endpoint must end each connection with an event, keep
// serving the others and give back every descriptor.
#include <chrono>
#include <future>
#include <thread>

#include "tcp/tcp_test_peer.h"

namespace wirekit::tcp::test {
namespace {

using namespace std::chrono_literals;

class HostilePeer : public LeakCheckedTest<TcpTest> {};

TEST_F(HostilePeer, SilentPeersEndAtTheReadLimitWhileOthersAreServed) {
    timing::setReadTimeoutMs(300);
    int port;
    void* h = server(0, &port);
    {
        // One says nothing at all, one stops in the middle of a frame, one
        // stops just after an escape byte.
        RawPeer mute, halfFrame, halfEscape, busy;
        ASSERT_TRUE(mute.connect(port));
        ASSERT_TRUE(halfFrame.connect(port));
        ASSERT_TRUE(halfEscape.connect(port));
        ASSERT_TRUE(busy.connect(port));
        ASSERT_TRUE(halfFrame.send(Bytes{5, 7, 'h', 'a', 'l'}));
        ASSERT_TRUE(halfEscape.send(Bytes{5, 7, 'x', 5}));
        ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED, 4));
        // The busy peer keeps talking past the limit of the silent ones.
        for (int i = 0; i < 8; ++i) {
            ASSERT_TRUE(busy.send(frameOf("m" + std::to_string(i))));
            std::this_thread::sleep_for(60ms);
        }
        ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED, 3));
        ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED, 8));
        for (RawPeer* p : {&mute, &halfFrame, &halfEscape}) {
            char b;
            EXPECT_EQ(p->socket.receive(&b, 1, 5000), 0);  // the server closed it
        }
        for (int i = 0; i < 8; ++i) EXPECT_EQ(take(h), "m" + std::to_string(i));
        EXPECT_EQ(take(h), "<none>");  // no partial message was queued
    }
    ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED, 4));
    EXPECT_TRUE(wirekit::test::waitUntil([&] { return endpointOf(h)->sessionCount() == 0; }));
    expectNothingLeaked();
}

TEST_F(HostilePeer, ResetInTheMiddleOfAFrameEndsOnlyThatSession) {
    int port;
    void* h = server(0, &port);
    // Reset after half a body, right after the start mark and right after an
    // escape byte: each ends its session with 3999 and queues nothing.
    const Bytes halves[] = {Bytes{5, 7, 'a', 'b', 'c'}, Bytes{5, 7}, Bytes{5, 7, 'z', 5}};
    int ended = 0;
    for (const Bytes& half : halves) {
        RawPeer peer;
        ASSERT_TRUE(peer.connect(port));
        ASSERT_TRUE(peer.send(half));
        ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED, ended + 1));
        peer.reset();
        ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED, ++ended));
    }
    EXPECT_EQ(log(0).count(TCP_EV_MSG_RECEIVED), 0);
    EXPECT_EQ(take(h), "<none>");
    // A reset right after a whole message keeps that message.
    RawPeer whole;
    ASSERT_TRUE(whole.connect(port));
    ASSERT_TRUE(whole.send(frameOf("kept")));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED));
    whole.reset();
    ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED, ++ended));
    EXPECT_EQ(take(h), "kept");
    // The endpoint still serves new peers.
    RawPeer after;
    ASSERT_TRUE(after.connect(port));
    ASSERT_TRUE(after.send(frameOf("after the resets")));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED, 2));
    EXPECT_EQ(take(h), "after the resets");
    after.socket.disconnect();
    ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED, ++ended));
    EXPECT_TRUE(wirekit::test::waitUntil([&] { return endpointOf(h)->sessionCount() == 0; }));
    expectNothingLeaked();
}

// Large enough that the send is still blocked on a full window when the
// peer goes (loopback buffers take a few MiB).
constexpr std::size_t BIG_MESSAGE_BYTES = 24u << 20;

TEST_F(HostilePeer, PeerVanishingMidSendOfALargeMessageFailsTheSendWithAnEvent) {
    const std::string big(BIG_MESSAGE_BYTES, '\x05');  // every byte escaped: twice the wire bytes
    for (bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "reset" : "close with unread input");
        wirekit::test::resetLogs();
        RawListener raw;
        void* c = endpoint(1);
        ASSERT_EQ(Connect_Tcp(c, "127.0.0.1", raw.port()), 1);
        net::StreamSocket* conn = raw.conn(0);
        ASSERT_NE(conn, nullptr);
        auto result = std::async(std::launch::async, [&] {
            return SendMessage_Tcp(c, big.data(), static_cast<int>(big.size()));
        });
        // The peer takes the first bytes, then dies with the rest in flight.
        EXPECT_EQ(readN(conn, 65536).size(), 65536u);
        if (reset) {
            resetConnection(*conn);
        } else {
            // Closing with unread input makes the system send a reset too.
            conn->disconnect();
        }
        ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(result.get(), 0);
        ASSERT_TRUE(log(1).waitFor(TCP_EV_DISCONNECTED));
        EXPECT_EQ(log(1).count(TCP_EV_DISCONNECTED), 1);
        // The broken connection refuses the next message before its first byte.
        EXPECT_EQ(SendMessage_Tcp(c, "x", 1), 0);
        EXPECT_EQ(log(1).count(TCP_EV_DISCONNECTED), 1);
        Close_Tcp(c);
        handles_.clear();
    }
    expectNothingLeaked();
}

TEST_F(HostilePeer, PeerVanishingMidServerFormSendFailsItAndEndsTheSession) {
    int port;
    void* h = server(0, &port);
    const std::string big(BIG_MESSAGE_BYTES, 'r');
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED));
    void* socket = reinterpret_cast<void*>(static_cast<std::intptr_t>(log(0).events()[0].second));
    auto result = std::async(std::launch::async, [&] {
        return SendMessageSocket_Tcp(h, socket, big.data(), static_cast<int>(big.size()));
    });
    EXPECT_EQ(peer.read(65536).size(), 65536u);
    peer.reset();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED));
    EXPECT_TRUE(wirekit::test::waitUntil([&] { return endpointOf(h)->sessionCount() == 0; }));
    EXPECT_EQ(SendMessageSocket_Tcp(h, socket, "x", 1), 0);
    expectNothingLeaked();
}

}  // namespace
}  // namespace wirekit::tcp::test
