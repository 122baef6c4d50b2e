// Frame accuracy over MP4 sources: every display frame served, in every request
// order, must be the picture built from ffmpeg's linear decode of the same file by the
// frame table's top and bottom coded frames. AVC and VC-1 frames are compared by the
// MD5 of the picture with the frame's hint stamp; MPEG-2 frames as the MPEG-2 suite
// compares them (MD5 where fields are woven or repeated, otherwise frame-number
// barcode of both fields and luma PSNR).
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "host/frame_output.h"
#include "source/overlay.h"
#include "tests/accuracy/serving_harness.h"
#include "tests/accuracy_mp4/mp4_test_files.h"
#include "tests/accuracy_mpeg2_vc1/mpeg2_vc1_support.h"

namespace {

constexpr double kMinPsnr = 40.0;

enum class Codec { Avc, Mpeg2, Vc1 };

struct StreamCase {
  std::string name;       // the file is NAME.mp4
  std::string reference;  // the file ffmpeg decodes for the reference
  Codec codec;
};

const std::vector<StreamCase>& Streams() {
  static const std::vector<StreamCase> streams = {
      {"avc_closed", "avc_closed", Codec::Avc},
      {"avc_closed_nal2", "avc_closed", Codec::Avc},
      {"avc_closed_nal3", "avc_closed", Codec::Avc},
      {"avc_tiny_nal1", "avc_tiny_nal1", Codec::Avc},
      {"avc_open_gop", "avc_open_gop", Codec::Avc},
      {"avc_mbaff_tff", "avc_mbaff_tff", Codec::Avc},
      {"avc_pulldown_32", "avc_pulldown_32", Codec::Avc},
      // First video track MPEG-4 Part 2, second AVC: the second is served.
      {"mixed_mpeg4_avc", "avc_closed", Codec::Avc},
      {"m2v_prog_closed", "m2v_prog_closed", Codec::Mpeg2},
      {"m2v_prog_open", "m2v_prog_open", Codec::Mpeg2},
      {"m2v_int_tff", "m2v_int_tff", Codec::Mpeg2},
      {"m2v_int_bff", "m2v_int_bff", Codec::Mpeg2},
      {"m2v_pulldown32", "m2v_pulldown32", Codec::Mpeg2},
      {"vc1_ap_gops", "vc1_ap_gops", Codec::Vc1},
      {"vc1_ap_intra", "vc1_ap_intra", Codec::Vc1},
      {"vc1_ap_pulldown", "vc1_ap_pulldown", Codec::Vc1},
      {"vc1_ap_interlace_rff", "vc1_ap_interlace_rff", Codec::Vc1},
  };
  return streams;
}

const StreamCase& StreamNamed(const std::string& name) {
  for (const StreamCase& stream : Streams())
    if (name == stream.name) return stream;
  throw std::runtime_error("no stream " + name);
}

enum class Order { Sequential, Reverse, Random, Jumps, RepeatZero, BeyondEnds, GopStarts };
const Order kOrders[] = {Order::Sequential, Order::Reverse,    Order::Random,   Order::Jumps,
                         Order::RepeatZero, Order::BeyondEnds, Order::GopStarts};

const char* OrderName(Order order) {
  static const char* names[] = {"sequential", "reverse", "random", "jumps", "repeat_zero", "beyond_ends", "gop_starts"};
  return names[int(order)];
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
      for (int i = 0; i < 200; ++i) requests.push_back(pick(random));
      break;
    }
    case Order::Jumps:
      // Steps of 1 to 9 go onward from the frame served last, 10 seeks; every start
      // offset, so that each step lands everywhere in a GOP.
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
      requests = {-1, frameCount, frameCount + 7, -100, INT_MAX, INT_MIN, frameCount - 1, frameCount, 0, -1,
                  frameCount + 1};
      break;
    case Order::GopStarts:
      // Each request seeks (it lies below the one before): the frames around every
      // GOP start, where leading B pictures and step-backs matter.
      for (int first : gopFirsts)
        for (int n = first + 3; n >= first - 1; --n)
          if (n >= 0 && n < frameCount) requests.push_back(n);
      break;
  }
  return requests;
}

struct Expected {
  std::string md5;
  std::vector<uint8_t> picture;
  int topCode = 0;
  int bottomCode = 0;
  bool exact = true;
  int top = 0;
  int bottom = 0;
};

struct Expectation {
  std::string indexPath;
  int width = 0;
  int height = 0;
  int referenceCount = 0;  // pictures of the linear decode
  int leadingSkip = 0;
  std::vector<int> gopFirsts;
  std::vector<Expected> frames;
};

const Expectation& ExpectationFor(const StreamCase& stream, int fieldop) {
  static std::map<std::pair<std::string, int>, Expectation> cache;
  const auto key = std::make_pair(stream.name, fieldop);
  auto found = cache.find(key);
  if (found != cache.end()) return found->second;
  Expectation expectation;
  expectation.indexPath = IndexFor({Mp4TestFile(stream.name + ".mp4")}, "mp4_" + stream.name);
  const Reference reference = DecodeReference(Mp4TestFile(stream.reference + ".mp4"));
  expectation.width = reference.width;
  expectation.height = reference.height;
  expectation.referenceCount = int(reference.pictures.size());
  auto add = [&](int top, int bottom, uint32_t hintWord, bool exact) {
    Expected expected;
    expected.top = top;
    expected.bottom = bottom;
    expected.picture = WovenPicture(reference, top, bottom);
    expected.topCode = Barcode(expected.picture, reference.width, 0);
    expected.bottomCode = Barcode(expected.picture, reference.width, 1);
    expected.exact = exact;
    std::vector<uint8_t> stamped = expected.picture;
    StampFrameHint(stamped.data(), hintWord);
    expected.md5 = Md5Of(stamped);
    expectation.frames.push_back(std::move(expected));
  };
  if (stream.codec == Codec::Avc) {
    for (const DisplayEntry& entry : DisplayEntries(expectation.indexPath, fieldop))
      add(entry.top, entry.bottom, uint32_t(entry.hintValue) << 2, true);
    expectation.gopFirsts = GopFirstFrames(expectation.indexPath);
  } else {
    const CodecIndex index = ReadCodecIndex(expectation.indexPath, fieldop);
    if (index.code != 0) throw std::runtime_error("index reader result " + std::to_string(index.code));
    for (const CodecDisplay& entry : index.entries)
      add(entry.top, entry.bottom, entry.hintWord,
          stream.codec == Codec::Vc1 || entry.top != entry.bottom || fieldop != 2);
    expectation.gopFirsts = index.recordFirsts;
    expectation.leadingSkip = index.leadingSkip;
  }
  return cache[key] = std::move(expectation);
}

struct AccuracyCase {
  std::string stream;
  int fieldop;
};

class Mp4AccuracyTest : public ::testing::TestWithParam<AccuracyCase> {};

TEST_P(Mp4AccuracyTest, EveryServedFrameInEveryRequestOrderMatchesTheReference) {
  const AccuracyCase& param = GetParam();
  const StreamCase& stream = StreamNamed(param.stream);
  for (const std::string& name : {stream.name, stream.reference})
    if (!Mp4TestFileExists(name + ".mp4")) GTEST_SKIP() << "MP4 test file missing: " << Mp4TestFile(name + ".mp4");

  const Expectation& expected = ExpectationFor(stream, param.fieldop);
  PClip clip = OpenClip(expected.indexPath, {.fieldop = param.fieldop});
  const VideoInfo& vi = clip->GetVideoInfo();
  const int frameCount = vi.num_frames;
  ASSERT_GT(frameCount, 0);
  ASSERT_EQ(size_t(frameCount), expected.frames.size());
  ASSERT_EQ(vi.width, expected.width);
  ASSERT_EQ(vi.height, expected.height);
  // One display frame per picture of ffmpeg's decode (edit lists and all).
  if (param.fieldop == 2) {
    EXPECT_EQ(frameCount, expected.referenceCount);
  }

  int totalChecked = 0, totalMismatches = 0;
  for (Order order : kOrders) {
    int mismatches = 0, checked = 0;
    for (int request : Requests(order, frameCount, expected.gopFirsts)) {
      const int served = std::max(std::min(request, frameCount - 1), expected.leadingSkip);
      const Expected& want = expected.frames[size_t(served)];
      const std::vector<uint8_t> got = PlanesOf(clip->GetFrame(request, &PluginHost()));
      ++checked;
      bool right = Md5Of(got) == want.md5;
      if (!want.exact)
        right = Barcode(got, expected.width, 0) == want.topCode && Barcode(got, expected.width, 1) == want.bottomCode &&
                LumaPsnr(got, want.picture, expected.width, expected.height) >= kMinPsnr;
      if (right) continue;
      if (++mismatches <= 5)
        ADD_FAILURE() << OrderName(order) << ": request " << request << " (frame " << served << ", coded "
                      << want.top << "/" << want.bottom << "): barcode " << Barcode(got, expected.width, 0) << "/"
                      << Barcode(got, expected.width, 1) << ", expected " << want.topCode << "/" << want.bottomCode
                      << ", PSNR " << LumaPsnr(got, want.picture, expected.width, expected.height);
    }
    std::printf("%s fieldop %d %s: %d frames checked, %d mismatches\n", stream.name.c_str(), param.fieldop,
                OrderName(order), checked, mismatches);
    totalChecked += checked;
    totalMismatches += mismatches;
  }
  RecordProperty("frames_checked", totalChecked);
  EXPECT_EQ(totalMismatches, 0);
}

std::vector<AccuracyCase> AllCases() {
  std::vector<AccuracyCase> cases;
  for (const StreamCase& stream : Streams()) cases.push_back({stream.name, 2});
  // Fields woven and pictures repeated as the stream's flags say, and force film.
  for (const char* name : {"avc_mbaff_tff", "avc_pulldown_32", "m2v_int_tff", "m2v_int_bff", "m2v_pulldown32",
                           "vc1_ap_pulldown", "vc1_ap_interlace_rff"})
    cases.push_back({name, 0});
  for (const char* name : {"avc_pulldown_32", "m2v_pulldown32"}) cases.push_back({name, 1});
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<AccuracyCase>& info) {
  return info.param.stream + "_fieldop" + std::to_string(info.param.fieldop);
}

INSTANTIATE_TEST_SUITE_P(Mp4, Mp4AccuracyTest, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
