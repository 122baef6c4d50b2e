// Reading the video elementary stream out of the source files: byte getters per
// packaging, seeking to an index position, and cutting the byte stream into
// start-code units.
#pragma once

#include <cstdint>
#include <cstdio>

#include "source/source_state.h"

// Byte getters (see ByteGetter): elementary stream (also refilled by container glue),
// MPEG transport stream, MPEG program stream.
int GetEsByte(SourceState* source, uint8_t* byte);
int GetTsByte(SourceState* source, uint8_t* byte);
int GetPsByte(SourceState* source, uint8_t* byte);

// The stream bytes that the source's getter would hand out next without reading a
// file or a packet header: their start in *run and their count (0 when the next
// byte needs the getter). ConsumeStreamRun passes over the first count of them, as
// count calls of the getter would.
uint32_t PeekStreamRun(const SourceState* source, const uint8_t** run);
void ConsumeStreamRun(SourceState* source, uint32_t count);

// Positions the stream at an index position for the stream kind; sets needSync.
int SeekStream(SourceState* source, uint64_t position);
int SeekPsToVideoPes(SourceState* source, uint64_t position);
// Maps a position in the concatenated source files to a file index and an offset.
void MapStreamPosition(SourceState* source, uint64_t position, int32_t* fileIndex, uint64_t* offset);
// Seeks the file to the offset and fills sourceBuffer from there: a whole chunk, or only
// its first readNow bytes, the rest then read by the getter a step at a time as it
// reaches the end of what was read (every seek of a stream file reads kChunkReadStep now).
constexpr uint32_t kChunkReadStep = 1 << 18;
void FillEsBufferAt(SourceState* source, FILE* file, uint64_t offset, uint32_t readNow = kSourceBufferSize);

// Unit extractors (see UnitExtractor): AVC, and MPEG-2 / VC-1.
int ReadNextAvcUnit(SourceState* source);
int ReadNextUnit(SourceState* source);
