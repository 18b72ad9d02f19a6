#include "udp/datagram.h"

#include <cstring>
#include <new>

namespace wirekit::udp {

void putInt32(std::uint8_t* out, std::int32_t value) {
    auto bits = static_cast<std::uint32_t>(value);
    out[0] = static_cast<std::uint8_t>(bits);
    out[1] = static_cast<std::uint8_t>(bits >> 8);
    out[2] = static_cast<std::uint8_t>(bits >> 16);
    out[3] = static_cast<std::uint8_t>(bits >> 24);
}

std::int32_t getInt32(const std::uint8_t* in) {
    std::uint32_t bits =
        static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
        static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
    // Reinterpreting the bits through memcpy is defined for every value,
    // unlike a narrowing conversion before C++20.
    std::int32_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::uint8_t checkByteOf(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t x = 0;
    for (std::size_t i = 0; i < count; ++i) x ^= bytes[i];
    return x;
}

bool UdpPacket::buildMessage(const EndpointId& id, std::int32_t seq, std::int32_t replyPort,
                             const void* payload, std::size_t count) {
    data.clear();
    if (count > static_cast<std::size_t>(MAX_PAYLOAD_BYTES)) return false;
    if (count > 0 && payload == nullptr) return false;
    try {
        data.resize(count + MESSAGE_OVERHEAD);
    } catch (const std::bad_alloc&) {
        data.clear();
        return false;
    }
    std::uint8_t* out = data.data();
    out[0] = headerByte1;
    out[1] = headerByte2;
    std::memcpy(out + 2, id.data(), id.size());
    putInt32(out + 18, seq);
    putInt32(out + 22, replyPort);
    putInt32(out + 26, static_cast<std::int32_t>(count));
    if (count > 0) std::memcpy(out + MESSAGE_PAYLOAD_OFFSET, payload, count);
    out[data.size() - 1] = checkByteOf(out, data.size() - 1);
    sequence = seq;
    return true;
}

void UdpPacket::buildAck(std::int32_t seq) {
    data.assign(ACK_LENGTH, 0);
    data[0] = headerByte2;
    data[1] = headerByte1;
    putInt32(data.data() + 2, seq);
    data[6] = 'O';
    data[7] = 'K';
    data[8] = checkByteOf(data.data(), 8);
    isMessage = false;
}

bool UdpPacket::parseDatagram(const std::uint8_t* bytes, std::size_t length) {
    if (bytes == nullptr || length == 0) return false;
    if (checkByteOf(bytes, length - 1) != bytes[length - 1]) return false;
    // A single byte can pass the check (the XOR of nothing is 0) but has no
    // second header byte to compare.
    if (length < 2) return false;

    // The message test comes first, so with equal header bytes every
    // datagram is taken for a message.
    if (bytes[0] == headerByte1 && bytes[1] == headerByte2) {
        if (length < static_cast<std::size_t>(MESSAGE_OVERHEAD)) return false;
        std::int32_t declared = getInt32(bytes + 26);
        // The payload and the check byte must fit: n < L - 30. Bytes between
        // a shorter payload and the check byte are ignored.
        if (declared < 0) return false;
        auto count = static_cast<std::size_t>(declared);
        if (count >= length - MESSAGE_PAYLOAD_OFFSET) return false;
        std::memcpy(senderId.data(), bytes + 2, senderId.size());
        sequence = getInt32(bytes + 18);
        port = getInt32(bytes + 22);
        try {
            data.assign(bytes + MESSAGE_PAYLOAD_OFFSET, bytes + MESSAGE_PAYLOAD_OFFSET + count);
        } catch (const std::bad_alloc&) {
            data.clear();
            return false;
        }
        isMessage = true;
        return true;
    }
    if (bytes[1] == headerByte1 && bytes[0] == headerByte2) {
        if (length < 7) return false;
        // Datagrams of 7 and 8 bytes carry no complete marker and are taken
        // as they are.
        if (length >= static_cast<std::size_t>(ACK_LENGTH) && (bytes[6] != 'O' || bytes[7] != 'K'))
            return false;
        sequence = getInt32(bytes + 2);
        data.clear();
        isMessage = false;
        return true;
    }
    return false;
}

}  // namespace wirekit::udp
