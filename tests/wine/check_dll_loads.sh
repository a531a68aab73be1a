#!/usr/bin/env bash
# An installer may run the program elevated from a folder that users can
# write to, such as Downloads. Runs it under Wine from a folder that holds
# valid DLLs under the mingw runtime's names, and checks in Wine's load trace
# that none of them was loaded.
#   check_dll_loads.sh BUILD_DIR WINE_RUN...
set -uo pipefail
build=$1
shift
folder=$build/downloads
rm -rf "$folder"
mkdir -p "$folder"
cp "$build/zarvel-uri.exe" "$folder/"
# The 32-bit runtime's names, and the x86-64 one's for libgcc.
planted=(libgcc_s_dw2-1.dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll libssp-0.dll)
for name in "${planted[@]}"; do cp "$build/planted.dll" "$folder/$name"; done

status=0
ZARVEL_WINEDEBUG=+loaddll "$@" "$folder/zarvel-uri.exe" 'C:\Apps\zarvel.exe' \
  >"$folder/output.txt" 2>"$folder/trace.txt" || status=$?
[ "$status" -eq 77 ] && { cat "$folder/trace.txt" >&2; exit 77; }
[ "$status" -eq 0 ] || { echo "FAILED: the program exited $status"; exit 1; }

failures=0
# The trace is there: it names the program's own imports.
if ! grep -qi 'Loaded L".*\\advapi32\.dll"' "$folder/trace.txt"; then
  echo "FAILED: no load trace"
  failures=1
fi
for name in "${planted[@]}"; do
  if grep -qiF "$name" "$folder/trace.txt"; then
    echo "FAILED: loaded $name:"
    grep -iF "$name" "$folder/trace.txt"
    failures=1
  else
    echo "ok: $name not loaded"
  fi
done
exit "$failures"
