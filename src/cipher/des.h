// DES and two-key triple DES over a buffer, in the library's own bit order.
#pragma once

namespace wirekit::cipher {

// Behind Des_Go (see wirekit.h for the contract).
bool desGo(unsigned char* out, const unsigned char* in, int length, const unsigned char* key,
           int keyLength, bool decrypt);

}  // namespace wirekit::cipher
