/* Uses the installed header and library from C: the probe, a compression
 * round trip and a TCP endpoint opened and closed. Exits 0 when all work. */
#include <stdio.h>
#include <string.h>

#include "wirekit.h"

int main(void) {
    const unsigned char text[] = "wirekit from C, wirekit from C, wirekit from C";
    unsigned char packed[128], back[128];
    unsigned int packedLength = sizeof packed, backLength = sizeof back;
    if (strcmp(hello(), "OK") != 0) return 1;
    if (Compress(packed, &packedLength, text, sizeof text) != 0) return 1;
    if (Uncompress(back, &backLength, packed, packedLength) != 0) return 1;
    if (backLength != sizeof text || memcmp(back, text, sizeof text) != 0) return 1;
    void* endpoint = Init_Tcp(NULL);
    if (endpoint == (void*)-1 || Close_Tcp(endpoint) != 1) return 1;
    printf("C consumer: wirekit %s, %s\n", WIREKIT_VERSION_STRING, hello());
    return 0;
}
