#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages.
# Does nothing when everything is already there.
set -euo pipefail

packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools wine wine32:i386 wine64 libwine-dev
          cmake ninja-build g++ clang libclang-rt-14-dev googletest)

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

missing=()
for p in "${packages[@]}"; do have "$p" || missing+=("$p"); done
[ -d /usr/src/googletest ] || missing+=(googletest)
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO dpkg --add-architecture i386
# One i386 index may fail to download; the install below still works.
$SUDO apt-get update -q || true
# -t bookworm keeps amd64 and i386 libraries at the same version.
$SUDO apt-get install -y -q -t bookworm --no-install-recommends "${packages[@]}"
