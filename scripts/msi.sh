#!/usr/bin/env bash
# Builds a Windows Installer package of KexUSBPhone with wixl (Debian's
# package wixl, from msitools) from packaging/installer/KexUSBPhone.wxs.
# scripts/package.sh and the package tests source it; run directly it builds
# one package:
#
#   scripts/msi.sh <x64|x86> <files dir> <actions dll> <out.msi> [version]
#
# <files dir> holds exactly the files to install into the program folder,
# KexUSBPhone.dll and USBPhone.ini among them. <actions dll> is the package's
# own action DLL of that architecture (KexInstallerActions.dll). The version
# is VERSION's unless given (the tests build an older package from the same
# files that way).
#
# Stable builds: the same files give the same package, byte for byte. wixl
# stamps a random package code and the current time into the summary
# information and does not read SOURCE_DATE_EPOCH; both are replaced after
# the build: the dates by SOURCE_DATE_EPOCH (else the last commit's time),
# the package code by one derived from the package's contents. The product
# code is derived from the architecture and the version, the component codes
# from the architecture and the file names, so that upgrades find them again;
# the upgrade codes below never change.
#
# wixl 0.101 cannot express a few things; they are written into the tables
# after the build (kex_msi_fix_tables): HKMU (wixl writes root 4 instead of
# -1), the ini file's component attributes, the file version of the DLL, the
# custom action types, the major upgrade's place after InstallExecute, and
# the RemoveFile rows.

. "$(dirname "${BASH_SOURCE[0]}")/hostarch.sh"

# Never change these: they tie every version of a package to the next.
declare -A kex_msi_upgrade_code=([x64]='{08294E11-727E-4041-87F5-1CA57B1DEA61}'
                                 [x86]='{F5CCBA37-8656-4BA9-B87D-EB59453A60DA}')
# Names-based codes are made in this namespace.
kex_msi_namespace=60E257C8-FDBD-4E76-AFF7-99742CEA4118
# What RegisterTypeLib writes as the library's FLAGS: widl marks every type
# library LIBFLAG_FHASDISKIMAGE.
kex_msi_typelib_flags=8

# Component attributes (Windows Installer's msidbComponentAttributes*).
kex_msi_attr_permanent=16
kex_msi_attr_never_overwrite=128
kex_msi_attr_64bit=256

kex_msi_note() { echo "msi: $*" >&2; }

# kex_msi_uuid <name>: a name-based (SHA-1, version 5) code, in braces.
kex_msi_uuid() {
    local h
    h=$(printf '%s/%s' "$kex_msi_namespace" "$1" | sha1sum)
    printf '{%s-%s-5%s-%x%s-%s}\n' "${h:0:8}" "${h:8:4}" "${h:13:3}" $(((0x${h:16:1} & 3) | 8)) \
        "${h:17:3}" "${h:20:12}" | tr a-f A-F
}

# kex_msi_idl <regex>: the first match of a Perl regex in the IDL, read as
# one text (\K starts the match).
kex_msi_idl() {
    grep -zoP "$1" "$KEX_ROOT/module/KexUSBPhone.idl" | tr -d '\0' | head -n 1
}

# kex_msi_idl_uuid <declaration>: the uuid of "interface IKexPhone" and the like.
kex_msi_idl_uuid() {
    local uuid
    uuid=$(kex_msi_idl "uuid\(\K[0-9A-Fa-f-]+(?=\)[^\]]*\]\s*\Q$1\E[\s:{])")
    [ -n "$uuid" ] || { kex_msi_note "no uuid for '$1' in module/KexUSBPhone.idl"; return 1; }
    echo "{${uuid^^}}"
}

# kex_msi_id <file name>: the file's key in the File and Component tables.
kex_msi_id() {
    local id=${1//[^A-Za-z0-9_.]/_}
    [[ $id =~ ^[A-Za-z_] ]] || id=_$id
    echo "$id"
}

kex_msi_xml() {
    local s=${1//&/&amp;}
    s=${s//</&lt;}
    s=${s//>/&gt;}
    echo "${s//\"/&quot;}"
}

# kex_msi_list_files <arch> <files dir> <include dir>: one component per
# shipped file besides the two the .wxs names, and the feature's references.
kex_msi_list_files() {
    local arch=$1 files=$2 out=$3 path name id
    local -A seen=()
    {
        echo '<?xml version="1.0" encoding="utf-8"?>'
        echo '<Include>'
    } >"$out/files.wxi"
    {
        echo '<?xml version="1.0" encoding="utf-8"?>'
        echo '<Include>'
    } >"$out/file-refs.wxi"
    while IFS= read -r path; do
        name=$(basename "$path")
        case $name in KexUSBPhone.dll | USBPhone.ini) continue ;; esac
        id=$(kex_msi_id "$name")
        [ -z "${seen[${id,,}]:-}" ] || { kex_msi_note "two files would have the key $id"; return 1; }
        seen[${id,,}]=1
        printf '  <Component Id="%s" Guid="%s" Win64="$(var.Win64)">\n' "$id" "$(kex_msi_uuid "component/$arch/$id")"
        printf '    <File Id="%s" Source="$(var.Files)/%s" Name="%s" KeyPath="yes"/>\n' \
            "$id" "$(kex_msi_xml "$name")" "$(kex_msi_xml "$name")"
        echo '  </Component>'
        printf '  <ComponentRef Id="%s"/>\n' "$id" >>"$out/file-refs.wxi"
    done < <(find "$files" -maxdepth 1 -type f | LC_ALL=C sort) >>"$out/files.wxi"
    echo '</Include>' >>"$out/files.wxi"
    echo '</Include>' >>"$out/file-refs.wxi"
}

# kex_msi_fix_tables <msi> <arch> <dll version>: what wixl cannot write.
kex_msi_fix_tables() {
    local msi=$1 arch=$2 dll_version=$3 config=$((kex_msi_attr_permanent | kex_msi_attr_never_overwrite))
    [ "$arch" = x64 ] && config=$((config | kex_msi_attr_64bit))
    local queries=(
        "UPDATE \`Registry\` SET \`Root\` = -1 WHERE \`Root\` = 4"
        "UPDATE \`Component\` SET \`Attributes\` = $config WHERE \`Component\` = 'USBPhone.ini'"
        # 51: sets a property; 1 + 64: a DLL in the Binary table whose failure is ignored.
        "UPDATE \`CustomAction\` SET \`Type\` = 51 WHERE \`Action\` = 'KexPerUserFolder'"
        "UPDATE \`CustomAction\` SET \`Type\` = 65 WHERE \`Action\` = 'KexMarkUnchangedConfig'"
        # The older product goes after the new one is in place: the components
        # both share (USBPhone.ini above all) are never removed in between.
        "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('InstallExecute', 6500)"
        "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 6550 WHERE \`Action\` = 'RemoveExistingProducts'"
        # Uninstall (install mode 2) removes, with the DLL's component: an
        # unchanged USBPhone.ini (the action sets the folder property only
        # then), the virtual handset's log, and the trace log of programs run
        # from the folder. Wine leaves a folder emptied by a wildcard row in
        # place, so the folder is tried once before the wildcard and once after.
        "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('KexUnchangedConfig', 'KexUSBPhone.dll', 'USBPhone.ini', 'KEXUNCHANGEDCONFIGDIR', 2)"
        "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('KexHandsetLog', 'KexUSBPhone.dll', 'virtual_handset.log', 'INSTALLDIR', 2)"
        "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('KexTraceLog', 'KexUSBPhone.dll', 'KexUSBPhone.log', 'LOGDIR', 2)"
        "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`DirProperty\`, \`InstallMode\`) VALUES ('KexTraceLogFolder', 'KexUSBPhone.dll', 'LOGDIR', 2)"
        "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('KexTraceLogBackups', 'KexUSBPhone.dll', '*', 'LOGDIR', 2)"
        "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`DirProperty\`, \`InstallMode\`) VALUES ('KexTraceLogFolderLast', 'KexUSBPhone.dll', 'LOGDIR', 2)"
    )
    # A versioned file is compared by version, not by hash.
    if [ -n "$dll_version" ]; then
        queries+=("UPDATE \`File\` SET \`Version\` = '$dll_version', \`Language\` = '0' WHERE \`File\` = 'KexUSBPhone.dll'"
                  "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = 'KexUSBPhone.dll'")
    fi
    local q args=()
    for q in "${queries[@]}"; do args+=(-q "$q"); done
    msibuild "$msi" "${args[@]}" || return 1
    if msiinfo export "$msi" Registry | tail -n +4 | awk -F'\t' '$2 != -1 { bad = 1 } END { exit !bad }'; then
        kex_msi_note "$msi: a registry row outside HKMU"
        return 1
    fi
}

# kex_msi_stamp <msi> <epoch>: fixed dates, and a package code made from the
# package's contents (the same files give the same code, other files another).
kex_msi_stamp() {
    local msi=$1 epoch=$2 idt code date
    idt=$(dirname "$msi")/_SummaryInformation.idt
    date=$(TZ=UTC date -d "@$epoch" '+%Y/%m/%d %H:%M:%S') || return 1
    for code in '{00000000-0000-0000-0000-000000000000}' ''; do
        [ -n "$code" ] || code=$(kex_msi_uuid "package/$(sha256sum <"$msi" | cut -c1-64)")
        msiinfo export "$msi" _SummaryInformation | awk -F'\t' -v code="$code" -v date="$date" '
            BEGIN { OFS = "\t" }
            NR > 3 && $1 == 9 { $2 = code }
            NR > 3 && ($1 == 12 || $1 == 13) { $2 = date }
            { print }' >"$idt" || return 1
        (cd "$(dirname "$idt")" && TZ=UTC msibuild "$msi" -i "$(basename "$idt")") || return 1
    done
    rm -f "$idt"
}

# kex_msi_defines <arch> <version>: the .wxs's variables, as wixl options in
# the array kex_msi_wixl_defines.
kex_msi_defines() {
    local arch=$1 version=$2 what value
    kex_msi_wixl_defines=(
        -D "Version=$version"
        -D "ProductCode=$(kex_msi_uuid "product/$arch/$version")"
        -D "UpgradeCode=${kex_msi_upgrade_code[$arch]}"
        -D "Files=files"
        -D "ActionsDll=KexInstallerActions.dll"
        -D "ServerGuid=$(kex_msi_uuid "component/$arch/KexUSBPhone.dll")"
        -D "TypeLib32Guid=$(kex_msi_uuid "component/$arch/KexUSBPhone.typelib32")"
        -D "ConfigGuid=$(kex_msi_uuid "component/$arch/USBPhone.ini")"
        -D "TypeLibFlags=$kex_msi_typelib_flags"
    )
    if [ "$arch" = x64 ]; then
        kex_msi_wixl_defines+=(-D "ProductName=KexUSBPhone (64-bit)" -D Win64=yes -D ProgramFilesFolder=ProgramFiles64Folder
                               -D PerUserFolder=KexUSBPhone -D TypeLibPlatform=win64)
    else
        kex_msi_wixl_defines+=(-D "ProductName=KexUSBPhone (32-bit)" -D Win64=no -D ProgramFilesFolder=ProgramFilesFolder
                               -D "PerUserFolder=KexUSBPhone (x86)" -D TypeLibPlatform=win32)
    fi
    for what in "ClassId:coclass KexUSBPhone" "LibId:library KexUSBPhone" "IidPhone:interface IKexPhone" \
        "IidPhone2:interface IKexPhone2" "IidPhone3:interface IKexPhone3" "DiidEvents:dispinterface IKexPhoneEvents"; do
        value=$(kex_msi_idl_uuid "${what#*:}") || return 1
        kex_msi_wixl_defines+=(-D "${what%%:*}=$value")
    done
    value=$(kex_msi_idl 'version\(\K[0-9]+\.[0-9]+(?=\)[^\]]*\]\s*library\s)')
    kex_msi_wixl_defines+=(-D "TypeLibVersion=$value")
    value=$(kex_msi_idl 'helpstring\("\K[^"]*(?="\)\s*\]\s*library\s)')
    kex_msi_wixl_defines+=(-D "TypeLibName=$value")
}

# kex_msi_build <x64|x86> <files dir> <actions dll> <out.msi> [version]
kex_msi_build() {
    local arch=$1 files=$2 actions=$3 out=$4 version=${5:-} triple
    files=$(cd "$files" && pwd) || return 1
    actions=$(cd "$(dirname "$actions")" && pwd)/$(basename "$actions")
    [ -n "$version" ] || version=$(head -n 1 "$KEX_ROOT/VERSION")
    # Windows Installer compares the first three fields, each within its range.
    if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || ((BASH_REMATCH[1] > 255 || BASH_REMATCH[2] > 255 ||
        BASH_REMATCH[3] > 65535)); then
        kex_msi_note "'$version' is no Windows Installer product version (255.255.65535 at most)"
        return 1
    fi
    # The package's architecture is the name of its folder in the zip.
    if ! kex_arch "$arch" || [ "$arch" != "$KEX_ARCH_PACKAGE" ]; then
        kex_msi_note "unknown architecture '$arch'"
        return 1
    fi
    triple=$KEX_ARCH_TRIPLE
    local f
    for f in "$files/KexUSBPhone.dll" "$files/USBPhone.ini" "$actions"; do
        [ -f "$f" ] || { kex_msi_note "missing $f"; return 1; }
    done

    local tmp
    tmp=$(mktemp -d) || return 1
    # The version resource of the DLL, for its File row (four fields).
    local dll_version
    dll_version=$("$triple-windres" -i "$files/KexUSBPhone.dll" -O rc 2>/dev/null |
        sed -n 's/^ *FILEVERSION *//p' | tr -d ' \r' | tr , .)
    kex_msi_list_files "$arch" "$files" "$tmp" || { rm -rf "$tmp"; return 1; }

    kex_msi_defines "$arch" "$version" || { rm -rf "$tmp"; return 1; }
    # wixl finds sources only by paths relative to where it runs.
    ln -s "$files" "$tmp/files" && ln -s "$actions" "$tmp/KexInstallerActions.dll" || { rm -rf "$tmp"; return 1; }
    if ! (cd "$tmp" && wixl -a "$arch" -I . -I "$KEX_ROOT/packaging/installer" "${kex_msi_wixl_defines[@]}" \
        -o package.msi "$KEX_ROOT/packaging/installer/KexUSBPhone.wxs") >"$tmp/wixl.log" 2>&1; then
        cat "$tmp/wixl.log" >&2
        rm -rf "$tmp"
        return 1
    fi
    local epoch=${SOURCE_DATE_EPOCH:-$(git -C "$KEX_ROOT" log -1 --format=%ct 2>/dev/null || echo 0)}
    if ! kex_msi_fix_tables "$tmp/package.msi" "$arch" "$dll_version" || ! kex_msi_stamp "$tmp/package.msi" "$epoch"; then
        rm -rf "$tmp"
        return 1
    fi
    mv "$tmp/package.msi" "$out" && rm -rf "$tmp"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -uo pipefail
    [ $# -ge 4 ] || { sed -n '7,14p' "$0" >&2; exit 2; }
    kex_msi_build "$@"
fi
