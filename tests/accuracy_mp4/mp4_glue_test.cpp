// The MP4 layer and the MP4 glue without a decoder, over small files built here: the
// track choice, the bytes the elementary-stream getter hands out after a seek and
// onward, and files whose tables are damaged.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/mp4/mp4_file.h"
#include "source/index_readers.h"
#include "source/mp4_source.h"
#include "source/stream_readers.h"
#include "tests/accuracy_mp4/mp4_builder.h"

namespace {

const std::string kSc4("\0\0\0\1", 4);
const std::string kSc3("\0\0\1", 3);

class Mp4GlueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-mp4-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (source_) ReleaseIndexData(source_.get());
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Write(const std::string& bytes) {
    return WriteTestFile((dir_ / ("f" + std::to_string(files_++) + ".mp4")).string(), bytes);
  }

  // A source state whose first source file is `path`, as the index reader leaves it
  // before the hand-off; returns OpenMp4VideoTrack's result.
  int32_t Open(const std::string& path, int32_t codecKind = kCodecAvc) {
    if (source_) ReleaseIndexData(source_.get());
    source_ = std::make_unique<SourceState>();
    source_->sourceCount = 1;
    source_->sourcePaths[0] = static_cast<char*>(calloc(kSourcePathSize, 1));
    std::strncpy(source_->sourcePaths[0], path.c_str(), kSourcePathSize - 1);
    source_->streamKind = kStreamMp4;
    source_->codecKind = codecKind;
    source_->byteGetter = GetEsByte;
    return OpenMp4VideoTrack(source_.get());
  }

  // Every byte the getter hands out until it returns -1 (which it must then repeat).
  std::string Drain() {
    std::string bytes;
    uint8_t byte;
    while (GetEsByte(source_.get(), &byte) == 0) {
      bytes += char(byte);
      if (bytes.size() > 20000000) break;
    }
    EXPECT_EQ(GetEsByte(source_.get(), &byte), -1);
    return bytes;
  }

  std::filesystem::path dir_;
  int files_ = 0;
  std::unique_ptr<SourceState> source_;
};

TrackSpec Video(const std::string& name, uint8_t objectType = 0) {
  TrackSpec track;
  track.entryName = name;
  track.objectType = objectType;
  track.samples = {std::string("\0\0\0\1\x65\x88", 6)};
  return track;
}

TrackSpec Audio() {
  TrackSpec track;
  track.handler = "soun";
  track.entryName = "mp4a";
  track.samples = {std::string(16, '\x21')};
  return track;
}

// The first video track of the index's codec; an AVC track whose parameter sets cannot be
// taken (a zero-length set) is refused at the open, with the reason, not at decoding.
TEST_F(Mp4GlueTest, TrackChoice) {
  struct Case {
    std::string name;
    std::vector<TrackSpec> tracks;
    int32_t codecKind;
    int32_t result;
    uint32_t track;
  };
  TrackSpec emptySps = Video("avc1"), emptyPps = Video("avc1");
  emptySps.sps.push_back("");
  emptyPps.pps = {""};
  const Case cases[] = {
      {"audio only", {Audio()}, kCodecAvc, 2, 0},
      {"MPEG-4 Part 2 only", {Video("mp4v", 0x20)}, kCodecAvc, 2, 0},
      {"HEVC only", {Video("hev1")}, kCodecAvc, 2, 0},
      {"MPEG-2 main", {Video("mp4v", 0x61)}, kCodecMpeg2, 0, 1},
      {"MPEG-2 simple", {Video("mp4v", 0x60)}, kCodecMpeg2, 0, 1},
      {"MPEG-2 4:2:2", {Video("mp4v", 0x65)}, kCodecMpeg2, 0, 1},
      {"MPEG-1", {Video("mp4v", 0x6A)}, kCodecMpeg2, 2, 0},
      {"VC-1", {Video("vc-1")}, kCodecVc1, 0, 1},
      {"MPEG-4 Part 2, then AVC", {Video("mp4v", 0x20), Video("avc1")}, kCodecAvc, 0, 2},
      {"audio, then AVC", {Audio(), Video("avc1")}, kCodecAvc, 0, 2},
      {"MPEG-2, then AVC, for AVC", {Video("mp4v", 0x61), Video("avc1")}, kCodecAvc, 0, 2},
      {"AVC, then MPEG-2, for MPEG-2", {Video("avc1"), Video("mp4v", 0x61)}, kCodecMpeg2, 0, 2},
      {"VC-1, then AVC, for VC-1", {Video("vc-1"), Video("avc1")}, kCodecVc1, 0, 1},
      {"MPEG-2 only, for AVC", {Video("mp4v", 0x61)}, kCodecAvc, 2, 0},
      {"AVC only, for VC-1", {Video("avc1")}, kCodecVc1, 2, 0},
      {"AVC only, for MPEG-2", {Video("avc1")}, kCodecMpeg2, 2, 0},
      {"AVC with a zero-length SPS", {emptySps}, kCodecAvc, 1, 0},
      {"AVC with a zero-length PPS", {emptyPps}, kCodecAvc, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Open(Write(BuildMp4(c.tracks).bytes), c.codecKind), c.result);
    if (c.result == 0) {
      EXPECT_EQ(source_->mp4Track, c.track);
    }
  }
  EXPECT_EQ(Open(Write("not an MP4 file at all, just text")), 1);
  EXPECT_EQ(Open((dir_ / "missing.mp4").string()), 1);
}

// Sample k (from 0) of the length-size tests: units of 5 and 7 bytes.
std::string Unit5(int k) { return std::string("\x41\x9a") + char('a' + k) + "bc"; }
std::string Unit7(int k) { return std::string("\x01\x9e") + char('A' + k) + "BCDE"; }

TEST_F(Mp4GlueTest, AvcSamplesBecomeStartCodeUnitsForEveryLengthSize) {
  for (int lengthSize : {1, 2, 3, 4}) {
    SCOPED_TRACE(lengthSize);
    TrackSpec track = Video("avc1");
    track.lengthSize = uint8_t(lengthSize);
    track.sps = {std::string("\x67\x42\x00\x1e\x01\x02", 6), std::string("\x67\x4d\x00\x28", 4)};
    track.pps = {std::string("\x68\xce\x38\x80", 4)};
    track.samples.clear();
    for (int k = 0; k < 3; ++k)
      track.samples.push_back(LengthPrefixed(Unit5(k), lengthSize) + LengthPrefixed(Unit7(k), lengthSize));
    ASSERT_EQ(Open(Write(BuildMp4({track}).bytes)), 0);

    const std::string sets = kSc4 + track.sps[0] + kSc4 + track.sps[1] + kSc4 + track.pps[0];
    // After a seek: the parameter sets, the first unit after a 4-byte start code.
    // Onward: the first unit with no start code (the one closing the sample before
    // stands for it).
    std::string expected = sets + kSc4 + Unit5(0) + kSc3 + Unit7(0) + kSc3;
    for (int k = 1; k < 3; ++k) expected += Unit5(k) + kSc3 + Unit7(k) + kSc3;
    SeekStream(source_.get(), 0);
    EXPECT_EQ(source_->needSync, 1);
    EXPECT_TRUE(Drain() == expected);
    // Reading past the last sample ends the byte stream until the next seek.
    EXPECT_EQ(ReadNextMp4Sample(source_.get()), -1);
    SeekStream(source_.get(), 512);
    EXPECT_EQ(Drain(), sets + kSc4 + Unit5(1) + kSc3 + Unit7(1) + kSc3 + Unit5(2) + kSc3 + Unit7(2) + kSc3);
  }
}

TEST_F(Mp4GlueTest, SeekLoadsTheFirstSampleAtOrAfterTheTime) {
  TrackSpec track = Video("avc1");
  track.samples.clear();
  for (int k = 0; k < 12; ++k) track.samples.push_back(LengthPrefixed(Unit5(k), 4));
  track.editStart = 1024;  // edit lists do not move sample times
  ASSERT_EQ(Open(Write(BuildMp4({track}).bytes)), 0);
  struct Case {
    uint64_t time;
    uint32_t sample;  // 0: none
  };
  // Sample k starts at (k - 1) * 512.
  const Case cases[] = {{0, 1}, {1, 2}, {511, 2}, {512, 2}, {8 * 512 + 100, 10}, {9 * 512, 10}, {11 * 512, 12},
                        {11 * 512 + 1, 0}, {~uint64_t(0), 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.time);
    SeekStream(source_.get(), c.time);
    if (c.sample == 0) {
      uint8_t byte;
      EXPECT_EQ(GetEsByte(source_.get(), &byte), -1);
      continue;
    }
    EXPECT_EQ(source_->mp4Sample, c.sample);
    const std::string prepared(reinterpret_cast<const char*>(source_->sourceBuffer), source_->dataEnd);
    EXPECT_EQ(prepared.substr(prepared.size() - 12), kSc4 + Unit5(int(c.sample) - 1) + kSc3);
  }
}

TEST_F(Mp4GlueTest, UnitLengthPastTheSampleEndKeepsTheUnitsBeforeIt) {
  TrackSpec track = Video("avc1");
  track.lengthSize = 2;
  track.sps = {std::string("\x67\x42", 2)};
  track.pps = {std::string("\x68\xce", 2)};
  track.samples = {LengthPrefixed(Unit5(0), 2) + std::string("\x00\x64xyz", 5), LengthPrefixed(Unit7(1), 2),
                   LengthPrefixed(Unit5(2), 2) + std::string("\x00\x09", 2) + "abc"};
  ASSERT_EQ(Open(Write(BuildMp4({track}).bytes)), 0);
  SeekStream(source_.get(), 0);
  EXPECT_EQ(Drain(), kSc4 + track.sps[0] + kSc4 + track.pps[0] + kSc4 + Unit5(0) + kSc3 + Unit7(1) + kSc3 + Unit5(2) +
                         kSc3);
}

// MPEG-2 samples that begin with a start code (3- or 4-byte form) reach the unit
// extractor as the units of the elementary stream: no empty unit between samples.
TEST_F(Mp4GlueTest, Mpeg2SamplesGiveTheElementaryStreamUnits) {
  TrackSpec track = Video("mp4v", 0x61);
  const std::vector<std::string> units = {kSc3 + "\xb3\x14\x00\xf0", kSc3 + "\xb8\x00\x08", kSc3 + "\x00\x00\x0f\xff",
                                          kSc3 + "\x00\x01\x1f\xfb", kSc3 + "\x00\x02\x5f\xfb"};
  track.samples = {units[0] + units[1] + units[2], units[3], std::string(1, '\0') + units[4]};
  ASSERT_EQ(Open(Write(BuildMp4({track}).bytes), kCodecMpeg2), 0);
  SeekStream(source_.get(), 0);
  std::vector<std::string> got;
  while (ReadNextUnit(source_.get()) == 1)
    got.emplace_back(reinterpret_cast<const char*>(source_->unit.data), source_->unit.length);
  ASSERT_EQ(got.size(), units.size());
  for (size_t k = 0; k + 1 < units.size(); ++k) EXPECT_EQ(got[k], units[k]) << k;
  // The last unit ends with the closing start code's bytes cut as at any unit end.
  EXPECT_EQ(got.back(), units.back());
}

TEST_F(Mp4GlueTest, OversizedSamplesStayInsideTheBuffer) {
  const std::string big(kSourceBufferSize + 100, '\x55');
  TrackSpec mpeg2 = Video("mp4v", 0x61);
  mpeg2.samples = {kSc3 + "\xb3" + big};
  ASSERT_EQ(Open(Write(BuildMp4({mpeg2}).bytes), kCodecMpeg2), 0);
  SeekStream(source_.get(), 0);
  EXPECT_EQ(source_->dataEnd, kSourceBufferSize);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(source_->sourceBuffer) + kSourceBufferSize - 4, 4),
            "\x55" + kSc3);

  TrackSpec avc = Video("avc1");
  avc.sps = {std::string("\x67\x42", 2)};
  avc.pps = {std::string("\x68\xce", 2)};
  avc.samples = {LengthPrefixed(Unit5(0), 4) + LengthPrefixed(big, 4) + LengthPrefixed(Unit7(0), 4)};
  ASSERT_EQ(Open(Write(BuildMp4({avc}).bytes)), 0);
  SeekStream(source_.get(), 0);
  const std::string drained = Drain();
  EXPECT_TRUE(drained == kSc4 + avc.sps[0] + kSc4 + avc.pps[0] + kSc4 + Unit5(0) + kSc3) << drained.size() << " bytes";
}

// ---- the layer ----

TEST_F(Mp4GlueTest, LayerSampleTablesAndParameterSets) {
  TrackSpec track = Video("avc1");
  track.lengthSize = 2;
  track.sps = {std::string("\x67\x42\x00\x1e", 4), std::string("\x67\x64\x00\x28\x99", 5)};
  track.pps = {std::string("\x68\xce", 2)};
  track.samples = {"first", "second", "third!"};
  track.timescale = 90000;
  track.delta = 3600;
  track.editStart = 7200;
  MP4FileHandle file = MP4Read(Write(BuildMp4({Audio(), track}).bytes).c_str(), 0);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(MP4GetNumberOfTracks(file, nullptr, 0), 2u);
  EXPECT_EQ(MP4GetNumberOfTracks(file, "vide", 0), 1u);
  ASSERT_EQ(MP4FindTrackId(file, 1, nullptr, 0), 2u);
  EXPECT_EQ(MP4FindTrackId(file, 2, nullptr, 0), 0u);
  EXPECT_STREQ(MP4GetTrackType(file, 1), "soun");
  EXPECT_STREQ(MP4GetTrackType(file, 2), "vide");
  EXPECT_STREQ(MP4GetTrackMediaDataName(file, 2), "avc1");
  EXPECT_EQ(MP4GetTrackType(file, 3), nullptr);
  EXPECT_EQ(MP4GetTrackTimeScale(file, 2), 90000u);
  uint32_t lengthSize = 0;
  ASSERT_TRUE(MP4GetTrackH264LengthSize(file, 2, &lengthSize));
  EXPECT_EQ(lengthSize, 2u);

  uint8_t **seq, **pict;
  uint32_t *seqSizes, *pictSizes;
  ASSERT_TRUE(MP4GetTrackH264SeqPictHeaders(file, 2, &seq, &seqSizes, &pict, &pictSizes));
  ASSERT_EQ(seqSizes[0], 4u);
  ASSERT_EQ(seqSizes[1], 5u);
  EXPECT_EQ(seqSizes[2], 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(seq[1]), 5), track.sps[1]);
  ASSERT_EQ(pictSizes[0], 2u);
  EXPECT_EQ(pictSizes[1], 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pict[0]), 2), track.pps[0]);
  MP4FreeH264SeqPictHeaders(seq, seqSizes, pict, pictSizes);
  EXPECT_FALSE(MP4GetTrackH264SeqPictHeaders(file, 1, &seq, &seqSizes, &pict, &pictSizes));

  ASSERT_EQ(MP4GetTrackNumberOfSamples(file, 2), 3u);
  for (uint32_t id = 1; id <= 3; ++id) {
    SCOPED_TRACE(id);
    EXPECT_EQ(MP4GetSampleTime(file, 2, id), (id - 1) * 3600u);
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    uint64_t start = 1, duration = 0;
    ASSERT_TRUE(MP4ReadSample(file, 2, id, &bytes, &size, &start, &duration, nullptr, nullptr));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), size), track.samples[id - 1]);
    EXPECT_EQ(start, (id - 1) * 3600u);
    free(bytes);
  }
  for (uint32_t id : {0u, 4u}) {
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    EXPECT_FALSE(MP4ReadSample(file, 2, id, &bytes, &size, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(MP4GetSampleTime(file, 2, id), ~uint64_t(0));
  }
  MP4Close(file);
}

void Put32(std::string* bytes, size_t at, uint32_t value) {
  for (int k = 0; k < 4; ++k) (*bytes)[at + size_t(k)] = char((value >> (24 - 8 * k)) & 0xFF);
}

TEST_F(Mp4GlueTest, LayerRefusesOrReadsDamagedTablesAsFarAsTheyAreSound) {
  TrackSpec track = Video("avc1");
  track.samples.clear();
  for (int k = 0; k < 10; ++k) track.samples.push_back(LengthPrefixed(Unit7(k), 4));
  const BuiltMp4 good = BuildMp4({track});
  struct Case {
    std::string name;
    std::string bytes;
    bool opens;
    int readable;  // samples MP4ReadSample delivers, when the file opens
  };
  std::vector<Case> cases;
  cases.push_back({"sound", good.bytes, true, 10});
  cases.push_back({"cut inside moov", good.bytes.substr(0, good.moovStart + 100), false, 0});
  cases.push_back({"no moov", good.bytes.substr(0, good.moovStart), false, 0});
  std::string bytes = good.bytes;
  Put32(&bytes, good.stszCount, 0xFFFFFFFF);
  cases.push_back({"absurd sample count", bytes, false, 0});
  bytes = good.bytes;
  Put32(&bytes, good.stszCount - 4, 1000000);  // one size for all, more than the file holds
  Put32(&bytes, good.stszCount, 1000000);
  cases.push_back({"uniform sample size beyond the file", bytes, false, 0});
  bytes = good.bytes;
  Put32(&bytes, good.stcoCount, 0x40000000);
  cases.push_back({"absurd chunk count", bytes, false, 0});
  bytes = good.bytes;
  Put32(&bytes, good.moovStart + 8 + 108, 0x7FFFFFF0);  // the trak box after mvhd
  cases.push_back({"box past its parent", bytes, false, 0});
  bytes = good.bytes;
  Put32(&bytes, good.stcoFirst + 4 * 6, 0xFFFFFF00);
  cases.push_back({"chunk offset past the file", bytes, true, 6});  // the samples before it
  bytes = good.bytes;
  Put32(&bytes, good.stszCount + 4 + 4 * 3, 0x3FFFFFF0);  // sample 4 far larger than the file
  cases.push_back({"sample size past the file", bytes, true, -1});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MP4FileHandle file = MP4Read(Write(c.bytes).c_str(), 0);
    ASSERT_EQ(file != nullptr, c.opens);
    if (!file) continue;
    int readable = 0;
    const uint32_t count = MP4GetTrackNumberOfSamples(file, 1);
    EXPECT_LE(count, 10u);
    for (uint32_t id = 1; id <= count; ++id) {
      uint8_t* sample = nullptr;
      uint32_t size = 0;
      if (MP4ReadSample(file, 1, id, &sample, &size, nullptr, nullptr, nullptr, nullptr)) {
        ++readable;
        EXPECT_LT(size, c.bytes.size());
        free(sample);
      }
    }
    // -1: fewer than all (where the demuxer stops its table at the bad entry).
    if (c.readable >= 0) EXPECT_EQ(readable, c.readable);
    else EXPECT_LT(readable, 10);
    MP4Close(file);
  }
}

}  // namespace
