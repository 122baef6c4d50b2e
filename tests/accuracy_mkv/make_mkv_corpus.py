#!/usr/bin/env python3
"""Makes the Matroska test files: H.264 from x264's own Matroska writer and from
mkvmerge, MPEG-2 and VC-1 remuxed by mkvmerge from the main corpus and the shared
VC-1 samples, and files rewritten by mkv_write.py that no packaged tool makes
(2-byte H.264 unit lengths, a stripped header, the V_VC1 codec ID, a WMV3 FourCC,
frames of 4.3, 7.99 and 8.01 MB, 33 and 1,000 tracks, crafted Cues and crafted lacing). Writes each file's index beside it with the test
indexer (the rewritten bad-input files get none).

usage: make_mkv_corpus.py OUTDIR --corpus CORPUS_DIR --indexer HALVERN [--shared SHARED_DIR]
"""

import argparse
import concurrent.futures
import os
import random
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "indexer"))
import halvern_mkv  # noqa: E402
import mkv_write  # noqa: E402

STAMP = ("geq=lum='if(lt(Y,16),if(bitand(N,pow(2,floor(X/20))),235,16),p(X,Y))'"
         ":cb='if(lt(Y,8),128,p(X,Y))':cr='if(lt(Y,8),128,p(X,Y))'")
FF = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"]


def run(command, stdin=None):
    result = subprocess.run(command, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise RuntimeError("failed: %s\n%s" % (" ".join(command), result.stderr.decode(errors="replace")))


def x264_mkv(path):
    source = subprocess.Popen(FF + ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-t", "6", "-vf", STAMP,
                                    "-pix_fmt", "yuv420p", "-f", "yuv4mpegpipe", "-"], stdout=subprocess.PIPE)
    run(["x264", "--quiet", "--no-progress", "--demuxer", "y4m", "--preset", "fast", "--crf", "28", "--threads", "1",
         "--keyint", "25", "--min-keyint", "25", "--no-scenecut", "--bframes", "3", "-o", path, "-"],
        stdin=source.stdout)
    source.stdout.close()
    if source.wait() != 0:
        raise RuntimeError("no source for " + path)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def rewrite(source, target, codec_id=None, private=None, strip=0, lengths=None, extra_cues=b"", extra_blocks=None):
    """Writes the source's video track again with mkv_write, changed as asked."""
    track, frames = halvern_mkv.read_matroska(read(source))
    out = []
    for frame in frames:
        data = frame["data"]
        if lengths:
            data = relength(data, lengths)
        prefix = data[:strip]
        out.append({"timecode": frame["time"] // 1000000, "key": frame["key"], "data": data[strip:]})
        if strip and prefix != frames[0]["data"][:strip]:
            raise RuntimeError("frames of %s do not share a %d-byte header" % (source, strip))
    private = track.get("private", b"") if private is None else private
    if lengths:
        private = private[:4] + bytes([(private[4] & 0xFC) | (lengths - 1)]) + private[5:]
    entry = mkv_write.track_entry(codec_id or track["codec_id"], private, frames[0]["data"][:strip])
    mkv_write.write_mkv(target, entry, out, extra_cues, extra_blocks)


def inband_only(source, target):
    """The source's H.264 track with a configuration record that holds no parameter
    sets: they are put in band instead, ahead of the key frames of every other second
    only, so that a GOP between them needs the sets found in the frames before it."""
    track, frames = halvern_mkv.read_matroska(read(source))
    length_size, sps, pps = halvern_mkv.avc_config(track["private"])
    sets = b"".join(len(unit).to_bytes(4, "big") + unit for unit in sps + pps)
    out = []
    for frame in frames:
        data = frame["data"]
        if frame["key"] and (frame["time"] // 1000000000) % 2 == 0:
            data = sets + data
        out.append({"timecode": frame["time"] // 1000000, "key": frame["key"], "data": data})
    private = track["private"][:5] + bytes([0xE0, 0])
    mkv_write.write_mkv(target, mkv_write.track_entry("V_MPEG4/ISO/AVC", private), out)


def padded_frame(source, target, size):
    """The source's H.264 track with one frame grown to `size` bytes by a filler-data unit
    (which decoders pass over): the first frame past the first third that is a
    non-reference B picture, so that no other frame predicts from it. It is not first in
    its Cluster."""
    track, frames = halvern_mkv.read_matroska(read(source))
    k = next(i for i in range(len(frames) // 3, len(frames))
             if not frames[i]["key"] and frames[i]["data"][4] == 0x01)  # nal_ref_idc 0, slice
    out = [{"timecode": f["time"] // 1000000, "key": f["key"], "data": f["data"]} for f in frames]
    filler = size - len(out[k]["data"]) - 4
    out[k]["data"] += filler.to_bytes(4, "big") + b"\x0c" + b"\xff" * (filler - 2) + b"\x80"
    mkv_write.write_mkv(target, mkv_write.track_entry("V_MPEG4/ISO/AVC", track["private"]), out)


def many_tracks(source, target, count, video_last=False):
    """The source's H.264 track (number 1) first, or last, and count - 1 audio tracks, and in
    every Cluster a block of audio tracks 2, 33 and 255 when they exist (numbers past 255
    have no blocks: a block's track number above 255 is taken for damage)."""
    track, frames = halvern_mkv.read_matroska(read(source))
    out = [{"timecode": f["time"] // 1000000, "key": f["key"], "data": f["data"]} for f in frames]
    video = mkv_write.track_entry("V_MPEG4/ISO/AVC", track["private"])
    audio_entries = b"".join(mkv_write.audio_entry(n) for n in range(2, count + 1))
    entries = audio_entries + video if video_last else video + audio_entries
    audio = b"".join(mkv_write.simple_block(n, 0, True, bytes(64)) for n in (2, 33, 255) if n <= count)
    mkv_write.write_mkv(target, entries, out, extra_blocks=lambda cluster: audio)


def relength(frame, size):
    out = bytearray()
    pos = 0
    while pos + 4 <= len(frame):
        length = int.from_bytes(frame[pos:pos + 4], "big")
        if length >= 1 << (8 * size):
            raise RuntimeError("a unit of %d bytes does not fit a %d-byte length" % (length, size))
        out += length.to_bytes(size, "big") + frame[pos + 4:pos + 4 + length]
        pos += 4 + length
    return bytes(out)


def crafted_cues(count):
    """CuePoints out of order (random times), each naming the first Cluster."""
    rng = random.Random(13)
    positions = mkv_write.element(0xB7, mkv_write.uint_element(0xF7, 1) + mkv_write.uint_element(0xF1, 0, 1))
    return b"".join(mkv_write.element(0xBB, mkv_write.uint_element(0xB3, rng.randrange(1, 60000), 2) + positions)
                    for _ in range(count))


def zero_size_laces(cluster):
    """In the second Cluster: 20,000 blocks of 256 zero-size frames each (fixed-size lacing)."""
    if cluster != 1:
        return b""
    block = mkv_write.simple_block(1, 0, False, b"", lacing=2, lace_count=256)
    return block * 20000


def unit_files(at):
    """Small files for the getter tests: frames every 250 ms whose bytes tell which frame
    they are. H.264 frames of two units (4- and 2-byte lengths; the last frame's second
    length runs past the frame), an MPEG-2 track with 00 00 01 stripped, and an H.264
    frame too large for the source buffer between two small ones."""
    def nal_frames(size, count):
        frames = []
        for k in range(count):
            first, second = bytes([0x65, k, 0xA1, 0xA2]), bytes([0x41, k, 0xB1])
            tail = (len(second) + (1000 if k == count - 1 else 0)).to_bytes(size, "big")
            frames.append(len(first).to_bytes(size, "big") + first + tail + second)
        return frames

    def timed(datas):
        return [{"timecode": 250 * k, "key": k % 4 == 0, "data": d} for k, d in enumerate(datas)]

    avcc = bytes([1, 0x64, 0, 0x1E, 0xFF, 0xE0, 0])
    mkv_write.write_mkv(at("unit_nal4.mkv"), mkv_write.track_entry("V_MPEG4/ISO/AVC", avcc), timed(nal_frames(4, 7)))
    mkv_write.write_mkv(at("unit_nal2.mkv"), mkv_write.track_entry("V_MPEG4/ISO/AVC", avcc[:4] + b"\xfd" + avcc[5:]),
                        timed(nal_frames(2, 7)))
    nested_file(at("unit_nested.mkv"), mkv_write.track_entry("V_MPEG4/ISO/AVC", avcc), timed(nal_frames(4, 7)), True)
    nested_file(at("unit_nested_tags.mkv"), mkv_write.track_entry("V_MPEG4/ISO/AVC", avcc), timed(nal_frames(4, 7)),
                False)
    mkv_write.write_mkv(at("unit_prefix.mkv"), mkv_write.track_entry("V_MPEG2", b"", b"\x00\x00\x01"),
                        timed([bytes([0xB3, k, 0xC1]) for k in range(7)]))
    huge = 7999998  # with the 3-byte terminator one byte more than the buffer holds
    frames = timed([nal_frames(4, 3)[0], (huge - 4).to_bytes(4, "big") + bytes(huge - 4), nal_frames(4, 3)[2]])
    # The three share one Cluster: the large frame is not its first block.
    mkv_write.write_mkv(at("unit_huge.mkv"), mkv_write.track_entry("V_MPEG4/ISO/AVC", avcc), frames)


def deep_nesting(element_id, depth):
    """depth elements of one ID, each the only child of the one before it."""
    id_bytes = element_id.to_bytes((element_id.bit_length() + 7) // 8, "big")
    header = len(id_bytes) + 8
    return b"".join(id_bytes + mkv_write.vint_size(header * (depth - 1 - level), 8) for level in range(depth))


def nested_file(path, track, frames, with_chapters):
    """A playable file whose Segment also holds Tags and an element of an unknown ID,
    and with_chapters Chapters, each nested 100,000 levels deep."""
    depth = 100000
    chapters = b""
    if with_chapters:
        chapters = mkv_write.element(0x1043A770, mkv_write.element(0x45B9, deep_nesting(0xB6, depth)))
    tags = mkv_write.element(0x1254C367, mkv_write.element(0x7373, deep_nesting(0x67C8, depth)))
    mkv_write.write_mkv(path, track, frames, extra_head=chapters + tags + deep_nesting(0x5A5A, depth))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out_dir")
    parser.add_argument("--corpus", required=True)
    parser.add_argument("--indexer", required=True)
    parser.add_argument("--shared", default="")
    args = parser.parse_args()
    out = os.path.abspath(args.out_dir)
    os.makedirs(out, exist_ok=True)

    def at(name):
        return os.path.join(out, name)

    def corpus(name):
        return os.path.join(args.corpus, name)

    jobs = [lambda: x264_mkv(at("avc_x264.mkv")),
            lambda: run(["mkvmerge", "-q", "-o", at("avc_mkvmerge.mkv"), "--default-duration", "0:25fps",
                         corpus("avc_prog_closed.264")]),
            lambda: run(["mkvmerge", "-q", "-o", at("avc_open_gop.mkv"), "--default-duration", "0:25fps",
                         corpus("avc_open_gop.264")]),
            lambda: run(FF + ["-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-t", "2", "-c:v", "mpeg4",
                              at("mpeg4_part2.mkv")])]
    for name in ("m2v_prog_open", "m2v_int_tff", "m2v_pulldown32"):
        jobs.append(lambda name=name: run(["mkvmerge", "-q", "-o", at(name + ".mkv"), corpus(name + ".m2v")]))
    vc1_folder = os.path.join(args.shared, "testdata", "vc1")
    vc1_names = [n for n in ("vc1_ap_gops", "vc1_ap_pulldown", "vc1_ap_interlace_rff")
                 if args.shared and os.path.isfile(os.path.join(vc1_folder, n + ".vc1"))]
    for name in vc1_names:
        jobs.append(lambda name=name: run(["mkvmerge", "-q", "-o", at(name + ".mkv"), "--default-duration",
                                           "0:25fps", os.path.join(vc1_folder, name + ".vc1")]))
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        for job in [pool.submit(j) for j in jobs]:
            job.result()

    made = ["avc_x264.mkv", "avc_mkvmerge.mkv", "avc_open_gop.mkv", "m2v_prog_open.mkv", "m2v_int_tff.mkv",
            "m2v_pulldown32.mkv"] + [n + ".mkv" for n in vc1_names]
    rewrite(at("avc_x264.mkv"), at("avc_nal2.mkv"), lengths=2)
    inband_only(at("avc_x264.mkv"), at("avc_inband_only.mkv"))
    rewrite(at("m2v_prog_open.mkv"), at("m2v_stripped.mkv"), strip=3)
    # The first video track is MPEG-4 part 2; the H.264 track follows.
    run(["mkvmerge", "-q", "-o", at("avc_second_track.mkv"), at("mpeg4_part2.mkv"), at("avc_x264.mkv")])
    made += ["avc_nal2.mkv", "avc_inband_only.mkv", "m2v_stripped.mkv", "avc_second_track.mkv"]
    # Frames over 4 MiB, up to and past what the source buffer takes (8,000,000 bytes).
    for size in (4300000, 7990000, 8010000):
        padded_frame(at("avc_x264.mkv"), at("avc_frame_%d.mkv" % size), size)
        made.append("avc_frame_%d.mkv" % size)
    for count in (33, 1000):
        many_tracks(at("avc_x264.mkv"), at("avc_tracks_%d.mkv" % count), count)
        made.append("avc_tracks_%d.mkv" % count)
    many_tracks(at("avc_x264.mkv"), at("avc_video_33rd.mkv"), 33, video_last=True)  # no index: no track
    if "vc1_ap_gops" in vc1_names:
        private = halvern_mkv.read_matroska(read(at("vc1_ap_gops.mkv")))[0]["private"]
        rewrite(at("vc1_ap_gops.mkv"), at("vc1_codec_vc1.mkv"), codec_id="V_VC1", private=private[40:])
        rewrite(at("vc1_ap_gops.mkv"), at("vc1_wmv3.mkv"), private=private[:16] + b"WMV3" + private[20:])
        made.append("vc1_codec_vc1.mkv")

    unit_files(at)

    # Bad input: no index of their own (the tests point an index of avc_x264.mkv at them).
    rewrite(at("avc_x264.mkv"), at("bad_crafted_cues.mkv"), extra_cues=crafted_cues(500000))
    rewrite(at("avc_x264.mkv"), at("bad_crafted_lacing.mkv"), extra_blocks=zero_size_laces)
    whole = read(at("avc_x264.mkv"))
    with open(at("bad_truncated.mkv"), "wb") as f:
        f.write(whole[:len(whole) * 3 // 5])
    damaged = bytearray(whole)
    second = whole.find(b"\x1f\x43\xb6\x75", whole.find(b"\x1f\x43\xb6\x75") + 4)
    damaged[second:second + 3000] = b"\xff" * 3000  # the Cluster header and its first blocks
    with open(at("bad_damaged_cluster.mkv"), "wb") as f:
        f.write(damaged)

    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        for job in [pool.submit(run, [sys.executable, args.indexer, "-i", at(n), "-o", at(n) + ".vqi"])
                    for n in made]:
            job.result()
    return 0


if __name__ == "__main__":
    sys.exit(main())
