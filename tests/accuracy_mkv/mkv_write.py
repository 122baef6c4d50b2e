"""A small Matroska writer for test files that no packaged tool makes: one video track
(optionally with a stripped header), Clusters of SimpleBlocks, Cues ahead of the
Clusters, and room for crafted elements (extra CuePoints, laced blocks)."""


def vint_size(value, length=None):
    if length is None:
        length = 1
        while value >= (1 << (7 * length)) - 1:
            length += 1
    return ((1 << (7 * length)) | value).to_bytes(length, "big")


def element(element_id, payload):
    id_bytes = element_id.to_bytes((element_id.bit_length() + 7) // 8, "big")
    return id_bytes + vint_size(len(payload)) + payload


def uint_element(element_id, value, length=None):
    if length is None:
        length = max(1, (value.bit_length() + 7) // 8)
    return element(element_id, value.to_bytes(length, "big"))


def track_entry(codec_id, private=b"", prefix=b"", width=320, height=240, number=1, default_duration=0):
    body = uint_element(0xD7, number) + uint_element(0x73C5, number) + uint_element(0x83, 1)
    body += uint_element(0x9C, 0) + element(0x86, codec_id.encode("ascii"))
    if private:
        body += element(0x63A2, private)
    if default_duration:
        body += uint_element(0x23E383, default_duration)
    body += element(0xE0, uint_element(0xB0, width) + uint_element(0xBA, height))
    if prefix:
        compression = element(0x5034, uint_element(0x4254, 3) + element(0x4255, prefix))
        body += element(0x6D80, element(0x6240, uint_element(0x5031, 0) + uint_element(0x5032, 1) + compression))
    return element(0xAE, body)


def audio_entry(number):
    """A PCM audio track."""
    body = uint_element(0xD7, number) + uint_element(0x73C5, number) + uint_element(0x83, 2)
    body += element(0x86, b"A_PCM/INT/LIT") + element(0xE1, uint_element(0x9F, 1) + uint_element(0x6264, 16))
    return element(0xAE, body)


def simple_block(track, relative, key, data, lacing=0, lace_count=0):
    flags = (0x80 if key else 0) | (lacing << 1)
    head = vint_size(track) + (relative & 0xFFFF).to_bytes(2, "big") + bytes([flags])
    if lacing:
        head += bytes([lace_count - 1])
    return element(0xA3, head + data)


def write_mkv(path, track, frames, extra_cues=b"", extra_blocks=None, extra_head=b""):
    """frames: dicts with timecode (milliseconds), key and data (as stored: without the
    track's stripped header). extra_blocks(cluster_number) gives raw bytes placed at
    the start of that Cluster, behind its Timecode; extra_head raw elements of the
    Segment placed behind the Tracks."""
    clusters = []  # (timecode, [frames])
    for frame in frames:
        if not clusters or frame["key"] or frame["timecode"] - clusters[-1][0] > 30000:
            clusters.append((frame["timecode"], []))
        clusters[-1][1].append(frame)
    cluster_bytes = []
    for number, (timecode, members) in enumerate(clusters):
        body = [uint_element(0xE7, timecode), extra_blocks(number) if extra_blocks else b""]
        body += [simple_block(1, frame["timecode"] - timecode, frame["key"], frame["data"]) for frame in members]
        cluster_bytes.append(element(0x1F43B675, b"".join(body)))

    info = element(0x1549A966, uint_element(0x2AD7B1, 1000000) + element(0x4D80, b"tessivar test") +
                   element(0x5741, b"tessivar test"))
    tracks = element(0x1654AE6B, track)

    def cues_for(first_cluster):
        points = []
        position = first_cluster
        for (timecode, members), data in zip(clusters, cluster_bytes):
            positions = element(0xB7, uint_element(0xF7, 1) + uint_element(0xF1, position, 8))
            points.append(element(0xBB, uint_element(0xB3, timecode, 8) + positions))
            position += len(data)
        return element(0x1C53BB6B, b"".join(points) + extra_cues)

    # Cluster positions count from the Segment's data; the Cues' size does not depend
    # on them (fixed-width values).
    head = info + tracks + extra_head
    first_cluster = len(head) + len(cues_for(0))
    segment = head + cues_for(first_cluster) + b"".join(cluster_bytes)
    ebml = element(0x1A45DFA3, uint_element(0x4286, 1) + uint_element(0x42F7, 1) + uint_element(0x42F2, 4) +
                   uint_element(0x42F3, 8) + element(0x4282, b"matroska") + uint_element(0x4287, 4) +
                   uint_element(0x4285, 2))
    with open(path, "wb") as out:
        out.write(ebml + element(0x18538067, segment))
