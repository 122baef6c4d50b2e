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

// Positions the stream at an index position for the stream kind; sets needSync.
int SeekStream(SourceState* source, uint64_t position);
int SeekPsToVideoPes(SourceState* source, uint64_t position);
// Maps a position in the concatenated source files to a file index and an offset.
void MapStreamPosition(SourceState* source, uint64_t position, int32_t* fileIndex, uint64_t* offset);
// Seeks the file to the offset and fills sourceBuffer from there.
void FillEsBufferAt(SourceState* source, FILE* file, uint64_t offset);

// Unit extractors (see UnitExtractor): AVC, and MPEG-2 / VC-1.
int ReadNextAvcUnit(SourceState* source);
int ReadNextUnit(SourceState* source);
