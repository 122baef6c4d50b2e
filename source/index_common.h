// What the three index-file readers share: line reads, value scans, the file header
// and source list, the common keyword lines, table growth, the display-frame
// builders and the closing hand-off. Internal to the readers (index_*.cpp).
#pragma once

#include <cstdint>
#include <cstdio>

#include "source/index_readers.h"
#include "source/source_state.h"

// Characters taken by one read, per kind of line.
constexpr size_t kFirstLineChars = 78;
constexpr size_t kSecondLineChars = 1998;
constexpr size_t kThirdLineChars = 4998;
constexpr size_t kSourceLineChars = 1998;
constexpr size_t kKeywordLineChars = kLineBufferSize - 2;

// No table grows beyond this many entries (2 GiB of frame entries): an index asking
// for more is damaged, and is refused like a failed allocation.
constexpr int64_t kMaxTableEntries = 0x4000000;

// Reads at most maxChars characters, or up to and including the newline, into buffer
// (maxChars + 1 bytes). A carriage return in front of the newline is dropped, as a
// text-mode read would. False when nothing could be read.
bool ReadIndexLine(FILE* file, char* buffer, size_t maxChars);

// True when line begins with keyword.
inline bool StartsWith(const char* line, const char* keyword) {
  while (*keyword) {
    if (*line++ != *keyword++) return false;
  }
  return true;
}

// The text after the next blank at or after text, or null when the line has none.
const char* AfterNextBlank(const char* text);

// Formatted-scan equivalents of "%d" and "%I64u": leading white space skipped, an
// optional sign, at least one digit. On success the value is stored and *text moves
// past the digits; otherwise nothing changes. Out-of-range values saturate ("%d")
// or wrap as the unsigned scan does (a leading '-' negates modulo 2^64).
bool ScanInt(const char** text, int32_t* value);
bool ScanU64(const char** text, uint64_t* value);
// Skips white space, then matches one literal character.
bool ScanLiteral(const char** text, char literal);

// Steps 1 to 4 of every reader: opens the index file, checks the first line against
// the magic family ("VQAVCIndexFileJX", ...) and version "14", skips lines 2 and 3,
// reads the source list and opens the source files. Returns 0 or a result code.
int ReadIndexHeader(SourceState* source, const char* indexPath, const char* magicFamily);

// Allocates the zero-filled frame and GOP tables (and the parameter-set tables when
// asked) at their initial capacity and resets the per-read values. 0 or a code.
int AllocateIndexTables(SourceState* source, bool withParamSets);

// The keyword lines every variant reads the same way: DEVICE, DECODE_MODES, STREAM,
// PKTSIZ, VPID, CLIP, SIZ, FPS. True when the line was one of them.
bool HandleCommonKeyword(SourceState* source, const char* line);
// The ORDER line (matched anywhere in the line).
void HandleOrderLine(SourceState* source, const char* line);

// Grows the frame table by kTableGrowth entries at a time until highestIndex lies
// below its capacity. New entries are zero-filled. 0 or kIndexFileFailure.
int EnsureFrameCapacity(SourceState* source, int64_t highestIndex);
// Appends a zero-filled GOP record with the given first frame, growing the table
// first when it is full. Null when memory or the table limit ran out.
GopRecord* AppendGopRecord(SourceState* source, int32_t gopIndex, int32_t firstFrame);
// Appends a position to a parameter-set table. 0 or kIndexFileFailure.
int AppendOffset(uint64_t** table, int32_t* count, int32_t* capacity, uint64_t value);

// Display-frame state of one read: carry flags for fieldop 0, the cadence of the
// force-film mode (fieldop 1), and the counts of both.
struct DisplayBuilder {
  int32_t displayCount = 0;  // d: display entries of fieldop 0
  int32_t filmCount = 0;     // f: display entries of fieldop 1
  bool topPending = false;
  bool bottomPending = false;
  int32_t softCount = 0;
  int32_t plainCount = 0;
  bool cadenceLocked = false;
  bool repeatSeen = false;
};

// fieldop 0, one coded frame of two fields (or three when repeatFirst is set; the
// repeated field is the top one when topFirst is set). Fields pending from an
// earlier frame are completed first. The caller has made room up to displayCount + 2.
void PlaceFrameFields(FrameEntry* table, DisplayBuilder* builder, int32_t codedFrame,
                      bool repeatFirst, bool topFirst);
// fieldop 0: `copies` display entries that show the whole coded frame.
void PlaceWholeFrames(FrameEntry* table, DisplayBuilder* builder, int32_t codedFrame,
                      int32_t copies);
// fieldop 1: counts the frame as soft (repeats a field) or plain and appends 0, 1
// or 2 display entries by the film cadence. The caller has made room up to
// filmCount + 1.
void PlaceFilmFrame(FrameEntry* table, DisplayBuilder* builder, int32_t codedFrame, bool soft);

// The display count of a mode after dropping the trailing entries that name a coded
// frame at or above usableFrames (topFrame only for force film).
// Coded frames from frame 0 on, at most `codedCount`, for which `isB` holds: the leading B
// pictures of a stream that starts at an open GOP.
template <typename IsB>
int32_t LeadingBCount(const FrameEntry* table, int32_t codedCount, IsB isB) {
  int32_t n = 0;
  while (n < codedCount && isB(table[n])) ++n;
  return n;
}

int32_t TrimmedDisplayCount(const FrameEntry* table, int32_t fieldop, const DisplayBuilder& builder,
                            int32_t usableFrames);

// The fieldop value as the readers act on it: 1 or 2, every other value is 0.
inline int32_t EffectiveFieldop(int32_t fieldop) {
  return (fieldop == 1 || fieldop == 2) ? fieldop : 0;
}

// The end of every reader: the container hand-off for stream kinds 2 and 4, then
// the unit-extraction set-up. Returns 0, kIndexContainerUnreadable or
// kIndexNoVideoTrack.
int FinishIndexRead(SourceState* source);

// Reads a whole index file of one variant: the shared header and source list, the
// tables, then every keyword line through readLine and the closing computations
// through close. Returns 0 or the first result code.
template <typename State>
int ReadIndexFile(SourceState* source, const char* indexPath, const char* magicFamily,
                  bool withParamSets, int (*readLine)(SourceState*, State*, const char*),
                  int (*close)(SourceState*, const State&)) {
  ReleaseIndexData(source);
  int code = ReadIndexHeader(source, indexPath, magicFamily);
  if (code != kIndexOk) return code;
  code = AllocateIndexTables(source, withParamSets);
  if (code != kIndexOk) return code;
  State state;
  while (ReadIndexLine(source->indexFile, source->lineBuffer, kKeywordLineChars)) {
    code = readLine(source, &state, source->lineBuffer);
    if (code != kIndexOk) return code;
  }
  return close(source, state);
}
