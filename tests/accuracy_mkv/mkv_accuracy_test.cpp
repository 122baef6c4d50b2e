// Frame accuracy over Matroska sources (accuracy_suite.h): files made by x264, mkvmerge
// and the test's own writer, indexed when the Matroska corpus is made; every display
// frame served, in every request order, must be ffmpeg's picture of the same file or the
// frame its repeat flags give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/accuracy/accuracy_suite.h"

namespace {

const std::vector<SuiteStream>& Streams() {
  static const std::vector<SuiteStream> streams = [] {
    // `name`.mkv with its index; `reference` what ffmpeg decodes.
    auto mkv = [](const char* name, Codec codec, const char* reference) {
      const std::string file = CorpusPath(std::string(name) + ".mkv");
      return SuiteStream{name, codec, {file}, CorpusPath(reference), file + ".vqi"};
    };
    return std::vector<SuiteStream>{
        mkv("avc_x264", Codec::Avc, "avc_x264.mkv"),          // x264's writer, parameter sets in the track only
        mkv("avc_mkvmerge", Codec::Avc, "avc_mkvmerge.mkv"),  // in-band SPS/PPS at every GOP
        mkv("avc_open_gop", Codec::Avc, "avc_open_gop.mkv"),  // recovery points, leading B pictures
        mkv("avc_nal2", Codec::Avc, "avc_nal2.mkv"),          // 2-byte unit lengths
        mkv("avc_inband_only", Codec::Avc, "avc_x264.mkv"),   // sets in band every other second only
        mkv("avc_second_track", Codec::Avc, "avc_x264.mkv"),  // first video track MPEG-4 part 2
        mkv("avc_frame_4300000", Codec::Avc, "avc_frame_4300000.mkv"),  // a frame of 4.3 MB inside its Cluster
        mkv("avc_frame_7990000", Codec::Avc, "avc_frame_7990000.mkv"),  // 7.99 MB: as much as the glue takes
        mkv("avc_tracks_33", Codec::Avc, "avc_x264.mkv"),    // video first, then 32 audio tracks
        mkv("avc_tracks_1000", Codec::Avc, "avc_x264.mkv"),  // video first, then 999 audio tracks
        mkv("m2v_prog_open", Codec::Mpeg2, "m2v_prog_open.mkv"),
        mkv("m2v_int_tff", Codec::Mpeg2, "m2v_int_tff.mkv"),
        mkv("m2v_pulldown32", Codec::Mpeg2, "m2v_pulldown32.mkv"),
        mkv("m2v_stripped", Codec::Mpeg2, "m2v_prog_open.mkv"),  // 00 00 01 stripped from every frame
        mkv("vc1_ap_gops", Codec::Vc1, "vc1_ap_gops.mkv"),       // V_MS/VFW/FOURCC, WVC1
        mkv("vc1_ap_pulldown", Codec::Vc1, "vc1_ap_pulldown.mkv"),
        mkv("vc1_ap_interlace_rff", Codec::Vc1, "vc1_ap_interlace_rff.mkv"),
        mkv("vc1_codec_vc1", Codec::Vc1, "vc1_ap_gops.mkv"),  // V_VC1
    };
  }();
  return streams;
}

class MkvAccuracyTest : public ::testing::TestWithParam<SuiteCase> {};

TEST_P(MkvAccuracyTest, EveryServedFrameInEveryRequestOrderMatchesTheReference) {
  const SuiteStream& stream = StreamNamed(Streams(), GetParam().stream);
  if (const std::string missing = MissingFile(stream); !missing.empty())
    GTEST_SKIP() << "Matroska test file missing: " << missing;
  ExpectServedFramesMatch(stream, GetParam().fieldop, kAllOrders);
}

std::vector<SuiteCase> AllCases() {
  std::vector<SuiteCase> cases;
  for (const SuiteStream& stream : Streams()) cases.push_back({stream.name, 2});
  // Fields woven and pictures repeated as the stream's flags say, and force film.
  for (const char* name : {"m2v_int_tff", "m2v_pulldown32", "vc1_ap_pulldown", "vc1_ap_interlace_rff"})
    cases.push_back({name, 0});
  cases.push_back({"m2v_pulldown32", 1});
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<SuiteCase>& info) { return SuiteCaseName(info.param); }

INSTANTIATE_TEST_SUITE_P(Matroska, MkvAccuracyTest, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
