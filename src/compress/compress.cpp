#include "compress/compress.h"

#include <zlib.h>

namespace wirekit::compress {

namespace {

// zlib's lengths are uLong, 64 bits wide on LP64 systems, the host's 32 bits.
// The capacity widens losslessly on the way in, and zlib never reports more
// written than the capacity, so the count narrows losslessly on the way out.
int compressAtLevel(unsigned char* dest, unsigned int* destLen, const unsigned char* source,
                    unsigned int sourceLen, int level) {
    if (dest == nullptr || destLen == nullptr || source == nullptr) return Z_STREAM_ERROR;
    uLongf written = *destLen;
    int status = compress2(dest, &written, source, sourceLen, level);
    *destLen = static_cast<unsigned int>(written);
    return status;
}

bool boundPromised(unsigned int capacity, unsigned int sourceLen) {
    unsigned int bound = compressBound(sourceLen);
    return bound >= sourceLen && capacity >= bound;
}

}  // namespace

int compressBuffer(unsigned char* dest, unsigned int* destLen, const unsigned char* source,
                   unsigned int sourceLen) {
    if (destLen == nullptr) return Z_STREAM_ERROR;
    const unsigned int capacity = *destLen;
    int status = compressAtLevel(dest, destLen, source, sourceLen, Z_DEFAULT_COMPRESSION);
    // The bound is tighter than zlib's own. The default level stays within it
    // on incompressible input, where it falls back to stored blocks of about
    // 16 KiB; stored blocks of up to 64 KiB keep the promise even if the deflate
    // heuristics ever choose otherwise.
    if (status == Z_BUF_ERROR && boundPromised(capacity, sourceLen)) {
        *destLen = capacity;
        status = compressStored(dest, destLen, source, sourceLen);
    }
    return status;
}

int compressStored(unsigned char* dest, unsigned int* destLen, const unsigned char* source,
                   unsigned int sourceLen) {
    return compressAtLevel(dest, destLen, source, sourceLen, Z_NO_COMPRESSION);
}

int uncompressBuffer(unsigned char* dest, unsigned int* destLen, const unsigned char* source,
                     unsigned int sourceLen) {
    if (dest == nullptr || destLen == nullptr || source == nullptr) return Z_STREAM_ERROR;
    uLongf written = *destLen;
    int status = uncompress(dest, &written, source, sourceLen);
    *destLen = static_cast<unsigned int>(written);
    return status;
}

unsigned int compressBound(unsigned int n) { return n + (n >> 12) + (n >> 14) + 11; }

}  // namespace wirekit::compress
