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
// Seeks the file to the offset and fills sourceBuffer from there.
void FillEsBufferAt(SourceState* source, FILE* file, uint64_t offset);
// The same chunk read a step at a time: only its first step now, and the next step
// (ContinueChunk, false when there is none) once every byte read so far is handed out.
constexpr uint32_t kChunkReadStep = 1 << 18;
void BeginEsChunkAt(SourceState* source, FILE* file, uint64_t offset);
bool ContinueChunk(SourceState* source);

// Unit extractors (see UnitExtractor): AVC, and MPEG-2 / VC-1.
int ReadNextAvcUnit(SourceState* source);
int ReadNextUnit(SourceState* source);
