#!/usr/bin/env bash
# Builds an example installer twice from this build's zarvel-uri.exe, with the
# URI receiver standing in for the application: as an earlier version and as
# VERSION. Then runs its Wine test, which upgrades from one to the other.
#   installer-test.sh nsis|msi SOURCE_DIR BUILD_DIR x86|x64 VERSION WINE_RUN... TEST_PROGRAM
set -euo pipefail
engine=$1 source=$2 build=$3 arch=$4 version=$5
shift 5
# The version upgraded from: any earlier one will do.
export ZARVEL_EARLIER_VERSION=0.9.0 ZARVEL_VERSION=$version

for stage_version in "$ZARVEL_EARLIER_VERSION" "$ZARVEL_VERSION"; do
  stage=$build/installers/$engine/$stage_version
  rm -rf "$stage"
  mkdir -p "$stage"
  cp "$build/uri_receiver.exe" "$stage/zarvel.exe"
  # Trailing bytes, which Windows ignores, tell the earlier files from the later ones.
  [ "$stage_version" = "$ZARVEL_VERSION" ] || echo "version $stage_version" >>"$stage/zarvel.exe"
  cp "$build/zarvel-uri.exe" "$stage/zarvel-uri.exe"
  case $engine in
    nsis)
      cp "$source/examples/nsis/zarvel.nsi" "$stage"
      defines=(-DVERSION="$stage_version")
      [ "$arch" = x64 ] && defines+=(-DWIN64)
      (cd "$stage" && makensis -V2 "${defines[@]}" zarvel.nsi)
      test_name=Nsis
      ;;
    msi)
      cp "$source/examples/wix/zarvel.wxs" "$stage"
      (cd "$stage" &&
        wixl -a "$arch" -D Version="$stage_version" -D Arch="$arch" -o zarvel.msi zarvel.wxs)
      test_name=Msi
      ;;
  esac
done
exec "$@" --gtest_filter="InstallerTest.$test_name"
