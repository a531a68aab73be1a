#!/usr/bin/env bash
# Checks what the 32-bit Windows image carries: machine, subsystem and the
# Windows version it claims, hardening, imports function by function, its
# single export, no debug sections, and the embedded manifest and version
# resource.
#   check_image.sh zarvel-uri.exe zarvel-uri.manifest VERSION
set -uo pipefail
image=$1 manifest=$2 version=$3
tools=i686-w64-mingw32
headers=$($tools-objdump -p "$image")
failures=0

expect() {  # description, expected, actual
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    printf 'FAILED: %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }

expect "32-bit x86 image" "pei-i386" "$(sed -n 's/.*file format //p' <<<"$headers" | head -1)"
expect "PE32 optional header" "010b" "$(field Magic)"
expect "console subsystem" "00000003" "$(field Subsystem)"
dll_characteristics=$((16#$(field DllCharacteristics)))
expect "relocatable (dynamic base)" "64" "$((dll_characteristics & 0x40))"
expect "NX compatible" "256" "$((dll_characteristics & 0x100))"
expect "terminal-server aware" "32768" "$((dll_characteristics & 0x8000))"
expect "OS version 6.0 (Vista)" "6.0" "$(field MajorOSystemVersion).$(field MinorOSystemVersion)"
expect "subsystem version 6.0" "6.0" "$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)"
expect "no link time stamped" "Thu Jan  1 00:00:00 1970" "$(sed -n 's/^Time\/Date\t\t//p' <<<"$headers" | head -1)"
expect "base relocations present" "yes" \
  "$(grep -q 'PE File Base Relocations' <<<"$headers" && echo yes || echo no)"
expect "imports only Windows' own libraries" "ADVAPI32.dll KERNEL32.dll msvcrt.dll" \
  "$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | sort -f | tr '\n' ' ' | sed 's/ $//')"
# The imports, function by function. Windows forwards some exports of its own
# DLLs to DLLs outside the KnownDLLs, which are looked for in the program's
# folder first (advapi32's SystemFunction036 goes to cryptbase.dll), and Wine
# cannot show it: every import that comes or goes is named, to be reviewed.
imports_of() {  # DLL: its imported functions, sorted
  awk -v dll="$1" '/^\tDLL Name: / { in_dll = ($3 == dll); next }
    in_dll && /^\t[0-9a-f]+\t/ { sub(/^\t[0-9a-f]+\t +[0-9]+ +/, ""); print }' <<<"$headers" |
    LC_ALL=C sort
}
expect_imports() {  # DLL FUNCTION...
  local dll=$1 pinned actual added gone
  shift
  pinned=$(printf '%s\n' "$@" | LC_ALL=C sort) actual=$(imports_of "$dll")
  added=$(LC_ALL=C comm -13 <(echo "$pinned") <(echo "$actual") | paste -sd' ')
  gone=$(LC_ALL=C comm -23 <(echo "$pinned") <(echo "$actual") | paste -sd' ')
  expect "imports from $dll, function by function" "new: ; gone: " "new: $added; gone: $gone"
}
# The seven registry functions and nothing else: no random number or crypto
# function, which Windows' advapi32 forwards.
expect_imports ADVAPI32.dll RegCloseKey RegCreateKeyExA RegDeleteTreeA RegOpenKeyExA \
  RegOpenKeyExW RegQueryValueExW RegSetValueExA
# The runtime's, which a new toolchain may change.
expect_imports KERNEL32.dll AddVectoredExceptionHandler CloseHandle CreateEventA CreateSemaphoreA \
  DeleteCriticalSection DuplicateHandle EnterCriticalSection FreeLibrary GetCurrentProcess \
  GetCurrentProcessId GetCurrentThread GetCurrentThreadId GetHandleInformation GetLastError \
  GetModuleHandleA GetModuleHandleW GetProcAddress GetProcessAffinityMask GetStartupInfoA \
  GetSystemTimeAsFileTime GetThreadContext GetThreadPriority GetTickCount64 \
  InitializeCriticalSection IsDBCSLeadByteEx IsDebuggerPresent IsProcessorFeaturePresent \
  LeaveCriticalSection LoadLibraryA LoadLibraryW MultiByteToWideChar OpenProcess \
  OutputDebugStringA QueryPerformanceCounter RaiseException ReleaseSemaphore \
  RemoveVectoredExceptionHandler ResetEvent ResumeThread SetDllDirectoryW SetEvent \
  SetLastError SetProcessAffinityMask SetThreadContext SetThreadPriority \
  SetUnhandledExceptionFilter Sleep SuspendThread TerminateProcess TlsAlloc TlsGetValue \
  TlsSetValue TryEnterCriticalSection VirtualProtect VirtualQuery WaitForMultipleObjects \
  WaitForSingleObject WideCharToMultiByte
expect_imports msvcrt.dll __getmainargs __initenv __mb_cur_max __p__acmdln __p__commode \
  __p__fmode __set_app_type __setusermatherr _amsg_exit _beginthreadex _cexit _endthreadex \
  _errno _initterm _iob _lock _onexit _setjmp3 _ultoa _unlock abort atoi calloc exit fprintf \
  fputc fputs free fwrite localeconv malloc memchr memcmp memcpy memmove memset printf \
  realloc setlocale signal strchr strcmp strerror strlen strncmp vfprintf wcslen longjmp \
  _strdup _read _close
expect "one export table entry" "00000001" \
  "$(awk '/Export Address Table[ \t]+[0-9a-f]+$/ && !done { print $NF; done=1 }' <<<"$headers")"
expect "ordinal base" "1" "$(awk '/^Ordinal Base/ { print $3 }' <<<"$headers")"
expect "exported name" "[   0] _Z17checkUriQualifierNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE" \
  "$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | sed -n '2,$p' | sed '/^$/d' | sed 's/^\s*//')"

sections=$($tools-objdump -h "$image" | awk '/^ +[0-9]+ / { name = $2; getline; print name, $0 }')
expect "no debug sections" "" "$(awk '$1 ~ /^\.debug/ { print $1 }' <<<"$sections" | tr '\n' ' ')"
expect "no section both writable and executable" "" \
  "$(awk '/CODE/ && !/READONLY/ { print $1 }' <<<"$sections" | tr '\n' ' ')"
debuglink=$(mktemp) copy=$(mktemp)
$tools-objcopy --dump-section .gnu_debuglink="$debuglink" "$image" "$copy"
expect "debug link to zarvel-uri.exe.debug" "zarvel-uri.exe.debug" "$(tr -d '\0' <"$debuglink" | head -c 20)"
rm -f "$debuglink" "$copy"

# The manifest's bytes must stand in the resource section as they are.
hex() { od -An -tx1 -v | tr -d ' \n'; }
resources=$(mktemp)
$tools-objcopy -O binary -j .rsrc "$image" "$resources"
expect "manifest embedded verbatim" "yes" \
  "$(grep -q "$(hex <"$manifest")" <(hex <"$resources") && echo yes || echo no)"
expect "manifest resource type 24 (RT_MANIFEST), id 1" "yes" \
  "$($tools-windres -i "$image" -O rc 2>/dev/null | grep -q '^1 24' && echo yes || echo no)"
rm -f "$resources"
resource_script=$($tools-windres -i "$image" -O rc 2>/dev/null)
expect "manifest lists Vista, 7, 8, 8.1 and 10/11" "5" "$(grep -c '<supportedOS Id=' <<<"$resource_script")"
numbers="${version//./, }, 0"
expect "file and product version $version" "FILEVERSION $numbers|PRODUCTVERSION $numbers" \
  "$(sed -n 's/^ *\(FILEVERSION\|PRODUCTVERSION\) /\1 /p' <<<"$resource_script" | paste -sd'|')"
for string in "FileVersion:$version" "ProductVersion:$version" "InternalName:zarvel-uri" \
              "OriginalFilename:zarvel-uri.exe" "ProductName:zarvel-uri"; do
  name=${string%%:*} value=${string#*:}
  expect "version string $name" "\"$value\"" \
    "$(sed -n "s/^ *VALUE \"$name\", //p" <<<"$resource_script")"
done
expect "version string FileDescription present" "yes" \
  "$(grep -q 'VALUE "FileDescription", "[^"]' <<<"$resource_script" && echo yes || echo no)"

[ "$failures" -eq 0 ]
