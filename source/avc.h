// AVC seek-and-feed, and the decoder priming that all codecs' feeds share.
#pragma once

#include <cstdint>

#include "source/seek_and_feed.h"  // GopChoice

class SourceDecoder;
struct SourceState;

// SeekAndFeed with the AVC rules: the run starts at the GOP's first unit, after the
// SPS and PPS that cover it (from the index, or from a Matroska track and its frames).
int32_t AvcSeekAndFeed(SourceDecoder* source);

// Parses the stream header from the first units of the stream (the caller has
// positioned the source at stream position 0), sets the decode parameters, creates
// the frame allocator and the surfaces and initialises the decoder. 0 on success
// (decoderReady is then true); 1 when the temporary buffer cannot be allocated or the
// header decode gives a warning other than partial acceleration; -4 when the
// allocator cannot be created; else the negative Media SDK status of the failed step.
int32_t PrimeDecoder(SourceDecoder* source);

// ChooseGop with the AVC step back: one GOP when the display frame's other field lies
// in the GOP before, and one more when the GOP it then starts from is led by a B
// picture. Exposed for testing.
GopChoice ChooseAvcGop(const SourceState* source, int32_t target);
