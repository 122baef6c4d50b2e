// Frame accuracy over Matroska sources: every display frame served, in every request
// order, must be the picture built from ffmpeg's linear decode of the same file by
// the frame table's top and bottom coded frames (with fieldop 2: the decode's frame
// n), carrying the frame's hint stamp. H.264 and VC-1 are compared by MD5; MPEG-2 by
// MD5, or where the two decoders' inverse DCTs may differ by the frame-number barcode
// of both fields and a luma PSNR of at least kMinPsnr dB.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "source/overlay.h"
#include "tests/accuracy/serving_harness.h"
#include "tests/accuracy_mpeg2_vc1/mpeg2_vc1_support.h"

namespace {

constexpr double kMinPsnr = 40.0;

enum class Codec { Avc, Mpeg2, Vc1 };

struct StreamCase {
  std::string name;       // file name in the Matroska corpus, without ".mkv"
  Codec codec;
  std::string reference;  // what ffmpeg decodes: a corpus file, or a path
};

const std::vector<StreamCase>& Streams() {
  static const std::vector<StreamCase> streams = {
      {"avc_x264", Codec::Avc, "avc_x264.mkv"},              // x264's writer, parameter sets in the track only
      {"avc_mkvmerge", Codec::Avc, "avc_mkvmerge.mkv"},      // in-band SPS/PPS at every GOP
      {"avc_open_gop", Codec::Avc, "avc_open_gop.mkv"},      // recovery points, leading B pictures
      {"avc_nal2", Codec::Avc, "avc_nal2.mkv"},              // 2-byte unit lengths
      {"avc_inband_only", Codec::Avc, "avc_x264.mkv"},       // sets in band every other second only
      {"avc_second_track", Codec::Avc, "avc_x264.mkv"},      // first video track MPEG-4 part 2
      {"m2v_prog_open", Codec::Mpeg2, "m2v_prog_open.mkv"},
      {"m2v_int_tff", Codec::Mpeg2, "m2v_int_tff.mkv"},
      {"m2v_pulldown32", Codec::Mpeg2, "m2v_pulldown32.mkv"},
      {"m2v_stripped", Codec::Mpeg2, "m2v_prog_open.mkv"},   // 00 00 01 stripped from every frame
      {"vc1_ap_gops", Codec::Vc1, "vc1_ap_gops.mkv"},        // V_MS/VFW/FOURCC, WVC1
      {"vc1_ap_pulldown", Codec::Vc1, "vc1_ap_pulldown.mkv"},
      {"vc1_ap_interlace_rff", Codec::Vc1, "vc1_ap_interlace_rff.mkv"},
      {"vc1_codec_vc1", Codec::Vc1, "vc1_ap_gops.mkv"},      // V_VC1
  };
  return streams;
}

const StreamCase& StreamNamed(const std::string& name) {
  for (const StreamCase& stream : Streams())
    if (name == stream.name) return stream;
  throw std::runtime_error("no stream " + name);
}

enum class Order { Sequential, Reverse, Random, Jumps, Repeated, Clamped, GopStarts };
const Order kOrders[] = {Order::Sequential, Order::Reverse, Order::Random,   Order::Jumps,
                         Order::Repeated,   Order::Clamped, Order::GopStarts};

const char* OrderName(Order order) {
  static const char* names[] = {"sequential", "reverse", "random", "jumps", "repeated", "clamped", "gop_starts"};
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
        for (int n = start, step = 1; n < frameCount; n += step, step = step % 10 + 1) requests.push_back(n);
      }
      break;
    case Order::Repeated:
      requests = {0, 0, 0, 1, 0, 0, 2, 3, 0, frameCount / 2, frameCount / 2, frameCount / 2 - 1, frameCount / 2};
      break;
    case Order::Clamped:
      requests = {-1, frameCount, frameCount + 7, -100, INT_MAX, INT_MIN, frameCount - 1, frameCount, 0, -1,
                  frameCount + 1};
      break;
    case Order::GopStarts:
      // Each request lies below the one before (a seek): the frames around every GOP
      // start, where leading pictures and the step back to the GOP before matter.
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
  int top = 0;
  int bottom = 0;
};

struct Expectation {
  std::string indexPath;
  int lowest = 0;  // the first frame served (leading pictures without their reference are not)
  int width = 0;
  int height = 0;
  std::vector<int> gopFirsts;
  std::vector<Expected> frames;
};

const Expectation& ExpectationFor(const StreamCase& stream, int fieldop) {
  static std::map<std::pair<std::string, int>, Expectation> cache;
  const auto key = std::make_pair(stream.name, fieldop);
  if (auto found = cache.find(key); found != cache.end()) return found->second;
  Expectation e;
  e.indexPath = CorpusPath(stream.name + ".mkv.vqi");
  std::vector<std::pair<int, int>> fields;
  std::vector<uint32_t> hints;
  if (stream.codec == Codec::Avc) {
    for (const DisplayEntry& entry : DisplayEntries(e.indexPath, fieldop)) {
      fields.emplace_back(entry.top, entry.bottom);
      hints.push_back(uint32_t(entry.hintValue) << 2);
    }
    e.gopFirsts = GopFirstFrames(e.indexPath);
  } else {
    const CodecIndex index = ReadCodecIndex(e.indexPath, fieldop);
    if (index.code != 0) throw std::runtime_error("index reader result " + std::to_string(index.code));
    for (const CodecDisplay& entry : index.entries) {
      fields.emplace_back(entry.top, entry.bottom);
      hints.push_back(entry.hintWord);
    }
    e.gopFirsts = index.recordFirsts;
    e.lowest = index.leadingSkip;
  }
  const std::string referencePath =
      stream.reference.rfind("/", 0) == 0 ? stream.reference : CorpusPath(stream.reference);
  const Reference reference = DecodeReference(referencePath);
  e.width = reference.width;
  e.height = reference.height;
  for (size_t n = 0; n < fields.size(); ++n) {
    Expected want;
    want.top = fields[n].first;
    want.bottom = fields[n].second;
    want.picture = WovenPicture(reference, want.top, want.bottom);
    want.topCode = Barcode(want.picture, e.width, 0);
    want.bottomCode = Barcode(want.picture, e.width, 1);
    std::vector<uint8_t> stamped = want.picture;
    StampFrameHint(stamped.data(), hints[n]);
    want.md5 = Md5Of(stamped);
    e.frames.push_back(std::move(want));
  }
  return cache[key] = std::move(e);
}

struct AccuracyCase {
  std::string stream;
  int fieldop;
};

class MkvAccuracyTest : public ::testing::TestWithParam<AccuracyCase> {};

TEST_P(MkvAccuracyTest, EveryServedFrameInEveryRequestOrderMatchesTheReference) {
  const AccuracyCase& param = GetParam();
  const StreamCase& stream = StreamNamed(param.stream);
  if (!CorpusHas(stream.name + ".mkv.vqi")) GTEST_SKIP() << "Matroska test file missing: " << stream.name;
  const Expectation& expected = ExpectationFor(stream, param.fieldop);
  PClip clip = OpenClip(expected.indexPath, {.fieldop = param.fieldop});
  const VideoInfo& vi = clip->GetVideoInfo();
  const int frameCount = vi.num_frames;
  ASSERT_GT(frameCount, 0);
  ASSERT_EQ(size_t(frameCount), expected.frames.size());
  ASSERT_EQ(vi.width, expected.width);
  ASSERT_EQ(vi.height, expected.height);

  int allChecked = 0, allMismatches = 0;
  for (Order order : kOrders) {
    int mismatches = 0, checked = 0;
    for (int request : Requests(order, frameCount, expected.gopFirsts)) {
      const int served = std::max(std::min(request, frameCount - 1), expected.lowest);
      const Expected& want = expected.frames[size_t(served)];
      const std::vector<uint8_t> got = PlanesOf(clip->GetFrame(request, &PluginHost()));
      ++checked;
      bool right = Md5Of(got) == want.md5;
      if (!right && stream.codec == Codec::Mpeg2 && param.fieldop == 2) {
        right = Barcode(got, expected.width, 0) == want.topCode && Barcode(got, expected.width, 1) == want.bottomCode &&
                LumaPsnr(got, want.picture, expected.width, expected.height) >= kMinPsnr;
      }
      if (!right && ++mismatches <= 5)
        ADD_FAILURE() << OrderName(order) << ": request " << request << " (frame " << served << ", coded "
                      << want.top << "/" << want.bottom << "): barcode " << Barcode(got, expected.width, 0) << "/"
                      << Barcode(got, expected.width, 1) << ", expected " << want.topCode << "/" << want.bottomCode;
    }
    std::printf("%s fieldop %d %s: %d frames checked, %d mismatches\n", stream.name.c_str(), param.fieldop,
                OrderName(order), checked, mismatches);
    allChecked += checked;
    allMismatches += mismatches;
  }
  RecordProperty("frames_checked", allChecked);
  std::printf("%s fieldop %d: %d frames checked in all, %d mismatches\n", stream.name.c_str(), param.fieldop,
              allChecked, allMismatches);
  EXPECT_EQ(allMismatches, 0);
}

std::vector<AccuracyCase> AllCases() {
  std::vector<AccuracyCase> cases;
  for (const StreamCase& stream : Streams()) cases.push_back({stream.name, 2});
  // Fields woven and pictures repeated as the stream's flags say, and force film.
  for (const char* name : {"m2v_int_tff", "m2v_pulldown32", "vc1_ap_pulldown", "vc1_ap_interlace_rff"})
    cases.push_back({name, 0});
  cases.push_back({"m2v_pulldown32", 1});
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<AccuracyCase>& info) {
  return info.param.stream + "_fieldop" + std::to_string(info.param.fieldop);
}

INSTANTIATE_TEST_SUITE_P(Matroska, MkvAccuracyTest, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
