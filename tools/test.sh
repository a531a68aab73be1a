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
build() {  # PRESET...
  local preset
  for preset in "$@"; do cmake --build --preset "$preset" -j"$jobs"; done
}
check() {  # PRESET [PART CTEST_ARGUMENTS...]: a failure shows in the summary
  local results=$PWD/build/$1/test-results${2:+-$2}.xml
  rm -f "$results"
  ctest --preset "$1" -j"$jobs" --output-junit "$results" "${@:3}" || true
}
style() {
  # A finding fails the run in the summary.
  /usr/bin/python3 -I tools/style_check.py build || true
}

# Each lane runs in the background, its output to a log that is shown when
# it ends, with when it did. A build that fails ends its lane, and its preset
# then has no results, which the summary says.
lanes=()
lane() {  # NAME NICENESS COMMAND...
  local name=$1 niceness=$2
  shift 2
  (
    set -e
    renice -n "$niceness" -p "$BASHPID" >/dev/null
    "$@"
  ) >"$logs/$name.log" 2>&1 &
  lanes+=("$!:$name:$SECONDS")
}
wait_for() {  # NAME...: waits for these lanes and shows their logs
  local entry name rest started
  for name in "$@"; do
    for entry in "${lanes[@]}"; do
      rest=${entry#*:}
      [ "${rest%%:*}" = "$name" ] || continue
      wait "${entry%%:*}" || true
      started=${rest#*:}
      echo "== $name: from ${started} s to ${SECONDS} s"
      cat "$logs/$name.log"
    done
  done
}

for preset in "${presets[@]}"; do lane "configure-$preset" 0 configure "$preset"; done
wait_for "${presets[@]/#/configure-}"
# The style check needs only the compile databases, so it starts at once and
# runs beside everything else, yielding the processor.
lane style 19 style
if [ ${#presets[@]} = 2 ]; then
  lane native 0 build native asan
  wait_for native
  lane tests 0 eval 'check native all -LE release && check asan'
  wait_for tests style
else
  # The 32-bit Wine tests are the longest path, most of all where qemu runs
  # them: their build goes first, and then their lane has the processor it
  # wants; every other lane yields to it.
  lane windows 0 build win32 win64
  lane native 10 build native asan fuzz
  wait_for windows native
  lane wine 0 check win32 wine -L wine
  lane others 19 eval 'check win32 rest -LE wine && check native all && check asan &&
                       check win64 all && check fuzz'
  wait_for wine others style
fi
echo "== all done at ${SECONDS} s"
/usr/bin/python3 -I tools/test_summary.py build "${presets[@]}"
