// A message of exactly the size cap arrives whole over a real connection;
// one byte more ends the session.
#include <string>

#include "tcp/tcp_test_peer.h"

namespace wirekit::tcp::test {
namespace {

using namespace std::chrono_literals;

TEST_F(TcpTest, MessageAtTheCapArrivesAndOneByteMoreEndsTheSession) {
    int port;
    void* h = server(0, &port);
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));

    // No escape byte in the body, so the frame is the body between two marks.
    std::string body(MAX_MESSAGE_BYTES, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 23);
    body.back() = 'Z';
    const std::string mark("\x05\x07");
    ASSERT_TRUE(peer.send(mark));
    ASSERT_TRUE(peer.send(body));
    ASSERT_TRUE(peer.send(mark));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED, 1, 60s));
    EXPECT_EQ(log(0).events().back(), std::make_pair(int{TCP_EV_MSG_RECEIVED}, MAX_MESSAGE_BYTES));
    {
        std::string got(MAX_MESSAGE_BYTES, '\0');
        EXPECT_EQ(GetMessage_Tcp(h, got.data(), MAX_MESSAGE_BYTES), MAX_MESSAGE_BYTES);
        EXPECT_TRUE(got == body);
    }

    // The same session, one byte past the cap: given up before the end mark.
    body.push_back('!');
    ASSERT_TRUE(peer.send(mark));
    peer.send(body);  // may fail once the library has closed its end
    peer.send(mark);
    EXPECT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED, 1, 60s));
    EXPECT_EQ(log(0).count(TCP_EV_MSG_RECEIVED), 1);
    EXPECT_TRUE(wirekit::test::waitUntil([&] { return endpointOf(h)->sessionCount() == 0; }));
    EXPECT_EQ(take(h), "<none>");
}

}  // namespace
}  // namespace wirekit::tcp::test
