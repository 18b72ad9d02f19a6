// wirekit demo: every capability of the library on loopback, in one process.
#include <cstdio>

#include "cli.h"
#include "commands.h"

namespace cli {
int runDemo(int, char**, int) { return fail("demo not written yet"); }
}  // namespace cli
