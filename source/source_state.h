// The source side of the source object: everything a clip keeps about its index
// file, its source files, the byte and unit readers, the worker and the hand-over of
// decoded surfaces. The decode pipeline reaches the source side only through this
// record (it is the "owner" the decode loop, the bitstream reader and the delivery
// step are given). SourceDecoder (source_decoder.h) is the pipeline plus this record.
//
// The record is large (two 8,000,000-byte buffers, the 10 MiB staging buffer and the
// parameter-set area): always allocate it on the heap.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include <mfx/mfxstructures.h>

#include "platform/win32/win32.h"

class IScriptEnvironment;
class SourceDecoder;
struct SourceState;
struct MkvSourceIo;
typedef struct MkvFile MkvFile;
struct Mp4File;

// Sizes of the fixed buffers and tables.
constexpr int kMaxSourceFiles = 512;
constexpr size_t kSourcePathSize = 2000;         // bytes per source path, terminator included
constexpr size_t kSourceBufferSize = 8000000;    // one file chunk, or one container frame
constexpr size_t kUnitBufferSize = 8000000;      // one stream unit
constexpr size_t kStagingBufferSize = 0xA00000;  // units gathered for the next decoder input
constexpr size_t kLineBufferSize = 50000;        // index-file keyword lines
constexpr size_t kParamSetAreaSize = 1000000;    // parameter sets fed ahead of a GOP
constexpr int32_t kTableInitialCapacity = 1000000;
constexpr int32_t kTableGrowth = 500000;

// Codec kinds (from the third character of the index file's first line).
constexpr int32_t kCodecAvc = 0;
constexpr int32_t kCodecVc1 = 1;
constexpr int32_t kCodecMpeg2 = 3;

// Stream kinds (the index file's STREAM value); any other value is an elementary stream.
constexpr int32_t kStreamElementary = 0;
constexpr int32_t kStreamTransport = 1;
constexpr int32_t kStreamMatroska = 2;
constexpr int32_t kStreamProgram = 3;
constexpr int32_t kStreamMp4 = 4;

// Worker status (written before initDoneEvent is set).
constexpr int32_t kWorkerOk = 0;
constexpr int32_t kWorkerInitFailed = 1;
constexpr int32_t kWorkerPrimingFailed = 2;

// One entry of the frame table. topFrame/bottomFrame are indexed by display frame,
// the other fields by coded frame (coded frames are numbered in decoder output order).
struct FrameEntry {
  int32_t topFrame;
  int32_t bottomFrame;
  int32_t picStruct;
  int32_t pictureOrder;
  int32_t sliceType;
  int32_t pictureType;
  int32_t frameFlag;
  int32_t hintValue;
};

// One decoding start point: an AVC GOP line, or an MPEG-2 / VC-1 sequence line.
struct GopRecord {
  int32_t firstFrame;
  uint64_t position;
  uint64_t sequencePosition;
  int32_t isIdr;
  int32_t closedFlag;
  int32_t merged;
  int32_t sequenceValue;
  int32_t hintBits;
};

// The current stream unit: `length` bytes from `data` (the start of unitBuffer),
// the 3-byte start code 00 00 01 included.
struct StreamUnit {
  uint32_t length;
  uint8_t* data;
};

// Returns 0 and stores the next byte of the video elementary stream, or -1 when no
// byte can be delivered (and again on every call until the next seek).
using ByteGetter = int (*)(SourceState* source, uint8_t* byte);
// Returns 1 when a unit is ready, 0 at the end of the input, -1 when no start code
// was found (or a unit would not fit).
using UnitExtractor = int (*)(SourceState* source);

// The worker's start block; its first word is the goEvent handle itself.
struct WorkerParams {
  HANDLE goEvent;
  SourceDecoder* owner;
  int32_t codecKind;
};

struct SourceState {
  SourceState();
  ~SourceState() = default;
  SourceState(const SourceState&) = delete;
  SourceState& operator=(const SourceState&) = delete;

  // ---- hand-over of decoded surfaces and the event set ----
  mfxFrameSurface1* deliveredSurface;
  HANDLE seekReadyEvent;
  HANDLE initDoneEvent;
  HANDLE killEvent;
  HANDLE workerThread;
  HANDLE abortEvent;
  HANDLE wantFrameEvent;
  HANDLE frameReadyEvent;
  HANDLE frameConsumedEvent;
  HANDLE runEndedEvent;  // set by the worker each time it is back from a run (auto reset)
  WorkerParams workerParams;

  // ---- staging buffer of the bitstream reader ----
  uint8_t stagingBuffer[kStagingBufferSize];
  uint32_t stagingFill;

  // ---- script settings and worker state ----
  int32_t engine;
  int32_t workerStatus;

  // ---- source files (filled by the index reader) ----
  int32_t sourceCount;
  FILE* sourceFiles[kMaxSourceFiles];
  char* sourcePaths[kMaxSourceFiles];  // each kSourcePathSize bytes, owned
  uint64_t sourceSizes[kMaxSourceFiles];
  int32_t currentSource;  // file that sourceBuffer was last filled from
  int32_t codecKind;
  char lineBuffer[kLineBufferSize];

  int32_t framesToSkip;                // written by the feed before seekReadyEvent
  // How the last decode run ended (written by the worker before the run is over): the
  // decoder's status, MFX_ERR_INCOMPATIBLE_VIDEO_PARAM when the picture size changed.
  std::atomic<int32_t> runStatus{0};
  std::atomic<int32_t> workerRunning;  // 1 from the worker's start until it ends
  IScriptEnvironment* env;

  // ---- index values ----
  int32_t codedWidth;
  int32_t codedHeight;
  uint8_t i420;
  int32_t deinterlace;
  int32_t cropValues[4];

  // ---- index tables ----
  GopRecord** gopTable;  // pointers to zero-filled records; unused slots null
  int32_t gopCapacity;
  FrameEntry* frameTable;
  int32_t frameCapacity;
  uint64_t* spsOffsets;
  int32_t spsCount;
  int32_t spsCapacity;
  uint64_t* ppsOffsets;
  int32_t ppsCount;
  int32_t ppsCapacity;

  int32_t fieldOrderValue;
  int32_t fieldop;
  int32_t debug;
  uint8_t softPulldown;
  uint8_t silent;

  // ---- stream unit and reader state ----
  StreamUnit unit;
  StreamUnit* currentUnit;  // points at `unit`
  int32_t needSync;         // 1 after a seek: the next scan looks for a first start code
  int32_t inputEnded;       // 1 once the last unit before the end of input was handed out
  uint8_t sourceBuffer[kSourceBufferSize];
  uint8_t* sourcePos;  // next byte to hand out, inside sourceBuffer or at its end
  uint32_t dataEnd;    // valid bytes in sourceBuffer, counted from its start
  uint8_t* pesEnd;     // one past the program-stream video packet being read
  int32_t payloadLeft; // payload bytes of the current TS/PS packet still to hand out
  // The file and offset of the chunk an elementary-stream seek read, while sourceBuffer
  // still holds it as read (null otherwise): later seeks inside it need no new read.
  FILE* chunkFile;
  uint64_t chunkOffset;
  // Bytes of the chunk an elementary-stream seek began that are still to be read from the
  // current file, where the last read stopped: a seek reads the chunk a step at a time, as
  // the reader reaches its end, so a seek that needs a few bytes does not read 8,000,000.
  uint32_t chunkUnread;
  uint8_t unitBuffer[kUnitBufferSize];

  FILE* indexFile;  // the index file while a reader reads it

  // ---- stream settings and counts from the index ----
  int32_t deviceValue;
  int32_t decodeModes[3];
  int32_t streamKind;
  int32_t packetSize;
  int32_t videoPid;
  int32_t frameRateNum;
  int32_t frameRateDen;
  int32_t displayFrameCount;
  int32_t gopCount;
  int32_t targetFrame;  // display frame the next seek-and-feed run must reach
  int32_t leadingSkipCount;

  ByteGetter byteGetter;
  UnitExtractor unitExtractor;

  // ---- Matroska source (stream kind 2): the reader over the first source file ----
  MkvSourceIo* mkvIo;       // owned; null unless a Matroska source is open
  MkvFile* mkvFile;         // owned; null unless a Matroska source is open
  uint32_t mkvVideoTrack;   // the chosen video track's index in the reader

  // ---- parameter sets fed ahead of a GOP (AVC) ----
  uint8_t paramSetArea[kParamSetAreaSize];

  // ---- MP4 source (stream kind 4, source/mp4_source.h) ----
  Mp4File* mp4File = nullptr;  // the first source file opened as MP4; null when none
  uint32_t mp4Track = 0;       // id of the chosen video track
  uint32_t mp4Sample = 0;      // id of the sample last prepared (ids count from 1)
  // The track's sequence and picture parameter sets (null-ended, sizes 0-ended).
  uint8_t** mp4SeqHeaders = nullptr;
  uint32_t* mp4SeqHeaderSizes = nullptr;
  uint8_t** mp4PictHeaders = nullptr;
  uint32_t* mp4PictHeaderSizes = nullptr;
};
