#!/usr/bin/env bash
# Runs every benchmark and prints one line per figure:
#   BENCH <id> <what> ratio=<x> (<details>)
# Each ratio compares against a reference measured in the same run.
# Native benchmarks are built without sanitizers; Windows ones run under Wine.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh >&2 || exit 1
jobs=$(nproc)
mkdir -p build
echo "machine: $(uname -m), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), wine $(wine --version 2>/dev/null)"

cmake -S . -B build/bench-native -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEX_SANITIZE=OFF >/dev/null &&
    cmake --build build/bench-native -j "$jobs" >&2 || exit 1
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build build/win32 -j "$jobs" >&2 || exit 1

status=0
for exe in build/bench-native/bin/bench_*; do
    [ -x "$exe" ] || continue
    "$exe" native || status=1
done
for exe in build/win32/bin/bench_*.exe; do
    [ -f "$exe" ] || continue
    build/win32/wine-run "$exe" wine32 || status=1
done
exit $status
