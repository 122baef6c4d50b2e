#!/usr/bin/env python3
"""Makes damaged copies of barcode-numbered streams: an H.264 stream with open GOPs and a
strict B pyramid, and an MPEG-2 stream with B pictures, each as an elementary stream and as
an MPEG transport stream (188-byte packets). Every case file is indexed intact with the test
indexer and damaged afterwards, in place and without changing its size, so that the index
still describes the stream as it was made.

Per case it writes CASE.json (the class, the damaged pictures by decode order, type and
display frame number, and the span of display frames the damage may reach) and a line in
damaged.list:

  CASE CLASS CODEC PACKAGING FILE INDEX FRAMES DAMAGED SPAN

DAMAGED is a comma list of display frame numbers, SPAN a comma list of ranges A-B (both
inclusive). A damaged picture's span is the picture itself; for an I or P picture also the
pictures that predict from it (from the anchor before it up to the leading pictures of the
next GOP); for a reference B picture the B pictures between its two anchors; for an MPEG-2
picture that lost its picture start code also the picture before it in decode order, whose
slices it joins.

usage: make_damaged.py OUTDIR --indexer HALVERN_PY
"""

import argparse
import concurrent.futures
import json
import os
import random
import shutil
import subprocess
import sys

STAMP = ("geq=lum='if(lt(Y,16),if(bitand(N,pow(2,floor(X/20))),235,16),p(X,Y))'"
         ":cb='if(lt(Y,8),128,p(X,Y))':cr='if(lt(Y,8),128,p(X,Y))'")
FF = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"]
FRAMES = 240
SOURCE = FF + ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-frames:v", str(FRAMES), "-vf", STAMP,
               "-pix_fmt", "yuv420p", "-f", "yuv4mpegpipe", "-"]
X264 = ["x264", "--quiet", "--no-progress", "--demuxer", "y4m", "--preset", "fast", "--crf", "28", "--threads", "1",
        "--aud", "--open-gop", "--b-pyramid", "strict", "--bframes", "5", "--b-adapt", "0", "--keyint", "36",
        "--min-keyint", "36", "--no-scenecut"]
MPEG2 = ["-c:v", "mpeg2video", "-threads", "1", "-q:v", "6", "-g", "12", "-bf", "2"]
PACKET = 188
NULL_PACKET = b"\x47\x1f\xff\x10" + b"\xff" * 184
# GOPs (counted by I pictures in decode order) that get one damaged picture each.
DAMAGED_GOPS = {"h264": [1, 3, 5], "mpeg2": [3, 7, 11, 15]}

halvern = None  # the test indexer's module, for its stream walking and H.264 ordering


def run(command, stdin=None, stdout=None):
    result = subprocess.run(command, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise RuntimeError("failed: %s\n%s" % (" ".join(command), result.stderr.decode(errors="replace")))


def pipe(source_command, sink_command):
    source = subprocess.Popen(source_command, stdout=subprocess.PIPE)
    run(sink_command, stdin=source.stdout)
    source.stdout.close()
    if source.wait() != 0:
        raise RuntimeError("failed: " + " ".join(source_command))


def make_sources(work):
    """The two elementary streams and their transport streams."""
    avc, m2v = os.path.join(work, "avc.264"), os.path.join(work, "m2v.m2v")
    pipe(SOURCE, X264 + ["-o", avc, "-"])
    pipe(SOURCE, FF + ["-i", "-"] + MPEG2 + ["-f", "mpeg2video", m2v])
    mkv = os.path.join(work, "avc.mkv")
    run(["mkvmerge", "-q", "-o", mkv, "--default-duration", "0:25fps", avc])
    run(FF + ["-i", mkv, "-map", "0:v", "-c", "copy", "-bsf:v", "h264_mp4toannexb", "-f", "mpegts",
              os.path.join(work, "avc.ts")])
    run(FF + ["-fflags", "+genpts", "-r", "25", "-i", m2v, "-map", "0:v", "-c", "copy", "-f", "mpegts",
              os.path.join(work, "m2v.ts")])
    return {("h264", "es"): avc, ("h264", "ts"): os.path.join(work, "avc.ts"),
            ("mpeg2", "es"): m2v, ("mpeg2", "ts"): os.path.join(work, "m2v.ts")}


# ---- pictures in decode order ----

def h264_pictures(es):
    """[{start, end, slice, type, ref, display}] in decode order: start is the access unit's
    first unit, slice its first slice's 00 00 01."""
    index = halvern.index_h264(es)
    display = {p["coding_index"]: p["output_index"] for p in index["output"]}
    pictures = []
    for offset, body in halvern.units(es):
        if body and body[0] & 0x1F in (1, 5) and len(body) > 1 and body[1] & 0x80:  # first_mb_in_slice 0
            pictures.append({"slice": offset, "ref": bool(body[0] & 0x60)})
    if len(pictures) != len(display):
        raise RuntimeError("H.264: %d first slices, %d pictures" % (len(pictures), len(display)))
    coding = sorted(index["output"], key=lambda p: p["coding_index"])
    for k, (picture, indexed) in enumerate(zip(pictures, coding)):
        picture.update({"start": indexed["start"], "display": display[k],
                        "type": "PBI"[indexed["slice_type"] % 5] if indexed["slice_type"] % 5 < 3 else "?"})
    return pictures


def mpeg2_pictures(es):
    """The same for MPEG-2: start is the sequence or GOP header before the picture, if any;
    slice the first slice; slices_end where its last slice ends."""
    pictures = []
    header_start = None
    gop_base, in_gop = 0, 0
    for offset, body in halvern.units(es):
        if not body:
            continue
        code = body[0]
        if pictures and "slices_end" not in pictures[-1] and not 0x01 <= code <= 0xAF and code != 0xB5:
            pictures[-1]["slices_end"] = offset
        if code in (0xB3, 0xB8):
            if header_start is None:
                header_start = offset
            if code == 0xB8:
                gop_base += in_gop
                in_gop = 0
        elif code == 0x00:
            temporal_reference = (body[1] << 2) | (body[2] >> 6)
            kind = (body[2] >> 3) & 7
            pictures.append({"start": header_start if header_start is not None else offset, "header": offset,
                             "type": {1: "I", 2: "P", 3: "B"}[kind], "ref": kind != 3,
                             "display": gop_base + temporal_reference})
            header_start = None
            in_gop += 1
        elif 0x01 <= code <= 0xAF and "slice" not in pictures[-1]:
            pictures[-1]["slice"] = offset
    if "slices_end" not in pictures[-1]:
        pictures[-1]["slices_end"] = len(es)
    if sorted(p["display"] for p in pictures) != list(range(len(pictures))):
        raise RuntimeError("MPEG-2: temporal references do not number the pictures 0..n-1")
    return pictures


def finish_table(pictures, es_size):
    gop = -1
    for k, picture in enumerate(pictures):
        picture["decode"] = k
        picture["end"] = pictures[k + 1]["start"] if k + 1 < len(pictures) else es_size
        if picture["type"] == "I":
            gop += 1
        picture["gop"] = gop
    return pictures


def select(pictures, gop, what):
    """A picture of the GOP: "I", "P" (its second P), "Bref" (the reference B of its second
    group of B pictures), "B" (a non-reference B whose decode-order predecessor is a
    non-reference B too)."""
    members = [p for p in pictures if p["gop"] == gop]
    if what == "I":
        return members[0]
    if what == "P":
        return [p for p in members if p["type"] == "P"][1]
    if what == "Bref":
        return [p for p in members if p["type"] == "B" and p["ref"]][1]
    seen_p = False
    candidates = []
    for k, p in enumerate(members):
        seen_p = seen_p or p["type"] == "P"
        if seen_p and k and p["type"] == "B" and not p["ref"] and members[k - 1]["type"] == "B" \
                and not members[k - 1]["ref"]:
            candidates.append(p)
    if candidates:
        return candidates[len(candidates) // 2]
    raise RuntimeError("no non-reference B picture after a non-reference B in GOP %d" % gop)


def span_of(pictures, picture):
    """Display frames that damage to this picture may reach, as (first, last)."""
    d = picture["display"]
    anchors = sorted(p["display"] for p in pictures if p["type"] != "B")
    before = max([a for a in anchors if a < d], default=-1)
    after = min([a for a in anchors if a > d], default=len(pictures))
    if picture["type"] == "B":
        return (before + 1, after - 1) if picture["ref"] else (d, d)
    next_i = min([p["display"] for p in pictures if p["type"] == "I" and p["display"] > d], default=len(pictures))
    return before + 1, next_i - 1


# ---- the transport stream's video packets ----

def video_packets(data):
    """The elementary stream carried by the video PID, and per video packet the file offset
    of the packet and the range of elementary-stream bytes it carries."""
    _, _, es, segments = halvern.demux_ts(data, PACKET)
    packets = []
    for k, es_start in enumerate(segments.es_starts):
        es_end = segments.es_starts[k + 1] if k + 1 < len(segments.es_starts) else len(es)
        packets.append({"file": segments.file_starts[k] // PACKET * PACKET, "es": (es_start, es_end)})
    return es, segments, packets


# ---- damage ----

class Damage:
    """Changes to one file, in elementary-stream bytes (mapped into packets for a transport
    stream) or in whole transport packets."""

    def __init__(self, data, packaging):
        self.data = bytearray(data)
        self.packaging = packaging
        if packaging == "ts":
            self.es, self.segments, self.packets = video_packets(self.data)
        else:
            self.es, self.segments, self.packets = bytes(data), None, []
        self.touched = []  # ranges of elementary-stream bytes damaged

    def position(self, es_offset):
        return self.segments.position(es_offset) if self.segments else es_offset

    def write(self, es_offset, values):
        for k, value in enumerate(values):
            self.data[self.position(es_offset + k)] = value
        self.touched.append((es_offset, es_offset + len(values)))

    def packet_at(self, es_offset):
        for k, packet in enumerate(self.packets):
            if packet["es"][0] <= es_offset < packet["es"][1]:
                return k
        raise RuntimeError("no packet carries byte %d" % es_offset)

    def lose_packet(self, k):
        packet = self.packets[k]
        self.data[packet["file"]:packet["file"] + PACKET] = NULL_PACKET
        self.touched.append(packet["es"])

    def corrupt_packet(self, k, rng):
        start, end = self.packets[k]["es"]
        self.write(start, bytes(rng.randrange(1, 256) for _ in range(end - start)))


def check_delimiter(es, picture):
    if es[picture["start"] + 3] & 0x1F != 9 or picture["slice"] - picture["start"] > 7:
        raise RuntimeError("picture %d: no access unit delimiter right before its slice" % picture["decode"])


def damage_case(damage, pictures, codec, kind, rng):
    """Applies one damage class; returns the pictures it was aimed at (packet classes find
    theirs from the bytes touched)."""
    gops = DAMAGED_GOPS[codec]
    aimed = []
    if kind in ("slice_header_bref", "slice_header_b"):
        for gop in gops:
            picture = select(pictures, gop, "Bref" if kind == "slice_header_bref" else "B")
            # first_mb_in_slice 0, slice_type 0, then a pic_parameter_set_id above 1023.
            damage.write(picture["slice"] + 4, b"\xc0\x0f")
            aimed.append(picture)
    elif kind.startswith("start_code_"):
        for gop in gops:
            picture = select(pictures, gop, kind[len("start_code_"):])
            if codec == "h264":
                check_delimiter(damage.es, picture)
                damage.write(picture["start"], b"\xff" * 5)        # the delimiter's start code and body
                damage.write(picture["slice"], b"\xff" * 6)        # the slice's start code and first bytes
            else:
                # Picture start code, header and extensions, up to the first slice.
                damage.write(picture["header"], b"\xff" * (picture["slice"] - picture["header"]))
            aimed.append(picture)
    elif kind == "aud_lost":
        for gop in gops:
            picture = select(pictures, gop, "P")
            check_delimiter(damage.es, picture)
            damage.write(picture["start"], b"\xff" * 5)
            aimed.append(picture)
    elif kind == "slice_start_lost":
        for gop in gops:
            picture = select(pictures, gop, "B")
            check_delimiter(damage.es, picture)
            damage.write(picture["slice"], b"\xff" * 6)  # the delimiter stays, the slice joins it
            aimed.append(picture)
    elif kind == "gop_header_lost":
        for gop in gops:
            picture = select(pictures, gop, "I")
            header = damage.es.index(b"\x00\x00\x01\xb8", picture["start"], picture["header"])
            damage.write(header, b"\xff" * 8)
            aimed.append(picture)
    elif kind == "sequence_header_lost":
        for gop in gops:
            picture = select(pictures, gop, "I")
            header = damage.es.index(b"\x00\x00\x01\xb3", picture["start"], picture["header"])
            gop_header = damage.es.index(b"\x00\x00\x01\xb8", header, picture["header"])
            damage.write(header, b"\xff" * (gop_header - header))  # with its extension
            aimed.append(picture)
    elif kind.startswith("no_slices_"):
        for gop in gops:
            picture = select(pictures, gop, kind[len("no_slices_"):])
            damage.write(picture["slice"], bytes(picture["slices_end"] - picture["slice"]))
            aimed.append(picture)
    elif kind == "packet_lost_start":
        for gop in gops:
            picture = select(pictures, gop, "B")
            k = damage.packet_at(picture["start"])
            if not damage.data[damage.packets[k]["file"] + 1] & 0x40:
                raise RuntimeError("the packet holding a picture's start does not start a PES packet")
            damage.lose_packet(k)
    elif kind in ("packets_lost_scattered", "packets_corrupted"):
        for gop in gops:
            members = [p for p in pictures if p["gop"] == gop]
            first = damage.packet_at(members[0]["start"])
            last = damage.packet_at(members[-1]["end"] - 1)
            # Not the packet that starts the GOP's first picture in display order: losing that
            # one leaves no gap in the numbers a seek to this GOP sees (the README says so).
            opening = damage.packet_at(min(members, key=lambda p: p["display"])["start"])
            candidates = [k for k in range(first, last + 1) if k != opening or kind != "packets_lost_scattered"]
            for k in sorted(rng.sample(candidates, 2)):
                if kind == "packets_lost_scattered":
                    damage.lose_packet(k)
                else:
                    damage.corrupt_packet(k, rng)
    elif kind == "packets_lost_burst":
        members = [p for p in pictures if p["gop"] == gops[1]]
        first = damage.packet_at(members[len(members) // 2]["start"]) - 10
        for k in range(first, first + 20):
            damage.lose_packet(k)
    else:
        raise RuntimeError("unknown damage " + kind)
    return aimed


def damaged_pictures(pictures, touched, codec, es):
    """Pictures whose bytes were touched (zero bytes before a start code do not count), and
    for MPEG-2 the picture before one whose picture start code was."""
    found = set()
    for start, end in touched:
        for p in pictures:
            if any(es[max(start, p["start"]):min(end, p["end"])]):
                found.add(p["decode"])
                header = p.get("header", p["start"])
                if codec == "mpeg2" and p["decode"] > 0 and start < header + 4 and header < end:
                    found.add(p["decode"] - 1)
    return [pictures[k] for k in sorted(found)]


CASES = [  # (class, codec, packagings)
    ("slice_header_bref", "h264", ("es", "ts")),
    ("slice_header_b", "h264", ("es", "ts")),
    ("start_code_B", "h264", ("es", "ts")),
    ("start_code_P", "h264", ("es", "ts")),
    ("aud_lost", "h264", ("es", "ts")),
    ("slice_start_lost", "h264", ("es", "ts")),
    ("packet_lost_start", "h264", ("ts",)),
    ("packets_lost_scattered", "h264", ("ts",)),
    ("packets_lost_burst", "h264", ("ts",)),
    ("packets_corrupted", "h264", ("ts",)),
    ("no_slices_B", "mpeg2", ("es", "ts")),
    ("no_slices_P", "mpeg2", ("es", "ts")),
    ("no_slices_I", "mpeg2", ("es", "ts")),
    ("start_code_B", "mpeg2", ("es", "ts")),
    ("gop_header_lost", "mpeg2", ("es", "ts")),
    ("sequence_header_lost", "mpeg2", ("es", "ts")),
    ("packet_lost_start", "mpeg2", ("ts",)),
    ("packets_lost_scattered", "mpeg2", ("ts",)),
    ("packets_lost_burst", "mpeg2", ("ts",)),
    ("packets_corrupted", "mpeg2", ("ts",)),
]


def ranges(numbers):
    out = []
    for n in sorted(set(numbers)):
        if out and n == out[-1][1] + 1:
            out[-1][1] = n
        else:
            out.append([n, n])
    return out


def make_case(out_dir, indexer, sources, tables, kind, codec, packaging):
    name = "%s_%s_%s" % (codec, packaging, kind)
    source = sources[(codec, packaging)]
    path = os.path.join(out_dir, name + os.path.splitext(source)[1])
    index = os.path.join(out_dir, name + ".vqi")
    shutil.copyfile(source, path)
    run([sys.executable, indexer, "-i", path, "-o", index, "-a"])
    with open(path, "rb") as f:
        damage = Damage(f.read(), packaging)
    pictures = tables[(codec, packaging)]
    rng = random.Random(name)
    aimed = damage_case(damage, pictures, codec, kind, rng)
    damaged = damaged_pictures(pictures, damage.touched, codec, damage.es)
    if any(p not in damaged for p in aimed):
        raise RuntimeError(name + ": an aimed picture is not among the damaged ones")
    with open(path, "r+b") as f:
        f.write(damage.data)
    span = []
    for p in damaged:
        first, last = span_of(pictures, p)
        span += range(first, last + 1)
    # A lost access unit delimiter, GOP header or sequence header alone damages no picture.
    if kind in ("aud_lost", "gop_header_lost", "sequence_header_lost"):
        damaged, span = [], []
    manifest = {"case": name, "class": kind, "codec": codec, "packaging": packaging,
                "file": os.path.basename(path), "index": os.path.basename(index), "frames": len(pictures),
                "damaged": [{"decode": p["decode"], "type": p["type"] + ("ref" if p["type"] == "B" and p["ref"]
                                                                         else ""),
                             "display": p["display"]} for p in damaged],
                "span": ranges(span)}
    with open(os.path.join(out_dir, name + ".json"), "w") as f:
        json.dump(manifest, f, indent=1)
    return "%s %s %s %s %s %s %d %s %s" % (
        name, kind, codec, packaging, path, index, len(pictures),
        ",".join(str(p["display"]) for p in damaged) or "-",
        ",".join("%d-%d" % (a, b) for a, b in manifest["span"]) or "-")


def main():
    global halvern
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out_dir")
    parser.add_argument("--indexer", required=True)
    args = parser.parse_args()
    out_dir = os.path.abspath(args.out_dir)
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    missing = [tool for tool in ("ffmpeg", "x264", "mkvmerge") if shutil.which(tool) is None]
    if missing:
        with open(os.path.join(out_dir, "damaged.list"), "w") as f:
            f.write("# missing tools: %s\n" % " ".join(missing))
        return 0
    sys.path.insert(0, os.path.dirname(os.path.abspath(args.indexer)))
    import halvern as indexer_module
    halvern = indexer_module
    work = os.path.join(out_dir, "work")
    os.makedirs(work)
    sources = make_sources(work)
    tables = {}
    for (codec, packaging), path in sources.items():
        with open(path, "rb") as f:
            data = f.read()
        es = video_packets(data)[0] if packaging == "ts" else data
        pictures = h264_pictures(es) if codec == "h264" else mpeg2_pictures(es)
        if len(pictures) != FRAMES:
            raise RuntimeError("%s: %d pictures, not %d" % (path, len(pictures), FRAMES))
        tables[(codec, packaging)] = finish_table(pictures, len(es))
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        jobs = [pool.submit(make_case, out_dir, os.path.abspath(args.indexer), sources, tables, kind, codec, packaging)
                for kind, codec, packagings in CASES for packaging in packagings]
        lines = [job.result() for job in jobs]
    with open(os.path.join(out_dir, "damaged.list"), "w") as f:
        f.write("".join(line + "\n" for line in lines))
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
