#include "tests/stream/stream_test_support.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

ScratchFolder::ScratchFolder() {
  std::string templ = (std::filesystem::temp_directory_path() / "tessivar-stream-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("cannot make a scratch folder");
  path_ = templ;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path ScratchFolder::Write(const std::string& name, const Bytes& data) const {
  const std::filesystem::path file = path_ / name;
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return file;
}

OpenedSource::OpenedSource(const std::vector<std::filesystem::path>& files, int32_t streamKind)
    : state(std::make_unique<SourceState>()) {
  state->sourceCount = static_cast<int32_t>(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    state->sourceFiles[i] = fopen(files[i].c_str(), "rb");
    state->sourceSizes[i] = std::filesystem::file_size(files[i]);
  }
  state->streamKind = streamKind;
  state->currentSource = 0;
  state->needSync = 1;
  state->inputEnded = 0;
}

OpenedSource::~OpenedSource() {
  for (int32_t i = 0; i < state->sourceCount; ++i) {
    if (state->sourceFiles[i] != nullptr) fclose(state->sourceFiles[i]);
  }
}

Bytes DrainGetter(SourceState* source, size_t limit) {
  Bytes out;
  uint8_t value;
  while (out.size() < limit && source->byteGetter(source, &value) == 0) out.push_back(value);
  return out;
}

Bytes PatternBytes(size_t count, uint32_t seed) {
  Bytes out(count);
  uint32_t state = seed * 2654435761u + 12345;
  for (size_t i = 0; i < count; ++i) {
    state = state * 1103515245u + 12345;
    uint8_t value = static_cast<uint8_t>(state >> 16);
    if (i % 3 == 2 && value == 0) value = 0x5A;
    out[i] = value;
  }
  return out;
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

void PackedStream::Append(const Bytes& data, int64_t firstOffset) {
  bytes.insert(bytes.end(), data.begin(), data.end());
  for (size_t i = 0; i < data.size(); ++i) esOffset.push_back(firstOffset < 0 ? -1 : firstOffset + static_cast<int64_t>(i));
}

size_t AppendTsPacket(PackedStream* out, const TsPacketLayout& layout, const Bytes& data,
                      const std::vector<int64_t>& dataOffsets, size_t offset, int packetSize) {
  if (packetSize == 192) {
    // A running time stamp; now and then one of its bytes is 0x47.
    const uint32_t stamp = static_cast<uint32_t>(out->bytes.size() / 192) * 0x31;
    out->Append({0x00, static_cast<uint8_t>(stamp >> 16), static_cast<uint8_t>(stamp >> 8), static_cast<uint8_t>(stamp)});
  }
  const size_t packetStart = out->bytes.size();
  out->Append({0x47, static_cast<uint8_t>((layout.unitStart ? 0x40 : 0) | ((layout.pid >> 8) & 0x1F)),
               static_cast<uint8_t>(layout.pid & 0xFF),
               static_cast<uint8_t>(((layout.adaptationLength >= 0 ? 2 : 0) | (layout.payload ? 1 : 0)) << 4)});
  if (layout.adaptationLength >= 0) {
    // Flags, a clock byte that is 0x47 in every other packet, then stuffing.
    Bytes field(static_cast<size_t>(layout.adaptationLength) + 1, 0xFF);
    field[0] = static_cast<uint8_t>(layout.adaptationLength);
    if (layout.adaptationLength > 0) field[1] = 0x10;
    if (layout.adaptationLength > 1) field[2] = (packetStart / 188) % 2 ? 0x47 : 0x46;
    out->Append(field);
  }
  size_t taken = 0;
  if (layout.payload) {
    while (out->bytes.size() - packetStart < 188 && offset + taken < data.size()) {
      out->bytes.push_back(data[offset + taken]);
      out->esOffset.push_back(dataOffsets[offset + taken]);
      ++taken;
    }
  }
  while (out->bytes.size() - packetStart < 188) out->Append({0xFF});
  return taken;
}

Bytes PesHeader(uint8_t streamId, uint32_t payloadLength, uint8_t headerDataLength) {
  const uint32_t length = payloadLength == 0 ? 0 : payloadLength + 3 + headerDataLength;
  Bytes out = {0x00, 0x00, 0x01, streamId, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
               0x80, 0x80, headerDataLength};
  for (int i = 0; i < headerDataLength; ++i) out.push_back(i == 0 ? 0x21 : 0x01);
  return out;
}

PackedStream PackIntoTs(const Bytes& es, int videoPid, int packetSize, size_t pesSize) {
  PackedStream out;
  size_t offset = 0;
  int counter = 0;
  const Bytes audio = PatternBytes(200, 7);
  const std::vector<int64_t> audioOffsets(audio.size(), -1);
  while (offset < es.size()) {
    const size_t pesPayload = std::min(pesSize, es.size() - offset);
    Bytes pes = PesHeader(0xE0, 0, 5);
    std::vector<int64_t> pesOffsets(pes.size(), -1);
    for (size_t i = 0; i < pesPayload; ++i) {
      pes.push_back(es[offset + i]);
      pesOffsets.push_back(static_cast<int64_t>(offset + i));
    }
    offset += pesPayload;
    size_t pesOffset = 0;
    bool first = true;
    while (pesOffset < pes.size()) {
      ++counter;
      if (counter % 5 == 0) {
        TsPacketLayout other;
        other.pid = 0x101;
        other.unitStart = counter % 10 == 0;
        AppendTsPacket(&out, other, audio, audioOffsets, 0, packetSize);
      }
      if (counter % 7 == 0) {
        TsPacketLayout clockOnly;
        clockOnly.pid = videoPid;
        clockOnly.adaptationLength = 183;
        clockOnly.payload = false;
        AppendTsPacket(&out, clockOnly, audio, audioOffsets, 0, packetSize);
      }
      TsPacketLayout video;
      video.pid = videoPid;
      video.unitStart = first;
      if (counter % 3 == 0) video.adaptationLength = 7;
      const size_t remaining = pes.size() - pesOffset;
      const size_t room = 184 - (video.adaptationLength >= 0 ? 1 + static_cast<size_t>(video.adaptationLength) : 0);
      if (remaining < room) video.adaptationLength = 183 - static_cast<int>(remaining);
      pesOffset += AppendTsPacket(&out, video, pes, pesOffsets, pesOffset, packetSize);
      first = false;
    }
  }
  return out;
}

Bytes PackHeader() {
  return {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
}

Bytes SystemHeader() {
  return {0x00, 0x00, 0x01, 0xBB, 0x00, 0x0C, 0x80, 0x1E, 0xFF, 0xFE, 0xE1, 0x7F,
          0xE0, 0xE0, 0xE8, 0xC0, 0xC0, 0x20};
}

Bytes PsPacket(uint8_t streamId, const Bytes& body) {
  Bytes out(6 + body.size());
  out[2] = 0x01;
  out[3] = streamId;
  out[4] = static_cast<uint8_t>(body.size() >> 8);
  out[5] = static_cast<uint8_t>(body.size());
  std::copy(body.begin(), body.end(), out.begin() + 6);
  return out;
}

Bytes PsVideoPacket(uint8_t streamId, const Bytes& payload, uint8_t headerDataLength) {
  Bytes out = PesHeader(streamId, static_cast<uint32_t>(payload.size()), headerDataLength);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

PackedStream PackIntoPs(const Bytes& es, uint8_t videoStreamId, size_t chunk) {
  PackedStream out;
  size_t offset = 0;
  int counter = 0;
  // Audio and private packets carry start-code-like bytes that must never be read.
  const Bytes decoy = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x01, 0xB3, 0x00, 0x00, 0x01};
  while (offset < es.size()) {
    ++counter;
    out.Append(PackHeader());
    if (counter % 4 == 1) out.Append(SystemHeader());
    const size_t take = std::min(chunk, es.size() - offset);
    const uint8_t headerDataLength = static_cast<uint8_t>(counter % 6);
    out.Append(PesHeader(videoStreamId, static_cast<uint32_t>(take), headerDataLength));
    out.Append(Bytes(es.begin() + static_cast<long>(offset), es.begin() + static_cast<long>(offset + take)),
               static_cast<int64_t>(offset));
    offset += take;
    const Bytes noise = Concat({decoy, PatternBytes(300 + counter, static_cast<uint32_t>(counter))});
    if (counter % 2 == 0) out.Append(PsPacket(0xC0, noise));
    if (counter % 3 == 0) out.Append(PsPacket(0xBD, noise));
    if (counter % 5 == 0) out.Append(PsPacket(0xBF, noise));
    if (counter % 4 == 0) out.Append(PsPacket(0xBE, Bytes(1000 + counter, 0xFF)));
  }
  return out;
}

::testing::AssertionResult SameBytes(const Bytes& got, const Bytes& expected) {
  size_t i = 0;
  while (i < got.size() && i < expected.size() && got[i] == expected[i]) ++i;
  if (i == got.size() && i == expected.size()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "sizes " << got.size() << " and " << expected.size()
                                       << ", first difference at " << i;
}
