// Opening: EBML header, the Segment and its walk, SeekHeads, SegmentInfo, deferred and optional
// elements, the duration, the public accessors, error buffers and allocation failures.
#include "mkv_internal.h"
#include "mkv_test_support.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

Bytes videoTracks() { return element(eid::Tracks, trackEntry(1, 1, "V_TEST")); }
Bytes audioTracks() { return element(eid::Tracks, trackEntry(1, 2, "A_TEST")); }
Bytes oneCluster(uint64_t timecode = 0) {
  return cluster(timecode, simpleBlock(1, 0, 0x80, "frame-a") + simpleBlock(1, 40, 0x00, "frame-b"));
}

Bytes concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out += p;
  return out;
}

Bytes makeFile(const std::vector<Bytes>& parts, bool unknownSize = false) {
  Bytes payload = concat(parts);
  return ebmlHeader() + (unknownSize ? unknownSizeElement(eid::Segment, payload) : element(eid::Segment, payload));
}

// Offset of parts[index] from the start of the Segment's data.
uint64_t offsetOf(const std::vector<Bytes>& parts, size_t index) {
  uint64_t offset = 0;
  for (size_t i = 0; i < index; ++i) offset += parts[i].size();
  return offset;
}

// Replaces parts[at] by a SeekHead naming (id, part index) pairs; the SeekHead's size does not
// depend on the positions (8-byte SeekPosition), so one placeholder pass fixes the layout.
void placeSeekHead(std::vector<Bytes>& parts, size_t at,
                   const std::vector<std::pair<uint32_t, size_t>>& entries) {
  std::vector<std::pair<uint32_t, uint64_t>> positions;
  for (const auto& [id, index] : entries) positions.emplace_back(id, 0);
  parts[at] = seekHead(positions);
  positions.clear();
  for (const auto& [id, index] : entries) positions.emplace_back(id, offsetOf(parts, index));
  parts[at] = seekHead(positions);
}

TEST(MkvOpenHeader, EbmlHeaderChecks) {
  struct Case {
    Bytes header;
    std::string failure;
  };
  auto header = [](const Bytes& children) { return element(0x1A45DFA3, children); };
  const Case cases[] = {
      {ebmlHeader("Matroska"), "Unsupported DocType: Matroska"},
      {ebmlHeader("webm"), "Unsupported DocType: webm"},
      {ebmlHeader("matroska", 3), "File requires version 3 Matroska parser"},
      {ebmlHeader("matroska", 2), ""},
      {header(uintElement(0x42F7, 2)), "File requires version 2 EBML parser"},
      {header(uintElement(0x42F2, 5)), "File has identifiers longer than 5"},
      {header(uintElement(0x42F3, 9)), "File has integers longer than 9"},
      {header(uintElement(0x42F2, 4) + uintElement(0x42F3, 8)), ""},
      {header(uintElement(0x4285, uint64_t{1} << 32)), "File requires version 0 Matroska parser"},
      {header(""), ""},
      {header(stringElement(0x4282, std::string(40, 'm'))), "Unsupported DocType: " + std::string(31, 'm')},
  };
  for (const Case& k : cases) {
    OpenedFile f;
    bool opened = f.open(k.header + element(eid::Segment, segmentInfo() + videoTracks() + oneCluster()));
    EXPECT_EQ(opened, k.failure.empty()) << k.failure;
    EXPECT_EQ(std::string(f.error), k.failure);
  }
}

TEST(MkvOpenHeader, WhereTheFileAndItsSegmentStart) {
  Bytes segment = element(eid::Segment, segmentInfo() + videoTracks() + oneCluster());
  struct Case {
    Bytes bytes;
    uint64_t base;
    std::string failure;
  };
  const Case cases[] = {
      {"", 0, "Unexpected EOF at start of file"},
      {segment, 0, "First element in file is not EBML"},
      {Bytes(7, 'j') + segment, 7, ""},
      {Bytes(7, 'j') + ebmlHeader() + segment, 7, ""},
      {ebmlHeader() + element(eid::Void, Bytes(20, '\0')) + segment, 0, ""},
      {ebmlHeader(), 0, "No segments found in the file"},
      {ebmlHeader() + element(eid::Segment, videoTracks() + oneCluster()), 0, "Couldn't find SegmentInfo"},
      {element(eid::Void, "x") + segment, 0, "First element in file is not EBML"},
  };
  for (const Case& k : cases) {
    OpenedFile f;
    bool opened = f.open(k.bytes, 0, k.base);
    EXPECT_EQ(opened, k.failure.empty()) << k.failure << " / " << f.error;
    EXPECT_EQ(std::string(f.error), k.failure);
    if (opened) {
      EXPECT_EQ(mkvTrackCount(f.file), 1u);
      EXPECT_EQ(readAllFrames(f.file).size(), 2u);
    }
  }
}

TEST(MkvOpenHeader, SegmentEndForKnownAndUnknownSizes) {
  std::vector<Bytes> parts = {segmentInfo(), videoTracks(), oneCluster()};
  Bytes known = makeFile(parts);
  Bytes unknown = makeFile(parts, true);
  {
    OpenedFile f;
    ASSERT_TRUE(f.open(known));
    EXPECT_EQ(mkvSegmentEnd(f.file), known.size());
    OpenedFile g;
    g.state.haveFileSize = true;
    g.state.fileSizeValue = 5;
    ASSERT_TRUE(g.open(known));
    EXPECT_EQ(mkvSegmentEnd(g.file), known.size()) << "the size callback is asked only for unknown sizes";
    EXPECT_EQ(readAllFrames(f.file).size(), readAllFrames(g.file).size());
  }
  for (int64_t reported : {int64_t{-1}, int64_t{0}}) {
    OpenedFile f;
    f.state.haveFileSize = true;
    f.state.fileSizeValue = reported;
    ASSERT_TRUE(f.open(unknown));
    EXPECT_EQ(mkvSegmentEnd(f.file), UINT64_MAX);
  }
  {
    OpenedFile f;
    ASSERT_TRUE(f.open(unknown));
    EXPECT_EQ(mkvSegmentEnd(f.file), UINT64_MAX);
    EXPECT_EQ(readAllFrames(f.file).size(), 2u);
    OpenedFile g;
    g.state.haveFileSize = true;
    g.state.fileSizeValue = static_cast<int64_t>(unknown.size());
    ASSERT_TRUE(g.open(unknown));
    EXPECT_EQ(mkvSegmentEnd(g.file), unknown.size());
    EXPECT_EQ(readAllFrames(g.file).size(), 2u);
  }
}

TEST(MkvOpenSeekHead, PositionsFromSeekHeadsAndNoSeekMode) {
  // Cues and Tags behind the clusters, reachable only through the SeekHead; the walk stops at
  // the first Cluster.
  std::vector<Bytes> parts = {"", segmentInfo(1000000, 5000.0), videoTracks(), oneCluster(),
                              cluster(1000, simpleBlock(1, 0, 0x80, "late")),
                              element(eid::Cues, cuePoint(0, 0) + cuePoint(1000, 0)),
                              element(eid::Tags, element(0x7373, ""))};
  placeSeekHead(parts, 0, {{eid::Info, 1}, {eid::Tracks, 2}, {eid::Cues, 5}, {eid::Tags, 6}});
  parts[5] = element(eid::Cues, cuePoint(0, offsetOf(parts, 3)) + cuePoint(1000, offsetOf(parts, 4)));
  Bytes bytes = makeFile(parts);
  {
    OpenedFile f;
    ASSERT_TRUE(f.open(bytes)) << f.error;
    EXPECT_EQ(f.file->cueCount, 2u);
    EXPECT_TRUE(f.file->foundElements & kFoundTags);
    EXPECT_EQ(mkvFileInfo(f.file)->duration, 1000000000u) << "measured: the last frame starts at 1 s";
    EXPECT_EQ(mkvErrorText(f.file), nullptr);
  }
  {
    OpenedFile f;
    ASSERT_TRUE(f.open(bytes, MKV_OPEN_NO_SEEK)) << f.error;
    EXPECT_EQ(f.file->cueCount, 0u);
    EXPECT_FALSE(f.file->foundElements & kFoundTags);
    EXPECT_EQ(mkvFileInfo(f.file)->duration, 5000000000u) << "declared duration kept";
    mkvSeek(f.file, 1000000000, 0, 0);
    EXPECT_EQ(readAllFrames(f.file).size(), 3u) << "seeks do nothing";
  }
}

TEST(MkvOpenSeekHead, TwoSeekHeadPointersFailTheWalkButKeepEarlierEntries) {
  std::vector<Bytes> parts = {"", segmentInfo(), videoTracks(), oneCluster(), seekHead({}),
                              seekHead({})};
  placeSeekHead(parts, 0,
                {{eid::Info, 1}, {eid::Tracks, 2}, {eid::Cluster, 3}, {eid::SeekHead, 4}, {eid::SeekHead, 5}});
  OpenedFile f;
  ASSERT_TRUE(f.open(makeFile(parts))) << f.error;
  EXPECT_STREQ(mkvErrorText(f.file), "SeekHead contains more than one SeekHead pointer");
  EXPECT_EQ(mkvTrackCount(f.file), 1u);
  EXPECT_EQ(readAllFrames(f.file).size(), 2u);
}

TEST(MkvOpenSeekHead, AChainOfSeekHeadsIsFollowedForAtMostTen) {
  // Info and the first Cluster are met by the walk, which then fails on a damaged byte; Tracks
  // is known only through the SeekHead at the end of a chain.
  for (int chain : {10, 11}) {
    std::vector<Bytes> parts(static_cast<size_t>(chain) + 4);
    parts[0] = "";  // the first SeekHead
    parts[1] = segmentInfo();
    parts[2] = oneCluster();
    parts[3] = Bytes("\x00", 1);
    for (int i = 1; i < chain; ++i) parts[3 + i] = "";
    parts[3 + chain] = videoTracks();
    // Each SeekHead names the next; the last names Tracks. Sizes are fixed, so fill back to front.
    for (int pass = 0; pass < 2; ++pass) {
      for (int i = chain - 1; i >= 0; --i) {
        size_t at = i == 0 ? 0 : static_cast<size_t>(3 + i);
        if (i == chain - 1)
          placeSeekHead(parts, at, {{eid::Tracks, static_cast<size_t>(3 + chain)}});
        else
          placeSeekHead(parts, at, {{eid::SeekHead, static_cast<size_t>(3 + i + 1)}});
      }
    }
    OpenedFile f;
    ASSERT_TRUE(f.open(makeFile(parts))) << f.error;
    EXPECT_EQ(mkvTrackCount(f.file), chain <= 10 ? 1u : 0u) << chain << " SeekHeads";
  }
}

TEST(MkvOpenOptional, DamagedOptionalElementsAreDroppedWithTheirMessage) {
  // Cues, Attachments (running past the end of the file), Chapters and Tags behind the cluster.
  std::vector<Bytes> parts = {"", segmentInfo(), videoTracks(), oneCluster(),
                              element(eid::Cues, cuePoint(0, 0)), element(eid::Chapters, ""),
                              element(eid::Tags, ""), ""};
  parts[7] = ebmlId(eid::Attachments) + ebmlSize(5000) + element(0x61A7, "");
  placeSeekHead(parts, 0,
                {{eid::Info, 1}, {eid::Tracks, 2}, {eid::Cues, 4}, {eid::Attachments, 7},
                 {eid::Chapters, 5}, {eid::Tags, 6}});
  parts[4] = element(eid::Cues, cuePoint(0, offsetOf(parts, 3)));
  OpenedFile f;
  ASSERT_TRUE(f.open(makeFile(parts))) << f.error;
  EXPECT_STREQ(mkvErrorText(f.file), "Unexpected EOF while reading EBML container");
  EXPECT_EQ(f.file->cueCount, 1u) << "Cues come first and are kept";
  EXPECT_FALSE(f.file->foundElements & kFoundChapters) << "the optional elements after it are skipped";
  EXPECT_FALSE(f.file->foundElements & kFoundTags);
  EXPECT_FALSE(f.file->flags & MKV_STATE_END);
  EXPECT_EQ(readAllFrames(f.file).size(), 2u);

  // A recorded position past the end of the file.
  std::vector<Bytes> far = {"", segmentInfo(), videoTracks(), oneCluster()};
  placeSeekHead(far, 0, {{eid::Info, 1}, {eid::Tracks, 2}});
  Bytes bytes = makeFile(far);
  std::vector<std::pair<uint32_t, uint64_t>> entries = {
      {eid::Info, offsetOf(far, 1)}, {eid::Tracks, offsetOf(far, 2)}, {eid::Cues, 1000000}};
  far[0] = seekHead(entries);
  far[1] = segmentInfo();
  entries[0].second = far[0].size();
  entries[1].second = far[0].size() + far[1].size();
  far[0] = seekHead(entries);
  OpenedFile g;
  ASSERT_TRUE(g.open(makeFile(far))) << g.error;
  EXPECT_STREQ(mkvErrorText(g.file), "Unexpected EOF in parseContainer");
  EXPECT_EQ(readAllFrames(g.file).size(), 2u);
}

TEST(MkvOpenInfo, SegmentInfoFields) {
  Bytes info = element(eid::Info, floatElement(eid::Duration, 5000.0) + stringElement(0x7BA9, std::string(2000, 't')) +
                                      stringElement(0x4D80, "mux") + stringElement(0x5741, "old") +
                                      stringElement(0x5741, "writer") + uintElement(0x4461, 77) +
                                      element(0x73A4, Bytes(16, '\x11')));
  OpenedFile f;
  ASSERT_TRUE(f.open(makeFile({info, audioTracks(), oneCluster()}))) << f.error;
  const MkvFileInfo* i = mkvFileInfo(f.file);
  EXPECT_EQ(i->timecodeScale, 1000000u);
  EXPECT_EQ(i->duration, 5000000000u) << "no video track: the declared duration stays";
  EXPECT_EQ(strlen(i->title), 1023u);
  EXPECT_STREQ(i->muxingApp, "mux");
  EXPECT_STREQ(i->writingApp, "writer") << "a repeated element replaces the earlier one";
  EXPECT_EQ(i->dateUtc, 77u);
  EXPECT_EQ(i->hasDateUtc, 1);
  EXPECT_EQ(i->segmentUid[15], 0x11);
  EXPECT_EQ(i->nextFilename, nullptr);
  EXPECT_EQ(mkvErrorText(f.file), nullptr);

  // Damaged SegmentInfo met in the walk: what was read stays, the message is kept.
  struct Case {
    Bytes info;
    std::string message;
    uint64_t scale;
  };
  const Case cases[] = {
      {element(eid::Info, stringElement(0x7BA9, "t") + element(0x73A4, Bytes(15, 'u'))), "SegmentUID size is not 16 bytes", 1000000},
      {element(eid::Info, element(0x3CB923, Bytes(17, 'u'))), "PrevUID size is not 16 bytes", 1000000},
      {element(eid::Info, element(0x3EB923, "")), "NextUID size is not 16 bytes", 1000000},
      // A zero scale keeps the default rather than leaving 0 to divide by.
      {element(eid::Info, uintElement(eid::TimecodeScale, 0)), "Segment timecode scale is zero", 1000000},
      {element(eid::Info, uintElement(eid::TimecodeScale, 100000)), "", 100000},
  };
  for (const Case& k : cases) {
    OpenedFile g;
    ASSERT_TRUE(g.open(makeFile({k.info, videoTracks(), oneCluster()}))) << g.error;
    EXPECT_EQ(mkvErrorText(g.file) ? std::string(mkvErrorText(g.file)) : "", k.message);
    EXPECT_EQ(mkvFileInfo(g.file)->timecodeScale, k.scale);
  }
}

TEST(MkvOpenInfo, TimeOriginIsTheFirstBlockOfTheFirstCluster) {
  OpenedFile f;
  Bytes first = cluster(1000, simpleBlock(1, -5, 0x80, "a") + simpleBlock(1, 35, 0x80, "b"));
  ASSERT_TRUE(f.open(makeFile({segmentInfo(), videoTracks(), first}))) << f.error;
  EXPECT_EQ(f.file->firstTimecode, 995u);
  auto frames = readAllFrames(f.file);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].start, 0u);
  EXPECT_EQ(frames[1].start, 40000000u);
  EXPECT_EQ(mkvFileInfo(f.file)->duration, 40000000u);

  // The first block may sit inside a BlockGroup after other children.
  OpenedFile g;
  Bytes grouped = cluster(50, blockGroup(uintElement(eid::BlockDuration, 3) + block(1, 7, 0, "x")));
  ASSERT_TRUE(g.open(makeFile({segmentInfo(), videoTracks(), grouped}))) << g.error;
  EXPECT_EQ(g.file->firstTimecode, 57u);
}

TEST(MkvOpenInfo, FirstClusterOfUnknownSize) {
  Bytes unknownCluster = unknownSizeElement(eid::Cluster, uintElement(eid::Timecode, 0) + simpleBlock(1, 0, 0x80, "a"));
  {
    OpenedFile f;
    ASSERT_TRUE(f.open(makeFile({segmentInfo(), videoTracks(), unknownCluster}))) << f.error;
    EXPECT_STREQ(mkvErrorText(f.file), "Unspecified element size is not supported here.");
    EXPECT_EQ(f.file->readPos, mkvSegmentEnd(f.file));
    EXPECT_TRUE(readAllFrames(f.file).empty());
  }
  {
    std::vector<Bytes> parts = {"", segmentInfo(), videoTracks(), unknownCluster};
    placeSeekHead(parts, 0, {{eid::Cluster, 3}});
    OpenedFile f;
    EXPECT_FALSE(f.open(makeFile(parts)));
    EXPECT_STREQ(f.error, "Unspecified element size is not supported here.");
  }
}

TEST(MkvOpenLifecycle, AccessorsErrorBuffersAndOutOfMemory) {
  Bytes good = makeFile({segmentInfo(), videoTracks(), oneCluster()});
  {
    OpenedFile f;
    ASSERT_TRUE(f.open(good));
    EXPECT_EQ(mkvTrackAt(f.file, 1), nullptr);
    EXPECT_NE(mkvTrackAt(f.file, 0), nullptr);
    EXPECT_EQ(mkvErrorText(f.file), nullptr);
    EXPECT_EQ(f.state.progressCalls, 1) << "progress(0, 0) once while opening";
  }
  mkvClose(nullptr);

  // First allocation fails: "Out of memory" and no other callback.
  {
    TestIoState state;
    state.data = good;
    state.failAllocAt = 0;
    TestIo io;
    initTestIo(&io, &state);
    char error[64] = "untouched";
    EXPECT_EQ(mkvOpen(&io.io, 0, 0, error, sizeof error), nullptr);
    EXPECT_STREQ(error, "Out of memory");
    EXPECT_EQ(state.callbacksAfterAlloc, 0);
  }
  // Buffers of size 1 and 0.
  for (int size : {0, 1}) {
    TestIoState state;
    state.data = "junk";
    TestIo io;
    initTestIo(&io, &state);
    char error[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(mkvOpen(&io.io, 0, 0, error, size), nullptr);
    EXPECT_EQ(error[0], size == 1 ? 0 : 'x');
    EXPECT_EQ(error[1], 'x');
    EXPECT_TRUE(state.live.empty()) << "a failed open leaves nothing allocated";
  }
  {
    TestIoState state;
    state.data = "junk";
    TestIo io;
    initTestIo(&io, &state);
    char error[8];
    EXPECT_EQ(mkvOpen(&io.io, 0, 0, error, -5), nullptr) << "a negative size writes nothing";
  }
  // Every single allocation failing in turn: a clean failure or a usable file, never a leak.
  // Attachments and Chapters are met in the walk, Tags only through the SeekHead.
  Bytes chapterDisplay = element(0x80, stringElement(0x85, "chapter") + stringElement(0x437C, "eng"));
  Bytes chapterProcess =
      element(0x6944, stringElement(0x450D, "private") +
                          element(0x6911, uintElement(0x6922, 1) + stringElement(0x6933, "command")));
  Bytes chapters = element(
      eid::Chapters,
      element(0x45B9, element(0xB6, uintElement(0x91, 5) + element(0x8F, uintElement(0x89, 1)) + chapterDisplay +
                                         chapterDisplay + chapterProcess + element(0xB6, chapterDisplay))) +
          element(0x45B9, element(0xB6, chapterDisplay) +
                              element(0xB6, element(0x80, stringElement(0x437C, "fre")))));  // no ChapString
  Bytes attachments = element(
      eid::Attachments,
      element(0x61A7, stringElement(0x466E, "a.txt") + stringElement(0x467E, "about a") +
                          stringElement(0x4660, "text/plain") + element(0x465C, "data")) +
          element(0x61A7, stringElement(0x466E, "b.txt") + element(0x465C, "more")));
  Bytes simpleTag = element(0x67C8, stringElement(0x45A3, "NAME") + stringElement(0x4487, "value"));
  Bytes tags = element(eid::Tags, element(0x7373, element(0x63C0, uintElement(0x63C5, 1)) + simpleTag + simpleTag) +
                                      element(0x7373, simpleTag));
  std::vector<Bytes> richParts = {
      "", element(eid::Info, stringElement(0x7BA9, "title") + stringElement(0x4D80, "m")),
      element(eid::Tracks, trackEntry(1, 1, "V_A", element(0x63A2, "private")) +
                               trackEntry(2, 2, "A_B", stringElement(0x536E, "name"))),
      attachments, chapters, oneCluster(),
      element(eid::Cues, cuePoint(0, 0) + cuePoint(1, 0) + cuePoint(2, 0)), tags};
  placeSeekHead(richParts, 0, {{eid::Cues, 6}, {eid::Tags, 7}});
  Bytes rich = makeFile(richParts);
  // What a list holds after any failure: no display, command, simple tag or attachment
  // without the part that makes it one.
  std::function<void(const MkvChapter&)> checkChapter = [&](const MkvChapter& c) {
    for (uint32_t i = 0; i < c.displayCount; ++i) EXPECT_NE(c.displays[i].string, nullptr);
    for (uint32_t i = 0; i < c.processCount; ++i) {
      EXPECT_GT(c.processes[i].commandCount, 0u);
      for (uint32_t j = 0; j < c.processes[i].commandCount; ++j) EXPECT_NE(c.processes[i].commands[j].data, nullptr);
    }
    for (uint32_t i = 0; i < c.childCount; ++i) checkChapter(c.children[i]);
  };
  auto checkLists = [&](MkvFile* file) {
    MkvChapter* chapterList;
    MkvTag* tagList;
    MkvAttachment* attachmentList;
    uint32_t count;
    mkvListChapters(file, &chapterList, &count);
    for (uint32_t i = 0; i < count; ++i) checkChapter(chapterList[i]);
    mkvListTags(file, &tagList, &count);
    for (uint32_t i = 0; i < count; ++i)
      for (uint32_t j = 0; j < tagList[i].simpleTagCount; ++j) {
        EXPECT_NE(tagList[i].simpleTags[j].name, nullptr);
        EXPECT_NE(tagList[i].simpleTags[j].value, nullptr);
      }
    mkvListAttachments(file, &attachmentList, &count);
    for (uint32_t i = 0; i < count; ++i) EXPECT_NE(attachmentList[i].name, nullptr);
  };
  int total = 0;
  {
    OpenedFile f;
    ASSERT_TRUE(f.open(rich)) << f.error;
    EXPECT_EQ(mkvErrorText(f.file), nullptr);
    uint32_t chapterCount, tagCount, attachmentCount;
    MkvChapter* chapterList;
    MkvTag* tagList;
    MkvAttachment* attachmentList;
    mkvListChapters(f.file, &chapterList, &chapterCount);
    mkvListTags(f.file, &tagList, &tagCount);
    mkvListAttachments(f.file, &attachmentList, &attachmentCount);
    EXPECT_EQ(chapterCount, 2u);
    EXPECT_EQ(tagCount, 2u);
    EXPECT_EQ(attachmentCount, 2u);
    readAllFrames(f.file);
    total = f.state.allocCalls;
  }
  ASSERT_GT(total, 8);
  for (int failAt = 1; failAt < total; ++failAt) {
    TestIoState state;
    state.data = rich;
    state.failAllocAt = failAt;
    TestIo io;
    initTestIo(&io, &state);
    char error[64];
    MkvFile* file = mkvOpen(&io.io, 0, 0, error, sizeof error);
    if (file == nullptr) {
      EXPECT_NE(std::string(error).find(" of memory"), std::string::npos) << error << " at " << failAt;
    } else {
      checkLists(file);
      readAllFrames(file);
      mkvClose(file);
    }
    EXPECT_TRUE(state.live.empty()) << "allocation " << failAt << " failing leaked";
  }
}

}  // namespace
