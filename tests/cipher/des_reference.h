// A literal model of the cipher for the tests: bit strings with one element per
// bit and the published tables applied position by position. It is slow and
// plain on purpose, so the fast word-based code can be checked against it.
//
// The model also runs the textbook cipher (most significant bit first, halves
// exchanged before the final permutation, S-box values written most
// significant bit first); matching the published test vector in that form is
// what vouches for the tables typed in here.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace wirekit::test::des_reference {

struct BitOrder {
    bool lsbFirstBytes;        // expand and pack bytes least significant bit first
    bool exchangeBeforeFinal;  // R followed by L goes into the final permutation
    bool lsbFirstSBox;         // S-box values written least significant bit first
};
inline constexpr BitOrder LIBRARY{true, false, true};
inline constexpr BitOrder TEXTBOOK{false, true, false};

using Bits = std::vector<int>;

// clang-format off
inline constexpr int IP[64] = {
    58, 50, 42, 34, 26, 18, 10,  2,
    60, 52, 44, 36, 28, 20, 12,  4,
    62, 54, 46, 38, 30, 22, 14,  6,
    64, 56, 48, 40, 32, 24, 16,  8,
    57, 49, 41, 33, 25, 17,  9,  1,
    59, 51, 43, 35, 27, 19, 11,  3,
    61, 53, 45, 37, 29, 21, 13,  5,
    63, 55, 47, 39, 31, 23, 15,  7};
inline constexpr int IP_INV[64] = {
    40,  8, 48, 16, 56, 24, 64, 32,
    39,  7, 47, 15, 55, 23, 63, 31,
    38,  6, 46, 14, 54, 22, 62, 30,
    37,  5, 45, 13, 53, 21, 61, 29,
    36,  4, 44, 12, 52, 20, 60, 28,
    35,  3, 43, 11, 51, 19, 59, 27,
    34,  2, 42, 10, 50, 18, 58, 26,
    33,  1, 41,  9, 49, 17, 57, 25};
inline constexpr int E[48] = {
    32,  1,  2,  3,  4,  5,
     4,  5,  6,  7,  8,  9,
     8,  9, 10, 11, 12, 13,
    12, 13, 14, 15, 16, 17,
    16, 17, 18, 19, 20, 21,
    20, 21, 22, 23, 24, 25,
    24, 25, 26, 27, 28, 29,
    28, 29, 30, 31, 32,  1};
inline constexpr int P[32] = {
    16,  7, 20, 21,
    29, 12, 28, 17,
     1, 15, 23, 26,
     5, 18, 31, 10,
     2,  8, 24, 14,
    32, 27,  3,  9,
    19, 13, 30,  6,
    22, 11,  4, 25};
inline constexpr int PC1[56] = {
    57, 49, 41, 33, 25, 17,  9,
     1, 58, 50, 42, 34, 26, 18,
    10,  2, 59, 51, 43, 35, 27,
    19, 11,  3, 60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15,
     7, 62, 54, 46, 38, 30, 22,
    14,  6, 61, 53, 45, 37, 29,
    21, 13,  5, 28, 20, 12,  4};
inline constexpr int PC2[48] = {
    14, 17, 11, 24,  1,  5,
     3, 28, 15,  6, 21, 10,
    23, 19, 12,  4, 26,  8,
    16,  7, 27, 20, 13,  2,
    41, 52, 31, 37, 47, 55,
    30, 40, 51, 45, 33, 48,
    44, 49, 39, 56, 34, 53,
    46, 42, 50, 36, 29, 32};
inline constexpr int SHIFTS[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
inline constexpr int SBOX[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}}};
// clang-format on

inline Bits expand(const unsigned char* bytes, int count, BitOrder order) {
    Bits bits;
    for (int j = 0; j < 8 * count; ++j) {
        int shift = order.lsbFirstBytes ? j % 8 : 7 - j % 8;
        bits.push_back(bytes[j / 8] >> shift & 1);
    }
    return bits;
}

inline void pack(const Bits& bits, unsigned char* bytes, BitOrder order) {
    for (size_t j = 0; j < bits.size(); j += 8) bytes[j / 8] = 0;
    for (size_t j = 0; j < bits.size(); ++j) {
        int shift = order.lsbFirstBytes ? static_cast<int>(j % 8) : 7 - static_cast<int>(j % 8);
        bytes[j / 8] = static_cast<unsigned char>(bytes[j / 8] | bits[j] << shift);
    }
}

template <size_t N>
Bits permute(const int (&table)[N], const Bits& in) {
    Bits out(N);
    for (size_t i = 0; i < N; ++i) out[i] = in[table[i] - 1];
    return out;
}

inline Bits concat(const Bits& a, const Bits& b) {
    Bits out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

inline Bits xorBits(const Bits& a, const Bits& b) {
    Bits out(a.size());
    for (size_t i = 0; i < a.size(); ++i) out[i] = a[i] ^ b[i];
    return out;
}

using Schedule = std::array<Bits, 16>;

inline Schedule keySchedule(const unsigned char* key, BitOrder order) {
    Bits permuted = permute(PC1, expand(key, 8, order));
    Bits c(permuted.begin(), permuted.begin() + 28);
    Bits d(permuted.begin() + 28, permuted.end());
    Schedule schedule;
    for (int round = 0; round < 16; ++round) {
        std::rotate(c.begin(), c.begin() + SHIFTS[round], c.end());
        std::rotate(d.begin(), d.begin() + SHIFTS[round], d.end());
        schedule[round] = permute(PC2, concat(c, d));
    }
    return schedule;
}

inline Bits feistel(const Bits& r, const Bits& k, BitOrder order) {
    Bits x = xorBits(permute(E, r), k);
    Bits s;
    for (int g = 0; g < 8; ++g) {
        const int* b = &x[6 * g];
        int row = 2 * b[0] + b[5];
        int column = 8 * b[1] + 4 * b[2] + 2 * b[3] + b[4];
        int v = SBOX[g][row][column];
        for (int i = 0; i < 4; ++i) s.push_back(v >> (order.lsbFirstSBox ? i : 3 - i) & 1);
    }
    return permute(P, s);
}

inline void block(const unsigned char* in, unsigned char* out, const Schedule& schedule,
                  bool decrypt, BitOrder order) {
    Bits bits = permute(IP, expand(in, 8, order));
    Bits l(bits.begin(), bits.begin() + 32);
    Bits r(bits.begin() + 32, bits.end());
    if (!decrypt || order.exchangeBeforeFinal) {
        // The textbook form decrypts by running the encryption rounds with the
        // round keys in reverse order.
        for (int i = 0; i < 16; ++i) {
            const Bits& k = schedule[decrypt ? 15 - i : i];
            Bits newR = xorBits(l, feistel(r, k, order));
            l = r;
            r = newR;
        }
    } else {
        for (int i = 15; i >= 0; --i) {
            Bits newL = xorBits(r, feistel(l, schedule[i], order));
            r = l;
            l = newL;
        }
    }
    Bits pre = order.exchangeBeforeFinal ? concat(r, l) : concat(l, r);
    pack(permute(IP_INV, pre), out, order);
}

// The whole buffer operation in the library's bit order.
inline bool desGo(unsigned char* out, const unsigned char* in, int length, const unsigned char* key,
                  int keyLength, bool decrypt) {
    if (out == nullptr || in == nullptr || key == nullptr || length <= 0) return false;
    unsigned char area[16] = {};
    int used = std::min(std::max(keyLength, 0), 16);
    std::memcpy(area, key, static_cast<size_t>(used));
    Schedule k1 = keySchedule(area, LIBRARY);
    bool triple = used > 8;
    Schedule k2 = triple ? keySchedule(area + 8, LIBRARY) : k1;
    int blocks = length / 8 + (length % 8 != 0);
    for (int n = 0; n < blocks; ++n) {
        unsigned char t[8];
        block(in + 8 * n, t, k1, decrypt, LIBRARY);
        if (triple) {
            block(t, t, k2, !decrypt, LIBRARY);
            block(t, t, k1, decrypt, LIBRARY);
        }
        std::memcpy(out + 8 * n, t, 8);
    }
    return true;
}

}  // namespace wirekit::test::des_reference
