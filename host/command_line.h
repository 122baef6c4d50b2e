// The host's command line: one option per script parameter of Orvanto (an option
// not given is passed as undefined), the plug-in to load, and what to serve.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct HostOptions {
  std::string plugin;  // empty: the default plug-in path
  std::optional<std::string> vqi;
  std::optional<int> engine;
  std::optional<bool> i420;
  std::optional<int> deinterlace;
  std::optional<int> fieldop;
  std::optional<bool> debug;
  std::optional<bool> silent;
  std::string frames;                // frame list as given; empty: all frames
  std::optional<std::string> y4m;    // output file, "-" for standard output
  bool md5 = false;
  bool help = false;

  bool ServesFrames() const { return y4m.has_value() || md5; }
};

// Returns false with a message in *error for a bad command line.
bool ParseHostCommandLine(int argc, const char* const* argv, HostOptions* options, std::string* error);

// Inclusive frame ranges, in the order given.
using FrameRanges = std::vector<std::pair<int, int>>;

// "all", or comma-separated items "N" and "A-B" (A <= B), each inside
// 0..frameCount-1. Returns false with a message in *error otherwise.
bool ParseFrameList(const std::string& text, int frameCount, FrameRanges* ranges, std::string* error);

const char* HostUsageText();
