// The byte getters over every stream of the generated corpus, against ffmpeg's own
// extraction of the video elementary stream from the same file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "source/stream_readers.h"
#include "tests/stream/corpus_list.h"
#include "tests/stream/stream_test_support.h"

namespace {

Bytes FromFirstStartCode(const Bytes& data) {
  for (size_t i = 0; i + 2 < data.size(); ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return Bytes(data.begin() + long(i), data.end());
  }
  return {};
}

Bytes ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ffmpeg's copy of the first video stream as a raw elementary stream.
Bytes FfmpegElementaryStream(const std::filesystem::path& file, const std::string& codec) {
  const std::string command = "ffmpeg -v error -nostdin -i '" + file.string() + "' -map 0:v:0 -c:v copy -f " + codec +
                              " - 2>/dev/null";
  Bytes out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  uint8_t chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.insert(out.end(), chunk, chunk + got);
  pclose(pipe);
  return out;
}

void CheckPackaging(const std::string& packaging) {
  const std::vector<CorpusEntry> corpus = ReadCorpusList();
  if (corpus.empty()) GTEST_SKIP() << "no corpus in " << CorpusFolder();
  int checked = 0;
  for (const CorpusEntry& entry : corpus) {
    if (entry.packaging != packaging) continue;
    OpenedSource source(entry.parts, entry.StreamKind());
    source->packetSize = entry.packetSize;
    source->videoPid = entry.videoPid;
    source->byteGetter = entry.StreamKind() == kStreamTransport ? GetTsByte
                         : entry.StreamKind() == kStreamProgram ? GetPsByte
                                                                : GetEsByte;
    SeekStream(source.get(), 0);
    const Bytes delivered = FromFirstStartCode(DrainGetter(source.get()));
    Bytes reference;
    if (packaging == "split") {
      for (const auto& part : entry.parts) reference = Concat({reference, ReadWholeFile(part)});
    } else if (packaging == "ps" && entry.codec == "vc1") {
      // ffmpeg cannot name VC-1 in a program stream; the muxer copied the raw stream.
      reference = ReadWholeFile(std::filesystem::path(TESSIVAR_SHARED_DIR) / "testdata" / "vc1" /
                                (entry.file.substr(0, entry.file.size() - 4) + ".vc1"));
    } else {
      reference = FfmpegElementaryStream(entry.parts[0], entry.codec);
    }
    reference = FromFirstStartCode(reference);
    ASSERT_FALSE(reference.empty()) << entry.file;
    EXPECT_TRUE(SameBytes(delivered, reference)) << entry.file;
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

TEST(CorpusFromPositionZero, Raw) { CheckPackaging("raw"); }
TEST(CorpusFromPositionZero, SplitIntoThree) { CheckPackaging("split"); }
TEST(CorpusFromPositionZero, TransportStream) { CheckPackaging("ts"); }
TEST(CorpusFromPositionZero, M2ts) { CheckPackaging("m2ts"); }
TEST(CorpusFromPositionZero, ProgramStream) { CheckPackaging("ps"); }

}  // namespace
