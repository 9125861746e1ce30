#!/usr/bin/env bash
# Runs every benchmark and prints one line per figure:
#   BENCH <id> <what> ratio=<x> (<details>)
# Each ratio compares against a reference measured in the same run.
# Native benchmarks are built without sanitizers; Windows ones run under Wine,
# in the 32-bit build where the host can run it and the 64-bit one elsewhere
# (KEX_BENCH_ARCH=win32|win64 chooses). Every line names the build it measured.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/hostarch.sh
kex_probe_win32
bash scripts/setup.sh >&2 || exit 1
jobs=$(nproc)
mkdir -p build
arch=${KEX_BENCH_ARCH:-$(kex_default_arch)}
kex_arch "$arch" || { echo "bench: KEX_BENCH_ARCH must be win32 or win64" >&2; exit 2; }
label=$KEX_ARCH_LABEL
echo "machine: $(uname -m), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), wine $("$KEX_ARCH_LOADER" --version 2>/dev/null)"
echo "windows build: $arch ($KEX_WIN32_EVIDENCE)"

cmake -S . -B build/bench-native -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEX_SANITIZE=OFF >/dev/null &&
    cmake --build build/bench-native -j "$jobs" >&2 || exit 1
kex_configure "build/$arch" "$arch" && cmake --build "build/$arch" -j "$jobs" >&2 || exit 1

status=0
for exe in build/bench-native/bin/bench_*; do
    [ -x "$exe" ] || continue
    "$exe" native || status=1
done
for exe in "build/$arch"/bin/bench_*.exe; do
    [ -f "$exe" ] || continue
    "build/$arch/wine-run" "$exe" "$label" || status=1
done
# P6 runs in the HID test prefix, beside the virtual HID headset.
if [ -f "build/$arch/hid/bench_hid_key_latency.exe" ]; then
    "build/$arch/hid-run" "build/$arch/hid/bench_hid_key_latency.exe" "$label" || status=1
fi
exit $status
