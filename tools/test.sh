#!/bin/bash
# Runs every test: installs what is missing (as root, on Debian), builds all three builds,
# then the static checks, the native tests, the scenario suite on the simulated machine and
# under Wine, the fault sweep, the native tests and the sweep again under the sanitizers, and
# the fuzz targets for a bounded time. Exits non-zero on any failure.
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

started=$SECONDS
echo "== fault sweep: every platform call of every scenario failing in turn"
tests/sweep/run-sweep --build build/native
echo "(fault sweep: $((SECONDS - started)) s)"

started=$SECONDS
echo "== native tests and the fault sweep under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all" >/dev/null
cmake --build build/asan -j"$(nproc)" >/dev/null
if ! ctest --test-dir build/asan --output-on-failure -j"$(nproc)" >build/asan/ctest.log 2>&1; then
    cat build/asan/ctest.log
    exit 1
fi
grep -E '^[0-9]+% tests passed' build/asan/ctest.log
tests/sweep/run-sweep --build build/asan
echo "(sanitizers: $((SECONDS - started)) s)"

started=$SECONDS
echo "== fuzzing: the patch applier, the patch maker and the command line"
tests/fuzz/run.sh
echo "(fuzzing: $((SECONDS - started)) s)"
