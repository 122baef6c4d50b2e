#!/bin/sh
# Serving benchmark, one run and one table: 1080p H.264 (closed and open GOPs of 48,
# three B-frames; raw and remuxed to MP4) and a 1080i MPEG-2 transport stream (open
# GOPs of 15, two B pictures), 600 frames each, at 1 and 8 decoder threads; and the
# open-GOP H.264 and the MPEG-2 stream remuxed to Matroska (rows avc_open_mkv,
# m2v_1080i_mkv).
#
# - linear: every frame served through tessivar-host (whole process, frames written
#   as Y4M to /dev/null) against `ffmpeg -threads N -i FILE -f null -` (whole process);
#   the two run by turns five times, the median of each kept. The served frames of a
#   second linear pass (tessivar-serve-bench) are checked against ffmpeg's decode.
# - random: 300 random frames (fixed seed) through GetFrame against the ideal rate,
#   ffmpeg's linear frames/s divided by the mean number of pictures a request must
#   decode: from the start of the request's GOP (the GOP before it for the leading
#   pictures of an open GOP) up to the target in decode order. A second ideal counts
#   from where this source filter starts by design: H.264 steps back one GOP when the
#   GOP opens with B pictures in output order, MPEG-2 always steps back one sequence
#   record. FFMS2 (Debian's libffms2-dev) serves the same requests.
# - bare: the same requests through libavformat and libavcodec alone
#   (tessivar-serve-bare): seek to this filter's start, flush, decode to the target at
#   the same thread count; /bare is ours over it.
# - miss: frames that differ from ffmpeg's linear decode (MD5 of the planes; the hint
#   stamp's 64 low bits are masked on both sides for this filter's frames).
# - cpu: user + system seconds per served frame of the linear runs, ffmpeg and host
#   (medians of the same five turns), FFMS2's linear frames/s over the same frames, and
#   the load average before and after the runs.
# - load: the one-minute load average as each row starts.
#
# The main table also goes to BUILD_DIR/bench-serve/serve.tsv (a header line naming the
# columns, then one line per stream and thread count).
#
#   bench/run-serve.sh [BUILD_DIR]      (default build/release, already built)
#
# SERVE_STREAMS (names without extension, e.g. "avc_closed m2v_1080i") and
# SERVE_THREADS (e.g. "8") restrict the table to those rows.
#
# Needs ffmpeg, ffprobe, x264, python3, mkvmerge (for the MP4 rows) and libffms2-dev (the comparison program is
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

for tool in ffmpeg ffprobe x264 python3 pkg-config; do
  command -v $tool >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
pkg-config --exists ffms2 || { echo "missing libffms2-dev" >&2; exit 1; }
for f in lib/libtessivar.so lib/halvern bin/tessivar-host bin/tessivar-serve-bench bin/tessivar-serve-bare; do
  [ -e "$BUILD/$f" ] || { echo "missing $BUILD/$f: build the tree first" >&2; exit 1; }
done

echo "load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) processors"
g++ -O2 -std=c++20 bench/serve_ffms2.cpp $(pkg-config --cflags --libs ffms2 libavutil) -o "$WORK/serve-ffms2"
gcc -O2 -shared -fPIC bench/decoder_threads_shim.c -o "$WORK/decoder-threads.so"

# Mild noise in every picture so the decoders have real work.
make_avc() {  # NAME EXTRA_X264_OPTIONS
  [ -s "$WORK/$1" ] && return
  $FF -f lavfi -i "testsrc2=size=1920x1080:rate=25,noise=alls=4:allf=t" -frames:v $FRAMES \
      -pix_fmt yuv420p -f yuv4mpegpipe - |
    x264 --quiet --no-progress --demuxer y4m --preset fast --crf 23 --threads 4 --keyint 48 --min-keyint 48 \
         --no-scenecut --bframes 3 --b-adapt 0 $2 -o "$WORK/$1" -
}
make_avc avc_closed.264 ""
make_avc avc_open.264 "--open-gop"
# 1080i25 (two fields from 50p, top field first), interlaced coding, sequence header
# at every GOP.
if [ ! -s "$WORK/m2v_1080i.ts" ]; then
  $FF -f lavfi -i "testsrc2=size=1920x1080:rate=50,noise=alls=4:allf=t,tinterlace=mode=interleave_top,setfield=tff" \
      -frames:v $FRAMES -pix_fmt yuv420p -c:v mpeg2video -b:v 15M -maxrate 20M -bufsize 9781248 \
      -g 15 -bf 2 -flags +ilme+ildct -top 1 -threads 4 -f mpegts "$WORK/m2v_1080i.ts"
fi
STREAMS="avc_closed.264 avc_open.264 m2v_1080i.ts"
# Matroska rows: the open-GOP H.264 and the MPEG-2 stream remuxed to .mkv.
if command -v mkvmerge >/dev/null; then
  [ -s "$WORK/avc_open_mkv.mkv" ] ||
    mkvmerge -q -o "$WORK/avc_open_mkv.mkv" --default-duration 0:25fps "$WORK/avc_open.264"
  [ -s "$WORK/m2v_1080i_mkv.mkv" ] || $FF -i "$WORK/m2v_1080i.ts" -map 0:v -c copy "$WORK/m2v_1080i_mkv.mkv"
  STREAMS="$STREAMS avc_open_mkv.mkv m2v_1080i_mkv.mkv"
else
  echo "mkvmerge missing: no Matroska rows" >&2
fi
# MP4 rows: the two H.264 streams remuxed to MP4 (through Matroska, which gives the
# samples their times), served from the .mp4 against its own decode and FFMS2 on it.
if command -v mkvmerge >/dev/null; then
  for avc in avc_closed avc_open; do
    if [ ! -s "$WORK/${avc}_mp4.mp4" ]; then
      mkvmerge -q -o "$WORK/$avc.mkv" --default-duration 0:25fps "$WORK/$avc.264"
      $FF -i "$WORK/$avc.mkv" -c copy -f mp4 "$WORK/${avc}_mp4.mp4"
    fi
  done
  STREAMS="$STREAMS avc_closed_mp4.mp4 avc_open_mp4.mp4"
else
  echo "mkvmerge missing: no MP4 rows" >&2
fi

if [ -n "$SERVE_STREAMS" ]; then
  chosen=
  for stream in $STREAMS; do
    case " $SERVE_STREAMS " in *" ${stream%.*} "*) chosen="$chosen $stream" ;; esac
  done
  STREAMS=$chosen
fi

python3 - "$SEED" "$FRAMES" "$REQUESTS" > "$WORK/random.txt" <<'EOF'
import random, sys
seed, frames, requests = map(int, sys.argv[1:])
rng = random.Random(seed)
print("\n".join(str(rng.randrange(frames)) for _ in range(requests)))
EOF
seq 0 $((FRAMES - 1)) > "$WORK/linear.txt"

# Reference MD5s of ffmpeg's decode in output order: plain, and with the low bit of
# the first 64 luma bytes cleared.
cat > "$WORK/reference_md5s.py" <<'EOF'
import hashlib, sys
width, height = int(sys.argv[1]), int(sys.argv[2])
size = width * height * 3 // 2
plain, masked = open(sys.argv[3], "w"), open(sys.argv[4], "w")
n = 0
while True:
    picture = sys.stdin.buffer.read(size)
    if len(picture) < size:
        break
    plain.write(f"{n} {hashlib.md5(picture).hexdigest()}\n")
    head = bytes(b & 0xFE for b in picture[:64])
    masked.write(f"{n} {hashlib.md5(head + picture[64:]).hexdigest()}\n")
    n += 1
EOF
# Where each random request starts decoding, as decode-order numbers: the exact minimum
# start, and the start this filter chooses (see the head of the script). Run as a
# program it writes "n target start" per request (the frame, its picture and this
# filter's start picture in decode order) for tessivar-serve-bare; the table imports it.
cat > "$WORK/serve_starts.py" <<'EOF'
import sys

def structure(work, name):
    """Per output picture: its decode-order number and whether it is a key picture."""
    coded, key = [], []
    for line in open(f"{work}/{name}.frames"):
        f = line.strip().split(",")
        if len(f) < 3 or not f[2].isdigit():
            continue  # side-data lines
        key.append(f[0] == "1")
        coded.append(int(f[2]))
    return coded, key

def starts(work, name, requests):
    """Per request: (n, decode no. of n, exact minimum start, this filter's start)."""
    coded, key = structure(work, name)
    keys = sorted((coded[n], n) for n in range(len(coded)) if key[n])  # (decode no., output no.)
    chosen = []
    for n in requests:
        g = max(i for i, (c, _) in enumerate(keys) if c <= coded[n])  # GOP in decode order
        members = [m for m in range(len(coded)) if keys[g][0] <= coded[m] < (keys[g + 1][0] if g + 1 < len(keys) else 1 << 30)]
        opens_with_b = min(members) < keys[g][1]
        s = g - 1 if g > 0 and n < keys[g][1] else g
        if name.startswith("m2v"):
            d = max(g - 1, 0)
        else:
            d = g - 1 if g > 0 and opens_with_b else g
        chosen.append((n, coded[n], keys[s][0], keys[d][0]))
    return chosen

def random_requests(work):
    return [int(x) for x in open(f"{work}/random.txt")]

if __name__ == "__main__":
    work, name = sys.argv[1:3]
    for n, target, _, start in starts(work, name, random_requests(work)):
        print(n, target, start)
EOF
for stream in $STREAMS; do
  name=${stream%.*}
  [ -s "$WORK/$stream.vqi" ] || "$BUILD/lib/halvern" -i "$WORK/$stream" -o "$WORK/$stream.vqi" -a >/dev/null
  if [ ! -s "$WORK/$name.ref" ] || [ ! -s "$WORK/$name.ref.masked" ]; then
    $FF -i "$WORK/$stream" -fps_mode passthrough -f rawvideo -pix_fmt yuv420p - |
      python3 "$WORK/reference_md5s.py" 1920 1080 "$WORK/$name.ref" "$WORK/$name.ref.masked"
  fi
  # Output order: key flag, picture type and decode-order number of every picture.
  [ -s "$WORK/$name.frames" ] ||
    ffprobe -v error -select_streams v:0 -show_entries frame=key_frame,pict_type,coded_picture_number \
      -of csv=p=0 "$WORK/$stream" > "$WORK/$name.frames"
  python3 "$WORK/serve_starts.py" "$WORK" "$name" > "$WORK/$name.starts"
done

# Elapsed seconds of two commands, run by turns five times so that the machine's drift
# touches both alike: the median of each, on one line. With --cpu FILE first, the medians
# of their CPU seconds (user + system, children included) go to FILE.
cat > "$WORK/paired_seconds.py" <<'PY'
import os, statistics, subprocess, sys, time
args = sys.argv[1:]
cpu_file = None
if args[0] == "--cpu":
    cpu_file, args = args[1], args[2:]
split = args.index("--")
commands = [args[:split], args[split + 1:]]
times, cpus = [[], []], [[], []]
for _ in range(5):
    for k, command in enumerate(commands):
        start, before = time.monotonic(), os.times()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        after = os.times()
        times[k].append(time.monotonic() - start)
        cpus[k].append(after.children_user - before.children_user + after.children_system - before.children_system)
print("%.3f %.3f" % (statistics.median(times[0]), statistics.median(times[1])))
if cpu_file:
    with open(cpu_file, "w") as out:
        out.write("%.3f %.3f\n" % (statistics.median(cpus[0]), statistics.median(cpus[1])))
PY

ROWS=$WORK/rows.txt
CPU_ROWS=$WORK/cpu_rows.txt
: > "$ROWS"
: > "$CPU_ROWS"
for stream in $STREAMS; do
  name=${stream%.*}
  for threads in ${SERVE_THREADS:-1 8}; do
    export BENCH_DECODER_THREADS=$threads
    load=$(cut -d' ' -f1 /proc/loadavg)
    linear_s=$(python3 "$WORK/paired_seconds.py" --cpu "$WORK/$name.cpu.$threads" ffmpeg -hide_banner -loglevel error -threads $threads \
      -i "$WORK/$stream" -f null - -- env LD_PRELOAD="$WORK/decoder-threads.so" "$BUILD/bin/tessivar-host" \
      --vqi "$WORK/$stream.vqi" --silent true --y4m /dev/null)
    LD_PRELOAD="$WORK/decoder-threads.so" "$BUILD/bin/tessivar-serve-bench" "$WORK/$stream.vqi" \
      "$WORK/linear.txt" "$WORK/$name.linear.$threads.md5" > /dev/null
    LD_PRELOAD="$WORK/decoder-threads.so" "$BUILD/bin/tessivar-serve-bench" "$WORK/$stream.vqi" \
      "$WORK/random.txt" "$WORK/$name.ours.$threads.md5" > "$WORK/$name.ours.$threads.txt"
    "$WORK/serve-ffms2" "$WORK/$stream" $threads "$WORK/random.txt" "$WORK/$name.ffms2.$threads.md5" \
      > "$WORK/$name.ffms2.$threads.txt"
    "$BUILD/bin/tessivar-serve-bare" "$WORK/$stream" $threads "$WORK/$name.starts" "$WORK/$name.bare.$threads.md5" \
      > "$WORK/$name.bare.$threads.txt"
    echo "$name $threads $linear_s $(cat "$WORK/$name.ours.$threads.txt") $(cat "$WORK/$name.ffms2.$threads.txt")" \
      "$(cat "$WORK/$name.bare.$threads.txt") $load" >> "$ROWS"
    "$WORK/serve-ffms2" "$WORK/$stream" $threads "$WORK/linear.txt" "$WORK/$name.ffms2.linear.$threads.md5" \
      > "$WORK/$name.ffms2.linear.$threads.txt"
    echo "$name $threads $linear_s $(cat "$WORK/$name.cpu.$threads") $(cat "$WORK/$name.ffms2.linear.$threads.txt")" >> "$CPU_ROWS"
  done
done

echo "load average after the runs: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) processors"
python3 - "$WORK" "$FRAMES" <<'EOF'
import sys
work, frames = sys.argv[1], int(sys.argv[2])
sys.path.insert(0, work)
from serve_starts import random_requests, starts

def pictures_per_request(name, requests):
    """Mean pictures decoded per request, from the exact minimum start and from the
    start this filter chooses."""
    chosen = starts(work, name, requests)
    strict = sum(target - s + 1 for _, target, s, _ in chosen)
    design = sum(target - d + 1 for _, target, _, d in chosen)
    return strict / len(chosen), design / len(chosen)

def mismatches(md5s, ref):
    bad = 0
    for line in open(md5s):
        n, digest = line.split()
        bad += ref.get(int(n)) != digest
    return bad

def load(path):
    return {int(a): b for a, b in (l.split() for l in open(path))}

requests = random_requests(work)
columns = ["stream", "threads", "ffmpeg_linear", "host_linear", "host_over_ffmpeg", "miss_linear",
           "pics_exact", "pics_start", "ideal_exact", "ideal_start", "ours_random", "ours_over_ideal_exact",
           "ours_over_ideal_start", "miss_random", "bare_random", "ours_over_bare", "bare_miss",
           "ffms2_random", "ffms2_over_ideal_exact", "ffms2_miss", "load"]
tsv = open(f"{work}/serve.tsv", "w")
tsv.write("\t".join(columns) + "\n")
print(f"{'stream':<14} {'thr':>3} | {'ffmpeg':>7} {'host':>7} {'ratio':>5} {'miss':>4} | "
      f"{'pics/req':>13} {'ideal fps':>13} {'ours':>7} {'/ideal':>11} {'miss':>4} | "
      f"{'bare':>7} {'/bare':>5} {'miss':>4} | {'ffms2':>7} {'/ideal':>6} {'miss':>4} | {'load':>5}")
for row in open(f"{work}/rows.txt"):
    f = row.split()
    name, threads, ffmpeg_s, host_s = f[0], int(f[1]), float(f[2]), float(f[3])
    ours_fps, ffms_fps, bare_fps, load_avg = float(f[9]), float(f[15]), float(f[21]), float(f[22])
    plain, masked = load(f"{work}/{name}.ref"), load(f"{work}/{name}.ref.masked")
    ffmpeg_fps, host_fps = frames / ffmpeg_s, frames / host_s
    strict, design = pictures_per_request(name, requests)
    ideal, ideal_design = ffmpeg_fps / strict, ffmpeg_fps / design
    miss_linear = mismatches(f"{work}/{name}.linear.{threads}.md5", masked)
    miss_random = mismatches(f"{work}/{name}.ours.{threads}.md5", masked)
    bare_miss = mismatches(f"{work}/{name}.bare.{threads}.md5", plain)
    ffms_miss = mismatches(f"{work}/{name}.ffms2.{threads}.md5", plain)
    values = [name, threads, f"{ffmpeg_fps:.1f}", f"{host_fps:.1f}", f"{host_fps / ffmpeg_fps:.2f}", miss_linear,
              f"{strict:.1f}", f"{design:.1f}", f"{ideal:.2f}", f"{ideal_design:.2f}", f"{ours_fps:.2f}",
              f"{ours_fps / ideal:.2f}", f"{ours_fps / ideal_design:.2f}", miss_random, f"{bare_fps:.2f}",
              f"{ours_fps / bare_fps:.2f}", bare_miss, f"{ffms_fps:.2f}", f"{ffms_fps / ideal:.2f}", ffms_miss,
              f"{load_avg:.2f}"]
    tsv.write("\t".join(str(v) for v in values) + "\n")
    print(f"{name:<14} {threads:>3} | {ffmpeg_fps:>7.1f} {host_fps:>7.1f} {host_fps / ffmpeg_fps:>5.2f} "
          f"{miss_linear:>4} | {strict:>6.1f} {design:>6.1f} {ideal:>6.2f} {ideal_design:>6.2f} {ours_fps:>7.2f} "
          f"{ours_fps / ideal:>5.2f} {ours_fps / ideal_design:>5.2f} {miss_random:>4} | "
          f"{bare_fps:>7.2f} {ours_fps / bare_fps:>5.2f} {bare_miss:>4} | "
          f"{ffms_fps:>7.2f} {ffms_fps / ideal:>6.2f} {ffms_miss:>4} | {load_avg:>5.2f}")
print("ffmpeg, host: linear frames/s; pics/req and ideal fps: exact minimum, then this filter's start;")
print("/ideal: served random frames/s over each ideal; miss: frames unlike ffmpeg's decode;")
print("bare: libavformat and libavcodec alone from this filter's start, /bare: ours over it;")
print(f"load: one-minute load average as the row started. Table also in {work}/serve.tsv")
EOF
python3 - "$WORK" "$FRAMES" <<'EOF'
import sys
work, frames = sys.argv[1], int(sys.argv[2])
print()
print(f"{'stream':<10} {'thr':>3} | {'cpu ms/frame':>13} {'ratio':>5} | {'ffms2 linear':>12} {'/ffmpeg':>7}")
for row in open(f"{work}/cpu_rows.txt"):
    f = row.split()
    name, threads, ffmpeg_s = f[0], int(f[1]), float(f[2])
    ffmpeg_cpu, host_cpu, ffms_fps = float(f[4]), float(f[5]), float(f[11])
    print(f"{name:<10} {threads:>3} | {1000 * ffmpeg_cpu / frames:>6.2f} {1000 * host_cpu / frames:>6.2f} "
          f"{host_cpu / ffmpeg_cpu:>5.2f} | {ffms_fps:>12.1f} {ffms_fps / (frames / ffmpeg_s):>7.2f}")
print("cpu ms/frame: user + system CPU per linearly served frame, ffmpeg then host (ratio host/ffmpeg);")
print("ffms2 linear: FFMS2's frames/s over every frame in order, and over ffmpeg's linear frames/s.")
EOF
