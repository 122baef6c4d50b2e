// Cutting elementary streams into start-code units.
#include <gtest/gtest.h>

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
