// One listening endpoint holding a thousand connections at once, each
// delivering a hundred messages. Every session has a thread of its own, so
// this is also the check that the reduced per-thread stack keeps memory
// modest. Peak memory and thread count are printed for the record.
//
// POSIX only (the descriptor limit is raised with setrlimit); excluded from
// the Windows build by the test CMakeLists.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "tcp/tcp_test_peer.h"

namespace wirekit::tcp::test {
namespace {

using namespace std::chrono_literals;

TEST_F(TcpTest, ScaleThousandConnectionsOfAHundredMessagesEach) {
    const int connections = wirekit::test::loopCount("WIREKIT_SCALE_CONNECTIONS", 1000);
    const int perConnection = 100;
    // Each connection takes two descriptors in this process (both ends).
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t needed = static_cast<rlim_t>(2 * connections + 100);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed)
        GTEST_SKIP() << "descriptor hard limit " << limit.rlim_max << " below " << needed;
    const rlimit saved = limit;
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);

    wirekit::test::NetReference net;
    const int descriptors = wirekit::test::openDescriptors();
    auto received = std::make_shared<std::atomic<int>>(0);
    int port;
    void* h = server(0, &port);
    // Messages are taken as they arrive so the queue stays short.
    log(0).setHook([h, received](int code, int) {
        if (code != TCP_EV_MSG_RECEIVED) return;
        char buf[64];
        if (GetMessage_Tcp(h, buf, sizeof buf) > 0) ++*received;
    });

    // All connections are open before any message goes out, so the
    // endpoint really holds them all at once.
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int i = 0; i < connections; ++i) {
        peers.push_back(std::make_unique<RawPeer>());
        ASSERT_TRUE(peers.back()->connect(port)) << i;
        // The backlog is 5: beyond it the system drops connection requests
        // and the peer retries only after a second.
        ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED, i - 2, 20s)) << i;
    }
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED, connections, 30s));
    EXPECT_EQ(endpointOf(h)->sessionCount(), static_cast<std::size_t>(connections));
    const int threadsAtPeak = wirekit::test::threadCount();

    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            for (int m = 0; m < perConnection; ++m)
                for (int i = w; i < connections; i += 4)
                    peers[static_cast<std::size_t>(i)]->send(
                        frameOf("c" + std::to_string(i) + "m" + std::to_string(m)));
        });
    }
    for (auto& t : writers) t.join();
    const int total = connections * perConnection;
    EXPECT_TRUE(wirekit::test::waitUntil([&] { return received->load() == total; }, 60s))
        << received->load() << " of " << total;
    EXPECT_EQ(log(0).count(TCP_EV_MSG_RECEIVED), total);
    EXPECT_EQ(log(0).count(TCP_EV_DISCONNECTED), 0);

    std::printf(
        "[ scale    ] %d connections x %d messages: peak RSS %ld kB, %d threads "
        "while all were connected\n",
        connections, perConnection, wirekit::test::statusField("VmHWM"), threadsAtPeak);

    peers.clear();
    ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED, connections, 30s));
    Close_Tcp(h);
    handles_.clear();
    EXPECT_TRUE(
        wirekit::test::waitUntil([&] { return wirekit::test::openDescriptors() == descriptors; }));
    setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
}  // namespace wirekit::tcp::test
