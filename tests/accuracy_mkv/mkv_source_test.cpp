// The Matroska glue seen through the byte getter, without a decoder: which track a
// codec takes, which frame a seek time gives, and the bytes a frame becomes (start
// codes for unit lengths, the stripped header restored, the terminator, and what is
// handed out after a seek and when a frame is reached onward).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "source/index_readers.h"
#include "source/mkv_source.h"
#include "source/stream_readers.h"
#include "tests/accuracy/case_skips.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string TestFile(const std::string& name) { return std::string(TESSIVAR_MKV_CORPUS_DIR) + "/" + name; }

bool Have(const std::string& name) {
  FILE* f = std::fopen(TestFile(name).c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

// A source state as an index reader leaves it for a Matroska file.
struct MkvSource {
  std::unique_ptr<SourceState> state = std::make_unique<SourceState>();
  int32_t opened = -1;

  MkvSource(const std::string& name, int32_t codecKind) {
    state->streamKind = kStreamMatroska;
    state->codecKind = codecKind;
    state->byteGetter = GetEsByte;
    state->sourceFiles[0] = std::fopen(TestFile(name).c_str(), "rb");
    state->sourceCount = state->sourceFiles[0] ? 1 : 0;
    opened = OpenMkvVideoTrack(state.get());
  }
  ~MkvSource() { ReleaseIndexData(state.get()); }

  // Up to count bytes from the getter (fewer when it reports the end).
  Bytes Next(size_t count) {
    Bytes out;
    uint8_t byte;
    while (out.size() < count && GetEsByte(state.get(), &byte) == 0) out.push_back(byte);
    return out;
  }
  Bytes AfterSeek(uint64_t time, size_t count) {
    SeekStream(state.get(), time);
    return Next(count);
  }
};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const Bytes kStart4 = {0, 0, 0, 1};
const Bytes kStart3 = {0, 0, 1};
// The two units of frame k of the unit_nal files.
Bytes Unit1(uint8_t k) { return {0x65, k, 0xA1, 0xA2}; }
Bytes Unit2(uint8_t k) { return {0x41, k, 0xB1}; }

TEST(MkvTrackChoice, FirstTrackOfTheCodecOrTheReason) {
  struct Case {
    const char* file;
    int32_t codecKind;
    int32_t result;
    uint32_t track;
  };
  const Case cases[] = {
      {"avc_second_track.mkv", kCodecAvc, 0, 1},  // an MPEG-4 part 2 track comes first
      {"m2v_prog_open.mkv", kCodecAvc, 2, 0},
      {"m2v_prog_open.mkv", kCodecMpeg2, 0, 0},
      {"vc1_ap_gops.mkv", kCodecVc1, 0, 0},       // V_MS/VFW/FOURCC with WVC1
      {"vc1_codec_vc1.mkv", kCodecVc1, 0, 0},
      {"vc1_wmv3.mkv", kCodecVc1, 2, 0},
      {"avc_x264.mkv", kCodecMpeg2, 2, 0},
      {"avc_x264.mkv.vqi", kCodecAvc, 1, 0},      // not a Matroska file
  };
  CaseSkips skips;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    if (skips.Missing(TestFile(c.file))) continue;
    MkvSource source(c.file, c.codecKind);
    EXPECT_EQ(source.opened, c.result);
    EXPECT_EQ(source.state->mkvFile != nullptr, c.result == 0);
    if (c.result == 0) {
      EXPECT_EQ(source.state->mkvVideoTrack, c.track);
    }
  }
  SKIP_IF_CASES_MISSED(skips);
}

// Frames start every 250 ms; frame k's units carry k.
TEST(MkvSeekTimes, ExactStartOrTheFirstFrameAfterAFreshSeek) {
  if (!Have("unit_nal4.mkv")) GTEST_SKIP() << "Matroska test file missing: unit_nal4.mkv";
  MkvSource source("unit_nal4.mkv", kCodecAvc);
  ASSERT_EQ(source.opened, 0);
  const struct {
    uint64_t time;
    uint8_t frame;
  } cases[] = {
      {0, 0},
      {500000000, 2},   // found reading from the start
      {500000001, 3},   // no frame starts there: the first frame from a fresh seek to it
      {600000000, 3},
      {1250000000, 5},  // backed off by half a second, found among the reads
      {250000000, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.time);
    EXPECT_EQ(source.AfterSeek(c.time, 8), Cat({kStart4, Unit1(c.frame)}));
  }
}

TEST(MkvFrameBytes, UnitLengthsBecomeStartCodesAndHeadersAreRestored) {
  struct Case {
    const char* file;
    int32_t codecKind;
    uint64_t seek;
    Bytes expected;  // the bytes from the seek to the end of the stream
  };
  // Two-unit frames: after a seek the frame from its first start code, onward frames
  // from their first unit; the 00 00 01 behind each frame stands for the next one's
  // start code. The last frame's second length runs past it: its bytes stay as they are.
  Bytes twoUnits = Cat({kStart4, Unit1(5), kStart4, Unit2(5), kStart3, Unit1(6), kStart4, Unit2(6), kStart3});
  Bytes stripped = Cat({kStart3, {0xB3, 5, 0xC1}, kStart3, {0xB3, 6, 0xC1}, kStart3});
  // The middle frame does not fit the source buffer: passed over.
  Bytes huge = Cat({kStart4, Unit1(0), kStart4, Unit2(0), kStart3, Unit1(2), kStart4, Unit2(2), kStart3});
  const Case cases[] = {
      {"unit_nal4.mkv", kCodecAvc, 1250000000, twoUnits},
      {"unit_nal2.mkv", kCodecAvc, 1250000000, twoUnits},
      {"unit_prefix.mkv", kCodecMpeg2, 1250000000, stripped},
      {"unit_huge.mkv", kCodecAvc, 0, huge},
  };
  CaseSkips skips;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    if (skips.Missing(TestFile(c.file))) continue;
    MkvSource source(c.file, c.codecKind);
    ASSERT_EQ(source.opened, 0);
    Bytes got = source.AfterSeek(c.seek, c.expected.size() + 100);
    EXPECT_EQ(got, c.expected);
    uint8_t byte;
    EXPECT_EQ(GetEsByte(source.state.get(), &byte), -1) << "the end stays the end until a seek";
    EXPECT_EQ(source.AfterSeek(c.seek, 4), Bytes(c.expected.begin(), c.expected.begin() + 4));
  }
  SKIP_IF_CASES_MISSED(skips);
}

// Tags, an unknown element and (in one file) chapter atoms nested 100,000 levels deep
// before the first Cluster: the file opens without running out of stack and its frames
// are read; the atoms past the reader's depth bound are dropped.
TEST(MkvDeepNesting, OpensAndReadsWithoutExhaustingTheStack) {
  struct Case {
    const char* file;
    Bytes expected;
  };
  const Case cases[] = {
      {"unit_nested_tags.mkv", Cat({kStart4, Unit1(2)})},
      {"unit_nested.mkv", Cat({kStart4, Unit1(2)})},
  };
  CaseSkips skips;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    if (skips.Missing(TestFile(c.file))) continue;
    MkvSource source(c.file, kCodecAvc);
    ASSERT_EQ(source.opened, 0);
    EXPECT_EQ(source.AfterSeek(500000000, 8), c.expected);
  }
  SKIP_IF_CASES_MISSED(skips);
}

// A frame that does not fit the source buffer is not loaded by a seek either: the
// stream goes on with the frame after it, from its first start code.
TEST(MkvFrameBytes, SeekToAFrameTooLargeGoesOnWithTheNext) {
  if (!Have("unit_huge.mkv")) GTEST_SKIP() << "Matroska test file missing: unit_huge.mkv";
  MkvSource source("unit_huge.mkv", kCodecAvc);
  ASSERT_EQ(source.opened, 0);
  EXPECT_EQ(source.AfterSeek(250000000, 8), Cat({kStart4, Unit1(2)}));
}

}  // namespace
