// Frame accuracy for MPEG-2 and VC-1 (accuracy_suite.h): every display frame served, in
// every request order, must be ffmpeg's picture of the same stream, or the frame its
// repeat flags give. VC-1, and MPEG-2 frames woven from two pictures or shown as repeats,
// are compared by the MD5 of the picture with the frame's hint stamp; other MPEG-2 frames
// by frame-number barcode (top and bottom field rows) and luma PSNR.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/accuracy/accuracy_suite.h"
#include "tests/accuracy/case_skips.h"
#include "tests/accuracy/mpeg2_vc1_support.h"

#ifndef TESSIVAR_SHARED_DIR
#define TESSIVAR_SHARED_DIR ""
#endif

namespace {

std::string Vc1Sample(const std::string& name) { return std::string(TESSIVAR_SHARED_DIR) + "/testdata/vc1/" + name; }

std::vector<SuiteStream> Mpeg2Packagings(const std::string& name) {
  const std::string raw = CorpusPath(name + ".m2v");
  auto files = [&](std::vector<std::string> names) {
    for (std::string& file : names) file = CorpusPath(name + file);
    return names;
  };
  return {
      {name, Codec::Mpeg2, {raw}, raw},
      {name + "_split", Codec::Mpeg2, files({".split0.m2v", ".split1.m2v", ".split2.m2v"}), raw},
      {name + "_ts", Codec::Mpeg2, files({".ts"}), raw},
      {name + "_m2ts", Codec::Mpeg2, files({".m2ts"}), raw},
      // mplex leaves out the last coded picture: the program stream is its own reference.
      {name + "_ps", Codec::Mpeg2, files({".vob"}), CorpusPath(name + ".vob")},
  };
}

std::vector<SuiteStream> Vc1Packagings(const std::string& name) {
  const std::string raw = Vc1Sample(name + ".vc1");
  return {
      {name, Codec::Vc1, {raw}, raw},
      {name + "_ts", Codec::Vc1, {CorpusPath(name + ".ts")}, raw},
      {name + "_m2ts", Codec::Vc1, {CorpusPath(name + ".m2ts")}, raw},
      {name + "_ps", Codec::Vc1, {CorpusPath(name + ".vob")}, raw},
  };
}

const std::vector<SuiteStream>& Streams() {
  static const std::vector<SuiteStream> streams = [] {
    std::vector<SuiteStream> all;
    for (const char* name :
         {"m2v_prog_closed", "m2v_prog_open", "m2v_int_tff", "m2v_int_bff", "m2v_pulldown32", "m2v_progseq_rff"})
      for (SuiteStream& s : Mpeg2Packagings(name)) all.push_back(s);
    for (const char* name : {"vc1_ap_gops", "vc1_ap_pulldown", "vc1_ap_interlace_rff"})
      for (SuiteStream& s : Vc1Packagings(name)) all.push_back(s);
    all.push_back({"vc1_ap_intra", Codec::Vc1, {Vc1Sample("vc1_ap_intra.vc1")}, Vc1Sample("vc1_ap_intra.vc1")});
    return all;
  }();
  return streams;
}

class Mpeg2Vc1AccuracyTest : public ::testing::TestWithParam<SuiteCase> {};

TEST_P(Mpeg2Vc1AccuracyTest, EveryServedFrameInEveryRequestOrderMatchesTheReference) {
  const SuiteStream& stream = StreamNamed(Streams(), GetParam().stream);
  if (const std::string missing = MissingFile(stream); !missing.empty())
    GTEST_SKIP() << "stream file missing: " << missing;
  ExpectServedFramesMatch(stream, GetParam().fieldop, kAllOrders);
}

std::vector<SuiteCase> AllCases() {
  std::vector<SuiteCase> cases;
  for (const SuiteStream& stream : Streams()) cases.push_back({stream.name, 2});
  // Fields woven and pictures repeated as the stream's flags say, and force film.
  for (const char* base : {"m2v_pulldown32", "m2v_progseq_rff", "m2v_int_tff", "m2v_int_bff"})
    for (const SuiteStream& stream : Mpeg2Packagings(base)) cases.push_back({stream.name, 0});
  for (const SuiteStream& stream : Mpeg2Packagings("m2v_pulldown32")) cases.push_back({stream.name, 1});
  for (const char* base : {"vc1_ap_pulldown", "vc1_ap_interlace_rff"})
    for (const SuiteStream& stream : Vc1Packagings(base)) cases.push_back({stream.name, 0});
  cases.push_back({"vc1_ap_gops", 0});
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<SuiteCase>& info) { return SuiteCaseName(info.param); }

INSTANTIATE_TEST_SUITE_P(Mpeg2Vc1, Mpeg2Vc1AccuracyTest, ::testing::ValuesIn(AllCases()), CaseName);

// ---- the readers' result codes reach the script ----

TEST(Mpeg2Vc1ReaderCodes, NoSequenceLineIsNoGopsFound) {
  CaseSkips skips;
  for (const char* name : {"m2v_prog_open", "vc1_ap_gops"}) {
    const SuiteStream& stream = StreamNamed(Streams(), name);
    if (skips.Missing(stream.files[0])) continue;
    const std::string index = IndexFor(stream.files, stream.name);
    EXPECT_EQ(ErrorOfOpen(IndexWithout(index, "SEQ ", std::string(name) + "_noseq"), 2), "Orvanto: No GOPs found.")
        << name;
  }
  SKIP_IF_CASES_MISSED(skips);
}

TEST(Mpeg2Vc1ReaderCodes, FrameRepeatsUnderForceFilm) {
  const std::string text = "Orvanto: Force Film mode not supported with frame repeats.\nRefer to the Cobrisk Users Manual.";
  CaseSkips skips;
  for (const char* name : {"m2v_progseq_rff", "vc1_ap_pulldown"}) {
    const SuiteStream& stream = StreamNamed(Streams(), name);
    if (skips.Missing(stream.files[0])) continue;
    EXPECT_EQ(ErrorOfOpen(IndexFor(stream.files, stream.name), 1), text) << name;
  }
  SKIP_IF_CASES_MISSED(skips);
}

// ---- a priming that fails ----

// The source holds no sequence header any more (overwritten after indexing): the first
// run's priming fails. The request that started it ends with the message instead of
// waiting for a picture that never comes, later requests say the same, and the clip
// goes away at once.
TEST(Mpeg2Vc1Priming, AFailedPrimingEndsTheRequestWithItsMessage) {
  CaseSkips skips;
  for (const char* name : {"m2v_prog_closed", "vc1_ap_gops"}) {
    const SuiteStream& stream = StreamNamed(Streams(), name);
    if (skips.Missing(stream.files[0])) continue;
    const std::string copy = WorkFolder() + "/" + name + "_no_header.bin";
    ASSERT_EQ(RunCommand("cp '" + stream.files[0] + "' '" + copy + "'"), 0);
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
  SKIP_IF_CASES_MISSED(skips);
}

}  // namespace
