#!/usr/bin/env bash
# Two clean builds of the same sources, in different folders and at
# different times, must give the same image and the same bill of materials,
# byte for byte. The copies carry the repository, so that both name the same
# commit.
#   reproducible_build.sh SOURCE_DIR PRESET WORK_DIR
set -euo pipefail
source=$1 preset=$2 work=$3
rm -rf "$work"
mkdir -p "$work"

build_in() {  # folder; prints the SHA-256 of the image and of the bill of materials
  local tree=$work/$1
  mkdir -p "$tree"
  tar -C "$source" --exclude=./build --exclude=./tools/npm/node_modules -cf - . |
    tar -C "$tree" -xf -
  cmake -S "$tree" --preset "$preset" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$tree/build/$preset" --target zarvel-uri >/dev/null
  cmake --install "$tree/build/$preset" --prefix "$tree/installed" >/dev/null
  sha256sum "$tree/installed/zarvel-uri.exe" "$tree/installed/zarvel-uri.cdx.json" |
    cut -d' ' -f1 | paste -sd' '
}

first=$(build_in first)
sleep 2
second=$(build_in second-build-elsewhere)
echo "first build:  $first"
echo "second build: $second"
rm -rf "$work"
[ "$first" = "$second" ]
