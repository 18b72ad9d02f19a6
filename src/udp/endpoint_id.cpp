#include "udp/endpoint_id.h"

#include <chrono>
#include <random>

namespace wirekit::udp {

EndpointId newEndpointId() {
    EndpointId id{};
    try {
        // std::random_device reads the operating system's entropy source.
        std::random_device source;
        for (std::size_t i = 0; i < id.size(); i += 4) {
            std::uint32_t word = source();
            for (std::size_t k = 0; k < 4; ++k)
                id[i + k] = static_cast<std::uint8_t>(word >> (8 * k));
        }
    } catch (const std::exception&) {
        // Without an entropy source, a generator seeded from the clock and
        // the address of a local still gives distinct identities in practice.
        std::seed_seq seed{
            static_cast<std::uint64_t>(
                std::chrono::high_resolution_clock::now().time_since_epoch().count()),
            static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&id))};
        std::mt19937_64 generator(seed);
        for (auto& b : id) b = static_cast<std::uint8_t>(generator());
    }
    // Version 4 sits in the high nibble of the third field, whose high byte
    // is byte 7 (little-endian); the variant in the top bits of byte 8.
    id[7] = static_cast<std::uint8_t>((id[7] & 0x0F) | 0x40);
    id[8] = static_cast<std::uint8_t>((id[8] & 0x3F) | 0x80);
    return id;
}

}  // namespace wirekit::udp
