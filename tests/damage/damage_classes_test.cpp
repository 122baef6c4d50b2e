// Damaged pictures stay in their own places: for each class of damage (slice headers,
// start codes, pictures without slices, transport packets lost or corrupted) in H.264 and
// MPEG-2 streams whose pictures carry their frame number in a barcode, damaged after
// indexing, every frame served outside the damaged pictures' spans shows its own number or
// none (a placeholder), served linearly and in random order, and a linear pass serves every
// frame. The plug-in folder can be set with TESSIVAR_DAMAGE_LIB_DIR to run another build,
// and TESSIVAR_DAMAGE_CASE picks the cases whose names contain it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/damage/served_barcode.h"

namespace {

struct DamageCase {
  std::string name, kind, codec, packaging, file, index, damaged;
  int frames = 0;
  std::set<int> span;  // display frames the damage may reach
};

// damaged.list: CASE CLASS CODEC PACKAGING FILE INDEX FRAMES DAMAGED SPAN, SPAN as A-B,...
std::vector<DamageCase> ReadCases(std::string* skip) {
  std::ifstream in(std::string(TESSIVAR_DAMAGED_DIR) + "/damaged.list");
  std::vector<DamageCase> cases;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("#", 0) == 0) {
      *skip = line;
      continue;
    }
    std::istringstream fields(line);
    DamageCase c;
    std::string span;
    fields >> c.name >> c.kind >> c.codec >> c.packaging >> c.file >> c.index >> c.frames >> c.damaged >> span;
    std::replace(span.begin(), span.end(), ',', ' ');
    std::istringstream ranges(span);
    int first = 0, last = 0;
    char dash = 0;
    while (ranges >> first >> dash >> last)
      for (int n = first; n <= last; ++n) c.span.insert(n);
    cases.push_back(c);
  }
  return cases;
}

struct Pass {
  int served = 0, shifted = 0, placeholders = 0;
  std::string errors, wrong;  // the first errors; every frame outside the spans as FRAME:SHOWN
};

Pass Serve(const DamageCase& c, const std::vector<int>& order) {
  Pass pass;
  PClip clip = OpenClip(c.index);
  int errors = 0;
  for (int n : order) {
    int shown = 0;
    try {
      shown = ShownNumber(clip->GetFrame(n, &PluginHost()));
    } catch (const std::exception& error) {
      if (++errors <= 3) pass.errors.append("\n  frame ").append(std::to_string(n)).append(": ").append(error.what());
      continue;
    }
    ++pass.served;
    if (shown == -1) ++pass.placeholders;
    if (shown != n && shown != -1 && !c.span.count(n)) {
      ++pass.shifted;
      pass.wrong.append(" ").append(std::to_string(n)).append(":").append(std::to_string(shown));
    }
  }
  return pass;
}

// One test per stream and packaging, so that each stays well inside its time limit where
// the tests run through an emulator.
class DamageClasses : public testing::TestWithParam<const char*> {};

TEST_P(DamageClasses, FramesOutsideTheDamageShowTheirOwnNumbers) {
  std::string skip;
  const std::vector<DamageCase> cases = ReadCases(&skip);
  if (cases.empty()) GTEST_SKIP() << "no damaged streams made " << skip;
  std::printf("plug-in from %s\n", DamageLibDir().c_str());
  const char* only = std::getenv("TESSIVAR_DAMAGE_CASE");  // a part of the case names to run
  const std::string stream = std::string(GetParam()) + "_";
  int run = 0;
  for (const DamageCase& c : cases) {
    if (c.name.rfind(stream, 0) != 0 || (only && c.name.find(only) == std::string::npos)) continue;
    ++run;
    SCOPED_TRACE(c.name);
    PClip probe = OpenClip(c.index);
    ASSERT_EQ(probe->GetVideoInfo().num_frames, c.frames);
    probe = nullptr;
    std::vector<int> linear(static_cast<size_t>(c.frames));
    for (int n = 0; n < c.frames; ++n) linear[static_cast<size_t>(n)] = n;
    std::vector<int> random = linear;
    std::shuffle(random.begin(), random.end(), std::mt19937(29));
    for (const auto& [label, order] : {std::pair<const char*, const std::vector<int>&>{"linear", linear},
                                       std::pair<const char*, const std::vector<int>&>{"random", random}}) {
      const Pass pass = Serve(c, order);
      std::printf("damage %-24s %-6s %-5s %-6s served %3d/%d shifted %3d placeholders %3d (damaged %s)\n",
                  c.kind.c_str(), c.codec.c_str(), c.packaging.c_str(), label, pass.served, c.frames, pass.shifted,
                  pass.placeholders, c.damaged.c_str());
      EXPECT_EQ(pass.served, c.frames) << c.name << " " << label << pass.errors;
      EXPECT_EQ(pass.shifted, 0) << c.name << " " << label << ": frames outside the damage showing another number"
                                 << " (frame:shown, in serving order):" << pass.wrong;
    }
  }
  if (!only) {
    EXPECT_GT(run, 0) << "no damaged case of " << GetParam();
  }
}

INSTANTIATE_TEST_SUITE_P(Streams, DamageClasses, testing::Values("h264_es", "h264_ts", "mpeg2_es", "mpeg2_ts"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
