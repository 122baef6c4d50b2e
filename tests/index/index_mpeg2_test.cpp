// The MPEG-2 reader: sequence lines as start points, repeat flags and force film.
#include <string>

#include "index_test_support.h"

namespace {

using Mpeg2IndexTest = IndexFileTest;

// One frame line: type letter, an unused number, top_field_first, repeat_first_field,
// progressive_frame.
std::string Frame(const char* type, int topFirst, int repeatFirst, int progressive = 0) {
  return std::string("FRM ") + type + " 7 " + std::to_string(topFirst) + " " + std::to_string(repeatFirst) +
         " " + std::to_string(progressive) + "\n";
}

std::string PlainFrames(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += Frame("P", 0, 0);
  return text;
}

const std::string kInterlaced = "SEQ 0\nGOP 1 0\n";
const std::string kProgressive = "SEQ 0\nSEQEXT 1\nGOP 1 0\n";

TEST_F(Mpeg2IndexTest, StartPointsAndTheirValues) {
  const std::string body = Frame("I", 0, 0) + "GOP 0 9\nSEQEXT 1\n" +  // before any SEQ: ignored
                           "SEQ 6000000000\nSEQEXT 1\nGOP 0 5\n" + Frame("I", 0, 0, 1) + Frame("B", 0, 0, 0) +
                           "SEQ 700\nSEQ 800\nGOP 1 2\n" + Frame("P", 0, 0, 1);
  ASSERT_EQ(Read(IndexKind::Mpeg2, body), kIndexOk);
  ASSERT_EQ(source_->gopCount, 3);
  const GopRecord& first = *source_->gopTable[0];
  EXPECT_EQ(first.firstFrame, 0);
  EXPECT_EQ(first.sequencePosition, 6000000000u);
  EXPECT_EQ(first.sequenceValue, 1);
  EXPECT_EQ(first.closedFlag, 0);
  EXPECT_EQ(first.hintBits, 5);
  // Two sequence lines without a frame between them are two records.
  EXPECT_EQ(source_->gopTable[1]->firstFrame, 2);
  EXPECT_EQ(source_->gopTable[1]->sequencePosition, 700u);
  EXPECT_EQ(source_->gopTable[1]->closedFlag, 0);
  EXPECT_EQ(source_->gopTable[2]->firstFrame, 2);
  EXPECT_EQ(source_->gopTable[2]->sequencePosition, 800u);
  EXPECT_EQ(source_->gopTable[2]->sequenceValue, 0);
  EXPECT_EQ(source_->gopTable[2]->closedFlag, 1);
  EXPECT_EQ(source_->gopTable[2]->hintBits, 2);
  EXPECT_EQ(source_->displayFrameCount, 3);

  const FrameEntry* table = source_->frameTable;
  EXPECT_EQ(table[0].pictureType, 0);
  EXPECT_EQ(table[0].frameFlag, 1);
  EXPECT_EQ(table[1].pictureType, 3);
  EXPECT_EQ(table[1].frameFlag, 0);
  EXPECT_EQ(table[2].pictureType, 1);
}

TEST_F(Mpeg2IndexTest, TypeLetters) {
  ASSERT_EQ(Read(IndexKind::Mpeg2, kInterlaced + Frame("I", 0, 0) + Frame("Bx", 0, 0) + Frame("D", 0, 0) +
                                       "FRM\nFRM P\n"),
            kIndexOk);
  const FrameEntry* table = source_->frameTable;
  EXPECT_EQ(table[0].pictureType, 0);
  EXPECT_EQ(table[1].pictureType, 3);  // only the first letter counts
  EXPECT_EQ(table[2].pictureType, -1);
  EXPECT_EQ(table[3].pictureType, -1);
  EXPECT_EQ(table[4].pictureType, 1);
  EXPECT_EQ(source_->displayFrameCount, 5);
}

TEST_F(Mpeg2IndexTest, DisplayFramesByFieldop) {
  const std::string wxyz = Frame("I", 1, 1) + Frame("B", 0, 0) + Frame("B", 0, 1) + Frame("P", 1, 0);
  struct Case {
    std::string name;
    int fieldop;
    std::string body;
    DisplayList expected;
    bool softPulldown;
  };
  const Case cases[] = {
      {"interlaced worked example", 0, kInterlaced + wxyz, {{0, 0}, {0, 1}, {1, 2}, {2, 2}, {3, 3}}, true},
      {"fieldop 2", 2, kInterlaced + wxyz, Whole({0, 1, 2, 3}), true},
      {"progressive repeats", 0,
       kProgressive + Frame("I", 0, 1) + Frame("P", 1, 1) + Frame("B", 1, 0) + Frame("B", 0, 0),
       Whole({0, 0, 1, 1, 1, 2, 3}), false},
      {"carry flags run across sequence lines", 0,
       kInterlaced + Frame("I", 1, 1) + "SEQ 50\n" + Frame("I", 0, 0), {{0, 0}, {0, 1}}, true},
      {"other fieldop values act as 0", -3, kInterlaced + wxyz, {{0, 0}, {0, 1}, {1, 2}, {2, 2}, {3, 3}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Read(IndexKind::Mpeg2, c.body, c.fieldop), kIndexOk);
    EXPECT_EQ(Displays(), c.expected);
    EXPECT_EQ(source_->softPulldown, c.softPulldown ? 1 : 0);
    ReleaseIndexData(source_.get());
  }
}

TEST_F(Mpeg2IndexTest, ForceFilm) {
  struct Case {
    std::string name;
    std::string frames;
    DisplayList expected;
  };
  std::string alternating, repeats;
  for (int i = 0; i < 6; ++i) alternating += Frame("P", i % 2, 1 - i % 2);
  for (int i = 0; i < 9; ++i) repeats += Frame("P", 1, 1);
  const Case cases[] = {
      {"alternating repeats", alternating, Whole({0, 1, 2, 3, 4, 5})},
      {"plain run", PlainFrames(13), Whole({0, 1, 3, 4, 5, 6, 8, 9, 10, 11})},
      {"repeat run", repeats, Whole({0, 1, 2, 2, 3, 4, 5, 6, 7, 7, 8})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Read(IndexKind::Mpeg2, kInterlaced + c.frames, 1), kIndexOk);
    EXPECT_EQ(Displays(), c.expected);
    ReleaseIndexData(source_.get());
  }

  // A progressive sequence with any repeat flag cannot be shown as film.
  EXPECT_EQ(Read(IndexKind::Mpeg2, kProgressive + PlainFrames(2) + Frame("P", 1, 0), 1), kIndexForceFilmRepeats);
  ReleaseIndexData(source_.get());
  EXPECT_EQ(Read(IndexKind::Mpeg2, kProgressive + Frame("P", 0, 1), 1), kIndexForceFilmRepeats);
  ReleaseIndexData(source_.get());
  EXPECT_EQ(Read(IndexKind::Mpeg2, kProgressive + PlainFrames(4), 1), kIndexOk);
}

TEST_F(Mpeg2IndexTest, LeadingSkipCountsDisplayFramesOfOpenGopBFrames) {
  const std::string open = "SEQ 0\nGOP 0 0\n";
  struct Case {
    std::string name;
    int fieldop;
    std::string body;
    int expected;
  };
  const Case cases[] = {
      {"fieldop 2", 2, open + Frame("B", 0, 0) + Frame("B", 0, 0) + Frame("I", 0, 0) + Frame("B", 0, 0), 2},
      {"fieldop 0 with carried fields", 0,
       open + Frame("B", 1, 1) + Frame("B", 0, 0) + Frame("I", 0, 0) + Frame("P", 0, 0) + Frame("P", 0, 0), 3},
      {"closed GOP", 2, "SEQ 0\nGOP 1 0\n" + Frame("B", 0, 0) + Frame("I", 0, 0), 0},
      {"I first", 2, open + Frame("I", 0, 0) + Frame("B", 0, 0), 0},
      {"only B frames", 2, open + Frame("B", 0, 0) + Frame("B", 0, 0), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Read(IndexKind::Mpeg2, c.body, c.fieldop), kIndexOk);
    EXPECT_EQ(source_->leadingSkipCount, c.expected);
    ReleaseIndexData(source_.get());
  }
}

TEST_F(Mpeg2IndexTest, NoSequenceLineGivesCodeSix) {
  EXPECT_EQ(Read(IndexKind::Mpeg2, "GOP 1 0\nSEQEXT 1\n" + PlainFrames(3) + "SEQ\n"), kIndexNoGop);
  ReleaseIndexData(source_.get());
  // "SEQ" needs its blank; AVC GOP lines mean nothing here.
  EXPECT_EQ(Read(IndexKind::Mpeg2, "SEQEXT 1\nIDR 0\nSEQX 1\n" + PlainFrames(3)), kIndexNoGop);
}

}  // namespace
