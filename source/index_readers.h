// Index-file readers. Each reads the whole index file into the source state (source
// files opened, tables filled, display frames derived by the state's fieldop, which
// the caller sets first) and returns 0 or a result code:
//   1 unreadable first line, 2 other format version, 3 file or path failure,
//   5 wrong file kind, 6 no GOP, 7 frame repeats under force film,
//   9 container cannot be opened, 10 no usable video track.
#pragma once

#include "source/source_state.h"

constexpr int kIndexOk = 0;
constexpr int kIndexEmpty = 1;
constexpr int kIndexVersionMismatch = 2;
constexpr int kIndexFileFailure = 3;
constexpr int kIndexWrongKind = 5;
constexpr int kIndexNoGop = 6;
constexpr int kIndexForceFilmRepeats = 7;
constexpr int kIndexContainerUnreadable = 9;
constexpr int kIndexNoVideoTrack = 10;

int ReadAvcIndex(SourceState* source, const char* indexPath);
int ReadMpeg2Index(SourceState* source, const char* indexPath);
int ReadVc1Index(SourceState* source, const char* indexPath);

// Frees the index tables and closes the index and source files. Safe to call on a
// state that holds nothing, and more than once.
void ReleaseIndexData(SourceState* source);
