#!/usr/bin/env bash
# Authenticode signing of what the release ships, with osslsigncode.
# scripts/package.sh and the package tests source it; run directly it signs
# the files it is given:
#
#   scripts/sign.sh <file>...
#
# The certificate comes from the environment:
#   KEX_SIGN_PFX            the certificate and its private key, a PKCS#12
#                           file (.pfx/.p12); without it nothing is signed
#   KEX_SIGN_PASSWORD_FILE  a file whose content is the PKCS#12 password, or
#   KEX_SIGN_PASSWORD       the password itself (the file is safer: no
#                           environment to leak from); neither: no password
#   KEX_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server; a signature with
#                           a time stamp stays valid after the certificate
#                           expires
#
# The password never reaches a command line or an output: osslsigncode reads
# it from the file, or from a pipe that only it can read. Nothing here runs
# under `set -x`. osslsigncode's own messages do not contain it.

# kex_sign_enabled: true when a certificate is given.
kex_sign_enabled() { [ -n "${KEX_SIGN_PFX:-}" ]; }

# kex_sign_describe: one line saying whether and how the release is signed.
kex_sign_describe() {
    if ! kex_sign_enabled; then
        echo "not signed: no certificate (set KEX_SIGN_PFX, see docs/deploying.md)"
    elif [ -n "${KEX_SIGN_TIMESTAMP_URL:-}" ]; then
        echo "signed with the certificate of KEX_SIGN_PFX, time-stamped by $KEX_SIGN_TIMESTAMP_URL"
    else
        echo "signed with the certificate of KEX_SIGN_PFX, without a time stamp"
    fi
}

# kex_sign_one <file>: signs the file in place with SHA-256.
kex_sign_one() (
    set +x
    file=$1
    out=$file.signing
    args=(sign -pkcs12 "$KEX_SIGN_PFX" -h sha256 -n KexUSBPhone)
    if [ -n "${KEX_SIGN_TIMESTAMP_URL:-}" ]; then
        args+=(-ts "$KEX_SIGN_TIMESTAMP_URL")
    elif [ -n "${SOURCE_DATE_EPOCH:-}" ] && osslsigncode --help 2>&1 | grep -q -- '-time '; then
        # Without a time stamp the signing time is the build's: the same
        # files and certificate give the same signed files.
        args+=(-time "$SOURCE_DATE_EPOCH")
    fi
    rm -f "$out"
    if [ -n "${KEX_SIGN_PASSWORD_FILE:-}" ]; then
        log=$(osslsigncode "${args[@]}" -readpass "$KEX_SIGN_PASSWORD_FILE" -in "$file" -out "$out" 2>&1)
    else
        # printf is a shell builtin: the password is in no process's arguments.
        log=$(osslsigncode "${args[@]}" -readpass <(printf '%s' "${KEX_SIGN_PASSWORD:-}") -in "$file" -out "$out" 2>&1)
    fi
    rc=$?
    if [ $rc -ne 0 ] || [ ! -s "$out" ]; then
        rm -f "$out"
        echo "sign: $file: osslsigncode failed (exit $rc):" >&2
        sed 's/^/    /' <<<"$log" >&2
        exit 1
    fi
    touch -r "$file" "$out" && mv -f "$out" "$file"
)

# kex_sign_files <file>...: signs every file, or none when no certificate is given.
kex_sign_files() {
    kex_sign_enabled || return 0
    [ -f "$KEX_SIGN_PFX" ] || { echo "sign: KEX_SIGN_PFX names no file" >&2; return 1; }
    if [ -n "${KEX_SIGN_PASSWORD_FILE:-}" ] && [ ! -r "$KEX_SIGN_PASSWORD_FILE" ]; then
        echo "sign: KEX_SIGN_PASSWORD_FILE names no readable file" >&2
        return 1
    fi
    command -v osslsigncode >/dev/null || { echo "sign: osslsigncode is not installed" >&2; return 1; }
    local f
    for f in "$@"; do
        kex_sign_one "$f" || return 1
    done
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -uo pipefail
    [ $# -ge 1 ] || { sed -n '2,20p' "$0" >&2; exit 2; }
    kex_sign_enabled || { kex_sign_describe >&2; exit 1; }
    kex_sign_files "$@"
fi
