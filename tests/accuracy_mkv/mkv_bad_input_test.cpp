// Matroska sources that cannot be served as indexed, through the host: the hand-off's
// two messages, and damaged or crafted files that must give a clear "Orvanto: " error
// or the frames that can be decoded, never a crash or a hang (CTest time limits).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "host/frame_output.h"
#include "tests/accuracy/case_skips.h"
#include "tests/accuracy/mpeg2_vc1_support.h"
#include "tests/accuracy/serving_harness.h"

namespace {

// A copy of the index whose (only) source file is `source`.
std::string IndexPointingAt(const std::string& indexPath, const std::string& source, const std::string& name) {
  const std::string path = WorkFolder() + "/" + name + ".vqi";
  std::ifstream in(indexPath);
  std::ofstream out(path);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    if (++number == 4) line = source + " 1";
    out << line << "\n";
  }
  return path;
}

TEST(MkvHandOff, ContainerAndTrackFailuresBecomeScriptErrors) {
  const std::string notMatroska = WorkFolder() + "/not_matroska.bin";
  std::ofstream(notMatroska) << std::string(4096, 'x');
  struct Case {
    const char* name;
    std::string index;
    std::string source;
    const char* message;
  };
  const Case cases[] = {
      {"file that is not Matroska", "avc_x264.mkv.vqi", notMatroska, "Orvanto: Could not parse the Matroska file."},
      {"only an MPEG-2 track under an AVC index", "avc_x264.mkv.vqi", CorpusPath("m2v_prog_open.mkv"),
       "Orvanto: Could not find a video track in the Matroska file."},
      {"WMV3 track under a VC-1 index", "vc1_ap_gops.mkv.vqi", CorpusPath("vc1_wmv3.mkv"),
       "Orvanto: Could not find a video track in the Matroska file."},
      {"video track behind 32 audio tracks", "avc_x264.mkv.vqi", CorpusPath("avc_video_33rd.mkv"),
       "Orvanto: Could not find a video track in the Matroska file."},
  };
  CaseSkips skips;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (skips.Missing(CorpusPath(c.index)) || skips.Missing(c.source)) continue;
    EXPECT_EQ(ErrorOfOpen(IndexPointingAt(CorpusPath(c.index), c.source, "handoff")), c.message);
  }
  SKIP_IF_CASES_MISSED(skips);
}

// Every request gives the indexed frame or a "Orvanto: " error; returns how many
// frames came back exactly as ffmpeg decodes the intact file.
int ServeAll(const std::string& indexPath, const std::vector<std::string>& expected, std::vector<int> requests) {
  PClip clip = OpenClip(indexPath, {.fieldop = 2});
  int exact = 0;
  for (int n : requests) {
    try {
      exact += FrameMd5(clip->GetFrame(n, &PluginHost())) == expected[size_t(n)];
    } catch (const HostScriptError& error) {
      EXPECT_EQ(std::string(error.what()).rfind("Orvanto: ", 0), 0u) << "frame " << n << ": " << error.what();
    }
  }
  return exact;
}

TEST(MkvBadInput, DamagedAndCraftedFilesEndInFramesOrAClearError) {
  if (!CorpusHas("avc_x264.mkv.vqi")) GTEST_SKIP() << "Matroska test file missing: avc_x264.mkv.vqi";
  const std::string index = CorpusPath("avc_x264.mkv.vqi");
  const Reference reference = DecodeReference(CorpusPath("avc_x264.mkv"));
  const std::vector<DisplayEntry> entries = DisplayEntries(index, 2);
  ASSERT_EQ(entries.size(), reference.pictures.size());
  std::vector<std::string> expected;
  for (size_t n = 0; n < entries.size(); ++n)
    expected.push_back(StampedMd5Of(reference.pictures[n], entries[n].hintValue));
  const int count = int(entries.size());
  std::vector<int> requests;
  for (int n = 0; n < count; n += 7) requests.push_back(n);         // onward
  for (int n = count - 1; n >= 0; n -= 23) requests.push_back(n);   // seeks back
  struct Case {
    const char* file;
    bool intactFrames;  // the frames themselves are all there: every one must be exact
  };
  CaseSkips skips;
  for (const Case& c : {Case{"bad_crafted_cues.mkv", true}, Case{"bad_crafted_lacing.mkv", true},
                        Case{"bad_truncated.mkv", false}, Case{"bad_damaged_cluster.mkv", false}}) {
    SCOPED_TRACE(c.file);
    if (skips.Missing(CorpusPath(c.file))) continue;
    const std::string pointed = IndexPointingAt(index, CorpusPath(c.file), c.file);
    const int exact = ServeAll(pointed, expected, requests);
    std::printf("%s: %d of %zu requests served exactly\n", c.file, exact, requests.size());
    if (c.intactFrames) EXPECT_EQ(exact, int(requests.size()));
    else EXPECT_GT(exact, 0);  // the frames before the damage are still served
  }
  SKIP_IF_CASES_MISSED(skips);
}

// A frame of 8.01 MB, more than the source buffer takes, is a non-reference picture here, so
// no other frame predicts from it: it costs that frame alone. Every request is served, every
// other frame exactly, and the frame in its slot shows neither another frame's picture nor
// the picture numbers of its neighbours (a shift would show the next frame's).
TEST(MkvBadInput, AFrameTooLargeForTheSourceBufferCostsThatFrameAlone) {
  const std::string name = "avc_frame_8010000.mkv";
  if (!CorpusHas(name + ".vqi")) GTEST_SKIP() << "Matroska test file missing: " << name << ".vqi";
  const std::string index = CorpusPath(name + ".vqi");
  const Reference reference = DecodeReference(CorpusPath(name));
  const std::vector<DisplayEntry> entries = DisplayEntries(index, 2);
  ASSERT_EQ(entries.size(), reference.pictures.size());
  const int count = int(entries.size());
  std::vector<std::string> expected;
  for (int n = 0; n < count; ++n) expected.push_back(StampedMd5Of(reference.pictures[size_t(n)], entries[size_t(n)].hintValue));
  std::vector<int> requests;
  for (int n = 0; n < count; ++n) requests.push_back(n);            // onward
  for (int n = count - 1; n >= 0; n -= 3) requests.push_back(n);     // seeks back
  PClip clip = OpenClip(index, {.fieldop = 2});
  std::set<int> inexact;
  for (int n : requests) {
    SCOPED_TRACE(n);
    PVideoFrame frame;
    try {
      frame = clip->GetFrame(n, &PluginHost());
    } catch (const HostScriptError& error) {
      ADD_FAILURE() << "frame " << n << " not served: " << error.what();
      continue;
    }
    const std::string md5 = FrameMd5(frame);
    if (md5 == expected[size_t(n)]) continue;
    inexact.insert(n);
    for (int m = 0; m < count; ++m) {
      if (m == n) continue;
      EXPECT_NE(md5, expected[size_t(m)]) << "frame " << n << " shows frame " << m;
    }
    const int code = Barcode(PlanesOf(frame), reference.width, 0);
    for (int m = std::max(0, n - 3); m <= std::min(count - 1, n + 3); ++m) {
      if (m == n) continue;
      EXPECT_NE(code, Barcode(reference.pictures[size_t(m)], reference.width, 0)) << "frame " << n;
    }
  }
  EXPECT_EQ(inexact.size(), 1u) << "only the frame too large for the source buffer differs";
}

}  // namespace
