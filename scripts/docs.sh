#!/usr/bin/env bash
# The project's documents read as data: the marked code blocks of README.md
# and docs/*.md (the one extractor behind the examples test, the package and
# the package test) and the links between the documents.
#
#   docs.sh blocks <out dir> <document>...
#       Writes the block after each marker "<!-- KIND: ID -->" to
#       <out dir>/KIND/ID and one line "KIND<tab>ID<tab>DOCUMENT:LINE<tab>SETS"
#       per marker to <out dir>/index. The grammar is on docs/contributing.md.
#   docs.sh links <document>...
#       Every relative link leads to a file that exists and, for a Markdown
#       file, to one of its headings.
#
# Problems are printed as "FAIL: DOCUMENT line N: ..." and make the exit
# status 1. Documents are named as given: pass paths relative to the folder
# the reader should see them from.
set -uo pipefail

usage() {
    echo "usage: docs.sh blocks <out dir> <document>... | docs.sh links <document>..." >&2
    exit 2
}

# Fences are tracked in both commands, so a marker or link inside a block is
# text, and a block may hold shorter fences of its own.
fence_awk='
    function opening(line) { return match(line, /^ ? ? ?(```+|~~~+)/) ? substr(line, RSTART, RLENGTH) : "" }
    function closes(line, open,   f) {
        f = line; sub(/^ +/, "", f); sub(/ +$/, "", f)
        return index(f, substr(open, 1, 1)) == 1 && f ~ /^(`+|~+)$/ && length(f) >= length(open)
    }
    function fail(msg, line, doc) {
        print "FAIL: " (doc != "" ? doc : FILENAME) " line " (line ? line : FNR) ": " msg; bad = 1
    }
    # Returns 1 when the line is fence or fenced text; "file" (when set) gets
    # the fenced text.
    function fenced(line,   o) {
        if (fence != "") {
            if (closes(line, fence)) { fence = ""; file = "" }
            else if (file != "") print line > file
            return 1
        }
        o = opening(line)
        if (o == "") return 0
        fence = o; sub(/^ +/, "", fence); fence_line = FNR
        return 1
    }
    # Closes the document before the one starting now (and the last at END).
    FNR == 1 { if (NR > 1) end_document(); doc = FILENAME; fence = ""; file = "" }
'

blocks() {
    local out=$1
    shift
    rm -rf "$out"
    mkdir -p "$out"
    : >"$out/index"
    awk -v out="$out" "$fence_awk"'
        {
            sub(/\r$/, "")
            if (pending != "" && fence == "") {
                if (opening($0) == "") fail("marker \"" pending "\" is not followed by a code block", pending_line)
                else file = pending_file
                pending = ""
            }
            if (fenced($0)) {
                if (file != "" && fence != "") printf "" > file
                next
            }
            if ($0 ~ /^<!-- (example(-run|-output|-build-32|-build-64)?|package-(check|file|example|build)): .* -->$/)
                marker()
        }
        # Examples are named like files; the package markers name what they
        # show in words or as a path inside the package.
        function marker(   m, kind, rest, id, sets, dir) {
            m = $0; sub(/^<!-- /, "", m); sub(/ -->$/, "", m)
            kind = m; sub(/:.*/, "", kind)
            rest = m; sub(/^[^:]*: */, "", rest)
            sets = ""
            if (kind ~ /^package-/) {
                id = rest
                if (id !~ /^[A-Za-z0-9._][A-Za-z0-9._ \/-]*$/ || id ~ /(^|\/)\.\.(\/|$)/) { fail("bad name \"" id "\""); return }
            } else {
                id = rest; sub(/ .*/, "", id)
                if (rest != id) {
                    sets = rest; sub(/^[^ ]* +/, "", sets)
                    if (kind != "example" || sets !~ /^sets: /) { fail("cannot read marker \"" m "\""); return }
                    sub(/^sets: */, "", sets)
                }
                if (id !~ /^[A-Za-z0-9._-]+$/) { fail("bad example name \"" id "\""); return }
            }
            if ((kind, id) in seen) { fail("a second " kind " block for " id " (the first: " seen[kind, id] ")"); return }
            seen[kind, id] = FILENAME " line " FNR
            dir = out "/" kind "/" id; sub(/\/[^\/]*$/, "", dir)
            system("mkdir -p \"" dir "\"")
            pending = m; pending_file = out "/" kind "/" id; pending_line = FNR
            printf "%s\t%s\t%s line %d\t%s\n", kind, id, FILENAME, FNR, sets > (out "/index")
        }
        function end_document() {
            if (pending != "") fail("marker \"" pending "\" is not followed by a code block", pending_line, doc)
            if (fence != "") fail("a code block is not closed", fence_line, doc)
            pending = ""
        }
        END { end_document(); exit bad }
    ' "$@"
}

# Anchors as GitHub makes them: lower case, punctuation dropped, spaces made
# hyphens, a repeated heading numbered from -1 on.
links() {
    local d
    for d in "$@"; do
        [ -f "$d" ] || { echo "FAIL: $d: no such document"; return 1; }
    done
    awk "$fence_awk"'
        function slug(text,   s) {
            s = tolower(text)
            gsub(/[^a-z0-9 _-]/, "", s)
            gsub(/ /, "-", s)
            return s
        }
        function dir_of(path) { return path ~ /\// ? substr(path, 1, match(path, /\/[^\/]*$/)) : "" }
        function exists(path) {
            if (!(path in known)) known[path] = (system("test -e \"" path "\"") == 0)
            return known[path]
        }
        # The headings of a Markdown file, as anchors.
        function load_anchors(path,   line, inside, o, s) {
            if (path in loaded) return
            loaded[path] = 1
            inside = ""
            while ((getline line < path) > 0) {
                sub(/\r$/, "", line)
                if (inside != "") { if (closes(line, inside)) inside = ""; continue }
                o = opening(line)
                if (o != "") { inside = o; sub(/^ +/, "", inside); continue }
                if (line ~ /^#+ /) {
                    sub(/^#+ +/, "", line)
                    s = slug(line)
                    anchor[path, count[path, s] ? s "-" count[path, s] : s] = 1
                    count[path, s]++
                }
            }
            close(path)
        }
        {
            sub(/\r$/, "")
            if (fenced($0)) next
            line = $0
            gsub(/`[^`]*`/, "", line)              # code spans are text
            while (match(line, /\]\([^) ]+\)/)) {
                target = substr(line, RSTART + 2, RLENGTH - 3)
                line = substr(line, RSTART + RLENGTH)
                if (target ~ /^[a-z]+:/) continue  # http:, https:, mailto:
                name = target; frag = ""
                if (index(target, "#")) { name = substr(target, 1, index(target, "#") - 1); frag = substr(target, index(target, "#") + 1) }
                path = name == "" ? FILENAME : dir_of(FILENAME) name
                if (!exists(path)) { fail("link to " target ": no file " path); continue }
                if (frag == "") continue
                if (path !~ /\.md$/) { fail("link to " target ": an anchor in a file that is not Markdown"); continue }
                load_anchors(path)
                if (!((path, frag) in anchor)) fail("link to " target ": no heading for #" frag " in " path)
            }
        }
        function end_document() { }
        END { exit bad }
    ' "$@"
}

[ $# -ge 1 ] || usage
command=$1
shift
case $command in
blocks) [ $# -ge 2 ] || usage; blocks "$@" ;;
links) [ $# -ge 1 ] || usage; links "$@" ;;
*) usage ;;
esac
