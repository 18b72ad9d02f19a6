// Reliable UDP messaging on loopback: one endpoint sends 100-byte messages to
// another for at least 2 s, every message acknowledged before the next one
// leaves. Baseline in the same run: raw stop-and-wait over two plain datagram
// sockets (blocking send, the receiver answers each datagram with 9 bytes,
// the sender waits for that answer before sending again).
//
//   bench/udp_messaging [seconds]
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "api/registry.h"
#include "platform/platform.h"
#include "udp/udp_endpoint.h"
#include "wirekit.h"

namespace platform = wirekit::platform;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int PAYLOAD = 100;
constexpr int DATAGRAM = PAYLOAD + 31;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint32_t loopback() {
    std::uint32_t a = 0;
    platform::parseDottedAddress("127.0.0.1", &a);
    return a;
}

// Raw stop-and-wait: round trips per second.
double rawStopAndWait(double duration) {
    platform::Socket server = platform::udpSocket();
    platform::Socket client = platform::udpSocket();
    platform::bindAny(server, 0);
    platform::bindAny(client, 0);
    const int serverPort = platform::localPort(server);

    std::thread answerer([&] {
        std::vector<std::uint8_t> buffer(65536);
        const std::uint8_t reply[9] = {0x4D, 0x37, 1, 0, 0, 0, 'O', 'K', 0};
        for (;;) {
            std::uint32_t from = 0;
            int port = 0;
            long n = platform::receiveDatagram(server, buffer.data(), buffer.size(), &from, &port);
            if (n <= 1) break;  // a 1-byte datagram ends the run
            platform::sendDatagram(server, reply, sizeof reply, from, port);
        }
    });

    std::vector<std::uint8_t> message(DATAGRAM, 0x61), answer(65536);
    long trips = 0;
    auto start = Clock::now();
    while (secondsSince(start) < duration) {
        platform::sendDatagram(client, message.data(), message.size(), loopback(), serverPort);
        // A lost answer (never on loopback in practice) is retried after 1 s.
        if (platform::waitReadable(client, 1000) != 1) continue;
        platform::receiveDatagram(client, answer.data(), answer.size(), nullptr, nullptr);
        ++trips;
    }
    double elapsed = secondsSince(start);
    const std::uint8_t stop = 0;
    platform::sendDatagram(client, &stop, 1, loopback(), serverPort);
    answerer.join();
    platform::closeSocket(server);
    platform::closeSocket(client);
    return trips / elapsed;
}

// The endpoints' callbacks have no context pointer: globals.
std::mutex g_lock;
std::condition_variable g_changed;
std::atomic<long> g_acked{0};
std::atomic<long> g_queued{0};
constexpr long REFILL_BELOW = 16;
constexpr long FILL_TO = 80;
std::atomic<long> g_delivered{0};
std::atomic<long> g_outOfOrder{0};
void* g_receiver = nullptr;

void senderEvents(int code, int) {
    if (code != UDP_EV_ACKED) return;
    // Waking the host only when it has work keeps it off the hot path.
    long acked = g_acked.fetch_add(1) + 1;
    if (g_queued.load() - acked == REFILL_BELOW) g_changed.notify_one();
}

void receiverEvents(int code, int) {
    if (code != UDP_EV_MSG_RECEIVED) return;
    char buffer[256];
    long n = GetMessage_Udp(g_receiver, buffer, sizeof buffer);
    if (n != PAYLOAD) return;
    // The first four payload bytes number the messages.
    long number = 0;
    std::memcpy(&number, buffer + 10, sizeof(std::int32_t));
    if (number != g_delivered.load()) g_outOfOrder.fetch_add(1);
    g_delivered.fetch_add(1);
}

int portOf(void* h) {
    auto e = wirekit::api::EndpointRegistry::instance().findUdp(h);
    return e ? e->localPort() : -1;
}

// Messages delivered per second. The host keeps the send queue fed: it tops
// it up in batches whenever few messages are left waiting.
double wirekitMessaging(double duration) {
    void* sender = Init_Udp(0, senderEvents, 55, 77, 0);
    g_receiver = Init_Udp(0, receiverEvents, 55, 77, 0);
    ListenMessage_Udp(sender);
    ListenMessage_Udp(g_receiver);
    const int port = portOf(g_receiver);

    std::vector<std::uint8_t> payload(PAYLOAD, 0x61);
    std::int32_t next = 0;
    auto start = Clock::now();
    while (secondsSince(start) < duration) {
        {
            std::unique_lock<std::mutex> guard(g_lock);
            g_changed.wait_for(guard, std::chrono::milliseconds(5),
                               [&] { return next - g_acked.load() <= REFILL_BELOW; });
        }
        while (next - g_acked.load() < FILL_TO) {
            std::memcpy(payload.data(), &next, sizeof next);
            SendMessage_Udp(sender, "127.0.0.1", port, payload.data(), PAYLOAD);
            g_queued.store(++next);
        }
    }
    // Let what was queued arrive, then count.
    auto drainLimit = Clock::now() + std::chrono::seconds(5);
    while (g_delivered.load() < next && Clock::now() < drainLimit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double elapsed = secondsSince(start);
    long delivered = g_delivered.load();
    Close_Udp(sender);
    Close_Udp(g_receiver);
    if (delivered != next || g_outOfOrder.load() != 0)
        std::fprintf(stderr, "delivery fault: sent %ld, delivered %ld, out of order %ld\n",
                     static_cast<long>(next), delivered, g_outOfOrder.load());
    return delivered / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    double duration = argc > 1 ? std::atof(argv[1]) : 2.0;
    if (duration < 2.0) duration = 2.0;
    // The receive threads announce themselves on standard output; keep the
    // figures apart from those lines.
    double raw = rawStopAndWait(duration);
    double ours = wirekitMessaging(duration);
    std::printf("raw stop-and-wait baseline: %.0f round trips/s\n", raw);
    std::printf("wirekit UDP messaging:      %.0f messages/s (%d-byte payload)\n", ours, PAYLOAD);
    std::printf("ratio: %.2f\n", ours / raw);
    return 0;
}
