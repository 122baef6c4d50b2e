#!/usr/bin/env python3
"""halvern: the test-only indexer. Writes the index file of an H.264, MPEG-2 or VC-1
video stream that lies in a raw stream (one or several files), an MPEG transport
stream (188- or 192-byte packets), an MPEG program stream or a Matroska file.

usage: halvern -i SOURCE [-i SOURCE ...] -o INDEX [-a]

Several -i options name the pieces of one stream in order. -a is accepted and has
no effect (every index is written whole). See README.md for the values chosen.
"""

import bisect
import math
import os
import struct
import subprocess
import sys

from halvern_mkv import FileBytes, demux_mkv, is_matroska
sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
import halvern_mp4  # noqa: E402  (MP4 input, beside this script)

# ---------------------------------------------------------------------------
# Reading the video elementary stream out of its packaging, with the file position
# of every byte.


class Segments:
    """Where each run of elementary-stream bytes lies in the concatenated files."""

    def __init__(self):
        self.es_starts = []
        self.file_starts = []

    def add(self, es_offset, file_position):
        if self.es_starts and self.file_starts[-1] + (es_offset - self.es_starts[-1]) == file_position:
            return  # continues the last run
        self.es_starts.append(es_offset)
        self.file_starts.append(file_position)

    def position(self, es_offset):
        i = bisect.bisect_right(self.es_starts, es_offset) - 1
        return self.file_starts[i] + (es_offset - self.es_starts[i])


def detect_packet_size(data):
    for size, first in ((188, 0), (192, 4)):
        if len(data) >= first + 2 * size + 1 and all(data[first + k * size] == 0x47 for k in range(3)
                                                        if first + k * size < len(data)):
            return size
    return 0


TS_VIDEO_TYPES = {0x01: "mpeg2", 0x02: "mpeg2", 0x1B: "h264", 0xEA: "vc1"}


def demux_ts(data, packet_size):
    """Returns (codec, pid, es bytes, segments)."""
    prefix = 4 if packet_size == 192 else 0
    pmt_pids = set()
    video_pid = None
    codec = None
    es = bytearray()
    segments = Segments()
    sections = {}
    position = 0
    while position + packet_size <= len(data):
        packet = position + prefix
        if data[packet] != 0x47:
            # Lost sync: look for the next sync byte that repeats one packet later.
            position += 1
            while position + packet_size <= len(data):
                p = position + prefix
                if data[p] == 0x47 and (p + packet_size >= len(data) or data[p + packet_size] == 0x47):
                    break
                position += 1
            continue
        unit_start = data[packet + 1] & 0x40
        pid = ((data[packet + 1] & 0x1F) << 8) | data[packet + 2]
        control = (data[packet + 3] >> 4) & 3
        payload = packet + 4
        if control & 2:
            payload += 1 + data[packet + 4]
        end = packet + 188
        position += packet_size
        if not control & 1 or payload >= end:
            continue
        if video_pid is None and (pid == 0 or pid in pmt_pids):
            # Program tables (each assumed to fit one packet, as the muxers here write them).
            if not unit_start:
                continue
            section = payload + 1 + data[payload]
            if pid == 0:
                length = ((data[section + 1] & 0x0F) << 8) | data[section + 2]
                entry = section + 8
                while entry + 4 <= section + 3 + length - 4:
                    number = (data[entry] << 8) | data[entry + 1]
                    if number != 0:
                        pmt_pids.add(((data[entry + 2] & 0x1F) << 8) | data[entry + 3])
                    entry += 4
            else:
                length = ((data[section + 1] & 0x0F) << 8) | data[section + 2]
                info = ((data[section + 10] & 0x0F) << 8) | data[section + 11]
                entry = section + 12 + info
                while entry + 5 <= section + 3 + length - 4:
                    stream_type = data[entry]
                    elementary = ((data[entry + 1] & 0x1F) << 8) | data[entry + 2]
                    if stream_type in TS_VIDEO_TYPES and video_pid is None:
                        video_pid, codec = elementary, TS_VIDEO_TYPES[stream_type]
                    entry += 5 + (((data[entry + 3] & 0x0F) << 8) | data[entry + 4])
            sections[pid] = True
            continue
        if pid != video_pid:
            continue
        if unit_start:
            payload += 9 + data[payload + 8]
            if payload >= end:
                continue
        segments.add(len(es), payload)
        es += data[payload:end]
    if video_pid is None:
        raise SystemExit("halvern: no video stream in the transport stream")
    return codec, video_pid, bytes(es), segments


def demux_ps(data):
    """Returns (es bytes, segments) of the first video stream (MPEG-2 PES headers)."""
    es = bytearray()
    segments = Segments()
    video_id = None
    i = 0
    size = len(data)
    while i + 4 <= size:
        if data[i] != 0 or data[i + 1] != 0 or data[i + 2] != 1:
            i = data.find(b"\x00\x00\x01", i + 1)
            if i < 0:
                break
            continue
        code = data[i + 3]
        if code == 0xBA:
            if i + 14 > size:
                break
            if data[i + 4] & 0xC0 == 0x40:
                i += 14 + (data[i + 13] & 7)
            else:
                i += 12
            continue
        if code == 0xB9:
            i += 4
            continue
        if code < 0xBB or i + 6 > size:
            i += 1
            continue
        length = (data[i + 4] << 8) | data[i + 5]
        end = min(i + 6 + length, size)
        if 0xE0 <= code <= 0xEF and (video_id is None or code == video_id) and i + 9 <= size \
                and data[i + 6] & 0xC0 == 0x80:
            video_id = code
            payload = i + 9 + data[i + 8]
            if payload < end:
                segments.add(len(es), payload)
                es += data[payload:end]
        i = i + 6 + length
    if video_id is None:
        raise SystemExit("halvern: no video stream in the program stream")
    return bytes(es), segments


# ---------------------------------------------------------------------------
# Bits


class Bits:
    def __init__(self, data):
        self.data = data
        self.bit = 0

    def u(self, count):
        value = 0
        for _ in range(count):
            byte = self.data[self.bit >> 3] if (self.bit >> 3) < len(self.data) else 0
            value = (value << 1) | ((byte >> (7 - (self.bit & 7))) & 1)
            self.bit += 1
        return value

    def ue(self):
        zeros = 0
        while self.u(1) == 0:
            zeros += 1
            if zeros > 31:
                raise ValueError("bad Exp-Golomb code")
        return (1 << zeros) - 1 + self.u(zeros)

    def se(self):
        value = self.ue()
        return (value + 1) // 2 if value & 1 else -(value // 2)


def unescape(data):
    """Removes emulation prevention bytes (00 00 03)."""
    if b"\x00\x00\x03" not in data:
        return data
    out = bytearray()
    i = 0
    while True:
        j = data.find(b"\x00\x00\x03", i)
        if j < 0:
            out += data[i:]
            return bytes(out)
        out += data[i:j + 2]
        i = j + 3


def start_codes(es):
    """Offsets of the 00 00 01 prefixes in the stream."""
    found = []
    i = es.find(b"\x00\x00\x01")
    while i >= 0:
        found.append(i)
        i = es.find(b"\x00\x00\x01", i + 3)
    return found


def units(es):
    """(offset of 00 00 01, payload bytes without start code and trailing zeros). es is the
    whole stream, or an iterable of its pieces in order (read as they come)."""
    if not isinstance(es, (bytes, bytearray, memoryview)):
        yield from units_of_pieces(es)
        return
    offsets = start_codes(es)
    for k, start in enumerate(offsets):
        end = offsets[k + 1] if k + 1 < len(offsets) else len(es)
        body = es[start + 3:end]
        yield start, body.rstrip(b"\x00") if k + 1 < len(offsets) else body


def units_of_pieces(pieces):
    """What units() gives for the stream the pieces make, holding only the unit being read."""
    held = bytearray()  # the stream from offset `base` on: the current unit and what follows
    base = 0
    unit = None  # offset in held of the current unit's 00 00 01
    search = 0
    for piece in pieces:
        held += piece
        while True:
            found = held.find(b"\x00\x00\x01", search)
            if found < 0:
                search = max(search, len(held) - 2)  # a start code may straddle the next piece
                break
            if unit is not None:
                yield base + unit, bytes(held[unit + 3:found]).rstrip(b"\x00")
            unit, search = found, found + 3
        keep = unit if unit is not None else max(len(held) - 2, 0)
        if keep:
            del held[:keep]
            base += keep
            search -= keep
            unit = 0 if unit is not None else None
    if unit is not None:
        yield base + unit, bytes(held[unit + 3:])


# ---------------------------------------------------------------------------
# H.264


def skip_scaling_list(bits, size):
    last, next_scale = 8, 8
    for _ in range(size):
        if next_scale != 0:
            next_scale = (last + bits.se() + 256) % 256
        last = next_scale if next_scale != 0 else last


def parse_hrd(bits):
    count = bits.ue() + 1
    bits.u(4)
    bits.u(4)
    for _ in range(count):
        bits.ue()
        bits.ue()
        bits.u(1)
    bits.u(5)
    cpb_removal_length = bits.u(5) + 1
    dpb_output_length = bits.u(5) + 1
    bits.u(5)
    return cpb_removal_length, dpb_output_length


def parse_sps(body):
    bits = Bits(unescape(body[1:]))
    sps = {}
    profile = bits.u(8)
    bits.u(8)
    bits.u(8)
    sps["id"] = bits.ue()
    sps["separate_planes"] = 0
    if profile in (100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135):
        chroma = bits.ue()
        if chroma == 3:
            sps["separate_planes"] = bits.u(1)
        bits.ue()
        bits.ue()
        bits.u(1)
        if bits.u(1):
            for i in range(12 if chroma == 3 else 8):
                if bits.u(1):
                    skip_scaling_list(bits, 16 if i < 6 else 64)
    sps["log2_frame_num"] = bits.ue() + 4
    sps["poc_type"] = bits.ue()
    if sps["poc_type"] == 0:
        sps["log2_poc_lsb"] = bits.ue() + 4
    elif sps["poc_type"] == 1:
        raise SystemExit("halvern: picture order count type 1 is not supported")
    bits.ue()
    bits.u(1)
    width_mbs = bits.ue() + 1
    height_units = bits.ue() + 1
    sps["frame_mbs_only"] = bits.u(1)
    if not sps["frame_mbs_only"]:
        bits.u(1)
    bits.u(1)
    crop = [0, 0, 0, 0]
    if bits.u(1):
        crop = [bits.ue(), bits.ue(), bits.ue(), bits.ue()]
    sps["width"] = width_mbs * 16
    sps["height"] = height_units * 16 * (2 - sps["frame_mbs_only"])
    unit_y = 2 * (2 - sps["frame_mbs_only"])
    sps["crop"] = [crop[0] * 2, crop[1] * 2, crop[2] * unit_y, crop[3] * unit_y]
    sps["pic_struct_present"] = 0
    sps["hrd_lengths"] = None
    sps["timing"] = None
    if bits.u(1):  # VUI
        if bits.u(1):
            if bits.u(8) == 255:
                bits.u(32)
        if bits.u(1):
            bits.u(1)
        if bits.u(1):
            bits.u(4)
            if bits.u(1):
                bits.u(24)
        if bits.u(1):
            bits.ue()
            bits.ue()
        if bits.u(1):
            units_in_tick = bits.u(32)
            time_scale = bits.u(32)
            bits.u(1)
            sps["timing"] = (time_scale, 2 * units_in_tick)
        nal_hrd = bits.u(1)
        if nal_hrd:
            sps["hrd_lengths"] = parse_hrd(bits)
        vcl_hrd = bits.u(1)
        if vcl_hrd:
            sps["hrd_lengths"] = parse_hrd(bits)
        if nal_hrd or vcl_hrd:
            bits.u(1)
        sps["pic_struct_present"] = bits.u(1)
    return sps


def parse_pps(body):
    bits = Bits(unescape(body[1:]))
    pps_id = bits.ue()
    sps_id = bits.ue()
    bits.u(1)
    return pps_id, {"sps": sps_id, "bottom_poc_present": bits.u(1)}


def parse_sei(body, sps):
    """pic_struct (or None) and whether a recovery point message is present."""
    data = unescape(body[1:])
    i = 0
    pic_struct = None
    recovery = False
    while i < len(data) and data[i] != 0x80:
        kind = 0
        while i < len(data) and data[i] == 0xFF:
            kind += 255
            i += 1
        kind += data[i] if i < len(data) else 0
        i += 1
        size = 0
        while i < len(data) and data[i] == 0xFF:
            size += 255
            i += 1
        size += data[i] if i < len(data) else 0
        i += 1
        payload = data[i:i + size]
        i += size
        if kind == 6:
            recovery = True
        elif kind == 1 and sps is not None and sps["pic_struct_present"]:
            bits = Bits(payload)
            if sps["hrd_lengths"]:
                bits.u(sps["hrd_lengths"][0])
                bits.u(sps["hrd_lengths"][1])
            pic_struct = bits.u(4)
    return pic_struct, recovery


def index_h264(es):
    sps_table, pps_table = {}, {}
    sps_positions, pps_positions = [], []
    pictures = []  # coding order
    pending_start = None
    pending_sei = (None, False)
    poc_state = {"prev_msb": 0, "prev_lsb": 0, "prev_frame_num": 0, "prev_offset": 0}
    last_sps = None
    for offset, body in units(es):
        if not body:
            continue
        kind = body[0] & 0x1F
        if kind in (1, 5):
            bits = Bits(unescape(body[1:8 + 64]))
            first_mb = bits.ue()
            slice_type = bits.ue()
            pps_id = bits.ue()
            pps = pps_table[pps_id]
            sps = sps_table[pps["sps"]]
            if first_mb != 0:
                if slice_type % 5 != 2:
                    pictures[-1]["all_intra"] = False
                continue
            if sps["separate_planes"]:
                bits.u(2)
            frame_num = bits.u(sps["log2_frame_num"])
            field, bottom = 0, 0
            if not sps["frame_mbs_only"]:
                field = bits.u(1)
                if field:
                    bottom = bits.u(1)
            idr = kind == 5
            if idr:
                bits.ue()
            lsb, delta_bottom = 0, 0
            if sps["poc_type"] == 0:
                lsb = bits.u(sps["log2_poc_lsb"])
                if pps["bottom_poc_present"] and not field:
                    delta_bottom = bits.se()
            reference = (body[0] >> 5) & 3
            # Picture order count.
            if sps["poc_type"] == 0:
                if idr:
                    poc_state["prev_msb"], poc_state["prev_lsb"] = 0, 0
                max_lsb = 1 << sps["log2_poc_lsb"]
                prev_msb, prev_lsb = poc_state["prev_msb"], poc_state["prev_lsb"]
                if lsb < prev_lsb and prev_lsb - lsb >= max_lsb // 2:
                    msb = prev_msb + max_lsb
                elif lsb > prev_lsb and lsb - prev_lsb > max_lsb // 2:
                    msb = prev_msb - max_lsb
                else:
                    msb = prev_msb
                top = msb + lsb
                poc = min(top, top + delta_bottom) if not field else top
                if reference:
                    poc_state["prev_msb"], poc_state["prev_lsb"] = msb, lsb
            else:
                max_frame_num = 1 << sps["log2_frame_num"]
                if idr:
                    frame_offset = 0
                elif poc_state["prev_frame_num"] > frame_num:
                    frame_offset = poc_state["prev_offset"] + max_frame_num
                else:
                    frame_offset = poc_state["prev_offset"]
                poc = 0 if idr else 2 * (frame_offset + frame_num) - (0 if reference else 1)
                poc_state["prev_frame_num"], poc_state["prev_offset"] = frame_num, frame_offset
            if field and pictures and pictures[-1]["open_field"] is not None \
                    and pictures[-1]["open_field"] != bottom and pictures[-1]["frame_num"] == frame_num:
                # Second field of a field pair: the same coded frame.
                pictures[-1]["open_field"] = None
                pictures[-1]["poc"] = min(pictures[-1]["poc"], poc)
                pending_start, pending_sei = None, (None, False)
                continue
            pic_struct, recovery = pending_sei
            pictures.append({
                "start": pending_start if pending_start is not None else offset,
                "idr": idr, "slice_type": slice_type, "all_intra": slice_type % 5 == 2,
                "recovery": recovery, "pic_struct": pic_struct, "poc": poc, "frame_num": frame_num,
                "open_field": bottom if field else None, "sps": sps,
            })
            pending_start, pending_sei = None, (None, False)
            continue
        if pending_start is None and kind in (6, 7, 8, 9, 14, 15, 16, 17, 18):
            pending_start = offset
        if kind == 7:
            sps = parse_sps(body)
            sps_table[sps["id"]] = sps
            last_sps = sps
            sps_positions.append(offset)
        elif kind == 8:
            pps_id, pps = parse_pps(body)
            pps_table[pps_id] = pps
            pps_positions.append(offset)
        elif kind == 6:
            pic_struct, recovery = parse_sei(body, last_sps)
            old_struct, old_recovery = pending_sei
            pending_sei = (pic_struct if pic_struct is not None else old_struct, recovery or old_recovery)
    if not pictures:
        raise SystemExit("halvern: no pictures in the H.264 stream")

    # Output order: picture order count within each IDR period.
    period = -1
    for picture in pictures:
        if picture["idr"]:
            period += 1
        picture["period"] = period
    for k, picture in enumerate(pictures):
        picture["coding_index"] = k
    output = sorted(pictures, key=lambda p: (p["period"], p["poc"], p["coding_index"]))
    for rank, picture in enumerate(output):
        picture["output_index"] = rank

    # Decoding start points: IDR pictures and intra pictures with a recovery point.
    gop_starts = [k for k, p in enumerate(pictures) if p["idr"] or (p["all_intra"] and p["recovery"])]
    if not gop_starts:
        raise SystemExit("halvern: no IDR or recovery point picture in the H.264 stream")
    gops = []
    for n, start in enumerate(gop_starts):
        end = gop_starts[n + 1] if n + 1 < len(gop_starts) else len(pictures)
        members = [pictures[k]["output_index"] for k in range(start, end)]
        first = min(members)
        if max(members) - first + 1 != len(members):
            raise SystemExit("halvern: GOP %d is not contiguous in output order" % n)
        keyword = "IDR" if pictures[start]["idr"] else "RPS"
        gops.append((first, keyword, pictures[start]["start"]))

    first = output[0]
    sps = first["sps"]
    return {"magic": "VQAVCIndexFileJX14", "sps": sps, "sps_positions": sps_positions,
            "pps_positions": pps_positions, "output": output, "gops": gops}


def avc_order(index):
    sps = index["sps"]
    if sps["frame_mbs_only"]:
        return 0
    first = index["output"][0]["pic_struct"]
    return 2 if first in (4, 6) else 1


# ---------------------------------------------------------------------------
# MPEG-2

MPEG2_RATES = {1: (24000, 1001), 2: (24, 1), 3: (25, 1), 4: (30000, 1001), 5: (30, 1), 6: (50, 1),
               7: (60000, 1001), 8: (60, 1)}


def reorder_anchors(pictures, is_anchor):
    """Decoder output order: an anchor picture comes out when the next anchor arrives."""
    out = []
    held = None
    for picture in pictures:
        if is_anchor(picture):
            if held is not None:
                out.append(held)
            held = picture
        else:
            out.append(picture)
    if held is not None:
        out.append(held)
    return out


def index_mpeg2(es):
    pictures = []
    records = []  # coding-order records: position, progressive_sequence, closed, first picture index
    size = None
    rate = None
    last_picture = None
    for offset, body in units(es):
        if not body:
            continue
        code = body[0]
        if code == 0xB3:
            bits = Bits(body[1:])
            width, height = bits.u(12), bits.u(12)
            bits.u(4)
            rate_code = bits.u(4)
            if size is None:
                size = (width, height)
                rate = MPEG2_RATES.get(rate_code, (25, 1))
            records.append({"position": offset, "progressive": 0, "closed": None, "first": len(pictures)})
        elif code == 0xB5:
            extension = body[1] >> 4
            bits = Bits(body[1:])
            bits.u(4)
            if extension == 1 and records:
                bits.u(8)
                records[-1]["progressive"] = bits.u(1)
            elif extension == 8 and last_picture is not None:
                bits.u(16)
                bits.u(2)
                structure = bits.u(2)
                last_picture["tff"] = bits.u(1)
                bits.u(5)  # frame_pred_frame_dct ... alternate_scan
                last_picture["rff"] = bits.u(1)
                bits.u(1)
                last_picture["progressive_frame"] = bits.u(1)
                if structure != 3:
                    previous = pictures[-2] if len(pictures) >= 2 else None
                    if previous is not None and previous.get("first_field") and previous["structure"] != structure:
                        previous["first_field"] = False
                        pictures.pop()
                    else:
                        last_picture["first_field"] = True
                    last_picture["structure"] = structure
                last_picture = None
        elif code == 0xB8:
            if records and records[-1]["closed"] is None:
                bits = Bits(body[1:])
                bits.u(25)
                records[-1]["closed"] = bits.u(1)
        elif code == 0x00:
            bits = Bits(body[1:])
            temporal_reference = bits.u(10)
            kind = bits.u(3)
            last_picture = {"type": {1: "I", 2: "P", 3: "B"}.get(kind, "D"), "tr": temporal_reference, "tff": 0,
                            "rff": 0, "progressive_frame": 1, "record": len(records) - 1}
            pictures.append(last_picture)
    if not records or not pictures:
        raise SystemExit("halvern: no sequence header or picture in the MPEG-2 stream")
    output = reorder_anchors(pictures, lambda p: p["type"] != "B")
    for rank, picture in enumerate(output):
        picture["output_index"] = rank
    for n, record in enumerate(records):
        end = records[n + 1]["first"] if n + 1 < len(records) else len(pictures)
        members = [pictures[k]["output_index"] for k in range(record["first"], end)]
        record["first_output"] = min(members) if members else len(output)
    return {"magic": "VQMPGIndexFileJX14", "size": size, "rate": rate, "output": output, "records": records}


# ---------------------------------------------------------------------------
# VC-1 (advanced profile)


def index_vc1(es):
    pictures = []
    records = []
    sequence = None
    for offset, body in units(es):
        if not body:
            continue
        code = body[0]
        if code == 0x0F:
            bits = Bits(unescape(body[1:]))
            profile = bits.u(2)
            if profile != 3:
                raise SystemExit("halvern: only VC-1 advanced profile is supported")
            bits.u(3)
            bits.u(2)
            bits.u(3)
            bits.u(5)
            bits.u(1)
            width = (bits.u(12) + 1) * 2
            height = (bits.u(12) + 1) * 2
            sequence = {"pulldown": bits.u(1), "interlace": bits.u(1), "tfcounter": bits.u(1)}
            bits.u(1)
            bits.u(1)
            sequence["psf"] = bits.u(1)
            sequence["size"] = (width, height)
            records.append({"position": offset, "sequence": sequence, "closed": 0, "first": len(pictures)})
        elif code == 0x0E and records:
            bits = Bits(unescape(body[1:]))
            records[-1]["broken"] = bits.u(1)
            records[-1]["closed"] = bits.u(1)
        elif code == 0x0D and sequence is not None:
            bits = Bits(unescape(body[1:]))
            field_pair = False
            if sequence["interlace"]:
                if bits.u(1) == 1:
                    field_pair = bits.u(1) == 1
            if field_pair:
                kind = [0, 0, 1, 1, 3, 3, 4, 4][bits.u(3)]
            else:
                kind = 1
                if bits.u(1):
                    kind = 3
                    if bits.u(1):
                        kind = 0
                        if bits.u(1):
                            kind = 4 if bits.u(1) == 0 else 2
            if sequence["tfcounter"]:
                bits.u(8)
            value = 255
            if sequence["pulldown"]:
                if not sequence["interlace"] or sequence["psf"]:
                    value = bits.u(2)
                else:
                    tff = bits.u(1)
                    value = (tff << 1) | bits.u(1)
            pictures.append({"type": kind, "pulldown": value, "record": len(records) - 1})
    if not records or not pictures:
        raise SystemExit("halvern: no sequence header or picture in the VC-1 stream")
    output = reorder_anchors(pictures, lambda p: p["type"] not in (3, 4))
    for rank, picture in enumerate(output):
        picture["output_index"] = rank
    for n, record in enumerate(records):
        end = records[n + 1]["first"] if n + 1 < len(records) else len(pictures)
        members = [pictures[k]["output_index"] for k in range(record["first"], end)]
        record["first_output"] = min(members) if members else len(output)
    return {"magic": "VQVC1IndexFileJX14", "output": output, "records": records}


# ---------------------------------------------------------------------------
# Writing


def probe_rate(path):
    """The stream's frame rate as ffprobe reports it (r_frame_rate)."""
    try:
        out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                              "stream=r_frame_rate", "-of", "default=nw=1:nk=1", path],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=False).stdout.decode()
        num, den = out.split()[0].split("/")
        if int(num) > 0 and int(den) > 0:
            return int(num), int(den)
    except (OSError, ValueError, IndexError):
        pass
    return 25, 1


def detect_es_codec(es):
    for offset, body in units(es[:1 << 20]):
        if not body:
            continue
        if body[0] in (0xB3,):
            return "mpeg2"
        if body[0] in (0x0F,):
            return "vc1"
        if body[0] & 0x80 == 0 and (body[0] & 0x1F) in (7, 9):
            return "h264"
    raise SystemExit("halvern: cannot tell the codec of the stream")


def write_index(sources, index_path):
    sizes = [os.path.getsize(path) for path in sources]
    pieces = FileBytes(sources)
    if is_matroska(pieces):
        data = pieces  # read in pieces, frame by frame
        packet_size = 0
    else:
        pieces.close()
        data = b"".join(open(path, "rb").read() for path in sources)
        packet_size = detect_packet_size(data)
    stream_kind, pid = 0, 0
    if is_matroska(data):
        # Positions are the start times of the frames that hold them.
        codec, es, segments = demux_mkv(data)
        stream_kind = 2
    elif halvern_mp4.is_mp4(data):
        try:
            video = halvern_mp4.read_mp4_video(data)
        except (halvern_mp4.Mp4Error, struct.error, IndexError) as error:
            raise SystemExit("halvern: cannot read the MP4 file: %s" % error)
        codec, es, segments = video["codec"], video["es"], halvern_mp4.SampleTimes(video)
        stream_kind, packet_size = 4, 0
    elif packet_size:
        codec, pid, es, segments = demux_ts(data, packet_size)
        stream_kind = 1
    elif data[:4] == b"\x00\x00\x01\xba":
        es, segments = demux_ps(data)
        codec = detect_es_codec(es)
        stream_kind = 3
    else:
        es = data
        segments = Segments()
        segments.add(0, 0)
        codec = detect_es_codec(es)

    lines = ["STREAM %d" % stream_kind, "PKTSIZ %d" % (packet_size or 188), "VPID %d" % pid]
    if codec == "h264":
        index = index_h264(es)
        sps = index["sps"]
        if sps["timing"] and sps["timing"][0] > 0 and sps["timing"][1] > 0:
            # The VUI's frame rate: time_scale over two ticks per frame.
            divisor = math.gcd(*sps["timing"])
            rate = (sps["timing"][0] // divisor, sps["timing"][1] // divisor)
        else:
            rate = probe_rate(sources[0])
        lines += ["SIZ %d x %d" % (sps["width"], sps["height"]), "FPS %d / %d" % rate,
                  "CLIP %d %d %d %d" % tuple(sps["crop"]), "ORDER %d" % avc_order(index)]
        if stream_kind != 2:  # a Matroska track's parameter sets are found by the plug-in itself
            lines += ["SPS %d" % segments.position(p) for p in index["sps_positions"]]
            lines += ["PPS %d" % segments.position(p) for p in index["pps_positions"]]
        starts = {first: (keyword, position) for first, keyword, position in index["gops"]}
        for k, picture in enumerate(index["output"]):
            if k in starts:
                keyword, position = starts[k]
                lines.append("%s %d" % (keyword, segments.position(position)))
            pic_struct = picture["pic_struct"] if picture["pic_struct"] is not None else 255
            lines.append("FRM %d %d %d %d" % (picture["slice_type"], picture["poc"], pic_struct, k))
    elif codec == "mpeg2":
        index = index_mpeg2(es)
        records = index["records"]
        first = index["output"][0]
        order = 0 if records[0]["progressive"] else (1 if first["tff"] else 2)
        lines += ["SIZ %d x %d" % index["size"], "FPS %d / %d" % index["rate"], "CLIP 0 0 0 0", "ORDER %d" % order]
        starts = {}
        for n, record in enumerate(records):
            starts.setdefault(record["first_output"], []).append((n, record))
        for k, picture in enumerate(index["output"] + [None]):
            for n, record in starts.get(k, []):
                lines.append("SEQ %d" % segments.position(record["position"]))
                lines.append("SEQEXT %d" % record["progressive"])
                lines.append("GOP %d %d" % (record["closed"] or 0, n))
            if picture is not None:
                lines.append("FRM %s %d %d %d %d" % (picture["type"], picture["tr"], picture["tff"], picture["rff"],
                                                     picture["progressive_frame"]))
    else:
        index = index_vc1(es)
        records = index["records"]
        sequence = records[0]["sequence"]
        first = index["output"][0]
        order = 0 if not sequence["interlace"] else \
            (2 if sequence["pulldown"] and not sequence["psf"] and not first["pulldown"] & 2 else 1)
        lines += ["SIZ %d x %d" % sequence["size"], "FPS %d / %d" % probe_rate(sources[0]), "CLIP 0 0 0 0",
                  "ORDER %d" % order]
        starts = {}
        for n, record in enumerate(records):
            starts.setdefault(record["first_output"], []).append((n, record))
        for k, picture in enumerate(index["output"] + [None]):
            for n, record in starts.get(k, []):
                s = record["sequence"]
                lines.append("SEQ %d %d %d %d %du" % (segments.position(record["position"]), s["interlace"],
                                                      s["pulldown"], s["psf"], n))
                lines.append("ENTRY %d %d" % (record.get("broken", 0), record["closed"]))
            if picture is not None:
                lines.append("FRM %d %d %d" % (picture["type"], k, picture["pulldown"]))

    with open(index_path, "w") as out:
        out.write(index["magic"] + "\n")
        out.write("halvern test indexer\n")
        out.write("%s stream, %d source file(s)\n" % (codec, len(sources)))
        for path, size in zip(sources, sizes):
            out.write("%s %d\n" % (os.path.abspath(path), size))
        out.write("\n")
        for line in lines:
            out.write(line + "\n")


def main(argv):
    sources, index_path = [], None
    i = 1
    while i < len(argv):
        if argv[i] == "-i" and i + 1 < len(argv):
            sources.append(argv[i + 1])
            i += 2
        elif argv[i] == "-o" and i + 1 < len(argv):
            index_path = argv[i + 1]
            i += 2
        elif argv[i] == "-a":
            i += 1
        else:
            sys.stderr.write(__doc__)
            return 2
    if not sources or index_path is None:
        sys.stderr.write(__doc__)
        return 2
    write_index(sources, index_path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
