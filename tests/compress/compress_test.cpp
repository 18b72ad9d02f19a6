#include "compress/compress.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <climits>
#include <cstdint>
#include <random>
#include <vector>

#include "wirekit.h"

using Bytes = std::vector<unsigned char>;

namespace {

Bytes randomBytes(size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    Bytes b(n);
    for (size_t i = 0; i < n; i += 8) {
        std::uint64_t r = rng();
        for (size_t k = i; k < i + 8 && k < n; ++k, r >>= 8) b[k] = static_cast<unsigned char>(r);
    }
    return b;
}

Bytes text(size_t n) {
    static const char words[] = "the quick brown fox jumps over the lazy dog ";
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(words[i % (sizeof words - 1)]);
    return b;
}

// Compresses with capacity exactly CompressBound and checks the stream
// inflates back to `source`.
template <typename Compressor>
void expectFitsBoundAndRoundTrips(const Bytes& source, Compressor compressor) {
    auto n = static_cast<unsigned int>(source.size());
    const unsigned char none = 0;  // an empty vector's data() may be null
    Bytes packed(CompressBound(n));
    unsigned int packedLen = CompressBound(n);
    ASSERT_EQ(compressor(packed.data(), &packedLen, n == 0 ? &none : source.data(), n), Z_OK) << n;
    ASSERT_LE(packedLen, CompressBound(n));
    Bytes back(source.size() + 1);
    unsigned int backLen = static_cast<unsigned int>(back.size());
    ASSERT_EQ(Uncompress(back.data(), &backLen, packed.data(), packedLen), Z_OK) << n;
    ASSERT_EQ(backLen, n);
    back.resize(backLen);
    ASSERT_TRUE(back == source) << n;
}

Bytes compressed(const Bytes& source) {
    unsigned int len = CompressBound(static_cast<unsigned int>(source.size()));
    Bytes packed(len);
    EXPECT_EQ(
        Compress(packed.data(), &len, source.data(), static_cast<unsigned int>(source.size())),
        Z_OK);
    packed.resize(len);
    return packed;
}

}  // namespace

TEST(CompressBound, FollowsItsFormulaAndWraps) {
    EXPECT_EQ(CompressBound(0), 11u);
    EXPECT_EQ(CompressBound(4096), 4108u);
    EXPECT_EQ(CompressBound(16384), 16400u);
    // 0xffffffff + 0xfffff + 0x3ffff + 11, modulo 2^32.
    EXPECT_EQ(CompressBound(UINT_MAX), 1310728u);
    EXPECT_EQ(CompressBound(4293656964u), UINT_MAX);
    EXPECT_EQ(CompressBound(4293656965u), 0u);
}

TEST(Compress, RoundTripsTypicalData) {
    for (const Bytes& source : {Bytes{}, Bytes{42}, text(100000), Bytes(70000, 0)}) {
        expectFitsBoundAndRoundTrips(source, Compress);
    }
    EXPECT_LT(compressed(text(100000)).size(), 1000u);
}

TEST(Compress, IncompressibleDataFitsBoundAtManySizes) {
    // Every small size, then a spread, then both sides of the sizes where
    // deflate's stored blocks and the bound's steps change.
    Bytes pool = randomBytes(140000, 2);
    std::vector<size_t> sizes;
    for (size_t n = 0; n < 20000; n += n < 512 ? 1 : 37) sizes.push_back(n);
    for (size_t edge : {16384, 32768, 49152, 65535, 65536, 131070}) {
        for (size_t n : {edge - 1, edge, edge + 1}) sizes.push_back(n);
    }
    for (size_t n : sizes) {
        Bytes source(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(n));
        expectFitsBoundAndRoundTrips(source, Compress);
        expectFitsBoundAndRoundTrips(source, wirekit::compress::compressStored);
        if (HasFatalFailure()) return;
    }
}

TEST(Compress, LargeIncompressibleDataFitsBound) {
    for (size_t n :
         {size_t{1} << 20, (size_t{16} << 20) + 3, (size_t{64} << 20) - 1, size_t{64} << 20}) {
        Bytes source = randomBytes(n, static_cast<unsigned>(n));
        expectFitsBoundAndRoundTrips(source, Compress);
        if (n == size_t{64} << 20)
            expectFitsBoundAndRoundTrips(source, wirekit::compress::compressStored);
    }
}

TEST(Compress, WideCapacityReportsWrittenLength) {
    Bytes source = text(5000);
    Bytes packed(CompressBound(5000));
    unsigned int len = UINT_MAX;  // the largest capacity a host can state
    ASSERT_EQ(Compress(packed.data(), &len, source.data(), 5000), Z_OK);
    EXPECT_EQ(Bytes(packed.begin(), packed.begin() + len), compressed(source));
}

TEST(Compress, ShortDestinationFails) {
    Bytes source = randomBytes(1000, 3);
    Bytes packed = compressed(source);
    Bytes out(packed.size());
    unsigned int len = static_cast<unsigned int>(packed.size());
    EXPECT_EQ(Compress(out.data(), &len, source.data(), 1000), Z_OK);
    len = static_cast<unsigned int>(packed.size() - 1);
    EXPECT_EQ(Compress(out.data(), &len, source.data(), 1000), Z_BUF_ERROR);
}

TEST(Uncompress, ReportsDamagedStreamsAndShortDestinations) {
    Bytes source = text(20000);
    Bytes packed = compressed(source);
    Bytes out(source.size() + 10);
    unsigned int len = static_cast<unsigned int>(out.size());
    int truncated =
        Uncompress(out.data(), &len, packed.data(), static_cast<unsigned>(packed.size() / 2));
    EXPECT_TRUE(truncated == Z_DATA_ERROR || truncated == Z_BUF_ERROR) << truncated;
    len = static_cast<unsigned int>(out.size());
    EXPECT_EQ(Uncompress(out.data(), &len, packed.data(), static_cast<unsigned>(packed.size() - 1)),
              Z_DATA_ERROR);

    len = static_cast<unsigned int>(source.size() - 1);
    EXPECT_EQ(Uncompress(out.data(), &len, packed.data(), static_cast<unsigned>(packed.size())),
              Z_BUF_ERROR);

    Bytes garbage = randomBytes(100, 4);
    len = static_cast<unsigned int>(out.size());
    EXPECT_EQ(Uncompress(out.data(), &len, garbage.data(), 100), Z_DATA_ERROR);
}

TEST(Compress, NullPointersAreStreamErrors) {
    Bytes data(16, 7), out(64, 0xee);
    unsigned int len = 64;
    EXPECT_EQ(Compress(nullptr, &len, data.data(), 16), Z_STREAM_ERROR);
    EXPECT_EQ(Compress(out.data(), nullptr, data.data(), 16), Z_STREAM_ERROR);
    EXPECT_EQ(Compress(out.data(), &len, nullptr, 0), Z_STREAM_ERROR);
    EXPECT_EQ(Uncompress(nullptr, &len, data.data(), 16), Z_STREAM_ERROR);
    EXPECT_EQ(Uncompress(out.data(), nullptr, data.data(), 16), Z_STREAM_ERROR);
    EXPECT_EQ(Uncompress(out.data(), &len, nullptr, 16), Z_STREAM_ERROR);
    EXPECT_EQ(len, 64u);
    EXPECT_EQ(out, Bytes(64, 0xee));
}
