// Close_Tcp racing everything else an endpoint does: sessions reading,
// callbacks running on other threads, a close from inside the endpoint's own
// callback, and other host threads using or closing the same handle. Each
// race runs WIREKIT_RACE_LOOPS times (200 by default). After every close no
// callback may start, and at the end the descriptor and thread counts are
// back where they started.
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "core/callback_gate.h"
#include "tcp/tcp_test_peer.h"

namespace wirekit::tcp::test {
namespace {

using namespace std::chrono_literals;
using wirekit::test::LateCallbacks;

// Peers that connect and send framed messages until the connection breaks,
// the test stops them, or they have sent their share.
class StreamingPeers {
public:
    StreamingPeers(int port, int count) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this, port, i] {
                RawPeer peer;
                if (!peer.connect(port)) return;
                const Bytes frame = frameOf(std::string(64 + 512 * i, 'p'));
                for (int n = 0; n < 20000 && !stop_.load() && peer.send(frame); ++n) {
                }
            });
        }
    }
    ~StreamingPeers() {
        stop_ = true;
        for (auto& t : threads_) t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

class CloseRace : public TcpTest {
protected:
    void SetUp() override {
        TcpTest::SetUp();
        loops_ = wirekit::test::loopCount("WIREKIT_RACE_LOOPS", 200);
        counts_ = wirekit::test::ProcessCounts::settled();
    }
    void* listening(int slot, int* port) {
        void* h = Init_Tcp(recorder(slot));
        EXPECT_EQ(ListenMessage_Tcp(h, 0), 1);
        *port = endpointOf(h)->listenPort();
        return h;
    }

    // What one round of a race gets: a fresh endpoint on slot 0, listening
    // on `port`. The round sets watch.closed once its close has returned.
    struct Round {
        int i;
        void* h;
        int port;
        std::weak_ptr<TcpEndpoint> weak;
        LateCallbacks& watch;
    };

    // Runs `round` loops_ times. After each round no callback may have come
    // late; after the last, descriptors and threads are back.
    void race(const std::function<void(Round&)>& round) {
        LateCallbacks watch;
        for (int i = 0; i < loops_; ++i) {
            log(0).clear();
            int port;
            void* h = listening(0, &port);
            Round r{i, h, port, endpointOf(h), watch};
            watch.closed = false;
            round(r);
            if (HasFatalFailure()) return;
            ASSERT_EQ(watch.late.load(), 0) << "iteration " << i;
        }
        log(0).clear();
        counts_.expectRestored();
    }

    wirekit::test::NetReference net_;
    int loops_ = 0;
    wirekit::test::ProcessCounts counts_;
};

TEST_F(CloseRace, CloseWhileSessionsReadAndCallbacksRunElsewhere) {
    race([&](Round& r) {
        const int i = r.i;
        void* h = r.h;
        // Handlers take their message and dawdle a little, so that closes
        // meet callbacks in progress on several session threads.
        log(0).setHook([&watch = r.watch, h, i](int code, int) {
            watch.seen();
            if (code != TCP_EV_MSG_RECEIVED) return;
            char buf[4096];
            GetMessage_Tcp(h, buf, sizeof buf);
            std::this_thread::sleep_for(std::chrono::microseconds(50 * (i % 4)));
        });
        StreamingPeers peers(r.port, 3);
        // Close at different moments: before any session, among the
        // first messages, or well into the stream.
        if (i % 3 == 1) log(0).waitFor(TCP_EV_MSG_RECEIVED, 1, 2s);
        if (i % 3 == 2) log(0).waitFor(TCP_EV_MSG_RECEIVED, 30, 2s);
        ASSERT_EQ(Close_Tcp(h), 1);
        r.watch.closed = true;
        EXPECT_TRUE(r.weak.expired()) << i;
    });
}

TEST_F(CloseRace, CloseFromInsideItsOwnCallbackAgainstAHostThreadClose) {
    race([&](Round& r) {
        const int i = r.i;
        void* h = r.h;
        // Owned by the handler too: a thread of the closed endpoint may still
        // be inside it when the round's own frame is gone.
        struct Shared {
            std::atomic<int> inner{-1};
            std::atomic<int> messages{0};
        };
        auto shared = std::make_shared<Shared>();
        std::atomic<int>& inner = shared->inner;
        const int closeAt = 1 + i % 5;
        log(0).setHook([&watch = r.watch, shared, h, closeAt](int code, int) {
            std::atomic<int>& result = shared->inner;
            watch.seen();
            if (code == TCP_EV_MSG_RECEIVED && ++shared->messages == closeAt) {
                auto start = std::chrono::steady_clock::now();
                result = Close_Tcp(h);
                // Returns at once: it does not wait for its own thread.
                EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
                if (result.load() == 1) watch.closed = true;
            }
        });
        int outer = 0;
        {
            StreamingPeers peers(r.port, 2);
            ASSERT_TRUE(wirekit::test::waitUntil([&] { return inner.load() != -1; }, 5s)) << i;
            // Every other round a host thread closes too, racing the
            // callback's close; exactly one of them retires the handle.
            if (i % 2 == 0) outer = Close_Tcp(h);
        }
        if (outer == 1) r.watch.closed = true;
        EXPECT_EQ(inner.load() + outer, 1) << i;
        // The endpoint goes once the last of its threads has ended.
        ASSERT_TRUE(wirekit::test::waitUntil([&] { return r.weak.expired(); }, 5s)) << i;
    });
}

// The gate every endpoint raises through: a close from inside a callback
// waits for the callbacks of other threads, while another thread keeps
// raising and is refused. Each refused raise is counted for a moment; the
// closer must be woken when it is uncounted, or it waits for ever.
namespace gate_race {
std::atomic<wirekit::core::CallbackGate*> gate{nullptr};
std::atomic<bool> closed{false};
void WIREKIT_CALLBACK onEvent(int code, int) {
    if (code != 2) return;
    gate.load()->close();
    gate.load()->waitForOthers();
    closed = true;
}
}  // namespace gate_race

TEST_F(CloseRace, CloseInsideACallbackWhileAnotherThreadIsRefused) {
    namespace g = gate_race;
    for (int i = 0; i < loops_; ++i) {
        auto gate = std::make_unique<wirekit::core::CallbackGate>(&g::onEvent);
        g::gate = gate.get();
        g::closed = false;
        std::atomic<bool> stop{false};
        std::thread raiser([&] {
            while (!stop.load()) gate->raise(1, 0);
        });
        std::thread closer([&] { gate->raise(2, 0); });
        const bool ended = wirekit::test::waitUntil([] { return g::closed.load(); }, 5s);
        stop = true;
        raiser.join();
        if (!ended) {
            // The closer is stuck for good; it must not hold up the program.
            closer.detach();
            (void)gate.release();
            FAIL() << "the close inside the callback never returned, round " << i;
        }
        closer.join();
    }
}

TEST_F(CloseRace, HostThreadsUseAndCloseOneHandleAtOnce) {
    for (int i = 0; i < loops_; ++i) {
        int port;
        void* h = listening(0, &port);
        RawPeer peer;
        ASSERT_TRUE(peer.connect(port));
        std::atomic<bool> go{false};
        std::atomic<int> closes{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&] {
                while (!go.load()) std::this_thread::yield();
                closes += Close_Tcp(h);
            });
        }
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            char buf[64];
            for (int n = 0; n < 200; ++n) {
                GetMessage_Tcp(h, buf, sizeof buf);
                SendMessageSocket_Tcp(h, reinterpret_cast<void*>(std::intptr_t{1}), "x", 1);
                if (StopListen_Tcp(h) == 0) break;  // the handle is gone
                ListenMessage_Tcp(h, 0);
            }
        });
        go = true;
        for (auto& t : threads) t.join();
        ASSERT_EQ(closes.load(), 1) << i;
        EXPECT_EQ(Close_Tcp(h), 0);
    }
    log(0).clear();
    counts_.expectRestored();
}

}  // namespace
}  // namespace wirekit::tcp::test
