#!/usr/bin/env bash
# Builds what the release package needs and makes dist/KexUSBPhone-<version>.zip
# with its SHA-256 file. Safe to run again: it rebuilds only what changed and
# replaces the package of this version.
#
# The 32-bit half (x86/) is shipped as checked only where this host can run
# 32-bit Windows programs, so that the package tests can run it. Elsewhere it
# is built and checked statically only; the package is then named
# KexUSBPhone-<version>-x86-untested.zip and x86/UNTESTED.txt says why. When
# it cannot be built at all the package is KexUSBPhone-<version>-x64-only.zip.
# Either is announced on stderr; no half is left out or unchecked silently.
#
# It also makes the Windows Installer packages KexUSBPhone-<version>-x64.msi
# and -x86.msi (scripts/msi.sh; the x86 one is -x86-untested.msi where the zip
# is marked untested), and when a certificate is given it signs every DLL and
# EXE it ships and then the packages (scripts/sign.sh: KEX_SIGN_PFX,
# KEX_SIGN_PASSWORD_FILE or KEX_SIGN_PASSWORD, KEX_SIGN_TIMESTAMP_URL). It
# ends with the name, size and SHA-256 sum of the zip and of each package.
#
# Environment: KEX_PACKAGE_DIST=<dir> (default dist), KEX_ASSUME_NO_WIN32=1
# (treat this host as one that runs 64-bit programs only).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

die() { echo "package: $*" >&2; exit 1; }
note() { echo "package: $*" >&2; }

version=$(head -n 1 VERSION 2>/dev/null)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "VERSION must hold MAJOR.MINOR.PATCH, not '$version'"
dist=${KEX_PACKAGE_DIST:-$root/dist}

bash scripts/setup.sh || die "setup failed"

# Can this host run 32-bit Windows programs (and so test the x86 half)?
. scripts/hostarch.sh
kex_probe_win32
. scripts/msi.sh
. scripts/sign.sh

# build <win32|win64>: the package's targets of one Windows build, with the
# settings scripts/test.sh uses (so both share one build tree).
build() {
    kex_configure "build/$1" "$1" || return 1
    cmake --build "build/$1" --target kex_package_files -j "$(nproc)" || return 1
}

# check_pe <triple> <format> <files...>: each file is a PE image of the
# architecture and imports no compiler runtime DLL (they are linked in).
check_pe() {
    local triple=$1 format=$2 f dump bad=0
    shift 2
    for f in "$@"; do
        dump=$("$triple-objdump" -p "$f" 2>&1) || { note "$f: not a PE image"; bad=1; continue; }
        grep -q "file format $format" <<<"$dump" || { note "$f: not $format"; bad=1; }
        if grep -iE 'DLL Name: (lib|mingw|msvcp|vcruntime)' <<<"$dump" >&2; then
            note "$f: imports a runtime DLL that the package does not ship"
            bad=1
        fi
    done
    return $bad
}

# check_exports <triple> <file> <names...>
check_exports() {
    local triple=$1 file=$2 name dump bad=0
    shift 2
    dump=$("$triple-objdump" -p "$file")
    for name in "$@"; do
        grep -qE "[[:space:]]$name\$" <<<"$dump" || { note "$file: no export $name"; bad=1; }
    done
    return $bad
}

# stage_arch <win32|win64>: one architecture's folder (x86/ or x64/).
stage_arch() {
    kex_arch "$1" || return 1
    local dir=build/$1 folder=$KEX_ARCH_PACKAGE triple=$KEX_ARCH_TRIPLE format=$KEX_ARCH_PE_FORMAT f
    cmake --install "$dir" --prefix "$stage/$folder" --component kex_arch >/dev/null || return 1
    for f in "$stage/$folder"/*.dll "$stage/$folder"/*.exe; do
        "$triple-strip" --strip-debug "$f" || return 1
    done
    check_pe "$triple" "$format" "$stage/$folder"/*.dll "$stage/$folder"/*.exe || return 1
    check_exports "$triple" "$stage/$folder/KexUSBPhone.dll" \
        DllGetClassObject DllCanUnloadNow DllRegisterServer DllUnregisterServer DllInstall || return 1
    for f in "$stage/$folder"/*.dll; do
        [ "$(basename "$f")" = KexUSBPhone.dll ] && continue
        check_exports "$triple" "$f" Intialize execute || return 1
    done
}

# ---- Build ---------------------------------------------------------------------
build win64 || die "the 64-bit build failed"
x86=checked
kex_arch win32
if ! command -v "$KEX_ARCH_TRIPLE-g++-posix" >/dev/null; then
    x86=missing
    note "no 32-bit compiler ($KEX_ARCH_TRIPLE-g++-posix): the package holds x64/ only"
elif ! build win32; then
    x86=missing
    note "the 32-bit build failed: the package holds x64/ only"
elif [ "$KEX_HOST_WIN32" != 1 ]; then
    x86=untested
fi

# ---- Stage ---------------------------------------------------------------------
# One time stamp for everything (strip writes it into the PE headers, zip
# into the entries): the last commit's, so the same sources give the same zip.
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH=$epoch
name=KexUSBPhone-$version
case $x86 in
untested) name+=-x86-untested ;;
missing) name+=-x64-only ;;
esac
work=$root/build/package
stage=$work/$name
rm -rf "$work"
mkdir -p "$stage"

stage_arch win64 || die "staging x64/ failed"
if [ $x86 != missing ] && ! stage_arch win32; then
    die "staging x86/ failed"
fi
if [ $x86 = untested ]; then
    cat >"$stage/x86/UNTESTED.txt" <<EOF
The 32-bit files in this folder were built and checked statically (PE format,
exports, no runtime DLLs) but never run: the machine that made this package
could not run 32-bit programs ($KEX_WIN32_EVIDENCE).
Only the 64-bit files in x64/ were run by the package tests there.
EOF
fi
cmake --install build/win64 --prefix "$stage" --component kex_common >/dev/null || die "staging the common part failed"
# The adapter of "Writing an adapter", as the documents show it.
bash scripts/docs.sh blocks "$work/blocks" README.md docs/*.md >&2 || die "the documents' example markers cannot be read"
mkdir -p "$stage/samples/adapter"
for f in autoanswer.c autoanswer.def autoanswer.ini:USBPhone.ini; do
    [ -s "$work/blocks/example/${f%%:*}" ] || die "the documents have no block for the adapter sample's ${f%%:*}"
    cp "$work/blocks/example/${f%%:*}" "$stage/samples/adapter/${f#*:}"
done

# ---- Sign ----------------------------------------------------------------------
# The installers' own action DLL is signed with the rest: it runs on the
# target machine. The packages themselves are signed once they are made.
# stage_actions <win32|win64>: that build's action DLL, for its package.
stage_actions() {
    kex_arch "$1" || return 1
    local triple=$KEX_ARCH_TRIPLE dll=$work/installer/$KEX_ARCH_PACKAGE/KexInstallerActions.dll
    mkdir -p "$(dirname "$dll")" && cp "build/$1/bin/KexInstallerActions.dll" "$dll" &&
        "$triple-strip" --strip-debug "$dll" && check_pe "$triple" "$KEX_ARCH_PE_FORMAT" "$dll"
}
stage_actions win64 || die "staging the x64 installer actions failed"
if [ $x86 != missing ]; then
    stage_actions win32 || die "staging the x86 installer actions failed"
fi
note "$(kex_sign_describe)"
mapfile -t shipped < <(find "$stage" "$work/installer" -type f \( -name '*.dll' -o -name '*.exe' \) | LC_ALL=C sort)
kex_sign_files "${shipped[@]}" || die "signing failed"

# ---- Zip and checksum ----------------------------------------------------------
# Fixed times and a sorted file list: the same files give the same zip.
find "$stage" -exec touch -h -d "@$epoch" {} +
mkdir -p "$dist"
rm -f "$dist/KexUSBPhone-$version".zip "$dist/KexUSBPhone-$version"-*.zip \
    "$dist/KexUSBPhone-$version".zip.sha256 "$dist/KexUSBPhone-$version"-*.zip.sha256
zip=$dist/$name.zip
if command -v zip >/dev/null; then
    (cd "$work" && find "$name" -type f | LC_ALL=C sort | zip -X -q -@ "$zip") || die "zip failed"
else
    (cd "$work" && find "$name" -type f | LC_ALL=C sort >"$work/files" &&
        cmake -E tar cf "$zip" --format=zip --files-from="$work/files") || die "zip failed"
fi
(cd "$dist" && sha256sum "$name.zip" >"$name.zip.sha256") || die "checksum failed"

# ---- Windows Installer packages ----------------------------------------------
# One per architecture, holding that folder of the zip (without the
# side-by-side manifests: the package registers the component) and LICENSE.
rm -f "$dist/KexUSBPhone-$version"-*.msi "$dist/KexUSBPhone-$version"-*.msi.sha256
msis=()
for arch in x64 x86; do
    [ $arch = x86 ] && [ $x86 = missing ] && continue
    files=$work/installer/$arch/files
    msi=$dist/KexUSBPhone-$version-$arch.msi
    [ $arch = x86 ] && [ $x86 = untested ] && msi=$dist/KexUSBPhone-$version-x86-untested.msi
    mkdir -p "$files" && cp -p "$stage/$arch"/* "$stage/LICENSE" "$files/" &&
        rm -f "$files"/*.manifest "$files/UNTESTED.txt" || die "staging the $arch package failed"
    kex_msi_build $arch "$files" "$work/installer/$arch/KexInstallerActions.dll" "$msi" ||
        die "the $arch Windows Installer package failed"
    msis+=("$msi")
done
kex_sign_files "${msis[@]}" || die "signing the Windows Installer packages failed"
for msi in "${msis[@]}"; do
    (cd "$dist" && sha256sum "$(basename "$msi")" >"$(basename "$msi").sha256") || die "checksum failed"
done

for f in "$zip" "${msis[@]}"; do
    echo "package: $f ($(stat -c %s "$f") bytes)"
    echo "package: $(cat "$f.sha256")"
done
case $x86 in
checked) echo "package: x86/ and x64/ (32-bit half testable here: $KEX_WIN32_EVIDENCE)" ;;
untested) note "WARNING: x86/ is built but UNTESTED: this host cannot run 32-bit programs ($KEX_WIN32_EVIDENCE); the package name says so" ;;
missing) note "WARNING: the package holds no x86/ folder; its name says so" ;;
esac
exit 0
