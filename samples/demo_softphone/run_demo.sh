#!/usr/bin/env bash
# Runs the demo from a Windows build: lays out the component, the virtual
# handset and their settings side by side, registers the component for the
# current user in the build's Wine prefix, runs the demo softphone and
# unregisters again (the build's tests rely on their own registration).
#
#   run_demo.sh <build dir> [<demo dir>]      (demo dir: <build>/demo)
#
# Set KEX_DEMO_KEEP_REGISTERED=1 to leave the registration in place, e.g. to
# try handset_ctl or your own host against the demo afterwards.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/wine-prefix.sh"
build=$(cd "${1:?usage: run_demo.sh <build dir> [<demo dir>]}" && pwd)
demo=${2:-$build/demo}
run="$build/wine-run"

for f in KexUSBPhone.dll virtual_handset.dll demo_softphone.exe handset_ctl.exe; do
    [ -f "$build/bin/$f" ] || { echo "demo: $build/bin/$f is missing; build it first" >&2; exit 2; }
done

rm -rf "$demo"
mkdir -p "$demo"
cp "$build"/bin/{KexUSBPhone.dll,virtual_handset.dll,demo_softphone.exe,handset_ctl.exe} "$demo"/
cp "$root"/packaging/USBPhone.ini "$root"/handsets/virtual_handset/{virtual_handset.ini,demo.scenario} "$demo"/

dll=$(kex_winpath "$demo/KexUSBPhone.dll")

# /reg:64: in a 64-bit prefix `reg` itself runs as a 32-bit program and would
# otherwise look at the 32-bit view of CLSID (a 32-bit prefix has only one).
reg_value() { # <key>: the key's default value, empty when it is missing
    "$run" reg query "$1" /ve /reg:64 2>/dev/null | sed -n 's/^ *(Default) *REG_SZ *//p' | head -n 1
}

if ! out=$("$run" regsvr32 /s /n /i:user "$dll" 2>&1); then
    echo "demo: registering $dll for the current user failed" >&2
    echo "$out" >&2
    exit 2
fi
clsid=$(reg_value 'HKCU\Software\Classes\KexUSBPhone.KexPhone\CLSID')
# Wine 8 does not read classes registered per user (HKCU\Software\Classes)
# when it creates objects. There the demo registers per machine as well, in
# this build's private prefix, and puts back what was registered before.
# A machine-wide registration of another copy (the build's tests register
# bin\KexUSBPhone.dll) would win there, so it is replaced for the run.
machine=0
previous=$(reg_value 'HKLM\Software\Classes\CLSID\'"$clsid"'\InprocServer32')
if [ "$previous" != "$dll" ]; then
    if ! out=$("$run" regsvr32 /s "$dll" 2>&1); then
        echo "demo: registering $dll failed" >&2
        echo "$out" >&2
        "$run" regsvr32 /s /u /n /i:user "$dll" >/dev/null 2>&1
        exit 2
    fi
    machine=1
fi
unregister() {
    [ "${KEX_DEMO_KEEP_REGISTERED:-0}" = 1 ] && return
    "$run" regsvr32 /s /u /n /i:user "$dll" >/dev/null 2>&1
    if [ $machine = 1 ]; then
        "$run" regsvr32 /s /u "$dll" >/dev/null 2>&1
        [ -n "$previous" ] && "$run" regsvr32 /s "$previous" >/dev/null 2>&1
    fi
}
trap unregister EXIT

echo "== demo: KexUSBPhone.dll registered for the current user from $demo"
[ $machine = 1 ] && echo "   (and per machine in the build's Wine prefix: Wine 8 ignores per-user classes)"
echo "== host = demo_softphone.exe, handset = virtual_handset.dll (scenario demo.scenario)"
echo
"$run" "$(kex_winpath "$demo/demo_softphone.exe")"
rc=$?
echo
echo "trace log on this machine: $demo/log/KexUSBPhone.log"
echo "handset log:               $demo/virtual_handset.log"
if [ $rc -eq 0 ]; then
    echo "demo: OK"
else
    echo "demo: FAILED (exit status $rc)"
fi
exit $rc
