// The seek-and-feed flow and the GOP choice shared by every codec.
#include "source/seek_and_feed.h"

#include <algorithm>

#include "pipeline/sample_utils.h"
#include "source/avc.h"
#include "source/source_decoder.h"
#include "source/stream_readers.h"

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

int32_t SeekAndFeed(SourceDecoder* source, const FeedRules& rules) {
  GopChoice choice = ChooseGop(source, source->targetFrame, rules);
  if (rules.passOverDamage) rules.passOverDamage(source, &choice);
  source->framesToSkip = choice.framesToSkip;
  SetEvent(source->seekReadyEvent);
  // From here on GetFrame asks for decoded pictures on its own.
  const uint64_t start = source->gopTable[choice.gop]->*rules.start;

  if (!source->decoderReady) {
    SeekStream(source, 0);
    int32_t status = PrimeDecoder(source);
    // The worker sees decoderReady still false and reports the failed priming.
    if (!source->decoderReady) return status;
  }

  int32_t status = InitBitstream(&source->bitstream, kFeedBufferSize);
  if (status != MFX_ERR_NONE) return status;

  if (rules.feedParameterSets) {
    int result = rules.feedParameterSets(source, start);
    if (result <= 0) return result;
  }

  SeekStream(source, start);
  status = source->RunDecoding(source, source);
  source->runStatus.store(status);
  return status;
}
