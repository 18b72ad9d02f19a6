// Endpoints in a process that has run out of descriptors: calls that need
// one fail cleanly, and a listening endpoint's accept thread neither spins
// nor crashes, leaves the waiting connection queued and takes it once
// descriptors are free again.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tcp/tcp_test_peer.h"

// The undefined-behaviour sanitizer's dynamic type check probes memory
// through a pipe it opens; with no descriptor left it reports every thread
// start as an error. Its builds here always come with the address
// sanitizer, which can be detected.
#if defined(__SANITIZE_ADDRESS__)
#define WIREKIT_TYPE_CHECKS_NEED_DESCRIPTORS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WIREKIT_TYPE_CHECKS_NEED_DESCRIPTORS 1
#endif
#endif
#ifndef WIREKIT_TYPE_CHECKS_NEED_DESCRIPTORS
#define WIREKIT_TYPE_CHECKS_NEED_DESCRIPTORS 0
#endif

namespace wirekit::tcp::test {
namespace {

using namespace std::chrono_literals;

// Lowers the soft descriptor limit to just above what is open, then takes
// every free descriptor below it; undone on destruction.
class DescriptorFamine {
public:
    DescriptorFamine() {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(wirekit::test::openDescriptors() + 32);
        if (lowered.rlim_cur > saved_.rlim_cur) lowered.rlim_cur = saved_.rlim_cur;
        lowered_ = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
        for (int i = 0; i < 100000; ++i) {
            int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                exhausted_ = errno == EMFILE;
                break;
            }
            fillers_.push_back(fd);
        }
    }
    ~DescriptorFamine() {
        release();
        if (lowered_) setrlimit(RLIMIT_NOFILE, &saved_);
    }
    bool ready() const { return lowered_ && exhausted_ && !fillers_.empty(); }
    void release() {
        for (int fd : fillers_) close(fd);
        fillers_.clear();
    }

private:
    rlimit saved_{};
    bool lowered_ = false;
    bool exhausted_ = false;
    std::vector<int> fillers_;
};

// A client socket opened before the famine, connected during it.
class EarlySocket {
public:
    EarlySocket() : s_(platform::tcpSocket()) {}
    ~EarlySocket() { platform::closeSocket(s_); }
    bool connect(int port) {
        std::uint32_t loopback = 0;
        platform::parseDottedAddress("127.0.0.1", &loopback);
        return platform::connectTo(s_, loopback, port) == 0;
    }
    bool send(const Bytes& b) {
        return platform::sendBytes(s_, b.data(), b.size()) == static_cast<long>(b.size());
    }

private:
    wirekit::test::NetReference net_;  // taken before the socket opens
    platform::Socket s_;
};

// An accept that is already waiting when descriptors run out holds the one
// it will return, so of two connections made in the famine one may still be
// taken; the other finds none and must wait in the backlog.
TEST_F(TcpTest, AcceptOutOfDescriptorsWaitsQuietlyAndResumes) {
    if (WIREKIT_TYPE_CHECKS_NEED_DESCRIPTORS)
        GTEST_SKIP() << "the dynamic type check needs descriptors of its own";
    int port;
    void* h = server(0, &port);
    void* other = endpoint(1);
    EarlySocket early, late[2];
    ASSERT_TRUE(early.connect(port));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED));
    {
        DescriptorFamine famine;
        ASSERT_TRUE(famine.ready());
        // Calls that need a descriptor fail cleanly.
        EXPECT_EQ(Connect_Tcp(other, "127.0.0.1", port), 0);
        EXPECT_EQ(ListenMessage_Tcp(other, 0), 0);
        // A session opened before the famine goes on working.
        ASSERT_TRUE(early.send(frameOf("during")));
        ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED));
        EXPECT_EQ(take(h), "during");

        ASSERT_TRUE(late[0].connect(port));
        ASSERT_TRUE(late[1].connect(port));
        // Gives the held descriptor, if any, time to be used up; either
        // way at least one connection is left waiting.
        log(0).waitFor(TCP_EV_CONNECTED, 2, 500ms);
        const int connected = log(0).count(TCP_EV_CONNECTED);
        EXPECT_LE(connected, 2);

        const double before = platform::processCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        // A fixed window: what is measured is how busy the process is while
        // the connection waits, so there is no event to wait for.
        std::this_thread::sleep_for(1s);
        const double busy = platform::processCpuSeconds() - before;
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // A spinning accept loop keeps a whole core busy for the window.
        EXPECT_LT(busy, 0.25 * elapsed) << "CPU seconds " << busy << " over " << elapsed;
        EXPECT_EQ(log(0).count(TCP_EV_CONNECTED), connected);
    }
    // Descriptors are free again: the waiting connections are taken and work.
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED, 3));
    for (auto& peer : late) ASSERT_TRUE(peer.send(frameOf("after the famine")));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED, 3));
    EXPECT_EQ(take(h), "after the famine");
    EXPECT_EQ(take(h), "after the famine");

    // And the endpoint that failed in the famine works now.
    EXPECT_EQ(Connect_Tcp(other, "127.0.0.1", port), 1);
    EXPECT_TRUE(log(0).waitFor(TCP_EV_CONNECTED, 4));
}

}  // namespace
}  // namespace wirekit::tcp::test
