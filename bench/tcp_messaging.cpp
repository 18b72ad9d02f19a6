// TCP messaging between two endpoints on loopback, next to raw blocking TCP
// doing the same work in the same run, both ends in this process:
//   (a) 64 KiB messages: MB/s and CPU time per MiB
//   (b) 100-byte messages: messages/s and CPU time per message
//   (d) 256 KiB messages, past the size from which message buffers come
//       from the system rather than the heap: as (a)
//   (c) round trip of a 100-byte message answered over the peer's own
//       connection: p50 / p99 / max in microseconds
// Payloads are random bytes (about one 0x05 in 256, which the framing
// doubles), drawn in turn from a pool larger than a core's own caches; a row of 'x'
// payloads (no byte to escape) is printed for comparison. Each row runs the
// endpoints and the raw baseline in alternating pairs (which one goes first
// alternates too) and reports the median of the per-pair ratios. CPU time is
// the process's user and system time (getrusage) over the run.
//
// "sw/msg" is the process's context switches per message. About 1 means the
// receiving thread caught up and slept until each next message woke it;
// about 0 means it found the next one already there. On a virtual machine a
// sleep and its wake-up cost more CPU than the framing of a 64 KiB message,
// and which way a run goes can change from one run to the next, for either
// side: compare pairs whose sides ran the same way, and the user time, which
// the wake-ups barely touch.
//
// The endpoint side takes every message with GetMessage_Tcp from its 3002
// handler. The raw side sends each message as a 4-byte length and the
// payload in one write and parses the length-prefixed stream in place in a
// 256 KiB block (two messages' worth for row d). Both use TCP_NODELAY on both ends. Connection
// set-up is outside the timed part on both sides.
//
//   tcp_messaging [MiB per bulk run (256)] [small messages per run (200000)]
//                 [pairs (5)] [rows to run, e.g. "bc" (all: "abcd")]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/registry.h"
#include "bench_support.h"
#include "platform/platform.h"
#include "tcp/framing.h"
#include "tcp/tcp_endpoint.h"
#include "wirekit.h"

namespace {

using wirekit::bench::median;

using Clock = std::chrono::steady_clock;
using wirekit::platform::Socket;
namespace platform = wirekit::platform;

constexpr int BIG = 64 * 1024;
constexpr int LARGE = 256 * 1024;
constexpr int SMALL = 100;
constexpr int ROUND_TRIPS = 2000;  // per pair
constexpr std::size_t RAW_BLOCK = 256 * 1024;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- Payloads -------------------------------------------------------------
// `count` payloads of `size` bytes laid out back to back, each behind a
// 4-byte length, so that the raw side sends one straight from the pool.
struct Pool {
    int size = 0;
    std::size_t count = 0;
    std::vector<unsigned char> frames;
    const unsigned char* frame(std::size_t i) const { return &frames[(i % count) * (4 + size)]; }
    const unsigned char* payload(std::size_t i) const { return frame(i) + 4; }
    double escapesPerMessage = 0;
};

Pool makePool(int size, std::size_t count, bool random) {
    Pool pool;
    pool.size = size;
    pool.count = count;
    pool.frames.resize(count * (4 + static_cast<std::size_t>(size)));
    std::mt19937 generator(20240917);
    long long escapes = 0;
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char* f = &pool.frames[i * (4 + size)];
        const auto n = static_cast<std::uint32_t>(size);
        std::memcpy(f, &n, 4);
        for (int k = 0; k < size; ++k) {
            f[4 + k] = random ? static_cast<unsigned char>(generator() >> 24) : 'x';
            escapes += f[4 + k] == 0x05;
        }
    }
    pool.escapesPerMessage = static_cast<double>(escapes) / static_cast<double>(count);
    return pool;
}

// ---- Counting what arrives, for both sides --------------------------------
// Each arrival is checked against the pool entry it should be (messages
// arrive in order), so a side that mangles or drops messages shows.
const Pool* g_expected = nullptr;
std::atomic<long long> g_messages{0};
std::atomic<long long> g_target{-1};
std::atomic<bool> g_wrong{false};
std::mutex g_lock;
std::condition_variable g_reached;

void countArrival(const unsigned char* data, std::size_t n) {
    const long long index = g_messages.load(std::memory_order_relaxed);
    const unsigned char* want = g_expected->payload(static_cast<std::size_t>(index));
    if (n != static_cast<std::size_t>(g_expected->size) || data[0] != want[0] ||
        data[n - 1] != want[n - 1] || data[n / 2] != want[n / 2])
        g_wrong = true;
    if (g_messages.fetch_add(1) + 1 == g_target.load()) {
        std::lock_guard<std::mutex> guard(g_lock);
        g_reached.notify_all();
    }
}

void expect(const Pool& pool, long long count) {
    g_expected = &pool;
    g_messages = 0;
    g_target = count;
    g_wrong = false;
}

// Waits for the expected count; false when nothing moved for 30 s.
bool waitForArrivals() {
    std::unique_lock<std::mutex> guard(g_lock);
    long long seen = -1;
    while (g_messages.load() < g_target.load()) {
        if (g_messages.load() == seen) return false;
        seen = g_messages.load();
        g_reached.wait_for(guard, std::chrono::seconds(30),
                           [] { return g_messages.load() >= g_target.load(); });
    }
    return true;
}

// ---- The endpoint side ------------------------------------------------------
void* g_server = nullptr;
void* g_client = nullptr;
std::atomic<bool> g_echo{false};
std::vector<unsigned char> g_serverBuffer(LARGE);
std::vector<unsigned char> g_clientBuffer(LARGE);

void WIREKIT_CALLBACK onServerEvent(int code, int) {
    if (code != TCP_EV_MSG_RECEIVED) return;
    long n = GetMessage_Tcp(g_server, g_serverBuffer.data(), LARGE);
    if (n < 0) return;
    if (g_echo.load()) {
        SendMessage_Tcp(g_server, g_serverBuffer.data(), static_cast<int>(n));
    } else {
        countArrival(g_serverBuffer.data(), static_cast<std::size_t>(n));
    }
}

void WIREKIT_CALLBACK onClientEvent(int code, int) {
    if (code != TCP_EV_MSG_RECEIVED) return;
    long n = GetMessage_Tcp(g_client, g_clientBuffer.data(), LARGE);
    if (n >= 0) countArrival(g_clientBuffer.data(), static_cast<std::size_t>(n));
}

int listenPortOf(void* h) {
    return wirekit::api::EndpointRegistry::instance().findTcp(h).tcp->listenPort();
}

// ---- The raw side -----------------------------------------------------------
struct RawLink {
    Socket writer = platform::INVALID_SOCKET_VALUE;
    Socket reader = platform::INVALID_SOCKET_VALUE;
};

RawLink rawLink() {
    Socket listener = platform::tcpSocket();
    platform::bindListener(listener, 0);
    platform::listenOn(listener, 5);
    std::uint32_t loopback = 0;
    platform::parseDottedAddress("127.0.0.1", &loopback);
    RawLink link;
    link.writer = platform::tcpSocket();
    platform::connectTo(link.writer, loopback, platform::localPort(listener));
    link.reader = platform::acceptConnection(listener, nullptr);
    platform::closeSocket(listener);
    platform::setNoDelay(link.writer);
    platform::setNoDelay(link.reader);
    return link;
}

void closeLink(RawLink& link) {
    platform::closeSocket(link.writer);
    platform::closeSocket(link.reader);
}

bool sendAll(Socket s, const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        long r = platform::sendBytes(s, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// Reads length-prefixed messages of at most `largest` bytes into a block and
// hands each to `deliver` where it lies; a message cut by the end of the
// block is moved to the block's start first. Returns at the end of the
// stream.
void rawReader(Socket s, std::size_t largest,
               const std::function<bool(const unsigned char*, std::size_t)>& deliver) {
    std::vector<unsigned char> block(std::max(RAW_BLOCK, 2 * (largest + 4)));
    std::size_t have = 0;
    std::size_t pos = 0;
    for (;;) {
        while (have - pos >= 4) {
            std::uint32_t n;
            std::memcpy(&n, &block[pos], 4);
            if (have - pos - 4 < n) break;
            if (!deliver(&block[pos + 4], n)) return;
            pos += 4 + n;
        }
        if (pos == have) {
            pos = have = 0;
        } else if (have == block.size()) {
            std::memmove(block.data(), &block[pos], have - pos);
            have -= pos;
            pos = 0;
        }
        long r = platform::receiveBytes(s, &block[have], block.size() - have);
        if (r <= 0) return;
        have += static_cast<std::size_t>(r);
    }
}

// ---- Measurements -----------------------------------------------------------
struct Run {
    double wall = 0;    // seconds
    double cpu = 0;     // seconds of the process, all threads
    double user = 0;    // the user part of cpu
    long switches = 0;  // context switches of the process (-1: not counted)
    bool ok = false;
};

// Starts the clocks of a run; finish() fills in the run.
class RunClock {
public:
    RunClock() : usage_(platform::processUsage()), start_(Clock::now()) {}
    void finish(Run& run) const {
        run.wall = seconds(Clock::now() - start_);
        const platform::ProcessUsage now = platform::processUsage();
        run.user = now.userSeconds - usage_.userSeconds;
        run.cpu = run.user + now.systemSeconds - usage_.systemSeconds;
        run.switches = now.contextSwitches < 0 ? -1 : now.contextSwitches - usage_.contextSwitches;
    }

private:
    platform::ProcessUsage usage_;
    Clock::time_point start_;
};

Run wirekitBulk(const Pool& pool, long long count) {
    expect(pool, count);
    Run run;
    const RunClock clock;
    long long sent = 0;
    for (; sent < count; ++sent) {
        if (SendMessage_Tcp(g_client, pool.payload(static_cast<std::size_t>(sent)), pool.size) != 1)
            break;
    }
    run.ok = sent == count && waitForArrivals() && !g_wrong.load();
    clock.finish(run);
    return run;
}

Run rawBulk(const Pool& pool, long long count) {
    expect(pool, count);
    RawLink link = rawLink();
    std::thread reader([&] {
        rawReader(link.reader, static_cast<std::size_t>(pool.size),
                  [](const unsigned char* data, std::size_t n) {
                      countArrival(data, n);
                      return true;
                  });
    });
    Run run;
    const RunClock clock;
    long long sent = 0;
    const std::size_t frameBytes = 4 + static_cast<std::size_t>(pool.size);
    for (; sent < count; ++sent) {
        if (!sendAll(link.writer, pool.frame(static_cast<std::size_t>(sent)), frameBytes)) break;
    }
    run.ok = sent == count && waitForArrivals() && !g_wrong.load();
    clock.finish(run);
    platform::shutdownBoth(link.reader);
    reader.join();
    closeLink(link);
    return run;
}

bool g_allOk = true;

// Runs one row: `pairs` alternating pairs of endpoint and raw runs.
// `perMessage` picks the figures printed: messages per second and CPU per
// message, or MB per second and CPU per MiB.
void bulkRow(const char* title, const Pool& pool, long long count, int pairs, bool perMessage,
             const char* goal) {
    std::printf("%s\n", title);
    std::printf("    %.1f escapes per message on average, %lld messages per run, %d pairs\n",
                pool.escapesPerMessage, count, pairs);
    if (perMessage) {
        std::printf(
            "    pair   wirekit msg/s  us CPU/msg  sw/msg    raw msg/s  us CPU/msg  sw/msg   "
            "CPU ratio  wall ratio\n");
    } else {
        std::printf(
            "    pair    wirekit MB/s  ms CPU/MiB  sw/msg     raw MB/s  ms CPU/MiB  sw/msg   "
            "CPU ratio  wall ratio\n");
    }
    // What a run moves, in the row's units (messages or MB), and the scale
    // of its CPU figure (microseconds per message or milliseconds per MiB).
    const double units =
        perMessage ? static_cast<double>(count) : static_cast<double>(count) * pool.size / 1e6;
    const double cpuScale = perMessage ? 1e6 / static_cast<double>(count)
                                       : 1e3 / (static_cast<double>(count) * pool.size / (1 << 20));
    const char* format =
        perMessage ? "    %4d  %14.0f  %10.2f  %6.2f  %11.0f  %10.2f  %6.2f  %10.2f  %10.2f\n"
                   : "    %4d  %14.0f  %10.3f  %6.2f  %11.0f  %10.3f  %6.2f  %10.2f  %10.2f\n";
    auto perMessageOf = [count](long switches) {
        return switches < 0 ? -1.0 : static_cast<double>(switches) / static_cast<double>(count);
    };
    std::vector<double> cpuRatios, wallRatios, oursCpu, rawCpu, oursUser, rawUser;
    for (int p = 0; p < pairs; ++p) {
        Run ours, raw;
        if (p % 2 == 0) {
            ours = wirekitBulk(pool, count);
            raw = rawBulk(pool, count);
        } else {
            raw = rawBulk(pool, count);
            ours = wirekitBulk(pool, count);
        }
        if (!ours.ok || !raw.ok) {
            std::printf("    pair %d failed (wirekit %s, raw %s)\n", p + 1,
                        ours.ok ? "ok" : "FAILED", raw.ok ? "ok" : "FAILED");
            g_allOk = false;
            return;
        }
        cpuRatios.push_back(raw.cpu / ours.cpu);
        wallRatios.push_back(raw.wall / ours.wall);
        oursCpu.push_back(ours.cpu * cpuScale);
        rawCpu.push_back(raw.cpu * cpuScale);
        oursUser.push_back(ours.user * cpuScale);
        rawUser.push_back(raw.user * cpuScale);
        std::printf(format, p + 1, units / ours.wall, oursCpu.back(), perMessageOf(ours.switches),
                    units / raw.wall, rawCpu.back(), perMessageOf(raw.switches), cpuRatios.back(),
                    wallRatios.back());
    }
    std::printf("    median CPU %s: wirekit %.3f (user %.3f)  raw %.3f (user %.3f)\n",
                perMessage ? "us/msg" : "ms/MiB", median(oursCpu), median(oursUser), median(rawCpu),
                median(rawUser));
    std::printf("    median CPU ratio raw/wirekit %.2f%s   median wall ratio %.2f\n\n",
                median(cpuRatios), goal, median(wallRatios));
}

struct Latency {
    double p50, p99, max;
};

Latency summarise(std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100], us.back()};
}

bool wirekitRoundTrips(const Pool& pool, std::vector<double>& us) {
    expect(pool, ROUND_TRIPS);
    g_echo = true;
    bool ok = true;
    for (int i = 0; i < ROUND_TRIPS && ok; ++i) {
        g_target = i + 1;
        const auto start = Clock::now();
        ok = SendMessage_Tcp(g_client, pool.payload(static_cast<std::size_t>(i)), pool.size) == 1 &&
             waitForArrivals();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    g_echo = false;
    return ok && !g_wrong.load();
}

bool rawRoundTrips(const Pool& pool, std::vector<double>& us) {
    expect(pool, ROUND_TRIPS);
    RawLink there = rawLink();
    RawLink back = rawLink();
    std::thread echo([&] {
        rawReader(there.reader, SMALL, [&](const unsigned char* data, std::size_t n) {
            // The length prefix, then the bytes as they came, in one write.
            unsigned char frame[4 + SMALL];
            const auto length = static_cast<std::uint32_t>(n);
            std::memcpy(frame, &length, 4);
            std::memcpy(frame + 4, data, std::min<std::size_t>(n, SMALL));
            return sendAll(back.writer, frame, 4 + std::min<std::size_t>(n, SMALL));
        });
    });
    std::thread reader([&] {
        rawReader(back.reader, SMALL, [](const unsigned char* data, std::size_t n) {
            countArrival(data, n);
            return true;
        });
    });
    bool ok = true;
    const std::size_t frameBytes = 4 + static_cast<std::size_t>(pool.size);
    for (int i = 0; i < ROUND_TRIPS && ok; ++i) {
        g_target = i + 1;
        const auto start = Clock::now();
        ok = sendAll(there.writer, pool.frame(static_cast<std::size_t>(i)), frameBytes) &&
             waitForArrivals();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    platform::shutdownBoth(there.reader);
    platform::shutdownBoth(back.reader);
    echo.join();
    reader.join();
    closeLink(there);
    closeLink(back);
    return ok && !g_wrong.load();
}

void roundTripRow(const Pool& pool, int pairs) {
    std::vector<double> ours, raw;
    for (int p = 0; p < pairs; ++p) {
        const bool ok = p % 2 == 0 ? wirekitRoundTrips(pool, ours) && rawRoundTrips(pool, raw)
                                   : rawRoundTrips(pool, raw) && wirekitRoundTrips(pool, ours);
        if (!ok) {
            std::printf("(c) round trips failed\n");
            g_allOk = false;
            return;
        }
    }
    const Latency o = summarise(ours);
    const Latency r = summarise(raw);
    std::printf("(c) round trip of 100 random bytes, %d pairs of %d (microseconds)\n", pairs,
                ROUND_TRIPS);
    std::printf("    wirekit p50 %7.1f  p99 %7.1f  max %8.1f\n", o.p50, o.p99, o.max);
    std::printf("    raw     p50 %7.1f  p99 %7.1f  max %8.1f\n", r.p50, r.p99, r.max);
}

}  // namespace

int main(int argc, char** argv) {
    const long bulkMiB = argc > 1 ? std::max(1L, std::atol(argv[1])) : 256;
    const long long smallCount = argc > 2 ? std::max(1000LL, std::atoll(argv[2])) : 200000;
    const int pairs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    const std::string rows = argc > 4 ? argv[4] : "abcd";
    auto wanted = [&](char row) { return rows.find(row) != std::string::npos; };

    g_server = Init_Tcp(onServerEvent);
    g_client = Init_Tcp(onClientEvent);
    if (ListenMessage_Tcp(g_server, 0) != 1 || ListenMessage_Tcp(g_client, 0) != 1 ||
        Connect_Tcp(g_client, "127.0.0.1", listenPortOf(g_server)) != 1 ||
        Connect_Tcp(g_server, "127.0.0.1", listenPortOf(g_client)) != 1) {
        std::fprintf(stderr, "could not set up the endpoints\n");
        return 1;
    }
    std::printf(
        "tcp_messaging: wirekit endpoints vs raw blocking TCP on loopback, both ends in "
        "this process; frame codec lanes: %s\n\n",
        wirekit::tcp::frameKernelName(wirekit::tcp::FrameKernel::Native));

    const long long bigCount = (static_cast<long long>(bulkMiB) << 20) / BIG;
    if (wanted('a')) {
        const Pool random = makePool(BIG, 64, true);  // 4 MiB
        bulkRow("(a) 64 KiB random messages", random, bigCount, pairs, false, " (goal >= 0.85)");
        const Pool plain = makePool(BIG, 64, false);
        bulkRow("(a') 64 KiB 'x' messages, for comparison", plain, bigCount, pairs, false, "");
    }
    const Pool smallRandom = makePool(SMALL, 4096, true);
    if (wanted('b')) {
        bulkRow("(b) 100-byte random messages", smallRandom, smallCount, pairs, true,
                " (goal >= 0.60)");
        const Pool plain = makePool(SMALL, 4096, false);
        bulkRow("(b') 100-byte 'x' messages, for comparison", plain, smallCount, pairs, true, "");
    }
    if (wanted('c')) roundTripRow(smallRandom, pairs);
    if (wanted('d')) {
        const Pool random = makePool(LARGE, 16, true);  // 4 MiB
        bulkRow("(d) 256 KiB random messages", random,
                (static_cast<long long>(bulkMiB) << 20) / LARGE, pairs, false, "");
    }

    Close_Tcp(g_client);
    Close_Tcp(g_server);
    return g_allOk ? 0 : 1;
}
