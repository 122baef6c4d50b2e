// libFuzzer target for the MP4 layer: the input is written to a file and opened; every
// track's getters are asked, its parameter sets fetched and freed, and its samples read
// (the first 4096, then a few ids around and past the end).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/mp4/mp4_file.h"

namespace {

// The layer opens files by path: each input goes to this process's own file, removed
// at exit.
struct InputFile {
  std::string path = "/tmp/mp4_layer_fuzz." + std::to_string(getpid()) + ".mp4";
  ~InputFile() { unlink(path.c_str()); }
};

const std::string& InputPath() {
  static const InputFile file;
  return file.path;
}

void ReadSample(MP4FileHandle file, MP4TrackId track, MP4SampleId id) {
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  uint64_t start = 0, duration = 0, offset = 0;
  bool sync = false;
  if (MP4ReadSample(file, track, id, &bytes, &size, &start, &duration, &offset, &sync)) {
    // Touch both ends: the buffer holds every byte it claims.
    if (size > 0 && (bytes[0] ^ bytes[size - 1]) == 0x100) abort();
    free(bytes);
  }
  (void)MP4GetSampleTime(file, track, id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* out = std::fopen(InputPath().c_str(), "wb");
  if (!out) return 0;
  std::fwrite(data, 1, size, out);
  std::fclose(out);
  MP4FileHandle file = MP4Read(InputPath().c_str(), 0);
  if (!file) return 0;
  const uint32_t tracks = MP4GetNumberOfTracks(file, nullptr, 0);
  for (uint32_t index = 0; index < tracks && index < 64; ++index) {
    const MP4TrackId track = MP4FindTrackId(file, uint16_t(index), nullptr, 0);
    (void)MP4GetTrackType(file, track);
    (void)MP4GetTrackMediaDataName(file, track);
    (void)MP4GetTrackEsdsObjectTypeId(file, track);
    (void)MP4GetTrackTimeScale(file, track);
    uint32_t lengthSize = 0;
    (void)MP4GetTrackH264LengthSize(file, track, &lengthSize);
    uint8_t **seq, **pict;
    uint32_t *seqSizes, *pictSizes;
    if (MP4GetTrackH264SeqPictHeaders(file, track, &seq, &seqSizes, &pict, &pictSizes)) {
      for (size_t k = 0; seqSizes[k] != 0; ++k) (void)seq[k][seqSizes[k] - 1];
      for (size_t k = 0; pictSizes[k] != 0; ++k) (void)pict[k][pictSizes[k] - 1];
      MP4FreeH264SeqPictHeaders(seq, seqSizes, pict, pictSizes);
    }
    const uint32_t count = MP4GetTrackNumberOfSamples(file, track);
    for (uint32_t id = 1; id <= count && id <= 4096; ++id) ReadSample(file, track, id);
    for (uint32_t id : {0u, count, count + 1, count + 2, 0xFFFFFFFFu}) ReadSample(file, track, id);
  }
  MP4Close(file);
  return 0;
}
