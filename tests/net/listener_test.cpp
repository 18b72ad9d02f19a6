// The listener, its accept thread and the connection threads, on loopback,
// once in a quiet process and once with 1 100 descriptors already open (so
// that every socket of the test has a number above 1 023).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "frame/platform.h"
#include "net/stream_socket.h"
#include "support/test_support.h"

namespace wirekit::net {
namespace {

using namespace std::chrono_literals;

constexpr int CROWD = 1100;

class Listener : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!GetParam()) return;
        for (int i = 0; i < CROWD; ++i) {
            Socket s = platform::udpSocket();
            if (s == INVALID_SOCKET_VALUE) GTEST_SKIP() << "descriptor limit below " << CROWD;
            crowd_.push_back(s);
        }
    }
    void TearDown() override {
        for (Socket s : crowd_) platform::closeSocket(s);
    }

    // Records what each session saw; sessions echo what they read until the
    // peer closes.
    struct Sessions {
        std::mutex lock;
        std::condition_variable changed;
        int started = 0;
        int running = 0;
        int maxRunning = 0;
        std::vector<std::string> peers;
        std::vector<int> ports;
        std::vector<Socket> sockets;

        SessionFunction echo() {
            return [this](Socket s, int port, const std::string& peer) {
                {
                    std::lock_guard<std::mutex> g(lock);
                    ++started;
                    ++running;
                    if (running > maxRunning) maxRunning = running;
                    peers.push_back(peer);
                    ports.push_back(port);
                    sockets.push_back(s);
                }
                changed.notify_all();
                StreamSocket conn;
                conn.Attach(s);
                char buf[256];
                for (;;) {
                    int n = conn.Receive(buf, sizeof buf, 10000);
                    if (n <= 0) break;
                    conn.SendAll(buf, static_cast<std::size_t>(n));
                }
                conn.Disconnect();
                {
                    std::lock_guard<std::mutex> g(lock);
                    --running;
                }
                changed.notify_all();
            };
        }
        bool waitStarted(int n) {
            std::unique_lock<std::mutex> g(lock);
            return changed.wait_for(g, 10s, [&] { return started >= n; });
        }
        bool waitRunning(int n) {
            std::unique_lock<std::mutex> g(lock);
            return changed.wait_for(g, 10s, [&] { return running == n; });
        }
    };

    std::vector<Socket> crowd_;
};

std::string echoOnce(StreamSocket& client, const std::string& text) {
    if (client.SendAll(text.data(), text.size()) != 1) return "<send failed>";
    std::string got;
    char buf[256];
    while (got.size() < text.size()) {
        int n = client.Receive(buf, sizeof buf, 10000);
        if (n <= 0) return got + "<read failed>";
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

TEST_P(Listener, AcceptsAndRunsOneSessionPerConnection) {
    StreamSocket listener;
    EXPECT_EQ(listener.StartAcceptThread(ThreadGroup(), nullptr), -1);
    ASSERT_EQ(listener.Listen(0, 5), 1);
    int port = listener.ListenPort();
    ASSERT_GT(port, 0);
    Sessions sessions;
    ThreadGroup group;
    ASSERT_EQ(listener.StartAcceptThread(group, sessions.echo()), 1);

    // Two clients at once: both sessions run side by side.
    StreamSocket a, b;
    ASSERT_EQ(a.Connect("127.0.0.1", port), 1);
    ASSERT_EQ(b.Connect("127.0.0.1", port), 1);
    if (GetParam()) {
        EXPECT_GT(a.SocketNumber(), 1023);
        EXPECT_GT(b.SocketNumber(), 1023);
    }
    EXPECT_EQ(echoOnce(a, "from a"), "from a");
    EXPECT_EQ(echoOnce(b, "from b"), "from b");
    ASSERT_TRUE(sessions.waitStarted(2));
    {
        std::lock_guard<std::mutex> g(sessions.lock);
        EXPECT_EQ(sessions.maxRunning, 2);
        EXPECT_EQ(sessions.peers, (std::vector<std::string>{"127.0.0.1", "127.0.0.1"}));
        EXPECT_EQ(sessions.ports, (std::vector<int>{port, port}));
        if (GetParam()) {
            for (Socket s : sessions.sockets) EXPECT_GT(s, 1023);
        }
    }
    EXPECT_EQ(group.live(), 2);

    // Stop ends the accept thread while the sessions go on.
    EXPECT_EQ(listener.StopListen(), 1);
    EXPECT_FALSE(listener.IsListening());
    EXPECT_EQ(listener.StartAcceptThread(group, sessions.echo()), -1);
    EXPECT_EQ(echoOnce(a, "still here"), "still here");
    StreamSocket late;
    EXPECT_EQ(late.Connect("127.0.0.1", port), 0);

    a.Disconnect();
    b.Disconnect();
    ASSERT_TRUE(sessions.waitRunning(0));
    group.waitIdle();
    EXPECT_EQ(group.live(), 0);
    EXPECT_EQ(listener.StopListen(), 1);  // nothing listening: still 1
}

TEST_P(Listener, ClientThatWritesRightAfterConnectingIsDelivered) {
    StreamSocket listener;
    ASSERT_EQ(listener.Listen(0, 5), 1);
    Sessions sessions;
    ThreadGroup group;
    ASSERT_EQ(listener.StartAcceptThread(group, sessions.echo()), 1);
    for (int i = 0; i < 20; ++i) {
        StreamSocket c;
        ASSERT_EQ(c.Connect("127.0.0.1", listener.ListenPort()), 1);
        std::string text = "first bytes " + std::to_string(i);
        // Written before the session can possibly have started.
        ASSERT_EQ(c.SendAll(text.data(), text.size()), 1);
        std::string got;
        char buf[256];
        while (got.size() < text.size()) {
            int n = c.Receive(buf, sizeof buf, 10000);
            ASSERT_GT(n, 0);
            got.append(buf, static_cast<std::size_t>(n));
        }
        EXPECT_EQ(got, text);
    }
    listener.StopListen();
    ASSERT_TRUE(sessions.waitRunning(0));
    group.waitIdle();
}

TEST_P(Listener, PortHeldByAnotherListenerFailsButARestartSucceeds) {
    StreamSocket first;
    ASSERT_EQ(first.Listen(0, 5), 1);
    int port = first.ListenPort();
    StreamSocket second;
    EXPECT_EQ(second.Listen(port, 5), 0);
    EXPECT_FALSE(second.IsListening());

    // Leave a connection behind in TIME_WAIT on the listening port (the
    // server's end closes first), then listen on the same port again.
    ThreadGroup group;
    ASSERT_EQ(first.StartAcceptThread(group,
                                      [](Socket s, int, const std::string&) {
                                          StreamSocket conn;
                                          conn.Attach(s);
                                          char b[8];
                                          int n = conn.Receive(b, sizeof b, 10000);
                                          if (n > 0) conn.SendAll(b, static_cast<std::size_t>(n));
                                          conn.Disconnect();
                                      }),
              1);
    {
        StreamSocket c;
        ASSERT_EQ(c.Connect("127.0.0.1", port), 1);
        EXPECT_EQ(echoOnce(c, "x"), "x");
        char b;
        EXPECT_EQ(c.Receive(&b, 1, 10000), 0);
    }
    group.waitIdle();
    first.StopListen();
    Sessions sessions;
    ASSERT_EQ(first.Listen(port, 5), 1);
    ASSERT_EQ(first.StartAcceptThread(group, sessions.echo()), 1);
    StreamSocket c;
    ASSERT_EQ(c.Connect("127.0.0.1", port), 1);
    EXPECT_EQ(echoOnce(c, "again"), "again");
    c.Disconnect();
    first.StopListen();
    ASSERT_TRUE(sessions.waitRunning(0));
    group.waitIdle();
}

TEST_P(Listener, ConnectionWithoutASessionThreadIsClosed) {
    StreamSocket listener;
    ASSERT_EQ(listener.Listen(0, 5), 1);
    ThreadGroup group;
    group.close();  // every start is refused from now on
    std::atomic<int> ran{0};
    ASSERT_EQ(listener.StartAcceptThread(group, [&](Socket s, int, const std::string&) {
                  ++ran;
                  platform::closeSocket(s);
              }),
              1);
    StreamSocket c;
    ASSERT_EQ(c.Connect("127.0.0.1", listener.ListenPort()), 1);
    char b;
    EXPECT_EQ(c.Receive(&b, 1, 10000), 0);  // the end of the stream, not a time-out
    EXPECT_TRUE(c.SocketNumber() != INVALID_SOCKET_VALUE);
    EXPECT_EQ(ran.load(), 0);
    listener.StopListen();
}

INSTANTIATE_TEST_SUITE_P(Descriptors, Listener, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Crowded" : "Quiet"; });

TEST(ThreadGroup, CountsWaitsAndKnowsItsMembers) {
    ThreadGroup group;
    EXPECT_FALSE(group.isMember());
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> memberSeen{0};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(group.start([&] {
            if (group.isMember()) ++memberSeen;
            std::unique_lock<std::mutex> g(m);
            cv.wait(g, [&] { return release; });
        }));
    }
    EXPECT_EQ(group.live(), 3);
    {
        std::lock_guard<std::mutex> g(m);
        release = true;
    }
    cv.notify_all();
    group.waitIdle();
    EXPECT_EQ(group.live(), 0);
    EXPECT_EQ(memberSeen.load(), 3);
    group.close();
    EXPECT_FALSE(group.start([] {}));
}

}  // namespace
}  // namespace wirekit::net
