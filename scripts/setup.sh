#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages.
# Does nothing when everything is already there. On a host that runs only
# 64-bit programs the i386 architecture and 32-bit Wine are left out: they
# could not run there.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/hostarch.sh"
kex_probe_win32

packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools wine wine64 libwine-dev
          cmake ninja-build g++ clang libclang-rt-14-dev googletest)
# The Windows Installer packages (wixl; msibuild, msiinfo, msiextract) and signing.
packages+=(wixl msitools osslsigncode openssl)
[ "$KEX_HOST_WIN32" = 1 ] && packages+=(wine32:i386)

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

missing=()
for p in "${packages[@]}"; do have "$p" || missing+=("$p"); done
[ -d /usr/src/googletest ] || missing+=(googletest)
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
[ "$KEX_HOST_WIN32" = 1 ] || echo "setup: no 32-bit Wine: this host runs only 64-bit programs ($KEX_WIN32_EVIDENCE)"
export DEBIAN_FRONTEND=noninteractive
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
[ "$KEX_HOST_WIN32" = 1 ] && $SUDO dpkg --add-architecture i386
# One i386 index may fail to download; the install below still works.
$SUDO apt-get update -q || true
# -t bookworm keeps amd64 and i386 libraries at the same version.
$SUDO apt-get install -y -q -t bookworm --no-install-recommends "${packages[@]}"
