#!/usr/bin/env bash
# What the image's start does when an installer runs it elevated from a folder
# that users can write to, such as Downloads:
#  - it loads no DLL from that folder. Valid DLLs wait there under the mingw
#    runtime's names and under those of Windows libraries that are not
#    KnownDLLs, with Wine told to prefer them to its own, as Windows' search
#    order does for such names. None may be loaded, and none may run (each
#    leaves "<name>.ran" when it does);
#  - its load trace names only its imports and what they load themselves;
#  - before its first registry call it restricts later loads by name to
#    System32, as a relay trace shows;
#  - the stack protector's guard is set before main, and differs from run to
#    run: read at main's entry under winedbg, at the addresses the image's
#    debug file gives;
#  - a guard changed while a protected function runs ends the process at
#    once, at the image's fast-fail, with STATUS_STACK_BUFFER_OVERRUN
#    (0xc0000409; an illegal instruction where qemu runs the 32-bit image).
#   check_startup.sh BUILD_DIR MINGW_TRIPLET WINE_RUN...
set -uo pipefail
build=$1 triplet=$2
shift 2
folder=$build/downloads
rm -rf "$folder"
mkdir -p "$folder"
cp "$build/zarvel-uri.exe" "$folder/"
# The 32-bit runtime's names and the x86-64 one's for libgcc, then Windows
# libraries outside KnownDLLs that a program's start may pull in (the crypto
# provider and what it needs, among them).
runtime=(libgcc_s_dw2-1.dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll libssp-0.dll)
system=(version bcrypt crypt32 cryptbase cryptsp rsaenh dwmapi uxtheme userenv winmm)
planted=("${runtime[@]}" "${system[@]/%/.dll}")
for name in "${planted[@]}"; do cp "$build/planted.dll" "$folder/$name"; done
overrides=$(IFS=,; echo "${system[*]}")=n,b

# A planted DLL that lacks what its importer needs can stop the start for
# good; the run is bounded.
status=0
ZARVEL_WINEDEBUG=+loaddll ZARVEL_WINEDLLOVERRIDES=$overrides ZARVEL_WINE_TIMEOUT=60 \
  "$@" "$folder/zarvel-uri.exe" 'C:\Apps\zarvel.exe' >"$folder/output.txt" 2>"$folder/trace.txt" ||
  status=$?
[ "$status" -eq 77 ] && { cat "$folder/trace.txt" >&2; exit 77; }
failures=0
fail() { echo "FAILED: $*"; failures=1; }
[ "$status" -eq 0 ] || fail "the program exited $status"

# The trace is there: it names the program's own imports.
grep -qi 'Loaded L".*\\advapi32\.dll"' "$folder/trace.txt" || fail "no load trace"
for name in "${planted[@]}"; do
  if grep -qiF "$name" "$folder/trace.txt" || [ -e "$folder/$name.ran" ]; then
    fail "loaded $name: $(grep -iF "$name" "$folder/trace.txt")"
  else
    echo "ok: $name not loaded"
  fi
done
# What a run may load: the program, its three imports and what they load
# under Wine. Anything else is a new DLL in an elevated process.
allowed='zarvel-uri.exe ntdll.dll kernelbase.dll kernel32.dll msvcrt.dll ucrtbase.dll sechost.dll'
allowed+=' advapi32.dll'
loaded=$(sed -n 's/.*Loaded L"\(.*\)" at .*/\1/p' "$folder/trace.txt" | sed 's/.*\\//' |
         tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
for name in $loaded; do
  [[ " $allowed " == *" $name "* ]] || fail "loaded $name, which is not among: $allowed"
done
echo "loaded: $loaded"

# Later loads are confined before the program touches the registry.
ZARVEL_WINEDEBUG=+relay "$@" "$folder/zarvel-uri.exe" 'C:\Apps\zarvel.exe' \
  >/dev/null 2>"$folder/relay.txt"
restriction='Call [A-Za-z0-9]+\.(SetDefaultDllDirectories\(00000800\)|SetDllDirectoryW\()'
restricted=$(grep -n -m1 -E "$restriction" "$folder/relay.txt" | cut -d: -f1)
first_registry_call=$(grep -n -m1 -E 'Call advapi32\.Reg' "$folder/relay.txt" | cut -d: -f1)
if [ -n "$restricted" ] && [ -n "$first_registry_call" ] &&
   [ "$restricted" -lt "$first_registry_call" ]; then
  echo "ok: $(sed -n "${restricted}s/.*Call //p" "$folder/relay.txt" | sed 's/ ret=.*//')" \
       "before the first registry call"
else
  fail "loads not restricted to System32 before the first registry call" \
       "(lines ${restricted:-none} and ${first_registry_call:-none} of the relay trace)"
fi

# main's entry, writeToRegistry and the guard, from the debug file; Wine
# loads the image at its preferred base.
wine_run=("$@")
words=2
[[ $triplet == i686* ]] && words=1
symbol() {  # a regular expression that matches the one symbol wanted
  "$triplet"-nm "$build/zarvel-uri.exe.debug" | awk -v s="$1" '$3 ~ s { print $1 }'
}
debugger() {  # RUN_NAME COMMAND...: runs the program under winedbg with these commands
  local run=$1
  shift
  printf '%s\n' "$@" kill quit >"$folder/winedbg-$run.in"
  ZARVEL_WINE_INPUT=$folder/winedbg-$run.in ZARVEL_WINE_TIMEOUT=60 \
    "${wine_run[@]}" winedbg "$folder/zarvel-uri.exe" 'C:\Apps\zarvel.exe' \
    >"$folder/winedbg-$run.txt" 2>&1
}
main=$(symbol '^_?main$') guard=$(symbol '^_?__stack_chk_guard$')
guards=()
for run in 1 2; do
  debugger "$run" "break *0x$main" cont "x /${words}x 0x$guard"
  if grep -q 'Stopped on breakpoint 1' "$folder/winedbg-$run.txt"; then
    value=$(grep -A1 'Stopped on breakpoint 1' "$folder/winedbg-$run.txt" | tail -1 |
            sed 's/^Wine-dbg>//; s/.*://' | tr -d ' \r')
    guards+=("$value")
    echo "guard at main's entry, run $run: $value"
    [[ $value =~ ^[0-9a-f]+$ ]] || fail "no guard value read in run $run: $value"
    [[ $value =~ [1-9a-f] ]] || fail "the guard is zero at main's entry in run $run"
  else
    fail "winedbg did not stop at main: $(cat "$folder/winedbg-$run.txt")"
  fi
done
if [ ${#guards[@]} -eq 2 ] && [ "${guards[0]}" = "${guards[1]}" ]; then
  fail "the guard was the same in two runs"
fi

# writeToRegistry keeps the guard in its frame before its first call through
# the import table; the guard changed after that call no longer matches the
# frame's copy when the function returns. The scheme must be missing, so that
# the program writes it.
write=$(symbol '^_?_Z15writeToRegistry')
after_import_call=$("$triplet"-objdump -d "$folder/zarvel-uri.exe" --start-address="0x$write" \
  --stop-address="$(printf '0x%x' $((0x$write + 0x200)))" |
  awk '/\tcall +\*/ { found = 1; next }
       found && /^ +[0-9a-f]+:/ { sub(":", "", $1); print $1; exit }')
"$@" reg delete 'HKCR\zarvel' /f >/dev/null 2>&1
# The fast-fail is the image's one `int $0x29`, with the stack cookie's code
# (FAST_FAIL_STACK_COOKIE_CHECK_FAILURE, 2) in ECX or RCX.
fast_fail=$("$triplet"-objdump -d "$folder/zarvel-uri.exe" |
            awk '/\tint +\$0x29/ { sub(":", "", $1); print $1 }')
[ "$(wc -w <<<"$fast_fail")" = 1 ] || fail "not one int \$0x29 in the image: ${fast_fail:-none}"
code=0xc0000409
# qemu-user hands Wine signal frames without the trap number, so there every
# trap, the fast-fail's too, is reported as an illegal instruction; where the
# run stopped, and with which code, shows the fast-fail instead.
if [[ $triplet == i686* ]]; then
  runs=$(/usr/bin/python3 -I "$(dirname "$0")/../../tools/i386_emulation.py" describe)
  if [[ $runs == emulated* ]]; then
    code="illegal instruction"
    echo "note: 32-bit code runs $runs here: a fast-fail shows as an illegal instruction"
  fi
fi
# winedbg steps over the breakpoint before it continues; under emulation that
# step stops once more, so the run is continued twice.
debugger changed-guard "break *0x$after_import_call" cont "set *(int*)0x$guard = 0x5a5a5a5a" \
  cont cont
stop=$(grep -m1 -o 'Unhandled exception: .* in [0-9]*-bit code (0x[0-9a-f]*)' \
       "$folder/winedbg-changed-guard.txt")
address=$(sed -n 's/.*(0x\([0-9a-f]*\))$/\1/p' <<<"$stop")
fail_code=$(grep -m1 -o -i -E '[er]cx:[0-9a-f]+' "$folder/winedbg-changed-guard.txt" | cut -d: -f2)
if [[ $stop == "Unhandled exception: $code in "* ]] && [ -n "$address" ] &&
   [ "$((0x$address))" = "$((0x${fast_fail:-0}))" ] && [ "$((0x${fail_code:-0}))" = 2 ]; then
  echo "ok: a changed guard ends the run at the fast-fail (0x$fast_fail, code 2): $stop"
else
  fail "a changed guard did not end the run with $code at the fast-fail (0x$fast_fail)" \
       "with code 2: $(cat "$folder/winedbg-changed-guard.txt")"
fi
exit "$failures"
