// Where a decode run for a display frame starts: one GOP choice for every codec, with
// what a codec does its own way given as its feed rules.
#pragma once

#include <cstdint>

struct FrameEntry;
struct SourceState;

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
