#!/usr/bin/env bash
# Makes sure $WINEPREFIX exists (arch $WINEARCH) with the settings the tests
# need, and that a wineserver is running for it. Safe to call concurrently.
set -u
: "${WINEPREFIX:?}" "${WINEARCH:?}"
. "$(dirname "$0")/hostarch.sh"
kex_use_wine "$WINEARCH"
export WINEDEBUG=-all WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$(dirname "$WINEPREFIX")"
(
    flock 9
    if [ ! -f "$WINEPREFIX/.kex-ready" ]; then
        rm -rf "$WINEPREFIX"
        "$WINELOADER" wineboot -i >/dev/null 2>&1 </dev/null
        # A crash must not open an invisible dialog and hang; windows with the
        # desktop as parent need a graphics driver even without a display.
        "$WINELOADER" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
        "$WINELOADER" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null
        wineserver -w
        touch "$WINEPREFIX/.kex-ready"
    fi
) 9>"$WINEPREFIX.lock"
# Keep the server alive between test programs: a cold start costs ~0.5 s.
wineserver -p30 </dev/null >/dev/null 2>&1 &
exit 0
