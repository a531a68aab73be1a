#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test suite:
#   native  the scheme code over the in-memory registry, and the native program
#   win32   the 32-bit Windows image, the product: its checks, the Wine suite,
#           the installer tests and the release checks, under qemu where the
#           kernel refuses 32-bit x86 code
#   win64   the same program built for x86-64, and the same tests
#   asan    the native suite under AddressSanitizer and UndefinedBehaviorSanitizer
#   fuzz    a bounded libFuzzer run (ZARVEL_FUZZ_SECONDS, 60 by default)
# Ends with a summary. A skipped test fails the run unless ZARVEL_ALLOW_SKIPS=1.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

presets=(native asan win32 win64 fuzz)
for preset in "${presets[@]}"; do
  cmake --preset "$preset" -DZARVEL_WERROR=ON -DZARVEL_FUZZ_SECONDS="${ZARVEL_FUZZ_SECONDS:-60}" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)"
done
for preset in "${presets[@]}"; do
  results=$PWD/build/$preset/test-results.xml
  rm -f "$results"
  ctest --preset "$preset" --output-junit "$results" || true
done
/usr/bin/python3 -I tools/test_summary.py build "${presets[@]}"
