// Chapters, tags and attachments: the element parsers, the chapter time shift, the release of
// chapter trees and the three listing operations. Every list lives in the MkvFile until
// mkvClose; attached files are described, their data is never read.
#include "mkv_internal.h"

#include <cstring>

namespace {

namespace id {
constexpr uint32_t EditionEntry = 0x45B9, EditionUid = 0x45BC, EditionFlagHidden = 0x45BD,
                   EditionFlagDefault = 0x45DB, EditionFlagOrdered = 0x45DD;
constexpr uint32_t ChapterAtom = 0xB6, ChapterUid = 0x73C4, ChapterTimeStart = 0x91,
                   ChapterTimeEnd = 0x92, ChapterFlagHidden = 0x98, ChapterFlagEnabled = 0x4598,
                   ChapterSegmentUid = 0x6E67, ChapterTrack = 0x8F, ChapterTrackNumber = 0x89,
                   ChapterDisplay = 0x80, ChapString = 0x85, ChapLanguage = 0x437C,
                   ChapCountry = 0x437E;
constexpr uint32_t ChapProcess = 0x6944, ChapProcessCodecId = 0x6955, ChapProcessPrivate = 0x450D,
                   ChapProcessCommand = 0x6911, ChapProcessTime = 0x6922, ChapProcessData = 0x6933;
constexpr uint32_t Tag = 0x7373, Targets = 0x63C0, TagTrackUid = 0x63C5, TagChapterUid = 0x63C4,
                   TagAttachmentUid = 0x63C6, TagEditionUid = 0x63C9, SimpleTag = 0x67C8,
                   TagName = 0x45A3, TagString = 0x4487, TagLanguage = 0x447A, TagDefault = 0x4484;
constexpr uint32_t AttachedFile = 0x61A7, FileData = 0x465C, FileUid = 0x46AE, FileName = 0x466E,
                   FileDescription = 0x467E, FileMimeType = 0x4660;
}  // namespace id

// Chapter atoms inside an atom are parsed by recursion, as are the shift and the release of the
// tree, so a crafted file could otherwise nest deep enough to exhaust the stack. Real files nest
// a handful of levels; atoms deeper than this are dropped (with a note), and the rest of the
// file is read as usual.
constexpr int kMaxChapterDepth = 64;
constexpr const char* kDeepChaptersNote = "Chapter atoms nested more than 64 levels deep were dropped";

constexpr uint32_t kMaxTextBytes = 1023;

// Reads the children of a container of `size` bytes at the read position. `action` gets each
// child's ID and payload size and returns true when it consumed the payload; other children are
// skipped. The loop ends only when the read position meets the container's end exactly.
template <typename Action>
void forEachChild(MkvFile* file, uint64_t size, Action action) {
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t childId = readChildId(file);
    uint64_t childSize = readSize(file);
    if (!action(childId, childSize)) skipBytes(file, childSize);
  }
}

void setFlag(uint32_t* flags, uint32_t bit, uint64_t value) {
  if (value != 0)
    *flags |= bit;
  else
    *flags &= ~bit;
}

uint32_t low32(uint64_t value) { return static_cast<uint32_t>(value); }

template <typename T>
T* appendZeroed(MkvFile* file, T*& array, uint32_t& count, uint32_t& capacity) {
  T* element = arrayAppend(file, array, count, capacity);
  memset(static_cast<void*>(element), 0, sizeof(T));
  return element;
}

// Runs `drop` when the scope ends, normally or by a failure unwinding through it, so that an
// entry lacking what makes it useful never stays in a list, whichever way its element ended.
template <typename Drop>
struct DropIncomplete {
  Drop drop;
  ~DropIncomplete() { drop(); }
};
template <typename Drop>
DropIncomplete(Drop) -> DropIncomplete<Drop>;

void parseChapterDisplay(MkvFile* file, uint64_t size, MkvChapter* chapter) {
  MkvChapterDisplay* display = nullptr;
  auto entry = [&] {
    if (display == nullptr)
      display = appendZeroed(file, chapter->displays, chapter->displayCount, chapter->displayCapacity);
    return display;
  };
  DropIncomplete guard{[&] {
    if (display != nullptr && display->string == nullptr) --chapter->displayCount;
  }};
  forEachChild(file, size, [&](uint32_t childId, uint64_t childSize) {
    switch (childId) {
      case id::ChapString:
        if (entry()->string != nullptr) return false;
        display->string = readTextElement(file, childSize);
        return true;
      case id::ChapLanguage: readLangCode(file, childSize, entry()->language); return true;
      case id::ChapCountry: readLangCode(file, childSize, entry()->country); return true;
      default: return false;
    }
  });
}

void parseChapProcessCommand(MkvFile* file, uint64_t size, MkvChapterProcess* process) {
  MkvChapterCommand* command = nullptr;
  auto entry = [&] {
    if (command == nullptr)
      command = appendZeroed(file, process->commands, process->commandCount, process->commandCapacity);
    return command;
  };
  DropIncomplete guard{[&] {
    if (command != nullptr && command->data == nullptr) --process->commandCount;
  }};
  forEachChild(file, size, [&](uint32_t childId, uint64_t childSize) {
    switch (childId) {
      case id::ChapProcessTime: entry()->time = low32(readUIntElement(file, childSize)); return true;
      case id::ChapProcessData:
        if (entry()->data != nullptr) return false;
        command->dataSize = low32(childSize);
        command->data = readTextElement(file, childSize);
        return true;
      default: return false;
    }
  });
}

void parseChapProcess(MkvFile* file, uint64_t size, MkvChapter* chapter) {
  MkvIo* io = file->io;
  MkvChapterProcess* process = nullptr;
  auto entry = [&] {
    if (process == nullptr)
      process = appendZeroed(file, chapter->processes, chapter->processCount, chapter->processCapacity);
    return process;
  };
  // A process without any command is of no use: it goes, with what it holds.
  DropIncomplete guard{[&] {
    if (process == nullptr || process->commandCount != 0) return;
    io->memFree(io, process->privateData);
    io->memFree(io, process->commands);
    --chapter->processCount;
  }};
  forEachChild(file, size, [&](uint32_t childId, uint64_t childSize) {
    switch (childId) {
      case id::ChapProcessCodecId:
        entry()->codecId = low32(readUIntElement(file, childSize));
        return true;
      case id::ChapProcessPrivate:
        if (entry()->privateData != nullptr) return false;
        process->privateSize = low32(childSize);
        process->privateData = readTextElement(file, childSize);
        return true;
      case id::ChapProcessCommand: parseChapProcessCommand(file, childSize, entry()); return true;
      default: return false;
    }
  });
}

void parseChapterTrack(MkvFile* file, uint64_t size, MkvChapter* chapter) {
  forEachChild(file, size, [&](uint32_t childId, uint64_t childSize) {
    if (childId != id::ChapterTrackNumber) return false;
    uint64_t number = readUIntElement(file, childSize);
    *arrayAppend(file, chapter->trackNumbers, chapter->trackNumberCount,
                 chapter->trackNumberCapacity) = number;
    return true;
  });
}

// Appends one atom to the parent's children and fills it; the atom is listed from the start,
// so what was read of it stays when a failure ends its element early.
void parseChapterAtom(MkvFile* file, uint64_t size, MkvChapter* parent, int depth) {
  if (depth > kMaxChapterDepth) {
    copyErrorText(file->errorText, kDeepChaptersNote, sizeof file->errorText);
    skipBytes(file, size);
    return;
  }
  MkvChapter* atom = appendZeroed(file, parent->children, parent->childCount, parent->childCapacity);
  atom->flags = MKV_CHAPTER_ENABLED;
  forEachChild(file, size, [&](uint32_t childId, uint64_t childSize) {
    switch (childId) {
      case id::ChapterUid: atom->uid = readUIntElement(file, childSize); return true;
      case id::ChapterTimeStart: atom->start = readUIntElement(file, childSize); return true;
      case id::ChapterTimeEnd: atom->end = readUIntElement(file, childSize); return true;
      case id::ChapterFlagHidden:
        setFlag(&atom->flags, MKV_CHAPTER_HIDDEN, readUIntElement(file, childSize));
        return true;
      case id::ChapterFlagEnabled:
        setFlag(&atom->flags, MKV_CHAPTER_ENABLED, readUIntElement(file, childSize));
        return true;
      case id::ChapterSegmentUid:
        if (childSize != sizeof atom->segmentUid) return false;
        readBytes(file, atom->segmentUid, static_cast<int32_t>(sizeof atom->segmentUid));
        return true;
      case id::ChapterTrack: parseChapterTrack(file, childSize, atom); return true;
      case id::ChapterDisplay: parseChapterDisplay(file, childSize, atom); return true;
      case id::ChapProcess: parseChapProcess(file, childSize, atom); return true;
      case id::ChapterAtom: parseChapterAtom(file, childSize, atom, depth + 1); return true;
      default: return false;
    }
  });
  arrayTrim(file, atom->trackNumbers, atom->trackNumberCount, atom->trackNumberCapacity);
  arrayTrim(file, atom->displays, atom->displayCount, atom->displayCapacity);
  arrayTrim(file, atom->children, atom->childCount, atom->childCapacity);
}

void parseEditionEntry(MkvFile* file, uint64_t size) {
  MkvChapter* edition = appendZeroed(file, file->chapters, file->chapterCount, file->chapterCapacity);
  forEachChild(file, size, [&](uint32_t childId, uint64_t childSize) {
    switch (childId) {
      case id::EditionUid: edition->uid = readUIntElement(file, childSize); return true;
      case id::EditionFlagHidden:
        setFlag(&edition->flags, MKV_CHAPTER_HIDDEN, readUIntElement(file, childSize));
        return true;
      case id::EditionFlagDefault:
        setFlag(&edition->flags, MKV_CHAPTER_DEFAULT, readUIntElement(file, childSize));
        return true;
      case id::EditionFlagOrdered:
        setFlag(&edition->flags, MKV_CHAPTER_ORDERED, readUIntElement(file, childSize));
        return true;
      case id::ChapterAtom: parseChapterAtom(file, childSize, edition, 1); return true;
      default: return false;
    }
  });
}

void parseTargets(MkvFile* file, uint64_t size, MkvTag* tag) {
  forEachChild(file, size, [&](uint32_t childId, uint64_t childSize) {
    uint32_t type;
    switch (childId) {
      case id::TagTrackUid: type = MKV_TARGET_TRACK; break;
      case id::TagChapterUid: type = MKV_TARGET_CHAPTER; break;
      case id::TagAttachmentUid: type = MKV_TARGET_ATTACHMENT; break;
      case id::TagEditionUid: type = MKV_TARGET_EDITION; break;
      default: return false;
    }
    uint64_t uid = readUIntElement(file, childSize);
    MkvTagTarget* target = appendZeroed(file, tag->targets, tag->targetCount, tag->targetCapacity);
    target->uid = uid;
    target->type = type;
    return true;
  });
}

void parseSimpleTag(MkvFile* file, uint64_t size, MkvTag* tag) {
  MkvIo* io = file->io;
  MkvSimpleTag* simple = appendZeroed(file, tag->simpleTags, tag->simpleTagCount, tag->simpleTagCapacity);
  // A simple tag needs both its name and its value.
  DropIncomplete guard{[&] {
    if (simple->name != nullptr && simple->value != nullptr) return;
    io->memFree(io, simple->name);
    io->memFree(io, simple->value);
    --tag->simpleTagCount;
  }};
  forEachChild(file, size, [&](uint32_t childId, uint64_t childSize) {
    switch (childId) {
      case id::TagName:
        if (simple->name != nullptr) return false;
        simple->name = readTextElement(file, childSize);
        return true;
      case id::TagString:
        if (simple->value != nullptr) return false;
        simple->value = readTextElement(file, childSize);
        return true;
      case id::TagLanguage: readLangCode(file, childSize, simple->language); return true;
      case id::TagDefault:
        setFlag(&simple->flags, MKV_TAG_DEFAULT, readUIntElement(file, childSize));
        return true;
      default: return false;  // nested SimpleTag and TagBinary included
    }
  });
}

void parseTag(MkvFile* file, uint64_t size) {
  MkvTag* tag = appendZeroed(file, file->tags, file->tagCount, file->tagCapacity);
  forEachChild(file, size, [&](uint32_t childId, uint64_t childSize) {
    switch (childId) {
      case id::Targets: parseTargets(file, childSize, tag); return true;
      case id::SimpleTag: parseSimpleTag(file, childSize, tag); return true;
      default: return false;
    }
  });
}

struct AttachmentText {
  bool present = false;
  char text[kMaxTextBytes + 1];
};

void readAttachmentText(MkvFile* file, uint64_t size, AttachmentText* field) {
  readString(file, size, field->text, sizeof field->text);
  field->present = true;
}

void parseAttachedFile(MkvFile* file, uint64_t size) {
  MkvAttachment found = {};
  bool hasData = false;
  AttachmentText name, description, mimeType;
  forEachChild(file, size, [&](uint32_t childId, uint64_t childSize) {
    switch (childId) {
      case id::FileData:
        found.position = filePosition(file);
        found.length = childSize;
        hasData = true;
        return false;  // the payload is skipped unread
      case id::FileUid: found.uid = readUIntElement(file, childSize); return true;
      case id::FileName: readAttachmentText(file, childSize, &name); return true;
      case id::FileDescription: readAttachmentText(file, childSize, &description); return true;
      case id::FileMimeType: readAttachmentText(file, childSize, &mimeType); return true;
      default: return false;
    }
  });
  if (!hasData) return;

  MkvIo* io = file->io;
  MkvAttachment* attachment =
      appendZeroed(file, file->attachments, file->attachmentCount, file->attachmentCapacity);
  *attachment = found;
  // A text that cannot be copied fails the element rather than passing for an absent one; the
  // half-described attachment is not listed.
  const struct {
    AttachmentText* source;
    char* MkvAttachment::*field;
  } texts[] = {{&name, &MkvAttachment::name},
               {&description, &MkvAttachment::description},
               {&mimeType, &MkvAttachment::mimeType}};
  for (const auto& t : texts) {
    if (!t.source->present) continue;
    attachment->*t.field = dupString(io, t.source->text);
    if (attachment->*t.field != nullptr) continue;
    io->memFree(io, attachment->name);
    io->memFree(io, attachment->description);
    io->memFree(io, attachment->mimeType);
    --file->attachmentCount;
    failParse(file, "Out of memory");
  }
}

}  // namespace

void parseChapters(MkvFile* file, uint64_t size) {
  file->foundElements |= kFoundChapters;
  forEachChild(file, size, [&](uint32_t childId, uint64_t childSize) {
    if (childId != id::EditionEntry) return false;
    parseEditionEntry(file, childSize);
    return true;
  });
}

void parseTags(MkvFile* file, uint64_t size) {
  file->foundElements |= kFoundTags;
  forEachChild(file, size, [&](uint32_t childId, uint64_t childSize) {
    if (childId != id::Tag) return false;
    parseTag(file, childSize);
    return true;
  });
}

void parseAttachments(MkvFile* file, uint64_t size) {
  file->foundElements |= kFoundAttachments;
  forEachChild(file, size, [&](uint32_t childId, uint64_t childSize) {
    if (childId != id::AttachedFile) return false;
    parseAttachedFile(file, childSize);
    return true;
  });
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

void mkvListAttachments(MkvFile* file, MkvAttachment** attachments, uint32_t* count) {
  *attachments = file->attachments;
  *count = file->attachmentCount;
}

void mkvListChapters(MkvFile* file, MkvChapter** chapters, uint32_t* count) {
  *chapters = file->chapters;
  *count = file->chapterCount;
}

void mkvListTags(MkvFile* file, MkvTag** tags, uint32_t* count) {
  *tags = file->tags;
  *count = file->tagCount;
}
