// One-shot zlib compression behind Compress, Uncompress and CompressBound.
#pragma once

namespace wirekit::compress {

// zlib's one-shot compress at the default level into dest, whose capacity is
// *destLen; on success *destLen is the compressed size. Returns a zlib status
// code; Z_STREAM_ERROR for a null pointer, without touching memory. Succeeds
// whenever the capacity is at least compressBound(sourceLen), as long as that
// bound does not wrap.
int compressBuffer(unsigned char* dest, unsigned int* destLen, const unsigned char* source,
                   unsigned int sourceLen);

// zlib's one-shot uncompress of one complete zlib stream into dest, whose
// capacity is *destLen; on success *destLen is the decompressed size. Returns a
// zlib status code; Z_STREAM_ERROR for a null pointer.
int uncompressBuffer(unsigned char* dest, unsigned int* destLen, const unsigned char* source,
                     unsigned int sourceLen);

// sourceLen + (sourceLen >> 12) + (sourceLen >> 14) + 11 in unsigned 32-bit
// arithmetic: the capacity that compressBuffer always manages with. It wraps
// for sourceLen close to 2^32.
unsigned int compressBound(unsigned int sourceLen);

// Compresses into stored (uncompressed) deflate blocks, which never need more
// than compressBound(sourceLen). compressBuffer falls back to it when the
// default level does not fit a capacity the bound promises; same contract.
int compressStored(unsigned char* dest, unsigned int* destLen, const unsigned char* source,
                   unsigned int sourceLen);

}  // namespace wirekit::compress
