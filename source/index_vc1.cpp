// The VC-1 index reader: one decoding start point per sequence header line, the
// entry-point line's closed flag, and frame lines whose pulldown value is either
// field flags (interlaced, unsegmented sequences) or a frame repeat count.
#include <cstring>

#include "source/index_common.h"
#include "source/index_readers.h"

namespace {

constexpr int32_t kPictureB = 3;
// Pulldown value of a frame that carries no pulldown information.
constexpr int32_t kNoPulldown = 255;

struct Vc1ReadState {
  int32_t codedCount = 0;
  int32_t gopCount = 0;
  int32_t interlaced = 0;  // flags of the last sequence header line
  int32_t segmented = 0;
  DisplayBuilder display;
};

// Scans the value after the next blank of *cursor and moves the cursor there.
void ScanNextInt(const char** cursor, int32_t* value) {
  if (!*cursor) return;
  *cursor = AfterNextBlank(*cursor);
  if (!*cursor) return;
  const char* scan = *cursor;
  ScanInt(&scan, value);
}

int ReadSequenceLine(SourceState* source, Vc1ReadState* state, const char* line) {
  GopRecord* record = AppendGopRecord(source, state->gopCount, state->codedCount);
  if (!record) return kIndexFileFailure;
  ++state->gopCount;
  const char* cursor = AfterNextBlank(line);
  if (cursor) {
    const char* scan = cursor;
    ScanU64(&scan, &record->sequencePosition);
  }
  int32_t interlaced = 0, unused = 0, segmented = 0;
  ScanNextInt(&cursor, &interlaced);
  ScanNextInt(&cursor, &unused);
  ScanNextInt(&cursor, &segmented);
  ScanNextInt(&cursor, &record->hintBits);  // may be followed by the letter u
  state->interlaced = interlaced;
  state->segmented = segmented;
  return kIndexOk;
}

int ReadFrameLine(SourceState* source, Vc1ReadState* state, const char* line) {
  const int32_t c = state->codedCount;
  DisplayBuilder& display = state->display;
  const int32_t fieldop = EffectiveFieldop(source->fieldop);

  int32_t codingType = 0, unused = 0, pulldown = kNoPulldown;
  bool hasCodingType = false;
  const char* cursor = AfterNextBlank(line);
  if (cursor) {
    const char* scan = cursor;
    hasCodingType = ScanInt(&scan, &codingType);
  }
  ScanNextInt(&cursor, &unused);
  ScanNextInt(&cursor, &pulldown);

  bool topFirst = false, repeatFirst = false, repeatCount = false;
  if (pulldown == kNoPulldown) {
    // No pulldown information: a plain two-field frame.
  } else if (state->interlaced != 0 && state->segmented == 0) {
    topFirst = (pulldown & 2) != 0;
    repeatFirst = (pulldown & 1) != 0;
    if (repeatFirst) source->softPulldown = 1;
  } else {
    repeatCount = true;
    display.repeatSeen = true;
  }

  int64_t highest = c + 2;
  if (fieldop == 0) {
    const int64_t reach = repeatCount && pulldown > 2 ? pulldown : 2;
    if (display.displayCount + reach > highest) highest = display.displayCount + reach;
  }
  if (fieldop == 1 && display.filmCount + 1 > highest) highest = display.filmCount + 1;
  if (EnsureFrameCapacity(source, highest) != kIndexOk) return kIndexFileFailure;
  FrameEntry* table = source->frameTable;
  if (hasCodingType) table[c].pictureType = codingType;

  if (fieldop == 2) {
    table[c].topFrame = table[c].bottomFrame = c;
  } else if (fieldop == 1) {
    if (display.repeatSeen) return kIndexForceFilmRepeats;
    PlaceFilmFrame(table, &display, c, repeatFirst);
  } else if (repeatCount) {
    PlaceWholeFrames(table, &display, c, pulldown >= 0 ? pulldown + 1 : 0);
  } else {
    PlaceFrameFields(table, &display, c, repeatFirst, topFirst);
  }
  ++state->codedCount;
  return kIndexOk;
}

int ReadVc1Line(SourceState* source, Vc1ReadState* state, const char* line) {
  if (HandleCommonKeyword(source, line)) return kIndexOk;
  if (StartsWith(line, "SEQ ")) return ReadSequenceLine(source, state, line);
  if (StartsWith(line, "ENTRY ")) {
    if (state->gopCount > 0) {
      const char* cursor = AfterNextBlank(line);
      ScanNextInt(&cursor, &source->gopTable[state->gopCount - 1]->closedFlag);
    }
    return kIndexOk;
  }
  if (strstr(line, "ORDER")) {
    HandleOrderLine(source, line);
    return kIndexOk;
  }
  if (strstr(line, "FRM") && state->gopCount > 0) return ReadFrameLine(source, state, line);
  return kIndexOk;
}

int CloseVc1Index(SourceState* source, const Vc1ReadState& state) {
  const int32_t c = state.codedCount;
  source->displayFrameCount = TrimmedDisplayCount(source->frameTable, source->fieldop, state.display, c);
  if (state.gopCount == 0) return kIndexNoGop;
  source->gopCount = state.gopCount;
  source->leadingSkipCount = 0;
  if (source->gopTable[0]->closedFlag == 0) {
    // Counted in coded frames and used as a display frame number as it stands.
    source->leadingSkipCount =
        LeadingBCount(source->frameTable, c, [](const FrameEntry& e) { return e.pictureType == kPictureB; });
  }
  return FinishIndexRead(source);
}

}  // namespace

int ReadVc1Index(SourceState* source, const char* indexPath) {
  return ReadIndexFile<Vc1ReadState>(source, indexPath, "VQVC1IndexFileJX", false, ReadVc1Line, CloseVc1Index);
}
