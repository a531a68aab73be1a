#!/usr/bin/env bash
# Installs what building and testing zarvel-uri needs on Debian 12, as root.
# Idempotent: packages already present are left alone and apt is not asked
# again; the npm tools are installed again only when their lock file changed.
#   tools/install-deps.sh                          what is missing
#   tools/install-deps.sh --emulate-i386           and run 32-bit x86 programs under
#                                                  qemu even where the kernel could
#   tools/install-deps.sh --remove-i386-emulation  remove that registration again
set -euo pipefail
tools=$(cd "$(dirname "$0")" && pwd)
# Debian's own Python, with Debian's libraries, whatever comes first on PATH.
python=(/usr/bin/python3 -I)
i386=("${python[@]}" "$tools/i386_emulation.py")

case ${1:-} in
  "" | --emulate-i386) ;;
  --remove-i386-emulation)
    "${i386[@]}" unregister
    echo "32-bit x86 programs now run: $("${i386[@]}" describe)"
    exit 0
    ;;
  *)
    echo "usage: tools/install-deps.sh [--emulate-i386 | --remove-i386-emulation]" >&2
    exit 2
    ;;
esac

export DEBIAN_FRONTEND=noninteractive
# A Debian mirror in the middle of a sync serves indexes that disagree with
# its Release file for a while; apt-get update then fails. Tried again after a
# pause, and then given up on with a plain word.
apt_update() {
  local attempt log
  log=$(mktemp)
  for attempt in 1 2 3 4 5; do
    if apt-get update -qq >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    [ "$attempt" = 5 ] || sleep $((attempt * 15))
  done
  cat "$log" >&2
  rm -f "$log"
  cat >&2 <<'EOF'

install-deps: apt-get update failed five times in about three minutes, with
the errors above. That is the Debian mirror (an index that does not match its
Release file, as while the mirror syncs), not this project: try again later.
EOF
  exit 1
}

packages=(
  cmake g++ make libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-tidy clang-format valgrind
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine32:i386 wine64
  nsis wixl osslsigncode openssl openssh-client xvfb shellcheck
  python3 python3-debian python3-license-expression python3-cryptography python3-asn1crypto
  python3-pefile python3-pyflakes
)
# Debian's Node.js and npm, unless the machine has an npm already: a newer
# Node.js from elsewhere brings its own, which Debian's npm conflicts with.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

installed() {  # PACKAGE
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt_update
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# 32-bit x86 code. Some kernels refuse it; there Wine's 32-bit loader, and
# with it the 32-bit image that ships, run under qemu-user through
# binfmt_misc. It must be qemu from bookworm-backports (10 or later): Debian
# 12's own 7.2 ignores MAP_FIXED_NOREPLACE, with which Wine 8's 32-bit ntdll
# reserves its address space for want of a preloader, and every Wine process
# then takes about a minute instead of a second. Only qemu is taken from
# backports, by name; nothing else changes.
wine32_runs() {
  /usr/lib/wine/wine --version >/dev/null 2>&1 && "${i386[@]}" check >/dev/null
}
if [ "${1:-}" = --emulate-i386 ] || ! wine32_runs; then
  # A registration that works is kept; one whose qemu is too old, or none,
  # gives way to Debian's registration of the backports qemu.
  if ! { [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && wine32_runs; } &&
     ! { [ -e /usr/share/qemu/binfmt.d/qemu-i386.conf ] && "${i386[@]}" register &&
         wine32_runs; }; then
    backports=/etc/apt/sources.list.d/zarvel-uri-backports.sources
    if ! [ -e "$backports" ]; then
      cat >"$backports" <<'EOF'
# Added by zarvel-uri's tools/install-deps.sh for qemu-user-static, which it
# installs from here by name (-t bookworm-backports); nothing else comes from here.
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
      apt_update
    fi
    qemu=(apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user-static)
    "${qemu[@]}" >/dev/null 2>&1 || { apt_update && "${qemu[@]}" >/dev/null; }
    "${i386[@]}" register
  fi
  if ! wine32_runs; then
    "${i386[@]}" check || true
    echo "install-deps: Wine's 32-bit loader does not run here, even under qemu" >&2
    exit 1
  fi
fi

# What Debian lacks comes from the npm registry, pinned with integrity hashes
# by tools/npm/package-lock.json, into tools/npm/node_modules (ignored by git):
# the Inno Setup compiler, and CycloneDX's library with its schema validator.
# No install scripts run, and the library's optional XML support is left out.
npm_tools=$tools/npm
installed_lock=$npm_tools/node_modules/.installed-package-lock.json
if ! cmp -s "$npm_tools/package-lock.json" "$installed_lock"; then
  (cd "$npm_tools" && npm ci --ignore-scripts --omit=optional --no-audit --no-fund >/dev/null)
  cp "$npm_tools/package-lock.json" "$installed_lock"
fi
