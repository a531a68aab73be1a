#!/usr/bin/env bash
# Builds the release package and checks it: the sums file verifies; the zip
# holds the image, its debug file, README, docs/, CHANGELOG, LICENSE, the notices,
# BUILDINFO and the bill of materials; the notices name every library and
# start-up object that the release program reads in the link map; CycloneDX's
# library accepts the bill of materials, which names the notices' packages
# and BUILDINFO's image (and a copy naming another image or lacking a package
# is caught). verifier_test.py then runs the verifier on the package.
#   package_test.sh SOURCE_DIR BUILD_DIR PACKAGE_NAME
set -euo pipefail
source=$1 build=$2 name=$3
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
# The release step refuses a tree with an untracked file among what it packs,
# whose BUILDINFO would say that the tree had no uncommitted changes.
git clone --quiet --no-local "$source" "$work/untracked"
echo "notes" >"$work/untracked/docs/notes.md"
if /usr/bin/python3 -I "$source/tools/release_info.py" "$work" none "$work/untracked" "$build" \
     0 none none none README.md,CHANGELOG.md,LICENSE,docs none 2>"$work/untracked.txt"; then
  echo "a tree with an untracked doc was packaged"
  exit 1
fi
cat "$work/untracked.txt"
grep -q "docs/notes.md is not tracked by git" "$work/untracked.txt"
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && cmake -E tar xf "$build/$name.zip")
notices=$work/$name/THIRD-PARTY-NOTICES.txt
# Every library and start-up object of another package, as the program reads the map.
/usr/bin/python3 -I - "$source/tools" zarvel-uri.map "$source" "$build" \
  >"$work/linked.txt" <<'EOF'
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

# The release step refuses a tree with an untracked file among what it packs,
# whose BUILDINFO would say that the tree had no uncommitted changes.
git clone --quiet --no-local "$source" "$work/untracked"
echo "notes" >"$work/untracked/docs/notes.md"
if /usr/bin/python3 -I "$source/tools/release_info.py" "$work" none "$work/untracked" "$build" \
     0 none none none README.md,CHANGELOG.md,LICENSE,docs none 2>"$work/untracked.txt"; then
  echo "a tree with an untracked doc was packaged"
  exit 1
fi
cat "$work/untracked.txt"
grep -q "docs/notes.md is not tracked by git" "$work/untracked.txt"
rm -rf "$work"
