// The datagram codec, the identity text and the duplicate filter.
#include "udp/datagram.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <vector>

#include "udp/duplicate_filter.h"
#include "udp/endpoint_id.h"

namespace wirekit::udp {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A message datagram laid out by hand, with an explicit length field and the
// check byte appended, so that parse rules can be probed at their edges.
Bytes rawMessage(std::int32_t lengthField, std::size_t payloadBytes, std::size_t extraBytes = 0,
                 std::uint8_t h1 = 55, std::uint8_t h2 = 77) {
    Bytes b(30 + payloadBytes + extraBytes, 0);
    b[0] = h1;
    b[1] = h2;
    for (int i = 0; i < 16; ++i) b[2 + i] = static_cast<std::uint8_t>(i + 1);
    putInt32(&b[18], 9);
    putInt32(&b[22], 4000);
    putInt32(&b[26], lengthField);
    for (std::size_t i = 0; i < payloadBytes; ++i) b[30 + i] = static_cast<std::uint8_t>('a' + i);
    b.push_back(checkByteOf(b.data(), b.size()));
    return b;
}

Bytes rawAck(std::size_t length, bool marker, std::uint8_t h1 = 55, std::uint8_t h2 = 77) {
    Bytes b(length - 1, 0);
    b[0] = h2;
    b[1] = h1;
    if (length >= 6) putInt32(&b[2], 42);
    if (marker && length >= 8) {
        b[6] = 'O';
        b[7] = 'K';
    }
    b.push_back(checkByteOf(b.data(), b.size()));
    return b;
}

bool parses(const Bytes& b, UdpPacket* out = nullptr, std::uint8_t h1 = 55, std::uint8_t h2 = 77) {
    UdpPacket p(h1, h2);
    bool ok = p.parseDatagram(b.data(), b.size());
    if (out) *out = p;
    return ok;
}

TEST(Datagram, AcknowledgementOfSequenceOneIsTheWorkedExample) {
    UdpPacket p(55, 77);
    p.buildAck(1);
    EXPECT_EQ(p.data, (Bytes{0x4D, 0x37, 0x01, 0x00, 0x00, 0x00, 0x4F, 0x4B, 0x7F}));
    EXPECT_FALSE(p.isMessage);
}

TEST(Datagram, MessageWorkedExampleIsThirtyFourBytes) {
    UdpPacket p(55, 77);
    EndpointId zero{};
    ASSERT_TRUE(p.buildMessage(zero, 1, 9527, "abc", 3));
    Bytes expected{0x37, 0x4D};
    expected.insert(expected.end(), 16, 0x00);
    Bytes rest{0x01, 0x00, 0x00, 0x00, 0x37, 0x25, 0x00, 0x00, 0x03,
               0x00, 0x00, 0x00, 0x61, 0x62, 0x63, 0x0A};
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(p.data, expected);
    EXPECT_EQ(p.length(), 34);
    EXPECT_EQ(p.sequence, 1);
}

TEST(Datagram, BuiltMessageParsesBackWithReplyPortAsPort) {
    EndpointId id = newEndpointId();
    Bytes payload(1000);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    UdpPacket out(200, 130);  // header bytes above 127 behave like any others
    ASSERT_TRUE(out.buildMessage(id, -5, 61000, payload.data(), payload.size()));

    UdpPacket in(200, 130);
    ASSERT_TRUE(in.parseDatagram(out.data.data(), out.data.size()));
    EXPECT_TRUE(in.isMessage);
    EXPECT_EQ(in.senderId, id);
    EXPECT_EQ(in.sequence, -5);
    EXPECT_EQ(in.port, 61000);
    EXPECT_EQ(in.data, payload);
}

TEST(Datagram, BuildRefusesWhatCannotBeOneDatagram) {
    UdpPacket p(55, 77);
    EndpointId id{};
    std::vector<std::uint8_t> big(MAX_PAYLOAD_BYTES + 1);
    EXPECT_TRUE(p.buildMessage(id, 1, 1, big.data(), MAX_PAYLOAD_BYTES));
    EXPECT_EQ(p.length(), MAX_DATAGRAM_BYTES);
    EXPECT_FALSE(p.buildMessage(id, 1, 1, big.data(), big.size()));
    EXPECT_FALSE(p.buildMessage(id, 1, 1, nullptr, 3));
    EXPECT_TRUE(p.buildMessage(id, 1, 1, nullptr, 0));
    EXPECT_EQ(p.length(), 31);
}

TEST(Datagram, MessageLengthRules) {
    UdpPacket p(55, 77);
    // Length field L - 31 is the normal case; the empty message is 31 bytes.
    EXPECT_TRUE(parses(rawMessage(0, 0), &p));
    EXPECT_TRUE(p.isMessage);
    EXPECT_TRUE(p.data.empty());
    EXPECT_TRUE(parses(rawMessage(3, 3), &p));
    EXPECT_EQ(p.data, (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(p.sequence, 9);
    EXPECT_EQ(p.port, 4000);
    // A smaller field is valid; the bytes up to the check byte are ignored.
    EXPECT_TRUE(parses(rawMessage(1, 3), &p));
    EXPECT_EQ(p.data, (Bytes{'a'}));
    // L - 30 or more does not leave room for the check byte.
    EXPECT_FALSE(parses(rawMessage(4, 3)));
    EXPECT_FALSE(parses(rawMessage(1000, 3)));
    EXPECT_FALSE(parses(rawMessage(INT_MAX, 3)));
    // Negative fields are invalid, however small.
    EXPECT_FALSE(parses(rawMessage(-1, 3)));
    EXPECT_FALSE(parses(rawMessage(INT_MIN, 3)));
}

TEST(Datagram, ShortAndCorruptDatagramsAreInvalid) {
    Bytes thirty = rawMessage(0, 0);
    thirty.resize(29);
    thirty.push_back(checkByteOf(thirty.data(), thirty.size()));
    EXPECT_EQ(thirty.size(), 30u);
    EXPECT_FALSE(parses(thirty));

    Bytes corrupt = rawMessage(3, 3);
    corrupt[31] ^= 0x01;
    EXPECT_FALSE(parses(corrupt));
    Bytes badCheck = rawAck(9, true);
    badCheck.back() ^= 0x80;
    EXPECT_FALSE(parses(badCheck));

    EXPECT_FALSE(parses(Bytes{}));
    EXPECT_FALSE(parses(Bytes{0x00}));  // passes the check byte alone
    EXPECT_FALSE(parses(Bytes{0x37, 0x37}));
    Bytes otherHeader = rawMessage(3, 3, 0, 56, 77);
    EXPECT_FALSE(parses(otherHeader));
}

TEST(Datagram, AcknowledgementLengthAndMarkerRules) {
    UdpPacket p(55, 77);
    EXPECT_FALSE(parses(rawAck(6, false)));
    // 7 and 8 bytes carry no complete marker and are taken as they are.
    EXPECT_TRUE(parses(rawAck(7, false), &p));
    EXPECT_FALSE(p.isMessage);
    EXPECT_EQ(p.sequence, 42);
    EXPECT_TRUE(parses(rawAck(8, false)));
    EXPECT_TRUE(parses(rawAck(9, true)));
    EXPECT_FALSE(parses(rawAck(9, false)));
    EXPECT_TRUE(parses(rawAck(12, true)));
    EXPECT_FALSE(parses(rawAck(12, false)));
}

TEST(Datagram, EqualHeaderBytesMakeEverythingAMessage) {
    UdpPacket ack(90, 90);
    ack.buildAck(1);
    EXPECT_FALSE(parses(ack.data, nullptr, 90, 90));  // too short for a message
    EXPECT_TRUE(parses(rawMessage(2, 2, 0, 90, 90), nullptr, 90, 90));
}

TEST(Datagram, EveryLengthUpToTheLargestDatagramIsHandled) {
    // A pattern that passes the check byte at every length exercises the
    // deeper rules; none may read outside the datagram.
    Bytes b(MAX_DATAGRAM_BYTES, 0);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 31 + 7);
    b[0] = 55;
    b[1] = 77;
    for (std::size_t length : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{30},
                               std::size_t{31}, std::size_t{32}, std::size_t{1000},
                               b.size()}) {
        Bytes d(b.begin(), b.begin() + length);
        d.back() = checkByteOf(d.data(), d.size() - 1);
        UdpPacket p(55, 77);
        p.parseDatagram(d.data(), d.size());
    }
}

TEST(EndpointId, GuidTextIsBracedUpperCaseWithReversedNumericFields) {
    EndpointId id{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                  0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    EXPECT_EQ(guidText(id), "{67452301-AB89-EFCD-1032-547698BADCFE}");
    EXPECT_EQ(guidText(EndpointId{}), "{00000000-0000-0000-0000-000000000000}");
}

TEST(EndpointId, FreshIdentitiesAreVersionFourAndDistinct) {
    std::set<EndpointId> seen;
    for (int i = 0; i < 200; ++i) {
        EndpointId id = newEndpointId();
        std::string text = guidText(id);
        ASSERT_EQ(text.size(), 38u);
        EXPECT_EQ(text[15], '4');                              // version
        EXPECT_NE(std::string("89AB").find(text[20]), std::string::npos);  // variant
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(DuplicateFilter, OlderAndEqualSequencesAreDuplicates) {
    DuplicateFilter f;
    EndpointId a{1}, b{2};
    EXPECT_FALSE(f.isDuplicate(a, 7));
    f.accept(a, 7);
    EXPECT_TRUE(f.isDuplicate(a, 7));
    EXPECT_TRUE(f.isDuplicate(a, 5));
    EXPECT_FALSE(f.isDuplicate(a, 8));
    EXPECT_FALSE(f.isDuplicate(b, 7));  // another sender starts afresh
}

TEST(DuplicateFilter, SequenceWrapKeepsTheSenderHeard) {
    DuplicateFilter f;
    EndpointId a{1};
    f.accept(a, INT_MAX);
    EXPECT_FALSE(f.isDuplicate(a, INT_MIN));
    f.accept(a, INT_MIN);
    EXPECT_TRUE(f.isDuplicate(a, INT_MAX));
    EXPECT_FALSE(f.isDuplicate(a, INT_MIN + 1));
    EXPECT_TRUE(sequenceAfter(1, -1));
    EXPECT_FALSE(sequenceAfter(-1, 1));
}

TEST(DuplicateFilter, ForgetsTheSenderHeardFromLongestAgo) {
    DuplicateFilter f;
    auto idOf = [](std::uint32_t n) {
        EndpointId id{};
        std::memcpy(id.data(), &n, sizeof n);
        return id;
    };
    for (std::uint32_t n = 0; n < DuplicateFilter::DEFAULT_CAPACITY; ++n) f.accept(idOf(n), 1);
    EXPECT_EQ(f.size(), DuplicateFilter::DEFAULT_CAPACITY);
    // Hearing from sender 0 again (a duplicate) makes sender 1 the oldest.
    EXPECT_TRUE(f.isDuplicate(idOf(0), 1));
    f.accept(idOf(1u << 20), 1);
    EXPECT_EQ(f.size(), DuplicateFilter::DEFAULT_CAPACITY);
    EXPECT_TRUE(f.knows(idOf(0)));
    EXPECT_FALSE(f.knows(idOf(1)));
    EXPECT_TRUE(f.knows(idOf(2)));
}

}  // namespace
}  // namespace wirekit::udp
