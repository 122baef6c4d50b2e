// The MPEG-2 index reader: one decoding start point per sequence header line, GOP
// and sequence-extension values added to it, frame lines with the repeat and
// top-field-first flags that decide the display frames.
#include <cstring>

#include "source/index_common.h"
#include "source/index_readers.h"

namespace {

constexpr int32_t kPictureI = 0;
constexpr int32_t kPictureP = 1;
constexpr int32_t kPictureB = 3;
// Stored for a type letter other than I, P and B; shows as an unknown type.
constexpr int32_t kPictureUnknown = -1;

struct Mpeg2ReadState {
  int32_t codedCount = 0;
  int32_t gopCount = 0;
  DisplayBuilder display;
};

GopRecord* LatestRecord(SourceState* source, const Mpeg2ReadState& state) {
  return state.gopCount > 0 ? source->gopTable[state.gopCount - 1] : nullptr;
}

int ReadFrameLine(SourceState* source, Mpeg2ReadState* state, const char* line) {
  const int32_t c = state->codedCount;
  DisplayBuilder& display = state->display;
  const int32_t fieldop = EffectiveFieldop(source->fieldop);
  int64_t highest = c + 2;
  if (fieldop == 0 && display.displayCount + 2 > highest) highest = display.displayCount + 2;
  if (fieldop == 1 && display.filmCount + 1 > highest) highest = display.filmCount + 1;
  if (EnsureFrameCapacity(source, highest) != kIndexOk) return kIndexFileFailure;
  FrameEntry* table = source->frameTable;

  // "type temporal_reference tff rff progressive", blank separated after the keyword.
  char typeLetter = '\0';
  int32_t order = -1, topFirst = 0, repeatFirst = 0;
  const char* scan = AfterNextBlank(line);
  if (scan) {
    while (*scan == ' ' || *scan == '\t') ++scan;
    if (*scan && *scan != '\n' && *scan != '\r') {
      typeLetter = *scan;
      while (*scan && *scan != ' ' && *scan != '\t' && *scan != '\n') ++scan;
      if (ScanInt(&scan, &order) && ScanInt(&scan, &topFirst) && ScanInt(&scan, &repeatFirst)) {
        ScanInt(&scan, &table[c].frameFlag);
      }
    }
  }
  // The picture's temporal_reference: which decoded picture this frame is (see picture_match.h).
  table[c].pictureOrder = order;
  table[c].pictureType = typeLetter == 'I'   ? kPictureI
                         : typeLetter == 'P' ? kPictureP
                         : typeLetter == 'B' ? kPictureB
                                             : kPictureUnknown;

  const bool progressiveSequence = LatestRecord(source, *state)->sequenceValue != 0;
  if (progressiveSequence && (topFirst != 0 || repeatFirst != 0)) display.repeatSeen = true;
  if (!progressiveSequence && repeatFirst != 0) source->softPulldown = 1;

  if (fieldop == 2) {
    table[c].topFrame = table[c].bottomFrame = c;
  } else if (fieldop == 1) {
    if (display.repeatSeen) return kIndexForceFilmRepeats;
    PlaceFilmFrame(table, &display, c, repeatFirst != 0);
  } else if (progressiveSequence) {
    // A progressive sequence repeats whole frames: twice with repeat_first_field,
    // three times when top_field_first is set as well.
    int32_t copies = 1;
    if (repeatFirst != 0) copies += topFirst != 0 ? 2 : 1;
    PlaceWholeFrames(table, &display, c, copies);
  } else {
    PlaceFrameFields(table, &display, c, repeatFirst != 0, topFirst != 0);
  }
  ++state->codedCount;
  return kIndexOk;
}

int ReadMpeg2Line(SourceState* source, Mpeg2ReadState* state, const char* line) {
  if (StartsWith(line, "GOP")) {
    GopRecord* record = LatestRecord(source, *state);
    const char* value = AfterNextBlank(line);
    if (record && value && ScanInt(&value, &record->closedFlag)) ScanInt(&value, &record->hintBits);
    return kIndexOk;
  }
  if (HandleCommonKeyword(source, line)) return kIndexOk;
  if (StartsWith(line, "SEQ ")) {
    GopRecord* record = AppendGopRecord(source, state->gopCount, state->codedCount);
    if (!record) return kIndexFileFailure;
    ++state->gopCount;
    const char* value = AfterNextBlank(line);
    if (value) ScanU64(&value, &record->sequencePosition);
    return kIndexOk;
  }
  if (StartsWith(line, "SEQEXT")) {
    GopRecord* record = LatestRecord(source, *state);
    const char* value = AfterNextBlank(line);
    if (record && value) ScanInt(&value, &record->sequenceValue);
    return kIndexOk;
  }
  if (strstr(line, "ORDER")) {
    HandleOrderLine(source, line);
    return kIndexOk;
  }
  if (strstr(line, "FRM") && state->gopCount > 0) return ReadFrameLine(source, state, line);
  return kIndexOk;
}

int CloseMpeg2Index(SourceState* source, const Mpeg2ReadState& state) {
  const int32_t c = state.codedCount;
  source->displayFrameCount = TrimmedDisplayCount(source->frameTable, source->fieldop, state.display, c);
  if (state.gopCount == 0) return kIndexNoGop;
  source->gopCount = state.gopCount;
  source->leadingSkipCount = 0;
  const FrameEntry* table = source->frameTable;
  if (source->gopTable[0]->closedFlag == 0 && c > 0 && table[0].pictureType == kPictureB) {
    // Leading B frames of an open GOP refer to a picture before the stream: skip
    // every display frame that shows one of them.
    const int32_t n = LeadingBCount(table, c, [](const FrameEntry& e) { return e.pictureType == kPictureB; });
    int32_t skip = 0;
    while (skip < source->displayFrameCount &&
           !(table[skip].topFrame >= n && table[skip].bottomFrame >= n)) {
      ++skip;
    }
    source->leadingSkipCount = skip;
  }
  return FinishIndexRead(source);
}

}  // namespace

int ReadMpeg2Index(SourceState* source, const char* indexPath) {
  return ReadIndexFile<Mpeg2ReadState>(source, indexPath, "VQMPGIndexFileJX", false, ReadMpeg2Line, CloseMpeg2Index);
}
