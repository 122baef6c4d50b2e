#include "source/overlay.h"

#include "source/source_state.h"

namespace {

constexpr uint8_t kInkLuma = 235;
constexpr uint8_t kNeutralChroma = 128;

}  // namespace

void DrawChar(const YV12Picture& frame, int32_t column, int32_t row, int32_t glyph) {
  if (!frame.y) return;
  const uint16_t* mask = GlyphRows(glyph);
  const int64_t x0 = int64_t{column} * kGlyphWidth;
  const int64_t y0 = int64_t{row} * kGlyphHeight;
  for (int j = 0; j < kGlyphWidth; ++j) {
    const int64_t x = x0 + j;
    if (x < 0 || x >= frame.lumaWidth) continue;
    const uint16_t bit = static_cast<uint16_t>(1u << (15 - j));
    for (int i = 0; i < kGlyphHeight; ++i) {
      const int64_t y = y0 + i;
      if (y < 0 || y >= frame.lumaHeight) continue;
      const bool ink = (mask[i] & bit) != 0;
      uint8_t& luma = frame.y[y * frame.lumaPitch + x];
      luma = ink ? kInkLuma : static_cast<uint8_t>((3 * luma) >> 2);
      const int64_t cx = x / 2;
      const int64_t cy = y / 2;
      if (cx >= frame.chromaWidth || cy >= frame.chromaHeight) continue;
      for (uint8_t* plane : {frame.u, frame.v}) {
        if (!plane) continue;
        uint8_t& chroma = plane[cy * frame.chromaPitch + cx];
        chroma = ink ? kNeutralChroma : static_cast<uint8_t>((chroma + kNeutralChroma) >> 1);
      }
    }
  }
}

void DrawText(const YV12Picture& frame, int32_t column, int32_t row, const char* text) {
  if (!text) return;
  for (int32_t k = 0; text[k] != '\0'; ++k)
    DrawChar(frame, column + k, row, static_cast<unsigned char>(text[k]) - 32);
}

bool StampFrameHint(uint8_t* luma, uint32_t hint) {
  if (!luma) return false;
  for (int k = 0; k < 32; ++k) luma[k] = static_cast<uint8_t>((luma[k] & ~1u) | ((kHintMarker >> k) & 1u));
  for (int k = 0; k < 32; ++k) luma[32 + k] = static_cast<uint8_t>((luma[32 + k] & ~1u) | ((hint >> k) & 1u));
  return false;
}

bool ReadFrameHint(const uint8_t* luma, uint32_t* hint) {
  if (!luma) return true;
  uint32_t marker = 0;
  for (int k = 0; k < 32; ++k) marker |= static_cast<uint32_t>(luma[k] & 1u) << k;
  if (marker != kHintMarker) return true;
  uint32_t word = 0;
  for (int k = 0; k < 32; ++k) word |= static_cast<uint32_t>(luma[32 + k] & 1u) << k;
  *hint = word;
  return false;
}

bool FrameHintWord(const SourceState& source, int32_t n, uint32_t* hint) {
  if (n < 0 || !source.frameTable || n >= source.frameCapacity) return false;
  const FrameEntry& entry = source.frameTable[n];
  if (source.codecKind == kCodecAvc) {
    *hint = static_cast<uint32_t>(entry.hintValue) * 4u;
    return true;
  }
  if (source.codecKind != kCodecMpeg2 && source.codecKind != kCodecVc1) return false;
  if (!source.gopTable || source.gopCount <= 0) return false;
  // The GOP that holds n: the first one (below the last) whose first frame is at
  // most n while the next one's is above n; the last GOP when there is none.
  const uint32_t target = static_cast<uint32_t>(n);
  int32_t gop = source.gopCount - 1;
  for (int32_t i = 0; i + 1 < source.gopCount; ++i) {
    if (static_cast<uint32_t>(source.gopTable[i]->firstFrame) <= target &&
        static_cast<uint32_t>(source.gopTable[i + 1]->firstFrame) > target) {
      gop = i;
      break;
    }
  }
  uint32_t word = (static_cast<uint32_t>(source.gopTable[gop]->hintBits) & 7u) * 4u;
  if (source.codecKind == kCodecMpeg2 && entry.frameFlag == 1) word += 1;
  *hint = word;
  return true;
}
