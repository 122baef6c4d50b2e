// AVC seek-and-feed, and the decoder priming that all codecs' feeds share.
#pragma once

#include <cstdint>

class SourceDecoder;
struct SourceState;

// The bitstream buffer of every seek-and-feed run, and of the priming.
constexpr uint32_t kFeedBufferSize = 10485760;

// Worker thread, after each go event: chooses the GOP for targetFrame, stores
// framesToSkip and sets seekReadyEvent, primes the decoder on first use, feeds the
// GOP's parameter sets and runs the decode loop from the GOP. Returns the decode
// loop's status, PrimeDecoder's status, or the result of the step that ended early.
int32_t AvcSeekAndFeed(SourceDecoder* source);

// Parses the stream header from the first units of the stream (the caller has
// positioned the source at stream position 0), sets the decode parameters, creates
// the frame allocator and the surfaces and initialises the decoder. 0 on success
// (decoderReady is then true); 1 when the temporary buffer cannot be allocated or the
// header decode gives a warning other than partial acceleration; -4 when the
// allocator cannot be created; else the negative Media SDK status of the failed step.
int32_t PrimeDecoder(SourceDecoder* source);

// The GOP from which decoding must start to show display frame `target`, and the
// number of decoder outputs from that GOP's first frame up to and including the later
// of the target's two coded frames. Exposed for testing.
struct GopChoice {
  int32_t gop;
  int32_t framesToSkip;
};
GopChoice ChooseAvcGop(const SourceState* source, int32_t target);

// The decoding start point whose frames hold frame number `frame`: the last one whose first
// frame is at or before it (unsigned comparisons); the last start point when none is.
int32_t GopHolding(const SourceState* source, int32_t frame);
