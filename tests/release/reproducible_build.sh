#!/usr/bin/env bash
# A fresh build of the same sources, in another folder and later, must give
# the package this build made, byte for byte: image, debug file, notices,
# BUILDINFO, bill of materials and the zip around them. The copy carries the
# repository, so that both name the same commit and the same tree state.
#   reproducible_build.sh SOURCE_DIR PRESET BUILD_DIR PACKAGE_NAME WORK_DIR
set -euo pipefail
source=$1 preset=$2 build=$3 name=$4 work=$5
rm -rf "$work"
mkdir -p "$work"
tar -C "$source" --exclude=./build --exclude=./tools/npm/node_modules -cf - . |
  tar -C "$work" -xf -
cmake -S "$work" --preset "$preset" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/build/$preset" --target package >/dev/null
sha256sum "$build/$name.zip" "$work/build/$preset/$name.zip"
cmp "$build/$name.zip" "$work/build/$preset/$name.zip"
rm -rf "$work"
