// Cutting elementary streams into start-code units.
#include <gtest/gtest.h>

#include <random>

#include "source/stream_readers.h"
#include "tests/stream/stream_test_support.h"

namespace {

struct UnitReader {
  UnitReader(const ScratchFolder& folder, const Bytes& es, bool avc)
      : source({folder.Write("units", es)}, kStreamElementary) {
    source->byteGetter = GetEsByte;
    source->unitExtractor = avc ? ReadNextAvcUnit : ReadNextUnit;
    SeekStream(source.get(), 0);
  }
  // The next unit, or an empty vector with the extractor's result in *result.
  Bytes Next(int* result = nullptr) {
    const int got = source->unitExtractor(source.get());
    if (result != nullptr) *result = got;
    if (got != 1) return {};
    return Bytes(source->unit.data, source->unit.data + source->unit.length);
  }
  OpenedSource source;
};

// The units an MPEG-2 extractor must give for es: each runs from a start code to the
// next one that begins at least three bytes after it; a last unit of more than four
// bytes ends with the input.
std::vector<Bytes> ExpectedUnits(const Bytes& es) {
  std::vector<size_t> starts;
  for (size_t p = 0; p + 3 <= es.size(); ++p) {
    if (es[p] == 0 && es[p + 1] == 0 && es[p + 2] == 1 && (starts.empty() || p >= starts.back() + 3))
      starts.push_back(p);
  }
  std::vector<Bytes> units;
  for (size_t i = 0; i < starts.size(); ++i) {
    const size_t end = i + 1 < starts.size() ? starts[i + 1] : es.size();
    if (i + 1 == starts.size() && end - starts[i] <= 4) break;
    units.emplace_back(es.begin() + starts[i], es.begin() + end);
  }
  return units;
}

std::vector<Bytes> DrainUnits(SourceState* source) {
  std::vector<Bytes> units;
  while (source->unitExtractor(source) == 1) units.emplace_back(source->unit.data, source->unit.data + source->unit.length);
  return units;
}

// Units of random sizes (trailing zeros, runs of zeros, empty bodies) so that start
// codes fall at every offset of packets and chunks.
Bytes RandomUnits(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes es;
  for (size_t i = 0; i < count; ++i) {
    es.insert(es.end(), {0x00, 0x00, 0x01});
    const Bytes body = PatternBytes(random() % 400, seed + static_cast<uint32_t>(i));
    es.insert(es.end(), body.begin(), body.end());
    es.insert(es.end(), random() % 4, 0x00);
  }
  return es;
}

TEST(UnitExtraction, UnitsComeWholeInEveryPackagingWhereverTheirStartCodesFall) {
  ScratchFolder folder;
  const Bytes es = RandomUnits(3000, 5);
  const std::vector<Bytes> expected = ExpectedUnits(es);
  ASSERT_GT(expected.size(), 2900u);
  {
    OpenedSource source({folder.Write("es", es)}, kStreamElementary);
    source->byteGetter = GetEsByte;
    source->unitExtractor = ReadNextUnit;
    SeekStream(source.get(), 0);
    EXPECT_EQ(DrainUnits(source.get()), expected);
  }
  for (int packetSize : {188, 192}) {
    const PackedStream ts = PackIntoTs(es, 0x100, packetSize, 1500);
    OpenedSource source({folder.Write("ts", ts.bytes)}, kStreamTransport);
    source->packetSize = packetSize;
    source->videoPid = 0x100;
    source->byteGetter = GetTsByte;
    source->unitExtractor = ReadNextUnit;
    SeekStream(source.get(), 0);
    EXPECT_EQ(DrainUnits(source.get()), expected) << packetSize;
  }
  {
    const PackedStream ps = PackIntoPs(es, 0xE0, 1000);
    OpenedSource source({folder.Write("ps", ps.bytes)}, kStreamProgram);
    source->byteGetter = GetPsByte;
    source->unitExtractor = ReadNextUnit;
    SeekStream(source.get(), 0);
    EXPECT_EQ(DrainUnits(source.get()), expected);
  }
}

TEST(UnitExtraction, StartCodesAcrossTheChunkBoundaryAreFound) {
  ScratchFolder folder;
  // A start code whose 00 00 01 ends 0, 1 and 2 bytes past the end of the first chunk.
  for (size_t past : {0u, 1u, 2u}) {
    const size_t at = kSourceBufferSize - 2 + past;  // where the start code begins
    const Bytes first = Concat({{0x00, 0x00, 0x01, 0xB3}, Bytes(at - 1004, 0x11)});
    const Bytes second = Concat({{0x00, 0x00, 0x01, 0xB2}, Bytes(996, 0x22)});
    const Bytes third = {0x00, 0x00, 0x01, 0xB5, 0x42};
    OpenedSource source({folder.Write("es", Concat({first, second, third}))}, kStreamElementary);
    source->byteGetter = GetEsByte;
    source->unitExtractor = ReadNextUnit;
    SeekStream(source.get(), 0);
    EXPECT_EQ(DrainUnits(source.get()), (std::vector<Bytes>{first, second, third})) << past;
  }
}

TEST(UnitExtraction, AvcCutsFourByteStartCodesAndTrailingZeros) {
  ScratchFolder folder;
  const Bytes es = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0, 0x00, 0x00, 0x00, 0x01, 0x67, 0x42,
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x68, 0xCE, 0x00, 0x00, 0x01, 0x65, 0x88, 0x00};
  UnitReader avc(folder, es, true);
  EXPECT_EQ(avc.Next(), (Bytes{0x00, 0x00, 0x01, 0x09, 0xF0}));
  EXPECT_EQ(avc.Next(), (Bytes{0x00, 0x00, 0x01, 0x67, 0x42}));
  EXPECT_EQ(avc.Next(), (Bytes{0x00, 0x00, 0x01, 0x68, 0xCE}));
  // The last unit ends with the input and keeps its trailing zero.
  EXPECT_EQ(avc.Next(), (Bytes{0x00, 0x00, 0x01, 0x65, 0x88, 0x00}));
  int result = 1;
  avc.Next(&result);
  EXPECT_EQ(result, 0);
  avc.Next(&result);
  EXPECT_EQ(result, 0);

  // The same bytes as MPEG-2 units keep every zero before the next 3-byte start code.
  UnitReader mpeg2(folder, es, false);
  EXPECT_EQ(mpeg2.Next(), (Bytes{0x00, 0x00, 0x01, 0x09, 0xF0, 0x00}));
  EXPECT_EQ(mpeg2.Next(), (Bytes{0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x00, 0x00}));
}

TEST(UnitExtraction, TwoStartCodesInARowGiveAStartCodeOnlyUnit) {
  ScratchFolder folder;
  UnitReader reader(folder, {0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0xB3, 0x14, 0x00, 0x00, 0x01, 0xB8, 0x01}, false);
  EXPECT_EQ(reader.Next(), (Bytes{0x00, 0x00, 0x01}));
  EXPECT_EQ(reader.Next(), (Bytes{0x00, 0x00, 0x01, 0xB3, 0x14}));
  EXPECT_EQ(reader.Next(), (Bytes{0x00, 0x00, 0x01, 0xB8, 0x01}));
}

TEST(UnitExtraction, ShortTailsAfterTheLastStartCode) {
  ScratchFolder folder;
  for (bool avc : {false, true}) {
    UnitReader oneByte(folder, {0x00, 0x00, 0x01, 0xB3, 0x11, 0x00, 0x00, 0x01, 0xB5}, avc);
    EXPECT_EQ(oneByte.Next(), (Bytes{0x00, 0x00, 0x01, 0xB3, 0x11}));
    int result = 1;
    oneByte.Next(&result);
    EXPECT_EQ(result, 0);

    UnitReader twoBytes(folder, {0x00, 0x00, 0x01, 0xB3, 0x11, 0x00, 0x00, 0x01, 0xB5, 0x00}, avc);
    EXPECT_EQ(twoBytes.Next(), (Bytes{0x00, 0x00, 0x01, 0xB3, 0x11}));
    EXPECT_EQ(twoBytes.Next(), (Bytes{0x00, 0x00, 0x01, 0xB5, 0x00}));
    twoBytes.Next(&result);
    EXPECT_EQ(result, 0);
    // A seek starts over: the units come again.
    SeekStream(twoBytes.source.get(), 0);
    EXPECT_EQ(twoBytes.Next(), (Bytes{0x00, 0x00, 0x01, 0xB3, 0x11}));
  }
}

TEST(UnitExtraction, SeekIntoAUnitDropsTheBytesBeforeTheNextStartCode) {
  ScratchFolder folder;
  const Bytes first = Concat({{0x00, 0x00, 0x01, 0x65}, PatternBytes(5000, 1)});
  const Bytes second = Concat({{0x00, 0x00, 0x01, 0x41}, PatternBytes(3000, 2)});
  UnitReader reader(folder, Concat({first, second}), true);
  SeekStream(reader.source.get(), 2500);
  EXPECT_EQ(reader.Next(), second);
  // A seek onto the start code itself keeps that unit.
  SeekStream(reader.source.get(), first.size());
  EXPECT_EQ(reader.Next(), second);
}

TEST(UnitExtraction, EightMillionBytesWithoutAStartCodeFail) {
  ScratchFolder folder;
  const Bytes noise = PatternBytes(kUnitBufferSize + 10, 3);
  {
    UnitReader reader(folder, Concat({noise, {0x00, 0x00, 0x01, 0xB3, 0x01, 0x02}}), false);
    int result = 0;
    reader.Next(&result);
    EXPECT_EQ(result, -1);
  }
  {
    // A start code in the last bytes of the scan limit is still found.
    Bytes nearLimit(noise.begin(), noise.begin() + 7999996);
    UnitReader reader(folder, Concat({nearLimit, {0x00, 0x00, 0x01, 0xB3, 0x01, 0x02}}), false);
    EXPECT_EQ(reader.Next(), (Bytes{0x00, 0x00, 0x01, 0xB3, 0x01, 0x02}));
  }
  {
    // A unit that does not fit the unit buffer fails too.
    UnitReader reader(folder, Concat({{0x00, 0x00, 0x01, 0x65}, noise, {0x00, 0x00, 0x01, 0x41, 0x07}}), true);
    int result = 0;
    reader.Next(&result);
    EXPECT_EQ(result, -1);
    // The next call looks for a start code again instead of going on mid-unit.
    EXPECT_EQ(reader.Next(), (Bytes{0x00, 0x00, 0x01, 0x41, 0x07}));
  }
}

}  // namespace
