// The AVC index reader: GOP lines with their merging, SPS and PPS positions, frame
// lines with picture structures, and the picture-order trim at the end.
#include <cstring>

#include "source/index_common.h"
#include "source/index_readers.h"

namespace {

// Picture structure codes of a frame line that change how it is shown.
constexpr int32_t kThreeFieldsTopFirst = 5;
constexpr int32_t kThreeFieldsBottomFirst = 6;
constexpr int32_t kFrameDoubling = 7;
constexpr int32_t kFrameTripling = 8;

struct AvcReadState {
  int32_t codedCount = 0;
  int32_t gopCount = 0;
  DisplayBuilder display;
};

int ReadGopLine(SourceState* source, AvcReadState* state, const char* line) {
  const bool idr = StartsWith(line, "IDR");
  GopRecord* record;
  if (state->gopCount > 0 &&
      source->gopTable[state->gopCount - 1]->firstFrame == state->codedCount) {
    // No frame since the last GOP line: this line replaces it.
    record = source->gopTable[state->gopCount - 1];
    record->merged = 1;
  } else {
    record = AppendGopRecord(source, state->gopCount, state->codedCount);
    if (!record) return kIndexFileFailure;
    ++state->gopCount;
  }
  record->isIdr = idr ? 1 : 0;
  const char* value = AfterNextBlank(line);
  if (value) ScanU64(&value, &record->position);
  return kIndexOk;
}

int ReadFrameLine(SourceState* source, AvcReadState* state, const char* line) {
  const int32_t c = state->codedCount;
  DisplayBuilder& display = state->display;
  const int32_t fieldop = EffectiveFieldop(source->fieldop);
  int64_t highest = c + 2;
  if (fieldop == 0 && display.displayCount + 2 > highest) highest = display.displayCount + 2;
  if (fieldop == 1 && display.filmCount + 1 > highest) highest = display.filmCount + 1;
  if (EnsureFrameCapacity(source, highest) != kIndexOk) return kIndexFileFailure;

  FrameEntry* table = source->frameTable;
  int32_t* fields[4] = {&table[c].sliceType, &table[c].pictureOrder, &table[c].picStruct,
                        &table[c].hintValue};
  const char* next = line;
  for (int32_t* field : fields) {
    next = AfterNextBlank(next);
    if (!next) break;
    const char* scan = next;
    ScanInt(&scan, field);
  }

  const int32_t picStruct = table[c].picStruct;
  const bool threeFields = picStruct == kThreeFieldsTopFirst || picStruct == kThreeFieldsBottomFirst;
  if (threeFields) source->softPulldown = 1;
  if (picStruct == kFrameDoubling || picStruct == kFrameTripling) display.repeatSeen = true;

  if (fieldop == 2) {
    table[c].topFrame = table[c].bottomFrame = c;
  } else if (fieldop == 1) {
    if (display.repeatSeen) return kIndexForceFilmRepeats;
    PlaceFilmFrame(table, &display, c, threeFields);
  } else if (picStruct == kFrameDoubling) {
    PlaceWholeFrames(table, &display, c, 2);
  } else if (picStruct == kFrameTripling) {
    PlaceWholeFrames(table, &display, c, 3);
  } else {
    PlaceFrameFields(table, &display, c, threeFields, picStruct == kThreeFieldsTopFirst);
  }
  ++state->codedCount;
  return kIndexOk;
}

int ReadAvcLine(SourceState* source, AvcReadState* state, const char* line) {
  if (HandleCommonKeyword(source, line)) return kIndexOk;
  if (StartsWith(line, "SPS") || StartsWith(line, "PPS")) {
    const char* value = AfterNextBlank(line);
    uint64_t position = 0;
    if (!value || !ScanU64(&value, &position)) return kIndexOk;
    if (line[0] == 'S') {
      return AppendOffset(&source->spsOffsets, &source->spsCount, &source->spsCapacity, position);
    }
    return AppendOffset(&source->ppsOffsets, &source->ppsCount, &source->ppsCapacity, position);
  }
  if (StartsWith(line, "I ") || StartsWith(line, "IDR") || StartsWith(line, "RPS")) {
    return ReadGopLine(source, state, line);
  }
  if (strstr(line, "ORDER")) {
    HandleOrderLine(source, line);
    return kIndexOk;
  }
  if (strstr(line, "FRM") && state->gopCount > 0) return ReadFrameLine(source, state, line);
  return kIndexOk;
}

// The picture-order distance between neighbouring frames: taken inside the first
// GOP that holds more than one frame, 1 when there is none.
int64_t PictureOrderStep(const SourceState* source, int32_t gopCount) {
  for (int32_t i = 1; i < gopCount; ++i) {
    const int64_t previous = source->gopTable[i - 1]->firstFrame;
    if (source->gopTable[i]->firstFrame > previous + 1) {
      const FrameEntry* table = source->frameTable;
      return static_cast<int64_t>(table[previous + 1].pictureOrder) - table[previous].pictureOrder;
    }
  }
  return 1;
}

// Trailing frames whose picture order jumps past the step cannot be shown: up to 20
// of them are cut; a longer run is kept whole.
int32_t UsableFrameCount(const SourceState* source, int32_t codedCount, int64_t step) {
  const FrameEntry* table = source->frameTable;
  int32_t cut = 0;
  for (int32_t k = codedCount - 1;
       k >= 1 && table[k].pictureOrder > static_cast<int64_t>(table[k - 1].pictureOrder) + step; --k) {
    if (++cut == 21) {
      cut = 0;
      break;
    }
  }
  return codedCount - cut;
}

int CloseAvcIndex(SourceState* source, const AvcReadState& state) {
  if (state.gopCount == 0) return kIndexNoGop;
  const int64_t step = PictureOrderStep(source, state.gopCount);
  const int32_t usable = UsableFrameCount(source, state.codedCount, step);
  source->displayFrameCount =
      TrimmedDisplayCount(source->frameTable, source->fieldop, state.display, usable);
  source->gopCount = state.gopCount;
  source->leadingSkipCount = 0;
  if (source->gopTable[0]->isIdr == 0) {
    // B frames ahead of a non-IDR start refer to pictures before the stream.
    source->leadingSkipCount = LeadingBCount(source->frameTable, state.codedCount,
                                             [](const FrameEntry& e) { return e.sliceType == 1 || e.sliceType == 6; });
  }
  return FinishIndexRead(source);
}

}  // namespace

int ReadAvcIndex(SourceState* source, const char* indexPath) {
  return ReadIndexFile<AvcReadState>(source, indexPath, "VQAVCIndexFileJX", true, ReadAvcLine, CloseAvcIndex);
}
