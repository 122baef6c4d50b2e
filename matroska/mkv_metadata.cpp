// Chapters, tags and attachments: the element hooks of the Segment walk, the chapter time
// shift and the release of chapter trees. The lists are not filled yet: each element is
// marked as found and its children are walked (so that a damaged element fails the way a
// damaged container does) without being interpreted.
#include "mkv_internal.h"

namespace {

void passOverChildren(MkvFile* file, uint64_t size) {
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    readChildId(file);
    skipBytes(file, readSize(file));
  }
}

}  // namespace

void parseAttachments(MkvFile* file, uint64_t size) {
  file->foundElements |= kFoundAttachments;
  passOverChildren(file, size);
}

void parseChapters(MkvFile* file, uint64_t size) {
  file->foundElements |= kFoundChapters;
  passOverChildren(file, size);
}

void parseTags(MkvFile* file, uint64_t size) {
  file->foundElements |= kFoundTags;
  passOverChildren(file, size);
}

void shiftChapterTimes(uint64_t time, MkvChapter* chapter) {
  if (chapter->start != 0) chapter->start -= time;
  if (chapter->end != 0) chapter->end -= time;
  for (uint32_t i = 0; i < chapter->childCount; ++i) shiftChapterTimes(time, &chapter->children[i]);
}

void freeChapter(MkvFile* file, MkvChapter* chapter) {
  MkvIo* io = file->io;
  for (uint32_t i = 0; i < chapter->displayCount; ++i) io->memFree(io, chapter->displays[i].string);
  io->memFree(io, chapter->displays);
  io->memFree(io, chapter->trackNumbers);
  for (uint32_t i = 0; i < chapter->processCount; ++i) {
    MkvChapterProcess& process = chapter->processes[i];
    for (uint32_t j = 0; j < process.commandCount; ++j) io->memFree(io, process.commands[j].data);
    io->memFree(io, process.commands);
    io->memFree(io, process.privateData);
  }
  io->memFree(io, chapter->processes);
  for (uint32_t i = 0; i < chapter->childCount; ++i) freeChapter(file, &chapter->children[i]);
  io->memFree(io, chapter->children);
}
