// The Tracks element: one MkvTrackInfo per accepted TrackEntry, with the drop rules for tracks
// the reader cannot use (encryption, unknown compression, several encodings, duplicate UIDs).
#include "mkv_internal.h"

#include <cstring>

namespace {

constexpr uint32_t kMaxCodecPrivate = 0x40000;
constexpr uint32_t kMaxCompressionSettings = 256;
constexpr uint32_t kTextLimit = 1023;

// The entry under construction: the record plus the texts and byte blocks that end up packed
// behind it. The CodecPrivate buffer comes from the caller's allocator and is released however
// the entry's parse ends.
struct TrackDraft {
  MkvFile* file;
  MkvTrackInfo record;
  uint8_t* codecPrivate = nullptr;
  bool hasCodecPrivate = false;
  uint8_t settings[kMaxCompressionSettings];
  char codecId[kTextLimit + 1];
  char name[kTextLimit + 1];
  bool hasCodecId = false, hasName = false;
  uint32_t encodingsSeen = 0;
  uint32_t scope = 0;

  explicit TrackDraft(MkvFile* f) : file(f) {}
  ~TrackDraft() { file->io->memFree(file->io, codecPrivate); }
  TrackDraft(const TrackDraft&) = delete;
  TrackDraft& operator=(const TrackDraft&) = delete;
};

uint32_t checkedU32(MkvFile* file, uint64_t value, const char* message) {
  if (value > 0xFFFFFFFFu) failParse(file, "%s", message);
  return static_cast<uint32_t>(value);
}

void setFlag(uint32_t* flags, uint32_t bit, uint64_t value) {
  if (value != 0)
    *flags |= bit;
  else
    *flags &= ~bit;
}

void parseVideoSettings(MkvFile* file, uint64_t size, MkvTrackInfo* track) {
  MkvVideoSettings& video = track->video;
  bool displayWidthSeen = false, displayHeightSeen = false;
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    switch (id) {
      case 0x53B8: {
        uint64_t value = readUIntElement(file, childSize);
        if (value > 3) failParse(file, "Invalid stereo mode");
        video.stereoMode = static_cast<uint8_t>(value);
        break;
      }
      case 0x54B2: video.displayUnit = static_cast<uint8_t>(readUIntElement(file, childSize)); break;
      case 0x54B3: {
        uint64_t value = readUIntElement(file, childSize);
        if (value > 2)
          failParse(file, "Invalid AspectRatioType: %d", static_cast<int>(static_cast<uint32_t>(value)));
        video.aspectRatioType = static_cast<uint8_t>(value);
        break;
      }
      case 0xB0:
        video.pixelWidth = checkedU32(file, readUIntElement(file, childSize), "PixelWidth is too large");
        if (!displayWidthSeen) video.displayWidth = video.pixelWidth;
        break;
      case 0xBA:
        video.pixelHeight = checkedU32(file, readUIntElement(file, childSize), "PixelHeight is too large");
        if (!displayHeightSeen) video.displayHeight = video.pixelHeight;
        break;
      case 0x54B0:
        video.displayWidth = checkedU32(file, readUIntElement(file, childSize), "DisplayWidth is too large");
        displayWidthSeen = true;
        break;
      case 0x54BA:
        video.displayHeight = checkedU32(file, readUIntElement(file, childSize), "DisplayHeight is too large");
        displayHeightSeen = true;
        break;
      case 0x54CC: video.cropLeft = checkedU32(file, readUIntElement(file, childSize), "PixelCropLeft is too large"); break;
      case 0x54BB: video.cropTop = checkedU32(file, readUIntElement(file, childSize), "PixelCropTop is too large"); break;
      case 0x54DD: video.cropRight = checkedU32(file, readUIntElement(file, childSize), "PixelCropRight is too large"); break;
      case 0x54AA: video.cropBottom = checkedU32(file, readUIntElement(file, childSize), "PixelCropBottom is too large"); break;
      case 0x2EB524: video.colourSpace = static_cast<uint32_t>(readUIntElement(file, childSize)); break;
      case 0x2FB523: video.gammaValue = readFloatElement(file, childSize); break;
      case 0x9A: video.interlaced = readUIntElement(file, childSize) != 0 ? 1 : 0; break;
      default: skipBytes(file, childSize);
    }
  }
}

void parseAudioSettings(MkvFile* file, uint64_t size, MkvTrackInfo* track) {
  MkvAudioSettings& audio = track->audio;
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    switch (id) {
      case 0xB5: audio.samplingFreq = readFloatElement(file, childSize); break;
      case 0x78B5: audio.outputSamplingFreq = readFloatElement(file, childSize); break;
      case 0x9F: {
        uint64_t value = readUIntElement(file, childSize);
        if (value - 1 > 254) failParse(file, "Invalid Channels value");
        audio.channels = static_cast<uint8_t>(value);
        break;
      }
      case 0x6264: audio.bitDepth = static_cast<uint8_t>(readUIntElement(file, childSize)); break;
      default: skipBytes(file, childSize);
    }
  }
  if (audio.channels == 0) audio.channels = 1;
  if ((audio.samplingFreq >> 32) == 0) audio.samplingFreq = intToFixed(8000);
  if ((audio.outputSamplingFreq >> 32) == 0) audio.outputSamplingFreq = audio.samplingFreq;
}

// One ContentCompression element; false drops the track.
bool parseContentCompression(MkvFile* file, uint64_t size, TrackDraft* draft) {
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    if (id == 0x4254) {
      draft->record.flags |= MKV_TRACK_COMPRESSED;
      uint64_t algo = readUIntElement(file, childSize);
      if (algo != 0 && algo != 3) return false;
      draft->record.compressionAlgo = static_cast<uint32_t>(algo);
    } else if (id == 0x4255) {
      if (childSize > kMaxCompressionSettings) return false;
      readBytes(file, draft->settings, static_cast<int32_t>(childSize));
      draft->record.compressionSettingsSize = static_cast<uint32_t>(childSize);
    } else {
      skipBytes(file, childSize);
    }
  }
  return true;
}

// A ContentEncodings element; false drops the track.
bool parseContentEncodings(MkvFile* file, uint64_t size, TrackDraft* draft) {
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    if (id != 0x6240) {
      skipBytes(file, childSize);
      continue;
    }
    draft->record.flags |= MKV_TRACK_COMPRESSED;
    draft->record.compressionAlgo = 0;
    draft->scope = 1;
    if (++draft->encodingsSeen > 1) return false;
    uint64_t encodingEnd = filePosition(file) + childSize;
    while (filePosition(file) != encodingEnd) {
      uint32_t child = readChildId(file);
      uint64_t grandSize = readSize(file);
      switch (child) {
        case 0x5031: readUIntElement(file, grandSize); break;
        case 0x5032: draft->scope = static_cast<uint32_t>(readUIntElement(file, grandSize)); break;
        case 0x5033:
          if (readUIntElement(file, grandSize) != 0) return false;  // encrypted
          break;
        case 0x5034:
          if (!parseContentCompression(file, grandSize, draft)) return false;
          break;
        default: skipBytes(file, grandSize);
      }
    }
  }
  return true;
}

// Reads the children of one TrackEntry into the draft; false drops the track.
bool readTrackEntry(MkvFile* file, uint64_t size, TrackDraft* draft) {
  MkvTrackInfo& record = draft->record;
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    switch (id) {
      case 0xD7: {
        uint64_t value = readUIntElement(file, childSize);
        if (value > 255)
          failParse(file, "Track number is >255 (%d)", static_cast<int>(static_cast<uint32_t>(value)));
        record.number = static_cast<uint8_t>(value);
        break;
      }
      case 0x83: {
        uint64_t value = readUIntElement(file, childSize);
        if (value == 0 || value > 254)
          failParse(file, "Invalid track type: %d", static_cast<int>(static_cast<uint32_t>(value)));
        record.type = static_cast<uint8_t>(value);
        break;
      }
      case 0x6FAB: {
        uint64_t value = readUIntElement(file, childSize);
        if (value > 255)
          failParse(file, "Track number in TrackOverlay is too large: %d",
                    static_cast<int>(static_cast<uint32_t>(value)));
        record.trackOverlay = static_cast<uint8_t>(value);
        break;
      }
      case 0x73C5: record.uid = readUIntElement(file, childSize); break;
      case 0x6DE7:
        record.minCache = readUIntElement(file, childSize);
        if (record.minCache > 0xFFFFFFFFu) failParse(file, "MinCache is too large");
        break;
      case 0x6DF8:
        record.maxCache = readUIntElement(file, childSize);
        if (record.maxCache > 0xFFFFFFFFu) failParse(file, "MaxCache is too large");
        break;
      case 0x23E383: record.defaultDuration = readUIntElement(file, childSize); break;
      case 0x23314F: record.timecodeScale = readFloatElement(file, childSize); break;
      case 0x55EE: record.maxBlockAdditionId = static_cast<uint32_t>(readUIntElement(file, childSize)); break;
      case 0xB9: setFlag(&record.flags, MKV_TRACK_ENABLED, readUIntElement(file, childSize)); break;
      case 0x88: setFlag(&record.flags, MKV_TRACK_DEFAULT, readUIntElement(file, childSize)); break;
      case 0x9C: setFlag(&record.flags, MKV_TRACK_LACING, readUIntElement(file, childSize)); break;
      case 0xAA: setFlag(&record.flags, MKV_TRACK_DECODE_ALL, readUIntElement(file, childSize)); break;
      case 0x86:
        if (draft->hasCodecId) failParse(file, "Duplicate CodecID");
        readString(file, childSize, draft->codecId, sizeof draft->codecId);
        draft->hasCodecId = true;
        break;
      case 0x536E:
        if (draft->hasName) failParse(file, "Duplicate Track Name");
        readString(file, childSize, draft->name, sizeof draft->name);
        draft->hasName = true;
        break;
      case 0x63A2:
        if (draft->hasCodecPrivate) failParse(file, "Duplicate CodecPrivate");
        if (childSize > kMaxCodecPrivate)
          failParse(file, "CodecPrivate is too large: %d", static_cast<int>(static_cast<uint32_t>(childSize)));
        draft->hasCodecPrivate = true;
        if (childSize > 0) {
          draft->codecPrivate =
              static_cast<uint8_t*>(file->io->memAlloc(file->io, static_cast<uint32_t>(childSize)));
          if (draft->codecPrivate == nullptr) failParse(file, "Out of memory");
          readBytes(file, draft->codecPrivate, static_cast<int32_t>(childSize));
          record.codecPrivateSize = static_cast<uint32_t>(childSize);
        }
        break;
      case 0x22B59C: readLangCode(file, childSize, record.language); break;
      case 0xE0: parseVideoSettings(file, childSize, &record); break;
      case 0xE1: parseAudioSettings(file, childSize, &record); break;
      case 0x6D80:
        if (!parseContentEncodings(file, childSize, draft)) return false;
        break;
      default: skipBytes(file, childSize);
    }
  }
  return true;
}

void parseTrackEntry(MkvFile* file, uint64_t size) {
  uint64_t end = filePosition(file) + size;
  // Track masks have one bit per track: entries past the last bit are passed over, and the
  // blocks of their track numbers are skipped like those of any track not in the list.
  if (file->trackCount >= kMaxTracks) {
    seekTo(file, end);
    return;
  }
  TrackDraft draft(file);
  MkvTrackInfo& record = draft.record;
  memset(static_cast<void*>(&record), 0, sizeof record);
  record.flags = MKV_TRACK_ENABLED | MKV_TRACK_DEFAULT | MKV_TRACK_LACING | MKV_TRACK_DECODE_ALL;
  record.timecodeScale = intToFixed(1);

  if (!readTrackEntry(file, size, &draft)) {
    seekTo(file, end);  // dropped: the rest of the entry is not interpreted
    return;
  }
  if (!draft.hasCodecId) failParse(file, "Track has no Codec ID");
  if (record.uid != 0)
    for (uint32_t i = 0; i < file->trackCount; ++i)
      if (file->tracks[i]->uid == record.uid) return;
  if ((record.flags & MKV_TRACK_COMPRESSED) && !(draft.scope & 1)) {
    record.flags &= ~MKV_TRACK_COMPRESSED;
    record.compressionSettingsSize = 0;
  }

  size_t nameBytes = draft.hasName ? strlen(draft.name) + 1 : 0;
  size_t codecIdBytes = strlen(draft.codecId) + 1;
  size_t blockSize = sizeof(MkvTrackInfo) + record.codecPrivateSize +
                     record.compressionSettingsSize + nameBytes + codecIdBytes;
  MkvTrackInfo* track =
      static_cast<MkvTrackInfo*>(file->io->memAlloc(file->io, static_cast<uint32_t>(blockSize)));
  if (track == nullptr) failParse(file, "Out of memory");
  *track = record;
  uint8_t* cursor = reinterpret_cast<uint8_t*>(track + 1);
  track->codecPrivate = nullptr;
  if (record.codecPrivateSize > 0) {
    memcpy(cursor, draft.codecPrivate, record.codecPrivateSize);
    track->codecPrivate = cursor;
    cursor += record.codecPrivateSize;
  }
  track->compressionSettings = nullptr;
  if (record.compressionSettingsSize > 0) {
    memcpy(cursor, draft.settings, record.compressionSettingsSize);
    track->compressionSettings = cursor;
    cursor += record.compressionSettingsSize;
  }
  char* textCursor = reinterpret_cast<char*>(cursor);
  track->name = draft.hasName ? draft.name : nullptr;
  track->codecId = draft.codecId;
  packString(&track->name, &textCursor);
  packString(&track->codecId, &textCursor);
  if (track->language[0] == 0) memcpy(track->language, "eng", 4);

  try {
    *arrayAppend(file, file->tracks, file->trackCount, file->trackCapacity) = track;
  } catch (MkvParseFailure&) {
    file->io->memFree(file->io, track);
    throw;
  }
}

}  // namespace

void parseTracks(MkvFile* file, uint64_t size) {
  file->foundElements |= kFoundTracks;
  uint64_t end = filePosition(file) + size;
  while (filePosition(file) != end) {
    uint32_t id = readChildId(file);
    uint64_t childSize = readSize(file);
    if (id == 0xAE)
      parseTrackEntry(file, childSize);
    else
      skipBytes(file, childSize);
  }
}
