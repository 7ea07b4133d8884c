#!/usr/bin/env bash
# Times big5patch against cmp -l, xdelta3 and bsdiff on generated module pairs and prints a
# Markdown table. Usage: tools/big5patch/bench/run.sh [SIZES_MIB...]   (default: 1 64 256)
# Work files go to build/big5patch-bench (or $BENCH_DIR) and are removed at the end; the table
# is also left there as results.md.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
work=${BENCH_DIR:-$root/build/big5patch-bench}

missing=()
command -v xdelta3 >/dev/null || missing+=(xdelta3)
command -v bsdiff >/dev/null || missing+=(bsdiff)
[ -x /usr/bin/time ] || missing+=(time)
command -v python3 >/dev/null || missing+=(python3)
command -v "${CXX:-g++}" >/dev/null || missing+=(g++)
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    # Refresh the package lists only when one of the packages is not known yet.
    for package in "${missing[@]}"; do
        if ! apt-cache policy "$package" 2>/dev/null | grep -q 'Candidate: [0-9]'; then
            $sudo apt-get update
            break
        fi
    done
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
fi

mkdir -p "$work"
# The tool as a packager would build it, optimised; only the shared format code besides.
"${CXX:-g++}" -std=c++17 -O2 -Wall -Wextra -Werror -I"$root" -I"$root/winsim/include" \
    "$root/patch/big5_format.cpp" "$root/patch/big5_make.cpp" "$root"/tools/big5patch/*.cpp \
    -o "$work/big5patch"

python3 "$here/bench.py" "$work" "$@"
