// The bytes on the wire against raw peers in both directions, and the
// offer/answer codec rules behind them.
#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "core/thread_group.h"
#include "filexfer/file_test_support.h"
#include "filexfer/offer.h"

namespace wirekit::filexfer::test {
namespace {

TEST(OfferCodec, HeaderRules) {
    auto p = parseOfferHeader("SENDFILE:data.bin,17");
    EXPECT_EQ(p.name, "data.bin");
    EXPECT_EQ(p.size, 17);
    p = parseOfferHeader("XYZ:data.bin,17");  // the text before the colon is ignored
    EXPECT_EQ(p.name, "data.bin");
    EXPECT_EQ(p.size, 17);
    p = parseOfferHeader("SENDFILE:report, final.txt,5");  // the last comma ends the name
    EXPECT_EQ(p.name, "report, final.txt");
    EXPECT_EQ(p.size, 5);
    EXPECT_TRUE(p.sizeIsNumber);
    p = parseOfferHeader("no colon,12");
    EXPECT_EQ(p.name, "no colon");
    EXPECT_EQ(p.size, 12);
    p = parseOfferHeader("SENDFILE:nocomma");
    EXPECT_EQ(p.name, "");
    EXPECT_FALSE(p.sizeIsNumber);
    EXPECT_EQ(parseOfferHeader("S:x, \t-1").size, -1);
    EXPECT_FALSE(parseOfferHeader("S:x, \t-1").sizeIsNumber);
    EXPECT_FALSE(parseOfferHeader("S:x,abc").sizeIsNumber);
    EXPECT_TRUE(parseOfferHeader("S:x, +0").sizeIsNumber);
    EXPECT_EQ(parseOfferHeader("S:x,4294967296").size, 4294967296LL);
    EXPECT_EQ(parseOfferHeader("S:x,12abc").size, 12);
    EXPECT_EQ(parseOfferHeader(std::string("S:x,9\0"
                                           "9",
                                           7))
                  .size,
              9);
    EXPECT_EQ(parseOfferHeader("S:x,99999999999999999999999").size, INT64_MAX);
    EXPECT_EQ(parseOfferHeader("S:x,-99999999999999999999999").size, INT64_MIN);
    EXPECT_EQ(formatOffer("big", 2147483648LL), "SENDFILE:big,2147483648");
}

TEST(OfferCodec, NamesAndAnswers) {
    EXPECT_EQ(sanitizeReceivedName("../../etc/passwd"), "passwd");
    EXPECT_EQ(sanitizeReceivedName("C:\\dir\\x.txt"), "x.txt");
    EXPECT_EQ(sanitizeReceivedName(".."), "");
    EXPECT_EQ(sanitizeReceivedName("a/."), "");
    EXPECT_EQ(sanitizeReceivedName(std::string(400, 'n')).size(), FILE_NAME_MAX);
    // The same safe name on every system.
    EXPECT_EQ(sanitizeReceivedName("C:evil.txt"), "C_evil.txt");
    EXPECT_EQ(sanitizeReceivedName("a*b?c\"d<e>f|g"), "a_b_c_d_e_f_g");
    EXPECT_EQ(sanitizeReceivedName("bell\x07\x1b[2Jx\x7f"), "bell__[2Jx_");
    EXPECT_EQ(sanitizeReceivedName("trail.txt. . "), "trail.txt");
    EXPECT_EQ(sanitizeReceivedName("nul.txt"), "_nul.txt");
    EXPECT_EQ(sanitizeReceivedName("Com1.tar.gz"), "_Com1.tar.gz");
    EXPECT_EQ(sanitizeReceivedName("AUX"), "_AUX");
    EXPECT_EQ(sanitizeReceivedName("LPT9 .log"), "_LPT9 .log");
    EXPECT_EQ(sanitizeReceivedName("COM10"), "COM10");
    // The cut leaves trailing spaces, and dropping them a device name.
    EXPECT_EQ(sanitizeReceivedName("nul" + std::string(300, ' ') + "x"), "_nul");
    // Cut between characters: 130 two-byte characters are 260 bytes.
    std::string accents;
    for (int i = 0; i < 130; ++i) accents += "\xc3\xa9";
    EXPECT_EQ(sanitizeReceivedName(accents), accents.substr(0, 258));
    EXPECT_EQ(offeredName("x/" + accents), accents.substr(0, 258));
    EXPECT_EQ(offeredName("/tmp/dir\\sub/f.bin"), "f.bin");
    EXPECT_FALSE(offerCanCarry("a,b.txt"));
    EXPECT_FALSE(offerCanCarry("a\x05.txt"));
    EXPECT_TRUE(offerCanCarry("a;b.txt"));
    auto answer = [](const std::string& s) {
        return parseAnswer(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    };
    EXPECT_EQ(answer("accept"), Answer::Accept);
    EXPECT_EQ(answer("acceptXYZ"), Answer::Accept);
    EXPECT_EQ(answer("refuse"), Answer::Refuse);
    EXPECT_EQ(answer("Accept"), Answer::Unrecognised);
    EXPECT_EQ(answer("acc"), Answer::Unrecognised);
    EXPECT_EQ(answer(std::string("acc\0ept", 7)), Answer::Unrecognised);
}

// The raw listeners open sockets before any endpoint does: on Windows the
// socket library must be started for them.
class Wire : public FileTest {
protected:
    wirekit::test::NetReference net_;
};

TEST_F(Wire, SenderBytesAgainstRawReceiver) {
    RawListener raw;
    void* c = endpoint(1);
    ASSERT_EQ(Connect_Tcp(c, "127.0.0.1", raw.port()), 1);
    const std::string data = patterned(100000, 9);
    ASSERT_EQ(SendFile_Tcp(c, file("a;b.bin", data).string().c_str()), 1);
    // The job's connection is the second one; the client connection carries
    // none of the file's bytes.
    net::StreamSocket* job = raw.conn(1);
    ASSERT_NE(job, nullptr);
    const std::string header = "SENDFILE:a;b.bin,100000\x05\x06";
    EXPECT_EQ(readN(job, header.size()), header);
    // An unrecognised answer is read past; longer answers match on six bytes.
    ASSERT_TRUE(sendText(job, "ACCEPT"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(sendText(job, "acceptance"));
    EXPECT_EQ(readN(job, data.size()), data);
    ASSERT_TRUE(log(1).waitFor(TCP_EV_SEND_DONE));
    char byte;
    EXPECT_EQ(job->receive(&byte, 1, 5000), 0);  // closed once done
    EXPECT_EQ(raw.conn(0)->peerIsQuiet(), 1);
}

TEST_F(Wire, RefusalClosesTheJobsConnection) {
    RawListener raw;
    void* c = endpoint(1);
    ASSERT_EQ(Connect_Tcp(c, "127.0.0.1", raw.port()), 1);
    ASSERT_EQ(SendFile_Tcp(c, file("r.bin", "xyz").string().c_str()), 1);
    net::StreamSocket* job = raw.conn(1);
    EXPECT_EQ(readN(job, 16), std::string("SENDFILE:r.bin,3\x05\x06", 18).substr(0, 16));
    EXPECT_EQ(readN(job, 2), "\x05\x06");
    // An answer that arrives in two pieces is judged whole.
    ASSERT_TRUE(sendText(job, "ref"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(sendText(job, "use"));
    char byte;
    EXPECT_EQ(job->receive(&byte, 1, 5000), 0);
    FileSendJob j;
    ASSERT_EQ(GetSendJob_Tcp(c, paramOf(1, TCP_EV_SEND_QUEUED), &j), 1);
    EXPECT_EQ(j.state, JOB_REFUSED);
    EXPECT_STREQ(j.fileName, "r.bin");
    EXPECT_EQ(j.fileSize, 3);
}

TEST_F(Wire, ReceiverBytesAgainstRawSender) {
    int port = 0;
    void* s = server(0, &port);
    autoAnswer(s, 0);
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    // The text before the colon is ignored; the name is made safe, commas
    // kept; data that follows the marker in the same segment belongs to the
    // file, and bytes beyond the announced size are dropped.
    const std::string data = patterned(50000, 5);
    ASSERT_TRUE(peer.send(std::string("XYZ:../up, final.bin,50000\x05\x06")));
    EXPECT_EQ(peer.read(6), "accept");
    ASSERT_TRUE(peer.send(data + "EXTRA BYTES"));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_DONE));
    EXPECT_EQ(readFile(received("up, final.bin")), data);
    const int offer = paramOf(0, TCP_EV_FILE_OFFER);
    FileRecvOffer o;
    ASSERT_EQ(GetRecvOffer_Tcp(s, offer, &o), 1);
    EXPECT_STREQ(o.fileName, "up, final.bin");
    EXPECT_EQ(o.fileSize, 50000);
    EXPECT_EQ(o.bytesReceived, 50000);
    EXPECT_STREQ(o.peerAddress, "127.0.0.1");
    peer.socket.disconnect();
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_FAILED));
}

TEST_F(Wire, LeftoverAfterMarkerAndRefusalWritesNothing) {
    int port = 0;
    void* s = server(0, &port);
    autoAnswer(s, 0, false);
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    ASSERT_TRUE(
        peer.send(std::string("SENDFILE:no.bin,4\x05\x06"
                              "abcd")));
    EXPECT_EQ(peer.read(6), "refuse");
    ASSERT_TRUE(peer.send(std::string("more")));
    peer.socket.disconnect();
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_FAILED));
    EXPECT_FALSE(fs::exists(received("no.bin")));
    EXPECT_EQ(log(0).count(TCP_EV_RECV_STARTED), 0);
}

TEST_F(Wire, PeerDisconnectMidFileLeavesPartialFile) {
    int port = 0;
    void* s = server(0, &port);
    autoAnswer(s, 0);
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    ASSERT_TRUE(peer.send(std::string("SENDFILE:half.bin,1000\x05\x06")));
    EXPECT_EQ(peer.read(6), "accept");
    ASSERT_TRUE(peer.send(std::string(400, 'h')));
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_STARTED));
    peer.socket.disconnect();
    ASSERT_TRUE(log(0).waitFor(TCP_EV_RECV_FAILED));
    FileRecvOffer o;
    // The offer died with its session.
    EXPECT_TRUE(wirekit::test::waitUntil(
        [&] { return GetRecvOffer_Tcp(s, paramOf(0, TCP_EV_FILE_OFFER), &o) == 0; }));
    EXPECT_TRUE(
        wirekit::test::waitUntil([&] { return readFile(received("half.bin")).size() == 400; }));
}

TEST_F(Wire, HugeSizeReadAsSixtyFourBits) {
    int port = 0;
    void* s = server(0, &port);
    auto size = std::make_shared<std::atomic<long long>>(0);
    log(0).setHook([s, size](int code, int param) {
        if (code != TCP_EV_FILE_OFFER) return;
        FileRecvOffer o;
        if (GetRecvOffer_Tcp(s, param, &o) == 1) *size = o.fileSize;
        RecvFile_Tcp(s, param, false);
    });
    RawPeer peer;
    ASSERT_TRUE(peer.connect(port));
    ASSERT_TRUE(peer.send(std::string("SENDFILE:big.iso,2147483648\x05\x06")));
    EXPECT_EQ(peer.read(6), "refuse");
    EXPECT_EQ(size->load(), 2147483648LL);
}

}  // namespace
}  // namespace wirekit::filexfer::test
