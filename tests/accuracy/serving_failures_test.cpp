// Serving when something goes wrong: an engine that is not there, a source that is
// shorter than its index says, a clip destroyed while its worker is in a run. None
// of these may hang (every test has a CTest time limit) or serve a wrong picture
// silently.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "host/frame_output.h"
#include "tests/accuracy/serving_harness.h"

namespace {

constexpr const char* kStream = "avc_prog_closed.264";
// A destructor must not wait for a run to go on: what the bounds below catch is a wait
// without end or a long fixed one. Under the sanitizers, the emulator or a loaded
// machine a prompt destroy has been seen to take 10 s, so the bound is far above that.
constexpr std::chrono::seconds kNoEndlessWait{60};

TEST(ServingFailures, HardwareOnlyEngineIsReportedAtEveryRequest) {
  if (!CorpusHas(kStream)) GTEST_SKIP() << "corpus file missing: " << kStream;
  const std::string index = IndexFor({CorpusPath(kStream)}, "engine1");
  PClip clip = OpenClip(index, {.engine = 1});
  const std::string first = ErrorOfGetFrame(clip, 0);
  if (first.empty()) GTEST_SKIP() << "a hardware decode engine is available on this machine";
  EXPECT_EQ(first, "Pipeline init failed. Specified decode engine not available.");
  EXPECT_EQ(ErrorOfGetFrame(clip, 5), "Pipeline init failed. Specified decode engine not available.");
  // Destroying a clip whose worker ended after a failed Init returns without waiting
  // for anything (the bound only catches a wait without end: the suite runs under
  // sanitizers, an emulator and on loaded machines).
  auto start = std::chrono::steady_clock::now();
  clip = nullptr;
  EXPECT_LT(std::chrono::steady_clock::now() - start, kNoEndlessWait);
}

// The source is cut after it was indexed: frames whose pictures are gone give a
// clear error, never a hang or another frame's picture; frames before the cut are
// still served exactly; and the clip keeps working after the error.
TEST(ServingFailures, SourceTruncatedAfterIndexing) {
  if (!CorpusHas(kStream)) GTEST_SKIP() << "corpus file missing: " << kStream;
  const std::string copy = WorkFolder() + "/truncated.264";
  ASSERT_EQ(RunCommand("cp '" + CorpusPath(kStream) + "' '" + copy + "'"), 0);
  const std::string index = IndexFor({copy}, "truncated");
  const Reference reference = DecodeReference(copy);
  const std::vector<DisplayEntry> entries = DisplayEntries(index, 2);
  auto expected = [&](int n) { return StampedMd5Of(reference.pictures[size_t(n)], entries[size_t(n)].hintValue); };
  std::filesystem::resize_file(copy, std::filesystem::file_size(copy) * 4 / 10);

  PClip clip = OpenClip(index, {.fieldop = 2});
  const int frameCount = clip->GetVideoInfo().num_frames;
  ASSERT_EQ(size_t(frameCount), reference.pictures.size());

  EXPECT_EQ(FrameMd5(clip->GetFrame(3, &PluginHost())), expected(3));
  const std::string error = ErrorOfGetFrame(clip, frameCount - 1);
  EXPECT_EQ(error.rfind("Orvanto: ", 0), 0u) << error;
  // Onward requests after the cut fail the same way.
  EXPECT_EQ(FrameMd5(clip->GetFrame(10, &PluginHost())), expected(10));
  int failed = 0;
  for (int n = 11; n < frameCount; ++n) {
    std::string text = ErrorOfGetFrame(clip, n);
    if (!text.empty()) {
      EXPECT_EQ(text.rfind("Orvanto: ", 0), 0u) << text;
      ++failed;
    }
  }
  EXPECT_GT(failed, 0);
  // A request before the cut, after all those errors, is served exactly again.
  EXPECT_EQ(FrameMd5(clip->GetFrame(5, &PluginHost())), expected(5));
}

// A clip destroyed while its worker holds a run open (waiting to deliver the next
// picture after the one served) is gone promptly.
TEST(ServingFailures, DestroyingAClipInTheMiddleOfARunReturnsPromptly) {
  if (!CorpusHas(kStream)) GTEST_SKIP() << "corpus file missing: " << kStream;
  const std::string index = IndexFor({CorpusPath(kStream)}, "destroy");
  for (int target : {0, 12, 30}) {
    PClip clip = OpenClip(index, {.fieldop = 2});
    clip->GetFrame(target, &PluginHost());
    auto start = std::chrono::steady_clock::now();
    clip = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - start, kNoEndlessWait) << "target " << target;
  }
  // And one destroyed before it served anything (the worker may still be in Init).
  auto start = std::chrono::steady_clock::now();
  {
    PClip clip = OpenClip(index, {.fieldop = 2});
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, kNoEndlessWait);
}

}  // namespace
