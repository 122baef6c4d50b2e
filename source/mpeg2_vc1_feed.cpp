// MPEG-2 and VC-1 seek-and-feed. Both codecs start at a sequence header and send no
// header unit of their own: the decoder gets the stream's bytes from that header on.
#include "source/mpeg2_vc1_feed.h"

#include "source/source_decoder.h"
#include "source/stream_readers.h"

namespace {

int32_t Mpeg2StepBack(const SourceState*, const FrameEntry&, int32_t gop) {
  // The record's first frames in output order may be B pictures that predict from
  // the previous record: start there, and pass over them.
  return gop - 1;
}

int32_t Vc1StepBack(const SourceState* source, const FrameEntry& entry, int32_t gop) {
  bool openEntry = source->gopTable[gop]->closedFlag == 0;
  return SplitAcrossGopStart(source, entry, gop) || openEntry ? gop - 1 : gop;
}

// Records stepped back over at most when their sequence header is gone.
constexpr int32_t kMaxDamagedRecords = 8;

// True when the unit at the record's position is its sequence header (MPEG-2).
bool SequenceHeaderAt(SourceDecoder* source, uint64_t position) {
  SeekStream(source, position);
  if (source->unitExtractor(source) <= 0) return false;
  const StreamUnit* unit = source->currentUnit;
  return unit->length >= 4 && unit->data[3] == 0xB3;
}

// A record whose sequence header is lost from the file starts no decoding: the decoder
// would wait for the next record's header, and that record's pictures would come first.
// The record before it is decoded on through the damage instead.
void PassOverLostSequenceHeaders(SourceDecoder* source, GopChoice* choice) {
  for (int32_t stepped = 0; choice->gop > 0 && stepped < kMaxDamagedRecords; ++stepped) {
    if (SequenceHeaderAt(source, source->gopTable[choice->gop]->sequencePosition)) break;
    const int32_t earlier = choice->gop - 1;
    choice->framesToSkip += source->gopTable[choice->gop]->firstFrame - source->gopTable[earlier]->firstFrame;
    choice->gop = earlier;
  }
}

constexpr FeedRules kMpeg2Rules = {Mpeg2StepBack, &GopRecord::sequencePosition, PassOverLostSequenceHeaders, nullptr};
constexpr FeedRules kVc1Rules = {Vc1StepBack, &GopRecord::sequencePosition, nullptr, nullptr};

}  // namespace

GopChoice ChooseMpeg2Gop(const SourceState* source, int32_t target) { return ChooseGop(source, target, kMpeg2Rules); }

GopChoice ChooseVc1Gop(const SourceState* source, int32_t target) { return ChooseGop(source, target, kVc1Rules); }

void Mpeg2SeekAndFeed(SourceDecoder* source) { SeekAndFeed(source, kMpeg2Rules); }

void Vc1SeekAndFeed(SourceDecoder* source) { SeekAndFeed(source, kVc1Rules); }
