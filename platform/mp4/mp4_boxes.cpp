#include "platform/mp4/mp4_boxes.h"

#include <unistd.h>

#include <cstring>

namespace {

// No nesting in a sound movie box goes this deep.
constexpr int kMaxDepth = 24;

uint32_t Be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

uint64_t Be64(const uint8_t* p) { return (uint64_t(Be32(p)) << 32) | Be32(p + 4); }

bool TypeIs(const uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

struct Box {
  const uint8_t* type;
  const uint8_t* body;
  uint64_t bodySize;
};

// The box at the start of [data, data + available): false when its header or its
// size does not fit.
bool ParseBox(const uint8_t* data, uint64_t available, Box* box, uint64_t* boxSize) {
  if (available < 8) return false;
  uint64_t size = Be32(data);
  uint64_t header = 8;
  if (size == 1) {
    if (available < 16) return false;
    size = Be64(data + 8);
    header = 16;
  } else if (size == 0) {
    size = available;
  }
  if (size < header || size > available) return false;
  box->type = data + 4;
  box->body = data + header;
  box->bodySize = size - header;
  *boxSize = size;
  return true;
}

class MovieWalk {
 public:
  MovieWalk(uint64_t fileSize, std::vector<Mp4TrackInfo>* tracks) : fileSize_(fileSize), tracks_(tracks) {}

  // Every box in [data, data + size) and, for containers, the boxes inside.
  bool Children(const uint8_t* data, uint64_t size, int depth) {
    if (depth > kMaxDepth) return false;
    while (size > 0) {
      Box box;
      uint64_t boxSize;
      // A few bytes too few for another box header pad some files' containers.
      if (size < 8) return true;
      if (!ParseBox(data, size, &box, &boxSize)) return false;
      if (!Visit(box, depth)) return false;
      data += boxSize;
      size -= boxSize;
    }
    return true;
  }

 private:
  Mp4TrackInfo* Track() { return tracks_->empty() ? nullptr : &tracks_->back(); }

  bool Visit(const Box& box, int depth) {
    const uint8_t* t = box.type;
    if (TypeIs(t, "trak")) {
      tracks_->emplace_back();
      return Children(box.body, box.bodySize, depth + 1);
    }
    if (TypeIs(t, "moov") || TypeIs(t, "mdia") || TypeIs(t, "minf") || TypeIs(t, "stbl") || TypeIs(t, "edts") ||
        TypeIs(t, "mvex"))
      return Children(box.body, box.bodySize, depth + 1);
    if (TypeIs(t, "tkhd")) return TrackHeader(box);
    if (TypeIs(t, "hdlr")) return Handler(box);
    if (TypeIs(t, "stsd")) return SampleDescriptions(box);
    if (TypeIs(t, "stts") || TypeIs(t, "ctts")) return Table(box, 0, 8);
    if (TypeIs(t, "stsc")) return Table(box, 0, 12);
    if (TypeIs(t, "stco") || TypeIs(t, "stss") || TypeIs(t, "stps")) return Table(box, 0, 4);
    if (TypeIs(t, "co64")) return Table(box, 0, 8);
    if (TypeIs(t, "elst")) return Table(box, 0, box.bodySize > 0 && box.body[0] == 1 ? 20 : 12);
    if (TypeIs(t, "sbgp")) return Table(box, box.bodySize > 0 && box.body[0] == 1 ? 8 : 4, 8);
    if (TypeIs(t, "stsz")) return SampleSizes(box);
    if (TypeIs(t, "stz2")) return CompactSampleSizes(box);
    return true;  // any other box: its size has been checked, its content is not used
  }

  // A full box's entry count at `countAt` bytes after version and flags, then entries
  // of entrySize bytes: they must lie inside the box.
  static bool Table(const Box& box, uint64_t countAt, uint64_t entrySize) {
    const uint64_t header = 4 + countAt + 4;
    if (box.bodySize < header) return false;
    const uint64_t count = Be32(box.body + 4 + countAt);
    return count <= (box.bodySize - header) / entrySize;
  }

  bool SampleSizes(const Box& box) const {
    if (box.bodySize < 12) return false;
    const uint64_t uniform = Be32(box.body + 4);
    const uint64_t count = Be32(box.body + 8);
    // One size per sample, or one size for all: then the samples must fit in the file.
    if (uniform == 0) return count <= (box.bodySize - 12) / 4;
    return count <= fileSize_ / uniform;
  }

  static bool CompactSampleSizes(const Box& box) {
    if (box.bodySize < 12) return false;
    const uint64_t fieldBits = box.body[7];
    const uint64_t count = Be32(box.body + 8);
    if (fieldBits != 4 && fieldBits != 8 && fieldBits != 16) return false;
    return (count * fieldBits + 7) / 8 <= box.bodySize - 12;
  }

  bool TrackHeader(const Box& box) {
    Mp4TrackInfo* track = Track();
    const uint64_t at = (box.bodySize > 0 && box.body[0] == 1) ? 20 : 12;
    if (box.bodySize < at + 4) return false;
    if (track) track->id = Be32(box.body + at);
    return true;
  }

  bool Handler(const Box& box) {
    if (box.bodySize < 12) return false;
    Mp4TrackInfo* track = Track();
    // Only the media handler (inside mdia) names the track's kind; a track's first
    // handler box is that one.
    if (track && track->handler[0] == 0) std::memcpy(track->handler, box.body + 8, 4);
    return true;
  }

  bool SampleDescriptions(const Box& box) {
    if (!Table(box, 0, 8)) return false;  // every entry is at least a box header
    Mp4TrackInfo* track = Track();
    if (Be32(box.body + 4) == 0 || !track) return true;
    Box entry;
    uint64_t entrySize;
    if (!ParseBox(box.body + 8, box.bodySize - 8, &entry, &entrySize)) return false;
    if (track->entryName[0] == 0) std::memcpy(track->entryName, entry.type, 4);
    // A visual sample entry: 78 bytes of fields, then its boxes.
    constexpr uint64_t kVisualFields = 78;
    if (std::memcmp(track->handler, "vide", 4) != 0 || entry.bodySize < kVisualFields) return true;
    const uint8_t* inner = entry.body + kVisualFields;
    uint64_t left = entry.bodySize - kVisualFields;
    while (left >= 8) {
      Box child;
      uint64_t childSize;
      if (!ParseBox(inner, left, &child, &childSize)) break;  // trailing bytes of the entry
      if (TypeIs(child.type, "esds")) track->objectType = EsdsObjectType(child.body, child.bodySize);
      inner += childSize;
      left -= childSize;
    }
    return true;
  }

  // One descriptor: tag, a size of up to four 7-bit groups, the body. False when it
  // does not fit.
  static bool Descriptor(const uint8_t* data, uint64_t size, uint8_t* tag, const uint8_t** body,
                         uint64_t* bodySize) {
    if (size < 2) return false;
    *tag = data[0];
    uint64_t length = 0;
    uint64_t at = 1;
    for (int i = 0; i < 4; ++i) {
      if (at >= size) return false;
      const uint8_t byte = data[at++];
      length = (length << 7) | (byte & 0x7F);
      if (!(byte & 0x80)) break;
    }
    *body = data + at;
    *bodySize = length < size - at ? length : size - at;
    return true;
  }

  static uint8_t EsdsObjectType(const uint8_t* data, uint64_t size) {
    if (size < 4) return 0;
    uint8_t tag;
    const uint8_t* body;
    uint64_t bodySize;
    if (!Descriptor(data + 4, size - 4, &tag, &body, &bodySize) || tag != 3 || bodySize < 3) return 0;
    const uint8_t flags = body[2];
    uint64_t at = 3;
    if (flags & 0x80) at += 2;
    if (flags & 0x40) {
      if (at >= bodySize) return 0;
      at += 1 + uint64_t(body[at]);
    }
    if (flags & 0x20) at += 2;
    if (at >= bodySize) return 0;
    const uint8_t* config;
    uint64_t configSize;
    if (!Descriptor(body + at, bodySize - at, &tag, &config, &configSize) || tag != 4 || configSize < 1) return 0;
    return config[0];
  }

  uint64_t fileSize_;
  std::vector<Mp4TrackInfo>* tracks_;
};

}  // namespace

bool ReadAt(int fd, uint8_t* buffer, uint64_t size, uint64_t offset) {
  while (size > 0) {
    const ssize_t got = pread(fd, buffer, size, off_t(offset));
    if (got <= 0) return false;
    buffer += got;
    size -= uint64_t(got);
    offset += uint64_t(got);
  }
  return true;
}

bool CheckMovieBox(const uint8_t* moov, uint64_t moovSize, uint64_t fileSize, std::vector<Mp4TrackInfo>* tracks) {
  tracks->clear();
  MovieWalk walk(fileSize, tracks);
  Box box;
  uint64_t boxSize;
  if (!ParseBox(moov, moovSize, &box, &boxSize) || !TypeIs(box.type, "moov")) return false;
  return walk.Children(box.body, box.bodySize, 0);
}

bool FindMovieBox(int fd, uint64_t fileSize, uint64_t* offset, uint64_t* size) {
  uint64_t at = 0;
  while (at + 8 <= fileSize) {
    uint8_t header[16];
    const uint64_t headerRead = fileSize - at >= 16 ? 16 : 8;
    if (!ReadAt(fd, header, headerRead, at)) return false;
    uint64_t boxSize = Be32(header);
    if (boxSize == 1) {
      if (headerRead < 16) return false;
      boxSize = Be64(header + 8);
      if (boxSize < 16) return false;
    } else if (boxSize == 0) {
      boxSize = fileSize - at;
    } else if (boxSize < 8) {
      return false;
    }
    const bool isMovie = TypeIs(header + 4, "moov");
    // A box that runs past the end: the file was cut there.
    if (boxSize > fileSize - at) return false;
    if (isMovie) {
      *offset = at;
      *size = boxSize;
      return true;
    }
    at += boxSize;
  }
  return false;
}
