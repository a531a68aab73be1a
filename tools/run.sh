#!/usr/bin/env bash
# Builds the Windows program and runs it under Wine in this project's own
# prefix, build/wine-prefix, which keeps its registry from run to run. Every
# argument is passed through: all of them together are the application path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/install-deps.sh >&2

# The 32-bit image, the product; under qemu where the kernel refuses 32-bit
# code (the set-up arranges that).
preset=win32 loader=/usr/lib/wine/wine
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target zarvel-uri >/dev/null

export WINEPREFIX=$root/build/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
status=0
"$loader" "build/$preset/zarvel-uri.exe" "$@" || status=$?
# Let the prefix's wineserver save the registry and end.
wineserver -w
exit "$status"
