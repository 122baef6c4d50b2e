// Sequence-level headers of the three codecs: where they start in a byte stream and what the
// decoder set-up needs from them (sizes, crop, rates, aspect, profile, reorder depth).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <mfx/mfxstructures.h>

namespace tessivar::mfxsw {

// Largest picture width and height the engine decodes: headers above it are unsupported, so
// no surface pool is ever sized for a picture Init would refuse.
inline constexpr int kMaxPictureSize = 8192;

struct SequenceInfo {
  uint32_t codecId = 0;
  int chromaFormat = 1;     // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
  int bitDepth = 8;
  bool supported = true;    // decodable to 8-bit NV12
  bool progressiveOnly = true;
  uint16_t width = 0, height = 0;  // surface size (aligned)
  uint16_t cropX = 0, cropY = 0, cropW = 0, cropH = 0;
  uint32_t frameRateN = 0, frameRateD = 0;
  uint16_t aspectW = 0, aspectH = 0;
  uint16_t profile = 0, level = 0;
  int reorderDepth = 0;     // pictures the decoder must hold back before output (H.264)
  int dpbFrames = 2;        // reference pictures held (surface sizing)
  // H.264 slice header syntax that depends on the SPS.
  int log2MaxFrameNum = 4;
  int pocType = 0;
  int log2MaxPocLsb = 4;
  bool separateColourPlane = false;
  // Picture order count type 1: the expected counts of the reference frame cycle.
  bool deltaPicOrderAlwaysZero = false;
  int32_t offsetForNonRefPic = 0;
  int32_t offsetForTopToBottomField = 0;
  std::vector<int32_t> offsetForRefFrame;
};

// True when the unit whose code byte is `code` starts a sequence header of the codec.
bool IsSequenceStart(uint32_t codecId, uint8_t code);

// Bytes from a sequence header's start code that form the header block the codec needs
// (H.264: the SPS unit; MPEG-2: sequence header and the unit after it; VC-1: sequence header
// and entry point). Returns the block length, or 0 when the block is not complete in
// [data, data + size) and `atEnd` is false.
size_t SequenceBlockLength(uint32_t codecId, const uint8_t* data, size_t size, bool atEnd);

// Length of the first unit (start code included) of a block, the part compared to notice a
// changed header.
size_t FirstUnitLength(const uint8_t* data, size_t size);

// Parses a header block that starts with its start code. False when it is malformed.
bool ParseSequenceBlock(uint32_t codecId, const uint8_t* data, size_t size, SequenceInfo* info);

// H.264: true when the block holds a PPS that refers to the SPS at its start.
bool AvcHasMatchingPps(const uint8_t* data, size_t size);

// Fills the mfxInfoMFX fields that a sequence header determines.
void FillVideoParam(const SequenceInfo& info, mfxInfoMFX* mfx);

// MaxDpbFrames of an H.264 level for a picture of the given macroblock count.
int AvcMaxDpbFrames(int levelIdc, bool constraintSet3, int frameMbs);

}  // namespace tessivar::mfxsw
