#!/usr/bin/env bash
# Runs one test driven by a shell script, for ctest. It passes only when the
# script exits 0 within its time, prints each expected text in order (its
# closing line: a script that stops early prints none), and no Windows
# program it ran through wine-run or hid-run crashed or timed out, even one
# whose exit status the script did not look at.
#   script-test.sh --name NAME --timeout SECONDS [--expect TEXT]... -- COMMAND...
set -uo pipefail
name='' limit='' expects=()
while [ $# -gt 0 ]; do
    case $1 in
        --name) name=$2; shift 2 ;;
        --timeout) limit=$2; shift 2 ;;
        --expect) expects+=("$2"); shift 2 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
: "${name:?--name is required}" "${limit:?--timeout is required}" "${1:?a command is required}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The wrappers add a line here for every program that crashed or timed out.
export KEX_WINE_FAULT_LOG=$work/faults
: >"$KEX_WINE_FAULT_LOG"
timeout -k 10 "$limit" "$@" 2>&1 | tee "$work/out"
rc=${PIPESTATUS[0]}

problems=()
[ "$rc" -eq 124 ] && problems+=("timed out: still running after $limit s, stopped")
[ "$rc" -ne 0 ] && [ "$rc" -ne 124 ] && problems+=("exited with status $rc")
while read -r fault; do problems+=("a Windows program it ran: $fault"); done <"$KEX_WINE_FAULT_LOG"
rest=$(cat "$work/out")
for text in "${expects[@]}"; do
    after=${rest#*"$text"}
    if [ "$after" = "$rest" ]; then
        problems+=("missing or out of order in its output: $text")
        continue
    fi
    rest=$after
done
[ ${#problems[@]} -eq 0 ] && exit 0
for problem in "${problems[@]}"; do echo "script-test: $name $problem" >&2; done
exit 1
