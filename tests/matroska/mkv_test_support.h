// Test support for the Matroska reader: an MkvIo over memory or a file with counters and fault
// injection, and a small EBML writer for hand-built files.
#pragma once

#include "mkv_reader.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

using Bytes = std::string;

struct TestIoState {
  Bytes data;                 // the file's bytes (memory mode)
  FILE* file = nullptr;       // file mode when set
  uint64_t fileLength = 0;
  // Sparse mode (virtualLength > 0): a file of that length holding zeros, `data` at offset 0
  // and each overlay at its offset.
  uint64_t virtualLength = 0;
  std::map<uint64_t, Bytes> overlays;
  uint64_t bytesRead = 0;     // bytes stored by MkvIo.read (hints excluded)
  int readCalls = 0;
  int hintCalls = 0;
  std::vector<std::pair<uint64_t, int32_t>> reads;  // position, count asked (hints excluded)
  int windowChunk = 0;         // when set, window refills (1024-byte reads) get at most this many
  int failReadsFrom = -1;     // read calls with this index (0-based) and later fail
  int allocCalls = 0;
  int failAllocAt = -1;       // the allocation with this index (0-based) fails
  std::map<void*, uint32_t> live;
  int callbacksAfterAlloc = 0;  // callbacks other than memAlloc, counted
  uint32_t cacheSize = 65536;
  int progressCalls = 0;
  int progressStopAt = -1;    // progress call with this index (0-based) returns 0
  std::vector<std::pair<uint64_t, uint64_t>> progressArgs;
  bool haveFileSize = false;
  int64_t fileSizeValue = 0;
};

struct TestIo {
  MkvIo io;
  TestIoState* state;
};

// Fills io's callbacks over state (memory bytes, or the FILE in state.file).
void initTestIo(TestIo* io, TestIoState* state);

// Opens a whole file for reading through a TestIo; false when it cannot be opened.
bool openTestFile(TestIoState* state, const std::string& path);

// ---- EBML writer ----
Bytes ebmlId(uint32_t id);
Bytes ebmlSize(uint64_t size, int length = 0);  // length 0: shortest form
Bytes element(uint32_t id, const Bytes& payload);
Bytes unknownSizeElement(uint32_t id, const Bytes& payload);
Bytes uintElement(uint32_t id, uint64_t value, int length = 0);
Bytes stringElement(uint32_t id, const std::string& text);
Bytes floatElement(uint32_t id, double value, int length = 8);

Bytes ebmlHeader(const std::string& docType = "matroska", int readVersion = 2);
Bytes segmentInfo(uint64_t timecodeScale = 1000000, double duration = -1);
Bytes trackEntry(int number, int type, const std::string& codecId, const Bytes& extra = "");
Bytes simpleBlock(int track, int16_t relative, uint8_t flags, const Bytes& laceHeaderAndData);
Bytes blockGroup(const Bytes& children);
Bytes block(int track, int16_t relative, uint8_t flags, const Bytes& laceHeaderAndData);
Bytes cluster(uint64_t timecode, const Bytes& blocks);

// Element ID constants for the writer.
namespace eid {
constexpr uint32_t Segment = 0x18538067, SeekHead = 0x114D9B74, Seek = 0x4DBB, SeekId = 0x53AB,
                   SeekPosition = 0x53AC, Info = 0x1549A966, Tracks = 0x1654AE6B,
                   TrackEntry = 0xAE, Cluster = 0x1F43B675, Cues = 0x1C53BB6B, CuePoint = 0xBB,
                   CueTime = 0xB3, CueTrackPositions = 0xB7, CueTrack = 0xF7,
                   CueClusterPosition = 0xF1, Attachments = 0x1941A469, Chapters = 0x1043A770,
                   Tags = 0x1254C367, Void = 0xEC, Timecode = 0xE7, BlockDuration = 0x9B,
                   ReferenceBlock = 0xFB, Duration = 0x4489, TimecodeScale = 0x2AD7B1,
                   DefaultDuration = 0x23E383, TrackUID = 0x73C5;
}

// A SeekHead naming each (id, position relative to the Segment's data).
Bytes seekHead(const std::vector<std::pair<uint32_t, uint64_t>>& entries);
Bytes cuePoint(uint64_t time, uint64_t clusterPos, int track = 1);

// Convenience: opens bytes in memory; the returned file is null on failure (message in error).
struct OpenedFile {
  TestIoState state;
  TestIo io;
  MkvFile* file = nullptr;
  char error[256] = {0};
  OpenedFile() = default;
  OpenedFile(const OpenedFile&) = delete;
  ~OpenedFile() { mkvClose(file); }
  bool open(const Bytes& bytes, uint32_t flags = 0, uint64_t base = 0);
};

struct FrameRecord {
  uint32_t track;
  uint64_t start, end, filePos;
  uint32_t size, flags;
};
std::vector<FrameRecord> readAllFrames(MkvFile* file, uint32_t skipMask = 0);
