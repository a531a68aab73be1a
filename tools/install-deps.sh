#!/usr/bin/env bash
# Installs what building and testing zarvel-uri needs on Debian 12, as root.
# Idempotent: packages already present are left alone and apt is not asked
# again; the npm tools are installed again only when their lock file changed.
set -euo pipefail

packages=(
  cmake g++ make libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev valgrind
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine32:i386 wine64
  nsis wixl osslsigncode openssl xvfb
)
# Debian's Node.js and npm, unless the machine has an npm already: a newer
# Node.js from elsewhere brings its own, which Debian's npm conflicts with.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# What Debian lacks comes from the npm registry, pinned with integrity hashes
# by tools/npm/package-lock.json, into tools/npm/node_modules (ignored by git):
# the Inno Setup compiler, and CycloneDX's library with its schema validator.
# No install scripts run, and the library's optional XML support is left out.
npm_tools=$(cd "$(dirname "$0")" && pwd)/npm
installed_lock=$npm_tools/node_modules/.installed-package-lock.json
if ! cmp -s "$npm_tools/package-lock.json" "$installed_lock"; then
  (cd "$npm_tools" && npm ci --ignore-scripts --omit=optional --no-audit --no-fund >/dev/null)
  cp "$npm_tools/package-lock.json" "$installed_lock"
fi
