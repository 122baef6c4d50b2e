// The VC-1 reader: sequence and entry-point lines, pulldown values as field flags
// or frame repeat counts.
#include <string>

#include "index_test_support.h"

namespace {

using Vc1IndexTest = IndexFileTest;

// A sequence line: position, interlace flag, unused, segmented flag, hint code.
std::string Sequence(int interlaced, int segmented, const char* hint = "0u", const char* position = "0") {
  return std::string("SEQ ") + position + " " + std::to_string(interlaced) + " 0 " + std::to_string(segmented) +
         " " + hint + "\n";
}

// A frame line: coding type, unused, pulldown value.
std::string Frame(int type, int pulldown) {
  return "FRM " + std::to_string(type) + " 0 " + std::to_string(pulldown) + "\n";
}

std::string Frames(int type, std::initializer_list<int> pulldowns) {
  std::string text;
  for (int pulldown : pulldowns) text += Frame(type, pulldown);
  return text;
}

TEST_F(Vc1IndexTest, SequenceAndEntryLines) {
  const std::string body = "ENTRY 0 1\n" + Frame(0, 255) +  // before any SEQ: ignored
                           Sequence(1, 0, "6u", "5000000000") + "ENTRY 9 1\n" + Frames(0, {255, 255}) +
                           Sequence(0, 1, "3") + Frames(1, {255}) + Sequence(0, 0, "7u") + "ENTRYX 1 1\n";
  ASSERT_EQ(Read(IndexKind::Vc1, body), kIndexOk);
  ASSERT_EQ(source_->gopCount, 3);
  const GopRecord& first = *source_->gopTable[0];
  EXPECT_EQ(first.firstFrame, 0);
  EXPECT_EQ(first.sequencePosition, 5000000000u);
  EXPECT_EQ(first.hintBits, 6);
  EXPECT_EQ(first.closedFlag, 1);
  EXPECT_EQ(source_->gopTable[1]->firstFrame, 2);
  EXPECT_EQ(source_->gopTable[1]->hintBits, 3);
  EXPECT_EQ(source_->gopTable[1]->closedFlag, 0);
  EXPECT_EQ(source_->gopTable[2]->firstFrame, 3);
  EXPECT_EQ(source_->gopTable[2]->closedFlag, 0);
  EXPECT_EQ(source_->displayFrameCount, 3);
}

TEST_F(Vc1IndexTest, CodingTypesAreStoredUnchanged) {
  ASSERT_EQ(Read(IndexKind::Vc1, Sequence(0, 0) + "ENTRY 0 0\n" + Frames(4, {255}) + Frames(2, {255}) +
                                     Frames(3, {255})),
            kIndexOk);
  EXPECT_EQ(source_->frameTable[0].pictureType, 4);
  EXPECT_EQ(source_->frameTable[1].pictureType, 2);
  EXPECT_EQ(source_->frameTable[2].pictureType, 3);
  // BI and P-skip are no B frames.
  EXPECT_EQ(source_->leadingSkipCount, 0);
}

TEST_F(Vc1IndexTest, DisplayFramesByFieldop) {
  struct Case {
    std::string name;
    int fieldop;
    std::string body;
    DisplayList expected;
    bool softPulldown;
  };
  const Case cases[] = {
      {"field flags, worked example", 0, Sequence(1, 0) + Frames(0, {3, 0, 1, 2}),
       {{0, 0}, {0, 1}, {1, 2}, {2, 2}, {3, 3}}, true},
      {"top field first only", 0, Sequence(1, 0) + Frames(0, {2, 2, 2}), Whole({0, 1, 2}), false},
      {"repeat counts", 0, Sequence(0, 0) + Frames(0, {2, 0, 1}), Whole({0, 0, 0, 1, 2, 2}), false},
      {"segmented frames take repeat counts", 0, Sequence(1, 1) + Frames(0, {3, 1}), Whole({0, 0, 0, 0, 1, 1}),
       false},
      {"a negative repeat count adds nothing", 0, Sequence(0, 0) + Frames(0, {-4, 0}), Whole({1}), false},
      {"no pulldown information", 0, Sequence(0, 0) + Frames(0, {255, 255, 255}), Whole({0, 1, 2}), false},
      {"fieldop 2", 2, Sequence(0, 0) + Frames(0, {2, 0, 3}), Whole({0, 1, 2}), false},
      {"fieldop 2 keeps soft pulldown", 2, Sequence(1, 0) + Frames(0, {1, 0}), Whole({0, 1}), true},
      {"force film over field flags", 1, Sequence(1, 0) + Frames(0, {0, 0, 0, 0, 0, 0, 0, 0}),
       Whole({0, 1, 3, 4, 5, 6}), false},
      {"force film, 3:2 flags", 1, Sequence(1, 0) + Frames(0, {3, 0, 1, 2, 3, 0}), Whole({0, 1, 2, 3, 4, 5}),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Read(IndexKind::Vc1, c.body, c.fieldop), kIndexOk);
    EXPECT_EQ(Displays(), c.expected);
    EXPECT_EQ(source_->softPulldown, c.softPulldown ? 1 : 0);
    ReleaseIndexData(source_.get());
  }
}

TEST_F(Vc1IndexTest, ForceFilmRefusesRepeatCounts) {
  for (int pulldown : {0, 1, 2, 3}) {
    SCOPED_TRACE(pulldown);
    EXPECT_EQ(Read(IndexKind::Vc1, Sequence(0, 0) + Frames(0, {255, pulldown, 255}), 1), kIndexForceFilmRepeats);
    ReleaseIndexData(source_.get());
  }
  EXPECT_EQ(Read(IndexKind::Vc1, Sequence(0, 0) + Frames(0, {255, 255}), 1), kIndexOk);
}

TEST_F(Vc1IndexTest, LeadingSkipCountsCodedBFrames) {
  struct Case {
    std::string name;
    std::string body;
    int expected;
  };
  const Case cases[] = {
      {"open entry, three B", Sequence(0, 0) + "ENTRY 0 0\n" + Frames(3, {2, 2, 2}) + Frames(0, {0}), 3},
      {"no entry line counts as open", Sequence(0, 0) + Frames(3, {255, 255}) + Frames(1, {255}), 2},
      {"closed entry", Sequence(0, 0) + "ENTRY 0 1\n" + Frames(3, {255, 255}), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Read(IndexKind::Vc1, c.body, 0), kIndexOk);
    EXPECT_EQ(source_->leadingSkipCount, c.expected);
    ReleaseIndexData(source_.get());
  }
}

TEST_F(Vc1IndexTest, AbsurdRepeatCountIsRefused) {
  EXPECT_EQ(Read(IndexKind::Vc1, Sequence(0, 0) + Frames(0, {1, 100000000}), 0), kIndexFileFailure);
  ReleaseIndexData(source_.get());
  EXPECT_EQ(Read(IndexKind::Vc1, Sequence(0, 0) + Frames(0, {1, 2147483647}), 0), kIndexFileFailure);
  ReleaseIndexData(source_.get());
  // Shown one frame per coded frame, the same count means nothing.
  EXPECT_EQ(Read(IndexKind::Vc1, Sequence(0, 0) + Frames(0, {1, 2147483647}), 2), kIndexOk);
  EXPECT_EQ(source_->displayFrameCount, 2);
}

TEST_F(Vc1IndexTest, NoSequenceLineGivesCodeSix) {
  EXPECT_EQ(Read(IndexKind::Vc1, "ENTRY 0 1\nSEQ\nGOP 0 1\nSEQEXT 1\n" + Frames(0, {255, 255})), kIndexNoGop);
}

}  // namespace
