#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test suite:
#   native  the scheme code over the in-memory registry, and the native program
#   win32   the 32-bit Windows image's checks, and the Wine suite and installer
#           tests where this machine can execute 32-bit x86 code (CTest
#           reports them skipped elsewhere)
#   win64   the Wine suite and installer tests against the same program built
#           for x86-64
#   asan    the native suite under AddressSanitizer and UndefinedBehaviorSanitizer
#   fuzz    a bounded libFuzzer run (ZARVEL_FUZZ_SECONDS, 60 by default)
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

presets=(native asan win32 win64 fuzz)
for preset in "${presets[@]}"; do
  cmake --preset "$preset" -DZARVEL_WERROR=ON -DZARVEL_FUZZ_SECONDS="${ZARVEL_FUZZ_SECONDS:-60}" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)"
done
for preset in "${presets[@]}"; do
  ctest --preset "$preset"
done
