/* The shared library's own translation unit: everything else comes from the
 * core archive, linked whole. */
#include "wirekit.h"
