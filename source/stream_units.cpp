// Cutting the elementary stream into start-code units: each unit runs from one
// start code 00 00 01 up to the next and is handed out in unitBuffer beginning with
// exactly 00 00 01.
#include <cstring>

#include "source/stream_readers.h"

namespace {

constexpr uint32_t kSyncScanLimit = 7999999;

// After a seek: passes over the bytes before the first start code. Returns 1 when
// one was found, 0 when the input ended, -1 when none came within the scan limit.
int FindFirstStartCode(SourceState* source) {
  const ByteGetter getByte = source->byteGetter;
  uint32_t window = 0xFFFFFF;
  source->inputEnded = 0;
  for (uint32_t count = 1;; ++count) {
    uint8_t value;
    if (getByte(source, &value) < 0) return 0;
    window = ((window << 8) | value) & 0xFFFFFF;
    if (window == 1 && count >= 3) return 1;
    if (count >= kSyncScanLimit) return -1;
  }
}

// Reads one unit into unitBuffer. On success stores the number of bytes stored
// (the next start code included) in *stored and returns 1; returns 2 when the input
// ended inside the unit (*stored then counts the unit's bytes), -1 when the unit
// does not fit.
int ReadUnitBytes(SourceState* source, uint32_t* stored) {
  uint8_t* buffer = source->unitBuffer;
  buffer[0] = 0;
  buffer[1] = 0;
  buffer[2] = 1;
  source->needSync = 0;
  source->unit.data = buffer;
  const ByteGetter getByte = source->byteGetter;
  uint32_t count = 3;
  for (;;) {
    if (count >= kUnitBufferSize) {
      // A unit larger than the buffer: the next call looks for a start code again.
      source->needSync = 1;
      return -1;
    }
    // Bytes that lie in the buffer already are taken in one go, up to the next start
    // code: 00 00 01 with its first zero at position 3 or later (the zeros may be the
    // last bytes stored).
    const uint8_t* run = nullptr;
    uint32_t available = PeekStreamRun(source, &run);
    if (available > 0) {
      if (available > kUnitBufferSize - count) available = static_cast<uint32_t>(kUnitBufferSize - count);
      for (uint32_t j = count < 5 ? 5 - count : 0; j < available; ++j) {
        const void* one = std::memchr(run + j, 1, available - j);
        if (!one) break;
        j = static_cast<uint32_t>(static_cast<const uint8_t*>(one) - run);
        const uint8_t before = j >= 1 ? run[j - 1] : buffer[count - 1];
        const uint8_t twoBefore = j >= 2 ? run[j - 2] : buffer[count + j - 2];
        if (before == 0 && twoBefore == 0) {
          std::memcpy(buffer + count, run, j + 1);
          ConsumeStreamRun(source, j + 1);
          *stored = count + j + 1;
          return 1;
        }
      }
      std::memcpy(buffer + count, run, available);
      ConsumeStreamRun(source, available);
      count += available;
      continue;
    }
    // The next byte needs the getter (a packet header, a new chunk or the end).
    uint8_t value;
    if (getByte(source, &value) < 0) {
      *stored = count;
      return 2;
    }
    buffer[count++] = value;
    if (count >= 6 && value == 1 && buffer[count - 2] == 0 && buffer[count - 3] == 0) {
      *stored = count;
      return 1;
    }
  }
}

int ReadUnit(SourceState* source, bool trimZeros) {
  if (source->needSync) {
    const int found = FindFirstStartCode(source);
    if (found <= 0) return found;
  } else if (source->inputEnded) {
    return 0;
  }
  uint32_t stored = 0;
  const int result = ReadUnitBytes(source, &stored);
  if (result < 0) return -1;
  if (result == 2) {
    source->unit.length = stored;
    if (stored <= 4) return 0;
    source->inputEnded = 1;
    return 1;
  }
  const uint8_t* buffer = source->unitBuffer;
  uint32_t length = stored - 3;
  if (trimZeros && buffer[stored - 4] == 0) {
    // 4-byte start code: its leading zero and the unit's trailing zeros go. The scan
    // stops at the latest at the 01 of the unit's own start code.
    length = stored - 4;
    while (buffer[length - 1] == 0) --length;
  }
  source->unit.length = length;
  return 1;
}

}  // namespace

int ReadNextAvcUnit(SourceState* source) { return ReadUnit(source, true); }

int ReadNextUnit(SourceState* source) { return ReadUnit(source, false); }
