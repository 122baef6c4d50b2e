// Building small source files for the stream reader tests, and reading them back
// through a SourceState set up by hand.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "source/source_state.h"

using Bytes = std::vector<uint8_t>;

// A fresh folder under the system temp folder, removed with the object.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  std::filesystem::path Write(const std::string& name, const Bytes& data) const;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A heap SourceState over a list of files; closes them when it goes.
struct OpenedSource {
  OpenedSource(const std::vector<std::filesystem::path>& files, int32_t streamKind);
  ~OpenedSource();
  OpenedSource(const OpenedSource&) = delete;
  OpenedSource& operator=(const OpenedSource&) = delete;
  SourceState* operator->() { return state.get(); }
  SourceState* get() { return state.get(); }
  std::unique_ptr<SourceState> state;
};

// All bytes the state's getter delivers until it returns -1 (at most limit bytes).
Bytes DrainGetter(SourceState* source, size_t limit = 200000000);

// A deterministic byte pattern that holds no 00 00 01 (every third byte is nonzero).
Bytes PatternBytes(size_t count, uint32_t seed);

Bytes Concat(const std::vector<Bytes>& parts);

// Transport-stream packets (188 bytes, or 192 with a 4-byte prefix).
struct TsPacketLayout {
  int pid = 0x100;
  bool unitStart = false;
  int adaptationLength = -1;  // -1: no adaptation field
  bool payload = true;
};
// A packed stream, with the elementary-stream offset each of its bytes holds (-1 for
// bytes of the packaging).
struct PackedStream {
  Bytes bytes;
  std::vector<int64_t> esOffset;
  void Append(const Bytes& data, int64_t firstOffset = -1);
};
// Appends one packet carrying as much of data (from offset) as fits; returns the
// payload bytes it took. With layout.payload false, the packet is adaptation only.
// dataOffsets gives the elementary-stream offset of each byte of data.
size_t AppendTsPacket(PackedStream* out, const TsPacketLayout& layout, const Bytes& data,
                      const std::vector<int64_t>& dataOffsets, size_t offset, int packetSize);
// A PES header for the video stream (MPEG-2 form) with the given header data bytes.
Bytes PesHeader(uint8_t streamId, uint32_t payloadLength, uint8_t headerDataLength);
// Packs an elementary stream into TS: every PES carries peSize bytes, packets of
// other PIDs and adaptation fields are interleaved.
PackedStream PackIntoTs(const Bytes& es, int videoPid, int packetSize, size_t pesSize);

// Program-stream pieces.
Bytes PackHeader();
Bytes SystemHeader();
Bytes PsPacket(uint8_t streamId, const Bytes& body);
Bytes PsVideoPacket(uint8_t streamId, const Bytes& payload, uint8_t headerDataLength);
// Packs an elementary stream into PS with audio, padding and private packets between
// the video packets.
PackedStream PackIntoPs(const Bytes& es, uint8_t videoStreamId, size_t chunk);

// Equal byte strings, or where they first differ.
::testing::AssertionResult SameBytes(const Bytes& got, const Bytes& expected);
