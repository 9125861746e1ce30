#!/usr/bin/env bash
# Tests the Windows Installer packages from the release's dist folder alone:
#   - each package's tables: the dual-purpose properties, the registration
#     as HKMU registry rows (no self-registration), the ini file's component,
#     the files against the zip's, and that the same files give the same
#     package byte for byte;
#   - under Wine's msiexec in a fresh prefix per architecture, per machine:
#     an older build (made here from the same files) installs silently, the
#     package upgrades it keeping an edited USBPhone.ini, and writes exactly
#     the keys regsvr32 writes; the installed kexscript.exe, the C++ sample
#     host (built from the zip) and the demo create the class by ProgID; a
#     repair restores a deleted DLL; the older package refuses to go over the
#     newer one; uninstall removes every file and key, and an unchanged
#     USBPhone.ini with them;
#   - per user (ALLUSERS=, as Wine does not read MSIINSTALLPERUSER): the
#     files in the user's program folder, the same keys under
#     HKCU\Software\Classes and none for the machine; uninstall keeps an
#     edited USBPhone.ini and removes the rest;
#   - signing: scripts/package.sh with a certificate made here signs every
#     shipped DLL and EXE and the packages; osslsigncode verifies each, and a
#     one-byte change fails; the password is in no output.
# The 32-bit package's Wine checks run where this host runs 32-bit programs,
# elsewhere they count as skipped. What Wine's msiexec cannot do is a SKIP
# line saying so.
#
#   test_msi.sh [<dist dir> [<work dir>]]
# Without a dist dir it first makes the packages with scripts/package.sh. The
# work dir (default build/msi-test) is emptied first. Prints PASS/FAIL/SKIP
# lines and ends with "msi tests: N passed, M failed, K skipped".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=${2:-$root/build/msi-test}
started=$SECONDS

pass=0 fail=0 skip=0
ok() { echo "PASS: $1"; pass=$((pass + 1)); }
bad() { echo "FAIL: $1"; fail=$((fail + 1)); [ -n "${2:-}" ] && sed 's/^/    /' <<<"$2" | tail -n 40; }
skipped() { echo "SKIP: $1"; skip=$((skip + 1)); }
# What no run on this kind of host can show (Wine's limits, the network): said, not counted.
unshown() { echo "NOTE: not shown here: $1"; }
# expect <name> <condition status> [output shown on failure]
expect() { if [ "$2" -eq 0 ]; then ok "$1"; else bad "$1" "${3:-}"; fi; }
# has <text> <needle>...: every needle is part of a line of the text
has() {
    local text=$1 needle
    shift
    for needle in "$@"; do grep -qF -- "$needle" <<<"$text" || { echo "missing: $needle" >&2; return 1; }; done
}
finish() {
    echo "NOTE: the MSI tests took $((SECONDS - started)) s"
    kex_summary "msi tests" $pass $fail $skip
    # The prefixes take most of a gigabyte each: kept only to look into a failure.
    [ $fail -eq 0 ] && rm -rf "$work"/x64/wineprefix "$work"/x86/wineprefix
    [ $fail -eq 0 ]
    exit
}

. "$root/scripts/wine-prefix.sh"
. "$root/scripts/summary.sh"
kex_probe_win32
. "$root/scripts/msi.sh"
. "$root/scripts/sign.sh"

version=$(head -n 1 "$root/VERSION")
if [ $# -ge 1 ]; then
    dist=$(cd "$1" && pwd)
else
    dist=${KEX_PACKAGE_DIST:-$root/dist}
    bash "$root/scripts/package.sh" >"$work.package.log" 2>&1
    expect "scripts/package.sh makes the packages" $? "$(tail -n 20 "$work.package.log")"
    grep -E '^package: not signed' "$work.package.log" | wc -l | grep -qx 1
    expect "without a certificate scripts/package.sh says on one line that it does not sign" $? \
        "$(grep -i sign "$work.package.log")"
fi
rm -rf "$work"
mkdir -p "$work" && work=$(cd "$work" && pwd)
zip=$(ls "$dist/KexUSBPhone-$version".zip "$dist/KexUSBPhone-$version"-*.zip 2>/dev/null | head -n 1)
[ -n "$zip" ] && (cd "$work" && cmake -E tar xf "$zip")
expect "the release zip is there and unpacks ($zip)" $?
unpacked=$work/$(basename "${zip:-none}" .zip)

# ---- Helpers -------------------------------------------------------------------
# package <arch>: the package's path ("" when there is none).
package() {
    local f
    for f in "$dist/KexUSBPhone-$version-$1.msi" "$dist/KexUSBPhone-$version-$1-untested.msi"; do
        [ -f "$f" ] && { echo "$f"; return; }
    done
}
# table <msi> <table>: the table's rows, tab-separated.
table() { msiinfo export "$1" "$2" 2>/dev/null | tail -n +4 | tr -d '\r'; }
# packed <guid>: Windows Installer's packed form of a code, as it names
# registry keys.
packed() {
    local g=${1//[\{\}-]/} out="" i
    out=$(rev <<<"${g:0:8}")$(rev <<<"${g:8:4}")$(rev <<<"${g:12:4}")
    for ((i = 16; i < 32; i += 2)); do out+=${g:i+1:1}${g:i:1}; done
    echo "${out^^}"
}
# older <version>: a lower version than the one given.
older() {
    local a b c
    IFS=. read -r a b c <<<"$1"
    if ((c > 0)); then echo "$a.$b.$((c - 1))"; elif ((b > 0)); then echo "$a.$((b - 1)).0"; else echo "$((a - 1)).0.0"; fi
}

# ---- The packages' tables --------------------------------------------------------
declare -A msi_of=()
for arch in x64 x86; do
    t="[$arch]"
    msi=$(package $arch)
    if [ -z "$msi" ]; then
        bad "$t the package KexUSBPhone-$version-$arch.msi is there"
        continue
    fi
    msi_of[$arch]=$msi
    props=$(table "$msi" Property)
    prop() { awk -F'\t' -v p="$1" '$1 == p { print $2 }' <<<"$props"; }
    [ "$(prop ProductVersion)" = "$version" ] && [ "$(prop ProductCode)" = "$(kex_msi_uuid "product/$arch/$version")" ] &&
        [ "$(prop UpgradeCode)" = "${kex_msi_upgrade_code[$arch]}" ]
    expect "$t version $version from VERSION, the product code of that version, the architecture's upgrade code" $? "$props"
    info=$(msiinfo suminfo "$msi")
    want_template='x64;1033'
    [ $arch = x86 ] && want_template='Intel;1033'
    [ "$(prop ALLUSERS)" = 2 ] && [ "$(prop MSIINSTALLPERUSER)" = 1 ] && has "$info" "Template: $want_template" "Source: 10 (a)"
    expect "$t a dual-purpose package: ALLUSERS=2, MSIINSTALLPERUSER=1, no elevation required, $want_template" $? "$props"$'\n'"$info"

    # (Here-strings, not pipes, into grep -q: under pipefail a writer that
    # grep stopped reading from would fail the check.)
    tables=$(msiinfo tables "$msi")
    actions=$(table "$msi" CustomAction)
    ! grep -qxE 'SelfReg|Class|ProgId|TypeLib|Extension' <<<"$tables" && ! grep -qi 'DllRegisterServer\|regsvr32' <<<"$actions"
    expect "$t no self-registration: no SelfReg, Class, ProgId or TypeLib table, no action calling the DLL" $? "$tables"
    rows=$(table "$msi" Registry)
    awk -F'\t' '$2 != -1 || $3 !~ /^Software\\Classes\\/ || $6 !~ /^KexUSBPhone\./ { bad = 1 } END { exit bad }' <<<"$rows" &&
        [ "$(wc -l <<<"$rows")" -ge 30 ]
    expect "$t the registration is registry rows under HKMU\\Software\\Classes in the DLL's components" $? "$rows"
    comp=$(table "$msi" Component | awk -F'\t' '$1 == "USBPhone.ini" { print $4 }')
    want=$((kex_msi_attr_permanent | kex_msi_attr_never_overwrite))
    [ $arch = x64 ] && want=$((want | kex_msi_attr_64bit))
    removals=$(table "$msi" RemoveFile)
    [ "$comp" = "$want" ] && grep -qP '^KexUnchangedConfig\tKexUSBPhone.dll\tUSBPhone.ini\tKEXUNCHANGEDCONFIGDIR\t2$' <<<"$removals"
    expect "$t USBPhone.ini: a permanent, never-overwritten component, removed by the unchanged-file row" $? \
        "attributes $comp, want $want"$'\n'"$removals"
    conditions=$(table "$msi" LaunchCondition)
    grep -qF $'NOT WIX_DOWNGRADE_DETECTED\tA newer version of [ProductName] is already installed.' <<<"$conditions"
    expect "$t a downgrade is refused with a message" $? "$conditions"

    # The files: the zip's architecture folder without its manifests, and LICENSE.
    mkdir -p "$work/$arch/files" && msiextract -C "$work/$arch/files" "$msi" >/dev/null
    files=$(find "$work/$arch/files" -name KexUSBPhone.dll -printf '%h\n' | head -n 1)
    files=${files:-$work/$arch/files}
    want_files=$( (cd "$unpacked/$arch" 2>/dev/null && ls | grep -vE '\.manifest$|^UNTESTED\.txt$'; echo LICENSE) | LC_ALL=C sort)
    got_files=$(ls "$files" 2>/dev/null | LC_ALL=C sort)
    differ=()
    for f in $got_files; do
        src=$unpacked/$arch/$f
        [ "$f" = LICENSE ] && src=$unpacked/LICENSE
        cmp -s "$files/$f" "$src" || differ+=("$f")
    done
    [ "$want_files" = "$got_files" ] && [ ${#differ[@]} -eq 0 ]
    expect "$t installs the zip's $arch/ files (no manifests) and LICENSE, byte for byte" $? \
        "$(diff <(echo "$want_files") <(echo "$got_files"))${differ[*]:+ differ: ${differ[*]}}"

    # Stable builds: rebuilt here from its own files, with the release's file
    # times, the package comes out byte for byte the same (a signed one: the
    # same tables). And the older package the upgrade tests start from.
    # The release's time is the package's creation date (file times in the
    # package and its dates are all that one time).
    msiinfo extract "$msi" Binary.KexInstallerActions >"$work/$arch/actions.dll"
    epoch=$(TZ=UTC date -d "$(table "$msi" _SummaryInformation | awk -F'\t' '$1 == 12 { print $2 }')" +%s)
    find "$files" -type f -exec touch -d "@$epoch" {} +
    lower=$(older "$version")
    (export SOURCE_DATE_EPOCH=$epoch &&
        kex_msi_build $arch "$files" "$work/$arch/actions.dll" "$work/$arch/again.msi" &&
        kex_msi_build $arch "$files" "$work/$arch/actions.dll" "$work/$arch/older.msi" "$lower") >"$work/$arch/build.log" 2>&1
    built=$?
    for m in shipped:"$msi" again:"$work/$arch/again.msi"; do
        # msidump writes the Binary table's streams into the current folder.
        mkdir -p "$work/$arch/${m%%:*}" && (cd "$work/$arch/${m%%:*}" && msidump -t -d . "${m#*:}" >/dev/null) &&
            rm -f "$work/$arch/${m%%:*}/_SummaryInformation.idt"
    done
    if grep -q DigitalSignature <<<"$(msiinfo streams "$msi")"; then
        diff -r "$work/$arch/shipped" "$work/$arch/again" >"$work/$arch/diff.txt"
    else
        cmp "$msi" "$work/$arch/again.msi" >"$work/$arch/diff.txt" &&
            diff -r "$work/$arch/shipped" "$work/$arch/again" >>"$work/$arch/diff.txt"
    fi
    expect "$t rebuilt from its own files the package is the same, byte for byte" $((built | $?)) \
        "$(cat "$work/$arch/build.log" "$work/$arch/diff.txt")"
    code() { msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'; }
    [ "$(code "$work/$arch/older.msi")" != "$(code "$work/$arch/again.msi")" ] &&
        [ "$(table "$work/$arch/older.msi" Property | awk -F'\t' '$1 == "ProductVersion" { print $2 }')" = "$lower" ]
    expect "$t an older build ($lower) from the same files has its own version and package code" $?
done

# ---- Under Wine's msiexec ------------------------------------------------------
# wine_checks <arch>: install, use, repair, upgrade, downgrade, uninstall.
wine_checks() {
    local arch=$1 t="[$1]" msi=${msi_of[$1]}
    kex_arch "$arch"
    local aw=$work/$arch triple=$KEX_ARCH_TRIPLE
    kex_wine_env "$aw/wineprefix" "$KEX_ARCH"
    local drive=$WINEPREFIX/drive_c out log rc
    echo "== $arch under Wine"

    # run <seconds> <program> [args...]: in the prefix; its output in $out,
    # with the reason when it crashed or was stopped after <seconds>.
    run() {
        out=$(kex_wine_run --timeout "$1" "${@:2}" 2>&1)
    }
    # install <log> <msiexec args...>: silent, with a verbose log in $log.
    # Wine passes on the low byte of the exit code: 1603 arrives as 67.
    install() {
        local name=$1
        shift
        run 300 msiexec "$@" /qn /l*v "C:\\kex-test\\$name.log"
        local status=$?
        log=$(tr -d '\r' <"$drive/kex-test/$name.log" 2>/dev/null)
        return $status
    }
    # snapshot <name>: the registry as the server saves it when it ends: one
    # line per key ("K", lower case: the registry ignores case) and value
    # ("V"), without Wine's time stamps.
    snapshot() {
        wineserver -k >/dev/null 2>&1
        wineserver -w >/dev/null 2>&1
        local root file
        for root in hklm:system.reg hkcu:user.reg; do
            file=$WINEPREFIX/${root#*:}
            awk -v root="${root%%:*}" '
                /^\[/ { key = $0; sub(/^\[/, "", key); sub(/\] [0-9]+$/, "", key); gsub(/\\\\/, "\\", key)
                        key = tolower(root "\\" key); print "K\t" key; next }
                /^[#;]/ || /^$/ || /^WINE REGISTRY/ { next }
                { line = $0
                  while (line ~ /\\$/ && (getline more) > 0) { sub(/\\$/, "", line); sub(/^ +/, "", more); line = line more }
                  print "V\t" key "\t" line }' "$file"
        done | LC_ALL=C sort -u >"$aw/reg.$1"
    }
    # classes <from> <to> <hklm|hkcu> <folder>: the keys and values added
    # under <root>\software\classes between two snapshots, the installer's own
    # Installer\ key aside; the root written ROOT, the folder DIR (values keep
    # the registry file's escaped backslashes).
    classes() {
        comm -13 "$aw/reg.$1" "$aw/reg.$2" | ROOT=$3 FOLDER=${4//\\/\\\\} awk -F'\t' '
            BEGIN { root = ENVIRON["ROOT"]; classes = root "\\software\\classes\\"; folder = tolower(ENVIRON["FOLDER"]) }
            index($2, classes) != 1 || index($2, classes "installer") == 1 { next }
            { line = substr($0, 3 + length(root))
              while ((i = index(tolower(line), folder)) > 0)
                  line = substr(line, 1, i - 1) "DIR\\\\" substr(line, i + length(folder))
              print $1 "\tROOT" line }'
    }
    # leftovers <from> <to>: what <to> has and <from> has not, in the places
    # an install writes to (classes, the product's and the components'
    # registration): every value, and every key that names the package.
    # Wine's empty containers (Installer\Products and the like) stay behind
    # after the first install of any package; they are not the package's.
    leftovers() {
        comm -13 "$aw/reg.$1" "$aw/reg.$2" |
            grep -E $'^[KV]\t(hklm|hkcu)\\\\software\\\\(classes|microsoft\\\\windows\\\\currentversion\\\\(uninstall|installer)|microsoft\\\\installer)(\\\\|\t|$)' |
            OURS=$ours awk -F'\t' '$1 == "V" || $2 ~ ENVIRON["OURS"]'
    }

    local checks_before=$((pass + fail + skip))
    mkdir -p "$aw"
    # Fresh for every run: what an earlier run installed must not count.
    rm -rf "$WINEPREFIX"
    kex_wine_prefix msi >"$aw/wineboot.log" 2>&1
    expect "$t a fresh Wine prefix" $? "$(tail -n 20 "$aw/wineboot.log" "$WINEPREFIX.log" 2>/dev/null)"
    local user inst=$drive/'Program Files'/KexUSBPhone peruser_name=KexUSBPhone
    [ $arch = x86 ] && peruser_name='KexUSBPhone (x86)'
    user=$(ls "$drive/users" | grep -vx Public | head -n 1)
    local peruser=$drive/users/$user/AppData/Local/Programs/$peruser_name
    local win_inst='C:\Program Files\KexUSBPhone' win_peruser="C:\\users\\$user\\AppData\\Local\\Programs\\$peruser_name"
    mkdir -p "$drive/kex-test/host" "$drive/kex-regsvr32"
    cp "$msi" "$drive/kex-test/KexUSBPhone.msi" && cp "$aw/older.msi" "$drive/kex-test/older.msi"
    local new_msi='C:\kex-test\KexUSBPhone.msi' older_msi='C:\kex-test\older.msi'
    cp "$unpacked"/samples/host_script/phone.vbs "$drive/kex-test/"
    local files
    files=$(find "$aw/files" -name KexUSBPhone.dll -printf '%h\n' | head -n 1)
    local product older_product config_guid
    product=$(kex_msi_uuid "product/$arch/$version")
    older_product=$(kex_msi_uuid "product/$arch/$(older "$version")")
    config_guid=$(kex_msi_uuid "component/$arch/USBPhone.ini")
    # Every name the package's keys can hold: its codes, plain and packed as
    # Windows Installer writes them into key names, and the class, library
    # and interface identifiers.
    local ours=kexusbphone code
    for code in $product $older_product "${kex_msi_upgrade_code[$arch]}" $(table "$msi" Component | cut -f 2) \
        $(grep -oiE 'uuid\([0-9a-f-]+\)' "$root/module/KexUSBPhone.idl" | sed 's/uuid(\(.*\))/{\1}/'); do
        code=${code,,}
        ours+="|${code//[\{\}]/}|$(packed "$code")"
    done
    ours=${ours,,}
    snapshot fresh

    # What regsvr32 writes, from a copy elsewhere, to compare with the package.
    cp "$files/KexUSBPhone.dll" "$drive/kex-regsvr32/"
    run 60 regsvr32 /s 'C:\kex-regsvr32\KexUSBPhone.dll'
    rc=$?
    snapshot regsvr32
    run 60 regsvr32 /s /u 'C:\kex-regsvr32\KexUSBPhone.dll'
    rc=$((rc | $?))
    rm -rf "$drive/kex-regsvr32"
    snapshot before
    local by_regsvr32
    by_regsvr32=$(classes fresh regsvr32 hklm 'C:\kex-regsvr32\')
    [ $rc -eq 0 ] && [ -n "$by_regsvr32" ] && [ -z "$(classes fresh before hklm 'C:\kex-regsvr32\')" ]
    expect "$t regsvr32 registers and unregisters a copy of the package's DLL" $? "exit $rc"

    # Per machine: the older build first, then the package over it.
    install older-install /i "$older_msi" ALLUSERS=1
    rc=$?
    [ $rc -eq 0 ] && [ -f "$inst/KexUSBPhone.dll" ] && [ -f "$inst/USBPhone.ini" ]
    expect "$t msiexec /i (older build) ALLUSERS=1 /qn installs into Program Files, exit 0" $? "exit $rc"$'\n'"$(tail -n 20 <<<"$log")"
    local edit='; edited by the administrator'
    echo "$edit" >>"$inst/USBPhone.ini"
    install upgrade /i "$new_msi" ALLUSERS=1
    rc=$?
    [ $rc -eq 0 ] && has "$log" "WIX_UPGRADE_DETECTED = $older_product" && grep -qxF "$edit" "$inst/USBPhone.ini"
    expect "$t the package upgrades the older build in place and keeps the edited USBPhone.ini" $? \
        "exit $rc"$'\n'"$(grep -E 'UPGRADE|RemoveExisting' <<<"$log")"$'\n'"$(tail -n 3 "$inst/USBPhone.ini")"
    local missing=()
    for f in $(ls "$files"); do cmp -s "$files/$f" "$inst/$f" || [ "$f" = USBPhone.ini ] || missing+=("$f"); done
    [ ${#missing[@]} -eq 0 ]
    expect "$t every file of the package is in $win_inst" $? "${missing[*]:-}"
    snapshot installed
    local by_msi
    by_msi=$(classes before installed hklm "$win_inst\\")
    diff <(echo "$by_regsvr32") <(echo "$by_msi") >"$aw/diff.txt"
    expect "$t the package writes exactly the keys regsvr32 writes (HKLM\\Software\\Classes, install folder normalised)" $? \
        "< regsvr32, > package"$'\n'"$(cat "$aw/diff.txt")"
    local added
    added=$(leftovers before installed)
    grep -qiF "uninstall\\$product" <<<"$added" && ! grep -qiF "uninstall\\$older_product" <<<"$added"
    expect "$t Programs and Features lists the package and no longer the older build" $?

    # The class by its ProgID, from the registration alone.
    local call_events=('OnStateChange(1, 0, -1)' 'OnAction(1)' 'OnAction(12)' 'OnAction(2)' 'OnStateChange(0, 0, -1)')
    run 90 "$inst/kexscript.exe" //nologo 'C:\kex-test\phone.vbs'
    rc=$?
    [ $rc -eq 0 ] && has "$out" "phone.vbs: USBPhoneName = VirtualHandset" "${call_events[@]/#/phone.vbs: }"
    expect "$t the installed kexscript.exe runs phone.vbs: CreateObject by ProgID, events" $? "exit $rc"$'\n'"$out"
    (cd "$unpacked/samples/host_cpp" && "$triple-g++" -O2 -I ../../include -o "$drive/kex-test/host/phone_host.exe" \
        phone_host.cpp ../../include/KexUSBPhone_i.c -static -lole32 -loleaut32 -luuid) >"$aw/host.log" 2>&1
    expect "$t the zip's C++ sample host builds" $? "$(cat "$aw/host.log")"
    run 90 "$drive/kex-test/host/phone_host.exe" --timeout 30000
    rc=$?
    [ $rc -eq 0 ] && has "$out" "created by ProgID" 'Start -> 0x00000000' 'USBPhoneName = VirtualHandset' \
        'the handset was unplugged' "${call_events[@]/#/phone_host: }"
    expect "$t the C++ sample host elsewhere, without a manifest, creates the class by ProgID and plays the call" $? \
        "exit $rc"$'\n'"$out"
    run 90 "$inst/demo_softphone.exe"
    rc=$?
    [ $rc -eq 0 ] && has "$out" "demo: all 14 expected events arrived in order"
    expect "$t the demo runs from the installed folder" $? "exit $rc"$'\n'"$out"

    # Repair. Wine's msiexec /f takes no product code and treats a package
    # path as one, so the repair goes through REINSTALL, as /fomus would.
    unshown "$t msiexec /fa <package>: Wine 8's msiexec does not implement repair by /f (the REINSTALL property does the same)"
    rm -f "$inst/KexUSBPhone.dll"
    install repair /i "$new_msi" REINSTALL=ALL REINSTALLMODE=omus
    rc=$?
    [ $rc -eq 0 ] && cmp -s "$files/KexUSBPhone.dll" "$inst/KexUSBPhone.dll" && grep -qxF "$edit" "$inst/USBPhone.ini"
    expect "$t a repair (REINSTALL=ALL REINSTALLMODE=omus) restores the deleted DLL and keeps the edited USBPhone.ini" $? \
        "exit $rc"$'\n'"$(tail -n 20 <<<"$log")"

    # The older build does not go over the newer one.
    install downgrade /i "$older_msi" ALLUSERS=1
    rc=$?
    [ $rc -ne 0 ] && has "$log" "WIX_DOWNGRADE_DETECTED = $product" && [ -f "$inst/KexUSBPhone.dll" ] &&
        grep -qxF "$edit" "$inst/USBPhone.ini"
    expect "$t the older build is refused over the package (exit $rc), the log names the newer product" $? \
        "exit $rc"$'\n'"$(grep -E 'DOWNGRADE|LaunchConditions' <<<"$log")"
    unshown "$t the downgrade message in the log: Wine 8 logs no launch condition's text under /qn (it is in the LaunchCondition table)"

    # Uninstall, with USBPhone.ini back as it was installed: nothing stays.
    cp "$files/USBPhone.ini" "$inst/USBPhone.ini"
    install uninstall /x "$new_msi"
    rc=$?
    [ $rc -eq 0 ] && [ ! -e "$inst" ]
    expect "$t msiexec /x removes every file, the unchanged USBPhone.ini, the logs and the folder" $? \
        "exit $rc"$'\n'"$(cd "$inst" 2>/dev/null && find . | head)"
    snapshot uninstalled
    # Windows Installer keeps the registration of a permanent component, the
    # ini file's, with the system as its client.
    local permanent
    permanent=$(packed "$config_guid")
    leftovers before uninstalled | grep -vi "\\\\components\\\\$permanent" >"$aw/left.txt"
    [ ! -s "$aw/left.txt" ]
    expect "$t msiexec /x leaves no registry key but the permanent USBPhone.ini component's (registry before and after)" $? \
        "$(cat "$aw/left.txt")"

    # Per user. Wine's msiexec reads neither MSIINSTALLPERUSER nor the
    # package's context on uninstall: ALLUSERS= chooses it both times.
    unshown "$t per user by MSIINSTALLPERUSER=1: Wine 8's msiexec ignores it (ALLUSERS=2 becomes a per-machine install)"
    install peruser-install /i "$new_msi" ALLUSERS=
    rc=$?
    [ $rc -eq 0 ] && [ -f "$peruser/KexUSBPhone.dll" ] && [ ! -e "$inst" ]
    expect "$t msiexec /i ALLUSERS= installs for the user into $win_peruser" $? "exit $rc"$'\n'"$(tail -n 20 <<<"$log")"
    echo "$edit" >>"$peruser/USBPhone.ini"
    snapshot peruser
    # Wine keeps one view of HKCU\Software\Classes: the 32-bit view's keys
    # fall together with the 64-bit ones.
    one_view() { sed 's/\\wow6432node\\/\\/' | LC_ALL=C sort -u; }
    diff <(one_view <<<"$by_msi") <(classes uninstalled peruser hkcu "$win_peruser\\" | one_view) >"$aw/diff.txt" &&
        [ -z "$(classes uninstalled peruser hklm "$win_peruser\\")" ]
    expect "$t per user the same keys go under HKCU\\Software\\Classes, none under HKLM" $? "$(cat "$aw/diff.txt")"
    install peruser-uninstall /x "$new_msi" ALLUSERS=
    rc=$?
    [ $rc -eq 0 ] && [ "$(ls "$peruser")" = USBPhone.ini ] && grep -qxF "$edit" "$peruser/USBPhone.ini"
    expect "$t msiexec /x ALLUSERS= removes the user's install but keeps the edited USBPhone.ini" $? \
        "exit $rc"$'\n'"$(ls -la "$peruser" 2>&1)"
    snapshot peruser-uninstalled
    leftovers uninstalled peruser-uninstalled | grep -vi "\\\\components\\\\$permanent" >"$aw/left.txt"
    [ ! -s "$aw/left.txt" ]
    expect "$t and leaves no registry key of the component" $? "$(cat "$aw/left.txt")"
    wineserver -k >/dev/null 2>&1

    # The 32-bit package would have had the same checks.
    wine_check_count=$((pass + fail + skip - checks_before))
}

echo "NOTE: the packages' tables took $((SECONDS - started)) s"
phase=$SECONDS
wine_check_count=0
[ -n "${msi_of[x64]:-}" ] && wine_checks x64
if [ -z "${msi_of[x86]:-}" ]; then
    :
elif [ "$KEX_HOST_WIN32" = 1 ] && [[ ${msi_of[x86]} != *-untested.msi ]]; then
    wine_checks x86
elif [ "${KEX_REQUIRE_WIN32:-0}" = 1 ]; then
    bad "[x86] the package's $wine_check_count Wine checks did not run, and KEX_REQUIRE_WIN32=1 requires them"
    fail=$((fail + wine_check_count - 1))
else
    echo "NOTE: the x86 package's Wine checks are not run: ${KEX_WIN32_EVIDENCE:-the package is marked untested}"
    skip=$((skip + wine_check_count))
fi
unset WINEPREFIX WINEARCH WINELOADER
echo "NOTE: the Wine checks took $((SECONDS - phase)) s"
phase=$SECONDS

# ---- Signing -------------------------------------------------------------------
sign=$work/sign
mkdir -p "$sign"
# A throwaway code-signing certificate; its password is random and must
# appear in no output.
password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
{
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$sign/key.pem" -out "$sign/cert.pem" -days 2 \
        -subj "/CN=KexUSBPhone test signing" -addext "extendedKeyUsage=codeSigning" &&
        openssl pkcs12 -export -inkey "$sign/key.pem" -in "$sign/cert.pem" -out "$sign/test.pfx" \
            -passout "file:"<(printf '%s' "$password")
} >"$sign/openssl.log" 2>&1
expect "openssl makes a code-signing certificate" $? "$(cat "$sign/openssl.log")"
verify() { osslsigncode verify -CAfile "$sign/cert.pem" -in "$1" >"$sign/verify.txt" 2>&1; }

KEX_SIGN_PFX=$sign/test.pfx KEX_SIGN_PASSWORD=$password KEX_PACKAGE_DIST=$sign/dist \
    bash "$root/scripts/package.sh" >"$sign/package.log" 2>&1
rc=$?
has "$(cat "$sign/package.log")" "package: signed with the certificate of KEX_SIGN_PFX" && [ $rc -eq 0 ]
expect "scripts/package.sh with KEX_SIGN_PFX and KEX_SIGN_PASSWORD signs" $? "exit $rc"$'\n'"$(tail -n 20 "$sign/package.log")"
! grep -qF "$password" "$sign/package.log"
expect "the password is in none of scripts/package.sh's output" $?
signed=()
mkdir -p "$sign/zip" && (cd "$sign/zip" && cmake -E tar xf "$(ls "$sign/dist"/*.zip | head -n 1)")
while IFS= read -r f; do signed+=("$f"); done < <(find "$sign/zip" -type f \( -name '*.dll' -o -name '*.exe' \))
for msi in "$sign/dist"/*.msi; do
    signed+=("$msi")
    x=$sign/msi/$(basename "$msi" .msi)
    mkdir -p "$x" && msiextract -C "$x" "$msi" >/dev/null && msiinfo extract "$msi" Binary.KexInstallerActions >"$x/actions.dll"
    while IFS= read -r f; do signed+=("$f"); done < <(find "$x" -type f \( -name '*.dll' -o -name '*.exe' \))
done
unverified=()
for f in "${signed[@]}"; do verify "$f" || unverified+=("${f#"$sign"/}"); done
[ ${#signed[@]} -ge 20 ] && [ ${#unverified[@]} -eq 0 ]
expect "osslsigncode verify accepts all ${#signed[@]} signed files: every DLL and EXE of the zip and of each package, the packages" $? \
    "not verified: ${unverified[*]:-}"$'\n'"$(cat "$sign/verify.txt")"
# One byte changed, where the signature covers it: in a DLL's code, in the
# package's string pool.
dll=$(ls "$sign"/zip/*/x64/KexUSBPhone.dll)
cp "$dll" "$sign/changed.dll"
offset=$(($(stat -c %s "$dll") / 3))
printf '\x5a' | dd of="$sign/changed.dll" bs=1 seek=$offset conv=notrunc 2>/dev/null
cmp -s "$dll" "$sign/changed.dll" && printf '\xa5' | dd of="$sign/changed.dll" bs=1 seek=$offset conv=notrunc 2>/dev/null
! verify "$sign/changed.dll"
expect "a DLL with one byte changed fails verification" $? "$(cat "$sign/verify.txt")"
msi=$(ls "$sign"/dist/*-x64.msi)
cp "$msi" "$sign/changed.msi"
offset=$(grep -boa 'A newer version of' "$msi" | head -n 1 | cut -d: -f1)
[ -n "$offset" ] && printf 'a' | dd of="$sign/changed.msi" bs=1 seek="$offset" conv=notrunc 2>/dev/null && ! verify "$sign/changed.msi"
expect "a package with one byte changed fails verification" $? "$(cat "$sign/verify.txt")"

# The password from a file; a wrong password; no certificate.
cp "$files/KexUSBPhone.dll" "$sign/one.dll" 2>/dev/null || cp "$dll" "$sign/one.dll"
printf '%s' "$password" >"$sign/password"
(export KEX_SIGN_PFX=$sign/test.pfx KEX_SIGN_PASSWORD_FILE=$sign/password && unset KEX_SIGN_PASSWORD &&
    kex_sign_files "$sign/one.dll") >"$sign/one.log" 2>&1 && verify "$sign/one.dll"
expect "KEX_SIGN_PASSWORD_FILE gives the password" $? "$(cat "$sign/one.log")"
cp "$files/KexUSBPhone.dll" "$sign/two.dll" 2>/dev/null || cp "$dll" "$sign/two.dll"
cp "$sign/two.dll" "$sign/two.orig"
(export KEX_SIGN_PFX=$sign/test.pfx KEX_SIGN_PASSWORD=not-$password && kex_sign_files "$sign/two.dll") >"$sign/two.log" 2>&1
rc=$?
[ $rc -ne 0 ] && cmp -s "$sign/two.dll" "$sign/two.orig" && ! grep -qF "$password" "$sign/two.log" && [ -s "$sign/two.log" ]
expect "a wrong password fails, says so without the password and leaves the file as it was" $? "$(cat "$sign/two.log")"
cp "$sign/two.orig" "$sign/three.dll"
(export KEX_SIGN_PFX=$sign/test.pfx KEX_SIGN_PASSWORD=$password && set -x && kex_sign_files "$sign/three.dll") >"$sign/three.log" 2>&1 &&
    verify "$sign/three.dll" && ! grep -qF "$password" "$sign/three.log"
expect "signing under set -x traces no password" $? "$(grep -c . "$sign/three.log") lines traced"
(unset KEX_SIGN_PFX && kex_sign_describe && kex_sign_files "$sign/two.dll") >"$sign/none.log" 2>&1
[ $? -eq 0 ] && [ "$(wc -l <"$sign/none.log")" -eq 1 ] && grep -q '^not signed' "$sign/none.log" && cmp -s "$sign/two.dll" "$sign/two.orig"
expect "without KEX_SIGN_PFX nothing is signed and one line says so" $? "$(cat "$sign/none.log")"
unshown "a time stamp (KEX_SIGN_TIMESTAMP_URL): it needs a time-stamp server on the network"
# The throwaway key and its password go at once; the rest stays for a look.
rm -rf "$sign/dist" "$sign/zip" "$sign/msi" "$sign/key.pem" "$sign/test.pfx" "$sign/password"
echo "NOTE: signing took $((SECONDS - phase)) s"
finish
