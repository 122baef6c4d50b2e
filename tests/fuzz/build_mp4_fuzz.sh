#!/bin/sh
# Builds the MP4 layer fuzz target with clang (libFuzzer + ASan + UBSan) and, given a
# build tree whose ctest run made its MP4 test files, runs it on them as seeds.
# Usage: tests/fuzz/build_mp4_fuzz.sh [BUILD_DIR [SECONDS]]
#   builds build/fuzz/mp4_layer_fuzz; with BUILD_DIR, seeds from BUILD_DIR/mp4_corpus
# Findings (crash-*, leak-*, timeout-*, oom-*) land in build/fuzz/.
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$root/build/fuzz
mkdir -p "$out"
flags="-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -Wall -Wextra"
clang++ $flags -I"$root" "$root"/platform/mp4/*.cpp "$root/tests/fuzz/mp4_layer_fuzz.cpp" \
  $(pkg-config --cflags --libs libavformat libavutil) -o "$out/mp4_layer_fuzz"
echo "built $out/mp4_layer_fuzz"
[ -n "$1" ] || exit 0
seconds=${2:-300}
mkdir -p "$out/mp4_seeds" "$out/mp4_corpus"
for f in "$1"/mp4_corpus/*.mp4; do
  [ "$(stat -c %s "$f")" -le 200000 ] && cp "$f" "$out/mp4_seeds/"
done
cd "$out"
# A file's tables never justify more than a few hundred MB: any larger allocation is
# a finding.
./mp4_layer_fuzz -max_len=200000 -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=512 \
  -print_final_stats=1 mp4_corpus mp4_seeds
