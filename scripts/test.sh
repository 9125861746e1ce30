#!/usr/bin/env bash
# Installs what is missing, builds the native (sanitizer) and the Windows
# builds, and runs every test: native ones directly, Windows ones under Wine.
# Exit status is non-zero when anything fails.
#
# On a host that runs only 64-bit programs the 32-bit build is still built
# and checked statically, and its Wine tests are counted as skipped.
#   KEX_REQUIRE_WIN32=1    such a skip fails the run (for release checks)
#   KEX_ASSUME_NO_WIN32=1  behave as on such a host
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/hostarch.sh
. scripts/summary.sh
kex_probe_win32
if [ "$KEX_HOST_WIN32" = 1 ]; then
    echo "host: runs 32-bit programs ($KEX_WIN32_EVIDENCE)"
else
    echo "host: runs only 64-bit programs ($KEX_WIN32_EVIDENCE)"
fi

bash scripts/setup.sh || { echo "setup failed"; exit 1; }

jobs=$(nproc)
total_pass=0 total_fail=0 total_skip=0 failed_steps=()

# part <name> <command...>: runs one part and shows its output; the part's
# closing line (scripts/summary.sh) goes to the totals. Skipped checks are
# those of the 32-bit build: they fail the run when KEX_REQUIRE_WIN32=1.
part() {
    local name=$1 log counts pass fail skip
    shift
    log=$(mktemp)
    "$@" 2>&1 | tee "$log"
    if ! counts=$(kex_summary_counts "$name" "$log"); then
        rm -f "$log"
        total_fail=$((total_fail + 1)); failed_steps+=("$name: no closing summary")
        return
    fi
    read -r pass fail skip <<<"$counts"
    total_pass=$((total_pass + pass)); total_fail=$((total_fail + fail))
    if [ "$fail" -ne 0 ]; then
        failed_steps+=("$name: $fail failed")
        # ctest names its failed tests and why (Failed, Timeout, ...).
        while read -r failed; do failed_steps+=("$name: $failed"); done < <(
            sed -n '/^The following tests FAILED:/,/^$/s/^[[:space:]]*[0-9]* - //p' "$log")
    fi
    if [ "$skip" -gt 0 ] && [ "${KEX_REQUIRE_WIN32:-0}" = 1 ]; then
        total_fail=$((total_fail + skip))
        failed_steps+=("$name: $skip not run, and KEX_REQUIRE_WIN32=1 requires them")
    else
        total_skip=$((total_skip + skip))
    fi
    rm -f "$log"
}

# ctest_part <name> <build dir>: the build's tests, closed by their summary.
ctest_part() {
    local log line fail total
    log=$(mktemp)
    ctest --test-dir "$2" --output-on-failure -j "$jobs" 2>&1 | tee "$log"
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    rm -f "$log"
    [ -n "$line" ] || return
    fail=$(sed -E 's/.*tests passed, ([0-9]+) tests failed out of.*/\1/' <<<"$line")
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    kex_summary "$1" $((total - fail)) "$fail" 0
}

# not_run <name> <build dir>: the tests that cannot run on this host.
not_run() {
    local count
    count=$(ctest --test-dir "$2" -N 2>/dev/null | sed -nE 's/^Total Tests: ([0-9]+)$/\1/p')
    echo "$1: not run — this host runs only 64-bit programs ($KEX_WIN32_EVIDENCE)"
    kex_summary "$1" 0 0 "${count:-0}"
}

# build <name> <dir> <win32|win64|native>
build() {
    local name=$1 dir=$2
    echo "== $name: configure and build ($dir)"
    if [ "$3" = native ]; then
        cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug >"$dir.configure.log" 2>&1 ||
            { cat "$dir.configure.log"; false; }
    else
        kex_configure "$dir" "$3"
    fi || { failed_steps+=("$name: configure"); return 1; }
    cmake --build "$dir" -j "$jobs" || { failed_steps+=("$name: build"); return 1; }
}

mkdir -p build
if build native build/native native; then
    echo "== native: tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
    part native ctest_part native build/native
fi
# Built everywhere, so a compile error in the 32-bit build always fails.
if build win32 build/win32 win32; then
    echo "== win32: static checks"
    part "check-pe win32" bash scripts/check-pe.sh build/win32 win32
    if [ "$KEX_HOST_WIN32" = 1 ]; then
        echo "== win32: tests under Wine"
        part win32 ctest_part win32 build/win32
    else
        part win32 not_run win32 build/win32
    fi
fi
# The 64-bit DLL for 64-bit hosts: same sources, its own Wine prefix.
if [ "${KEX_SKIP_WIN64:-0}" != 1 ] && build win64 build/win64 win64; then
    echo "== win64: static checks"
    part "check-pe win64" bash scripts/check-pe.sh build/win64 win64
    echo "== win64: tests under 64-bit Wine"
    part win64 ctest_part win64 build/win64
fi
# The release package: made by scripts/package.sh, tested from its zip alone.
if [ "${KEX_SKIP_WIN64:-0}" != 1 ]; then
    echo "== package: make the release zip and test it from the zip alone"
    part "package tests" bash tests/package/test_package.sh
fi
# The Windows Installer packages of that run: their tables, installed under
# Wine's msiexec, and signed with a throwaway certificate.
if [ "${KEX_SKIP_WIN64:-0}" != 1 ]; then
    echo "== msi: the Windows Installer packages under Wine's msiexec, and signing"
    part "msi tests" bash tests/package/test_msi.sh "${KEX_PACKAGE_DIST:-$root/dist}"
fi
# A short fuzzing run of the configuration reader (libFuzzer, natively).
if [ -f scripts/fuzz.sh ]; then
    echo "== fuzz: configuration reader, ${KEX_FUZZ_SECONDS:-30} s"
    part fuzz bash scripts/fuzz.sh "${KEX_FUZZ_SECONDS:-30}"
fi

echo
if [ ${#failed_steps[@]} -gt 0 ]; then
    printf 'FAILED: %s\n' "${failed_steps[@]}"
fi
kex_summary total "$total_pass" "$total_fail" "$total_skip"
[ ${#failed_steps[@]} -eq 0 ] && [ "$total_fail" -eq 0 ]
