// libFuzzer target for one index reader (FUZZ_READER, set by the build): the input is
// written as an index file into a scratch folder that also holds a small source file,
// "video.bin", which the seeds name. The reader reads it into a fresh source state
// (fieldop taken from the input's length); what it read is then checked for what the
// clip and GetFrame rely on, and released.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "source/index_readers.h"
#include "source/source_state.h"

#ifndef FUZZ_READER
#error "FUZZ_READER names the index reader to fuzz"
#endif

namespace {

std::string folder;

void RemoveFolder() {
  unlink((folder + "/index.vqi").c_str());
  unlink((folder + "/video.bin").c_str());
  rmdir(folder.c_str());
}

const std::string& IndexPath() {
  static const std::string path = [] {
    char pattern[] = "/tmp/tessivar-index-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    folder = pattern;
    std::atexit(RemoveFolder);
    FILE* video = fopen((folder + "/video.bin").c_str(), "wb");
    if (!video) abort();
    for (int i = 0; i < 4096; ++i) fputc(i % 7 == 0 ? 0 : i & 0xFF, video);
    fclose(video);
    return folder + "/index.vqi";
  }();
  return path;
}

// A successful read must leave tables that hold what their counts say.
void CheckTables(const SourceState& source) {
  if (source.displayFrameCount < 0 || source.gopCount < 0) abort();
  if (source.displayFrameCount > 0 && (!source.frameTable || source.displayFrameCount > source.frameCapacity))
    abort();
  if (source.gopCount > 0 && (!source.gopTable || source.gopCount > source.gopCapacity)) abort();
  for (int32_t g = 0; g < source.gopCount; ++g) {
    if (!source.gopTable[g]) abort();
  }
  if (source.sourceCount < 1 || source.sourceCount > kMaxSourceFiles) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = IndexPath();
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) abort();
  if (size > 0 && fwrite(data, 1, size, file) != size) abort();
  fclose(file);

  auto source = std::make_unique<SourceState>();
  source->fieldop = static_cast<int32_t>(size % 3);
  if (FUZZ_READER(source.get(), path.c_str()) == kIndexOk) CheckTables(*source);
  ReleaseIndexData(source.get());
  return 0;
}
