// Lookup tables derived at compile time from the published DES tables for the
// library's bit order, so the cipher works on whole words instead of bit strings.
//
// Representation. The bit string of k bytes numbers its bits least significant
// first within each byte, so loading the bytes little-endian into an integer
// puts bit-string element j at integer bit j. A 32-bit half (L or R) holds its
// element k at bit k, but the cipher keeps both halves rotated left by one bit:
// then each six-bit group of the expansion E is a plain run of six bits of the
// stored half (group g at bits 4g .. 4g+5, wrapping for the last group), and
// the rotation is folded into the tables below instead of being done per round.
// A pair of halves is one 64-bit word: L in bits 0-31, R in bits 32-63.
//
// Round keys are stored the same way, as two words laid over the expansion
// groups: `even` holds groups 0, 2, 4, 6 at bits 0, 8, 16, 24 and `odd` holds
// groups 1, 3, 5, 7 at the same places, with bit m of each group being the key
// bit 6g+m. A round then needs the stored R xored with `even` for the even groups
// and R rotated right by 4 xored with `odd` for the odd ones.
#pragma once

#include <cstdint>

#include "cipher/des_tables.h"

namespace wirekit::cipher::lookup {

constexpr std::uint32_t rotateLeft(std::uint32_t x, unsigned n) {
    n &= 31;
    return n == 0 ? x : (x << n) | (x >> (32 - n));
}
constexpr std::uint32_t rotateRight(std::uint32_t x, unsigned n) { return rotateLeft(x, 32 - n); }

// A permutation of up to 64 bits given as a destination for each source bit;
// DROPPED marks source bits that do not reach the output.
constexpr unsigned char DROPPED = 0xff;
struct BitMap {
    unsigned char to[64];
};

// Applies a bit permutation to a 64-bit word with one lookup per source byte:
// byByte[p][v] is the image of the word whose byte p is v and whose other bytes
// are zero. The permutation moves bits independently, so the images of the
// eight bytes combine with OR.
struct ByteLookup {
    std::uint64_t byByte[8][256];
};

constexpr ByteLookup makeByteLookup(const BitMap& map) {
    ByteLookup lookup{};
    for (unsigned p = 0; p < 8; ++p) {
        for (unsigned v = 0; v < 256; ++v) {
            std::uint64_t image = 0;
            for (unsigned bit = 0; bit < 8; ++bit) {
                unsigned char to = map.to[8 * p + bit];
                if ((v >> bit & 1) != 0 && to != DROPPED) image |= std::uint64_t{1} << to;
            }
            lookup.byByte[p][v] = image;
        }
    }
    return lookup;
}

// Where element e (0-63) of L followed by R sits in the word of rotated halves.
constexpr unsigned char halfPairBit(unsigned e) {
    return static_cast<unsigned char>(e / 32 * 32 + (e % 32 + 1) % 32);
}

constexpr BitMap emptyMap() {
    BitMap map{};
    for (unsigned char& to : map.to) to = DROPPED;
    return map;
}

// Block bytes to the pair of rotated halves, through IP.
constexpr BitMap initialMap() {
    BitMap map = emptyMap();
    for (unsigned i = 0; i < 64; ++i) map.to[tables::IP[i] - 1] = halfPairBit(i);
    return map;
}

// The pair of rotated halves, L first as they stand after the last round, to
// the block bytes, through IP's inverse.
constexpr BitMap finalMap() {
    BitMap map = emptyMap();
    for (unsigned i = 0; i < 64; ++i) {
        map.to[halfPairBit(tables::IP_INVERSE[i] - 1)] = static_cast<unsigned char>(i);
    }
    return map;
}

// Key bytes to C (bits 0-27) and D (bits 32-59), through PC-1. The last bit of
// every key byte is not used by PC-1.
constexpr BitMap choiceOneMap() {
    BitMap map = emptyMap();
    for (unsigned i = 0; i < 56; ++i) {
        map.to[tables::PC1[i] - 1] = static_cast<unsigned char>(i < 28 ? i : i + 4);
    }
    return map;
}

// C (bits 0-27) and D (bits 32-59) to a round key, `even` in the low word and
// `odd` in the high word, through PC-2.
constexpr BitMap choiceTwoMap() {
    BitMap map = emptyMap();
    for (unsigned i = 0; i < 48; ++i) {
        unsigned source = tables::PC2[i] - 1u;
        unsigned from = source < 28 ? source : source + 4;
        unsigned group = i / 6;
        unsigned to = (group % 2) * 32 + (group / 2) * 8 + i % 6;
        map.to[from] = static_cast<unsigned char>(to);
    }
    return map;
}

// Combined S-box and P: box[g][x] is P applied to the output of S-box g+1 for
// the six-bit group x (bit m of x is group bit m), rotated left by one to match
// the stored halves. Row is 2*b0 + b5, column 8*b1 + 4*b2 + 2*b3 + b4, and the
// four output bits are the S-box value's bits from the least significant up.
struct SBoxLookup {
    std::uint32_t box[8][64];
};

constexpr SBoxLookup makeSBoxLookup() {
    SBoxLookup lookup{};
    for (unsigned g = 0; g < 8; ++g) {
        for (unsigned x = 0; x < 64; ++x) {
            unsigned row = 2 * (x & 1) + (x >> 5 & 1);
            unsigned column = 8 * (x >> 1 & 1) + 4 * (x >> 2 & 1) + 2 * (x >> 3 & 1) + (x >> 4 & 1);
            std::uint32_t substituted = std::uint32_t{tables::S[g][row][column]} << (4 * g);
            std::uint32_t permuted = 0;
            for (unsigned i = 0; i < 32; ++i) {
                permuted |= (substituted >> (tables::P[i] - 1) & 1u) << i;
            }
            lookup.box[g][x] = rotateLeft(permuted, 1);
        }
    }
    return lookup;
}

inline constexpr ByteLookup INITIAL = makeByteLookup(initialMap());
inline constexpr ByteLookup FINAL = makeByteLookup(finalMap());
inline constexpr ByteLookup CHOICE_ONE = makeByteLookup(choiceOneMap());
inline constexpr ByteLookup CHOICE_TWO = makeByteLookup(choiceTwoMap());
inline constexpr SBoxLookup SBOX = makeSBoxLookup();

}  // namespace wirekit::cipher::lookup
