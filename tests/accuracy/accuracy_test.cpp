// Frame accuracy over the H.264 corpus (accuracy_suite.h): every display frame served,
// in every request order, equals ffmpeg's picture or the fields its flags give, with the
// frame's hint stamp in the low bits of its first 64 luma bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "host/frame_output.h"
#include "tests/accuracy/accuracy_suite.h"

namespace {

const std::vector<SuiteStream>& Streams() {
  static const std::vector<SuiteStream> streams = [] {
    auto corpus = [](const char* name, std::vector<std::string> files, const char* reference) {
      for (std::string& file : files) file = CorpusPath(file);
      return SuiteStream{name, Codec::Avc, files, CorpusPath(reference)};
    };
    return std::vector<SuiteStream>{
        corpus("raw", {"avc_prog_closed.264"}, "avc_prog_closed.264"),
        corpus("raw_split", {"avc_prog_closed.split0.264", "avc_prog_closed.split1.264", "avc_prog_closed.split2.264"},
               "avc_prog_closed.264"),
        corpus("ts", {"avc_prog_closed.ts"}, "avc_prog_closed.264"),
        corpus("m2ts", {"avc_prog_closed.m2ts"}, "avc_prog_closed.264"),
        corpus("ps", {"avc_prog_closed.vob"}, "avc_prog_closed.264"),
        corpus("open_gop", {"avc_open_gop.264"}, "avc_open_gop.264"),
        corpus("open_gop_ts", {"avc_open_gop.ts"}, "avc_open_gop.264"),
        corpus("mbaff_tff", {"avc_mbaff_tff.264"}, "avc_mbaff_tff.264"),
        corpus("mbaff_bff", {"avc_mbaff_bff.264"}, "avc_mbaff_bff.264"),
        corpus("pulldown_32", {"avc_pulldown_32.264"}, "avc_pulldown_32.264"),
        corpus("pulldown_double", {"avc_pulldown_double.264"}, "avc_pulldown_double.264"),
        corpus("pulldown_triple", {"avc_pulldown_triple.264"}, "avc_pulldown_triple.264"),
    };
  }();
  return streams;
}

struct AccuracyCase {
  std::string stream;
  int fieldop;
  Order order;
};

class AccuracyTest : public ::testing::TestWithParam<AccuracyCase> {};

TEST_P(AccuracyTest, EveryServedFrameMatchesTheReference) {
  const SuiteStream& stream = StreamNamed(Streams(), GetParam().stream);
  if (const std::string missing = MissingFile(stream); !missing.empty())
    GTEST_SKIP() << "corpus file missing: " << missing;
  ExpectServedFramesMatch(stream, GetParam().fieldop, {GetParam().order});
}

std::vector<AccuracyCase> AllCases() {
  std::vector<AccuracyCase> cases;
  for (const SuiteStream& stream : Streams())
    for (Order order : kAllOrders) cases.push_back({stream.name, 2, order});
  // Fields woven from two coded frames, pictures repeated as frames, and force film.
  for (const char* name : {"pulldown_32", "mbaff_tff", "mbaff_bff", "pulldown_double", "pulldown_triple"})
    for (Order order : kAllOrders) cases.push_back({name, 0, order});
  for (Order order : kAllOrders) cases.push_back({"pulldown_32", 1, order});
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<AccuracyCase>& info) {
  return SuiteCaseName({info.param.stream, info.param.fieldop}) + "_" + OrderName(info.param.order);
}

INSTANTIATE_TEST_SUITE_P(Avc, AccuracyTest, ::testing::ValuesIn(AllCases()), CaseName);

// The clip's last display frame takes its two fields from two coded frames and is
// reached onward from the frame before: its earlier field must still be the right
// picture although no later frame shares a coded frame with it.
// The cuts are chosen by the reader's table; the fields each frame must show come from
// ffmpeg's flags of the pictures the cut keeps.
TEST(AccuracyEdges, WovenLastFrameReachedOnward) {
  const SuiteStream& stream = StreamNamed(Streams(), "pulldown_32");
  if (const std::string missing = MissingFile(stream); !missing.empty())
    GTEST_SKIP() << "corpus file missing: " << missing;
  const Expectation& whole = ExpectationFor(stream, 0);
  const Reference reference = DecodeReference(stream.reference);
  const std::vector<PictureFlags> flags = FlagsOf(stream.reference);
  int tried = 0;
  for (int frames = 8; frames < 48; ++frames) {
    const std::string index =
        IndexOfFirstFrames(whole.indexPath, frames, "pulldown_first_" + std::to_string(frames));
    const std::vector<DisplayEntry> entries = DisplayEntries(index, 0);
    if (entries.size() < 3 || entries.back().top == entries.back().bottom) continue;
    ++tried;
    const std::vector<std::pair<int, int>> fields =
        Cadence(std::vector<PictureFlags>(flags.begin(), flags.begin() + std::min<size_t>(flags.size(), frames)));
    PClip clip = OpenClip(index, {.fieldop = 0});
    const int last = clip->GetVideoInfo().num_frames - 1;
    ASSERT_EQ(size_t(last + 1), fields.size()) << frames << " coded frames";
    for (int n : {last - 2, last - 1, last}) {
      const auto [top, bottom] = fields[size_t(n)];
      EXPECT_EQ(FrameMd5(clip->GetFrame(n, &PluginHost())),
                StampedMd5Of(WovenPicture(reference, top, bottom), entries[size_t(n)].hintValue))
          << frames << " coded frames, display frame " << n << " of " << entries.size();
    }
  }
  EXPECT_GT(tried, 0) << "no cut of the stream ends on a woven frame";
}

}  // namespace
