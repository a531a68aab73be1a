#!/usr/bin/env bash
# Measures what a run costs: registry calls per run, growth of the two
# size-dependent steps, end-to-end times under Wine against a reg.exe batch,
# and the image. Run on demand; nothing here is a pass/fail test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh >&2

preset=win32 loader=/usr/lib/wine/wine
for p in native win32; do
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p" -j"$(nproc)" >/dev/null
done

echo "## Machine"
echo "$(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)"
echo "$(/usr/lib/wine/wine64 --version), $(uname -sr)"
# Under qemu a Wine process takes several times as long: such timings are
# not comparable with those of a machine that runs 32-bit code itself.
echo "32-bit code runs $(/usr/bin/python3 -I tools/i386_emulation.py describe)"

echo "## Registry calls per run"
build/native/tests/zarvel_tests --gtest_filter='CallCountTest.*' | grep 'registry calls'

echo "## Growth"
build/native/bench/micro_bench --benchmark_min_time=0.05

echo "## End to end under Wine ($preset build)"
run=(tests/wine/wine-run.sh "$PWD/build/$preset/wineprefix" "$loader")
"${run[@]}" --boot
status=0
"${run[@]}" "build/$preset/wine_bench.exe" "${ROUNDS:-15}" || status=$?
"${run[@]}" --stop

echo "## The 32-bit image"
echo "size: $(stat -c %s build/win32/zarvel-uri.exe) bytes"
echo "imports: $(i686-w64-mingw32-objdump -p build/win32/zarvel-uri.exe | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')"
exit "$status"
