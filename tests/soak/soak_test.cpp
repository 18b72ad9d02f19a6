// Mixed traffic for a while: reliable UDP over a lossy link, TCP messages and
// file transfers at the same time. Nothing may fail, and neither descriptors
// nor memory may grow once the warm-up is over.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/timing.h"
#include "filexfer/file_test_support.h"
#include "support/test_support.h"
#include "support/udp_exchange.h"
#include "tcp/tcp_test_peer.h"
#include "wirekit.h"

namespace wirekit::soak::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using filexfer::test::patterned;
using filexfer::test::readFile;
using namespace std::chrono_literals;

// How long a single round of any kind may take before the run fails.
constexpr auto ROUND_LIMIT = 30s;

long secondsFromEnvironment() {
    const char* text = std::getenv("WIREKIT_SOAK_SECONDS");
    long value = text ? std::strtol(text, nullptr, 10) : 0;
    return value > 0 ? value : 5;
}

constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

// Bytes of message `index`: the index, then filler that depends on it, with
// every byte value (framing bytes included) turning up.
std::string messageBytes(long index) {
    std::string out(8 + static_cast<std::size_t>(index * 37 % 3000), '\0');
    const auto wide = static_cast<std::uint64_t>(index);  // long may have 32 bits
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(wide >> (8 * i));
    for (std::size_t i = 8; i < out.size(); ++i) out[i] = static_cast<char>(index + i * 13);
    return out;
}

// What one TCP endpoint saw: a count per event code (bounded: one entry per
// code) and the messages it took, checked as they come.
struct TcpSide {
    std::atomic<void*> handle{nullptr};
    std::mutex lock;
    std::condition_variable changed;
    std::map<int, long> events;
    long delivered = 0;
    long wrong = 0;
    std::string buffer = std::string(8192, '\0');
    std::string receiveDir;  // where accepted files go; empty: refuse offers

    long count(int code) {
        std::lock_guard<std::mutex> guard(lock);
        return events[code];
    }
    template <class Predicate>
    bool waitUntil(Clock::time_point deadline, Predicate predicate) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_until(guard, deadline, [&] { return predicate(*this); });
    }

    void onEvent(int code, int param) {
        void* h = handle.load();
        if (code == TCP_EV_MSG_RECEIVED) {
            std::lock_guard<std::mutex> guard(lock);
            long n = GetMessage_Tcp(h, buffer.data(), static_cast<int>(buffer.size()));
            if (n >= 0 &&
                std::string(buffer.data(), static_cast<std::size_t>(n)) == messageBytes(delivered))
                ++delivered;
            else
                ++wrong;
        } else if (code == TCP_EV_FILE_OFFER) {
            FileRecvOffer offer;
            bool answered = false;
            if (!receiveDir.empty() && GetRecvOffer_Tcp(h, param, &offer) == 1) {
                const std::string target = receiveDir + "/" + offer.fileName;
                answered = SetSavePath_Tcp(h, param, target.c_str()) == 1 &&
                           RecvFile_Tcp(h, param, true) == 1;
            }
            if (!answered) RecvFile_Tcp(h, param, false);
        }
        std::lock_guard<std::mutex> guard(lock);
        ++events[code];
        changed.notify_all();
    }
};

TcpSide g_tcp[4];

template <int N>
void onTcpEvent(int code, int param) {
    g_tcp[N].onEvent(code, param);
}

const EventCallback g_tcpCallbacks[4] = {onTcpEvent<0>, onTcpEvent<1>, onTcpEvent<2>,
                                         onTcpEvent<3>};

void* openTcp(int slot) {
    g_tcp[slot].handle.store(nullptr);
    void* h = Init_Tcp(g_tcpCallbacks[slot]);
    g_tcp[slot].handle.store(h);
    return h;
}

int listenPortOf(void* h) {
    auto endpoint = tcp::test::endpointOf(h);
    return endpoint ? endpoint->listenPort() : -1;
}

// Lets the test hold every worker between two of its rounds, so that counts
// are taken while nothing is in flight.
class Pause {
public:
    explicit Pause(int workers) : active_(workers) {}

    // Called by a worker between rounds: waits while a hold is requested.
    void point() {
        std::unique_lock<std::mutex> guard(lock_);
        if (!requested_) return;
        ++parked_;
        changed_.notify_all();
        changed_.wait(guard, [&] { return !requested_; });
        --parked_;
    }
    // Called by a worker that ends, so that a hold does not wait for it.
    void leave() {
        std::lock_guard<std::mutex> guard(lock_);
        --active_;
        changed_.notify_all();
    }
    // True once every running worker waits, within `limit`.
    bool hold(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> guard(lock_);
        requested_ = true;
        return changed_.wait_for(guard, limit, [&] { return parked_ >= active_; });
    }
    void release() {
        std::lock_guard<std::mutex> guard(lock_);
        requested_ = false;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool requested_ = false;
    int parked_ = 0;
    int active_;
};

struct Figures {
    std::atomic<long> udpMessages{0};
    std::atomic<long> udpRounds{0};
    std::atomic<long> tcpMessages{0};
    std::atomic<long> files{0};
    std::atomic<long long> fileBytes{0};
    std::mutex lock;
    std::vector<std::string> failures;

    void fail(const std::string& what) {
        std::lock_guard<std::mutex> guard(lock);
        if (failures.size() < 20) failures.push_back(what);
    }
    bool failed() {
        std::lock_guard<std::mutex> guard(lock);
        return !failures.empty();
    }
};

// Rounds of messages both ways over the lossy link until `stop`.
void udpTraffic(const std::atomic<bool>& stop, Figures& figures, Pause& pause) {
    wirekit::test::LinkConfig config;
    config.seed = 99;
    config.messages.drop = config.acks.drop = 0.2;
    config.messages.duplicate = config.acks.duplicate = 0.1;
    config.messages.reorder = config.acks.reorder = 0.1;
    config.messages.delayMaxMs = config.acks.delayMaxMs = 1;
    config.messages.reorderHoldMs = config.acks.reorderHoldMs = 10;
    wirekit::test::UdpExchange exchange(config);
    if (!exchange.ok()) return figures.fail("udp: endpoints or link did not start");
    long expected = 0;
    for (; !stop.load() && !figures.failed(); pause.point()) {
        const long round = 100;
        wirekit::test::ExchangeResult r = exchange.run(round, ROUND_LIMIT);
        expected += round;
        for (const auto* t : {&r.atA, &r.atB}) {
            if (!r.finished || t->delivered != expected || t->repeated || t->skipped || t->damaged)
                return figures.fail(
                    "udp: round " + std::to_string(expected / round) + " delivered " +
                    std::to_string(t->delivered) + "/" + std::to_string(expected) + ", repeated " +
                    std::to_string(t->repeated) + ", skipped " + std::to_string(t->skipped) +
                    ", damaged " + std::to_string(t->damaged));
        }
        figures.udpMessages += 2 * round;
        ++figures.udpRounds;
    }
}

// Rounds of framed messages from a client to a server until `stop`.
void tcpTraffic(const std::atomic<bool>& stop, Figures& figures, Pause& pause) {
    TcpSide& server = g_tcp[0];
    void* s = openTcp(0);
    void* c = openTcp(1);
    if (ListenMessage_Tcp(s, 0) != 1 || Connect_Tcp(c, "127.0.0.1", listenPortOf(s)) != 1) {
        figures.fail("tcp: no connection");
    } else {
        long sent = 0;
        for (; !stop.load() && !figures.failed(); pause.point()) {
            for (int i = 0; i < 200; ++i, ++sent) {
                const std::string m = messageBytes(sent);
                if (SendMessage_Tcp(c, m.data(), static_cast<int>(m.size())) != 1) {
                    figures.fail("tcp: message " + std::to_string(sent) + " not sent");
                    break;
                }
            }
            const bool arrived = server.waitUntil(Clock::now() + ROUND_LIMIT, [&](TcpSide& side) {
                return side.delivered + side.wrong >= sent;
            });
            std::lock_guard<std::mutex> guard(server.lock);
            if (!arrived || server.wrong != 0 || server.delivered != sent) {
                figures.fail("tcp: " + std::to_string(server.delivered) + " of " +
                             std::to_string(sent) + " delivered, " + std::to_string(server.wrong) +
                             " wrong");
                break;
            }
            figures.tcpMessages.store(server.delivered);
        }
    }
    Close_Tcp(c);
    Close_Tcp(s);
}

// Rounds of two files sent at once until `stop`; each must arrive identical.
void fileTraffic(const std::atomic<bool>& stop, Figures& figures, Pause& pause,
                 const fs::path& dir) {
    TcpSide& server = g_tcp[2];
    TcpSide& client = g_tcp[3];
    fs::create_directories(dir / "out");
    fs::create_directories(dir / "in");
    server.receiveDir = (dir / "in").string();
    void* s = openTcp(2);
    void* c = openTcp(3);
    std::mt19937 random(5);
    if (ListenMessage_Tcp(s, 0) != 1 || Connect_Tcp(c, "127.0.0.1", listenPortOf(s)) != 1) {
        figures.fail("files: no connection");
    } else {
        long done = 0;
        for (; !stop.load() && !figures.failed(); pause.point()) {
            std::vector<std::pair<std::string, std::string>> files;
            for (int i = 0; i < 2; ++i) {
                // Sizes from one byte to a few chunks, chunk edges included.
                std::size_t size = std::uniform_int_distribution<std::size_t>(1, 300000)(random);
                if (done % 7 == 3) size = 40960;
                const std::string name = "f" + std::to_string(done + i) + ".bin";
                files.emplace_back(name, patterned(size, static_cast<unsigned>(done + i)));
                std::ofstream(dir / "out" / name, std::ios::binary) << files.back().second;
            }
            for (const auto& f : files)
                if (SendFile_Tcp(c, (dir / "out" / f.first).string().c_str()) != 1)
                    figures.fail("files: " + f.first + " not queued");
            const long target = done + static_cast<long>(files.size());
            const Clock::time_point deadline = Clock::now() + ROUND_LIMIT;
            const bool sent = client.waitUntil(
                deadline, [&](TcpSide& side) { return side.events[TCP_EV_SEND_DONE] >= target; });
            // Each job's connection ends after its file, with 3013 on the
            // receiver; waiting for that keeps rounds from overlapping.
            const bool received = server.waitUntil(deadline, [&](TcpSide& side) {
                return side.events[TCP_EV_RECV_DONE] >= target &&
                       side.events[TCP_EV_RECV_FAILED] >= target;
            });
            if (!sent || !received) {
                figures.fail("files: round ending at " + std::to_string(target) +
                             " did not complete");
                break;
            }
            for (const auto& f : files) {
                if (readFile(dir / "in" / f.first) != f.second)
                    figures.fail("files: " + f.first + " differs");
                figures.fileBytes += static_cast<long long>(f.second.size());
                std::error_code ignored;
                fs::remove(dir / "out" / f.first, ignored);
                fs::remove(dir / "in" / f.first, ignored);
            }
            done = target;
            figures.files.store(done);
        }
    }
    Close_Tcp(c);
    Close_Tcp(s);
    for (int code :
         {TCP_EV_SEND_STOPPED, TCP_EV_SEND_OPEN_FAILED, TCP_EV_SEND_FAILED, TCP_EV_DISCONNECTED})
        if (long n = client.count(code))
            figures.fail("files: sender raised " + std::to_string(code) + " x" + std::to_string(n));
    // The 3013 that ends each job's connection is the only one allowed.
    if (server.count(TCP_EV_RECV_FAILED) > server.count(TCP_EV_RECV_DONE))
        figures.fail("files: a receive failed");
}

// Descriptors and memory while every worker is held between rounds.
struct Snapshot {
    int descriptors = -1;
    long residentKiB = -1;
};

TEST(Soak, MixedTrafficDeliversEverythingAndStaysFlat) {
    const auto duration = std::chrono::seconds(secondsFromEnvironment());
    // Long enough for buffers, thread stacks and allocator pools to reach
    // their working size.
    const auto warmUp = std::max<Clock::duration>(1s, duration / 5);
    timing::setUdpResendMs(4);
    const fs::path dir =
        fs::temp_directory_path() /
        ("wirekit_soak_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
         std::to_string(reinterpret_cast<std::uintptr_t>(&duration)));
    const int descriptorsBefore = wirekit::test::openDescriptors();

    Figures figures;
    Pause pause(3);
    std::atomic<bool> stop{false};
    auto worker = [&](auto body) {
        return std::thread([&, body] {
            body();
            pause.leave();
        });
    };
    const Clock::time_point start = Clock::now();
    std::thread workers[] = {
        worker([&] { udpTraffic(stop, figures, pause); }),
        worker([&] { tcpTraffic(stop, figures, pause); }),
        worker([&] { fileTraffic(stop, figures, pause, dir); }),
    };
    // Bounded waits that end early once a worker has failed.
    auto runUntil = [&](Clock::time_point until) {
        std::mutex m;
        std::condition_variable never;
        std::unique_lock<std::mutex> guard(m);
        while (Clock::now() < until && !figures.failed()) never.wait_for(guard, 100ms);
    };
    auto snapshot = [&] {
        Snapshot s;
        if (!pause.hold(ROUND_LIMIT)) figures.fail("a worker did not reach the end of its round");
        s.descriptors = wirekit::test::openDescriptors();
        s.residentKiB = wirekit::test::statusField("VmRSS");
        return s;
    };

    runUntil(start + warmUp);
    const Snapshot warm = snapshot();
    pause.release();
    runUntil(start + duration);
    Snapshot end = snapshot();
    // A connection whose peer has just seen its end may still be closing.
    if (end.descriptors > warm.descriptors)
        wirekit::test::waitUntil(
            [&] {
                end.descriptors = wirekit::test::openDescriptors();
                return end.descriptors <= warm.descriptors;
            },
            5s);
    stop.store(true);
    pause.release();
    for (auto& t : workers) t.join();
    timing::restoreDefaults();
    std::error_code ignored;
    fs::remove_all(dir, ignored);

    for (const auto& f : figures.failures) ADD_FAILURE() << f;
    std::printf(
        "[soak] %lld s: %ld UDP messages over the lossy link (%ld rounds), %ld TCP "
        "messages, %ld files (%lld bytes); descriptors %d after warm-up, %d at the end; "
        "RSS %ld KiB after warm-up, %ld KiB at the end\n",
        static_cast<long long>(duration.count()), figures.udpMessages.load(),
        figures.udpRounds.load(), figures.tcpMessages.load(), figures.files.load(),
        figures.fileBytes.load(), warm.descriptors, end.descriptors, warm.residentKiB,
        end.residentKiB);
    EXPECT_GT(figures.udpMessages.load(), 0);
    EXPECT_GT(figures.tcpMessages.load(), 0);
    EXPECT_GT(figures.files.load(), 0);
    EXPECT_LE(end.descriptors, warm.descriptors);
    // Sanitizers keep freed memory in quarantine, so the figure means
    // nothing there.
    if (warm.residentKiB > 0 && end.residentKiB > 0 && !kSanitized) {
        EXPECT_LE(end.residentKiB, warm.residentKiB + 8 * 1024);
    }
    EXPECT_TRUE(wirekit::test::waitUntil(
        [&] { return wirekit::test::openDescriptors() == descriptorsBefore; }, 5s))
        << wirekit::test::openDescriptors() << " open, " << descriptorsBefore << " before";
}

}  // namespace
}  // namespace wirekit::soak::test
