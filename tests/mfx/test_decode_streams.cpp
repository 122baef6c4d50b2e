// Whole streams through the API as the application plays them, against ffmpeg's own decode.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "mfx_player.h"
#include "start_codes.h"
#include "stream_tools.h"

namespace tessivar::mfxtest {
namespace {

struct StreamCase {
  const char* name;
  uint32_t codecId;
  bool vc1Sample;
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

std::string PathOf(const StreamCase& c) { return c.vc1Sample ? Vc1SamplePath(c.name) : StreamPath(c.name); }

const StreamCase kStreams[] = {
    {"avc_prog_closed.264", MFX_CODEC_AVC, false},     {"avc_open_gop.264", MFX_CODEC_AVC, false},
    {"avc_mbaff_tff.264", MFX_CODEC_AVC, false},       {"avc_mbaff_bff.264", MFX_CODEC_AVC, false},
    {"avc_pulldown_32.264", MFX_CODEC_AVC, false},     {"avc_pulldown_double.264", MFX_CODEC_AVC, false},
    {"avc_pulldown_triple.264", MFX_CODEC_AVC, false}, {"m2v_prog_closed.m2v", MFX_CODEC_MPEG2, false},
    {"m2v_prog_open.m2v", MFX_CODEC_MPEG2, false},     {"m2v_int_tff.m2v", MFX_CODEC_MPEG2, false},
    {"m2v_int_bff.m2v", MFX_CODEC_MPEG2, false},       {"m2v_pulldown32.m2v", MFX_CODEC_MPEG2, false},
    {"m2v_progseq_rff.m2v", MFX_CODEC_MPEG2, false},   {"gst_vc1_ap_1frame.vc1", MFX_CODEC_VC1, true},
    {"vc1_ap_gops.vc1", MFX_CODEC_VC1, true},          {"vc1_ap_intra.vc1", MFX_CODEC_VC1, true},
    {"vc1_ap_pulldown.vc1", MFX_CODEC_VC1, true},      {"vc1_ap_interlace_rff.vc1", MFX_CODEC_VC1, true},
};

class DecodeStream : public testing::TestWithParam<StreamCase> {};

std::vector<std::string> Md5sOf(const PlayResult& r) {
  std::vector<std::string> out;
  for (const OutputPicture& p : r.pictures) out.push_back(p.md5);
  return out;
}

TEST_P(DecodeStream, EveryFrameMatchesFfmpegForAnyFeedSize) {
  const StreamCase& c = GetParam();
  const std::string path = PathOf(c);
  if (c.vc1Sample && !std::filesystem::exists(path)) GTEST_SKIP() << "VC-1 samples not found at " << path;
  const std::vector<uint8_t> data = ReadFile(path);
  ASSERT_FALSE(data.empty()) << path;
  const std::vector<std::string> reference = FfmpegFrameMd5s(path);
  ASSERT_FALSE(reference.empty()) << "ffmpeg gave no frames for " << path;

  // Large refills, small refills that cut every unit, and the whole file at once.
  for (size_t chunk : {size_t{65536}, size_t{4096}, size_t{7}, data.size()}) {
    if (chunk == 7 && data.size() > 200000) continue;  // keeps the run short
    MfxPlayer player;
    ASSERT_EQ(player.OpenStatus(), MFX_ERR_NONE);
    ASSERT_EQ(player.Prime(c.codecId, data), MFX_ERR_NONE);
    PlayResult result = player.Play(data, 0, chunk);
    EXPECT_EQ(result.status, MFX_ERR_MORE_DATA) << "chunk " << chunk;
    EXPECT_EQ(Md5sOf(result), reference) << "chunk " << chunk;
    for (const OutputPicture& p : result.pictures) EXPECT_FALSE(p.corrupt);
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, DecodeStream, testing::ValuesIn(kStreams),
                         [](const testing::TestParamInfo<StreamCase>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

// Damaged MPEG-2 (bytes overwritten inside every seventh picture) is concealed as one thread
// conceals it, the same in every run: slice threads would conceal it differently each time.
// Every picture ffmpeg's one-thread decode gives comes out in turn; a picture of the engine's
// own between them can only be a placeholder marked corrupt.
TEST(DecodeDamagedMpeg2, ConcealedAsOneThreadConcealsInEveryRun) {
  for (const char* name : {"m2v_prog_open.m2v", "m2v_prog_closed.m2v", "m2v_int_tff.m2v"}) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> data = ReadFile(StreamPath(name));
    ASSERT_FALSE(data.empty());
    std::vector<size_t> pictures;
    for (size_t i = mfxsw::FindStartCode(data.data(), data.size(), 0); i != mfxsw::kNoStartCode;
         i = mfxsw::FindStartCode(data.data(), data.size(), i + 3))
      if (data[i + 3] == 0) pictures.push_back(i);
    uint32_t seed = 12345;
    for (size_t k = 3; k + 1 < pictures.size(); k += 7) {
      const size_t at = pictures[k] + (pictures[k + 1] - pictures[k]) * 2 / 5;
      for (size_t j = 0; j < 48 && at + j < data.size(); ++j) {
        seed = seed * 1103515245u + 12345u;
        data[at + j] = static_cast<uint8_t>(seed >> 16);
      }
    }
    const std::string path = testing::TempDir() + "damaged_" + name;
    {
      std::ofstream out(path, std::ios::binary);
      out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    const std::vector<std::string> reference = FfmpegFrameMd5s(path, "-threads 1 -idct simple");
    ASSERT_FALSE(reference.empty());
    for (int run = 0; run < 3; ++run) {
      MfxPlayer player;
      ASSERT_EQ(player.Prime(MFX_CODEC_MPEG2, data), MFX_ERR_NONE);
      const PlayResult result = player.Play(data, 0, 65536);
      size_t next = 0;
      for (size_t i = 0; i < result.pictures.size(); ++i) {
        if (next < reference.size() && result.pictures[i].md5 == reference[next]) {
          ++next;
        } else {
          ASSERT_TRUE(result.pictures[i].corrupt) << "run " << run << ": picture " << i << " is not ffmpeg's "
                                                  << next << " and not a placeholder";
        }
      }
      EXPECT_EQ(next, reference.size()) << "run " << run;
    }
  }
}

// Field and repeat structure reaches the surfaces; repeat flags never add outputs.
TEST(DecodeStreamPicStruct, FieldOrderAndRepeatFlags) {
  struct Expect {
    const char* name;
    uint32_t codecId;
    bool vc1Sample;
    uint16_t extended;
    std::vector<uint16_t> firstStructs;
  };
  const uint16_t P = MFX_PICSTRUCT_PROGRESSIVE, TFF = MFX_PICSTRUCT_FIELD_TFF, BFF = MFX_PICSTRUCT_FIELD_BFF,
                 REP = MFX_PICSTRUCT_FIELD_REPEATED, DBL = MFX_PICSTRUCT_FRAME_DOUBLING,
                 TRI = MFX_PICSTRUCT_FRAME_TRIPLING;
  const Expect cases[] = {
      {"avc_mbaff_tff.264", MFX_CODEC_AVC, false, 0, {TFF, TFF, TFF, TFF}},
      {"m2v_int_tff.m2v", MFX_CODEC_MPEG2, false, 0, {TFF, TFF, TFF, TFF}},
      {"avc_pulldown_32.264", MFX_CODEC_AVC, false, 0, {P, P, P, P}},
      {"avc_pulldown_32.264", MFX_CODEC_AVC, false, 1,
       {static_cast<uint16_t>(P | TFF | REP), static_cast<uint16_t>(P | BFF), static_cast<uint16_t>(P | BFF | REP),
        static_cast<uint16_t>(P | TFF)}},
      {"m2v_pulldown32.m2v", MFX_CODEC_MPEG2, false, 1,
       {static_cast<uint16_t>(P | TFF | REP), P, static_cast<uint16_t>(P | BFF | REP), P}},
      {"m2v_pulldown32.m2v", MFX_CODEC_MPEG2, false, 0, {P, P, P, P}},
      {"m2v_progseq_rff.m2v", MFX_CODEC_MPEG2, false, 1,
       {static_cast<uint16_t>(P | DBL), static_cast<uint16_t>(P | TRI), static_cast<uint16_t>(P | DBL),
        static_cast<uint16_t>(P | TRI)}},
      {"vc1_ap_pulldown.vc1", MFX_CODEC_VC1, true, 1,
       {P, static_cast<uint16_t>(P | DBL), static_cast<uint16_t>(P | TRI), static_cast<uint16_t>(P | TRI)}},
      {"vc1_ap_interlace_rff.vc1", MFX_CODEC_VC1, true, 1,
       {static_cast<uint16_t>(P | TFF | REP), P, static_cast<uint16_t>(P | BFF | REP), P}},
  };
  for (const Expect& e : cases) {
    const std::string path = e.vc1Sample ? Vc1SamplePath(e.name) : StreamPath(e.name);
    if (!std::filesystem::exists(path)) continue;
    const std::vector<uint8_t> data = ReadFile(path);
    MfxPlayer player;
    ASSERT_EQ(player.Prime(e.codecId, data, 0, e.extended), MFX_ERR_NONE) << e.name;
    PlayResult result = player.Play(data, 0, 65536);
    ASSERT_EQ(result.pictures.size(), FfmpegFrameMd5s(path).size()) << e.name;
    std::vector<uint16_t> got;
    for (size_t i = 0; i < e.firstStructs.size(); ++i) got.push_back(result.pictures[i].picStruct);
    EXPECT_EQ(got, e.firstStructs) << e.name << " extended " << e.extended;
  }
}

}  // namespace
}  // namespace tessivar::mfxtest
