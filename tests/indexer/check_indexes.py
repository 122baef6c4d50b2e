#!/usr/bin/env python3
"""Checks the index files that the test indexer wrote for the corpus against ffprobe's
own decode of each raw stream: frame count, picture types and repeat flags in output
order, and one decoding start point per I picture. The indexes of the containers must
list the same frames as the raw stream's (a program stream made by mplex may lack the
last coded picture).

usage: check_indexes.py CORPUS_DIR
"""

import os
import subprocess
import sys


def read_index(path):
    with open(path) as f:
        lines = f.read().split("\n")
    magic = lines[0]
    body = lines[lines.index("", 3) + 1:]
    values = {}
    frames, starts = [], []
    for line in body:
        fields = line.split()
        if not fields:
            continue
        if fields[0] in ("STREAM", "PKTSIZ", "VPID", "ORDER"):
            values[fields[0]] = int(fields[1])
        elif fields[0] in ("IDR", "RPS", "I", "SEQ"):
            starts.append(fields)
        elif fields[0] == "SEQEXT":
            values["progressive"] = int(fields[1])
        elif fields[0] == "FRM":
            frames.append((fields[1:], values.get("progressive", 0)))
    return magic, values, frames, starts


def expected_from_frame_line(magic, fields, progressive):
    """(type letter, top_field_first or None, repeat_pict) as ffprobe reports them."""
    if magic.startswith("VQAVC"):
        kind = {0: "P", 1: "B", 2: "I", 3: "P", 4: "I"}[int(fields[0]) % 5]
        pic_struct = int(fields[2])
        repeat = {5: 1, 6: 1, 7: 2, 8: 4}.get(pic_struct, 0)
        return kind, None, repeat
    if magic.startswith("VQMPG"):
        tff, rff = int(fields[2]), int(fields[3])
        if progressive:
            repeat = (4 if tff else 2) if rff else 0
        else:
            repeat = 1 if rff else 0
        return fields[0], tff, repeat
    kind = {0: "I", 1: "P", 2: "P", 3: "B", 4: "B"}[int(fields[0])]
    value = int(fields[2])
    return kind, None, None if value == 255 else value


def probe_frames(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "frame=pict_type,top_field_first,repeat_pict", "-of", "csv=p=0", path],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout.decode()
    frames = []
    for line in out.split("\n"):
        fields = [f for f in line.split(",") if f]
        if len(fields) >= 3:
            frames.append((fields[0], int(fields[1]), int(fields[2])))
    return frames


def main():
    corpus = sys.argv[1]
    failures = []
    entries = [line.split() for line in open(os.path.join(corpus, "corpus.list")) if line.strip()]
    raw_frames = {}
    for entry in entries:
        file, packaging = entry[0], entry[1]
        if packaging != "raw":
            continue
        magic, values, frames, starts = read_index(os.path.join(corpus, os.path.basename(file) + ".vqi"))
        raw_frames[os.path.basename(file).rsplit(".", 1)[0]] = frames
        probed = probe_frames(os.path.join(corpus, file))
        if len(probed) != len(frames):
            failures.append("%s: %d frame lines, ffprobe decodes %d frames" % (file, len(frames), len(probed)))
            continue
        for k, ((fields, progressive), (kind, tff, repeat)) in enumerate(zip(frames, probed)):
            want_kind, want_tff, want_repeat = expected_from_frame_line(magic, fields, progressive)
            if magic.startswith("VQVC1") and want_repeat is not None:
                # Progressive repeat counts show as twice the count, field flags as tff and rff.
                if values.get("ORDER", 0) == 0:
                    want_repeat = 2 * want_repeat
                else:
                    want_tff, want_repeat = want_repeat >> 1, want_repeat & 1
            if kind != want_kind or (want_tff is not None and tff != want_tff) or \
                    (want_repeat is not None and repeat != want_repeat):
                failures.append("%s frame %d: index %s, ffprobe %s" % (file, k, fields, (kind, tff, repeat)))
                break
        intra = sum(1 for kind, _, _ in probed if kind == "I")
        if len(starts) != intra:
            failures.append("%s: %d start points for %d I pictures" % (file, len(starts), intra))
    for entry in entries:
        file, packaging = entry[0], entry[1]
        if packaging == "raw":
            continue
        stream = os.path.basename(file).split(".")[0]
        magic, values, frames, starts = read_index(os.path.join(corpus, os.path.basename(file) + ".vqi"))
        reference = raw_frames.get(stream)
        if reference is None:
            continue
        listed = [f for f, _ in frames]
        wanted = [f for f, _ in reference]
        if packaging == "ps" and magic.startswith("VQMPG") and len(listed) == len(wanted) - 1:
            # mplex leaves out the last coded picture.
            wanted = next((wanted[:k] + wanted[k + 1:] for k in range(len(wanted))
                           if wanted[:k] + wanted[k + 1:] == listed), wanted)
        if listed != wanted:
            failures.append("%s: frame lines differ from the raw stream's" % file)
        want_kind = {"split": 0, "ts": 1, "m2ts": 1, "ps": 3}[packaging]
        if values.get("STREAM") != want_kind or (want_kind == 1 and (values["PKTSIZ"] != int(entry[3]) or
                                                                      values["VPID"] != int(entry[4]))):
            failures.append("%s: STREAM/PKTSIZ/VPID %s" % (file, values))
    for failure in failures:
        print(failure)
    print("checked %d index files, %d failures" % (len(entries), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
