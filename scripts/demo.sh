#!/usr/bin/env bash
# Builds wirekit and runs the demo of the wirekit program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
wirekit_install_deps
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target wirekit_cli >/dev/null
exec "$build/tools/wirekit" demo "$@"
