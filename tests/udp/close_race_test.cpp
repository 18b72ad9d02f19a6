// Close_Udp racing an endpoint's receive and sender threads, its callbacks,
// a close from inside its own callback, and a close on another host thread.
// Each race runs WIREKIT_RACE_LOOPS times (200 by default). No callback may
// start after a close returns; threads and descriptors come back.
#include <algorithm>
#include <functional>
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
        udpThreads_ = core::ThreadGroup::runningThreads();
    }

    // What one round of a race gets: a fresh endpoint on slot 0, already
    // listening, and a raw peer that lives for the whole race. The round
    // sets watch.closed once its close has returned.
    struct Round {
        int i;
        void* h;
        std::weak_ptr<UdpEndpoint> weak;
        RawPeer& peer;
        wirekit::test::LateCallbacks& watch;
    };

    // Runs `round` loops_ times. After each round no callback may have come
    // late, and the peer's inbox is drained; after the last, threads and
    // descriptors are back.
    void race(const std::function<void(Round&)>& round) {
        auto peerHolder = std::make_unique<RawPeer>();
        wirekit::test::LateCallbacks watch;
        for (int i = 0; i < loops_; ++i) {
            log(0).clear();
            watch.closed = false;
            void* h = Init_Udp(0, wirekit::test::recorder(0), 55, 77, 0);
            Round r{i, h, endpoint(h), *peerHolder, watch};
            ASSERT_EQ(ListenMessage_Udp(h), 1);
            round(r);
            if (HasFatalFailure()) return;
            ASSERT_EQ(watch.late.load(), 0) << "iteration " << i;
            while (peerHolder->receive(0)) {
            }
        }
        log(0).clear();
        peerHolder.reset();
        EXPECT_TRUE(waitUntil([&] { return core::ThreadGroup::runningThreads() == udpThreads_; }));
        counts_.expectRestored();
    }

    int loops_ = 0;
    wirekit::test::ProcessCounts counts_;
    int udpThreads_ = 0;
};

TEST_F(UdpCloseRace, CloseWhileBothThreadsWorkAndCallbacksRun) {
    race([&](Round& r) {
        void* h = r.h;
        const int port = portOf(h);
        // The handler takes each message at once, from the receive thread.
        log(0).setHook([&watch = r.watch, h](int code, int) {
            watch.seen();
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
                r.peer.send(port, message(n, r.peer.port(), "in"));
        });
        for (int n = 0; n < 5; ++n) SendMessage_Udp(h, "127.0.0.1", r.peer.port(), "out", 3);
        if (r.i % 2 == 1) log(0).waitFor(UDP_EV_MSG_RECEIVED, 1 + r.i % 7, 2s);
        ASSERT_EQ(Close_Udp(h), 1);
        r.watch.closed = true;
        stop = true;
        feeder.join();
        EXPECT_TRUE(r.weak.expired()) << r.i;
    });
}

TEST_F(UdpCloseRace, CloseFromInsideItsOwnCallbackAgainstAHostThreadClose) {
    race([&](Round& r) {
        void* h = r.h;
        // Closed from the receive thread (1001) or the sender thread (2001).
        const int code = r.i % 2 == 0 ? UDP_EV_MSG_RECEIVED : UDP_EV_SENT;
        // Owned by the handler too: a thread of the closed endpoint may still
        // be inside it when the round's own frame is gone.
        auto innerHeld = std::make_shared<std::atomic<int>>(-1);
        std::atomic<int>& inner = *innerHeld;
        log(0).setHook([&watch = r.watch, innerHeld, h, code](int c, int) {
            std::atomic<int>& result = *innerHeld;
            watch.seen();
            if (c == code && result.load() == -1) {
                result = 0;
                result = Close_Udp(h);
                if (result.load() == 1) watch.closed = true;
            }
        });
        if (code == UDP_EV_MSG_RECEIVED) {
            r.peer.send(portOf(h), message(1, r.peer.port(), "bye"));
        } else {
            SendMessage_Udp(h, "127.0.0.1", r.peer.port(), "bye", 3);
        }
        ASSERT_TRUE(waitUntil([&] { return inner.load() != -1; }, 5s)) << r.i;
        int outer = 0;
        if (r.i % 4 < 2) {
            outer = Close_Udp(h);
            if (outer == 1) r.watch.closed = true;
        }
        ASSERT_TRUE(waitUntil([&] { return inner.load() != 0 || outer == 1; }, 5s)) << r.i;
        EXPECT_EQ(std::max(inner.load(), 0) + outer, 1) << r.i;
        ASSERT_TRUE(waitUntil([&] { return r.weak.expired(); }, 5s)) << r.i;
    });
}

}  // namespace
}  // namespace wirekit::udp::test
