#!/usr/bin/env bash
# Cross-builds wirekit for 64-bit Windows with mingw-w64 into build-win64 and
# runs the test suite under Wine (arguments are passed on to ctest, e.g.
# -LE slow). WIREKIT_JOBS sets the build and test parallelism (default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
WIREKIT_EXTRA_PACKAGES="g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64 ${WIREKIT_EXTRA_PACKAGES:-}" \
    wirekit_install_deps

jobs=${WIREKIT_JOBS:-2}
build="$root/build-win64"

# Debian 12 installs the 64-bit loader and server outside the PATH.
wine_tool() {
    local name=$1 path
    for path in "$(command -v "$name" || true)" "/usr/lib/wine/$name" \
                "$(dpkg -L wine64 2>/dev/null | grep "/$name\$" | head -n1)"; do
        [ -n "$path" ] && [ -x "$path" ] && { echo "$path"; return 0; }
    done
    return 1
}
wine=$(wine_tool wine64) || { echo "wirekit: no wine64 loader found" >&2; exit 1; }
wineserver=$(wine_tool wineserver64 || wine_tool wineserver) \
    || { echo "wirekit: no wineserver found" >&2; exit 1; }

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DWIREKIT_BUILD_TESTS=ON \
      -DWIREKIT_WERROR="${WIREKIT_WERROR:-OFF}" >/dev/null
nice cmake --build "$build" -j"$jobs"

# The same environment as the emulator command of the toolchain file.
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# One server for the whole run, with Wine's services started once by
# wineboot (which also creates the prefix on first use): each program start
# then costs a fraction of a second, instead of seconds for a server that
# starts and lingers per test. The services inherit the descriptors of
# whatever starts them, so they get none of ours.
stop_wine() { "$wineserver" -k >/dev/null 2>&1 || true; "$wineserver" -w >/dev/null 2>&1 || true; }
trap stop_wine EXIT
mkdir -p "$WINEPREFIX"  # the server needs the folder; wineboot fills it
stop_wine  # a server left from an earlier run must be gone before ours starts
"$wineserver" -p >/dev/null 2>&1 </dev/null
"$wine" wineboot >/dev/null 2>&1 </dev/null

cd "$build"
ctest --output-on-failure -j"$jobs" "$@"
