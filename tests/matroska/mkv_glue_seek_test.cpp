// The Matroska glue's seek by frame time over hand-built files: the frame a seek serves first
// when the exact start lies further from the half-second back-off than the reads that usually
// find it (a high frame rate), in an open GOP whose leading pictures follow their anchor in
// the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "mkv_test_support.h"
#include "source/index_readers.h"
#include "source/mkv_source.h"
#include "source/stream_readers.h"

namespace {

constexpr uint64_t kFrameMs = 5;  // 200 frames a second
constexpr int kFrames = 600;

// The frame shown n-th: one unit whose second and third bytes carry n.
Bytes FrameUnit(int n, size_t padding) { return Bytes("\x65", 1) + char(n >> 8) + char(n & 0xFF) + Bytes(padding, '\x5a'); }

// Shown frames in groups of three stored anchor first, its two leading pictures behind it
// (shown 0, 1, 2, 5, 3, 4, 8, 6, 7, ...), 60 to a Cluster; times in milliseconds.
// With frameDuration (ns) the track states its frames' default duration.
Bytes OpenGopFile(int frames = kFrames, size_t padding = 20, uint64_t frameDuration = 0) {
  Bytes clusters;
  for (int first = 0; first < frames; first += 60) {
    Bytes blocks;
    for (int group = first; group < first + 60; group += 3)
      for (int k = 0; k < 3; ++k) {
        // The first group in shown order, so that times count from frame 0.
        const int n = group == 0 ? k : k == 0 ? group + 2 : group + k - 1;
        const Bytes unit = FrameUnit(n, padding);
        Bytes data = Bytes(2, '\0') + char(unit.size() >> 8) + char(unit.size() & 0xFF) + unit;
        blocks += simpleBlock(1, int16_t((n - first) * kFrameMs), n % 3 == 2 ? 0x80 : 0x00, data);
      }
    clusters += cluster(uint64_t(first) * kFrameMs, blocks);
  }
  const Bytes duration = frameDuration ? uintElement(eid::DefaultDuration, frameDuration) : Bytes();
  return ebmlHeader() + element(eid::Segment, segmentInfo() +
                                                  element(eid::Tracks, trackEntry(1, 1, "V_MPEG4/ISO/AVC", duration)) +
                                                  clusters);
}

class MkvGlueSeek : public ::testing::Test {
 protected:
  void SetUp() override { Open(OpenGopFile()); }
  void Open(const Bytes& bytes) {
    path_ = (std::filesystem::temp_directory_path() / ("tessivar-glue-" + std::to_string(getpid()) + ".mkv")).string();
    FILE* out = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(out, nullptr);
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

// Bytes the process has read so far through its read calls.
uint64_t ProcessReadBytes() {
  std::ifstream io("/proc/self/io");
  for (std::string key; io >> key;) {
    uint64_t value = 0;
    io >> value;
    if (key == "rchar:") return value;
  }
  return 0;
}

// 20 seconds of 4 KB frames, no Cues: a seek that read on to the end of the track would
// read megabytes.
class MkvGlueSeekReach : public MkvGlueSeek {
 protected:
  void SetUp() override { Open(OpenGopFile(4000, 4000)); }

  // The stream's first `count` bytes after a seek, and the bytes the process read for them.
  std::pair<std::string, uint64_t> Serve(uint64_t timeNs, size_t count) {
    const uint64_t before = ProcessReadBytes();
    SeekStream(state_.get(), timeNs);
    std::string out;
    uint8_t byte;
    while (out.size() < count && GetEsByte(state_.get(), &byte) == 0) out += char(byte);
    return {out, ProcessReadBytes() - before};
  }
};

// The shown numbers of the frames in served bytes, in order.
std::vector<int> FrameNumbers(const std::string& served) {
  std::vector<int> numbers;
  const std::string unitStart("\0\0\x01\x65", 4);
  for (size_t at = served.find(unitStart); at != std::string::npos && at + 6 <= served.size();
       at = served.find(unitStart, at + 4))
    numbers.push_back((uint8_t(served[at + 4]) << 8) | uint8_t(served[at + 5]));
  return numbers;
}

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

// The same file with the frames' duration stated: an index time that misses a GOP's anchor
// by a nanosecond or a millisecond, early or late, serves the anchor and then the frames an
// exact seek serves (late, the time lies inside the anchor's span; the next frame shown
// would be one of its leading pictures' successors).
class MkvGlueSeekWithDurations : public MkvGlueSeek {
 protected:
  void SetUp() override { Open(OpenGopFile(kFrames, 20, kFrameMs * 1000000)); }
};

TEST_F(MkvGlueSeekWithDurations, ATimeThatMissesTheAnchorEarlyOrLateServesTheAnchor) {
  for (int anchor : {242, 302, 599}) {
    const uint64_t time = uint64_t(anchor) * kFrameMs * 1000000;
    for (int64_t miss : {-1, 1, -1000000, 1000000}) {
      SCOPED_TRACE(std::to_string(anchor) + " missed by " + std::to_string(miss) + " ns");
      EXPECT_EQ(FrameAfterSeek(uint64_t(int64_t(time) + miss)), anchor);
    }
  }
}

// An index time a nanosecond before the frame's start (a rounding miss) serves
// the frames an exact one does (the anchor first, its leading pictures behind it) and reads
// about as much of the file: the read on from the back-off ends a back-off past the time.
TEST_F(MkvGlueSeekReach, ATimeThatMissesByANanosecondReadsAndServesAsAnExactOne) {
  if (ProcessReadBytes() == 0) GTEST_SKIP() << "no read count in /proc/self/io";
  const size_t tenFrames = 10 * (4 + 4003 + 3);
  Serve(uint64_t(1000) * kFrameMs * 1000000, 1);  // the first seek indexes the Clusters
  for (int shown : {1502, 242, 3005, 602}) {
    SCOPED_TRACE(shown);
    const uint64_t time = uint64_t(shown) * kFrameMs * 1000000;
    const auto [exact, exactRead] = Serve(time, tenFrames);
    const std::vector<int> served = FrameNumbers(exact);
    ASSERT_GE(served.size(), 10u);
    EXPECT_EQ(served[0], shown);
    EXPECT_EQ(served[1], shown - 2) << "the leading pictures behind their anchor";
    const auto [early, earlyRead] = Serve(time - 1, tenFrames);
    EXPECT_EQ(FrameNumbers(early), served) << "the same frames, in the same order";
    EXPECT_LE(earlyRead, 2 * exactRead + 262144) << "exact: " << exactRead;
    std::printf("frame %d: exact seek read %llu bytes, 1 ns early %llu\n", shown,
                (unsigned long long)exactRead, (unsigned long long)earlyRead);
  }
}

}  // namespace
