#!/usr/bin/env bash
# Checks what the 32-bit Windows image carries: machine, subsystem and the
# Windows version it claims, hardening, imports, its single export, no debug
# sections, and the embedded manifest and version resource.
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
