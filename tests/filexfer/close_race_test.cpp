// Close_Tcp racing file transfer: while a session waits for the host's
// decision or for a resume, from inside the offer handler, and while files
// stream (either end closed). The waits race WIREKIT_RACE_LOOPS times (200
// by default); a streaming round costs two connection settles, so that race
// runs a quarter as often. No callback may start after a close returns, the
// other end always reaches its terminal event, and the descriptor and
// thread counts come back.
#include <chrono>
#include <thread>

#include "filexfer/file_test_support.h"
#include "tcp/session.h"

namespace wirekit::filexfer::test {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::pair<int, int>>;
using wirekit::test::LateCallbacks;

class FileCloseRace : public FileTest {
protected:
    void SetUp() override {
        FileTest::SetUp();
        loops_ = wirekit::test::loopCount("WIREKIT_RACE_LOOPS", 200);
        counts_ = wirekit::test::ProcessCounts::settled();
    }
    static bool endsWith(int slot, std::initializer_list<int> codes,
                         std::chrono::milliseconds timeout = 10s) {
        return log(slot).waitUntil(
            [&](const Events& e) {
                return std::any_of(e.begin(), e.end(), [&](const auto& x) {
                    return std::find(codes.begin(), codes.end(), x.first) != codes.end();
                });
            },
            timeout);
    }

    static std::string eventText(int slot) {
        std::string out;
        for (auto& e : log(slot).events())
            out += " " + std::to_string(e.first) + "/" + std::to_string(e.second);
        return out;
    }

    wirekit::test::NetReference net_;
    int loops_ = 0;
    wirekit::test::ProcessCounts counts_;
};

TEST_F(FileCloseRace, CloseWhileADecisionOrAResumeIsWaitedOn) {
    fs::create_directories(dir_ / "received");
    const std::string target = received("w.bin").string();
    LateCallbacks watch;
    enum Wait { Decision, Pause, InsideOfferHandler };
    for (int i = 0; i < loops_; ++i) {
        const Wait wait = static_cast<Wait>(i % 3);
        log(0).clear();
        watch.closed = false;
        void* s = Init_Tcp(recorder(0));
        ASSERT_EQ(ListenMessage_Tcp(s, 0), 1);
        const int port = tcp::test::endpointOf(s)->listenPort();
        std::weak_ptr<tcp::TcpEndpoint> weak = tcp::test::endpointOf(s);
        std::atomic<int> innerClose{-1};
        log(0).setHook([&, s, wait](int code, int param) {
            watch.seen();
            if (code == TCP_EV_FILE_OFFER && wait == InsideOfferHandler) {
                innerClose = Close_Tcp(s);
                watch.closed = true;
            }
            if (code == TCP_EV_FILE_OFFER && wait == Pause) {
                SetSavePath_Tcp(s, param, target.c_str());
                RecvFile_Tcp(s, param, true);
            }
            if (code == TCP_EV_RECV_STARTED) PauseRecvFile_Tcp(s, param);
        });
        RawPeer peer;
        ASSERT_TRUE(peer.connect(port));
        ASSERT_TRUE(peer.send(std::string("SENDFILE:w.bin,1000\x05\x06")));
        if (wait == Pause) {
            EXPECT_EQ(peer.read(6), "accept");
            ASSERT_TRUE(peer.send(std::string(100, 'w')));
        }
        ASSERT_TRUE(log(0).waitFor(TCP_EV_FILE_OFFER)) << i;
        const int offer = paramOf(0, TCP_EV_FILE_OFFER);
        if (wait == InsideOfferHandler) {
            ASSERT_TRUE(wirekit::test::waitUntil([&] { return innerClose.load() != -1; })) << i;
            EXPECT_EQ(innerClose.load(), 1);
        } else {
            FileRecvOffer o;
            ASSERT_TRUE(wirekit::test::waitUntil([&] {
                return GetRecvOffer_Tcp(s, offer, &o) == 1 && o.waitEvent != 0;
            })) << i;
            auto start = std::chrono::steady_clock::now();
            ASSERT_EQ(Close_Tcp(s), 1);
            watch.closed = true;
            EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << i;
        }
        // The peer sees its connection end; the offer is dead.
        char b;
        EXPECT_EQ(peer.socket.receive(&b, 1, 5000), 0) << i;
        FileRecvOffer o;
        EXPECT_EQ(GetRecvOffer_Tcp(s, offer, &o), 0);
        ASSERT_TRUE(wirekit::test::waitUntil([&] { return weak.expired(); }, 5s)) << i;
        ASSERT_EQ(watch.late.load(), 0) << "iteration " << i;
    }
    log(0).clear();
    counts_.expectRestored();
}

// A refusal given just before the session is stopped (the host refuses and
// closes the endpoint, or drops the connection, at once) still reaches the
// peer, followed by an orderly end of the stream rather than a reset, also
// when the peer's later bytes were still unread. A stop from inside the offer
// handler always comes before the session looks at the decision; one from
// the host thread races it.
TEST_F(FileCloseRace, ARefusalGivenJustBeforeAStopReachesThePeer) {
    enum Stop { CloseInHandler, DisconnectInHandler, CloseFromHost };
    const int rounds = std::max(6, loops_ / 4);
    for (int i = 0; i < rounds; ++i) {
        const Stop stop = static_cast<Stop>(i % 3);
        const bool unreadBytes = i % 6 >= 3;
        log(0).clear();
        void* s = Init_Tcp(recorder(0));
        ASSERT_EQ(ListenMessage_Tcp(s, 0), 1);
        std::shared_ptr<tcp::TcpEndpoint> ep = tcp::test::endpointOf(s);
        const int port = ep->listenPort();
        std::weak_ptr<tcp::TcpEndpoint> weak = ep;
        std::atomic<std::uintptr_t> connection{0};
        std::atomic<bool> extraSent{false};
        // True once the peer's later bytes wait unread in the session's socket.
        auto inputQueued = [weak, &connection, &extraSent] {
            return wirekit::test::waitUntil([&] {
                auto endpoint = weak.lock();
                auto session = endpoint ? endpoint->findSession(connection.load()) : nullptr;
                return extraSent.load() && session && session->socket().peerIsQuiet() == 0;
            });
        };
        log(0).setHook([&, s, stop, unreadBytes](int code, int param) {
            if (code == TCP_EV_CONNECTED) connection = static_cast<std::uintptr_t>(param);
            if (code != TCP_EV_FILE_OFFER || stop == CloseFromHost) return;
            if (unreadBytes && !inputQueued()) return;
            RecvFile_Tcp(s, param, false);
            if (stop == CloseInHandler) Close_Tcp(s);
            if (stop == DisconnectInHandler)
                DisConnect_Tcp(s, reinterpret_cast<void*>(connection.load()));
        });
        ep.reset();
        RawPeer peer;
        ASSERT_TRUE(peer.connect(port));
        ASSERT_TRUE(peer.send(std::string("SENDFILE:r.bin,1000\x05\x06")));
        ASSERT_TRUE(log(0).waitFor(TCP_EV_FILE_OFFER)) << i;
        const int offer = paramOf(0, TCP_EV_FILE_OFFER);
        if (unreadBytes) {
            ASSERT_TRUE(peer.send(std::string(300, 'x')));
            extraSent = true;
        }
        if (stop == CloseFromHost) {
            FileRecvOffer o;
            ASSERT_TRUE(wirekit::test::waitUntil([&] {
                return GetRecvOffer_Tcp(s, offer, &o) == 1 && o.waitEvent != 0;
            })) << i;
            if (unreadBytes) {
                ASSERT_TRUE(inputQueued()) << i;
            }
            ASSERT_EQ(RecvFile_Tcp(s, offer, false), 1);
            ASSERT_EQ(Close_Tcp(s), 1);
        }
        EXPECT_EQ(peer.read(6), "refuse") << "round " << i;
        char b;
        EXPECT_EQ(peer.socket.receive(&b, 1, 5000), 0) << "round " << i;
        if (stop == DisconnectInHandler) {
            FileRecvOffer o;
            EXPECT_TRUE(
                wirekit::test::waitUntil([&] { return GetRecvOffer_Tcp(s, offer, &o) == 0; }));
            ASSERT_EQ(Close_Tcp(s), 1);
        }
        ASSERT_TRUE(wirekit::test::waitUntil([&] { return weak.expired(); }, 5s)) << i;
    }
    log(0).clear();
    counts_.expectRestored();
}

TEST_F(FileCloseRace, CloseEitherEndWhileFilesStream) {
    const int loops = std::max(1, loops_ / 4);
    const std::string path = file("stream.bin", patterned(2u << 20, 51)).string();
    fs::create_directories(dir_ / "received");
    LateCallbacks watch;
    for (int i = 0; i < loops; ++i) {
        const bool closeSender = i % 2 == 0;
        wirekit::test::resetLogs();
        watch.closed = false;
        int port = 0;
        void* s = Init_Tcp(recorder(0));
        ASSERT_EQ(ListenMessage_Tcp(s, 0), 1);
        port = tcp::test::endpointOf(s)->listenPort();
        void* c = Init_Tcp(recorder(1));
        ASSERT_EQ(Connect_Tcp(c, "127.0.0.1", port), 1);
        void* closing = closeSender ? c : s;
        void* other = closeSender ? s : c;
        const int closingSlot = closeSender ? 1 : 0;
        const int otherSlot = closeSender ? 0 : 1;
        log(closingSlot).setHook([&watch](int, int) { watch.seen(); });
        if (closeSender) {
            autoAnswer(s, 0);
        } else {
            // The closing receiver answers offers and watches for late calls.
            const std::string dir = (dir_ / "received").string();
            log(0).setHook([&watch, s, dir](int code, int param) {
                watch.seen();
                if (code != TCP_EV_FILE_OFFER) return;
                FileRecvOffer offer;
                if (GetRecvOffer_Tcp(s, param, &offer) != 1) return;
                SetSavePath_Tcp(s, param, (dir + "/" + offer.fileName).c_str());
                RecvFile_Tcp(s, param, true);
            });
        }
        ASSERT_EQ(SendFile_Tcp(c, path.c_str()), 1);
        ASSERT_EQ(SendFile_Tcp(c, path.c_str()), 1);
        // Close at the first data, or some way into the stream.
        ASSERT_TRUE(log(0).waitFor(i % 4 < 2 ? TCP_EV_RECV_STARTED : TCP_EV_RECV_PROGRESS,
                                   i % 4 < 2 ? 1 : 5))
            << i;
        ASSERT_EQ(Close_Tcp(closing), 1);
        watch.closed = true;
        // The other end ends each transfer: the receiver with a failed read;
        // the sender with a failed send or offer, or with its completion
        // when the last bytes were already in the connection's buffers.
        if (closeSender) {
            EXPECT_TRUE(endsWith(otherSlot, {TCP_EV_RECV_FAILED})) << i;
        } else {
            EXPECT_TRUE(log(otherSlot).waitUntil(
                [](const Events& e) {
                    return std::count_if(e.begin(), e.end(), [](const auto& x) {
                               return x.first == TCP_EV_SEND_FAILED ||
                                      x.first == TCP_EV_DISCONNECTED || x.first == TCP_EV_SEND_DONE;
                           }) >= 2;
                },
                10s))
                << i << eventText(otherSlot);
        }
        ASSERT_EQ(Close_Tcp(other), 1);
        ASSERT_EQ(watch.late.load(), 0) << "iteration " << i;
    }
    wirekit::test::resetLogs();
    counts_.expectRestored();
}

}  // namespace
}  // namespace wirekit::filexfer::test
