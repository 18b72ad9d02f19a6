#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS seconds (default 60) and prints a
# summary of executions and findings per target.
#
# Each target starts from the checked-in seeds in tests/fuzz/corpus/<name>/
# and grows a working corpus under build-fuzz/corpus/<name>/ (the checked-in
# seeds are left alone). Crashing inputs land in build-fuzz/findings/<name>/.
# clang is installed through scripts/deps.sh when it is missing. Exits 1 if
# any target found anything.
#
# Environment: WIREKIT_FUZZ_TARGETS limits the run to some targets (names
# separated by spaces), WIREKIT_FUZZ_MAX_LEN sets the largest input (4096).
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-fuzz"

case " ${WIREKIT_EXTRA_PACKAGES:-} " in
    *" clang "*) ;;
    *) export WIREKIT_EXTRA_PACKAGES="${WIREKIT_EXTRA_PACKAGES:-} clang" ;;
esac
. "$root/scripts/deps.sh"
wirekit_install_deps

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DWIREKIT_FUZZ=ON -DWIREKIT_BUILD_BENCH=OFF -DWIREKIT_BUILD_EXAMPLES=OFF \
    -DWIREKIT_BUILD_TOOLS=OFF >/dev/null
targets=${WIREKIT_FUZZ_TARGETS:-$(cd "$root/tests/fuzz" && ls *_fuzz.cpp | sed 's/_fuzz\.cpp$//')}
build_targets=()
for t in $targets; do build_targets+=("fuzz_$t"); done
cmake --build "$build" -j"${WIREKIT_JOBS:-2}" --target "${build_targets[@]}" >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
summary=()
for t in $targets; do
    corpus="$build/corpus/$t"
    findings="$build/findings/$t"
    log="$build/fuzz_$t.log"
    mkdir -p "$corpus" "$findings"
    echo "== fuzz_$t for ${seconds}s =="
    # Cipher inputs beyond a few dozen blocks reach no new code and only
    # slow the run down.
    max_len=${WIREKIT_FUZZ_MAX_LEN:-4096}
    [ "$t" = des ] && [ -z "${WIREKIT_FUZZ_MAX_LEN:-}" ] && max_len=600
    rc=0
    "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
        -max_len="$max_len" -timeout=25 -artifact_prefix="$findings/" \
        "$corpus" $([ -d "$root/tests/fuzz/corpus/$t" ] && echo "$root/tests/fuzz/corpus/$t") \
        >"$log" 2>&1 || rc=$?
    execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)
    found=$(find "$findings" -type f | wc -l)
    if [ "$rc" -ne 0 ] && [ "$found" -eq 0 ]; then found=1; fi
    if [ "$found" -ne 0 ]; then
        status=1
        tail -40 "$log"
    fi
    summary+=("$(printf '%-20s %12s executions  %3d findings  corpus %5d files' \
        "fuzz_$t" "${execs:-?}" "$found" "$(find "$corpus" -type f | wc -l)")")
done
echo "== summary (${seconds}s each) =="
printf '%s\n' "${summary[@]}"
exit $status
