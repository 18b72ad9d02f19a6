// The send queue and the sender thread, seen by a raw peer that decides what
// to acknowledge.
#include <chrono>

#include "udp_test_support.h"

namespace wirekit::udp::test {
namespace {

class UdpSend : public UdpTest {
protected:
    void SetUp() override {
        UdpTest::SetUp();
        h_ = open(0);
    }
    int send(const std::string& payload) {
        return SendMessage_Udp(h_, "127.0.0.1", peer_.port(), payload.data(),
                               static_cast<int>(payload.size()));
    }
    void acknowledge(std::int32_t sequence) { peer_.send(portOf(h_), ack(sequence)); }

    void* h_ = nullptr;
    RawPeer peer_;
};

TEST_F(UdpSend, MessageCarriesIdentityAndReplyPortAndLeavesWhenAcknowledged) {
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    ASSERT_EQ(send("abc"), 1);
    UdpPacket p(55, 77);
    auto b = peer_.receive();
    ASSERT_TRUE(b && p.parseDatagram(b->data(), b->size()));
    EXPECT_EQ(p.senderId, endpoint(h_)->endpointId());
    EXPECT_EQ(p.sequence, 1);
    EXPECT_EQ(p.port, portOf(h_));
    ASSERT_TRUE(log(0).waitFor(UDP_EV_SENT));
    acknowledge(1);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_ACKED));
    ASSERT_EQ(Broadcast_Udp(h_, "127.0.0.1", peer_.port(), "def", 3), 1);  // the same operation
    EXPECT_EQ(peer_.next(), "2:def");
    ASSERT_TRUE(log(0).waitFor(UDP_EV_SENT, 2));
    acknowledge(2);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_ACKED, 2));
    EXPECT_EQ(log(0).codes(),
              (std::vector<int>{UDP_EV_SENT, UDP_EV_ACKED, UDP_EV_SENT, UDP_EV_ACKED}));
}

TEST_F(UdpSend, RefusedMessagesUseNoNumberAndQueuedOnesLeaveOnceListening) {
    std::string big(MAX_UDP_PAYLOAD_BYTES + 1, 'x');
    int port = peer_.port();
    EXPECT_EQ(SendMessage_Udp(h_, "127.0.0.1", port, "abc", -1), 0);
    EXPECT_EQ(SendMessage_Udp(h_, "127.0.0.1", port, nullptr, 3), 0);
    EXPECT_EQ(SendMessage_Udp(h_, "127.0.0.1", port, big.data(), static_cast<int>(big.size())), 0);
    EXPECT_EQ(SendMessage_Udp(h_, "localhost", port, "abc", 3), 0);
    EXPECT_EQ(SendMessage_Udp(h_, nullptr, port, "abc", 3), 0);
    EXPECT_EQ(Broadcast_Udp(h_, "127.0.0.1", 65536, "abc", 3), 0);
    EXPECT_EQ(SendMessage_Udp(reinterpret_cast<void*>(99999), "127.0.0.1", port, "a", 1), 0);
    for (int i = 1; i <= 100; ++i) ASSERT_EQ(send(std::to_string(i)), 1);
    EXPECT_EQ(send("full"), 1);
    EXPECT_EQ(log(0).codes(), std::vector<int>{UDP_EV_SEND_QUEUE_FULL});
    EXPECT_FALSE(peer_.receive(100).has_value());  // nothing leaves before listening
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    for (int i = 1; i <= 100; ++i) {
        EXPECT_EQ(peer_.next(), std::to_string(i) + ":" + std::to_string(i));
        acknowledge(i);
    }
    ASSERT_TRUE(log(0).waitFor(UDP_EV_ACKED, 100));
    ASSERT_EQ(send("next"), 1);
    EXPECT_EQ(peer_.next(), "101:next");
}

TEST_F(UdpSend, WaitingMessageGoesOutAgainAtEveryNewMessageAndAtTheInterval) {
    timing::setUdpResendMs(60000);
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    ASSERT_EQ(send("first"), 1);
    EXPECT_EQ(peer_.next(), "1:first");
    ASSERT_EQ(send("second"), 1);
    EXPECT_EQ(peer_.next(), "1:first");  // woken by the new message, which waits
    timing::setUdpResendMs(200);
    ASSERT_EQ(send("third"), 1);
    EXPECT_EQ(peer_.next(), "1:first");
    auto woken = std::chrono::steady_clock::now();
    EXPECT_EQ(peer_.next(), "1:first");  // no acknowledgement: the interval
    EXPECT_EQ(peer_.next(), "1:first");
    EXPECT_GE(std::chrono::steady_clock::now() - woken, std::chrono::milliseconds(300));
    acknowledge(1);  // recovered: the next message follows
    EXPECT_EQ(peer_.next(), "2:second");
    ASSERT_TRUE(log(0).waitFor(UDP_EV_SENT, 6));
}

TEST_F(UdpSend, AcknowledgementsJumpTheQueueAndOnlyTheFirstMessageIsMatched) {
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    ASSERT_EQ(send("first"), 1);
    EXPECT_EQ(peer_.next(), "1:first");
    ASSERT_EQ(send("second"), 1);
    EXPECT_EQ(peer_.next(), "1:first");
    acknowledge(2);  // further back in the queue: ignored
    // Messages from the peer are acknowledged ahead of the waiting message,
    // which these acknowledgements do not send again.
    for (int s = 1; s <= 3; ++s) {
        peer_.send(portOf(h_), message(s, peer_.port(), "in"));
        EXPECT_EQ(peer_.receive(), ack(s));
    }
    EXPECT_EQ(log(0).count(UDP_EV_ACKED), 0);
    acknowledge(1);
    EXPECT_EQ(peer_.next(), "2:second");
    ASSERT_TRUE(log(0).waitFor(UDP_EV_SENT, 3));
    EXPECT_EQ(log(0).count(UDP_EV_SENT), 3);

    // An acknowledgement counts only from the host the message went to: a
    // spray of every likely number from elsewhere ends nothing. Where the
    // message went to a group address, any receiver may answer.
    acknowledge(2);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_ACKED, 2));
    ASSERT_EQ(SendMessage_Udp(h_, "127.0.0.255", peer_.port(), "group", 5), 1);
    EXPECT_EQ(peer_.next(), "3:group");
    acknowledge(3);  // from 127.0.0.1
    ASSERT_TRUE(log(0).waitFor(UDP_EV_ACKED, 3));
    RawPeer far("127.0.0.2");
    ASSERT_EQ(SendMessage_Udp(h_, "127.0.0.2", far.port(), "far", 3), 1);
    EXPECT_EQ(far.next(), "4:far");
    for (int s = 1; s <= 50; ++s) acknowledge(s);
    peer_.send(portOf(h_), message(4, peer_.port(), "probe"));
    EXPECT_EQ(peer_.receive(), ack(4));  // every spray datagram was read before this
    EXPECT_EQ(log(0).count(UDP_EV_ACKED), 3);
    if (!secondLoopbackHostWorks())
        GTEST_SKIP() << "no datagram here leaves from 127.0.0.2: the far host cannot answer";
    far.send(portOf(h_), ack(4));
    ASSERT_TRUE(log(0).waitFor(UDP_EV_ACKED, 4));
}

TEST_F(UdpSend, BroadcastModeSendsOnceAndNeverAcknowledges) {
    timing::setUdpResendMs(50);
    void* b = open(1, 1);
    ASSERT_EQ(ListenMessage_Udp(b), 1);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Broadcast_Udp(b, "127.0.0.1", peer_.port(), "b", 1), 1);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(peer_.next(), std::to_string(i) + ":b");
    for (int s : {1, 1, 2}) peer_.send(portOf(b), message(s, peer_.port(), std::to_string(s)));
    ASSERT_TRUE(log(1).waitFor(UDP_EV_MSG_RECEIVED, 2));
    EXPECT_EQ(take(b), "127.0.0.1:1");
    EXPECT_EQ(take(b), "127.0.0.1:2");
    EXPECT_FALSE(peer_.receive(300).has_value());  // no re-send, no acknowledgement
    EXPECT_EQ(log(1).count(UDP_EV_SENT), 3);
    EXPECT_EQ(log(1).events().size(), 5u);
}

}  // namespace
}  // namespace wirekit::udp::test
