"""MP4 input for halvern: the file's own box tree and sample tables, read here
without any other MP4 reader.

read_mp4_video(data) finds the first video track that the plug-in serves (sample
entry "avc1"; "mp4v" with an MPEG-2 object type 0x60-0x65; "vc-1") and returns its
samples in decode order with their file positions, sizes and decode times in the
track's time scale (the sample table's own times: edit lists are not applied), and
the elementary stream made of them, so that the codec indexers of halvern.py can
read it.
"""

import bisect
import struct

CONTAINERS = {b"moov", b"trak", b"mdia", b"minf", b"stbl", b"edts", b"dinf"}


class Mp4Error(Exception):
    pass


def boxes(data, start, end):
    """(type, body start, body end) of every box between start and end."""
    position = start
    while position + 8 <= end:
        size, kind = struct.unpack_from(">I4s", data, position)
        header = 8
        if size == 1:
            if position + 16 > end:
                raise Mp4Error("truncated box header")
            size = struct.unpack_from(">Q", data, position + 8)[0]
            header = 16
        elif size == 0:
            size = end - position
        if size < header or position + size > end:
            raise Mp4Error("box %r runs past its parent" % kind)
        yield kind, position + header, position + size
        position += size


def child(data, start, end, kind):
    for found, body, stop in boxes(data, start, end):
        if found == kind:
            return body, stop
    return None


def path(data, start, end, *kinds):
    span = (start, end)
    for kind in kinds:
        span = child(data, span[0], span[1], kind)
        if span is None:
            return None
    return span


def descriptor(data, position, end):
    """(tag, body start, body end) of the MPEG-4 descriptor at position."""
    tag = data[position]
    position += 1
    size = 0
    for _ in range(4):
        byte = data[position]
        position += 1
        size = (size << 7) | (byte & 0x7F)
        if not byte & 0x80:
            break
    return tag, position, min(position + size, end)


def esds_object_type(data, start, end):
    """objectTypeIndication of the decoder configuration in an esds body."""
    tag, body, stop = descriptor(data, start + 4, end)  # after version and flags
    if tag != 3:
        return None
    flags = data[body + 2]
    position = body + 3
    if flags & 0x80:
        position += 2
    if flags & 0x40:
        position += 1 + data[position]
    if flags & 0x20:
        position += 2
    tag, body, stop = descriptor(data, position, stop)
    return data[body] if tag == 4 else None


def sample_entry(data, stbl):
    """(entry name, payload span) of the first sample description."""
    stsd = child(data, stbl[0], stbl[1], b"stsd")
    if stsd is None:
        raise Mp4Error("no stsd")
    count = struct.unpack_from(">I", data, stsd[0] + 4)[0]
    if count < 1:
        raise Mp4Error("empty stsd")
    size, name = struct.unpack_from(">I4s", data, stsd[0] + 8)
    entry_start = stsd[0] + 8
    if entry_start + size > stsd[1]:
        raise Mp4Error("sample entry runs past stsd")
    # Visual sample entry: 8 bytes of box header, 78 bytes of fields, then boxes.
    return name.decode("latin-1"), (entry_start + 8 + 78, entry_start + size)


def track_samples(data, stbl):
    """[(file position, size, decode time)] of a track, in decode order."""
    span = child(data, stbl[0], stbl[1], b"stsz")
    if span is None:
        raise Mp4Error("no stsz")
    uniform, count = struct.unpack_from(">II", data, span[0] + 4)
    if count > (len(data) if uniform else (span[1] - span[0] - 12) // 4):
        raise Mp4Error("stsz count beyond the file")
    sizes = [uniform] * count if uniform else list(struct.unpack_from(">%dI" % count, data, span[0] + 12))

    span = child(data, stbl[0], stbl[1], b"stco")
    if span is not None:
        chunks = struct.unpack_from(">I", data, span[0] + 4)[0]
        offsets = list(struct.unpack_from(">%dI" % chunks, data, span[0] + 8))
    else:
        span = child(data, stbl[0], stbl[1], b"co64")
        if span is None:
            raise Mp4Error("no chunk offsets")
        chunks = struct.unpack_from(">I", data, span[0] + 4)[0]
        offsets = list(struct.unpack_from(">%dQ" % chunks, data, span[0] + 8))

    span = child(data, stbl[0], stbl[1], b"stsc")
    runs = struct.unpack_from(">I", data, span[0] + 4)[0]
    stsc = [struct.unpack_from(">III", data, span[0] + 8 + 12 * k) for k in range(runs)]
    positions = []
    for k, (first, per_chunk, _) in enumerate(stsc):
        last = stsc[k + 1][0] - 1 if k + 1 < runs else len(offsets)
        for chunk in range(first, last + 1):
            position = offsets[chunk - 1]
            for _ in range(per_chunk):
                if len(positions) == count:
                    break
                positions.append(position)
                position += sizes[len(positions) - 1]
    if len(positions) != count:
        raise Mp4Error("sample-to-chunk table covers %d of %d samples" % (len(positions), count))

    span = child(data, stbl[0], stbl[1], b"stts")
    runs = struct.unpack_from(">I", data, span[0] + 4)[0]
    times = []
    time = 0
    for k in range(runs):
        run, delta = struct.unpack_from(">II", data, span[0] + 8 + 8 * k)
        for _ in range(run):
            times.append(time)
            time += delta
    if len(times) < count:
        raise Mp4Error("time-to-sample table covers %d of %d samples" % (len(times), count))
    samples = []
    for n in range(count):
        if positions[n] + sizes[n] > len(data):
            raise Mp4Error("sample %d lies past the end of the file" % (n + 1))
        samples.append((positions[n], sizes[n], times[n]))
    return samples


def avcc_record(data, entry):
    """(length size, [SPS], [PPS]) of the avcC box of an avc1 entry."""
    span = child(data, entry[0], entry[1], b"avcC")
    if span is None:
        raise Mp4Error("avc1 entry without avcC")
    record = data[span[0]:span[1]]
    length_size = (record[4] & 3) + 1
    position = 6
    sps, pps = [], []
    for k in range(record[5] & 0x1F):
        size = struct.unpack_from(">H", record, position)[0]
        sps.append(bytes(record[position + 2:position + 2 + size]))
        position += 2 + size
    count = record[position]
    position += 1
    for k in range(count):
        size = struct.unpack_from(">H", record, position)[0]
        pps.append(bytes(record[position + 2:position + 2 + size]))
        position += 2 + size
    return length_size, sps, pps


def video_tracks(data):
    """Every video track: (entry name, object type, timescale, stbl span, entry span)."""
    moov = child(data, 0, len(data), b"moov")
    if moov is None:
        raise Mp4Error("no moov box")
    tracks = []
    for kind, body, stop in boxes(data, moov[0], moov[1]):
        if kind != b"trak":
            continue
        mdia = child(data, body, stop, b"mdia")
        hdlr = mdia and child(data, mdia[0], mdia[1], b"hdlr")
        if hdlr is None or data[hdlr[0] + 8:hdlr[0] + 12] != b"vide":
            continue
        mdhd = child(data, mdia[0], mdia[1], b"mdhd")
        version = data[mdhd[0]]
        timescale = struct.unpack_from(">I", data, mdhd[0] + (20 if version == 1 else 12))[0]
        stbl = path(data, mdia[0], mdia[1], b"minf", b"stbl")
        name, entry = sample_entry(data, stbl)
        object_type = None
        if name == "mp4v":
            esds = child(data, entry[0], entry[1], b"esds")
            if esds is not None:
                object_type = esds_object_type(data, esds[0], esds[1])
        tracks.append((name, object_type, timescale, stbl, entry))
    return tracks


def annex_b(sample, length_size):
    """The NAL units of a length-prefixed AVC sample, each after 00 00 00 01."""
    out = bytearray()
    position = 0
    while position + length_size <= len(sample):
        size = int.from_bytes(sample[position:position + length_size], "big")
        position += length_size
        if position + size > len(sample):
            raise Mp4Error("NAL unit runs past its sample")
        out += b"\x00\x00\x00\x01" + sample[position:position + size]
        position += size
    return bytes(out)


def read_mp4_video(data):
    """The served video track as a dict: codec ("h264", "mpeg2", "vc1"), timescale,
    samples [(position, size, time)], es (bytes), es_starts (the ES offset at which
    each sample's bytes begin)."""
    for name, object_type, timescale, stbl, entry in video_tracks(data):
        if name == "avc1":
            codec = "h264"
        elif name == "mp4v" and object_type is not None and 0x60 <= object_type <= 0x65:
            codec = "mpeg2"
        elif name == "vc-1":
            codec = "vc1"
        else:
            continue
        samples = track_samples(data, stbl)
        es = bytearray()
        starts = []
        if codec == "h264":
            length_size, sps, pps = avcc_record(data, entry)
            # The track's parameter sets stand ahead of the first sample, at its time.
            for unit in sps + pps:
                es += b"\x00\x00\x00\x01" + unit
        for position, size, _ in samples:
            starts.append(len(es) if starts else 0)
            sample = data[position:position + size]
            es += annex_b(sample, length_size) if codec == "h264" else sample
        return {"codec": codec, "timescale": timescale, "samples": samples, "es": bytes(es), "es_starts": starts}
    raise Mp4Error("no AVC, MPEG-2 or VC-1 video track")


class SampleTimes:
    """Index positions of an MP4 video track: the start time of the sample that holds
    an elementary-stream offset."""

    def __init__(self, video):
        self.starts = video["es_starts"]
        self.times = [time for _, _, time in video["samples"]]

    def position(self, es_offset):
        return self.times[max(0, bisect.bisect_right(self.starts, es_offset) - 1)]


def is_mp4(data):
    return len(data) >= 8 and data[4:8] in (b"ftyp", b"moov", b"mdat", b"free", b"wide", b"skip")


if __name__ == "__main__":
    import sys
    video = read_mp4_video(open(sys.argv[1], "rb").read())
    print(video["codec"], video["timescale"], len(video["samples"]))
    for n, (position, size, time) in enumerate(video["samples"][:int(sys.argv[2]) if len(sys.argv) > 2 else 5]):
        print(n + 1, position, size, time, open(sys.argv[1], "rb").read()[position:position + 12].hex())
