#!/usr/bin/env bash
# scripts/demo.sh --hid: the demo call through the HID headset adapter and
# two virtual HID headsets of the tests, with different names. The demo
# softphone is the host: it lists both by name and makes the one named
# below active, so only that one rings. The person at the headsets
# (hid_demo_headset) watches the chosen headset's LEDs and presses its keys
# as HID input reports, and checks that the other headset stayed dark. Exit
# status 0 when every expected event arrived in order, from the chosen
# headset, and the headsets showed what they should.
#
# The build is build/win32 where the host runs 32-bit programs and
# build/win64 elsewhere; KEX_DEMO_ARCH=win32|win64 or KEX_BUILD_DIR choose.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

built=${KEX_HID_DEMO_BUILT:-0}
[ "$built" = 1 ] || bash scripts/setup.sh || { echo "demo: setup failed" >&2; exit 1; }

. scripts/wine-prefix.sh
kex_probe_win32
arch=${KEX_DEMO_ARCH:-$(kex_default_arch)}
kex_arch "$arch" || { echo "demo: KEX_DEMO_ARCH must be win32 or win64" >&2; exit 2; }
build=${KEX_BUILD_DIR:-build/$arch}
echo "== demo: $arch build in $build ($KEX_WIN32_EVIDENCE)"
if [ "$built" != 1 ]; then
    kex_build_targets "$build" "$arch" KexUSBPhone hid_headset demo_softphone \
        virtual_hid_driver install_virtual_hid hid_demo_headset || exit 1
fi
build=$(cd "$build" && pwd)
run="$build/hid-run"
demo="$build/hid-demo"

rm -rf "$demo"
mkdir -p "$demo"
cp "$build"/bin/{KexUSBPhone.dll,hid_headset.dll,demo_softphone.exe} "$demo"/
# The headset that rings, and the one beside it (see virtual_hid_device.h).
chosen=b101 chosen_name="Kex Headset 2453" other=b102
cat >"$demo/USBPhone.ini" <<INI
[AdapterList]
Headset=hid_headset.dll

[HidHeadset]
; The demo's two headsets only: the HID prefix holds more.
Include=1209:$chosen, 1209:$other

[Common]
LogSwitch=1
LogPrintLevel=7
INI

# The headsets are plugged in afresh (the last run unplugged the chosen
# one), which also clears what they were sent before.
inf=$(kex_winpath "$build/hid/virtual_hid.inf")
installer=$(kex_winpath "$build/hid/install_virtual_hid.exe")
for product in $chosen $other; do
    "$run" "$installer" remove 1209:$product >/dev/null 2>&1
    if ! out=$("$run" "$installer" restore "$inf" 1209:$product 2>&1); then
        echo "$out" >&2; echo "demo: plugging in the virtual HID headset 1209:$product failed" >&2; exit 2
    fi
done

# The HID prefix is the tests' own: register there, and take it back after.
dll=$(kex_winpath "$demo/KexUSBPhone.dll")
if ! out=$("$run" regsvr32 /s "$dll" 2>&1); then
    echo "$out" >&2; echo "demo: registering $dll failed" >&2; exit 2
fi
player_log=$(mktemp)
cleanup() {
    "$run" regsvr32 /s /u "$dll" >/dev/null 2>&1
    "$run" "$installer" restore "$inf" 1209:$chosen >/dev/null 2>&1
    rm -f "$player_log"
}
trap cleanup EXIT

echo "== host = demo_softphone.exe, handset = hid_headset.dll with the virtual HID headsets 1209:$chosen and 1209:$other"
echo
"$run" "$(kex_winpath "$build/hid/hid_demo_headset.exe")" --headset $chosen --other $other >"$player_log" 2>&1 &
player=$!
"$run" "$(kex_winpath "$demo/demo_softphone.exe")" --hid --devices 2 --device "$chosen_name"
rc=$?
wait $player
player_rc=$?
echo
echo "== the headset: what it showed and what was pressed on it"
cat "$player_log"
echo
echo "trace log on this machine: $demo/log/KexUSBPhone.log"
if [ $rc -eq 0 ] && [ $player_rc -eq 0 ]; then
    echo "demo: OK"
    exit 0
fi
echo "demo: FAILED (host exit status $rc, headset exit status $player_rc)"
exit 1
