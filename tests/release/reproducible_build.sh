#!/usr/bin/env bash
# Two clean builds of the same sources, in different folders and at
# different times, must give the same image, byte for byte.
#   reproducible_build.sh SOURCE_DIR PRESET WORK_DIR
set -euo pipefail
source=$1 preset=$2 work=$3
rm -rf "$work"
mkdir -p "$work"

build_in() {  # folder; prints the image's SHA-256
  local tree=$work/$1
  mkdir -p "$tree"
  tar -C "$source" --exclude=./build --exclude=./.git --exclude=./tools/npm/node_modules -cf - . |
    tar -C "$tree" -xf -
  cmake -S "$tree" --preset "$preset" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$tree/build/$preset" --target zarvel-uri >/dev/null
  sha256sum "$tree/build/$preset/zarvel-uri.exe" | cut -d' ' -f1
}

first=$(build_in first)
sleep 2
second=$(build_in second-build-elsewhere)
echo "first build:  $first"
echo "second build: $second"
rm -rf "$work"
[ "$first" = "$second" ]
