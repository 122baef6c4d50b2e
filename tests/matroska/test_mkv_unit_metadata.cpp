// Chapters, tags and attachments from hand-built elements: what each list keeps and drops, texts
// capped at 1023 bytes, chapter times moved to the first block, attached data never read, and
// chapter nesting bounded.
#include "mkv_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

namespace cid {
constexpr uint32_t EditionEntry = 0x45B9, EditionUid = 0x45BC, EditionFlagHidden = 0x45BD,
                   EditionFlagDefault = 0x45DB, EditionFlagOrdered = 0x45DD, Atom = 0xB6,
                   Uid = 0x73C4, Start = 0x91, End = 0x92, Hidden = 0x98, Enabled = 0x4598,
                   SegmentUid = 0x6E67, Track = 0x8F, TrackNumber = 0x89, Display = 0x80,
                   String = 0x85, Language = 0x437C, Country = 0x437E, Process = 0x6944,
                   CodecId = 0x6955, Private = 0x450D, Command = 0x6911, Time = 0x6922,
                   Data = 0x6933;
constexpr uint32_t Tag = 0x7373, Targets = 0x63C0, TargetTypeValue = 0x68CA, TrackUid = 0x63C5,
                   ChapterUid = 0x63C4, AttachmentUid = 0x63C6, EditionUid2 = 0x63C9,
                   SimpleTag = 0x67C8, Name = 0x45A3, Value = 0x4487, TagLanguage = 0x447A,
                   Default = 0x4484, Binary = 0x4485;
constexpr uint32_t AttachedFile = 0x61A7, FileData = 0x465C, FileUid = 0x46AE, FileName = 0x466E,
                   FileDescription = 0x467E, FileMimeType = 0x4660;
}  // namespace cid

Bytes videoTracks() { return element(eid::Tracks, trackEntry(1, 1, "V_TEST")); }

Bytes fileWith(const Bytes& beforeCluster, uint64_t timecode = 0, int16_t firstRelative = 0) {
  Bytes segment = segmentInfo() + videoTracks() + beforeCluster +
                  cluster(timecode, simpleBlock(1, firstRelative, 0x80, "frame"));
  return ebmlHeader() + element(eid::Segment, segment);
}

Bytes display(const Bytes& children) { return element(cid::Display, children); }
Bytes atom(const Bytes& children) { return element(cid::Atom, children); }

struct Lists {
  MkvChapter* chapters = nullptr;
  uint32_t chapterCount = 0;
  MkvTag* tags = nullptr;
  uint32_t tagCount = 0;
  MkvAttachment* attachments = nullptr;
  uint32_t attachmentCount = 0;
  explicit Lists(MkvFile* file) {
    mkvListChapters(file, &chapters, &chapterCount);
    mkvListTags(file, &tags, &tagCount);
    mkvListAttachments(file, &attachments, &attachmentCount);
  }
};

int treeDepth(const MkvChapter& chapter) {
  int deepest = 0;
  for (uint32_t i = 0; i < chapter.childCount; ++i) deepest = std::max(deepest, treeDepth(chapter.children[i]));
  return deepest + 1;
}

TEST(MkvMetadata, FileWithoutTheElementsListsNothing) {
  OpenedFile f;
  ASSERT_TRUE(f.open(fileWith(""))) << f.error;
  Lists l(f.file);
  EXPECT_EQ(l.chapterCount, 0u);
  EXPECT_EQ(l.chapters, nullptr);
  EXPECT_EQ(l.tagCount, 0u);
  EXPECT_EQ(l.tags, nullptr);
  EXPECT_EQ(l.attachmentCount, 0u);
  EXPECT_EQ(l.attachments, nullptr);
}

TEST(MkvMetadata, ChapterAtomsKeepTheirFieldsAndDropIncompleteEntries) {
  const Bytes longData(5000, 'd');
  Bytes first = atom(
      uintElement(cid::Uid, 11) + uintElement(cid::Start, 100) + uintElement(cid::End, 200) +
      uintElement(cid::Hidden, 1) + uintElement(cid::Hidden, 0) + uintElement(cid::Hidden, 1) +
      element(cid::SegmentUid, Bytes(16, '\x5A')) +
      element(cid::Track, uintElement(cid::TrackNumber, 1) + uintElement(0xEC, 9) + uintElement(cid::TrackNumber, 3)) +
      element(cid::Track, uintElement(cid::TrackNumber, 4)) +
      display(stringElement(cid::String, "first") + stringElement(cid::String, "second") +
              stringElement(cid::Language, "english") + stringElement(cid::Country, "fr")) +
      display(stringElement(cid::Language, "ger")) +  // no ChapString: dropped
      element(cid::Process, uintElement(cid::CodecId, 1)) +  // no command: dropped
      element(cid::Process, uintElement(cid::CodecId, 0x100000002ull) + stringElement(cid::Private, "pp") +
                                 stringElement(cid::Private, "later") +
                                 element(cid::Command, uintElement(cid::Time, 1)) +  // no data: dropped
                                 element(cid::Command, uintElement(cid::Time, 2) + stringElement(cid::Data, longData) +
                                                           stringElement(cid::Data, "later"))) +
      element(cid::Process, element(cid::Command, stringElement(cid::Data, "x"))) +
      element(cid::Process, element(cid::Command, stringElement(cid::Data, "y"))) +
      element(cid::Process, element(cid::Command, stringElement(cid::Data, "z"))) +
      element(cid::Process, element(cid::Command, stringElement(cid::Data, "w"))) +
      atom(uintElement(cid::Enabled, 0) + element(cid::SegmentUid, Bytes(15, '\x33')) +
           atom(uintElement(cid::Uid, 13))));
  Bytes chapters = element(
      eid::Chapters,
      element(cid::EditionEntry, uintElement(cid::EditionUid, 7) + first + uintElement(0x4242, 1)) +
          element(cid::EditionEntry, uintElement(cid::EditionFlagHidden, 1) + uintElement(cid::EditionFlagDefault, 1) +
                                         uintElement(cid::EditionFlagOrdered, 1) + uintElement(cid::EditionFlagOrdered, 0)));
  // A second Chapters element adds to the same list.
  Bytes more = element(eid::Chapters, element(cid::EditionEntry, atom("")) + uintElement(0x4242, 1));
  OpenedFile f;
  ASSERT_TRUE(f.open(fileWith(chapters + more))) << f.error;
  EXPECT_EQ(mkvErrorText(f.file), nullptr);
  Lists l(f.file);
  ASSERT_EQ(l.chapterCount, 3u);

  const MkvChapter& edition = l.chapters[0];
  EXPECT_EQ(edition.uid, 7u);
  EXPECT_EQ(edition.flags, 0u) << "an edition without flags has none";
  ASSERT_EQ(edition.childCount, 1u);
  const MkvChapter& a = edition.children[0];
  EXPECT_EQ(a.uid, 11u);
  EXPECT_EQ(a.start, 100u);
  EXPECT_EQ(a.end, 200u);
  EXPECT_EQ(a.flags, MKV_CHAPTER_HIDDEN | MKV_CHAPTER_ENABLED) << "enabled by default, the last hidden flag wins";
  EXPECT_EQ(a.segmentUid[0], 0x5A);
  EXPECT_EQ(a.segmentUid[15], 0x5A);
  ASSERT_EQ(a.trackNumberCount, 3u);
  EXPECT_EQ(a.trackNumbers[0], 1u);
  EXPECT_EQ(a.trackNumbers[1], 3u);
  EXPECT_EQ(a.trackNumbers[2], 4u);
  ASSERT_EQ(a.displayCount, 1u);
  EXPECT_STREQ(a.displays[0].string, "first");
  EXPECT_STREQ(a.displays[0].language, "eng");
  EXPECT_STREQ(a.displays[0].country, "fr");
  // The atom's arrays are shrunk to their counts; the process array is not.
  EXPECT_EQ(a.trackNumberCapacity, 3u);
  EXPECT_EQ(a.displayCapacity, 1u);
  ASSERT_EQ(a.processCount, 5u);
  EXPECT_EQ(a.processCapacity, 8u);
  const MkvChapterProcess& p = a.processes[0];
  EXPECT_EQ(p.codecId, 2u);
  EXPECT_EQ(p.privateSize, 2u);
  EXPECT_STREQ(p.privateData, "pp");
  ASSERT_EQ(p.commandCount, 1u);
  EXPECT_EQ(p.commands[0].time, 2u);
  EXPECT_EQ(p.commands[0].dataSize, 5000u);
  EXPECT_EQ(strlen(p.commands[0].data), 1023u);
  EXPECT_EQ(std::string(p.commands[0].data), longData.substr(0, 1023));
  EXPECT_STREQ(a.processes[4].commands[0].data, "w");

  ASSERT_EQ(a.childCount, 1u);
  const MkvChapter& nested = a.children[0];
  EXPECT_EQ(nested.flags, 0u);
  EXPECT_EQ(nested.segmentUid[0], 0) << "a ChapterSegmentUID of 15 bytes is skipped";
  ASSERT_EQ(nested.childCount, 1u);
  EXPECT_EQ(nested.children[0].uid, 13u);
  EXPECT_EQ(nested.children[0].flags, MKV_CHAPTER_ENABLED);
  EXPECT_EQ(nested.displays, nullptr);

  EXPECT_EQ(l.chapters[1].flags, MKV_CHAPTER_HIDDEN | MKV_CHAPTER_DEFAULT);
  EXPECT_EQ(l.chapters[1].childCount, 0u);
  EXPECT_EQ(l.chapters[2].childCount, 1u);
}

TEST(MkvMetadata, TagTargetsAndSimpleTags) {
  const Bytes longValue(2000, 'v');
  Bytes tags = element(
      eid::Tags,
      element(cid::Tag,
              element(cid::Targets, uintElement(cid::TargetTypeValue, 50) + uintElement(cid::TrackUid, 5) +
                                        uintElement(cid::EditionUid2, 7) + uintElement(cid::ChapterUid, 8) +
                                        uintElement(cid::AttachmentUid, 9)) +
                  element(cid::SimpleTag, stringElement(cid::Name, "TITLE") + stringElement(cid::Name, "OTHER") +
                                              stringElement(cid::Value, longValue) +
                                              stringElement(cid::TagLanguage, "fre") +
                                              uintElement(cid::Default, 1) +
                                              element(cid::SimpleTag, stringElement(cid::Name, "NESTED") +
                                                                          stringElement(cid::Value, "n")) +
                                              element(cid::Binary, "bin")) +
                  element(cid::SimpleTag, stringElement(cid::Value, "value only")) +
                  element(cid::SimpleTag, stringElement(cid::Name, "A") + stringElement(cid::Value, "B") +
                                              uintElement(cid::Default, 1) + uintElement(cid::Default, 0))) +
          element(cid::Tag, element(cid::SimpleTag, stringElement(cid::Name, "NAME ONLY"))) +
          element(cid::Tag, ""));
  OpenedFile f;
  ASSERT_TRUE(f.open(fileWith(tags))) << f.error;
  Lists l(f.file);
  ASSERT_EQ(l.tagCount, 3u);
  const MkvTag& t = l.tags[0];
  ASSERT_EQ(t.targetCount, 4u);
  const MkvTagTarget expected[] = {{5, MKV_TARGET_TRACK}, {7, MKV_TARGET_EDITION}, {8, MKV_TARGET_CHAPTER},
                                   {9, MKV_TARGET_ATTACHMENT}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(t.targets[i].uid, expected[i].uid) << i;
    EXPECT_EQ(t.targets[i].type, expected[i].type) << i;
  }
  ASSERT_EQ(t.simpleTagCount, 2u);
  EXPECT_STREQ(t.simpleTags[0].name, "TITLE");
  EXPECT_EQ(std::string(t.simpleTags[0].value), longValue.substr(0, 1023));
  EXPECT_STREQ(t.simpleTags[0].language, "fre");
  EXPECT_EQ(t.simpleTags[0].flags, MKV_TAG_DEFAULT);
  EXPECT_STREQ(t.simpleTags[1].name, "A");
  EXPECT_EQ(t.simpleTags[1].flags, 0u);
  EXPECT_EQ(l.tags[1].simpleTagCount, 0u) << "a SimpleTag with TagName only is dropped, its Tag stays";
  EXPECT_EQ(l.tags[2].targetCount + l.tags[2].simpleTagCount, 0u);
}

TEST(MkvMetadata, AttachmentsAreDescribedAndTheirDataIsNeverRead) {
  const uint64_t payloadSize = 300000;
  Bytes head = stringElement(cid::FileName, "old.bin") + stringElement(cid::FileName, "cover.bin") +
               uintElement(cid::FileUid, 42) + stringElement(cid::FileDescription, std::string(1500, 'D')) +
               stringElement(cid::FileMimeType, "image/png");
  Bytes withData = element(cid::AttachedFile, head + element(cid::FileData, Bytes(payloadSize, 'P')));
  Bytes withoutData = element(cid::AttachedFile, stringElement(cid::FileName, "gone") + uintElement(cid::FileUid, 1));
  Bytes empty = element(cid::AttachedFile, element(cid::FileData, ""));
  Bytes bytes = fileWith(element(eid::Attachments, withoutData + withData + uintElement(0x4242, 0) + empty));
  OpenedFile f;
  ASSERT_TRUE(f.open(bytes)) << f.error;
  Lists l(f.file);
  ASSERT_EQ(l.attachmentCount, 2u);
  const MkvAttachment& a = l.attachments[0];
  uint64_t payloadAt = bytes.find(Bytes(64, 'P'));
  EXPECT_EQ(a.position, payloadAt);
  EXPECT_EQ(a.length, payloadSize);
  EXPECT_EQ(a.uid, 42u);
  EXPECT_STREQ(a.name, "cover.bin") << "a later FileName replaces an earlier one";
  EXPECT_EQ(strlen(a.description), 1023u);
  EXPECT_STREQ(a.mimeType, "image/png");
  EXPECT_EQ(l.attachments[1].length, 0u);
  EXPECT_EQ(l.attachments[1].name, nullptr);
  for (const auto& [position, count] : f.state.reads)
    EXPECT_FALSE(position >= payloadAt + 1024 && position < payloadAt + payloadSize)
        << "read " << count << " bytes at " << position << " inside the attached data";
  EXPECT_LT(f.state.bytesRead, payloadSize / 10);
}

TEST(MkvMetadata, ChapterTimesCountFromTheFirstBlock) {
  Bytes chapters = element(
      eid::Chapters,
      element(cid::EditionEntry, atom(uintElement(cid::Start, 25000000) + uintElement(cid::End, 30000000) +
                                      atom(uintElement(cid::Start, 26000000))) +
                                     atom(uintElement(cid::Start, 0))));
  struct Case {
    uint64_t timecode;
    int16_t relative;
    uint64_t start, end, nestedStart;
  };
  const Case cases[] = {{10, 0, 15000000, 20000000, 16000000},
                        {10, 2, 13000000, 18000000, 14000000},
                        {0, 0, 25000000, 30000000, 26000000}};
  for (const Case& k : cases) {
    OpenedFile f;
    ASSERT_TRUE(f.open(fileWith(chapters, k.timecode, k.relative))) << f.error;
    Lists l(f.file);
    ASSERT_EQ(l.chapterCount, 1u);
    const MkvChapter& edition = l.chapters[0];
    ASSERT_EQ(edition.childCount, 2u);
    EXPECT_EQ(edition.children[0].start, k.start) << k.timecode << "+" << k.relative;
    EXPECT_EQ(edition.children[0].end, k.end);
    EXPECT_EQ(edition.children[0].children[0].start, k.nestedStart);
    EXPECT_EQ(edition.children[1].start, 0u) << "no time stays no time";
    EXPECT_EQ(edition.children[1].end, 0u);
  }
}

// 100,000 ChapterAtoms each holding the next, built from the innermost outwards.
Bytes deeplyNestedChapters(int levels) {
  std::vector<uint64_t> sizes(levels);
  sizes[levels - 1] = 0;
  for (int k = levels - 2; k >= 0; --k) sizes[k] = 1 + ebmlSize(sizes[k + 1]).size() + sizes[k + 1];
  Bytes atoms;
  atoms.reserve(sizes[0] + 16);
  for (int k = 0; k < levels; ++k) atoms += ebmlId(cid::Atom) + ebmlSize(sizes[k]);
  return element(eid::Chapters, element(cid::EditionEntry, atoms));
}

// Chapters are metadata: atoms nested past the depth bound are dropped with a note, and a
// Chapters element that fails to parse ends only itself. Either way the walk goes on to the
// first Cluster, whether the Chapters come before it or only through the SeekHead.
TEST(MkvMetadata, DeepOrDamagedChaptersNeverCostTheFrames) {
  const Bytes nested = deeplyNestedChapters(100000);
  // A ChapterUID of 9 bytes, then an atom that is never reached.
  const Bytes damaged = element(eid::Chapters, element(cid::EditionEntry, atom(element(cid::Uid, Bytes(9, '\1'))) +
                                                                            atom(uintElement(cid::Uid, 7))));
  Bytes tail = segmentInfo() + videoTracks() + cluster(0, simpleBlock(1, 0, 0x80, "frame"));
  auto deferred = [&](const Bytes& chapters) {
    return ebmlHeader() + element(eid::Segment, seekHead({{eid::Chapters, seekHead({{eid::Chapters, 0}}).size() +
                                                                               tail.size()}}) +
                                                    tail + chapters);
  };
  const Bytes inWalk = fileWith(nested), deferredNested = deferred(nested), damagedInWalk = fileWith(damaged);
  const struct {
    const char* name;
    const Bytes* bytes;
    const char* note;
    int depth;  // of the first edition's tree
  } cases[] = {
      {"deep, in the walk", &inWalk, "Chapter atoms nested more than 64 levels deep were dropped", 65},
      {"deep, through the SeekHead", &deferredNested, "Chapter atoms nested more than 64 levels deep were dropped", 65},
      {"damaged, in the walk", &damagedInWalk, "Unsupported integer size in readUInt: 9", 2},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    OpenedFile f;
    ASSERT_TRUE(f.open(*k.bytes)) << f.error;
    EXPECT_STREQ(mkvErrorText(f.file), k.note);
    Lists l(f.file);
    ASSERT_EQ(l.chapterCount, 1u);
    EXPECT_EQ(treeDepth(l.chapters[0]), k.depth) << "the edition and the atoms read before the bound or the failure";
    EXPECT_EQ(mkvTrackCount(f.file), 1u);
    EXPECT_EQ(readAllFrames(f.file).size(), 1u);
  }
}

}  // namespace
