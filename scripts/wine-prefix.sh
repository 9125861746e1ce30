# Sourced by the Wine wrappers (wine-run, hid-run) and the package test: the
# one way to make a Wine prefix ready for the tests and to run a Windows
# program in it.
#
#   kex_wine_env PREFIX ARCH     exports WINEPREFIX, WINEARCH, WINELOADER (the
#                                loader of ARCH), WINEDEBUG and WINEDLLOVERRIDES
#   kex_wine_prefix [STAMP [SETUP...]]
#                                makes $WINEPREFIX ready: booted, no crash
#                                dialog, the null graphics driver, then SETUP
#                                run in it. Made again when STAMP is not the
#                                one it was made with. Safe to call concurrently.
#   kex_wine_run [--gtest] [--timeout SECONDS] PROGRAM [ARGS...]
#                                runs PROGRAM, shows its output as it comes
#                                and returns its exit status, or a failure
#                                whatever that status when PROGRAM crashed
#                                (Wine's "Unhandled" report), was stopped after
#                                SECONDS, or (--gtest) ended without
#                                GoogleTest's closing summary or with failed
#                                tests. The reason is said on stderr, and
#                                added to $KEX_WINE_FAULT_LOG when that is set
#                                (scripts/script-test.sh reads it).
#   kex_winpath PATH             PATH as Windows sees it: C:\... inside the
#                                prefix's drive_c, Z:\... elsewhere
#
# Under Wine 8 a program that crashes can exit 0, and a GoogleTest program
# that stops early (an exit from inside a test) exits 0 too: the exit status
# alone would call both a pass.
. "$(dirname "${BASH_SOURCE[0]}")/hostarch.sh"

kex_wine_env() {
    export WINEPREFIX=$1 WINEARCH=$2
    export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
    kex_use_wine "$WINEARCH"
}

# Boot output goes to $WINEPREFIX.log; SETUP's output to ours.
kex_wine_prefix() {
    local stamp=${1:-ready}
    [ $# -gt 0 ] && shift
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        [ "$(cat "$WINEPREFIX/.kex-ready" 2>/dev/null)" = "$stamp" ] && exit 0
        [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null
        rm -rf "$WINEPREFIX"
        {
            "$WINELOADER" wineboot -i &&
                # A crash must not open an invisible dialog and hang; windows
                # with the desktop as parent need a graphics driver even
                # without a display.
                "$WINELOADER" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f &&
                "$WINELOADER" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f &&
                wineserver -w
        } >"$WINEPREFIX.log" 2>&1 </dev/null || { echo "the Wine prefix $WINEPREFIX did not boot" >&2; exit 1; }
        if [ $# -gt 0 ]; then
            # A fresh prefix must settle: installing in the boot session fails.
            wineserver -k 2>/dev/null
            wineserver -w
            "$@" || exit 1
        fi
        echo "$stamp" >"$WINEPREFIX/.kex-ready"
    ) 9>"$WINEPREFIX.lock" || return 1
    # Keep the server alive between programs: a cold start costs ~0.5 s.
    wineserver -p30 </dev/null >/dev/null 2>&1 &
    return 0
}

kex_wine_run() {
    local gtest=0 limit=0
    while :; do
        case ${1:-} in
            --gtest) gtest=1; shift ;;
            --timeout) limit=$2; shift 2 ;;
            *) break ;;
        esac
    done
    local name=${1:?usage: kex_wine_run [--gtest] [--timeout SECONDS] PROGRAM [ARGS...]}
    name=${name##*[\\/]}
    # Wine's background processes inherit the output and would keep ctest (or
    # a pipeline) waiting: the program writes to a file, streamed to our
    # output while it runs, so a stopped test has shown the case it was in.
    local out start=$SECONDS pid shown rc
    out=$(mktemp)
    if [ "$limit" -gt 0 ]; then
        timeout --foreground -s KILL "$limit" "$WINELOADER" "$@" >"$out" 2>&1 </dev/null &
    else
        "$WINELOADER" "$@" >"$out" 2>&1 </dev/null &
    fi
    pid=$!
    # sed -u: a buffering filter would lose the last lines of a stopped test.
    tail -n +1 -s 0.05 --pid="$pid" -f "$out" | sed -u 's/\r$//' &
    shown=$!
    wait "$pid"
    rc=$?
    wait "$shown"
    local why fault
    fault=$(tr -d '\r' <"$out" | grep -m 1 -E '^(wine: Unhandled|Unhandled exception: )')
    if [ "$limit" -gt 0 ] && [ $rc -eq 137 ] && [ $((SECONDS - start)) -ge "$limit" ]; then
        why="timed out: still running after $limit s, stopped"
    elif [ -n "$fault" ]; then
        why="crashed: $fault"
    elif [ $gtest = 1 ] && ! tr -d '\r' <"$out" | grep -qE '^\[  PASSED  \] [0-9]+ tests?\.$'; then
        why="ended without GoogleTest's closing summary ([  PASSED  ] N tests.): it stopped before its tests had all run"
    elif [ $gtest = 1 ] && tr -d '\r' <"$out" | grep -qE '^\[  FAILED  \] [0-9]+ tests?, listed below:$'; then
        why="reported failed tests"
    fi
    rm -f "$out"
    [ -z "${why:-}" ] && return $rc
    why="$name $why (exit status $rc)"
    echo "${0##*/}: $why" >&2
    [ -n "${KEX_WINE_FAULT_LOG:-}" ] && echo "$why" >>"$KEX_WINE_FAULT_LOG"
    [ $rc -ne 0 ] && return $rc
    return 1
}

kex_winpath() {
    local path=$1
    if [[ $path == "${WINEPREFIX:-/nonexistent}/drive_c/"* ]]; then
        path=${path#"$WINEPREFIX/drive_c"}
        echo "C:${path//\//\\}"
    else
        echo "Z:${path//\//\\}"
    fi
}
