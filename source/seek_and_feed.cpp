// The GOP choice shared by every codec.
#include "source/seek_and_feed.h"

#include <algorithm>

#include "source/source_state.h"

namespace {

int32_t FirstFrame(const SourceState* source, int32_t gop) { return source->gopTable[gop]->firstFrame; }

int32_t LaterCodedFrame(const FrameEntry& entry) { return std::max(entry.topFrame, entry.bottomFrame); }

}  // namespace

int32_t GopHolding(const SourceState* source, int32_t frame) {
  auto first = [source](int32_t gop) { return source->gopTable[gop]->firstFrame; };
  for (int32_t i = 0; i + 1 < source->gopCount; ++i) {
    if (uint32_t(first(i)) <= uint32_t(frame) && uint32_t(frame) < uint32_t(first(i + 1))) return i;
  }
  return std::max(source->gopCount - 1, 0);
}

bool SplitAcrossGopStart(const SourceState* source, const FrameEntry& entry, int32_t gop) {
  return LaterCodedFrame(entry) == FirstFrame(source, gop) && entry.topFrame != entry.bottomFrame;
}

GopChoice ChooseGop(const SourceState* source, int32_t target, const FeedRules& rules) {
  const FrameEntry& entry = source->frameTable[target];
  // The last coded frame the display frame needs.
  const int32_t coded = LaterCodedFrame(entry);
  int32_t gop = GopHolding(source, coded);
  if (gop > 0) gop = rules.stepBack(source, entry, gop);
  return {gop, coded - FirstFrame(source, gop) + 1};
}
