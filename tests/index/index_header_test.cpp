// First line, source list and the keyword lines all three index kinds share.
#include <cstring>

#include "index_test_support.h"
#include "source/stream_readers.h"

namespace {

const IndexKind kAllKinds[] = {IndexKind::Avc, IndexKind::Mpeg2, IndexKind::Vc1};

// Minimal content that gives each kind one start point and one frame.
std::string OneFrame(IndexKind kind) {
  switch (kind) {
    case IndexKind::Avc: return "IDR 0\nFRM 2 0 3 0\n";
    case IndexKind::Mpeg2: return "SEQ 0\nGOP 1 0\nFRM I 0 1 0 1\n";
    default: return "SEQ 0 0 0 0 1u\nENTRY 0 1\nFRM 0 0 255\n";
  }
}

std::string FamilyOf(IndexKind kind) { return std::string(MagicOf(kind)).substr(0, 16); }

class FirstLineTest : public IndexFileTest, public ::testing::WithParamInterface<IndexKind> {};

TEST_P(FirstLineTest, MagicAndVersionDecideTheResult) {
  const IndexKind kind = GetParam();
  const std::string rest = "\nfree\nfree\n" + videoPath_ + " 4096\n\n" + OneFrame(kind);
  const IndexKind other = kind == IndexKind::Avc ? IndexKind::Vc1 : IndexKind::Avc;
  struct Case {
    std::string name;
    std::string content;
    int code;
  };
  const Case cases[] = {
      {"exact magic", MagicOf(kind) + rest, kIndexOk},
      {"characters behind the version", MagicOf(kind) + std::string(" build 7") + rest, kIndexOk},
      {"CR LF line ends", MagicOf(kind) + std::string("\r\nfree\r\nfree\r\n") + videoPath_ +
                              " 4096\r\n\r\n" + OneFrame(kind),
       kIndexOk},
      {"other version", FamilyOf(kind) + "13" + rest, kIndexVersionMismatch},
      {"family not at the start", std::string("x").append(MagicOf(kind)).append(rest), kIndexVersionMismatch},
      {"other kind of index", MagicOf(other) + rest, kIndexWrongKind},
      {"empty file", "", kIndexEmpty},
      {"binary file", std::string("\x7f" "ELF\x02\x01\x01\0\0\0\0\0\0\xff\xfe\n\0\x01\x02", 20),
       kIndexWrongKind},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = WriteFile("first.vqi", c.content);
    EXPECT_EQ(ReadIndex(kind, source_.get(), path.c_str()), c.code);
    ReleaseIndexData(source_.get());
  }
  const std::string missing = (dir_ / "missing.vqi").string();
  EXPECT_EQ(ReadIndex(kind, source_.get(), missing.c_str()), kIndexFileFailure);
}

TEST_P(FirstLineTest, IndexEndingInsideTheSourceList) {
  const IndexKind kind = GetParam();
  // The list ends with the file; with no keyword lines there is no GOP.
  const std::string path =
      WriteFile("cut.vqi", std::string(MagicOf(kind)) + "\nfree\nfree\n" + videoPath_ + " 4096\n");
  EXPECT_EQ(ReadIndex(kind, source_.get(), path.c_str()), kIndexNoGop);
  EXPECT_EQ(source_->sourceCount, 1);
  ReleaseIndexData(source_.get());
  // No source at all: nothing could be read.
  const std::string shorter = WriteFile("shorter.vqi", std::string(MagicOf(kind)) + "\nfree\n");
  EXPECT_EQ(ReadIndex(kind, source_.get(), shorter.c_str()), kIndexFileFailure);
  EXPECT_EQ(source_->sourceCount, 0);
  ReleaseIndexData(source_.get());
  const std::string empty =
      WriteFile("empty.vqi", std::string(MagicOf(kind)) + "\nfree\nfree\n\n" + OneFrame(kind));
  EXPECT_EQ(ReadIndex(kind, source_.get(), empty.c_str()), kIndexFileFailure);
}

TEST_P(FirstLineTest, StreamKindChoosesTheByteGetter) {
  const IndexKind kind = GetParam();
  struct Case {
    std::string line;
    int32_t streamKind;
    ByteGetter getter;
  };
  const Case cases[] = {
      {"", kStreamElementary, GetEsByte},       {"STREAM 0\n", 0, GetEsByte},
      {"STREAM 1\n", kStreamTransport, GetTsByte}, {"STREAM 3\n", kStreamProgram, GetPsByte},
      {"STREAM 7\n", 7, GetEsByte},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ASSERT_EQ(Read(kind, c.line + OneFrame(kind)), kIndexOk);
    EXPECT_EQ(source_->streamKind, c.streamKind);
    EXPECT_EQ(source_->byteGetter, c.getter);
    EXPECT_EQ(source_->currentUnit, &source_->unit);
    EXPECT_EQ(source_->needSync, 1);
    EXPECT_EQ(source_->currentSource, 0);
    ReleaseIndexData(source_.get());
  }
}

// The source file of these indexes is no Matroska file: the hand-off gives 9 and
// closes it.
TEST_P(FirstLineTest, MatroskaSourceThatDoesNotParse) {
  const IndexKind kind = GetParam();
  EXPECT_EQ(Read(kind, "STREAM 2\n" + OneFrame(kind)), kIndexContainerUnreadable);
  EXPECT_EQ(source_->sourceFiles[0], nullptr);
  EXPECT_EQ(source_->mkvFile, nullptr);
  ReleaseIndexData(source_.get());
}

// STREAM 4 hands the first source file to the MP4 glue; one that is not MP4 cannot
// be opened, and the reader closes it.
TEST_P(FirstLineTest, Mp4SourceThatIsNotMp4IsUnreadable) {
  const IndexKind kind = GetParam();
  EXPECT_EQ(Read(kind, "STREAM 4\n" + OneFrame(kind)), kIndexContainerUnreadable);
  EXPECT_EQ(source_->streamKind, kStreamMp4);
  EXPECT_EQ(source_->byteGetter, GetEsByte);
  EXPECT_EQ(source_->sourceFiles[0], nullptr);
  EXPECT_EQ(source_->mp4File, nullptr);
  ReleaseIndexData(source_.get());
}

TEST_P(FirstLineTest, CommonKeywordLines) {
  const IndexKind kind = GetParam();
  const std::string body =
      "DEVICE 3\nDECODE_MODES 1,0,2\nPKTSIZ 192\nVPID 4113\nCLIP 8 6 4 2\nSIZ 1920 x 1088\n"
      "FPS 30000 / 1001\nFIELDORDER 2\n" +
      OneFrame(kind);
  ASSERT_EQ(Read(kind, body, 2), kIndexOk);
  EXPECT_EQ(source_->deviceValue, 3);
  EXPECT_EQ(source_->decodeModes[0], 1);
  EXPECT_EQ(source_->decodeModes[1], 0);
  EXPECT_EQ(source_->decodeModes[2], 2);
  EXPECT_EQ(source_->packetSize, 192);
  EXPECT_EQ(source_->videoPid, 4113);
  const int32_t crop[4] = {8, 6, 4, 2};
  EXPECT_EQ(memcmp(source_->cropValues, crop, sizeof crop), 0);
  EXPECT_EQ(source_->codedWidth, 1920);
  EXPECT_EQ(source_->codedHeight, 1088);
  EXPECT_EQ(source_->frameRateNum, 30000);
  EXPECT_EQ(source_->frameRateDen, 1001);
  EXPECT_EQ(source_->fieldOrderValue, 2);
  ReleaseIndexData(source_.get());

  // Force film shows four frames of five: the numerator is scaled by 0.8.
  ASSERT_EQ(Read(kind, "FPS 30000 / 1001\n" + OneFrame(kind), 1), kIndexOk);
  EXPECT_EQ(source_->frameRateNum, 24000);
  EXPECT_EQ(source_->frameRateDen, 1001);
  ReleaseIndexData(source_.get());
  ASSERT_EQ(Read(kind, "FPS 25 / 1\n" + OneFrame(kind), 1), kIndexOk);
  EXPECT_EQ(source_->frameRateNum, 20);
}

TEST_P(FirstLineTest, ValuesThatDoNotScanLeaveTheirFields) {
  const IndexKind kind = GetParam();
  const std::string body = "SIZ 720 x 576\nSIZ\nSIZ wide\nCLIP 2\nVPIDx\nFPS 50\nDEVICE -7\n"
                           "SIZ 99999999999 x -99999999999\n" +
                           OneFrame(kind);
  ASSERT_EQ(Read(kind, body), kIndexOk);
  EXPECT_EQ(source_->codedWidth, INT32_MAX);
  EXPECT_EQ(source_->codedHeight, INT32_MIN);
  EXPECT_EQ(source_->cropValues[0], 2);
  EXPECT_EQ(source_->cropValues[1], 0);
  EXPECT_EQ(source_->videoPid, 0);
  EXPECT_EQ(source_->frameRateNum, 50);
  EXPECT_EQ(source_->frameRateDen, 0);
  EXPECT_EQ(source_->deviceValue, -7);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, FirstLineTest, ::testing::ValuesIn(kAllKinds),
                         [](const ::testing::TestParamInfo<IndexKind>& info) {
                           return std::string(MagicOf(info.param)).substr(2, 3);
                         });

// ---- source list ----

using SourceListTest = IndexFileTest;

int ReadSources(IndexFileTest* test, const std::string& indexName, const std::string& sources,
                SourceState* source) {
  std::string text = "VQAVCIndexFileJX14\nfree\nfree\n" + sources + "\nIDR 0\nFRM 2 0 3 0\n";
  const std::string path = test->WriteFile(indexName, text);
  return ReadAvcIndex(source, path.c_str());
}

TEST_F(SourceListTest, PathRunsToTheLastBlankAndSizesAreSixtyFourBit) {
  const std::string spaced = WriteFile("my  clip one.264", "abc");
  const std::string second = WriteFile("second.264", "abc");
  ASSERT_EQ(ReadSources(this, "list.vqi", spaced + " 1048576\n" + second + " 5000000000\n", source_.get()),
            kIndexOk);
  ASSERT_EQ(source_->sourceCount, 2);
  EXPECT_STREQ(source_->sourcePaths[0], spaced.c_str());
  EXPECT_EQ(source_->sourceSizes[0], 1048576u);
  EXPECT_STREQ(source_->sourcePaths[1], second.c_str());
  EXPECT_EQ(source_->sourceSizes[1], 5000000000u);
  EXPECT_NE(source_->sourceFiles[0], nullptr);
  EXPECT_NE(source_->sourceFiles[1], nullptr);
}

TEST_F(SourceListTest, RelativePathsResolveAgainstTheIndexFolder) {
  WriteFile("sub/clip.264", "abc");
  WriteFile("media/other.264", "abc");
  const std::string canonicalDir = std::filesystem::canonical(dir_).string();
  struct Case {
    std::string name;
    std::string sourceLine;
    std::string expected;
  };
  const Case cases[] = {
      {"beside the index", "clip.264 3\n", canonicalDir + "/sub/clip.264"},
      {"double dot", "../media/other.264 3\n", canonicalDir + "/media/other.264"},
      {"single dot and double dot", "./../sub/./clip.264 3\n", canonicalDir + "/sub/clip.264"},
      {"Windows separators", "..\\media\\other.264 3\n", canonicalDir + "/media/other.264"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ReadSources(this, "sub/rel.vqi", c.sourceLine, source_.get()), kIndexOk);
    EXPECT_EQ(std::string(source_->sourcePaths[0]), c.expected);
    ReleaseIndexData(source_.get());
  }

  // A relative index path is taken from the current directory.
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(canonicalDir.c_str()), 0);
  WriteFile("sub/rel2.vqi", "VQAVCIndexFileJX14\nfree\nfree\nclip.264 3\n\nIDR 0\nFRM 2 0 3 0\n");
  const int code = ReadAvcIndex(source_.get(), "sub/rel2.vqi");
  ASSERT_EQ(chdir(previous), 0);
  ASSERT_EQ(code, kIndexOk);
  EXPECT_EQ(std::string(source_->sourcePaths[0]), canonicalDir + "/sub/clip.264");
}

TEST_F(SourceListTest, FailuresGiveCodeThree) {
  std::string many;
  for (int i = 0; i <= kMaxSourceFiles; ++i) many += videoPath_ + " 4096\n";
  std::string exactly;
  for (int i = 0; i < kMaxSourceFiles; ++i) exactly += videoPath_ + " 4096\n";
  ASSERT_EQ(ReadSources(this, "512.vqi", exactly, source_.get()), kIndexOk);
  EXPECT_EQ(source_->sourceCount, kMaxSourceFiles);
  ReleaseIndexData(source_.get());

  struct Case {
    std::string name;
    std::string sources;
  };
  const Case cases[] = {
      {"513 sources", many},
      {"missing source file", (dir_ / "absent.264").string() + " 10\n"},
      {"joined path too long", std::string(1990, 'a') + ".264 10\n"},
      {"relative source that does not exist", "nothing/here.264 10\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReadSources(this, "bad.vqi", c.sources, source_.get()), kIndexFileFailure);
    ReleaseIndexData(source_.get());
  }
}

TEST_F(SourceListTest, OddSizesGiveDefinedValues) {
  ASSERT_EQ(ReadSources(this, "odd.vqi",
                        videoPath_ + " -1\n" + videoPath_ + " 99999999999999999999999\n" + videoPath_ +
                            " size\n",
                        source_.get()),
            kIndexOk);
  ASSERT_EQ(source_->sourceCount, 3);
  // The unsigned scan wraps a negative size and saturates an overlong one; a size
  // without digits stays 0.
  EXPECT_EQ(source_->sourceSizes[0], UINT64_MAX);
  EXPECT_EQ(source_->sourceSizes[1], UINT64_MAX);
  EXPECT_EQ(source_->sourceSizes[2], 0u);
}

}  // namespace
