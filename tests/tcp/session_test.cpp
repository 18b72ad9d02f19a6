// The server side of TCP messaging: sessions fed by raw peers, the queue,
// the server-form operations, and closing an endpoint that is busy.
#include "tcp/session.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "tcp_test_peer.h"

namespace wirekit::tcp::test {
namespace {

using namespace std::chrono_literals;

TEST_F(TcpTest, RawPeerDeliversFramedMessagesInTheirOrder) {
    int port;
    void* h = server(0, &port);
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    // Written at once, before the session can have started.
    ASSERT_TRUE(peer.send(Bytes{5, 7, 0x61, 0x62, 5, 7}));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED));
    auto events = log(0).events();
    EXPECT_EQ(events[0].first, TCP_EV_CONNECTED);
    EXPECT_EQ(events[1], std::make_pair(int(TCP_EV_MSG_RECEIVED), 2));

    char buf[8] = {};
    EXPECT_EQ(GetMessage_Tcp(h, buf, 1), -1);
    EXPECT_EQ(GetMessage_Tcp(h, nullptr, 100), -1);  // a null buffer holds nothing
    EXPECT_EQ(log(0).count(TCP_EV_BUFFER_TOO_SMALL), 2);
    EXPECT_EQ(GetMessage_Tcp(h, buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "ab");
    EXPECT_EQ(GetMessage_Tcp(h, buf, sizeof buf), -1);
    EXPECT_EQ(log(0).count(EV_NO_MESSAGE), 1);

    // Three messages in one write, the last split over two.
    Bytes stream = frameOf("one"), last = frameOf("three");
    Bytes two = frameOf("two");
    stream.insert(stream.end(), two.begin(), two.end());
    stream.insert(stream.end(), last.begin(), last.begin() + 3);
    ASSERT_TRUE(peer.send(stream));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED, 3));
    ASSERT_TRUE(peer.send(Bytes(last.begin() + 3, last.end())));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED, 4));
    for (const char* m : {"one", "two", "three"}) EXPECT_EQ(take(h), m);
    EXPECT_EQ(log(0).count(TCP_EV_DISCONNECTED), 0);
}

// Fills `bytes` of the calling thread's stack, as a handler with a large
// local buffer does.
[[gnu::noinline]] int useStack(std::size_t bytes) {
    if (bytes < 4096) return 0;
    volatile unsigned char block[4096];
    for (auto& b : block) b = static_cast<unsigned char>(bytes);
    return block[bytes % 4096] + useStack(bytes - 4096);
}

TEST_F(TcpTest, AHandlerMayKeepLargeBuffersOnItsStack) {
    // Hosts' handlers keep buffers for a message on the stack; where the
    // address space allows, they get what a Windows thread has by default.
    if (sizeof(void*) == 4) GTEST_SKIP() << "32-bit processes give handlers 256 KiB";
    int port;
    void* h = server(0, &port);
    auto used = std::make_shared<std::atomic<int>>(-1);
    log(0).setHook([used](int code, int) {
        if (code == TCP_EV_MSG_RECEIVED) *used = useStack(640 * 1024);
    });
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    ASSERT_TRUE(peer.send(frameOf("deep")));
    ASSERT_TRUE(wirekit::test::waitUntil([&] { return used->load() >= 0; }));
    EXPECT_EQ(take(h), "deep");
}

TEST_F(TcpTest, TwoPeersAtOnceNeverInterleaveWithinAMessage) {
    int port;
    void* h = server(0, &port);
    constexpr int PER_PEER = 300;
    auto writer = [&](char letter, unsigned seed) {
        RawPeer peer;
        ASSERT_TRUE(peer.connect(port));
        std::mt19937 random(seed);
        Bytes stream;
        for (int i = 0; i < PER_PEER; ++i) {
            Bytes f = frameOf(std::string(1 + random() % 3000, letter));
            stream.insert(stream.end(), f.begin(), f.end());
        }
        // Written in ragged pieces, so messages cross the reads of the session.
        std::size_t pos = 0;
        while (pos < stream.size()) {
            std::size_t n = std::min<std::size_t>(stream.size() - pos, 1 + random() % 5000);
            ASSERT_TRUE(peer.send(Bytes(stream.begin() + static_cast<long>(pos),
                                        stream.begin() + static_cast<long>(pos + n))));
            pos += n;
        }
        ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED, 2 * PER_PEER, 30s));
    };
    std::thread a(writer, 'a', 1u), b(writer, 'b', 2u);
    a.join();
    b.join();
    int counts[2] = {0, 0};
    for (int i = 0; i < 2 * PER_PEER; ++i) {
        std::string m = take(h);
        ASSERT_FALSE(m.empty());
        ASSERT_EQ(m.find_first_not_of(m[0]), std::string::npos) << "mixed message";
        ++counts[m[0] == 'a' ? 0 : 1];
    }
    EXPECT_EQ(counts[0], PER_PEER);
    EXPECT_EQ(counts[1], PER_PEER);
}

TEST_F(TcpTest, SessionEndsOnPeerCloseMidMessageAndAtTheReadLimit) {
    timing::setReadTimeoutMs(300);
    int port;
    void* h = server(0, &port);
    {
        RawPeer closing;
        ASSERT_TRUE(closing.connect(port));
        ASSERT_TRUE(closing.send(Bytes{5, 7, 'a', 'b', 'c'}));
        ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED));
    }
    ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED));
    EXPECT_EQ(log(0).events().back(), std::make_pair(int(TCP_EV_DISCONNECTED), 0));

    RawPeer idle;
    ASSERT_TRUE(idle.connect(port));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED, 2));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED, 2));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
    char b;
    EXPECT_EQ(idle.socket.receive(&b, 1, 5000), 0);  // the server closed it
    EXPECT_TRUE(wirekit::test::waitUntil([&] { return endpointOf(h)->sessionCount() == 0; }));
    EXPECT_EQ(log(0).count(TCP_EV_MSG_RECEIVED), 0);  // the partial message is dropped
    EXPECT_EQ(take(h), "<none>");
}

TEST_F(TcpTest, GarbageNeverCrashesASessionAndAValidMessageStillArrives) {
    int port;
    void* h = server(0, &port);
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    std::mt19937 random(99);
    Bytes garbage(300000);
    for (auto& b : garbage) {
        b = static_cast<unsigned char>(random() % 4 == 0 ? 5 : random());
        if (b == 6) b = 7;  // an offer marker would end message mode on purpose
    }
    ASSERT_TRUE(peer.send(garbage));
    ASSERT_TRUE(peer.send(Bytes{5, 5, 5, 7}));  // close whatever escape is pending
    ASSERT_TRUE(peer.send(frameOf("still works")));
    // Garbage comes out as messages of its own; the valid one follows them.
    std::string last;
    EXPECT_TRUE(wirekit::test::waitUntil([&] {
        std::string m = take(h);
        if (m != "<none>") last = m;
        return last == "still works";
    }));
    EXPECT_EQ(take(h), "<none>");
    EXPECT_EQ(log(0).count(TCP_EV_DISCONNECTED), 0);
}

TEST_F(TcpTest, MessageGrowingPastTheCapEndsTheSession) {
    int port;
    server(0, &port);
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    Bytes flood(1 << 20, 'x');
    std::thread writer([&] {
        for (int i = 0; i <= MAX_MESSAGE_BYTES / (1 << 20); ++i) {
            if (!peer.send(flood)) break;
        }
    });
    EXPECT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED, 1, 30s));
    writer.join();
    EXPECT_EQ(log(0).count(TCP_EV_MSG_RECEIVED), 0);
}

TEST_F(TcpTest, ServerFormSendGoesOnlyToLiveSessionsOfThisEndpoint) {
    int port;
    void* h = server(0, &port);
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED));
    auto s = reinterpret_cast<void*>(static_cast<std::uintptr_t>(log(0).events()[0].second));
    EXPECT_EQ(SendMessageSocket_Tcp(h, s, "raw\x05", 4), 1);
    EXPECT_EQ(peer.read(4), "raw\x05");  // unframed
    EXPECT_EQ(SendMessage_Tcp(h, s, "", 0), 1);
    EXPECT_EQ(SendMessageSocket_Tcp(h, s, nullptr, 3), 0);
    EXPECT_EQ(SendMessageSocket_Tcp(h, s, "x", -1), 0);

    // A number that is an open descriptor of the process but no session.
    auto other = reinterpret_cast<void*>(static_cast<std::uintptr_t>(peer.socket.socketNumber()));
    EXPECT_EQ(SendMessageSocket_Tcp(h, other, "nope", 4), 0);
    EXPECT_EQ(DisConnectSocket_Tcp(h, other), 0);

    // Server-form disconnect: the session ends with 3999 and leaves the map.
    EXPECT_EQ(DisConnectSocket_Tcp(h, s), 1);
    ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED));
    EXPECT_TRUE(wirekit::test::waitUntil([&] { return endpointOf(h)->sessionCount() == 0; }));
    EXPECT_EQ(SendMessageSocket_Tcp(h, s, "late", 4), 0);
    EXPECT_EQ(DisConnectSocket_Tcp(h, s), 0);
    char b;
    EXPECT_EQ(peer.socket.receive(&b, 1, 5000), 0);
}

TEST_F(TcpTest, CloseWithBusySessionsReturnsPromptlyAndLeavesNothingBehind) {
    const int before = wirekit::test::openDescriptors();
    int port;
    void* h = server(0, &port);
    int otherPort;
    server(1, &otherPort);
    ASSERT_EQ(Connect_Tcp(h, "127.0.0.1", otherPort), 1);  // a client connection too
    std::weak_ptr<TcpEndpoint> weak = endpointOf(h);

    std::atomic<bool> stopPeers{false};
    std::vector<std::thread> peers;
    for (int i = 0; i < 4; ++i) {
        peers.emplace_back([&, i] {
            RawPeer peer;
            if (!peer.connect(port)) return;
            Bytes body = i == 0 ? Bytes{5, 7, 'p', 'a', 'r', 't'} : frameOf(std::string(5000, 'b'));
            // Sends until the server goes away (or the test ends).
            while (!stopPeers.load() && peer.send(body)) {
            }
        });
    }
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED, 4));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED, 50));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Close_Tcp(h), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    handles_.erase(handles_.begin());
    EXPECT_TRUE(weak.expired());
    const int seen = static_cast<int>(log(0).events().size());
    EXPECT_FALSE(
        log(0).waitUntil([&](const auto& e) { return static_cast<int>(e.size()) > seen; }, 300ms));
    stopPeers = true;
    for (auto& t : peers) t.join();
    Close_Tcp(handles_[0]);
    handles_.clear();
    EXPECT_TRUE(wirekit::test::waitUntil([&] {
        return wirekit::test::openDescriptors() == before;
    })) << wirekit::test::openDescriptors()
        << " open, " << before << " before";
}

TEST_F(TcpTest, CloseFromInsideItsOwnCallbackReturnsAtOnce) {
    int port;
    void* h = server(0, &port);
    std::weak_ptr<TcpEndpoint> weak = endpointOf(h);
    std::atomic<int> closeResult{-7};
    log(0).setHook([&](int code, int) {
        if (code == TCP_EV_MSG_RECEIVED) closeResult = Close_Tcp(h);
    });
    RawPeer a, b;
    ASSERT_TRUE(a.connect(port));
    ASSERT_TRUE(b.connect(port));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED, 2));
    ASSERT_TRUE(a.send(frameOf("bye")));
    ASSERT_TRUE(wirekit::test::waitUntil([&] { return closeResult.load() != -7; }));
    EXPECT_EQ(closeResult.load(), 1);
    handles_.clear();
    EXPECT_TRUE(wirekit::test::waitUntil([&] { return weak.expired(); }));
    EXPECT_EQ(Close_Tcp(h), 0);
    const int seen = static_cast<int>(log(0).events().size());
    b.send(frameOf("after close"));
    EXPECT_FALSE(
        log(0).waitUntil([&](const auto& e) { return static_cast<int>(e.size()) > seen; }, 300ms));
    char c;
    EXPECT_EQ(b.socket.receive(&c, 1, 5000), 0);
}

// A file side that records what it was handed and reads the rest itself.
class RecordingHandler : public FileModeHandler {
public:
    void runFileMode(Session& session, std::string h, const unsigned char* leftover,
                     std::size_t length) override {
        header = h;
        stream.assign(reinterpret_cast<const char*>(leftover), length);
        peer = session.peerAddress();
        socketNumber = session.socketNumber();
        char buf[256];
        while (stream.size() < 6) {
            int n = session.socket().receive(buf, sizeof buf, 10000);
            if (n <= 0) return;
            stream.append(buf, static_cast<std::size_t>(n));
        }
        session.raise(TCP_EV_FILE_OFFER, 77);
        // Waits for a decision that never comes; Close_Tcp must end it.
        waited = session.waitUntil([] { return false; }) == Session::WaitEnd::Ready ? 1 : 0;
    }
    void onEndpointClose() override { closeHookRan = true; }

    std::string header, stream, peer;
    platform::Socket socketNumber = -1;
    std::atomic<int> waited{-1};
    std::atomic<bool> closeHookRan{false};
};

TEST_F(TcpTest, OfferHeaderHandsTheConnectionToTheFileSide) {
    int port;
    void* h = server(0, &port);
    auto handler = std::make_shared<RecordingHandler>();
    endpointOf(h)->setFileModeHandler(handler);
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    Bytes stream = frameOf("before");
    std::string header = "SENDFILE:a.bin,6";
    stream.insert(stream.end(), header.begin(), header.end());
    for (int b : {5, 6, int('a'), int('b'), int('c')})
        stream.push_back(static_cast<unsigned char>(b));
    ASSERT_TRUE(peer.send(stream));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_MSG_RECEIVED));
    ASSERT_TRUE(
        peer.send(std::string("\x05\x07"
                              "def")));  // no longer framed
    ASSERT_TRUE(log(0).waitFor(TCP_EV_FILE_OFFER));
    EXPECT_EQ(take(h), "before");
    EXPECT_EQ(handler->header, header);
    EXPECT_EQ(handler->stream, std::string("abc\x05\x07"
                                           "def"));
    EXPECT_EQ(handler->peer, "127.0.0.1");
    EXPECT_EQ(handler->socketNumber, log(0).events()[0].second);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Close_Tcp(h), 1);
    handles_.clear();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(handler->waited.load(), 0);
    EXPECT_TRUE(handler->closeHookRan.load());
}

TEST_F(TcpTest, WithoutAFileSideTheOfferedStreamIsDroppedUntilTheEnd) {
    int port;
    void* h = server(0, &port);
    // Init_Tcp installs the file side; this checks the session without one.
    endpointOf(h)->setFileModeHandler(nullptr);
    {
        RawPeer peer;
        ASSERT_TRUE(peer.connect(port));
        ASSERT_TRUE(
            peer.send(std::string("SENDFILE:x,3\x05\x06"
                                  "abc")));
        ASSERT_TRUE(peer.send(frameOf("not a message any more")));
        ASSERT_TRUE(log(0).waitFor(TCP_EV_CONNECTED));
    }
    ASSERT_TRUE(log(0).waitFor(TCP_EV_DISCONNECTED));
    EXPECT_EQ(log(0).count(TCP_EV_MSG_RECEIVED), 0);
    EXPECT_EQ(take(h), "<none>");
}

}  // namespace
}  // namespace wirekit::tcp::test
