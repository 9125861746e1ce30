#!/usr/bin/env bash
# The first command to try. Installs what is missing, builds the Windows
# build, registers KexUSBPhone.dll for the current user in the build's own
# Wine prefix and runs the demo softphone against the virtual handset: the
# handset is plugged in, a call rings, is answered on the handset, digits
# are pressed, the call is held, resumed and hung up on the handset.
# Exit status 0 when every expected event arrived.
#
# KEX_BUILD_DIR chooses the build directory (default build/win32, the one the
# test command uses).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# --hid: the same call through the HID headset adapter and a virtual HID headset.
[ "${1:-}" = --hid ] && exec bash samples/hid_headset/run_hid_demo.sh

bash scripts/setup.sh || { echo "demo: setup failed" >&2; exit 1; }

build=${KEX_BUILD_DIR:-build/win32}
mkdir -p "$build"
log="$build/demo-build.log"
if [ ! -f "$build/build.ninja" ]; then
    echo "== demo: configuring $build"
    if ! cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
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
