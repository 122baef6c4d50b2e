// The MPEG-2 and VC-1 feeds without a decoder: which sequence record a seek starts
// from, and what a run hands to the decode loop.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/sample_utils.h"
#include "source/mpeg2_vc1_feed.h"
#include "source/source_decoder.h"
#include "source/stream_readers.h"

namespace {

// ---- record choice ----

class RecordChoiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state = std::make_unique<SourceState>();
    frames.assign(200, FrameEntry{});
    state->frameTable = frames.data();
    for (int n = 0; n < 200; ++n) frames[n].topFrame = frames[n].bottomFrame = n;
  }
  void AddRecord(int first, int closed = 1) {
    records.push_back(std::make_unique<GopRecord>());
    records.back()->firstFrame = first;
    records.back()->sequencePosition = uint64_t(first) * 1000;
    records.back()->closedFlag = closed;
    pointers.push_back(records.back().get());
    state->gopTable = pointers.data();
    state->gopCount = int32_t(pointers.size());
  }
  GopChoice Mpeg2(int target) { return ChooseMpeg2Gop(state.get(), target); }
  GopChoice Vc1(int target) { return ChooseVc1Gop(state.get(), target); }

  std::unique_ptr<SourceState> state;
  std::vector<FrameEntry> frames;
  std::vector<std::unique_ptr<GopRecord>> records;
  std::vector<GopRecord*> pointers;
};

TEST_F(RecordChoiceTest, OneRecordStartsAtItForEveryTarget) {
  AddRecord(0, 0);
  for (int target : {0, 1, 57, 199}) {
    EXPECT_EQ(Mpeg2(target).gop, 0);
    EXPECT_EQ(Mpeg2(target).framesToSkip, target + 1);
    EXPECT_EQ(Vc1(target).gop, 0);
    EXPECT_EQ(Vc1(target).framesToSkip, target + 1);
  }
}

TEST_F(RecordChoiceTest, Mpeg2AlwaysStartsOneRecordBack) {
  AddRecord(0);
  AddRecord(12);
  AddRecord(24);
  AddRecord(36);
  // In the first record: no step back.
  EXPECT_EQ(Mpeg2(0).gop, 0);
  EXPECT_EQ(Mpeg2(11).gop, 0);
  EXPECT_EQ(Mpeg2(11).framesToSkip, 12);
  // The first frame of the second record is reached from the first.
  EXPECT_EQ(Mpeg2(12).gop, 0);
  EXPECT_EQ(Mpeg2(12).framesToSkip, 13);
  // Third record: every frame of the second is passed over.
  EXPECT_EQ(Mpeg2(30).gop, 1);
  EXPECT_EQ(Mpeg2(30).framesToSkip, 19);
  // At or beyond the last record's first frame: the one before the last.
  EXPECT_EQ(Mpeg2(36).gop, 2);
  EXPECT_EQ(Mpeg2(36).framesToSkip, 13);
  EXPECT_EQ(Mpeg2(199).gop, 2);
  EXPECT_EQ(Mpeg2(199).framesToSkip, 176);
}

TEST_F(RecordChoiceTest, Mpeg2SplitDisplayFrameCountsItsLaterField) {
  AddRecord(0);
  AddRecord(12);
  AddRecord(24);
  frames[30].topFrame = 24;  // bottom field first: the top field comes later
  frames[30].bottomFrame = 23;
  EXPECT_EQ(Mpeg2(30).gop, 1);
  EXPECT_EQ(Mpeg2(30).framesToSkip, 13);
}

TEST_F(RecordChoiceTest, Vc1ClosedEntryWithWholeFramesStaysInItsRecord) {
  AddRecord(0);
  AddRecord(6);
  AddRecord(12);
  EXPECT_EQ(Vc1(6).gop, 1);
  EXPECT_EQ(Vc1(6).framesToSkip, 1);
  EXPECT_EQ(Vc1(11).gop, 1);
  EXPECT_EQ(Vc1(11).framesToSkip, 6);
  EXPECT_EQ(Vc1(150).gop, 2);
  EXPECT_EQ(Vc1(150).framesToSkip, 139);
}

TEST_F(RecordChoiceTest, Vc1StepsBackForAFieldFromThePreviousRecord) {
  AddRecord(0);
  AddRecord(6);
  AddRecord(12);
  frames[7].topFrame = 5;  // the earlier field comes from the last frame of record 0
  frames[7].bottomFrame = 6;
  EXPECT_EQ(Vc1(7).gop, 0);
  EXPECT_EQ(Vc1(7).framesToSkip, 7);
  // Two fields of one record, the later one not its first frame: no step back.
  frames[8].topFrame = 6;
  frames[8].bottomFrame = 7;
  EXPECT_EQ(Vc1(8).gop, 1);
  EXPECT_EQ(Vc1(8).framesToSkip, 2);
}

TEST_F(RecordChoiceTest, Vc1StepsBackFromAnOpenEntry) {
  AddRecord(0, 0);
  AddRecord(6, 0);
  AddRecord(12, 1);
  EXPECT_EQ(Vc1(2).gop, 0);  // the first record never steps back
  EXPECT_EQ(Vc1(8).gop, 0);
  EXPECT_EQ(Vc1(8).framesToSkip, 9);
  EXPECT_EQ(Vc1(13).gop, 2);
  // Both reasons together still step back one record only.
  frames[14].topFrame = 6;
  frames[14].bottomFrame = 5;
  EXPECT_EQ(Vc1(14).gop, 0);
  EXPECT_EQ(Vc1(14).framesToSkip, 7);
}

// ---- one run of the feed ----

// Stands in for the decode loop: records what the feed handed over.
class RecordingSource : public SourceDecoder {
 public:
  mfxStatus RunDecoding(SourceState* owner, SourceState* owner2) override {
    ++runs;
    sameOwners = owner == this && owner2 == this;
    seekReadySet = WaitForSingleObject(seekReadyEvent, 0) == WAIT_OBJECT_0;
    skipAtRun = framesToSkip;
    bitstreamSize = bitstream.MaxLength;
    bitstreamFill = bitstream.DataLength;
    if (unitExtractor(this) == 1) firstUnit.assign(unit.data, unit.data + unit.length);
    return MFX_ERR_NONE;
  }
  int runs = 0;
  bool sameOwners = false;
  bool seekReadySet = false;
  int32_t skipAtRun = -1;
  uint32_t bitstreamSize = 0;
  uint32_t bitstreamFill = 1;
  std::vector<uint8_t> firstUnit;
};

class FeedRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Two sequence headers, each followed by picture units; junk in front.
    const std::vector<uint8_t> stream = {
        0x12, 0x34, 0x00, 0x00, 0x01, 0xB3, 0x14, 0x00, 0x00, 0x01, 0x00, 0xAA,  // 2: seq A
        0x00, 0x00, 0x01, 0x00, 0xBB, 0x00, 0x00, 0x01, 0xB3, 0x28, 0x00, 0x00,  // 17: seq B
        0x01, 0x00, 0xCC, 0x00, 0x00, 0x01, 0x00, 0xDD};
    path = ::testing::TempDir() + "feed_units_" + std::to_string(getpid()) + ".m2v";
    FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(stream.data(), 1, stream.size(), out);
    std::fclose(out);

    source = std::make_unique<RecordingSource>();
    source->sourceCount = 1;
    source->sourceFiles[0] = std::fopen(path.c_str(), "rb");
    source->sourceSizes[0] = stream.size();
    source->byteGetter = GetEsByte;
    source->unitExtractor = ReadNextUnit;
    source->seekReadyEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    source->decoderReady = true;  // primed already: the decoder is not needed

    frames.assign(8, FrameEntry{});
    for (int n = 0; n < 8; ++n) frames[n].topFrame = frames[n].bottomFrame = n;
    source->frameTable = frames.data();
    for (auto [first, position] : {std::pair{0, 2}, std::pair{4, 17}}) {
      records.push_back(std::make_unique<GopRecord>());
      records.back()->firstFrame = first;
      records.back()->sequencePosition = uint64_t(position);
      records.back()->closedFlag = 1;
      pointers.push_back(records.back().get());
    }
    source->gopTable = pointers.data();
    source->gopCount = 2;
  }
  void TearDown() override {
    std::fclose(source->sourceFiles[0]);
    source->sourceFiles[0] = nullptr;
    CloseHandle(source->seekReadyEvent);
    source->frameTable = nullptr;
    source->gopTable = nullptr;
    std::remove(path.c_str());
  }
  std::string path;
  std::unique_ptr<RecordingSource> source;
  std::vector<FrameEntry> frames;
  std::vector<std::unique_ptr<GopRecord>> records;
  std::vector<GopRecord*> pointers;
};

TEST_F(FeedRunTest, Vc1RunStartsAtTheRecordsSequenceHeaderWithAnEmptyBitstream) {
  // Leftovers of an earlier run that must not reach the decoder.
  ASSERT_EQ(InitBitstream(&source->bitstream, 4096), MFX_ERR_NONE);
  source->bitstream.DataLength = 100;
  source->targetFrame = 6;
  Vc1SeekAndFeed(source.get());
  EXPECT_EQ(source->runs, 1);
  EXPECT_TRUE(source->sameOwners);
  EXPECT_TRUE(source->seekReadySet);
  EXPECT_EQ(source->skipAtRun, 3);
  EXPECT_EQ(source->bitstreamSize, 10485760u);
  EXPECT_EQ(source->bitstreamFill, 0u);
  EXPECT_EQ(source->firstUnit, (std::vector<uint8_t>{0x00, 0x00, 0x01, 0xB3, 0x28}));
}

TEST_F(FeedRunTest, Mpeg2RunStartsOneRecordBack) {
  source->targetFrame = 6;
  Mpeg2SeekAndFeed(source.get());
  EXPECT_EQ(source->runs, 1);
  EXPECT_EQ(source->skipAtRun, 7);
  EXPECT_EQ(source->bitstreamFill, 0u);
  EXPECT_EQ(source->firstUnit, (std::vector<uint8_t>{0x00, 0x00, 0x01, 0xB3, 0x14}));
}

}  // namespace
