#!/usr/bin/env bash
# Builds the Windows package: out/wirekit-<version>-windows.zip holds, for x64
# and x86 each, wirekit.dll, its MinGW import library (wirekit.dll.a), an
# import library in the form Visual Studio's linker reads (wirekit.lib, made
# by the toolchain's dlltool from wirekit.def, which is included) and
# wirekit.exe, plus include/wirekit.h, README.md and LICENSE.
#   bash scripts/package-windows.sh
# Each architecture is cross-built with mingw-w64 as a release build in a
# folder of its own (build-package-x64, build-package-x86). WIREKIT_JOBS sets
# the build parallelism (default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"

if [ ! -f "$root/LICENSE" ]; then
    echo "wirekit: LICENSE is missing at the top of the source tree; the package must carry" \
         "the licence text, so add it first" >&2
    exit 1
fi

WIREKIT_EXTRA_PACKAGES="g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev zip ${WIREKIT_EXTRA_PACKAGES:-}" \
    wirekit_install_deps

jobs=${WIREKIT_JOBS:-2}
header="$root/include/wirekit.h"
version=$(sed -n 's/^#define WIREKIT_VERSION_STRING "\(.*\)"$/\1/p' "$header")
[ -n "$version" ] || { echo "wirekit: no WIREKIT_VERSION_STRING in $header" >&2; exit 1; }
name="wirekit-$version-windows"
stage="$root/out/$name"
zipfile="$root/out/$name.zip"
rm -rf "$stage" "$zipfile"
mkdir -p "$stage/include"

# The export list is the header's: one WIREKIT_API declaration a line, the
# function's name just before its opening parenthesis.
{
    echo "LIBRARY wirekit.dll"
    echo "EXPORTS"
    grep '^WIREKIT_API' "$header" |
        sed -E 's/^WIREKIT_API[^(]*[^A-Za-z0-9_(]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*\(.*/    \1/'
} > "$root/out/wirekit.def"

# folder in the package, toolchain file, mingw-w64 triplet, dlltool machine,
# and the symbol a C caller's object file asks for (x86 C names carry a
# leading underscore).
package_arch() {
    local folder=$1 toolchain=$2 triplet=$3 machine=$4 symbol=$5
    local build="$root/build-package-$folder" dest="$stage/$folder"
    echo "== $folder =="
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" -DWIREKIT_BUILD_TESTS=OFF \
          -DWIREKIT_BUILD_BENCH=OFF -DWIREKIT_BUILD_EXAMPLES=OFF -DWIREKIT_BUILD_TOOLS=ON >/dev/null
    nice cmake --build "$build" -j"$jobs"
    # The DLL must export exactly the header's functions, undecorated.
    cmake -DOBJDUMP="$triplet-objdump" -DLIBRARY="$build/wirekit.dll" -DHEADER="$header" \
          -P "$root/tests/api/dll_exports.cmake"
    mkdir -p "$dest"
    "$triplet-strip" --strip-unneeded -o "$dest/wirekit.dll" "$build/wirekit.dll"
    "$triplet-strip" -o "$dest/wirekit.exe" "$build/wirekit.exe"
    cp "$build/wirekit.dll.a" "$dest/wirekit.dll.a"
    cp "$root/out/wirekit.def" "$dest/wirekit.def"
    "$triplet-dlltool" -m "$machine" -d "$dest/wirekit.def" -D wirekit.dll -l "$dest/wirekit.lib"
    # Both import libraries must resolve a C caller's reference to the DLL.
    local symbols
    symbols=$("$triplet-nm" "$dest/wirekit.lib")
    grep -q " T $symbol\$" <<<"$symbols" \
        || { echo "wirekit: $dest/wirekit.lib has no $symbol" >&2; exit 1; }
    local probe="$build/import-probe"
    mkdir -p "$probe"
    printf '#include "wirekit.h"\nint main(void) { return hello()[0] == 0x4f ? 0 : 1; }\n' > "$probe/probe.c"
    for library in wirekit.lib wirekit.dll.a; do
        "$triplet-gcc-posix" -I"$root/include" "$probe/probe.c" "$dest/$library" -o "$probe/probe.exe"
        local imports
        imports=$("$triplet-objdump" -p "$probe/probe.exe")
        grep -q "DLL Name: wirekit.dll" <<<"$imports" \
            || { echo "wirekit: a program linked with $folder/$library does not import wirekit.dll" >&2; exit 1; }
    done
}
package_arch x64 mingw-w64-x86_64.cmake x86_64-w64-mingw32 i386:x86-64 hello
package_arch x86 mingw-w64-i686.cmake i686-w64-mingw32 i386 _hello

cp "$header" "$stage/include/wirekit.h"
cp "$root/README.md" "$root/LICENSE" "$stage/"
(cd "$root/out" && rm -f "$name.zip" && zip -qr -X "$name.zip" "$name")
echo "wirekit: $zipfile"
unzip -l "$zipfile"
