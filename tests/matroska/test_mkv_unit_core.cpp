// EBML reading core: the read window, primitives, fixed point, arrays and error texts.
#include "mkv_internal.h"
#include "mkv_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

// A bare context over memory bytes, as the primitives see it.
struct Core {
  TestIoState state;
  TestIo io;
  MkvFile file;
  explicit Core(const Bytes& bytes) {
    state.data = bytes;
    initTestIo(&io, &state);
    memset(static_cast<void*>(&file), 0, sizeof file);
    file.io = &io.io;
  }
  // Runs f under a handler; returns the failure's message, or "" when it did not fail.
  std::string failure(const std::function<void()>& f) {
    MkvHandlerScope scope(&file);
    try {
      f();
    } catch (MkvParseFailure&) {
      EXPECT_TRUE(file.flags & MKV_STATE_END);
      return file.errorText;
    }
    return "";
  }
};

std::string format(const char* fmt, ...) {
  char buffer[128];
  va_list args;
  va_start(args, fmt);
  formatMessage(buffer, sizeof buffer, fmt, args);
  va_end(args);
  return buffer;
}

TEST(MkvCoreWindow, SeeksInsideTheWindowReadNothingAndRefillsReadWholeWindowsWhereAsked) {
  Bytes data(5000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  Core c(data);
  EXPECT_EQ(readByte(&c.file), 0);
  ASSERT_EQ(c.state.reads.size(), 1u);
  EXPECT_EQ(c.state.reads[0], std::make_pair(uint64_t{0}, 1024));
  seekTo(&c.file, 1000);
  EXPECT_EQ(readByte(&c.file), static_cast<uint8_t>(1000 * 7));
  EXPECT_EQ(c.state.reads.size(), 1u) << "a seek inside the window reads nothing";
  seekTo(&c.file, 3000);
  EXPECT_EQ(c.state.reads.size(), 1u) << "a seek outside reads nothing until a byte is needed";
  EXPECT_EQ(readByte(&c.file), static_cast<uint8_t>(3000 * 7));
  EXPECT_EQ(c.state.reads.back(), std::make_pair(uint64_t{3000}, 1024));
  // A refill across the end of the data: fewer bytes are accepted, then end of file.
  seekTo(&c.file, 4990);
  for (int i = 0; i < 10; ++i) EXPECT_GE(readByte(&c.file), 0);
  EXPECT_EQ(readByte(&c.file), -1);
  EXPECT_EQ(filePosition(&c.file), 5000u);
}

TEST(MkvCoreWindow, ReadBytesTakesTheWindowThenOneDirectReadAndReportsShortReads) {
  Bytes data(10000, 'x');
  Core c(data);
  seekTo(&c.file, 924);
  readByte(&c.file);  // window 924..1947
  seekTo(&c.file, 1848);  // 100 bytes left in the window
  std::vector<char> out(3000);
  EXPECT_EQ(c.failure([&] { readBytes(&c.file, out.data(), 3000); }), "");
  EXPECT_EQ(c.state.reads.back(), std::make_pair(uint64_t{1948}, 2900));
  EXPECT_EQ(filePosition(&c.file), 4848u);

  Core shortFile(Bytes(3948, 'y'));
  seekTo(&shortFile.file, 924);
  readByte(&shortFile.file);
  seekTo(&shortFile.file, 1848);
  EXPECT_EQ(shortFile.failure([&] { readBytes(&shortFile.file, out.data(), 3000); }),
            "Short read: got 2000 bytes of 2900");

  Core failing(data);
  failing.state.failReadsFrom = 0;
  EXPECT_EQ(failing.failure([&] { readByte(&failing.file); }), "I/O Error: simulated read failure");
}

TEST(MkvCoreWindow, SkipsNeverReadAndSaturateInsteadOfWrapping) {
  Core c(Bytes(3000, 'a'));
  readByte(&c.file);
  skipBytes(&c.file, 10);
  EXPECT_EQ(filePosition(&c.file), 11u);
  skipBytes(&c.file, 2000);
  EXPECT_EQ(filePosition(&c.file), 2011u);
  EXPECT_EQ(c.state.reads.size(), 1u);
  skipBytes(&c.file, UINT64_MAX - 5);
  EXPECT_EQ(filePosition(&c.file), UINT64_MAX);
  EXPECT_EQ(readId(&c.file), kNoId);
}

TEST(MkvCorePrimitives, IdsAndVariableLengthIntegers) {
  struct Case {
    Bytes bytes;
    std::function<uint64_t(MkvFile*)> read;
    uint64_t value;
    std::string failure;
  };
  auto id = [](MkvFile* f) { return uint64_t{readId(f)}; };
  auto varint = [](MkvFile* f) { return readVarIntPlain(f); };
  auto size = [](MkvFile* f) { return readSize(f); };
  auto svarint = [](MkvFile* f) { return static_cast<uint64_t>(readSVarInt(f)); };
  const Case cases[] = {
      {Bytes("\x1A\x45\xDF\xA3", 4), id, 0x1A45DFA3, ""},
      {Bytes("\xA3", 1), id, 0xA3, ""},
      {Bytes("\x0F", 1), id, 0, "Invalid first byte of EBML ID: 0F"},
      {Bytes("", 0), id, kNoId, ""},
      {Bytes("\x1A\x45", 2), id, 0, "Got EOF while reading EBML ID"},
      {Bytes("\x81", 1), varint, 1, ""},
      {Bytes("\x40\x02", 2), varint, 2, ""},
      {Bytes("", 0), varint, 0, ""},
      {Bytes("\x00", 1), varint, 0, "Invalid first byte of EBML integer: 0"},
      {Bytes("\x40", 1), varint, 0, "Got EOF while reading EBML unsigned integer"},
      {Bytes("\xFF", 1), size, 0, "Unspecified element size is not supported here."},
      {Bytes("\x7F\xFF", 2), size, 0, "Unspecified element size is not supported here."},
      {Bytes("\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8), size, 0, "Unspecified element size is not supported here."},
      {Bytes("\x7F\xFE", 2), size, 0x3FFE, ""},
      {Bytes("\x80", 1), svarint, static_cast<uint64_t>(-63), ""},
      {Bytes("\xBF", 1), svarint, 0, ""},
      {Bytes("\x60\x00", 2), svarint, static_cast<uint64_t>(0x2000 - 0x1FFF), ""},
  };
  for (const Case& k : cases) {
    Core c(k.bytes);
    uint64_t got = 0;
    std::string failure = c.failure([&] { got = k.read(&c.file); });
    EXPECT_EQ(failure, k.failure);
    if (k.failure.empty()) {
      EXPECT_EQ(got, k.value);
    }
  }
}

TEST(MkvCorePrimitives, IntegersFloatsAndTexts) {
  {
    Core c(Bytes("\x12\x34\xFF\xFE", 4));
    EXPECT_EQ(readUInt(&c.file, 0), 0u);
    EXPECT_EQ(c.state.reads.size(), 0u) << "count 0 reads nothing";
    EXPECT_EQ(readUInt(&c.file, 2), 0x1234u);
    EXPECT_EQ(readSInt(&c.file, 2), -2);
    EXPECT_EQ(c.failure([&] { readUInt(&c.file, 9); }), "Unsupported integer size in readUInt: 9");
    EXPECT_EQ(c.failure([&] { readUInt(&c.file, 1); }), "Got EOF while reading EBML unsigned integer");
  }
  auto floatOf = [](double value, int width) {
    Bytes e = floatElement(0x4489, value, width);
    Core c(e.substr(e.size() - width));
    int64_t result = 0;
    EXPECT_EQ(c.failure([&] { result = readFloat(&c.file, width); }), "");
    return result;
  };
  EXPECT_EQ(floatOf(1.0, 8), int64_t{1} << 32);
  EXPECT_EQ(floatOf(1.0, 4), int64_t{1} << 32);
  EXPECT_EQ(floatOf(2.5, 8), (int64_t{2} << 32) + 0x80000000);
  EXPECT_EQ(floatOf(-2.5, 8), -((int64_t{2} << 32) + 0x80000000));
  EXPECT_EQ(floatOf(1.0e10, 8), INT64_MAX);
  EXPECT_EQ(floatOf(1.0e10, 4), INT64_MAX);
  EXPECT_EQ(floatOf(-1.0e10, 8), INT64_MIN);
  EXPECT_EQ(floatOf(0.0, 8), 0);
  EXPECT_EQ(floatOf(1e-30, 8), 0);
  EXPECT_EQ(floatOf(-1e-30, 8), -1) << "tiny negatives shift towards minus infinity";
  EXPECT_EQ(floatOf(8000.0, 4), int64_t{8000} << 32);
  {
    Core c(Bytes(10, '\0'));
    EXPECT_EQ(c.failure([&] { readFloat(&c.file, 10); }), "Invalid float size in readFloat: 10");
    EXPECT_EQ(c.failure([&] { readFloat(&c.file, 0); }), "Invalid float size in readFloat: 0");
  }
  {
    Bytes text(40, 'a');
    text += "NEXT";
    Core c(text);
    char buffer[32];
    readString(&c.file, 40, buffer, sizeof buffer);
    EXPECT_EQ(strlen(buffer), 31u);
    EXPECT_EQ(filePosition(&c.file), 40u);
    EXPECT_EQ(c.failure([&] { readString(&c.file, 4, buffer, 0); }), "Invalid buffer size in readString: 0");
  }
  {
    Core c(Bytes("engfrench", 9));
    char code[4];
    readLangCode(&c.file, 3, code);
    EXPECT_STREQ(code, "eng");
    readLangCode(&c.file, 6, code);
    EXPECT_STREQ(code, "fre");
    EXPECT_EQ(filePosition(&c.file), 9u);
  }
}

TEST(MkvCoreFixedPoint, MultiplyKeepsTheIntegerPart) {
  EXPECT_EQ(mulFixed(intToFixed(1), 1000000), 1000000);
  EXPECT_EQ(mulFixed((int64_t{5000} << 32), 1000000), 5000000000);
  EXPECT_EQ(mulFixed((int64_t{1} << 31), 3), 1) << "0.5 x 3 = 1.5, fraction dropped";
  EXPECT_EQ(mulFixed(intToFixed(-2), 3), 6) << "the sign is not carried";
  EXPECT_EQ(intToFixed(-1), -(int64_t{1} << 32));
}

TEST(MkvCoreArrays, GrowByDoublingAndTrimToCount) {
  Core c("");
  uint32_t* array = nullptr;
  uint32_t count = 0, capacity = 0;
  std::vector<uint32_t> capacities;
  for (int i = 0; i < 5; ++i) {
    int before = c.state.allocCalls;
    *arrayAppend(&c.file, array, count, capacity) = static_cast<uint32_t>(i);
    if (c.state.allocCalls != before) capacities.push_back(capacity);
  }
  EXPECT_EQ(capacities, (std::vector<uint32_t>{1, 2, 4, 8}));
  EXPECT_EQ(count, 5u);
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(array[i], i);
  arrayTrim(&c.file, array, count, capacity);
  EXPECT_EQ(capacity, 5u);
  EXPECT_EQ(c.state.live.at(array), 20u);

  c.state.failAllocAt = c.state.allocCalls;  // the next growth fails
  uint32_t* before = array;
  EXPECT_EQ(c.failure([&] { arrayAppend(&c.file, array, count, capacity); }), "Out of memory in ArrayAlloc");
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(capacity, 5u);
  EXPECT_EQ(array, before) << "the failed growth leaves the array as it was";
  EXPECT_EQ(array[4], 4u);
  c.file.io->memFree(c.file.io, array);
}

TEST(MkvCoreMessages, FormatterAndErrorTextCopies) {
  EXPECT_EQ(format("%d|%u|%x|%X|%s", -42, 42u, 255u, 255u, "txt"), "-42|42|ff|FF|txt");
  EXPECT_EQ(format("%05d", -42), "-0042");
  EXPECT_EQ(format("%5d", -42), "-  42");
  EXPECT_EQ(format("%-5d|", 42), "42   |");
  EXPECT_EQ(format("%02X", 0x0Fu), "0F");
  EXPECT_EQ(format("%llu", 18446744073709551615ull), "18446744073709551615");
  EXPECT_EQ(format("%lld", -9223372036854775807ll - 1), "-9223372036854775808");
  EXPECT_EQ(format("100%% %c done"), "100  done") << "%% and %c print nothing and take nothing";
  EXPECT_EQ(format("%lllu|%d", 7), "|7");
  EXPECT_EQ(format("%s", static_cast<const char*>(nullptr)), "");
  char small[6];
  va_list none{};
  (void)none;
  std::string text = format("%s", "abcdefghij");
  EXPECT_EQ(text, "abcdefghij");
  {
    char buffer[4] = {'x', 'x', 'x', 'x'};
    auto f = [&](const char* fmt, ...) {
      va_list args;
      va_start(args, fmt);
      formatMessage(buffer, 4, fmt, args);
      va_end(args);
    };
    f("%d", 123456);
    EXPECT_STREQ(buffer, "123");
    buffer[0] = 'x';
    auto g = [&](int size, const char* fmt, ...) {
      va_list args;
      va_start(args, fmt);
      formatMessage(buffer, size, fmt, args);
      va_end(args);
    };
    g(1, "abc");
    EXPECT_EQ(buffer[0], 0);
    buffer[0] = 'x';
    g(0, "abc");
    EXPECT_EQ(buffer[0], 'x');
  }
  memset(small, 'z', sizeof small);
  copyErrorText(small, "Out of memory", 5);
  EXPECT_STREQ(small, "Out ");
  memset(small, 'z', sizeof small);
  copyErrorText(small, "Out of memory", 1);
  EXPECT_EQ(small[0], 0);
  EXPECT_EQ(small[1], 'z');
  memset(small, 'z', sizeof small);
  copyErrorText(small, "Out of memory", 0);
  EXPECT_EQ(small[0], 'z');

  Core c("");
  std::string longText(200, 'm');
  EXPECT_EQ(c.failure([&] { failParse(&c.file, "%s", longText.c_str()); }), std::string(127, 'm'));
}

}  // namespace
