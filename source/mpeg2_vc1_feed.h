// MPEG-2 and VC-1 seek-and-feed: the codecs' rules for where a decode run for a
// display frame starts.
#pragma once

#include <cstdint>

#include "source/seek_and_feed.h"  // GopChoice

class SourceDecoder;
struct SourceState;

// SeekAndFeed with the MPEG-2 or VC-1 rules (codec kinds 3 and 1): decoding starts at
// the chosen sequence record's header, and nothing but what the source holds from
// there on is fed. MPEG-2 steps back further, up to eight records, over records whose
// sequence header is lost from the file.
void Mpeg2SeekAndFeed(SourceDecoder* source);
void Vc1SeekAndFeed(SourceDecoder* source);

// The record from which decoding must start to show display frame `target`, and the
// number of decoder outputs from that record's first frame up to and including the
// later of the target's two coded frames. MPEG-2 always starts one record early (the
// record's leading B pictures predict from the one before); VC-1 only when the target
// takes a field from the previous record or the record's entry point is open.
GopChoice ChooseMpeg2Gop(const SourceState* source, int32_t target);
GopChoice ChooseVc1Gop(const SourceState* source, int32_t target);
