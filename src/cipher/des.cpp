#include "cipher/des.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cipher/des_lookup.h"

namespace wirekit::cipher {

namespace {

using lookup::ByteLookup;
using lookup::rotateRight;

struct RoundKey {
    std::uint32_t even;
    std::uint32_t odd;
};

// Sixteen round keys in the order the rounds use them: first to last for
// encryption, last to first for decryption.
struct KeySchedule {
    RoundKey round[16];
};

inline std::uint64_t permuteBytes(const ByteLookup& table, const unsigned char* b) {
    return table.byByte[0][b[0]] | table.byByte[1][b[1]] | table.byByte[2][b[2]] |
           table.byByte[3][b[3]] | table.byByte[4][b[4]] | table.byByte[5][b[5]] |
           table.byByte[6][b[6]] | table.byByte[7][b[7]];
}

inline std::uint64_t permuteWord(const ByteLookup& table, std::uint64_t w) {
    std::uint64_t image = 0;
    for (unsigned p = 0; p < 8; ++p) image |= table.byByte[p][w >> (8 * p) & 0xff];
    return image;
}

// C and D hold element k at bit k, so rotating the bit string towards its start
// is a right rotation of the 28-bit integer.
inline std::uint32_t rotate28(std::uint32_t x, unsigned n) {
    return (x >> n | x << (28 - n)) & 0x0fffffffu;
}

KeySchedule makeSchedule(const unsigned char* key, bool reversed) {
    std::uint64_t cd = permuteBytes(lookup::CHOICE_ONE, key);
    std::uint32_t c = static_cast<std::uint32_t>(cd);
    std::uint32_t d = static_cast<std::uint32_t>(cd >> 32);
    KeySchedule schedule;
    for (unsigned i = 0; i < 16; ++i) {
        c = rotate28(c, tables::ROTATIONS[i]);
        d = rotate28(d, tables::ROTATIONS[i]);
        std::uint64_t k = permuteWord(lookup::CHOICE_TWO, std::uint64_t{d} << 32 | c);
        schedule.round[reversed ? 15 - i : i] = {static_cast<std::uint32_t>(k),
                                                 static_cast<std::uint32_t>(k >> 32)};
    }
    return schedule;
}

inline std::uint32_t feistel(std::uint32_t r, RoundKey k) {
    const auto& box = lookup::SBOX.box;
    std::uint32_t u = r ^ k.even;
    std::uint32_t t = rotateRight(r, 4) ^ k.odd;
    return box[0][u & 63] ^ box[2][u >> 8 & 63] ^ box[4][u >> 16 & 63] ^ box[6][u >> 24 & 63] ^
           box[1][t & 63] ^ box[3][t >> 8 & 63] ^ box[5][t >> 16 & 63] ^ box[7][t >> 24 & 63];
}

// Encryption rounds turn (L, R) into (R, L ^ f(R)); done in place on two
// variables that take turns, sixteen rounds leave L and R back in `a` and `b`.
// Decryption rounds turn (L, R) into (R ^ f(L), L), which is the same code with
// the halves' roles exchanged and the round keys reversed.
//
// Each round waits for the previous one's table lookups, so the rounds of
// LANES independent blocks are interleaved to keep the processor busy.
template <unsigned LANES>
inline void sixteenRounds(std::uint32_t (&a)[LANES], std::uint32_t (&b)[LANES],
                          const KeySchedule& schedule) {
    const RoundKey* k = schedule.round;
    for (unsigned i = 0; i < 16; i += 2) {
        for (unsigned lane = 0; lane < LANES; ++lane) a[lane] ^= feistel(b[lane], k[i]);
        for (unsigned lane = 0; lane < LANES; ++lane) b[lane] ^= feistel(a[lane], k[i + 1]);
    }
}

// The halves are not exchanged before the final permutation, so the final
// permutation of one pass and the initial permutation of the next cancel: the
// triple passes run on the halves directly, with the permutations only at the
// ends. `first` is K1's schedule and `second` K2's, each ordered for the
// direction its pass runs in.
template <unsigned LANES, bool Triple, bool Decrypt>
void runLanes(unsigned char* out, const unsigned char* in, const KeySchedule& first,
              const KeySchedule& second) {
    std::uint32_t l[LANES], r[LANES];
    for (unsigned lane = 0; lane < LANES; ++lane) {
        std::uint64_t halves = permuteBytes(lookup::INITIAL, in + 8 * lane);
        l[lane] = static_cast<std::uint32_t>(halves);
        r[lane] = static_cast<std::uint32_t>(halves >> 32);
    }
    if (!Decrypt) {
        sixteenRounds(l, r, first);
        if (Triple) {
            sixteenRounds(r, l, second);
            sixteenRounds(l, r, first);
        }
    } else {
        sixteenRounds(r, l, first);
        if (Triple) {
            sixteenRounds(l, r, second);
            sixteenRounds(r, l, first);
        }
    }
    // All input lanes are read before any output is written, so out may be in.
    for (unsigned lane = 0; lane < LANES; ++lane) {
        std::uint64_t block = permuteWord(lookup::FINAL, std::uint64_t{r[lane]} << 32 | l[lane]);
        for (unsigned p = 0; p < 8; ++p) {
            out[8 * lane + p] = static_cast<unsigned char>(block >> (8 * p));
        }
    }
}

template <bool Triple, bool Decrypt>
void runBlocks(unsigned char* out, const unsigned char* in, std::size_t blocks,
               const KeySchedule& first, const KeySchedule& second) {
    constexpr unsigned LANES = 4;
    std::size_t i = 0;
    for (; i + LANES <= blocks; i += LANES) {
        runLanes<LANES, Triple, Decrypt>(out + 8 * i, in + 8 * i, first, second);
    }
    for (; i < blocks; ++i) runLanes<1, Triple, Decrypt>(out + 8 * i, in + 8 * i, first, second);
}

}  // namespace

bool desGo(unsigned char* out, const unsigned char* in, int length, const unsigned char* key,
           int keyLength, bool decrypt) {
    if (out == nullptr || in == nullptr || key == nullptr || length <= 0) return false;
    keyLength = std::clamp(keyLength, 0, 16);
    unsigned char area[16] = {};
    std::memcpy(area, key, static_cast<std::size_t>(keyLength));
    const bool triple = keyLength > 8;
    const std::size_t blocks = (static_cast<std::size_t>(length) + 7) / 8;

    KeySchedule first = makeSchedule(area, decrypt);
    if (!triple) {
        if (decrypt) {
            runBlocks<false, true>(out, in, blocks, first, first);
        } else {
            runBlocks<false, false>(out, in, blocks, first, first);
        }
        return true;
    }
    KeySchedule second = makeSchedule(area + 8, !decrypt);
    if (decrypt) {
        runBlocks<true, true>(out, in, blocks, first, second);
    } else {
        runBlocks<true, false>(out, in, blocks, first, second);
    }
    return true;
}

}  // namespace wirekit::cipher
