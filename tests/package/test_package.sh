#!/usr/bin/env bash
# Tests a release package from its zip alone: nothing of the build tree is
# used. In this order:
#   (a) the checksum file verifies, the manifests the README shows are the
#       shipped ones, and the version is the same everywhere;
# then the zip is unpacked into a fresh Wine prefix per architecture, and
#   (b) the sample C++ host and the README's adapter sample build from the
#       package with the README's commands;
#   (c) registration-free, with nothing registered: the sample host with its
#       application manifest, by ProgID and by CLSID, and with the README's
#       inline-file manifest; kexscript.exe with its manifest running the
#       VBScript and JScript samples; the demo softphone with its manifest.
#       Each must bind the virtual handset and see the call's events. Without
#       a manifest, creation must fail. The adapter sample answers a call;
#   (d) registered with regsvr32 from the package: kexscript.exe without a
#       manifest (events) and Wine's cscript (no events); unregistered again,
#       nothing of it is left in the registry.
# 64-bit always; 32-bit where this host runs 32-bit programs and the package
# is not marked untested.
#
#   test_package.sh [<zip> [<work dir>]]
# Without a zip it first makes one with scripts/package.sh. The work dir
# (default build/package-test) is emptied first. Prints PASS/FAIL lines and
# ends with "package tests: N passed, M failed, K skipped" (K: the checks a
# 32-bit half would have had where it is not tested here; scripts/summary.sh).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=${2:-$root/build/package-test}

pass=0 fail=0
ok() { echo "PASS: $1"; pass=$((pass + 1)); }
bad() { echo "FAIL: $1"; fail=$((fail + 1)); [ -n "${2:-}" ] && sed 's/^/    /' <<<"$2" | tail -n 40; }
# expect <name> <condition status> [output shown on failure]
expect() { if [ "$2" -eq 0 ]; then ok "$1"; else bad "$1" "${3:-}"; fi; }
# has <text> <needle>...: every needle is part of a line of the text (the
# first missing one is named on stderr, just before the FAIL line)
has() {
    local text=$1 needle
    shift
    for needle in "$@"; do grep -qF -- "$needle" <<<"$text" || { echo "missing: $needle" >&2; return 1; }; done
}
skip=0
finish() {
    kex_summary "package tests" $pass $fail $skip
    # The prefixes take most of a gigabyte each: kept only to look into a failure.
    [ $fail -eq 0 ] && [ -n "${work:-}" ] && rm -rf "$work"/x64/wineprefix "$work"/x86/wineprefix
    [ $fail -eq 0 ]
    exit
}

# Can this host run 32-bit Windows programs? The prefixes and the programs
# in them are made and run as the build's tests make and run theirs.
. "$root/scripts/wine-prefix.sh"
. "$root/scripts/summary.sh"
kex_probe_win32

if [ $# -ge 1 ]; then
    zip=$1
else
    log=$(mktemp)
    bash "$root/scripts/package.sh" 2>&1 | tee "$log"
    zip=$(sed -n 's/^package: \(.*\.zip\) (.*/\1/p' "$log" | tail -n 1)
    rm -f "$log"
    [ -n "$zip" ]
    expect "scripts/package.sh makes the zip" $?
    [ -n "$zip" ] || finish
fi
zip=$(cd "$(dirname "$zip")" && pwd)/$(basename "$zip")

# ---- The archive ---------------------------------------------------------------
rm -rf "$work"
mkdir -p "$work/dist" && work=$(cd "$work" && pwd)
cp "$zip" "$zip.sha256" "$work/dist/" 2>/dev/null || { bad "the zip and its .sha256 file exist" "$zip"; finish; }
name=$(basename "$zip" .zip)
mkdir -p "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$work/dist/$name.zip") || { bad "the zip unpacks"; finish; }
top=$(cd "$work/unpacked" && ls)
pkg=$work/unpacked/$top
readme=$pkg/README.md

# The package's documents: README.md and docs/, every link between them
# leading to a file of the package, and their marked blocks read by the
# project's one extractor. block <marker>: the block after "<!-- marker -->".
out=$(cd "$pkg" && { ls docs/*.md >/dev/null 2>&1 || { echo "no docs/*.md"; false; }; } &&
    bash "$root/scripts/docs.sh" links README.md docs/*.md 2>&1)
expect "the package ships docs/, and the links of its documents lead to its files" $? "$out"
out=$(cd "$pkg" && bash "$root/scripts/docs.sh" blocks "$work/blocks" README.md docs/*.md 2>&1)
expect "the package's documents' example markers read" $? "$out"
block() { cat "$work/blocks/${1%%: *}/${1#*: }" 2>/dev/null; }

# (a) The checksum, as the README says to verify it.
cmd=$(block "package-check: sha256")
# A package marked untested or x64-only carries the mark in its name.
cmd=${cmd//KexUSBPhone-$(tr -d '\r\n' <"$pkg/VERSION").zip/$name.zip}
out=$(cd "$work/dist" && bash -ec "$cmd" 2>&1)
expect "the README's checksum command verifies the zip" $? "$cmd"$'\n'"$out"
cp "$work/dist/$name.zip" "$work/dist/corrupt.zip" && printf 'x' >>"$work/dist/corrupt.zip"
sed "s/$name.zip/corrupt.zip/" "$work/dist/$name.zip.sha256" >"$work/dist/corrupt.zip.sha256"
(cd "$work/dist" && sha256sum -c corrupt.zip.sha256 >/dev/null 2>&1)
expect "a changed zip does not verify" $((! $?))

version=$(tr -d '\r\n' <"$pkg/VERSION")
agree=1
case $name in
"KexUSBPhone-$version" | "KexUSBPhone-$version-x86-untested" | "KexUSBPhone-$version-x64-only") ;;
*) agree=0 ;;
esac
[ "$top" = "$name" ] || agree=0
expect "zip name, top folder and VERSION agree ($name, $top, $version)" $((! agree))
missing=()
for f in README.md LICENSE CHANGELOG.md include/KexUSBAdapter.h include/KexUSBPhone.idl include/KexUSBPhone_h.h \
    include/KexUSBPhone_i.c samples/host_cpp/phone_host.cpp samples/host_cpp/phone_host.exe.manifest \
    samples/host_script/phone.vbs samples/host_script/phone.js samples/adapter/autoanswer.c \
    samples/adapter/autoanswer.def samples/adapter/USBPhone.ini; do
    [ -s "$pkg/$f" ] || missing+=("$f")
done
expect "the package holds the documents, include/ and samples/" ${#missing[@]} "${missing[*]:-}"
grep -qF "## $version" "$pkg/CHANGELOG.md"
expect "the changelog has an entry for $version" $?
grep -qF "KexUSBPhone-$version.zip" "$readme"
expect "the README names the package KexUSBPhone-$version.zip" $?

arches=(x64)
x86_skipped=1
if [ -d "$pkg/x86" ]; then
    if [ -f "$pkg/x86/UNTESTED.txt" ]; then
        echo "NOTE: x86/ is marked untested by the package; its tests are not run"
    elif [ "${KEX_HOST_WIN32:-1}" != 1 ]; then
        echo "NOTE: this host cannot run 32-bit programs (${KEX_WIN32_EVIDENCE:-}); x86/ is not tested"
    else
        arches+=(x86)
        x86_skipped=0
    fi
else
    echo "NOTE: the package has no x86/ folder"
fi

# The manifests the README shows are the shipped ones (x86 differs only in
# its processorArchitecture).
for f in x64/KexUSBPhone.Component.manifest x64/kexscript.exe.manifest samples/host_cpp/phone_host.exe.manifest; do
    diff <(block "package-file: $f") <(tr -d '\r' <"$pkg/$f") >"$work/diff.txt" 2>&1
    expect "the README shows $f as shipped" $? "$(cat "$work/diff.txt")"
done
if [ -d "$pkg/x86" ]; then
    diff <(sed 's/processorArchitecture="amd64"/processorArchitecture="x86"/' "$pkg/x64/KexUSBPhone.Component.manifest") \
        "$pkg/x86/KexUSBPhone.Component.manifest" >"$work/diff.txt" 2>&1
    expect "x86/ and x64/ assembly manifests differ only in the architecture" $? "$(cat "$work/diff.txt")"
fi

# ---- Per architecture ------------------------------------------------------------
# The version resource of the DLL, as windres reads it back.
dll_version() { "$1-windres" -i "$2" -O rc 2>/dev/null | sed -n 's/^ *FILEVERSION *//p' | tr -d ' \r'; }

# Paths inside the prefix's drive_c are given as C:\... (kex_winpath): Wine
# turns a Z: path into drive_c into a \\?\C: path that its type library
# loader then cannot open.

for arch in "${arches[@]}"; do
    checks_before=$((pass + fail))
    kex_arch "$arch"
    triple=$KEX_ARCH_TRIPLE format=$KEX_ARCH_PE_FORMAT
    t="[$arch]"
    echo "== $arch"
    want=$(tr '.' ',' <<<"$version"),0
    got=$(dll_version "$triple" "$pkg/$arch/KexUSBPhone.dll")
    [ "$got" = "$want" ]
    expect "$t the DLL's file version is $want" $? "got '$got'"

    mkdir -p "$work/$arch"
    kex_wine_env "$work/$arch/wineprefix" "$KEX_ARCH"
    prefix=$WINEPREFIX
    # run <seconds> <program> [args...]: under Wine in this prefix; its output
    # in $out, with the reason when it crashed or was stopped after <seconds>.
    run() {
        local seconds=$1
        shift
        out=$(kex_wine_run --timeout "$seconds" "$@" 2>&1)
    }
    kex_wine_prefix 2>&1
    expect "$t a fresh Wine prefix" $? "$(tail -n 20 "$prefix.log")"
    # The package, unpacked inside the prefix: C:\KexUSBPhone-<version>.
    install=$prefix/drive_c/$top
    (cd "$prefix/drive_c" && cmake -E tar xf "$work/dist/$name.zip")
    dir=$install/$arch

    # (b) The samples build from the package with the README's commands.
    for sample in host_cpp adapter; do
        cmd=$(block "package-build: $sample")
        cmd=${cmd//i686-w64-mingw32-/$triple-}
        out=$(cd "$install/samples/$sample" && bash -ec "$cmd" 2>&1)
        expect "$t samples/$sample builds with the README's command" $? "$cmd"$'\n'"$out"
    done
    dump=$("$triple-objdump" -p "$install/samples/host_cpp/phone_host.exe" 2>&1)
    grep -q "file format $format" <<<"$dump"
    expect "$t the sample host is a $arch program" $?
    cp "$install/samples/host_cpp/phone_host.exe" "$install/samples/host_cpp/phone_host.exe.manifest" "$dir/" 2>/dev/null

    # The identities, as the shipped manifest names them.
    clsid=$(sed -n 's/.*comClass clsid="\([^"]*\)".*/\1/p' "$dir/KexUSBPhone.Component.manifest")
    libid=$(sed -n 's/.*typelib tlbid="\([^"]*\)".*/\1/p' "$dir/KexUSBPhone.Component.manifest")

    call_events=('OnStateChange(1, 0, -1)' 'OnAction(1)' 'OnAction(12)' 'OnAction(2)' 'OnStateChange(0, 0, -1)')
    host_events=('Start -> 0x00000000' 'USBPhoneName = VirtualHandset' 'the handset was unplugged')

    # (c) Registration-free, with nothing registered. First the control: the
    # same program under another name has no manifest and must not find it.
    cp "$dir/phone_host.exe" "$dir/no_manifest.exe"
    run 60 "$dir/no_manifest.exe" --timeout 5000
    rc=$?
    [ $rc -eq 2 ] && has "$out" "0x800401F3"
    expect "$t nothing registered: without a manifest the ProgID is unknown" $? "exit $rc"$'\n'"$out"
    run 60 "$dir/no_manifest.exe" --clsid --timeout 5000
    rc=$?
    [ $rc -eq 2 ] && has "$out" "0x80040154"
    expect "$t nothing registered: without a manifest the class is not registered" $? "exit $rc"$'\n'"$out"

    for how in ProgID CLSID; do
        args=(--timeout 30000)
        [ $how = CLSID ] && args+=(--clsid)
        run 90 "$dir/phone_host.exe" "${args[@]}"
        rc=$?
        [ $rc -eq 0 ] && has "$out" "created by $how" "${host_events[@]}" "${call_events[@]/#/phone_host: }"
        expect "$t registration-free: the C++ host with its manifest, by $how, plays the call" $? "exit $rc"$'\n'"$out"
    done

    # The README's other way: the file element in the application's own manifest.
    inline=$work/$arch/inline
    mkdir -p "$inline"
    cp "$dir"/{KexUSBPhone.dll,USBPhone.ini,virtual_handset.dll,virtual_handset.ini,demo.scenario,phone_host.exe} "$inline/"
    block "package-example: inline manifest" >"$inline/phone_host.exe.manifest"
    run 90 "$inline/phone_host.exe" --timeout 30000
    rc=$?
    [ $rc -eq 0 ] && has "$out" "created by ProgID" "${host_events[@]}" "${call_events[@]/#/phone_host: }"
    expect "$t registration-free: the README's inline-file manifest plays the call" $? "exit $rc"$'\n'"$out"

    for script in phone.vbs phone.js; do
        run 90 "$dir/kexscript.exe" //nologo "$(kex_winpath "$install/samples/host_script/$script")"
        rc=$?
        [ $rc -eq 0 ] && has "$out" "$script: USBPhoneName = VirtualHandset" "${call_events[@]/#/$script: }"
        expect "$t registration-free: kexscript.exe with its manifest runs $script with events" $? "exit $rc"$'\n'"$out"
    done

    run 90 "$dir/demo_softphone.exe"
    rc=$?
    [ $rc -eq 0 ] && has "$out" "demo: all 14 expected events arrived in order"
    expect "$t registration-free: the demo softphone with its manifest plays the demo call" $? "exit $rc"$'\n'"$out"

    # The adapter sample, answering a call rung by the sample host; the host
    # gives up when the handset never unplugs, so only the output counts
    # (and that it did not crash).
    answer=$work/$arch/autoanswer
    mkdir -p "$answer"
    cp "$dir"/{KexUSBPhone.dll,KexUSBPhone.Component.manifest,phone_host.exe,phone_host.exe.manifest} \
        "$install/samples/adapter"/{autoanswer.dll,USBPhone.ini} "$answer/" 2>/dev/null
    run 60 "$answer/phone_host.exe" --timeout 4000
    has "$out" 'USBPhoneName = AutoAnswer' 'phone_host: OnStateChange(1, 0, -1)' 'autoanswer: command 3: Alice <100>' \
        'phone_host: OnAction(1)' 'autoanswer: command 5: Alice <100>' && [[ $out != *"phone_host.exe crashed: "* ]]
    expect "$t the adapter sample answers the sample host's call" $? "$out"

    # (d) Registered with regsvr32 from the package.
    dll=$(kex_winpath "$dir/KexUSBPhone.dll")
    run 60 regsvr32 /s "$dll"
    rc=$?
    run 30 reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /ve
    [ $rc -eq 0 ] && has "$out" "$dll"
    expect "$t regsvr32 registers the package's DLL" $? "exit $rc"$'\n'"$out"
    # kexscript.exe elsewhere, without its manifest: only the registry leads to the component.
    plain=$work/$arch/registered
    mkdir -p "$plain"
    cp "$dir/kexscript.exe" "$plain/"
    run 90 "$plain/kexscript.exe" //nologo "$(kex_winpath "$install/samples/host_script/phone.vbs")"
    rc=$?
    [ $rc -eq 0 ] && has "$out" "phone.vbs: USBPhoneName = VirtualHandset" "${call_events[@]/#/phone.vbs: }"
    expect "$t registered: kexscript.exe without a manifest runs phone.vbs with events" $? "exit $rc"$'\n'"$out"
    run 60 cscript //nologo "$(kex_winpath "$here/registered.vbs")"
    rc=$?
    [ $rc -eq 0 ] && has "$out" "started before: False" "started: True" "adapter: VirtualHandset" \
        "started after stop: False" "registered.vbs: done" "[display] RINGING     Alice <100>"
    expect "$t registered: Wine's cscript drives the component by name" $? "exit $rc"$'\n'"$out"
    run 60 regsvr32 /s /u "$dll"
    rc=$?
    left=()
    for key in "CLSID\\$clsid" KexUSBPhone.KexPhone KexUSBPhone.KexPhone.1 "TypeLib\\$libid"; do
        run 30 reg query "HKCR\\$key" && left+=("$key")
    done
    [ $rc -eq 0 ] && [ ${#left[@]} -eq 0 ]
    expect "$t regsvr32 /u unregisters it, type library included" $? "exit $rc, left: ${left[*]:-}"

    wineserver -k >/dev/null 2>&1
    # The 32-bit half would have had the same checks.
    [ "$arch" = x64 ] && [ $x86_skipped = 1 ] && skip=$((pass + fail - checks_before))
done
finish
