// wirekit demo: every capability of the library on loopback, in one process,
// with a short report. Every wait has a deadline; the run takes seconds.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace fs = std::filesystem;

namespace cli {

const char* const DEMO_HELP =
    "usage: wirekit demo\n"
    "\n"
    "Runs every capability of the library on loopback (127.0.0.1) in this process:\n"
    "reliable UDP messages between two endpoints, TCP messages both ways, a file\n"
    "transfer of a few megabytes with a pause and a resume (in a temporary folder\n"
    "that is removed afterwards), DES in both key sizes and compression. Prints a\n"
    "report with the events seen on standard output; exits 0 only when every step\n"
    "checked out. The lines 'Receive Thread Started.' and 'Receive Thread Ended.'\n"
    "on standard error are the library's own, written as each UDP endpoint's\n"
    "receive thread starts and ends.\n";

namespace {

constexpr const char* LOOPBACK = "127.0.0.1";
void* const NO_HANDLE = reinterpret_cast<void*>(-1);

struct Step {
    explicit Step(std::string stepName) : name(std::move(stepName)) {}
    std::string name;
    bool ok = false;
    bool skipped = false;
    std::string detail;
    std::string events;
};

std::mt19937& rng() {
    static std::mt19937 generator{std::random_device{}()};
    return generator;
}

int randomBase() { return std::uniform_int_distribution<int>(20000, 59000)(rng()); }

int countOf(const std::vector<int>& codes, int code) {
    int n = 0;
    for (int c : codes) n += c == code;
    return n;
}

// Polls until `condition` holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline || interrupted()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool seen(int slot, int code, int times = 1) { return countOf(seenCodes(slot), code) >= times; }

std::string events(const char* who, int slot) {
    return std::string(who) + ": " + summariseCodes(seenCodes(slot));
}

// The receiver's events of the file step. A 3013 after 3011 is the file's
// connection ending once the file is complete, and is labelled so.
std::string fileEvents(const char* who, int slot) {
    std::vector<int> codes = seenCodes(slot);
    std::string text = summariseCodes(codes);
    auto done = std::find(codes.begin(), codes.end(), TCP_EV_RECV_DONE);
    if (done != codes.end() && std::find(done, codes.end(), TCP_EV_RECV_FAILED) != codes.end() &&
        std::find(codes.begin(), done, TCP_EV_RECV_FAILED) == done) {
        const std::string name = wirekit_event_name(TCP_EV_RECV_FAILED);
        size_t at = text.find(name);
        if (at != std::string::npos) {
            text.insert(at + name.size(), " (connection closed after the file)");
        }
    }
    return std::string(who) + ": " + text;
}

// --- UDP ------------------------------------------------------------------

Step udpStep() {
    Step step("UDP");
    const std::string fromA = "hello from A", fromB = "hello from B";
    // A port pair another program holds makes the exchange fail; try others.
    for (int attempt = 0; attempt < 8 && !step.ok; ++attempt) {
        resetSlot(1);
        resetSlot(2);
        int port = randomBase();
        void* a = Init_Udp(port, callbackFor(1), 55, 77, 0);
        void* b = Init_Udp(port + 1, callbackFor(2), 55, 77, 0);
        if (a != NO_HANDLE && b != NO_HANDLE && ListenMessage_Udp(a) && ListenMessage_Udp(b) &&
            SendMessage_Udp(a, LOOPBACK, port + 1, fromA.data(), static_cast<int>(fromA.size())) &&
            SendMessage_Udp(b, LOOPBACK, port, fromB.data(), static_cast<int>(fromB.size())) &&
            waitUntil(
                [] {
                    return seen(1, UDP_EV_MSG_RECEIVED) && seen(2, UDP_EV_MSG_RECEIVED) &&
                           seen(1, UDP_EV_ACKED) && seen(2, UDP_EV_ACKED);
                },
                std::chrono::seconds(3))) {
            char atB[128] = {0}, atA[128] = {0};
            long nB = GetMessage_Udp(b, atB, sizeof atB - 1);
            long nA = GetMessage_Udp(a, atA, sizeof atA - 1);
            std::string expectB = std::string(LOOPBACK) + ":" + fromA;
            std::string expectA = std::string(LOOPBACK) + ":" + fromB;
            step.ok = nB == static_cast<long>(fromA.size()) && expectB == atB &&
                      nA == static_cast<long>(fromB.size()) && expectA == atA;
            step.detail = "ports " + std::to_string(port) + " and " + std::to_string(port + 1) +
                          ": A -> B \"" + fromA + "\", B -> A \"" + fromB + "\", " +
                          (step.ok ? "both delivered once and acknowledged" : "wrong content");
        } else {
            step.detail =
                "no exchange on ports " + std::to_string(port) + "/" + std::to_string(port + 1);
        }
        if (a != NO_HANDLE) Close_Udp(a);
        if (b != NO_HANDLE) Close_Udp(b);
    }
    step.events = events("A", 1) + "; " + events("B", 2);
    return step;
}

// --- TCP ------------------------------------------------------------------

// Two TCP endpoints listening on neighbouring ports; false when none found.
bool listenPair(void*& first, void*& second, int& port) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        port = randomBase();
        if (ListenMessage_Tcp(first, port) && ListenMessage_Tcp(second, port + 1)) return true;
        StopListen_Tcp(first);
        StopListen_Tcp(second);
    }
    return false;
}

std::string takeTcpMessage(void* h) {
    char buffer[256];
    long n = GetMessage_Tcp(h, buffer, sizeof buffer);
    return n < 0 ? std::string("(none)") : std::string(buffer, static_cast<size_t>(n));
}

Step tcpStep() {
    Step step("TCP");
    resetSlot(1);
    resetSlot(2);
    void* a = Init_Tcp(callbackFor(1));
    void* b = Init_Tcp(callbackFor(2));
    int port = 0;
    const std::string ping = "ping from B", pong = "pong from A";
    if (a == NO_HANDLE || b == NO_HANDLE || !listenPair(a, b, port)) {
        step.detail = "could not listen on two local ports";
    } else if (!Connect_Tcp(b, LOOPBACK, port) ||
               !SendMessage_Tcp(b, ping.data(), static_cast<int>(ping.size())) ||
               !waitUntil([] { return seen(1, TCP_EV_MSG_RECEIVED); }, std::chrono::seconds(5))) {
        step.detail = "B -> A did not arrive";
    } else if (takeTcpMessage(a) != ping) {
        step.detail = "A received the wrong text";
    } else if (!Connect_Tcp(a, LOOPBACK, port + 1) ||
               !SendMessage_Tcp(a, pong.data(), static_cast<int>(pong.size())) ||
               !waitUntil([] { return seen(2, TCP_EV_MSG_RECEIVED); }, std::chrono::seconds(5))) {
        step.detail = "A -> B did not arrive";
    } else if (takeTcpMessage(b) != pong) {
        step.detail = "B received the wrong text";
    } else {
        step.ok = true;
        // Each side answers over a connection of its own to the other's listener.
        step.detail = "A on port " + std::to_string(port) + ", B on " + std::to_string(port + 1) +
                      ": B -> A \"" + ping + "\", A -> B \"" + pong +
                      "\" (each over its own connection)";
    }
    if (a != NO_HANDLE) Close_Tcp(a);
    if (b != NO_HANDLE) Close_Tcp(b);
    step.events = events("A", 1) + "; " + events("B", 2);
    return step;
}

// --- File transfer ----------------------------------------------------------

constexpr int RECEIVER_SLOT = 3, SENDER_SLOT = 4;
constexpr int64_t DEMO_FILE_BYTES = 4 * 1024 * 1024;
std::atomic<void*> receiverHandle{nullptr};
std::atomic<bool> pauseArmed{false};

// Runs on the receiving session's thread: pausing right after the first
// data guarantees the pause lands mid-transfer however fast loopback is.
void pauseOnFirstData(int code, int param) {
    if (code == TCP_EV_RECV_STARTED && pauseArmed.exchange(false)) {
        PauseRecvFile_Tcp(receiverHandle.load(), param);
    }
}

bool sameContents(const fs::path& x, const fs::path& y) {
    std::ifstream a(x, std::ios::binary), b(y, std::ios::binary);
    if (!a || !b) return false;
    std::vector<char> bufA(65536), bufB(65536);
    while (a && b) {
        a.read(bufA.data(), static_cast<std::streamsize>(bufA.size()));
        b.read(bufB.data(), static_cast<std::streamsize>(bufB.size()));
        if (a.gcount() != b.gcount() ||
            std::memcmp(bufA.data(), bufB.data(), static_cast<size_t>(a.gcount())) != 0) {
            return false;
        }
    }
    return a.eof() && b.eof();
}

// The two endpoints of the file step: the receiver listens on a free local
// port and the sender is connected to it.
struct FilePair {
    void* receiver = NO_HANDLE;
    void* sender = NO_HANDLE;
    int port = 0;
};

bool openFilePair(FilePair& pair) {
    pair.receiver = Init_Tcp(callbackFor(RECEIVER_SLOT));
    pair.sender = Init_Tcp(callbackFor(SENDER_SLOT));
    receiverHandle.store(pair.receiver);
    for (int attempt = 0; attempt < 20 && pair.receiver != NO_HANDLE; ++attempt) {
        pair.port = randomBase();
        if (ListenMessage_Tcp(pair.receiver, pair.port)) break;
        pair.port = 0;
    }
    return pair.port != 0 && pair.sender != NO_HANDLE &&
           Connect_Tcp(pair.sender, LOOPBACK, pair.port);
}

void closeFilePair(FilePair& pair) {
    if (pair.sender != NO_HANDLE) Close_Tcp(pair.sender);
    if (pair.receiver != NO_HANDLE) Close_Tcp(pair.receiver);
    pair.sender = pair.receiver = NO_HANDLE;
}

// What the receiving side saw of the transfer.
struct Reception {
    bool done = false;
    bool paused = false;
    bool pauseHeld = false;  // no byte was written while paused
    int64_t pausedAt = 0;
    int64_t received = 0;
    std::string problem;
};

// Accepts the offer into `part` when it names the demo file with its size.
void acceptDemoOffer(void* receiver, long offerHandle, const fs::path& part, Reception& reception) {
    FileRecvOffer offer;
    if (!GetRecvOffer_Tcp(receiver, offerHandle, &offer) ||
        std::string(offer.fileName) != "demo-data.bin" || offer.fileSize != DEMO_FILE_BYTES) {
        RecvFile_Tcp(receiver, offerHandle, false);
        reception.problem = "the offer had the wrong name or size";
    } else if (!SetSavePath_Tcp(receiver, offerHandle, part.string().c_str()) ||
               !RecvFile_Tcp(receiver, offerHandle, true)) {
        reception.problem = "could not accept the offer";
    }
}

// The first progress event in the paused state: checks that the count
// stands still while paused, then resumes.
void holdPause(void* receiver, long offerHandle, Reception& reception) {
    FileRecvOffer offer;
    reception.paused = true;
    // A receive already under way when the pause came may still add its
    // bytes; after that nothing more may be written while paused.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (GetRecvOffer_Tcp(receiver, offerHandle, &offer)) reception.received = offer.bytesReceived;
    reception.pausedAt = reception.received;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    reception.pauseHeld = GetRecvOffer_Tcp(receiver, offerHandle, &offer) &&
                          offer.bytesReceived == reception.pausedAt &&
                          reception.pausedAt < DEMO_FILE_BYTES;
    ResumeRecvFile_Tcp(receiver, offerHandle);
}

// Follows the receiver's events until the file is complete, fails or the
// step's time is up.
void followReception(void* receiver, const fs::path& part, Reception& reception) {
    Progress progress("       file", DEMO_FILE_BYTES);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!reception.done && reception.problem.empty()) {
        Event event;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !nextEvent(RECEIVER_SLOT, event, left)) {
            reception.problem = "timed out";
            break;
        }
        FileRecvOffer offer;
        switch (event.code) {
            case TCP_EV_FILE_OFFER:
                acceptDemoOffer(receiver, event.param, part, reception);
                break;
            case TCP_EV_RECV_PROGRESS:
                if (!GetRecvOffer_Tcp(receiver, event.param, &offer)) break;
                reception.received = offer.bytesReceived;
                if (offer.state == OFFER_PAUSED && !reception.paused) {
                    holdPause(receiver, event.param, reception);
                }
                progress.update(reception.received);
                break;
            case TCP_EV_RECV_DONE:
                reception.received = DEMO_FILE_BYTES;
                reception.done = true;
                break;
            case TCP_EV_RECV_FAILED:
                reception.problem = "the receive failed";
                break;
            case TCP_EV_DISCONNECTED:
                reception.problem = "the connection failed";
                break;
            default:
                break;
        }
    }
    progress.finish(reception.received, reception.done ? "received" : "incomplete");
}

// The transfer itself, between two endpoints; fills step.detail.
bool transferFile(Step& step, const fs::path& source, const fs::path& saveDir) {
    pauseArmed.store(true);
    setHook(RECEIVER_SLOT, pauseOnFirstData);
    bool ok = false;
    FilePair pair;
    fs::path part = saveDir / "demo-data.bin.part", saved = saveDir / "demo-data.bin";
    if (!openFilePair(pair)) {
        step.detail = "could not connect two local endpoints";
    } else if (!SendFile_Tcp(pair.sender, source.string().c_str())) {
        step.skipped = true;
        step.detail = "skipped: not available (this build has no file transfer)";
    } else {
        Reception reception;
        followReception(pair.receiver, part, reception);
        bool senderDone =
            reception.done &&
            waitUntil([] { return seen(SENDER_SLOT, TCP_EV_SEND_DONE); }, std::chrono::seconds(10));
        // The sender closes the file's connection once the job is done; the
        // receiver reports that end with 3013 after 3011.
        bool closedAfterFile =
            senderDone && waitUntil([] { return seen(RECEIVER_SLOT, TCP_EV_RECV_FAILED); },
                                    std::chrono::seconds(5));
        closeFilePair(pair);
        std::error_code error;
        bool renamed = reception.done && waitUntil(
                                             [&] {
                                                 fs::rename(part, saved, error);
                                                 return !error;
                                             },
                                             std::chrono::seconds(5));
        bool same = renamed && sameContents(source, saved);
        ok = reception.done && senderDone && reception.paused && reception.pauseHeld && same;
        if (!reception.problem.empty())
            step.detail = reception.problem;
        else if (!senderDone)
            step.detail = "the sender did not report completion";
        else if (!reception.paused || !reception.pauseHeld)
            step.detail = "the pause did not hold";
        else if (!same)
            step.detail = "the received file differs";
        else
            step.detail = formatBytes(DEMO_FILE_BYTES) + " offered and accepted, paused at " +
                          std::to_string(reception.pausedAt) +
                          " bytes for 0.3 s, resumed, received identical" +
                          (closedAfterFile ? "; connection closed after the file" : "");
    }
    setHook(RECEIVER_SLOT, nullptr);
    closeFilePair(pair);
    receiverHandle.store(nullptr);
    return ok;
}

Step fileStep() {
    Step step("file");
    resetSlot(RECEIVER_SLOT);
    resetSlot(SENDER_SLOT);
    std::error_code error;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(rng()()));
    fs::path dir = fs::temp_directory_path(error) / (std::string("wirekit-demo-") + suffix);
    fs::path source = dir / "demo-data.bin", saveDir = dir / "received";
    if (error || !fs::create_directories(saveDir, error)) {
        step.detail = "could not create a temporary folder";
        return step;
    }
    {
        std::ofstream out(source, std::ios::binary);
        std::vector<char> block(65536);
        for (int64_t written = 0; written < DEMO_FILE_BYTES;
             written += static_cast<int64_t>(block.size())) {
            for (char& c : block) c = static_cast<char>(rng()());
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
        if (!out) step.detail = "could not write the test file";
    }
    if (step.detail.empty()) step.ok = transferFile(step, source, saveDir);
    fs::remove_all(dir, error);
    if (fs::exists(dir)) {
        step.ok = false;
        step.detail += "; the temporary folder " + dir.string() + " could not be removed";
    }
    step.events = fileEvents("receiver", RECEIVER_SLOT) + "; " + events("sender", SENDER_SLOT);
    return step;
}

// --- DES and compression -------------------------------------------------------

Step desStep() {
    Step step("DES");
    std::string text = "wirekit demo: a short text for the block cipher.";
    std::vector<unsigned char> plain(text.begin(), text.end());
    plain.resize((plain.size() + 7) / 8 * 8, 0);
    int length = static_cast<int>(plain.size());
    const std::string singleKey = "8bytekey", tripleKey = "sixteen byte key";
    bool ok = true;
    std::vector<unsigned char> cipherSingle(plain.size()), cipherTriple(plain.size()),
        back(plain.size());
    auto roundTrip = [&](const std::string& key, std::vector<unsigned char>& cipher) {
        const unsigned char* k = reinterpret_cast<const unsigned char*>(key.data());
        int kl = static_cast<int>(key.size());
        return Des_Go(cipher.data(), plain.data(), length, k, kl, false) && cipher != plain &&
               Des_Go(back.data(), cipher.data(), length, k, kl, true) && back == plain;
    };
    ok = roundTrip(singleKey, cipherSingle) && roundTrip(tripleKey, cipherTriple) &&
         cipherSingle != cipherTriple;
    step.ok = ok;
    step.detail = ok ? std::to_string(length) +
                           " bytes encrypted and decrypted with an 8-byte key "
                           "(DES) and a 16-byte key (triple DES); the two ciphertexts differ"
                     : "a round trip did not give the text back";
    return step;
}

Step compressStep() {
    Step step("compression");
    std::string text;
    for (int i = 0; text.size() < 256 * 1024; ++i) {
        text += "event " + std::to_string(i % 97) + ": UDP_EV_ACKED from 127.0.0.1\n";
    }
    unsigned int length = static_cast<unsigned int>(text.size());
    std::vector<unsigned char> packed(CompressBound(length));
    unsigned int packedLength = static_cast<unsigned int>(packed.size());
    const unsigned char* source = reinterpret_cast<const unsigned char*>(text.data());
    std::vector<unsigned char> back(length);
    unsigned int backLength = length;
    step.ok = Compress(packed.data(), &packedLength, source, length) == 0 &&
              Uncompress(back.data(), &backLength, packed.data(), packedLength) == 0 &&
              backLength == length && std::memcmp(back.data(), source, length) == 0;
    char detail[160];
    std::snprintf(detail, sizeof detail, "%u bytes -> %u bytes (ratio %.1f:1), restored %s", length,
                  packedLength, packedLength ? static_cast<double>(length) / packedLength : 0.0,
                  step.ok ? "exactly" : "WRONG");
    step.detail = detail;
    return step;
}

}  // namespace

int runDemo(Args& args) {
    if (!args.positionals().empty()) throw UsageError{"takes no arguments"};
    printOut("wirekit demo (library %s, probe \"%s\"), everything on %s\n\n",
             WIREKIT_VERSION_STRING, hello(), LOOPBACK);
    std::vector<Step> steps;
    for (auto run : {udpStep, tcpStep, fileStep, desStep, compressStep}) {
        if (interrupted()) break;
        Step step = run();
        printOut("[%s] %-12s %s\n",
                 step.skipped ? "skip"
                 : step.ok    ? " ok "
                              : "FAIL",
                 step.name.c_str(), step.detail.c_str());
        if (!step.events.empty()) printOut("       events  %s\n", step.events.c_str());
        steps.push_back(step);
    }
    int passed = 0, skipped = 0;
    for (const Step& step : steps) {
        passed += step.ok;
        skipped += step.skipped;
    }
    bool allPassed = passed + skipped == 5 && !interrupted();
    printOut("\n%s: %d of 5 steps passed%s\n", allPassed ? "demo succeeded" : "demo FAILED", passed,
             skipped ? (", " + std::to_string(skipped) + " skipped").c_str() : "");
    return allPassed ? EXIT_OK : EXIT_FAILED;
}

}  // namespace cli
