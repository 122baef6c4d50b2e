// Clusters, blocks, lacing, times and flags, frame queues, damaged clusters and resynchronisation.
#include "mkv_internal.h"
#include "mkv_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

Bytes tracksOf(const Bytes& entries) { return element(eid::Tracks, entries); }
Bytes videoTrack(int number = 1, const Bytes& extra = "") { return trackEntry(number, 1, "V_TEST", extra); }

// A file with the given tracks and clusters; the first cluster starts at time 0 unless given.
Bytes fileWith(const Bytes& tracks, const Bytes& clusters, uint64_t scale = 1000000) {
  return ebmlHeader() + element(eid::Segment, segmentInfo(scale) + tracks + clusters);
}

uint64_t find(const Bytes& haystack, const Bytes& needle) { return haystack.find(needle); }

Bytes laced(uint8_t count, const Bytes& sizes, const Bytes& data) {
  return Bytes(1, static_cast<char>(count)) + sizes + data;
}

TEST(MkvClusterTimes, StartTimesFromClusterBlockAndScales) {
  Bytes data = fileWith(tracksOf(videoTrack(1) + trackEntry(2, 1, "V_HALF", floatElement(0x23314F, 0.5))),
                        cluster(0, simpleBlock(1, 0, 0x80, "first")) +
                            cluster(5000, simpleBlock(1, -40, 0x80, "minus40") + simpleBlock(2, 0, 0x80, "half")));
  OpenedFile f;
  ASSERT_TRUE(f.open(data)) << f.error;
  auto frames = readAllFrames(f.file);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].start, 0u);
  EXPECT_EQ(frames[1].start, 2500000000u) << "track time scale 0.5";
  EXPECT_EQ(frames[1].track, 1u);
  EXPECT_EQ(frames[2].start, 4960000000u);
  EXPECT_EQ(frames[2].filePos, find(data, "minus40"));
  EXPECT_EQ(frames[2].size, 7u);
  EXPECT_EQ(frames[2].flags, MKV_FRAME_UNKNOWN_END | MKV_FRAME_KEY);
}

TEST(MkvClusterLacing, TheFourKindsAndTheirSizes) {
  Bytes xiphData = Bytes(255, 'A') + Bytes(10, 'B') + Bytes(7, 'C');
  Bytes ebmlData = Bytes(100, 'D') + Bytes(98, 'E') + Bytes(5, 'F');
  Bytes fixedData = Bytes(33, 'G') + Bytes(33, 'H') + Bytes(33, 'I') + "J";
  struct Case {
    const char* name;
    uint8_t flags;
    Bytes lace;
    std::vector<uint32_t> sizes;
  };
  const Case cases[] = {
      {"xiph", 0x82, laced(2, Bytes("\xFF\x00\x0A", 3), xiphData), {255, 10, 7}},
      {"ebml", 0x86, laced(2, Bytes("\xE4\xBD", 2), ebmlData), {100, 98, 5}},
      {"fixed", 0x84, laced(2, "", fixedData), {33, 33, 33}},
      {"xiph count 1", 0x82, laced(0, "", "whole"), {5}},
      {"ebml count 1", 0x86, laced(0, "", "whole"), {5}},
      {"fixed count 1", 0x84, laced(0, "", "whole"), {5}},
      {"none", 0x80, "whole", {5}},
  };
  for (const Case& k : cases) {
    Bytes data = fileWith(tracksOf(videoTrack()), cluster(0, simpleBlock(1, 7, k.flags, k.lace)));
    OpenedFile f;
    ASSERT_TRUE(f.open(data)) << f.error;
    auto frames = readAllFrames(f.file);
    ASSERT_EQ(frames.size(), k.sizes.size()) << k.name;
    uint64_t position = frames[0].filePos;
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].size, k.sizes[i]) << k.name << " frame " << i;
      EXPECT_EQ(frames[i].filePos, position) << "frames lie back to back";
      EXPECT_EQ(frames[i].start, 0u);
      EXPECT_EQ((frames[i].flags & MKV_FRAME_UNKNOWN_START) != 0, i > 0);
      position += frames[i].size;
    }
    EXPECT_EQ(Bytes(data, frames[0].filePos, 1), Bytes(k.lace.substr(k.lace.size() - position + frames[0].filePos, 1)));
  }
}

TEST(MkvClusterLacing, DurationsKeyAndDiscardableFlags) {
  Bytes fourFixed = laced(3, "", Bytes(40, 'q'));
  Bytes track = videoTrack(1, uintElement(eid::DefaultDuration, 40000000));
  {
    OpenedFile f;
    ASSERT_TRUE(f.open(fileWith(tracksOf(track), cluster(10, simpleBlock(1, 0, 0x84, fourFixed)))));
    auto frames = readAllFrames(f.file);
    ASSERT_EQ(frames.size(), 4u);
    for (uint64_t i = 0; i < 4; ++i) {
      EXPECT_EQ(frames[i].start, i * 40000000);
      EXPECT_EQ(frames[i].end, (i + 1) * 40000000);
      EXPECT_EQ(frames[i].flags, MKV_FRAME_KEY);
    }
  }
  {
    // With a BlockDuration only the last frame gets a known end: the block's start plus D.
    OpenedFile f;
    Bytes group = blockGroup(block(1, 0, 0x04, fourFixed) + uintElement(eid::BlockDuration, 200));
    ASSERT_TRUE(f.open(fileWith(tracksOf(track), cluster(10, group))));
    auto frames = readAllFrames(f.file);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[3].start, 120000000u);
    EXPECT_EQ(frames[3].end, 200000000u);
    EXPECT_FALSE(frames[3].flags & MKV_FRAME_UNKNOWN_END);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(frames[i].flags & MKV_FRAME_UNKNOWN_END);
    EXPECT_TRUE(frames[1].flags & MKV_FRAME_UNKNOWN_START);
  }
  {
    // Single frames: BlockDuration wins over the default duration; key flags by block kind.
    OpenedFile f;
    Bytes clusterBody = blockGroup(block(1, 0, 0, "k") + uintElement(eid::BlockDuration, 25)) +
                        blockGroup(block(1, 40, 0, "p") + uintElement(eid::ReferenceBlock, 0xD8, 1)) +
                        simpleBlock(1, 80, 0x00, "s") + simpleBlock(1, 120, 0x83, Bytes("\x01\x01", 2) + "ab") +
                        simpleBlock(1, 160, 0x81, "one");
    ASSERT_TRUE(f.open(fileWith(tracksOf(track), cluster(0, clusterBody))));
    auto frames = readAllFrames(f.file);
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[0].end, 25000000u);
    EXPECT_EQ(frames[0].flags, MKV_FRAME_KEY) << "a Block inside a BlockGroup is key without references";
    EXPECT_EQ(frames[1].end, 80000000u);
    EXPECT_EQ(frames[1].flags, 0u) << "ReferenceBlock after the Block clears the key flag";
    EXPECT_EQ(frames[2].flags, 0u);
    EXPECT_EQ(frames[3].flags & (MKV_FRAME_KEY | MKV_FRAME_DISCARDABLE), MKV_FRAME_KEY);
    EXPECT_EQ(frames[4].flags & (MKV_FRAME_KEY | MKV_FRAME_DISCARDABLE), MKV_FRAME_KEY | MKV_FRAME_DISCARDABLE)
        << "discardable goes on the last frame of the lace only";
    EXPECT_EQ(frames[5].flags, MKV_FRAME_KEY | MKV_FRAME_DISCARDABLE);
  }
}

TEST(MkvClusterQueues, OrderAcrossTracksSkipMasksAndIgnoredTracks) {
  Bytes data = fileWith(tracksOf(videoTrack(1) + trackEntry(2, 2, "A_TEST")),
                        cluster(0, simpleBlock(2, 0, 0x80, "a0") + simpleBlock(1, 0, 0x80, "v0") +
                                       simpleBlock(2, 20, 0x80, "a1") + simpleBlock(7, 5, 0x80, "x") +
                                       simpleBlock(1, 40, 0x80, "v1")));
  {
    OpenedFile f;
    ASSERT_TRUE(f.open(data));
    auto frames = readAllFrames(f.file);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].track, 0u) << "equal starts: the lower index first";
    EXPECT_EQ(frames[1].track, 1u);
    EXPECT_EQ(frames[2].start, 20000000u);
    EXPECT_EQ(frames[3].start, 40000000u);
  }
  {
    OpenedFile f;
    ASSERT_TRUE(f.open(data));
    auto frames = readAllFrames(f.file, 0x2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(f.file->queues[1].head != nullptr, true) << "skipped tracks keep their frames queued";
    EXPECT_TRUE(readAllFrames(f.file, 0x3).empty()) << "every track skipped: parse to the end, -1";
    EXPECT_EQ(readAllFrames(f.file).size(), 2u);
  }
  {
    OpenedFile f;
    ASSERT_TRUE(f.open(data));
    mkvIgnoreTracks(f.file, 0x1);
    auto frames = readAllFrames(f.file);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].track, 1u);
    EXPECT_EQ(frames[1].track, 1u);
  }
  {
    OpenedFile f;  // no tracks at all
    ASSERT_TRUE(f.open(fileWith("", cluster(0, simpleBlock(1, 0, 0x80, "v0")))));
    EXPECT_TRUE(readAllFrames(f.file).empty());
  }
}

TEST(MkvClusterQueues, NodeBlocksGrowPastFiveHundredTwelveQueuedFrames) {
  Bytes blocks;
  for (int i = 0; i < 600; ++i) blocks += simpleBlock(1, static_cast<int16_t>(i), 0x80, "f");
  OpenedFile f;
  ASSERT_TRUE(f.open(fileWith(tracksOf(videoTrack()), cluster(0, blocks))));
  // The whole cluster is one pass's first element, so all 600 frames queue together.
  f.state.cacheSize = 1 << 20;
  mkvIgnoreTracks(f.file, 0);
  f.file->readPos = f.file->firstClusterPos;
  ASSERT_EQ(fillQueues(f.file, 0), 0);
  EXPECT_EQ(f.file->nodeBlockCount, 2u);
  auto frames = readAllFrames(f.file);
  ASSERT_EQ(frames.size(), 600u);
  for (int i = 0; i < 600; ++i) EXPECT_EQ(frames[i].start, static_cast<uint64_t>(i) * 1000000);
  EXPECT_EQ(f.file->nodeBlockCount, 2u);
}

// Blocks of 256 zero-size laced frames, thousands of them in one pass's bytes: the
// queues never hold much more than one pass's frame budget, and every frame is read.
TEST(MkvClusterQueues, CraftedLacingKeepsTheQueuesBounded) {
  const Bytes zeroLace = simpleBlock(1, 0, 0x84, Bytes(1, '\xff'));  // fixed-size lacing, 256 frames
  Bytes blocks;
  for (int i = 0; i < 5000; ++i) blocks += zeroLace;
  OpenedFile f;
  ASSERT_TRUE(f.open(fileWith(tracksOf(videoTrack()), cluster(0, blocks) + cluster(10, simpleBlock(1, 0, 0x80, "v")))));
  mkvSeek(f.file, 5000000, 0, 0);  // past every laced frame
  FrameRecord r;
  ASSERT_EQ(mkvReadFrame(f.file, 0, &r.track, &r.start, &r.end, &r.filePos, &r.size, &r.flags), 0);
  EXPECT_EQ(r.size, 1u);
  mkvSeek(f.file, 0, 0, 0);
  EXPECT_EQ(readAllFrames(f.file).size(), 5000u * 256 + 1);
  EXPECT_LE(f.file->nodeBlockCount, 12u) << "queued frames were not bounded";
}

// One BlockGroup, first in its Cluster (where no size bound applies), holding thousands of
// tiny BlockMores or thousands of Blocks of 256 laced empty frames: every queued node counts
// toward the pass's frame budget, so the queues stay bounded, and the reader goes on behind
// the group.
TEST(MkvClusterQueues, BlockAdditionsAndBlocksOfOneGroupKeepTheQueuesBounded) {
  Bytes mores;
  for (int i = 0; i < 100000; ++i) mores += element(0xA6, element(0xA5, ""));
  Bytes blocks;
  for (int i = 0; i < 2000; ++i) blocks += block(1, 0, 0x04, Bytes(1, '\xff'));  // fixed-size lacing, 256 frames
  const struct {
    const char* name;
    Bytes group;
  } cases[] = {
      {"block additions", blockGroup(block(1, 0, 0, "main") + element(0x75A1, mores))},
      {"blocks", blockGroup(blocks)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OpenedFile f;
    ASSERT_TRUE(f.open(fileWith(tracksOf(videoTrack()), cluster(0, c.group) + cluster(10, simpleBlock(1, 0, 0x80, "next")))));
    mkvIgnoreTracks(f.file, 0);
    f.file->readPos = f.file->firstClusterPos;
    ASSERT_EQ(fillQueues(f.file, 0), 0);
    EXPECT_LE(f.file->nodeBlockCount, 12u) << "queued nodes were not bounded";
    auto frames = readAllFrames(f.file);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().size, 4u) << "the next Cluster's frame is read";
    EXPECT_EQ(frames.back().start, 10000000u);
    EXPECT_LE(f.file->nodeBlockCount, 12u);
  }
}

TEST(MkvClusterQueues, PassesAreBoundedByHalfTheCacheSize) {
  Bytes clusters;
  for (int c = 0; c < 20; ++c) {
    Bytes blocks;
    for (int b = 0; b < 10; ++b) blocks += simpleBlock(1, static_cast<int16_t>(b * 40), 0x80, Bytes(1000, 'p'));
    clusters += cluster(static_cast<uint64_t>(c) * 400, blocks);
  }
  for (uint32_t cache : {65536u, 8192u, 4u << 20}) {
    OpenedFile f;
    f.state.cacheSize = cache;
    ASSERT_TRUE(f.open(fileWith(tracksOf(videoTrack()), clusters), MKV_OPEN_NO_SEEK));
    FrameRecord r;
    ASSERT_EQ(mkvReadFrame(f.file, 0, &r.track, &r.start, &r.end, &r.filePos, &r.size, &r.flags), 0);
    uint64_t pass = std::min<uint64_t>(cache / 2, 0x40000);
    EXPECT_GE(f.file->readPos, std::min(f.file->firstClusterPos + pass + 1, mkvSegmentEnd(f.file)))
        << "a pass ends behind its bound (or at the end)";
    EXPECT_LE(f.file->readPos, f.file->firstClusterPos + pass + 1100) << "at the first element boundary";
    size_t rest = readAllFrames(f.file).size();
    EXPECT_EQ(rest, 199u);
  }
}

TEST(MkvClusterAdditions, BlockAdditionsQueueExtraFrames) {
  Bytes more = element(0x75A1, element(0xA6, uintElement(0xEE, 2) + element(0xA5, "ADD")) +
                                   element(0xA6, element(0xA5, "X") + element(0xA5, "Y")) +
                                   element(0xA6, element(0xA5, "SAMEID")));
  Bytes groups = blockGroup(element(0x75A1, element(0xA6, element(0xA5, "EARLY"))) + block(1, 0, 0, "main")) +
                 blockGroup(block(1, 40, 0, "main2") + more);
  Bytes data = fileWith(tracksOf(videoTrack()), cluster(0, groups));
  OpenedFile f;
  ASSERT_TRUE(f.open(data));
  auto frames = readAllFrames(f.file);
  ASSERT_EQ(frames.size(), 4u) << "an addition before the Block is not queued";
  EXPECT_EQ(frames[2].flags, (2u << 24) | 3u);
  EXPECT_EQ(frames[2].filePos, find(data, "ADD"));
  EXPECT_EQ(frames[2].start, 40000000u);
  EXPECT_EQ(frames[3].flags, (2u << 24) | 3u) << "BlockAddID carries over to the next BlockMore";
  EXPECT_EQ(frames[3].size, 6u);
}

TEST(MkvClusterWindow, ElementsAcrossWindowRefillsAndShortRefills) {
  // Blocks of assorted sizes so that IDs, sizes and lace headers straddle 1024-byte windows.
  Bytes blocks;
  std::vector<std::pair<uint32_t, char>> expected;
  for (int i = 0; i < 60; ++i) {
    uint32_t size = 200 + static_cast<uint32_t>((i * 397) % 1500);
    char fill = static_cast<char>('a' + i % 26);
    if (i % 3 == 0) {
      uint32_t first = size / 3;
      Bytes sizes;
      uint32_t s = first;
      while (s >= 255) {
        sizes += '\xFF';
        s -= 255;
      }
      sizes += static_cast<char>(s);
      blocks += simpleBlock(1, static_cast<int16_t>(i), 0x82, laced(1, sizes, Bytes(size, fill)));
      expected.emplace_back(first, fill);
      expected.emplace_back(size - first, fill);
    } else {
      blocks += simpleBlock(1, static_cast<int16_t>(i), 0x80, Bytes(size, fill));
      expected.emplace_back(size, fill);
    }
    if (i % 20 == 19) blocks = blocks + element(eid::Void, Bytes(i, '\0'));
  }
  Bytes data = fileWith(tracksOf(videoTrack()), cluster(0, blocks.substr(0, blocks.size() / 2)) +
                                                    cluster(30, blocks.substr(blocks.size() / 2)));
  // Splitting the block run in two may cut a block; rebuild the two halves at a block boundary.
  Bytes half1, half2;
  {
    size_t pos = 0, count = 0;
    while (pos < blocks.size()) {
      size_t idLen = 1;
      size_t sizeLen = 1;
      uint8_t first = static_cast<uint8_t>(blocks[pos + idLen]);
      while (!(first & (0x80 >> (sizeLen - 1)))) ++sizeLen;
      uint64_t size = first & (0xFF >> sizeLen);
      for (size_t k = 1; k < sizeLen; ++k) size = (size << 8) | static_cast<uint8_t>(blocks[pos + idLen + k]);
      size_t total = idLen + sizeLen + size;
      (count++ < 40 ? half1 : half2) += blocks.substr(pos, total);
      pos += total;
    }
  }
  data = fileWith(tracksOf(videoTrack()), cluster(0, half1) + cluster(0, half2));
  for (int chunk : {0, 100, 7}) {
    OpenedFile f;
    f.state.windowChunk = chunk;
    ASSERT_TRUE(f.open(data)) << f.error;
    auto frames = readAllFrames(f.file);
    EXPECT_EQ(mkvErrorText(f.file), nullptr);
    ASSERT_EQ(frames.size(), expected.size()) << "chunk " << chunk;
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].size, expected[i].first);
      EXPECT_EQ(data[frames[i].filePos], expected[i].second);
      EXPECT_EQ(data[frames[i].filePos + frames[i].size - 1], expected[i].second);
    }
    EXPECT_GT(f.state.hintCalls, 0) << "read-ahead hints name the stretches that hold frames";
  }
}

TEST(MkvClusterDamage, FailuresResynchroniseAtTheNextCluster) {
  Bytes track = tracksOf(videoTrack());
  Bytes good0 = cluster(0, simpleBlock(1, 0, 0x80, "g0"));
  Bytes good2 = cluster(200, simpleBlock(1, 0, 0x80, "g2"));
  struct Case {
    const char* name;
    Bytes bad;
    std::string message;
  };
  const Case cases[] = {
      {"block before timecode", element(eid::Cluster, simpleBlock(1, 0, 0x80, "b")),
       "Found BlockGroup before cluster TimeCode"},
      {"group without block", cluster(100, blockGroup(uintElement(eid::BlockDuration, 1))),
       "Found a BlockGroup without Block"},
      {"track number", cluster(100, element(0xA3, Bytes("\x41\x2C\x00\x00\x80x", 6))),
       "Invalid track number in Block: 300"},
      {"lace overrun", cluster(100, simpleBlock(1, 0, 0x82, laced(1, Bytes("\xFF\xFF\x05", 3), "short"))),
       "Invalid lacing: frame sizes exceed the block"},
      {"ebml lace overrun", cluster(100, simpleBlock(1, 0, 0x86, laced(2, Bytes("\x85\xFF", 2), "tiny"))),
       "Invalid lacing: frame sizes exceed the block"},
      {"void too large", element(eid::Void, Bytes(0x400001, '\0')),
       "Element in a cluster is too large around "},
  };
  for (const Case& k : cases) {
    Bytes data = fileWith(track, good0 + k.bad + good2);
    OpenedFile f;
    ASSERT_TRUE(f.open(data, MKV_OPEN_NO_SEEK)) << f.error;
    auto frames = readAllFrames(f.file);
    ASSERT_EQ(frames.size(), 2u) << k.name << ": " << (mkvErrorText(f.file) ? mkvErrorText(f.file) : "");
    EXPECT_EQ(frames[1].filePos, find(data, "g2")) << k.name;
    ASSERT_NE(mkvErrorText(f.file), nullptr) << k.name;
    EXPECT_EQ(std::string(mkvErrorText(f.file)).substr(0, k.message.size()), k.message) << k.name;
    EXPECT_FALSE(f.file->flags & MKV_STATE_END) << "a successful resynchronisation clears the end state";
  }
}

// Damage to one block's header inside a Cluster (its first 8 bytes overwritten) costs that
// block only: the walk goes on at the next block whose size, track and timecode can be
// trusted, in the same Cluster and with its time, whatever the damage reads as.
TEST(MkvClusterDamage, ADamagedBlockHeaderCostsThatBlockOnly) {
  Bytes track = tracksOf(videoTrack());
  auto payload = [](int k) { return Bytes(40, static_cast<char>('a' + k)); };
  // Six blocks 40 ms apart stored in B-picture order, then a second Cluster.
  const int16_t relatives[] = {0, 120, 40, 80, 240, 160};
  std::vector<Bytes> blocks;
  for (int k = 0; k < 6; ++k) blocks.push_back(simpleBlock(1, relatives[k], k == 0 ? 0x80 : 0x00, payload(k)));
  const struct {
    const char* name;
    int damaged;  // the block whose header is overwritten
    Bytes header;
  } cases[] = {
      {"all ones", 2, Bytes(8, '\xFF')},
      {"zeros", 3, Bytes(8, '\0')},
      {"the first block", 0, Bytes(8, '\xFF')},
      {"the last block", 5, Bytes(8, '\0')},
      // A Void whose size carries the walk 10 bytes into the next block.
      {"a Void into the next block", 2, Bytes("\xEC\xBA", 2) + Bytes(6, '\x11')},
      // An element of no kind a Cluster holds, small enough to pass over.
      {"an unknown element", 2, Bytes("\x44\x44\x84", 3) + Bytes(5, '\x22')},
      // A block of a track the file does not have.
      {"an unknown track", 4, Bytes("\xA3\xAE\x85\x00\x00\x80", 6) + Bytes(2, 'x')},
      {"random bytes", 1, Bytes("\x5c\x3e\xe5\xab\x7a\x65\xfa\xfc", 8)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes first;
    for (const Bytes& b : blocks) first += b;
    Bytes data = fileWith(track, cluster(0, first) + cluster(1000, simpleBlock(1, 0, 0x80, "second")));
    uint64_t at = find(data, blocks[static_cast<size_t>(c.damaged)]);
    data.replace(at, 8, c.header);
    OpenedFile f;
    ASSERT_TRUE(f.open(data, MKV_OPEN_NO_SEEK)) << f.error;
    std::vector<FrameRecord> frames = readAllFrames(f.file);
    std::vector<uint64_t> starts, positions;
    for (const FrameRecord& r : frames) {
      starts.push_back(r.start / 1000000);
      positions.push_back(r.filePos);
    }
    std::vector<uint64_t> expectedStarts, expectedPositions;
    for (int k = 0; k < 6; ++k) {
      if (k == c.damaged) continue;
      expectedStarts.push_back(static_cast<uint64_t>(relatives[k]));
      expectedPositions.push_back(find(data, payload(k)));
    }
    expectedStarts.push_back(1000);
    expectedPositions.push_back(find(data, "second"));
    std::vector<std::pair<uint64_t, uint64_t>> got, expected;
    // Read in start order across the queue; compare as sets of (start, position).
    for (size_t i = 0; i < starts.size(); ++i) got.push_back({starts[i], positions[i]});
    for (size_t i = 0; i < expectedStarts.size(); ++i) expected.push_back({expectedStarts[i], expectedPositions[i]});
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
    EXPECT_FALSE(f.file->flags & MKV_STATE_END);
  }
}

TEST(MkvClusterDamage, LargeFirstBlocksEndOfFileAndGivingUp) {
  Bytes track = tracksOf(videoTrack());
  Bytes big(5 << 20, 'B');
  {
    // Blocks of 5 MiB are queued wherever they stand in the Cluster; a block over 64 MiB
    // behind the first is too large. Other elements stay bounded at 4 MiB (the Void case above).
    Bytes huge(0x4000001 - 4, 'H');
    Bytes data = fileWith(track, cluster(0, simpleBlock(1, 0, 0x80, "g0")) +
                                     cluster(10, simpleBlock(1, 0, 0x80, big) + simpleBlock(1, 5, 0x80, big)) +
                                     cluster(20, simpleBlock(1, 0, 0x80, "g3") + simpleBlock(1, 5, 0x80, huge)));
    OpenedFile f;
    ASSERT_TRUE(f.open(data, MKV_OPEN_NO_SEEK));
    auto frames = readAllFrames(f.file);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[1].size, big.size());
    EXPECT_EQ(frames[2].size, big.size());
    EXPECT_EQ(frames[3].filePos, find(data, "g3"));
    EXPECT_NE(std::string(mkvErrorText(f.file)).find("too large"), std::string::npos);
    EXPECT_TRUE(f.file->flags & MKV_STATE_END) << "no Cluster to resynchronise at";
    mkvIgnoreTracks(f.file, 0x1);
    EXPECT_EQ(f.file->ignoreMask, 0u) << "the ignore mask is not changed in the end state";
  }
  {
    // End of file inside the lace header and at the flag byte.
    Bytes head = segmentInfo() + track + cluster(0, simpleBlock(1, 0, 0x80, "g0"));
    Bytes laceCut = head + ebmlId(eid::Cluster) + ebmlSize(100) + uintElement(eid::Timecode, 5) +
                    ebmlId(0xA3) + ebmlSize(50) + Bytes("\x81\x00\x00\x82", 4);
    Bytes flagCut = head + ebmlId(eid::Cluster) + ebmlSize(100) + uintElement(eid::Timecode, 5) +
                    ebmlId(0xA3) + ebmlSize(50) + Bytes("\x81\x00\x00", 3);
    const std::pair<Bytes, std::string> cases[] = {
        {laceCut, "Unexpected EOF while reading lacing data"},
        {flagCut, "Unexpected EOF while reading Block flags"}};
    for (const auto& [payload, message] : cases) {
      OpenedFile f;
      ASSERT_TRUE(f.open(ebmlHeader() + unknownSizeElement(eid::Segment, payload), MKV_OPEN_NO_SEEK)) << f.error;
      EXPECT_EQ(readAllFrames(f.file).size(), 1u);
      EXPECT_STREQ(mkvErrorText(f.file), message.c_str());
    }
  }
  {
    // A read failure inside a pass: the frames before stay, then -1 with the I/O message.
    Bytes data = fileWith(track, cluster(0, simpleBlock(1, 0, 0x80, "g0")) + cluster(40, simpleBlock(1, 0, 0x80, Bytes(3000, 'z'))) +
                                     cluster(80, simpleBlock(1, 0, 0x80, "never")));
    OpenedFile f;
    ASSERT_TRUE(f.open(data, MKV_OPEN_NO_SEEK));
    f.state.failReadsFrom = f.state.readCalls;
    auto frames = readAllFrames(f.file);
    EXPECT_LE(frames.size(), 2u);
    ASSERT_NE(mkvErrorText(f.file), nullptr);
    EXPECT_STREQ(mkvErrorText(f.file), "I/O Error: simulated read failure");
    FrameRecord r;
    EXPECT_EQ(mkvReadFrame(f.file, 0, &r.track, &r.start, &r.end, &r.filePos, &r.size, &r.flags), -1);
  }
}

// A BlockGroup whose last child runs past the group and its Cluster into bytes that are no
// element: no block behind the group can be trusted, and no Cluster follows. The file ends
// there, for the duration scan of the opening too; the group's frame, already queued when the
// walk failed, is read once.
TEST(MkvClusterDamage, DamageNoSearchPassesEndsTheFileOnce) {
  Bytes track = tracksOf(videoTrack());
  Bytes overrunningGroup = blockGroup(block(1, 40, 0x00, "inner") + ebmlId(eid::Void) + ebmlSize(40) + "vv");
  const struct {
    const char* name;
    uint32_t flags;
  } cases[] = {{"opened with the duration scan", 0}, {"opened without seeking", MKV_OPEN_NO_SEEK}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes data = fileWith(track, cluster(0, simpleBlock(1, 0, 0x80, "g0") + overrunningGroup) + Bytes(60, '\0'));
    OpenedFile f;
    ASSERT_TRUE(f.open(data, c.flags)) << f.error;
    std::vector<uint64_t> positions;
    for (const FrameRecord& r : readAllFrames(f.file)) positions.push_back(r.filePos);
    EXPECT_EQ(positions, (std::vector<uint64_t>{find(data, "g0"), find(data, "inner")}));
    EXPECT_TRUE(f.file->flags & MKV_STATE_END);
  }
}

}  // namespace
