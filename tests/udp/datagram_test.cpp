// The datagram codec, the identity text and the duplicate filter.
#include "udp/datagram.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>

#include "udp/duplicate_filter.h"

namespace wirekit::udp {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes sealed(Bytes b) {
    b.push_back(checkByteOf(b.data(), b.size()));
    return b;
}

// A message by hand: payload "abc", `extra` ignored bytes, any length field.
Bytes message(std::int32_t lengthField, std::size_t extra = 0, std::uint8_t h = 55) {
    Bytes b(33 + extra, 0);
    b[0] = h, b[1] = h == 55 ? 77 : h;
    putInt32(&b[26], lengthField);
    b[30] = 'a', b[31] = 'b', b[32] = 'c';
    return sealed(b);
}

Bytes ackOf(std::size_t length, bool marker) {
    std::uint8_t o = marker ? 'O' : 0, k = marker ? 'K' : 0;
    Bytes b = {77, 55, 42, 0, 0, 0, o, k};
    b.resize(length - 1, 0);
    return sealed(b);
}

// The 38-character braced upper-case text of an identity,
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": the three little-endian fields
// printed as numbers (so their bytes appear reversed), the last 8 bytes in
// wire order.
std::string guidText(const EndpointId& id) {
    static const char HEX[] = "0123456789ABCDEF";
    // Wire positions in print order: the three numeric fields reversed.
    static const int ORDER[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string text = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        const std::uint8_t b = id[static_cast<std::size_t>(ORDER[i])];
        text += HEX[b >> 4];
        text += HEX[b & 0x0F];
    }
    return text + "}";
}

int parse(const Bytes& b, std::uint8_t h1 = 55, std::uint8_t h2 = 77) {
    UdpPacket p(h1, h2);
    if (!p.parseDatagram(b.data(), b.size())) return -1;
    return p.isMessage ? static_cast<int>(p.data.size()) : 1000 + p.sequence;
}

TEST(Datagram, WorkedExamplesAndRoundTrip) {
    UdpPacket a(55, 77), m(55, 77);
    a.buildAck(1);
    EXPECT_EQ(a.data, (Bytes{0x4D, 0x37, 0x01, 0x00, 0x00, 0x00, 0x4F, 0x4B, 0x7F}));
    ASSERT_TRUE(m.buildMessage(EndpointId{}, 1, 9527, "abc", 3));
    Bytes expected = {0x37, 0x4D};
    expected.resize(18, 0x00);
    for (int b : {1, 0, 0, 0, 0x37, 0x25, 0, 0, 3, 0, 0, 0, 0x61, 0x62, 0x63, 0x0A})
        expected.push_back(static_cast<std::uint8_t>(b));
    EXPECT_EQ(m.data, expected);

    EndpointId id = newEndpointId();
    Bytes payload(MAX_PAYLOAD_BYTES, 0x5A);
    UdpPacket out(200, 130), in(200, 130);  // header bytes above 127 work alike
    ASSERT_TRUE(out.buildMessage(id, -5, 61000, payload.data(), payload.size()));
    ASSERT_TRUE(in.parseDatagram(out.data.data(), out.data.size()));
    EXPECT_EQ(in.senderId, id);
    EXPECT_EQ(in.sequence, -5);
    EXPECT_EQ(in.port, 61000);  // the reply port becomes the record's port
    EXPECT_EQ(in.data, payload);
    payload.push_back(0);
    EXPECT_FALSE(out.buildMessage(id, 1, 1, payload.data(), payload.size()));
    EXPECT_FALSE(out.buildMessage(id, 1, 1, nullptr, 3));
}

TEST(Datagram, ParseRulesAtTheirBoundaries) {
    EXPECT_EQ(parse(message(3)), 3);     // length field L - 31
    EXPECT_EQ(parse(message(1, 5)), 1);  // smaller: the bytes after are ignored
    EXPECT_EQ(parse(message(4)), -1);    // L - 30
    EXPECT_EQ(parse(message(INT_MAX)), -1);
    EXPECT_EQ(parse(message(-1)), -1);
    EXPECT_EQ(parse(message(INT_MIN)), -1);
    Bytes m = message(0);
    EXPECT_EQ(parse(sealed(Bytes(m.begin(), m.begin() + 30))), 0);   // 31 bytes, empty
    EXPECT_EQ(parse(sealed(Bytes(m.begin(), m.begin() + 29))), -1);  // 30 bytes
    m[31] ^= 1;
    EXPECT_EQ(parse(m), -1);  // check byte
    EXPECT_EQ(parse(Bytes{}), -1);
    EXPECT_EQ(parse(Bytes{0x00}), -1);  // passes the check byte, has no header

    EXPECT_EQ(parse(ackOf(6, false)), -1);
    EXPECT_EQ(parse(ackOf(7, false)), 1042);  // 7 and 8 bytes: no marker needed
    EXPECT_EQ(parse(ackOf(8, false)), 1042);
    EXPECT_EQ(parse(ackOf(9, true)), 1042);
    EXPECT_EQ(parse(ackOf(9, false)), -1);
    EXPECT_EQ(parse(ackOf(12, true)), 1042);
    EXPECT_EQ(parse(ackOf(12, false)), -1);
    // Equal header bytes: everything is a message, so acknowledgements fail.
    EXPECT_EQ(parse(message(3, 0, 90), 90, 90), 3);
    EXPECT_EQ(parse(sealed({90, 90, 1, 0, 0, 0, 'O', 'K'}), 90, 90), -1);
}

TEST(EndpointId, TextAndVersion) {
    EndpointId id{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                  0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    EXPECT_EQ(guidText(id), "{67452301-AB89-EFCD-1032-547698BADCFE}");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string t = *seen.insert(guidText(newEndpointId())).first;
        EXPECT_EQ(t[15], '4');
        EXPECT_NE(std::string("89AB").find(t[20]), std::string::npos);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(DuplicateFilter, OrderWrapAndBound) {
    DuplicateFilter f;
    const SenderKey a{EndpointId{1}, 0x0100007F};
    f.accept(a, 7);
    EXPECT_TRUE(f.isDuplicate(a, 7));
    EXPECT_TRUE(f.isDuplicate(a, 5));
    EXPECT_FALSE(f.isDuplicate(a, 8));
    f.accept(a, INT_MAX);
    EXPECT_FALSE(f.isDuplicate(a, INT_MIN));  // the sender's counter wrapped

    auto idOf = [](std::uint32_t n) {
        EndpointId id{};
        std::memcpy(id.data() + 4, &n, sizeof n);
        return SenderKey{id, 0x0100007F};
    };
    for (std::uint32_t n = 0; f.size() < DuplicateFilter::DEFAULT_CAPACITY; ++n)
        f.accept(idOf(n), 1);
    EXPECT_TRUE(f.isDuplicate(a, 1));  // hearing from `a` again keeps it
    f.accept(idOf(1u << 30), 1);
    EXPECT_EQ(f.size(), DuplicateFilter::DEFAULT_CAPACITY);
    EXPECT_TRUE(f.knows(a));
    EXPECT_FALSE(f.knows(idOf(0)));  // heard from longest ago
}

}  // namespace
}  // namespace wirekit::udp
