// Two endpoints together, and the endpoint's life: threads, output lines,
// closing (also from inside its own callback), sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "udp_test_support.h"

namespace wirekit::udp::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using wirekit::test::waitUntil;

class UdpEndpointLife : public UdpTest {};

TEST_F(UdpEndpointLife, CloseEndsBothThreadsAndPrintsTheTwoLines) {
    int before = UdpEndpoint::runningThreads();
    testing::internal::CaptureStdout();
    void* h = open(0);
    ASSERT_EQ(ListenMessage_Udp(h), 1);
    ASSERT_EQ(ListenMessage_Udp(h), 1);  // starts nothing more
    EXPECT_TRUE(waitUntil([&] { return UdpEndpoint::runningThreads() == before + 2; }));
    EXPECT_TRUE(endpointOf(h)->listening());
    EXPECT_EQ(Close_Udp(h), 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(UdpEndpoint::runningThreads(), before);
    EXPECT_EQ(out, "Receive Thread Started.\nReceive Thread Ended.\n");
    EXPECT_EQ(Close_Udp(h), 0);
    EXPECT_EQ(GetMessage_Udp(h, nullptr, 0), -1);
    EXPECT_EQ(ListenMessage_Udp(h), 0);
}

TEST_F(UdpEndpointLife, ClosingReleasesEverySocket) {
    int before = wirekit::test::openDescriptors();
    for (int i = 0; i < 5; ++i) {
        void* listening = Init_Udp(0, nullptr, 55, 77, 0);
        void* idle = Init_Udp(0, nullptr, 55, 77, 1);
        ASSERT_EQ(ListenMessage_Udp(listening), 1);
        EXPECT_EQ(Close_Udp(listening), 1);
        EXPECT_EQ(Close_Tcp(idle), 1);  // either closing export ends it
    }
    EXPECT_EQ(wirekit::test::openDescriptors(), before);
}

TEST_F(UdpEndpointLife, PortThatCannotBeBoundStartsNoThread) {
    int before = UdpEndpoint::runningThreads();
    void* bad = open(0);
    void* h = Init_Udp(70000, nullptr, 55, 77, 0);
    handles_.push_back(h);
    EXPECT_EQ(ListenMessage_Udp(h), 1);
    EXPECT_FALSE(endpointOf(h)->listening());
    // Broadcast mode does not share ports: a taken port fails to bind.
    void* taken = Init_Udp(portOf(bad), nullptr, 55, 77, 1);
    handles_.push_back(taken);
    EXPECT_EQ(ListenMessage_Udp(taken), 1);
    EXPECT_FALSE(endpointOf(taken)->listening());
    EXPECT_EQ(UdpEndpoint::runningThreads(), before);
}

TEST_F(UdpEndpointLife, CloseFromInsideTheReceiveCallback) {
    void* a = open(0);
    void* b = Init_Udp(0, wirekit::test::recorder(1), 55, 77, 0);
    std::weak_ptr<UdpEndpoint> weak = endpointOf(b);
    std::atomic<int> closeResult{-1};
    log(1).setHook([&](int code, int) {
        if (code == UDP_EV_MSG_RECEIVED && closeResult.load() == -1) closeResult = Close_Udp(b);
    });
    ASSERT_EQ(ListenMessage_Udp(a), 1);
    ASSERT_EQ(ListenMessage_Udp(b), 1);
    ASSERT_EQ(SendMessage_Udp(a, "127.0.0.1", portOf(b), "bye", 3), 1);
    ASSERT_TRUE(waitUntil([&] { return closeResult.load() != -1; }));
    EXPECT_EQ(closeResult.load(), 1);
    // Destroyed once its threads have ended; nothing was raised after the
    // event whose handler closed it.
    EXPECT_TRUE(waitUntil([&] { return weak.expired(); }));
    auto events = log(1).events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().first, UDP_EV_MSG_RECEIVED);
    EXPECT_EQ(Close_Udp(b), 0);
    // The acknowledgement had already gone out before the callback ran.
    EXPECT_TRUE(log(0).waitFor(UDP_EV_ACKED));
}

TEST_F(UdpEndpointLife, CloseFromInsideTheSenderCallback) {
    RawPeer peer;
    void* h = Init_Udp(0, wirekit::test::recorder(2), 55, 77, 0);
    std::weak_ptr<UdpEndpoint> weak = endpointOf(h);
    std::atomic<int> closeResult{-1};
    log(2).setHook([&](int code, int) {
        if (code == UDP_EV_SENT && closeResult.load() == -1) closeResult = Close_Udp(h);
    });
    ASSERT_EQ(SendMessage_Udp(h, "127.0.0.1", peer.port(), "x", 1), 1);
    ASSERT_EQ(ListenMessage_Udp(h), 1);
    ASSERT_TRUE(waitUntil([&] { return closeResult.load() != -1; }));
    EXPECT_EQ(closeResult.load(), 1);
    EXPECT_TRUE(waitUntil([&] { return weak.expired(); }));
    EXPECT_EQ(log(2).count(UDP_EV_SENT), 1);
}

TEST_F(UdpEndpointLife, EndpointWithoutCallbackWorks) {
    void* a = open(-1);
    void* b = open(-1);
    ASSERT_EQ(ListenMessage_Udp(a), 1);
    ASSERT_EQ(ListenMessage_Udp(b), 1);
    ASSERT_EQ(SendMessage_Udp(a, "127.0.0.1", portOf(b), "quiet", 5), 1);
    EXPECT_TRUE(waitUntil([&] { return endpointOf(b)->recvQueueSize() == 1; }));
    EXPECT_TRUE(waitUntil([&] { return endpointOf(a)->sendQueueSize() == 0; }));
    EXPECT_EQ(take(b), "127.0.0.1:quiet");
}

TEST_F(UdpEndpointLife, DifferentHeaderBytesDoNotUnderstandEachOther) {
    timing::setUdpResendMs(100);
    void* a = open(0, 0, 55, 77);
    void* b = open(1, 0, 56, 77);
    ASSERT_EQ(ListenMessage_Udp(a), 1);
    ASSERT_EQ(ListenMessage_Udp(b), 1);
    ASSERT_EQ(SendMessage_Udp(a, "127.0.0.1", portOf(b), "?", 1), 1);
    ASSERT_TRUE(log(0).waitFor(UDP_EV_SENT, 3));  // re-sent, never acknowledged
    EXPECT_EQ(log(1).count(UDP_EV_MSG_RECEIVED), 0);
    EXPECT_EQ(log(0).count(UDP_EV_ACKED), 0);
}

// Each side sends `count` numbered messages to the other while taking what
// arrives from inside its 1001 handler.
TEST_F(UdpEndpointLife, TenThousandMessagesBothWaysAtOnceArriveOnceAndInOrder) {
    constexpr int COUNT = 10000;
    timing::setUdpResendMs(1000);
    void* ends[2] = {open(3), open(4)};
    std::mutex lock;
    std::vector<int> received[2];
    for (int side = 0; side < 2; ++side) {
        void* self = ends[side];
        log(3 + side).setHook([&, self, side](int code, int) {
            if (code != UDP_EV_MSG_RECEIVED) return;
            char buffer[64];
            long n = GetMessage_Udp(self, buffer, sizeof buffer);
            if (n <= 0) return;
            std::string text(buffer + 10, static_cast<std::size_t>(n));  // after "127.0.0.1:"
            std::lock_guard<std::mutex> guard(lock);
            received[side].push_back(std::stoi(text));
        });
        ASSERT_EQ(ListenMessage_Udp(self), 1);
    }
    auto sender = [&](int side) {
        void* self = ends[side];
        int peerPort = portOf(ends[1 - side]);
        auto endpoint = endpointOf(self);
        auto deadline = std::chrono::steady_clock::now() + seconds(90);
        for (int i = 0; i < COUNT && std::chrono::steady_clock::now() < deadline;) {
            if (endpoint->sendQueueSize() >= 90) {
                std::this_thread::sleep_for(milliseconds(1));
                continue;
            }
            std::string text = std::to_string(i);
            SendMessage_Udp(self, "127.0.0.1", peerPort, text.data(), static_cast<int>(text.size()));
            ++i;
        }
    };
    std::thread one(sender, 0), two(sender, 1);
    one.join();
    two.join();
    EXPECT_TRUE(waitUntil(
        [&] {
            std::lock_guard<std::mutex> guard(lock);
            return received[0].size() >= COUNT && received[1].size() >= COUNT;
        },
        seconds(60)));
    std::lock_guard<std::mutex> guard(lock);
    for (int side = 0; side < 2; ++side) {
        ASSERT_EQ(received[side].size(), static_cast<std::size_t>(COUNT));
        for (int i = 0; i < COUNT; ++i) ASSERT_EQ(received[side][i], i) << "side " << side;
    }
    EXPECT_EQ(log(3).count(UDP_EV_SEND_QUEUE_FULL), 0);
    EXPECT_EQ(log(3).count(UDP_EV_RECV_QUEUE_FULL), 0);
}

TEST(UdpSlow, ResendAfterTenSeconds) {
    timing::restoreDefaults();
    RawPeer peer;
    void* h = Init_Udp(0, nullptr, 55, 77, 0);
    ASSERT_EQ(ListenMessage_Udp(h), 1);
    ASSERT_EQ(SendMessage_Udp(h, "127.0.0.1", peer.port(), "late", 4), 1);
    UdpPacket first = peer.receivePacket();
    auto sent = std::chrono::steady_clock::now();
    UdpPacket again = peer.receivePacket(15000);
    auto waited = std::chrono::steady_clock::now() - sent;
    EXPECT_EQ(again.sequence, first.sequence);
    EXPECT_GE(waited, milliseconds(9500));
    Close_Udp(h);
}

}  // namespace
}  // namespace wirekit::udp::test
