// MPEG-2 and VC-1 seek-and-feed: where a decode run for a display frame starts, and
// the run itself.
#pragma once

#include <cstdint>

#include "source/seek_and_feed.h"  // GopChoice

class SourceDecoder;
struct SourceState;

// Worker thread, after each go event (codec kinds 3 and 1): chooses the sequence
// record to start from, stores framesToSkip and sets seekReadyEvent, primes the
// decoder from stream position 0 on the first run after Init, then decodes from the
// record's sequence header with a fresh bitstream. Nothing but what the source holds
// from the sequence header on is fed; a failed priming returns at once with
// decoderReady still false, and the worker ends.
void Mpeg2SeekAndFeed(SourceDecoder* source);
void Vc1SeekAndFeed(SourceDecoder* source);

// The record from which decoding must start to show display frame `target`, and the
// number of decoder outputs from that record's first frame up to and including the
// later of the target's two coded frames. MPEG-2 always starts one record early (the
// record's leading B pictures predict from the one before); VC-1 only when the target
// takes a field from the previous record or the record's entry point is open.
GopChoice ChooseMpeg2Gop(const SourceState* source, int32_t target);
GopChoice ChooseVc1Gop(const SourceState* source, int32_t target);
