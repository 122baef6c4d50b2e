// Matroska sources (see mkv_source.h): the reader's I/O callbacks over the first
// source file, the track choice, and frames prepared for the elementary-stream getter.
#include "source/mkv_source.h"

#include "pipeline/sample_utils.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "source/source_decoder.h"
#include "source/stream_packet_sync.h"

namespace {

constexpr uint32_t kMkvCacheSize = 65536;
constexpr uint64_t kSeekBackOff = 500000000;         // half a second before the wanted frame
constexpr uint64_t kParamSetScan = 2000000000;       // in-band parameter sets looked for before a GOP
const uint8_t kStartCode4[4] = {0, 0, 0, 1};

MkvSourceIo* GlueOf(MkvIo* io) { return reinterpret_cast<MkvSourceIo*>(io); }

int32_t MkvIoRead(MkvIo* io, uint64_t position, void* buffer, int32_t count) {
  MkvSourceIo* glue = GlueOf(io);
  if (buffer == nullptr || count <= 0) return 0;  // read-ahead hint: nothing to do
  if (position > uint64_t(INT64_MAX) || fseeko(glue->file, off_t(position), SEEK_SET) != 0) {
    glue->lastErrno = errno ? errno : EINVAL;
    return -1;
  }
  size_t got = fread(buffer, 1, size_t(count), glue->file);
  if (got > 0) return int32_t(got);
  if (feof(glue->file)) return 0;
  glue->lastErrno = errno ? errno : EIO;
  return -1;
}

int64_t MkvIoScan(MkvIo* io, uint64_t position, uint32_t signature) {
  MkvSourceIo* glue = GlueOf(io);
  if (position > uint64_t(INT64_MAX) || fseeko(glue->file, off_t(position), SEEK_SET) != 0) return -1;
  uint32_t window = 0;
  uint64_t read = 0;
  for (int ch; (ch = getc(glue->file)) != EOF;) {
    window = (window << 8) | uint32_t(ch);
    ++read;
    if (read >= 4 && window == signature) return int64_t(position + read - 4);
  }
  return -1;
}

uint32_t MkvIoCacheSize(MkvIo*) { return kMkvCacheSize; }

const char* MkvIoErrorText(MkvIo* io) { return strerror(GlueOf(io)->lastErrno); }

void* MkvIoAlloc(MkvIo*, uint32_t size) { return malloc(size); }

void* MkvIoRealloc(MkvIo*, void* block, uint32_t size) { return realloc(block, size); }

void MkvIoFree(MkvIo*, void* block) { free(block); }

int32_t MkvIoProgress(MkvIo*, uint64_t, uint64_t) { return 1; }

bool TrackFits(const MkvTrackInfo* track, int32_t codecKind) {
  if (track == nullptr || track->type != 1 || track->codecId == nullptr) return false;
  const char* id = track->codecId;
  switch (codecKind) {
    case kCodecAvc:
      return strcmp(id, "V_MPEG4/ISO/AVC") == 0;
    case kCodecVc1:
      if (strcmp(id, "V_VC1") == 0) return true;
      // A BITMAPINFOHEADER whose biCompression is WVC1.
      return strcmp(id, "V_MS/VFW/FOURCC") == 0 && track->codecPrivate != nullptr &&
             track->codecPrivateSize >= 20 && memcmp(track->codecPrivate + 16, "WVC1", 4) == 0;
    case kCodecMpeg2:
      return strcmp(id, "V_MPEG2") == 0;
    default:
      return false;
  }
}

const MkvTrackInfo* ChosenTrack(const SourceState* source) {
  return mkvTrackAt(source->mkvFile, source->mkvVideoTrack);
}

uint32_t PrefixSize(const MkvTrackInfo* track) {
  return track && track->compressionSettings ? track->compressionSettingsSize : 0;
}

// The size of the AVC unit lengths in the track's frames, from its configuration
// record (lengthSizeMinusOne + 1); 4 when the track carries no usable record.
uint32_t AvcLengthSize(const MkvTrackInfo* track) {
  if (!track || !track->codecPrivate || track->codecPrivateSize < 5) return 4;
  return uint32_t(track->codecPrivate[4] & 3) + 1;
}

uint32_t ReadLength(const uint8_t* at, uint32_t size) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < size; ++i) value = (value << 8) | at[i];
  return value;
}

constexpr int64_t kFrameTooLarge = -2;

// The frame's bytes, behind the track's stripped header, at the start of `to`
// (room bytes). The frame's total size; kFrameTooLarge when it does not fit, -1 when
// it cannot be read.
int64_t ReadFrameBytes(SourceState* source, const MkvTrackInfo* track, uint64_t filePos, uint32_t size, uint8_t* to,
                       uint64_t room) {
  const uint32_t prefix = PrefixSize(track);
  if (uint64_t(prefix) + size > room) return kFrameTooLarge;
  FILE* file = source->mkvIo->file;
  if (filePos > uint64_t(INT64_MAX) || fseeko(file, off_t(filePos), SEEK_SET) != 0) return -1;
  if (prefix) memcpy(to, track->compressionSettings, prefix);
  if (fread(to + prefix, 1, size, file) != size) return -1;
  return int64_t(prefix) + size;
}

// Rewrites 4-byte unit lengths as start codes in place. A length that runs past the
// frame ends the walk; nothing outside the frame is written.
void RewriteLengthsInPlace(uint8_t* frame, uint32_t total) {
  for (uint32_t at = 0; total - at >= 4;) {
    const uint32_t length = ReadLength(frame + at, 4);
    memcpy(frame + at, kStartCode4, 4);
    if (length > total - at - 4) break;
    at += 4 + length;
  }
}

// Rewrites 1-, 2- or 3-byte unit lengths as 4-byte start codes from `from` (total bytes)
// into `to` (room bytes). The bytes written; the walk ends at a length that runs past
// the frame (that unit keeps what the frame holds of it), -1 when the result does not
// fit.
int64_t RewriteShortLengths(const uint8_t* from, uint32_t total, uint32_t lengthSize, uint8_t* to, uint64_t room) {
  uint64_t written = 0;
  for (uint32_t at = 0; total - at >= lengthSize;) {
    uint32_t length = ReadLength(from + at, lengthSize);
    at += lengthSize;
    if (length > total - at) length = total - at;
    if (written + 4 + length > room) return -1;
    memcpy(to + written, kStartCode4, 4);
    memcpy(to + written + 4, from + at, length);
    written += 4 + length;
    at += length;
  }
  return int64_t(written);
}

enum class Load { Done, TooLarge, Failed };

// Loads one frame into sourceBuffer: stripped header restored, AVC unit lengths
// rewritten as start codes, 00 00 01 behind it; dataEnd set. A frame that cannot be
// read, or whose prepared form would not fit sourceBuffer, is not loaded (nothing
// changes then but what was read into the buffer).
Load LoadFrame(SourceState* source, uint64_t filePos, uint32_t size) {
  const MkvTrackInfo* track = ChosenTrack(source);
  MkvSourceIo* glue = source->mkvIo;
  const uint32_t lengthSize = source->codecKind == kCodecAvc ? AvcLengthSize(track) : 4;
  int64_t total;
  if (lengthSize == 4) {
    total = ReadFrameBytes(source, track, filePos, size, source->sourceBuffer, kSourceBufferSize - 3);
    if (total < 0) return total == kFrameTooLarge ? Load::TooLarge : Load::Failed;
    if (source->codecKind == kCodecAvc) RewriteLengthsInPlace(source->sourceBuffer, uint32_t(total));
  } else {
    // Shorter lengths grow into start codes: read aside, then rewrite into the buffer.
    const uint64_t needed = uint64_t(PrefixSize(track)) + size;
    if (needed > kSourceBufferSize) return Load::TooLarge;
    if (glue->scratchSize < needed) {
      uint8_t* grown = static_cast<uint8_t*>(realloc(glue->scratch, needed ? needed : 1));
      if (!grown) return Load::Failed;
      glue->scratch = grown;
      glue->scratchSize = needed;
    }
    int64_t read = ReadFrameBytes(source, track, filePos, size, glue->scratch, glue->scratchSize);
    if (read < 0) return Load::Failed;
    total = RewriteShortLengths(glue->scratch, uint32_t(read), lengthSize, source->sourceBuffer,
                                kSourceBufferSize - 3);
    if (total < 0) return Load::TooLarge;
  }
  uint8_t* end = source->sourceBuffer + total;
  end[0] = 0;
  end[1] = 0;
  end[2] = 1;
  source->dataEnd = uint32_t(total) + 3;
  return Load::Done;
}

using FrameRead = MkvFrameRead;

bool ReadFrame(SourceState* source, FrameRead* frame) {
  return mkvReadFrame(source->mkvFile, 0, &frame->track, &frame->start, &frame->end, &frame->filePos, &frame->size,
                      &frame->flags) == 0;
}

// The track's next frame in file order: the frames a seek read ahead first, then the reader's.
bool NextFrame(SourceState* source, FrameRead* frame) {
  MkvSourceIo* glue = source->mkvIo;
  if (glue->pendingNext < glue->pendingCount) {
    *frame = glue->pending[glue->pendingNext++];
    return true;
  }
  return ReadFrame(source, frame);
}

void DropPendingFrames(SourceState* source) { source->mkvIo->pendingCount = source->mkvIo->pendingNext = 0; }

enum class Reach { Nothing, Before, After, Covering, Exact };

// How well a frame read answers a seek to the time: Exact, it starts there; Covering, a key
// frame whose known span holds the time (an index time late by less than a frame, as a
// conversion from another time base can leave it: the GOP's anchor, where the frame that
// starts next after the time would be one of its later pictures); After, it starts after the
// time, within reach; Before otherwise.
Reach ReachOf(const FrameRead& frame, uint64_t time, uint64_t reach) {
  if (frame.start == time) return Reach::Exact;
  if (frame.start < time) {
    const bool keyWithSpan = (frame.flags & MKV_FRAME_KEY) && !(frame.flags & MKV_FRAME_UNKNOWN_END);
    return keyWithSpan && time < frame.end ? Reach::Covering : Reach::Before;
  }
  return frame.start <= reach ? Reach::After : Reach::Before;
}

// Whether frame a starts nearer the time than frame b (on a tie, the earlier one).
bool Nearer(const FrameRead& a, const FrameRead& b, uint64_t time) {
  const uint64_t da = a.start > time ? a.start - time : time - a.start;
  const uint64_t db = b.start > time ? b.start - time : time - b.start;
  return da < db || (da == db && a.start < b.start);
}

// Reads on from the reader's position towards the frame that starts at the time, and stops
// there, at the end of the track, or at the first frame that starts more than a back-off
// past the time: the frames stored around the time have then all been read, also at a high
// frame rate or behind long runs of pictures stored ahead of their turn. Exact: *frame starts
// at the time. Otherwise *frame is, of the key frames whose span holds the time (Covering)
// and the frames that start after it (After), the one whose start lies nearest the time: an
// index time that misses early by rounding still finds its GOP's anchor, which a fresh seek
// would drop in an open GOP when its leading pictures follow it, and one that misses late
// finds the anchor before it rather than the next picture shown. For Covering and After the
// frames read behind *frame are kept as pending, so that the track goes on from it. Before:
// no frame within reach starts at or after the time; *frame is the last one read. Nothing:
// no frame read.
Reach ReadOnTo(SourceState* source, uint64_t time, FrameRead* frame) {
  MkvSourceIo* glue = source->mkvIo;
  DropPendingFrames(source);
  const uint64_t reach = time > UINT64_MAX - kSeekBackOff ? UINT64_MAX : time + kSeekBackOff;
  Reach result = Reach::Nothing;
  FrameRead next;
  while (ReadFrame(source, &next)) {
    const Reach kind = ReachOf(next, time, reach);
    if (kind == Reach::Exact) {
      DropPendingFrames(source);
      *frame = next;
      return Reach::Exact;
    }
    const bool candidate = kind == Reach::After || kind == Reach::Covering;
    const bool haveCandidate = result == Reach::After || result == Reach::Covering;
    if (candidate && (!haveCandidate || Nearer(next, *frame, time))) {
      DropPendingFrames(source);
      *frame = next;
      result = kind;
    } else if (result == Reach::After || result == Reach::Covering) {
      glue->pending[glue->pendingCount++] = next;
      if (glue->pendingCount == kMkvPendingFrames) break;  // as far as the track can be held
    } else {
      *frame = next;
      result = Reach::Before;
    }
    if (next.start > reach) break;
  }
  if (result != Reach::After && result != Reach::Covering) DropPendingFrames(source);
  return result;
}

// Walks the track's configuration record: calls visit(set, length) for every SPS, then
// every PPS. Stops at the first set that runs past the record.
template <typename Visit>
void ForEachConfigSet(const MkvTrackInfo* track, Visit visit) {
  if (!track || !track->codecPrivate || track->codecPrivateSize < 6) return;
  const uint8_t* record = track->codecPrivate;
  const uint32_t size = track->codecPrivateSize;
  uint32_t at = 5;
  for (int kind = 0; kind < 2; ++kind) {
    if (at >= size) return;
    const uint32_t count = kind == 0 ? (record[at] & 0x1F) : record[at];
    ++at;
    for (uint32_t i = 0; i < count; ++i) {
      if (size - at < 2) return;
      const uint32_t length = ReadLength(record + at, 2);
      at += 2;
      if (length > size - at) return;
      if (!visit(record + at, length)) return;
      at += length;
    }
  }
}

}  // namespace

int32_t OpenMkvVideoTrack(SourceState* source) {
  CloseMkvSource(source);
  MkvSourceIo* glue = new (std::nothrow) MkvSourceIo{};
  if (!glue) return 1;
  glue->io.read = MkvIoRead;
  glue->io.scan = MkvIoScan;
  glue->io.cacheSize = MkvIoCacheSize;
  glue->io.errorText = MkvIoErrorText;
  glue->io.memAlloc = MkvIoAlloc;
  glue->io.memRealloc = MkvIoRealloc;
  glue->io.memFree = MkvIoFree;
  glue->io.progress = MkvIoProgress;
  glue->io.fileSize = nullptr;
  glue->file = source->sourceCount > 0 ? source->sourceFiles[0] : nullptr;
  source->mkvIo = glue;
  if (!glue->file) {
    CloseMkvSource(source);
    return 1;
  }
  setvbuf(glue->file, nullptr, _IOFBF, kMkvCacheSize);

  char error[256];
  source->mkvFile = mkvOpen(&glue->io, 0, 0, error, sizeof(error));
  if (!source->mkvFile) {
    CloseMkvSource(source);
    return 1;
  }
  const uint32_t count = mkvTrackCount(source->mkvFile);
  for (uint32_t i = 0; i < count; ++i) {
    if (!TrackFits(mkvTrackAt(source->mkvFile, i), source->codecKind)) continue;
    source->mkvVideoTrack = i;
    mkvIgnoreTracks(source->mkvFile, ~(1u << i));
    return 0;
  }
  CloseMkvSource(source);
  return 2;
}

void CloseMkvSource(SourceState* source) {
  if (source->mkvFile) mkvClose(source->mkvFile);
  source->mkvFile = nullptr;
  if (source->mkvIo) {
    free(source->mkvIo->scratch);
    delete source->mkvIo;
  }
  source->mkvIo = nullptr;
  source->mkvVideoTrack = 0;
}

void SeekReadMkvFrame(SourceState* source, uint64_t time) {
  source->sourcePos = source->sourceBuffer;
  if (!source->mkvFile) {
    source->dataEnd = 0;
    return;
  }
  DropPendingFrames(source);
  // Half a second earlier, and from the start for the first half second: a seek to the
  // frame's own time would drop it when the frame behind it in the file starts earlier
  // (an I picture followed by its leading B pictures).
  mkvSeek(source->mkvFile, time > kSeekBackOff ? time - kSeekBackOff : 0, 0, source->mkvVideoTrack);
  FrameRead chosen;
  Reach reach = ReadOnTo(source, time, &chosen);
  if (reach == Reach::Nothing || reach == Reach::Before) {
    // Nothing at or after the time within reach: a fresh seek to the time itself, whose
    // first frame is used whatever its start.
    mkvSeek(source->mkvFile, time, 0, source->mkvVideoTrack);
    FrameRead frame;
    if (ReadFrame(source, &frame)) {
      chosen = frame;
      reach = Reach::After;
      // A frame before the time means the reader could not position itself there (a
      // damaged Cluster where the Cues point, say): read on from where it landed, within
      // the same reach, rather than decode from the wrong place.
      if (frame.start < time) {
        const Reach onward = ReadOnTo(source, time, &chosen);
        if (onward != Reach::After && onward != Reach::Covering && onward != Reach::Exact) {
          // Nothing better: the fresh seek's frame after all, with the reader behind it.
          mkvSeek(source->mkvFile, time, 0, source->mkvVideoTrack);
          if (!ReadFrame(source, &chosen)) reach = Reach::Nothing;
        }
      }
    }
  }
  const bool found = reach != Reach::Nothing;
  if (found && LoadFrame(source, chosen.filePos, chosen.size) == Load::Done) return;
  // Nothing loaded: the stream goes on with the reader's next frame, whole.
  source->dataEnd = 0;
  if (found && ReadNextMkvFrame(source) == 0) source->sourcePos = source->sourceBuffer;
}

int32_t ReadNextMkvFrame(SourceState* source) {
  if (!source->mkvFile) return -1;
  // A frame too large for sourceBuffer is passed over; a failed read ends the stream.
  for (;;) {
    FrameRead frame;
    if (!NextFrame(source, &frame)) return -1;
    const Load load = LoadFrame(source, frame.filePos, frame.size);
    if (load == Load::Failed) return -1;
    if (load == Load::Done) break;
  }
  source->sourcePos = source->sourceBuffer + (source->codecKind == kCodecAvc ? 4 : 3);
  return 0;
}

int RefillFromMkv(SourceState* source, uint8_t* byte) {
  // A frame too short to hold its own start code has nothing to hand out.
  do {
    if (ReadNextMkvFrame(source) < 0) {
      source->sourcePos = source->sourceBuffer;
      source->dataEnd = 0;
      return -1;
    }
  } while (ConsumedBytes(source) >= source->dataEnd);
  *byte = *source->sourcePos++;
  return 0;
}

void CopyMkvAvcConfigSets(const SourceState* source, uint8_t* buffer, uint32_t capacity, uint32_t* filled) {
  if (!source->mkvFile) return;
  ForEachConfigSet(ChosenTrack(source), [&](const uint8_t* set, uint32_t length) {
    if (uint64_t(*filled) + 4 + length >= capacity) return false;
    memcpy(buffer + *filled, kStartCode4, 4);
    memcpy(buffer + *filled + 4, set, length);
    *filled += 4 + length;
    return true;
  });
}

int FeedMkvParameterSets(SourceDecoder* source, uint64_t gopTime) {
  if (!source->mkvFile) return -1;
  DropPendingFrames(source);  // the scan moves the reader
  const MkvTrackInfo* track = ChosenTrack(source);
  const uint32_t lengthSize = AvcLengthSize(track);
  uint32_t collected = 0;

  // In-band sets of the frames in the two seconds before the GOP.
  for (uint64_t scan = gopTime > kParamSetScan ? gopTime - kParamSetScan : 0; scan < gopTime;) {
    mkvSeek(source->mkvFile, scan, 0, source->mkvVideoTrack);
    FrameRead frame;
    if (!ReadFrame(source, &frame)) break;  // the end of the track, or a damaged file
    if (frame.start < scan) break;          // the reader could not position itself there
    const int64_t total =
        ReadFrameBytes(source, track, frame.filePos, frame.size, source->sourceBuffer, kSourceBufferSize);
    if (total == kFrameTooLarge) break;  // no parameter sets looked for beyond it
    if (total < 0) return -1;
    source->dataEnd = uint32_t(total);
    const uint8_t* frameBytes = source->sourceBuffer;
    for (uint32_t at = 0; uint32_t(total) - at >= lengthSize;) {
      const uint32_t length = ReadLength(frameBytes + at, lengthSize);
      at += lengthSize;
      if (length > uint32_t(total) - at) break;  // a length past the frame ends the walk
      const uint8_t type = length ? frameBytes[at] & 0x1F : 0;
      if (type == 7 || type == 8) {
        if (uint64_t(collected) + length + 4 >= kParamSetAreaSize) return -1;
        memcpy(source->paramSetArea + collected, kStartCode4, 4);
        memcpy(source->paramSetArea + collected + 4, frameBytes + at, length);
        collected += length + 4;
      }
      at += length;
    }
    // On past the frame's end; a frame without a known duration ends where it starts,
    // so the scan moves at least past its start (and so on to a later frame).
    scan = std::max(frame.end, frame.start + 1);
  }

  // The configured sets first, each through the unit buffer as a stream unit.
  bool fits = true;
  ForEachConfigSet(track, [&](const uint8_t* set, uint32_t length) {
    if (uint64_t(length) + 4 > kUnitBufferSize) return fits = false;
    memcpy(source->unitBuffer, kStartCode4, 4);
    memcpy(source->unitBuffer + 4, set, length);
    source->unit.data = source->unitBuffer;
    source->unit.length = length + 4;
    fits = AppendToBitstream(&source->bitstream, source->unit.data, source->unit.length);
    return fits;
  });
  if (!fits) return -1;
  if (collected > 0 && !AppendToBitstream(&source->bitstream, source->paramSetArea, collected)) return -1;
  return 1;
}
