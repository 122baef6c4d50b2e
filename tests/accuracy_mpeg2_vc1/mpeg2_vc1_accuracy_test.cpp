// Frame accuracy for MPEG-2 and VC-1: every display frame served, in every request
// order, must be the picture built from ffmpeg's linear decode of the same stream by
// the frame table's top and bottom coded frames.
//
// Comparison: VC-1, and MPEG-2 frames woven from two coded frames or shown as
// repeats, by the MD5 of the picture with the frame's hint stamp. Every MPEG-2 frame
// also by its frame-number barcode (top and bottom field rows) and by luma PSNR
// against the reference of at least kMinPsnr dB: the inverse DCT need not be
// bit-exact between two decoders, while a neighbouring frame of these streams scores
// well below that threshold.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "host/frame_output.h"
#include "source/overlay.h"
#include "tests/accuracy/serving_harness.h"
#include "tests/accuracy_mpeg2_vc1/mpeg2_vc1_support.h"

#ifndef TESSIVAR_SHARED_DIR
#define TESSIVAR_SHARED_DIR ""
#endif

namespace {

constexpr double kMinPsnr = 40.0;

struct StreamCase {
  std::string name;
  std::vector<std::string> files;  // the source in order; a leading '/' is an absolute path
  std::string referenceFile;       // what ffmpeg decodes for the reference
  bool mpeg2;
};

std::string Vc1Sample(const std::string& name) { return std::string(TESSIVAR_SHARED_DIR) + "/testdata/vc1/" + name; }

std::string PathOf(const std::string& file) { return file.rfind("/", 0) == 0 ? file : CorpusPath(file); }

bool Readable(const std::string& file) {
  FILE* f = std::fopen(PathOf(file).c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

std::vector<StreamCase> Mpeg2Packagings(const std::string& name) {
  const std::string raw = name + ".m2v";
  return {
      {name, {raw}, raw, true},
      {name + "_split", {name + ".split0.m2v", name + ".split1.m2v", name + ".split2.m2v"}, raw, true},
      {name + "_ts", {name + ".ts"}, raw, true},
      {name + "_m2ts", {name + ".m2ts"}, raw, true},
      // mplex leaves out the last coded picture: the program stream is its own reference.
      {name + "_ps", {name + ".vob"}, name + ".vob", true},
  };
}

const std::vector<StreamCase>& Streams() {
  static const std::vector<StreamCase> streams = [] {
    std::vector<StreamCase> all;
    for (const char* name :
         {"m2v_prog_closed", "m2v_prog_open", "m2v_int_tff", "m2v_int_bff", "m2v_pulldown32", "m2v_progseq_rff"})
      for (StreamCase& c : Mpeg2Packagings(name)) all.push_back(c);
    for (const char* name : {"vc1_ap_gops", "vc1_ap_pulldown", "vc1_ap_interlace_rff"}) {
      const std::string raw = Vc1Sample(std::string(name) + ".vc1");
      all.push_back({name, {raw}, raw, false});
      all.push_back({std::string(name) + "_ts", {std::string(name) + ".ts"}, raw, false});
    }
    all.push_back({"vc1_ap_intra", {Vc1Sample("vc1_ap_intra.vc1")}, Vc1Sample("vc1_ap_intra.vc1"), false});
    return all;
  }();
  return streams;
}

const StreamCase& StreamNamed(const std::string& name) {
  for (const StreamCase& stream : Streams())
    if (name == stream.name) return stream;
  throw std::runtime_error("no stream " + name);
}

enum class Order { Sequential, Reverse, Random, Jumps, RepeatZero, BeyondEnds, GopStarts };

const char* OrderName(Order order) {
  static const char* names[] = {"sequential", "reverse", "random", "jumps", "repeat_zero", "beyond_ends", "gop_starts"};
  return names[int(order)];
}

std::vector<int> Requests(Order order, int frameCount, const std::vector<int>& recordFirsts) {
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
      // offset so that each step lands everywhere in a GOP.
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
      // record start, where leading B pictures are passed over.
      for (int first : recordFirsts)
        for (int n = first + 3; n >= first - 1; --n)
          if (n >= 0 && n < frameCount) requests.push_back(n);
      break;
  }
  return requests;
}

struct Expected {
  std::string md5;
  int topCode;     // barcode of the top field rows
  int bottomCode;  // barcode of the bottom field rows
  std::vector<uint8_t> picture;
  bool exact;  // compared by MD5
};

struct Expectation {
  std::string indexPath;
  CodecIndex index;
  int width = 0;
  int height = 0;
  std::vector<Expected> frames;
};

const Expectation& ExpectationFor(const StreamCase& stream, int fieldop) {
  static std::map<std::pair<std::string, int>, Expectation> cache;
  auto key = std::make_pair(stream.name, fieldop);
  auto found = cache.find(key);
  if (found != cache.end()) return found->second;
  Expectation expectation;
  std::vector<std::string> paths;
  for (const std::string& file : stream.files) paths.push_back(PathOf(file));
  expectation.indexPath = IndexFor(paths, stream.name);
  expectation.index = ReadCodecIndex(expectation.indexPath, fieldop);
  if (expectation.index.code == 0) {
    const Reference reference = DecodeReference(PathOf(stream.referenceFile));
    expectation.width = reference.width;
    expectation.height = reference.height;
    for (const CodecDisplay& entry : expectation.index.entries) {
      Expected expected;
      expected.picture = WovenPicture(reference, entry.top, entry.bottom);
      expected.topCode = Barcode(expected.picture, reference.width, 0);
      expected.bottomCode = Barcode(expected.picture, reference.width, 1);
      // VC-1 decoding is bit-exact; MPEG-2 by MD5 where fields are woven or repeated.
      expected.exact = !stream.mpeg2 || entry.top != entry.bottom || fieldop != 2;
      std::vector<uint8_t> stamped = expected.picture;
      StampFrameHint(stamped.data(), entry.hintWord);
      expected.md5 = Md5Of(stamped);
      expectation.frames.push_back(std::move(expected));
    }
  }
  return cache[key] = std::move(expectation);
}

struct AccuracyCase {
  std::string stream;
  int fieldop;
};

const Order kOrders[] = {Order::Sequential, Order::Reverse,    Order::Random,   Order::Jumps,
                         Order::RepeatZero, Order::BeyondEnds, Order::GopStarts};

class Mpeg2Vc1AccuracyTest : public ::testing::TestWithParam<AccuracyCase> {};

TEST_P(Mpeg2Vc1AccuracyTest, EveryServedFrameInEveryRequestOrderMatchesTheReference) {
  const AccuracyCase& param = GetParam();
  const StreamCase& stream = StreamNamed(param.stream);
  for (const std::string& file : stream.files)
    if (!Readable(file)) GTEST_SKIP() << "stream file missing: " << PathOf(file);
  if (!Readable(stream.referenceFile)) GTEST_SKIP() << "stream file missing: " << PathOf(stream.referenceFile);

  const Expectation& expected = ExpectationFor(stream, param.fieldop);
  ASSERT_EQ(expected.index.code, 0) << "index reader result";
  PClip clip = OpenClip(expected.indexPath, {.fieldop = param.fieldop});
  const VideoInfo& vi = clip->GetVideoInfo();
  const int frameCount = vi.num_frames;
  ASSERT_GT(frameCount, 0);
  ASSERT_EQ(size_t(frameCount), expected.frames.size());
  ASSERT_EQ(vi.width, expected.width);
  ASSERT_EQ(vi.height, expected.height);
  const int lowest = expected.index.leadingSkip;

  for (Order order : kOrders) {
    int mismatches = 0, checked = 0, bitExact = 0;
    double worstPsnr = 999;
    for (int request : Requests(order, frameCount, expected.index.recordFirsts)) {
      const int served = std::max(std::min(request, frameCount - 1), lowest);
      const Expected& want = expected.frames[size_t(served)];
      const std::vector<uint8_t> got = PlanesOf(clip->GetFrame(request, &PluginHost()));
      ++checked;
      const bool sameMd5 = Md5Of(got) == want.md5;
      bitExact += sameMd5;
      bool right = sameMd5;
      if (!want.exact) {
        const double psnr = LumaPsnr(got, want.picture, expected.width, expected.height);
        worstPsnr = std::min(worstPsnr, psnr);
        right = Barcode(got, expected.width, 0) == want.topCode && Barcode(got, expected.width, 1) == want.bottomCode &&
                psnr >= kMinPsnr;
      } else if (stream.mpeg2) {
        worstPsnr = std::min(worstPsnr, LumaPsnr(got, want.picture, expected.width, expected.height));
      }
      if (!right) {
        ++mismatches;
        if (mismatches <= 5)
          ADD_FAILURE() << OrderName(order) << ": request " << request << " (frame " << served << ", coded "
                        << expected.index.entries[size_t(served)].top << "/"
                        << expected.index.entries[size_t(served)].bottom << "): barcode "
                        << Barcode(got, expected.width, 0) << "/" << Barcode(got, expected.width, 1) << ", expected "
                        << want.topCode << "/" << want.bottomCode << ", PSNR "
                        << LumaPsnr(got, want.picture, expected.width, expected.height);
      }
    }
    std::printf("%s fieldop %d %s: %d frames checked, %d mismatches, %d bit-exact, worst luma PSNR %.1f dB\n",
                stream.name.c_str(), param.fieldop, OrderName(order), checked, mismatches, bitExact, worstPsnr);
    EXPECT_EQ(mismatches, 0) << OrderName(order);
  }
}

std::vector<AccuracyCase> AllCases() {
  std::vector<AccuracyCase> cases;
  for (const StreamCase& stream : Streams()) cases.push_back({stream.name, 2});
  // Fields woven and pictures repeated as the stream's flags say, and force film.
  for (const char* base : {"m2v_pulldown32", "m2v_progseq_rff", "m2v_int_tff", "m2v_int_bff"})
    for (const StreamCase& stream : Mpeg2Packagings(base)) cases.push_back({stream.name, 0});
  for (const StreamCase& stream : Mpeg2Packagings("m2v_pulldown32")) cases.push_back({stream.name, 1});
  for (const char* name : {"vc1_ap_gops", "vc1_ap_pulldown", "vc1_ap_interlace_rff", "vc1_ap_interlace_rff_ts"})
    cases.push_back({name, 0});
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<AccuracyCase>& info) {
  return info.param.stream + "_fieldop" + std::to_string(info.param.fieldop);
}

INSTANTIATE_TEST_SUITE_P(Mpeg2Vc1, Mpeg2Vc1AccuracyTest, ::testing::ValuesIn(AllCases()), CaseName);

// ---- the readers' result codes reach the script ----

std::string ErrorOfOpen(const std::string& indexPath, int fieldop) {
  try {
    OpenClip(indexPath, {.fieldop = fieldop});
  } catch (const HostScriptError& error) {
    return error.what();
  }
  return std::string();
}

TEST(Mpeg2Vc1ReaderCodes, NoSequenceLineIsNoGopsFound) {
  for (const char* name : {"m2v_prog_open", "vc1_ap_gops"}) {
    const StreamCase& stream = StreamNamed(name);
    if (!Readable(stream.files[0])) GTEST_SKIP() << "stream file missing: " << PathOf(stream.files[0]);
    const std::string index = IndexFor({PathOf(stream.files[0])}, stream.name);
    EXPECT_EQ(ErrorOfOpen(IndexWithout(index, "SEQ ", std::string(name) + "_noseq"), 2), "Orvanto: No GOPs found.")
        << name;
  }
}

TEST(Mpeg2Vc1ReaderCodes, FrameRepeatsUnderForceFilm) {
  const std::string text = "Orvanto: Force Film mode not supported with frame repeats.\nRefer to the Cobrisk Users Manual.";
  for (const char* name : {"m2v_progseq_rff", "vc1_ap_pulldown"}) {
    const StreamCase& stream = StreamNamed(name);
    if (!Readable(stream.files[0])) GTEST_SKIP() << "stream file missing: " << PathOf(stream.files[0]);
    EXPECT_EQ(ErrorOfOpen(IndexFor({PathOf(stream.files[0])}, stream.name), 1), text) << name;
  }
}

// ---- a priming that fails ----

std::string ErrorOfGetFrame(PClip& clip, int n) {
  try {
    clip->GetFrame(n, &PluginHost());
  } catch (const HostScriptError& error) {
    return error.what();
  }
  return std::string();
}

// The source holds no sequence header any more (overwritten after indexing): the first
// run's priming fails. The request that started it ends with the message instead of
// waiting for a picture that never comes, later requests say the same, and the clip
// goes away at once.
TEST(Mpeg2Vc1Priming, AFailedPrimingEndsTheRequestWithItsMessage) {
  for (const char* name : {"m2v_prog_closed", "vc1_ap_gops"}) {
    const StreamCase& stream = StreamNamed(name);
    if (!Readable(stream.files[0])) GTEST_SKIP() << "stream file missing: " << PathOf(stream.files[0]);
    const std::string copy = WorkFolder() + "/" + name + "_no_header.bin";
    ASSERT_EQ(RunCommand("cp '" + PathOf(stream.files[0]) + "' '" + copy + "'"), 0);
    const std::string index = IndexFor({copy}, std::string(name) + "_no_header");
    {
      std::ifstream in(copy, std::ios::binary | std::ios::ate);
      const std::string junk(size_t(in.tellg()), '\xff');
      std::ofstream(copy, std::ios::binary | std::ios::trunc).write(junk.data(), std::streamsize(junk.size()));
    }
    PClip clip = OpenClip(index, {.fieldop = 2});
    EXPECT_EQ(ErrorOfGetFrame(clip, 5), "DecodeHeader() failed.") << name;
    EXPECT_EQ(ErrorOfGetFrame(clip, 0), "DecodeHeader() failed.") << name;
    const auto start = std::chrono::steady_clock::now();
    clip = nullptr;
    // Promptly: no wait without end (a bound far above a loaded sanitizer tree's time).
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60)) << name;
  }
}

}  // namespace
