// Reading time of index files with 1,000,000 frame lines, for each index kind.
// The reference in the same run is one plain line-by-line read of the same file
// (fgets into a buffer, no parsing), so the ratio shows what the parsing costs.
//
// Usage: index_read_bench [frame lines] [repetitions]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "source/index_readers.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string IndexText(const char* magic, const std::string& sourcePath, const std::string& head,
                      const char* frameLine, int frames, int framesPerGop, const char* gopLine) {
  std::string text = std::string(magic) + "\nbench\nbench\n" + sourcePath + " 4096\n\n";
  text += "STREAM 0\nSIZ 1920 x 1080\nFPS 30000 / 1001\nCLIP 0 0 0 8\n" + head;
  text.reserve(text.size() + static_cast<size_t>(frames) * 24);
  for (int i = 0; i < frames; ++i) {
    if (i % framesPerGop == 0) text += gopLine;
    text += frameLine;
  }
  return text;
}

double PlainLineRead(const std::string& path) {
  static char line[50000];
  const auto start = Clock::now();
  FILE* file = fopen(path.c_str(), "r");
  if (!file) return 0;
  size_t lines = 0;
  while (fgets(line, sizeof line, file)) ++lines;
  fclose(file);
  const double seconds = Seconds(start);
  if (lines == 0) fprintf(stderr, "empty file\n");
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? atoi(argv[1]) : 1000000;
  const int repetitions = argc > 2 ? atoi(argv[2]) : 5;
  std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  const std::filesystem::path dir = pattern;
  const std::string sourcePath = (dir / "video.bin").string();
  std::ofstream(sourcePath) << std::string(4096, 'x');

  struct Kind {
    const char* name;
    int (*reader)(SourceState*, const char*);
    std::string text;
  };
  Kind kinds[] = {
      {"AVC", ReadAvcIndex,
       IndexText("VQAVCIndexFileJX14", sourcePath, "SPS 0\nPPS 20\n", "FRM 1 123456 3 123456\n", frames, 24,
                 "IDR 123456789\n")},
      {"MPEG-2", ReadMpeg2Index,
       IndexText("VQMPGIndexFileJX14", sourcePath, "", "FRM B 12 1 0 1\n", frames, 12,
                 "SEQ 123456789\nSEQEXT 0\nGOP 0 5\n")},
      {"VC-1", ReadVc1Index,
       IndexText("VQVC1IndexFileJX14", sourcePath, "", "FRM 1 0 255\n", frames, 24,
                 "SEQ 123456789 0 0 0 5u\nENTRY 0 1\n")},
  };

  printf("%d frame lines, best of %d runs\n", frames, repetitions);
  printf("%-8s %12s %14s %8s\n", "kind", "read (ms)", "fgets only (ms)", "ratio");
  for (Kind& kind : kinds) {
    const std::string path = (dir / (std::string(kind.name) + ".vqi")).string();
    std::ofstream(path, std::ios::binary) << kind.text;
    double best = 1e9, bestPlain = 1e9;
    for (int run = 0; run < repetitions; ++run) {
      auto source = std::make_unique<SourceState>();
      source->fieldop = 0;
      const auto start = Clock::now();
      const int code = kind.reader(source.get(), path.c_str());
      const double seconds = Seconds(start);
      if (code != 0 || source->displayFrameCount != frames) {
        fprintf(stderr, "%s: code %d, %d display frames\n", kind.name, code, source->displayFrameCount);
        return 1;
      }
      ReleaseIndexData(source.get());
      if (seconds < best) best = seconds;
      const double plain = PlainLineRead(path);
      if (plain < bestPlain) bestPlain = plain;
    }
    printf("%-8s %12.1f %14.1f %8.2f\n", kind.name, best * 1000, bestPlain * 1000, best / bestPlain);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
