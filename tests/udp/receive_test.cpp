// The receive path against a raw peer that writes the wire bytes itself.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>

#include "udp_test_support.h"

namespace wirekit::udp::test {
namespace {

class UdpReceive : public UdpTest {
protected:
    void SetUp() override {
        UdpTest::SetUp();
        h_ = open(0);
        ASSERT_EQ(ListenMessage_Udp(h_), 1);
        port_ = portOf(h_);
        ASSERT_GT(port_, 0);
    }
    void sendMessage(std::int32_t sequence, const std::string& payload,
                     const EndpointId& sender = EndpointId{0xA1}) {
        peer_.send(port_, messageBytes(sender, sequence, peer_.port(), payload));
    }
    // The next datagram at the peer must be the acknowledgement of `sequence`.
    void expectAck(std::int32_t sequence) {
        auto d = peer_.receive();
        ASSERT_TRUE(d.has_value()) << "no acknowledgement of " << sequence;
        EXPECT_EQ(d->bytes, ackBytes(sequence));
    }

    void* h_ = nullptr;
    int port_ = 0;
    RawPeer peer_;
};

TEST_F(UdpReceive, MessageIsAcknowledgedReportedAndHandedOutAsAddressColonPayload) {
    sendMessage(1, "abc");
    expectAck(1);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_MSG_RECEIVED));
    // "127.0.0.1" + ':' + "abc"
    EXPECT_EQ(log(0).events().front(), std::make_pair(static_cast<int>(UDP_EV_MSG_RECEIVED), 13));

    char buffer[13];
    EXPECT_EQ(GetMessage_Udp(h_, buffer, 12), -1);
    EXPECT_EQ(log(0).count(UDP_EV_BUFFER_TOO_SMALL), 1);
    EXPECT_EQ(GetMessage_Udp(h_, nullptr, 100), -1);  // null acts as size 0
    EXPECT_EQ(log(0).count(UDP_EV_BUFFER_TOO_SMALL), 2);
    EXPECT_EQ(GetMessage_Udp(h_, buffer, 13), 3);
    EXPECT_EQ(std::string(buffer, 13), "127.0.0.1:abc");
    EXPECT_EQ(GetMessage_Udp(h_, buffer, 13), -1);
    EXPECT_EQ(log(0).count(EV_NO_MESSAGE), 1);
}

TEST_F(UdpReceive, EmptyPayloadIsQueuedAndAcknowledged) {
    sendMessage(1, "");
    expectAck(1);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_MSG_RECEIVED));
    EXPECT_EQ(log(0).events().front().second, 10);
    char buffer[10];
    EXPECT_EQ(GetMessage_Udp(h_, buffer, sizeof buffer), 0);
    EXPECT_EQ(std::string(buffer, 10), "127.0.0.1:");
}

TEST_F(UdpReceive, DuplicatesAndOldSequencesAreAcknowledgedButNeitherQueuedNorReported) {
    sendMessage(7, "seven");
    expectAck(7);
    // A re-send after a lost acknowledgement, and a stale older message.
    sendMessage(7, "seven");
    expectAck(7);
    sendMessage(5, "five");
    expectAck(5);
    sendMessage(8, "eight");
    expectAck(8);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_MSG_RECEIVED, 2));
    EXPECT_EQ(log(0).count(UDP_EV_MSG_RECEIVED), 2);
    EXPECT_EQ(take(h_), "127.0.0.1:seven");
    EXPECT_EQ(take(h_), "127.0.0.1:eight");
    EXPECT_EQ(take(h_), "");
}

TEST_F(UdpReceive, TwoSendersWithTheSameSequenceAreBothAccepted) {
    sendMessage(1, "from a", EndpointId{0xA});
    expectAck(1);
    sendMessage(1, "from b", EndpointId{0xB});
    expectAck(1);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_MSG_RECEIVED, 2));
    EXPECT_EQ(take(h_), "127.0.0.1:from a");
    EXPECT_EQ(take(h_), "127.0.0.1:from b");
    EXPECT_EQ(endpointOf(h_)->knownSenders(), 2u);
}

TEST_F(UdpReceive, AcknowledgementGoesToTheReplyPortNotTheSourcePort) {
    RawPeer other;
    peer_.send(port_, messageBytes(EndpointId{1}, 1, other.port(), "x"));
    auto d = other.receive();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->bytes, ackBytes(1));
    // The reply port, not the source port, is what the message record keeps
    // for answering; the address is the source's.
    EXPECT_EQ(take(h_), "127.0.0.1:x");
}

TEST_F(UdpReceive, At101QueuedMessagesTheNextIsRefusedAndAcceptedAtItsReSend) {
    for (int s = 1; s <= 101; ++s) {
        sendMessage(s, "m" + std::to_string(s));
        expectAck(s);
    }
    EXPECT_EQ(endpointOf(h_)->recvQueueSize(), 101u);
    sendMessage(102, "late");
    ASSERT_TRUE(log(0).waitFor(UDP_EV_RECV_QUEUE_FULL));
    // Not acknowledged: the next datagram the peer sees answers the probe.
    sendMessage(101, "m101");
    expectAck(101);

    EXPECT_EQ(take(h_), "127.0.0.1:m1");
    sendMessage(102, "late");
    expectAck(102);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_MSG_RECEIVED, 102));
    EXPECT_EQ(endpointOf(h_)->recvQueueSize(), 101u);
}

TEST_F(UdpReceive, GarbageIsIgnoredAndAValidMessageStillArrives) {
    std::mt19937 random(7);
    std::vector<Bytes> garbage = {
        {},                                      // zero-length datagram
        {0x00},                                  // passes the check byte alone
        ackBytes(1, 77, 55),                     // another protocol's header order
        messageBytes(EndpointId{}, 1, 1, "abc", 1, 2),
    };
    Bytes negative = messageBytes(EndpointId{}, 1, peer_.port(), "abc");
    putInt32(&negative[26], -1);
    negative.back() = checkByteOf(negative.data(), negative.size() - 1);
    garbage.push_back(negative);
    for (std::size_t length : {5u, 31u, 500u, 65507u}) {
        Bytes b(length);
        for (auto& x : b) x = static_cast<std::uint8_t>(random());
        b[0] = 55;
        b[1] = 77;
        b.back() = checkByteOf(b.data(), b.size() - 1);
        garbage.push_back(b);
    }
    for (const auto& g : garbage) peer_.send(port_, g);

    sendMessage(1, "valid");
    expectAck(1);  // the first datagram back: nothing else was answered
    ASSERT_TRUE(log(0).waitFor(UDP_EV_MSG_RECEIVED));
    EXPECT_EQ(take(h_), "127.0.0.1:valid");
    EXPECT_EQ(log(0).count(UDP_EV_RECV_FAILED), 0);
    EXPECT_EQ(log(0).count(UDP_EV_MSG_RECEIVED), 1);
}

TEST_F(UdpReceive, LargestPayloadArrivesWhole) {
    std::string payload(MAX_UDP_PAYLOAD_BYTES, 'q');
    payload.front() = '<';
    payload.back() = '>';
    sendMessage(1, payload);
    expectAck(1);
    EXPECT_EQ(take(h_), "127.0.0.1:" + payload);
}

class UdpReceiveQueued : public UdpTest {};

TEST_F(UdpReceiveQueued, DatagramsWaitingTogetherAreEachReadWhole) {
    // Sent before the receive thread exists, so they sit in the socket
    // together when it starts reading.
    void* h = open(0);
    RawPeer peer;
    for (int s = 1; s <= 5; ++s)
        peer.send(portOf(h), messageBytes(EndpointId{3}, s, peer.port(), std::string(s * 10, 'd')));
    ASSERT_EQ(ListenMessage_Udp(h), 1);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_MSG_RECEIVED, 5));
    for (int s = 1; s <= 5; ++s) EXPECT_EQ(take(h), "127.0.0.1:" + std::string(s * 10, 'd'));
    EXPECT_EQ(log(0).count(UDP_EV_RECV_FAILED), 0);
}

TEST_F(UdpReceiveQueued, BroadcastModeQueuesAndFiltersButNeverAcknowledges) {
    void* h = open(0, 1);
    ASSERT_EQ(ListenMessage_Udp(h), 1);
    RawPeer peer;
    peer.send(portOf(h), messageBytes(EndpointId{4}, 1, peer.port(), "one"));
    peer.send(portOf(h), messageBytes(EndpointId{4}, 1, peer.port(), "one"));
    peer.send(portOf(h), messageBytes(EndpointId{4}, 2, peer.port(), "two"));
    ASSERT_TRUE(log(0).waitFor(UDP_EV_MSG_RECEIVED, 2));
    EXPECT_EQ(take(h), "127.0.0.1:one");
    EXPECT_EQ(take(h), "127.0.0.1:two");
    EXPECT_EQ(take(h), "");
    EXPECT_FALSE(peer.receive(300).has_value());
}

}  // namespace
}  // namespace wirekit::udp::test
