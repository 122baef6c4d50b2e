#!/bin/sh
# Makes a 1080p Matroska file (once) and runs the reader benchmark on it.
# Usage: bench/matroska_bench.sh BUILD_DIR   (e.g. build/release)
set -e
build=${1:-build/release}
file=$build/bench/mkv_1080p.mkv
if [ ! -f "$file" ]; then
  mkdir -p "$(dirname "$file")"
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -t 60 \
    -c:v libx264 -preset ultrafast -g 50 -b:v 20M "$file.tmp.mkv"
  mkvmerge -q -o "$file" "$file.tmp.mkv"
  rm -f "$file.tmp.mkv"
fi
"$build/bin/matroska_read_bench" "$file" 1
