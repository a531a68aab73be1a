#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test suite:
#   native  the scheme code over the in-memory registry, and the native program
#   asan    the native suite under AddressSanitizer and UndefinedBehaviorSanitizer
#   win32   the 32-bit Windows image, the product: its checks, the Wine suite,
#           the installer tests and the release checks, under qemu where the
#           kernel refuses 32-bit x86 code
#   win64   the same program built for x86-64: what it does differently
#   fuzz    a bounded libFuzzer run (ZARVEL_FUZZ_SECONDS, 60 by default)
# and the style check (tools/style_check.py, whose readers are clang-format,
# clang-tidy, shellcheck and pyflakes). Ends with a summary. A skipped test fails the run
# unless ZARVEL_ALLOW_SKIPS=1.
#   tools/test.sh           everything, the presets side by side on all cores
#   tools/test.sh --quick   the inner loop: native and asan without the release
#                           tests, and the style check
set -euo pipefail
cd "$(dirname "$0")/.."

case ${1:-} in
  "") presets=(native asan win32 win64 fuzz) ;;
  --quick) presets=(native asan) ;;
  *)
    echo "usage: tools/test.sh [--quick]" >&2
    exit 2
    ;;
esac

bash tools/install-deps.sh

jobs=$(nproc)
logs=build/logs
rm -rf "$logs"
mkdir -p "$logs"

configure() {  # PRESET
  local extra=()
  [ "$1" = fuzz ] && extra=(-DZARVEL_FUZZ_SECONDS="${ZARVEL_FUZZ_SECONDS:-60}")
  cmake --preset "$1" -DZARVEL_WERROR=ON "${extra[@]}" >/dev/null
}
build() {  # PRESET
  cmake --build --preset "$1" -j"$jobs"
}
check() {  # PRESET CTEST_ARGUMENTS...: a failure shows in the summary
  local results=$PWD/build/$1/test-results.xml
  rm -f "$results"
  ctest --preset "$1" -j"$jobs" --output-junit "$results" "${@:2}" || true
}
style() {
  # A finding fails the run in the summary.
  /usr/bin/python3 -I tools/style_check.py build || true
}

# Each lane runs in the background, its output to a log shown when it ends. A
# build that fails ends its lane, and its preset then has no results.
lanes=()
lane() {  # NAME NICENESS COMMAND...
  local name=$1 niceness=$2
  shift 2
  (
    set -e
    renice -n "$niceness" -p "$BASHPID" >/dev/null
    "$@"
  ) >"$logs/$name.log" 2>&1 &
  lanes+=("$!:$name")
}
show_lanes() {
  local entry
  for entry in "${lanes[@]}"; do
    wait "${entry%%:*}" || true
    echo "== ${entry#*:}"
    cat "$logs/${entry#*:}.log"
  done
  lanes=()
}

for preset in "${presets[@]}"; do lane "configure-$preset" 0 configure "$preset"; done
show_lanes

if [ "${presets[*]}" = "native asan" ]; then
  native_lane() { build native && build asan && check native -LE release && check asan; }
  lane native 0 native_lane
  lane style 0 style
  show_lanes
else
  # The 32-bit Wine tests under emulation are the longest path: their lane
  # goes first, the others yield the processor to it.
  windows_lane() { build win32 && check win32; }
  other_lane() {
    build native && build asan && build win64 && build fuzz
    check native && check asan && check win64 && check fuzz
  }
  lane win32 0 windows_lane
  lane others 10 other_lane
  lane style 10 style
  show_lanes
fi
/usr/bin/python3 -I tools/test_summary.py build "${presets[@]}"
