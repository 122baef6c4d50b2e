#!/usr/bin/env python3
"""Makes the Matroska files of the damage and inexact-time tests, from barcode-numbered H.264
(each picture shows its own display number in luma rows 0-15).

Damaged block headers: an open-GOP stream with a B pyramid, put in Matroska by mkvmerge and
by ffmpeg (remuxing mkvmerge's file). In a copy of each, the first 8 bytes of one SimpleBlock
(its ID, size, track number and timecode) of a P picture in the middle of a Cluster are
overwritten, with 0xFF bytes or with seeded random bytes. Each copy gets two indexes from
the test indexer: one made before the damage (it describes every picture) and one made
after it (the pictures the indexer can still read). damaged.list, one line per case:

  CASE FILE INDEX_BEFORE INDEX_AFTER FRAMES LOST SPAN

LOST is the display number of the damaged picture, SPAN the display frames its loss may
reach (A-B: from the anchor before it up to the next I picture).

Inexact index times: files of several closed-GOP x264 parts with B pictures appended by
mkvmerge (1 ms timestamp scale; 1 us; 1 ms without Cues) and the first of them remuxed by
ffmpeg, each with its index and copies of the index whose GOP times are 1 ns and 1 ms early
and late (the time-0 GOP only late). inexact.list, one line per file:

  NAME FILE FRAMES EXACT_INDEX SHIFT:INDEX ...

usage: make_mkv_damage.py OUTDIR --indexer HALVERN_PY
"""

import argparse
import os
import random
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "damage"))
import make_damaged  # noqa: E402  (the barcode source, the picture table and the damage spans)

FRAMES = 240
PARTS, PART_FRAMES = 6, 48
CLOSED_GOPS = ["--keyint", "24", "--min-keyint", "24", "--no-scenecut", "--bframes", "3", "--b-pyramid", "normal"]


def barcode_source(first, count):
    """YUV4MPEG of display frames first .. first+count-1, numbered by their barcodes."""
    return make_damaged.FF + ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-vf",
                              "%s,trim=start_frame=%d:end_frame=%d,setpts=PTS-STARTPTS" % (make_damaged.STAMP, first,
                                                                                          first + count),
                              "-pix_fmt", "yuv420p", "-f", "yuv4mpegpipe", "-"]


def mkvmerge(target, parts, *options):
    command = ["mkvmerge", "-q", "-o", target] + list(options)
    for k, part in enumerate(parts):
        command += (["+"] if k else []) + ["--default-duration", "0:25fps", part]
    make_damaged.run(command)


def remux_ffmpeg(source, target):
    make_damaged.run(make_damaged.FF + ["-i", source, "-map", "0:v", "-c", "copy", target])


def index(indexer, source, target):
    make_damaged.run([sys.executable, indexer, "-i", source, "-o", target, "-a"])


def simple_blocks(data):
    """The element start of every SimpleBlock, in file order, with the start and end of
    its Cluster's payload."""
    import halvern_mkv as hm  # beside the indexer
    blocks = []
    for segment, a, b in hm.children(data, 0, len(data)):
        if segment != hm.SEGMENT:
            continue
        for item, c, d in hm.children(data, a, b):
            if item != hm.CLUSTER:
                continue
            pos = c
            for child, e, f in hm.children(data, c, d):
                if child == hm.SIMPLE_BLOCK:
                    blocks.append({"at": pos, "cluster": (c, d)})
                pos = f
    return blocks


def damage_cases(out_dir, indexer, work):
    avc = os.path.join(work, "open_gop.264")
    make_damaged.pipe(barcode_source(0, FRAMES), make_damaged.X264 + ["-o", avc, "-"])
    with open(avc, "rb") as f:
        pictures = make_damaged.finish_table(make_damaged.h264_pictures(f.read()), os.path.getsize(avc))
    merged = os.path.join(work, "mkvmerge.mkv")
    mkvmerge(merged, [avc])
    remuxed = os.path.join(work, "ffmpeg.mkv")
    remux_ffmpeg(merged, remuxed)
    lines = []
    for muxer, source in (("mkvmerge", merged), ("ffmpeg", remuxed)):
        with open(source, "rb") as f:
            data = f.read()
        blocks = simple_blocks(data)
        if len(blocks) != len(pictures):
            raise RuntimeError("%s: %d blocks for %d pictures" % (source, len(blocks), len(pictures)))
        # A P picture with blocks of its Cluster before and behind it, in the second GOP.
        k = next(k for k, p in enumerate(pictures) if p["type"] == "P" and p["gop"] == 2 and
                 0 < k < len(blocks) - 1 and blocks[k - 1]["cluster"] == blocks[k]["cluster"] ==
                 blocks[k + 1]["cluster"])
        first, last = make_damaged.span_of(pictures, pictures[k])
        for pattern in ("ff", "random"):
            name = "%s_%s" % (muxer, pattern)
            path = os.path.join(out_dir, name + ".mkv")
            shutil.copyfile(source, path)
            before, after = path + ".before.vqi", path + ".after.vqi"
            index(indexer, path, before)
            rng = random.Random(name)
            header = b"\xff" * 8 if pattern == "ff" else bytes(rng.randrange(256) for _ in range(8))
            with open(path, "r+b") as f:
                f.seek(blocks[k]["at"])
                f.write(header)
            index(indexer, path, after)
            lines.append("%s %s %s %s %d %d %d-%d" % (name, path, before, after, len(pictures),
                                                      pictures[k]["display"], first, last))
    with open(os.path.join(out_dir, "damaged.list"), "w") as f:
        f.write("".join(line + "\n" for line in lines))


def without_cues(path):
    """Turns the file's Cues element into a Void of the same length."""
    import halvern_mkv as hm
    with open(path, "rb") as f:
        data = bytearray(f.read())
    for segment, a, b in hm.children(data, 0, len(data)):
        if segment != hm.SEGMENT:
            continue
        pos = a
        for item, c, d in hm.children(data, a, b):
            if item == 0x1C53BB6B:
                length = c - pos - 1  # the Void's size field takes the ID's three other bytes too
                data[pos] = 0xEC
                data[pos + 1:c] = ((1 << (7 * length)) | (d - c)).to_bytes(length, "big")
                with open(path, "wb") as f:
                    f.write(data)
                return
            pos = d
    raise RuntimeError(path + ": no Cues")


def shifted(index_path, shift, target):
    with open(index_path) as f, open(target, "w") as out:
        for line in f:
            fields = line.split()
            if fields and fields[0] in ("IDR", "RPS") and int(fields[1]) + shift >= 0:
                line = "%s %d\n" % (fields[0], int(fields[1]) + shift)
            out.write(line)


def inexact_cases(out_dir, indexer, work):
    parts = []
    for k in range(PARTS):
        part = os.path.join(work, "part%d.264" % k)
        make_damaged.pipe(barcode_source(k * PART_FRAMES, PART_FRAMES),
                          ["x264", "--quiet", "--no-progress", "--demuxer", "y4m", "--preset", "fast", "--crf", "28",
                           "--threads", "1"] + CLOSED_GOPS + ["-o", part, "-"])
        parts.append(part)
    files = {name: os.path.join(out_dir, "parts_%s.mkv" % name)
             for name in ("mkvmerge_1ms", "mkvmerge_1us", "mkvmerge_no_cues", "ffmpeg")}
    mkvmerge(files["mkvmerge_1ms"], parts)
    mkvmerge(files["mkvmerge_1us"], parts, "--timestamp-scale", "1000")
    mkvmerge(files["mkvmerge_no_cues"], parts)
    without_cues(files["mkvmerge_no_cues"])
    remux_ffmpeg(files["mkvmerge_1ms"], files["ffmpeg"])
    lines = []
    for name, path in files.items():
        exact = path + ".vqi"
        index(indexer, path, exact)
        line = "%s %s %d %s" % (name, path, PARTS * PART_FRAMES, exact)
        for shift in (-1, 1, -1000000, 1000000):
            target = "%s.%+d.vqi" % (path, shift)
            shifted(exact, shift, target)
            line += " %+d:%s" % (shift, target)
        lines.append(line)
    with open(os.path.join(out_dir, "inexact.list"), "w") as f:
        f.write("".join(line + "\n" for line in lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out_dir")
    parser.add_argument("--indexer", required=True)
    args = parser.parse_args()
    out_dir = os.path.abspath(args.out_dir)
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    missing = [tool for tool in ("ffmpeg", "x264", "mkvmerge") if shutil.which(tool) is None]
    if missing:
        for name in ("damaged.list", "inexact.list"):
            with open(os.path.join(out_dir, name), "w") as f:
                f.write("# missing tools: %s\n" % " ".join(missing))
        return 0
    indexer = os.path.abspath(args.indexer)
    sys.path.insert(0, os.path.dirname(indexer))
    import halvern
    make_damaged.halvern = halvern
    work = os.path.join(out_dir, "work")
    os.makedirs(work)
    damage_cases(out_dir, indexer, work)
    inexact_cases(out_dir, indexer, work)
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
