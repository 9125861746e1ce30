#!/usr/bin/env bash
# Fuzzes the configuration reader for the given number of seconds (default 30)
# with libFuzzer, natively (clang, ASan, UBSan). Non-zero exit on a crash.
# Closes with "fuzz: N passed, N failed, 0 skipped" (scripts/summary.sh).
# Needs Debian's clang and libclang-rt-14-dev.
set -euo pipefail
seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/summary.sh"
out=$root/build/fuzz
mkdir -p "$out/corpus"

clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I "$root" "$root/adapters/IniFile.cpp" "$root/tests/adapters/fuzz_ini.cpp" -o "$out/fuzz_ini"

# Seed with the reader's golden inputs; the corpus grows across runs.
cp -f "$root"/tests/adapters/ini/*.ini "$out/corpus/"
cat >"$out/ini.dict" <<'DICT'
"["
"]"
"="
";"
"\x0d\x0a"
"\x09"
"[AdapterList]"
"UseVarneUSBPhone"
DICT

cd "$out"
if ./fuzz_ini -max_total_time="$seconds" -max_len=4096 -dict=ini.dict -print_final_stats=1 \
    -artifact_prefix="$out/" corpus >fuzz.log 2>&1; then
    grep -E '^(Done|stat::)' fuzz.log
    kex_summary fuzz 1 0 0
else
    rc=$?
    cat fuzz.log
    echo "fuzz: the configuration reader failed; the input is in $out (crash-*)"
    kex_summary fuzz 0 1 0
    exit "$rc"
fi
