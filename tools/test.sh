#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test suite:
#   native  the scheme code over the in-memory registry, and the native program
#   win32   the 32-bit Windows image's checks, and the Wine suite where this
#           machine can execute 32-bit x86 code (CTest reports it skipped elsewhere)
#   win64   the Wine suite against the same program built for x86-64
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

for preset in native win32 win64; do
  cmake --preset "$preset" -DZARVEL_WERROR=ON >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)"
done
for preset in native win32 win64; do
  ctest --preset "$preset"
done
