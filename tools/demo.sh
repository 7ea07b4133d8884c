#!/bin/bash
# Builds everything, lays out the sample package in C:\dl of a fresh simulated machine and runs
# the setup program there as a user would start it, then shows what it left on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
tools/build.sh >/dev/null
tools/package/make-package.py build build/package

machine=build/demo-machine
rm -rf "$machine"
mkdir -p "$machine/drive_c/dl" "$machine/drive_c/Windows/system32" "$machine/drive_c/Windows/Fonts"
cp build/package/* "$machine/drive_c/dl/"

echo "== A fresh install: \"C:\\dl\\setup.exe\" started from C:\\dl on a Chinese (PRC) Windows"
status=0
build/native/setup-sim --machine "$machine" --cwd 'C:\dl' -- '"C:\dl\setup.exe"' || status=$?

echo
echo "== Afterwards"
echo "system directory: $(ls "$machine/drive_c/Windows/system32" | tr '\n' ' ')"
echo "font directory:   $(ls "$machine/drive_c/Windows/Fonts" | tr '\n' ' ')"
echo "registry:"
tools/show-registry.py "$machine" 'quenlix\]' 'EUDC\\936\]' 'Keyboard Layouts\\'
echo "setup-sim exit code: $status"
