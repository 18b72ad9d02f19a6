// A message of exactly the size cap arrives whole over a real connection;
// one byte more ends the session. The endpoint's receive budget holds
// hostile peers back, an offer header cannot grow past its limit, and the
// large buffers kept for reuse stay within their bound.
#include <future>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tcp/message_bytes.h"
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

TEST_F(TcpTest, PartialMessagesPastTheBudgetEndTheLargestAndOthersGetThrough) {
    ReceiveBudget::setDefaultLimitForTests(1 << 20);
    int port;
    void* h = server(0, &port);
    // Three peers that never end their messages, more than the budget in
    // all; the one holding the most is let go.
    RawPeer hostile[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(hostile[i].connect(port));
        Bytes open{5, 7};
        open.resize(2 + (400 << 10) + i * 1000, static_cast<unsigned char>('a' + i));
        ASSERT_TRUE(hostile[i].send(open));
    }
    ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED, 1, 30s));
    RawPeer normal;
    ASSERT_TRUE(normal.connect(port));
    ASSERT_TRUE(normal.send(frameOf("still served")));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED));
    EXPECT_EQ(take(h), "still served");
    EXPECT_EQ(take(h), "<none>");
}

TEST_F(TcpTest, AQueueOverTheBudgetHoldsThePeerBackAndLosesNothing) {
    ReceiveBudget::setDefaultLimitForTests(1 << 20);
    int port;
    void* h = server(0, &port);
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    auto sender = std::async(std::launch::async, [&] {
        bool ok = true;
        for (int i = 0; i < 8 && ok; ++i) ok = peer.send(frameOf(std::string(256 << 10, 'a' + i)));
        return ok;
    });
    // A few messages fill the budget; the session then stops reading.
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED, 1, 30s));
    EXPECT_FALSE(log(0).waitFor(TCP_EV_MSG_RECEIVED, 5, 500ms));
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED, i + 1, 30s));
        EXPECT_EQ(take(h), std::string(256 << 10, 'a' + i)) << i;
    }
    EXPECT_TRUE(sender.get());
    EXPECT_EQ(log(0).count(TCP_EV_DISCONNECTED), 0);
}

TEST_F(TcpTest, AnOfferHeaderLongerThanAnyOfferEndsTheSession) {
    int port;
    void* h = server(0, &port);
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    ASSERT_TRUE(peer.send("SENDFILE:" + std::string(OFFER_HEADER_MAX, 'n') + ",1\x05\x06"));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED));
    EXPECT_EQ(log(0).count(TCP_EV_FILE_OFFER), 0);
    EXPECT_TRUE(wirekit::test::waitUntil([&] { return endpointOf(h)->sessionCount() == 0; }));
}

TEST(KeptBuffers, ServeOnlyTheirOwnSizeAndStayWithinTheirBound) {
    // Two of these do not fit the bound together; no other buffer has this size.
    const std::size_t size = LARGE_BUFFERS_KEPT_BYTES / 2 + 7 * 4096;
    void* first = platform::allocatePages(size);
    void* second = platform::allocatePages(size);
    ASSERT_TRUE(first && second);
    giveLargeBuffer(first, size);
    giveLargeBuffer(second, size);  // the first goes back to the system
    EXPECT_EQ(takeLargeBuffer(size + 4096), nullptr);
    EXPECT_EQ(takeLargeBuffer(size), second);
    EXPECT_EQ(takeLargeBuffer(size), nullptr);
    platform::freePages(second, size);
}

}  // namespace
}  // namespace wirekit::tcp::test
