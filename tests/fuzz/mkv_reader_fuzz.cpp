// libFuzzer target for the Matroska reader: open the input as a file, walk its chapter, tag and
// attachment lists, read every frame, seek to a few times derived from the input, read on after
// each seek, close. Bits of the input's
// size also make one allocation fail (chosen by the first byte), make reads fail after a number
// of calls (chosen by the last byte), offer the file size callback and open without seeking.
#include "mkv_reader.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct FuzzIo {
  MkvIo io;
  const uint8_t* data;
  size_t size;
  int allocations;
  int failAt;
  int reads;
  int failReadsFrom;
};

FuzzIo* self(MkvIo* io) { return reinterpret_cast<FuzzIo*>(io); }

int32_t fuzzRead(MkvIo* io, uint64_t position, void* buffer, int32_t count) {
  FuzzIo* f = self(io);
  if (buffer == nullptr || count <= 0) return 0;
  if (f->failReadsFrom >= 0 && f->reads++ >= f->failReadsFrom) return -1;
  if (position >= f->size) return 0;
  size_t n = f->size - position < static_cast<size_t>(count) ? f->size - position : count;
  memcpy(buffer, f->data + position, n);
  return static_cast<int32_t>(n);
}

int64_t fuzzScan(MkvIo* io, uint64_t position, uint32_t signature) {
  FuzzIo* f = self(io);
  uint32_t reg = 0;
  for (uint64_t p = position; p < f->size; ++p) {
    reg = (reg << 8) | f->data[p];
    if (p >= position + 3 && reg == signature) return static_cast<int64_t>(p - 3);
  }
  return -1;
}

uint32_t fuzzCacheSize(MkvIo*) { return 65536; }
const char* fuzzErrorText(MkvIo*) { return "read failed"; }

void* fuzzAlloc(MkvIo* io, uint32_t size) {
  FuzzIo* f = self(io);
  if (f->allocations++ == f->failAt) return nullptr;
  return malloc(size == 0 ? 1 : size);
}

void* fuzzRealloc(MkvIo* io, void* block, uint32_t size) {
  FuzzIo* f = self(io);
  if (f->allocations++ == f->failAt) return nullptr;
  if (size == 0) {
    free(block);
    return nullptr;
  }
  return realloc(block, size);
}

void fuzzFree(MkvIo*, void* block) { free(block); }
int32_t fuzzProgress(MkvIo*, uint64_t, uint64_t) { return 1; }
int64_t fuzzFileSize(MkvIo* io) { return static_cast<int64_t>(self(io)->size); }

// Touches every field and text of the lists, so that the sanitizers see any bad pointer or
// unterminated text in them.
uint64_t textSum(const char* text) {
  uint64_t sum = 0;
  if (text != nullptr)
    for (size_t i = 0, n = strlen(text); i < n; ++i) sum += static_cast<uint8_t>(text[i]);
  return sum;
}

uint64_t chapterSum(const MkvChapter& c) {
  uint64_t sum = c.uid + c.start + c.end + c.flags + c.segmentUid[0] + c.segmentUid[15];
  for (uint32_t i = 0; i < c.trackNumberCount; ++i) sum += c.trackNumbers[i];
  for (uint32_t i = 0; i < c.displayCount; ++i)
    sum += textSum(c.displays[i].string) + textSum(c.displays[i].language) + textSum(c.displays[i].country);
  for (uint32_t i = 0; i < c.processCount; ++i) {
    const MkvChapterProcess& p = c.processes[i];
    sum += p.codecId + p.privateSize + textSum(p.privateData);
    for (uint32_t j = 0; j < p.commandCount; ++j)
      sum += p.commands[j].time + p.commands[j].dataSize + textSum(p.commands[j].data);
  }
  for (uint32_t i = 0; i < c.childCount; ++i) sum += chapterSum(c.children[i]);
  return sum;
}

uint64_t walkLists(MkvFile* file) {
  uint64_t sum = 0;
  uint32_t count;
  MkvChapter* chapters;
  mkvListChapters(file, &chapters, &count);
  for (uint32_t i = 0; i < count; ++i) sum += chapterSum(chapters[i]);
  MkvTag* tags;
  mkvListTags(file, &tags, &count);
  for (uint32_t i = 0; i < count; ++i) {
    for (uint32_t j = 0; j < tags[i].targetCount; ++j) sum += tags[i].targets[j].uid + tags[i].targets[j].type;
    for (uint32_t j = 0; j < tags[i].simpleTagCount; ++j) {
      const MkvSimpleTag& t = tags[i].simpleTags[j];
      sum += textSum(t.name) + textSum(t.value) + textSum(t.language) + t.flags;
    }
  }
  MkvAttachment* attachments;
  mkvListAttachments(file, &attachments, &count);
  for (uint32_t i = 0; i < count; ++i) {
    const MkvAttachment& a = attachments[i];
    sum += a.position + a.length + a.uid + textSum(a.name) + textSum(a.description) + textSum(a.mimeType);
  }
  return sum;
}

void readSome(MkvFile* file, uint32_t skipMask, int limit) {
  uint32_t track, size, flags;
  uint64_t start, end, filePos;
  for (int i = 0; i < limit; ++i)
    if (mkvReadFrame(file, skipMask, &track, &start, &end, &filePos, &size, &flags) != 0) break;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzIo f = {};
  f.io.read = fuzzRead;
  f.io.scan = fuzzScan;
  f.io.cacheSize = fuzzCacheSize;
  f.io.errorText = fuzzErrorText;
  f.io.memAlloc = fuzzAlloc;
  f.io.memRealloc = fuzzRealloc;
  f.io.memFree = fuzzFree;
  f.io.progress = fuzzProgress;
  f.io.fileSize = (size & 2) ? fuzzFileSize : nullptr;
  f.data = data;
  f.size = size;
  f.failAt = (size & 1) && size > 0 ? data[0] % 64 : -1;
  f.failReadsFrom = (size & 8) && size > 0 ? data[size - 1] % 32 : -1;

  char error[64];
  MkvFile* file = mkvOpen(&f.io, 0, (size & 4) ? 1u : 0u, error, sizeof error);
  if (file == nullptr) return 0;
  uint32_t tracks = mkvTrackCount(file);
  for (uint32_t i = 0; i < tracks; ++i) (void)mkvTrackAt(file, i);
  (void)mkvErrorText(file);
  volatile uint64_t listSum = walkLists(file);
  (void)listSum;
  readSome(file, 0, 100000);

  uint64_t duration = mkvFileInfo(file)->duration;
  const uint64_t targets[] = {duration / 2, 1, duration, UINT64_MAX, 40000000, 0};
  for (uint64_t target : targets) {
    mkvSeek(file, target, 0, tracks > 0 ? 0 : 5);
    readSome(file, 0, 50);
  }
  if (tracks > 1) {
    mkvIgnoreTracks(file, ~1u);
    mkvSeek(file, duration / 3, 0, 0);
    readSome(file, 2, 200);
  }
  mkvClose(file);
  return 0;
}
