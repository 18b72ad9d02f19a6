// The listener, its accept thread and the connection threads, on loopback,
// once in a quiet process and once with 1 100 descriptors already open (so
// that every socket of the test has a number above 1 023).
#include "net/listener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "net/stream_socket.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace wirekit::net {
namespace {

class ListenerTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        for (int i = 0; GetParam() && i < 1100; ++i) {
            crowd_.push_back(platform::udpSocket());
            if (crowd_.back() == INVALID_SOCKET_VALUE) GTEST_SKIP() << "descriptor limit too low";
        }
    }
    void TearDown() override {
        for (Socket s : crowd_) platform::closeSocket(s);
    }

    // Sessions echo what they read until the peer closes, and record what
    // they were given.
    SessionFunction echo() {
        return [this](Socket s, int port, const std::string& peer) {
            {
                std::lock_guard<std::mutex> g(lock_);
                seen_.push_back({s, port, peer});
            }
            int now = ++running_;
            for (int m = maxRunning_; now > m && !maxRunning_.compare_exchange_weak(m, now);) {
            }
            StreamSocket conn;
            conn.attach(s);
            char buf[256];
            for (int n; (n = conn.receive(buf, sizeof buf, 10000)) > 0;) {
                conn.sendAll(buf, static_cast<std::size_t>(n));
            }
            conn.disconnect();
            --running_;
        };
    }

    struct Seen {
        Socket socket;
        int port;
        std::string peer;
    };
    test::NetReference net_;  // for the crowd's raw sockets
    std::vector<Socket> crowd_;
    std::mutex lock_;
    std::vector<Seen> seen_;
    std::atomic<int> running_{0}, maxRunning_{0};
};

// Starts session threads in `group`.
ThreadStarter startIn(core::ThreadGroup& group) {
    return [group](std::function<void()> fn) mutable { return group.start(std::move(fn)); };
}

std::string echoOnce(StreamSocket& client, const std::string& text) {
    if (client.sendAll(text.data(), text.size()) != 1) return "<send failed>";
    std::string got;
    char buf[256];
    for (int n; got.size() < text.size() && (n = client.receive(buf, sizeof buf, 10000)) > 0;) {
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

TEST_P(ListenerTest, RunsOneSessionPerConnectionAndStopLeavesThemRunning) {
    Listener listener;
    core::ThreadGroup group;
    EXPECT_EQ(listener.start(startIn(group), echo()), -1);
    ASSERT_EQ(listener.listen(0, 5), 1);
    int port = listener.port();
    ASSERT_EQ(listener.start(startIn(group), echo()), 1);

    // Two clients at once, each writing before its session can have started.
    StreamSocket a, b;
    ASSERT_EQ(a.connect("127.0.0.1", port), 1);
    ASSERT_EQ(b.connect("127.0.0.1", port), 1);
    ASSERT_EQ(a.sendAll("early a", 7), 1);
    ASSERT_EQ(b.sendAll("early b", 7), 1);
    char buf[16];
    EXPECT_EQ(a.receive(buf, sizeof buf, 10000), 7);
    EXPECT_EQ(b.receive(buf, sizeof buf, 10000), 7);
    EXPECT_EQ(maxRunning_.load(), 2);
    {
        std::lock_guard<std::mutex> g(lock_);
        ASSERT_EQ(seen_.size(), 2u);
        for (auto& s : seen_) {
            EXPECT_EQ(s.port, port);
            EXPECT_EQ(s.peer, "127.0.0.1");
            if (GetParam()) {
                EXPECT_GT(s.socket, 1023);
            }
        }
    }

    listener.stop();
    EXPECT_EQ(listener.start(startIn(group), echo()), -1);
    EXPECT_EQ(echoOnce(a, "still here"), "still here");
    StreamSocket late;
    EXPECT_EQ(late.connect("127.0.0.1", port), 0);
    a.disconnect();
    b.disconnect();
    group.waitIdle();
    listener.stop();
}

TEST_P(ListenerTest, PortHeldByAnotherListenerFailsButARestartSucceeds) {
    Listener first;
    ASSERT_EQ(first.listen(0, 5), 1);
    int port = first.port();
    Listener second;
    EXPECT_EQ(second.listen(port, 5), 0);

    // The server end closes first, leaving TIME_WAIT on the listening port.
    core::ThreadGroup group;
    first.start(startIn(group),
                [](Socket s, int, const std::string&) { platform::closeSocket(s); });
    {
        StreamSocket c;
        ASSERT_EQ(c.connect("127.0.0.1", port), 1);
        char b;
        EXPECT_EQ(c.receive(&b, 1, 10000), 0);
    }
    group.waitIdle();
    first.stop();
    ASSERT_EQ(first.listen(port, 5), 1);
    ASSERT_EQ(first.start(startIn(group), echo()), 1);
    StreamSocket c;
    ASSERT_EQ(c.connect("127.0.0.1", port), 1);
    EXPECT_EQ(echoOnce(c, "again"), "again");
    c.disconnect();
    first.stop();
    group.waitIdle();
}

TEST_P(ListenerTest, ConnectionWithoutASessionThreadIsClosed) {
    Listener listener;
    ASSERT_EQ(listener.listen(0, 5), 1);
    core::ThreadGroup group;
    group.close();  // every start is refused from now on
    ASSERT_EQ(listener.start(startIn(group), echo()), 1);
    StreamSocket c;
    ASSERT_EQ(c.connect("127.0.0.1", listener.port()), 1);
    char b;
    EXPECT_EQ(c.receive(&b, 1, 10000), 0);  // the end of the stream, not a time-out
    EXPECT_NE(c.socketNumber(), INVALID_SOCKET_VALUE);
    EXPECT_TRUE(seen_.empty());
    listener.stop();
}

INSTANTIATE_TEST_SUITE_P(Descriptors, ListenerTest, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Crowded" : "Quiet"; });

}  // namespace
}  // namespace wirekit::net
