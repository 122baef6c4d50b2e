// The overlay font and drawing, the hint stamp and the hint word.
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "source/overlay.h"
#include "source/source_state.h"

namespace {

// A picture with guard bytes around every plane, to catch writes outside.
struct GuardedPicture {
  static constexpr int kGuard = 64;
  std::vector<uint8_t> luma, cb, cr;
  YV12Picture picture{};
  GuardedPicture(int width, int height, uint8_t lumaValue, uint8_t chromaValue) {
    const int chromaPitch = width / 2 + 3;
    const int lumaPitch = width + 5;
    luma.assign(kGuard * 2 + lumaPitch * height, 0x5A);
    cb.assign(kGuard * 2 + chromaPitch * (height / 2), 0x5A);
    cr = cb;
    picture = {luma.data() + kGuard, cb.data() + kGuard, cr.data() + kGuard, lumaPitch, chromaPitch, width,
               width / 2, height, height / 2};
    for (int y = 0; y < height; ++y) std::memset(picture.y + y * lumaPitch, lumaValue, width);
    for (int y = 0; y < height / 2; ++y) {
      std::memset(picture.u + y * chromaPitch, chromaValue, width / 2);
      std::memset(picture.v + y * chromaPitch, chromaValue, width / 2);
    }
  }
  uint8_t Y(int x, int y) const { return picture.y[y * picture.lumaPitch + x]; }
  uint8_t U(int x, int y) const { return picture.u[y * picture.chromaPitch + x]; }
  uint8_t V(int x, int y) const { return picture.v[y * picture.chromaPitch + x]; }
  // Guards and row padding untouched.
  bool OnlyPixelsWritten() const {
    auto outside = [](const std::vector<uint8_t>& plane, const uint8_t* start, int pitch, int width, int rows) {
      for (size_t i = 0; i < plane.size(); ++i) {
        const long offset = static_cast<long>(&plane[i] - start);
        const bool inside = offset >= 0 && offset / pitch < rows && offset % pitch < width;
        if (!inside && plane[i] != 0x5A) return false;
      }
      return true;
    };
    return outside(luma, picture.y, picture.lumaPitch, picture.lumaWidth, picture.lumaHeight) &&
           outside(cb, picture.u, picture.chromaPitch, picture.chromaWidth, picture.chromaHeight) &&
           outside(cr, picture.v, picture.chromaPitch, picture.chromaWidth, picture.chromaHeight);
  }
};

int InkPixels(int glyph) {
  int count = 0;
  for (int row = 0; row < kGlyphHeight; ++row) count += __builtin_popcount(GlyphRows(glyph)[row]);
  return count;
}

TEST(OverlayFont, EveryPrintableCharacterHasADistinctGlyph) {
  EXPECT_EQ(InkPixels(0), 0);
  for (int g = 1; g < kGlyphCount; ++g) {
    EXPECT_GT(InkPixels(g), 0) << "glyph " << char(g + 32);
    for (int h = 1; h < g; ++h)
      EXPECT_NE(std::memcmp(GlyphRows(g), GlyphRows(h), 40), 0) << char(g + 32) << " and " << char(h + 32);
  }
  // Outside the printable range the question mark stands in.
  EXPECT_EQ(GlyphRows(-1), GlyphRows('?' - 32));
  EXPECT_EQ(GlyphRows(95), GlyphRows('?' - 32));
}

TEST(Overlay, DrawingOverWhiteGivesInkAndDarkenedPixels) {
  GuardedPicture frame(40, 40, 255, 200);
  DrawChar(frame.picture, 1, 0, 'H' - 32);
  const uint16_t* h = GlyphRows('H' - 32);
  for (int i = 0; i < kGlyphHeight; ++i) {
    for (int j = 0; j < kGlyphWidth; ++j) {
      const bool ink = h[i] & (1u << (15 - j));
      EXPECT_EQ(frame.Y(10 + j, i), ink ? 235 : 191) << j << "," << i;
    }
  }
  EXPECT_EQ(frame.Y(9, 0), 255);   // the cell to the left is untouched
  EXPECT_EQ(frame.Y(20, 5), 255);  // and the one to the right
  // Chroma of a cell row with no ink anywhere in its four pixels: halfway to
  // 128 four times (200 -> 164 -> 146 -> 137 -> 132).
  EXPECT_EQ(frame.U(5, 0), 132);
  EXPECT_EQ(frame.V(5, 0), 132);
  // A chroma sample with an ink pixel among its four ends at 128.
  EXPECT_EQ(frame.U((10 + 1) / 2, 2 / 2), 128);
  EXPECT_TRUE(frame.OnlyPixelsWritten());
}

TEST(Overlay, SpaceDarkensItsCell) {
  GuardedPicture frame(20, 20, 100, 0);
  DrawText(frame.picture, 0, 0, " ");
  EXPECT_EQ(frame.Y(0, 0), 75);
  EXPECT_EQ(frame.Y(9, 19), 75);
  EXPECT_EQ(frame.Y(10, 0), 100);
  // 0 -> 64 -> 96 -> 112 -> 120
  EXPECT_EQ(frame.U(0, 0), 120);
  EXPECT_EQ(frame.V(4, 9), 120);
  EXPECT_EQ(frame.U(5, 0), 0);
}

TEST(Overlay, TextAlongTheRowAndClippedAtTheEdges) {
  GuardedPicture frame(35, 30, 255, 255);
  DrawText(frame.picture, 0, 0, "AB\x7f\x01xyz");  // partly off the right and bottom edges
  EXPECT_EQ(frame.Y(0, 0), 191);                     // blank row 0 of 'A'
  bool inked = false;
  for (int x = 10; x < 20; ++x)
    for (int y = 0; y < 20; ++y) inked |= frame.Y(x, y) == 235;
  EXPECT_TRUE(inked);  // 'B' in cell 1
  DrawText(frame.picture, -1, 1, "WW");  // starts left of the picture
  DrawText(frame.picture, 100000000, 100000000, "far away");
  DrawChar(frame.picture, 3, 0, 1000);
  EXPECT_TRUE(frame.OnlyPixelsWritten());
  DrawText(frame.picture, 0, 0, nullptr);

  YV12Picture unwritable = frame.picture;
  unwritable.y = nullptr;
  DrawText(unwritable, 0, 0, "x");  // no write pointer: nothing drawn
}

TEST(HintStamp, StampOverWhiteAndReadBack) {
  uint8_t luma[80];
  std::memset(luma, 255, sizeof luma);
  EXPECT_FALSE(StampFrameHint(luma, 0));
  for (int k = 0; k < 32; ++k) EXPECT_EQ(luma[k], ((0xDEADBEEFu >> k) & 1) ? 255 : 254) << k;
  EXPECT_EQ(luma[0], 255);
  EXPECT_EQ(luma[4], 254);
  for (int k = 32; k < 64; ++k) EXPECT_EQ(luma[k], 254);
  EXPECT_EQ(luma[64], 255);

  EXPECT_FALSE(StampFrameHint(luma, 0x80000005u));
  uint32_t hint = 0;
  EXPECT_FALSE(ReadFrameHint(luma, &hint));
  EXPECT_EQ(hint, 0x80000005u);

  luma[7] ^= 1;  // one marker bit changed
  hint = 77;
  EXPECT_TRUE(ReadFrameHint(luma, &hint));
  EXPECT_EQ(hint, 77u);
  EXPECT_FALSE(StampFrameHint(nullptr, 1));
  EXPECT_TRUE(ReadFrameHint(nullptr, &hint));
}

TEST(HintStamp, HintWordByCodecKind) {
  auto state = std::make_unique<SourceState>();
  FrameEntry frames[8] = {};
  GopRecord gop0{}, gop1{};
  GopRecord* gops[2] = {&gop0, &gop1};
  gop0.firstFrame = 0;
  gop1.firstFrame = 4;
  gop0.hintBits = 2;
  gop1.hintBits = 9;
  frames[5].hintValue = 5;
  frames[5].frameFlag = 1;
  state->frameTable = frames;
  state->frameCapacity = 8;
  state->gopTable = gops;
  state->gopCount = 2;

  uint32_t hint = 0;
  state->codecKind = kCodecAvc;
  ASSERT_TRUE(FrameHintWord(*state, 5, &hint));
  EXPECT_EQ(hint, 20u);
  state->codecKind = kCodecMpeg2;
  ASSERT_TRUE(FrameHintWord(*state, 5, &hint));
  EXPECT_EQ(hint, 5u);  // (9 & 7) * 4 + 1
  ASSERT_TRUE(FrameHintWord(*state, 1, &hint));
  EXPECT_EQ(hint, 8u);
  state->codecKind = kCodecVc1;
  ASSERT_TRUE(FrameHintWord(*state, 5, &hint));
  EXPECT_EQ(hint, 4u);
  state->codecKind = 2;
  EXPECT_FALSE(FrameHintWord(*state, 5, &hint));
  state->codecKind = kCodecAvc;
  EXPECT_FALSE(FrameHintWord(*state, 8, &hint));
  EXPECT_FALSE(FrameHintWord(*state, -1, &hint));
  state->frameTable = nullptr;  // the state must not free our tables
  state->gopTable = nullptr;
}

}  // namespace
