// Matroska sources: the first source file read through the Matroska reader, one video
// track chosen by the clip's codec, and its frames turned into the elementary-stream
// bytes that GetEsByte hands out (one prepared frame at a time in sourceBuffer).
#pragma once

#include <cstdint>
#include <cstdio>

#include "matroska/mkv_reader.h"

struct SourceState;
class SourceDecoder;

// One frame as the reader reports it.
struct MkvFrameRead {
  uint32_t track = 0;
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t filePos = 0;
  uint32_t size = 0;
  uint32_t flags = 0;
};

// Frames a seek may read past the one it serves, in file order.
constexpr uint32_t kMkvPendingFrames = 1024;

// The reader's I/O record over the first source file, with the glue's own data behind
// the callbacks (the reader hands the record's address back to every callback).
struct MkvSourceIo {
  MkvIo io;
  FILE* file;
  int32_t lastErrno;
  // Room for a frame whose unit lengths are shorter than 4 bytes, read before it is
  // rewritten with start codes into sourceBuffer.
  uint8_t* scratch;
  uint64_t scratchSize;
  // The frames a seek read behind the frame it chose: the track goes on with them
  // (pendingNext up to pendingCount) before the reader's next frame.
  MkvFrameRead pending[kMkvPendingFrames];
  uint32_t pendingCount;
  uint32_t pendingNext;
};

// Opens the first source file as Matroska and chooses the first video track that fits
// the codec kind; every other track is ignored. 0 when a track was chosen, 1 when the
// file does not open as Matroska, 2 when no track fits (the reader is then released).
int32_t OpenMkvVideoTrack(SourceState* source);

// Releases the reader context and its I/O record. Safe on a state that holds none.
void CloseMkvSource(SourceState* source);

// Prepares the frame of the video track that starts at `time` (nanoseconds), with
// sourcePos at its first byte.
void SeekReadMkvFrame(SourceState* source, uint64_t time);

// Prepares the next frame of the track, with sourcePos behind its leading start code
// (the 00 00 01 appended to the previous frame stands for it). 0, or -1 at the end of
// the track or on a failed read.
int32_t ReadNextMkvFrame(SourceState* source);

// The refill step of GetEsByte for Matroska sources: prepares frames until one has a
// byte to hand out and hands it out. 0, or -1 at the end of the track.
int RefillFromMkv(SourceState* source, uint8_t* byte);

// Puts the chosen AVC track's configured SPS and then PPS, each behind 00 00 00 01,
// into buffer from *filled on, as long as they fit below capacity.
void CopyMkvAvcConfigSets(const SourceState* source, uint8_t* buffer, uint32_t capacity, uint32_t* filled);

// The parameter sets a Matroska AVC GOP that starts at gopTime needs, appended to the
// bitstream: the configured sets, then the SPS and PPS found in the frames of the two
// seconds before the GOP. 1 when done; 0 or less when the feed must end.
int FeedMkvParameterSets(SourceDecoder* source, uint64_t gopTime);
