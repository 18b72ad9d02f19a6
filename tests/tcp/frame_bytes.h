// A whole frame as one buffer, as the encoder hands it to its sink.
#pragma once

#include <cstddef>
#include <vector>

#include "tcp/framing.h"

namespace wirekit::tcp::test {

inline std::vector<unsigned char> encodeFrame(const void* body, std::size_t length) {
    std::vector<unsigned char> out;
    FrameEncoder encoder;
    encoder.encode(body, length, [&](const FramePiece* pieces, std::size_t count) {
        for (std::size_t k = 0; k < count; ++k)
            out.insert(out.end(), pieces[k].data, pieces[k].data + pieces[k].length);
        return true;
    });
    return out;
}

}  // namespace wirekit::tcp::test
