// A seeded, lossy loopback link between two UDP endpoints, for tests.
//
// The link owns two datagram sockets on 127.0.0.1, one facing each endpoint.
// Endpoint A sends to portForA() and reaches B; endpoint B sends to
// portForB() and reaches A. Every datagram that arrives is, by the rates for
// its kind, dropped, delayed, duplicated or held back so that later ones
// overtake it, and then sent on to the other endpoint's receive port.
//
// A message names the port its acknowledgement must go to, and its receiver
// answers there directly. So that acknowledgements cross the link as well,
// the link rewrites that reply port in every message it forwards to the port
// of its own socket on the receiver's side, the one the receiver sends to in
// order to reach the sender (recomputing the check byte), as an address
// translator would. Acknowledgements then arrive at that socket and are
// forwarded to the sender's receive port like any other datagram.
//
// Kinds are told apart with the wire codec and the endpoints' header bytes:
// acknowledgements have their own rates; messages and anything unparsable
// use the message rates. Decisions come from one std::mt19937 per direction,
// seeded from the configuration, so a seed reproduces the same decisions for
// the same arrival order.
//
// Threads: one receiver per socket and one that releases due datagrams. The
// destructor stops and joins them and closes both sockets.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <queue>
#include <random>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

namespace wirekit::test {

// What happens to datagrams of one kind. Rates are probabilities in 0..1,
// applied independently: a datagram that is not dropped may be both
// duplicated and held back.
struct LinkRates {
    double drop = 0.0;
    double duplicate = 0.0;
    // Held back by an extra 1..reorderHoldMs, so that datagrams sent after
    // it arrive first.
    double reorder = 0.0;
    // Every datagram waits a uniform delayMinMs..delayMaxMs; apart from the
    // ones held back, a direction keeps its order.
    int delayMinMs = 0;
    int delayMaxMs = 0;
    int reorderHoldMs = 5;
};

struct LinkConfig {
    LinkRates messages;
    LinkRates acks;
    std::uint32_t seed = 1;
    unsigned char headerByte1 = 55;
    unsigned char headerByte2 = 77;
};

// Totals over both directions; `messages` and `acks` count what arrived.
struct LinkCounts {
    long messages = 0;
    long acks = 0;
    long dropped = 0;
    long duplicated = 0;
    long reordered = 0;
    long forwarded = 0;
    long sendFailures = 0;
};

class LossyLink {
public:
    // Relays between endpoints that receive on 127.0.0.1:portA and :portB.
    LossyLink(int portA, int portB, const LinkConfig& config);
    ~LossyLink();
    LossyLink(const LossyLink&) = delete;
    LossyLink& operator=(const LossyLink&) = delete;

    // True when both sockets are open and every thread runs.
    bool ok() const { return ok_; }
    // The port A sends to in order to reach B, and B to reach A.
    int portForA() const { return port_[0]; }
    int portForB() const { return port_[1]; }
    LinkCounts counts() const;

    // Ends the threads and closes the sockets; datagrams not yet released
    // are lost. Idempotent.
    void stop();

private:
    using Clock = std::chrono::steady_clock;

    struct Pending {
        Clock::time_point due;
        std::uint64_t order;  // ties keep arrival order
        int side;             // the side that sends it: the one facing its receiver
        std::vector<std::uint8_t> bytes;
        bool operator>(const Pending& other) const {
            return due != other.due ? due > other.due : order > other.order;
        }
    };

    void receiveLoop(int side);
    void releaseLoop();
    // Decides the fate of one datagram that arrived at `side`.
    void schedule(int side, std::vector<std::uint8_t> bytes);

    NetReference net_;  // declared first: taken before the sockets open
    LinkConfig config_;
    int endpointPort_[2];  // receive port of the endpoint each side faces
    platform::Socket socket_[2] = {platform::INVALID_SOCKET_VALUE, platform::INVALID_SOCKET_VALUE};
    int port_[2] = {0, 0};
    platform::Wakeup* wake_[2] = {nullptr, nullptr};
    std::uint32_t loopback_ = 0;
    bool ok_ = false;

    std::atomic<bool> stopping_{false};
    std::thread receivers_[2];
    std::thread releaser_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::priority_queue<Pending, std::vector<Pending>, std::greater<Pending>> pending_;
    std::mt19937 random_[2];
    // Release time of the last datagram each direction sent in order.
    Clock::time_point lastDue_[2];
    std::uint64_t order_ = 0;
    LinkCounts counts_;
};

}  // namespace wirekit::test
