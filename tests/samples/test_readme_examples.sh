#!/usr/bin/env bash
# Runs the examples of README.md and docs/*.md as a reader would: every
# fenced block marked as an example is taken from the documents (by
# scripts/docs.sh, the project's one extractor), written, built and run
# exactly as shown, and what it claims is checked. Blocks without a marker
# are ignored. The markers' grammar is on docs/contributing.md.
#
#   test_readme_examples.sh <build dir> <32|64> <part>
#
# Shell blocks run with bash -e in the example directory, with KEX set to the
# repository and BUILD to the build directory, as the documents tell the
# reader.
#
# Parts: markers (every marker is well-formed and used, every link between
# the documents leads somewhere), ini (every block with "sets:"), adapter (the
# adapter of "Writing an adapter", files named autoanswer.*, run with a bare
# host), com (everything else: the scripts and the C++ host against a
# registered copy of the component).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
bits=$2
part=$3
work="$build/tests/samples/readme/$part"
rm -rf "$work"
mkdir -p "$work"
fail=0
failed() { echo "FAIL: $*"; fail=1; }

# The documents, named relative to the repository in every message.
(cd "$root" && bash scripts/docs.sh blocks "$work/blocks" README.md docs/*.md) ||
    { echo "FAIL: the documents' example markers cannot be read"; exit 1; }
index="$work/blocks/index"

has() { [ -f "$work/blocks/$1/$2" ]; }
block() { cat "$work/blocks/$1/$2"; }
ids() { awk -F'\t' -v k="$1" '$1 == k { print $2 }' "$index"; }

# run_shell <dir> <block file>: a shell block as the reader runs it.
run_shell() {
    (cd "$1" && KEX="$root" BUILD="$build" bash -e "$2") 2>&1
}

# expect_lines <what> <expected file> <actual text>: every expected line, in
# order, each on a later line of the actual text than the one before. The
# virtual handset writes each of its lines ("handset  ...") whole from its own
# threads; one that landed between a script's text and that text's line break
# is taken out of the line it split.
expect_lines() {
    local what=$1 expected=$2 actual=$3 missing
    missing=$(sed -E 's/(.)handset  .*$/\1/' <<<"$actual" | awk -v want="$expected" '
        BEGIN { n = 0; while ((getline l < want) > 0) if (l != "") w[++n] = l; i = 1 }
        i <= n && $0 == w[i] { i++ }
        END { if (i <= n) print w[i] }
    ')
    if [ -n "$missing" ]; then
        echo "$actual" | sed 's/^/    | /'
        failed "$what: no line \"$missing\" (in the documents' order)"
        return 1
    fi
}

case "$part" in
markers)
    # Every run has a claimed output and the reverse, every build has a
    # block for both architectures, and the parts below use every marker.
    for id in $(ids example-run); do
        case "$id" in try-setup|try-cleanup) continue ;; esac
        has example-output "$id" || failed "example-run: $id has no example-output block"
    done
    for id in $(ids example-output); do has example-run "$id" || failed "example-output: $id has no example-run block"; done
    for id in $(ids example-build-32) $(ids example-build-64); do
        has example-build-32 "$id" && has example-build-64 "$id" || failed "$id is built for one architecture only"
    done
    for id in $(ids example); do
        [ -s "$work/blocks/example/$id" ] || failed "example $id is empty"
    done
    [ -n "$(ids example)" ] || failed "the documents have no marked examples"
    has example-run try-setup || failed "no example-run: try-setup block (how to lay out the examples)"
    echo "markers: $(wc -l <"$index") marked blocks"
    # The links between the documents lead to files and headings, and each
    # page says whom it is for right under its title.
    (cd "$root" && bash scripts/docs.sh links README.md docs/*.md CHANGELOG.md) ||
        failed "a link of the documents leads nowhere"
    for page in "$root"/docs/*.md; do
        sed -n '1p' "$page" | grep -q '^# ' && sed -n '3p' "$page" | grep -q '^For ' ||
            failed "docs/${page##*/}: no title, or no line \"For ...\" (its readers) right under it"
    done
    ;;

ini)
    # Each ini block alone as the "USBPhone.ini" beside readme_ini.exe, which
    # prints what the component's readers make of it.
    n=0
    while IFS=$'\t' read -r kind id where sets; do
        [ "$kind" = example ] && [ -n "$sets" ] || continue
        n=$((n + 1))
        dir="$work/$n"
        mkdir -p "$dir"
        cp "$build/bin/readme_ini.exe" "$dir/"
        block example "$id" >"$dir/USBPhone.ini"
        out=$("$build/wine-run" "$dir/readme_ini.exe")
        echo "== $id ($where): $sets"
        echo "$out" | sed 's/^/    | /'
        tr ';' '\n' <<<"$sets" | sed 's/^ *//; s/ *$//' | grep -v '^$' >"$dir/expected"
        while IFS= read -r want; do
            grep -qxF "$want" <<<"$out" || failed "$id: the component reads no \"$want\""
        done <"$dir/expected"
        # The adapters, when it names any, are exactly those and in this order.
        if grep -q '^adapter ' "$dir/expected"; then
            [ "$(grep '^adapter ' "$dir/expected")" = "$(grep '^adapter ' <<<"$out")" ] ||
                failed "$id: other adapters, or another binding order, than the documents say"
        fi
    done <"$index"
    [ $n -gt 0 ] || failed "no ini example with \"sets:\""
    # The shipped default configuration, which the examples use.
    dir="$work/shipped"
    mkdir -p "$dir"
    cp "$build/bin/readme_ini.exe" "$dir/"
    cp "$root/packaging/USBPhone.ini" "$dir/"
    out=$("$build/wine-run" "$dir/readme_ini.exe")
    for want in 'adapter VirtualHandset = virtual_handset.dll' 'LogSwitch on' 'level mask 7' \
        'LogMaxSize 2097152 bytes' 'AttachSizeAction 2' 'SaveCount 2'; do
        grep -qxF "$want" <<<"$out" || { echo "$out"; failed "packaging/USBPhone.ini: no \"$want\""; }
    done
    ;;

adapter)
    for f in autoanswer.c autoanswer.def autoanswer.ini; do
        has example "$f" || { failed "the documents have no block for $f"; exit 1; }
    done
    for f in $(ids example | grep '^autoanswer'); do
        target=$f
        [ "$f" = autoanswer.ini ] && target=USBPhone.ini
        block example "$f" >"$work/$target"
    done
    has "example-build-$bits" autoanswer.dll || { failed "the documents have no $bits-bit build of autoanswer.dll"; exit 1; }
    out=$(run_shell "$work" "$work/blocks/example-build-$bits/autoanswer.dll") || { echo "$out"; failed "the guide's build command failed"; exit 1; }
    cp "$build/bin/KexUSBPhone.dll" "$build/bin/sdk_host.exe" "$work"/
    out=$("$build/wine-run" "$work/sdk_host.exe" 2>&1)
    rc=$?
    echo "$out"
    [ $rc -eq 0 ] || failed "sdk_host exited with $rc"
    for want in 'autoanswer: command 3: Alice <100>' 'sdk_host: event 3 (1)' 'plugged in yes, picked up yes'; do
        grep -qF "$want" <<<"$out" || failed "no \"$want\""
    done
    ;;

com)
    has example-run try-setup || { failed "no example-run: try-setup block"; exit 1; }
    # Whatever happens, the build's own DLL is registered again: the other
    # tests of this prefix create it by its ProgID.
    restore() {
        "$build/wine-run" regsvr32 /s "Z:${build//\//\\}\\bin\\KexUSBPhone.dll" >/dev/null 2>&1
    }
    trap restore EXIT
    dir="$work/try"
    mkdir -p "$dir"
    echo "== try-setup"
    out=$(run_shell "$dir" "$work/blocks/example-run/try-setup") || { echo "$out"; failed "try-setup failed"; exit 1; }
    for id in $(ids example); do
        case "$id" in autoanswer*) continue ;; esac
        [ -z "$(awk -F'\t' -v id="$id" '$1 == "example" && $2 == id { print $4 }' "$index")" ] ||
            continue # ini blocks with "sets:" are for the ini part
        block example "$id" >"$dir/$id"
    done
    for id in $(ids "example-build-$bits"); do
        case "$id" in autoanswer*) continue ;; esac
        echo "== build $id ($bits-bit)"
        out=$(run_shell "$dir" "$work/blocks/example-build-$bits/$id") || { echo "$out"; failed "building $id failed"; }
    done
    for id in $(ids example-run); do
        case "$id" in try-setup|try-cleanup) continue ;; esac
        echo "== run $id"
        out=$(run_shell "$dir" "$work/blocks/example-run/$id")
        rc=$?
        echo "$out" | sed 's/^/    | /'
        [ $rc -eq 0 ] || failed "$id exited with $rc"
        has example-output "$id" && expect_lines "$id" "$work/blocks/example-output/$id" "$out"
    done
    # What the documents say about the trace logs of these hosts.
    grep -q 'Enter = KexUsbPhone::Start\.' "$dir/log/KexUSBPhone.log" 2>/dev/null ||
        failed "no trace log beside kexscript.exe ($dir/log/KexUSBPhone.log)"
    [ -f "$build/wineprefix/drive_c/windows/system32/log/KexUSBPhone.log" ] ||
        failed "no trace log beside cscript.exe (C:\\windows\\system32\\log)"
    if has example-run try-cleanup; then
        echo "== try-cleanup"
        out=$(run_shell "$dir" "$work/blocks/example-run/try-cleanup") || { echo "$out"; failed "try-cleanup failed"; }
    fi
    ;;

*)
    echo "usage: test_readme_examples.sh <build dir> <32|64> markers|ini|adapter|com" >&2
    exit 2
    ;;
esac

[ $fail -eq 0 ] && echo "test_readme_$part: passed"
exit $fail
