// The identity of a UDP endpoint: 16 random bytes (a version-4 UUID) drawn
// once per endpoint. It travels inside every message the endpoint sends, and
// receivers tell senders apart by it when they filter duplicates.
#pragma once

#include <array>
#include <cstdint>

namespace wirekit::udp {

// The 16 bytes in wire order: the first field as 4 bytes little-endian, the
// next two as 2 bytes little-endian each, then 8 bytes in order.
using EndpointId = std::array<std::uint8_t, 16>;

// A fresh version-4 identity from the system's random source.
EndpointId newEndpointId();

}  // namespace wirekit::udp
