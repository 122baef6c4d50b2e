// User paths beyond the accuracy tables: frames served as I420, and the bundled sample
// clip served by the command-line host as the main job runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "source/overlay.h"
#include "tests/accuracy/accuracy_suite.h"
#include "tests/accuracy/case_skips.h"
#include "tests/accuracy/mpeg2_vc1_support.h"

namespace {

// With i420 the clip is I420 (U plane before V in the frame), and every frame's Y, U and
// V planes are the reference's, as with YV12.
TEST(ServingI420, PlanesInTheirOrderMatchTheReference) {
  struct Case {
    SuiteStream stream;
    int fieldop;
  };
  const Case cases[] = {
      {{"i420_avc", Codec::Avc, {CorpusPath("avc_prog_closed.264")}, CorpusPath("avc_prog_closed.264")}, 2},
      // MPEG-2 woven and repeated fields compare bit-exact.
      {{"i420_m2v", Codec::Mpeg2, {CorpusPath("m2v_pulldown32.m2v")}, CorpusPath("m2v_pulldown32.m2v")}, 0},
      {{"i420_vc1", Codec::Vc1, {CorpusPath("vc1_ap_gops.ts")}, CorpusPath("vc1_ap_gops.ts")}, 2},
  };
  CaseSkips skips;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stream.name);
    if (skips.Missing(c.stream.files[0])) continue;
    const Expectation& expected = ExpectationFor(c.stream, c.fieldop);
    PClip clip = OpenClip(expected.indexPath, {.fieldop = c.fieldop, .i420 = true});
    const VideoInfo& vi = clip->GetVideoInfo();
    EXPECT_EQ(vi.pixel_type, VideoInfo::CS_I420);
    ASSERT_EQ(size_t(vi.num_frames), expected.frames.size());
    int wrong = 0;
    for (int n = 0; n < vi.num_frames; ++n) {
      PVideoFrame frame = clip->GetFrame(n, &PluginHost());
      if (n == 0) {
        EXPECT_LT(frame->GetReadPtr(PLANAR_U), frame->GetReadPtr(PLANAR_V)) << "U plane after V";
      }
      const std::vector<uint8_t> got = PlanesOf(frame);
      const Expected& want = expected.frames[size_t(std::max(n, expected.lowest))];
      if (Md5Of(got) != want.md5 && ++wrong <= 3) ADD_FAILURE() << "frame " << n << " differs from the reference";
    }
    EXPECT_EQ(wrong, 0);
  }
  SKIP_IF_CASES_MISSED(skips);
}

// The main job: `tessivar-host --vqi host/sample/sample.264 --engine 2 --silent true --y4m
// FILE` from the project folder. Every frame written is ffmpeg's picture of the sample
// (the hint stamp aside, which must be there), and there are as many.
TEST(ServingSample, HostServesEveryFrameOfTheBundledSample) {
  const std::string project = TESSIVAR_PROJECT_DIR;
  const std::string sample = project + "/host/sample/sample.264";
  const std::string y4m = WorkFolder() + "/sample.y4m";
  ASSERT_EQ(RunCommand("cd '" + project + "' && " TESSIVAR_TEST_LAUNCHER "'" TESSIVAR_HOST_PROGRAM
                       "' --vqi host/sample/sample.264 --engine 2 --silent true --y4m '" + y4m + "' >/dev/null"),
            0);
  const Reference reference = DecodeReference(sample);
  // The host's stream read back the way the reference is read.
  const Reference served = DecodeReference(y4m);
  ASSERT_EQ(served.width, reference.width);
  ASSERT_EQ(served.height, reference.height);
  ASSERT_EQ(served.pictures.size(), reference.pictures.size());
  ASSERT_GT(served.pictures.size(), 0u);
  int wrong = 0, unstamped = 0;
  for (size_t n = 0; n < served.pictures.size(); ++n) {
    std::vector<uint8_t> got = served.pictures[n];
    std::vector<uint8_t> want = reference.pictures[n];
    uint32_t hint = 0;
    unstamped += ReadFrameHint(got.data(), &hint);
    for (size_t k = 0; k < 64; ++k) {
      got[k] &= 0xFE;
      want[k] &= 0xFE;
    }
    if (got != want && ++wrong <= 3) ADD_FAILURE() << "frame " << n << " differs from ffmpeg's picture";
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(unstamped, 0) << "frames without the hint stamp";
}

}  // namespace
