// libFuzzer target for the byte getters (elementary, transport and program stream)
// together with the unit extractors and the seeks. The first four input bytes are
// settings, the rest is the stream:
//   [0] bits 0-1 packaging (0 elementary, 1 transport, 2 program, 3 another value,
//       read as elementary), bits 2-3 packet size (188, 192, 204, or byte [2] taken
//       as a signed byte, as a damaged index can give);
//   [1], [2] the video PID;
//   [3] bit 0 the AVC extractor (else the MPEG-2 / VC-1 one), bits 1-2 source files
//       - 1 (the stream is cut into that many), bit 3 sizes that are not the files'
//       own (as a stale index gives), bits 4-7 where the later seeks go.
// The stream is read from position 0 to its end unit by unit, then from a few
// positions derived from the settings; every unit must begin with 00 00 01 and fit
// the unit buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "source/source_state.h"
#include "source/stream_readers.h"

namespace {

constexpr int kMaxUnitsPerRead = 4000;

// Reads units until the end of input, a failure or the limit; checks each one.
void ReadUnits(SourceState* source, UnitExtractor extract, int limit) {
  for (int i = 0; i < limit; ++i) {
    const int result = extract(source);
    if (result != 1) {
      if (result != 0 && result != -1) abort();
      return;
    }
    const StreamUnit& unit = source->unit;
    if (unit.data != source->unitBuffer || unit.length < 3 || unit.length > kUnitBufferSize) abort();
    if (unit.data[0] != 0 || unit.data[1] != 0 || unit.data[2] != 1) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint8_t packaging = data[0];
  const uint8_t mode = data[3];
  auto source = std::make_unique<SourceState>();
  static const int32_t kKinds[] = {kStreamElementary, kStreamTransport, kStreamProgram, 7};
  source->streamKind = kKinds[packaging & 3];
  source->byteGetter = source->streamKind == kStreamTransport ? GetTsByte
                       : source->streamKind == kStreamProgram ? GetPsByte
                                                               : GetEsByte;
  static const int32_t kPacketSizes[] = {188, 192, 204, 0};
  source->packetSize = kPacketSizes[(packaging >> 2) & 3];
  if (source->packetSize == 0) source->packetSize = static_cast<int8_t>(data[2]);
  source->videoPid = ((data[1] & 0x1F) << 8) | data[2];
  const UnitExtractor extract = (mode & 1) ? ReadNextAvcUnit : ReadNextUnit;
  source->unitExtractor = extract;

  // The stream, cut into files of about equal size.
  const uint8_t* stream = data + 4;
  const size_t length = size - 4;
  const int files = 1 + ((mode >> 1) & 3) % 3;
  std::vector<std::vector<uint8_t>> parts(files);
  uint64_t total = 0;
  for (int i = 0; i < files; ++i) {
    const size_t from = length * i / files;
    const size_t to = length * (i + 1) / files;
    parts[i].assign(stream + from, stream + to);
    // fmemopen needs a buffer of at least one byte; an empty part stays empty.
    FILE* file = parts[i].empty() ? nullptr : fmemopen(parts[i].data(), parts[i].size(), "rb");
    source->sourceFiles[i] = file;
    uint64_t declared = parts[i].size();
    if (mode & 8) declared = i % 2 ? declared / 2 : declared + 1000;
    source->sourceSizes[i] = declared;
    total += declared;
  }
  source->sourceCount = files;
  source->currentSource = 0;

  SeekStream(source.get(), 0);
  ReadUnits(source.get(), extract, kMaxUnitsPerRead);
  const uint64_t seekBits = mode >> 4;
  const uint64_t positions[] = {total / 2 + seekBits, total * seekBits / 16, total > 0 ? total - 1 : 0,
                                total + 4096, seekBits * 188 + 5};
  for (uint64_t position : positions) {
    SeekStream(source.get(), position);
    ReadUnits(source.get(), extract, 50);
  }
  // Byte by byte after a last seek, as the parameter-set feed reads.
  SeekStream(source.get(), seekBits);
  uint8_t byte;
  for (int i = 0; i < 5000 && source->byteGetter(source.get(), &byte) == 0; ++i) {
  }

  for (int i = 0; i < files; ++i) {
    if (source->sourceFiles[i]) fclose(source->sourceFiles[i]);
  }
  return 0;
}
