// Benchmark: opening a Matroska source as the plug-in does (the reader's open with its
// Cues, their sort and the duration scan, then the track choice), timed over several
// runs. Usage: matroska_open_bench FILE.mkv [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "source/index_readers.h"
#include "source/mkv_source.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.mkv [runs]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    auto source = std::make_unique<SourceState>();
    source->streamKind = kStreamMatroska;
    source->codecKind = kCodecAvc;
    source->sourceFiles[0] = std::fopen(argv[1], "rb");
    if (!source->sourceFiles[0]) {
      std::perror(argv[1]);
      return 1;
    }
    source->sourceCount = 1;
    const auto start = std::chrono::steady_clock::now();
    const int32_t result = OpenMkvVideoTrack(source.get());
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    ReleaseIndexData(source.get());
    if (result != 0) {
      std::fprintf(stderr, "open result %d\n", result);
      return 1;
    }
  }
  std::sort(times.begin(), times.end());
  std::printf("%s: open and track choice, median of %d runs %.3f s (fastest %.3f s, slowest %.3f s)\n", argv[1],
              runs, times[times.size() / 2], times.front(), times.back());
  return 0;
}
