#!/usr/bin/env bash
# Builds the adapter of the "Writing an adapter" guide exactly as the guide
# shows (its source, .def, build command and USBPhone.ini are taken from
# README.md) and runs it with the component: the handset must plug in and
# answer a ringing call with the pick-up key.
#   test_sdk_snippet.sh <build dir> <32|64>
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
bits=${2:-32}
doc="$root/README.md"
work="$build/tests/samples/sdk"
rm -rf "$work"
mkdir -p "$work"

# block <marker>: the fenced block that follows the HTML comment <marker>.
block() {
    awk -v m="<!-- $1 -->" '
        $0 == m { found = 1; next }
        found && /^```/ { if (inside) exit; inside = 1; next }
        inside { print }
    ' "$doc"
}

for f in autoanswer.c autoanswer.def USBPhone.ini; do
    block "sdk-file: $f" >"$work/$f"
    [ -s "$work/$f" ] || { echo "FAIL: README.md has no block for $f"; exit 1; }
done
cmd=$(block "sdk-build: mingw")
[ -n "$cmd" ] || { echo "FAIL: README.md has no mingw build command"; exit 1; }
[ "$bits" = 64 ] && cmd=${cmd//i686-w64-mingw32-gcc/x86_64-w64-mingw32-gcc}
echo "build: $cmd"
(cd "$work" && KEX="$root" bash -ec "$cmd") || { echo "FAIL: the guide's build command failed"; exit 1; }

cp "$build/bin/KexUSBPhone.dll" "$build/bin/sdk_host.exe" "$work"/
out=$("$build/wine-run" "$work/sdk_host.exe" 2>&1)
rc=$?
echo "$out"
fail=0
[ $rc -eq 0 ] || { echo "FAIL: sdk_host exited with $rc"; fail=1; }
for want in 'autoanswer: command 3: Alice <100>' 'sdk_host: event 3 (1)' 'plugged in yes, picked up yes'; do
    grep -qF "$want" <<<"$out" || { echo "FAIL: no \"$want\""; fail=1; }
done
[ $fail -eq 0 ] && echo "test_sdk_snippet: passed"
exit $fail
