// Cues and seeking: the cue table from the Cues element or from a scan for Cluster headers,
// and mkvSeek.
#include <algorithm>
#include <cstring>

#include "mkv_internal.h"

namespace {

constexpr uint64_t kScanStep = 0xA00000;
constexpr uint64_t kScanWideSpan = 0x6400000;
constexpr uint64_t kScanProbeBytes = 1024;
constexpr uint64_t kScanMinClusterSize = 1024;
constexpr uint64_t kScanMaxClusterSize = 0x3FFFFFF;
constexpr int kScanMaxMisses = 50;

struct CueDraft {
  uint64_t time = 0, clusterPos = 0, blockNumber = 0;
  uint8_t track = 0;
};

void parseCueReference(MkvFile* file, uint64_t size) {
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    if (id == 0x96 || id == 0x97 || id == 0xEB || id == 0x535F)
      readUIntElement(file, childSize);
    else
      skipBytes(file, childSize);
  }
}

void parseCueTrackPositions(MkvFile* file, uint64_t size, CueDraft* cue) {
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    switch (id) {
      case 0xF1: cue->clusterPos = readUIntElement(file, childSize); break;
      case 0xF7: {
        uint64_t track = readUIntElement(file, childSize);
        if (track > 255)
          failParse(file, "CueTrack points to an invalid track: %d",
                    static_cast<int>(static_cast<uint32_t>(track)));
        cue->track = static_cast<uint8_t>(track);
        break;
      }
      case 0x5378: cue->blockNumber = readUIntElement(file, childSize); break;
      case 0xEA: readUIntElement(file, childSize); break;
      case 0xDB: parseCueReference(file, childSize); break;
      default: skipBytes(file, childSize);
    }
  }
}

void parseCuePoint(MkvFile* file, uint64_t size, CueDraft* cue) {
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    if (id == 0xB3)
      cue->time = readUIntElement(file, childSize);
    else if (id == 0xB7)
      parseCueTrackPositions(file, childSize, cue);
    else
      skipBytes(file, childSize);
  }
  // The first cluster always gets an entry, so that seeks before the first cue start there.
  // Only possible once the first cluster's position is known.
  uint64_t firstCluster = file->firstClusterPos - file->segmentStart;
  if (file->cueCount == 0 && file->firstClusterPos != 0 && cue->clusterPos != firstCluster)
    addCuePoint(file, firstCluster, file->firstTimecode);
  MkvCuePoint* entry = arrayAppend(file, file->cues, file->cueCount, file->cueCapacity);
  entry->time = cue->time;
  entry->clusterPos = cue->clusterPos;
  entry->blockNumber = cue->blockNumber;
  entry->track = cue->track;
}

// Stable sort by time: CuePoints of equal time keep their file order. Cues are almost
// always in order already (nothing is allocated then); a file whose Cues are not must not
// cost quadratic time: a bottom-up merge sort, whose scratch comes from the caller's
// allocator like all the reader's memory. Without scratch the table is dropped, as for
// damaged Cues: the first seek then scans for the clusters.
void sortCues(MkvFile* file) {
  const uint32_t count = file->cueCount;
  uint32_t i = 1;
  while (i < count && file->cues[i - 1].time <= file->cues[i].time) ++i;
  if (i >= count) return;
  MkvIo* io = file->io;
  const uint64_t bytes = uint64_t{count} * sizeof(MkvCuePoint);
  MkvCuePoint* scratch =
      bytes > UINT32_MAX ? nullptr : static_cast<MkvCuePoint*>(io->memAlloc(io, static_cast<uint32_t>(bytes)));
  if (scratch == nullptr) {
    file->cueCount = 0;
    file->foundElements &= ~kFoundCues;
    return;
  }
  MkvCuePoint* from = file->cues;
  MkvCuePoint* to = scratch;
  for (uint64_t width = 1; width < count; width *= 2) {
    for (uint64_t left = 0; left < count; left += 2 * width) {
      const uint64_t middle = std::min<uint64_t>(left + width, count);
      const uint64_t right = std::min<uint64_t>(left + 2 * width, count);
      // std::merge takes from the left run on equal times, which keeps the sort stable.
      std::merge(from + left, from + middle, from + middle, from + right, to + left,
                 [](const MkvCuePoint& a, const MkvCuePoint& b) { return a.time < b.time; });
    }
    std::swap(from, to);
  }
  if (from != file->cues) memcpy(file->cues, from, bytes);
  io->memFree(io, scratch);
}

enum class ProbeResult { Accepted, Dropped, Stop };

// Examines one Cluster candidate at `found`; on acceptance adds its cue and advances *next.
ProbeResult probeCandidate(MkvFile* file, uint64_t found, uint64_t step, uint64_t* next) {
  seekTo(file, found);
  uint32_t id = readId(file);
  if (id == kNoId) return ProbeResult::Stop;
  if (id != mkvid::Cluster) return ProbeResult::Dropped;
  uint64_t size = readVarInt(file, nullptr);
  if (size < kScanMinClusterSize || size > kScanMaxClusterSize) return ProbeResult::Dropped;
  uint64_t clusterEnd = filePosition(file) + size;
  while (filePosition(file) < found + kScanProbeBytes) {
    uint32_t child = readId(file);
    if (child == kNoId) return ProbeResult::Dropped;
    uint64_t childSize = readSize(file);
    if (child != mkvid::Timecode) {
      skipBytes(file, childSize);
      continue;
    }
    uint64_t timecode = readUIntElement(file, childSize);
    seekTo(file, clusterEnd);
    uint32_t behind = readId(file);
    if (behind == kNoId) return ProbeResult::Stop;
    if (behind != mkvid::Cluster) return ProbeResult::Dropped;
    addCuePoint(file, found - file->segmentStart, timecode);
    *next = found + step > clusterEnd ? found + step : clusterEnd;
    return ProbeResult::Accepted;
  }
  return ProbeResult::Dropped;
}

}  // namespace

void parseCues(MkvFile* file, uint64_t size) {
  file->foundElements |= kFoundCues;
  file->cueCount = 0;
  {
    MkvHandlerScope scope(file);
    try {
      CueDraft cue;
      uint64_t end = filePosition(file) + size;
      while (filePosition(file) != end) {
        uint32_t id = readChildId(file);
        uint64_t childSize = readSize(file);
        if (id == 0xBB)
          parseCuePoint(file, childSize, &cue);
        else
          skipBytes(file, childSize);
      }
    } catch (MkvParseFailure&) {
      file->foundElements &= ~kFoundCues;
      file->cueCount = 0;
      return;
    }
  }
  arrayTrim(file, file->cues, file->cueCount, file->cueCapacity);
  sortCues(file);
}

void scaleCueTimes(MkvFile* file) {
  uint64_t scale = file->info.timecodeScale;
  uint64_t base = file->firstTimecode * scale;
  for (uint32_t i = 0; i < file->cueCount; ++i) file->cues[i].time = file->cues[i].time * scale - base;
}

void addCuePoint(MkvFile* file, uint64_t clusterPos, uint64_t time) {
  MkvCuePoint* entry = arrayAppend(file, file->cues, file->cueCount, file->cueCapacity);
  entry->time = time;
  entry->clusterPos = clusterPos;
  entry->blockNumber = 0;
  entry->track = 0;
}

void buildClusterIndex(MkvFile* file) {
  uint64_t pos = file->firstClusterPos;
  uint64_t end = file->segmentEnd;
  if (pos >= end) return;
  uint64_t step = kScanStep;
  if (pos + kScanWideSpan > end || pos > UINT64_MAX - kScanWideSpan) step = (end - pos) / 10;
  if (step == 0) step = 1;
  file->cueCount = 0;
  int misses = 0;
  MkvIo* io = file->io;
  for (;;) {
    if (io->progress(io, pos, end) == 0) break;
    if (++misses > kScanMaxMisses) {
      pos = pos > UINT64_MAX - step ? UINT64_MAX : pos + step;
      misses = 0;
    } else {
      int64_t found = io->scan(io, pos, mkvid::Cluster);
      if (found < 0 || static_cast<uint64_t>(found) >= end || static_cast<uint64_t>(found) < pos) break;
      uint64_t candidate = static_cast<uint64_t>(found);
      pos = candidate + 4;
      ProbeResult result = ProbeResult::Dropped;
      {
        MkvHandlerScope scope(file);
        try {
          uint64_t next = pos;
          result = probeCandidate(file, candidate, step, &next);
          if (result == ProbeResult::Accepted) {
            pos = next;
            misses = 0;
          }
        } catch (MkvParseFailure&) {
          result = ProbeResult::Dropped;
        }
      }
      if (result == ProbeResult::Stop) break;
    }
    if (pos >= end) break;
  }
  scaleCueTimes(file);
  if (file->cueCount == 0) addCuePoint(file, file->firstClusterPos - file->segmentStart, 0);
  io->progress(io, 0, 0);
}

void mkvSeek(MkvFile* file, uint64_t target, uint32_t /*flags*/, uint32_t selectedTrack) {
  if (file->flags & MKV_OPEN_NO_SEEK) return;
  MkvHandlerScope scope(file);
  try {
    if (target == 0) {
      flushAllQueues(file);
      file->flags &= ~MKV_STATE_END;
      file->readPos = file->firstClusterPos;
      return;
    }
    if (file->cueCount == 0) buildClusterIndex(file);
    if (file->cueCount == 0) return;
    file->flags &= ~MKV_STATE_END;

    int64_t lo = 0, hi = static_cast<int64_t>(file->cueCount) - 1;
    while (lo <= hi) {
      int64_t mid = (lo + hi) / 2;
      if (target >= file->cues[mid].time)
        lo = mid + 1;
      else
        hi = mid - 1;
    }
    const MkvCuePoint& entry = file->cues[hi < 0 ? 0 : hi];

    mkvIgnoreTracks(file, file->ignoreMask);
    flushAllQueues(file);
    file->readPos = file->segmentStart + entry.clusterPos;

    if (selectedTrack >= file->trackCount) return;
    uint32_t skipMask = ~(uint32_t{1} << selectedTrack);
    MkvTrackQueue* queue = &file->queues[selectedTrack];
    int r = fillQueues(file, skipMask);
    if (r < 0) return;
    for (;;) {
      if (r == 1) return;
      while (queue->head != nullptr && queue->head->start < target)
        releaseFrameNode(file, dequeueFrame(queue));
      if (queue->head != nullptr && queue->head->next != nullptr &&
          queue->head->start > queue->head->next->start)
        releaseFrameNode(file, dequeueFrame(queue));
      if (target == UINT64_MAX) return;
      if (queue->head != nullptr && queue->head->start >= target) return;
      r = fillQueues(file, skipMask);
      if (r < 0) return;
    }
  } catch (MkvParseFailure&) {
    // The message stays in errorText and the end state is set; the next reads show the outcome.
  }
}
