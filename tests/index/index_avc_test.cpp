// The AVC reader: GOP lines, frame lines and their display frames, the closing trim.
#include <string>

#include "index_test_support.h"

namespace {

using AvcIndexTest = IndexFileTest;

// One frame line: slice type, picture order, picture structure, hint.
std::string Frame(int sliceType, int pictureOrder, int picStruct, int hint = 0) {
  return "FRM " + std::to_string(sliceType) + " " + std::to_string(pictureOrder) + " " +
         std::to_string(picStruct) + " " + std::to_string(hint) + "\n";
}

// Frames with picture structures, picture order rising by 1.
std::string Frames(std::initializer_list<int> picStructs, int firstOrder = 0) {
  std::string text;
  int order = firstOrder;
  for (int picStruct : picStructs) text += Frame(0, order++, picStruct);
  return text;
}

TEST_F(AvcIndexTest, GopLinesMergeWhenNoFrameLiesBetween) {
  const std::string body = Frame(2, 0, 3) +  // before the first GOP: ignored
                           "SPS 10\nPPS 20\nI 100\nIDR 200\n" + Frames({3, 3}) +
                           "RPS 300\nSPS 330\nI 400\n" + Frames({3}, 2) + "IDR 500\n" + Frames({3}, 3);
  ASSERT_EQ(Read(IndexKind::Avc, body), kIndexOk);
  ASSERT_EQ(source_->gopCount, 3);
  const GopRecord& first = *source_->gopTable[0];
  EXPECT_EQ(first.firstFrame, 0);
  EXPECT_EQ(first.position, 200u);
  EXPECT_EQ(first.isIdr, 1);
  EXPECT_EQ(first.merged, 1);
  const GopRecord& second = *source_->gopTable[1];
  EXPECT_EQ(second.firstFrame, 2);
  EXPECT_EQ(second.position, 400u);
  EXPECT_EQ(second.isIdr, 0);
  EXPECT_EQ(second.merged, 1);
  const GopRecord& third = *source_->gopTable[2];
  EXPECT_EQ(third.firstFrame, 3);
  EXPECT_EQ(third.position, 500u);
  EXPECT_EQ(third.isIdr, 1);
  EXPECT_EQ(third.merged, 0);
  EXPECT_EQ(source_->gopTable[3], nullptr);
  ASSERT_EQ(source_->spsCount, 2);
  EXPECT_EQ(source_->spsOffsets[0], 10u);
  EXPECT_EQ(source_->spsOffsets[1], 330u);
  ASSERT_EQ(source_->ppsCount, 1);
  EXPECT_EQ(source_->ppsOffsets[0], 20u);
  EXPECT_EQ(source_->displayFrameCount, 4);
}

TEST_F(AvcIndexTest, FrameLinesStoreTheirValues) {
  ASSERT_EQ(Read(IndexKind::Avc, "IDR 0\n" + Frame(7, 4, 255, 12345) + "FRM 1 -2 3\nFRMX 6 8\n"),
            kIndexOk);
  const FrameEntry* table = source_->frameTable;
  EXPECT_EQ(table[0].sliceType, 7);
  EXPECT_EQ(table[0].pictureOrder, 4);
  EXPECT_EQ(table[0].picStruct, 255);
  EXPECT_EQ(table[0].hintValue, 12345);
  EXPECT_EQ(table[1].sliceType, 1);
  EXPECT_EQ(table[1].pictureOrder, -2);
  EXPECT_EQ(table[1].hintValue, 0);
  // "FRM" anywhere in a line makes a frame line; missing values stay 0.
  EXPECT_EQ(table[2].sliceType, 6);
  EXPECT_EQ(table[2].pictureOrder, 8);
  EXPECT_EQ(table[2].picStruct, 0);
}

TEST_F(AvcIndexTest, DisplayFramesByFieldop) {
  struct Case {
    std::string name;
    int fieldop;
    std::string frames;
    DisplayList expected;
    bool softPulldown;
  };
  const Case cases[] = {
      {"fieldop 2: one display frame per coded frame", 2, Frames({5, 7, 8, 3}), Whole({0, 1, 2, 3}), true},
      {"three-field frames 5 4 6 3", 0, Frames({5, 4, 6, 3}),
       {{0, 0}, {0, 1}, {1, 2}, {2, 2}, {3, 3}}, true},
      {"bottom first then top first", 0, Frames({6, 3, 5, 4}),
       {{0, 0}, {1, 0}, {2, 1}, {2, 2}, {3, 3}}, true},
      {"frame doubling and tripling", 0, Frames({7, 3, 8}), Whole({0, 0, 1, 2, 2, 2}), false},
      {"plain frames", 0, Frames({0, 1, 2, 3, 4, 255}), Whole({0, 1, 2, 3, 4, 5}), false},
      {"any other fieldop acts as 0", 9, Frames({5, 4, 6, 3}),
       {{0, 0}, {0, 1}, {1, 2}, {2, 2}, {3, 3}}, true},
      {"a pending field at the end is not shown", 0, Frames({3, 5}), Whole({0, 1}), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Read(IndexKind::Avc, "IDR 0\n" + c.frames, c.fieldop), kIndexOk);
    EXPECT_EQ(Displays(), c.expected);
    EXPECT_EQ(source_->softPulldown, c.softPulldown ? 1 : 0);
    ReleaseIndexData(source_.get());
  }
}

TEST_F(AvcIndexTest, ForceFilmCadence) {
  // Plain frames: the third is dropped, then every fifth.
  ASSERT_EQ(Read(IndexKind::Avc, "IDR 0\n" + Frames({3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3}), 1),
            kIndexOk);
  EXPECT_EQ(Displays(), Whole({0, 1, 3, 4, 5, 6, 8, 9, 10, 11}));
  ReleaseIndexData(source_.get());

  // Three-field frames: the third is doubled, then every fifth.
  ASSERT_EQ(Read(IndexKind::Avc, "IDR 0\n" + Frames({5, 6, 5, 6, 5, 6, 5, 6, 5}), 1), kIndexOk);
  EXPECT_EQ(Displays(), Whole({0, 1, 2, 2, 3, 4, 5, 6, 7, 7, 8}));
  EXPECT_EQ(source_->softPulldown, 1);
  ReleaseIndexData(source_.get());

  // A 3:2 cadence of soft and plain frames shows every coded frame once.
  ASSERT_EQ(Read(IndexKind::Avc, "IDR 0\n" + Frames({5, 4, 6, 3, 5, 4, 6, 3}), 1), kIndexOk);
  EXPECT_EQ(Displays(), Whole({0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(AvcIndexTest, ForceFilmRefusesFrameRepeats) {
  for (int picStruct : {7, 8}) {
    SCOPED_TRACE(picStruct);
    EXPECT_EQ(Read(IndexKind::Avc, "IDR 0\n" + Frames({3, 3, picStruct, 3}), 1), kIndexForceFilmRepeats);
    ReleaseIndexData(source_.get());
    EXPECT_EQ(Read(IndexKind::Avc, "IDR 0\n" + Frames({3, 3, picStruct, 3}), 0), kIndexOk);
    ReleaseIndexData(source_.get());
  }
}

TEST_F(AvcIndexTest, TrailingFramesWithPictureOrderJumpsAreCut) {
  // Two GOPs; the step (2) comes from the first GOP with more than one frame.
  auto withTail = [](int tail) {
    std::string text = "IDR 0\n" + Frames({3, 3, 3, 3}) + "I 100\n" + Frames({3, 3, 3, 3}, 8);
    int order = 11;
    for (int i = 0; i < tail; ++i) {
      order += 5;
      text += Frame(0, order, 3);
    }
    return text;
  };
  struct Case {
    int tail;
    int fieldop;
    int expected;
  };
  const Case cases[] = {{0, 2, 8}, {3, 2, 8}, {20, 2, 8}, {21, 2, 29}, {3, 0, 8}, {3, 1, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "tail " << c.tail << " fieldop " << c.fieldop);
    ASSERT_EQ(Read(IndexKind::Avc, withTail(c.tail), c.fieldop), kIndexOk);
    EXPECT_EQ(source_->displayFrameCount, c.expected);
    ReleaseIndexData(source_.get());
  }

  // A single-frame first GOP is passed over when finding the step (here 4).
  ASSERT_EQ(Read(IndexKind::Avc, "IDR 0\n" + Frame(2, 0, 3) + "I 10\n" + Frame(0, 4, 3) + Frame(0, 8, 3) +
                                      Frame(0, 12, 3) + Frame(0, 16, 3) + "I 20\n" + Frame(0, 21, 3)),
            kIndexOk);
  EXPECT_EQ(source_->displayFrameCount, 5);
}

TEST_F(AvcIndexTest, LeadingSkipCountsBFramesOfANonIdrStart) {
  struct Case {
    std::string name;
    std::string body;
    int expected;
  };
  const Case cases[] = {
      {"non-IDR start, three B", "I 0\n" + Frame(1, 4, 3) + Frame(6, 2, 3) + Frame(1, 6, 3) + Frame(0, 8, 3) +
                                     Frame(1, 10, 3),
       3},
      {"IDR start", "IDR 0\n" + Frame(1, 4, 3) + Frame(6, 2, 3), 0},
      {"non-IDR start, I first", "RPS 0\n" + Frame(2, 0, 3) + Frame(1, 2, 3), 0},
      {"all B", "I 0\n" + Frame(1, 0, 3) + Frame(1, 2, 3), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Read(IndexKind::Avc, c.body), kIndexOk);
    EXPECT_EQ(source_->leadingSkipCount, c.expected);
    ReleaseIndexData(source_.get());
  }
}

TEST_F(AvcIndexTest, NoGopLineGivesCodeSix) {
  EXPECT_EQ(Read(IndexKind::Avc, Frames({3, 3}) + "SIZ 64 x 64\n"), kIndexNoGop);
  ReleaseIndexData(source_.get());
  // "I" without its blank is no GOP line.
  EXPECT_EQ(Read(IndexKind::Avc, "I\nINFO 3\n" + Frames({3})), kIndexNoGop);
}

}  // namespace
