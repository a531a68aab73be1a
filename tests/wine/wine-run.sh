#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix of its own.
#   wine-run.sh PREFIX LOADER --boot        make a fresh prefix
#   wine-run.sh PREFIX LOADER --stop        end the prefix's wineserver
#   wine-run.sh PREFIX LOADER PROGRAM ARGS  run a program there
# Exits 77 (a skip for CTest) where this machine cannot execute LOADER: a
# kernel without 32-bit x86 support, before tools/install-deps.sh has set up
# qemu for it. tools/test.sh counts a skip as a failure.
set -euo pipefail
prefix=$1 loader=$2
shift 2
# ZARVEL_WINEDEBUG turns on Wine's trace channels for a run, as WINEDEBUG
# would; ZARVEL_WINEDLLOVERRIDES adds to the DLL load order; a run reads its
# input from the file ZARVEL_WINE_INPUT names, or from nothing, and is ended
# after ZARVEL_WINE_TIMEOUT seconds, if set (exit status 124).
export WINEPREFIX=$prefix WINEDEBUG=${ZARVEL_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=${ZARVEL_WINEDLLOVERRIDES:+;$ZARVEL_WINEDLLOVERRIDES}"
# The loader must match the prefix; the wineserver follows the loader.
export WINELOADER=$loader

if ! "$loader" --version >/dev/null 2>&1; then
  echo "skipped: this machine cannot execute $loader" >&2
  exit 77
fi

case "${1:-}" in
  --boot)
    if [ -d "$prefix" ]; then wineserver -k 2>/dev/null || true; fi
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # A server kept running until --stop, so that each test need not start
    # one. It and Wine's services outlive this script: none of them may hold
    # CTest's output pipe.
    wineserver -p </dev/null >"$prefix/boot.log" 2>&1
    "$loader" wineboot -i </dev/null >>"$prefix/boot.log" 2>&1 || { cat "$prefix/boot.log" >&2; exit 1; }
    ;;
  --stop)
    if [ -d "$prefix" ]; then wineserver -k 2>/dev/null || true; fi
    ;;
  *)
    # Wine starts helpers on demand (the shell's, the installer service's)
    # that inherit the program's output and outlive it. CTest waits until its
    # output pipe closes, so the output goes through a file instead.
    output=$(mktemp) errors=$(mktemp)
    status=0
    bound=()
    [ -n "${ZARVEL_WINE_TIMEOUT:-}" ] && bound=(timeout "$ZARVEL_WINE_TIMEOUT")
    input=${ZARVEL_WINE_INPUT:-/dev/null}
    "${bound[@]}" "$loader" "$@" >"$output" 2>"$errors" <"$input" || status=$?
    cat "$output"
    cat "$errors" >&2
    rm -f "$output" "$errors"
    exit "$status"
    ;;
esac
