// The wirekit program driven end to end: subcommands as child processes on
// loopback, usage errors, the demo, and a receiver facing a hostile offer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "child_process.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "wirekit.h"

namespace fs = std::filesystem;
using wirekit::test::ChildProcess;
using wirekit::test::runCli;

namespace {

// A scratch directory removed with the test.
struct TempDir {
    fs::path path;
    TempDir() : path(wirekit::test::makeTempDir("wirekit-cli-dir-")) {}
    ~TempDir() { wirekit::test::removeTree(path); }
};

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Whether this build transfers files: a loopback offer that gets queued.
bool fileTransferAvailable() {
    static int answer = -1;
    if (answer >= 0) return answer == 1;
    TempDir dir;
    writeFile(dir.path / "probe.bin", "x");
    void* server = Init_Tcp(nullptr);
    void* client = Init_Tcp(nullptr);
    int port = wirekit::test::freeTcpPort();
    answer = ListenMessage_Tcp(server, port) && Connect_Tcp(client, "127.0.0.1", port) &&
             SendFile_Tcp(client, (dir.path / "probe.bin").string().c_str());
    Close_Tcp(client);
    Close_Tcp(server);
    return answer == 1;
}

}  // namespace

TEST(CliUsage, BadCommandLinesExitTwoWithAOneLineHint) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"tcp"},
        {"tcp", "listen"},
        {"tcp", "listen", "70000"},
        {"tcp", "send", "127.0.0.1"},
        {"udp", "send", "127.0.0.1", "0", "x"},
        {"udp", "listen", "9000", "--header", "1"},
        {"udp", "listen", "9000", "--header", "1", "300"},
        {"file", "receive", "9000"},
        {"file", "send", "127.0.0.1", "9000"},
        {"des", "encrypt"},
        {"des", "encrypt", "--key", "k", "--key-hex", "00"},
        {"des", "encrypt", "--key-hex", "0g"},
        {"des", "encrypt", "--key", "seventeen bytes!!"},
        {"compress", "extra"},
        {"tcp", "listen", "9000", "--bogus"},
    };
    for (const auto& args : bad) {
        std::string err;
        std::string line;
        for (const auto& a : args) line += a + " ";
        EXPECT_EQ(runCli(args, nullptr, &err), 2) << line;
        if (!args.empty()) {
            EXPECT_NE(err.find("wirekit"), std::string::npos) << line;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << line << ": " << err;
        }
    }
}

TEST(CliUsage, HelpAndVersionExitZero) {
    std::string out;
    EXPECT_EQ(runCli({"--version"}, &out), 0);
    EXPECT_EQ(out, std::string("wirekit ") + WIREKIT_VERSION_STRING + wirekit::test::TEXT_NEWLINE);
    for (const char* command : {"demo", "tcp", "udp", "file", "des", "compress", "uncompress"}) {
        out.clear();
        EXPECT_EQ(runCli({command, "--help"}, &out), 0) << command;
        EXPECT_NE(out.find("usage: wirekit"), std::string::npos) << command;
    }
    EXPECT_EQ(runCli({"--help"}, &out), 0);
    EXPECT_NE(out.find("file receive PORT DIR"), std::string::npos);
}

TEST(CliFilters, DesAndCompressionRoundTripThroughPipes) {
    std::mt19937 rng(7);
    std::string data(100003, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    for (const char* keyOption : {"--key", "--key-hex"}) {
        std::string key =
            std::string(keyOption) == "--key" ? "8bytekey" : "00112233445566778899aabbccddeeff";
        std::string cipher, plain;
        ASSERT_EQ(runCli({"des", "encrypt", keyOption, key}, &cipher, nullptr, data), 0);
        EXPECT_EQ(cipher.size(), data.size() + 5);  // padded to whole blocks
        EXPECT_NE(cipher.substr(0, 64), data.substr(0, 64));
        ASSERT_EQ(runCli({"des", "decrypt", keyOption, key}, &plain, nullptr, cipher), 0);
        EXPECT_TRUE(plain == data);
    }
    // A wrong key leaves invalid padding behind, which decrypt reports.
    std::string cipher;
    ASSERT_EQ(runCli({"des", "encrypt", "--key", "right"}, &cipher, nullptr, "some text"), 0);
    EXPECT_EQ(runCli({"des", "decrypt", "--key", "wrong"}, nullptr, nullptr, cipher), 1);
    EXPECT_EQ(runCli({"des", "decrypt", "--key", "k"}, nullptr, nullptr, "odd"), 1);

    std::string text;
    for (int i = 0; i < 5000; ++i) text += "line " + std::to_string(i % 10) + "\n";
    for (const std::string& input : {text, data, std::string()}) {
        std::string packed, back;
        ASSERT_EQ(runCli({"compress"}, &packed, nullptr, input), 0);
        ASSERT_EQ(runCli({"uncompress"}, &back, nullptr, packed), 0);
        EXPECT_TRUE(back == input);
    }
    EXPECT_EQ(runCli({"uncompress"}, nullptr, nullptr, "not a zlib stream"), 1);
}

TEST(CliTcp, SendReachesListenFromArgumentsAndStandardInput) {
    int port = wirekit::test::freeTcpPort();
    ChildProcess listener({"tcp", "listen", std::to_string(port)});
    ASSERT_TRUE(listener.waitForOutput("listening on TCP port")) << listener.err();
    std::string out;
    EXPECT_EQ(runCli({"tcp", "send", "127.0.0.1", std::to_string(port), "hello", "world"}, &out),
              0);
    EXPECT_EQ(runCli({"tcp", "send", "127.0.0.1", std::to_string(port)}, nullptr, nullptr,
                     "first line\nsecond line\n"),
              0);
    EXPECT_TRUE(listener.waitForOutput("(11 bytes): second line"));
    // Arguments arrive as given: spaces, quotes and backslashes included.
    const std::string awkward = "a \"quoted\" word back\\slash\\ \\\"";
    EXPECT_EQ(runCli({"tcp", "send", "127.0.0.1", std::to_string(port), "a \"quoted\" word",
                      "back\\slash\\", "\\\""}),
              0);
    EXPECT_TRUE(
        listener.waitForOutput("(" + std::to_string(awkward.size()) + " bytes): " + awkward))
        << listener.out();
    EXPECT_EQ(listener.stop(), 0);
    std::string heard = listener.out();
    EXPECT_NE(heard.find("message from connection "), std::string::npos) << heard;
    EXPECT_NE(heard.find("(11 bytes): hello world"), std::string::npos) << heard;
    EXPECT_LT(heard.find("hello world"), heard.find("first line"));
    EXPECT_NE(heard.find("disconnected: connection"), std::string::npos) << heard;

    // Nobody listening any more: a one-line failure, exit 1.
    std::string err;
    EXPECT_EQ(runCli({"tcp", "send", "127.0.0.1", std::to_string(port), "x"}, nullptr, &err), 1);
    EXPECT_NE(err.find("cannot connect"), std::string::npos);
}

TEST(CliUdp, SendIsAcknowledgedByListenAndReportsSilence) {
    int port = wirekit::test::freeUdpPort();
    ChildProcess listener({"udp", "listen", std::to_string(port), "--header", "12", "34"});
    ASSERT_TRUE(listener.waitForOutput("listening on UDP port")) << listener.err();
    std::string out;
    EXPECT_EQ(runCli({"udp", "send", "127.0.0.1", std::to_string(port), "hi", "there", "--header",
                      "12", "34"},
                     &out),
              0)
        << out;
    EXPECT_NE(out.find("acknowledged: 1 message"), std::string::npos) << out;
    // A fixed local port for the acknowledgements, and several lines.
    int from = wirekit::test::freeUdpPort();
    EXPECT_EQ(runCli({"udp", "send", "127.0.0.1", std::to_string(port), "--from",
                      std::to_string(from), "--header", "12", "34"},
                     &out, nullptr, "one\ntwo\n"),
              0)
        << out;
    EXPECT_TRUE(listener.waitForOutput("message from 127.0.0.1 (3 bytes): two"));
    // Other header bytes are not this listener's datagrams: no acknowledgement.
    EXPECT_EQ(
        runCli({"udp", "send", "127.0.0.1", std::to_string(port), "lost", "--timeout", "1"}, &out),
        1);
    // The port is taken: a second listener, or acknowledgements bound to it,
    // would hear nothing; both are refused before they start.
    std::string err;
    EXPECT_EQ(runCli({"udp", "listen", std::to_string(port)}, nullptr, &err), 1);
    EXPECT_NE(err.find("cannot listen on UDP port " + std::to_string(port) + "; is it in use?"),
              std::string::npos)
        << err;
    EXPECT_EQ(runCli({"udp", "send", "127.0.0.1", std::to_string(from), "x", "--from",
                      std::to_string(port)},
                     nullptr, &err),
              1);
    EXPECT_NE(err.find("is it in use?"), std::string::npos) << err;
    EXPECT_EQ(listener.stop(), 0);
    EXPECT_NE(listener.out().find("message from 127.0.0.1 (8 bytes): hi there"), std::string::npos);
    EXPECT_EQ(listener.out().find("lost"), std::string::npos);
}

TEST(CliDemo, EveryStepChecksOut) {
    std::string out, err;
    EXPECT_EQ(runCli({"demo"}, &out, &err, "", std::chrono::seconds(60)), 0) << out << err;
    EXPECT_NE(out.find("demo succeeded"), std::string::npos) << out;
    EXPECT_EQ(out.find("[FAIL]"), std::string::npos) << out;
}

TEST(CliFile, ReceiveSavesWhatSendOffersAndKeepsExistingFiles) {
    if (!fileTransferAvailable()) GTEST_SKIP() << "file transfer not in this build";
    TempDir source, target;
    std::mt19937 rng(3);
    std::string data(1500000, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    writeFile(source.path / "data.bin", data);
    writeFile(target.path / "data.bin", "keep me");
    int port = wirekit::test::freeTcpPort();
    ChildProcess receiver({"file", "receive", std::to_string(port), target.path.string(), "--yes"});
    ASSERT_TRUE(receiver.waitForOutput("waiting for a file")) << receiver.err();
    std::string out, err;
    EXPECT_EQ(runCli({"file", "send", "127.0.0.1", std::to_string(port),
                      (source.path / "data.bin").string()},
                     &out, &err),
              0)
        << err;
    EXPECT_EQ(receiver.wait(), 0) << receiver.err();
    EXPECT_EQ(wirekit::test::readWhole(target.path / "data.bin"), "keep me");
    EXPECT_TRUE(wirekit::test::readWhole(target.path / "data (1).bin") == data);
    EXPECT_FALSE(fs::exists(target.path / "data (1).bin.part"));
    // Not a terminal: plain progress lines.
    EXPECT_NE(receiver.err().find("1500000 bytes"), std::string::npos) << receiver.err();
    EXPECT_NE(receiver.out().find("saved"), std::string::npos);
}

TEST(CliFile, WithoutYesTheReceiverAsksAndARefusalSavesNothing) {
    if (!fileTransferAvailable()) GTEST_SKIP() << "file transfer not in this build";
    TempDir source, target;
    writeFile(source.path / "a.txt", "contents");
    int port = wirekit::test::freeTcpPort();
    ChildProcess receiver({"file", "receive", std::to_string(port), target.path.string()}, "n\n");
    ASSERT_TRUE(receiver.waitForOutput("waiting for a file"));
    std::string err;
    EXPECT_EQ(runCli({"file", "send", "127.0.0.1", std::to_string(port),
                      (source.path / "a.txt").string()},
                     nullptr, &err),
              1);
    EXPECT_NE(err.find("refused"), std::string::npos) << err;
    EXPECT_EQ(receiver.wait(), 1);
    EXPECT_TRUE(fs::is_empty(target.path));
}

TEST(CliFile, ReceiveChecksItsDirectoryBeforeListening) {
    TempDir dir;
    writeFile(dir.path / "plain.txt", "x");
    fs::path locked = dir.path / "locked";
    fs::create_directory(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    std::string unwritable = locked.string();
    if (std::ofstream(locked / "probe")) {
        // Writable all the same (an administrator, or a system that ignores
        // these permissions on directories).
        fs::remove(locked / "probe");
#ifdef __linux__
        unwritable = "/proc/self";  // nobody creates files there
#else
        unwritable.clear();
#endif
    }
    const std::vector<std::pair<std::string, std::string>> cases = {
        {(dir.path / "missing").string(), "does not exist"},
        {(dir.path / "plain.txt").string(), "is not a directory"},
        {unwritable, "cannot create files in"},
    };
    for (const auto& [target, says] : cases) {
        if (target.empty()) continue;
        std::string err;
        EXPECT_EQ(runCli({"file", "receive", std::to_string(wirekit::test::freeTcpPort()), target},
                         nullptr, &err),
                  1)
            << target;
        EXPECT_NE(err.find(says), std::string::npos) << target << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    fs::permissions(locked, fs::perms::owner_all);
}

// A raw peer: a plain socket that writes whatever bytes a test gives it.
struct RawPeer {
    wirekit::platform::Socket s = wirekit::platform::INVALID_SOCKET_VALUE;
    explicit RawPeer(int port) {
        wirekit::platform::netStartup();
        std::uint32_t loopback = 0;
        wirekit::platform::parseDottedAddress("127.0.0.1", &loopback);
        s = wirekit::platform::tcpSocket();
        if (wirekit::platform::connectTo(s, loopback, port) != 0) close();
    }
    ~RawPeer() {
        close();
        wirekit::platform::netCleanup();
    }
    bool connected() const { return s != wirekit::platform::INVALID_SOCKET_VALUE; }
    bool send(const std::string& bytes) {
        return connected() && wirekit::platform::sendBytes(s, bytes.data(), bytes.size()) ==
                                  static_cast<long>(bytes.size());
    }
    void close() {
        if (!connected()) return;
        wirekit::platform::closeSocket(s);
        s = wirekit::platform::INVALID_SOCKET_VALUE;
    }
};

TEST(CliFile, HostileOfferedNamesStayInsideTheDirectory) {
    if (!fileTransferAvailable()) GTEST_SKIP() << "file transfer not in this build";
    struct Offer {
        std::string offered, data, saved;
    };
    const std::vector<Offer> offers = {
        {"../../evil.txt", "hello", "evil.txt"},
        {"/tmp/evil.txt", "hello", "evil.txt"},
        {"..\\..\\evil.txt", "hello", "evil.txt"},
        {"..", "hello", "received-file"},
        // An empty file is the library's to create: nothing is left beside
        // it, also while the receiver goes on (--keep).
        {"CON.txt", "", "_CON.txt"},
        // UTF-8 on every system, whatever the Windows code page.
        {"r\xc3\xa9sum\xc3\xa9 \xe6\x97\xa5.txt", "hello", "r\xc3\xa9sum\xc3\xa9 \xe6\x97\xa5.txt"},
    };
    for (const auto& [offered, data, saved] : offers) {
        TempDir outer;
        fs::path dir = outer.path / "inbox";
        fs::create_directory(dir);
        int port = wirekit::test::freeTcpPort();
        ChildProcess receiver(
            {"file", "receive", std::to_string(port), dir.string(), "--yes", "--keep"});
        ASSERT_TRUE(receiver.waitForOutput("waiting for files"));
        // The offer, then the data once the receiver has had time to answer.
        RawPeer peer(port);
        ASSERT_TRUE(peer.connected());
        ASSERT_TRUE(
            peer.send("SENDFILE:" + offered + "," + std::to_string(data.size()) + "\x05\x06"));
        ASSERT_TRUE(data.empty() || peer.send(data));
        EXPECT_TRUE(receiver.waitForOutput("saved")) << offered << ": " << receiver.err();
        peer.close();
        EXPECT_EQ(receiver.stop(), 0) << offered << ": " << receiver.err();
        std::vector<fs::path> outside, inside;
        for (const auto& entry : fs::directory_iterator(outer.path)) {
            if (entry.path() != dir) outside.push_back(entry.path());
        }
        for (const auto& entry : fs::directory_iterator(dir)) inside.push_back(entry.path());
        EXPECT_TRUE(outside.empty()) << offered;
        ASSERT_EQ(inside.size(), 1u) << offered;
        EXPECT_EQ(inside[0].filename().u8string(), saved);
        EXPECT_EQ(wirekit::test::readWhole(inside[0]), data) << offered;
        EXPECT_EQ(inside[0].parent_path(), dir);
    }
    EXPECT_FALSE(fs::exists("/tmp/evil.txt.part"));
}

TEST(CliFile, AnInterruptedTransferLeavesNoPartialFile) {
    if (!fileTransferAvailable()) GTEST_SKIP() << "file transfer not in this build";
    TempDir dir;
    int port = wirekit::test::freeTcpPort();
    ChildProcess receiver({"file", "receive", std::to_string(port), dir.path.string(), "--yes"});
    ASSERT_TRUE(receiver.waitForOutput("waiting for a file"));
    RawPeer peer(port);
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(peer.send("SENDFILE:big.bin,1000000\x05\x06"));
    ASSERT_TRUE(peer.send("only a few bytes"));
    ASSERT_TRUE(wirekit::test::waitUntil([&] { return fs::exists(dir.path / "big.bin.part"); }));
    peer.close();  // the connection ends with the file incomplete
    EXPECT_EQ(receiver.wait(), 1);
    EXPECT_TRUE(fs::is_empty(dir.path)) << receiver.err();
}
