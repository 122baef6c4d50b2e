// What GetFrame adds to the decoded picture: the overlay lines with debug (read back
// cell by cell against the font) and the hint stamp on every frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "source/overlay.h"
#include "tests/accuracy/serving_harness.h"

namespace {

constexpr const char* kStream = "avc_prog_closed.264";

int GopOf(const std::vector<int>& firsts, int n) {
  int gop = int(firsts.size()) - 1;
  for (size_t g = 0; g + 1 < firsts.size(); ++g)
    if (firsts[g] <= n && n < firsts[g + 1]) return int(g);
  return gop;
}

std::string CodingTypeLine(int32_t sliceType, bool idr) {
  switch (sliceType % 5) {
    case 0:
      return "Frame coding type: P";
    case 1:
      return "Frame coding type: B";
    case 2:
      return idr ? "Frame coding type: IDR" : "Frame coding type: I";
    case 3:
      return "Frame coding type: SP";
    default:
      return "Frame coding type: SI";
  }
}

// Checks one text line drawn at cell row `row` against the undrawn picture. Set
// glyph pixels are 235, clear ones three quarters of the picture's value; in luma
// bytes 0..63 of the first row the stamp owns bit 0, so those compare within 1.
void ExpectLine(const PVideoFrame& drawn, const PVideoFrame& plain, int row, const std::string& text) {
  const uint8_t* d = drawn->GetReadPtr();
  const uint8_t* p = plain->GetReadPtr();
  const int pitch = drawn->GetPitch();
  const int width = drawn->GetRowSize();
  int wrong = 0;
  for (size_t k = 0; k < text.size(); ++k) {
    const uint16_t* glyph = GlyphRows(text[k] - 32);
    for (int i = 0; i < kGlyphHeight; ++i) {
      for (int j = 0; j < kGlyphWidth; ++j) {
        const int x = int(k) * kGlyphWidth + j;
        const int y = row * kGlyphHeight + i;
        if (x >= width) continue;
        const int base = p[y * pitch + x];
        const int expected = (glyph[i] & (0x8000 >> j)) ? 235 : (3 * base) >> 2;
        const int got = d[y * pitch + x];
        const bool stamped = y == 0 && x < 64;
        if (stamped ? std::abs(got - expected) > 1 : got != expected) ++wrong;
      }
    }
  }
  EXPECT_EQ(wrong, 0) << "line " << row << " \"" << text << "\"";
  // Nothing is drawn behind the text on its cell row.
  int touched = 0;
  for (int y = row * kGlyphHeight; y < (row + 1) * kGlyphHeight; ++y)
    for (int x = int(text.size()) * kGlyphWidth; x < width; ++x) touched += d[y * pitch + x] != p[y * pitch + x];
  EXPECT_EQ(touched, 0) << "pixels changed after line " << row;
}

TEST(ServingOverlay, DebugDrawsTheSixLines) {
  if (!CorpusHas(kStream)) GTEST_SKIP() << "corpus file missing: " << kStream;
  const std::string index = IndexFor({CorpusPath(kStream)}, "overlay");
  const std::vector<DisplayEntry> entries = DisplayEntries(index, 2);
  std::vector<bool> idr;
  const std::vector<int> firsts = GopFirstFrames(index, &idr);
  PClip plainClip = OpenClip(index, {.fieldop = 2});
  PClip debugClip = OpenClip(index, {.fieldop = 2, .debug = true});

  for (int n : {0, 1, 2, 3, 4, 26, 57}) {
    SCOPED_TRACE("frame " + std::to_string(n));
    PVideoFrame plain = plainClip->GetFrame(n, &PluginHost());
    PVideoFrame drawn = debugClip->GetFrame(n, &PluginHost());
    const int gop = GopOf(firsts, n);
    char line[128];
    ExpectLine(drawn, plain, 0, "Tessivar beta 50");
    // Cell row 1 stays empty: untouched.
    ExpectLine(drawn, plain, 1, "");
    ExpectLine(drawn, plain, 2, "Intel engine is using SW");
    std::snprintf(line, sizeof(line), "GOP: %d", gop);
    ExpectLine(drawn, plain, 3, line);
    std::snprintf(line, sizeof(line), "Display frame: %d", n);
    ExpectLine(drawn, plain, 4, line);
    std::snprintf(line, sizeof(line), "Coded frame: %d (top) %d (bottom)", entries[n].top, entries[n].bottom);
    ExpectLine(drawn, plain, 5, line);
    ExpectLine(drawn, plain, 6, CodingTypeLine(entries[n].sliceType, idr[size_t(gop)]));
  }
}

TEST(ServingOverlay, EveryFrameCarriesItsHintStamp) {
  if (!CorpusHas(kStream)) GTEST_SKIP() << "corpus file missing: " << kStream;
  const std::string index = IndexFor({CorpusPath(kStream)}, "stamp");
  const std::vector<DisplayEntry> entries = DisplayEntries(index, 2);
  for (bool debug : {false, true}) {
    PClip clip = OpenClip(index, {.fieldop = 2, .debug = debug});
    const int frameCount = clip->GetVideoInfo().num_frames;
    int wrong = 0;
    // Onward and seek paths both.
    for (int n = 0; n < frameCount; n += (n % 7) + 1) {
      PVideoFrame frame = clip->GetFrame(n, &PluginHost());
      uint32_t hint = 0xFFFFFFFFu;
      if (ReadFrameHint(frame->GetReadPtr(), &hint) || hint != uint32_t(entries[n].hintValue) << 2) ++wrong;
    }
    EXPECT_EQ(wrong, 0) << "debug " << debug;
  }
}

}  // namespace
