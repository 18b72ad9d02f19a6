// The two datagrams that UDP endpoints exchange, as a pure codec.
//
// A message carries the host's payload with the sender's identity, a sequence
// number and the port that acknowledgements must go to; an acknowledgement
// names the sequence number of one message that arrived. Every integer field
// is a signed 32-bit little-endian value, fields follow each other without
// gaps, and the last byte of every datagram is the XOR of all bytes before it.
//
//   message (payload length n, 31 + n bytes):
//     0  header byte 1        1  header byte 2     2  sender identity (16)
//     18 sequence (4)         22 reply port (4)    26 payload length n (4)
//     30 payload (n)          30+n check byte
//   acknowledgement (9 bytes):
//     0  header byte 2        1  header byte 1     2  sequence (4)
//     6  'O' 'K'              8  check byte
//
// Both peers use the same two header bytes; the order tells the kinds apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "udp/endpoint_id.h"

namespace wirekit::udp {

// Bytes a message adds around its payload: 30 in front, the check byte after.
constexpr int MESSAGE_OVERHEAD = 31;
constexpr int MESSAGE_PAYLOAD_OFFSET = 30;
constexpr int ACK_LENGTH = 9;
// The largest datagram IPv4 carries, and so the largest payload that can
// ever leave (65 507 - 31).
constexpr int MAX_DATAGRAM_BYTES = 65507;
constexpr int MAX_PAYLOAD_BYTES = MAX_DATAGRAM_BYTES - MESSAGE_OVERHEAD;

// One datagram on either side of the wire. For a record built for sending,
// `data` holds the whole datagram; for a received message it holds the
// payload alone. A received acknowledgement leaves `data` empty.
class UdpPacket {
public:
    UdpPacket(unsigned char first, unsigned char second)
        : headerByte1(first), headerByte2(second) {}

    // Fills `data` with a message datagram and sets `sequence`. False, with
    // the record left empty, when the payload is longer than
    // MAX_PAYLOAD_BYTES, `payload` is null while `count` is not 0, or the
    // buffer cannot be obtained. The caller sets address, port and isMessage.
    bool buildMessage(const EndpointId& senderId, std::int32_t sequence, std::int32_t replyPort,
                      const void* payload, std::size_t count);

    // Fills `data` with the 9-byte acknowledgement of `sequence` and clears
    // isMessage. The acknowledged number travels inside `data` only.
    void buildAck(std::int32_t sequence);

    // Validates a received datagram of `length` bytes and, when it is valid,
    // fills isMessage, sequence and (for a message) senderId, port and the
    // payload copy. False for an invalid datagram; the record is then not to
    // be used. Any length and content is safe; nothing is allocated before
    // the declared payload length has been checked against `length`.
    bool parseDatagram(const std::uint8_t* bytes, std::size_t length);

    // The number of bytes in `data`.
    std::int32_t length() const { return static_cast<std::int32_t>(data.size()); }

    std::vector<std::uint8_t> data;
    // The peer's dotted IPv4 text: destination when sending, source when
    // received.
    std::string address;
    // Destination port when sending; for a received message, the reply port
    // it carries (not the datagram's source port).
    std::int32_t port = 0;
    bool isMessage = false;
    EndpointId senderId{};
    std::int32_t sequence = 0;
    unsigned char headerByte1;
    unsigned char headerByte2;
};

// Little-endian field access, independent of the host's byte order.
void putInt32(std::uint8_t* out, std::int32_t value);
std::int32_t getInt32(const std::uint8_t* in);

// XOR of `count` bytes (0 for none): the check byte of what precedes it.
std::uint8_t checkByteOf(const std::uint8_t* bytes, std::size_t count);

}  // namespace wirekit::udp
