// The framing codec: exact bytes, piece boundaries, the decoder's rules, and
// random bodies through a real connection.
#include "tcp/framing.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tcp/frame_bytes.h"

namespace wirekit::tcp {
namespace {

using Bytes = std::vector<unsigned char>;
using Outcome = FrameDecoder::Outcome;

Bytes bytes(std::initializer_list<int> list) {
    Bytes out;
    for (int b : list) out.push_back(static_cast<unsigned char>(b));
    return out;
}

// Feeds a whole stream and collects the messages.
std::vector<Bytes> decodeAll(FrameDecoder& decoder, const Bytes& stream) {
    std::vector<Bytes> out;
    std::size_t pos = 0;
    while (pos < stream.size()) {
        auto step = decoder.feed(stream.data() + pos, stream.size() - pos);
        pos += step.consumed;
        if (step.outcome == Outcome::Message) out.push_back(test::plain(decoder.takeMessage()));
        if (step.outcome != Outcome::Message && step.outcome != Outcome::NeedMore) break;
    }
    return out;
}

// True when no escape byte is cut off from its partner at the piece's end.
bool escapesAreWhole(const Bytes& piece) {
    for (std::size_t i = 0; i < piece.size(); ++i) {
        if (piece[i] == FRAME_ESC) {
            if (i + 1 >= piece.size()) return false;
            ++i;
        }
    }
    return true;
}

// The frame written out byte by byte, as the wire format defines it.
Bytes referenceFrame(const Bytes& body) {
    Bytes out{FRAME_ESC, FRAME_BOUNDARY};
    for (unsigned char b : body) {
        out.push_back(b);
        if (b == FRAME_ESC) out.push_back(FRAME_ESC);
    }
    out.push_back(FRAME_ESC);
    out.push_back(FRAME_BOUNDARY);
    return out;
}

TEST(FrameEncoder, BatchesNeverCutAnEscapeAndJoinToTheExactFrame) {
    std::mt19937 random(7);
    // 16384: a buffer large enough that frames are placed away from their
    // bodies, with bodies that take several batches, each placed anew.
    for (std::size_t staging : {4u, 5u, 7u, 64u, 16384u, 65536u}) {
        for (std::size_t directRun : {1u, 3u, 1000u}) {
            for (int round = 0; round < 60; ++round) {
                Bytes body(random() % (staging == 16384 ? 40000 : 3000));
                int escapeEvery = 1 + static_cast<int>(random() % 40);
                for (auto& b : body) {
                    b = static_cast<unsigned char>(random());
                    if (random() % escapeEvery == 0) b = FRAME_ESC;
                }
                FrameEncoder encoder(staging, directRun);
                Bytes joined;
                ASSERT_TRUE(encoder.encode(
                    body.data(), body.size(), [&](const FramePiece* pieces, std::size_t count) {
                        EXPECT_GE(count, 1u);
                        EXPECT_LE(count, FrameEncoder::MAX_PIECES);
                        Bytes batch;
                        for (std::size_t k = 0; k < count; ++k) {
                            EXPECT_GT(pieces[k].length, 0u);
                            batch.insert(batch.end(), pieces[k].data,
                                         pieces[k].data + pieces[k].length);
                        }
                        EXPECT_TRUE(escapesAreWhole(batch));
                        joined.insert(joined.end(), batch.begin(), batch.end());
                        return true;
                    }));
                ASSERT_EQ(joined, referenceFrame(body))
                    << "staging " << staging << " direct " << directRun;
            }
        }
    }
}

TEST(FrameEncoder, WritesExactBytesInOneBatchAndSendsLongRunsUncopied) {
    EXPECT_EQ(test::encodeFrame("\x05\x05", 2), bytes({5, 7, 5, 5, 5, 5, 5, 7}));
    EXPECT_EQ(test::encodeFrame(nullptr, 0), bytes({5, 7, 5, 7}));
    Bytes plain(200000, 0x41);
    int calls = 0;
    FrameEncoder encoder;
    EXPECT_TRUE(encoder.encode(plain.data(), plain.size(), [&](const FramePiece* p, std::size_t n) {
        EXPECT_EQ(n, 3u);
        EXPECT_EQ(p[1].data, plain.data());
        return ++calls > 0;
    }));
    EXPECT_EQ(calls, 1);
    // A random body (escapes at the usual rate) leaves as one piece.
    std::mt19937 random(3);
    Bytes noise(64 * 1024);
    for (auto& b : noise) b = static_cast<unsigned char>(random() >> 24);
    calls = 0;
    EXPECT_TRUE(encoder.encode(noise.data(), noise.size(), [&](const FramePiece*, std::size_t n) {
        EXPECT_EQ(n, 1u);
        return ++calls > 0;
    }));
    EXPECT_EQ(calls, 1);
    Bytes escapes(200000, FRAME_ESC);
    calls = 0;
    EXPECT_FALSE(encoder.encode(escapes.data(), escapes.size(),
                                [&](const FramePiece*, std::size_t) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);  // a failed send stops the encoder
}

TEST(FrameDecoder, FollowsTheFramingRules) {
    struct Case {
        const char* what;
        Bytes stream;
        std::vector<Bytes> messages;
    };
    const Case cases[] = {
        {"one message", bytes({5, 7, 0x61, 0x62, 5, 7}), {bytes({0x61, 0x62})}},
        {"empty frames are dropped", bytes({5, 7, 5, 7, 5, 7, 5, 7}), {}},
        {"doubled escape", bytes({5, 7, 5, 5, 5, 5, 5, 7}), {bytes({5, 5})}},
        {"stray escape before an ordinary byte is kept",
         bytes({5, 7, 5, 0x41, 5, 7}),
         {bytes({5, 0x41})}},
        {"0x06 and 0x07 alone are body bytes", bytes({5, 7, 6, 7, 6, 5, 7}), {bytes({6, 7, 6})}},
        {"bytes outside frames form a message of their own",
         bytes({0x78, 0x79, 5, 7, 0x61, 5, 7, 0x7a, 5, 7}),
         {bytes({0x78, 0x79}), bytes({0x61}), bytes({0x7a})}},
        {"an offer marker without a header is ignored",
         bytes({5, 6, 5, 7, 0x61, 5, 7}),
         {bytes({0x61})}},
        {"no boundary yet: nothing", bytes({5, 7, 0x61, 0x62}), {}},
    };
    for (const auto& c : cases) {
        FrameDecoder whole;
        EXPECT_EQ(decodeAll(whole, c.stream), c.messages) << c.what;
        // Byte by byte gives the same: the state carries over between blocks.
        FrameDecoder bytewise;
        std::vector<Bytes> got;
        for (unsigned char b : c.stream) {
            auto step = bytewise.feed(&b, 1);
            if (step.outcome == Outcome::Message)
                got.push_back(test::plain(bytewise.takeMessage()));
        }
        EXPECT_EQ(got, c.messages) << c.what << " (byte by byte)";
    }
}

TEST(FrameDecoder, HandsOnAnOfferHeaderAndTheBytesAfterIt) {
    Bytes stream = bytes({5, 7, 0x61, 5, 7});
    const std::string header = "SENDFILE:a.bin,3";
    stream.insert(stream.end(), header.begin(), header.end());
    for (int b : {5, 6, int('x'), 5, int('z')}) stream.push_back(static_cast<unsigned char>(b));
    FrameDecoder decoder;
    auto step = decoder.feed(stream.data(), stream.size());
    ASSERT_EQ(step.outcome, Outcome::Message);
    EXPECT_EQ(test::plain(decoder.takeMessage()), bytes({0x61}));
    std::size_t pos = step.consumed;
    step = decoder.feed(stream.data() + pos, stream.size() - pos);
    ASSERT_EQ(step.outcome, Outcome::OfferHeader);
    EXPECT_EQ(decoder.takeHeader(), header);
    pos += step.consumed;
    EXPECT_EQ(Bytes(stream.begin() + static_cast<long>(pos), stream.end()), bytes({'x', 5, 'z'}));
}

TEST(FrameDecoder, RefusesAMessageGrowingPastTheCap) {
    FrameDecoder decoder(10);
    Bytes fits = bytes({5, 7, 1, 2, 3, 4, 5, 5, 6, 7, 8, 9, 10, 5, 7});
    auto messages = decodeAll(decoder, fits);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].size(), 10u);
    Bytes tooLong(11, 0x41);
    EXPECT_EQ(decoder.feed(tooLong.data(), tooLong.size()).outcome, Outcome::TooLarge);
    FrameDecoder escaped(3);
    Bytes pairs = bytes({0x41, 0x42, 5, 0x43});
    EXPECT_EQ(escaped.feed(pairs.data(), pairs.size()).outcome, Outcome::TooLarge);
}

}  // namespace
}  // namespace wirekit::tcp
