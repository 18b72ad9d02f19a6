// wirekit compress / uncompress: one-shot zlib streams over standard input.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace cli {

const char* const COMPRESS_HELP =
    "usage: wirekit compress < in > out\n"
    "       wirekit uncompress < in > out\n"
    "\n"
    "compress writes standard input as one zlib stream (default level);\n"
    "uncompress turns such a stream back into the original bytes.\n";

namespace {

// zlib status codes the calls return.
constexpr int Z_OK_CODE = 0;
constexpr int Z_BUF_ERROR_CODE = -5;
constexpr unsigned int MAX_OUTPUT = 1u << 30;

int filterStandardInput(Args& args, bool uncompress) {
    if (!args.positionals().empty())
        throw UsageError{"takes no arguments; it reads standard input"};
    binaryStdio();
    std::vector<unsigned char> data = readAllStdin();
    if (data.size() >= MAX_OUTPUT) return fail("input is too large (1 GB at most)");
    unsigned int inLength = static_cast<unsigned int>(data.size());
    // The calls refuse a null source even for no bytes.
    static const unsigned char nothing = 0;
    const unsigned char* source = data.empty() ? &nothing : data.data();
    std::vector<unsigned char> out;
    int status;
    unsigned int outLength;
    if (!uncompress) {
        out.resize(CompressBound(inLength));
        outLength = static_cast<unsigned int>(out.size());
        status = Compress(out.data(), &outLength, source, inLength);
    } else {
        // The stream does not record its original size: grow the output
        // until it fits.
        // zlib never expands more than about 1032 to 1.
        size_t limit = std::min<size_t>(data.size() * 1100 + 1024, MAX_OUTPUT);
        size_t capacity = std::min<size_t>(data.size() * 4 + 1024, limit);
        for (;;) {
            out.resize(capacity);
            outLength = static_cast<unsigned int>(out.size());
            status = Uncompress(out.data(), &outLength, source, inLength);
            if (status != Z_BUF_ERROR_CODE || capacity >= limit) break;
            capacity = std::min<size_t>(capacity * 4, limit);
        }
    }
    if (status != Z_OK_CODE) {
        return fail(uncompress
                        ? "input is not a complete zlib stream (status " + std::to_string(status) +
                              "); was it made by 'wirekit compress'?"
                        : "compression failed (status " + std::to_string(status) + ")");
    }
    if (!writeStdout(out.data(), outLength)) return fail("could not write standard output");
    return EXIT_OK;
}

}  // namespace

int runCompress(Args& args) { return filterStandardInput(args, false); }
int runUncompress(Args& args) { return filterStandardInput(args, true); }

}  // namespace cli
