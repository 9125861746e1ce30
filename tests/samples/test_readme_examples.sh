#!/usr/bin/env bash
# Runs the examples of README.md as a reader would: every fenced block marked
# as an example is taken from the README, written, built and run exactly as
# shown, and what it claims is checked. Blocks without a marker are ignored.
#
#   test_readme_examples.sh <build dir> <32|64> <part>
#
# Markers (an HTML comment on the line right before the block's fence):
#   <!-- example: FILE -->             the block is the file FILE
#   <!-- example: FILE sets: A; B -->  an ini file; read by the component's
#                                      readers it must give the lines A, B, ...
#                                      (those of readme_ini.exe)
#   <!-- example-build-32: ID -->      shell commands that build ID (32-bit)
#   <!-- example-build-64: ID -->      the same for 64-bit
#   <!-- example-run: ID -->           shell commands that run ID
#   <!-- example-output: ID -->        lines that running ID prints, in order
#                                      (other lines may come between them)
# Shell blocks run with bash -e in the example directory, with KEX set to the
# repository and BUILD to the build directory, as the README tells the reader.
#
# Parts: markers (every marker is well-formed and used), ini (every block
# with "sets:"), adapter (the adapter of "Writing an adapter", files named
# autoanswer.*, run with a bare host), com (everything else: the scripts and
# the C++ host against a registered copy of the component).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
bits=$2
part=$3
doc=${KEX_README:-$root/README.md} # another file only to try the extractor
work="$build/tests/samples/readme/$part"
rm -rf "$work"
mkdir -p "$work/blocks"
fail=0
failed() { echo "FAIL: $*"; fail=1; }

# Writes every marked block to $work/blocks/<kind>/<id> and one line per
# marker "<kind>\t<id>\t<line>\t<sets>" to $work/blocks/index. Fences are
# tracked so that a marker-like line inside a block is text, and a block may
# hold shorter fences of its own.
awk -v out="$work/blocks" '
    function fail(msg, line) { print "FAIL: README.md line " (line ? line : NR) ": " msg; bad = 1 }
    function opening(line) { return match(line, /^ ? ? ?(```+|~~~+)/) ? substr(line, RSTART, RLENGTH) : "" }
    {
        sub(/\r$/, "")
        if (fence != "") {
            f = $0; sub(/^ +/, "", f); sub(/ +$/, "", f)
            if (index(f, substr(fence, 1, 1)) == 1 && f ~ /^(`+|~+)$/ && length(f) >= length(fence)) {
                fence = ""; file = ""; next
            }
            if (file != "") print > file
            next
        }
        if (pending != "") {
            o = opening($0)
            if (o == "") { fail("marker \"" pending "\" is not followed by a code block", pending_line); pending = "" }
            else { fence = o; sub(/^ +/, "", fence); file = pending_file; pending = ""; printf "" > file; next }
        }
        o = opening($0)
        if (o != "") { fence = o; sub(/^ +/, "", fence); file = ""; next }
        if ($0 ~ /^<!-- example(-run|-output|-build-32|-build-64)?: .* -->$/) {
            m = $0; sub(/^<!-- /, "", m); sub(/ -->$/, "", m)
            kind = m; sub(/:.*/, "", kind); sub(/^example-?/, "", kind); if (kind == "") kind = "file"
            rest = m; sub(/^[^:]*: */, "", rest)
            id = rest; sub(/ .*/, "", id)
            sets = ""
            if (rest != id) {
                sets = rest; sub(/^[^ ]* +/, "", sets)
                if (kind != "file" || sets !~ /^sets: /) { fail("cannot read marker \"" m "\""); next }
                sub(/^sets: */, "", sets)
            }
            if (id !~ /^[A-Za-z0-9._-]+$/) { fail("bad example name \"" id "\""); next }
            if ((kind, id) in seen) { fail("a second " kind " block for " id); next }
            seen[kind, id] = 1
            system("mkdir -p \"" out "/" kind "\"")
            pending = m; pending_file = out "/" kind "/" id; pending_line = NR
            printf "%s\t%s\t%d\t%s\n", kind, id, NR, sets > (out "/index")
        }
    }
    END {
        if (pending != "") fail("marker \"" pending "\" is not followed by a code block", pending_line)
        if (fence != "") fail("a code block is not closed")
        exit bad
    }
' "$doc" || { echo "FAIL: README.md's example markers cannot be read"; exit 1; }
index="$work/blocks/index"
touch "$index"

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
        failed "$what: no line \"$missing\" (in the README's order)"
        return 1
    fi
}

case "$part" in
markers)
    # Every run has a claimed output and the reverse, every build has a
    # block for both architectures, and the parts below use every marker.
    for id in $(ids run); do
        case "$id" in try-setup|try-cleanup) continue ;; esac
        has output "$id" || failed "example-run: $id has no example-output block"
    done
    for id in $(ids output); do has run "$id" || failed "example-output: $id has no example-run block"; done
    for id in $(ids build-32) $(ids build-64); do
        has build-32 "$id" && has build-64 "$id" || failed "$id is built for one architecture only"
    done
    for id in $(ids file); do
        [ -s "$work/blocks/file/$id" ] || failed "example $id is empty"
    done
    [ -n "$(ids file)" ] || failed "README.md has no marked examples"
    has run try-setup || failed "no example-run: try-setup block (how to lay out the examples)"
    echo "markers: $(wc -l <"$index") marked blocks"
    ;;

ini)
    # Each ini block alone as the "USBPhone.ini" beside readme_ini.exe, which
    # prints what the component's readers make of it.
    n=0
    while IFS=$'\t' read -r kind id line sets; do
        [ "$kind" = file ] && [ -n "$sets" ] || continue
        n=$((n + 1))
        dir="$work/$n"
        mkdir -p "$dir"
        cp "$build/bin/readme_ini.exe" "$dir/"
        block file "$id" >"$dir/USBPhone.ini"
        out=$("$build/wine-run" "$dir/readme_ini.exe")
        echo "== $id (README.md line $line): $sets"
        echo "$out" | sed 's/^/    | /'
        tr ';' '\n' <<<"$sets" | sed 's/^ *//; s/ *$//' | grep -v '^$' >"$dir/expected"
        while IFS= read -r want; do
            grep -qxF "$want" <<<"$out" || failed "$id: the component reads no \"$want\""
        done <"$dir/expected"
        # The adapters, when it names any, are exactly those and in this order.
        if grep -q '^adapter ' "$dir/expected"; then
            [ "$(grep '^adapter ' "$dir/expected")" = "$(grep '^adapter ' <<<"$out")" ] ||
                failed "$id: other adapters, or another binding order, than the README says"
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
        has file "$f" || { failed "README.md has no block for $f"; exit 1; }
    done
    for f in $(ids file | grep '^autoanswer'); do
        target=$f
        [ "$f" = autoanswer.ini ] && target=USBPhone.ini
        block file "$f" >"$work/$target"
    done
    has "build-$bits" autoanswer.dll || { failed "README.md has no $bits-bit build of autoanswer.dll"; exit 1; }
    out=$(run_shell "$work" "$work/blocks/build-$bits/autoanswer.dll") || { echo "$out"; failed "the guide's build command failed"; exit 1; }
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
    has run try-setup || { failed "no example-run: try-setup block"; exit 1; }
    # Whatever happens, the build's own DLL is registered again: the other
    # tests of this prefix create it by its ProgID.
    restore() {
        "$build/wine-run" regsvr32 /s "Z:${build//\//\\}\\bin\\KexUSBPhone.dll" >/dev/null 2>&1
    }
    trap restore EXIT
    dir="$work/try"
    mkdir -p "$dir"
    echo "== try-setup"
    out=$(run_shell "$dir" "$work/blocks/run/try-setup") || { echo "$out"; failed "try-setup failed"; exit 1; }
    for id in $(ids file); do
        case "$id" in autoanswer*) continue ;; esac
        [ -z "$(awk -F'\t' -v id="$id" '$1 == "file" && $2 == id { print $4 }' "$index")" ] ||
            continue # ini blocks with "sets:" are for the ini part
        block file "$id" >"$dir/$id"
    done
    for id in $(ids "build-$bits"); do
        case "$id" in autoanswer*) continue ;; esac
        echo "== build $id ($bits-bit)"
        out=$(run_shell "$dir" "$work/blocks/build-$bits/$id") || { echo "$out"; failed "building $id failed"; }
    done
    for id in $(ids run); do
        case "$id" in try-setup|try-cleanup) continue ;; esac
        echo "== run $id"
        out=$(run_shell "$dir" "$work/blocks/run/$id")
        rc=$?
        echo "$out" | sed 's/^/    | /'
        [ $rc -eq 0 ] || failed "$id exited with $rc"
        has output "$id" && expect_lines "$id" "$work/blocks/output/$id" "$out"
    done
    # What the README says about the trace logs of these hosts.
    grep -q 'Enter = KexUsbPhone::Start\.' "$dir/log/KexUSBPhone.log" 2>/dev/null ||
        failed "no trace log beside kexscript.exe ($dir/log/KexUSBPhone.log)"
    [ -f "$build/wineprefix/drive_c/windows/system32/log/KexUSBPhone.log" ] ||
        failed "no trace log beside cscript.exe (C:\\windows\\system32\\log)"
    if has run try-cleanup; then
        echo "== try-cleanup"
        out=$(run_shell "$dir" "$work/blocks/run/try-cleanup") || { echo "$out"; failed "try-cleanup failed"; }
    fi
    ;;

*)
    echo "usage: test_readme_examples.sh <build dir> <32|64> markers|ini|adapter|com" >&2
    exit 2
    ;;
esac

[ $fail -eq 0 ] && echo "test_readme_$part: passed"
exit $fail
