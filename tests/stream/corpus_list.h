// The generated corpus as the tests see it (corpus.list in the corpus folder).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct CorpusEntry {
  std::string file;       // first file, relative to the corpus folder (or absolute)
  std::string packaging;  // raw, split, ts, m2ts, ps
  std::string codec;      // h264, mpeg2video, vc1
  int packetSize = 0;
  int videoPid = 0;
  std::vector<std::filesystem::path> parts;  // absolute
  int32_t StreamKind() const;
  // The stream's name: the file name up to its first dot.
  std::string StreamName() const;
};

std::filesystem::path CorpusFolder();
// Empty when the corpus has not been made.
std::vector<CorpusEntry> ReadCorpusList();

// What the stream tests take from an index file written by the test indexer: the
// source files with their sizes, the stream values and the decoding start points.
struct IndexedStream {
  std::vector<std::filesystem::path> sources;
  std::vector<uint64_t> sizes;
  int32_t streamKind = 0;
  int32_t packetSize = 188;
  int32_t videoPid = 0;
  char codec = 0;  // 'A', 'M' or 'V', the third character of the first line
  struct Start {
    std::string keyword;  // IDR, RPS, I or SEQ
    uint64_t position;
  };
  std::vector<Start> starts;
};

// False when the file cannot be read.
bool ReadIndexedStream(const std::filesystem::path& indexPath, IndexedStream* out);
