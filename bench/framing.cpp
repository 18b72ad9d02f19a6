// The frame codec alone, one thread, next to memcpy of the same bytes in the
// same run: microseconds of CPU per 64 KiB message for
//   encode: a random body (about one 0x05 in 256) into the staging buffer,
//           bodies drawn in turn from a 64 MiB pool (larger than the caches,
//           as a host's data usually is) and lying at every 272nd offset
//           within a page, so that no placement of the body is favoured;
//   decode: the frames of 256 such bodies (16 MiB), fed in 256 KiB blocks as
//           a session reads them, each message then copied out as
//           GetMessage_Tcp does.
// The baseline copies the same bytes with memcpy (encode: body to a buffer;
// decode: block to the message buffer and on to the host's). Each kernel
// the build has is measured; rows run in alternating pairs with their
// baseline and report the median of five.
//
//   framing [pairs (5)]
#include "tcp/framing.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bench_support.h"
#include "platform/platform.h"

namespace {

using wirekit::bench::median;
using namespace wirekit::tcp;

constexpr std::size_t BODY = 64 * 1024;
constexpr std::size_t STRIDE = BODY + 272;  // moves each body 272 bytes on within a page
constexpr std::size_t POOL_BYTES = 64u << 20;
constexpr std::size_t BODIES = POOL_BYTES / STRIDE;
constexpr std::size_t BLOCK = 256 * 1024;
constexpr int ROUNDS = 4000;  // messages per measurement

// Microseconds of CPU per message for `rounds` calls of fn(i).
template <typename Fn>
double perMessage(int rounds, Fn&& fn) {
    const double start = wirekit::platform::processCpuSeconds();
    for (int i = 0; i < rounds; ++i) fn(i);
    return (wirekit::platform::processCpuSeconds() - start) * 1e6 / rounds;
}

volatile unsigned char g_sink;

}  // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::vector<unsigned char> pool(BODIES * STRIDE);
    std::mt19937 generator(20240917);
    for (auto& b : pool) b = static_cast<unsigned char>(generator() >> 24);
    auto body = [&](int i) { return &pool[static_cast<std::size_t>(i) % BODIES * STRIDE]; };

    // The wire: the frames of the first bodies back to back, enough of them
    // to be larger than the caches too.
    std::vector<unsigned char> wire;
    std::vector<std::size_t> frameEnds;
    {
        FrameEncoder encoder;
        for (int i = 0; i < 256; ++i) {
            encoder.encode(body(i), BODY, [&](const FramePiece* pieces, std::size_t count) {
                for (std::size_t k = 0; k < count; ++k)
                    wire.insert(wire.end(), pieces[k].data, pieces[k].data + pieces[k].length);
                return true;
            });
            frameEnds.push_back(wire.size());
        }
    }
    std::vector<unsigned char> copyOut(BODY);
    std::vector<unsigned char> scratch(BODY + BODY / 64);

    std::printf(
        "framing: microseconds of CPU per 64 KiB random message, one thread, median of %d\n",
        pairs);
    std::printf("    %-9s  %12s  %12s  %14s  %12s\n", "kernel", "encode", "memcpy", "decode+copy",
                "memcpy x2");
    for (FrameKernel kernel : {FrameKernel::Native, FrameKernel::Sse2, FrameKernel::Portable}) {
        FrameEncoder encoder(FRAME_STAGING_BYTES, FRAME_DIRECT_RUN_BYTES, kernel);
        FrameDecoder decoder(MAX_MESSAGE_BYTES, kernel);
        std::vector<double> enc, encBase, dec, decBase;
        std::size_t wirePos = 0;
        for (int p = 0; p < pairs; ++p) {
            enc.push_back(perMessage(ROUNDS, [&](int i) {
                encoder.encode(body(i), BODY, [](const FramePiece* pieces, std::size_t) {
                    g_sink = pieces[0].data[0];
                    return true;
                });
            }));
            encBase.push_back(perMessage(ROUNDS, [&](int i) {
                std::memcpy(scratch.data(), body(i), BODY);
                g_sink = scratch[0];
            }));
            int messages = 0;
            const double start = wirekit::platform::processCpuSeconds();
            while (messages < ROUNDS) {
                const std::size_t n = std::min(BLOCK, wire.size() - wirePos);
                const unsigned char* block = wire.data() + wirePos;
                std::size_t used = 0;
                while (used < n) {
                    FrameDecoder::Step step = decoder.feed(block + used, n - used);
                    used += step.consumed;
                    if (step.outcome != FrameDecoder::Outcome::Message) continue;
                    MessageBytes message = decoder.takeMessage();
                    std::memcpy(copyOut.data(), message.data(), message.size());
                    ++messages;
                }
                wirePos = (wirePos + n) % wire.size();
            }
            dec.push_back((wirekit::platform::processCpuSeconds() - start) * 1e6 / messages);
            decBase.push_back(perMessage(ROUNDS, [&](int i) {
                const std::size_t end = frameEnds[static_cast<std::size_t>(i) % frameEnds.size()];
                std::memcpy(scratch.data(), wire.data() + end - BODY, BODY);
                std::memcpy(copyOut.data(), scratch.data(), BODY);
                g_sink = copyOut[0];
            }));
        }
        std::printf("    %-9s  %12.2f  %12.2f  %14.2f  %12.2f\n", frameKernelName(kernel),
                    median(enc), median(encBase), median(dec), median(decBase));
    }
    return 0;
}
