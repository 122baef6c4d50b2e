#!/usr/bin/env python3
"""Writes the seed corpus of one fuzz target into a folder.

Usage: make_seeds.py KIND FOLDER
  index_avc, index_mpeg2, index_vc1: index files naming the source "video.bin" (the
      index fuzz target writes that file beside the index it reads);
  stream: inputs of the stream-unit target (four setting bytes, then the stream) over
      elementary, transport (188 and 192 bytes) and program streams;
  mkv, mp4: small files made with ffmpeg (a few bytes of header only when ffmpeg is
      missing); mkv also two files built here with chapters (nested, with processes),
      tags, attachments, Cues and every kind of block, the metadata ahead of the
      Clusters in one and behind them (reached through the SeekHead) in the other.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HEADER = "free text\nfree text\nvideo.bin 4096\n\n"


def index_seeds(magic, bodies):
    return {"%s_%d.vqi" % (magic[2:5].lower(), i): (magic + "\n" + HEADER + body).encode()
            for i, body in enumerate(bodies)}


def avc_index_seeds():
    frames = "".join("FRM %d %d %d %d\n" % (7 if k == 0 else 5, k, 255 if k % 3 else 2, k % 2)
                     for k in range(8))
    return index_seeds("VQAVCIndexFileJX14", [
        "STREAM 0\nSIZ 64 x 48\nFPS 25 / 1\nCLIP 0 0 0 0\nORDER 0\nSPS 0\nPPS 9\nIDR 0\n" + frames,
        "DEVICE 3\nDECODE_MODES 1,0,2\nSTREAM 1\nPKTSIZ 192\nVPID 4113\nSIZ 1920 x 1088\nCLIP 0 0 0 8\n"
        "FPS 30000 / 1001\nORDER 2\nSPS 0\nSPS 500\nPPS 20\nIDR 40\n" + frames + "GOP 900\n" + frames,
        "STREAM 3\nSIZ 720 x 576\nFPS 50 / 1\nSPS 0\nPPS 30\nGOP 100\nFRM 6 2 3 0\nFRM 6 0 3 1\nFRM 5 1 255 0\n",
    ])


def mpeg2_index_seeds():
    def frame(kind, top, repeat, progressive=0):
        return "FRM %s 7 %d %d %d\n" % (kind, top, repeat, progressive)
    wxyz = frame("I", 1, 1) + frame("B", 0, 0) + frame("B", 0, 1) + frame("P", 1, 0)
    return index_seeds("VQMPGIndexFileJX14", [
        "STREAM 0\nSIZ 720 x 480\nFPS 30000 / 1001\nCLIP 0 0 0 0\nORDER 1\nSEQ 0\nGOP 1 0\n" + wxyz,
        "STREAM 3\nSIZ 720 x 576\nFPS 25 / 1\nSEQ 0\nSEQEXT 1\nGOP 0 5\n" + frame("I", 0, 0, 1) +
        frame("B", 0, 0, 0) + "SEQ 700\nGOP 1 2\n" + frame("P", 0, 1, 1) + frame("P", 1, 1, 1),
        "STREAM 1\nVPID 256\nSIZ 64 x 64\nSEQ 0\nGOP 0 0\n" + frame("B", 1, 1) + frame("B", 0, 0) +
        frame("I", 0, 0) + frame("P", 0, 0),
    ])


def vc1_index_seeds():
    def frames(kind, pulldowns):
        return "".join("FRM %d 0 %d\n" % (kind, p) for p in pulldowns)
    return index_seeds("VQVC1IndexFileJX14", [
        "STREAM 0\nSIZ 320 x 240\nFPS 25 / 1\nCLIP 0 0 0 16\nSEQ 0 0 0 0 1u\nENTRY 0 1\n" +
        frames(0, [255]) + frames(1, [255, 255]) + frames(3, [255]),
        "STREAM 1\nVPID 4113\nSIZ 720 x 480\nSEQ 0 1 0 0 6u\nENTRY 0 1\n" + frames(0, [3, 0, 1, 2]) +
        "SEQ 5000000000 0 0 1 3\nENTRY 9 0\n" + frames(3, [2, 2]) + frames(0, [0]),
        "SEQ 0 0 0 0 0u\n" + frames(3, [255, 255]) + frames(1, [255]) + "ENTRYX 1 1\n",
    ])


# ---- streams ----

def avc_units():
    sps = b"\x00\x00\x00\x01\x67\x42\xc0\x1e\xda\x02\x80\xbf\xe5\xc0\x44\x00"
    pps = b"\x00\x00\x01\x68\xce\x3c\x80"
    idr = b"\x00\x00\x01\x65\x88\x84" + bytes(range(1, 200)) + b"\x00\x00"
    p = b"\x00\x00\x00\x01\x41\x9a" + bytes((i * 7 + 1) % 255 + 1 for i in range(150))
    return sps + pps + idr + p + p


def mpeg2_units():
    seq = b"\x00\x00\x01\xb3\x04\x00\x30\x13\xff\xff\xe0\x18"
    gop = b"\x00\x00\x01\xb8\x00\x08\x00\x00"
    pic = b"\x00\x00\x01\x00\x00\x0f\xff\xf8"
    slice_ = b"\x00\x00\x01\x01" + bytes((i * 5 + 3) % 255 + 1 for i in range(120))
    return seq + gop + pic + slice_ + pic + slice_


def pes(stream_id, payload, header_data=b"\x21\x00\x01\x00\x01"):
    body = bytes([0x80, 0x80 if header_data else 0x00, len(header_data)]) + header_data + payload
    return b"\x00\x00\x01" + bytes([stream_id]) + struct.pack(">H", len(body)) + body


def ts_packets(es, pid, packet_size):
    out = bytearray()
    counter = 0

    def packet(this_pid, unit_start, body, adaptation=None):
        nonlocal counter
        control = 0x10 if adaptation is None else 0x30
        header = bytes([0x47, (0x40 if unit_start else 0) | (this_pid >> 8), this_pid & 0xFF,
                        control | (counter & 15)])
        counter += 1
        if adaptation is not None:
            header += bytes([len(adaptation)]) + adaptation
        data = header + body
        data += b"\xff" * (188 - len(data))
        return (b"\x00\x01\x02\x03" if packet_size == 192 else b"") + data

    chunk = pes(0xE0, b"")[:9 + 5]  # header of a PES with no payload length
    position = 0
    first = True
    while position < len(es):
        if first:
            body = chunk + es[position:position + 188 - 4 - len(chunk)]
        else:
            body = es[position:position + 184]
        position += len(body) - (len(chunk) if first else 0)
        out += packet(pid, first, body)
        out += packet(0x11, True, b"\x00\x00\x01\xc0\x00\x10" + b"\x80" * 16)  # audio, other PID
        first = False
    out += packet(pid, False, b"", adaptation=b"\x00" * 183)  # adaptation only
    return bytes(out)


def ps_stream(es):
    pack = b"\x00\x00\x01\xba\x44\x00\x04\x00\x04\x01\x01\x89\xc3\xf8"
    system = b"\x00\x00\x01\xbb\x00\x0c\x80\xc4\xe1\x04\xe1\xff\xe0\xe0\xe8\xc0\xc0\x20"
    out = bytearray(pack + system)
    for start in range(0, len(es), 100):
        out += pes(0xE0, es[start:start + 100])
        out += pes(0xC0, b"\x55" * 20)
        out += b"\x00\x00\x01\xbe" + struct.pack(">H", 10) + b"\xff" * 10
        out += pack
    out += b"\x00\x00\x01\xe0\x00\x08\x0f\x00\x00\x01\xb3\x00\x00\x00"  # MPEG-1 style header
    out += b"\x00\x00\x01\xb9"
    return bytes(out)


def stream_seeds():
    # Setting bytes: [0] bits 0-1 packaging (0 elementary, 1 transport, 2 program),
    # bits 2-3 packet size (188, 192, 204); [1], [2] video PID; [3] bit 0 AVC extractor,
    # bits 1-2 number of source files - 1, bit 3 sizes not the files' own, bits 4-7 seek.
    avc, mpeg2 = avc_units(), mpeg2_units()
    seeds = {
        "es_avc": bytes([0, 0, 0, 0x01]) + avc,
        "es_avc_split": bytes([0, 0, 0, 0x05 | 0x30]) + avc,
        "es_mpeg2": bytes([0, 0, 0, 0x00]) + mpeg2,
        "es_sizes_off": bytes([0, 0, 0, 0x0b]) + mpeg2 + avc,
        "ts_avc": bytes([1, 0x10, 0x11, 0x01]) + ts_packets(avc, 0x1011, 188),
        "ts_mpeg2_split": bytes([1, 0x01, 0x00, 0x02 | 0x40]) + ts_packets(mpeg2, 0x100, 188),
        "m2ts_avc": bytes([1 | 4, 0x10, 0x11, 0x01 | 0x70]) + ts_packets(avc, 0x1011, 192),
        "ps_mpeg2": bytes([2, 0, 0, 0x00]) + ps_stream(mpeg2),
        "ps_avc_split": bytes([2, 0, 0, 0x05 | 0x20]) + ps_stream(avc),
    }
    return {name + ".bin": data for name, data in seeds.items()}


# ---- Matroska built by hand: chapters, tags, attachments and every kind of block ----

def ebml_id(value):
    return value.to_bytes((value.bit_length() + 7) // 8, "big")


def ebml_size(size):
    length = 1
    while length < 8 and size >= (1 << (7 * length)) - 1:
        length += 1
    return (size | (1 << (7 * length))).to_bytes(length, "big")


def el(value, *children):
    payload = b"".join(children)
    return ebml_id(value) + ebml_size(len(payload)) + payload


def uint_el(value, number):
    return el(value, number.to_bytes(max(1, (number.bit_length() + 7) // 8), "big"))


def text_el(value, text):
    return el(value, text.encode())


def atom(uid, start, *children):
    return el(0xB6, uint_el(0x73C4, uid), uint_el(0x91, start), uint_el(0x92, start + 40000000), *children)


def mkv_metadata():
    display = el(0x80, text_el(0x85, "Chapter"), text_el(0x437C, "eng"), text_el(0x437E, "us"))
    no_string = el(0x80, text_el(0x437C, "fre"))  # a display without ChapString
    process = el(0x6944, uint_el(0x6955, 1), text_el(0x450D, "private"),
                 el(0x6911, uint_el(0x6922, 2), text_el(0x6933, "command")),
                 el(0x6911, uint_el(0x6922, 1)))  # a command without data
    bare_process = el(0x6944, uint_el(0x6955, 0))  # a process without command
    nested = atom(3, 20000000, display, atom(4, 30000000, no_string, atom(5, 35000000, display, process)))
    chapters = el(0x1043A770,
                  el(0x45B9, uint_el(0x45BC, 9), uint_el(0x45BD, 0), uint_el(0x45DB, 1), uint_el(0x45DD, 1),
                     atom(1, 0, display, no_string, el(0x8F, uint_el(0x89, 1), uint_el(0x89, 2)),
                          el(0x6E67, bytes(range(16))), uint_el(0x98, 1), uint_el(0x4598, 0),
                          process, bare_process),
                     nested),
                  el(0x45B9, atom(2, 10000000, display)))
    simple = el(0x67C8, text_el(0x45A3, "TITLE"), text_el(0x4487, "seed"), text_el(0x447A, "eng"),
                uint_el(0x4484, 1), el(0x67C8, text_el(0x45A3, "NESTED"), text_el(0x4487, "x")))
    tags = el(0x1254C367,
              el(0x7373, el(0x63C0, uint_el(0x68CA, 50), uint_el(0x63C5, 1), uint_el(0x63C4, 3),
                            uint_el(0x63C6, 7), uint_el(0x63C9, 9)),
                 simple, el(0x67C8, text_el(0x45A3, "NAME ONLY")), el(0x67C8, el(0x4485, b"\x00\x01"))),
              el(0x7373))
    attachments = el(0x1941A469,
                     el(0x61A7, text_el(0x466E, "cover.txt"), text_el(0x467E, "about"),
                        text_el(0x4660, "text/plain"), uint_el(0x46AE, 7), el(0x465C, b"attached data")),
                     el(0x61A7, text_el(0x466E, "no data.txt"), uint_el(0x46AE, 8)))
    return chapters, tags, attachments


def mkv_clusters():
    avc = b"\x00\x00\x00\x05\x65\x88\x84\x00\x10"
    xiph = b"\x02\x05\x05" + avc[4:] * 3  # three frames of 5 bytes
    ebml = b"\x02\x85\xbf" + avc[4:] * 3  # sizes 5, 5 (difference 0), rest
    fixed = b"\x01" + avc * 2
    additions = el(0x75A1, el(0xA6, uint_el(0xEE, 2), el(0xA5, b"addition")),
                   el(0xA6, el(0xA5, b"a"), el(0xA5, b"b")))
    first = el(0x1F43B675, uint_el(0xE7, 0), uint_el(0xA7, 0), uint_el(0xAB, 0),
               el(0x5854, uint_el(0x58D7, 2)),
               el(0xA3, b"\x81\x00\x00\x80" + avc),
               el(0xA3, b"\x81\x00\x28\x02" + xiph),
               el(0xA3, b"\x81\x00\x50\x06" + ebml),
               el(0xA3, b"\x82\x00\x00\x80" + b"audio"),
               el(0xA0, el(0xA1, b"\x81\x00\x78\x00" + avc), uint_el(0x9B, 40), uint_el(0xFB, 40), additions))
    second = el(0x1F43B675, uint_el(0xE7, 200),
                el(0xA3, b"\x81\x00\x00\x85" + fixed),
                el(0xA0, el(0xA1, b"\x81\x00\x28\x00" + avc)))
    return first, second


def mkv_file(metadata_first):
    chapters, tags, attachments = mkv_metadata()
    first, second = mkv_clusters()
    info = el(0x1549A966, uint_el(0x2AD7B1, 1000000), el(0x4489, b"\x46\x1c\x40\x00"),
              text_el(0x7BA9, "seed"), text_el(0x4D80, "seeds"), text_el(0x5741, "seeds"))
    avcc = b"\x01\x42\x00\x1e\xff\xe1\x00\x05\x67\x42\x00\x1e\x01\x01\x00\x04\x68\xce\x38\x80"
    tracks = el(0x1654AE6B,
                el(0xAE, uint_el(0xD7, 1), uint_el(0x73C5, 11), uint_el(0x83, 1), text_el(0x86, "V_MPEG4/ISO/AVC"),
                   el(0x63A2, avcc), uint_el(0x23E383, 40000000), text_el(0x22B59C, "und"),
                   el(0xE0, uint_el(0xB0, 64), uint_el(0xBA, 48), uint_el(0x54B0, 64), uint_el(0x54BA, 48)),
                   el(0x6D80, el(0x6240, uint_el(0x5031, 0), uint_el(0x5032, 1),
                                 el(0x5034, uint_el(0x4254, 3), el(0x4255, b"\x00\x00\x00"))))),
                el(0xAE, uint_el(0xD7, 2), uint_el(0x83, 2), text_el(0x86, "A_PCM/INT/LIT"),
                   el(0xE1, el(0xB5, b"\x47\x3b\x80\x00"), uint_el(0x9F, 2), uint_el(0x6264, 16))))
    head_parts = [info, tracks]
    tail_parts = []
    (head_parts if metadata_first else tail_parts).extend([chapters, tags, attachments])
    body = b"".join(head_parts) + first + second + b"".join(tail_parts)

    def seek_head(positions):
        return el(0x114D9B74, *[el(0x4DBB, el(0x53AB, ebml_id(i)), el(0x53AC, p.to_bytes(8, "big")))
                                for i, p in positions])
    ids = [0x1549A966, 0x1654AE6B, 0x1F43B675, 0x1043A770, 0x1254C367, 0x1941A469, 0x1C53BB6B]
    head_size = len(seek_head([(i, 0) for i in ids]))
    order = head_parts + [first, second] + tail_parts
    positions, at = {}, head_size
    for part in order:
        positions.setdefault(int.from_bytes(part[:4], "big") if part[0] < 0x80 else part[0], at)
        at += len(part)
    clusters_at = head_size + sum(len(p) for p in head_parts)
    cues = el(0x1C53BB6B,
              el(0xBB, uint_el(0xB3, 0), el(0xB7, uint_el(0xF7, 1), uint_el(0xF1, clusters_at),
                                            uint_el(0x5378, 1), uint_el(0xEA, 0),
                                            el(0xDB, uint_el(0x96, 0), uint_el(0x97, 0)))),
              el(0xBB, uint_el(0xB3, 200), el(0xB7, uint_el(0xF7, 1), uint_el(0xF1, clusters_at + len(first)))))
    seek = seek_head([(0x1549A966, positions[0x1549A966]), (0x1654AE6B, positions[0x1654AE6B]),
                      (0x1F43B675, clusters_at), (0x1043A770, positions[0x1043A770]),
                      (0x1254C367, positions[0x1254C367]), (0x1941A469, positions[0x1941A469]),
                      (0x1C53BB6B, at)])
    header = el(0x1A45DFA3, uint_el(0x4286, 1), uint_el(0x42F7, 1), uint_el(0x42F2, 4), uint_el(0x42F3, 8),
                text_el(0x4282, "matroska"), uint_el(0x4287, 4), uint_el(0x4285, 2))
    return header + el(0x18538067, seek, body, cues)


def mkv_seeds():
    return {"metadata_first.mkv": mkv_file(True), "metadata_behind.mkv": mkv_file(False)}


def container_seeds(kind):
    ffmpeg = shutil.which("ffmpeg")
    fallback = {"mkv": b"\x1a\x45\xdf\xa3\x9f\x42\x86\x81\x01\x42\xf7\x81\x01\x42\x82\x88matroska",
                "mp4": b"\x00\x00\x00\x18ftypisom\x00\x00\x02\x00isomiso2"}[kind]
    seeds = {"header." + kind: fallback}
    if kind == "mkv":
        seeds.update(mkv_seeds())
    if not ffmpeg:
        return seeds
    with tempfile.TemporaryDirectory() as work:
        for name, codec in (("avc", ["-c:v", "libx264", "-g", "4", "-bf", "2"]),
                            ("mpeg2", ["-c:v", "mpeg2video", "-g", "4"])):
            out = os.path.join(work, name + "." + kind)
            command = [ffmpeg, "-v", "error", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=0.4",
                       "-pix_fmt", "yuv420p"] + codec + ["-y", out]
            if subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
                continue
            with open(out, "rb") as f:
                data = f.read()
            seeds[name + "." + kind] = data
            seeds["head_" + name + "." + kind] = data[:len(data) // 2]
    return seeds


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    kind, folder = sys.argv[1], sys.argv[2]
    makers = {"index_avc": avc_index_seeds, "index_mpeg2": mpeg2_index_seeds, "index_vc1": vc1_index_seeds,
              "stream": stream_seeds, "mkv": lambda: container_seeds("mkv"), "mp4": lambda: container_seeds("mp4")}
    if kind not in makers:
        sys.exit("unknown seed kind " + kind)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in makers[kind]().items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
