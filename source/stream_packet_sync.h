// Helpers shared by the transport- and program-stream readers and their seeks.
#pragma once

#include <cstdint>

#include "source/source_state.h"

// Payload arithmetic of a transport packet counts from its sync byte: a 192-byte
// packet is a 4-byte prefix followed by an ordinary 188-byte packet.
inline int32_t TsPacketBodySize(const SourceState* source) {
  return source->packetSize == 192 ? 188 : source->packetSize;
}

// Whether the 0x47 at index k of sourceBuffer starts a packet: the byte one packet
// before it must be 0x47 too; near the buffer start, where there is no such byte,
// the byte one packet after it (when filled); with neither neighbour filled, it is
// taken as it is.
inline bool PassesTsSyncRule(const SourceState* source, uint32_t k) {
  const uint32_t size = static_cast<uint32_t>(source->packetSize);
  if (k >= size) return source->sourceBuffer[k - size] == 0x47;
  if (k + size < source->dataEnd) return source->sourceBuffer[k + size] == 0x47;
  return true;
}

// Bytes handed out of the current chunk so far.
inline uint32_t ConsumedBytes(const SourceState* source) {
  return static_cast<uint32_t>(source->sourcePos - source->sourceBuffer);
}
