// Cues, the cluster-index scan and mkvSeek.
#include "mkv_internal.h"
#include "mkv_test_support.h"

#include <gtest/gtest.h>

namespace {

Bytes videoTracks() { return element(eid::Tracks, trackEntry(1, 1, "V_TEST")); }

// Four clusters of one frame each at 0, 1, 2 and 3 s (timecodes in ms).
std::vector<Bytes> fourClusters() {
  std::vector<Bytes> clusters;
  for (int i = 0; i < 4; ++i) {
    Bytes c(1, 'c'), d(1, 'd');
    c += static_cast<char>('0' + i);
    d += static_cast<char>('0' + i);
    clusters.push_back(cluster(static_cast<uint64_t>(i) * 1000,
                               simpleBlock(1, 0, 0x80, c) + simpleBlock(1, 500, 0x00, d)));
  }
  return clusters;
}

// A SeekHead naming the Cues, SegmentInfo and Tracks, the clusters, then Cues built from
// (time, cluster index) pairs.
Bytes fileWithCues(const std::vector<Bytes>& clusters, const std::vector<std::pair<uint64_t, int>>& cues,
                   const Bytes& extraCue = "", const Bytes& tracks = videoTracks()) {
  Bytes head = seekHead({{eid::Cues, 0}}) + segmentInfo() + tracks;
  std::vector<uint64_t> offsets;
  uint64_t offset = head.size();
  Bytes body;
  for (const Bytes& c : clusters) {
    offsets.push_back(offset);
    offset += c.size();
    body += c;
  }
  head = seekHead({{eid::Cues, offset}}) + segmentInfo() + tracks;
  Bytes points;
  for (const auto& [time, index] : cues) points += cuePoint(time, offsets[static_cast<size_t>(index)]);
  return ebmlHeader() + element(eid::Segment, head + body + element(eid::Cues, points + extraCue));
}

FrameRecord nextFrame(MkvFile* file) {
  FrameRecord f{};
  f.size = 0xFFFFFFFF;
  if (mkvReadFrame(file, 0, &f.track, &f.start, &f.end, &f.filePos, &f.size, &f.flags) != 0) f.size = 0xFFFFFFFF;
  return f;
}

TEST(MkvCues, TableFromCuesSortedWithAFirstClusterEntry) {
  // Out of order, first entry not at the first cluster, two equal times.
  Bytes data = fileWithCues(fourClusters(), {{3000, 3}, {1000, 1}, {2000, 2}, {2000, 3}});
  OpenedFile f;
  ASSERT_TRUE(f.open(data)) << f.error;
  ASSERT_EQ(f.file->cueCount, 5u);
  const MkvCuePoint* cues = f.file->cues;
  EXPECT_EQ(cues[0].time, 0u) << "the added first-cluster entry";
  EXPECT_EQ(cues[1].time, 1000000000u);
  EXPECT_EQ(cues[2].time, 2000000000u);
  EXPECT_EQ(cues[3].time, 2000000000u);
  EXPECT_EQ(cues[4].time, 3000000000u);
  EXPECT_LT(cues[2].clusterPos, cues[3].clusterPos) << "equal times keep their file order";
  EXPECT_EQ(cues[1].track, 1);

  // A seek to the shared time picks the last of the equal entries (cluster 3, whose first
  // frame starts at 3 s, the first frame at or after 2 s from there).
  mkvSeek(f.file, 2000000000, 0, 0);
  FrameRecord got = nextFrame(f.file);
  EXPECT_EQ(got.filePos, data.find("c3"));
  // Below the first entry's time: the first entry.
  mkvSeek(f.file, 1, 0, 0);
  got = nextFrame(f.file);
  EXPECT_EQ(got.filePos, data.find("d0"));
  // Back to 0: the first frame of the segment, no cue search.
  mkvSeek(f.file, 0, 0, 0);
  EXPECT_EQ(nextFrame(f.file).filePos, data.find("c0"));
  EXPECT_EQ(f.state.progressCalls, 1) << "no scan ran";
}

// 600 CuePoints in reverse time order, each time shared by three of them: the table is sorted
// stably, and the sort's scratch memory comes from the caller's allocator (one allocation more
// than for the same points in order, released again). Whichever allocation fails, the open
// fails cleanly or the table is sorted (or empty), and nothing leaks.
TEST(MkvCues, UnsortedCuesSortStablyWithScratchFromTheCallbacks) {
  auto fileOf = [](bool reversed) {
    Bytes points;
    for (int i = 0; i < 600; ++i) {
      const int k = reversed ? 599 - i : i;
      points += cuePoint(static_cast<uint64_t>(k / 3) * 10, 1000000 + static_cast<uint64_t>(reversed ? i : k));
    }
    return fileWithCues(fourClusters(), {}, points);
  };
  auto sortedStably = [](const MkvFile* file) {
    for (uint32_t i = 1; i < file->cueCount; ++i) {
      const MkvCuePoint &a = file->cues[i - 1], &b = file->cues[i];
      if (a.time > b.time || (a.time == b.time && a.clusterPos >= b.clusterPos)) return false;
    }
    return true;
  };
  int inOrderAllocs = 0, total = 0;
  for (bool reversed : {false, true}) {
    SCOPED_TRACE(reversed ? "reversed" : "in order");
    OpenedFile f;
    ASSERT_TRUE(f.open(fileOf(reversed))) << f.error;
    ASSERT_EQ(f.file->cueCount, 601u) << "with the first-cluster entry";
    EXPECT_TRUE(sortedStably(f.file));
    if (!reversed) inOrderAllocs = f.state.allocCalls;
    if (reversed) {
      EXPECT_EQ(f.state.allocCalls, inOrderAllocs + 1) << "the sort's scratch through memAlloc";
      total = f.state.allocCalls;
    }
  }
  for (int failAt = 0; failAt < total; ++failAt) {
    TestIoState state;
    state.data = fileOf(true);
    state.failAllocAt = failAt;
    TestIo io;
    initTestIo(&io, &state);
    char error[64];
    MkvFile* file = mkvOpen(&io.io, 0, 0, error, sizeof error);
    if (file != nullptr) {
      EXPECT_TRUE(sortedStably(file)) << "allocation " << failAt;
      mkvClose(file);
    }
    EXPECT_TRUE(state.live.empty()) << "allocation " << failAt << " failing leaked";
  }
}

TEST(MkvCues, DamagedCuesAreDroppedAndTheFirstSeekScans) {
  Bytes bad = element(eid::CuePoint, uintElement(eid::CueTime, 5) +
                                         element(eid::CueTrackPositions, uintElement(eid::CueTrack, 300)));
  Bytes data = fileWithCues(fourClusters(), {{0, 0}, {1000, 1}}, bad);
  OpenedFile f;
  ASSERT_TRUE(f.open(data)) << f.error;
  EXPECT_STREQ(mkvErrorText(f.file), "CueTrack points to an invalid track: 300");
  EXPECT_EQ(f.file->cueCount, 0u);
  EXPECT_FALSE(f.file->foundElements & kFoundCues);
  EXPECT_EQ(mkvFileInfo(f.file)->duration, 3500000000u) << "scanned from the last 13 MB";
  mkvSeek(f.file, 2200000000, 0, 0);
  // The scan indexes every cluster that has another Cluster right behind it and is at least
  // 1024 bytes long; these clusters are small, so only the first-cluster entry is made.
  EXPECT_EQ(f.file->cueCount, 1u);
  EXPECT_EQ(nextFrame(f.file).filePos, data.find("d2")) << "the next frame at or after 2.2 s is d2 (2.5 s)";
}

// A sparse file: clusters of a given declared size at given offsets from the first cluster,
// zeros in between; the Segment has unknown size and the file size callback ends it.
struct SparseFile {
  OpenedFile f;
  uint64_t first = 0;
  bool open(const std::vector<std::pair<uint64_t, uint64_t>>& clusters, uint64_t length) {
    Bytes head = ebmlHeader();
    Bytes segmentHead = ebmlId(eid::Segment) + Bytes("\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8) + segmentInfo() +
                        videoTracks();
    first = head.size() + segmentHead.size();
    f.state.data = head + segmentHead;
    f.state.virtualLength = first + length;
    f.state.haveFileSize = true;
    f.state.fileSizeValue = static_cast<int64_t>(first + length);
    int i = 0;
    for (const auto& [offset, size] : clusters) {
      Bytes header = ebmlId(eid::Cluster) + ebmlSize(size, 4) + uintElement(eid::Timecode, 100 * i++) +
                     simpleBlock(1, 0, 0x80, "frame");
      f.state.overlays[first + offset] = header;
    }
    return f.open(f.state.data, 0);
  }
};

TEST(MkvScan, ScanStepsAndAcceptance) {
  {
    // 50,000,000 bytes from the first cluster to the end: steps of 5,000,000.
    SparseFile s;
    ASSERT_TRUE(s.open({{0, 2000}, {2008, 2000}, {5000000, 3000}, {5003008, 3000}}, 50000000)) << s.f.error;
    s.f.state.progressArgs.clear();
    mkvSeek(s.f.file, 150000000, 0, 0);
    ASSERT_GE(s.f.state.progressArgs.size(), 3u);
    EXPECT_EQ(s.f.state.progressArgs[0].first, s.first);
    EXPECT_EQ(s.f.state.progressArgs[1].first, s.first + 5000000) << "one step on from the accepted cluster";
    EXPECT_EQ(s.f.state.progressArgs.back(), std::make_pair(uint64_t{0}, uint64_t{0}));
    ASSERT_EQ(s.f.file->cueCount, 2u);
    EXPECT_EQ(s.f.file->cues[1].clusterPos + s.f.file->segmentStart, s.first + 5000000);
    EXPECT_EQ(s.f.file->cues[1].time, 200000000u) << "the third cluster's timecode";
  }
  {
    // At least 100 MiB: 12 MiB clusters move the search to their own end.
    const uint64_t mib = 1 << 20;
    std::vector<std::pair<uint64_t, uint64_t>> clusters;
    for (uint64_t i = 0; i < 10; ++i) clusters.emplace_back(i * 12 * mib, 12 * mib - 8);
    SparseFile s;
    ASSERT_TRUE(s.open(clusters, 120 * mib)) << s.f.error;
    mkvSeek(s.f.file, 450000000, 0, 0);
    EXPECT_EQ(s.f.file->cueCount, 9u) << "all but the last cluster";
    for (uint32_t i = 0; i < s.f.file->cueCount; ++i)
      EXPECT_EQ(s.f.file->cues[i].clusterPos + s.f.file->segmentStart, s.first + i * 12 * mib);
    FrameRecord got = nextFrame(s.f.file);
    uint64_t cluster5 = s.first + 5 * 12 * mib;
    EXPECT_EQ(got.filePos, cluster5 + s.f.state.overlays.at(cluster5).find("frame"))
        << "cluster 5 (500 ms) holds the first frame at or after 450 ms";
  }
  {
    // Clusters of 1000 bytes and of 0x4000000 bytes are not indexed.
    SparseFile s;
    ASSERT_TRUE(s.open({{0, 1000}, {1008, 0x4000000}, {1008 + 0x4000000 + 8, 5000}}, 0x4000000 + 20000))
        << s.f.error;
    mkvSeek(s.f.file, 1, 0, 0);
    EXPECT_EQ(s.f.file->cueCount, 1u);
    EXPECT_EQ(s.f.file->cues[0].time, 0u) << "only the first-cluster entry";
  }
  {
    // The progress callback stops the scan: the entries found so far.
    SparseFile s;
    ASSERT_TRUE(s.open({{0, 2000}, {2008, 2000}, {5000000, 3000}, {5003008, 3000}}, 50000000));
    s.f.state.progressStopAt = s.f.state.progressCalls + 1;
    mkvSeek(s.f.file, 150000000, 0, 0);
    EXPECT_EQ(s.f.file->cueCount, 1u);
  }
}

TEST(MkvSeek, DropsEarlyAndOutOfOrderFramesOfTheSelectedTrack) {
  Bytes c0 = cluster(0, simpleBlock(1, 0, 0x80, "f0") + simpleBlock(1, 120, 0x80, "f120") +
                            simpleBlock(1, 40, 0x00, "f40") + simpleBlock(1, 160, 0x00, "f160") +
                            simpleBlock(2, 10, 0x80, "audio"));
  Bytes c1 = cluster(1000, simpleBlock(1, 0, 0x80, "g0"));
  Bytes data = fileWithCues({c0, c1}, {{0, 0}, {1000, 1}}, "",
                            element(eid::Tracks, trackEntry(1, 1, "V") + trackEntry(2, 2, "A")));
  OpenedFile f;
  ASSERT_TRUE(f.open(data)) << f.error;
  mkvSeek(f.file, 100000000, 0, 0);
  EXPECT_EQ(nextFrame(f.file).filePos, data.find("audio")) << "other tracks' frames stay queued";
  EXPECT_EQ(nextFrame(f.file).filePos, data.find("f160")) << "120 dropped as out of order, 40 as early";

  mkvSeek(f.file, UINT64_MAX, 0, 0);
  EXPECT_EQ(nextFrame(f.file).size, 0xFFFFFFFFu) << "all ones: the selected track's frames are dropped";

  // A seek that meets a read failure ends with the message and the end state.
  f.state.failReadsFrom = f.state.readCalls;
  f.file->windowFill = f.file->windowOffset = 0;  // force the next access to read
  mkvSeek(f.file, 1000000000, 0, 0);
  EXPECT_TRUE(f.file->flags & MKV_STATE_END);
  EXPECT_STREQ(mkvErrorText(f.file), "I/O Error: simulated read failure");
  EXPECT_EQ(nextFrame(f.file).size, 0xFFFFFFFFu);
}

}  // namespace
