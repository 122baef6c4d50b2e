/* Matroska reader: public interface (callback record, track and segment records, operations). */
#ifndef TESSIVAR_MKV_READER_H
#define TESSIVAR_MKV_READER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* I/O callbacks filled by the caller. The record stays at the same address until mkvClose;
   the caller may keep data of its own behind the nine callbacks and reach it through the
   record's address, which every callback receives first. */
typedef struct MkvIo MkvIo;
struct MkvIo {
  /* Up to count bytes from the absolute position; 0 only at end of file, <0 on failure.
     Called with a null buffer and count 0 as a read-ahead hint (result ignored). */
  int32_t (*read)(MkvIo* io, uint64_t position, void* buffer, int32_t count);
  /* Position of the first occurrence at or after position of the big-endian signature, <0 if none. */
  int64_t (*scan)(MkvIo* io, uint64_t position, uint32_t signature);
  uint32_t (*cacheSize)(MkvIo* io);
  /* Text of the last read failure. */
  const char* (*errorText)(MkvIo* io);
  void* (*memAlloc)(MkvIo* io, uint32_t size);
  void* (*memRealloc)(MkvIo* io, void* block, uint32_t size);
  void (*memFree)(MkvIo* io, void* block);
  /* 0 asks the reader to stop the work in progress. */
  int32_t (*progress)(MkvIo* io, uint64_t current, uint64_t maximum);
  /* Optional (may be null): total file size, used only for a Segment of unknown size. */
  int64_t (*fileSize)(MkvIo* io);
};

/* Open flags and state bits of MkvFile.flags. */
#define MKV_OPEN_NO_SEEK 1u
#define MKV_STATE_END 0x10000u

/* Track flags (MkvTrackInfo.flags). */
#define MKV_TRACK_ENABLED 0x01u
#define MKV_TRACK_DEFAULT 0x02u
#define MKV_TRACK_LACING 0x04u
#define MKV_TRACK_DECODE_ALL 0x08u
#define MKV_TRACK_COMPRESSED 0x10u

/* Frame flags returned by mkvReadFrame. */
#define MKV_FRAME_UNKNOWN_START 0x1u
#define MKV_FRAME_UNKNOWN_END 0x2u
#define MKV_FRAME_KEY 0x4u
#define MKV_FRAME_DISCARDABLE 0x800000u

/* Chapter, tag target and simple-tag flags. */
#define MKV_CHAPTER_HIDDEN 0x01u
#define MKV_CHAPTER_ENABLED 0x02u
#define MKV_CHAPTER_DEFAULT 0x04u
#define MKV_CHAPTER_ORDERED 0x08u
#define MKV_TARGET_TRACK 0u
#define MKV_TARGET_CHAPTER 1u
#define MKV_TARGET_ATTACHMENT 2u
#define MKV_TARGET_EDITION 3u
#define MKV_TAG_DEFAULT 0x01u

typedef struct MkvVideoSettings {
  uint8_t stereoMode;
  uint8_t displayUnit;
  uint8_t aspectRatioType;
  uint32_t pixelWidth;
  uint32_t pixelHeight;
  uint32_t displayWidth;
  uint32_t displayHeight;
  uint32_t cropLeft;
  uint32_t cropTop;
  uint32_t cropRight;
  uint32_t cropBottom;
  uint32_t colourSpace;
  int64_t gammaValue; /* 32.32 fixed point */
  uint32_t interlaced : 1;
} MkvVideoSettings;

typedef struct MkvAudioSettings {
  int64_t samplingFreq;       /* 32.32 fixed point */
  int64_t outputSamplingFreq; /* 32.32 fixed point */
  uint8_t channels;
  uint8_t bitDepth;
} MkvAudioSettings;

/* One track. The record, its byte blocks and texts are one allocation owned by the MkvFile. */
typedef struct MkvTrackInfo {
  uint8_t number;
  uint8_t type; /* 1 video, 2 audio, ... */
  uint8_t trackOverlay;
  uint64_t uid;
  uint64_t minCache;
  uint64_t maxCache;
  uint64_t defaultDuration; /* nanoseconds */
  int64_t timecodeScale;    /* 32.32 fixed point */
  const uint8_t* codecPrivate;
  uint32_t codecPrivateSize;
  uint32_t compressionAlgo; /* 0 zlib, 3 header stripping */
  const uint8_t* compressionSettings;
  uint32_t compressionSettingsSize;
  uint32_t maxBlockAdditionId;
  uint32_t flags;
  union {
    MkvVideoSettings video;
    MkvAudioSettings audio;
  };
  const char* name;
  char language[4];
  const char* codecId;
} MkvTrackInfo;

typedef struct MkvFileInfo {
  uint8_t segmentUid[16];
  uint8_t prevUid[16];
  uint8_t nextUid[16];
  char* segmentFilename;
  char* prevFilename;
  char* nextFilename;
  char* title;
  char* muxingApp;
  char* writingApp;
  uint64_t timecodeScale; /* nanoseconds per timecode unit */
  uint64_t duration;      /* nanoseconds */
  uint64_t dateUtc;
  uint8_t hasDateUtc;
} MkvFileInfo;

typedef struct MkvCuePoint {
  uint64_t time;       /* nanoseconds from the first block once the file is open */
  uint64_t clusterPos; /* relative to the start of the Segment's data */
  uint64_t blockNumber;
  uint8_t track;
} MkvCuePoint;

typedef struct MkvChapterDisplay {
  char* string;
  char language[4];
  char country[4];
} MkvChapterDisplay;

typedef struct MkvChapterCommand {
  uint32_t time;
  uint32_t dataSize;
  char* data;
} MkvChapterCommand;

typedef struct MkvChapterProcess {
  uint32_t codecId;
  uint32_t privateSize;
  char* privateData;
  uint32_t commandCount, commandCapacity;
  MkvChapterCommand* commands;
} MkvChapterProcess;

typedef struct MkvChapter MkvChapter;
struct MkvChapter {
  uint64_t uid;
  uint64_t start;
  uint64_t end;
  uint32_t trackNumberCount, trackNumberCapacity;
  uint64_t* trackNumbers;
  uint32_t displayCount, displayCapacity;
  MkvChapterDisplay* displays;
  uint32_t childCount, childCapacity;
  MkvChapter* children;
  uint32_t processCount, processCapacity;
  MkvChapterProcess* processes;
  uint8_t segmentUid[16];
  uint32_t flags;
};

typedef struct MkvTagTarget {
  uint64_t uid;
  uint32_t type;
} MkvTagTarget;

typedef struct MkvSimpleTag {
  char* name;
  char* value;
  char language[4];
  uint32_t flags;
} MkvSimpleTag;

typedef struct MkvTag {
  uint32_t targetCount, targetCapacity;
  MkvTagTarget* targets;
  uint32_t simpleTagCount, simpleTagCapacity;
  MkvSimpleTag* simpleTags;
} MkvTag;

typedef struct MkvAttachment {
  uint64_t position;
  uint64_t length;
  uint64_t uid;
  char* name;
  char* description;
  char* mimeType;
} MkvAttachment;

/* The reader context; callers hold it only as a pointer. */
typedef struct MkvFile MkvFile;

/* Opens the Matroska file that starts at basePosition. Null on failure, with the message
   (or "Out of memory") cut to errorBufferSize - 1 characters in errorBuffer. */
MkvFile* mkvOpen(MkvIo* io, uint64_t basePosition, uint32_t flags, char* errorBuffer,
                 int32_t errorBufferSize);
MkvFile* mkvOpenDefault(MkvIo* io, char* errorBuffer, int32_t errorBufferSize);
void mkvClose(MkvFile* file);

uint32_t mkvTrackCount(MkvFile* file);
MkvTrackInfo* mkvTrackAt(MkvFile* file, uint32_t index);
MkvFileInfo* mkvFileInfo(MkvFile* file);
uint64_t mkvSegmentEnd(MkvFile* file);
/* The last failure's message, or null when nothing has failed. */
const char* mkvErrorText(MkvFile* file);

/* Next frame, across the tracks not in skipMask, earliest start first. 0, or -1 at the end or
   after a failure. The frame's data is `size` bytes at `filePos`, without any stripped header. */
int mkvReadFrame(MkvFile* file, uint32_t skipMask, uint32_t* track, uint64_t* start, uint64_t* end,
                 uint64_t* filePos, uint32_t* size, uint32_t* frameFlags);
/* Blocks of the tracks in mask are no longer queued; their queued frames are dropped. */
void mkvIgnoreTracks(MkvFile* file, uint32_t mask);
/* Positions the reader so that the next frame of track `selectedTrack` is its first at or after
   target (nanoseconds from the first block). */
void mkvSeek(MkvFile* file, uint64_t target, uint32_t flags, uint32_t selectedTrack);

/* The file's attachments, chapter editions (each holding its chapter atoms) and tags, in the
   order met. The arrays belong to the file and stay valid, unchanged, until mkvClose; a list
   nothing was added to gives a null pointer and count 0. Chapter times are nanoseconds from the
   first block, 0 when the file gave none. */
void mkvListAttachments(MkvFile* file, MkvAttachment** attachments, uint32_t* count);
void mkvListChapters(MkvFile* file, MkvChapter** chapters, uint32_t* count);
void mkvListTags(MkvFile* file, MkvTag** tags, uint32_t* count);

#ifdef __cplusplus
}
#endif

#endif
