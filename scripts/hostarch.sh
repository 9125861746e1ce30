# Sourced by the scripts: the table of the Windows builds, and whether this
# host can run 32-bit programs.
#
#   kex_arch NAME        sets the KEX_ARCH_* variables below from the row of
#                        the build NAME (win32|win64) or of its package folder
#                        (x86|x64); non-zero for any other name
#   kex_probe_win32      sets KEX_HOST_WIN32 (1 or 0) and KEX_WIN32_EVIDENCE
#                        (one line), once per run: the results are exported,
#                        so scripts started from this one reuse them.
#   kex_default_arch     prints the build the demo and the benchmarks use
#   kex_configure DIR ARCH  configures a Windows build of ARCH in DIR, as the
#                        test command does (log in DIR.configure.log)
#   kex_build_targets DIR ARCH TARGET...  builds TARGETs in DIR, configured
#                        first when it has no build yet (log shown on failure)
#   kex_use_wine ARCH    exports WINELOADER for ARCH
#
# KEX_ASSUME_NO_WIN32=1 makes the probe answer 0, to try the 64-bit-only path
# on any host.
KEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# One row per Windows build. Debian's /usr/bin/wine picks the 32-bit loader
# whenever wine32 is installed, even for a 64-bit prefix: the loader is named.
#  build package toolchain file            compiler triple     PE format  type library  Wine loader           label
kex_arch_rows() {
    cat <<'ROWS'
   win32 x86     cmake/mingw-i686.cmake     i686-w64-mingw32    pei-i386   1 SYS_WIN32   /usr/lib/wine/wine    wine32
   win64 x64     cmake/mingw-x86_64.cmake   x86_64-w64-mingw32  pei-x86-64 3 SYS_WIN64   /usr/lib/wine/wine64  wine64
ROWS
}

# The label names the build in benchmark lines; the type library's system
# kind is its number and name.
kex_arch() {
    local build package toolchain triple format kind kind_name loader label
    while read -r build package toolchain triple format kind kind_name loader label; do
        [ "$1" = "$build" ] || [ "$1" = "$package" ] || continue
        KEX_ARCH=$build KEX_ARCH_PACKAGE=$package KEX_ARCH_TOOLCHAIN=$KEX_ROOT/$toolchain
        KEX_ARCH_TRIPLE=$triple KEX_ARCH_PE_FORMAT=$format KEX_ARCH_SYSKIND=$kind
        KEX_ARCH_SYSKIND_NAME=$kind_name KEX_ARCH_LOADER=$loader KEX_ARCH_LABEL=$label
        return 0
    done < <(kex_arch_rows)
    return 1
}

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
        # The evidence names no temporary path: it goes into the package.
        out=$(printf '%s' "$out" | tr '\n' ' ' | sed "s|$dir/||g; s/ *$//")
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

kex_default_arch() {
    kex_probe_win32
    if [ "$KEX_HOST_WIN32" = 1 ]; then echo win32; else echo win64; fi
}

kex_configure() {
    local dir=$1
    kex_arch "$2" || { echo "unknown Windows build $2" >&2; return 2; }
    mkdir -p "$(dirname "$dir")"
    cmake -S "$KEX_ROOT" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$KEX_ARCH_TOOLCHAIN" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log" >&2; return 1; }
}

kex_build_targets() {
    local dir=$1 arch=$2 log=$1/targets-build.log
    shift 2
    if [ ! -f "$dir/build.ninja" ]; then
        echo "== configuring $dir"
        kex_configure "$dir" "$arch" || { echo "configuring $dir failed" >&2; return 1; }
    fi
    echo "== building $* in $dir"
    cmake --build "$dir" -j "$(nproc)" --target "$@" >"$log" 2>&1 ||
        { cat "$log"; echo "building in $dir failed" >&2; return 1; }
}

kex_use_wine() {
    kex_arch "$1" || return 1
    export WINELOADER=$KEX_ARCH_LOADER
}
