#!/bin/bash
# Builds the program three times: natively against the simulated Windows (build/native,
# with setup-sim and the tests), and as real Windows executables (build/win64, build/win32).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native -j"$jobs"
for arch in win64:x86_64 win32:i686; do
    dir=${arch%%:*}
    cmake --no-warn-unused-cli -S . -B "build/$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-${arch##*:}.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "build/$dir" -j"$jobs"
done
