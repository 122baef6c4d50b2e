// The reader over real files made by mkvmerge and ffmpeg: every frame's bytes, sizes, times and
// key flags against the packets ffprobe shows (the bytes a stream copy writes); seeks; what opening reads.
#include "mkv_internal.h"
#include "mkv_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

extern "C" {
#include <libavutil/md5.h>
}

#ifndef MKV_CORPUS_DIR
#error "MKV_CORPUS_DIR must name the folder the corpus script fills"
#endif

namespace {

struct RefPacket {
  bool hasPts = false;
  int64_t pts = 0;
  int64_t duration = 0;
  uint32_t size = 0;
  bool key = false;
  std::string md5;
};

std::string corpusPath(const std::string& name) { return std::string(MKV_CORPUS_DIR) + "/" + name; }

bool fileExists(const std::string& path) {
  std::ifstream in(path);
  return in.good();
}

// Per-stream reference packets in demux (file) order, from ffprobe.
std::vector<std::vector<RefPacket>> loadReference(const std::string& name) {
  std::vector<std::vector<RefPacket>> streams;
  std::ifstream packets(corpusPath(name + ".packets"));
  std::string line;
  RefPacket* last = nullptr;
  while (std::getline(packets, line)) {
    std::vector<std::string> fields;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, ',')) fields.push_back(field);
    std::string md5;
    for (const std::string& f : fields)
      if (f.rfind("MD5:", 0) == 0) md5 = f.substr(4);
    // Side data (Opus skip samples) pushes the hash onto a line of its own.
    if (!line.empty() && line[0] == ',') {
      if (last != nullptr && last->md5.empty()) last->md5 = md5;
      continue;
    }
    if (fields.size() < 6) continue;
    size_t stream = std::stoul(fields[0]);
    if (streams.size() <= stream) streams.resize(stream + 1);
    RefPacket p;
    // VC-1 in a VFW-style track has decode times only.
    const std::string& time = fields[1] != "N/A" ? fields[1] : fields[2];
    p.hasPts = time != "N/A";
    if (p.hasPts) p.pts = std::stoll(time);
    p.duration = fields[3] == "N/A" ? 0 : std::stoll(fields[3]);
    p.size = static_cast<uint32_t>(std::stoul(fields[4]));
    p.key = fields[5].find('K') != std::string::npos;
    p.md5 = md5;
    streams[stream].push_back(p);
    last = &streams[stream].back();
  }
  return streams;
}

std::string md5Hex(const Bytes& data) {
  uint8_t digest[16];
  av_md5_sum(digest, reinterpret_cast<const uint8_t*>(data.data()), static_cast<int>(data.size()));
  char hex[33];
  for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

Bytes readAt(FILE* f, uint64_t position, uint32_t size) {
  Bytes out(size, '\0');
  fseeko(f, static_cast<off_t>(position), SEEK_SET);
  size_t got = fread(out.data(), 1, size, f);
  out.resize(got);
  return out;
}

struct CorpusFile {
  TestIoState state;
  TestIo io;
  MkvFile* file = nullptr;
  char error[256] = {0};
  ~CorpusFile() {
    mkvClose(file);
    if (state.file) fclose(state.file);
  }
  bool open(const std::string& name) {
    if (!openTestFile(&state, corpusPath(name))) return false;
    initTestIo(&io, &state);
    file = mkvOpenDefault(&io.io, error, sizeof error);
    return file != nullptr;
  }
};

int firstVideoTrack(MkvFile* file) {
  for (uint32_t i = 0; i < mkvTrackCount(file); ++i)
    if (mkvTrackAt(file, i)->type == 1) return static_cast<int>(i);
  return -1;
}

// Lacing kinds used per track number, from an independent walk of the file's blocks.
std::map<int, std::set<int>> lacingKinds(const Bytes& d) {
  std::map<int, std::set<int>> kinds;
  auto vint = [&](size_t& p, bool keepMarker) {
    uint8_t first = static_cast<uint8_t>(d[p]);
    int n = 0;
    while (n < 8 && !(first & (0x80 >> n))) ++n;
    uint64_t v = keepMarker ? first : (first & (0x7F >> n));
    for (int i = 0; i < n; ++i) v = (v << 8) | static_cast<uint8_t>(d[p + 1 + i]);
    p += 1 + n;
    return v;
  };
  std::function<void(size_t, size_t)> walk = [&](size_t p, size_t end) {
    while (p + 2 < end && p + 2 < d.size()) {
      uint64_t id = vint(p, true);
      size_t sizeStart = p;
      uint64_t size = vint(p, false);
      if (size == (uint64_t{1} << (7 * (p - sizeStart))) - 1) size = d.size() - p;
      if (id == 0x18538067 || id == 0x1F43B675 || id == 0xA0) {
        walk(p, static_cast<size_t>(std::min<uint64_t>(d.size(), p + size)));
      } else if (id == 0xA3 || id == 0xA1) {
        size_t q = p;
        int track = static_cast<int>(vint(q, false));
        kinds[track].insert((static_cast<uint8_t>(d[q + 2]) >> 1) & 3);
      }
      p += size;
    }
  };
  walk(0, d.size());
  return kinds;
}

class MkvCorpus : public ::testing::TestWithParam<const char*> {};

TEST_P(MkvCorpus, EveryFrameMatchesStreamCopyAndProbe) {
  std::string name = GetParam();
  if (!fileExists(corpusPath(name + ".mkv"))) GTEST_SKIP() << name << ".mkv not generated (input absent)";
  auto reference = loadReference(name);
  CorpusFile corpus;
  ASSERT_TRUE(corpus.open(name + ".mkv")) << corpus.error;
  MkvFile* file = corpus.file;
  ASSERT_EQ(mkvTrackCount(file), reference.size());
  EXPECT_EQ(mkvErrorText(file), nullptr);

  std::vector<std::vector<FrameRecord>> perTrack(mkvTrackCount(file));
  for (const FrameRecord& f : readAllFrames(file)) perTrack[f.track].push_back(f);
  EXPECT_EQ(mkvErrorText(file), nullptr);

  int video = firstVideoTrack(file);
  ASSERT_GE(video, 0);
  ASSERT_FALSE(perTrack[video].empty());
  ASSERT_TRUE(reference[video][0].hasPts);
  // The reader counts from the first block of the first cluster; ffprobe shows raw timestamps.
  int64_t originMs = reference[video][0].pts - static_cast<int64_t>(perTrack[video][0].start / 1000000);

  for (uint32_t t = 0; t < mkvTrackCount(file); ++t) {
    const MkvTrackInfo* info = mkvTrackAt(file, t);
    Bytes prefix;
    if ((info->flags & MKV_TRACK_COMPRESSED) && info->compressionAlgo == 3)
      prefix.assign(reinterpret_cast<const char*>(info->compressionSettings), info->compressionSettingsSize);
    // ffmpeg moves Opus timestamps by the codec delay; the reader reports the stored times.
    bool compareTimes = strcmp(info->codecId, "A_OPUS") != 0;
    bool compareKeys = prefix.empty() && strcmp(info->codecId, "V_MS/VFW/FOURCC") != 0;
    const auto& ours = perTrack[t];
    const auto& ref = reference[t];
    ASSERT_EQ(ours.size(), ref.size()) << name << " track " << t << " " << info->codecId;
    for (size_t k = 0; k < ours.size(); ++k) {
      SCOPED_TRACE(name + " track " + std::to_string(t) + " frame " + std::to_string(k));
      ASSERT_EQ(prefix.size() + ours[k].size, ref[k].size);
      EXPECT_EQ(md5Hex(prefix + readAt(corpus.state.file, ours[k].filePos, ours[k].size)), ref[k].md5);
      // ffprobe takes MPEG-2 key flags from its parser, which cannot read header-stripped data,
      // and marks every packet of a VFW-style track as key.
      if (compareKeys) {
        EXPECT_EQ((ours[k].flags & MKV_FRAME_KEY) != 0, ref[k].key);
      }
      if (compareTimes && ref[k].hasPts && !(ours[k].flags & MKV_FRAME_UNKNOWN_START)) {
        EXPECT_EQ(static_cast<int64_t>(ours[k].start), (ref[k].pts - originMs) * 1000000);
      }
      if (compareTimes && !(ours[k].flags & MKV_FRAME_UNKNOWN_END) && ref[k].duration > 0 &&
          !(ours[k].flags & MKV_FRAME_UNKNOWN_START)) {
        EXPECT_EQ(static_cast<int64_t>(ours[k].end - ours[k].start), ref[k].duration * 1000000);
      }
    }
  }
}

// Seeks on the video track land so that the next frame is its first frame at or after the
// target (exact for streams without reordering; at or after the target otherwise).
TEST_P(MkvCorpus, SeeksLandOnTheFirstFrameAtOrAfterTheTarget) {
  std::string name = GetParam();
  if (!fileExists(corpusPath(name + ".mkv"))) GTEST_SKIP() << name << ".mkv not generated (input absent)";
  CorpusFile corpus;
  ASSERT_TRUE(corpus.open(name + ".mkv")) << corpus.error;
  MkvFile* file = corpus.file;
  int video = firstVideoTrack(file);
  ASSERT_GE(video, 0);
  mkvIgnoreTracks(file, ~(uint32_t{1} << video));
  std::vector<FrameRecord> all = readAllFrames(file);
  ASSERT_FALSE(all.empty());
  bool reordered = false;
  for (size_t k = 1; k < all.size(); ++k) reordered |= all[k].start < all[k - 1].start;
  uint64_t last = all.back().start;
  uint64_t lastKey = 0;
  for (const FrameRecord& f : all) {
    if (f.flags & MKV_FRAME_KEY) lastKey = f.start;
  }

  std::vector<uint64_t> targets = {1, 40000000, 39999999, 999999999, 1000000000, 1000000001,
                                   last / 2, last / 3 + 7, last, last + 1, 2500000000u};
  for (const FrameRecord& f : all)
    if (f.flags & MKV_FRAME_KEY) targets.push_back(f.start);
  for (uint64_t target : targets) {
    SCOPED_TRACE(name + " target " + std::to_string(target));
    mkvSeek(file, target, 0, static_cast<uint32_t>(video));
    FrameRecord got;
    int r = mkvReadFrame(file, 0, &got.track, &got.start, &got.end, &got.filePos, &got.size, &got.flags);
    const FrameRecord* expected = nullptr;
    for (const FrameRecord& f : all) {
      if (f.start >= target) {
        expected = &f;
        break;
      }
    }
    if (expected == nullptr || (reordered && r == -1 && target > lastKey)) {
      // Past the end; with reordering, frames of the last GOP that start before a later one
      // in file order are dropped as out of order, so the end can come early there.
      EXPECT_EQ(r, -1);
      continue;
    }
    ASSERT_EQ(r, 0);
    EXPECT_EQ(got.track, static_cast<uint32_t>(video));
    EXPECT_GE(got.start, target);
    // The cluster the seek chose: the last cue at or before the target.
    ASSERT_GT(file->cueCount, 0u);
    uint32_t chosen = 0;
    for (uint32_t i = 0; i < file->cueCount; ++i) {
      if (file->cues[i].time <= target) chosen = i;
    }
    EXPECT_GE(got.filePos, file->segmentStart + file->cues[chosen].clusterPos);
    if (!reordered) {
      EXPECT_EQ(got.filePos, expected->filePos);
      EXPECT_EQ(got.start, expected->start);
    }
  }
  // Back to the start: the first frame again.
  mkvSeek(file, 0, 0, static_cast<uint32_t>(video));
  FrameRecord got;
  ASSERT_EQ(mkvReadFrame(file, 0, &got.track, &got.start, &got.end, &got.filePos, &got.size, &got.flags), 0);
  EXPECT_EQ(got.filePos, all[0].filePos);
}

INSTANTIATE_TEST_SUITE_P(Files, MkvCorpus,
                         ::testing::Values("avc_ffmpeg", "avc_nob", "avc_nocues", "avc_stream",
                                           "m2v_ffmpeg", "m2v_hr", "multi", "vc1", "vc1_hr",
                                           "avc_long", "meta"));

TEST(MkvCorpusFacts, FilesCarryTheFeaturesTheyStandFor) {
  {
    CorpusFile corpus;
    ASSERT_TRUE(corpus.open("m2v_hr.mkv")) << corpus.error;
    const MkvTrackInfo* track = mkvTrackAt(corpus.file, 0);
    EXPECT_TRUE(track->flags & MKV_TRACK_COMPRESSED);
    EXPECT_EQ(track->compressionAlgo, 3u);
    ASSERT_EQ(track->compressionSettingsSize, 3u);
    EXPECT_EQ(memcmp(track->compressionSettings, "\0\0\1", 3), 0);
    EXPECT_STREQ(track->codecId, "V_MPEG2");
  }
  {
    CorpusFile corpus;
    ASSERT_TRUE(corpus.open("avc_stream.mkv")) << corpus.error;
    EXPECT_EQ(mkvSegmentEnd(corpus.file), UINT64_MAX) << "streamed output has a Segment of unknown size";
    EXPECT_EQ(corpus.file->cueCount, 0u);
  }
  {
    CorpusFile corpus;
    ASSERT_TRUE(corpus.open("avc_nocues.mkv")) << corpus.error;
    EXPECT_EQ(corpus.file->cueCount, 0u);
  }
  {
    CorpusFile corpus;
    ASSERT_TRUE(corpus.open("multi.mkv")) << corpus.error;
    ASSERT_EQ(mkvTrackCount(corpus.file), 4u);
    EXPECT_STREQ(mkvTrackAt(corpus.file, 0)->codecId, "V_MPEG4/ISO/AVC");
    EXPECT_STREQ(mkvTrackAt(corpus.file, 1)->codecId, "A_VORBIS");
    EXPECT_STREQ(mkvTrackAt(corpus.file, 2)->codecId, "A_AC3");
    EXPECT_STREQ(mkvTrackAt(corpus.file, 3)->codecId, "A_OPUS");
    EXPECT_EQ(mkvTrackAt(corpus.file, 1)->audio.samplingFreq >> 32, 44100);
    EXPECT_GT(corpus.file->cueCount, 0u);
    std::ifstream in(corpusPath("multi.mkv"), std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto kinds = lacingKinds(bytes);
    EXPECT_TRUE(kinds[2].count(3)) << "Vorbis: EBML lacing";
    EXPECT_TRUE(kinds[3].count(2)) << "AC-3: fixed-size lacing";
    EXPECT_TRUE(kinds[4].count(1)) << "Opus: Xiph lacing";
    EXPECT_EQ(kinds[1], std::set<int>{0}) << "video is not laced";
    // Laced audio: frames after the first of a lace carry the block's start.
    size_t laced = 0;
    for (const FrameRecord& f : readAllFrames(corpus.file)) laced += (f.flags & MKV_FRAME_UNKNOWN_START) != 0;
    EXPECT_GT(laced, 100u);
  }
  {
    CorpusFile corpus;
    ASSERT_TRUE(corpus.open("avc_nob.mkv")) << corpus.error;
    const MkvTrackInfo* track = mkvTrackAt(corpus.file, 0);
    EXPECT_EQ(track->video.pixelWidth, 320u);
    EXPECT_EQ(track->video.pixelHeight, 240u);
    EXPECT_EQ(track->defaultDuration, 40000000u);
    ASSERT_GT(track->codecPrivateSize, 4u);
    EXPECT_EQ(track->codecPrivate[0], 1) << "avcC version";
    // 150 frames of 40 ms: the measured duration is the end of the last frame.
    EXPECT_EQ(mkvFileInfo(corpus.file)->duration, 6000000000u);
  }
}

// Key and discardable flags where ffprobe cannot show them, against mkvinfo's block lines
// (these files hold one frame per SimpleBlock).
TEST(MkvCorpusFacts, KeyAndDiscardableFlagsMatchTheBlocks) {
  for (const char* name : {"m2v_hr", "vc1", "vc1_hr"}) {
    std::ifstream in(corpusPath(std::string(name) + ".blocks"));
    if (!in.good()) continue;
    std::vector<std::pair<bool, bool>> blocks;
    std::string line;
    while (std::getline(in, line)) {
      ASSERT_NE(line.find("Simple block:"), std::string::npos) << line;
      blocks.emplace_back(line.find("key,") != std::string::npos,
                          line.find("discardable,") != std::string::npos);
    }
    CorpusFile corpus;
    ASSERT_TRUE(corpus.open(std::string(name) + ".mkv")) << corpus.error;
    auto frames = readAllFrames(corpus.file);
    ASSERT_EQ(frames.size(), blocks.size()) << name;
    size_t keys = 0, discardable = 0;
    for (size_t k = 0; k < frames.size(); ++k) {
      EXPECT_EQ((frames[k].flags & MKV_FRAME_KEY) != 0, blocks[k].first) << name << " frame " << k;
      EXPECT_EQ((frames[k].flags & MKV_FRAME_DISCARDABLE) != 0, blocks[k].second) << name << " frame " << k;
      keys += blocks[k].first;
      discardable += blocks[k].second;
    }
    EXPECT_GT(keys, 1u);
    EXPECT_LT(keys, frames.size());
    if (std::string(name) == "m2v_hr") {
      EXPECT_GT(discardable, 10u) << "B frames are discardable";
    }
  }
}

// The MPEG-2 track's frames, back to back, are what mkvextract writes for it.
TEST(MkvCorpusFacts, FramesConcatenateToTheExtractedTrack) {
  std::ifstream in(corpusPath("m2v_ffmpeg.extract.m2v"), std::ios::binary);
  ASSERT_TRUE(in.good());
  Bytes extracted((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  CorpusFile corpus;
  ASSERT_TRUE(corpus.open("m2v_ffmpeg.mkv")) << corpus.error;
  Bytes joined;
  size_t frames = 0;
  for (const FrameRecord& f : readAllFrames(corpus.file)) {
    joined += readAt(corpus.state.file, f.filePos, f.size);
    ++frames;
  }
  EXPECT_EQ(frames, 100u);
  EXPECT_EQ(joined.size(), extracted.size());
  EXPECT_TRUE(joined == extracted);
}

// Opening a file with Cues reads the headers, the Cues and the clusters from the last cue on
// (the duration scan), never the clusters in between: a small amount, whatever the length.
TEST(MkvCorpusFacts, OpeningReadsHeadersCuesAndTheLastClusterOnly) {
  uint64_t bytes[2];
  const char* names[2] = {"avc_nob.mkv", "avc_long.mkv"};
  for (int n = 0; n < 2; ++n) {
    CorpusFile corpus;
    ASSERT_TRUE(corpus.open(names[n])) << corpus.error;
    MkvFile* file = corpus.file;
    ASSERT_GT(file->cueCount, 1u);
    uint64_t lastCluster = file->segmentStart + file->cues[file->cueCount - 1].clusterPos;
    uint64_t lastClusterBytes = corpus.state.fileLength - lastCluster;
    for (const auto& [position, count] : corpus.state.reads)
      EXPECT_TRUE(position < file->firstClusterPos + 2048 || position >= lastCluster)
          << names[n] << ": read of " << count << " at " << position;
    bytes[n] = corpus.state.bytesRead;
    // Headers and the first cluster's start, plus what lies from the last cue on.
    EXPECT_LE(bytes[n], lastClusterBytes + 16384) << names[n];
    printf("[ figure ] %s: %llu bytes of %llu read while opening (%llu from the last cue on)\n",
           names[n], static_cast<unsigned long long>(bytes[n]),
           static_cast<unsigned long long>(corpus.state.fileLength),
           static_cast<unsigned long long>(lastClusterBytes));
  }
  CorpusFile longFile;
  ASSERT_TRUE(longFile.open("avc_long.mkv"));
  EXPECT_LT(bytes[1] * 10, longFile.state.fileLength);
}

}  // namespace
