// Matroska reader internals: the context record, element IDs and the routines the parsers share.
#pragma once

#include "mkv_reader.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Failures unwind with a C++ exception of this type, thrown only by failParse and caught only at
// the reader's error-handler points (public entry points and the nested handlers of the Segment
// walk, the optional elements, the Cues, the cluster-index probes and the Cluster passes).
// Unwinding runs destructors, so no handler point can leak a temporary.
struct MkvParseFailure {};

struct MkvQueuedFrame {
  MkvQueuedFrame* next;
  uint32_t size;
  uint64_t start;
  uint64_t end;
  uint64_t filePos;
  uint32_t flags;
};

struct MkvTrackQueue {
  MkvQueuedFrame* head;
  MkvQueuedFrame* tail;
};

constexpr int kWindowSize = 1024;
constexpr int kMaxTracks = 32;
constexpr int kNodesPerBlock = 512;
constexpr uint32_t kNoId = 0xFFFFFFFFu;  // readId at end of file; never a valid ID

// Bits of MkvFile::foundElements.
constexpr uint32_t kFoundInfo = 0x01, kFoundCluster = 0x02, kFoundTracks = 0x04, kFoundCues = 0x08,
                   kFoundAttachments = 0x10, kFoundChapters = 0x20, kFoundTags = 0x40;

namespace mkvid {
constexpr uint32_t Ebml = 0x1A45DFA3, EbmlVersion = 0x4286, EbmlReadVersion = 0x42F7,
                   EbmlMaxIdLength = 0x42F2, EbmlMaxSizeLength = 0x42F3, DocType = 0x4282,
                   DocTypeVersion = 0x4287, DocTypeReadVersion = 0x4285;
constexpr uint32_t Segment = 0x18538067, SeekHead = 0x114D9B74, Seek = 0x4DBB, SeekId = 0x53AB,
                   SeekPosition = 0x53AC, SegmentInfo = 0x1549A966, Tracks = 0x1654AE6B,
                   Cluster = 0x1F43B675, Cues = 0x1C53BB6B, Attachments = 0x1941A469,
                   Chapters = 0x1043A770, Tags = 0x1254C367;
constexpr uint32_t Timecode = 0xE7, Position = 0xA7, PrevSize = 0xAB, SilentTracks = 0x5854,
                   SilentTrackNumber = 0x58D7, BlockGroup = 0xA0, Block = 0xA1, SimpleBlock = 0xA3,
                   BlockDuration = 0x9B, ReferenceBlock = 0xFB, BlockAdditions = 0x75A1,
                   BlockMore = 0xA6, BlockAdditional = 0xA5, BlockAddId = 0xEE, EncryptedBlock = 0xAF, BlockVirtual = 0xA2,
                   Void = 0xEC, Crc32 = 0xBF;
}  // namespace mkvid

struct MkvFile {
  uint32_t flags;
  MkvIo* io;
  uint8_t window[kWindowSize];
  uint64_t windowPos;
  int32_t windowOffset;
  int32_t windowFill;
  char errorText[128];
  int32_t handlerDepth;  // active error handlers; failParse is only ever called with one active

  uint64_t segmentStart;
  uint64_t nextSeekHeadPos;
  uint64_t infoPos, firstClusterPos, tracksPos, cuesPos, attachmentsPos, chaptersPos, tagsPos;
  uint32_t foundElements;
  uint64_t firstTimecode;
  MkvFileInfo info;

  uint32_t trackCount, trackCapacity;
  MkvTrackInfo** tracks;

  MkvQueuedFrame* freeNodes;
  uint32_t passFrames;  // frames queued by the cluster pass in progress
  uint32_t nodeBlockCount, nodeBlockCapacity;
  MkvQueuedFrame** nodeBlocks;
  MkvTrackQueue* queues;
  uint64_t readPos;
  uint32_t ignoreMask;
  uint64_t segmentEnd;
  uint64_t clusterTime;
  // The Cluster the walk is in: its payload [clusterStart, clusterEnd), the end of its
  // Timecode or of the last block in it that parsed cleanly (trustedEnd), and the relative
  // timecodes its blocks have shown (clusterBlocks of them). A damaged block is passed over
  // by looking for the next trustworthy block behind trustedEnd, inside these bounds.
  // clusterTimed: the Cluster's Timecode has been read (before it, nothing in the Cluster can
  // be placed in time, and a damaged Cluster is left whole).
  uint64_t clusterStart, clusterEnd, trustedEnd;
  int32_t clusterMinRelative, clusterMaxRelative;
  uint32_t clusterBlocks;
  bool clusterTimed;

  uint32_t cueCount, cueCapacity;
  MkvCuePoint* cues;

  uint32_t attachmentCount, attachmentCapacity;
  MkvAttachment* attachments;
  uint32_t chapterCount, chapterCapacity;
  MkvChapter* chapters;
  uint32_t tagCount, tagCapacity;
  MkvTag* tags;
};

// Counts one active error handler for its lifetime; the catch clause that goes with it is the
// handler itself.
struct MkvHandlerScope {
  MkvFile* file;
  explicit MkvHandlerScope(MkvFile* f) : file(f) { ++file->handlerDepth; }
  ~MkvHandlerScope() { --file->handlerDepth; }
  MkvHandlerScope(const MkvHandlerScope&) = delete;
  MkvHandlerScope& operator=(const MkvHandlerScope&) = delete;
};

// --- EBML reading core (ebml_core.cpp) ---
[[noreturn]] void failParse(MkvFile* file, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void formatMessage(char* buffer, int size, const char* format, va_list args);
void copyErrorText(char* destination, const char* source, uint32_t size);

int readByteSlow(MkvFile* file);
int refillBuffer(MkvFile* file);
inline int readByte(MkvFile* file) {
  if (file->windowOffset < file->windowFill) return file->window[file->windowOffset++];
  return readByteSlow(file);
}
inline uint64_t filePosition(const MkvFile* file) {
  return file->windowPos + static_cast<uint64_t>(file->windowOffset);
}
void seekTo(MkvFile* file, uint64_t position);
void skipBytes(MkvFile* file, uint64_t count);
void readBytes(MkvFile* file, void* destination, int32_t count);

uint32_t readId(MkvFile* file);
uint64_t readVarInt(MkvFile* file, int* extraBytes);
uint64_t readVarIntPlain(MkvFile* file);
uint64_t readSize(MkvFile* file);
int64_t readSVarInt(MkvFile* file);
uint64_t readUInt(MkvFile* file, uint32_t count);
int64_t readSInt(MkvFile* file, uint32_t count);
int64_t readFloat(MkvFile* file, uint32_t count);
// Integer and float elements of a given payload size; sizes beyond 32 bits are refused with the
// primitives' own messages.
inline uint64_t readUIntElement(MkvFile* file, uint64_t size) {
  return readUInt(file, size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(size));
}
inline int64_t readFloatElement(MkvFile* file, uint64_t size) {
  return readFloat(file, size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(size));
}
void readString(MkvFile* file, uint64_t size, char* buffer, int32_t bufferSize);
void readLangCode(MkvFile* file, uint64_t size, char* destination);

extern const uint64_t MkvSignedBias[8];
int64_t mulFixed(int64_t a, int64_t b);
int64_t intToFixed(int32_t i);

// Growable arrays: count, capacity and pointer kept side by side by the owner.
void* ArrayAlloc(MkvFile* file, void** array, uint32_t* count, uint32_t* capacity,
                 uint32_t elementSize);
void trimArray(MkvFile* file, void** array, uint32_t count, uint32_t* capacity,
               uint32_t elementSize);
template <typename T>
T* arrayAppend(MkvFile* file, T*& array, uint32_t& count, uint32_t& capacity) {
  void* raw = array;
  T* element = static_cast<T*>(ArrayAlloc(file, &raw, &count, &capacity, sizeof(T)));
  array = static_cast<T*>(raw);
  return element;
}
template <typename T>
void arrayTrim(MkvFile* file, T*& array, uint32_t count, uint32_t& capacity) {
  void* raw = array;
  trimArray(file, &raw, count, &capacity, sizeof(T));
  array = static_cast<T*>(raw);
}

char* dupString(MkvIo* io, const char* text);
void packString(const char** field, char** cursor);
// Reads a text element into a fresh block of min(size, 1023) + 1 bytes ("Out of memory" on failure).
char* readTextElement(MkvFile* file, uint64_t size);
// Reads an ID where a container's child must start; end of file fails with the container message.
uint32_t readChildId(MkvFile* file);

// --- opening (mkv_open.cpp) ---
void parseFile(MkvFile* file);
int64_t scanDuration(MkvFile* file);

// --- tracks (mkv_tracks.cpp) ---
void parseTracks(MkvFile* file, uint64_t size);

// --- chapters, tags, attachments (mkv_metadata.cpp) ---
void parseAttachments(MkvFile* file, uint64_t size);
void parseChapters(MkvFile* file, uint64_t size);
void parseTags(MkvFile* file, uint64_t size);
void shiftChapterTimes(uint64_t time, MkvChapter* chapter);
void freeChapter(MkvFile* file, MkvChapter* chapter);

// --- clusters and frame queues (mkv_clusters.cpp) ---
int fillQueues(MkvFile* file, uint32_t skipMask);
int parseCluster(MkvFile* file);
MkvQueuedFrame* allocFrameNode(MkvFile* file);
void releaseFrameNode(MkvFile* file, MkvQueuedFrame* node);
void enqueueFrame(MkvTrackQueue* queue, MkvQueuedFrame* node);
MkvQueuedFrame* dequeueFrame(MkvTrackQueue* queue);
void flushTrackQueue(MkvFile* file, MkvTrackQueue* queue);
void flushAllQueues(MkvFile* file);

// --- cues and seeking (mkv_cues.cpp) ---
void parseCues(MkvFile* file, uint64_t size);
void scaleCueTimes(MkvFile* file);
void addCuePoint(MkvFile* file, uint64_t clusterPos, uint64_t time);
void buildClusterIndex(MkvFile* file);
