// The send queue and the sender thread, observed by a raw peer that decides
// what to acknowledge.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "udp_test_support.h"

namespace wirekit::udp::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

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
    // The next datagram must be the message with this sequence and payload.
    void expectMessage(std::int32_t sequence, const std::string& payload, int timeoutMs = 5000) {
        UdpPacket p = peer_.receivePacket(timeoutMs);
        EXPECT_TRUE(p.isMessage);
        EXPECT_EQ(p.sequence, sequence);
        EXPECT_EQ(payloadText(p), payload);
    }
    void ack(std::int32_t sequence) { peer_.send(portOf(h_), ackBytes(sequence)); }

    void* h_ = nullptr;
    RawPeer peer_;
};

TEST_F(UdpSend, MessagesCarryIdentitySequenceAndReplyPortAndWaitForTheirAck) {
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    ASSERT_EQ(send("abc"), 1);
    ASSERT_EQ(Broadcast_Udp(h_, "127.0.0.1", peer_.port(), "def", 3), 1);

    auto d = peer_.receive();
    ASSERT_TRUE(d.has_value());
    UdpPacket p(55, 77);
    ASSERT_TRUE(p.parseDatagram(d->bytes.data(), d->bytes.size()));
    EXPECT_EQ(d->bytes.size(), 34u);
    EXPECT_EQ(p.senderId, endpointOf(h_)->endpointId());
    EXPECT_EQ(p.sequence, 1);
    EXPECT_EQ(p.port, portOf(h_));
    EXPECT_EQ(payloadText(p), "abc");
    ASSERT_TRUE(log(0).waitFor(UDP_EV_SENT));

    ack(1);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_ACKED));
    // Broadcast_Udp is the same operation: the next message of the queue.
    expectMessage(2, "def");
    ack(2);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_ACKED, 2));
    EXPECT_EQ(endpointOf(h_)->sendQueueSize(), 0u);
    EXPECT_EQ(log(0).count(UDP_EV_SENT), 2);
}

TEST_F(UdpSend, UnsendableMessagesAreRefusedWithoutUsingANumber) {
    std::string big(MAX_UDP_PAYLOAD_BYTES + 1, 'x');
    EXPECT_EQ(SendMessage_Udp(h_, "127.0.0.1", peer_.port(), "abc", -1), 0);
    EXPECT_EQ(SendMessage_Udp(h_, "127.0.0.1", peer_.port(), nullptr, 3), 0);
    EXPECT_EQ(SendMessage_Udp(h_, "127.0.0.1", peer_.port(), big.data(),
                              static_cast<int>(big.size())),
              0);
    EXPECT_EQ(SendMessage_Udp(h_, "localhost", peer_.port(), "abc", 3), 0);
    EXPECT_EQ(SendMessage_Udp(h_, "1.2.3", peer_.port(), "abc", 3), 0);
    EXPECT_EQ(SendMessage_Udp(h_, nullptr, peer_.port(), "abc", 3), 0);
    EXPECT_EQ(Broadcast_Udp(h_, "127.0.0.1", 0, "abc", 3), 0);
    EXPECT_EQ(Broadcast_Udp(h_, "127.0.0.1", 65536, "abc", 3), 0);
    EXPECT_EQ(SendMessage_Udp(reinterpret_cast<void*>(9999), "127.0.0.1", 1, "a", 1), 0);
    EXPECT_EQ(endpointOf(h_)->sendQueueSize(), 0u);

    EXPECT_EQ(SendMessage_Udp(h_, "127.0.0.1", peer_.port(), nullptr, 0), 1);
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    expectMessage(1, "");
    EXPECT_TRUE(log(0).events().size() <= 1u);  // at most the 2001 so far
}

TEST_F(UdpSend, FullQueueRaises2002ReturnsOneAndUsesNoNumber) {
    for (int i = 1; i <= 100; ++i) ASSERT_EQ(send("m" + std::to_string(i)), 1);
    EXPECT_EQ(send("refused"), 1);
    EXPECT_EQ(log(0).count(UDP_EV_SEND_QUEUE_FULL), 1);
    EXPECT_EQ(endpointOf(h_)->sendQueueSize(), 100u);

    // Queued before listening: nothing has left yet.
    EXPECT_FALSE(peer_.receive(100).has_value());
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    for (int i = 1; i <= 100; ++i) {
        expectMessage(i, "m" + std::to_string(i));
        ack(i);
    }
    ASSERT_TRUE(log(0).waitFor(UDP_EV_ACKED, 100));
    ASSERT_EQ(send("next"), 1);
    expectMessage(101, "next");
}

TEST_F(UdpSend, UnacknowledgedMessageIsReSentAtTheInterval) {
    timing::setUdpResendMs(200);
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    ASSERT_EQ(send("again"), 1);
    expectMessage(1, "again");
    auto first = steady_clock::now();
    expectMessage(1, "again");
    expectMessage(1, "again");
    // Never earlier than the interval allows (two intervals, less slack for
    // the delay of the first reception).
    EXPECT_GE(steady_clock::now() - first, milliseconds(300));
    ASSERT_TRUE(log(0).waitFor(UDP_EV_SENT, 3));
    ack(1);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_ACKED));
}

TEST_F(UdpSend, EveryNewMessageMakesTheWaitingOneGoOutAgain) {
    ASSERT_EQ(ListenMessage_Udp(h_), 1);  // the 10-second interval stays
    ASSERT_EQ(send("first"), 1);
    expectMessage(1, "first");
    ASSERT_EQ(send("second"), 1);
    expectMessage(1, "first");  // the waiting message, not the new one
    ASSERT_TRUE(log(0).waitFor(UDP_EV_SENT, 2));
    ack(1);
    expectMessage(2, "second");
}

TEST_F(UdpSend, OnlyTheFirstMessageIsMatchedByAnAcknowledgement) {
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    ASSERT_EQ(send("first"), 1);
    expectMessage(1, "first");
    ASSERT_EQ(send("second"), 1);
    expectMessage(1, "first");
    ack(2);  // further back in the queue: ignored
    ack(7);  // matches nothing
    // Traffic the other way puts this endpoint's acknowledgement ahead of
    // the waiting message; the acknowledgement of that message must still
    // be matched against it.
    peer_.send(portOf(h_), messageBytes(EndpointId{9}, 1, peer_.port(), "hi"));
    UdpPacket a = peer_.receivePacket();
    EXPECT_FALSE(a.isMessage);
    EXPECT_EQ(a.sequence, 1);
    EXPECT_EQ(log(0).count(UDP_EV_ACKED), 0);
    ack(1);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_ACKED));
    expectMessage(2, "second");
    EXPECT_EQ(log(0).count(UDP_EV_ACKED), 1);
}

TEST_F(UdpSend, AcknowledgementsJumpTheQueueAndDoNotReSendTheWaitingMessage) {
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    ASSERT_EQ(send("waiting"), 1);
    expectMessage(1, "waiting");
    for (int s = 1; s <= 3; ++s) {
        peer_.send(portOf(h_), messageBytes(EndpointId{5}, s, peer_.port(), "in"));
        UdpPacket a = peer_.receivePacket();
        EXPECT_FALSE(a.isMessage);
        EXPECT_EQ(a.sequence, s);
    }
    // The waiting message did not go out with the acknowledgements; a new
    // message makes it go out once more.
    ASSERT_EQ(send("behind"), 1);
    expectMessage(1, "waiting");
    ASSERT_TRUE(log(0).waitFor(UDP_EV_SENT, 2));
    EXPECT_EQ(log(0).count(UDP_EV_SENT), 2);
}

TEST_F(UdpSend, LostAcknowledgementIsRecoveredAtTheNextReSend) {
    timing::setUdpResendMs(150);
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    ASSERT_EQ(send("one"), 1);
    ASSERT_EQ(send("two"), 1);
    expectMessage(1, "one");  // its acknowledgement is "lost": none is sent
    expectMessage(1, "one");  // re-sent at the interval
    ack(1);
    expectMessage(2, "two");
    ack(2);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_ACKED, 2));
}

TEST_F(UdpSend, BroadcastModeSendsEachMessageOnceAndWaitsForNothing) {
    timing::setUdpResendMs(50);
    void* b = open(1, 1);
    ASSERT_EQ(ListenMessage_Udp(b), 1);
    for (int i = 1; i <= 3; ++i)
        ASSERT_EQ(Broadcast_Udp(b, "127.0.0.1", peer_.port(), "b", 1), 1);
    for (int i = 1; i <= 3; ++i) {
        UdpPacket p = peer_.receivePacket();
        EXPECT_EQ(p.sequence, i);
    }
    ASSERT_TRUE(log(1).waitFor(UDP_EV_SENT, 3));
    EXPECT_FALSE(peer_.receive(300).has_value());
    EXPECT_EQ(log(1).count(UDP_EV_SENT), 3);
    EXPECT_EQ(endpointOf(b)->sendQueueSize(), 0u);
}

}  // namespace
}  // namespace wirekit::udp::test
