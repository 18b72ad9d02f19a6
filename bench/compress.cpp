// Compress and Uncompress next to direct zlib calls on the same data in the
// same run. The runs alternate and the best of each is kept, so load from
// other processes affects both sides alike.
//
//   bench/compress [MiB] [repetitions]
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "wirekit.h"

namespace {

double seconds(const std::chrono::steady_clock::time_point& start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Text-like data: words from a small vocabulary with some random bytes mixed
// in, which compresses to about 15%.
std::vector<unsigned char> sample(size_t bytes) {
    static const char* const words[] = {"socket ",   "handle ",     "message ", "queue ", "event ",
                                        "endpoint ", "retransmit ", "frame ",   "offer ", "ack "};
    std::mt19937 rng(9);
    std::vector<unsigned char> data;
    data.reserve(bytes + 16);
    while (data.size() < bytes) {
        if (rng() % 8 == 0) {
            data.push_back(static_cast<unsigned char>(rng()));
        } else {
            const char* w = words[rng() % 10];
            data.insert(data.end(), w, w + std::strlen(w));
        }
    }
    data.resize(bytes);
    return data;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 5;
    const size_t bytes = mib << 20;
    const auto n = static_cast<unsigned int>(bytes);

    std::vector<unsigned char> source = sample(bytes);
    std::vector<unsigned char> packed(compressBound(bytes)), back(bytes);
    double oursIn = 1e9, zlibIn = 1e9, oursOut = 1e9, zlibOut = 1e9;
    unsigned int packedLen = 0;
    for (int i = 0; i < repetitions; ++i) {
        auto start = std::chrono::steady_clock::now();
        packedLen = static_cast<unsigned int>(packed.size());
        if (Compress(packed.data(), &packedLen, source.data(), n) != Z_OK) return 1;
        oursIn = std::min(oursIn, seconds(start));

        start = std::chrono::steady_clock::now();
        uLongf zlibLen = packed.size();
        if (compress(packed.data(), &zlibLen, source.data(), bytes) != Z_OK) return 1;
        zlibIn = std::min(zlibIn, seconds(start));

        start = std::chrono::steady_clock::now();
        unsigned int backLen = n;
        if (Uncompress(back.data(), &backLen, packed.data(), packedLen) != Z_OK) return 1;
        oursOut = std::min(oursOut, seconds(start));

        start = std::chrono::steady_clock::now();
        uLongf zlibBack = bytes;
        if (uncompress(back.data(), &zlibBack, packed.data(), zlibLen) != Z_OK) return 1;
        zlibOut = std::min(zlibOut, seconds(start));
    }
    if (back != source) return 1;

    auto rate = [&](double s) { return static_cast<double>(bytes) / s / 1e6; };
    std::printf("buffer %zu MiB, compressed to %.1f%%, best of %d\n", mib,
                100.0 * packedLen / static_cast<double>(bytes), repetitions);
    std::printf("%-12s %14s %14s %8s\n", "call", "wirekit MB/s", "zlib MB/s", "ratio");
    std::printf("%-12s %14.1f %14.1f %8.3f\n", "compress", rate(oursIn), rate(zlibIn),
                zlibIn / oursIn);
    std::printf("%-12s %14.1f %14.1f %8.3f\n", "uncompress", rate(oursOut), rate(zlibOut),
                zlibOut / oursOut);
    return 0;
}
