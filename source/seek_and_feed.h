// Where a decode run for a display frame starts, and the run itself: one flow for
// every codec, with what a codec does its own way given as its feed rules.
#pragma once

#include <cstdint>

class SourceDecoder;
struct FrameEntry;
struct GopRecord;
struct SourceState;

// The bitstream buffer of every seek-and-feed run, and of the priming.
constexpr uint32_t kFeedBufferSize = 10485760;

// The GOP from which decoding must start to show a display frame, and the number of
// decoder outputs from that GOP's first frame up to and including the later of the
// display frame's two coded frames.
struct GopChoice {
  int32_t gop;
  int32_t framesToSkip;
};

// What a codec's seek-and-feed does its own way.
struct FeedRules {
  // Given `gop` (> 0), the GOP that holds the later coded frame of display frame
  // `entry`: the GOP decoding starts from, `gop` itself or one before it.
  int32_t (*stepBack)(const SourceState* source, const FrameEntry& entry, int32_t gop);
  // Where in the stream a GOP's bytes for the decoder begin.
  uint64_t GopRecord::*start;
  // Moves the choice further back before anything is fed (it may read the stream).
  // Null: the choice stands.
  void (*passOverDamage)(SourceDecoder* source, GopChoice* choice);
  // Appends to the fresh bitstream what the decoder needs ahead of the GOP that begins
  // at `start`. 1 when done; else the result the run ends with. Null: nothing.
  int (*feedParameterSets)(SourceDecoder* source, uint64_t start);
};

// The decoding start point whose frames hold frame number `frame`: the last one whose first
// frame is at or before it (unsigned comparisons); the last start point when none is.
int32_t GopHolding(const SourceState* source, int32_t frame);

// True when display frame `entry` takes its fields from two coded frames and the later
// one is the first frame of `gop`: the earlier field lies in the GOP before.
bool SplitAcrossGopStart(const SourceState* source, const FrameEntry& entry, int32_t gop);

// The GOP holding the later coded frame of display frame `target`, stepped back by the
// codec's rule (never from the first GOP).
GopChoice ChooseGop(const SourceState* source, int32_t target, const FeedRules& rules);

// Worker thread, after each go event: chooses the GOP for targetFrame, stores
// framesToSkip and sets seekReadyEvent, primes the decoder from stream position 0 on
// the first run after Init, then, with a fresh bitstream, feeds the codec's parameter
// sets and runs the decode loop from the GOP's start. A failed priming returns at once
// with decoderReady still false, and the worker ends. Returns the decode loop's status,
// PrimeDecoder's status, or the result of the step that ended early.
int32_t SeekAndFeed(SourceDecoder* source, const FeedRules& rules);
