// Frame accuracy at a start point: after Reset and a feed that begins at a GOP's sequence
// header, the k-th output is the GOP's first picture + k - 1 of the linear decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "mfx_player.h"
#include "start_codes.h"
#include "stream_tools.h"

namespace tessivar::mfxtest {
namespace {

struct GopCase {
  const char* name;
  uint32_t codecId;
  bool vc1Sample;
  bool stripReorderInfo;  // H.264 SPS without bitstream_restriction
  int maxLeading;         // leading pictures a GOP may start with (placeholders allowed)
};

const GopCase kCases[] = {
    {"avc_prog_closed.264", MFX_CODEC_AVC, false, false, 0},
    {"avc_open_gop.264", MFX_CODEC_AVC, false, false, 3},
    {"avc_mbaff_tff.264", MFX_CODEC_AVC, false, false, 0},
    {"avc_mbaff_bff.264", MFX_CODEC_AVC, false, false, 0},
    {"avc_pulldown_32.264", MFX_CODEC_AVC, false, false, 0},
    {"avc_prog_closed.264", MFX_CODEC_AVC, false, true, 0},
    {"avc_open_gop.264", MFX_CODEC_AVC, false, true, 3},
    {"m2v_prog_closed.m2v", MFX_CODEC_MPEG2, false, false, 0},
    {"m2v_prog_open.m2v", MFX_CODEC_MPEG2, false, false, 2},
    {"m2v_int_tff.m2v", MFX_CODEC_MPEG2, false, false, 2},
    {"m2v_progseq_rff.m2v", MFX_CODEC_MPEG2, false, false, 2},
    {"vc1_ap_gops.vc1", MFX_CODEC_VC1, true, false, 0},
    {"vc1_ap_intra.vc1", MFX_CODEC_VC1, true, false, 0},
    {"vc1_ap_pulldown.vc1", MFX_CODEC_VC1, true, false, 0},
    {"vc1_ap_interlace_rff.vc1", MFX_CODEC_VC1, true, false, 0},
};

void PrintTo(const GopCase& c, std::ostream* os) { *os << c.name; }

class GopStart : public testing::TestWithParam<GopCase> {};

// Checks one run from a start point against the linear decode; returns the placeholder count.
int ExpectMatchesLinear(const PlayResult& run, const std::vector<std::string>& linear, const StartPoint& start,
                        const std::string& where) {
  EXPECT_EQ(run.status, MFX_ERR_MORE_DATA) << where;
  EXPECT_EQ(run.pictures.size(), linear.size() - start.firstPicture) << where << ": output count";
  int leading = 0;
  while (leading < static_cast<int>(run.pictures.size()) && run.pictures[leading].corrupt) ++leading;
  for (size_t k = leading; k < run.pictures.size() && start.firstPicture + k < linear.size(); ++k) {
    EXPECT_FALSE(run.pictures[k].corrupt) << where << ": output " << k;
    EXPECT_EQ(run.pictures[k].md5, linear[start.firstPicture + k]) << where << ": output " << k;
  }
  return leading;
}

TEST_P(GopStart, KthOutputIsGopFirstPicturePlusK) {
  const GopCase& c = GetParam();
  const std::string path = c.vc1Sample ? Vc1SamplePath(c.name) : StreamPath(c.name);
  if (c.vc1Sample && !std::filesystem::exists(path)) GTEST_SKIP() << "VC-1 samples not found at " << path;
  std::vector<uint8_t> data = ReadFile(path);
  ASSERT_FALSE(data.empty()) << path;
  // The stripped stream holds the same pictures; ffmpeg's reference comes from the original
  // (without reorder information its own linear decode loses a picture).
  const std::vector<std::string> linear = FfmpegFrameMd5s(path);
  if (c.stripReorderInfo) {
    std::vector<uint8_t> stripped = StripAvcReorderInfo(data);
    ASSERT_NE(stripped, data) << "no SPS was rewritten";
    data = stripped;
  }
  const std::vector<StartPoint> starts = FindStartPoints(c.codecId, data);
  ASSERT_GE(starts.size(), 2u);

  MfxPlayer player;
  ASSERT_EQ(player.Prime(c.codecId, data), MFX_ERR_NONE);
  // A linear run first (the decoder is then in the state a seek meets), then every start
  // point, last to first, each after Reset; one run stops early to leave pictures buffered.
  PlayResult whole = player.Play(data, 0, 65536);
  ExpectMatchesLinear(whole, linear, StartPoint{0, 0}, "linear");
  int totalLeading = 0;
  for (size_t i = starts.size(); i-- > 0;) {
    const StartPoint& start = starts[i];
    ASSERT_EQ(player.Reset(), MFX_ERR_NONE);
    const std::string where = std::string(c.name) + " GOP " + std::to_string(i) + " (picture " +
                              std::to_string(start.firstPicture) + ")";
    const int leading = ExpectMatchesLinear(player.Play(data, start.offset, 65536), linear, start, where);
    EXPECT_LE(leading, c.maxLeading) << where;
    totalLeading += leading;
    if (i == starts.size() / 2) {
      ASSERT_EQ(player.Reset(), MFX_ERR_NONE);
      EXPECT_EQ(player.Play(data, start.offset, 4096, 3).pictures.size(), 3u) << where;
    }
  }
  if (c.maxLeading == 0) EXPECT_EQ(totalLeading, 0);
  else EXPECT_GT(totalLeading, 0) << "an open-GOP stream showed no leading pictures";

  // A fresh session started straight at a later GOP behaves the same.
  MfxPlayer fresh;
  const StartPoint& start = starts[starts.size() / 2];
  ASSERT_EQ(fresh.Prime(c.codecId, data, start.offset), MFX_ERR_NONE);
  ExpectMatchesLinear(fresh.Play(data, start.offset, 65536), linear, start, "fresh Init");
}

// A picture whose slice header is damaged so badly that the decoder refuses the whole packet
// still takes its place in the count: from every start point the k-th output is the picture a
// linear decode of the same damaged stream gives at that position.
TEST(GopStartDamaged, RefusedPictureKeepsTheCountFromEveryStart) {
  for (const char* name : {"avc_prog_closed.264", "avc_open_gop.264"}) {
    std::vector<uint8_t> data = ReadFile(StreamPath(name));
    ASSERT_FALSE(data.empty()) << name;
    const std::vector<StartPoint> starts = FindStartPoints(MFX_CODEC_AVC, data);
    ASSERT_GE(starts.size(), 4u) << name;
    // The third picture of the second GOP: its slice header still starts a picture but names a
    // PPS that does not exist.
    size_t slice = starts[1].offset;
    for (int pictures = 0; pictures < 3; slice += 3) {
      slice = mfxsw::FindStartCode(data.data(), data.size(), slice);
      ASSERT_NE(slice, mfxsw::kNoStartCode) << name;
      const int type = data[slice + 3] & 0x1F;
      if (type == 1 || type == 5) ++pictures;
      if (pictures == 3) break;
    }
    data[slice + 4] = 0xC1;  // first_mb_in_slice 0, slice_type 0, then pic_parameter_set_id 31..
    data[slice + 5] = 0x04;

    MfxPlayer player;
    ASSERT_EQ(player.Prime(MFX_CODEC_AVC, data), MFX_ERR_NONE);
    const PlayResult linear = player.Play(data, 0, 65536);
    ASSERT_EQ(linear.status, MFX_ERR_MORE_DATA) << name;
    EXPECT_EQ(linear.pictures.size(), FfmpegFrameMd5s(StreamPath(name)).size()) << name;
    for (size_t i = starts.size(); i-- > 0;) {
      const StartPoint& start = starts[i];
      ASSERT_EQ(player.Reset(), MFX_ERR_NONE);
      const PlayResult run = player.Play(data, start.offset, 65536);
      const std::string where = std::string(name) + " GOP " + std::to_string(i);
      EXPECT_EQ(run.pictures.size() + start.firstPicture, linear.pictures.size()) << where;
      size_t k = 0;
      while (k < run.pictures.size() && run.pictures[k].corrupt && i > 0) ++k;  // leading pictures
      for (; k < run.pictures.size() && start.firstPicture + k < linear.pictures.size(); ++k)
        EXPECT_EQ(run.pictures[k].md5, linear.pictures[start.firstPicture + k].md5) << where << ": output " << k;
    }
  }
}

// Reset and Close while the decoder is decoding ahead (a run stopped after a few outputs
// leaves pictures and input in flight) return promptly, and the run after them is exact; so
// do a second Reset or a Close that comes straight after a Reset, before any input.
TEST(GopStartInterrupted, ResetAndCloseWhileDecodingAheadLeaveTheNextRunExact) {
  const GopCase cases[] = {kCases[1], kCases[8]};  // open GOPs: H.264 frame threads, MPEG-2
  for (const GopCase& c : cases) {
    const std::vector<uint8_t> data = ReadFile(StreamPath(c.name));
    ASSERT_FALSE(data.empty()) << c.name;
    const std::vector<std::string> linear = FfmpegFrameMd5s(StreamPath(c.name));
    const std::vector<StartPoint> starts = FindStartPoints(c.codecId, data);
    ASSERT_GE(starts.size(), 2u) << c.name;
    MfxPlayer player;
    ASSERT_EQ(player.Prime(c.codecId, data), MFX_ERR_NONE);
    std::mt19937 rng(17);
    for (int round = 0; round < 12; ++round) {
      const StartPoint& before = starts[rng() % starts.size()];
      ASSERT_FALSE(player.Play(data, before.offset, 4096, 1 + rng() % 6).pictures.empty()) << c.name;
      static const char* const kSteps[] = {"Reset", "Reset twice", "Close", "Reset then Close"};
      const std::string step = kSteps[round % 4];
      const auto began = std::chrono::steady_clock::now();
      if (step != "Close") {
        ASSERT_EQ(player.Reset(), MFX_ERR_NONE);
      }
      if (step == "Reset twice") {
        ASSERT_EQ(player.Reset(), MFX_ERR_NONE);
      }
      if (step == "Close" || step == "Reset then Close") {
        ASSERT_EQ(player.Decoder().Close(), MFX_ERR_NONE);
        ASSERT_EQ(player.Decoder().Init(&player.Params()), MFX_ERR_NONE);
      }
      // A bound that only a wait without end exceeds, also in a loaded sanitizer tree
      // or under the 32-bit emulator.
      EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(60)) << c.name;
      const StartPoint& start = starts[rng() % starts.size()];
      const PlayResult run = player.Play(data, start.offset, 65536, 15);
      const std::string where = std::string(c.name) + " after " + step + " at picture " +
                                std::to_string(start.firstPicture);
      ASSERT_EQ(run.pictures.size(), std::min<size_t>(15, linear.size() - start.firstPicture)) << where;
      for (size_t k = 0; k < run.pictures.size(); ++k) {
        if (run.pictures[k].corrupt && static_cast<int>(k) < c.maxLeading) continue;  // leading pictures
        EXPECT_EQ(run.pictures[k].md5, linear[start.firstPicture + k]) << where << ": output " << k;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, GopStart, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<GopCase>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name + (info.param.stripReorderInfo ? "_no_reorder_info" : "");
                         });

}  // namespace
}  // namespace tessivar::mfxtest
