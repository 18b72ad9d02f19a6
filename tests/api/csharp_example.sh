#!/bin/sh
# Compiles the C# example with Mono's compiler and runs it against the shared
# library just built: the declarations of examples/csharp must reach the
# exports, send one TCP and one UDP message over loopback and exit 0.
#   sh csharp_example.sh SOURCE LIBRARY_DIR WORK_DIR
# Exits 77, which ctest counts as skipped, where Mono is not installed.
set -eu
source=$1 libraries=$2 work=$3
for tool in mcs mono; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "skipped: '$tool' is not installed (Debian: apt-get install mono-mcs mono-runtime)"
        exit 77
    fi
done
mkdir -p "$work"
mcs -warnaserror -out:"$work/WirekitExample.exe" "$source"
LD_LIBRARY_PATH="$libraries${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" exec mono "$work/WirekitExample.exe"
