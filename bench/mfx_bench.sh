#!/bin/sh
# Makes the 1080p streams (once) and runs the engine-versus-ffmpeg decode benchmark on them.
#   bench/mfx_bench.sh [BUILD_TREE]   (default build/release)
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)
TREE=${1:-$ROOT/build/release}
OUT=$TREE/bench/mfx_corpus
mkdir -p "$OUT"
FF="ffmpeg -nostdin -hide_banner -loglevel error -y"
SRC="-f lavfi -i testsrc=size=1920x1080:rate=25 -t 30"
[ -f "$OUT/avc_1080p_closed.264" ] || $FF $SRC -pix_fmt yuv420p -c:v libx264 -preset fast -crf 23 \
  -x264-params keyint=50:min-keyint=50:scenecut=0:bframes=3 "$OUT/avc_1080p_closed.264"
[ -f "$OUT/avc_1080p_open.264" ] || $FF $SRC -pix_fmt yuv420p -c:v libx264 -preset fast -crf 23 \
  -x264-params keyint=48:min-keyint=48:scenecut=0:bframes=3:b-adapt=0:open-gop=1 "$OUT/avc_1080p_open.264"
[ -f "$OUT/m2v_1080p.m2v" ] || $FF $SRC -pix_fmt yuv420p -c:v mpeg2video -q:v 4 -g 12 -bf 2 "$OUT/m2v_1080p.m2v"
[ -f "$OUT/m2v_1080i.m2v" ] || $FF $SRC -pix_fmt yuv420p -vf "tinterlace=mode=interleave_top,setfield=tff" \
  -c:v mpeg2video -q:v 4 -g 12 -bf 2 -flags +ilme+ildct -top 1 "$OUT/m2v_1080i.m2v"
cmake --build "$TREE" --target mfx_decode_bench -j4 >/dev/null
"$TREE/bin/mfx_decode_bench" "$OUT"/avc_1080p_closed.264 "$OUT"/avc_1080p_open.264 "$OUT"/m2v_1080p.m2v "$OUT"/m2v_1080i.m2v
