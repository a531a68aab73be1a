#!/usr/bin/env bash
# Installs what building and testing zarvel-uri needs on Debian 12, as root.
# Idempotent: packages already present are left alone and apt is not asked again.
set -euo pipefail

packages=(
  cmake g++ make libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev valgrind
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine32:i386 wine64
  nsis wixl osslsigncode openssl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
