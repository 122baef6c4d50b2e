// Frame accuracy: every display frame served, in every request order, must equal the
// picture built from ffmpeg's linear decode of the same stream by the frame table's
// top and bottom coded frames (with fieldop 2: exactly the linear decode's frame n),
// with the frame's hint stamp in the low bits of its first 64 luma bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "host/frame_output.h"
#include "tests/accuracy/serving_harness.h"

namespace {

struct StreamCase {
  const char* name;
  std::vector<std::string> files;  // the source, in order (several: one stream split in files)
  const char* referenceFile;       // what ffmpeg decodes for the reference
};

const std::vector<StreamCase>& Streams() {
  static const std::vector<StreamCase> streams = {
      {"raw", {"avc_prog_closed.264"}, "avc_prog_closed.264"},
      {"raw_split", {"avc_prog_closed.split0.264", "avc_prog_closed.split1.264", "avc_prog_closed.split2.264"},
       "avc_prog_closed.264"},
      {"ts", {"avc_prog_closed.ts"}, "avc_prog_closed.264"},
      {"m2ts", {"avc_prog_closed.m2ts"}, "avc_prog_closed.264"},
      {"ps", {"avc_prog_closed.vob"}, "avc_prog_closed.264"},
      {"open_gop", {"avc_open_gop.264"}, "avc_open_gop.264"},
      {"open_gop_ts", {"avc_open_gop.ts"}, "avc_open_gop.264"},
      {"mbaff_tff", {"avc_mbaff_tff.264"}, "avc_mbaff_tff.264"},
      {"mbaff_bff", {"avc_mbaff_bff.264"}, "avc_mbaff_bff.264"},
      {"pulldown_32", {"avc_pulldown_32.264"}, "avc_pulldown_32.264"},
  };
  return streams;
}

const StreamCase& StreamNamed(const std::string& name) {
  for (const StreamCase& stream : Streams())
    if (name == stream.name) return stream;
  throw std::runtime_error("no stream " + name);
}

enum class Order { Sequential, Reverse, Random, Jumps, RepeatZero, BeyondEnds, GopStarts };

const char* OrderName(Order order) {
  switch (order) {
    case Order::Sequential:
      return "sequential";
    case Order::Reverse:
      return "reverse";
    case Order::Random:
      return "random";
    case Order::Jumps:
      return "jumps";
    case Order::RepeatZero:
      return "repeat_zero";
    case Order::BeyondEnds:
      return "beyond_ends";
    case Order::GopStarts:
      return "gop_starts";
  }
  return "?";
}

std::vector<int> Requests(Order order, int frameCount, const std::vector<int>& gopFirsts) {
  std::vector<int> requests;
  switch (order) {
    case Order::Sequential:
      for (int n = 0; n < frameCount; ++n) requests.push_back(n);
      break;
    case Order::Reverse:
      for (int n = frameCount - 1; n >= 0; --n) requests.push_back(n);
      break;
    case Order::Random: {
      std::mt19937 random(20261209);
      std::uniform_int_distribution<int> pick(0, frameCount - 1);
      for (int i = 0; i < 300; ++i) requests.push_back(pick(random));
      break;
    }
    case Order::Jumps:
      // Steps 1 to 9 go onward from the frame served last; 10 seeks. Every start
      // offset within a cycle is used so that each step lands everywhere in a GOP.
      for (int start = 0; start < 10; ++start) {
        int n = start;
        requests.push_back(n);
        for (int step = 1;; step = step % 10 + 1) {
          n += step;
          if (n >= frameCount) break;
          requests.push_back(n);
        }
      }
      break;
    case Order::RepeatZero:
      requests = {0, 0, 0, 1, 0, 0, 2, 3, 0};
      break;
    case Order::BeyondEnds:
      requests = {-1, frameCount, frameCount + 7, -100, INT_MAX, INT_MIN, frameCount - 1, frameCount,
                  0, -1, frameCount + 1};
      break;
    case Order::GopStarts:
      // Each request seeks (it lies below the one before): the frames just before
      // and after every GOP start, where leading pictures and step-backs matter.
      for (int first : gopFirsts)
        for (int n = first + 3; n >= first - 1; --n)
          if (n >= 0 && n < frameCount) requests.push_back(n);
      break;
  }
  return requests;
}

// The expected MD5 of every display frame, per stream and fieldop (computed once).
struct Expectation {
  std::string indexPath;
  std::vector<DisplayEntry> entries;
  std::vector<int> gopFirsts;
  std::vector<std::string> md5s;
};

const Expectation& ExpectationFor(const StreamCase& stream, int fieldop) {
  static std::map<std::pair<std::string, int>, Expectation> cache;
  auto key = std::make_pair(std::string(stream.name), fieldop);
  auto found = cache.find(key);
  if (found != cache.end()) return found->second;
  Expectation expectation;
  std::vector<std::string> paths;
  for (const std::string& file : stream.files) paths.push_back(CorpusPath(file));
  expectation.indexPath = IndexFor(paths, stream.name);
  expectation.entries = DisplayEntries(expectation.indexPath, fieldop);
  expectation.gopFirsts = GopFirstFrames(expectation.indexPath);
  const Reference reference = DecodeReference(CorpusPath(stream.referenceFile));
  for (const DisplayEntry& entry : expectation.entries) {
    // Every served frame carries the hint stamp in the low bits of its first luma bytes.
    expectation.md5s.push_back(StampedMd5Of(WovenPicture(reference, entry.top, entry.bottom), entry.hintValue));
  }
  return cache[key] = std::move(expectation);
}

struct AccuracyCase {
  std::string stream;
  int fieldop;
  Order order;
};

class AccuracyTest : public ::testing::TestWithParam<AccuracyCase> {};

TEST_P(AccuracyTest, EveryServedFrameMatchesTheReference) {
  const AccuracyCase& param = GetParam();
  const StreamCase& stream = StreamNamed(param.stream);
  for (const std::string& file : stream.files)
    if (!CorpusHas(file)) GTEST_SKIP() << "corpus file missing: " << file;
  if (!CorpusHas(stream.referenceFile)) GTEST_SKIP() << "corpus file missing: " << stream.referenceFile;

  const Expectation& expected = ExpectationFor(stream, param.fieldop);
  PClip clip = OpenClip(expected.indexPath, {.fieldop = param.fieldop});
  const VideoInfo& vi = clip->GetVideoInfo();
  const int frameCount = vi.num_frames;
  ASSERT_GT(frameCount, 0);
  ASSERT_EQ(size_t(frameCount), expected.entries.size());
  if (param.fieldop == 2) {
    for (int n = 0; n < frameCount; ++n) {
      ASSERT_EQ(expected.entries[size_t(n)].top, n);
      ASSERT_EQ(expected.entries[size_t(n)].bottom, n);
    }
  }

  int mismatches = 0;
  int checked = 0;
  for (int request : Requests(param.order, frameCount, expected.gopFirsts)) {
    const int served = std::clamp(request, 0, frameCount - 1);
    PVideoFrame frame = clip->GetFrame(request, &PluginHost());
    ASSERT_EQ(frame->GetRowSize(), vi.width);
    const std::string md5 = FrameMd5(frame);
    ++checked;
    if (md5 != expected.md5s[size_t(served)]) {
      ++mismatches;
      if (mismatches <= 5)
        ADD_FAILURE() << "request " << request << " (frame " << served << ", fields "
                      << expected.entries[size_t(served)].top << "/" << expected.entries[size_t(served)].bottom
                      << ") differs from the reference";
    }
  }
  RecordProperty("frames_checked", checked);
  std::printf("%s fieldop %d %s: %d frames checked, %d mismatches\n", stream.name, param.fieldop,
              OrderName(param.order), checked, mismatches);
  EXPECT_EQ(mismatches, 0);
}

std::vector<AccuracyCase> AllCases() {
  const Order orders[] = {Order::Sequential, Order::Reverse,    Order::Random,    Order::Jumps,
                          Order::RepeatZero, Order::BeyondEnds, Order::GopStarts};
  std::vector<AccuracyCase> cases;
  for (const StreamCase& stream : Streams())
    for (Order order : orders) cases.push_back({stream.name, 2, order});
  // Fields woven from two coded frames, pictures repeated, and force film.
  for (const char* name : {"pulldown_32", "mbaff_tff", "mbaff_bff"})
    for (Order order : orders) cases.push_back({name, 0, order});
  for (Order order : orders) cases.push_back({"pulldown_32", 1, order});
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<AccuracyCase>& info) {
  return info.param.stream + "_fieldop" + std::to_string(info.param.fieldop) + "_" + OrderName(info.param.order);
}

INSTANTIATE_TEST_SUITE_P(Avc, AccuracyTest, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
