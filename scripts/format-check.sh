#!/usr/bin/env bash
# Checks that every C and C++ file of the tree is formatted as .clang-format
# says; lists those that are not (with the first lines clang-format would
# change) and fails. `--fix` formats them in place instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
formatter=${CLANG_FORMAT:-clang-format}
command -v "$formatter" >/dev/null || { echo "format-check: $formatter not found" >&2; exit 1; }
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
    "$formatter" -i "${files[@]}"
    exit 0
fi
bad=0
for f in "${files[@]}"; do
    if ! "$formatter" --dry-run -Werror "$f" >/dev/null 2>&1; then
        echo "format-check: $f is not formatted:" >&2
        diff -u "$f" <("$formatter" "$f") | sed -n '3,12p' >&2 || true
        bad=1
    fi
done
[ "$bad" -eq 0 ] && echo "format-check: ${#files[@]} files formatted"
exit "$bad"
