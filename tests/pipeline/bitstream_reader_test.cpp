#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "pipeline/bitstream_reader.h"
#include "pipeline/sample_utils.h"
#include "scripted_units.h"

namespace {

class BitstreamReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetScriptedUnits();
    owner = std::make_unique<SourceState>();
    owner->needSync = 0;
    ASSERT_EQ(InitBitstream(&bitstream, 0xA00000), MFX_ERR_NONE);
  }
  void TearDown() override { FreeBitstream(&bitstream); }

  // What the decoder would do: take everything that was appended.
  std::vector<uint8_t> consumeAll() {
    std::vector<uint8_t> taken(bitstream.Data + bitstream.DataOffset,
                               bitstream.Data + bitstream.DataOffset + bitstream.DataLength);
    bitstream.DataOffset += bitstream.DataLength;
    bitstream.DataLength = 0;
    return taken;
  }

  static std::vector<uint8_t> concat(std::initializer_list<size_t> indices) {
    std::vector<uint8_t> joined;
    for (size_t i : indices) joined.insert(joined.end(), Script().units[i].begin(), Script().units[i].end());
    return joined;
  }

  std::unique_ptr<SourceState> owner;
  mfxBitstream bitstream{};
  CSmplBitstreamReader reader;
};

}  // namespace

TEST_F(BitstreamReaderTest, ExhaustedSourceKeepsUnreadBytesAtTheFront) {
  std::memcpy(bitstream.Data + 10, "abcde", 5);
  bitstream.DataOffset = 10;
  bitstream.DataLength = 5;
  EXPECT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_MORE_DATA);
  EXPECT_EQ(bitstream.DataOffset, 0u);
  EXPECT_EQ(bitstream.DataLength, 5u);
  EXPECT_EQ(std::memcmp(bitstream.Data, "abcde", 5), 0);
  EXPECT_EQ(owner->stagingFill, 0u);
}

TEST_F(BitstreamReaderTest, GathersUntilFiveMebibytesThenAppendsInOrder) {
  for (uint8_t i = 0; i < 8; ++i) Script().units.push_back(MakeUnit(1000000, i));
  bitstream.DecodeTimeStamp = 5;
  bitstream.TimeStamp = 5;
  ASSERT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NONE);
  // Five units stay below 0x500000; the sixth takes the fill past it.
  EXPECT_EQ(bitstream.DataLength, 6000000u);
  EXPECT_EQ(bitstream.DecodeTimeStamp, -1);
  EXPECT_EQ(bitstream.TimeStamp, ~mfxU64{0});
  EXPECT_EQ(owner->stagingFill, 0u);
  EXPECT_EQ(consumeAll(), concat({0, 1, 2, 3, 4, 5}));

  ASSERT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NONE);
  EXPECT_EQ(consumeAll(), concat({6, 7}));
  EXPECT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_MORE_DATA);
  EXPECT_EQ(Script().avcCalls, 10);  // the end is asked for once per call
  EXPECT_EQ(Script().otherCalls, 0);
}

TEST_F(BitstreamReaderTest, AUnitLargerThanTheFreeSpaceWaitsForTheNextCall) {
  Script().units = {MakeUnit(3000000, 1), MakeUnit(7000000, 2), MakeUnit(20, 3)};
  // The decoder left 4,000,000 bytes unread, not at the front.
  std::vector<uint8_t> unread(4000000, 0x55);
  std::memcpy(bitstream.Data + 100, unread.data(), unread.size());
  bitstream.DataOffset = 100;
  bitstream.DataLength = 4000000;

  ASSERT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NONE);
  EXPECT_EQ(bitstream.DataOffset, 0u);
  EXPECT_EQ(bitstream.DataLength, 7000000u);  // unread bytes + the first unit only
  EXPECT_TRUE(reader.HasHeldUnit());
  std::vector<uint8_t> expected = unread;
  std::vector<uint8_t> first = concat({0});
  expected.insert(expected.end(), first.begin(), first.end());
  EXPECT_EQ(consumeAll(), expected);

  // With the space back, the kept unit comes first, whole (and alone: it passes the
  // target), then the rest.
  ASSERT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NONE);
  EXPECT_EQ(consumeAll(), concat({1}));
  ASSERT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NONE);
  EXPECT_EQ(consumeAll(), concat({2}));
  EXPECT_FALSE(reader.HasHeldUnit());
  EXPECT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_MORE_DATA);
}

TEST_F(BitstreamReaderTest, UnitThatFindsNoRoomAtAllIsReportedAndKept) {
  Script().units = {MakeUnit(7000000, 1), MakeUnit(10, 2)};
  owner->codecKind = kCodecVc1;
  bitstream.DataLength = 4000000;  // unread and still wanted by the decoder
  EXPECT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NOT_ENOUGH_BUFFER);
  EXPECT_EQ(bitstream.DataLength, 4000000u);
  bitstream.DataOffset = 4000000;  // now consumed
  bitstream.DataLength = 0;
  ASSERT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NONE);
  EXPECT_EQ(consumeAll(), concat({0}));
  ASSERT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NONE);
  EXPECT_EQ(consumeAll(), concat({1}));
  EXPECT_EQ(Script().avcCalls, 0);
}

TEST_F(BitstreamReaderTest, StagingBufferIsNeverOverrun) {
  // A larger bitstream, so the staging buffer is the limit: 5,000,000 bytes are
  // below the target, and the next 6,000,000 would not fit in 0xA00000.
  FreeBitstream(&bitstream);
  ASSERT_EQ(InitBitstream(&bitstream, 20000000), MFX_ERR_NONE);
  Script().units = {MakeUnit(5000000, 1), MakeUnit(6000000, 2), MakeUnit(8000000, 3)};
  ASSERT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NONE);
  EXPECT_EQ(bitstream.DataLength, 5000000u);
  ASSERT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NONE);
  EXPECT_EQ(bitstream.DataLength, 11000000u);  // 6,000,000 alone passes the target
  ASSERT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NONE);
  EXPECT_EQ(bitstream.DataLength, 19000000u);
  EXPECT_EQ(consumeAll(), concat({0, 1, 2}));
}

TEST_F(BitstreamReaderTest, CodecKindChoosesTheExtractorAndFailureEndsPulling) {
  owner->codecKind = kCodecMpeg2;
  Script().units = {MakeUnit(10, 1), MakeUnit(11, 2)};
  Script().endResult = -1;  // no start code found
  ASSERT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NONE);
  EXPECT_EQ(consumeAll(), concat({0, 1}));
  EXPECT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_MORE_DATA);
  EXPECT_EQ(Script().avcCalls, 0);
  EXPECT_EQ(Script().otherCalls, 4);
}

TEST_F(BitstreamReaderTest, AKeptUnitIsForgottenWhenTheSourceIsRepositioned) {
  Script().units = {MakeUnit(7000000, 1), MakeUnit(10, 2), MakeUnit(12, 3)};
  bitstream.DataLength = 4000000;
  EXPECT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NOT_ENOUGH_BUFFER);
  EXPECT_TRUE(reader.HasHeldUnit());
  // A seek: fresh bitstream, needSync set; the unit buffer no longer holds the unit.
  ASSERT_EQ(InitBitstream(&bitstream, 0xA00000), MFX_ERR_NONE);
  owner->needSync = 1;
  ASSERT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NONE);
  EXPECT_EQ(consumeAll(), concat({1, 2}));

  Script().units.push_back(MakeUnit(7500000, 4));
  Script().units.push_back(MakeUnit(10, 5));
  bitstream.DataLength = 4000000;
  EXPECT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NOT_ENOUGH_BUFFER);
  reader.DropHeldUnit();
  bitstream.DataLength = 0;
  ASSERT_EQ(reader.ReadNextFrame(&bitstream, owner.get(), owner.get()), MFX_ERR_NONE);
  EXPECT_EQ(consumeAll(), concat({4}));
}

TEST(SampleUtils, InitBitstreamRefusesSizeZeroAndKeepsTheOldBlock) {
  mfxBitstream bitstream{};
  ASSERT_EQ(InitBitstream(&bitstream, 64), MFX_ERR_NONE);
  mfxU8* old = bitstream.Data;
  bitstream.DataLength = 3;
  bitstream.DataOffset = 2;
  testing::internal::CaptureStderr();
  EXPECT_EQ(InitBitstream(&bitstream, 0), MFX_ERR_NOT_INITIALIZED);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\nReturn on error: error code -8,\tsample_utils.cpp\t73\n\n");
  EXPECT_EQ(bitstream.Data, old);
  EXPECT_EQ(bitstream.MaxLength, 64u);

  ASSERT_EQ(InitBitstream(&bitstream, 128), MFX_ERR_NONE);
  EXPECT_EQ(bitstream.MaxLength, 128u);
  EXPECT_EQ(bitstream.DataLength, 0u);
  EXPECT_EQ(bitstream.DataOffset, 0u);
  bitstream.Data[127] = 1;  // the whole block is there
  FreeBitstream(&bitstream);
  EXPECT_EQ(bitstream.Data, nullptr);
  FreeBitstream(&bitstream);
  FreeBitstream(nullptr);
  EXPECT_EQ(InitBitstream(nullptr, 64), MFX_ERR_NULL_PTR);
}
