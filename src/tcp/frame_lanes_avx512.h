// The frame codec's widest lanes: 64 bytes in one AVX-512 vector. They take
// the common lanes of a stream, those with no 0x05 or one (one doubled pair
// on the receiving side), without a jump that depends on where the 0x05 is,
// and leave every other lane to the codec's own loop. Built for 64-bit x86
// on Linux with compilers that take the instruction set; called only where
// the processor and the system run it.
#pragma once

#include <cstddef>

namespace wirekit::tcp::avx512 {

constexpr std::size_t LANE_BYTES = 64;

// Where the encoder is: the next body byte, the next staged byte, and the
// start of the body's current run without an escape with the place its copy
// starts in the staging buffer.
struct EncodeCursor {
    const unsigned char* in;
    unsigned char* out;
    const unsigned char* runStart;
    unsigned char* runOut;
};

// Stages whole lanes from cursor.in, each 0x05 doubled, while each lane has
// at most one, the body has two more lanes and the buffer 2 lanes and a byte
// of room (what a lane may write). Stops early when the current run reaches
// directRunBytes (the caller sends such runs from the body).
void doubleLanes(EncodeCursor& cursor, const unsigned char* end, const unsigned char* limit,
                 std::size_t directRunBytes);

// Copies whole lanes from `in` to `out` with their doubled pair undoubled,
// while each lane holds no 0x05 or one doubled pair and there are two lanes
// and two bytes more to read and two lanes and a byte of room. Returns the
// bytes read; *written gets the bytes that count in `out` (bytes past them
// may have been written too).
std::size_t undoubleLanes(const unsigned char* in, std::size_t length, unsigned char* out,
                          std::size_t room, std::size_t* written);

}  // namespace wirekit::tcp::avx512
