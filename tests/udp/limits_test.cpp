// The largest payload between two endpoints: what one may send, the other
// receives whole.
#include "udp/udp_test_support.h"

namespace wirekit::udp::test {
namespace {

TEST_F(UdpTest, LargestPayloadTravelsWholeBetweenEndpoints) {
    void* from = open(0);
    void* to = open(1);
    ASSERT_EQ(ListenMessage_Udp(from), 1);
    ASSERT_EQ(ListenMessage_Udp(to), 1);
    std::string payload(MAX_UDP_PAYLOAD_BYTES, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 7 + i / 251);
    ASSERT_EQ(MAX_UDP_PAYLOAD_BYTES, 65476);
    ASSERT_EQ(SendMessage_Udp(from, "127.0.0.1", portOf(to), payload.data(),
                              static_cast<int>(payload.size())),
              1);
    ASSERT_TRUE(log(1).waitFor(UDP_EV_MSG_RECEIVED));
    ASSERT_TRUE(log(0).waitFor(UDP_EV_ACKED));
    EXPECT_EQ(log(1).events()[0].second, static_cast<int>(sizeof "127.0.0.1" + payload.size()));
    EXPECT_EQ(take(to), "127.0.0.1:" + payload);
}

}  // namespace
}  // namespace wirekit::udp::test
