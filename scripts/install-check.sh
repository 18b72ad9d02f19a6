#!/usr/bin/env bash
# Installs wirekit into a temporary prefix, moves the installed tree, and
# builds and runs small consumers (scripts/consumer, in C and C++) against it
# twice: through find_package(wirekit) and through pkg-config. Also runs the
# installed wirekit program. Everything happens under one temporary folder,
# removed at the end. WIREKIT_JOBS sets the build parallelism (default 2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
wirekit_install_deps

jobs=${WIREKIT_JOBS:-2}
work=$(mktemp -d "${TMPDIR:-/tmp}/wirekit-install-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "wirekit: building and installing into a temporary prefix"
cmake -S "$root" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DWIREKIT_BUILD_TESTS=OFF -DWIREKIT_BUILD_BENCH=OFF -DWIREKIT_BUILD_EXAMPLES=OFF >/dev/null
nice cmake --build "$work/build" -j"$jobs" >/dev/null
cmake --install "$work/build" --prefix "$work/installed" >/dev/null
# The tree must work where it ends up, not only where it was installed.
mv "$work/installed" "$work/prefix"
prefix="$work/prefix"

pcfile=$(find "$prefix" -name wirekit.pc | head -n1)
[ -n "$pcfile" ] || { echo "wirekit: no wirekit.pc installed" >&2; exit 1; }
export PKG_CONFIG_PATH="$(dirname "$pcfile")"
# Every folder the .pc file names must lie inside the moved prefix.
for variable in prefix libdir includedir; do
    dir=$(pkg-config --variable="$variable" wirekit)
    real=$(cd "$dir" && pwd -P)
    case "$real" in
        "$(cd "$prefix" && pwd -P)"*) ;;
        *) echo "wirekit: wirekit.pc gives $variable=$dir, outside $prefix" >&2; exit 1 ;;
    esac
done

echo "wirekit: consumers through find_package(wirekit)"
cmake -S "$root/scripts/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer_c"
"$work/consumer/consumer_cpp"

echo "wirekit: consumers through pkg-config"
libdir=$(pkg-config --variable=libdir wirekit)
# shellcheck disable=SC2046  # the flags are meant to split into words
"${CC:-cc}" -std=c11 -Wall -Werror "$root/scripts/consumer/consumer.c" -o "$work/pc_consumer_c" \
   $(pkg-config --cflags --libs wirekit) -Wl,-rpath,"$libdir"
# shellcheck disable=SC2046
"${CXX:-c++}" -std=c++17 -Wall -Werror "$root/scripts/consumer/consumer.cpp" -o "$work/pc_consumer_cpp" \
    $(pkg-config --cflags --libs wirekit) -Wl,-rpath,"$libdir"
"$work/pc_consumer_c"
"$work/pc_consumer_cpp"

echo "wirekit: the installed program"
"$prefix/bin/wirekit" --version
echo "wirekit: install check passed"
