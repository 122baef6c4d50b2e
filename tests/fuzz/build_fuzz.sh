#!/bin/sh
# Builds every fuzz target of targets.cmake, with its seeds, in a clang tree
# (libFuzzer + AddressSanitizer + UndefinedBehaviorSanitizer).
# Usage: tests/fuzz/build_fuzz.sh [TREE]   (default build/fuzz)
# The targets land in TREE/bin, their seeds in TREE/seeds/TARGET.
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
tree=${1:-$root/build/fuzz}
cmake -S "$root" -B "$tree" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIVAR_FUZZ=ON -DTESSIVAR_TESTS=OFF >/dev/null
cmake --build "$tree" -j "${JOBS:-4}"
echo "fuzz targets built in $tree/bin"
