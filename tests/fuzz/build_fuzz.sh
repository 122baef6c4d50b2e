#!/bin/sh
# Builds the Matroska reader fuzz target with clang (libFuzzer + ASan + UBSan).
# Usage: tests/fuzz/build_fuzz.sh [OUTPUT_DIR]   (default build/fuzz)
# Run:   OUTPUT_DIR/mkv_reader_fuzz -max_len=200000 CORPUS_DIR SEED_DIR...
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-$root/build/fuzz}
mkdir -p "$out"
flags="-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -Wall -Wextra"
clang++ $flags -I"$root/matroska" \
  "$root"/matroska/*.cpp "$root/tests/fuzz/mkv_reader_fuzz.cpp" -o "$out/mkv_reader_fuzz"
echo "built $out/mkv_reader_fuzz"
