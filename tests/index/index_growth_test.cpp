// Indexes past the initial table capacity read whole.
#include <cstdio>
#include <string>

#include "index_test_support.h"

namespace {

using IndexGrowthTest = IndexFileTest;

constexpr int kFrames = 1050000;

TEST_F(IndexGrowthTest, AvcIndexWithAGopPerFrameGrowsTheFrameAndGopTables) {
  std::string body = "SPS 0\n";
  body.reserve(static_cast<size_t>(kFrames) * 32);
  char line[96];
  for (int i = 0; i < kFrames; ++i) {
    snprintf(line, sizeof line, "I %d\nFRM %d %d 3 %d\n", i * 10, i == 0 ? 2 : 0, 2 * i, i);
    body += line;
  }
  ASSERT_EQ(Read(IndexKind::Avc, body, 2), kIndexOk);
  EXPECT_EQ(source_->gopCount, kFrames);
  EXPECT_EQ(source_->displayFrameCount, kFrames);
  EXPECT_GE(source_->gopCapacity, kFrames);
  EXPECT_EQ(source_->gopCapacity % 500000, 0);
  EXPECT_GE(source_->frameCapacity, kFrames + 2);
  const int last = kFrames - 1;
  EXPECT_EQ(source_->gopTable[last]->firstFrame, last);
  EXPECT_EQ(source_->gopTable[last]->position, static_cast<uint64_t>(last) * 10);
  EXPECT_EQ(source_->frameTable[last].hintValue, last);
  EXPECT_EQ(source_->frameTable[last].topFrame, last);
  EXPECT_EQ(source_->frameTable[1000000].pictureOrder, 2000000);
}

TEST_F(IndexGrowthTest, Mpeg2DisplayEntriesPastTheCapacity) {
  // 600,000 coded frames, each shown twice: the display entries outgrow the table.
  constexpr int kCoded = 600000;
  std::string body = "SEQ 0\nSEQEXT 1\nGOP 1 0\n";
  body.reserve(static_cast<size_t>(kCoded) * 14 + 64);
  for (int i = 0; i < kCoded; ++i) body += "FRM P 0 0 1 1\n";
  ASSERT_EQ(Read(IndexKind::Mpeg2, body, 0), kIndexOk);
  ASSERT_EQ(source_->displayFrameCount, 2 * kCoded);
  EXPECT_GE(source_->frameCapacity, 2 * kCoded + 2);
  EXPECT_EQ(source_->frameTable[2 * kCoded - 1].topFrame, kCoded - 1);
  EXPECT_EQ(source_->frameTable[2 * kCoded - 2].bottomFrame, kCoded - 1);
  EXPECT_EQ(source_->frameTable[1000001].topFrame, 500000);
}

}  // namespace
