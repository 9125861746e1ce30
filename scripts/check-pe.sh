#!/usr/bin/env bash
# Static checks of a Windows build that need no Wine, so they also guard the
# 32-bit build on hosts that cannot run it:
#   the DLL's machine type, its COM exports by their plain names, the embedded
#   type library and its system kind, and the adapter contract header as C89.
# Prints one line per check and closes with "check-pe <arch>: N passed,
# N failed, 0 skipped" (scripts/summary.sh).
#   check-pe.sh <build dir> <win32|win64>
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/hostarch.sh"
. "$root/scripts/summary.sh"
build=${1:?usage: check-pe.sh <build dir> <win32|win64>}
arch=${2:?usage: check-pe.sh <build dir> <win32|win64>}
dll="$build/bin/KexUSBPhone.dll"
kex_arch "$arch" || { echo "check-pe: unknown architecture $arch" >&2; exit 2; }
triple=$KEX_ARCH_TRIPLE format=$KEX_ARCH_PE_FORMAT syskind=$KEX_ARCH_SYSKIND syskind_name=$KEX_ARCH_SYSKIND_NAME
pass=0 fail=0
check() { # <name> <result 0|1> [detail]
    if [ "$2" = 0 ]; then
        echo "check-pe $arch: $1: ok"; pass=$((pass + 1))
    else
        echo "check-pe $arch: $1: FAILED${3:+ ($3)}"; fail=$((fail + 1))
    fi
}

if [ ! -f "$dll" ]; then
    check "KexUSBPhone.dll exists" 1 "$dll is missing"
    kex_summary "check-pe $arch" $pass $fail 0
    exit 1
fi

got=$($triple-objdump -f "$dll" | sed -n 's/.*file format //p')
[ "$got" = "$format" ]; check "machine type $format" $? "file format $got"

exports=$($triple-objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
for name in DllGetClassObject DllCanUnloadNow DllRegisterServer DllUnregisterServer DllInstall; do
    grep -qE "\] $name\$" <<<"$exports"; check "export $name" $? "not exported by that name"
done

# The type library resource (TYPELIB 1) holds an MSFT library; the low
# nibble of the 32-bit word at offset 20 is its system kind.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if $triple-windres -J coff -O res -i "$dll" -o "$work/all.res" 2>"$work/err" &&
        python3 - "$work/all.res" "$work/tlb" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
pos = 0
def name_or_id(p):
    if data[p:p + 2] == b'\xff\xff':
        return struct.unpack_from('<H', data, p + 2)[0], p + 4
    end = p
    while data[end:end + 2] != b'\0\0':
        end += 2
    return data[p:end].decode('utf-16-le'), end + 2
while pos + 8 <= len(data):
    size, header = struct.unpack_from('<II', data, pos)
    rtype, p = name_or_id(pos + 8)
    if rtype == 'TYPELIB' and size:
        open(sys.argv[2], 'wb').write(data[pos + header:pos + header + size])
        sys.exit(0)
    pos = (pos + header + size + 3) & ~3
sys.exit(1)
PY
then
    magic=$(head -c 4 "$work/tlb")
    [ "$magic" = MSFT ]; check "embedded type library" $? "resource is not an MSFT type library"
    kind=$(( $(od -An -tu4 -j20 -N4 "$work/tlb") & 15 ))
    [ "$kind" = "$syskind" ]; check "type library system kind $syskind_name" $? "system kind $kind"
else
    check "embedded type library" 1 "no TYPELIB resource: $(head -c 200 "$work/err")"
fi

# The same strict-C89 file the build compiles, with this architecture's
# compiler: record offsets differ between 32 and 64 bits.
$triple-gcc -std=c89 -pedantic-errors -Werror -fsyntax-only \
    -I "$root" "$root/tests/adapters/contract_c89.c" 2>"$work/c89"
check "adapter contract header as C89" $? "$(head -c 300 "$work/c89")"

kex_summary "check-pe $arch" $pass $fail 0
[ $fail -eq 0 ]
