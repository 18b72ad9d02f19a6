// TCP messaging between two endpoints on loopback, next to raw blocking TCP
// doing the same work in the same run:
//   (a) 64 KiB messages, at least 1 GiB: MB/s
//   (b) 100-byte messages for at least 2 s: messages/s
//   (c) round trip of a 100-byte message answered over the peer's own
//       connection: p50 / p99 / max in microseconds
// The endpoint side takes every message with GetMessage_Tcp from its 3002
// handler. The raw side sends each message as a 4-byte length and the
// payload in one write and reads with a buffered reader; both use
// TCP_NODELAY on both ends.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "api/registry.h"
#include "platform/platform.h"
#include "tcp/tcp_endpoint.h"
#include "wirekit.h"

namespace {

using Clock = std::chrono::steady_clock;
using wirekit::platform::Socket;
namespace platform = wirekit::platform;

constexpr int BIG = 64 * 1024;
constexpr long long BIG_TOTAL = 1LL << 30;
constexpr int SMALL = 100;
constexpr auto SMALL_DURATION = std::chrono::seconds(2);
constexpr int ROUND_TRIPS = 5000;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- Counting what arrives, for both sides --------------------------------
std::mutex g_lock;
std::condition_variable g_changed;
long long g_messages = 0;  // under g_lock
long long g_bytes = 0;

void countArrival(long long bytes) {
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_messages;
    g_bytes += bytes;
    g_changed.notify_all();
}

void resetCounts() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_messages = 0;
    g_bytes = 0;
}

void waitForMessages(long long n) {
    std::unique_lock<std::mutex> guard(g_lock);
    g_changed.wait(guard, [&] { return g_messages >= n; });
}

// ---- The endpoint side ------------------------------------------------------
void* g_server = nullptr;
void* g_client = nullptr;
std::atomic<bool> g_echo{false};
std::vector<char> g_serverBuffer(BIG);
std::vector<char> g_clientBuffer(BIG);

void onServerEvent(int code, int) {
    if (code != TCP_EV_MSG_RECEIVED) return;
    long n = GetMessage_Tcp(g_server, g_serverBuffer.data(), BIG);
    if (n < 0) return;
    if (g_echo.load()) {
        SendMessage_Tcp(g_server, g_serverBuffer.data(), static_cast<int>(n));
    } else {
        countArrival(n);
    }
}

void onClientEvent(int code, int) {
    if (code != TCP_EV_MSG_RECEIVED) return;
    long n = GetMessage_Tcp(g_client, g_clientBuffer.data(), BIG);
    if (n >= 0) countArrival(n);
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

// Builds "length, payload" once; each message is then one write.
std::vector<char> rawFrame(int size) {
    std::vector<char> f(4 + static_cast<std::size_t>(size), 'x');
    auto n = static_cast<std::uint32_t>(size);
    std::memcpy(f.data(), &n, 4);
    return f;
}

// Reads length-prefixed messages into `message` (a large one straight from
// the socket, small ones from a block buffer) and calls `deliver`.
template <typename Deliver>
void rawReader(Socket s, Deliver deliver) {
    std::vector<char> block(256 * 1024);
    std::vector<char> message(BIG);
    std::size_t have = 0;
    std::size_t pos = 0;
    for (;;) {
        if (have - pos < 4) {
            std::memmove(block.data(), block.data() + pos, have - pos);
            have -= pos;
            pos = 0;
            long r = platform::receiveBytes(s, block.data() + have, block.size() - have);
            if (r <= 0) return;
            have += static_cast<std::size_t>(r);
            continue;
        }
        std::uint32_t n;
        std::memcpy(&n, block.data() + pos, 4);
        std::size_t inBlock = std::min<std::size_t>(n, have - pos - 4);
        std::memcpy(message.data(), block.data() + pos + 4, inBlock);
        pos += 4 + inBlock;
        for (std::size_t got = inBlock; got < n;) {
            long r = platform::receiveBytes(s, message.data() + got, n - got);
            if (r <= 0) return;
            got += static_cast<std::size_t>(r);
        }
        if (pos == have) pos = have = 0;
        if (!deliver(message.data(), n)) return;
    }
}

// ---- The three measurements -------------------------------------------------
struct Rate {
    double seconds;
    long long messages;
    long long bytes;
};

Rate wirekitBulk(int size, long long count, Clock::duration minimum) {
    resetCounts();
    std::vector<char> payload(static_cast<std::size_t>(size), 'x');
    auto start = Clock::now();
    long long sent = 0;
    while (sent < count || Clock::now() - start < minimum) {
        if (SendMessage_Tcp(g_client, payload.data(), size) != 1) break;
        ++sent;
    }
    waitForMessages(sent);
    double s = seconds(Clock::now() - start);
    std::lock_guard<std::mutex> guard(g_lock);
    return {s, g_messages, g_bytes};
}

Rate rawBulk(int size, long long count, Clock::duration minimum) {
    resetCounts();
    RawLink link = rawLink();
    std::thread reader([&] {
        rawReader(link.reader, [](const char*, std::uint32_t n) {
            countArrival(n);
            return true;
        });
    });
    std::vector<char> frame = rawFrame(size);
    auto start = Clock::now();
    long long sent = 0;
    while (sent < count || Clock::now() - start < minimum) {
        if (!sendAll(link.writer, frame.data(), frame.size())) break;
        ++sent;
    }
    waitForMessages(sent);
    double s = seconds(Clock::now() - start);
    platform::shutdownBoth(link.reader);
    reader.join();
    closeLink(link);
    std::lock_guard<std::mutex> guard(g_lock);
    return {s, g_messages, g_bytes};
}

struct Latency {
    double p50, p99, max;
};

Latency summarise(std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100], us.back()};
}

Latency wirekitRoundTrips() {
    resetCounts();
    g_echo = true;
    std::vector<char> payload(SMALL, 'r');
    std::vector<double> us;
    for (int i = 0; i < ROUND_TRIPS; ++i) {
        auto start = Clock::now();
        SendMessage_Tcp(g_client, payload.data(), SMALL);
        waitForMessages(i + 1);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    g_echo = false;
    return summarise(us);
}

Latency rawRoundTrips() {
    resetCounts();
    RawLink there = rawLink();
    RawLink back = rawLink();
    std::thread echo([&] {
        rawReader(there.reader, [&](const char* data, std::uint32_t n) {
            // The length prefix, then the bytes as they came.
            const char* prefix = reinterpret_cast<const char*>(&n);
            std::vector<char> f(prefix, prefix + 4);
            f.insert(f.end(), data, data + n);
            return sendAll(back.writer, f.data(), f.size());
        });
    });
    std::thread reader([&] {
        rawReader(back.reader, [](const char*, std::uint32_t n) {
            countArrival(n);
            return true;
        });
    });
    std::vector<char> frame = rawFrame(SMALL);
    std::vector<double> us;
    for (int i = 0; i < ROUND_TRIPS; ++i) {
        auto start = Clock::now();
        sendAll(there.writer, frame.data(), frame.size());
        waitForMessages(i + 1);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    platform::shutdownBoth(there.reader);
    platform::shutdownBoth(back.reader);
    echo.join();
    reader.join();
    closeLink(there);
    closeLink(back);
    return summarise(us);
}

}  // namespace

int main() {
    g_server = Init_Tcp(onServerEvent);
    g_client = Init_Tcp(onClientEvent);
    if (ListenMessage_Tcp(g_server, 0) != 1 || ListenMessage_Tcp(g_client, 0) != 1 ||
        Connect_Tcp(g_client, "127.0.0.1", listenPortOf(g_server)) != 1 ||
        Connect_Tcp(g_server, "127.0.0.1", listenPortOf(g_client)) != 1) {
        std::fprintf(stderr, "could not set up the endpoints\n");
        return 1;
    }

    std::printf("tcp_messaging: wirekit endpoints vs raw blocking TCP on loopback\n\n");

    // The machine may be shared: each figure is the best of a few rounds,
    // taken in turn with its baseline.
    constexpr int ROUNDS = 3;
    double oursMBs = 0, rawMBs = 0;
    long long bulkBytes = 0;
    for (int r = 0; r < ROUNDS; ++r) {
        Rate ours = wirekitBulk(BIG, BIG_TOTAL / BIG, Clock::duration::zero());
        Rate raw = rawBulk(BIG, BIG_TOTAL / BIG, Clock::duration::zero());
        oursMBs = std::max(oursMBs, ours.bytes / ours.seconds / 1e6);
        rawMBs = std::max(rawMBs, raw.bytes / raw.seconds / 1e6);
        bulkBytes = ours.bytes;
    }
    std::printf("(a) 64 KiB messages, %lld MiB per run, best of %d\n", bulkBytes >> 20, ROUNDS);
    std::printf("    wirekit %9.0f MB/s   raw %9.0f MB/s   ratio %.2f (goal >= 0.70)\n\n", oursMBs,
                rawMBs, oursMBs / rawMBs);

    double oursRate = 0, rawRate = 0;
    for (int r = 0; r < ROUNDS; ++r) {
        Rate ours = wirekitBulk(SMALL, 0, SMALL_DURATION);
        Rate raw = rawBulk(SMALL, 0, SMALL_DURATION);
        oursRate = std::max(oursRate, ours.messages / ours.seconds);
        rawRate = std::max(rawRate, raw.messages / raw.seconds);
    }
    std::printf("(b) 100-byte messages for %.0f s per run, best of %d\n", seconds(SMALL_DURATION),
                ROUNDS);
    std::printf("    wirekit %9.0f msg/s  raw %9.0f msg/s  ratio %.2f (goal >= 0.50)\n\n", oursRate,
                rawRate, oursRate / rawRate);

    Latency oursRtt = wirekitRoundTrips();
    Latency rawRtt = rawRoundTrips();
    std::printf("(c) round trip of 100 bytes, %d times (microseconds)\n", ROUND_TRIPS);
    std::printf("    wirekit p50 %7.1f  p99 %7.1f  max %8.1f\n", oursRtt.p50, oursRtt.p99,
                oursRtt.max);
    std::printf("    raw     p50 %7.1f  p99 %7.1f  max %8.1f\n", rawRtt.p50, rawRtt.p99,
                rawRtt.max);
    std::printf("    p99 ratio %.2f (goal <= 2.00)\n", oursRtt.p99 / rawRtt.p99);

    Close_Tcp(g_client);
    Close_Tcp(g_server);
    return 0;
}
