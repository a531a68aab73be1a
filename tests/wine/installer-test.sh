#!/usr/bin/env bash
# Builds an example installer from this build's zarvel-uri.exe, with the URI
# receiver standing in for the application, then runs its Wine test.
#   installer-test.sh nsis|msi SOURCE_DIR BUILD_DIR x86|x64 WINE_RUN... TEST_PROGRAM
set -euo pipefail
engine=$1 source=$2 build=$3 arch=$4
shift 4

stage=$build/installers/$engine
rm -rf "$stage"
mkdir -p "$stage"
cp "$build/uri_receiver.exe" "$stage/zarvel.exe"
cp "$build/zarvel-uri.exe" "$stage/zarvel-uri.exe"
cd "$stage"
case $engine in
  nsis)
    cp "$source/examples/nsis/zarvel.nsi" .
    if [ "$arch" = x64 ]; then makensis -V2 -DWIN64 zarvel.nsi; else makensis -V2 zarvel.nsi; fi
    test_name=Nsis
    ;;
  msi)
    cp "$source/examples/wix/zarvel.wxs" .
    wixl -a "$arch" -D Arch="$arch" -o zarvel.msi zarvel.wxs
    test_name=Msi
    ;;
esac
exec "$@" --gtest_filter="InstallerTest.$test_name"
