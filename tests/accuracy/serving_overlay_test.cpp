// What GetFrame adds to the decoded picture: the overlay lines with debug (read back
// cell by cell against the font) and the hint stamp on every frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <fstream>
#include <sstream>

#include "source/overlay.h"
#include "tests/accuracy/accuracy_suite.h"
#include "tests/accuracy/case_skips.h"
#include "tests/accuracy/mpeg2_vc1_support.h"

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

// The coding type of every coded frame as the index file's frame lines give it (MPEG-2:
// the type letter; VC-1: the type number), read here from the text.
std::vector<std::string> CodingTypesOf(const std::string& indexPath) {
  static const char* const kVc1Types[] = {"I", "P", "Pskip", "B", "BI"};
  std::ifstream in(indexPath);
  std::string magic;
  std::getline(in, magic);
  const bool vc1 = magic.size() > 2 && magic[2] == 'V';
  std::vector<std::string> types;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("FRM ", 0) != 0) continue;
    std::istringstream fields(line.substr(4));
    std::string type;
    fields >> type;
    std::string name = "unknown";
    if (vc1 && type.size() == 1 && type[0] >= '0' && type[0] <= '4') name = kVc1Types[type[0] - '0'];
    if (!vc1 && (type[0] == 'I' || type[0] == 'P' || type[0] == 'B')) name = type.substr(0, 1);
    types.push_back("Frame coding type: " + name);
  }
  return types;
}

// MPEG-2 and VC-1 clips: the same lines, the coding type by the codec's names, and on a
// woven frame the two coded frames its fields come from (ffmpeg's flags say which).
TEST(ServingOverlay, Mpeg2AndVc1LinesAndWovenFrames) {
  struct Case {
    const char* file;
    int fieldop;
    std::vector<int> frames;
  };
  const Case cases[] = {
      {"m2v_pulldown32.m2v", 0, {0, 1, 2, 3, 4, 5, 13, 27}},
      {"m2v_prog_open.m2v", 2, {0, 1, 2, 3, 14}},
      {"vc1_ap_gops.ts", 2, {0, 1, 12, 13}},
      {"vc1_ap_interlace_rff.ts", 0, {0, 1, 2, 3, 4}},
  };
  CaseSkips skips;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    if (skips.Missing(CorpusPath(c.file))) continue;
    const std::string index = IndexFor({CorpusPath(c.file)}, std::string("overlay_") + c.file);
    std::vector<std::pair<int, int>> fields;
    if (c.fieldop == 0) {
      fields = Cadence(FlagsOf(CorpusPath(c.file)));
    } else {
      for (int n = 0; n <= c.frames.back(); ++n) fields.emplace_back(n, n);
    }
    const std::vector<std::string> types = CodingTypesOf(index);
    const std::vector<int> firsts = ReadCodecIndex(index, c.fieldop).recordFirsts;
    PClip plainClip = OpenClip(index, {.fieldop = c.fieldop});
    PClip debugClip = OpenClip(index, {.fieldop = c.fieldop, .debug = true});
    int woven = 0;
    for (int n : c.frames) {
      SCOPED_TRACE("frame " + std::to_string(n));
      ASSERT_LT(size_t(n), std::min(fields.size(), types.size()));
      PVideoFrame plain = plainClip->GetFrame(n, &PluginHost());
      PVideoFrame drawn = debugClip->GetFrame(n, &PluginHost());
      const auto [top, bottom] = fields[size_t(n)];
      woven += top != bottom;
      ExpectLine(drawn, plain, 0, "Tessivar beta 50");
      ExpectLine(drawn, plain, 2, "Intel engine is using SW");
      ExpectLine(drawn, plain, 3, "GOP: " + std::to_string(GopOf(firsts, n)));
      ExpectLine(drawn, plain, 4, "Display frame: " + std::to_string(n));
      ExpectLine(drawn, plain, 5, "Coded frame: " + std::to_string(top) + " (top) " + std::to_string(bottom) + " (bottom)");
      // Read at the display frame's own number, as for the hint stamp.
      ExpectLine(drawn, plain, 6, types[size_t(n)]);
    }
    if (c.fieldop == 0) {
      EXPECT_GT(woven, 0) << "no woven frame among those checked";
    }
  }
  SKIP_IF_CASES_MISSED(skips);
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
