// libFuzzer target for the datagram parser. The first two input bytes pick
// the endpoint's header bytes; the rest is the received datagram. Beyond not
// crashing, a valid datagram must parse to what building it again gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "udp/datagram.h"

using wirekit::udp::UdpPacket;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const unsigned char h1 = data[0];
    const unsigned char h2 = data[1];
    // An exact-size copy, so that any read past the datagram is caught.
    std::vector<std::uint8_t> datagram(data + 2, data + size);

    UdpPacket packet(h1, h2);
    if (!packet.parseDatagram(datagram.data(), datagram.size())) return 0;

    const std::size_t length = datagram.size();
    if (packet.isMessage) {
        if (length < 31 || packet.data.size() + 30 >= length) std::abort();
        // With no ignored bytes, building the record again gives the input.
        if (packet.data.size() + 31 == length && length <= wirekit::udp::MAX_DATAGRAM_BYTES) {
            UdpPacket again(h1, h2);
            if (!again.buildMessage(packet.senderId, packet.sequence, packet.port,
                                    packet.data.data(), packet.data.size()) ||
                again.data != datagram)
                std::abort();
        }
    } else {
        if (length < 7 || !packet.data.empty()) std::abort();
        if (length == 9) {
            UdpPacket again(h1, h2);
            again.buildAck(packet.sequence);
            if (again.data != datagram) std::abort();
        }
    }
    return 0;
}
