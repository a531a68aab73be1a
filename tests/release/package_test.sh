#!/usr/bin/env bash
# Builds the release package and checks it: the sums file verifies; the zip
# holds the image, its debug file, README, docs/, CHANGELOG, LICENSE, the notices,
# BUILDINFO and the bill of materials; the notices name every library and
# start-up object that the release program reads in the link map; CycloneDX's
# library accepts the bill of materials, which names the notices' packages
# and BUILDINFO's image (and a copy naming another image or lacking a package
# is caught); and tools/verify-release.sh reproduces the zip, a signed copy of
# it, and one rebuilt with the shell's compiler flags set; rejects copies with
# one byte changed, with such a bill of materials, or without BUILDINFO; and
# refuses zips that would write outside their folder, writing nothing, and a
# signature that its tool cannot read.
#   package_test.sh SOURCE_DIR BUILD_DIR PACKAGE_NAME MINGW_TRIPLET
set -euo pipefail
source=$1 build=$2 name=$3 triplet=$4
rm -f "$build/$name.zip" "$build/$name.SHA256SUMS"
cmake --build "$build" --target package >/dev/null
cd "$build"
sha256sum -c "$name.SHA256SUMS"
expected="BUILDINFO CHANGELOG.md LICENSE README.md THIRD-PARTY-NOTICES.txt docs/development.md"
expected+=" docs/installers.md docs/release.md docs/security.md zarvel-uri.cdx.json"
expected+=" zarvel-uri.exe zarvel-uri.exe.debug"
actual=$(cmake -E tar tf "$name.zip" | sed "s|^$name/||" | grep -v '/$' | sort | paste -sd' ')
echo "zip holds: $actual"
[ "$actual" = "$expected" ]

work=$build/package-test
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && cmake -E tar xf "$build/$name.zip")
notices=$work/$name/THIRD-PARTY-NOTICES.txt
# Every library and start-up object of another package, as the program reads the map.
/usr/bin/python3 - "$source/tools" zarvel-uri.map "$source" "$build" >"$work/linked.txt" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
import release_info
for package, files in release_info.linked_packages(*sys.argv[2:]).items():
    print("\n".join(f"{package} {file}" for file in files))
EOF
grep -q '/crt2\.o$' "$work/linked.txt" || { echo "the map's start-up objects are not read"; exit 1; }
while read -r package file; do
  library=${file##*/} package=${package%%:*}
  grep -q "^Package: $package\$" "$notices" || { echo "notices lack $package"; exit 1; }
  grep -q "^$package [^:]*:.* $library\\b" "$notices" ||
    { echo "notices do not list $library under $package"; exit 1; }
  echo "notices name $package for $library"
done <"$work/linked.txt"

sbom=$work/$name/zarvel-uri.cdx.json
edit_sbom() {  # OUT JAVASCRIPT: a copy of the bill of materials, `bom` changed by JAVASCRIPT
  node -e 'const fs = require("fs");
    const bom = JSON.parse(fs.readFileSync(process.argv[1], "utf8"));
    '"$2"';
    fs.writeFileSync(process.argv[2], JSON.stringify(bom, null, 2));' "$sbom" "$1"
}
edit_sbom "$work/other-image.cdx.json" 'bom.metadata.component.hashes[0].content = "0".repeat(64)'
edit_sbom "$work/package-left-out.cdx.json" 'bom.components.pop()'
# bill of materials, the exit status its check must give
while read -r file status; do
  set +e
  NODE_PATH=$source/tools/npm/node_modules node "$source/tests/release/check-sbom.js" \
    "$work/$file" "$work/$name/BUILDINFO" "$notices"
  actual=$?
  set -e
  echo "$file: exit $actual"
  [ "$actual" = "$status" ]
done <<EOF
$name/zarvel-uri.cdx.json 0
other-image.cdx.json 1
package-left-out.cdx.json 1
EOF

if grep -q '^Uncommitted-Changes: no$' "$work/$name/BUILDINFO"; then :; else
  echo "skipped: the tree has uncommitted changes, so its commit does not rebuild this zip"
  exit 77
fi

repack() {  # ZIP: the extracted tree, as it is now, zipped again
  (cd "$work" && cmake -E tar cf "$1" --format=zip "$name")
}
change_code_byte() {  # a byte in the middle of .text, inverted
  local image=$work/$name/zarvel-uri.exe offset byte
  offset=$(("0x$("$triplet-objdump" -h "$image" | awk '$2 == ".text" { print $6 }')" + 4096))
  byte=$(od -An -tu1 -j "$offset" -N1 "$image" | tr -d ' ')
  printf "\\x$(printf %02x $((byte ^ 255)))" |
    dd of="$image" bs=1 seek="$offset" conv=notrunc status=none
}

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=zarvel-uri test signer" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/certificate.pem" \
  2>/dev/null
cp "$build/$name.zip" "$work/as-built.zip"
change_code_byte && repack "$work/changed.zip"
change_code_byte  # back as built
cp "$sbom" "$work/as-built.cdx.json"
cp "$work/other-image.cdx.json" "$sbom" && repack "$work/sbom-changed.zip"
cp "$work/as-built.cdx.json" "$sbom"
bash "$source/tools/sign.sh" "$work/$name/zarvel-uri.exe" "$work/certificate.pem" \
  "$work/key.pem" >/dev/null
repack "$work/signed.zip"
change_code_byte && repack "$work/signed-changed.zip"
rm "$work/$name/BUILDINFO" && repack "$work/no-buildinfo.zip"

# Zips from elsewhere that try to write outside their folder: through a link
# they hold, a link in their place, an absolute name, and a name that climbs
# out of any folder to the same place.
outside=$work/outside
mkdir "$outside"
/usr/bin/python3 - "$work" "$name" "$outside" <<'EOF'
import stat, sys, zipfile
work, name, outside = sys.argv[1:]
def hostile(zip_name, *entries):  # (entry name, link target or None)
    with zipfile.ZipFile(f"{work}/{zip_name}", "w") as archive:
        for entry, target in entries:
            info = zipfile.ZipInfo(entry)
            info.external_attr = ((stat.S_IFLNK | 0o777) if target else (stat.S_IFREG | 0o644)) << 16
            archive.writestr(info, target or "planted\n")
hostile("through-link.zip", (f"{name}/logs", outside), (f"{name}/logs/planted", None))
hostile("link.zip", (f"{name}/BUILDINFO", f"{outside}/BUILDINFO"))
hostile("absolute.zip", (f"{outside}/planted", None))
hostile("climbing.zip", (f"{name}/{'../' * 32}{outside[1:]}/planted", None))
EOF
# A tool that fails as if missing or broken: it must not pass for "unsigned".
mkdir "$work/failing-tool"
printf '#!/bin/sh\nexit 1\n' >"$work/failing-tool/osslsigncode"
chmod +x "$work/failing-tool/osslsigncode"

# environment (variables joined by commas, - for none), zip, the exit status it must give,
# how its line must begin
while read -r environment zip status verdict; do
  set +e
  variables=${environment/#-/}
  # shellcheck disable=SC2086 # the variables, one word each
  line=$(env ${variables//,/ } bash "$source/tools/verify-release.sh" "$work/$zip")
  actual=$?
  set -e
  echo "$zip ($environment): $line (exit $actual)"
  [ "$actual" = "$status" ] && [[ $line == "$verdict"* ]]
  [ -z "$(ls -A "$outside")" ] || { echo "written outside the zip's folder: $(ls "$outside")"; exit 1; }
done <<EOF
- as-built.zip 0 reproduced: zarvel-uri.exe
- signed.zip 0 reproduced: signed zarvel-uri.exe
- changed.zip 1 differs: zarvel-uri.exe
- sbom-changed.zip 1 differs: zarvel-uri.cdx.json names the image sha256 0000
- signed-changed.zip 1 differs: zarvel-uri.exe's bytes
- no-buildinfo.zip 2 cannot check:
- through-link.zip 2 cannot check: $work/through-link.zip is not unpacked: $name/logs is a link
- link.zip 2 cannot check: $work/link.zip is not unpacked: $name/BUILDINFO is a link
- absolute.zip 2 cannot check: $work/absolute.zip is not unpacked: $outside/planted names a file
- climbing.zip 2 cannot check: $work/climbing.zip is not unpacked: $name/../../
CFLAGS=-O0,CXXFLAGS=-O0,CPPFLAGS=-DTAMPERED,LDFLAGS=-s as-built.zip 0 reproduced: zarvel-uri.exe
PATH=$work/failing-tool:$PATH signed.zip 2 cannot check: the signature of zarvel-uri.exe
EOF
rm -rf "$work"
