# Sourced by the scripts: can this host run 32-bit programs, and which Wine
# loader starts a prefix of a given architecture.
#
#   kex_probe_win32      sets KEX_HOST_WIN32 (1 or 0) and KEX_WIN32_EVIDENCE
#                        (one line), once per run: the results are exported,
#                        so scripts started from this one reuse them.
#   kex_wine_loader ARCH prints the loader for a prefix of ARCH (win32|win64)
#   kex_use_wine ARCH    exports WINELOADER for ARCH
#
# KEX_ASSUME_NO_WIN32=1 makes the probe answer 0, to try the 64-bit-only path
# on any host.

# Some kernels have 32-bit emulation switched off; there no 32-bit code runs,
# under any Wine. Only running a 32-bit program tells: package lists and uname
# do not. The program is written here byte by byte (nothing needs to be
# installed yet): a static i386 ELF whose only code is exit(42).
kex_write_probe32() {
    local elf_header program_header code
    # e_ident (ELFCLASS32, little endian), ET_EXEC, EM_386, entry 0x08048054,
    # program headers at 52, one of 32 bytes.
    elf_header='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    elf_header+='\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
    elf_header+='\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'
    elf_header+='\x00\x00\x00\x00'
    # PT_LOAD of the whole 96-byte file at 0x08048000, read and execute.
    program_header='\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
    program_header+='\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
    # mov eax, 1 (exit); mov ebx, 42; int 0x80
    code='\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80'
    printf "$elf_header$program_header$code" >"$1" && chmod +x "$1"
}

kex_probe_win32() {
    [ -n "${KEX_HOST_WIN32:-}" ] && return 0
    if [ "${KEX_ASSUME_NO_WIN32:-0}" = 1 ]; then
        KEX_HOST_WIN32=0
        KEX_WIN32_EVIDENCE="KEX_ASSUME_NO_WIN32=1 is set"
    else
        local dir probe out rc
        dir=$(mktemp -d)
        probe="$dir/probe32"
        kex_write_probe32 "$probe"
        # Callers may run under set -e: keep the status without failing.
        out=$("$probe" 2>&1) && rc=0 || rc=$?
        out=$(printf '%s' "$out" | tr '\n' ' ' | sed 's/ *$//')
        rm -rf "$dir"
        if [ $rc -eq 42 ]; then
            KEX_HOST_WIN32=1
            KEX_WIN32_EVIDENCE="a 32-bit test program ran (exit status 42)"
        else
            KEX_HOST_WIN32=0
            KEX_WIN32_EVIDENCE="a 32-bit test program did not run: exit status $rc${out:+, $out}"
        fi
    fi
    export KEX_HOST_WIN32 KEX_WIN32_EVIDENCE
}

# Debian's /usr/bin/wine picks the 32-bit loader whenever wine32 is
# installed, even for a 64-bit prefix: name the loader instead.
kex_wine_loader() {
    case "$1" in
        win64) echo /usr/lib/wine/wine64 ;;
        *) echo /usr/lib/wine/wine ;;
    esac
}

kex_use_wine() {
    WINELOADER=$(kex_wine_loader "$1")
    export WINELOADER
}
