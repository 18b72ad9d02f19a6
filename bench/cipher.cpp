// Des_Go over a 64 MiB buffer in single and triple mode, next to OpenSSL's
// low-level ECB calls over the same buffer in the same run. The outputs differ
// (the library's bit order is its own); the work per block is the same.
// OpenSSL declares its input block type without const, hence the casts.
//
//   bench/cipher [MiB] [repetitions]
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "wirekit.h"

namespace {

// Best of `repetitions` runs, in MB/s (10^6 bytes per second).
double bestRate(size_t bytes, int repetitions, const std::function<void()>& run) {
    double best = 0;
    for (int i = 0; i < repetitions; ++i) {
        auto start = std::chrono::steady_clock::now();
        run();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::max(best, static_cast<double>(bytes) / took.count() / 1e6);
    }
    return best;
}

void opensslSingle(unsigned char* out, const unsigned char* in, size_t bytes,
                   const DES_key_schedule& ks, int direction) {
    for (size_t i = 0; i < bytes; i += 8) {
        DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(const_cast<unsigned char*>(in + i)),
                        reinterpret_cast<DES_cblock*>(out + i), const_cast<DES_key_schedule*>(&ks),
                        direction);
    }
}

void opensslTriple(unsigned char* out, const unsigned char* in, size_t bytes,
                   const DES_key_schedule& k1, const DES_key_schedule& k2, int direction) {
    for (size_t i = 0; i < bytes; i += 8) {
        DES_ecb3_encrypt(reinterpret_cast<const_DES_cblock*>(const_cast<unsigned char*>(in + i)),
                         reinterpret_cast<DES_cblock*>(out + i), const_cast<DES_key_schedule*>(&k1),
                         const_cast<DES_key_schedule*>(&k2), const_cast<DES_key_schedule*>(&k1),
                         direction);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    const size_t bytes = mib << 20;

    std::mt19937_64 rng(1);
    std::vector<unsigned char> in(bytes), out(bytes);
    for (auto& b : in) b = static_cast<unsigned char>(rng());
    unsigned char key[16];
    for (auto& b : key) b = static_cast<unsigned char>(rng());

    DES_key_schedule k1, k2;
    DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(key), &k1);
    DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(key + 8), &k2);

    std::printf("buffer %zu MiB, best of %d\n", mib, repetitions);
    std::printf("%-16s %12s %12s %8s\n", "mode", "Des_Go MB/s", "OpenSSL MB/s", "ratio");
    for (int keyLength : {8, 16}) {
        for (bool decrypt : {false, true}) {
            double ours = bestRate(bytes, repetitions, [&] {
                Des_Go(out.data(), in.data(), static_cast<int>(bytes), key, keyLength, decrypt);
            });
            int direction = decrypt ? DES_DECRYPT : DES_ENCRYPT;
            double theirs = bestRate(bytes, repetitions, [&] {
                if (keyLength == 8) {
                    opensslSingle(out.data(), in.data(), bytes, k1, direction);
                } else {
                    opensslTriple(out.data(), in.data(), bytes, k1, k2, direction);
                }
            });
            char mode[32];
            std::snprintf(mode, sizeof mode, "%s %s", keyLength == 8 ? "single" : "triple",
                          decrypt ? "decrypt" : "encrypt");
            std::printf("%-16s %12.1f %12.1f %8.2f\n", mode, ours, theirs, ours / theirs);
        }
    }
    return 0;
}
