// Frame accuracy over MP4 sources (accuracy_suite.h): every display frame served, in
// every request order, must be ffmpeg's picture of the same file (edit lists and all) or
// the frame its repeat flags give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/accuracy/accuracy_suite.h"
#include "tests/accuracy_mp4/mp4_test_files.h"

namespace {

const std::vector<SuiteStream>& Streams() {
  static const std::vector<SuiteStream> streams = [] {
    // `name`.mp4, and the file ffmpeg decodes for the reference.
    auto mp4 = [](const char* name, const char* reference, Codec codec) {
      return SuiteStream{std::string("mp4_") + name, codec, {Mp4TestFile(std::string(name) + ".mp4")},
                         Mp4TestFile(std::string(reference) + ".mp4")};
    };
    return std::vector<SuiteStream>{
        mp4("avc_closed", "avc_closed", Codec::Avc),
        mp4("avc_closed_nal2", "avc_closed", Codec::Avc),
        mp4("avc_closed_nal3", "avc_closed", Codec::Avc),
        mp4("avc_tiny_nal1", "avc_tiny_nal1", Codec::Avc),
        mp4("avc_open_gop", "avc_open_gop", Codec::Avc),
        mp4("avc_mbaff_tff", "avc_mbaff_tff", Codec::Avc),
        mp4("avc_pulldown_32", "avc_pulldown_32", Codec::Avc),
        // First video track MPEG-4 Part 2, second AVC: the second is served.
        mp4("mixed_mpeg4_avc", "avc_closed", Codec::Avc),
        mp4("m2v_prog_closed", "m2v_prog_closed", Codec::Mpeg2),
        mp4("m2v_prog_open", "m2v_prog_open", Codec::Mpeg2),
        mp4("m2v_int_tff", "m2v_int_tff", Codec::Mpeg2),
        mp4("m2v_int_bff", "m2v_int_bff", Codec::Mpeg2),
        mp4("m2v_pulldown32", "m2v_pulldown32", Codec::Mpeg2),
        mp4("vc1_ap_gops", "vc1_ap_gops", Codec::Vc1),
        mp4("vc1_ap_intra", "vc1_ap_intra", Codec::Vc1),
        mp4("vc1_ap_pulldown", "vc1_ap_pulldown", Codec::Vc1),
        mp4("vc1_ap_interlace_rff", "vc1_ap_interlace_rff", Codec::Vc1),
    };
  }();
  return streams;
}

class Mp4AccuracyTest : public ::testing::TestWithParam<SuiteCase> {};

TEST_P(Mp4AccuracyTest, EveryServedFrameInEveryRequestOrderMatchesTheReference) {
  const SuiteStream& stream = StreamNamed(Streams(), "mp4_" + GetParam().stream);
  if (const std::string missing = MissingFile(stream); !missing.empty())
    GTEST_SKIP() << "MP4 test file missing: " << missing;
  ExpectServedFramesMatch(stream, GetParam().fieldop, kAllOrders);
}

std::vector<SuiteCase> AllCases() {
  std::vector<SuiteCase> cases;
  for (const SuiteStream& stream : Streams()) cases.push_back({stream.name.substr(4), 2});
  // Fields woven and pictures repeated as the stream's flags say, and force film.
  for (const char* name : {"avc_mbaff_tff", "avc_pulldown_32", "m2v_int_tff", "m2v_int_bff", "m2v_pulldown32",
                           "vc1_ap_pulldown", "vc1_ap_interlace_rff"})
    cases.push_back({name, 0});
  for (const char* name : {"avc_pulldown_32", "m2v_pulldown32"}) cases.push_back({name, 1});
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<SuiteCase>& info) { return SuiteCaseName(info.param); }

INSTANTIATE_TEST_SUITE_P(Mp4, Mp4AccuracyTest, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
