#!/usr/bin/env bash
# The rules of the Wine wrappers and of the script-test driver, shown on
# broken_gtest.exe: each row runs something one way and says whether the run
# must pass and what the wrapper or the driver must say.
#   test_wine_rules.sh <build dir> <broken_gtest.exe>
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?usage: test_wine_rules.sh <build dir> <broken_gtest.exe>}
broken=${2:?usage: test_wine_rules.sh <build dir> <broken_gtest.exe>}
# The faults below are made on purpose: they are not faults of this test.
unset KEX_WINE_FAULT_LOG
fail=0

# row <what> <must pass: yes|no> <text the output must hold, or ""> <command...>
row() {
    local what=$1 pass=$2 text=$3 out rc problem=
    shift 3
    out=$("$@" 2>&1)
    rc=$?
    if [ "$pass" = yes ] && [ $rc -ne 0 ]; then
        problem="failed (exit status $rc)"
    elif [ "$pass" = no ] && [ $rc -eq 0 ]; then
        problem="passed (exit status 0)"
    elif [ -n "$text" ] && [[ $out != *"$text"* ]]; then
        problem="did not say: $text"
    fi
    if [ -z "$problem" ]; then
        echo "ok: $what"
        return
    fi
    echo "FAIL: $what: $problem"
    sed 's/^/    /' <<<"$out" | tail -n 30
    fail=1
}

wine=$build/wine-run
row "a GoogleTest program that passes" yes "[  PASSED  ] 2 tests." \
    "$wine" --gtest "$broken"
row "crashed after its tests passed" no "broken_gtest.exe crashed: wine: Unhandled" \
    "$wine" --gtest "$broken" crash-after
row "crashed, run as any program" no "broken_gtest.exe crashed: wine: Unhandled" \
    "$wine" "$broken" crash-after
row "ended with status 0 before GoogleTest's summary" no "broken_gtest.exe ended without GoogleTest's closing summary" \
    "$wine" --gtest "$broken" exit-early
row "failed a test and ended with status 0" no "broken_gtest.exe reported failed tests" \
    "$wine" --gtest "$broken" hide-failure
row "outlived its time" no "broken_gtest.exe timed out: still running after 3 s" \
    "$wine" --gtest --timeout 3 "$broken" hang
row "in the HID prefix: crashed after its tests passed" no "broken_gtest.exe crashed: wine: Unhandled" \
    "$build/hid-run" --gtest "$broken" crash-after

driver=(bash "$root/scripts/script-test.sh" --name inner --timeout 60 --expect "inner: done" --)
row "a script that passes" yes "" \
    "${driver[@]}" bash -c 'echo "inner: done"'
row "a script that ignores a crashed program's status" no "inner a Windows program it ran: broken_gtest.exe crashed" \
    "${driver[@]}" bash -c '"$0" "$1" crash-after; echo "inner: done"' "$wine" "$broken"
row "a script that ends with status 0 before its closing line" no "inner missing or out of order in its output: inner: done" \
    "${driver[@]}" bash -c 'exit 0'
row "a script that outlives its time" no "inner timed out: still running after 2 s" \
    bash "$root/scripts/script-test.sh" --name inner --timeout 2 -- sleep 30

[ $fail -eq 0 ] && echo "test_wine_rules: passed"
exit $fail
