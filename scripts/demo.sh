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
if [ -n "$arch" ]; then
    echo "== demo: $arch build (KEX_DEMO_ARCH)"
elif [ "$(kex_default_arch)" = win32 ]; then
    arch=win32
    echo "== demo: 32-bit build (this host runs 32-bit programs: $KEX_WIN32_EVIDENCE)"
else
    arch=win64
    echo "== demo: 64-bit build: this host runs only 64-bit programs ($KEX_WIN32_EVIDENCE)"
fi
kex_arch "$arch" || { echo "demo: KEX_DEMO_ARCH must be win32 or win64" >&2; exit 2; }

bash scripts/setup.sh || { echo "demo: setup failed" >&2; exit 1; }

build=${KEX_BUILD_DIR:-build/$arch}
kex_build_targets "$build" "$arch" KexUSBPhone virtual_handset handset_ctl demo_softphone || exit 1

exec bash samples/demo_softphone/run_demo.sh "$build"
