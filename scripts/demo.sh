#!/usr/bin/env bash
# The first command to try. Installs what is missing, builds the Windows
# build, registers KexUSBPhone.dll for the current user in the build's own
# Wine prefix and runs the demo softphone against the virtual handset: the
# handset is plugged in, a call rings, is answered on the handset, digits
# are pressed, the call is held, resumed and hung up on the handset.
# Exit status 0 when every expected event arrived.
#
# The demo uses the 32-bit build (build/win32, the one the test command uses)
# where the host can run 32-bit programs, the 64-bit build (build/win64)
# elsewhere. KEX_DEMO_ARCH=win32|win64 chooses; KEX_BUILD_DIR chooses the
# build directory. KEX_ASSUME_NO_WIN32=1 behaves as on a 64-bit-only host.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# --hid: the same call through the HID headset adapter and a virtual HID headset.
[ "${1:-}" = --hid ] && exec bash handsets/hid_headset/run_hid_demo.sh
. scripts/hostarch.sh
kex_probe_win32

arch=${KEX_DEMO_ARCH:-}
if [ -z "$arch" ]; then
    if [ "$KEX_HOST_WIN32" = 1 ]; then
        arch=win32
        echo "== demo: 32-bit build (this host runs 32-bit programs: $KEX_WIN32_EVIDENCE)"
    else
        arch=win64
        echo "== demo: 64-bit build: this host runs only 64-bit programs ($KEX_WIN32_EVIDENCE)"
    fi
else
    echo "== demo: $arch build (KEX_DEMO_ARCH)"
fi
case "$arch" in
    win32) toolchain=cmake/mingw-i686.cmake ;;
    win64) toolchain=cmake/mingw-x86_64.cmake ;;
    *) echo "demo: KEX_DEMO_ARCH must be win32 or win64" >&2; exit 2 ;;
esac

bash scripts/setup.sh || { echo "demo: setup failed" >&2; exit 1; }

build=${KEX_BUILD_DIR:-build/$arch}
mkdir -p "$build"
log="$build/demo-build.log"
if [ ! -f "$build/build.ninja" ]; then
    echo "== demo: configuring $build"
    if ! cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=$toolchain \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$log" 2>&1; then
        cat "$log"; echo "demo: configure failed" >&2; exit 1
    fi
fi
echo "== demo: building in $build"
if ! cmake --build "$build" -j "$(nproc)" \
        --target KexUSBPhone virtual_handset handset_ctl demo_softphone >"$log" 2>&1; then
    cat "$log"; echo "demo: build failed" >&2; exit 1
fi

exec bash samples/demo_softphone/run_demo.sh "$build"
