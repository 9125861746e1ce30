#!/usr/bin/env bash
# Runs the demo against this build and checks what it showed: the whole call
# in order, the trace log, and that the registration is as it was before.
#   test_demo.sh <build dir>
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
demo="$build/tests/samples/demo"
run="$build/wine-run"
fail=0
problem() { echo "FAIL: $*"; fail=1; }

progid_state() { "$run" reg query 'HKCR\KexUSBPhone.KexPhone\CLSID' /ve 2>/dev/null | tr -d '\r' | grep REG_SZ; \
                 "$run" reg query 'HKCU\Software\Classes\KexUSBPhone.KexPhone' /ve 2>/dev/null | grep -c REG_SZ; }
before=$(progid_state)

out=$(bash "$root/samples/demo_softphone/run_demo.sh" "$build" "$demo" 2>&1)
rc=$?
echo "$out"
[ $rc -eq 0 ] || problem "the demo exited with $rc"

# What the host sent, what the handset showed and what the host received,
# in this order (other lines may come between them).
expected=(
    'host     -> Start()'
    'handset  >> plug in'
    'host     <- OnStateChange(PLUGIN, 0, -1)'
    'host     -> Ready()'
    'handset  [display] READY'
    'handset  [display] CALLER      Alice Smith <+1 555 0100>'
    'handset  [display] CONTACT     "Alice Smith" icon 1 | "Acme Corp." icon 2 | "+1 555 0100" icon 3'
    'host     -> Ring("Alice Smith", "+1 555 0100")'
    'handset  [display] RINGING     Alice Smith <+1 555 0100>'
    'handset  >> key pick-up'
    'host     <- OnAction(PICKUP)'
    'handset  [display] TALKING     Alice Smith <+1 555 0100>'
    'host     <- OnKey(1)'
    'host     <- OnAction(NUMBER)'
    'handset  [display] NUMBER      123#'
    'host     <- OnAction(HOLD)'
    'handset  [display] ON HOLD     Alice Smith <+1 555 0100>'
    'host     <- OnAction(HOLD)'
    'handset  [display] RESUMED     Alice Smith <+1 555 0100>'
    'host     <- OnAction(HANGUP)'
    'handset  [display] HUNG UP     Alice Smith <+1 555 0100>'
    'host     <- OnStateChange(PLUGOUT, 0, -1)'
    'host     -> Stop()'
    'demo: all 14 expected events arrived in order'
    "trace log on this machine: $demo/log/KexUSBPhone.log"
)
rest="$out"
for line in "${expected[@]}"; do
    tail=${rest#*"$line"}
    if [ "$tail" = "$rest" ]; then
        problem "missing or out of order: $line"
        continue
    fi
    rest=$tail
done

grep -q 'Enter = KexUsbPhone::Start\.' "$demo/log/KexUSBPhone.log" 2>/dev/null ||
    problem "the trace log has no record of Start"
grep -q 'RINGING' "$demo/virtual_handset.log" 2>/dev/null || problem "the handset's log has no RINGING"

after=$(progid_state)
[ "$before" = "$after" ] || problem "registration not restored: before [$before], after [$after]"

[ $fail -eq 0 ] && echo "test_demo: passed"
exit $fail
