// Benchmark: reading every frame of a Matroska file (positions from the reader, bytes read
// through a buffered file as the source glue does) against `ffmpeg -c copy -f null`.
// Usage: matroska_read_bench FILE.mkv [runs]
#include "mkv_reader.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct FileIo {
  MkvIo io;
  FILE* file;
};

FILE* fileOf(MkvIo* io) { return reinterpret_cast<FileIo*>(io)->file; }

int32_t ioRead(MkvIo* io, uint64_t position, void* buffer, int32_t count) {
  if (buffer == nullptr || count <= 0) return 0;
  if (fseeko(fileOf(io), static_cast<off_t>(position), SEEK_SET) != 0) return -1;
  size_t got = fread(buffer, 1, static_cast<size_t>(count), fileOf(io));
  if (got == 0 && !feof(fileOf(io))) return -1;
  return static_cast<int32_t>(got);
}

int64_t ioScan(MkvIo* io, uint64_t position, uint32_t signature) {
  FILE* f = fileOf(io);
  if (fseeko(f, static_cast<off_t>(position), SEEK_SET) != 0) return -1;
  uint32_t reg = 0;
  uint64_t p = position;
  for (int c; (c = getc(f)) != EOF;) {
    reg = (reg << 8) | static_cast<uint32_t>(c);
    ++p;
    if (p - position >= 4 && reg == signature) return static_cast<int64_t>(p - 4);
  }
  return -1;
}

uint32_t ioCacheSize(MkvIo*) { return 65536; }
const char* ioErrorText(MkvIo*) { return strerror(errno); }
void* ioAlloc(MkvIo*, uint32_t size) { return malloc(size); }
void* ioRealloc(MkvIo*, void* block, uint32_t size) { return realloc(block, size); }
void ioFree(MkvIo*, void* block) { free(block); }
int32_t ioProgress(MkvIo*, uint64_t, uint64_t) { return 1; }

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// One pass: open, read every frame of every track and its bytes, close.
double readAll(const char* path, uint64_t* frames, uint64_t* bytes) {
  auto start = std::chrono::steady_clock::now();
  FileIo fio = {};
  fio.file = fopen(path, "rb");
  if (!fio.file) {
    perror(path);
    exit(1);
  }
  static char streamBuffer[65536];
  setvbuf(fio.file, streamBuffer, _IOFBF, sizeof streamBuffer);
  fio.io.read = ioRead;
  fio.io.scan = ioScan;
  fio.io.cacheSize = ioCacheSize;
  fio.io.errorText = ioErrorText;
  fio.io.memAlloc = ioAlloc;
  fio.io.memRealloc = ioRealloc;
  fio.io.memFree = ioFree;
  fio.io.progress = ioProgress;
  char error[256];
  MkvFile* file = mkvOpenDefault(&fio.io, error, sizeof error);
  if (!file) {
    fprintf(stderr, "open failed: %s\n", error);
    exit(1);
  }
  std::vector<char> data(8000000);
  uint32_t track, size, flags;
  uint64_t begin, end, position;
  *frames = *bytes = 0;
  while (mkvReadFrame(file, 0, &track, &begin, &end, &position, &size, &flags) == 0) {
    if (size > data.size()) data.resize(size);
    fseeko(fio.file, static_cast<off_t>(position), SEEK_SET);
    *bytes += fread(data.data(), 1, size, fio.file);
    ++*frames;
  }
  mkvClose(file);
  fclose(fio.file);
  return seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s FILE.mkv [runs]\n", argv[0]);
    return 2;
  }
  int runs = argc > 2 ? atoi(argv[2]) : 1;
  uint64_t frames = 0, bytes = 0;
  readAll(argv[1], &frames, &bytes);  // untimed: brings the file into the page cache for both
  double ours = 1e9;
  for (int i = 0; i < runs; ++i) {
    double t = readAll(argv[1], &frames, &bytes);
    if (t < ours) ours = t;
  }
  std::string command = std::string("ffmpeg -hide_banner -loglevel error -i '") + argv[1] +
                        "' -map 0 -c copy -f null - </dev/null";
  double theirs = 1e9;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    if (system(command.c_str()) != 0) {
      fprintf(stderr, "ffmpeg failed\n");
      return 1;
    }
    double t = seconds(start);
    if (t < theirs) theirs = t;
  }
  printf("%s: %llu frames, %llu bytes\n", argv[1], static_cast<unsigned long long>(frames),
         static_cast<unsigned long long>(bytes));
  printf("reader: %.3f s   ffmpeg -c copy -f null: %.3f s   ratio ffmpeg/reader: %.2f\n", ours, theirs,
         theirs / ours);
  return 0;
}
