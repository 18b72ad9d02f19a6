#!/usr/bin/env bash
# Cross-builds wirekit for Windows with mingw-w64 and runs the test suite
# under Wine:
#   bash scripts/test-windows.sh [--arch x86_64|i686] [ctest arguments...]
# x86_64 (the default) builds into build-win64 and runs under 64-bit Wine;
# i686 builds the 32-bit DLL into build-win32 and runs under 32-bit Wine.
# Other arguments are passed on to ctest, e.g. -LE slow. WIREKIT_JOBS sets the
# build and test parallelism (default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"

arch=x86_64
case "${1:-}" in
    --arch) arch=${2:?"--arch needs x86_64 or i686"}; shift 2 ;;
    --arch=*) arch=${1#--arch=}; shift ;;
esac

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
case "$arch" in
    x86_64|x64|win64)
        arch=x86_64
        packages="g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64"
        build="$root/build-win64"
        loaders=(wine64)
        servers=(wineserver64 wineserver)
        winearch=win64
        ;;
    i686|x86|win32)
        arch=i686
        # 32-bit Wine comes from Debian's i386 architecture.
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            echo "wirekit: adding the i386 architecture for 32-bit Wine"
            $sudo dpkg --add-architecture i386
        fi
        toolchain="g++-mingw-w64-i686-posix libz-mingw-w64-dev"
        packages="$toolchain wine32:i386"
        build="$root/build-win32"
        loaders=(wine)
        servers=(wineserver32 wineserver)
        winearch=win32
        ;;
    *) echo "wirekit: unknown --arch '$arch' (x86_64 or i686)" >&2; exit 2 ;;
esac
run_tests=1
if [ "$arch" = i686 ]; then
    # 32-bit Wine is a 32-bit Linux program: a kernel built without 32-bit
    # support (some virtual machines' kernels) refuses to start it. The i386
    # C library's loader tells.
    WIREKIT_EXTRA_PACKAGES="$toolchain libc6:i386 ${WIREKIT_EXTRA_PACKAGES:-}" \
        WIREKIT_INSTALL_ATTEMPTS=2 wirekit_install_deps
    if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
        run_tests=0
    elif ! WIREKIT_INSTALL_ATTEMPTS=1 WIREKIT_EXTRA_PACKAGES="$packages" wirekit_install_deps; then
        # Most often the i386 list of a mirror in the middle of a sync: the
        # install from the release suite does not need it.
        # shellcheck disable=SC2086
        wirekit_install_wine_from_release $packages \
            || { echo "wirekit: 32-bit Wine could not be installed" >&2; exit 1; }
    fi
else
    WIREKIT_EXTRA_PACKAGES="$packages ${WIREKIT_EXTRA_PACKAGES:-}" wirekit_install_deps
fi

jobs=${WIREKIT_JOBS:-2}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" -DWIREKIT_BUILD_TESTS=ON \
      -DWIREKIT_WERROR="${WIREKIT_WERROR:-OFF}" >/dev/null
nice cmake --build "$build" -j"$jobs"

if [ "$run_tests" = 0 ]; then
    # Everything was still built (warnings as errors where asked, the record
    # layouts checked by the compiler); the DLL's export table is read with
    # the toolchain's objdump. Only running the programs needs Wine.
    cmake -DOBJDUMP=i686-w64-mingw32-objdump -DLIBRARY="$build/wirekit.dll" \
          -DHEADER="$root/include/wirekit.h" -P "$root/tests/api/dll_exports.cmake"
    {
        echo "wirekit: THE 32-BIT TESTS WERE NOT RUN: this machine's kernel does not start"
        echo "wirekit: 32-bit x86 programs (/lib/ld-linux.so.2 fails), so 32-bit Wine cannot"
        echo "wirekit: run. Everything was built in $build and the DLL's export"
        echo "wirekit: table was checked."
    } >&2
    exit 0
fi

# Debian 12 installs the loaders and servers outside the PATH.
wine_tool() {
    local name path
    for name in "$@"; do
        for path in "/usr/lib/wine/$name" "$(command -v "$name" || true)" \
                    "$(dpkg -L wine64 wine32 2>/dev/null | grep "/$name\$" | head -n1)"; do
            [ -n "$path" ] && [ -x "$path" ] && { echo "$path"; return 0; }
        done
    done
    return 1
}
wine=$(wine_tool "${loaders[@]}") || { echo "wirekit: no ${loaders[*]} loader found" >&2; exit 1; }
wineserver=$(wine_tool "${servers[@]}") \
    || { echo "wirekit: no wineserver found" >&2; exit 1; }

# The same environment as the emulator command of the toolchain file.
export WINEPREFIX="$build/wineprefix" WINEARCH="$winearch" WINEDEBUG=-all \
       WINEDLLOVERRIDES="mscoree,mshtml="
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
