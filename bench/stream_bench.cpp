// Throughput of the byte getters (and of unit extraction over them) on a large
// transport or program stream, beside ffmpeg copying the same file's video out as a
// raw stream, in one run.
//
// usage: stream_bench FILE [VIDEO_PID]
//   FILE: .ts/.m2ts (transport stream) or .vob/.mpg (program stream); the large
//   streams come from `tests/corpus/make_corpus.py OUTDIR --bench`.
//   VIDEO_PID: transport streams only, default 256 (ffmpeg's first PID).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "source/stream_readers.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::unique_ptr<SourceState> OpenSource(const char* path, int32_t kind, int32_t packetSize, int32_t pid) {
  auto source = std::make_unique<SourceState>();
  source->sourceCount = 1;
  source->sourceFiles[0] = fopen(path, "rb");
  source->sourceSizes[0] = std::filesystem::file_size(path);
  source->streamKind = kind;
  source->packetSize = packetSize;
  source->videoPid = pid;
  source->byteGetter = kind == kStreamTransport ? GetTsByte : GetPsByte;
  source->unitExtractor = ReadNextAvcUnit;
  SeekStream(source.get(), 0);
  return source;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s FILE [VIDEO_PID]\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  const std::string name = path;
  const bool transport = name.ends_with(".ts") || name.ends_with(".m2ts");
  const int32_t kind = transport ? kStreamTransport : kStreamProgram;
  const int32_t packetSize = name.ends_with(".m2ts") ? 192 : 188;
  const int32_t pid = argc > 2 ? atoi(argv[2]) : 256;
  const double megabytes = static_cast<double>(std::filesystem::file_size(path)) / 1e6;

  // Warm the page cache so that all three runs read from memory.
  {
    auto source = OpenSource(path, kind, packetSize, pid);
    uint8_t byte;
    while (source->byteGetter(source.get(), &byte) == 0) {
    }
  }

  auto source = OpenSource(path, kind, packetSize, pid);
  auto start = std::chrono::steady_clock::now();
  uint64_t bytes = 0, sum = 0;
  uint8_t byte;
  while (source->byteGetter(source.get(), &byte) == 0) {
    ++bytes;
    sum += byte;
  }
  const double getterSeconds = Seconds(start);
  fclose(source->sourceFiles[0]);

  source = OpenSource(path, kind, packetSize, pid);
  start = std::chrono::steady_clock::now();
  uint64_t units = 0;
  while (source->unitExtractor(source.get()) == 1) ++units;
  const double unitSeconds = Seconds(start);
  fclose(source->sourceFiles[0]);

  const std::string command = "ffmpeg -v error -nostdin -i '" + name + "' -c copy -f h264 - > /dev/null";
  start = std::chrono::steady_clock::now();
  const int status = system(command.c_str());
  const double ffmpegSeconds = Seconds(start);

  printf("file %s: %.1f MB, video bytes %llu (checksum %llu), units %llu\n", path, megabytes,
         static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(sum),
         static_cast<unsigned long long>(units));
  printf("byte getter:          %7.3f s  %8.1f MB/s of file\n", getterSeconds, megabytes / getterSeconds);
  printf("getter + units:       %7.3f s  %8.1f MB/s of file\n", unitSeconds, megabytes / unitSeconds);
  printf("ffmpeg -c copy h264:  %7.3f s  %8.1f MB/s of file%s\n", ffmpegSeconds, megabytes / ffmpegSeconds,
         status == 0 ? "" : " (ffmpeg failed)");
  printf("getter speed / ffmpeg speed: %.2f\n", ffmpegSeconds / getterSeconds);
  return 0;
}
