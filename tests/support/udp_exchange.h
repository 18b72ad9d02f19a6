// Two UDP endpoints that exchange numbered messages in both directions at
// once over a LossyLink, through the public interface only, and check that
// each message arrives exactly once, in order and intact.
//
// Every message carries its index, its direction and filler bytes derived
// from both, so a lost, repeated, reordered or damaged message is told apart
// at the receiver. Messages are taken from inside the 1001 handler or, with
// `takeLate`, by a host thread that lets the receive queue fill until the
// endpoint refuses a message (1003) and only then empties it. A sender
// keeps at most a window of unacknowledged messages queued (counted from
// 2003), and a message refused with 2002 is offered again after the next
// acknowledgement.
//
// The host callback has no context, so each endpoint takes one of a few
// static slots for its lifetime; at most MAX_EXCHANGES exchanges exist at
// once (construction fails beyond that).
#pragma once

#include <chrono>
#include <memory>

#include "support/lossy_link.h"

namespace wirekit::test {

// Seen by one endpoint's receiver, over all rounds so far.
struct ReceiveTally {
    long delivered = 0;  // in order and intact
    long repeated = 0;   // an index already delivered
    long skipped = 0;    // an index beyond the next one
    long damaged = 0;    // wrong direction, length or filler
    long queueFull = 0;  // 1003: refused, to be re-sent by the peer
};

struct ExchangeResult {
    bool finished = false;  // every message delivered and acknowledged in time
    std::chrono::milliseconds elapsed{0};
    ReceiveTally atA;  // what A received from B
    ReceiveTally atB;
    long sentByA = 0;
    long sentByB = 0;
    long ackedAtA = 0;
    long ackedAtB = 0;
};

class UdpExchange {
public:
    static constexpr int MAX_EXCHANGES = 4;

    explicit UdpExchange(const LinkConfig& config, bool takeLate = false);
    ~UdpExchange();
    UdpExchange(const UdpExchange&) = delete;
    UdpExchange& operator=(const UdpExchange&) = delete;

    // Both endpoints listen and the link runs.
    bool ok() const;

    // Sends the next `count` messages each way at the same time and waits
    // until all of them are delivered and acknowledged, or `limit` passes.
    // Indices go on from the previous round. Totals in the result cover
    // every round so far. Nothing is sent, and finished is false, unless ok().
    ExchangeResult run(long count, std::chrono::milliseconds limit);

    LinkCounts linkCounts() const;

    // One endpoint's state, reached by its slot's callback.
    struct Side;

private:
    std::unique_ptr<Side> sides_[2];
    std::unique_ptr<LossyLink> link_;
    void* handles_[2] = {nullptr, nullptr};
    long nextIndex_ = 0;
};

}  // namespace wirekit::test
