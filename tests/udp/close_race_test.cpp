// Close_Udp racing an endpoint's receive and sender threads, its callbacks,
// a close from inside its own callback, and a close on another host thread.
// Each race runs WIREKIT_RACE_LOOPS times (200 by default). No callback may
// start after a close returns; threads and descriptors come back.
#include <memory>
#include <thread>

#include "udp_test_support.h"

namespace wirekit::udp::test {
namespace {

using namespace std::chrono_literals;

class UdpCloseRace : public UdpTest {
protected:
    void SetUp() override {
        UdpTest::SetUp();
        timing::setUdpResendMs(5);
        loops_ = wirekit::test::loopCount("WIREKIT_RACE_LOOPS", 200);
        counts_ = wirekit::test::ProcessCounts::settled();
        udpThreads_ = UdpEndpoint::runningThreads();
    }
    void expectCountsRestored() {
        EXPECT_TRUE(waitUntil([&] { return UdpEndpoint::runningThreads() == udpThreads_; }));
        counts_.expectRestored();
    }

    int loops_ = 0;
    wirekit::test::ProcessCounts counts_;
    int udpThreads_ = 0;
};

TEST_F(UdpCloseRace, CloseWhileBothThreadsWorkAndCallbacksRun) {
    auto peerHolder = std::make_unique<RawPeer>();
    RawPeer& peer = *peerHolder;
    std::atomic<bool> closed{false};
    std::atomic<int> late{0};
    for (int i = 0; i < loops_; ++i) {
        log(0).clear();
        closed = false;
        void* h = Init_Udp(0, wirekit::test::recorder(0), 55, 77, 0);
        std::weak_ptr<UdpEndpoint> weak = endpoint(h);
        ASSERT_EQ(ListenMessage_Udp(h), 1);
        const int port = portOf(h);
        // The handler takes each message at once, from the receive thread.
        log(0).setHook([&, h](int code, int) {
            if (closed.load()) ++late;
            if (code == UDP_EV_MSG_RECEIVED) {
                char buf[128];
                GetMessage_Udp(h, buf, sizeof buf);
            }
        });
        // Messages in (acknowledged to the peer) and out (never
        // acknowledged, so the sender thread keeps re-sending).
        std::atomic<bool> stop{false};
        std::thread feeder([&] {
            for (int n = 1; n < 5000 && !stop.load(); ++n)
                peer.send(port, message(n, peer.port(), "in"));
        });
        for (int n = 0; n < 5; ++n) SendMessage_Udp(h, "127.0.0.1", peer.port(), "out", 3);
        if (i % 2 == 1) log(0).waitFor(UDP_EV_MSG_RECEIVED, 1 + i % 7, 2s);
        ASSERT_EQ(Close_Udp(h), 1);
        closed = true;
        stop = true;
        feeder.join();
        EXPECT_TRUE(weak.expired()) << i;
        ASSERT_EQ(late.load(), 0) << "iteration " << i;
        while (peer.receive(0)) {
        }
    }
    log(0).clear();
    peerHolder.reset();
    expectCountsRestored();
}

TEST_F(UdpCloseRace, CloseFromInsideItsOwnCallbackAgainstAHostThreadClose) {
    auto peerHolder = std::make_unique<RawPeer>();
    RawPeer& peer = *peerHolder;
    std::atomic<bool> closed{false};
    std::atomic<int> late{0};
    for (int i = 0; i < loops_; ++i) {
        log(0).clear();
        closed = false;
        void* h = Init_Udp(0, wirekit::test::recorder(0), 55, 77, 0);
        std::weak_ptr<UdpEndpoint> weak = endpoint(h);
        ASSERT_EQ(ListenMessage_Udp(h), 1);
        // Closed from the receive thread (1001) or the sender thread (2001).
        const int code = i % 2 == 0 ? UDP_EV_MSG_RECEIVED : UDP_EV_SENT;
        std::atomic<int> inner{-1};
        log(0).setHook([&, h, code](int c, int) {
            if (closed.load()) ++late;
            if (c == code && inner.load() == -1) {
                inner = 0;
                inner = Close_Udp(h);
                if (inner.load() == 1) closed = true;
            }
        });
        if (code == UDP_EV_MSG_RECEIVED) {
            peer.send(portOf(h), message(1, peer.port(), "bye"));
        } else {
            SendMessage_Udp(h, "127.0.0.1", peer.port(), "bye", 3);
        }
        ASSERT_TRUE(waitUntil([&] { return inner.load() != -1; }, 5s)) << i;
        int outer = 0;
        if (i % 4 < 2) {
            outer = Close_Udp(h);
            if (outer == 1) closed = true;
        }
        ASSERT_TRUE(waitUntil([&] { return inner.load() != 0 || outer == 1; }, 5s)) << i;
        EXPECT_EQ(std::max(inner.load(), 0) + outer, 1) << i;
        ASSERT_TRUE(waitUntil([&] { return weak.expired(); }, 5s)) << i;
        ASSERT_EQ(late.load(), 0) << "iteration " << i;
        while (peer.receive(0)) {
        }
    }
    log(0).clear();
    peerHolder.reset();
    expectCountsRestored();
}

}  // namespace
}  // namespace wirekit::udp::test
