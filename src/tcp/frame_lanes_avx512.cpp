// Compiled with the AVX-512 (F, BW) and BMI flags. It includes nothing from
// the standard library beyond <cstddef>, so that no inline function compiled
// with those instructions can be shared with code that runs without them.
#include "tcp/frame_lanes_avx512.h"

#include <immintrin.h>

namespace wirekit::tcp::avx512 {

namespace {
constexpr unsigned char ESC = 0x05;
constexpr std::size_t W = LANE_BYTES;
constexpr std::size_t PREFETCH_AHEAD = 4096;

inline unsigned long long copyLane(unsigned char* out, const unsigned char* in) {
    const __m512i v = _mm512_loadu_si512(in);
    _mm512_storeu_si512(out, v);
    return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(ESC)));
}

inline void moveLane(unsigned char* out, const unsigned char* in) {
    _mm512_storeu_si512(out, _mm512_loadu_si512(in));
}
}  // namespace

// Each lane is copied whole; then the bytes from its 0x05 on are copied
// again one place further, which doubles it. A lane without one has its
// "0x05" at 64 (tzcnt of zero), so that second copy lands past the lane,
// where the next lane overwrites it.
void doubleLanes(EncodeCursor& c, const unsigned char* end, const unsigned char* limit,
                 std::size_t directRunBytes) {
    const unsigned char* in = c.in;
    unsigned char* out = c.out;
    const unsigned char* runStart = c.runStart;
    unsigned char* runOut = c.runOut;
    while (static_cast<std::size_t>(end - in) >= 2 * W &&
           static_cast<std::size_t>(limit - out) >= 2 * W + 1) {
        // A body that comes from memory rather than the caches is read
        // faster when asked for a page ahead.
        if (static_cast<std::size_t>(end - in) > PREFETCH_AHEAD)
            _mm_prefetch(reinterpret_cast<const char*>(in) + PREFETCH_AHEAD, _MM_HINT_T0);
        const unsigned long long marks = copyLane(out, in);
        if ((marks & (marks - 1)) != 0) break;  // two or more: the caller's
        const auto k = static_cast<std::size_t>(_tzcnt_u64(marks));
        moveLane(out + k + 1, in + k);
        const bool escaped = marks != 0;
        runStart = escaped ? in + k + 1 : runStart;
        runOut = escaped ? out + k + 2 : runOut;
        out += W + static_cast<std::size_t>(escaped);
        in += W;
        if (static_cast<std::size_t>(in - runStart) >= directRunBytes) break;
    }
    c = {in, out, runStart, runOut};
}

// Each lane is copied whole; with a doubled pair at k the bytes after the
// pair are copied again one place back, over the partner. Without one, k is
// 64 and that copy lands past the lane, where the next lane overwrites it.
std::size_t undoubleLanes(const unsigned char* in, std::size_t length, unsigned char* out,
                          std::size_t room, std::size_t* written) {
    std::size_t i = 0;
    std::size_t size = 0;
    while (length - i >= 2 * W + 2 && room - size >= 2 * W + 1) {
        const unsigned long long marks = copyLane(out + size, in + i);
        const auto k = static_cast<unsigned>(_tzcnt_u64(marks));
        // A pair from k on shifts down to 0b11; a lone 0x05 at the lane's
        // end shifts down to 1. Both tests are made, without a jump.
        const bool common =
            (static_cast<int>(marks == 0) | static_cast<int>((marks >> (k & 63)) == 3)) != 0;
        if (!common) break;
        moveLane(out + size + k + 1, in + i + k + 2);
        size += W - static_cast<std::size_t>(marks != 0);
        i += W;
    }
    *written = size;
    return i;
}

}  // namespace wirekit::tcp::avx512
