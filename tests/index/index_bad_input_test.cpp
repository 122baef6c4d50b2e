// Damaged and hostile index files: every one gives a result code or a defined clip.
#include <random>
#include <set>
#include <string>

#include "index_test_support.h"

namespace {

using BadIndexTest = IndexFileTest;

const std::set<int> kReaderCodes = {kIndexOk,     kIndexEmpty, kIndexVersionMismatch, kIndexFileFailure,
                                    kIndexWrongKind, kIndexNoGop, kIndexForceFilmRepeats,
                                    kIndexContainerUnreadable, kIndexNoVideoTrack};

struct Sample {
  IndexKind kind;
  std::string body;
};

std::vector<Sample> Samples() {
  return {
      {IndexKind::Avc, "STREAM 0\nSIZ 64 x 48\nFPS 25 / 1\nCLIP 0 0 0 0\nSPS 0\nPPS 9\nIDR 0\n"
                       "FRM 2 0 5 1\nFRM 0 2 4 2\nFRM 1 1 6 3\nI 900\nFRM 2 4 7 4\nFRM 0 6 8 5\n"},
      {IndexKind::Mpeg2, "STREAM 0\nSIZ 64 x 48\nSEQ 0\nSEQEXT 0\nGOP 0 3\nFRM B 0 1 1 0\n"
                         "FRM I 1 0 0 1\nSEQ 500\nGOP 1 1\nFRM P 2 0 1 1\nFRM B 3 1 0 0\n"},
      {IndexKind::Vc1, "STREAM 0\nSIZ 64 x 48\nSEQ 0 1 0 0 5u\nENTRY 0 0\nFRM 3 0 3\nFRM 0 0 0\n"
                       "SEQ 400 0 0 0 2u\nFRM 1 0 2\nFRM 4 0 255\n"},
  };
}

void ExpectDefinedResult(const SourceState& source, int code) {
  ASSERT_TRUE(kReaderCodes.count(code)) << "code " << code;
  if (code != kIndexOk) return;
  EXPECT_GE(source.displayFrameCount, 0);
  EXPECT_GE(source.leadingSkipCount, 0);
  EXPECT_GT(source.gopCount, 0);
}

TEST_F(BadIndexTest, EveryTruncationOfAnIndexReadsToADefinedEnd) {
  for (const Sample& sample : Samples()) {
    const std::string text = IndexText(sample.kind, sample.body);
    // Cuts spread over the whole file (at line ends, inside values and keywords),
    // each under one of the three fieldop values in turn.
    for (size_t length = 0; length <= text.size(); length += 11) {
      const int fieldop = static_cast<int>(length / 11 % 3);
      SCOPED_TRACE(testing::Message() << MagicOf(sample.kind) << " fieldop " << fieldop << " cut at " << length);
      const std::string path = WriteFile("cut.vqi", text.substr(0, length));
      source_->fieldop = fieldop;
      const int code = ReadIndex(sample.kind, source_.get(), path.c_str());
      ExpectDefinedResult(*source_, code);
      ReleaseIndexData(source_.get());
    }
  }
}

TEST_F(BadIndexTest, GarbageKeywordLinesReadToADefinedEnd) {
  std::mt19937 random(20261209);
  const std::string alphabet = "FRMSEQGOPIDRNTY 0123456789-xu/,\t\r";
  for (const Sample& sample : Samples()) {
    for (int round = 0; round < 12; ++round) {
      std::string garbage;
      for (int i = 0; i < 400; ++i) {
        const unsigned pick = random() % 100;
        if (pick < 8) garbage += '\n';
        else if (pick < 12) garbage += static_cast<char>(random() % 256);
        else garbage += alphabet[random() % alphabet.size()];
      }
      SCOPED_TRACE(testing::Message() << MagicOf(sample.kind) << " round " << round);
      const int fieldop = round % 3;
      const int code = Read(sample.kind, sample.body + garbage + "\n" + sample.body, fieldop);
      ExpectDefinedResult(*source_, code);
      ReleaseIndexData(source_.get());
    }
  }
}

TEST_F(BadIndexTest, ExtremeNumbersStayDefined) {
  const std::string extremes = "SIZ -2147483648 x 99999999999999\nCLIP 2147483647 -5 -2147483648 7\n"
                               "FPS -1 / 0\nPKTSIZ -188\nVPID 99999999999\n";
  // Picture orders at both ends of the range for the trim, GOP positions past 2^64.
  std::string avc = extremes + "IDR 99999999999999999999999\nFRM 1 2147483647 5 -1\nFRM 1 -2147483648 6 0\n"
                               "I -1\nFRM 6 2147483647 3 0\nFRM 0 -2147483648 3 0\n";
  for (int fieldop : {0, 1, 2}) {
    SCOPED_TRACE(fieldop);
    ASSERT_EQ(Read(IndexKind::Avc, avc, fieldop), kIndexOk);
    EXPECT_EQ(source_->codedWidth, INT32_MIN);
    EXPECT_EQ(source_->codedHeight, INT32_MAX);
    EXPECT_EQ(source_->gopTable[0]->position, UINT64_MAX);
    EXPECT_EQ(source_->gopTable[1]->position, UINT64_MAX);
    EXPECT_EQ(source_->leadingSkipCount, 0);
    EXPECT_GE(source_->displayFrameCount, 0);
    EXPECT_LE(source_->displayFrameCount, 5);
    if (fieldop == 1) {
      EXPECT_EQ(source_->frameRateNum, static_cast<int32_t>(3435973836u));
    }
    ReleaseIndexData(source_.get());
  }
  // An MPEG-2 frame line with out-of-range flags; a VC-1 line with a negative code.
  ASSERT_EQ(Read(IndexKind::Mpeg2, extremes + "SEQ 1\nSEQEXT -9\nFRM I 1 -2147483648 99999999999 3\n", 0),
            kIndexOk);
  EXPECT_EQ(Displays(), Whole({0, 0, 0}));
  ReleaseIndexData(source_.get());
  ASSERT_EQ(Read(IndexKind::Vc1, extremes + "SEQ 1 -1 0 0 -7u\nFRM -3 0 -2147483648\n", 0), kIndexOk);
  EXPECT_EQ(source_->gopTable[0]->hintBits, -7);
  EXPECT_EQ(source_->frameTable[0].pictureType, -3);
}

TEST_F(BadIndexTest, OverlongLinesAreReadInPieces) {
  // A keyword line longer than one read continues as the next line; a long
  // source line does the same within the source list.
  const std::string longValue(60000, '7');
  ASSERT_EQ(Read(IndexKind::Avc, "IDR 0\nFRM 2 0 3 " + longValue + "\nFRM 2 1 3 0\n"), kIndexOk);
  EXPECT_EQ(source_->frameTable[0].hintValue, INT32_MAX);
  EXPECT_EQ(source_->displayFrameCount, 2);
  ReleaseIndexData(source_.get());

  // The first piece of this source line has no blank: the list ends before any
  // source, and an index without a source is refused.
  const std::string path = WriteFile("long.vqi", "VQAVCIndexFileJX14\nfree\nfree\n" + std::string(2500, 'p') +
                                                     " 10\n\nIDR 0\nFRM 2 0 3 0\n");
  EXPECT_EQ(ReadAvcIndex(source_.get(), path.c_str()), kIndexFileFailure);
  EXPECT_EQ(source_->sourceCount, 0);
}

}  // namespace
