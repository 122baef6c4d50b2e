// EBML reading core: the 1024-byte read window, EBML primitives, fixed point, growable arrays,
// error texts and failParse with its own bounded message formatter.
#include "mkv_internal.h"

#include <cstring>

const uint64_t MkvSignedBias[8] = {0x3F,          0x1FFF,          0xFFFFF,          0x7FFFFFF,
                                   0x3FFFFFFFFull, 0x1FFFFFFFFFFull, 0xFFFFFFFFFFFFull,
                                   0x7FFFFFFFFFFFFFull};

// ---------------------------------------------------------------------------------------------
// Messages

namespace {

// Writes one number with the formatter's padding rules; returns the new output position.
char* emitNumber(char* out, char* end, uint64_t magnitude, bool negative, unsigned base,
                 bool upper, int width, bool left, bool zero) {
  char digits[24];
  int count = 0;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    digits[count++] = set[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  int fieldLength = count + (negative ? 1 : 0);
  int padding = width > fieldLength ? width - fieldLength : 0;
  if (negative && out < end) *out++ = '-';
  if (!left)
    for (; padding > 0 && out < end; --padding) *out++ = zero ? '0' : ' ';
  while (count > 0 && out < end) *out++ = digits[--count];
  if (left)
    for (; padding > 0 && out < end; --padding) *out++ = ' ';
  return out;
}

}  // namespace

void formatMessage(char* buffer, int size, const char* format, va_list args) {
  if (size <= 0) return;
  char* out = buffer;
  char* end = buffer + size - 1;
  while (*format != 0 && out < end) {
    if (*format != '%') {
      *out++ = *format++;
      continue;
    }
    ++format;
    bool left = false, zero = false;
    if (*format == '-') {
      left = true;
      ++format;
    } else if (*format == '0') {
      zero = true;
      ++format;
    }
    int width = 0;
    while (*format >= '0' && *format <= '9') {
      if (width < 1000) width = width * 10 + (*format - '0');
      ++format;
    }
    int longs = 0;
    while (*format == 'l') {
      ++longs;
      ++format;
    }
    char conversion = *format;
    if (conversion == 0) break;
    ++format;
    if (longs >= 3) continue;  // consumed, produces nothing, takes no argument
    switch (conversion) {
      case 'd': {
        int64_t value = longs == 2 ? va_arg(args, long long) : va_arg(args, int);
        uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : value;
        out = emitNumber(out, end, magnitude, value < 0, 10, false, width, left, zero);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        uint64_t value = longs == 2 ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
        out = emitNumber(out, end, value, false, conversion == 'u' ? 10 : 16, conversion == 'X',
                         width, left, zero);
        break;
      }
      case 's': {
        const char* text = va_arg(args, const char*);
        if (text == nullptr) text = "";
        while (*text != 0 && out < end) *out++ = *text++;
        break;
      }
      default:
        break;  // unknown conversions (and "%%") produce nothing
    }
  }
  *out = 0;
}

void copyErrorText(char* destination, const char* source, uint32_t size) {
  uint32_t copied = 0;
  while (copied + 1 < size && source[copied] != 0) {
    destination[copied] = source[copied];
    ++copied;
  }
  if (copied < size) destination[copied] = 0;
}

void failParse(MkvFile* file, const char* format, ...) {
  va_list args;
  va_start(args, format);
  formatMessage(file->errorText, sizeof file->errorText, format, args);
  va_end(args);
  file->flags |= MKV_STATE_END;
  throw MkvParseFailure{};
}

// ---------------------------------------------------------------------------------------------
// The read window

int refillBuffer(MkvFile* file) {
  file->windowPos += static_cast<uint64_t>(file->windowFill);
  file->windowOffset = 0;
  file->windowFill = 0;
  int32_t got = file->io->read(file->io, file->windowPos, file->window, kWindowSize);
  if (got < 0) failParse(file, "I/O Error: %s", file->io->errorText(file->io));
  file->windowFill = got > kWindowSize ? kWindowSize : got;
  return file->windowFill;
}

int readByteSlow(MkvFile* file) {
  if (refillBuffer(file) == 0) return -1;
  return file->window[file->windowOffset++];
}

void seekTo(MkvFile* file, uint64_t position) {
  if (position >= file->windowPos &&
      position - file->windowPos < static_cast<uint64_t>(file->windowFill)) {
    file->windowOffset = static_cast<int32_t>(position - file->windowPos);
    return;
  }
  file->windowPos = position;
  file->windowOffset = 0;
  file->windowFill = 0;
}

void skipBytes(MkvFile* file, uint64_t count) {
  uint64_t available = static_cast<uint64_t>(file->windowFill - file->windowOffset);
  if (count <= available) {
    file->windowOffset += static_cast<int32_t>(count);
    return;
  }
  // A forged size must never wrap the position back into the file (that could loop a parser);
  // such skips saturate at the end of the position range, where every read sees end of file.
  uint64_t base = file->windowPos + static_cast<uint64_t>(file->windowFill);
  uint64_t rest = count - available;
  file->windowPos = rest > UINT64_MAX - base ? UINT64_MAX : base + rest;
  file->windowOffset = 0;
  file->windowFill = 0;
}

void readBytes(MkvFile* file, void* destination, int32_t count) {
  uint8_t* out = static_cast<uint8_t*>(destination);
  int32_t available = file->windowFill - file->windowOffset;
  int32_t fromWindow = count < available ? count : available;
  if (fromWindow > 0) {
    memcpy(out, file->window + file->windowOffset, fromWindow);
    file->windowOffset += fromWindow;
  }
  int32_t rest = count - fromWindow;
  if (rest <= 0) return;
  file->windowPos += static_cast<uint64_t>(file->windowFill);
  file->windowOffset = 0;
  file->windowFill = 0;
  int32_t got = file->io->read(file->io, file->windowPos, out + fromWindow, rest);
  if (got < 0) failParse(file, "I/O Error: %s", file->io->errorText(file->io));
  if (got != rest) failParse(file, "Short read: got %d bytes of %d", got, rest);
  file->windowPos += static_cast<uint64_t>(rest);
}

// ---------------------------------------------------------------------------------------------
// EBML primitives

uint32_t readId(MkvFile* file) {
  int first = readByte(file);
  if (first < 0) return kNoId;
  if (first & 0x80) return static_cast<uint32_t>(first);
  int extra;
  if (first & 0x40)
    extra = 1;
  else if (first & 0x20)
    extra = 2;
  else if (first & 0x10)
    extra = 3;
  else
    failParse(file, "Invalid first byte of EBML ID: %02X", first);
  uint32_t id = static_cast<uint32_t>(first);
  for (int i = 0; i < extra; ++i) {
    int next = readByte(file);
    if (next < 0) failParse(file, "Got EOF while reading EBML ID");
    id = (id << 8) | static_cast<uint32_t>(next);
  }
  return id;
}

uint64_t readVarInt(MkvFile* file, int* extraBytes) {
  int first = readByte(file);
  if (first < 0) {
    if (extraBytes) *extraBytes = 0;
    return 0;
  }
  if (first == 0) failParse(file, "Invalid first byte of EBML integer: 0");
  int extra = 0;
  while (!(first & (0x80 >> extra))) ++extra;
  uint64_t value = static_cast<uint64_t>(first & (0x7F >> extra));
  for (int i = 0; i < extra; ++i) {
    int next = readByte(file);
    if (next < 0) failParse(file, "Got EOF while reading EBML unsigned integer");
    value = (value << 8) | static_cast<uint64_t>(next);
  }
  if (extraBytes) *extraBytes = extra;
  return value;
}

uint64_t readVarIntPlain(MkvFile* file) { return readVarInt(file, nullptr); }

uint64_t readSize(MkvFile* file) {
  int extra;
  uint64_t value = readVarInt(file, &extra);
  uint64_t unknown = (uint64_t{1} << (7 * (extra + 1))) - 1;
  if (value == unknown) failParse(file, "Unspecified element size is not supported here.");
  return value;
}

int64_t readSVarInt(MkvFile* file) {
  int extra;
  uint64_t value = readVarInt(file, &extra);
  return static_cast<int64_t>(value - MkvSignedBias[extra]);
}

uint64_t readUInt(MkvFile* file, uint32_t count) {
  if (count == 0) return 0;
  if (count > 8) failParse(file, "Unsupported integer size in readUInt: %u", count);
  uint64_t value = 0;
  for (uint32_t i = 0; i < count; ++i) {
    int next = readByte(file);
    if (next < 0) failParse(file, "Got EOF while reading EBML unsigned integer");
    value = (value << 8) | static_cast<uint64_t>(next);
  }
  return value;
}

int64_t readSInt(MkvFile* file, uint32_t count) {
  uint64_t value = readUInt(file, count);
  if (count == 0 || count == 8) return static_cast<int64_t>(value);
  uint64_t signBit = uint64_t{1} << (8 * count - 1);
  if (value & signBit) value |= ~((signBit << 1) - 1);
  return static_cast<int64_t>(value);
}

int64_t readFloat(MkvFile* file, uint32_t count) {
  if (count != 4 && count != 8) failParse(file, "Invalid float size in readFloat: %u", count);
  uint64_t bits = readUInt(file, count);
  bool negative;
  int exponent, shift;
  int64_t mantissa;
  if (count == 4) {
    negative = (bits >> 31) & 1;
    exponent = static_cast<int>((bits >> 23) & 0xFF);
    mantissa = static_cast<int64_t>((bits & 0x7FFFFF) | 0x800000);
    if (exponent >= 158) return negative ? INT64_MIN : INT64_MAX;
    shift = exponent - 118;
  } else {
    negative = (bits >> 63) & 1;
    exponent = static_cast<int>((bits >> 52) & 0x7FF);
    mantissa = static_cast<int64_t>((bits & 0xFFFFFFFFFFFFFull) | 0x10000000000000ull);
    if (exponent >= 1054) return negative ? INT64_MIN : INT64_MAX;
    shift = exponent - 1043;
  }
  if (exponent == 0) return 0;
  if (negative) mantissa = -mantissa;
  if (shift > 0) return static_cast<int64_t>(static_cast<uint64_t>(mantissa) << shift);
  if (-shift >= 64) return mantissa < 0 ? -1 : 0;
  return mantissa >> -shift;
}

void readString(MkvFile* file, uint64_t size, char* buffer, int32_t bufferSize) {
  if (bufferSize < 1) failParse(file, "Invalid buffer size in readString: %d", bufferSize);
  uint64_t kept = size < static_cast<uint64_t>(bufferSize - 1) ? size : bufferSize - 1;
  readBytes(file, buffer, static_cast<int32_t>(kept));
  skipBytes(file, size - kept);
  buffer[kept] = 0;
}

void readLangCode(MkvFile* file, uint64_t size, char* destination) {
  memset(destination, 0, 4);
  uint64_t kept = size < 3 ? size : 3;
  readBytes(file, destination, static_cast<int32_t>(kept));
  skipBytes(file, size - kept);
}

uint32_t readChildId(MkvFile* file) {
  uint32_t id = readId(file);
  if (id == kNoId) failParse(file, "Unexpected EOF while reading EBML container");
  return id;
}

char* readTextElement(MkvFile* file, uint64_t size) {
  uint32_t kept = size < 1023 ? static_cast<uint32_t>(size) : 1023;
  char* text = static_cast<char*>(file->io->memAlloc(file->io, kept + 1));
  if (text == nullptr) failParse(file, "Out of memory");
  try {
    readString(file, size, text, static_cast<int32_t>(kept + 1));
  } catch (MkvParseFailure&) {
    file->io->memFree(file->io, text);
    throw;
  }
  return text;
}

// ---------------------------------------------------------------------------------------------
// Fixed point

int64_t mulFixed(int64_t a, int64_t b) {
  uint64_t ua = a < 0 ? 0 - static_cast<uint64_t>(a) : static_cast<uint64_t>(a);
  uint64_t ub = b < 0 ? 0 - static_cast<uint64_t>(b) : static_cast<uint64_t>(b);
  uint64_t ah = ua >> 32, al = ua & 0xFFFFFFFF, bh = ub >> 32, bl = ub & 0xFFFFFFFF;
  uint64_t result = ((al * bl) >> 32) + al * bh + ah * bl + ((ah * bh) << 32);
  return static_cast<int64_t>(result);
}

int64_t intToFixed(int32_t i) { return static_cast<int64_t>(static_cast<uint64_t>(i) << 32); }

// ---------------------------------------------------------------------------------------------
// Growable arrays and texts in memory

void* ArrayAlloc(MkvFile* file, void** array, uint32_t* count, uint32_t* capacity,
                 uint32_t elementSize) {
  if (*count >= *capacity) {
    uint64_t newCapacity = *capacity == 0 ? 1 : uint64_t{*capacity} * 2;
    uint64_t bytes = newCapacity * elementSize;
    void* grown = bytes > UINT32_MAX
                      ? nullptr
                      : file->io->memRealloc(file->io, *array, static_cast<uint32_t>(bytes));
    if (grown == nullptr) failParse(file, "Out of memory in ArrayAlloc");
    *array = grown;
    *capacity = static_cast<uint32_t>(newCapacity);
  }
  void* element = static_cast<uint8_t*>(*array) + size_t{*count} * elementSize;
  ++*count;
  return element;
}

void trimArray(MkvFile* file, void** array, uint32_t count, uint32_t* capacity,
               uint32_t elementSize) {
  if (count >= *capacity) return;
  // Trimmed to nothing: the block is released outright, since an allocator's answer to a
  // resize to 0 bytes (freed or not) cannot be told from a failure.
  if (count == 0) {
    file->io->memFree(file->io, *array);
    *array = nullptr;
    *capacity = 0;
    return;
  }
  uint32_t bytes = count * elementSize;
  void* shrunk = file->io->memRealloc(file->io, *array, bytes);
  if (shrunk == nullptr) return;
  *array = shrunk;
  *capacity = count;
}

char* dupString(MkvIo* io, const char* text) {
  if (text == nullptr) return nullptr;
  size_t length = strlen(text);
  char* copy = static_cast<char*>(io->memAlloc(io, static_cast<uint32_t>(length + 1)));
  if (copy != nullptr) memcpy(copy, text, length + 1);
  return copy;
}

void packString(const char** field, char** cursor) {
  if (*field == nullptr) return;
  size_t length = strlen(*field);
  memcpy(*cursor, *field, length + 1);
  *field = *cursor;
  *cursor += length + 1;
}
