// MPEG-2 and VC-1 seek-and-feed. Both codecs start at a sequence header and send no
// header unit of their own: the decoder gets the stream's bytes from that header on.
#include "source/mpeg2_vc1_feed.h"

#include "pipeline/sample_utils.h"
#include "source/avc.h"
#include "source/source_decoder.h"
#include "source/stream_readers.h"

namespace {

enum class StepBack { kMpeg2, kVc1 };

int32_t Mpeg2StepBack(const SourceState*, const FrameEntry&, int32_t gop) {
  // The record's first frames in output order may be B pictures that predict from
  // the previous record: start there, and pass over them.
  return gop - 1;
}

int32_t Vc1StepBack(const SourceState* source, const FrameEntry& entry, int32_t gop) {
  bool openEntry = source->gopTable[gop]->closedFlag == 0;
  return SplitAcrossGopStart(source, entry, gop) || openEntry ? gop - 1 : gop;
}

constexpr FeedRules kMpeg2Rules = {Mpeg2StepBack};
constexpr FeedRules kVc1Rules = {Vc1StepBack};

// Records stepped back over at most when their sequence header is gone.
constexpr int32_t kMaxDamagedRecords = 8;

// True when the unit at the record's position is its sequence header (MPEG-2).
bool SequenceHeaderAt(SourceDecoder* source, uint64_t position) {
  SeekStream(source, position);
  if (source->unitExtractor(source) <= 0) return false;
  const StreamUnit* unit = source->currentUnit;
  return unit->length >= 4 && unit->data[3] == 0xB3;
}

void SeekAndFeed(SourceDecoder* source, StepBack rule) {
  GopChoice choice = ChooseGop(source, source->targetFrame, rule == StepBack::kMpeg2 ? kMpeg2Rules : kVc1Rules);
  if (rule == StepBack::kMpeg2) {
    // A record whose sequence header is lost from the file starts no decoding: the decoder
    // would wait for the next record's header, and that record's pictures would come first.
    // The record before it is decoded on through the damage instead.
    for (int32_t stepped = 0; choice.gop > 0 && stepped < kMaxDamagedRecords; ++stepped) {
      if (SequenceHeaderAt(source, source->gopTable[choice.gop]->sequencePosition)) break;
      const int32_t earlier = choice.gop - 1;
      choice.framesToSkip += source->gopTable[choice.gop]->firstFrame - source->gopTable[earlier]->firstFrame;
      choice.gop = earlier;
    }
  }
  source->framesToSkip = choice.framesToSkip;
  SetEvent(source->seekReadyEvent);
  // From here on GetFrame asks for decoded pictures on its own.
  uint64_t position = source->gopTable[choice.gop]->sequencePosition;

  if (!source->decoderReady) {
    SeekStream(source, 0);
    PrimeDecoder(source);
    // The worker sees decoderReady still false and reports the failed priming.
    if (!source->decoderReady) return;
  }

  SeekStream(source, position);
  if (InitBitstream(&source->bitstream, kFeedBufferSize) != MFX_ERR_NONE) return;
  source->runStatus.store(source->RunDecoding(source, source));
}

}  // namespace

GopChoice ChooseMpeg2Gop(const SourceState* source, int32_t target) { return ChooseGop(source, target, kMpeg2Rules); }

GopChoice ChooseVc1Gop(const SourceState* source, int32_t target) { return ChooseGop(source, target, kVc1Rules); }

void Mpeg2SeekAndFeed(SourceDecoder* source) { SeekAndFeed(source, StepBack::kMpeg2); }

void Vc1SeekAndFeed(SourceDecoder* source) { SeekAndFeed(source, StepBack::kVc1); }
