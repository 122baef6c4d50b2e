// The byte getters: the video elementary stream handed out one byte at a time, out
// of plain stream files, transport-stream packets or program-stream packets. All of
// them read through the elementary-stream getter, whose buffer holds one chunk of a
// source file.
#include <cstdio>

#include "source/mkv_source.h"
#include "source/mp4_source.h"
#include "source/stream_packet_sync.h"
#include "source/stream_readers.h"

namespace {

// Bytes a packet search may pass over without handing out one video byte. Real
// streams carry video far more often; a source that never does (an endless device,
// a file of another kind) ends the stream instead of being read for ever.
constexpr uint64_t kMaxBytesWithoutVideo = uint64_t{64} << 20;

// Ends the stream where it stands: this and every later request gives -1 until a
// seek repositions it.
int EndStream(SourceState* source) {
  source->currentSource = source->sourceCount > 0 ? source->sourceCount - 1 : 0;
  source->sourcePos = source->sourceBuffer;
  source->dataEnd = 0;
  source->payloadLeft = 0;
  source->chunkFile = nullptr;
  source->chunkUnread = 0;
  return -1;
}

// Reads up to one buffer of the file into sourceBuffer; returns the bytes read.
uint32_t ReadChunk(SourceState* source, FILE* file) {
  if (file == nullptr) return 0;
  return static_cast<uint32_t>(fread(source->sourceBuffer, 1, kSourceBufferSize, file));
}

// The next step of a chunk that a seek read only in part, behind what was read; false when
// nothing is left of it.
bool ContinueChunk(SourceState* source) {
  if (source->chunkUnread == 0) return false;
  FILE* file = source->sourceFiles[source->currentSource];
  const uint32_t step = source->chunkUnread < kChunkReadStep ? source->chunkUnread : kChunkReadStep;
  const uint32_t got =
      file != nullptr ? static_cast<uint32_t>(fread(source->sourceBuffer + source->dataEnd, 1, step, file)) : 0;
  source->dataEnd += got;
  source->chunkUnread = got == step ? source->chunkUnread - step : 0;
  return got > 0;
}

// The chunk is used up: read the next one (from the current file while its last
// chunk was full, else from the next file that has bytes) and hand out its first byte.
int RefillAndGet(SourceState* source, uint8_t* byte) {
  if (source->streamKind == kStreamMatroska) return RefillFromMkv(source, byte);
  if (source->streamKind == kStreamMp4) {
    if (ReadNextMp4Sample(source) < 0) return -1;
    *byte = *source->sourcePos++;
    return 0;
  }
  // The rest of a chunk a seek began comes before the next chunk.
  if (ContinueChunk(source)) {
    *byte = *source->sourcePos++;
    return 0;
  }
  uint32_t filled = 0;
  source->chunkFile = nullptr;  // the buffer no longer holds what the last seek read
  if (ConsumedBytes(source) >= kSourceBufferSize) {
    filled = ReadChunk(source, source->sourceFiles[source->currentSource]);
    source->dataEnd = filled;
  }
  // A file that gives nothing (used up, empty or unreadable) hands over to the next.
  while (filled == 0) {
    if (source->currentSource + 1 >= source->sourceCount) return -1;
    ++source->currentSource;
    FILE* file = source->sourceFiles[source->currentSource];
    if (file != nullptr && fseeko(file, 0, SEEK_SET) != 0) file = nullptr;
    filled = ReadChunk(source, file);
    source->dataEnd = filled;
  }
  source->sourcePos = source->sourceBuffer;
  *byte = *source->sourcePos++;
  return 0;
}

inline int NextByte(SourceState* source, uint8_t* byte) {
  if (ConsumedBytes(source) < source->dataEnd) {
    *byte = *source->sourcePos++;
    return 0;
  }
  return RefillAndGet(source, byte);
}

// Passes over count bytes of the stream without handing them out; a skip that runs
// past the chunk goes on in the next one. Returns -1 when the input ends first.
int SkipBytes(SourceState* source, uint32_t count) {
  while (count > 0) {
    const uint32_t consumed = ConsumedBytes(source);
    if (consumed < source->dataEnd) {
      const uint32_t available = source->dataEnd - consumed;
      const uint32_t step = count < available ? count : available;
      source->sourcePos += step;
      count -= step;
    } else {
      uint8_t dropped;
      if (RefillAndGet(source, &dropped) < 0) return -1;
      --count;
    }
  }
  return 0;
}

int ReadBigEndian16(SourceState* source, uint32_t* value) {
  uint8_t high, low;
  if (NextByte(source, &high) < 0 || NextByte(source, &low) < 0) return -1;
  *value = (static_cast<uint32_t>(high) << 8) | low;
  return 0;
}

}  // namespace

int GetEsByte(SourceState* source, uint8_t* byte) { return NextByte(source, byte); }

uint32_t PeekStreamRun(const SourceState* source, const uint8_t** run) {
  const uint32_t consumed = ConsumedBytes(source);
  if (consumed >= source->dataEnd) return 0;
  uint32_t available = source->dataEnd - consumed;
  if (source->byteGetter == GetTsByte || source->byteGetter == GetPsByte) {
    // Only the rest of the current packet's payload; its end needs the getter.
    if (source->payloadLeft <= 0) return 0;
    if (static_cast<uint32_t>(source->payloadLeft) < available) available = static_cast<uint32_t>(source->payloadLeft);
  } else if (source->byteGetter != GetEsByte) {
    return 0;
  }
  *run = source->sourcePos;
  return available;
}

void ConsumeStreamRun(SourceState* source, uint32_t count) {
  source->sourcePos += count;
  if (source->byteGetter == GetTsByte || source->byteGetter == GetPsByte)
    source->payloadLeft -= static_cast<int32_t>(count);
}

int GetTsByte(SourceState* source, uint8_t* byte) {
  if (source->payloadLeft != 0) {
    --source->payloadLeft;
    return NextByte(source, byte);
  }
  const int32_t bodySize = TsPacketBodySize(source);
  uint8_t value;
  uint64_t passed = 0;  // bytes this search went over, counted a packet at a time
  for (;; passed += bodySize > 0 ? static_cast<uint64_t>(bodySize) : 1) {
    if (passed > kMaxBytesWithoutVideo) return EndStream(source);
    if (source->packetSize == 192 && SkipBytes(source, 4) < 0) return -1;
    for (;;) {
      if (NextByte(source, &value) < 0) return -1;
      if (value == 0x47 && PassesTsSyncRule(source, ConsumedBytes(source) - 1)) break;
      if (++passed > kMaxBytesWithoutVideo) return EndStream(source);
    }
    uint32_t pidBytes;
    if (ReadBigEndian16(source, &pidBytes) < 0) return -1;
    const int32_t pid = static_cast<int32_t>(pidBytes & 0x1FFF);
    const bool unitStart = (pidBytes & 0x4000) != 0;
    if (NextByte(source, &value) < 0) return -1;
    const int adaptationControl = (value >> 4) & 3;
    int32_t headerSize = 4;
    if (adaptationControl == 0 || adaptationControl == 2) {
      // No payload: pass over the rest of the packet.
      if (SkipBytes(source, static_cast<uint32_t>(bodySize - 4)) < 0) return -1;
      continue;
    }
    if (adaptationControl == 3) {
      uint8_t adaptationLength;
      if (NextByte(source, &adaptationLength) < 0) return -1;
      // Never skip into the next packet, whatever the length byte says.
      const int32_t room = bodySize - 5 > 0 ? bodySize - 5 : 0;
      const int32_t skip = adaptationLength < room ? adaptationLength : room;
      if (SkipBytes(source, static_cast<uint32_t>(skip)) < 0) return -1;
      headerSize = 5 + adaptationLength;
    }
    if (headerSize >= bodySize) continue;
    if ((unitStart && headerSize > 179) || pid != source->videoPid) {
      if (SkipBytes(source, static_cast<uint32_t>(bodySize - headerSize)) < 0) return -1;
      continue;
    }
    if (unitStart) {
      // PES header: start code prefix, stream id, packet length, two flag bytes, then
      // the header data length and the header data (times are not needed).
      if (SkipBytes(source, 8) < 0) return -1;
      uint8_t headerDataLength;
      if (NextByte(source, &headerDataLength) < 0) return -1;
      const int32_t room = bodySize - headerSize - 9;
      const int32_t skip = headerDataLength < room ? headerDataLength : (room > 0 ? room : 0);
      if (SkipBytes(source, static_cast<uint32_t>(skip)) < 0) return -1;
      headerSize += 9 + headerDataLength;
      if (headerSize >= bodySize) continue;
    }
    source->payloadLeft = bodySize - headerSize - 1;
    return NextByte(source, byte);
  }
}

int GetPsByte(SourceState* source, uint8_t* byte) {
  if (source->payloadLeft != 0) {
    --source->payloadLeft;
    return NextByte(source, byte);
  }
  uint8_t value;
  uint64_t passed = 0;  // bytes this search went over, skipped packets included
  for (;;) {
    uint32_t window = 0;
    for (int i = 0; i < 4; ++i) {
      if (NextByte(source, &value) < 0) return -1;
      window = (window << 8) | value;
    }
    passed += 4;
    while ((window >> 8) != 1) {
      if (++passed > kMaxBytesWithoutVideo) return EndStream(source);
      if (NextByte(source, &value) < 0) return -1;
      window = (window << 8) | value;
    }
    const uint32_t code = window & 0xFF;
    if (code <= 0xBB) continue;  // picture data, pack and system headers: search on
    uint32_t length;
    if (ReadBigEndian16(source, &length) < 0) return -1;
    passed += 2 + length;
    if (passed > kMaxBytesWithoutVideo) return EndStream(source);
    if (code == 0xBE) {
      // Padding is passed over only when its length is plausible.
      if (length <= 2048 && SkipBytes(source, length) < 0) return -1;
      continue;
    }
    if (code < 0xE0 || code > 0xEF) {
      if (SkipBytes(source, length) < 0) return -1;
      continue;
    }
    // Video packet. Only the MPEG-2 header form ('10' in the top bits) is read.
    if (NextByte(source, &value) < 0) return -1;
    if ((value & 0xC0) != 0x80) {
      if (length > 0 && SkipBytes(source, length - 1) < 0) return -1;
      continue;
    }
    uint8_t flags, headerDataLength;
    if (NextByte(source, &flags) < 0 || NextByte(source, &headerDataLength) < 0) return -1;
    if (SkipBytes(source, headerDataLength) < 0) return -1;
    const int32_t payload = static_cast<int32_t>(length) - 3 - headerDataLength;
    if (payload > 0) {
      source->payloadLeft = payload - 1;
      return NextByte(source, byte);
    }
  }
}
