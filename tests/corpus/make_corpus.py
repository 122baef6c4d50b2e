#!/usr/bin/env python3
"""Makes the test corpus: small real H.264 and MPEG-2 streams, each as a raw stream,
split into three files, MPEG transport stream (188-byte packets), M2TS (192-byte
packets) and MPEG program stream; plus transport and program streams of the VC-1
samples in the shared test data when that folder is there.

Every picture carries a frame-number barcode in luma rows 0-15: 16 blocks of 20
pixels, block k white (235) when bit k of the source frame number is set. Interlaced
sources are stamped before interlacing, so each field carries the number of the
50p frame it came from.

Beside every file it writes the file's index (FILE.vqi) with the test indexer.

usage: make_corpus.py OUTDIR [--shared SHARED_DIR] [--indexer HALVERN]
       make_corpus.py OUTDIR --bench     (the large streams for bench/ only)
"""

import argparse
import concurrent.futures
import json
import os
import shutil
import subprocess
import sys

STAMP = ("geq=lum='if(lt(Y,16),if(bitand(N,pow(2,floor(X/20))),235,16),p(X,Y))'"
         ":cb='if(lt(Y,8),128,p(X,Y))':cr='if(lt(Y,8),128,p(X,Y))'")
FF = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"]
X264 = ["x264", "--quiet", "--no-progress", "--demuxer", "y4m", "--preset", "fast", "--crf", "28",
        "--threads", "1"]
MPEG2 = ["-c:v", "mpeg2video", "-threads", "1"]


def run(command, stdin=None, stdout=None):
    result = subprocess.run(command, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise RuntimeError("failed: %s\n%s" % (" ".join(command), result.stderr.decode(errors="replace")))
    return result


def pipe(source_command, sink_command):
    """Runs source | sink."""
    source = subprocess.Popen(source_command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    sink = subprocess.run(sink_command, stdin=source.stdout, stderr=subprocess.PIPE)
    source.stdout.close()
    source_error = source.stderr.read()
    source.wait()
    if source.returncode != 0 or sink.returncode != 0:
        raise RuntimeError("failed: %s | %s\n%s%s" % (" ".join(source_command), " ".join(sink_command),
                                                      source_error.decode(errors="replace"),
                                                      sink.stderr.decode(errors="replace")))


def progressive_source(seconds, rate="25", size="320x240"):
    return FF + ["-f", "lavfi", "-i", "testsrc2=size=%s:rate=%s" % (size, rate), "-t", str(seconds),
                 "-vf", STAMP, "-pix_fmt", "yuv420p", "-f", "yuv4mpegpipe", "-"]


def interlaced_source(seconds, order, size="320x240"):
    mode = "interleave_bottom" if order == "bff" else "interleave_top"
    return FF + ["-f", "lavfi", "-i", "testsrc2=size=%s:rate=50" % size, "-t", str(seconds),
                 "-vf", "%s,tinterlace=mode=%s,setfield=%s" % (STAMP, mode, order),
                 "-pix_fmt", "yuv420p", "-f", "yuv4mpegpipe", "-"]


# ---- MPEG-2 repeat flags in a progressive sequence ----

def set_progressive_repeats(data, frame_rate_code):
    """Sets repeat_first_field on every picture of a progressive MPEG-2 stream, with
    top_field_first alternating by display order (each frame shown for two or three
    fields: 24p carried as 60p), the given frame_rate_code and Main@High."""
    out = bytearray(data)
    gop_base = 0
    pictures_in_gop = 0
    display = 0
    i = 0
    end = len(out) - 8
    while i < end:
        if out[i] != 0 or out[i + 1] != 0 or out[i + 2] != 1:
            i += 1
            continue
        code = out[i + 3]
        if code == 0xB3:
            out[i + 7] = (out[i + 7] & 0xF0) | frame_rate_code
        elif code == 0xB8:
            gop_base += pictures_in_gop
            pictures_in_gop = 0
        elif code == 0x00:
            temporal_reference = (out[i + 4] << 2) | (out[i + 5] >> 6)
            display = gop_base + temporal_reference
            pictures_in_gop += 1
        elif code == 0xB5:
            extension = out[i + 4] >> 4
            if extension == 1:
                out[i + 4] = 0x14
                out[i + 5] = 0x40 | (out[i + 5] & 0x0F)
            elif extension == 8:
                flags = out[i + 7] & ~0x82
                flags |= 0x02
                if display % 2 == 1:
                    flags |= 0x80
                out[i + 7] = flags
        i += 4
    return bytes(out)


# ---- the streams ----

def avc(name, source, options, note):
    return {"name": name, "codec": "h264", "ext": "264", "source": source, "x264": options, "note": note}


def mpeg2(name, source, options, note, make=None):
    return {"name": name, "codec": "mpeg2video", "ext": "m2v", "source": source, "ffmpeg": options,
            "note": note, "make": make}


GOP_25 = ["--keyint", "25", "--min-keyint", "25", "--no-scenecut"]
STREAMS = [
    avc("avc_prog_closed", progressive_source(4), GOP_25 + ["--bframes", "3", "--b-pyramid", "normal"],
        "H.264 progressive 320x240 25p, 100 frames, closed GOPs of 25 (IDR each), pyramid B, no AUD"),
    avc("avc_open_gop", progressive_source(4),
        ["--aud", "--keyint", "24", "--min-keyint", "24", "--no-scenecut", "--bframes", "3", "--b-adapt", "0",
         "--b-pyramid", "normal", "--open-gop"],
        "H.264 progressive 25p, 100 frames, one IDR then non-IDR I pictures with recovery points every 24, "
        "leading B pictures"),
    avc("avc_mbaff_tff", interlaced_source(2, "tff"), ["--aud", "--tff"] + GOP_25 + ["--bframes", "3"],
        "H.264 MBAFF interlaced 25i top field first, 50 frames, GOPs of 25"),
    avc("avc_mbaff_bff", interlaced_source(2, "bff"), ["--aud", "--bff"] + GOP_25 + ["--bframes", "3"],
        "H.264 MBAFF interlaced 25i bottom field first, 50 frames, GOPs of 25"),
    avc("avc_pulldown_32", progressive_source(2, "24000/1001"),
        ["--aud", "--keyint", "24", "--bframes", "3", "--pulldown", "32"],
        "H.264 23.976p with soft 3:2 pulldown (pic_struct 5,6,3,4 cycle), 48 coded frames"),
    avc("avc_pulldown_double", progressive_source(2, "24000/1001"),
        ["--aud", "--keyint", "24", "--bframes", "3", "--pulldown", "double"],
        "H.264 23.976p with frame doubling (pic_struct 7), 48 coded frames"),
    avc("avc_pulldown_triple", progressive_source(2, "24000/1001"),
        ["--aud", "--keyint", "24", "--bframes", "3", "--pulldown", "triple"],
        "H.264 23.976p with frame tripling (pic_struct 8), 48 coded frames"),
    mpeg2("m2v_prog_closed", progressive_source(4),
          ["-q:v", "6", "-g", "12", "-bf", "2", "-flags", "+cgop", "-sc_threshold", "1000000000"],
          "MPEG-2 progressive 25p, 100 frames, closed GOPs of 12 (I P B B ...)"),
    mpeg2("m2v_prog_open", progressive_source(4), ["-q:v", "6", "-g", "12", "-bf", "2"],
          "MPEG-2 progressive 25p, 100 frames, open GOPs of 12 with leading B pictures"),
    mpeg2("m2v_int_tff", interlaced_source(2, "tff"),
          ["-q:v", "8", "-g", "12", "-bf", "2", "-flags", "+ilme+ildct", "-top", "1", "-alternate_scan", "1"],
          "MPEG-2 interlaced frame pictures 25i top field first, 50 frames, open GOPs of 12"),
    mpeg2("m2v_int_bff", interlaced_source(2, "bff"),
          ["-q:v", "8", "-g", "12", "-bf", "2", "-flags", "+ilme+ildct", "-top", "0", "-alternate_scan", "1"],
          "MPEG-2 interlaced frame pictures 25i bottom field first, 50 frames, open GOPs of 12"),
    mpeg2("m2v_pulldown32", progressive_source(2, "24000/1001", "320x256"), None,
          "MPEG-2 soft 3:2 pulldown (mpeg2enc), 320x256, 48 coded frames shown as 60 fields pairs at 29.97",
          make="mpeg2enc"),
    mpeg2("m2v_progseq_rff", progressive_source(2, "24000/1001"), ["-q:v", "8", "-g", "12", "-bf", "2"],
          "MPEG-2 progressive sequence with repeat_first_field on every frame (top_field_first alternating: "
          "shown 2 or 3 times, 24p in 59.94p), 48 coded frames", make="progressive-repeats"),
]


def make_raw(stream, work, raw):
    if stream["codec"] == "h264":
        pipe(stream["source"], X264 + stream["x264"] + ["-o", raw, "-"])
    elif stream.get("make") == "mpeg2enc":
        pipe(stream["source"], ["mpeg2enc", "-v", "0", "-f", "3", "-b", "2000", "-q", "8", "-g", "12", "-G", "12",
                                "-R", "2", "-p", "-s", "-o", raw])
    else:
        plain = os.path.join(work, stream["name"] + ".plain.m2v") if stream.get("make") else raw
        pipe(stream["source"], FF + ["-i", "-"] + MPEG2 + stream["ffmpeg"] + ["-f", "mpeg2video", plain])
        if stream.get("make") == "progressive-repeats":
            with open(plain, "rb") as f:
                data = f.read()
            with open(raw, "wb") as f:
                f.write(set_progressive_repeats(data, 7))


def split_three(path, out_dir, name, ext):
    with open(path, "rb") as f:
        data = f.read()
    # Cuts at odd offsets, inside units and packets.
    cuts = [0, len(data) // 3 + 17, 2 * len(data) // 3 + 5, len(data)]
    parts = []
    for i in range(3):
        part = "%s.split%d.%s" % (name, i, ext)
        with open(os.path.join(out_dir, part), "wb") as f:
            f.write(data[cuts[i]:cuts[i + 1]])
        parts.append(part)
    return parts


def make_audio(work):
    mp2 = os.path.join(work, "tone.mp2")
    ac3 = os.path.join(work, "tone.ac3")
    run(FF + ["-f", "lavfi", "-i", "sine=frequency=440:duration=5", "-c:a", "mp2", "-b:a", "64k", mp2])
    run(FF + ["-f", "lavfi", "-i", "sine=frequency=660:duration=5", "-c:a", "ac3", "-b:a", "64k", ac3])
    return mp2, ac3


def transport_inputs(stream, raw, work, rate):
    """Inputs with time stamps for remuxing a raw stream."""
    if stream["codec"] == "h264":
        mkv = os.path.join(work, stream["name"] + ".mkv")
        run(["mkvmerge", "-q", "-o", mkv, "--default-duration", "0:%sfps" % rate, raw])
        return ["-i", mkv]
    return ["-fflags", "+genpts", "-r", rate, "-i", raw]


# Video PIDs of the transport streams: not the muxer's default, so that a reader
# that assumes the default fails.
TS_VIDEO_PID = 0x1011
M2TS_VIDEO_PID = 0x1E1


def make_containers(codec, name, video_in, out_dir, audio, mpeg2_ps_from=None):
    """Transport stream, M2TS and program stream of one video input, each with audio
    beside the video. Runs the muxers side by side."""
    mp2, ac3 = audio
    bsf = ["-bsf:v", "h264_mp4toannexb"] if codec == "h264" else []
    common = video_in + ["-i", mp2, "-map", "0:v", "-map", "1:a", "-c", "copy", "-shortest"] + bsf
    ts = os.path.join(out_dir, name + ".ts")
    m2ts = os.path.join(out_dir, name + ".m2ts")
    vob = os.path.join(out_dir, name + ".vob")
    commands = [FF + common + ["-streamid", "0:%d" % TS_VIDEO_PID, "-f", "mpegts", ts],
                FF + common + ["-streamid", "0:%d" % M2TS_VIDEO_PID, "-f", "mpegts", "-mpegts_m2ts_mode", "1", m2ts]]
    if mpeg2_ps_from:
        # DVD-style program stream: navigation packets (private stream 2), padding, audio.
        commands.append(["mplex", "-v", "0", "-f", "8", "-o", vob, mpeg2_ps_from, mp2])
    else:
        # Audio as MPEG audio and as private stream 1, padding to full packs.
        commands.append(FF + video_in + ["-i", mp2, "-i", ac3, "-map", "0:v", "-map", "1:a", "-map", "2:a",
                                         "-c", "copy", "-shortest"] + bsf + ["-f", "vob", vob])
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        for job in [pool.submit(run, command) for command in commands]:
            job.result()
    return [
        {"file": name + ".ts", "parts": [name + ".ts"], "packaging": "ts", "packet_size": 188, "pid": TS_VIDEO_PID},
        {"file": name + ".m2ts", "parts": [name + ".m2ts"], "packaging": "m2ts", "packet_size": 192,
         "pid": M2TS_VIDEO_PID},
        {"file": name + ".vob", "parts": [name + ".vob"], "packaging": "ps"},
    ]


def make_packagings(stream, out_dir, work, audio):
    name, ext = stream["name"], stream["ext"]
    raw = os.path.join(out_dir, "%s.%s" % (name, ext))
    make_raw(stream, work, raw)
    entries = [{"file": os.path.basename(raw), "parts": [os.path.basename(raw)], "packaging": "raw"}]
    entries.append({"file": "%s.split0.%s" % (name, ext), "parts": split_three(raw, out_dir, name, ext),
                    "packaging": "split"})
    rate = "30000/1001" if name == "m2v_pulldown32" else ("60000/1001" if name == "m2v_progseq_rff" else
                                                          ("24000/1001" if "pulldown" in name else "25"))
    with open(raw + ".framemd5", "wb") as f:
        reference = subprocess.Popen(FF + ["-i", raw, "-f", "framemd5", "-pix_fmt", "yuv420p", "-"], stdout=f)
        entries += make_containers(stream["codec"], name, transport_inputs(stream, raw, work, rate), out_dir, audio,
                                   raw if stream["codec"] == "mpeg2video" else None)
        if reference.wait() != 0:
            raise RuntimeError("no frame checksums for " + raw)
    for entry in entries:
        entry.update({"stream": name, "codec": stream["codec"], "note": stream["note"]})
    return entries


def make_vc1(shared_dir, out_dir, audio):
    """Containers of the committed VC-1 samples (the samples themselves are read
    where they are)."""
    folder = os.path.join(shared_dir, "testdata", "vc1")
    entries = []
    for name in ("vc1_ap_gops", "vc1_ap_pulldown", "vc1_ap_interlace_rff"):
        raw = os.path.join(folder, name + ".vc1")
        if not os.path.isfile(raw):
            continue
        made = [{"file": raw, "parts": [raw], "packaging": "raw"}]
        made += make_containers("vc1", name, ["-fflags", "+genpts", "-r", "25", "-i", raw], out_dir, audio)
        for entry in made:
            entry.update({"stream": name, "codec": "vc1", "note": "VC-1 from the shared test data, " + name})
        entries += made
    return entries


def make_bench(out_dir):
    """A 1080p H.264 stream for the engine benchmark, and 100 MB transport and program
    streams for the byte-reader benchmark."""
    work = os.path.join(out_dir, "work")
    os.makedirs(work, exist_ok=True)
    raw = os.path.join(out_dir, "avc_1080p.264")
    pipe(progressive_source(10, "25", "1920x1080"),
         ["x264", "--quiet", "--no-progress", "--demuxer", "y4m", "--preset", "veryfast", "--crf", "16",
          "--keyint", "50", "--bframes", "3", "--aud", "-o", raw, "-"])
    mkv = os.path.join(work, "avc_1080p.mkv")
    run(["mkvmerge", "-q", "-o", mkv, "--default-duration", "0:25fps", raw])
    size = os.path.getsize(raw)
    loops = max(0, (100 * 1000 * 1000) // max(size, 1))
    ts = os.path.join(out_dir, "avc_1080p_100mb.ts")
    # (An explicit bitstream filter stops -stream_loop from looping; the transport
    # stream muxer inserts it by itself, and its stream is Annex B for the next step.)
    run(FF + ["-stream_loop", str(loops), "-i", mkv, "-map", "0:v", "-c", "copy", "-f", "mpegts", ts])
    run(FF + ["-i", ts, "-map", "0:v", "-c", "copy", "-f", "vob", os.path.join(out_dir, "avc_1080p_100mb.vob")])
    shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out_dir")
    parser.add_argument("--shared", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                         "..", "..", "..", "shared"))
    parser.add_argument("--bench", action="store_true")
    parser.add_argument("--indexer", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "indexer",
                                                          "halvern.py"))
    args = parser.parse_args()
    out_dir = os.path.abspath(args.out_dir)
    os.makedirs(out_dir, exist_ok=True)
    if args.bench:
        make_bench(out_dir)
        return 0
    work = os.path.join(out_dir, "work")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    audio = make_audio(work)
    entries = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
        jobs = [pool.submit(make_packagings, stream, out_dir, work, audio) for stream in STREAMS]
        for job in jobs:
            entries.extend(job.result())
    entries.extend(make_vc1(os.path.abspath(args.shared), out_dir, audio))
    # The index of every file, written by the test indexer beside it.
    with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
        jobs = []
        for entry in entries:
            command = [sys.executable, args.indexer]
            for part in entry["parts"]:
                command += ["-i", os.path.join(out_dir, part)]
            command += ["-o", os.path.join(out_dir, os.path.basename(entry["file"]) + ".vqi"), "-a"]
            jobs.append(pool.submit(run, command))
        for job in jobs:
            job.result()
    with open(os.path.join(out_dir, "corpus.json"), "w") as f:
        json.dump(entries, f, indent=1)
    # The same as plain lines for readers without a JSON parser:
    # file packaging codec packet_size pid part...
    with open(os.path.join(out_dir, "corpus.list"), "w") as f:
        for entry in entries:
            f.write("%s %s %s %d %d %s\n" % (entry["file"], entry["packaging"], entry["codec"],
                                              entry.get("packet_size", 0), entry.get("pid", 0),
                                              " ".join(entry["parts"])))
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
