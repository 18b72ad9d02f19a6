// Remembers, per sending endpoint, the highest sequence number accepted from
// it, so that re-sent and stale messages are recognised.
//
// A sender is its identity together with the IPv4 address its datagrams come
// from. Identities travel in clear, so anyone can put another endpoint's
// identity into a datagram; keyed by the identity alone, one forged datagram
// with a high sequence number would make the receiver drop every later
// message of the real sender as stale. With the address in the key a forger
// must also forge the sender's address.
//
// Sequence numbers are compared as serial numbers: a number is newer than
// another when it lies less than 2^31 steps ahead of it, counting with 32-bit
// wrap-around. Within that window this is the ordinary order (5 is older than
// 7), and a sender whose counter wraps past 2^31 - 1 keeps being heard.
//
// The filter holds at most `capacity` senders; when a new one would exceed
// that, the sender heard from longest ago is forgotten. Lookups are ordered
// (no hashing), so identities chosen by a hostile peer cannot degrade them.
// Not thread-safe: the owner serialises access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <utility>

#include "udp/endpoint_id.h"

namespace wirekit::udp {

// True when `later` is newer than `earlier` in serial-number order.
bool sequenceAfter(std::int32_t later, std::int32_t earlier);

// A sending endpoint: its identity and the source address of its datagrams
// (network byte order).
using SenderKey = std::pair<EndpointId, std::uint32_t>;

class DuplicateFilter {
public:
    static constexpr std::size_t DEFAULT_CAPACITY = 65536;

    explicit DuplicateFilter(std::size_t capacity = DEFAULT_CAPACITY);

    // True when a message from `sender` with `sequence` was already accepted
    // or is older than one that was. Counts as hearing from the sender.
    bool isDuplicate(const SenderKey& sender, std::int32_t sequence);

    // Records `sequence` as the newest accepted from `sender`.
    void accept(const SenderKey& sender, std::int32_t sequence);

    std::size_t size() const { return entries_.size(); }
    bool knows(const SenderKey& sender) const { return entries_.count(sender) != 0; }

private:
    struct Entry {
        std::int32_t last;
        std::list<SenderKey>::iterator age;
    };

    void touch(Entry& entry);

    std::size_t capacity_;
    // Senders, most recently heard first.
    std::list<SenderKey> ages_;
    std::map<SenderKey, Entry> entries_;
};

}  // namespace wirekit::udp
