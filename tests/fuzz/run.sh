#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS seconds (default 60), starting from
# and adding to its corpus under tests/fuzz/corpus/<name>/.
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DWIREKIT_FUZZ=ON \
    -DWIREKIT_BUILD_BENCH=OFF -DWIREKIT_BUILD_EXAMPLES=OFF -DWIREKIT_BUILD_TOOLS=OFF >/dev/null
targets=$(cd "$root/tests/fuzz" && ls *_fuzz.cpp 2>/dev/null | sed 's/_fuzz\.cpp$//')
for t in $targets; do cmake --build "$build" --target "fuzz_$t" >/dev/null; done
status=0
for t in $targets; do
    corpus="$build/corpus/$t"
    mkdir -p "$corpus"
    cp -n "$root/tests/fuzz/corpus/$t"/* "$corpus/" 2>/dev/null || true
    echo "== fuzz_$t for ${seconds}s =="
    if ! "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
         -max_len=70000 "$corpus" 2>"$build/fuzz_$t.log"; then
        status=1
        tail -40 "$build/fuzz_$t.log"
    fi
    grep -E 'stat::number_of_executed_units|Done [0-9]+ runs' "$build/fuzz_$t.log" | tail -2 || true
done
exit $status
