// One-shot zlib compression behind Compress, Uncompress and CompressBound.
#pragma once

namespace wirekit::compress {

int compressBuffer(unsigned char* dest, unsigned int* destLen, const unsigned char* source,
                   unsigned int sourceLen);
int uncompressBuffer(unsigned char* dest, unsigned int* destLen, const unsigned char* source,
                     unsigned int sourceLen);
unsigned int compressBound(unsigned int sourceLen);

}  // namespace wirekit::compress
