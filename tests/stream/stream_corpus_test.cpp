// The byte getters over every stream of the generated corpus, against ffmpeg's own
// extraction of the video elementary stream from the same file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <random>

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

namespace {

// The slice type of an H.264 slice unit (00 00 01, header byte, then first_mb_in_slice
// and slice_type as Exp-Golomb codes; no emulation bytes occur this early).
int SliceType(const Bytes& unit) {
  size_t bit = 32;
  auto readCode = [&]() {
    int zeros = 0;
    while (bit / 8 < unit.size() && ((unit[bit / 8] >> (7 - bit % 8)) & 1) == 0) {
      ++zeros;
      ++bit;
    }
    ++bit;
    int value = 0;
    for (int i = 0; i < zeros; ++i) {
      value = (value << 1) | ((unit[bit / 8] >> (7 - bit % 8)) & 1);
      ++bit;
    }
    return (1 << zeros) - 1 + value;
  };
  readCode();
  return readCode();
}

Bytes CurrentUnit(SourceState* source) { return Bytes(source->unit.data, source->unit.data + source->unit.length); }

// Whether the units read from the source (the first one given, then count more) lie
// one after another somewhere in the reference stream.
// The search starts at offset from (some streams repeat whole GOPs); *where gets the
// offset at which the units begin.
::testing::AssertionResult UnitsFollowReference(SourceState* source, const Bytes& first, const Bytes& reference,
                                                int count, size_t from, size_t* where) {
  std::vector<Bytes> read = {first};
  for (int k = 0; k < count; ++k) {
    const int result = source->unitExtractor(source);
    if (result == 0) break;
    if (result < 0) return ::testing::AssertionFailure() << "extractor failed after " << k << " units";
    read.push_back(CurrentUnit(source));
  }
  const Bytes startCode = {0, 0, 1};
  for (auto at = std::search(reference.begin() + long(from), reference.end(), first.begin(), first.end());
       at != reference.end();
       at = std::search(at + 1, reference.end(), first.begin(), first.end())) {
    auto next = at;
    size_t matched = 0;
    while (matched < read.size()) {
      next = std::search(next, reference.end(), startCode.begin(), startCode.end());
      if (next == reference.end() || size_t(reference.end() - next) < read[matched].size() ||
          !std::equal(read[matched].begin(), read[matched].end(), next)) {
        break;
      }
      next += long(read[matched].size());
      ++matched;
    }
    if (matched == read.size()) {
      *where = size_t(at - reference.begin());
      return ::testing::AssertionSuccess();
    }
  }
  return ::testing::AssertionFailure() << "the " << read.size() << " units after the seek are not in the stream";
}

void CheckSeeksToStarts(const std::string& packaging) {
  const std::vector<CorpusEntry> corpus = ReadCorpusList();
  if (corpus.empty()) GTEST_SKIP() << "no corpus in " << CorpusFolder();
  int checked = 0;
  for (const CorpusEntry& entry : corpus) {
    if (entry.packaging != packaging) continue;
    IndexedStream index;
    const std::filesystem::path indexPath =
        CorpusFolder() / (std::filesystem::path(entry.file).filename().string() + ".vqi");
    ASSERT_TRUE(ReadIndexedStream(indexPath, &index)) << indexPath;
    ASSERT_FALSE(index.starts.empty()) << indexPath;
    OpenedSource source(index.sources, index.streamKind);
    for (size_t i = 0; i < index.sizes.size(); ++i) source->sourceSizes[i] = index.sizes[i];
    source->packetSize = index.packetSize;
    source->videoPid = index.videoPid;
    source->byteGetter = index.streamKind == kStreamTransport ? GetTsByte
                         : index.streamKind == kStreamProgram ? GetPsByte
                                                              : GetEsByte;
    source->unitExtractor = index.codec == 'A' ? ReadNextAvcUnit : ReadNextUnit;
    SeekStream(source.get(), 0);
    const Bytes reference = DrainGetter(source.get());
    size_t previous = 0;
    bool firstStart = true;
    for (const IndexedStream::Start& start : index.starts) {
      SeekStream(source.get(), start.position);
      ASSERT_EQ(source->unitExtractor(source.get()), 1) << entry.file << " at " << start.position;
      const Bytes first = CurrentUnit(source.get());
      ASSERT_GE(first.size(), 5u);
      if (index.codec == 'A') {
        // The access unit that begins the GOP: delimiter, parameter sets and SEI up to
        // its first slice, which is an IDR slice or (recovery point) an I slice.
        Bytes unit = first;
        int guard = 0;
        while ((unit[3] & 0x1F) != 1 && (unit[3] & 0x1F) != 5 && guard++ < 20) {
          const int type = unit[3] & 0x1F;
          ASSERT_TRUE(type == 9 || type == 7 || type == 8 || type == 6) << entry.file << " unit type " << type;
          ASSERT_EQ(source->unitExtractor(source.get()), 1);
          unit = CurrentUnit(source.get());
        }
        if (start.keyword == "IDR") {
          EXPECT_EQ(unit[3] & 0x1F, 5) << entry.file << " at " << start.position;
        } else {
          EXPECT_EQ(unit[3] & 0x1F, 1) << entry.file << " at " << start.position;
          EXPECT_EQ(SliceType(unit) % 5, 2) << entry.file << " at " << start.position;
        }
      } else {
        // A sequence header: MPEG-2 0xB3, VC-1 0x0F.
        EXPECT_EQ(first[3], index.codec == 'M' ? 0xB3 : 0x0F) << entry.file << " at " << start.position;
      }
      SeekStream(source.get(), start.position);
      ASSERT_EQ(source->unitExtractor(source.get()), 1);
      size_t where = 0;
      // Each start lies after the one before it in the stream.
      EXPECT_TRUE(UnitsFollowReference(source.get(), CurrentUnit(source.get()), reference, 40,
                                       firstStart ? 0 : previous + 1, &where))
          << entry.file << " at " << start.position;
      previous = where;
      firstStart = false;
      ++checked;
    }
  }
  EXPECT_GT(checked, 0);
}

TEST(CorpusSeekToIndexedStart, Raw) { CheckSeeksToStarts("raw"); }
TEST(CorpusSeekToIndexedStart, SplitIntoThree) { CheckSeeksToStarts("split"); }
TEST(CorpusSeekToIndexedStart, TransportStream) { CheckSeeksToStarts("ts"); }
TEST(CorpusSeekToIndexedStart, M2ts) { CheckSeeksToStarts("m2ts"); }
TEST(CorpusSeekToIndexedStart, ProgramStream) { CheckSeeksToStarts("ps"); }

}  // namespace

namespace {

// Real transport and program streams, cut short, with the wrong PID and with damaged
// packet lengths: the getters end with -1 or find their way back, and never leave
// their buffers (this runs under AddressSanitizer in the sanitizer tree).
TEST(CorpusDamaged, TruncatedWrongPidAndCorruptedLengths) {
  const std::vector<CorpusEntry> corpus = ReadCorpusList();
  if (corpus.empty()) GTEST_SKIP() << "no corpus in " << CorpusFolder();
  ScratchFolder folder;
  std::mt19937 random(21);
  int checked = 0;
  for (const CorpusEntry& entry : corpus) {
    const bool chosen = entry.StreamName() == "avc_prog_closed" || entry.StreamName() == "m2v_pulldown32";
    if (entry.StreamKind() == kStreamElementary || !chosen) continue;
    const Bytes whole = ReadWholeFile(entry.parts[0]);
    auto open = [&](const Bytes& data) {
      auto source = std::make_unique<OpenedSource>(std::vector<std::filesystem::path>{folder.Write("damaged", data)},
                                                   entry.StreamKind());
      (*source)->packetSize = entry.packetSize;
      (*source)->videoPid = entry.videoPid;
      (*source)->byteGetter = entry.StreamKind() == kStreamTransport ? GetTsByte : GetPsByte;
      SeekStream(source->get(), 0);
      return source;
    };
    const Bytes full = DrainGetter(open(whole)->get());
    for (int round = 0; round < 4; ++round) {
      const size_t cut = random() % whole.size();
      auto source = open(Bytes(whole.begin(), whole.begin() + long(cut)));
      const Bytes got = DrainGetter(source->get());
      EXPECT_LE(got.size(), full.size());
      EXPECT_TRUE(std::equal(got.begin(), got.end(), full.begin())) << entry.file << " cut at " << cut;
      uint8_t value;
      EXPECT_EQ((*source)->byteGetter(source->get(), &value), -1);
    }
    if (entry.StreamKind() == kStreamTransport) {
      auto source = open(whole);
      (*source)->videoPid = entry.videoPid + 1;
      SeekStream(source->get(), 0);
      EXPECT_TRUE(DrainGetter(source->get()).empty()) << entry.file;
    } else {
      // Lengths of packets set to their largest value.
      Bytes damaged = whole;
      for (size_t i = 0; i + 6 < damaged.size(); ++i) {
        if (damaged[i] == 0 && damaged[i + 1] == 0 && damaged[i + 2] == 1 && damaged[i + 3] >= 0xBC &&
            random() % 8 == 0) {
          damaged[i + 4] = 0xFF;
          damaged[i + 5] = 0xFF;
        }
      }
      auto source = open(damaged);
      EXPECT_LE(DrainGetter(source->get()).size(), damaged.size()) << entry.file;
      SeekStream(source->get(), damaged.size() / 2);
      EXPECT_LE(DrainGetter(source->get()).size(), damaged.size()) << entry.file;
    }
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

}  // namespace
