#!/usr/bin/env bash
# Builds wirekit and runs the whole test suite (slow real-time tests included).
# WIREKIT_SANITIZE=address,undefined (or thread) builds with sanitizers in a
# build folder of its own; CC/CXX choose the compiler; WIREKIT_WERROR=ON makes
# warnings errors.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
wirekit_install_deps

sanitize=${WIREKIT_SANITIZE:-}
build="$root/build${sanitize:+-${sanitize//,/-}}"
extra=()
# Sanitized builds are for the tests; benchmarks and examples are left out.
[ -n "$sanitize" ] && extra=(-DWIREKIT_BUILD_BENCH=OFF -DWIREKIT_BUILD_EXAMPLES=OFF)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DWIREKIT_SANITIZE="$sanitize" -DWIREKIT_BUILD_TESTS=ON \
      -DWIREKIT_WERROR="${WIREKIT_WERROR:-OFF}" "${extra[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
