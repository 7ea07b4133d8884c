#!/bin/bash
# Runs every test: installs what is missing (as root, on Debian), builds all three builds,
# then the native tests, the scenario suite on the simulated machine and under Wine, and the
# static checks. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
tools/wine/prepare.sh
tools/build.sh

echo "== static checks"
tools/check-style.sh

echo "== the Windows executables"
tests/resources/check_pe.py build/win64/setup.exe build/win32/setup.exe

echo "== native tests and the scenario suite on the simulated machine"
ctest --test-dir build/native --output-on-failure -j"$(nproc)"

echo "== scenario suite: real setup.exe under Wine"
tests/scenarios/run-suite --side wine
