#!/bin/sh
# Serving benchmark for MPEG-2: a 1080i transport stream with open GOPs of 15 (two B
# pictures between anchors, leading B pictures at every GOP start). Linear serving
# against ffmpeg's decode at the same thread count; random access against the ideal
# rate (ffmpeg's decode speed divided by the pictures a request must decode) and
# against FFMS2; wrong frames of both. Run by hand:
#
#   bench/serve_mpeg2.sh [BUILD_DIR]      (default build/release, already built)
#
# Needs ffmpeg, python3 and Debian's libffms2-dev (the comparison program of
# bench/serve_ffms2.cpp is compiled here). Streams and results go to
# BUILD_DIR/bench-serve-mpeg2/.
set -e
cd "$(dirname "$0")/.."
BUILD=$(realpath "${1:-build/release}")
WORK=$BUILD/bench-serve-mpeg2
mkdir -p "$WORK"
FRAMES=600
REQUESTS=300
SEED=20261209
FF="ffmpeg -hide_banner -loglevel error -y"

for tool in ffmpeg python3 pkg-config; do
  command -v $tool >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
pkg-config --exists ffms2 || { echo "missing libffms2-dev" >&2; exit 1; }
for f in lib/libtessivar.so lib/halvern bin/tessivar-serve-bench; do
  [ -e "$BUILD/$f" ] || { echo "missing $BUILD/$f: build the tree first" >&2; exit 1; }
done

g++ -O2 -std=c++20 bench/serve_ffms2.cpp $(pkg-config --cflags --libs ffms2 libavutil) -o "$WORK/serve-ffms2"
gcc -O2 -shared -fPIC bench/decoder_threads_shim.c -o "$WORK/decoder-threads.so"

# 1080i25 (two fields from 50p, top field first), 600 frames, open GOPs of 15 with two
# B pictures, interlaced coding; mild noise so the decoder has real work.
name=m2v_1080i
stream=$WORK/$name.ts
if [ ! -s "$stream" ]; then
  $FF -f lavfi -i "testsrc2=size=1920x1080:rate=50,noise=alls=4:allf=t,tinterlace=mode=interleave_top,setfield=tff" \
      -frames:v $FRAMES -pix_fmt yuv420p -c:v mpeg2video -b:v 15M -maxrate 20M -bufsize 9781248 \
      -g 15 -bf 2 -flags +ilme+ildct -top 1 -threads 4 -f mpegts "$stream"
fi

python3 - "$SEED" "$FRAMES" "$REQUESTS" > "$WORK/random.txt" <<'PY'
import random, sys
seed, frames, requests = map(int, sys.argv[1:])
rng = random.Random(seed)
print("\n".join(str(rng.randrange(frames)) for _ in range(requests)))
PY
seq 0 $((FRAMES - 1)) > "$WORK/linear.txt"

seconds() {  # elapsed seconds of a command
  python3 -c 'import subprocess, sys, time
t = time.monotonic(); subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL); print("%.3f" % (time.monotonic() - t))' "$@"
}

[ -s "$stream.vqi" ] || "$BUILD/lib/halvern" -i "$stream" -o "$stream.vqi" -a >/dev/null
# Reference MD5s of ffmpeg's linear decode: plain (what FFMS2 must give) and with the
# hint stamp that every served frame carries in the low bits of its first 64 luma
# bytes (marker 0xDEADBEEF, then the record's number times 4, plus 1 for a
# progressive frame).
cat > "$WORK/reference_md5s.py" <<'PY'
import hashlib, sys
vqi, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
hints, record = [], -1
for line in open(vqi, errors="replace"):
    if line.startswith("SEQ "):
        record += 1
    elif "FRM" in line and record >= 0:
        hints.append(((record & 7) << 2) | (1 if line.split()[-1] == "1" else 0))
size = width * height * 3 // 2
plain, stamped = open(sys.argv[4], "w"), open(sys.argv[5], "w")
n = 0
while True:
    picture = sys.stdin.buffer.read(size)
    if len(picture) < size:
        break
    plain.write(f"{n} {hashlib.md5(picture).hexdigest()}\n")
    head = bytearray(picture[:64])
    for k in range(32):
        head[k] = (head[k] & ~1) | ((0xDEADBEEF >> k) & 1)
        head[32 + k] = (head[32 + k] & ~1) | ((hints[n] >> k) & 1)
    stamped.write(f"{n} {hashlib.md5(bytes(head) + picture[64:]).hexdigest()}\n")
    n += 1
PY
if [ ! -s "$WORK/$name.ref" ] || [ ! -s "$WORK/$name.ref.stamped" ]; then
  $FF -i "$stream" -fps_mode passthrough -f rawvideo -pix_fmt yuv420p - |
    python3 "$WORK/reference_md5s.py" "$stream.vqi" 1920 1080 "$WORK/$name.ref" "$WORK/$name.ref.stamped"
fi

ROWS=$WORK/rows.txt
: > "$ROWS"
for threads in 1 8; do
  ffmpeg_s=$(seconds ffmpeg -hide_banner -loglevel error -threads $threads -i "$stream" -f null -)
  BENCH_DECODER_THREADS=$threads LD_PRELOAD="$WORK/decoder-threads.so" "$BUILD/bin/tessivar-serve-bench" \
    "$stream.vqi" "$WORK/linear.txt" "$WORK/$name.linear.$threads.md5" > "$WORK/$name.linear.$threads.txt"
  BENCH_DECODER_THREADS=$threads LD_PRELOAD="$WORK/decoder-threads.so" "$BUILD/bin/tessivar-serve-bench" \
    "$stream.vqi" "$WORK/random.txt" "$WORK/$name.ours.$threads.md5" > "$WORK/$name.ours.$threads.txt"
  "$WORK/serve-ffms2" "$stream" $threads "$WORK/random.txt" "$WORK/$name.ffms2.$threads.md5" \
    > "$WORK/$name.ffms2.$threads.txt"
  echo "$name $threads $ffmpeg_s $(cat "$WORK/$name.linear.$threads.txt") $(cat "$WORK/$name.ours.$threads.txt") $(cat "$WORK/$name.ffms2.$threads.txt")" >> "$ROWS"
done

python3 - "$WORK" "$FRAMES" <<'PY'
import sys
work, frames = sys.argv[1], int(sys.argv[2])

def record_firsts(vqi):
    """First coded frame of every sequence record."""
    firsts, count = [], 0
    for line in open(vqi, errors="replace"):
        if line.startswith("SEQ "):
            firsts.append(count)
        elif "FRM" in line and firsts:
            count += 1
    return firsts

def pictures_per_request(vqi, requests):
    """Decoder outputs from the record a request starts at (always one before the
    target's own: its leading B pictures predict from it) up to the target."""
    firsts = record_firsts(vqi)
    total = 0
    for n in requests:
        g = max(i for i, f in enumerate(firsts) if f <= n)
        total += n - firsts[max(g - 1, 0)] + 1
    return total / len(requests)

def mismatches(md5s, ref):
    bad = 0
    for line in open(md5s):
        n, digest = line.split()
        bad += ref.get(int(n)) != digest
    return bad

def fps(fields):  # "frames N seconds S fps F"
    return float(fields[fields.index("fps") + 1])

requests = [int(x) for x in open(f"{work}/random.txt")]
print(f"{'stream':<10} {'thr':>3} | {'ffmpeg fps':>10} {'linear fps':>10} {'ratio':>6} {'miss':>4} | "
      f"{'pics/req':>8} {'ideal fps':>9} {'ours fps':>8} {'/ideal':>6} {'miss':>4} | "
      f"{'ffms2 fps':>9} {'/ideal':>6} {'miss':>4}")
for row in open(f"{work}/rows.txt"):
    f = row.split()
    name, threads, ffmpeg_s = f[0], int(f[1]), float(f[2])
    linear, ours, ffms = f[3:9], f[9:15], f[15:]
    ref = {int(a): b for a, b in (l.split() for l in open(f"{work}/{name}.ref"))}
    stamped = {int(a): b for a, b in (l.split() for l in open(f"{work}/{name}.ref.stamped"))}
    ffmpeg_fps = frames / ffmpeg_s
    ppr = pictures_per_request(f"{work}/{name}.ts.vqi", requests)
    ideal = ffmpeg_fps / ppr
    print(f"{name:<10} {threads:>3} | {ffmpeg_fps:>10.1f} {fps(linear):>10.1f} {fps(linear) / ffmpeg_fps:>6.2f} "
          f"{mismatches(f'{work}/{name}.linear.{threads}.md5', stamped):>4} | "
          f"{ppr:>8.1f} {ideal:>9.2f} {fps(ours):>8.2f} {fps(ours) / ideal:>6.2f} "
          f"{mismatches(f'{work}/{name}.ours.{threads}.md5', stamped):>4} | "
          f"{fps(ffms):>9.2f} {fps(ffms) / ideal:>6.2f} {mismatches(f'{work}/{name}.ffms2.{threads}.md5', ref):>4}")
PY
