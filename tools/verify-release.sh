#!/bin/sh
# Starts the verifier with Debian's own Python, isolated: neither the current
# folder, nor PYTHON* variables, nor the programs first on PATH have a say.
case $0 in */*) tools=${0%/*} ;; *) tools=. ;; esac
exec /usr/bin/python3 -I "$tools/verify_release.py" "$@"
