#include "tests/stream/corpus_list.h"

#include <fstream>
#include <sstream>

#include "source/source_state.h"

int32_t CorpusEntry::StreamKind() const {
  if (packaging == "ts" || packaging == "m2ts") return kStreamTransport;
  if (packaging == "ps") return kStreamProgram;
  return kStreamElementary;
}

std::string CorpusEntry::StreamName() const {
  const std::string name = std::filesystem::path(file).filename().string();
  return name.substr(0, name.find('.'));
}

std::filesystem::path CorpusFolder() { return TESSIVAR_CORPUS_DIR; }

std::vector<CorpusEntry> ReadCorpusList() {
  std::vector<CorpusEntry> entries;
  std::ifstream list(CorpusFolder() / "corpus.list");
  std::string line;
  while (std::getline(list, line)) {
    std::istringstream fields(line);
    CorpusEntry entry;
    fields >> entry.file >> entry.packaging >> entry.codec >> entry.packetSize >> entry.videoPid;
    std::string part;
    while (fields >> part) entry.parts.push_back(CorpusFolder() / part);
    if (!entry.parts.empty()) entries.push_back(entry);
  }
  return entries;
}

bool ReadIndexedStream(const std::filesystem::path& indexPath, IndexedStream* out) {
  std::ifstream in(indexPath);
  std::string line;
  if (!std::getline(in, line) || line.size() < 3) return false;
  out->codec = line[2];
  std::getline(in, line);
  std::getline(in, line);
  while (std::getline(in, line)) {
    const size_t blank = line.rfind(' ');
    if (blank == std::string::npos || blank == 0) break;
    out->sources.push_back(line.substr(0, blank));
    out->sizes.push_back(std::stoull(line.substr(blank + 1)));
  }
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string keyword;
    fields >> keyword;
    if (keyword == "STREAM") fields >> out->streamKind;
    if (keyword == "PKTSIZ") fields >> out->packetSize;
    if (keyword == "VPID") fields >> out->videoPid;
    if (keyword == "IDR" || keyword == "RPS" || keyword == "I" || keyword == "SEQ") {
      IndexedStream::Start start{keyword, 0};
      fields >> start.position;
      out->starts.push_back(start);
    }
  }
  return !out->sources.empty();
}
