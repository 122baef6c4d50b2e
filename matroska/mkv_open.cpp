// Opening a Matroska file: EBML header, the first Segment, SeekHead chains, SegmentInfo, the
// first Cluster's time, the elements reached only through SeekHead positions, the duration scan;
// plus the context's life cycle (mkvOpen, mkvClose) and the accessors.
#include "mkv_internal.h"

#include <cstring>

namespace {

constexpr uint64_t kUnknownSize = UINT64_MAX;

// The numbers the EBML header declares must fit 32 bits; they are shown in the messages.
void checkHeaderLimit(MkvFile* file, uint64_t value, uint64_t limit, const char* message) {
  if (value > limit) failParse(file, message, static_cast<int>(static_cast<uint32_t>(value)));
}

void parseEbmlHeader(MkvFile* file, uint64_t size) {
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    switch (id) {
      case mkvid::EbmlReadVersion:
        checkHeaderLimit(file, readUIntElement(file, childSize), 1, "File requires version %d EBML parser");
        break;
      case mkvid::EbmlMaxIdLength:
        checkHeaderLimit(file, readUIntElement(file, childSize), 4, "File has identifiers longer than %d");
        break;
      case mkvid::EbmlMaxSizeLength:
        checkHeaderLimit(file, readUIntElement(file, childSize), 8, "File has integers longer than %d");
        break;
      case mkvid::DocType: {
        char docType[32];
        readString(file, childSize, docType, sizeof docType);
        if (strcmp(docType, "matroska") != 0) failParse(file, "Unsupported DocType: %s", docType);
        break;
      }
      case mkvid::DocTypeReadVersion:
        checkHeaderLimit(file, readUIntElement(file, childSize), 2,
                         "File requires version %d Matroska parser");
        break;
      case mkvid::EbmlVersion:
      case mkvid::DocTypeVersion:
        readUIntElement(file, childSize);
        break;
      default:
        skipBytes(file, childSize);
    }
  }
}

void parseSeekEntry(MkvFile* file, uint64_t size) {
  uint64_t end = filePosition(file) + size;
  uint32_t seekId = 0;
  uint64_t seekPosition = UINT64_MAX;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    if (id == mkvid::SeekId) {
      if (childSize > 4)
        failParse(file, "Invalid ID size in parseSeekEntry: %d\n", static_cast<int>(childSize));
      seekId = static_cast<uint32_t>(readUIntElement(file, childSize));
    } else if (id == mkvid::SeekPosition) {
      seekPosition = readUIntElement(file, childSize);
    } else {
      skipBytes(file, childSize);
    }
  }
  if (seekPosition == UINT64_MAX) failParse(file, "Invalid element position in parseSeekEntry");
  uint64_t position = file->segmentStart + seekPosition;
  switch (seekId) {
    case mkvid::SeekHead:
      if (file->nextSeekHeadPos != 0)
        failParse(file, "SeekHead contains more than one SeekHead pointer");
      file->nextSeekHeadPos = position;
      break;
    case mkvid::SegmentInfo: file->infoPos = position; break;
    case mkvid::Tracks: file->tracksPos = position; break;
    case mkvid::Cluster:
      if (file->firstClusterPos == 0) file->firstClusterPos = position;
      break;
    case mkvid::Cues: file->cuesPos = position; break;
    case mkvid::Attachments: file->attachmentsPos = position; break;
    case mkvid::Chapters: file->chaptersPos = position; break;
    case mkvid::Tags: file->tagsPos = position; break;
    default: break;
  }
}

void parseSeekHead(MkvFile* file, uint64_t size) {
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    if (id == mkvid::Seek)
      parseSeekEntry(file, childSize);
    else
      skipBytes(file, childSize);
  }
}

void readUid(MkvFile* file, uint64_t size, uint8_t* destination, const char* message) {
  if (size != 16) failParse(file, message, 16);
  readBytes(file, destination, 16);
}

void replaceText(MkvFile* file, char** field, uint64_t size) {
  char* text = readTextElement(file, size);
  file->io->memFree(file->io, *field);
  *field = text;
}

void parseSegmentInfo(MkvFile* file, uint64_t size) {
  if (file->foundElements & kFoundInfo) {
    skipBytes(file, size);
    return;
  }
  file->foundElements |= kFoundInfo;
  MkvFileInfo& info = file->info;
  info.timecodeScale = 1000000;
  int64_t duration = 0;
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    switch (id) {
      case 0x73A4: readUid(file, childSize, info.segmentUid, "SegmentUID size is not %d bytes"); break;
      case 0x3CB923: readUid(file, childSize, info.prevUid, "PrevUID size is not %d bytes"); break;
      case 0x3EB923: readUid(file, childSize, info.nextUid, "NextUID size is not %d bytes"); break;
      case 0x7384: replaceText(file, &info.segmentFilename, childSize); break;
      case 0x3C83AB: replaceText(file, &info.prevFilename, childSize); break;
      case 0x3E83BB: replaceText(file, &info.nextFilename, childSize); break;
      case 0x7BA9: replaceText(file, &info.title, childSize); break;
      case 0x4D80: replaceText(file, &info.muxingApp, childSize); break;
      case 0x5741: replaceText(file, &info.writingApp, childSize); break;
      case 0x2AD7B1: {
        uint64_t scale = readUIntElement(file, childSize);
        if (scale == 0) failParse(file, "Segment timecode scale is zero");
        info.timecodeScale = scale;
        break;
      }
      case 0x4489: duration = readFloatElement(file, childSize); break;
      case 0x4461:
        info.dateUtc = readUIntElement(file, childSize);
        info.hasDateUtc = 1;
        break;
      default: skipBytes(file, childSize);
    }
  }
  info.duration = static_cast<uint64_t>(mulFixed(duration, static_cast<int64_t>(info.timecodeScale)));
}

// Finds the time of the first block: the Cluster's Timecode plus the block's relative time.
void parseFirstCluster(MkvFile* file, uint64_t size) {
  file->firstTimecode = 0;
  file->foundElements |= kFoundCluster;
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    if (id == mkvid::Timecode) {
      file->firstTimecode += readUIntElement(file, childSize);
      continue;
    }
    if (id == mkvid::BlockGroup) {
      uint64_t groupEnd = filePosition(file) + childSize;
      bool found = false;
      while (filePosition(file) != groupEnd) {
        uint32_t groupChild = readChildId(file);
        uint64_t groupChildSize = readSize(file);
        if (groupChild == mkvid::Block) {
          found = true;
          break;
        }
        skipBytes(file, groupChildSize);
      }
      if (!found) continue;
    } else if (id != mkvid::SimpleBlock) {
      skipBytes(file, childSize);
      continue;
    }
    readVarInt(file, nullptr);  // track number
    int16_t relative = static_cast<int16_t>(readUInt(file, 2));
    file->firstTimecode += static_cast<uint64_t>(static_cast<int64_t>(relative));
    seekTo(file, end);
    return;
  }
}

void parseContainer(MkvFile* file) {
  uint32_t id = readId(file);
  if (id == kNoId) failParse(file, "Unexpected EOF in parseContainer");
  uint64_t size = readSize(file);
  switch (id) {
    case mkvid::SegmentInfo: parseSegmentInfo(file, size); break;
    case mkvid::Tracks: parseTracks(file, size); break;
    case mkvid::Cluster:
      // A recorded position that names a later Cluster must not move the time origin.
      if (!(file->foundElements & kFoundCluster)) parseFirstCluster(file, size);
      break;
    case mkvid::Cues: parseCues(file, size); break;
    case mkvid::Attachments: parseAttachments(file, size); break;
    case mkvid::Chapters: parseChapters(file, size); break;
    case mkvid::Tags: parseTags(file, size); break;
    default: break;
  }
}

void parseContainerAt(MkvFile* file, uint64_t position) {
  seekTo(file, position);
  parseContainer(file);
}

void parseDeferredElements(MkvFile* file) {
  if (file->infoPos && !(file->foundElements & kFoundInfo)) parseContainerAt(file, file->infoPos);
  if (file->firstClusterPos && !(file->foundElements & kFoundCluster))
    parseContainerAt(file, file->firstClusterPos);
  if (file->tracksPos && !(file->foundElements & kFoundTracks))
    parseContainerAt(file, file->tracksPos);

  MkvHandlerScope scope(file);
  try {
    const struct {
      uint64_t MkvFile::*position;
      uint32_t bit;
    } optional[] = {{&MkvFile::cuesPos, kFoundCues},
                    {&MkvFile::attachmentsPos, kFoundAttachments},
                    {&MkvFile::chaptersPos, kFoundChapters},
                    {&MkvFile::tagsPos, kFoundTags}};
    for (const auto& element : optional)
      if (file->*element.position && !(file->foundElements & element.bit))
        parseContainerAt(file, file->*element.position);
  } catch (MkvParseFailure&) {
    file->flags &= ~MKV_STATE_END;  // the message stays; the opening goes on without the rest
  }
}

// Follows a SeekHead and the chain of further SeekHeads it names (at most 10 in one walk).
void followSeekHeads(MkvFile* file, uint64_t size, int* seekHeadCount) {
  uint64_t after = filePosition(file) + size;
  for (;;) {
    file->nextSeekHeadPos = 0;
    parseSeekHead(file, size);
    ++*seekHeadCount;
    if (file->nextSeekHeadPos == 0) break;
    seekTo(file, file->nextSeekHeadPos);
    if (readId(file) != mkvid::SeekHead) break;
    size = readSize(file);
    if (*seekHeadCount >= 10) break;
  }
  seekTo(file, after);
}

// Chapters, Tags and Attachments met in the walk: a failure inside one ends that element only
// (its message stays), and the walk goes on behind it, so that metadata never costs the frames.
// A size that would put the element's end before its start gives the failure to the walk.
void parseMetadataInWalk(MkvFile* file, uint64_t size, void (*parse)(MkvFile*, uint64_t)) {
  uint64_t start = filePosition(file);
  uint64_t end = start + size;
  MkvHandlerScope scope(file);
  try {
    parse(file, size);
  } catch (MkvParseFailure&) {
    if (end < start) throw;
    file->flags &= ~MKV_STATE_END;
    seekTo(file, end);
  }
}

void walkSegment(MkvFile* file, uint64_t size) {
  int seekHeadCount = 0;
  uint64_t end = filePosition(file) + size;
  if (size == 0) return;
  for (;;) {
    uint64_t position = filePosition(file);
    uint32_t id = readChildId(file);
    uint64_t elementSize = readSize(file);
    switch (id) {
      case mkvid::SeekHead:
        if (file->flags & MKV_OPEN_NO_SEEK)
          skipBytes(file, elementSize);
        else
          followSeekHeads(file, elementSize, &seekHeadCount);
        break;
      case mkvid::SegmentInfo:
        file->infoPos = position;
        parseSegmentInfo(file, elementSize);
        break;
      case mkvid::Tracks:
        file->tracksPos = position;
        parseTracks(file, elementSize);
        break;
      case mkvid::Cluster:
        if (file->firstClusterPos == 0) file->firstClusterPos = position;
        if (!(file->foundElements & kFoundCluster))
          parseFirstCluster(file, elementSize);
        else
          skipBytes(file, elementSize);
        break;
      case mkvid::Cues:
        file->cuesPos = position;
        parseCues(file, elementSize);
        break;
      case mkvid::Attachments:
        file->attachmentsPos = position;
        parseMetadataInWalk(file, elementSize, parseAttachments);
        break;
      case mkvid::Chapters:
        file->chaptersPos = position;
        parseMetadataInWalk(file, elementSize, parseChapters);
        break;
      case mkvid::Tags:
        file->tagsPos = position;
        parseMetadataInWalk(file, elementSize, parseTags);
        break;
      default: skipBytes(file, elementSize);
    }
    if (file->infoPos && file->tracksPos && file->firstClusterPos) return;
    if (filePosition(file) == end) return;
  }
}

void parseSegment(MkvFile* file, uint64_t size) {
  {
    MkvHandlerScope scope(file);
    try {
      walkSegment(file, size);
    } catch (MkvParseFailure&) {
      file->flags &= ~MKV_STATE_END;  // what was parsed before the failure stays
    }
  }
  parseDeferredElements(file);
}

}  // namespace

void parseFile(MkvFile* file) {
  uint64_t start = filePosition(file);
  uint32_t id = readId(file);
  if (id == kNoId) failParse(file, "Unexpected EOF at start of file");
  if (start == 0 || id != mkvid::Segment) {
    if (id != mkvid::Ebml) failParse(file, "First element in file is not EBML");
    parseEbmlHeader(file, readSize(file));
    id = readId(file);
    if (id == kNoId) failParse(file, "No segments found in the file");
  }
  uint64_t size;
  for (;;) {
    int extra;
    size = readVarInt(file, &extra);
    if (size == (uint64_t{1} << (7 * (extra + 1))) - 1) size = kUnknownSize;
    if (id == mkvid::Segment) break;
    skipBytes(file, size);
    id = readId(file);
    if (id == kNoId) failParse(file, "No segments found in the file");
  }

  file->segmentStart = filePosition(file);
  if (size == kUnknownSize) {
    file->segmentEnd = UINT64_MAX;
    if (file->io->fileSize != nullptr) {
      int64_t total = file->io->fileSize(file->io);
      if (total > 0) file->segmentEnd = static_cast<uint64_t>(total);
    }
  } else {
    file->segmentEnd = file->segmentStart + size;
  }

  parseSegment(file, size);

  if (!(file->foundElements & kFoundInfo)) failParse(file, "Couldn't find SegmentInfo");
  if (!(file->foundElements & kFoundCluster)) file->firstClusterPos = file->segmentEnd;

  uint64_t shift = file->info.timecodeScale * file->firstTimecode;
  for (uint32_t i = 0; i < file->chapterCount; ++i) shiftChapterTimes(shift, &file->chapters[i]);
  scaleCueTimes(file);

  arrayTrim(file, file->tracks, file->trackCount, file->trackCapacity);

  // At least one entry, so that a file without tracks still gets a queue array.
  uint32_t queueCount = file->trackCount > 0 ? file->trackCount : 1;
  file->queues = static_cast<MkvTrackQueue*>(
      file->io->memAlloc(file->io, queueCount * static_cast<uint32_t>(sizeof(MkvTrackQueue))));
  if (file->queues == nullptr) failParse(file, "Ouf of memory");
  memset(file->queues, 0, queueCount * sizeof(MkvTrackQueue));

  if (!(file->flags & MKV_OPEN_NO_SEEK)) {
    int64_t duration = scanDuration(file);
    if (duration > 0) file->info.duration = static_cast<uint64_t>(duration);
  }
  file->readPos = file->firstClusterPos;
  file->clusterTime = file->firstTimecode;
}

// The end time of the last frame of the first video track.
int64_t scanDuration(MkvFile* file) {
  uint32_t video = 0;
  while (video < file->trackCount && file->tracks[video]->type != 1) ++video;
  if (video == file->trackCount) return -1;

  flushAllQueues(file);
  if (file->cueCount > 0) {
    const MkvCuePoint& last = file->cues[file->cueCount - 1];
    file->readPos = file->segmentStart + last.clusterPos;
    file->clusterTime = last.time / file->info.timecodeScale;
  } else {
    const uint64_t tail = 13000000;
    file->readPos = file->firstClusterPos + tail <= file->segmentEnd &&
                            file->firstClusterPos <= UINT64_MAX - tail
                        ? file->segmentEnd - tail
                        : file->firstClusterPos;
    file->clusterTime = 0;
  }
  file->ignoreMask = ~(uint32_t{1} << video);
  // The scan starts afresh wherever an earlier part of the opening stopped (damaged Cues).
  file->flags &= ~MKV_STATE_END;

  uint64_t largest = 0;
  MkvTrackQueue* queue = &file->queues[video];
  for (;;) {
    while (MkvQueuedFrame* node = dequeueFrame(queue)) {
      uint64_t time = (node->flags & MKV_FRAME_UNKNOWN_END) ? node->start : node->end;
      if (time > largest) largest = time;
      releaseFrameNode(file, node);
    }
    if (fillQueues(file, 0) == -1) break;
  }
  file->ignoreMask = 0;
  flushAllQueues(file);
  if (file->flags & MKV_STATE_END) {
    file->flags &= ~MKV_STATE_END;
    if (largest == 0) return -1;
  }
  return static_cast<int64_t>(largest);
}

// ---------------------------------------------------------------------------------------------
// Public operations

MkvFile* mkvOpen(MkvIo* io, uint64_t basePosition, uint32_t flags, char* errorBuffer,
                 int32_t errorBufferSize) {
  uint32_t bufferSize = errorBufferSize > 0 ? static_cast<uint32_t>(errorBufferSize) : 0;
  MkvFile* file = static_cast<MkvFile*>(io->memAlloc(io, sizeof(MkvFile)));
  if (file == nullptr) {
    copyErrorText(errorBuffer, "Out of memory", bufferSize);
    return nullptr;
  }
  memset(static_cast<void*>(file), 0, sizeof(MkvFile));
  file->io = io;
  file->flags = flags;
  io->progress(io, 0, 0);
  bool failed = false;
  {
    MkvHandlerScope scope(file);
    try {
      seekTo(file, basePosition);
      parseFile(file);
    } catch (MkvParseFailure&) {
      failed = true;
    }
  }
  if (failed) {
    copyErrorText(errorBuffer, file->errorText, bufferSize);
    mkvClose(file);
    return nullptr;
  }
  return file;
}

MkvFile* mkvOpenDefault(MkvIo* io, char* errorBuffer, int32_t errorBufferSize) {
  return mkvOpen(io, 0, 0, errorBuffer, errorBufferSize);
}

void mkvClose(MkvFile* file) {
  if (file == nullptr) return;
  MkvIo* io = file->io;
  for (uint32_t i = 0; i < file->trackCount; ++i) io->memFree(io, file->tracks[i]);
  io->memFree(io, file->tracks);
  for (uint32_t i = 0; i < file->nodeBlockCount; ++i) io->memFree(io, file->nodeBlocks[i]);
  io->memFree(io, file->nodeBlocks);
  io->memFree(io, file->queues);
  io->memFree(io, file->info.title);
  io->memFree(io, file->info.muxingApp);
  io->memFree(io, file->info.writingApp);
  io->memFree(io, file->info.segmentFilename);
  io->memFree(io, file->info.nextFilename);
  io->memFree(io, file->info.prevFilename);
  io->memFree(io, file->cues);
  for (uint32_t i = 0; i < file->attachmentCount; ++i) {
    io->memFree(io, file->attachments[i].description);
    io->memFree(io, file->attachments[i].name);
    io->memFree(io, file->attachments[i].mimeType);
  }
  io->memFree(io, file->attachments);
  for (uint32_t i = 0; i < file->chapterCount; ++i) freeChapter(file, &file->chapters[i]);
  io->memFree(io, file->chapters);
  for (uint32_t i = 0; i < file->tagCount; ++i) {
    MkvTag& tag = file->tags[i];
    for (uint32_t j = 0; j < tag.simpleTagCount; ++j) {
      io->memFree(io, tag.simpleTags[j].name);
      io->memFree(io, tag.simpleTags[j].value);
    }
    io->memFree(io, tag.targets);
    io->memFree(io, tag.simpleTags);
  }
  io->memFree(io, file->tags);
  io->memFree(io, file);
}

uint32_t mkvTrackCount(MkvFile* file) { return file->trackCount; }

MkvTrackInfo* mkvTrackAt(MkvFile* file, uint32_t index) {
  return index < file->trackCount ? file->tracks[index] : nullptr;
}

MkvFileInfo* mkvFileInfo(MkvFile* file) { return &file->info; }

uint64_t mkvSegmentEnd(MkvFile* file) { return file->segmentEnd; }

const char* mkvErrorText(MkvFile* file) {
  return file->errorText[0] != 0 ? file->errorText : nullptr;
}
