// Positioning the stream at an index position: the mapping of a position onto the
// source files, the buffer fill at a file offset, and the seeks per stream kind.
#include <cstdio>

#include "source/mkv_source.h"
#include "source/mp4_source.h"
#include "source/stream_packet_sync.h"
#include "source/stream_readers.h"

namespace {

// Fills sourceBuffer from the file holding the start position: its first step only,
// the rest of the chunk read by the getter as it gets there. When the file ends inside
// that step, the files after it fill the buffer while room is left, so that a packet
// scan near a file end sees the bytes that follow. currentSource ends at the last file
// read from; a full buffer goes on there, a short one means that file is used up, as
// after any chunk.
void FillForPacketScan(SourceState* source, uint64_t start) {
  uint64_t offset = 0;
  MapStreamPosition(source, start, &source->currentSource, &offset);
  FillEsBufferAt(source, source->sourceFiles[source->currentSource], offset, kChunkReadStep);
  if (source->chunkUnread > 0) return;
  while (source->dataEnd < kSourceBufferSize && source->currentSource + 1 < source->sourceCount) {
    FILE* next = source->sourceFiles[source->currentSource + 1];
    if (next == nullptr || fseeko(next, 0, SEEK_SET) != 0) break;
    ++source->currentSource;
    source->dataEnd += static_cast<uint32_t>(
        fread(source->sourceBuffer + source->dataEnd, 1, kSourceBufferSize - source->dataEnd, next));
  }
}

// Places the reader inside the transport packet that holds the position (backed off
// one packet), or at the start of the first video packet after it.
void SeekTransportStream(SourceState* source, uint64_t position) {
  const uint64_t packetSize = static_cast<uint64_t>(source->packetSize > 0 ? source->packetSize : 0);
  const uint64_t start = position >= packetSize ? position - packetSize : 0;
  const uint32_t back = static_cast<uint32_t>(position - start);
  FillForPacketScan(source, start);
  source->needSync = 1;

  const uint8_t* buffer = source->sourceBuffer;
  const uint32_t end = source->dataEnd;
  const int32_t bodySize = TsPacketBodySize(source);
  uint32_t k = 0;
  for (;;) {
    // Next sync byte whose packet header (with any adaptation field length) is filled.
    while (k + 5 <= end && !(buffer[k] == 0x47 && PassesTsSyncRule(source, k))) ++k;
    if (k + 5 > end) break;
    const int32_t pid = ((buffer[k + 1] & 0x1F) << 8) | buffer[k + 2];
    const bool unitStart = (buffer[k + 1] & 0x40) != 0;
    if (pid != source->videoPid) {
      // From the next byte: a stray 0x47 (a 192-byte packet's time stamp can hold
      // one at packet distance) may stand just before the real sync byte.
      k += 1;
      continue;
    }
    const int adaptationControl = (buffer[k + 3] >> 4) & 3;
    int32_t headerSize = 4;
    if (adaptationControl == 0 || adaptationControl == 2) {
      k += 4;
      continue;
    }
    if (adaptationControl == 3) headerSize = 5 + buffer[k + 4];
    if (headerSize >= bodySize) {
      k += static_cast<uint32_t>(bodySize > 4 ? bodySize : 4);
      continue;
    }
    if (unitStart) {
      // As the getter: a packet too short for a PES header and its payload carries
      // no video bytes.
      if (headerSize > 179) {
        k += static_cast<uint32_t>(bodySize);
        continue;
      }
      if (k + headerSize + 9 > end) break;
      headerSize += 9 + buffer[k + headerSize + 8];
      if (headerSize >= bodySize) {
        k += static_cast<uint32_t>(bodySize);
        continue;
      }
    }
    uint32_t payloadStart = k + static_cast<uint32_t>(headerSize);
    if (payloadStart > end) payloadStart = end;
    source->sourcePos = source->sourceBuffer + payloadStart;
    if (back < payloadStart) {
      // The position lies before this packet's payload (in its header, or in a packet
      // of another stream before it): the whole payload follows the position.
      source->payloadLeft = bodySize - headerSize > 0 ? bodySize - headerSize : 0;
    } else {
      const int64_t left = static_cast<int64_t>(bodySize - headerSize) - (back - payloadStart);
      source->sourcePos = source->sourceBuffer + (back < end ? back : end);
      source->payloadLeft = left > 0 ? static_cast<int32_t>(left) : 0;
    }
    return;
  }
  // No video packet in the filled bytes: the next read starts a packet search at the
  // position itself.
  source->sourcePos = source->sourceBuffer + (back < end ? back : end);
  source->payloadLeft = 0;
}

}  // namespace

void MapStreamPosition(SourceState* source, uint64_t position, int32_t* fileIndex, uint64_t* offset) {
  uint64_t before = 0;
  for (int32_t i = 0; i < source->sourceCount; ++i) {
    const uint64_t size = source->sourceSizes[i];
    if (before + size >= position) {
      *fileIndex = i;
      *offset = position - before;
      return;
    }
    before += size;
  }
  // Beyond the last file: its end, so that the first read reports the end of input.
  if (source->sourceCount > 0) {
    *fileIndex = source->sourceCount - 1;
    *offset = source->sourceSizes[source->sourceCount - 1];
  } else {
    *fileIndex = 0;
    *offset = 0;
  }
}

static_assert(sizeof(off_t) == 8, "source files beyond 2 GiB need 64-bit file offsets (_FILE_OFFSET_BITS=64)");

void FillEsBufferAt(SourceState* source, FILE* file, uint64_t offset, uint32_t readNow) {
  uint32_t filled = 0;
  if (file != nullptr && fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0) {
    filled = static_cast<uint32_t>(fread(source->sourceBuffer, 1, readNow, file));
  }
  source->sourcePos = source->sourceBuffer;
  source->dataEnd = filled;
  source->payloadLeft = 0;
  source->chunkFile = nullptr;
  // A short read means the file ended there, as a short chunk would.
  source->chunkUnread = filled == readNow ? static_cast<uint32_t>(kSourceBufferSize - readNow) : 0;
}

int SeekPsToVideoPes(SourceState* source, uint64_t position) {
  constexpr uint64_t kBackOff = 8192;
  const uint64_t back = position >= kBackOff ? kBackOff : position;
  FillForPacketScan(source, position - back);
  source->needSync = 1;

  // Backwards from the target for a video packet start 00 00 01 Ex whose header, up to
  // its header data length, lies in the filled bytes.
  const uint8_t* buffer = source->sourceBuffer;
  const uint32_t end = source->dataEnd;
  if (end < 9) return 0;
  const uint32_t target = static_cast<uint32_t>(back);
  uint32_t p = target < end - 9 ? target : end - 9;
  for (;;) {
    if (buffer[p] == 0 && buffer[p + 1] == 0 && buffer[p + 2] == 1 && (buffer[p + 3] & 0xF0) == 0xE0) break;
    if (p == 0) return 0;
    --p;
  }
  const uint32_t length = (static_cast<uint32_t>(buffer[p + 4]) << 8) | buffer[p + 5];
  const uint32_t pesEnd = p + 6 + length;
  uint32_t payloadStart = p + 9 + buffer[p + 8];
  if (payloadStart > end) payloadStart = end;
  source->sourcePos = source->sourceBuffer + payloadStart;
  source->payloadLeft = pesEnd > payloadStart ? static_cast<int32_t>(pesEnd - payloadStart) : 0;
  // A position inside the packet header, or beyond the packet, leaves the whole
  // payload to hand out.
  if (target >= payloadStart && target - payloadStart <= static_cast<uint32_t>(source->payloadLeft) &&
      target <= end) {
    source->sourcePos = source->sourceBuffer + target;
    source->payloadLeft -= static_cast<int32_t>(target - payloadStart);
  }
  return 0;
}

int SeekStream(SourceState* source, uint64_t position) {
  switch (source->streamKind) {
    case kStreamTransport:
      SeekTransportStream(source, position);
      return 0;
    case kStreamProgram:
      return SeekPsToVideoPes(source, position);
    case kStreamMatroska:
      SeekReadMkvFrame(source, position);
      source->needSync = 1;
      return 0;
    case kStreamMp4:
      SeekReadMp4Sample(source, position);
      source->needSync = 1;
      return 0;
    default: {
      uint64_t offset = 0;
      MapStreamPosition(source, position, &source->currentSource, &offset);
      FILE* file = source->sourceFiles[source->currentSource];
      if (file != nullptr && file == source->chunkFile && offset >= source->chunkOffset &&
          offset - source->chunkOffset < source->dataEnd) {
        // The chunk read by the last seek holds the position already (a GOP seek after
        // the seeks to its parameter sets, say): the reader moves inside it. The file
        // stays where that read left it, where the chunk's next step or the next chunk
        // begins, as a refill expects.
        source->sourcePos = source->sourceBuffer + (offset - source->chunkOffset);
        source->payloadLeft = 0;
      } else {
        FillEsBufferAt(source, file, offset, kChunkReadStep);
        source->chunkFile = file;
        source->chunkOffset = offset;
      }
      source->needSync = 1;
      return 0;
    }
  }
}
