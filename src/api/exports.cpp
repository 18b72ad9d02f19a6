// Exports that take no handle: the probe, the cipher and the compression calls.
#include <zlib.h>

#include "api/export_guard.h"
#include "cipher/des.h"
#include "compress/compress.h"
#include "wirekit.h"

using wirekit::api::guarded;

extern "C" {

WIREKIT_API const char* WIREKIT_CALL hello(void) { return "OK"; }

WIREKIT_API bool WIREKIT_CALL Des_Go(unsigned char* out, const unsigned char* in, int length,
                                     const unsigned char* key, int keyLength, bool decrypt) {
    return guarded(
        false, [&] { return wirekit::cipher::desGo(out, in, length, key, keyLength, decrypt); });
}

WIREKIT_API int WIREKIT_CALL Compress(unsigned char* dest, unsigned int* destLen,
                                      const unsigned char* source, unsigned int sourceLen) {
    return guarded(Z_MEM_ERROR, [&] {
        return wirekit::compress::compressBuffer(dest, destLen, source, sourceLen);
    });
}

WIREKIT_API int WIREKIT_CALL Uncompress(unsigned char* dest, unsigned int* destLen,
                                        const unsigned char* source, unsigned int sourceLen) {
    return guarded(Z_MEM_ERROR, [&] {
        return wirekit::compress::uncompressBuffer(dest, destLen, source, sourceLen);
    });
}

WIREKIT_API unsigned int WIREKIT_CALL CompressBound(unsigned int sourceLen) {
    return wirekit::compress::compressBound(sourceLen);
}

}  // extern "C"
