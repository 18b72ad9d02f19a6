// The receive path against a raw peer that writes the wire bytes itself.
#include <random>

#include "udp_test_support.h"

namespace wirekit::udp::test {
namespace {

class UdpReceive : public UdpTest {
protected:
    void SetUp() override {
        UdpTest::SetUp();
        h_ = open(0);
    }
    // Sends a message from the peer; checks whether it was acknowledged.
    void exchange(std::int32_t sequence, const std::string& payload, bool acknowledged = true,
                  EndpointId sender = EndpointId{0xA1}) {
        peer_.send(portOf(h_), message(sequence, peer_.port(), payload, sender));
        if (acknowledged) {
            EXPECT_EQ(peer_.receive(), ack(sequence)) << "sequence " << sequence;
        }
    }
    void* h_ = nullptr;
    RawPeer peer_;
};

TEST_F(UdpReceive, MessageIsAcknowledgedToItsReplyPortReportedAndHandedOut) {
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    exchange(1, "abc");
    RawPeer other;  // the reply port, not the source port, gets the answer
    peer_.send(portOf(h_), message(2, other.port(), ""));
    EXPECT_EQ(other.receive(), ack(2));
    ASSERT_TRUE(log(0).waitFor(UDP_EV_MSG_RECEIVED, 2));
    // 1001 announces "127.0.0.1" + ':' + payload: what GetMessage_Udp writes.
    EXPECT_EQ(log(0).events()[0].second, 13);
    EXPECT_EQ(log(0).events()[1].second, 10);
    char buffer[13];
    EXPECT_EQ(GetMessage_Udp(h_, buffer, 12), -1);
    EXPECT_EQ(GetMessage_Udp(h_, nullptr, 100), -1);
    EXPECT_EQ(log(0).count(UDP_EV_BUFFER_TOO_SMALL), 2);
    EXPECT_EQ(GetMessage_Udp(h_, buffer, 13), 3);
    EXPECT_EQ(std::string(buffer, 13), "127.0.0.1:abc");
    EXPECT_EQ(GetMessage_Udp(h_, buffer, 10), 0);
    EXPECT_EQ(std::string(buffer, 10), "127.0.0.1:");
    EXPECT_EQ(GetMessage_Udp(h_, buffer, 13), -1);
    EXPECT_EQ(log(0).count(EV_NO_MESSAGE), 1);
}

TEST_F(UdpReceive, DuplicatesAreAcknowledgedButNeitherQueuedNorReported) {
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    exchange(7, "seven");
    exchange(7, "seven");                          // re-sent after a lost acknowledgement
    exchange(5, "five");                           // older than one already accepted
    exchange(1, "other", true, EndpointId{0xB2});  // another sender's 1 is new
    // Another host forging the first sender's identity with a far higher
    // number does not make the real sender's next message look stale.
    const bool secondHost = secondLoopbackHostWorks();
    if (secondHost) {
        RawPeer forger("127.0.0.2");
        forger.send(portOf(h_), message(1000007, forger.port(), "forged"));
        EXPECT_EQ(forger.receive(), ack(1000007));
    }
    exchange(8, "eight");
    const int messages = secondHost ? 4 : 3;
    ASSERT_TRUE(log(0).waitFor(UDP_EV_MSG_RECEIVED, messages));
    EXPECT_EQ(take(h_), "127.0.0.1:seven");
    EXPECT_EQ(take(h_), "127.0.0.1:other");
    if (secondHost) {
        EXPECT_EQ(take(h_), "127.0.0.2:forged");
    }
    EXPECT_EQ(take(h_), "127.0.0.1:eight");
    EXPECT_EQ(log(0).count(UDP_EV_MSG_RECEIVED), messages);
    if (!secondHost)
        GTEST_SKIP() << "no datagram here leaves from 127.0.0.2: the forger was left out";
}

TEST_F(UdpReceive, The102ndMessageIsRefusedUntilTheHostMakesRoom) {
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    for (int s = 1; s <= 101; ++s) exchange(s, "m" + std::to_string(s));
    exchange(102, "late", false);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_RECV_QUEUE_FULL));
    exchange(101, "m101");  // the next answer is this probe's: 102 got none
    EXPECT_EQ(take(h_), "127.0.0.1:m1");
    exchange(102, "late");  // its re-send is accepted
    ASSERT_TRUE(log(0).waitFor(UDP_EV_MSG_RECEIVED, 102));
}

TEST_F(UdpReceive, QueuedDatagramsAreReadWholeAndGarbageIsDroppedSilently) {
    std::mt19937 random(7);
    std::vector<Bytes> garbage = {{}, {0x00}, ack(1), message(1, 1, "abc")};
    garbage.back()[0] = 56;  // another header
    Bytes negative = message(1, 1, "abc");
    putInt32(&negative[26], -1);
    negative.back() = checkByteOf(negative.data(), negative.size() - 1);
    garbage.push_back(negative);
    for (std::size_t length : {5u, 31u, 65507u}) {
        Bytes b(length);
        for (auto& x : b) x = static_cast<std::uint8_t>(random());
        b[0] = 55, b[1] = 77;
        b.back() = checkByteOf(b.data(), length - 1);
        garbage.push_back(b);
    }
    // All of it waits in the socket when the receive thread starts.
    std::string largest(MAX_UDP_PAYLOAD_BYTES, 'q');
    for (const auto& g : garbage) peer_.send(portOf(h_), g);
    for (int s = 1; s <= 3; ++s) exchange(s, s == 3 ? largest : std::string(s, 'd'), false);
    ASSERT_EQ(ListenMessage_Udp(h_), 1);
    for (int s = 1; s <= 3; ++s) EXPECT_EQ(peer_.receive(), ack(s));  // nothing else answered
    ASSERT_TRUE(log(0).waitFor(UDP_EV_MSG_RECEIVED, 3));
    EXPECT_EQ(take(h_), "127.0.0.1:d");
    EXPECT_EQ(take(h_), "127.0.0.1:dd");
    EXPECT_EQ(take(h_), "127.0.0.1:" + largest);
    EXPECT_EQ(log(0).codes(), std::vector<int>(3, UDP_EV_MSG_RECEIVED));
}

}  // namespace
}  // namespace wirekit::udp::test
