// Chapters, tags and attachments of a file mkvmerge made from the chapter and tag XML and the two
// attached files in make_mkv_corpus.sh: the lists hold what the XML says, and each attachment's
// position and length pick out exactly the bytes of the file that was attached.
#include "mkv_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#ifndef MKV_CORPUS_DIR
#error "MKV_CORPUS_DIR must name the folder the corpus script fills"
#endif

namespace {

std::string corpusPath(const std::string& name) { return std::string(MKV_CORPUS_DIR) + "/" + name; }

Bytes readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ExpectedDisplay {
  const char* string;
  const char* language;
  const char* country;
};

void expectDisplays(const MkvChapter& chapter, std::initializer_list<ExpectedDisplay> expected) {
  ASSERT_EQ(chapter.displayCount, expected.size()) << "chapter " << chapter.uid;
  uint32_t i = 0;
  for (const ExpectedDisplay& e : expected) {
    EXPECT_STREQ(chapter.displays[i].string, e.string);
    EXPECT_STREQ(chapter.displays[i].language, e.language);
    EXPECT_STREQ(chapter.displays[i].country, e.country);
    ++i;
  }
}

class MkvCorpusMetadata : public ::testing::Test {
 protected:
  void SetUp() override {
    bytes = readWhole(corpusPath("meta.mkv"));
    if (bytes.empty()) GTEST_SKIP() << "meta.mkv not generated";
    ASSERT_TRUE(opened.open(bytes)) << opened.error;
  }
  Bytes bytes;
  OpenedFile opened;
};

TEST_F(MkvCorpusMetadata, ChaptersHoldTheTwoEditions) {
  MkvChapter* editions;
  uint32_t count;
  mkvListChapters(opened.file, &editions, &count);
  ASSERT_EQ(count, 2u);

  EXPECT_EQ(editions[0].uid, 1001u);
  EXPECT_EQ(editions[0].flags, MKV_CHAPTER_HIDDEN | MKV_CHAPTER_DEFAULT);
  ASSERT_EQ(editions[0].childCount, 1u);
  const MkvChapter& opening = editions[0].children[0];
  EXPECT_EQ(opening.uid, 2001u);
  EXPECT_EQ(opening.start, 0u);
  EXPECT_EQ(opening.end, 1000000000u);
  EXPECT_EQ(opening.flags, MKV_CHAPTER_ENABLED);
  expectDisplays(opening, {{"Opening", "eng", ""}, {"Ouverture", "fre", "fr"}});
  ASSERT_EQ(opening.childCount, 1u);
  const MkvChapter& inner = opening.children[0];
  EXPECT_EQ(inner.uid, 2002u);
  EXPECT_EQ(inner.start, 400000000u);
  EXPECT_EQ(inner.end, 0u);
  EXPECT_EQ(inner.flags, MKV_CHAPTER_HIDDEN) << "hidden and disabled";
  expectDisplays(inner, {{"Inner", "eng", ""}});
  EXPECT_EQ(inner.childCount, 0u);

  EXPECT_EQ(editions[1].uid, 1002u);
  EXPECT_EQ(editions[1].flags, MKV_CHAPTER_ORDERED);
  ASSERT_EQ(editions[1].childCount, 1u);
  const MkvChapter& second = editions[1].children[0];
  EXPECT_EQ(second.uid, 2003u);
  EXPECT_EQ(second.start, 1200000000u);
  EXPECT_EQ(second.end, 1800000000u);
  expectDisplays(second, {{"Second edition", "ger", ""}});
  EXPECT_EQ(second.segmentUid[0], 0x00);
  EXPECT_EQ(second.segmentUid[1], 0x11);
  EXPECT_EQ(second.segmentUid[15], 0xFF);
  ASSERT_EQ(second.trackNumberCount, 1u);
  EXPECT_EQ(second.trackNumbers[0], 1u);
  ASSERT_EQ(second.processCount, 1u);
  const MkvChapterProcess& process = second.processes[0];
  EXPECT_EQ(process.codecId, 1u);
  EXPECT_EQ(process.privateSize, 2u);
  EXPECT_EQ(memcmp(process.privateData, "\x01\x02", 3), 0);
  ASSERT_EQ(process.commandCount, 1u);
  EXPECT_EQ(process.commands[0].time, 1u);
  EXPECT_EQ(process.commands[0].dataSize, 3u);
  EXPECT_STREQ(process.commands[0].data, "ABC");
}

TEST_F(MkvCorpusMetadata, TagsKeepTheirTargets) {
  MkvTag* tags;
  uint32_t count;
  mkvListTags(opened.file, &tags, &count);
  ASSERT_EQ(count, 3u);
  struct Expected {
    uint32_t type;
    std::vector<uint64_t> uids;
    const char *name, *value, *language;
  };
  const Expected expected[] = {
      {MKV_TARGET_EDITION, {1001}, "TITLE", "Metadata sample", "eng"},
      {MKV_TARGET_CHAPTER, {2001, 2003}, "COMMENT", "Two chapters", "fre"},
      {MKV_TARGET_TRACK, {mkvTrackAt(opened.file, 0)->uid}, "ENCODER", "x264", ""},
  };
  for (const Expected& e : expected) {
    const MkvTag* tag = nullptr;
    for (uint32_t i = 0; i < count; ++i)
      if (tags[i].targetCount > 0 && tags[i].targets[0].type == e.type) tag = &tags[i];
    ASSERT_NE(tag, nullptr) << "no tag aimed at target type " << e.type;
    ASSERT_EQ(tag->targetCount, e.uids.size());
    for (size_t i = 0; i < e.uids.size(); ++i) {
      EXPECT_EQ(tag->targets[i].type, e.type);
      EXPECT_EQ(tag->targets[i].uid, e.uids[i]);
    }
    ASSERT_EQ(tag->simpleTagCount, 1u);
    EXPECT_STREQ(tag->simpleTags[0].name, e.name);
    EXPECT_STREQ(tag->simpleTags[0].value, e.value);
    EXPECT_STREQ(tag->simpleTags[0].language, e.language);
    EXPECT_EQ(tag->simpleTags[0].flags, 0u);
  }
}

TEST_F(MkvCorpusMetadata, AttachmentsPointAtTheAttachedBytes) {
  MkvAttachment* attachments;
  uint32_t count;
  mkvListAttachments(opened.file, &attachments, &count);
  ASSERT_EQ(count, 2u);
  struct Expected {
    const char *name, *description, *mimeType, *source;
  };
  const Expected expected[] = {{"note.txt", "A note", "text/plain", "meta_note.txt"},
                               {"cover.bin", nullptr, "application/octet-stream", "meta_cover.bin"}};
  for (uint32_t i = 0; i < count; ++i) {
    const MkvAttachment& a = attachments[i];
    const Expected& e = expected[i];
    EXPECT_STREQ(a.name, e.name);
    if (e.description)
      EXPECT_STREQ(a.description, e.description);
    else
      EXPECT_EQ(a.description, nullptr);
    EXPECT_STREQ(a.mimeType, e.mimeType);
    EXPECT_NE(a.uid, 0u);
    Bytes source = readWhole(corpusPath(e.source));
    ASSERT_FALSE(source.empty());
    ASSERT_EQ(a.length, source.size()) << e.name;
    ASSERT_LE(a.position + a.length, bytes.size());
    EXPECT_EQ(bytes.substr(a.position, a.length), source) << e.name;
  }
  EXPECT_NE(attachments[0].uid, attachments[1].uid);
}

}  // namespace
