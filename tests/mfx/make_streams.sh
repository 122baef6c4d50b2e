#!/bin/sh
# Generates the few streams the engine tests need beyond the project's test corpus (a 4:2:2
# stream and two streams of other picture sizes), into the folder given as the first argument.
set -e
OUT=$1
mkdir -p "$OUT"
cd "$OUT"
STAMP="geq=lum='if(lt(Y,16),if(bitand(N,pow(2,floor(X/20))),235,16),p(X,Y))':cb='if(lt(Y,8),128,p(X,Y))':cr='if(lt(Y,8),128,p(X,Y))'"
FF="ffmpeg -nostdin -hide_banner -loglevel error -y"
src_p() { $FF -f lavfi -i testsrc2=size=${3:-320x240}:rate=${2:-25} -t $1 -vf "$STAMP" -pix_fmt yuv420p -f yuv4mpegpipe -; }
src_i() {
  m=interleave_top; [ "$2" = bff ] && m=interleave_bottom
  $FF -f lavfi -i testsrc2=size=${3:-320x240}:rate=50 -t $1 -vf "$STAMP,tinterlace=mode=$m,setfield=$2" -pix_fmt yuv420p -f yuv4mpegpipe -
}
X264="x264 --quiet --no-progress --demuxer y4m --preset fast --crf 28 --threads 1"

src_p 1 | $FF -i - -c:v mpeg2video -threads 1 -q:v 6 -pix_fmt yuv422p m2v_422.m2v
# Sequence changes: a smaller and a larger picture size to append to avc_prog_closed.264.
src_p 0.4 25 160x112 | $X264 --keyint 25 -o avc_small.264 -
src_p 0.4 25 640x480 | $X264 --keyint 25 -o avc_large.264 -
touch streams.done
