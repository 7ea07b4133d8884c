#!/bin/bash
# The program and its tools follow .clang-format, and cppcheck finds nothing in the program.
set -euo pipefail
cd "$(dirname "$0")/.."

sources=$(git ls-files '*.cpp' '*.h')
clang-format --dry-run -Werror $sources

cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability \
    --inline-suppr --std=c++17 --language=c++ -I winsim/include -I . \
    --suppress=missingIncludeSystem \
    setup install patch removal winsim/src tools/setup-sim
