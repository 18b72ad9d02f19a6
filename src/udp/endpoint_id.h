// The identity of a UDP endpoint: 16 random bytes (a version-4 UUID) drawn
// once per endpoint. It travels inside every message the endpoint sends, and
// receivers tell senders apart by it when they filter duplicates.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace wirekit::udp {

// The 16 bytes in wire order: the first field as 4 bytes little-endian, the
// next two as 2 bytes little-endian each, then 8 bytes in order.
using EndpointId = std::array<std::uint8_t, 16>;

// A fresh version-4 identity from the system's random source.
EndpointId newEndpointId();

// The 38-character braced upper-case text of an identity,
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": the three little-endian fields
// printed as numbers (so their bytes appear reversed), the last 8 bytes in
// wire order.
std::string guidText(const EndpointId& id);

}  // namespace wirekit::udp
