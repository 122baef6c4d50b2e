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
};

std::filesystem::path CorpusFolder();
// Empty when the corpus has not been made.
std::vector<CorpusEntry> ReadCorpusList();
