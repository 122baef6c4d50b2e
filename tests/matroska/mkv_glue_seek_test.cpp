// The Matroska glue's seek by frame time over hand-built files: the frame a seek serves first
// when the exact start lies further from the half-second back-off than the reads that usually
// find it (a high frame rate), in an open GOP whose leading pictures follow their anchor in
// the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "mkv_test_support.h"
#include "source/index_readers.h"
#include "source/mkv_source.h"
#include "source/stream_readers.h"

namespace {

constexpr uint64_t kFrameMs = 5;  // 200 frames a second
constexpr int kFrames = 600;

// The frame shown n-th: one unit whose second and third bytes carry n.
Bytes FrameUnit(int n) { return Bytes("\x65", 1) + char(n >> 8) + char(n & 0xFF) + Bytes(20, '\x5a'); }

// Shown frames in groups of three stored anchor first, its two leading pictures behind it
// (shown 0, 1, 2, 5, 3, 4, 8, 6, 7, ...), 60 to a Cluster; times in milliseconds.
Bytes OpenGopFile() {
  Bytes clusters;
  for (int first = 0; first < kFrames; first += 60) {
    Bytes blocks;
    for (int group = first; group < first + 60; group += 3)
      for (int k = 0; k < 3; ++k) {
        // The first group in shown order, so that times count from frame 0.
        const int n = group == 0 ? k : k == 0 ? group + 2 : group + k - 1;
        const Bytes unit = FrameUnit(n);
        Bytes data = Bytes(3, '\0') + char(unit.size()) + unit;
        blocks += simpleBlock(1, int16_t((n - first) * kFrameMs), n % 3 == 2 ? 0x80 : 0x00, data);
      }
    clusters += cluster(uint64_t(first) * kFrameMs, blocks);
  }
  return ebmlHeader() + element(eid::Segment, segmentInfo() +
                                                  element(eid::Tracks, trackEntry(1, 1, "V_MPEG4/ISO/AVC")) + clusters);
}

class MkvGlueSeek : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (std::filesystem::temp_directory_path() / ("tessivar-glue-" + std::to_string(getpid()) + ".mkv")).string();
    FILE* out = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    const Bytes bytes = OpenGopFile();
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
    std::fclose(out);
    state_->streamKind = kStreamMatroska;
    state_->codecKind = kCodecAvc;
    state_->byteGetter = GetEsByte;
    state_->sourceFiles[0] = std::fopen(path_.c_str(), "rb");
    state_->sourceCount = 1;
    ASSERT_EQ(OpenMkvVideoTrack(state_.get()), 0);
  }
  void TearDown() override {
    ReleaseIndexData(state_.get());
    std::remove(path_.c_str());
  }

  // The shown number of the frame a seek to the time serves first; -1 when the bytes are
  // not a frame's start.
  int FrameAfterSeek(uint64_t timeNs) {
    SeekStream(state_.get(), timeNs);
    uint8_t b[7];
    for (uint8_t& byte : b)
      if (GetEsByte(state_.get(), &byte) != 0) return -1;
    if (b[0] != 0 || b[1] != 0 || b[2] != 0 || b[3] != 1 || b[4] != 0x65) return -1;
    return (b[5] << 8) | b[6];
  }

  std::string path_;
  std::unique_ptr<SourceState> state_ = std::make_unique<SourceState>();
};

TEST_F(MkvGlueSeek, ExactStartFoundBeyondTheUsualReadsInAnOpenGop) {
  const struct {
    int shown;       // the frame whose start is sought
    int served;      // the frame served first
  } cases[] = {
      {2, 2},      // inside the first half second: read from the start
      {242, 242},  // 100 frames behind the back-off point
      {599, 599},  // the last anchor
      {302, 302},
      {122, 122},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(FrameAfterSeek(uint64_t(c.shown) * kFrameMs * 1000000), c.served);
  }
  // No frame starts at the time: the first frame a fresh seek to it gives.
  EXPECT_EQ(FrameAfterSeek(242 * kFrameMs * 1000000 + 1000000), 243);
}

}  // namespace
