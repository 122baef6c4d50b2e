#include "source/index_common.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "source/index_readers.h"
#include "source/mkv_source.h"
#include "source/mp4_source.h"
#include "source/stream_readers.h"

namespace {

bool IsBlankOrControl(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

void SkipWhiteSpace(const char** text) {
  while (IsBlankOrControl(**text)) ++*text;
}

bool IsFolderSeparator(char ch) { return ch == '/' || ch == '\\'; }

// Index files written on Windows name folders with "\".
void UseForwardSlashes(char* path) {
  for (; *path; ++path) {
    if (*path == '\\') *path = '/';
  }
}

// Appends text to buffer (bufferSize bytes, already holding a string). False, with
// the buffer unchanged, when the result would not fit.
bool AppendBounded(char* buffer, size_t bufferSize, const char* text) {
  const size_t used = strlen(buffer);
  const size_t extra = strlen(text);
  if (used + extra + 1 > bufferSize) return false;
  memcpy(buffer + used, text, extra + 1);
  return true;
}

// The folder that relative source paths are resolved against: the index path made
// absolute and cut after its last folder separator. False when the index path has
// no separator after its first character, or the result would not fit.
bool IndexFolder(const char* indexPath, char* folder, size_t folderSize) {
  folder[0] = '\0';
  if (PathIsRelativeA(indexPath)) {
    const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(folderSize), folder);
    if (length == 0 || length >= folderSize) return false;
    if (!IsFolderSeparator(folder[length - 1]) && !AppendBounded(folder, folderSize, "/")) {
      return false;
    }
  }
  if (!AppendBounded(folder, folderSize, indexPath)) return false;
  char* lastSeparator = nullptr;
  for (char* p = folder + 1; *p; ++p) {
    if (IsFolderSeparator(*p)) lastSeparator = p;
  }
  if (!lastSeparator) return false;
  lastSeparator[1] = '\0';
  return true;
}

// Reads one source-list line. Returns 1 for a source (path cut at the last blank,
// size scanned from there), 0 for the end of the list (a line with no blank after
// its first character, or the end of the file), or -1 when memory ran out.
int ReadSourceLine(FILE* indexFile, char** pathOut, uint64_t* size) {
  char* path = static_cast<char*>(malloc(kSourcePathSize));
  if (!path) return -1;
  if (!ReadIndexLine(indexFile, path, kSourceLineChars)) {
    free(path);
    return 0;
  }
  char* blank = path + strlen(path);
  while (blank > path && *blank != ' ') --blank;
  if (blank == path) {
    free(path);
    return 0;
  }
  const char* sizeText = blank;
  ScanU64(&sizeText, size);
  *blank = '\0';
  UseForwardSlashes(path);
  *pathOut = path;
  return 1;
}

// Whether an opened source can give stream bytes. Regular files are taken as they
// are (an empty one is an empty stream); anything else must give a first byte, so
// that a folder or a device without data counts as a file that cannot be opened.
bool GivesStreamBytes(FILE* file) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0) return false;
  if (S_ISREG(info.st_mode)) return true;
  if (S_ISDIR(info.st_mode)) return false;
  const int first = fgetc(file);
  return first != EOF && ungetc(first, file) != EOF;
}

// Replaces a relative source path by the canonical path below the index's folder.
bool ResolveSourcePath(const char* indexPath, char* path) {
  if (!PathIsRelativeA(path)) return true;
  char joined[2 * kSourcePathSize];
  if (!IndexFolder(indexPath, joined, kSourcePathSize)) return false;
  if (!AppendBounded(joined, sizeof joined, path)) return false;
  return PathCanonicalizeBufA(path, kSourcePathSize, joined) != FALSE;
}

int ReadSourceList(SourceState* source, const char* indexPath) {
  source->sourceCount = 0;
  for (;;) {
    char* path = nullptr;
    const int32_t slot = source->sourceCount;
    uint64_t size = slot < kMaxSourceFiles ? source->sourceSizes[slot] : 0;
    const int got = ReadSourceLine(source->indexFile, &path, &size);
    if (got < 0) return kIndexFileFailure;
    // An index that names no source file has no stream to read.
    if (got == 0) return source->sourceCount > 0 ? kIndexOk : kIndexFileFailure;
    if (slot >= kMaxSourceFiles) {
      free(path);
      return kIndexFileFailure;
    }
    source->sourceSizes[slot] = size;
    source->sourcePaths[slot] = path;
    if (!ResolveSourcePath(indexPath, path)) return kIndexFileFailure;
    FILE* file = fopen(path, "rb");
    if (!file) return kIndexFileFailure;
    if (!GivesStreamBytes(file)) {
      fclose(file);
      return kIndexFileFailure;
    }
    source->sourceFiles[slot] = file;
    ++source->sourceCount;
  }
}

template <typename T>
T* GrowArray(T* table, int64_t oldCapacity, int64_t newCapacity) {
  T* grown = static_cast<T*>(realloc(table, static_cast<size_t>(newCapacity) * sizeof(T)));
  if (!grown) return nullptr;
  memset(grown + oldCapacity, 0, static_cast<size_t>(newCapacity - oldCapacity) * sizeof(T));
  return grown;
}

// The capacity after growing in whole steps until index fits; 0 when that passes
// the table limit.
int64_t GrownCapacity(int64_t capacity, int64_t index) {
  if (index >= kMaxTableEntries) return 0;
  const int64_t steps = (index - capacity) / kTableGrowth + 1;
  const int64_t grown = capacity + steps * kTableGrowth;
  return grown > kMaxTableEntries ? kMaxTableEntries : grown;
}

}  // namespace

bool ReadIndexLine(FILE* file, char* buffer, size_t maxChars) {
  if (!fgets(buffer, static_cast<int>(maxChars + 1), file)) {
    buffer[0] = '\0';
    return false;
  }
  size_t length = strlen(buffer);
  if (length >= 2 && buffer[length - 2] == '\r' && buffer[length - 1] == '\n') {
    buffer[length - 2] = '\n';
    buffer[length - 1] = '\0';
  } else if (length >= 1 && buffer[length - 1] == '\r') {
    // The read ended between a carriage return and its line feed.
    const int next = getc(file);
    if (next == '\n') buffer[length - 1] = '\n';
    else if (next != EOF) ungetc(next, file);
  }
  return true;
}

const char* AfterNextBlank(const char* text) {
  const char* blank = strchr(text, ' ');
  return blank ? blank + 1 : nullptr;
}

bool ScanInt(const char** text, int32_t* value) {
  const char* p = *text;
  SkipWhiteSpace(&p);
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (magnitude <= INT32_MAX) magnitude = magnitude * 10 + (*p - '0');
  }
  int64_t result = negative ? -magnitude : magnitude;
  if (result > INT32_MAX) result = INT32_MAX;
  if (result < INT32_MIN) result = INT32_MIN;
  *value = static_cast<int32_t>(result);
  *text = p;
  return true;
}

bool ScanU64(const char** text, uint64_t* value) {
  const char* p = *text;
  SkipWhiteSpace(&p);
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  uint64_t result = 0;
  bool overflow = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (result > (UINT64_MAX - digit) / 10) overflow = true;
    else result = result * 10 + digit;
  }
  if (overflow) result = UINT64_MAX;
  *value = negative ? 0 - result : result;
  *text = p;
  return true;
}

bool ScanLiteral(const char** text, char literal) {
  const char* p = *text;
  SkipWhiteSpace(&p);
  if (*p != literal) return false;
  *text = p + 1;
  return true;
}

int ReadIndexHeader(SourceState* source, const char* indexPath, const char* magicFamily) {
  if (!indexPath) return kIndexFileFailure;
  source->indexFile = fopen(indexPath, "r");
  if (!source->indexFile) return kIndexFileFailure;

  char firstLine[kFirstLineChars + 1];
  if (!ReadIndexLine(source->indexFile, firstLine, kFirstLineChars)) return kIndexEmpty;
  const size_t length = strlen(firstLine);
  if (length > 0) firstLine[length - 1] = '\0';
  if (!strstr(firstLine, magicFamily)) return kIndexWrongKind;
  const size_t familyLength = strlen(magicFamily);
  if (strncmp(firstLine, magicFamily, familyLength) != 0 ||
      strncmp(firstLine + familyLength, "14", 2) != 0) {
    return kIndexVersionMismatch;
  }

  // Lines 2 and 3 are free text. A file that ends here has an empty source list.
  char secondLine[kSecondLineChars + 1];
  ReadIndexLine(source->indexFile, secondLine, kSecondLineChars);
  ReadIndexLine(source->indexFile, source->lineBuffer, kThirdLineChars);
  return ReadSourceList(source, indexPath);
}

int AllocateIndexTables(SourceState* source, bool withParamSets) {
  source->frameTable = static_cast<FrameEntry*>(calloc(kTableInitialCapacity, sizeof(FrameEntry)));
  if (!source->frameTable) return kIndexFileFailure;
  source->frameCapacity = kTableInitialCapacity;
  source->gopTable = static_cast<GopRecord**>(calloc(kTableInitialCapacity, sizeof(GopRecord*)));
  if (!source->gopTable) return kIndexFileFailure;
  source->gopCapacity = kTableInitialCapacity;
  if (withParamSets) {
    source->spsOffsets = static_cast<uint64_t*>(calloc(kTableInitialCapacity, sizeof(uint64_t)));
    if (!source->spsOffsets) return kIndexFileFailure;
    source->spsCapacity = kTableInitialCapacity;
    source->ppsOffsets = static_cast<uint64_t*>(calloc(kTableInitialCapacity, sizeof(uint64_t)));
    if (!source->ppsOffsets) return kIndexFileFailure;
    source->ppsCapacity = kTableInitialCapacity;
  }
  source->spsCount = 0;
  source->ppsCount = 0;
  source->softPulldown = 0;
  source->currentSource = 0;
  source->gopCount = 0;
  source->displayFrameCount = 0;
  source->leadingSkipCount = 0;
  // Without a STREAM line the source is an elementary stream.
  source->streamKind = kStreamElementary;
  source->byteGetter = GetEsByte;
  return kIndexOk;
}

bool HandleCommonKeyword(SourceState* source, const char* line) {
  const char* value = AfterNextBlank(line);
  if (StartsWith(line, "DEVICE")) {
    if (value) ScanInt(&value, &source->deviceValue);
  } else if (StartsWith(line, "DECODE_MODES")) {
    if (value && ScanInt(&value, &source->decodeModes[0]) && ScanLiteral(&value, ',') &&
        ScanInt(&value, &source->decodeModes[1]) && ScanLiteral(&value, ',')) {
      ScanInt(&value, &source->decodeModes[2]);
    }
  } else if (StartsWith(line, "STREAM")) {
    if (value) ScanInt(&value, &source->streamKind);
    if (source->streamKind == kStreamTransport) source->byteGetter = GetTsByte;
    else if (source->streamKind == kStreamProgram) source->byteGetter = GetPsByte;
    else source->byteGetter = GetEsByte;
  } else if (StartsWith(line, "PKTSIZ")) {
    if (value) ScanInt(&value, &source->packetSize);
  } else if (StartsWith(line, "VPID")) {
    if (value) ScanInt(&value, &source->videoPid);
  } else if (StartsWith(line, "CLIP")) {
    const char* next = line;
    for (int32_t& crop : source->cropValues) {
      next = AfterNextBlank(next);
      if (!next) break;
      const char* scan = next;
      ScanInt(&scan, &crop);
    }
  } else if (StartsWith(line, "SIZ")) {
    if (value && ScanInt(&value, &source->codedWidth) && ScanLiteral(&value, 'x')) {
      ScanInt(&value, &source->codedHeight);
    }
  } else if (StartsWith(line, "FPS")) {
    if (value && ScanInt(&value, &source->frameRateNum)) {
      if (source->fieldop == 1) {
        // Force film shows four of every five frames.
        const double scaled = static_cast<uint32_t>(source->frameRateNum) * 0.8;
        source->frameRateNum = static_cast<int32_t>(static_cast<uint32_t>(scaled));
      }
      if (ScanLiteral(&value, '/')) ScanInt(&value, &source->frameRateDen);
    }
  } else {
    return false;
  }
  return true;
}

void HandleOrderLine(SourceState* source, const char* line) {
  const char* value = AfterNextBlank(line);
  if (value) ScanInt(&value, &source->fieldOrderValue);
}

int EnsureFrameCapacity(SourceState* source, int64_t highestIndex) {
  if (highestIndex < source->frameCapacity) return kIndexOk;
  const int64_t capacity = GrownCapacity(source->frameCapacity, highestIndex);
  if (capacity == 0) return kIndexFileFailure;
  FrameEntry* grown = GrowArray(source->frameTable, source->frameCapacity, capacity);
  if (!grown) return kIndexFileFailure;
  source->frameTable = grown;
  source->frameCapacity = static_cast<int32_t>(capacity);
  return kIndexOk;
}

GopRecord* AppendGopRecord(SourceState* source, int32_t gopIndex, int32_t firstFrame) {
  if (gopIndex >= source->gopCapacity) {
    const int64_t capacity = GrownCapacity(source->gopCapacity, gopIndex);
    if (capacity == 0) return nullptr;
    GopRecord** grown = GrowArray(source->gopTable, source->gopCapacity, capacity);
    if (!grown) return nullptr;
    source->gopTable = grown;
    source->gopCapacity = static_cast<int32_t>(capacity);
  }
  GopRecord* record = static_cast<GopRecord*>(calloc(1, sizeof(GopRecord)));
  if (!record) return nullptr;
  record->firstFrame = firstFrame;
  source->gopTable[gopIndex] = record;
  return record;
}

int AppendOffset(uint64_t** table, int32_t* count, int32_t* capacity, uint64_t value) {
  if (*count >= *capacity) {
    const int64_t grownCapacity = GrownCapacity(*capacity, *count);
    if (grownCapacity == 0) return kIndexFileFailure;
    uint64_t* grown = GrowArray(*table, *capacity, grownCapacity);
    if (!grown) return kIndexFileFailure;
    *table = grown;
    *capacity = static_cast<int32_t>(grownCapacity);
  }
  (*table)[(*count)++] = value;
  return kIndexOk;
}

void PlaceFrameFields(FrameEntry* table, DisplayBuilder* builder, int32_t codedFrame,
                      bool repeatFirst, bool topFirst) {
  int32_t& d = builder->displayCount;
  if (builder->topPending) {
    table[d].bottomFrame = codedFrame;
    ++d;
    table[d].topFrame = codedFrame;
  } else if (builder->bottomPending) {
    table[d].topFrame = codedFrame;
    ++d;
    table[d].bottomFrame = codedFrame;
  } else {
    table[d].topFrame = codedFrame;
    table[d].bottomFrame = codedFrame;
    ++d;
  }
  if (!repeatFirst) return;
  // The third field starts (or completes) the next display frame.
  if (topFirst) {
    table[d].topFrame = codedFrame;
    const bool completes = builder->bottomPending;
    builder->topPending = true;
    if (completes) {
      builder->topPending = builder->bottomPending = false;
      ++d;
    }
  } else {
    table[d].bottomFrame = codedFrame;
    const bool completes = builder->topPending;
    builder->bottomPending = true;
    if (completes) {
      builder->topPending = builder->bottomPending = false;
      ++d;
    }
  }
}

void PlaceWholeFrames(FrameEntry* table, DisplayBuilder* builder, int32_t codedFrame,
                      int32_t copies) {
  for (int32_t i = 0; i < copies; ++i) {
    table[builder->displayCount].topFrame = codedFrame;
    table[builder->displayCount].bottomFrame = codedFrame;
    ++builder->displayCount;
  }
}

void PlaceFilmFrame(FrameEntry* table, DisplayBuilder* builder, int32_t codedFrame, bool soft) {
  if (soft) ++builder->softCount;
  else ++builder->plainCount;
  const int32_t limit = builder->cadenceLocked ? 5 : 3;
  if (builder->plainCount - builder->softCount == limit) {
    // One plain frame too many for the film cadence: it is dropped.
    builder->softCount = builder->plainCount = 0;
    builder->cadenceLocked = true;
    return;
  }
  int32_t& f = builder->filmCount;
  table[f].topFrame = table[f].bottomFrame = codedFrame;
  ++f;
  if (builder->softCount - builder->plainCount == limit) {
    table[f].topFrame = table[f].bottomFrame = codedFrame;
    ++f;
    builder->softCount = builder->plainCount = 0;
    builder->cadenceLocked = true;
  }
}

int32_t TrimmedDisplayCount(const FrameEntry* table, int32_t fieldop, const DisplayBuilder& builder,
                            int32_t usableFrames) {
  switch (EffectiveFieldop(fieldop)) {
    case 2:
      return usableFrames < 0 ? 0 : usableFrames;
    case 1: {
      int32_t count = builder.filmCount;
      while (count > 0 && table[count - 1].topFrame >= usableFrames) --count;
      return count;
    }
    default: {
      int32_t count = builder.displayCount;
      while (count > 0 && (table[count - 1].topFrame >= usableFrames ||
                           table[count - 1].bottomFrame >= usableFrames)) {
        --count;
      }
      return count;
    }
  }
}

int FinishIndexRead(SourceState* source) {
  int32_t opened = 0;
  if (source->streamKind == kStreamMatroska) {
    opened = OpenMkvVideoTrack(source);
  } else if (source->streamKind == kStreamMp4) {
    opened = OpenMp4VideoTrack(source);
  }
  if (opened != 0) {
    if (source->sourceCount > 0 && source->sourceFiles[0]) {
      fclose(source->sourceFiles[0]);
      source->sourceFiles[0] = nullptr;
    }
    return opened == 1 ? kIndexContainerUnreadable : kIndexNoVideoTrack;
  }
  source->currentUnit = &source->unit;
  source->needSync = 1;
  return kIndexOk;
}

void ReleaseIndexData(SourceState* source) {
  CloseMkvSource(source);  // before the source file it reads
  ReleaseMp4Source(source);
  if (source->indexFile) {
    fclose(source->indexFile);
    source->indexFile = nullptr;
  }
  for (int32_t i = 0; i < kMaxSourceFiles; ++i) {
    free(source->sourcePaths[i]);
    source->sourcePaths[i] = nullptr;
  }
  if (source->gopTable) {
    // Records fill the table from its start, in order; the first null slot ends them.
    for (int32_t i = 0; i < source->gopCapacity && source->gopTable[i]; ++i) free(source->gopTable[i]);
    free(source->gopTable);
    source->gopTable = nullptr;
  }
  source->gopCapacity = 0;
  free(source->frameTable);
  source->frameTable = nullptr;
  source->frameCapacity = 0;
  free(source->spsOffsets);
  source->spsOffsets = nullptr;
  source->spsCount = source->spsCapacity = 0;
  free(source->ppsOffsets);
  source->ppsOffsets = nullptr;
  source->ppsCount = source->ppsCapacity = 0;
  for (int32_t i = 0; i < kMaxSourceFiles; ++i) {
    if (source->sourceFiles[i]) fclose(source->sourceFiles[i]);
    source->sourceFiles[i] = nullptr;
  }
  source->sourceCount = 0;
}
