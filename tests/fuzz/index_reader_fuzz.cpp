// libFuzzer target for one index reader (FUZZ_READER, set by the build) and the GOP
// choice of its codec's seek (FUZZ_CHOOSER): the input is written as an index file
// into a scratch folder that also holds a small source file, "video.bin", which the
// seeds name. The reader reads it into a fresh source state (fieldop taken from the
// input's length); what it read is checked for what the clip and GetFrame rely on,
// the GOP is chosen for the display frames GetFrame can ask for, and all is released.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "source/avc.h"
#include "source/index_readers.h"
#include "source/mpeg2_vc1_feed.h"
#include "source/source_state.h"

#if !defined(FUZZ_READER) || !defined(FUZZ_CHOOSER)
#error "FUZZ_READER and FUZZ_CHOOSER name the index reader and the GOP choice to fuzz"
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

// The seek's GOP for the display frames a request can reach (GetFrame clamps to
// leadingSkipCount .. displayFrameCount - 1): the first few thousand and the last.
void CheckGopChoices(const SourceState& source) {
  const int32_t count = source.displayFrameCount;
  for (int32_t n = source.leadingSkipCount; n < count; ++n) {
    if (n - source.leadingSkipCount >= 3000 && n < count - 100) n = count - 100;
    const GopChoice choice = FUZZ_CHOOSER(&source, n);
    if (choice.gop < 0 || choice.gop >= source.gopCount) abort();
  }
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
  if (FUZZ_READER(source.get(), path.c_str()) == kIndexOk) {
    CheckTables(*source);
    if (source->gopCount > 0) CheckGopChoices(*source);
  }
  ReleaseIndexData(source.get());
  return 0;
}
