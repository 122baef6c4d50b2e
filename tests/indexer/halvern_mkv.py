"""Matroska input for the test indexer: a small EBML walker of its own that finds the
first video track of a codec the indexer knows (H.264 "V_MPEG4/ISO/AVC", MPEG-2
"V_MPEG2", VC-1 "V_VC1" or "V_MS/VFW/FOURCC" with WVC1), and the track's frames in
file order with their start times in nanoseconds (counted from the first block of the
file) and their bytes (a stripped header restored, H.264 unit lengths rewritten as
4-byte start codes).

The elementary stream handed to the codec parsers is the frames one after another,
for H.264 behind the parameter sets of the track's configuration record; a stream
offset maps back to the frame that holds it, and so to that frame's start time, which
is what a Matroska index names as a position.

The walk reads its input through anything that can be indexed and sliced like bytes:
for the indexer a FileBytes over the file, which reads it in pieces, so that neither
the file nor the stream is ever held whole (the stream goes to the parsers one frame
at a time).
"""

import bisect
import os

EBML_MAGIC = b"\x1a\x45\xdf\xa3"

SEGMENT, CLUSTER, TRACKS, INFO = 0x18538067, 0x1F43B675, 0x1654AE6B, 0x1549A966
TIMECODE_SCALE, TIMECODE, SIMPLE_BLOCK, BLOCK_GROUP, BLOCK = 0x2AD7B1, 0xE7, 0xA3, 0xA0, 0xA1
TRACK_ENTRY, TRACK_NUMBER, TRACK_TYPE, CODEC_ID, CODEC_PRIVATE = 0xAE, 0xD7, 0x83, 0x86, 0x63A2
REFERENCE_BLOCK = 0xFB
CONTENT_ENCODINGS, CONTENT_ENCODING, CONTENT_COMPRESSION = 0x6D80, 0x6240, 0x5034
COMP_ALGO, COMP_SETTINGS = 0x4254, 0x4255


class FileBytes:
    """The bytes of one or more files taken one after another, read in pieces as they
    are asked for: an index gives one byte, a slice its bytes (step 1 only)."""

    WINDOW = 1 << 16

    def __init__(self, paths):
        self.files = [open(path, "rb") for path in paths]
        self.starts = []
        total = 0
        for f in self.files:
            self.starts.append(total)
            total += os.fstat(f.fileno()).st_size
        self.size = total
        self.window_start, self.window = 0, b""

    def close(self):
        for f in self.files:
            f.close()

    def __len__(self):
        return self.size

    def read(self, start, stop):
        pieces = []
        while start < stop:
            i = bisect.bisect_right(self.starts, start) - 1
            end = self.starts[i + 1] if i + 1 < len(self.starts) else self.size
            self.files[i].seek(start - self.starts[i])
            piece = self.files[i].read(min(stop, end) - start)
            if not piece:
                break
            pieces.append(piece)
            start += len(piece)
        return pieces[0] if len(pieces) == 1 else b"".join(pieces)

    def __getitem__(self, key):
        if isinstance(key, slice):
            start, stop, step = key.indices(self.size)
            if step != 1:
                raise ValueError("FileBytes slices have step 1")
            if stop <= start:
                return b""
            offset = start - self.window_start
            if 0 <= offset and stop - self.window_start <= len(self.window):
                return self.window[offset:stop - self.window_start]
            if stop - start > self.WINDOW // 2:
                return self.read(start, stop)
            self.window_start, self.window = start, self.read(start, start + self.WINDOW)
            return self.window[:stop - start]
        if key < 0:
            key += self.size
        if not 0 <= key - self.window_start < len(self.window):
            if not 0 <= key < self.size:
                raise IndexError("FileBytes index out of range")
            self.window_start, self.window = key, self.read(key, key + self.WINDOW)
        return self.window[key - self.window_start]


def is_matroska(data):
    return data[:4] == EBML_MAGIC


def read_id(data, pos):
    first = data[pos]
    length = 1
    while length <= 4 and not first & (0x80 >> (length - 1)):
        length += 1
    if length > 4:
        raise SystemExit("halvern: bad element id at %d" % pos)
    return int.from_bytes(data[pos:pos + length], "big"), pos + length


def read_size(data, pos):
    first = data[pos]
    length = 1
    while length <= 8 and not first & (0x80 >> (length - 1)):
        length += 1
    if length > 8:
        raise SystemExit("halvern: bad element size at %d" % pos)
    value = first & (0xFF >> length)
    for byte in data[pos + 1:pos + length]:
        value = (value << 8) | byte
    unknown = value == (1 << (7 * length)) - 1
    return (None if unknown else value), pos + length


def children(data, start, end):
    """(id, payload start, payload end) of the elements in [start, end)."""
    pos = start
    while pos < end:
        element, pos = read_id(data, pos)
        size, pos = read_size(data, pos)
        stop = end if size is None else min(pos + size, end)
        yield element, pos, stop
        pos = stop


def uint(data, start, end):
    return int.from_bytes(data[start:end], "big")


def codec_of(track):
    codec_id = track.get("codec_id", "")
    private = track.get("private", b"")
    if codec_id == "V_MPEG4/ISO/AVC":
        return "h264"
    if codec_id == "V_MPEG2":
        return "mpeg2"
    if codec_id == "V_VC1" or (codec_id == "V_MS/VFW/FOURCC" and private[16:20] == b"WVC1"):
        return "vc1"
    return None


def parse_track(data, start, end):
    track = {"prefix": b""}
    for element, a, b in children(data, start, end):
        if element == TRACK_NUMBER:
            track["number"] = uint(data, a, b)
        elif element == TRACK_TYPE:
            track["type"] = uint(data, a, b)
        elif element == CODEC_ID:
            track["codec_id"] = data[a:b].rstrip(b"\x00").decode("ascii", "replace")
        elif element == CODEC_PRIVATE:
            track["private"] = bytes(data[a:b])
        elif element == CONTENT_ENCODINGS:
            for encoding, c, d in children(data, a, b):
                if encoding != CONTENT_ENCODING:
                    continue
                for part, e, f in children(data, c, d):
                    if part != CONTENT_COMPRESSION:
                        continue
                    algo, settings = 0, b""
                    for item, g, h in children(data, e, f):
                        if item == COMP_ALGO:
                            algo = uint(data, g, h)
                        elif item == COMP_SETTINGS:
                            settings = bytes(data[g:h])
                    if algo != 3:
                        raise SystemExit("halvern: only header stripping is supported as Matroska compression")
                    track["prefix"] = settings
    return track


def read_matroska(data):
    """The chosen track and its frames in file order: dicts with time (nanoseconds from the
    file's first block), timecode (in the file's timecode units), key and data (the
    stripped header restored). Also the track list and the timecode scale, for tools
    that rewrite the file."""
    chosen, frames = matroska_layout(data)
    for frame in frames:
        frame["data"] = chosen["prefix"] + bytes(data[frame["start"]:frame["end"]])
    return chosen, frames


def matroska_layout(data):
    """As read_matroska, with each frame's payload start and end in data in place of its
    bytes."""
    segment_start, segment_end = None, len(data)
    for element, a, b in children(data, 0, len(data)):
        if element == SEGMENT:
            segment_start, segment_end = a, b
            break
    if segment_start is None:
        raise SystemExit("halvern: no Segment in the Matroska file")
    scale = 1000000
    tracks = []
    blocks = []  # (track number, time in timecode units, payload start, payload end, key)
    for element, a, b in children(data, segment_start, segment_end):
        if element == INFO:
            for item, c, d in children(data, a, b):
                if item == TIMECODE_SCALE:
                    scale = uint(data, c, d)
        elif element == TRACKS:
            tracks += [parse_track(data, c, d) for item, c, d in children(data, a, b) if item == TRACK_ENTRY]
        elif element == CLUSTER:
            cluster_time = 0
            numbers = {track.get("number") for track in tracks}
            for item, c, d in cluster_children(data, a, b, numbers, scale):
                if item == TIMECODE:
                    cluster_time = uint(data, c, d)
                elif item == SIMPLE_BLOCK:
                    blocks.append(block_of(data, c, d, cluster_time) + (data[block_flags(data, c)] & 0x80 != 0,))
                elif item == BLOCK_GROUP:
                    parts = list(children(data, c, d))
                    key = not any(part == REFERENCE_BLOCK for part, e, f in parts)
                    for part, e, f in parts:
                        if part == BLOCK:
                            blocks.append(block_of(data, e, f, cluster_time) + (key,))
    chosen = None
    for track in tracks:
        if track.get("type") == 1 and codec_of(track):
            chosen = track
            break
    if chosen is None:
        raise SystemExit("halvern: no H.264, MPEG-2 or VC-1 video track in the Matroska file")
    if not blocks:
        raise SystemExit("halvern: no blocks in the Matroska file")
    chosen["scale"] = scale
    origin = blocks[0][1]
    frames = []
    for number, time, start, end, laced, key in blocks:
        if number != chosen["number"]:
            continue
        if laced:
            raise SystemExit("halvern: laced video blocks are not supported")
        frames.append({"time": ((time - origin) * scale) % (1 << 64), "timecode": time, "key": key,
                       "start": start, "end": end})
    return chosen, frames


# What a Cluster holds: Timecode, SilentTracks, Position, PrevSize, SimpleBlock, BlockGroup,
# BlockVirtual, EncryptedBlock, Void, CRC-32.
CLUSTER_CHILDREN = {TIMECODE, 0x5854, 0xA7, 0xAB, SIMPLE_BLOCK, BLOCK_GROUP, 0xA2, 0xAF, 0xEC, 0xBF}
# How far a block's relative timecode may lie outside those of the blocks before it in its
# Cluster for it to be trusted after damage.
RESYNC_SLACK_NS = 5000000000


def element_at(data, pos, end):
    """(id, payload start, payload end) of the element at pos, or None when its header does
    not read as one or it runs past end."""
    try:
        element, p = read_id(data, pos)
        size, p = read_size(data, p)
    except (SystemExit, IndexError):
        return None
    if size is None or p + size > end:
        return None
    return element, p, p + size


def plausible_child(element):
    if element is None or element[0] not in CLUSTER_CHILDREN:
        return False
    item, a, b = element
    if item in (TIMECODE, 0xA7, 0xAB):
        return b - a <= 8
    return item != 0xBF or b - a == 4


def block_payload(data, element):
    """The payload (start, end) of a SimpleBlock, or of the Block that opens a BlockGroup."""
    item, a, b = element
    if item == SIMPLE_BLOCK:
        return a, b
    inner = element_at(data, a, b)
    return (inner[1], inner[2]) if inner is not None and inner[0] == BLOCK else None


def block_header(data, start, end):
    """(track number, relative timecode) of a block payload, or None when it has no room for
    a header."""
    if start >= end or data[start] == 0:
        return None
    try:
        number, _, _, _, _ = block_of(data, start, end, 0)
        length = block_flags(data, start) - 2 - start
    except (IndexError, SystemExit):
        return None
    if start + length + 3 > end:
        return None
    return number, int.from_bytes(data[start + length:start + length + 2], "big", signed=True)


def cluster_children(data, start, end, numbers, scale):
    """The children (id, payload start, payload end) of the Cluster payload [start, end), with
    damage passed over: once the Cluster's Timecode is known, a child that cannot be one (an
    unknown kind, a size that does not fit) or a block of no known track sends the walk on at
    the next block that can be trusted, so that a damaged block costs its own frame only.
    Before the Timecode, damage ends the Cluster."""
    slack = RESYNC_SLACK_NS // scale if scale else 1 << 16
    relatives = []
    timed = False
    trusted = start  # behind the Timecode or the last block read cleanly
    pos = start
    while pos < end:
        element = element_at(data, pos, end)
        header = None
        if plausible_child(element) and element[0] in (SIMPLE_BLOCK, BLOCK_GROUP):
            payload = block_payload(data, element)
            header = block_header(data, *payload) if payload else None
        if plausible_child(element) and (element[0] not in (SIMPLE_BLOCK, BLOCK_GROUP)
                                         or (header is not None and header[0] in numbers)):
            yield element
            pos = element[2]
            if element[0] == TIMECODE:
                timed, trusted = True, pos
            elif header is not None:
                relatives.append(header[1])
                trusted = pos
            continue
        if not timed:
            return
        pos = next_trusted_block(data, trusted + 1, end, numbers, relatives, slack)


def next_trusted_block(data, pos, end, numbers, relatives, slack):
    """The first position from pos on where a block starts that can be trusted: a size that
    fits the Cluster, a known track, a relative timecode near the Cluster's others, and behind
    it the Cluster's end or another child that fits. end when there is none."""
    low, high = (min(relatives), max(relatives)) if relatives else (0, 0)
    chunk = bytes(data[pos:end])
    for k in range(len(chunk)):
        if chunk[k] not in (SIMPLE_BLOCK, BLOCK_GROUP):
            continue
        element = element_at(data, pos + k, end)
        if not plausible_child(element):
            continue
        payload = block_payload(data, element)
        header = block_header(data, *payload) if payload else None
        if header is None or header[0] not in numbers or not low - slack <= header[1] <= high + slack:
            continue
        if element[2] == end:
            return pos + k
        behind = element_at(data, element[2], end)
        if plausible_child(behind) and behind[0] != TIMECODE:
            return pos + k
    return end


def block_flags(data, start):
    """Offset of the flags byte of the block whose payload starts at start."""
    length = 1
    while not data[start] & (0x80 >> (length - 1)):
        length += 1
    return start + length + 2


def block_of(data, start, end, cluster_time):
    pos = start
    first = data[pos]
    length = 1
    while not first & (0x80 >> (length - 1)):
        length += 1
    number = first & (0xFF >> length)
    for byte in data[pos + 1:pos + length]:
        number = (number << 8) | byte
    pos += length
    relative = int.from_bytes(data[pos:pos + 2], "big", signed=True)
    flags = data[pos + 2]
    return number, cluster_time + relative, pos + 3, end, (flags >> 1) & 3


def avc_config(private):
    """(NAL length size, [SPS], [PPS]) of an avcC record."""
    if len(private) < 7:
        raise SystemExit("halvern: H.264 track without a configuration record")
    length_size = (private[4] & 3) + 1
    sets = [[], []]
    pos = 5
    for kind in range(2):
        count = private[pos] & (0x1F if kind == 0 else 0xFF)
        pos += 1
        for _ in range(count):
            size = int.from_bytes(private[pos:pos + 2], "big")
            sets[kind].append(private[pos + 2:pos + 2 + size])
            pos += 2 + size
    return length_size, sets[0], sets[1]


def annex_b(frame, length_size):
    out = bytearray()
    pos = 0
    while pos + length_size <= len(frame):
        size = int.from_bytes(frame[pos:pos + length_size], "big")
        pos += length_size
        out += b"\x00\x00\x00\x01" + frame[pos:pos + size]
        pos += size
    return bytes(out)


class FrameTimes:
    """Maps an offset of the elementary stream to the start time of its frame."""

    def __init__(self):
        self.offsets = []
        self.times = []

    def add(self, offset, time):
        self.offsets.append(offset)
        self.times.append(time)

    def position(self, offset):
        i = max(bisect.bisect_right(self.offsets, offset) - 1, 0)
        return self.times[i]


def demux_mkv(data):
    """(codec, elementary stream, FrameTimes) of the file's video track. The stream is an
    iterable of its pieces (the configuration record's sets, then one frame after
    another, each read from data when it is reached); FrameTimes fills as it is read."""
    track, frames = matroska_layout(data)
    codec = codec_of(track)
    times = FrameTimes()

    def pieces():
        offset = 0
        length_size = 0
        if codec == "h264":
            length_size, sps, pps = avc_config(track.get("private", b""))
            head = b"".join(b"\x00\x00\x00\x01" + unit for unit in sps + pps)
            offset += len(head)
            yield head
        for frame in frames:
            times.add(offset, frame["time"])
            piece = track["prefix"] + bytes(data[frame["start"]:frame["end"]])
            if codec == "h264":
                piece = annex_b(piece, length_size)
            offset += len(piece)
            yield piece

    return codec, pieces(), times
