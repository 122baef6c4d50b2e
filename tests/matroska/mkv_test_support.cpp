// Test support for the Matroska reader: MkvIo over memory or a file, and the EBML writer.
#include "mkv_test_support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

TestIoState* stateOf(MkvIo* io) { return reinterpret_cast<TestIo*>(io)->state; }

int32_t ioRead(MkvIo* io, uint64_t position, void* buffer, int32_t count) {
  TestIoState* s = stateOf(io);
  ++s->callbacksAfterAlloc;
  if (buffer == nullptr && count == 0) {
    ++s->hintCalls;
    return 0;
  }
  int index = s->readCalls++;
  s->reads.emplace_back(position, count);
  if (s->failReadsFrom >= 0 && index >= s->failReadsFrom) return -1;
  uint64_t length = s->virtualLength ? s->virtualLength : s->file ? s->fileLength : s->data.size();
  if (position >= length || count <= 0) return 0;
  uint64_t available = length - position;
  int32_t n = available < static_cast<uint64_t>(count) ? static_cast<int32_t>(available) : count;
  if (count == 1024 && s->windowChunk > 0 && n > s->windowChunk) n = s->windowChunk;
  if (s->virtualLength) {
    char* out = static_cast<char*>(buffer);
    memset(out, 0, static_cast<size_t>(n));
    auto place = [&](uint64_t at, const Bytes& bytes) {
      uint64_t from = std::max(at, position), to = std::min(at + bytes.size(), position + n);
      if (from < to) memcpy(out + (from - position), bytes.data() + (from - at), to - from);
    };
    place(0, s->data);
    for (const auto& [at, bytes] : s->overlays) place(at, bytes);
  } else if (s->file) {
    if (fseeko(s->file, static_cast<off_t>(position), SEEK_SET) != 0) return -1;
    n = static_cast<int32_t>(fread(buffer, 1, static_cast<size_t>(n), s->file));
  } else {
    memcpy(buffer, s->data.data() + position, static_cast<size_t>(n));
  }
  s->bytesRead += static_cast<uint64_t>(n);
  return n;
}

int64_t ioScan(MkvIo* io, uint64_t position, uint32_t signature) {
  TestIoState* s = stateOf(io);
  ++s->callbacksAfterAlloc;
  if (s->virtualLength) {
    // Zeros never hold a signature without zero bytes, so only the placed bytes are searched.
    int64_t best = -1;
    auto search = [&](uint64_t at, const Bytes& bytes) {
      for (uint64_t i = position > at ? position - at : 0; i + 4 <= bytes.size(); ++i) {
        uint32_t v = (uint32_t(uint8_t(bytes[i])) << 24) | (uint32_t(uint8_t(bytes[i + 1])) << 16) |
                     (uint32_t(uint8_t(bytes[i + 2])) << 8) | uint8_t(bytes[i + 3]);
        if (v == signature) {
          if (best < 0 || int64_t(at + i) < best) best = int64_t(at + i);
          return;
        }
      }
    };
    search(0, s->data);
    for (const auto& [at, bytes] : s->overlays) search(at, bytes);
    return best;
  }
  uint64_t length = s->file ? s->fileLength : s->data.size();
  uint32_t reg = 0;
  uint64_t seen = 0;
  if (s->file && fseeko(s->file, static_cast<off_t>(position), SEEK_SET) != 0) return -1;
  for (uint64_t p = position; p < length; ++p) {
    int byte = s->file ? fgetc(s->file) : static_cast<uint8_t>(s->data[p]);
    if (byte < 0) return -1;
    reg = (reg << 8) | static_cast<uint32_t>(byte);
    if (++seen >= 4 && reg == signature) return static_cast<int64_t>(p + 1 - 4);
  }
  return -1;
}

uint32_t ioCacheSize(MkvIo* io) {
  ++stateOf(io)->callbacksAfterAlloc;
  return stateOf(io)->cacheSize;
}

const char* ioErrorText(MkvIo* io) {
  ++stateOf(io)->callbacksAfterAlloc;
  return "simulated read failure";
}

void* ioAlloc(MkvIo* io, uint32_t size) {
  TestIoState* s = stateOf(io);
  int index = s->allocCalls++;
  if (index == s->failAllocAt) return nullptr;
  void* block = malloc(size == 0 ? 1 : size);
  s->live[block] = size;
  return block;
}

void* ioRealloc(MkvIo* io, void* block, uint32_t size) {
  TestIoState* s = stateOf(io);
  int index = s->allocCalls++;
  if (index == s->failAllocAt) return nullptr;
  if (size == 0) {
    if (block) s->live.erase(block);
    free(block);
    return nullptr;
  }
  if (block) s->live.erase(block);
  void* grown = realloc(block, size);
  s->live[grown] = size;
  return grown;
}

void ioFree(MkvIo* io, void* block) {
  TestIoState* s = stateOf(io);
  ++s->callbacksAfterAlloc;
  if (block == nullptr) return;
  s->live.erase(block);
  free(block);
}

int32_t ioProgress(MkvIo* io, uint64_t current, uint64_t maximum) {
  TestIoState* s = stateOf(io);
  s->progressArgs.emplace_back(current, maximum);
  ++s->callbacksAfterAlloc;
  int index = s->progressCalls++;
  return index == s->progressStopAt ? 0 : 1;
}

int64_t ioFileSize(MkvIo* io) {
  ++stateOf(io)->callbacksAfterAlloc;
  return stateOf(io)->fileSizeValue;
}

}  // namespace

void initTestIo(TestIo* io, TestIoState* state) {
  memset(&io->io, 0, sizeof io->io);
  io->state = state;
  io->io.read = ioRead;
  io->io.scan = ioScan;
  io->io.cacheSize = ioCacheSize;
  io->io.errorText = ioErrorText;
  io->io.memAlloc = ioAlloc;
  io->io.memRealloc = ioRealloc;
  io->io.memFree = ioFree;
  io->io.progress = ioProgress;
  io->io.fileSize = state->haveFileSize ? ioFileSize : nullptr;
}

bool openTestFile(TestIoState* state, const std::string& path) {
  state->file = fopen(path.c_str(), "rb");
  if (!state->file) return false;
  fseeko(state->file, 0, SEEK_END);
  state->fileLength = static_cast<uint64_t>(ftello(state->file));
  return true;
}

bool OpenedFile::open(const Bytes& bytes, uint32_t flags, uint64_t base) {
  state.data = bytes;
  initTestIo(&io, &state);
  file = mkvOpen(&io.io, base, flags, error, sizeof error);
  return file != nullptr;
}

std::vector<FrameRecord> readAllFrames(MkvFile* file, uint32_t skipMask) {
  std::vector<FrameRecord> frames;
  FrameRecord f;
  while (mkvReadFrame(file, skipMask, &f.track, &f.start, &f.end, &f.filePos, &f.size, &f.flags) == 0)
    frames.push_back(f);
  return frames;
}

// ---------------------------------------------------------------------------------------------
// EBML writer

Bytes ebmlId(uint32_t id) {
  Bytes out;
  int length = id > 0xFFFFFF ? 4 : id > 0xFFFF ? 3 : id > 0xFF ? 2 : 1;
  for (int i = length - 1; i >= 0; --i) out += static_cast<char>((id >> (8 * i)) & 0xFF);
  return out;
}

Bytes ebmlSize(uint64_t size, int length) {
  if (length == 0) {
    length = 1;
    while (length < 8 && size >= (uint64_t{1} << (7 * length)) - 1) ++length;
  }
  Bytes out;
  uint64_t value = size | (uint64_t{1} << (7 * length));
  for (int i = length - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

Bytes element(uint32_t id, const Bytes& payload) { return ebmlId(id) + ebmlSize(payload.size()) + payload; }

Bytes unknownSizeElement(uint32_t id, const Bytes& payload) {
  return ebmlId(id) + Bytes("\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8) + payload;
}

Bytes uintElement(uint32_t id, uint64_t value, int length) {
  if (length == 0) {
    length = 1;
    while (length < 8 && (value >> (8 * length)) != 0) ++length;
  }
  Bytes payload;
  for (int i = length - 1; i >= 0; --i) payload += static_cast<char>((value >> (8 * i)) & 0xFF);
  return element(id, payload);
}

Bytes stringElement(uint32_t id, const std::string& text) { return element(id, text); }

Bytes floatElement(uint32_t id, double value, int length) {
  Bytes payload;
  if (length == 4) {
    float f = static_cast<float>(value);
    uint32_t bits;
    memcpy(&bits, &f, 4);
    for (int i = 3; i >= 0; --i) payload += static_cast<char>((bits >> (8 * i)) & 0xFF);
  } else {
    uint64_t bits;
    memcpy(&bits, &value, 8);
    for (int i = 7; i >= 0; --i) payload += static_cast<char>((bits >> (8 * i)) & 0xFF);
  }
  return element(id, payload);
}

Bytes ebmlHeader(const std::string& docType, int readVersion) {
  return element(0x1A45DFA3, uintElement(0x4286, 1) + uintElement(0x42F7, 1) +
                                 uintElement(0x42F2, 4) + uintElement(0x42F3, 8) +
                                 stringElement(0x4282, docType) + uintElement(0x4287, 4) +
                                 uintElement(0x4285, static_cast<uint64_t>(readVersion)));
}

Bytes segmentInfo(uint64_t timecodeScale, double duration) {
  Bytes payload = uintElement(eid::TimecodeScale, timecodeScale);
  if (duration >= 0) payload += floatElement(eid::Duration, duration);
  return element(eid::Info, payload);
}

Bytes trackEntry(int number, int type, const std::string& codecId, const Bytes& extra) {
  return element(eid::TrackEntry, uintElement(0xD7, static_cast<uint64_t>(number)) +
                                      uintElement(0x83, static_cast<uint64_t>(type)) +
                                      stringElement(0x86, codecId) + extra);
}

static Bytes blockPayload(int track, int16_t relative, uint8_t flags, const Bytes& rest) {
  Bytes out = ebmlSize(static_cast<uint64_t>(track));
  out += static_cast<char>((static_cast<uint16_t>(relative) >> 8) & 0xFF);
  out += static_cast<char>(static_cast<uint16_t>(relative) & 0xFF);
  out += static_cast<char>(flags);
  return out + rest;
}

Bytes simpleBlock(int track, int16_t relative, uint8_t flags, const Bytes& rest) {
  return element(0xA3, blockPayload(track, relative, flags, rest));
}

Bytes block(int track, int16_t relative, uint8_t flags, const Bytes& rest) {
  return element(0xA1, blockPayload(track, relative, flags, rest));
}

Bytes blockGroup(const Bytes& children) { return element(0xA0, children); }

Bytes cluster(uint64_t timecode, const Bytes& blocks) {
  return element(eid::Cluster, uintElement(eid::Timecode, timecode) + blocks);
}

Bytes seekHead(const std::vector<std::pair<uint32_t, uint64_t>>& entries) {
  Bytes payload;
  for (const auto& [id, position] : entries)
    payload += element(eid::Seek, element(eid::SeekId, ebmlId(id)) +
                                      uintElement(eid::SeekPosition, position, 8));
  return element(eid::SeekHead, payload);
}

Bytes cuePoint(uint64_t time, uint64_t clusterPos, int track) {
  return element(eid::CuePoint,
                 uintElement(eid::CueTime, time) +
                     element(eid::CueTrackPositions,
                             uintElement(eid::CueTrack, static_cast<uint64_t>(track)) +
                                 uintElement(eid::CueClusterPosition, clusterPos, 8)));
}
