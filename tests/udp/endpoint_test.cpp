// Two endpoints together, and an endpoint's life: threads, output lines,
// closing (also from inside its own callbacks), sockets.
#include <mutex>
#include <thread>

#include "udp_test_support.h"

namespace wirekit::udp::test {
namespace {

TEST_F(UdpTest, CloseEndsBothThreadsPrintsTheTwoLinesAndReleasesSockets) {
    int threads = core::ThreadGroup::runningThreads();
    int descriptors = wirekit::test::openDescriptors();
    testing::internal::CaptureStdout();
    void* h = Init_Udp(0, nullptr, 55, 77, 0);
    void* idle = Init_Udp(0, nullptr, 55, 77, 1);
    ASSERT_EQ(ListenMessage_Udp(h), 1);
    ASSERT_EQ(ListenMessage_Udp(h), 1);  // starts nothing more
    EXPECT_TRUE(waitUntil([&] { return core::ThreadGroup::runningThreads() == threads + 2; }));
    EXPECT_EQ(Close_Udp(h), 1);
    EXPECT_EQ(Close_Tcp(idle), 1);  // either closing export ends an endpoint
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Receive Thread Started.\nReceive Thread Ended.\n");
    EXPECT_EQ(core::ThreadGroup::runningThreads(), threads);
    EXPECT_EQ(wirekit::test::openDescriptors(), descriptors);
    EXPECT_EQ(Close_Udp(h), 0);
    EXPECT_EQ(GetMessage_Udp(h, nullptr, 0), -1);
    // A port that cannot be bound (out of range, or taken in broadcast mode)
    // leaves the endpoint usable but not listening.
    void* used = open(-1);
    for (void* bad :
         {Init_Udp(70000, nullptr, 55, 77, 0), Init_Udp(portOf(used), nullptr, 55, 77, 1)}) {
        handles_.push_back(bad);
        EXPECT_EQ(ListenMessage_Udp(bad), 1);
        EXPECT_FALSE(endpoint(bad)->listening());
    }
}

TEST_F(UdpTest, CloseFromInsideTheReceiveAndSenderCallbacks) {
    void* a = open(0);
    ASSERT_EQ(ListenMessage_Udp(a), 1);
    RawPeer peer;
    for (int code : {UDP_EV_MSG_RECEIVED, UDP_EV_SENT}) {
        void* h = Init_Udp(0, wirekit::test::recorder(1), 55, 77, 0);
        std::weak_ptr<UdpEndpoint> weak = endpoint(h);
        std::atomic<int> result{-1};
        log(1).setHook([&](int c, int) {
            if (c == code && result.load() == -1) result = Close_Udp(h);
        });
        ASSERT_EQ(ListenMessage_Udp(h), 1);
        bool receiving = code == UDP_EV_MSG_RECEIVED;
        ASSERT_EQ(SendMessage_Udp(receiving ? a : h, "127.0.0.1",
                                  receiving ? portOf(h) : peer.port(), "bye", 3),
                  1);
        ASSERT_TRUE(waitUntil([&] { return result.load() != -1; }));
        EXPECT_EQ(result.load(), 1);
        EXPECT_TRUE(waitUntil([&] { return weak.expired(); }));  // once its threads ended
        EXPECT_EQ(log(1).events().back().first, code);           // nothing raised after
        log(1).clear();
    }
    EXPECT_TRUE(log(0).waitFor(UDP_EV_ACKED));  // acknowledged before the handler ran
}

// Each side sends numbered messages to the other while taking what arrives
// from inside its 1001 handler.
TEST_F(UdpTest, TenThousandMessagesBothWaysArriveOnceAndInOrder) {
    // Each message waits for the acknowledgement of the one before it, so
    // the run takes COUNT round trips; an emulated host, whose round trips
    // are slow, sets fewer.
    const int COUNT = wirekit::test::loopCount("WIREKIT_UDP_MESSAGES", 10000);
    timing::setUdpResendMs(1000);
    void* ends[2] = {open(3), open(4)};
    std::mutex lock;
    std::vector<int> received[2];
    // The hooks use the locals above, and an acknowledgement can still come
    // after the last message: the endpoints close before those locals go,
    // also when an assertion ends the test early.
    struct CloseBoth {
        void* const* ends;
        ~CloseBoth() {
            for (int side = 0; side < 2; ++side) Close_Udp(ends[side]);
        }
    } closeBoth{ends};
    for (int side = 0; side < 2; ++side) {
        log(3 + side).setHook([&, side, self = ends[side]](int code, int) {
            char buffer[32];
            long n = code == UDP_EV_MSG_RECEIVED ? GetMessage_Udp(self, buffer, 32) : -1;
            std::lock_guard<std::mutex> guard(lock);
            if (n > 0) received[side].push_back(std::stoi(std::string(buffer + 10, n)));
        });
        ASSERT_EQ(ListenMessage_Udp(ends[side]), 1);
    }
    auto sender = [&](int side) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        for (int i = 0; i < COUNT && std::chrono::steady_clock::now() < deadline;) {
            if (endpoint(ends[side])->sendQueueSize() >= 90) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            std::string text = std::to_string(i++);
            SendMessage_Udp(ends[side], "127.0.0.1", portOf(ends[1 - side]), text.data(),
                            static_cast<int>(text.size()));
        }
    };
    std::thread one(sender, 0), two(sender, 1);
    one.join();
    two.join();
    auto done = [&] {
        std::lock_guard<std::mutex> guard(lock);
        const auto all = static_cast<std::size_t>(COUNT);
        return received[0].size() >= all && received[1].size() >= all;
    };
    EXPECT_TRUE(waitUntil(done, std::chrono::seconds(60)));
    std::lock_guard<std::mutex> guard(lock);
    for (auto& r : received) {
        ASSERT_EQ(r.size(), static_cast<std::size_t>(COUNT));
        for (int i = 0; i < COUNT; ++i) ASSERT_EQ(r[i], i);
    }
}

TEST(UdpSlow, ResendAfterTenSeconds) {
    RawPeer peer;
    void* h = Init_Udp(0, nullptr, 55, 77, 0);
    ASSERT_EQ(ListenMessage_Udp(h), 1);
    ASSERT_EQ(SendMessage_Udp(h, "127.0.0.1", peer.port(), "late", 4), 1);
    EXPECT_EQ(peer.next(), "1:late");
    auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(peer.next(15000), "1:late");
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(9500));
    Close_Udp(h);
}

}  // namespace
}  // namespace wirekit::udp::test
