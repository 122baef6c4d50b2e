// What the MPEG-2 and VC-1 accuracy tests need beyond the serving harness: the display
// entries and hint words of an MPEG-2 or VC-1 index, served pictures as planes, and
// the two ways MPEG-2 pictures are compared (frame-number barcode and PSNR).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/avisynth/avisynth_interface.h"

struct CodecDisplay {
  int top;
  int bottom;
  uint32_t hintWord;  // what the served frame's hint stamp must carry
};

struct CodecIndex {
  int code = 0;  // the reader's result
  int codecKind = -1;
  std::vector<CodecDisplay> entries;
  std::vector<int> recordFirsts;  // firstFrame of every sequence record
  std::vector<int> closedFlags;
  int leadingSkip = 0;
  bool softPulldown = false;
};

// Reads an MPEG-2 or VC-1 index (chosen by its first line) with the plug-in's reader
// under `fieldop`. The hint words are derived here, independently of the plug-in.
CodecIndex ReadCodecIndex(const std::string& indexPath, int fieldop);

// A served frame as one planar 4:2:0 buffer (Y, U, V rows without padding).
std::vector<uint8_t> PlanesOf(const PVideoFrame& frame);

// Luma PSNR in dB between two pictures of one size (999 when identical).
double LumaPsnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int width, int height);

// The frame-number barcode of luma rows 0-15: blocks of 20 pixels, bit k white when
// luma(20k + 10, row) > 128. `row` even reads the top field, odd the bottom field.
int Barcode(const std::vector<uint8_t>& picture, int width, int row);

// Writes a copy of the index with every line that starts with `prefix` left out.
std::string IndexWithout(const std::string& indexPath, const std::string& prefix, const std::string& name);
