#!/usr/bin/env python3
"""Makes the MP4 test files from the generated corpus and the shared VC-1 samples.

usage: make_mp4_corpus.py OUT_DIR CORPUS_DIR SHARED_DIR

AVC: the corpus streams remuxed (raw -> Matroska -> MP4, NAL lengths of 4 bytes), the
closed-GOP one rewritten to 2- and 3-byte lengths and a tiny stream to 1-byte
lengths with the shared NAL-size tool; MPEG-2: the corpus transport streams remuxed
(sample entry mp4v, object type 0x61); VC-1: the shared samples ("vc-1" entries);
a file whose first video track is MPEG-4 Part 2 and whose second is AVC; a file with
only an audio track; the closed-GOP AVC file with its moov ahead of the samples. A file whose inputs are missing is left out (the tests that
need it skip).
"""

import concurrent.futures
import os
import shutil
import subprocess
import sys

FF = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y"]


def run(command):
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL)


def main(out_dir, corpus_dir, shared_dir):
    os.makedirs(out_dir, exist_ok=True)
    work = os.path.join(out_dir, "work")
    os.makedirs(work, exist_ok=True)
    nalsize = os.path.join(shared_dir, "tools", "mp4_nalsize.py")
    vc1_dir = os.path.join(shared_dir, "testdata", "vc1")

    def out(name):
        return os.path.join(out_dir, name)

    def corpus(name):
        return os.path.join(corpus_dir, name)

    def avc(name, raw, rate="25"):
        if not os.path.isfile(corpus(raw)):
            return []
        mkv = os.path.join(work, name + ".mkv")
        return [["mkvmerge", "-q", "-o", mkv, "--default-duration", "0:%sfps" % rate, corpus(raw)],
                FF + ["-i", mkv, "-c", "copy", "-f", "mp4", out(name + ".mp4")]]

    jobs = [
        avc("avc_closed", "avc_prog_closed.264"),
        avc("avc_open_gop", "avc_open_gop.264"),
        avc("avc_mbaff_tff", "avc_mbaff_tff.264"),
        avc("avc_pulldown_32", "avc_pulldown_32.264", "24000/1001"),
        [FF + ["-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25", "-t", "4", "-pix_fmt", "yuv420p", "-c:v",
               "libx264", "-threads", "1", "-preset", "fast", "-crf", "51", "-g", "25", "-bf", "2", "-bsf:v",
               "filter_units=remove_types=6", "-f", "mp4", os.path.join(work, "tiny.mp4")]],
        [FF + ["-f", "lavfi", "-i", "sine=frequency=440:duration=1", "-c:a", "aac", "-f", "mp4",
               out("audio_only.mp4")]],
    ]
    for name in ("m2v_prog_closed", "m2v_prog_open", "m2v_int_tff", "m2v_int_bff", "m2v_pulldown32"):
        if os.path.isfile(corpus(name + ".ts")):
            jobs.append([FF + ["-i", corpus(name + ".ts"), "-map", "0:v", "-c", "copy", "-f", "mp4",
                               out(name + ".mp4")]])
    for name in ("vc1_ap_gops", "vc1_ap_pulldown", "vc1_ap_interlace_rff", "vc1_ap_intra"):
        raw = os.path.join(vc1_dir, name + ".vc1")
        if os.path.isfile(raw):
            jobs.append([FF + ["-fflags", "+genpts", "-r", "25", "-i", raw, "-c", "copy", "-f", "mp4",
                               out(name + ".mp4")]])
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        for future in [pool.submit(lambda commands: [run(c) for c in commands], job) for job in jobs if job]:
            future.result()

    # Second steps: NAL length rewrites and the two-track file.
    later = []
    if os.path.isfile(nalsize):
        if os.path.isfile(out("avc_closed.mp4")):
            for n in (2, 3):
                later.append([sys.executable, nalsize, out("avc_closed.mp4"), out("avc_closed_nal%d.mp4" % n), str(n)])
        later.append([sys.executable, nalsize, os.path.join(work, "tiny.mp4"), out("avc_tiny_nal1.mp4"), "1"])
    if os.path.isfile(out("avc_closed.mp4")):
        later.append(FF + ["-i", out("avc_closed.mp4"), "-c", "copy", "-movflags", "+faststart", "-f", "mp4",
                           out("avc_closed_faststart.mp4")])
        later.append(FF + ["-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-i", out("avc_closed.mp4"),
                           "-map", "0:v", "-map", "1:v", "-c:v:0", "mpeg4", "-c:v:1", "copy", "-shortest",
                           "-f", "mp4", out("mixed_mpeg4_avc.mp4")])
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        for future in [pool.submit(run, command) for command in later]:
            future.result()
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        sys.exit(2)
    main(*sys.argv[1:])
