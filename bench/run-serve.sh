#!/bin/sh
# Serving benchmark: linear and random-access frame serving on 1080p H.264, against
# ffmpeg's linear decode and against FFMS2, at 1 and 8 decoder threads. Run by hand:
#
#   bench/run-serve.sh [BUILD_DIR]      (default build/release, already built)
#
# Needs ffmpeg, x264, python3 and Debian's libffms2-dev (for the comparison program,
# compiled here). Streams and results go to BUILD_DIR/bench-serve/.
set -e
cd "$(dirname "$0")/.."
BUILD=$(realpath "${1:-build/release}")
WORK=$BUILD/bench-serve
mkdir -p "$WORK"
FRAMES=600
REQUESTS=300
SEED=20261209
FF="ffmpeg -hide_banner -loglevel error -y"

for tool in ffmpeg x264 python3 pkg-config; do
  command -v $tool >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
pkg-config --exists ffms2 || { echo "missing libffms2-dev" >&2; exit 1; }
for f in lib/libtessivar.so lib/halvern bin/tessivar-host bin/tessivar-serve-bench; do
  [ -e "$BUILD/$f" ] || { echo "missing $BUILD/$f: build the tree first" >&2; exit 1; }
done

g++ -O2 -std=c++20 bench/serve_ffms2.cpp $(pkg-config --cflags --libs ffms2 libavutil) -o "$WORK/serve-ffms2"
gcc -O2 -shared -fPIC bench/decoder_threads_shim.c -o "$WORK/decoder-threads.so"

# 1080p25, 600 frames, GOP 48, 3 B-frames; mild noise so the decoder has real work.
make_stream() {  # NAME EXTRA_X264_OPTIONS
  [ -s "$WORK/$1.264" ] && return
  $FF -f lavfi -i "testsrc2=size=1920x1080:rate=25,noise=alls=4:allf=t" -frames:v $FRAMES \
      -pix_fmt yuv420p -f yuv4mpegpipe - |
    x264 --quiet --no-progress --demuxer y4m --preset fast --crf 23 --threads 4 --keyint 48 --min-keyint 48 \
         --no-scenecut --bframes 3 --b-adapt 0 $2 -o "$WORK/$1.264" -
}
make_stream avc_closed ""
make_stream avc_open "--open-gop"

python3 - "$SEED" "$FRAMES" "$REQUESTS" > "$WORK/random.txt" <<'EOF'
import random, sys
seed, frames, requests = map(int, sys.argv[1:])
rng = random.Random(seed)
print("\n".join(str(rng.randrange(frames)) for _ in range(requests)))
EOF
seq 0 $((FRAMES - 1)) > "$WORK/linear.txt"

seconds() {  # elapsed seconds of a command
  python3 -c 'import subprocess, sys, time
t = time.monotonic(); subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL); print("%.3f" % (time.monotonic() - t))' "$@"
}

ROWS=$WORK/rows.txt
: > "$ROWS"
for name in avc_closed avc_open; do
  stream=$WORK/$name.264
  [ -s "$stream.vqi" ] || "$BUILD/lib/halvern" -i "$stream" -o "$stream.vqi" -a >/dev/null
  [ -s "$WORK/$name.ref" ] ||
    $FF -i "$stream" -fps_mode passthrough -f framemd5 -pix_fmt yuv420p - | grep -v '^#' |
      awk -F', *' '{print NR-1, $6}' > "$WORK/$name.ref"
  for threads in 1 8; do
    ffmpeg_s=$(seconds ffmpeg -hide_banner -loglevel error -threads $threads -i "$stream" -f null -)
    host_s=$(BENCH_DECODER_THREADS=$threads LD_PRELOAD="$WORK/decoder-threads.so" seconds "$BUILD/bin/tessivar-host" --vqi "$stream.vqi" --silent true --y4m /dev/null)
    BENCH_DECODER_THREADS=$threads LD_PRELOAD="$WORK/decoder-threads.so" "$BUILD/bin/tessivar-serve-bench" "$stream.vqi" "$WORK/random.txt" \
      "$WORK/$name.ours.$threads.md5" > "$WORK/$name.ours.$threads.txt"
    "$WORK/serve-ffms2" "$stream" $threads "$WORK/random.txt" "$WORK/$name.ffms2.$threads.md5" \
      > "$WORK/$name.ffms2.$threads.txt"
    echo "$name $threads $ffmpeg_s $host_s $(cat "$WORK/$name.ours.$threads.txt") $(cat "$WORK/$name.ffms2.$threads.txt")" >> "$ROWS"
  done
done

python3 - "$WORK" "$FRAMES" <<'EOF'
import sys
work, frames = sys.argv[1], int(sys.argv[2])

def gop_starts(vqi):
    """First coded frame of each GOP and the slice type of every coded frame."""
    firsts, slices = [], []
    for line in open(vqi, errors="replace"):
        if line.startswith(("I ", "IDR", "RPS")):
            if not firsts or firsts[-1] != len(slices):
                firsts.append(len(slices))
        elif "FRM" in line and firsts:
            slices.append(int(line.split()[1]))
    return firsts, slices

def pictures_per_request(vqi, requests):
    """Decoder outputs from the chosen GOP start up to the target (one coded frame
    per display frame): the work a request cannot avoid."""
    firsts, slices = gop_starts(vqi)
    total = 0
    for n in requests:
        g = max(i for i, f in enumerate(firsts) if f <= n)
        if g > 0 and slices[firsts[g]] in (1, 6):
            g -= 1
        total += n - firsts[g] + 1
    return total / len(requests)

def mismatches(md5s, ref):
    bad = 0
    for line in open(md5s):
        n, digest = line.split()
        bad += ref.get(int(n)) != digest
    return bad

requests = [int(x) for x in open(f"{work}/random.txt")]
print(f"{'stream':<11} {'thr':>3} | {'ffmpeg fps':>10} {'host fps':>9} {'ratio':>6} | "
      f"{'pics/req':>8} {'ideal fps':>9} {'ours fps':>8} {'/ideal':>6} {'miss':>4} | "
      f"{'ffms2 fps':>9} {'/ideal':>6} {'miss':>4}")
for row in open(f"{work}/rows.txt"):
    f = row.split()
    name, threads, ffmpeg_s, host_s = f[0], int(f[1]), float(f[2]), float(f[3])
    ours_fps, ffms_fps = float(f[9]), float(f[15])
    ref = {int(a): b for a, b in (l.split() for l in open(f"{work}/{name}.ref"))}
    ffmpeg_fps, host_fps = frames / ffmpeg_s, frames / host_s
    ppr = pictures_per_request(f"{work}/{name}.264.vqi", requests)
    ideal = ffmpeg_fps / ppr
    print(f"{name:<11} {threads:>3} | {ffmpeg_fps:>10.1f} {host_fps:>9.1f} {host_fps / ffmpeg_fps:>6.2f} | "
          f"{ppr:>8.1f} {ideal:>9.2f} {ours_fps:>8.2f} {ours_fps / ideal:>6.2f} "
          f"{mismatches(f'{work}/{name}.ours.{threads}.md5', ref):>4} | "
          f"{ffms_fps:>9.2f} {ffms_fps / ideal:>6.2f} {mismatches(f'{work}/{name}.ffms2.{threads}.md5', ref):>4}")
EOF
