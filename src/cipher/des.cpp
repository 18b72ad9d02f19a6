#include "cipher/des.h"

namespace wirekit::cipher {

bool desGo(unsigned char*, const unsigned char*, int, const unsigned char*, int, bool) {
    return false;  // not built yet
}

}  // namespace wirekit::cipher
