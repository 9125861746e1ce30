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
kex_probe_win32
if [ "$KEX_HOST_WIN32" = 1 ]; then
    echo "host: runs 32-bit programs ($KEX_WIN32_EVIDENCE)"
else
    echo "host: runs only 64-bit programs ($KEX_WIN32_EVIDENCE)"
fi

bash scripts/setup.sh || { echo "setup failed"; exit 1; }

jobs=$(nproc)
total_pass=0 total_fail=0 total_skip=0 failed_steps=()

# run_ctest <label> <build dir>
run_ctest() {
    local label=$1 dir=$2 log
    log=$(mktemp)
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" 2>&1 | tee "$log"
    local line pass fail
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" | tail -n 1)
    rm -f "$log"
    if [ -z "$line" ]; then
        failed_steps+=("$label: no test summary")
        return
    fi
    fail=$(sed -E 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    pass=$(( $(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line") - fail ))
    total_pass=$((total_pass + pass))
    total_fail=$((total_fail + fail))
    [ "$fail" -eq 0 ] || failed_steps+=("$label: $fail failed")
}

# build <label> <dir> [cmake args...]
build() {
    local label=$1 dir=$2
    shift 2
    echo "== $label: configure and build ($dir)"
    if ! cmake -S . -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1; then
        cat "$dir.configure.log"; failed_steps+=("$label: configure"); return 1
    fi
    if ! cmake --build "$dir" -j "$jobs"; then
        failed_steps+=("$label: build"); return 1
    fi
}

# check_pe <label> <build dir> <arch>: static checks of the built DLL.
check_pe() {
    local label=$1 out line
    out=$(bash scripts/check-pe.sh "$2" "$3" 2>&1)
    echo "$out"
    line=$(grep -E '^check-pe: [0-9]+ passed, [0-9]+ failed$' <<<"$out" | tail -n 1)
    if [ -z "$line" ]; then
        total_fail=$((total_fail + 1)); failed_steps+=("$label: static checks did not run"); return
    fi
    local pass fail
    pass=$(sed -E 's/^check-pe: ([0-9]+) passed.*/\1/' <<<"$line")
    fail=$(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$line")
    total_pass=$((total_pass + pass)); total_fail=$((total_fail + fail))
    [ "$fail" -eq 0 ] || failed_steps+=("$label: $fail static checks failed")
}

# skip_ctest <label> <build dir>: the tests that cannot run on this host.
skip_ctest() {
    local label=$1 count
    count=$(ctest --test-dir "$2" -N 2>/dev/null | sed -nE 's/^Total Tests: ([0-9]+)$/\1/p')
    count=${count:-0}
    echo "$label: not run — this host runs only 64-bit programs ($KEX_WIN32_EVIDENCE)"
    if [ "${KEX_REQUIRE_WIN32:-0}" = 1 ]; then
        total_fail=$((total_fail + count))
        failed_steps+=("$label: $count tests not run, and KEX_REQUIRE_WIN32=1 requires them")
    else
        total_skip=$((total_skip + count))
    fi
}

mkdir -p build
if build native build/native -DCMAKE_BUILD_TYPE=Debug; then
    echo "== native: tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
    run_ctest native build/native
fi
# Built everywhere, so a compile error in the 32-bit build always fails.
if build win32 build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
    echo "== win32: static checks"
    check_pe win32 build/win32 win32
    if [ "$KEX_HOST_WIN32" = 1 ]; then
        echo "== win32: tests under Wine"
        run_ctest win32 build/win32
    else
        skip_ctest win32 build/win32
    fi
fi
# The 64-bit DLL for 64-bit hosts: same sources, its own Wine prefix.
if [ "${KEX_SKIP_WIN64:-0}" != 1 ] &&
    build win64 build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
    echo "== win64: static checks"
    check_pe win64 build/win64 win64
    echo "== win64: tests under 64-bit Wine"
    run_ctest win64 build/win64
fi
# The release package: made by scripts/package.sh, tested from its zip alone.
if [ "${KEX_SKIP_WIN64:-0}" != 1 ]; then
    echo "== package: make the release zip and test it from the zip alone"
    log=$(mktemp)
    bash tests/package/test_package.sh 2>&1 | tee "$log"
    counts=$(sed -nE 's/^package tests: ([0-9]+) passed, ([0-9]+) failed, ([0-9]+) skipped$/\1 \2 \3/p' "$log" | tail -n 1)
    rm -f "$log"
    if [ -z "$counts" ]; then
        total_fail=$((total_fail + 1)); failed_steps+=("package: no test summary")
    else
        read -r p f k <<<"$counts"
        total_pass=$((total_pass + p)); total_fail=$((total_fail + f))
        [ "$f" -eq 0 ] || failed_steps+=("package: $f failed")
        if [ "$k" -gt 0 ] && [ "${KEX_REQUIRE_WIN32:-0}" = 1 ]; then
            total_fail=$((total_fail + k)); failed_steps+=("package: $k checks of x86/ not run, and KEX_REQUIRE_WIN32=1 requires them")
        else
            total_skip=$((total_skip + k))
        fi
    fi
fi
# The Windows Installer packages of that run: their tables, installed under
# Wine's msiexec, and signed with a throwaway certificate.
if [ "${KEX_SKIP_WIN64:-0}" != 1 ]; then
    echo "== msi: the Windows Installer packages under Wine's msiexec, and signing"
    log=$(mktemp)
    bash tests/package/test_msi.sh "${KEX_PACKAGE_DIST:-$root/dist}" 2>&1 | tee "$log"
    summary=$(grep -E '^msi tests: [0-9]+ passed, [0-9]+ failed, [0-9]+ skipped$' "$log" | tail -n 1)
    rm -f "$log"
    if [[ $summary =~ ([0-9]+)\ passed,\ ([0-9]+)\ failed,\ ([0-9]+)\ skipped ]]; then
        total_pass=$((total_pass + BASH_REMATCH[1])) total_fail=$((total_fail + BASH_REMATCH[2]))
        total_skip=$((total_skip + BASH_REMATCH[3]))
        [ "${BASH_REMATCH[2]}" -eq 0 ] || failed_steps+=("msi: ${BASH_REMATCH[2]} failed")
    else
        total_fail=$((total_fail + 1)); failed_steps+=("msi: no test summary")
    fi
fi
# A short fuzzing run of the configuration reader (libFuzzer, natively).
if [ -f scripts/fuzz.sh ]; then
    echo "== fuzz: configuration reader, ${KEX_FUZZ_SECONDS:-30} s"
    if bash scripts/fuzz.sh "${KEX_FUZZ_SECONDS:-30}"; then
        total_pass=$((total_pass + 1))
    else
        total_fail=$((total_fail + 1)); failed_steps+=("fuzz")
    fi
fi

echo
if [ ${#failed_steps[@]} -gt 0 ]; then
    printf 'FAILED: %s\n' "${failed_steps[@]}"
fi
echo "total: $total_pass passed, $total_fail failed, $total_skip skipped"
[ ${#failed_steps[@]} -eq 0 ] && [ "$total_fail" -eq 0 ]
