// The wirekit command-line program.
#include <cstdio>
#include <cstring>

#include "wirekit.h"

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("wirekit %s\n", WIREKIT_VERSION_STRING);
        return 0;
    }
    std::printf("library probe: %s\n", hello());
    return 0;
}
