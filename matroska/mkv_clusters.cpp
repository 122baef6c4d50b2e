// Clusters to frames: bounded parsing passes with resynchronisation, SimpleBlock and BlockGroup
// with the four lacing kinds, frame times and flags, the per-track frame queues and their node
// pool, mkvReadFrame and mkvIgnoreTracks.
#include "mkv_internal.h"

#include <cstring>

namespace {

constexpr uint64_t kMaxPassLength = 0x40000;
constexpr uint64_t kMaxElementInCluster = 0x400000;
// Blocks get more room than other elements: intra frames of high-resolution or lossless video
// run to several MiB, and a block over the size a consumer can take must still be queued, so
// that the consumer passes over that one frame instead of the parse resynchronising past its
// neighbours. The bound is the one a resynchronisation accepts for a whole Cluster.
constexpr uint64_t kMaxBlockInCluster = 0x4000000;
constexpr uint64_t kMaxResyncClusterSize = 0x4000000;
constexpr uint64_t kReadAheadStep = 16384;
// Read-ahead hints never cover more than this much of one block, so that a forged block size
// cannot turn the hints into an endless stream of calls.
constexpr uint64_t kMaxReadAheadSpan = 0x4000000;
constexpr int kMaxErrorsPerPass = 3;
// How far a block's relative timecode may lie outside those of the blocks before it in its
// Cluster for the block to be taken as the place to go on after damage: several frames of
// reordering at any frame rate a video track has, and still a narrow window of the 16-bit
// range at the usual 1 ms timecode scale.
constexpr uint64_t kResyncTimecodeSlackNs = 5000000000;
// A pass ends early once it has queued this many nodes (block frames and addition frames):
// blocks of many tiny laced frames must not fill the queues with a whole pass's worth of them.
// Inside one BlockGroup, further Blocks and block additions are passed over once the budget is
// spent, as the pass can only end at an element boundary.
constexpr uint32_t kMaxFramesPerPass = 4096;

bool passBudgetSpent(const MkvFile* file) { return file->passFrames >= kMaxFramesPerPass; }

int trackIndexOfNumber(const MkvFile* file, uint64_t number) {
  for (uint32_t i = 0; i < file->trackCount; ++i)
    if (file->tracks[i]->number == number) return static_cast<int>(i);
  return -1;
}

// A lace size field: end of file anywhere in it is a lacing failure.
int readLaceByte(MkvFile* file) {
  int byte = readByte(file);
  if (byte < 0) failParse(file, "Unexpected EOF while reading lacing data");
  return byte;
}

uint64_t readLaceVarInt(MkvFile* file, int* extraBytes) {
  int first = readLaceByte(file);
  if (first == 0) failParse(file, "Invalid first byte of EBML integer: 0");
  int extra = 0;
  while (!(first & (0x80 >> extra))) ++extra;
  uint64_t value = static_cast<uint64_t>(first & (0x7F >> extra));
  for (int i = 0; i < extra; ++i) value = (value << 8) | static_cast<uint64_t>(readLaceByte(file));
  *extraBytes = extra;
  return value;
}

// What one parsed Block left in its track's queue, for the duration and key-flag step.
struct ParsedBlock {
  bool queued = false;
  bool knownTrack = false;  // the block names a track of the file (queued or ignored)
  int track = -1;
  MkvQueuedFrame* first = nullptr;
  uint32_t frameCount = 0;
  uint64_t start = 0;
};

// Parses the Block whose payload (blockSize bytes) starts at the read position. Returns false
// when the block's track is unknown or ignored (nothing queued, position left inside the block).
bool parseBlock(MkvFile* file, uint64_t blockSize, uint64_t clusterTime, bool simple,
                bool* notKey, ParsedBlock* parsed) {
  uint64_t blockStart = filePosition(file);
  uint64_t blockEnd = blockStart + blockSize;
  uint64_t number = readVarInt(file, nullptr);
  if (number > 255)
    failParse(file, "Invalid track number in Block: %d", static_cast<int>(static_cast<uint32_t>(number)));
  int track = trackIndexOfNumber(file, number);
  parsed->knownTrack = track >= 0;
  if (track < 0 || (file->ignoreMask & (uint32_t{1} << track))) return false;
  const MkvTrackInfo* info = file->tracks[track];

  int16_t relative = static_cast<int16_t>(readUInt(file, 2));
  if (file->clusterBlocks == 0 || relative < file->clusterMinRelative) file->clusterMinRelative = relative;
  if (file->clusterBlocks == 0 || relative > file->clusterMaxRelative) file->clusterMaxRelative = relative;
  ++file->clusterBlocks;
  int64_t time = static_cast<int64_t>(clusterTime + static_cast<uint64_t>(int64_t{relative}) -
                                      file->firstTimecode);
  uint64_t scaled = static_cast<uint64_t>(time) * file->info.timecodeScale;
  uint64_t start = static_cast<uint64_t>(mulFixed(info->timecodeScale, static_cast<int64_t>(scaled)));

  int blockFlags = readByte(file);
  if (blockFlags < 0) failParse(file, "Unexpected EOF while reading Block flags");
  if (simple && !(blockFlags & 0x80)) *notKey = true;
  bool discardable = blockFlags & 1;
  int lacing = (blockFlags >> 1) & 3;

  uint32_t count = 1;
  if (lacing != 0) count = static_cast<uint32_t>(readLaceByte(file)) + 1;

  uint32_t sizes[256];
  uint64_t sum = 0;  // of the coded sizes, kept wide so that a forged lace cannot wrap it
  if (count > 1) {
    if (lacing == 1) {
      for (uint32_t k = 0; k + 1 < count; ++k) {
        uint32_t size = 0;
        int byte;
        do {
          byte = readLaceByte(file);
          size += static_cast<uint32_t>(byte);
        } while (byte == 255);
        sizes[k] = size;
        sum += size;
      }
    } else if (lacing == 3) {
      int extra;
      sizes[0] = static_cast<uint32_t>(readLaceVarInt(file, &extra));
      sum = sizes[0];
      for (uint32_t k = 1; k + 1 < count; ++k) {
        uint64_t coded = readLaceVarInt(file, &extra);
        sizes[k] = sizes[k - 1] + static_cast<uint32_t>(coded - MkvSignedBias[extra]);
        sum += sizes[k];
      }
    }
  }
  uint64_t dataStart = filePosition(file);
  uint32_t rest = static_cast<uint32_t>(blockEnd - dataStart);
  // A lace whose coded sizes overrun the block would hand out bytes that belong to other
  // elements; such a block is refused.
  if (dataStart > blockEnd || (count > 1 && lacing != 2 && sum > rest))
    failParse(file, "Invalid lacing: frame sizes exceed the block");
  if (count == 1 || lacing == 0) {
    sizes[0] = rest;
  } else if (lacing == 2) {
    for (uint32_t k = 0; k < count; ++k) sizes[k] = rest / count;
  } else {
    sizes[count - 1] = rest - static_cast<uint32_t>(sum);
  }

  MkvTrackQueue* queue = &file->queues[track];
  uint64_t position = dataStart;
  parsed->first = nullptr;
  for (uint32_t k = 0; k < count; ++k) {
    MkvQueuedFrame* node = allocFrameNode(file);
    node->start = node->end = start;
    node->filePos = position;
    node->size = sizes[k];
    node->flags = MKV_FRAME_UNKNOWN_END | MKV_FRAME_KEY;
    if (k + 1 == count && discardable) node->flags |= MKV_FRAME_DISCARDABLE;
    if (k > 0) node->flags |= MKV_FRAME_UNKNOWN_START;
    enqueueFrame(queue, node);
    ++file->passFrames;
    if (k == 0) parsed->first = node;
    position += sizes[k];
  }

  uint64_t hintEnd = blockEnd;
  if (hintEnd > file->segmentEnd) hintEnd = file->segmentEnd;
  if (hintEnd - blockStart > kMaxReadAheadSpan && hintEnd > blockStart)
    hintEnd = blockStart + kMaxReadAheadSpan;
  for (uint64_t p = filePosition(file) & ~(kReadAheadStep - 1); p < hintEnd; p += kReadAheadStep)
    file->io->read(file->io, p, nullptr, 0);

  seekTo(file, blockEnd);
  parsed->queued = true;
  parsed->track = track;
  parsed->frameCount = count;
  parsed->start = start;
  return true;
}

void parseBlockAdditions(MkvFile* file, uint64_t size, uint64_t start, int track) {
  uint64_t addId = 1;
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    if (id != mkvid::BlockMore) {
      skipBytes(file, childSize);
      continue;
    }
    uint64_t moreEnd = filePosition(file) + childSize;
    int additionals = 0;
    uint64_t dataPos = 0;
    uint32_t dataSize = 0;
    while (filePosition(file) != moreEnd) {
      uint32_t child = readChildId(file);
      uint64_t grandSize = readSize(file);
      if (child == mkvid::BlockAdditional) {
        dataPos = filePosition(file);
        dataSize = static_cast<uint32_t>(grandSize);
        skipBytes(file, grandSize);
        ++additionals;
      } else if (child == mkvid::BlockAddId) {
        addId = readUIntElement(file, grandSize);
      } else {
        skipBytes(file, grandSize);
      }
    }
    if (additionals != 1 || passBudgetSpent(file)) continue;
    MkvQueuedFrame* node = allocFrameNode(file);
    node->start = node->end = start;
    node->filePos = dataPos;
    node->size = dataSize;
    node->flags = (static_cast<uint32_t>(addId) << 24) | MKV_FRAME_UNKNOWN_START | MKV_FRAME_UNKNOWN_END;
    enqueueFrame(&file->queues[track], node);
    ++file->passFrames;
  }
}

// Block durations and the key flag, on the frames of the block last parsed in a group.
void finishBlock(MkvFile* file, const ParsedBlock& block, bool hasDuration, uint64_t duration,
                 bool notKey) {
  const MkvTrackInfo* info = file->tracks[block.track];
  uint64_t d = info->defaultDuration;
  MkvQueuedFrame* node = block.first;
  uint64_t scaledDuration =
      hasDuration ? static_cast<uint64_t>(mulFixed(
                        info->timecodeScale, static_cast<int64_t>(duration * file->info.timecodeScale)))
                  : 0;
  if (block.frameCount == 1) {
    if (hasDuration) {
      node->end = node->start + scaledDuration;
      node->flags &= ~MKV_FRAME_UNKNOWN_END;
    } else if (d != 0) {
      node->end = node->start + d;
      node->flags &= ~MKV_FRAME_UNKNOWN_END;
    }
  } else if (hasDuration) {
    uint64_t total = scaledDuration;
    uint64_t t = node->start;
    for (uint32_t k = 0; k + 1 < block.frameCount; ++k, node = node->next) {
      node->start = t;
      t += d;
      node->end = t;
      total -= d;
    }
    node->start = t;
    node->end = t + total;
    node->flags &= ~MKV_FRAME_UNKNOWN_END;
  } else if (d != 0) {
    uint64_t t = node->start;
    for (uint32_t k = 0; k < block.frameCount; ++k, node = node->next) {
      node->start = t;
      t += d;
      node->end = t;
      node->flags &= ~(MKV_FRAME_UNKNOWN_START | MKV_FRAME_UNKNOWN_END);
    }
  }
  if (notKey)
    for (MkvQueuedFrame* n = block.first; n != nullptr; n = n->next) n->flags &= ~MKV_FRAME_KEY;
}

// A SimpleBlock (simple) or BlockGroup whose payload of `size` bytes starts at the read position.
// True when its block names a track of the file.
bool parseBlockGroup(MkvFile* file, uint64_t size, uint64_t clusterTime, bool simple) {
  uint64_t end = filePosition(file) + size;
  bool notKey = false;
  ParsedBlock block;
  bool hasDuration = false;
  uint64_t duration = 0;
  if (simple) {
    if (!parseBlock(file, size, clusterTime, true, &notKey, &block)) {
      seekTo(file, end);
      return block.knownTrack;
    }
  } else {
    bool sawBlock = false;
    while (filePosition(file) != end) {
      uint32_t id = readChildId(file);
      uint64_t childSize = readSize(file);
      switch (id) {
        case mkvid::Block:
          sawBlock = true;
          if (block.queued && passBudgetSpent(file)) {
            skipBytes(file, childSize);
            break;
          }
          if (!parseBlock(file, childSize, clusterTime, false, &notKey, &block)) {
            seekTo(file, end);
            return block.knownTrack;
          }
          break;
        case mkvid::BlockDuration:
          duration = readUIntElement(file, childSize);
          hasDuration = true;
          break;
        case mkvid::ReferenceBlock:
          readUIntElement(file, childSize);
          notKey = true;
          break;
        case mkvid::BlockAdditions:
          if (sawBlock)
            parseBlockAdditions(file, childSize, block.start, block.track);
          else
            skipBytes(file, childSize);
          break;
        default: skipBytes(file, childSize);
      }
    }
    if (!sawBlock) failParse(file, "Found a BlockGroup without Block");
  }
  finishBlock(file, block, hasDuration, duration, notKey);
  return true;
}

bool insideTimedCluster(const MkvFile* file, uint64_t position) {
  return file->clusterTimed && position >= file->clusterStart && position < file->clusterEnd;
}

// Whether an element met inside a timed Cluster, whose header has just been read, can be one
// that a Cluster holds: a kind a Cluster has, a size that fits that kind and the Cluster.
// Anything else is damage read as an element header.
bool plausibleClusterChild(const MkvFile* file, uint32_t id, uint64_t size) {
  const uint64_t position = filePosition(file);
  if (position > file->clusterEnd || size > file->clusterEnd - position) return false;
  switch (id) {
    case mkvid::Timecode:
    case mkvid::Position:
    case mkvid::PrevSize: return size <= 8;
    case mkvid::Crc32: return size == 4;
    case mkvid::SimpleBlock:
    case mkvid::BlockGroup:
    case mkvid::BlockVirtual:
    case mkvid::EncryptedBlock:
    case mkvid::SilentTracks:
    case mkvid::Void: return true;
    default: return false;
  }
}

// True when the block header at the read position (a Block's or SimpleBlock's payload that
// must end by blockEnd) names a track of the file and a relative timecode near those of the
// Cluster's blocks so far.
bool trustworthyBlockHeader(MkvFile* file, uint64_t blockEnd) {
  if (trackIndexOfNumber(file, readVarInt(file, nullptr)) < 0) return false;
  const int64_t relative = static_cast<int16_t>(readUInt(file, 2));
  const uint64_t scale = file->info.timecodeScale;
  const int64_t slack = scale == 0 || kResyncTimecodeSlackNs / scale > 0x10000
                            ? 0x10000
                            : static_cast<int64_t>(kResyncTimecodeSlackNs / scale);
  const int64_t low = file->clusterBlocks ? file->clusterMinRelative : 0;
  const int64_t high = file->clusterBlocks ? file->clusterMaxRelative : 0;
  if (relative < low - slack || relative > high + slack) return false;
  if (readByte(file) < 0) return false;  // the flag byte
  return filePosition(file) <= blockEnd;
}

// True when a SimpleBlock (simple) or BlockGroup whose ID byte lies at `at` can be trusted
// after damage: a size that fits its Cluster, a trustworthy block header (a BlockGroup's
// first child must be its Block), and behind it either the Cluster's end or the header of
// another element that a Cluster holds, fitting it too.
bool trustworthyBlock(MkvFile* file, uint64_t at, bool simple) {
  MkvHandlerScope scope(file);
  try {
    seekTo(file, at + 1);
    const uint64_t size = readSize(file);
    const uint64_t clusterEnd = file->clusterEnd;
    if (size > clusterEnd - filePosition(file)) return false;
    const uint64_t end = filePosition(file) + size;
    if (simple) {
      if (!trustworthyBlockHeader(file, end)) return false;
    } else {
      if (readId(file) != mkvid::Block) return false;
      const uint64_t blockSize = readSize(file);
      if (blockSize > end - filePosition(file)) return false;
      if (!trustworthyBlockHeader(file, filePosition(file) + blockSize)) return false;
    }
    if (end == clusterEnd) return true;
    seekTo(file, end);
    const uint32_t next = readId(file);
    return plausibleClusterChild(file, next, readSize(file)) && next != mkvid::Timecode;
  } catch (MkvParseFailure&) {
    return false;
  }
}

// Damage inside a timed Cluster: looks for the first trustworthy block behind `from`, up to
// the Cluster's end. The position of its ID, or the Cluster's end when there is none (the
// damaged stretch is passed over either way); no position when the search itself failed (an
// I/O error). The error text and end state that the damage left are kept.
bool findTrustworthyBlock(MkvFile* file, uint64_t from, uint64_t* found) {
  char damage[sizeof file->errorText];
  memcpy(damage, file->errorText, sizeof damage);
  const uint32_t endState = file->flags & MKV_STATE_END;
  bool searched = true;
  *found = file->clusterEnd;
  {
    MkvHandlerScope scope(file);
    try {
      seekTo(file, from + 1);
      for (uint64_t position = from + 1; position < file->clusterEnd; ++position) {
        const int byte = readByte(file);
        if (byte < 0) break;
        if (byte != 0xA3 && byte != 0xA0) continue;
        if (trustworthyBlock(file, position, byte == 0xA3)) {
          *found = position;
          break;
        }
        seekTo(file, position + 1);
      }
    } catch (MkvParseFailure&) {
      searched = false;
    }
  }
  memcpy(file->errorText, damage, sizeof damage);
  file->flags = (file->flags & ~MKV_STATE_END) | endState;
  return searched;
}

// The Cluster header: Timecode and friends up to the first block, which is parsed whatever
// its size. Damage met once the Timecode is known sends the walk on at the next trustworthy
// block.
void parseClusterHeader(MkvFile* file, uint64_t size) {
  const uint64_t start = filePosition(file);
  uint64_t end = start + size;
  file->clusterTimed = false;
  file->clusterStart = start;
  file->clusterEnd = size > UINT64_MAX - start ? UINT64_MAX : end;
  file->trustedEnd = start;
  file->clusterBlocks = 0;
  bool timecodeSeen = false;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    if (timecodeSeen && !plausibleClusterChild(file, id, childSize)) {
      uint64_t next;
      if (findTrustworthyBlock(file, file->trustedEnd, &next)) seekTo(file, next);
      return;
    }
    switch (id) {
      case mkvid::Timecode:
        file->clusterTime = readUIntElement(file, childSize);
        timecodeSeen = true;
        file->clusterTimed = true;
        break;
      case mkvid::Position:
      case mkvid::PrevSize: readUIntElement(file, childSize); break;
      case mkvid::SilentTracks: {
        uint64_t silentEnd = filePosition(file) + childSize;
        while (filePosition(file) != silentEnd) {
          uint32_t child = readChildId(file);
          uint64_t grandSize = readSize(file);
          if (child == mkvid::SilentTrackNumber)
            readUIntElement(file, grandSize);
          else
            skipBytes(file, grandSize);
        }
        break;
      }
      case mkvid::BlockGroup:
      case mkvid::SimpleBlock:
        if (!timecodeSeen) failParse(file, "Found BlockGroup before cluster TimeCode");
        if (!parseBlockGroup(file, childSize, file->clusterTime, id == mkvid::SimpleBlock)) {
          // A block of no track of the file: damage, or a track the file does not describe.
          uint64_t next;
          if (findTrustworthyBlock(file, file->trustedEnd, &next)) seekTo(file, next);
          return;
        }
        file->trustedEnd = filePosition(file);
        return;
      default: skipBytes(file, childSize);
    }
    // Trust (MkvFile::trustedEnd) follows the Timecode and the blocks.
    if (id == mkvid::Timecode) file->trustedEnd = filePosition(file);
  }
}

// The element walk of one pass, from the read position; returns -1 at end of file, else 0.
// Inside a timed Cluster, an element that cannot be one of its children, or a block of no
// track of the file, is damage: the walk goes on at the next trustworthy block.
int walkPass(MkvFile* file, uint64_t passEnd) {
  file->passFrames = 0;
  for (;;) {
    if (filePosition(file) >= file->segmentEnd) return 0;
    const uint64_t elementStart = filePosition(file);
    uint32_t id = readId(file);
    if (id == kNoId) return -1;
    uint64_t size = readSize(file);
    if (id == mkvid::Cluster) {
      parseClusterHeader(file, size);
    } else {
      const bool isBlock = id == mkvid::BlockGroup || id == mkvid::SimpleBlock;
      if (size > (isBlock ? kMaxBlockInCluster : kMaxElementInCluster))
        failParse(file, "Element in a cluster is too large around %llu, %X [%u]",
                  static_cast<unsigned long long>(filePosition(file)), id, static_cast<uint32_t>(size));
      const bool inCluster = insideTimedCluster(file, elementStart);
      bool damaged = inCluster && !plausibleClusterChild(file, id, size);
      if (!damaged) {
        if (isBlock)
          damaged = !parseBlockGroup(file, size, file->clusterTime, id == mkvid::SimpleBlock) && inCluster;
        else
          skipBytes(file, size);
      }
      // The search starts behind the last block that parsed cleanly: what lies between (a
      // Void, say) may itself be damage read as an element, which carried the walk here.
      if (damaged) {
        uint64_t next;
        if (findTrustworthyBlock(file, file->trustedEnd, &next)) seekTo(file, next);
      } else if (inCluster && isBlock) {
        file->trustedEnd = filePosition(file);
      }
    }
    file->readPos = filePosition(file);
    if (file->readPos > passEnd || file->passFrames >= kMaxFramesPerPass) return 0;
  }
}

// After a parse failure inside a timed Cluster: the walk goes on at the first trustworthy
// block behind the last element that parsed cleanly (and behind `floor`, where an earlier
// search of this pass went on). True: readPos set there, the end state cleared. False when
// the Cluster holds none: the next Cluster is looked for.
bool resynchroniseInCluster(MkvFile* file, uint64_t errorPosition, uint64_t floor) {
  if (!insideTimedCluster(file, file->trustedEnd) || errorPosition < file->clusterStart) return false;
  uint64_t next;
  if (!findTrustworthyBlock(file, file->trustedEnd > floor ? file->trustedEnd : floor, &next) ||
      next >= file->clusterEnd)
    return false;
  file->flags &= ~MKV_STATE_END;
  file->readPos = next;
  return true;
}

// Looks for the next plausible Cluster from the read position. True: found, readPos set.
bool resynchronise(MkvFile* file) {
  for (;;) {
    uint64_t position = filePosition(file);
    if (position >= file->segmentEnd) return false;
    int64_t found = file->io->scan(file->io, position, mkvid::Cluster);
    if (found < 0 || static_cast<uint64_t>(found) >= file->segmentEnd ||
        static_cast<uint64_t>(found) < position)
      return false;
    seekTo(file, static_cast<uint64_t>(found));
    uint32_t id = readId(file);
    if (id == kNoId) return false;
    if (id != mkvid::Cluster) continue;
    if (readSize(file) >= kMaxResyncClusterSize) continue;
    file->flags &= ~MKV_STATE_END;
    file->readPos = static_cast<uint64_t>(found);
    return true;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Node pool and queues

MkvQueuedFrame* allocFrameNode(MkvFile* file) {
  if (file->freeNodes == nullptr) {
    MkvQueuedFrame** slot =
        arrayAppend(file, file->nodeBlocks, file->nodeBlockCount, file->nodeBlockCapacity);
    MkvQueuedFrame* block = static_cast<MkvQueuedFrame*>(
        file->io->memAlloc(file->io, kNodesPerBlock * static_cast<uint32_t>(sizeof(MkvQueuedFrame))));
    *slot = block;
    if (block == nullptr) failParse(file, "Ouf of memory");
    for (int i = 0; i < kNodesPerBlock; ++i)
      block[i].next = i + 1 < kNodesPerBlock ? &block[i + 1] : nullptr;
    file->freeNodes = block;
  }
  MkvQueuedFrame* node = file->freeNodes;
  file->freeNodes = node->next;
  return node;
}

void releaseFrameNode(MkvFile* file, MkvQueuedFrame* node) {
  node->next = file->freeNodes;
  file->freeNodes = node;
}

void enqueueFrame(MkvTrackQueue* queue, MkvQueuedFrame* node) {
  node->next = nullptr;
  if (queue->tail != nullptr) queue->tail->next = node;
  queue->tail = node;
  if (queue->head == nullptr) queue->head = node;
}

MkvQueuedFrame* dequeueFrame(MkvTrackQueue* queue) {
  MkvQueuedFrame* node = queue->head;
  if (node == nullptr) return nullptr;
  queue->head = node->next;
  if (queue->tail == node) queue->tail = nullptr;
  return node;
}

void flushTrackQueue(MkvFile* file, MkvTrackQueue* queue) {
  MkvQueuedFrame* node = queue->head;
  while (node != nullptr) {
    MkvQueuedFrame* next = node->next;
    releaseFrameNode(file, node);
    node = next;
  }
  queue->head = queue->tail = nullptr;
}

void flushAllQueues(MkvFile* file) {
  for (uint32_t i = 0; i < file->trackCount; ++i) flushTrackQueue(file, &file->queues[i]);
}

// ---------------------------------------------------------------------------------------------
// Passes

int parseCluster(MkvFile* file) {
  // Damage that no search could pass ends the file until the next seek: the read position may
  // have been moved back behind frames already queued, and reading on would queue them again.
  if ((file->flags & MKV_STATE_END) || file->readPos >= file->segmentEnd) return -1;
  MkvHandlerScope scope(file);
  int result = 0;
  int errors = 0;
  uint64_t passLength = file->io->cacheSize(file->io) / 2;
  if (passLength > kMaxPassLength) passLength = kMaxPassLength;
  bool resyncing = false;
  uint64_t blockSearchFloor = 0;  // where the last search for a block inside the Cluster went on
  for (;;) {
    try {
      if (resyncing) {
        seekTo(file, file->readPos);
        if (!resynchronise(file)) return -1;
        resyncing = false;
        result = 1;
      }
      uint64_t passEnd = file->readPos > UINT64_MAX - passLength ? UINT64_MAX : file->readPos + passLength;
      seekTo(file, file->readPos);
      if (walkPass(file, passEnd) < 0) result = -1;
      file->readPos = filePosition(file);
      return result;
    } catch (MkvParseFailure&) {
      file->readPos = filePosition(file);
      if (++errors > kMaxErrorsPerPass) return -1;
      // Damage inside a Cluster costs the damaged block only: the walk goes on at the next
      // block that can be trusted, in the same Cluster, keeping its time. Otherwise (or when
      // none is left in it) the next Cluster.
      const uint64_t errorPosition = file->readPos;
      if (resynchroniseInCluster(file, errorPosition, blockSearchFloor)) {
        blockSearchFloor = file->readPos;
        continue;
      }
      // The search for the next Cluster starts behind the last element of this one that
      // parsed cleanly: a damaged size may have carried the walk far past the Cluster's end.
      if (errorPosition >= file->clusterStart && file->trustedEnd >= file->clusterStart &&
          file->trustedEnd < file->clusterEnd && file->trustedEnd < errorPosition)
        file->readPos = file->trustedEnd;
      result = -1;
      resyncing = true;
    }
  }
}

int fillQueues(MkvFile* file, uint32_t skipMask) {
  int last = 0;
  for (;;) {
    for (uint32_t i = 0; i < file->trackCount; ++i)
      if (!(skipMask & (uint32_t{1} << i)) && file->queues[i].head != nullptr) return last;
    last = parseCluster(file);
    if (last < 0) break;
  }
  for (uint32_t i = 0; i < file->trackCount; ++i)
    if (!(skipMask & (uint32_t{1} << i)) && file->queues[i].head != nullptr) return 0;
  return -1;
}

// ---------------------------------------------------------------------------------------------
// Public operations

int mkvReadFrame(MkvFile* file, uint32_t skipMask, uint32_t* track, uint64_t* start, uint64_t* end,
                 uint64_t* filePos, uint32_t* size, uint32_t* frameFlags) {
  MkvHandlerScope scope(file);
  try {
    for (;;) {
      int chosen = -1;
      for (uint32_t i = 0; i < file->trackCount; ++i) {
        if ((skipMask & (uint32_t{1} << i)) || file->queues[i].head == nullptr) continue;
        if (chosen < 0 || file->queues[i].head->start < file->queues[chosen].head->start)
          chosen = static_cast<int>(i);
      }
      if (chosen < 0) {
        if (file->flags & MKV_STATE_END) return -1;
        if (fillQueues(file, skipMask) < 0) return -1;
        continue;
      }
      MkvQueuedFrame* node = dequeueFrame(&file->queues[chosen]);
      *track = static_cast<uint32_t>(chosen);
      *start = node->start;
      *end = node->end;
      *filePos = node->filePos;
      *size = node->size;
      *frameFlags = node->flags;
      releaseFrameNode(file, node);
      return 0;
    }
  } catch (MkvParseFailure&) {
    return -1;
  }
}

void mkvIgnoreTracks(MkvFile* file, uint32_t mask) {
  if (file->flags & MKV_STATE_END) return;
  file->ignoreMask = mask;
  for (uint32_t i = 0; i < file->trackCount; ++i)
    if (mask & (uint32_t{1} << i)) flushTrackQueue(file, &file->queues[i]);
}
