#!/bin/sh
# Runs the Matroska reader fuzz target on a seed corpus made of the reader's test files.
# Usage: tests/fuzz/run_fuzz.sh BUILD_DIR [SECONDS]
#   BUILD_DIR: a build tree whose ctest run generated tests/matroska/mkv_corpus (e.g. build/release)
# Findings (crash-*, leak-*, timeout-*) land in build/fuzz/; each one gets a regression test.
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?build tree}
seconds=${2:-600}
out=$root/build/fuzz
"$root/tests/fuzz/build_fuzz.sh" "$out"
mkdir -p "$out/seeds" "$out/corpus"
for f in "$build"/tests/matroska/mkv_corpus/*.mkv; do
  name=$(basename "$f")
  [ "$name" = avc_long.mkv ] && continue  # several MB: too slow per run
  cp "$f" "$out/seeds/$name"
  head -c 60000 "$f" > "$out/seeds/head_$name"
done
cd "$out"
./mkv_reader_fuzz -max_len=200000 -max_total_time="$seconds" -rss_limit_mb=2048 \
  -print_final_stats=1 corpus seeds
