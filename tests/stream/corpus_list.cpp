#include "tests/stream/corpus_list.h"

#include <fstream>
#include <sstream>

#include "source/source_state.h"

int32_t CorpusEntry::StreamKind() const {
  if (packaging == "ts" || packaging == "m2ts") return kStreamTransport;
  if (packaging == "ps") return kStreamProgram;
  return kStreamElementary;
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
