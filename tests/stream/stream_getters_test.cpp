// Byte getters and seeks over hand-built elementary, transport and program streams.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "source/stream_readers.h"
#include "tests/stream/stream_test_support.h"

namespace {

std::vector<std::filesystem::path> WriteSplit(const ScratchFolder& folder, const std::string& name, const Bytes& data,
                                              const std::vector<size_t>& cuts) {
  std::vector<std::filesystem::path> files;
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    const size_t to = i < cuts.size() ? cuts[i] : data.size();
    files.push_back(folder.Write(name + "." + std::to_string(i),
                                 Bytes(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(to))));
    from = to;
  }
  return files;
}

Bytes Tail(const Bytes& data, size_t from) { return Bytes(data.begin() + static_cast<long>(from), data.end()); }

void UseGetterFor(SourceState* source) {
  source->byteGetter = source->streamKind == kStreamTransport ? GetTsByte
                       : source->streamKind == kStreamProgram ? GetPsByte
                                                              : GetEsByte;
}

// A sparse source file whose only data lies beyond 4 GiB: opened and read there by
// the 32-bit build too (a 32-bit file offset fails to open it or reads elsewhere).
TEST(ElementaryStream, ReadsBeyondFourGiB) {
  ScratchFolder folder;
  const Bytes tail = PatternBytes(4096, 9);
  const uint64_t at = (uint64_t{9} << 29) + 12345;  // 4.5 GiB and a bit
  const std::filesystem::path path = folder.path() / "large.264";
  {
    std::ofstream out(path, std::ios::binary);
    out.seekp(static_cast<std::streamoff>(at));
    out.write(reinterpret_cast<const char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
    ASSERT_TRUE(out.good());
  }
  OpenedSource source({path}, kStreamElementary);
  ASSERT_NE(source->sourceFiles[0], nullptr);
  UseGetterFor(source.get());
  SeekStream(source.get(), at);
  EXPECT_TRUE(SameBytes(DrainGetter(source.get()), tail));
}

TEST(ElementaryStream, ReadsAcrossThreeFilesAndEndsForGood) {
  ScratchFolder folder;
  const Bytes es = PatternBytes(300000, 1);
  OpenedSource source(WriteSplit(folder, "es", es, {65536, 65537 + 1000}), kStreamElementary);
  UseGetterFor(source.get());
  SeekStream(source.get(), 0);
  EXPECT_TRUE(SameBytes(DrainGetter(source.get()), es));
  uint8_t value;
  EXPECT_EQ(GetEsByte(source.get(), &value), -1);
  EXPECT_EQ(GetEsByte(source.get(), &value), -1);
}

TEST(ElementaryStream, SeeksInsideTheChunkReadBeforeGiveTheSameBytes) {
  ScratchFolder folder;
  // A first file longer than one chunk, so that reading on from a seek inside the chunk
  // needs the next chunk of that file and then the second file.
  const Bytes es = PatternBytes(kSourceBufferSize + 5000, 4);
  OpenedSource source(WriteSplit(folder, "es", es, {kSourceBufferSize + 3000}), kStreamElementary);
  UseGetterFor(source.get());
  for (const size_t position : {size_t{100}, kSourceBufferSize + 90, size_t{5000}, size_t{99}, size_t{100}}) {
    SeekStream(source.get(), position);
    const Bytes got = DrainGetter(source.get(), 30);
    EXPECT_TRUE(SameBytes(got, Bytes(es.begin() + static_cast<long>(position), es.begin() + static_cast<long>(position) + 30)))
        << position;
  }
  // After reading past the chunk, a seek back into it reads the file again.
  SeekStream(source.get(), 200);
  EXPECT_TRUE(SameBytes(DrainGetter(source.get()), Tail(es, 200)));
  SeekStream(source.get(), kSourceBufferSize + 10);
  EXPECT_TRUE(SameBytes(DrainGetter(source.get()), Tail(es, kSourceBufferSize + 10)));
  SeekStream(source.get(), 300);
  EXPECT_TRUE(SameBytes(DrainGetter(source.get()), Tail(es, 300)));
}

// A seek reads its chunk a step at a time: the steps must join up, a file may end exactly
// where a step ends or inside one, and a later seek may land in or beyond what was read.
TEST(ElementaryStream, ChunksReadInStepsGiveTheSameBytes) {
  ScratchFolder folder;
  const Bytes es = PatternBytes(4 * kChunkReadStep + 5000, 6);
  OpenedSource source(WriteSplit(folder, "es", es, {3 * kChunkReadStep}), kStreamElementary);
  UseGetterFor(source.get());
  for (const size_t position : {size_t{0}, size_t{kChunkReadStep + 7}, size_t{3 * kChunkReadStep - 1},
                                size_t{3 * kChunkReadStep + 10}}) {
    SeekStream(source.get(), position);
    EXPECT_TRUE(SameBytes(DrainGetter(source.get()), Tail(es, position))) << position;
  }
  // seek, bytes read from there: inside the first step read; beyond what was read; inside
  // that seek's first step, which the file's end cuts short, and on into the next file;
  // before that seek's chunk, across a step.
  const std::pair<size_t, size_t> reads[] = {
      {10, 20}, {2 * kChunkReadStep + 500, 30}, {2 * kChunkReadStep + 510, kChunkReadStep}, {kChunkReadStep - 100, 300}};
  for (const auto& [position, count] : reads) {
    SeekStream(source.get(), position);
    const Bytes want(es.begin() + static_cast<long>(position), es.begin() + static_cast<long>(position + count));
    EXPECT_TRUE(SameBytes(DrainGetter(source.get(), count), want)) << position;
  }
}

TEST(ElementaryStream, PositionAtAFileEndMapsToThatFileAndMovesOn) {
  ScratchFolder folder;
  const Bytes es = PatternBytes(5000, 2);
  OpenedSource source(WriteSplit(folder, "es", es, {1000, 3000}), kStreamElementary);
  int32_t file = -1;
  uint64_t offset = 0;
  MapStreamPosition(source.get(), 1000, &file, &offset);
  EXPECT_EQ(file, 0);
  EXPECT_EQ(offset, 1000u);
  MapStreamPosition(source.get(), 1001, &file, &offset);
  EXPECT_EQ(file, 1);
  EXPECT_EQ(offset, 1u);
  // Beyond the end: the end of the last file, where reading ends at once.
  MapStreamPosition(source.get(), 999999, &file, &offset);
  EXPECT_EQ(file, 2);
  EXPECT_EQ(offset, 2000u);

  UseGetterFor(source.get());
  SeekStream(source.get(), 1000);
  EXPECT_EQ(source->needSync, 1);
  EXPECT_TRUE(SameBytes(DrainGetter(source.get()), Tail(es, 1000)));
  SeekStream(source.get(), 5000);
  EXPECT_TRUE(DrainGetter(source.get()).empty());
}

TEST(ElementaryStream, ChunksLargerThanTheBufferAndEmptyFilesBetween) {
  ScratchFolder folder;
  const Bytes es = PatternBytes(kSourceBufferSize * 2 + 12345, 3);
  std::vector<std::filesystem::path> files = WriteSplit(folder, "es", es, {kSourceBufferSize + 17});
  files.insert(files.begin() + 1, folder.Write("empty", {}));
  OpenedSource source(files, kStreamElementary);
  UseGetterFor(source.get());
  SeekStream(source.get(), 0);
  EXPECT_TRUE(SameBytes(DrainGetter(source.get()), es));
  const uint64_t inSecondFile = kSourceBufferSize + 17 + kSourceBufferSize - 5;
  SeekStream(source.get(), inSecondFile);
  EXPECT_TRUE(SameBytes(DrainGetter(source.get()), Tail(es, inSecondFile)));
}

class TransportStream : public ::testing::TestWithParam<int> {};

TEST_P(TransportStream, DeliversTheVideoPayloadAcrossFiles) {
  const int packetSize = GetParam();
  ScratchFolder folder;
  const Bytes es = PatternBytes(120000, 4);
  const PackedStream ts = PackIntoTs(es, 0x1E1, packetSize, 5000);
  // Cuts inside packets, one of them inside a PES header region.
  OpenedSource source(WriteSplit(folder, "ts", ts.bytes, {40001, 40001 + 18803}), kStreamTransport);
  source->packetSize = packetSize;
  source->videoPid = 0x1E1;
  UseGetterFor(source.get());
  SeekStream(source.get(), 0);
  EXPECT_TRUE(SameBytes(DrainGetter(source.get()), es));
}

TEST_P(TransportStream, SeekToAnyPayloadByteDeliversFromThatByte) {
  const int packetSize = GetParam();
  ScratchFolder folder;
  const Bytes es = PatternBytes(60000, 5);
  const PackedStream ts = PackIntoTs(es, 0x100, packetSize, 3000);
  OpenedSource source(WriteSplit(folder, "ts", ts.bytes, {20000}), kStreamTransport);
  source->packetSize = packetSize;
  source->videoPid = 0x100;
  UseGetterFor(source.get());
  std::mt19937 random(11);
  int checked = 0;
  for (int attempt = 0; attempt < 400 && checked < 60; ++attempt) {
    const size_t position = random() % ts.bytes.size();
    if (ts.esOffset[position] < 0) continue;
    ++checked;
    SeekStream(source.get(), position);
    EXPECT_EQ(source->needSync, 1);
    ASSERT_TRUE(SameBytes(DrainGetter(source.get()), Tail(es, static_cast<size_t>(ts.esOffset[position]))))
        << "position " << position << " es offset " << ts.esOffset[position];
  }
  EXPECT_GE(checked, 30);
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, TransportStream, ::testing::Values(188, 192));

// A packet-stream seek reads a first step of its file; the rest of the chunk comes a step
// at a time as the getter gets there. The steps must join up wherever the seek lands: at
// the start of a step, just before a step ends, and where the file ends inside the first
// step, which sends the packet scan on into the next file.
TEST(PacketStreamSeeks, ReadsInStepsJoinUpWithinAndAcrossFiles) {
  struct Case {
    const char* name;
    int32_t kind;
    int packetSize;
  };
  const Bytes es = PatternBytes(3 * kChunkReadStep, 13);
  for (const Case& c : {Case{"ts188", kStreamTransport, 188}, Case{"ts192", kStreamTransport, 192},
                        Case{"ps", kStreamProgram, 0}}) {
    SCOPED_TRACE(c.name);
    ScratchFolder folder;
    const PackedStream packed =
        c.kind == kStreamTransport ? PackIntoTs(es, 0x100, c.packetSize, 3000) : PackIntoPs(es, 0xE0, 2048);
    const size_t cut = kChunkReadStep + 1001;
    OpenedSource source(WriteSplit(folder, c.name, packed.bytes, {cut}), c.kind);
    source->packetSize = c.packetSize;
    source->videoPid = 0x100;
    UseGetterFor(source.get());
    std::vector<size_t> positions = {0, kChunkReadStep, 2 * kChunkReadStep - 7, cut - 5000, cut - 30, cut + 9};
    std::mt19937 random(14);
    for (int k = 0; k < 12; ++k) positions.push_back(random() % packed.bytes.size());
    int checked = 0;
    for (size_t position : positions) {
      // The first payload byte at or after the position is where delivery starts.
      while (position < packed.bytes.size() && packed.esOffset[position] < 0) ++position;
      if (position >= packed.bytes.size()) continue;
      ++checked;
      SeekStream(source.get(), position);
      ASSERT_TRUE(SameBytes(DrainGetter(source.get()), Tail(es, static_cast<size_t>(packed.esOffset[position]))))
          << "position " << position;
    }
    EXPECT_GE(checked, 15);
  }
}

TEST(TransportStreamPackets, StraySyncBytesAndShortPayloadsAreNotTaken) {
  ScratchFolder folder;
  const Bytes es = PatternBytes(3000, 6);
  const PackedStream packed = PackIntoTs(es, 0x100, 188, 3000);
  // Leading junk with a 0x47 that has no 0x47 one packet further on.
  Bytes junk(60, 0x11);
  junk[10] = 0x47;
  ASSERT_NE(packed.bytes[10 + 188 - junk.size()], 0x47);
  // A video packet that starts a unit but leaves fewer than 9 payload bytes: dropped.
  PackedStream dropped;
  TsPacketLayout shortPayload;
  shortPayload.pid = 0x100;
  shortPayload.unitStart = true;
  shortPayload.adaptationLength = 176;
  const Bytes marker(7, 0xAB);
  AppendTsPacket(&dropped, shortPayload, marker, std::vector<int64_t>(7, -1), 0, 188);
  OpenedSource source({folder.Write("ts", Concat({junk, dropped.bytes, packed.bytes}))}, kStreamTransport);
  source->packetSize = 188;
  source->videoPid = 0x100;
  UseGetterFor(source.get());
  SeekStream(source.get(), 0);
  EXPECT_TRUE(SameBytes(DrainGetter(source.get()), es));
}

TEST(TransportStreamPackets, WrongPidDeliversNothing) {
  ScratchFolder folder;
  const PackedStream ts = PackIntoTs(PatternBytes(50000, 7), 0x100, 188, 4000);
  OpenedSource source({folder.Write("ts", ts.bytes)}, kStreamTransport);
  source->packetSize = 188;
  source->videoPid = 0x1FF;
  UseGetterFor(source.get());
  SeekStream(source.get(), 0);
  EXPECT_TRUE(DrainGetter(source.get()).empty());
  SeekStream(source.get(), 30000);
  EXPECT_TRUE(DrainGetter(source.get()).empty());
}

TEST(ProgramStream, DeliversVideoOfAnyStreamNumberAcrossFiles) {
  ScratchFolder folder;
  const Bytes es = PatternBytes(150000, 8);
  for (uint8_t streamId : {0xE0, 0xE2, 0xEF}) {
    const PackedStream ps = PackIntoPs(es, streamId, 2000);
    OpenedSource source(WriteSplit(folder, "ps", ps.bytes, {30011, 30011 + 2049}), kStreamProgram);
    UseGetterFor(source.get());
    SeekStream(source.get(), 0);
    EXPECT_TRUE(SameBytes(DrainGetter(source.get()), es)) << "stream id " << int(streamId);
  }
}

TEST(ProgramStream, SeekToAnyPayloadByteDeliversFromThatByte) {
  ScratchFolder folder;
  const Bytes es = PatternBytes(80000, 9);
  const PackedStream ps = PackIntoPs(es, 0xE0, 2048);
  OpenedSource source(WriteSplit(folder, "ps", ps.bytes, {41000}), kStreamProgram);
  UseGetterFor(source.get());
  std::mt19937 random(12);
  int checked = 0;
  for (int attempt = 0; attempt < 400 && checked < 60; ++attempt) {
    const size_t position = random() % ps.bytes.size();
    if (ps.esOffset[position] < 0) continue;
    ++checked;
    SeekStream(source.get(), position);
    ASSERT_TRUE(SameBytes(DrainGetter(source.get()), Tail(es, static_cast<size_t>(ps.esOffset[position]))))
        << "position " << position << " es offset " << ps.esOffset[position];
  }
  EXPECT_GE(checked, 30);
  // Close to the start the seek backs off only to byte 0.
  const size_t firstPayload = static_cast<size_t>(
      std::find_if(ps.esOffset.begin(), ps.esOffset.end(), [](int64_t o) { return o >= 0; }) - ps.esOffset.begin());
  SeekStream(source.get(), firstPayload + 10);
  EXPECT_TRUE(SameBytes(DrainGetter(source.get()), Tail(es, 10)));
}

TEST(ProgramStream, OddPacketsFollowTheirRules) {
  ScratchFolder folder;
  const Bytes first = PatternBytes(500, 10), second = PatternBytes(600, 11), third = PatternBytes(700, 12);
  // An MPEG-1 style video packet is dropped whole.
  Bytes mpeg1 = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x0F};
  const Bytes mpeg1Payload = PatternBytes(100, 13);
  mpeg1.insert(mpeg1.end(), mpeg1Payload.begin(), mpeg1Payload.end());
  mpeg1[4] = 0;
  mpeg1[5] = static_cast<uint8_t>(1 + mpeg1Payload.size());
  // Padding above 2048 bytes is not passed over by its length: a video packet inside
  // it is read.
  const Bytes hidden = PatternBytes(50, 14);
  Bytes longPadding = Concat({Bytes(100, 0xFF), PsVideoPacket(0xE0, hidden, 0), Bytes(2000, 0xFF)});
  // Other stream ids (0xBC, 0xC8-0xDF, 0xF0-0xFF) are passed over by their length.
  const Bytes body = Concat({Bytes{0, 0, 1, 0xE0, 0, 4, 0x80, 0, 0, 9, 9, 9}, PatternBytes(40, 15)});
  const Bytes ps = Concat({PackHeader(), PsVideoPacket(0xE0, first, 2), mpeg1, PsPacket(0xBE, longPadding),
                           PsPacket(0xBC, body), PsPacket(0xD5, body), PsPacket(0xF3, body),
                           PsVideoPacket(0xE1, second, 0), PsPacket(0xC3, body), PsVideoPacket(0xE0, third, 7)});
  OpenedSource source({folder.Write("ps", ps)}, kStreamProgram);
  UseGetterFor(source.get());
  SeekStream(source.get(), 0);
  EXPECT_TRUE(SameBytes(DrainGetter(source.get()), Concat({first, hidden, second, third})));
}

TEST(DamagedStreams, TruncatedFilesDeliverAPrefixAndEnd) {
  ScratchFolder folder;
  const Bytes es = PatternBytes(40000, 16);
  const PackedStream ts = PackIntoTs(es, 0x100, 192, 2500);
  const PackedStream ps = PackIntoPs(es, 0xE0, 1800);
  std::mt19937 random(13);
  for (int round = 0; round < 20; ++round) {
    for (const PackedStream* packed : {&ts, &ps}) {
      const size_t cut = random() % packed->bytes.size();
      OpenedSource source({folder.Write("cut", Bytes(packed->bytes.begin(), packed->bytes.begin() + long(cut)))},
                          packed == &ts ? kStreamTransport : kStreamProgram);
      source->packetSize = 192;
      source->videoPid = 0x100;
      UseGetterFor(source.get());
      SeekStream(source.get(), 0);
      const Bytes got = DrainGetter(source.get());
      ASSERT_LE(got.size(), es.size());
      EXPECT_TRUE(std::equal(got.begin(), got.end(), es.begin())) << "cut at " << cut;
      uint8_t value;
      EXPECT_EQ(source->byteGetter(source.get(), &value), -1);
    }
  }
}

TEST(DamagedStreams, CorruptedBytesNeverLeadOutOfTheBuffers) {
  ScratchFolder folder;
  const Bytes es = PatternBytes(60000, 17);
  const PackedStream ts = PackIntoTs(es, 0x100, 188, 3000);
  const PackedStream ps = PackIntoPs(es, 0xE0, 2000);
  std::mt19937 random(14);
  for (int round = 0; round < 40; ++round) {
    for (const PackedStream* packed : {&ts, &ps}) {
      Bytes damaged = packed->bytes;
      for (int i = 0; i < 30; ++i) damaged[random() % damaged.size()] = static_cast<uint8_t>(random());
      // Lengths and header sizes at their worst.
      for (size_t i = 0; i + 9 < damaged.size() && packed == &ps; ++i) {
        if (damaged[i] == 0 && damaged[i + 1] == 0 && damaged[i + 2] == 1 && random() % 4 == 0) {
          damaged[i + 4] = 0xFF;
          damaged[i + 5] = static_cast<uint8_t>(random());
          damaged[i + 8] = 0xFF;
        }
      }
      OpenedSource source({folder.Write("bad", damaged)}, packed == &ts ? kStreamTransport : kStreamProgram);
      source->packetSize = 188;
      source->videoPid = 0x100;
      UseGetterFor(source.get());
      for (int seek = 0; seek < 4; ++seek) {
        SeekStream(source.get(), seek == 0 ? 0 : random() % (damaged.size() + 500));
        EXPECT_LE(DrainGetter(source.get()).size(), damaged.size());
      }
    }
  }
}

}  // namespace
