#!/usr/bin/env bash
# Builds the release package and checks it: the sums file verifies, and the
# zip holds the image, its debug file, README and CHANGELOG.
#   package_test.sh BUILD_DIR PACKAGE_NAME
set -euo pipefail
build=$1 name=$2
rm -f "$build/$name.zip" "$build/$name.SHA256SUMS"
cmake --build "$build" --target package >/dev/null
cd "$build"
sha256sum -c "$name.SHA256SUMS"
expected="$name/CHANGELOG.md $name/README.md $name/zarvel-uri.exe $name/zarvel-uri.exe.debug"
actual=$(cmake -E tar tf "$name.zip" | sort | tr '\n' ' ' | sed 's/ $//')
echo "zip holds: $actual"
[ "$actual" = "$expected" ]
