#!/usr/bin/env python3
"""Makes the frame-identity test streams: barcode-numbered H.264 and MPEG-2 streams whose
pictures are numbered in unusual but valid ways, damaged before indexing (as a capture is
indexed) and damaged after. Every picture carries its source frame number as a barcode in
luma rows 0-15 (the corpus stamp).

Three groups of cases, each case written as CASE.case (lines "key value"):

- intact: a valid stream and its index. `md5` names a file with one line per picture of
  ffmpeg's decode of the same file (frame n = ffmpeg's n-th picture): the MD5 of its Y, U
  and V planes with bit 0 of the first 64 luma bytes cleared (where the served frame carries
  its hint stamp). `random` requests in random order, `fresh` frames asked first on a new
  clip and again after frame `after`.
- capture: a transport or elementary stream damaged first and indexed afterwards.
  `intact` lists the barcode numbers of the pictures that ffmpeg decodes from the damaged
  file exactly as from the intact one; `source_md5` names a file with one line "barcode
  md5" per picture of ffmpeg's decode of the intact source (MD5 masked as above), which
  tells an intact picture from a damaged or concealed one.
- after: a stream indexed intact and damaged afterwards. `span` lists, as ranges A-B, the
  display frames the damage may reach (see `damage_span`).

usage: make_identity.py OUTDIR --indexer HALVERN_PY
"""

import argparse
import concurrent.futures
import hashlib
import os
import random
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "corpus"))
sys.path.insert(0, os.path.join(HERE, "..", "damage"))
sys.path.insert(0, os.path.join(HERE, "..", "indexer"))
import halvern  # noqa: E402
import make_corpus  # noqa: E402
import make_damaged  # noqa: E402

make_damaged.halvern = halvern  # its picture tables walk streams with the indexer's parsers

FF = make_corpus.FF
X264 = make_corpus.X264
MPEG2 = make_corpus.MPEG2
run, pipe = make_corpus.run, make_corpus.pipe
INDEXER = None


# ---- sources and encodes ----

def source(frames, start=0, size="320x240", interlace=None):
    """YUV4MPEG of `frames` stamped frames, numbered from `start`."""
    rate = "50" if interlace else "25"
    chain = make_corpus.STAMP + ",trim=start_frame=%d,setpts=PTS-STARTPTS" % start
    if interlace:
        chain += ",tinterlace=mode=%s,setfield=%s" % ("interleave_top" if interlace == "tff" else
                                                     "interleave_bottom", interlace)
    return FF + ["-f", "lavfi", "-i", "testsrc2=size=%s:rate=%s" % (size, rate), "-vf", chain,
                 "-frames:v", str(frames), "-pix_fmt", "yuv420p", "-f", "yuv4mpegpipe", "-"]


def x264(path, frames, options, start=0, size="320x240", interlace=None):
    pipe(source(frames, start, size, interlace), X264 + options + ["-o", path, "-"])
    return read(path)


def ffmpeg_mpeg2(path, frames, options, size="320x240"):
    pipe(source(frames, size=size), FF + ["-i", "-"] + MPEG2 + options + ["-f", "mpeg2video", path])
    return read(path)


def mpeg2enc(path, frames, options, size="176x144"):
    pipe(source(frames, size=size), ["mpeg2enc", "-v", "0", "-f", "3", "-b", "1500"] + options + ["-o", path])
    return read(path)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def package(es_path, codec, packaging, out):
    """The elementary stream in another packaging (ts, ps, mkv, mp4)."""
    if packaging == "mkv":
        run(["mkvmerge", "-q", "-o", out, "--default-duration", "0:25fps", es_path])
    elif codec == "h264":
        mkv = out + ".tmp.mkv"
        run(["mkvmerge", "-q", "-o", mkv, "--default-duration", "0:25fps", es_path])
        if packaging == "mp4":
            run(FF + ["-i", mkv, "-map", "0:v", "-c", "copy", "-f", "mp4", out])
        else:
            run(FF + ["-i", mkv, "-map", "0:v", "-c", "copy", "-bsf:v", "h264_mp4toannexb", "-f",
                      {"ts": "mpegts", "ps": "vob"}[packaging], out])
        os.remove(mkv)
    else:
        run(FF + ["-fflags", "+genpts", "-r", "25", "-i", es_path, "-map", "0:v", "-c", "copy", "-f",
                  {"ts": "mpegts", "ps": "vob"}[packaging], out])
    return out


# ---- H.264 slice header rewriting ----

def escape(payload):
    """Inserts emulation prevention bytes."""
    out = bytearray()
    zeros = 0
    for byte in payload:
        if zeros >= 2 and byte <= 3:
            out.append(3)
            zeros = 0
        out.append(byte)
        zeros = zeros + 1 if byte == 0 else 0
    return bytes(out)


def set_bits(data, position, width, value):
    for k in range(width):
        bit = (value >> (width - 1 - k)) & 1
        byte, shift = (position + k) >> 3, 7 - ((position + k) & 7)
        data[byte] = (data[byte] & ~(1 << shift)) | (bit << shift)


class SliceFields:
    """Walks an H.264 stream's slices: for each, the fixed-width frame_num and
    pic_order_cnt_lsb fields (bit position in the unescaped payload after the NAL header,
    width, value)."""

    def __init__(self):
        self.sps, self.pps = {}, {}

    def fields(self, body):
        kind = body[0] & 0x1F
        if kind == 7:
            sps = halvern.parse_sps(body)
            self.sps[sps["id"]] = sps
        elif kind == 8:
            pps_id, pps = halvern.parse_pps(body)
            self.pps[pps_id] = pps
        if kind not in (1, 5):
            return None
        payload = bytearray(halvern.unescape(body[1:]))
        bits = halvern.Bits(payload)
        bits.ue()
        bits.ue()
        sps = self.sps[self.pps[bits.ue()]["sps"]]
        if sps["separate_planes"]:
            bits.u(2)
        found = {"payload": payload, "sps": sps,
                 "frame_num": (bits.bit, sps["log2_frame_num"], bits.u(sps["log2_frame_num"]))}
        if not sps["frame_mbs_only"] and bits.u(1):
            bits.u(1)
        if kind == 5:
            bits.ue()
        if sps["poc_type"] == 0:
            found["lsb"] = (bits.bit, sps["log2_poc_lsb"], bits.u(sps["log2_poc_lsb"]))
        return found


def rewrite_slices(es, change):
    """A copy of the stream with change(index_of_slice_unit, fields) -> {name: value} applied
    to every slice's fixed-width fields; slice units are counted from 0 in stream order."""
    walker = SliceFields()
    out = bytearray()
    last = 0
    slice_number = -1
    for offset, body in halvern.units(es):
        if not body:
            continue
        found = walker.fields(body)
        if found is None:
            continue
        slice_number += 1
        values = change(slice_number, found)
        if not values:
            continue
        payload = found["payload"]
        for name, value in values.items():
            position, width, _ = found[name]
            set_bits(payload, position, width, value)
        start = offset + 3
        out += es[last:start] + body[:1] + escape(bytes(payload))
        last = start + len(body)
    out += es[last:]
    return bytes(out)


def poc_plus_four(es):
    """Every pic_order_cnt_lsb plus 4 (modulo its range): IDR pictures count from 4."""
    return rewrite_slices(es, lambda _, f: {"lsb": (f["lsb"][2] + 4) % (1 << f["lsb"][1])})


def poc_halved(es):
    """Every pic_order_cnt_lsb halved: order counts step by 1 per frame instead of 2. Only for
    streams whose counts are all even and stay below the lsb range inside an IDR period (an
    IDR picture every 25 frames or less)."""
    def halve(_, f):
        position, width, value = f["lsb"]
        if value % 2:
            raise RuntimeError("cannot halve pic_order_cnt_lsb %d of %d bits" % (value, width))
        return {"lsb": value // 2}
    return rewrite_slices(es, halve)


def access_units(es):
    """(start, end, nal_ref_idc of its slices) of each access unit of an AUD-delimited stream."""
    starts = [offset for offset, body in halvern.units(es) if body and body[0] & 0x1F == 9]
    units = []
    for k, start in enumerate(starts):
        end = starts[k + 1] if k + 1 < len(starts) else len(es)
        refs = {(body[0] >> 5) & 3 for _, body in halvern.units(es[start:end]) if body and body[0] & 0x1F in (1, 5)}
        units.append((start, end, max(refs)))
    return units


def without_non_reference(es):
    return b"".join(es[start:end] for start, end, ref in access_units(es) if ref)


# ---- references ----

def decoded_pictures(path):
    """ffmpeg's pictures of the file in output order, as planar 4:2:0 bytes, and the width."""
    command = FF + ["-i", path, "-fps_mode", "passthrough", "-pix_fmt", "yuv420p", "-f", "yuv4mpegpipe", "-"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    stream = process.stdout
    header = stream.readline().split()
    width = int([t for t in header if t.startswith(b"W")][0][1:])
    height = int([t for t in header if t.startswith(b"H")][0][1:])
    size = width * height * 3 // 2
    while stream.readline():
        picture = stream.read(size)
        if len(picture) < size:
            break
        yield width, picture
    stream.close()
    process.wait()


def masked_md5(picture):
    """MD5 with bit 0 of the first 64 luma bytes cleared (the served frame's hint stamp)."""
    head = bytes(b & 0xFE for b in picture[:64])
    return hashlib.md5(head + picture[64:]).hexdigest()


def barcode(picture, width):
    """The frame number of the barcode, or None when a block is neither black nor white or the
    rows disagree."""
    numbers = set()
    for row in (2, 8, 13):
        number = 0
        for k in range(min(16, width // 20)):
            value = picture[row * width + 20 * k + 10]
            if 64 < value < 192:
                return None
            number |= (value >= 192) << k
        numbers.add(number)
    return numbers.pop() if len(numbers) == 1 else None


def write_md5s(path, out):
    md5s = [masked_md5(picture) for _, picture in decoded_pictures(path)]
    write(out, "".join(m + "\n" for m in md5s).encode())
    return len(md5s)


def write_source_md5s(intact, out):
    """One line "barcode md5" per picture of ffmpeg's decode of the intact source."""
    lines = ["%d %s\n" % (barcode(picture, width), masked_md5(picture))
             for width, picture in decoded_pictures(intact)]
    write(out, "".join(lines).encode())
    return out


def intact_numbers(damaged, intact):
    """Barcode numbers of the pictures ffmpeg decodes from the damaged file exactly as from
    the intact one."""
    whole = {}
    for width, picture in decoded_pictures(intact):
        whole.setdefault(barcode(picture, width), hashlib.md5(picture).digest())
    found = set()
    for width, picture in decoded_pictures(damaged):
        number = barcode(picture, width)
        if number is not None and whole.get(number) == hashlib.md5(picture).digest():
            found.add(number)
    return sorted(found)


def index(path, out):
    run([sys.executable, INDEXER, "-i", path, "-o", out, "-a"])
    return out


def write_case(out_dir, name, fields):
    lines = "".join("%s %s\n" % (key, value) for key, value in fields.items())
    write(os.path.join(out_dir, name + ".case"), lines.encode())
    return name


# ---- intact streams ----

def intact_case(out_dir, name, path, random_requests=200, fresh=None, after=None):
    frames = write_md5s(path, os.path.join(out_dir, name + ".md5"))
    if fresh is None:
        fresh = sorted({0, 1, 2, 10, frames // 3, frames // 2, frames - 2, frames - 1})
    return write_case(out_dir, name, {
        "group": "intact", "file": path, "index": index(path, os.path.join(out_dir, name + ".vqi")),
        "frames": frames, "md5": os.path.join(out_dir, name + ".md5"), "random": random_requests,
        "fresh": ",".join(map(str, fresh)), "after": frames - 1 if after is None else after})


def long_gop_mpeg2(out_dir, work, maker):
    """MPEG-2 GOPs over 1024 pictures with B pictures: temporal_reference wraps inside the GOP."""
    if maker == "ff":
        es = os.path.join(out_dir, "m2v_longgop_ff.m2v")
        # (The encoder cuts GOPs at 600 pictures unless told to allow more.)
        ffmpeg_mpeg2(es, 1300, ["-g", "1500", "-bf", "3", "-sc_threshold", "1000000000", "-strict", "experimental"],
                     size="176x144")
    else:
        es = os.path.join(out_dir, "m2v_longgop_mjpeg.m2v")
        mpeg2enc(es, 1150, ["-g", "1100", "-G", "1100", "-R", "2"])
    base = os.path.splitext(os.path.basename(es))[0]
    paths = {"es": es}
    for packaging, ext in (("ts", "ts"), ("ps", "vob"), ("mkv", "mkv")):
        paths[packaging] = package(es, "mpeg2", packaging, os.path.join(out_dir, "%s.%s" % (base, ext)))
    # Every request in a long GOP decodes from the GOP's start: a few random ones suffice.
    return [intact_case(out_dir, "%s_%s" % (base, p), path, random_requests=40) for p, path in paths.items()]


def joined(work, name, parts):
    """x264 encodes of consecutive source ranges, one after another in one stream; parts are
    (frames, options[, size, interlace, rewrite])."""
    data = b""
    start = 0
    for k, part in enumerate(parts):
        frames, options = part[0], part[1]
        size = part[2] if len(part) > 2 else "320x240"
        interlace = part[3] if len(part) > 3 else None
        es = x264(os.path.join(work, "%s.part%d.264" % (name, k)), frames, options, start, size, interlace)
        if len(part) > 4:
            es = part[4](es)
        data += es
        start += frames
    return data


CLOSED = ["--no-scenecut", "--b-adapt", "0"]


def intact_h264(out_dir, work):
    cases = []
    es = lambda name, data: write(os.path.join(out_dir, name + ".264"), data)  # noqa: E731

    plain = x264(os.path.join(work, "plain.264"), 120, ["--keyint", "30"] + CLOSED + ["--bframes", "3"])
    cases.append(intact_case(out_dir, "avc_plain_es", es("avc_plain", plain)))
    cases.append(intact_case(out_dir, "avc_idr_poc4_es", es("avc_idr_poc4", poc_plus_four(plain))))

    full = x264(os.path.join(work, "thin.264"), 100, ["--aud", "--keyint", "50"] + CLOSED +
                ["--bframes", "3", "--b-pyramid", "normal"])
    thinned = es("avc_thinned_copy", full + without_non_reference(full))
    cases.append(intact_case(out_dir, "avc_thinned_copy_es", thinned))

    # Parts that differ in order count type, lsb length, B pictures and reference count.
    two = joined(work, "join2", [(100, ["--keyint", "50", "--bframes", "3", "--b-pyramid", "normal", "--ref", "3"]),
                                 (100, ["--keyint", "40", "--bframes", "0", "--ref", "1"])])
    three = joined(work, "join3", [(80, ["--keyint", "40", "--bframes", "3", "--ref", "2"]),
                                   (80, ["--keyint", "40", "--bframes", "16", "--b-adapt", "0", "--ref", "4"]),
                                   (80, ["--keyint", "40", "--bframes", "2", "--ref", "1"])])
    for name, data in (("avc_join2", two), ("avc_join3", three)):
        path = es(name, data)
        cases.append(intact_case(out_dir, name + "_es", path))
        for packaging in ("mkv", "mp4"):
            cases.append(intact_case(out_dir, "%s_%s" % (name, packaging),
                                     package(path, "h264", packaging, os.path.join(out_dir, name + "." + packaging))))

    steps = joined(work, "steps", [(100, ["--keyint", "25"] + CLOSED + ["--bframes", "3"]),
                                   (150, ["--keyint", "25"] + CLOSED + ["--bframes", "3"], "320x240", None,
                                    poc_halved)])
    cases.append(intact_case(out_dir, "avc_steps_2_1_es", es("avc_steps_2_1", steps), fresh=list(range(10, 21)),
                             after=200))

    mbaff = joined(work, "mbaff", [(100, ["--keyint", "25", "--bframes", "3"], "320x256"),
                                   (100, ["--keyint", "25", "--bframes", "3", "--tff"], "320x256", "tff")])
    cases.append(intact_case(out_dir, "avc_prog_then_mbaff_es", es("avc_prog_then_mbaff", mbaff)))

    unusual = {
        "avc_open_gop": ["--keyint", "24"] + CLOSED + ["--bframes", "3", "--b-pyramid", "normal", "--open-gop"],
        "avc_bframes8_pyramid": ["--keyint", "60"] + CLOSED + ["--bframes", "8", "--b-pyramid", "normal"],
        "avc_bframes16_strict": ["--keyint", "60"] + CLOSED + ["--bframes", "16", "--b-pyramid", "strict"],
        "avc_all_intra": ["--keyint", "1"],
        "avc_no_b": ["--keyint", "40", "--bframes", "0"],
        "avc_long_gop": ["--keyint", "300", "--no-scenecut", "--bframes", "3"],
    }
    for name, options in unusual.items():
        path = es(name, x264(os.path.join(work, name + ".264"), 120, options))
        cases.append(intact_case(out_dir, name + "_es", path))
    cases.append(intact_case(out_dir, "avc_open_gop_ts", package(os.path.join(out_dir, "avc_open_gop.264"), "h264",
                                                                 "ts", os.path.join(out_dir, "avc_open_gop.ts"))))
    return cases


def intact_mpeg2(out_dir, work):
    cases = []
    for name, options in (("m2v_closed", ["-g", "12", "-bf", "2", "-flags", "+cgop", "-sc_threshold", "1000000000"]),
                          ("m2v_open", ["-g", "12", "-bf", "2"]),
                          ("m2v_open_bf4", ["-g", "20", "-bf", "4"]),
                          ("m2v_no_b", ["-g", "15", "-bf", "0"])):
        path = os.path.join(out_dir, name + ".m2v")
        ffmpeg_mpeg2(path, 120, ["-q:v", "6"] + options)
        cases.append(intact_case(out_dir, name + "_es", path))
    path = os.path.join(out_dir, "m2v_mpeg2enc.m2v")
    mpeg2enc(path, 120, ["-g", "9", "-G", "15", "-R", "2"])
    cases.append(intact_case(out_dir, "m2v_mpeg2enc_es", path))
    return cases


# ---- damage ----

H264_B = ["--aud", "--keyint", "24", "--min-keyint", "24"] + CLOSED + ["--bframes", "3", "--b-pyramid", "normal"]
H264_NO_B = ["--aud", "--keyint", "24", "--min-keyint", "24", "--no-scenecut", "--bframes", "0"]
H264_OPEN = H264_B + ["--open-gop"]
M2V_CLOSED = ["-q:v", "6", "-g", "12", "-bf", "2", "-flags", "+cgop", "-sc_threshold", "1000000000"]
M2V_NO_B = ["-q:v", "6", "-g", "12", "-bf", "0", "-sc_threshold", "1000000000"]
M2V_OPEN = ["-q:v", "6", "-g", "12", "-bf", "2", "-sc_threshold", "1000000000"]


def make_stream(out_dir, name, codec, options, frames):
    """The elementary stream and its TS and Matroska, each with its picture table."""
    if codec == "h264":
        es = os.path.join(out_dir, name + ".264")
        x264(es, frames, options)
    else:
        es = os.path.join(out_dir, name + ".m2v")
        ffmpeg_mpeg2(es, frames, options)
    made = {"es": es, "ts": package(es, codec, "ts", os.path.join(out_dir, name + ".ts")),
            "mkv": package(es, codec, "mkv", os.path.join(out_dir, name + ".mkv"))}
    tables = {}
    for packaging in ("es", "ts"):
        data = read(made[packaging])
        stream = make_damaged.video_packets(data)[0] if packaging == "ts" else data
        pictures = make_damaged.h264_pictures(stream) if codec == "h264" else make_damaged.mpeg2_pictures(stream)
        if len(pictures) != frames:
            raise RuntimeError("%s %s: %d pictures, not %d" % (name, packaging, len(pictures), frames))
        tables[packaging] = make_damaged.finish_table(pictures, len(stream))
    tables["mkv"] = tables["es"]  # the Matroska frames hold the elementary stream's units
    return {"name": name, "codec": codec, "files": made, "tables": tables, "frames": frames}


def gop_members(pictures, gop):
    return [p for p in pictures if p["gop"] == gop]


def slice_units(es, picture):
    """Offsets (of 00 00 01) and bodies of the picture's slice units."""
    return [(picture["start"] + offset, body) for offset, body in halvern.units(es[picture["start"]:picture["end"]])
            if body and body[0] & 0x1F in (1, 5)]


def aim(pictures, codec, kind, es):
    """The pictures a damage class aims at, and the edits (es offset, new bytes) that do it."""
    if kind in ("idr_lost", "idr_start_code_lost", "idr_packets_lost", "i_lost", "i_packets_lost"):
        picture = gop_members(pictures, 2)[0]
    elif kind == "leading_b_lost":
        members = gop_members(pictures, 2)
        picture = [p for p in members if p["type"] == "B" and p["display"] < members[0]["display"]][0]
    elif kind == "wrong_order_count":
        members = gop_members(pictures, 2)
        plain_b = [p for p in members if p["type"] == "B" and not p["ref"]]
        picture = plain_b[len(plain_b) // 2] if plain_b else [p for p in members if p["type"] == "P"][2]
    else:
        raise RuntimeError("unknown class " + kind)
    edits = []
    if kind in ("idr_lost", "leading_b_lost") and codec == "h264":
        # Every slice unit of the picture becomes a unit type decoders pass over.
        for offset, body in slice_units(es, picture):
            edits.append((offset + 3, bytes([(body[0] & 0x60) | 0x1F])))
    elif kind == "idr_start_code_lost":
        # The slices' start codes overwritten: their bytes join the unit before them.
        for offset, _ in slice_units(es, picture):
            edits.append((offset, b"\xff\xff\xff"))
    elif kind in ("i_lost", "leading_b_lost"):
        # The picture's start code, header and slices overwritten.
        edits.append((picture["header"], b"\xff" * (picture["slices_end"] - picture["header"])))
    elif kind == "wrong_order_count" and codec == "h264":
        offset, body = slice_units(es, picture)[0]
        fields = SliceFields()
        for _, unit in halvern.units(es[:offset]):
            if unit and unit[0] & 0x1F in (7, 8):
                fields.fields(unit)
        found = fields.fields(body)
        # A number no picture carries (x264 counts in twos): with B pictures an odd order
        # count; without (order count type 2) the next frame_num.
        name = "lsb" if "lsb" in found else "frame_num"
        position, width, value = found[name]
        set_bits(found["payload"], position, width, (value + (3 if name == "lsb" else 1)) % (1 << width))
        escaped = escape(bytes(found["payload"]))
        if len(escaped) != len(body) - 1:
            raise RuntimeError("the rewritten slice header changes the unit's length")
        first = next(k for k in range(len(escaped)) if escaped[k] != body[1 + k])
        last = max(k for k in range(len(escaped)) if escaped[k] != body[1 + k])
        edits.append((offset + 4 + first, escaped[first:last + 1]))
    elif kind == "wrong_order_count":
        # temporal_reference beyond every picture of the GOP.
        header = picture["header"]
        reference = ((es[header + 4] << 2) | (es[header + 5] >> 6)) + 12
        edits.append((header + 4, bytes([reference >> 2, (reference & 3) << 6 | (es[header + 5] & 0x3F)])))
    return [picture], edits


def damage_after(out_dir, stream, kind, packaging):
    """A case indexed intact and damaged afterwards."""
    name = "%s_%s_%s" % (stream["name"], kind, packaging)
    codec, pictures = stream["codec"], stream["tables"][packaging]
    source = stream["files"][packaging]
    path = os.path.join(out_dir, name + os.path.splitext(source)[1])
    shutil.copyfile(source, path)
    index_path = index(path, os.path.join(out_dir, name + ".vqi"))
    data = read(path)
    if packaging == "ts":
        damage = make_damaged.Damage(data, "ts")
        es = damage.es
    else:
        damage, es = None, read(stream["files"]["es"])
    if kind == "loss_1pct":
        rng = random.Random(name)
        for k in range(len(damage.packets)):
            if rng.random() < 0.01:
                damage.lose_packet(k)
        aimed = make_damaged.damaged_pictures(pictures, damage.touched, "mpeg2" if codec == "mpeg2" else "h264", es)
    else:
        aimed, edits = aim(pictures, codec, kind.replace("_packets_", "_"), es)
        if kind.endswith("packets_lost"):
            picture = aimed[0]
            first = damage.packet_at(picture.get("slice", picture["start"]))
            last = damage.packet_at(picture.get("slices_end", picture["end"]) - 1)
            for k in range(first, last + 1):
                damage.lose_packet(k)
            aimed = make_damaged.damaged_pictures(pictures, damage.touched, codec, es)
        else:
            for offset, values in edits:
                if packaging == "ts":
                    damage.write(offset, values)
                elif packaging == "es":
                    data = data[:offset] + values + data[offset + len(values):]
                else:
                    data = edit_matroska(data, es, offset, values)
    if damage:
        data = bytes(damage.data)
    write(path, data)
    span = set()
    for picture in aimed:
        span |= damage_span(pictures, picture, codec)
    return write_case(out_dir, name, {
        "group": "after", "file": path, "index": index_path, "frames": stream["frames"],
        "damaged": ",".join(str(p["display"]) for p in aimed),
        "span": ",".join("%d-%d" % (a, b) for a, b in make_damaged.ranges(span))})


def damage_span(pictures, picture, codec):
    """The display frames that damage to one picture (pictures in decode order, with their
    GOP counted from each I picture) may reach: the frames a decoder may fill with that
    picture's concealment or with concealment copied from its references.

    MPEG-2 predicts from the two anchors around a picture only: an I or P picture reaches
    from the anchor before it to the end of its GOP and the next GOP's leading B pictures; a
    B picture is no reference and stays alone.

    H.264 predicts from any picture still marked for reference, so a damaged reference
    picture reaches every picture decoded after it up to the next I picture (IDR or
    recovery point: x264 writes no other I picture without scene cuts), plus the next
    GOP's leading pictures, which predict from this GOP. A damaged leading picture of an
    open GOP reaches only the leading pictures decoded after it (the pictures after the I
    picture never predict from them). A non-reference picture stays alone."""
    if codec != "h264":
        first, last = make_damaged.span_of(pictures, picture)
        return set(range(first, last + 1))
    if not picture["ref"]:
        return {picture["display"]}

    def first_display(gop):
        members = gop_members(pictures, gop)
        return members[0]["display"] if members else None

    gop, i_display = picture["gop"], first_display(picture["gop"])
    leading = i_display is not None and picture["display"] < i_display
    span = {p["display"] for p in gop_members(pictures, gop)
            if p["decode"] >= picture["decode"] and (not leading or p["display"] < i_display)}
    next_i = first_display(gop + 1)
    if not leading and next_i is not None:
        span |= {p["display"] for p in gop_members(pictures, gop + 1) if p["display"] < next_i}
    return span


def check_damage_span():
    """The H.264 span rule on two small pyramids (closed and open GOPs): a damaged picture
    reaches no frame of the next GOP but its leading pictures, so a frame shown one GOP off
    stays caught."""
    def pictures(gops):
        table = []
        for gop, members in enumerate(gops):
            for display, kind, ref in members:
                table.append({"display": display, "type": kind, "ref": ref, "gop": gop, "decode": len(table)})
        return table
    closed = pictures([[(0, "I", 1), (4, "P", 1), (2, "B", 1), (1, "B", 0), (3, "B", 0), (8, "P", 1), (6, "B", 1),
                        (5, "B", 0), (7, "B", 0), (9, "P", 1)],
                       [(10, "I", 1), (14, "P", 1), (12, "B", 1), (11, "B", 0), (13, "B", 0), (15, "P", 1)]])
    opened = pictures([[(0, "I", 1), (4, "P", 1), (2, "B", 1), (1, "B", 0), (3, "B", 0), (7, "P", 1)],
                       [(10, "I", 1), (9, "B", 1), (8, "B", 0), (14, "P", 1), (12, "B", 1), (11, "B", 0),
                        (13, "B", 0), (15, "P", 1)]])
    expected = [(closed, 2, {1, 2, 3, 5, 6, 7, 8, 9}), (closed, 3, {1}), (closed, 9, {9}), (closed, 0, set(range(10))),
                (opened, 5, {7, 8, 9}), (opened, 7, {8, 9}), (opened, 6, set(range(8, 16)))]
    for table, decode, span in expected:
        found = damage_span(table, table[decode], "h264")
        if found != span:
            raise RuntimeError("span of picture %d: %s, not %s" % (decode, sorted(found), sorted(span)))


def edit_matroska(data, es, offset, values):
    """The edit made where the Matroska file holds those elementary-stream bytes: found by the
    bytes around them (Matroska keeps each unit's bytes, not its H.264 start code)."""
    for back in (0, 64):
        for length in (32, 128, 512, 2048):
            probe = es[offset - back:offset + max(length, len(values))]
            found = data.find(probe)
            if found >= 0 and data.find(probe, found + 1) < 0:
                found += back
                return data[:found] + values + data[found + len(values):]
    raise RuntimeError("the damaged bytes at %d are not found once in the Matroska file" % offset)


def damage_before(out_dir, stream, kind, packaging):
    """A case damaged first and indexed from the damaged file."""
    name = "%s_%s_%s" % (stream["name"], kind, packaging)
    codec = stream["codec"]
    source = stream["files"][packaging]
    path = os.path.join(out_dir, name + os.path.splitext(source)[1])
    data = read(source)
    damage = make_damaged.Damage(data, packaging)
    rng = random.Random(name)
    if kind.startswith("loss_1pct"):  # the losses follow from the case's name
        for k in range(len(damage.packets)):
            if rng.random() < 0.01:
                damage.lose_packet(k)
    else:
        make_damaged.damage_case(damage, stream["tables"][packaging], "mpeg2" if codec == "mpeg2" else "h264",
                                 kind, rng)
    write(path, bytes(damage.data))
    index_path = index(path, os.path.join(out_dir, name + ".vqi"))
    frames = stream["frames"]
    fresh = sorted({0, 1, frames // 7, frames // 5, frames // 3, frames // 2, 2 * frames // 3, frames - 30,
                    frames - 2, frames - 1})
    return write_case(out_dir, name, {
        "group": "capture", "file": path, "index": index_path, "random": min(frames, 300),
        "fresh": ",".join(map(str, fresh)), "intact": ",".join(map(str, intact_numbers(path, source))),
        "source_md5": write_source_md5s(source, os.path.join(out_dir, name + ".source_md5"))})


# The damage classes: (stream name, codec, options, frames, [(class, packagings)]).
AFTER = [
    ("after_avc_b", "h264", H264_B, 120, [("idr_lost", "es ts mkv"), ("idr_start_code_lost", "es ts"),
                                          ("idr_packets_lost", "ts"),
                                          ("wrong_order_count", "es ts mkv")]),
    ("after_avc_no_b", "h264", H264_NO_B, 120, [("idr_lost", "es ts mkv"), ("idr_start_code_lost", "es ts"),
                                                ("idr_packets_lost", "ts"),
                                                ("wrong_order_count", "es ts mkv")]),
    ("after_avc_open", "h264", H264_OPEN, 120, [("leading_b_lost", "es ts mkv")]),
    ("after_m2v_b", "mpeg2", M2V_CLOSED, 120, [("i_lost", "es ts mkv"), ("i_packets_lost", "ts"),
                                               ("wrong_order_count", "es ts mkv")]),
    ("after_m2v_no_b", "mpeg2", M2V_NO_B, 120, [("i_lost", "es ts mkv"), ("i_packets_lost", "ts"),
                                                ("wrong_order_count", "es ts mkv")]),
    ("after_m2v_open", "mpeg2", M2V_OPEN, 120, [("i_lost", "es ts"), ("leading_b_lost", "es ts mkv")]),
    ("after_m2v_long", "mpeg2", M2V_OPEN, 600, [("loss_1pct", "ts")]),
    ("after_avc_long", "h264", ["--aud", "--keyint", "50"] + CLOSED + ["--bframes", "3"], 600, [("loss_1pct", "ts")]),
]
BEFORE = [
    ("capture_avc", "h264", make_damaged.X264[make_damaged.X264.index("--aud"):], 240,
     [("packet_lost_start", "ts"), ("packets_lost_scattered", "ts"), ("packets_lost_burst", "ts"),
      ("start_code_B", "es")]),
    ("capture_m2v", "mpeg2", make_damaged.MPEG2[make_damaged.MPEG2.index("-q:v"):], 240,
     [("packet_lost_start", "ts"), ("packets_lost_scattered", "ts"), ("packets_lost_burst", "ts"),
      ("start_code_B", "es")]),
    ("capture_avc_long", "h264", ["--aud", "--keyint", "50", "--bframes", "3"], 3000,
     [("loss_1pct", "ts"), ("loss_1pct_seed3", "ts")]),
    ("capture_m2v_long", "mpeg2", M2V_OPEN, 3000, [("loss_1pct", "ts")]),
]


def main():
    global INDEXER
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out_dir")
    parser.add_argument("--indexer", required=True)
    args = parser.parse_args()
    INDEXER = os.path.abspath(args.indexer)
    check_damage_span()
    out_dir = os.path.abspath(args.out_dir)
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    missing = [tool for tool in ("ffmpeg", "x264", "mkvmerge", "mpeg2enc") if shutil.which(tool) is None]
    if missing:
        write(os.path.join(out_dir, "missing"), ("missing tools: %s\n" % " ".join(missing)).encode())
        return 0
    work = os.path.join(out_dir, "work")
    os.makedirs(work)
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        jobs = [pool.submit(long_gop_mpeg2, out_dir, work, "mjpeg"), pool.submit(long_gop_mpeg2, out_dir, work, "ff"),
                pool.submit(intact_h264, out_dir, work), pool.submit(intact_mpeg2, out_dir, work)]
        streams = {}
        for name, codec, options, frames, _ in AFTER + BEFORE:
            streams[name] = pool.submit(make_stream, out_dir, name, codec, options, frames)
        damaged = []
        for table, make in ((AFTER, damage_after), (BEFORE, damage_before)):
            for name, _, _, _, classes in table:
                stream = streams[name].result()
                for kind, packagings in classes:
                    damaged += [pool.submit(make, out_dir, stream, kind, p) for p in packagings.split()]
        names = []
        for job in jobs + damaged:
            result = job.result()
            names += result if isinstance(result, list) else [result]
    write(os.path.join(out_dir, "identity.list"), "".join(n + "\n" for n in names).encode())
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
