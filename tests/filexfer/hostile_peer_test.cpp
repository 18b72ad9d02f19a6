// File transfers against raw peers that lie about the size, go silent, or
// die at each phase of a transfer (offer, answer, data, pause) on either
// side. The library's end must reach its terminal event, drop its records
// and give back every descriptor; nothing may hang.
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <thread>

#include "filexfer/file_test_support.h"

namespace wirekit::filexfer::test {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::pair<int, int>>;

class HostileFilePeer : public tcp::test::LeakCheckedTest<FileTest> {
protected:
    // Waits until the offer's session has ended and taken the record along.
    bool offerGone(void* server, int offer) {
        FileRecvOffer o;
        return wirekit::test::waitUntil([&] { return GetRecvOffer_Tcp(server, offer, &o) == 0; });
    }
    static std::string offerText(const std::string& name, std::size_t size) {
        return "SENDFILE:" + name + "," + std::to_string(size) + "\x05\x06";
    }
};

TEST_F(HostileFilePeer, ReceiverKeepsExactlyTheAnnouncedBytes) {
    timing::setReadTimeoutMs(300);
    int port = 0;
    void* s = server(0, &port);
    autoAnswer(s, 0);
    {
        // Fewer bytes than announced, then silence: the read limit ends it.
        RawPeer shortPeer;
        ASSERT_TRUE(shortPeer.connect(port));
        ASSERT_TRUE(shortPeer.send(offerText("short.bin", 1000)));
        EXPECT_EQ(shortPeer.read(6), "accept");
        ASSERT_TRUE(shortPeer.send(std::string(400, 's')));
        ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_FAILED));
        EXPECT_EQ(log(0).count(TCP_EV_RECV_DONE), 0);
        EXPECT_TRUE(offerGone(s, paramOf(0, TCP_EV_FILE_OFFER)));
        EXPECT_EQ(readFile(received("short.bin")), std::string(400, 's'));
    }
    log(0).clear();
    autoAnswer(s, 0);
    // Far more than announced, in later writes: the file is cut at its size,
    // completes once, and nothing is reported after the completion.
    RawPeer longPeer;
    ASSERT_TRUE(longPeer.connect(port));
    const std::string data = patterned(50000, 21);
    ASSERT_TRUE(longPeer.send(offerText("long.bin", data.size())));
    EXPECT_EQ(longPeer.read(6), "accept");
    ASSERT_TRUE(longPeer.send(data.substr(0, 30000)));
    ASSERT_TRUE(longPeer.send(data.substr(30000) + patterned(300000, 22)));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(longPeer.send(patterned(65536, 23 + i)));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_DONE));
    longPeer.socket.disconnect();
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_FAILED));
    EXPECT_EQ(readFile(received("long.bin")), data);
    const Events events = log(0).events();
    auto done = std::find_if(events.begin(), events.end(),
                             [](const auto& e) { return e.first == TCP_EV_RECV_DONE; });
    EXPECT_EQ(log(0).count(TCP_EV_RECV_DONE), 1);
    EXPECT_EQ(std::count_if(done, events.end(),
                            [](const auto& e) { return e.first == TCP_EV_RECV_PROGRESS; }),
              0);
    expectNothingLeaked();
}

// A size that is no number, or a negative one, cannot be received: the
// offer is refused before the host hears of it, and the connection ends as
// after a refusal, reported as the end of a connection.
TEST_F(HostileFilePeer, OffersWithoutAUsableSizeAreRefusedUnseen) {
    int port = 0;
    void* s = server(0, &port);
    autoAnswer(s, 0);
    int ends = 0;
    for (const char* header : {"SENDFILE:x.bin,abc", "SENDFILE:x.bin,-5", "SENDFILE:x.bin"}) {
        SCOPED_TRACE(header);
        RawPeer peer;
        ASSERT_TRUE(peer.connect(port));
        ASSERT_TRUE(peer.send(std::string(header) + "\x05\x06"));
        EXPECT_EQ(peer.read(6), "refuse");
        peer.socket.disconnect();
        ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED, ++ends));
    }
    EXPECT_EQ(log(0).count(TCP_EV_FILE_OFFER), 0);
    EXPECT_EQ(log(0).count(TCP_EV_RECV_FAILED), 0);
    EXPECT_FALSE(fs::exists(received("x.bin")));
    expectNothingLeaked();
}

// Names that would leave the save folder, open a device or come out garbled
// on some system land inside the folder under their cleaned names when the
// host saves under the folder and the offer's fileName.
TEST_F(HostileFilePeer, HostileNamesLandInsideTheSaveFolderCleaned) {
    int port = 0;
    void* s = server(0, &port);
    autoAnswer(s, 0);
    const std::string accented = "r\xc3\xa9sum\xc3\xa9.txt";
    int done = 0;
    for (const std::string& name : {std::string("C:evil.txt"), std::string("NUL.txt"), accented}) {
        SCOPED_TRACE(name);
        RawPeer peer;
        ASSERT_TRUE(peer.connect(port));
        ASSERT_TRUE(peer.send(offerText(name, 4)));
        EXPECT_EQ(peer.read(6), "accept");
        ASSERT_TRUE(peer.send(std::string("data")));
        ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_DONE, ++done));
        peer.socket.disconnect();
    }
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_ / "received")) {
        names.insert(entry.path().filename().u8string());
        EXPECT_EQ(fs::file_size(entry.path()), 4u) << entry.path().filename().u8string();
    }
    EXPECT_EQ(names, (std::set<std::string>{"C_evil.txt", "_NUL.txt", accented}));
    std::set<std::string> top;
    for (const auto& entry : fs::directory_iterator(dir_))
        top.insert(entry.path().filename().u8string());
    EXPECT_EQ(top, std::set<std::string>{"received"});
    expectNothingLeaked();
}

// The sending peer dies at one phase; the library receives.
TEST_F(HostileFilePeer, SenderKilledAtEachPhaseEndsTheReceivingSession) {
    int port = 0;
    void* s = server(0, &port);
    fs::create_directories(dir_ / "received");
    enum Phase { Offer, Answer, Data, Pause };
    for (Phase phase : {Offer, Answer, Data, Pause}) {
        SCOPED_TRACE(phase);
        log(0).clear();
        const std::string target = received("k" + std::to_string(phase)).string();
        // The decision is held back in the answer phase; the pause phase
        // pauses from the handler of the first data.
        log(0).setHook([&, s, phase](int code, int param) {
            if (code == TCP_EV_FILE_OFFER && phase != Answer) {
                SetSavePath_Tcp(s, param, target.c_str());
                RecvFile_Tcp(s, param, true);
            }
            if (code == TCP_EV_RECV_STARTED && phase == Pause) PauseRecvFile_Tcp(s, param);
        });
        RawPeer peer;
        ASSERT_TRUE(peer.connect(port));
        if (phase == Offer) {
            ASSERT_TRUE(peer.send(std::string("SENDFILE:k.bin,10")));
            ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED));
            peer.reset();
            ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED));
            EXPECT_EQ(log(0).count(TCP_EV_FILE_OFFER), 0);
            continue;
        }
        ASSERT_TRUE(peer.send(offerText("k.bin", 100000)));
        ASSERT_TRUE(log(0).waitFor(TCP_EV_FILE_OFFER));
        const int offer = paramOf(0, TCP_EV_FILE_OFFER);
        if (phase == Answer) {
            // The session learns of the death while the host still decides:
            // the wait ends at once and takes the offer along.
            peer.reset();
            ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_FAILED));
            EXPECT_TRUE(offerGone(s, offer));
            EXPECT_EQ(RecvFile_Tcp(s, offer, true), 0);
        } else {
            EXPECT_EQ(peer.read(6), "accept");
            ASSERT_TRUE(peer.send(std::string(400, 'd')));
            ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_STARTED));
            if (phase == Pause) {
                FileRecvOffer o;
                ASSERT_TRUE(wirekit::test::waitUntil(
                    [&] { return GetRecvOffer_Tcp(s, offer, &o) == 1 && o.waitEvent != 0; }));
                // The paused session notices the death without a resume.
                peer.reset();
            } else {
                peer.reset();
            }
        }
        ASSERT_TRUE(log(0).waitUntil([](const Events& e) {
            return std::any_of(e.begin(), e.end(), [](const auto& x) {
                return x.first == TCP_EV_RECV_FAILED || x.first == TCP_EV_DISCONNECTED;
            });
        }));
        EXPECT_EQ(log(0).count(TCP_EV_RECV_FAILED), 1);
        if (phase != Answer) {
            EXPECT_EQ(readFile(target).size(), 400u);
        }
        EXPECT_EQ(log(0).count(TCP_EV_RECV_DONE), 0);
        EXPECT_TRUE(offerGone(s, offer));
    }
    EXPECT_TRUE(
        wirekit::test::waitUntil([&] { return tcp::test::endpointOf(s)->sessionCount() == 0; }));
    expectNothingLeaked();
}

// Offers that nobody will answer must not hold a thread and a descriptor
// each: one whose peer has gone ends at once, one whose peer stays ends at
// the read limit, and an endpoint without a callback refuses at once.
TEST_F(HostileFilePeer, UnansweredOffersEndWhenThePeerGoesOrAtTheReadLimit) {
    timing::setReadTimeoutMs(500);
    int port = 0;
    void* s = server(0, &port);
    constexpr int OFFERS = 20;
    for (int i = 0; i < OFFERS; ++i) {
        RawPeer peer;
        ASSERT_TRUE(peer.connect(port));
        ASSERT_TRUE(peer.send(offerText("a", 1)));
        ASSERT_TRUE(log(0).waitFor(TCP_EV_FILE_OFFER, i + 1));
    }
    // Each peer closed as it left its scope; well before the read limit.
    EXPECT_TRUE(log(0).waitFor(TCP_EV_RECV_FAILED, OFFERS, 400ms));
    {
        RawPeer stays;
        ASSERT_TRUE(stays.connect(port));
        ASSERT_TRUE(stays.send(offerText("b", 1)));
        ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_FAILED, OFFERS + 1, 5s));
        char b;
        EXPECT_EQ(stays.socket.receive(&b, 1, 5000), 0);  // no answer; closed
    }
    void* deaf = Init_Tcp(nullptr);
    handles_.push_back(deaf);
    ASSERT_EQ(ListenMessage_Tcp(deaf, 0), 1);
    RawPeer asking;
    ASSERT_TRUE(asking.connect(tcp::test::endpointOf(deaf)->listenPort()));
    ASSERT_TRUE(asking.send(offerText("c", 1)));
    EXPECT_EQ(asking.read(6), "refuse");
    asking.socket.disconnect();
    EXPECT_TRUE(
        wirekit::test::waitUntil([&] { return tcp::test::endpointOf(s)->sessionCount() == 0; }));
    expectNothingLeaked();
}

// The receiving peer dies at one phase; the library sends.
TEST_F(HostileFilePeer, ReceiverKilledAtEachPhaseEndsTheJob) {
    enum Phase { Offer, Answer, Data, Pause };
    const std::string data = patterned(8u << 20, 31);
    const std::string path = file("big.bin", data).string();
    for (Phase phase : {Offer, Answer, Data, Pause}) {
        SCOPED_TRACE(phase);
        wirekit::test::resetLogs();
        RawListener raw;
        void* c = endpoint(1);
        ASSERT_EQ(Connect_Tcp(c, "127.0.0.1", raw.port()), 1);
        auto progress = std::make_shared<std::atomic<int>>(0);
        if (phase == Pause) {
            log(1).setHook([c, progress](int code, int param) {
                if (code == TCP_EV_SEND_PROGRESS && ++*progress == 10) PauseSendFile_Tcp(c, param);
            });
        }
        ASSERT_EQ(SendFile_Tcp(c, path.c_str()), 1);
        const int job = paramOf(1, TCP_EV_SEND_QUEUED);
        net::StreamSocket* conn = raw.conn(1);
        ASSERT_NE(conn, nullptr);
        const std::string header = offerText("big.bin", data.size());
        if (phase == Offer) {
            EXPECT_EQ(readN(conn, 4), header.substr(0, 4));
        } else {
            EXPECT_EQ(readN(conn, header.size()), header);
        }
        if (phase == Offer || phase == Answer) {
            resetConnection(*conn);
            // The offer failed: 3999, and the job waits, idle, until stopped.
            ASSERT_TRUE(log(1).waitFor(TCP_EV_DISCONNECTED));
            FileSendJob j;
            ASSERT_TRUE(wirekit::test::waitUntil(
                [&] { return GetSendJob_Tcp(c, job, &j) == 1 && j.busy == 0; }));
            EXPECT_EQ(StopSendFile_Tcp(c, job), 1);
            EXPECT_EQ(GetSendJob_Tcp(c, job, &j), 0);
        } else {
            ASSERT_TRUE(sendText(conn, "accept"));
            if (phase == Data) {
                EXPECT_EQ(readN(conn, 100000).size(), 100000u);
            } else {
                // Drains until the job has paused, then dies while it waits.
                std::atomic<bool> paused{false};
                std::thread drain([&] {
                    std::vector<char> buf(65536);
                    while (!paused.load() && conn->receive(buf.data(), 65536, 200) >= 0) {
                    }
                });
                FileSendJob j;
                EXPECT_TRUE(wirekit::test::waitUntil([&] {
                    return GetSendJob_Tcp(c, job, &j) == 1 && j.state == JOB_PAUSED && j.busy == 0;
                }));
                paused = true;
                drain.join();
            }
            resetConnection(*conn);
            if (phase == Pause) {
                ASSERT_EQ(ResumeSendFile_Tcp(c, job), 1);
            }
            ASSERT_TRUE(log(1).waitFor(TCP_EV_SEND_FAILED));
            EXPECT_EQ(log(1).count(TCP_EV_SEND_DONE), 0);
            FileSendJob j;
            EXPECT_TRUE(wirekit::test::waitUntil([&] { return GetSendJob_Tcp(c, job, &j) == 0; }));
        }
        Close_Tcp(c);
        handles_.clear();
    }
    expectNothingLeaked();
}

// A receiver that stops reading in the middle of the data leaves the sender
// blocked on a full window; stopping the job must not wait for that peer.
TEST_F(HostileFilePeer, StopReturnsWhileTheReceiverHasStoppedReading) {
    {
        const std::string path = file("stall.bin", patterned(24u << 20, 41)).string();
        RawListener raw;
        void* c = endpoint(1);
        ASSERT_EQ(Connect_Tcp(c, "127.0.0.1", raw.port()), 1);
        ASSERT_EQ(SendFile_Tcp(c, path.c_str()), 1);
        const int job = paramOf(1, TCP_EV_SEND_QUEUED);
        net::StreamSocket* conn = raw.conn(1);
        ASSERT_NE(conn, nullptr);
        EXPECT_FALSE(readN(conn, 20).empty());
        ASSERT_TRUE(sendText(conn, "accept"));
        EXPECT_EQ(readN(conn, 65536).size(), 65536u);
        // Give the sender time to fill the window and block.
        FileSendJob j;
        std::int64_t last = -1;
        for (int i = 0; i < 50; ++i) {
            std::this_thread::sleep_for(20ms);
            ASSERT_EQ(GetSendJob_Tcp(c, job, &j), 1);
            if (j.bytesSent == last) break;
            last = j.bytesSent;
        }
        auto stopped = std::async(std::launch::async, [&] { return StopSendFile_Tcp(c, job); });
        const bool prompt = stopped.wait_for(5s) == std::future_status::ready;
        if (!prompt) Close_Tcp(c);  // frees the blocked sender so the test can end
        ASSERT_TRUE(prompt);
        EXPECT_EQ(stopped.get(), 1);
        EXPECT_TRUE(log(1).waitFor(TCP_EV_SEND_STOPPED));
        EXPECT_EQ(log(1).count(TCP_EV_SEND_FAILED), 0);
        EXPECT_EQ(GetSendJob_Tcp(c, job, &j), 0);
        // The job's connection was closed: what was in flight, then the end.
        EXPECT_LT(readN(conn, 64u << 20).size(), 24u << 20);
    }
    expectNothingLeaked();
}

}  // namespace
}  // namespace wirekit::filexfer::test
