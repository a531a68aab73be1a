#!/usr/bin/env bash
# Builds an example installer twice from this build's zarvel-uri.exe, with the
# URI receiver standing in for the application: as an earlier version and as
# VERSION (the MSI also as a per-user package). Then runs the engine's rows of
# the Wine test: upgrading from one to the other, uninstalling after another
# application claimed the scheme, installing for the current user only.
#   installer-test.sh nsis|msi|inno SOURCE_DIR BUILD_DIR x86|x64 VERSION WINE_RUN... TEST_PROGRAM
# Inno: ZARVEL_ISCC names the Inno Setup compiler, ISCC.exe, which runs under
# Wine too. Inno's setup and uninstaller need an X display even when silent:
# the test starts its own Xvfb.
set -euo pipefail
engine=$1 source=$2 build=$3 arch=$4 version=$5
shift 5
wine_run=("${@:1:$#-1}")
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
        wixl -a "$arch" -D Version="$stage_version" -D Arch="$arch" -o zarvel.msi zarvel.wxs &&
        wixl -a "$arch" -D Version="$stage_version" -D Arch="$arch" -D Scope=perUser \
          -o zarvel-user.msi zarvel.wxs)
      test_name=Msi
      ;;
    inno)
      if [ ! -f "${ZARVEL_ISCC:-}" ]; then
        echo "no Inno Setup compiler at '${ZARVEL_ISCC:-}': run tools/install-deps.sh" >&2
        exit 1
      fi
      cp "$source/examples/inno/zarvel.iss" "$stage"
      (cd "$stage" && "${wine_run[@]}" "$ZARVEL_ISCC" /Q /DVERSION="$stage_version" zarvel.iss)
      test_name=Inno
      ;;
  esac
done

if [ "$engine" = inno ]; then
  # Wine's desktop keeps the display it started with, so the prefix's server
  # ends before and after: the desktop starts on this Xvfb, and nothing is left
  # bound to it once it has gone.
  "${wine_run[@]}" --stop
  displays=$(mktemp)
  Xvfb -displayfd 3 -nolisten tcp 3>"$displays" 2>"$build/installers/xvfb.log" &
  xvfb=$!
  trap '"${wine_run[@]}" --stop; kill "$xvfb"; wait "$xvfb" 2>/dev/null; rm -f "$displays"' EXIT
  for _ in $(seq 100); do [ -s "$displays" ] && break; sleep 0.1; done
  [ -s "$displays" ] || { cat "$build/installers/xvfb.log" >&2; exit 1; }
  DISPLAY=:$(cat "$displays")
  export DISPLAY
fi
# Not exec: the trap must run after it.
"$@" --gtest_filter="Rows/InstallerTest.Runs/${test_name}_*"
