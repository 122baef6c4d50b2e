#!/bin/sh
# Opening a Matroska file whose Cues hold 500,000 CuePoints out of order (a 6-second
# H.264 file, about 7 MB): the plug-in's open must stay well under a second.
# Usage: bench/matroska_cues_bench.sh [BUILD_DIR]   (default build/release, already built)
set -e
cd "$(dirname "$0")/.."
BUILD=$(realpath "${1:-build/release}")
WORK=$BUILD/bench-mkv-cues
mkdir -p "$WORK"
if [ ! -s "$WORK/crafted_cues.mkv" ]; then
  python3 - "$WORK" <<'PY'
import os, sys
sys.path.insert(0, "tests/accuracy_mkv")
import make_mkv_corpus as corpus
work = sys.argv[1]
corpus.x264_mkv(os.path.join(work, "plain.mkv"))
corpus.rewrite(os.path.join(work, "plain.mkv"), os.path.join(work, "crafted_cues.mkv"),
               extra_cues=corpus.crafted_cues(500000))
PY
fi
"$BUILD/bin/matroska_open_bench" "$WORK/plain.mkv" 5
"$BUILD/bin/matroska_open_bench" "$WORK/crafted_cues.mkv" 5
