#include "platform/mp4/mp4_file.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include "platform/mp4/mp4_boxes.h"

namespace {

// A movie box this large is no movie box a sound file has.
constexpr uint64_t kMaxMovieBoxSize = uint64_t(1) << 30;

// libavformat is loaded when the first MP4 file is opened, not with the plug-in: it
// brings a large tree of libraries (network, disc and subtitle support among them)
// that a clip of any other packaging never needs.
struct AvFormatApi {
  decltype(&avformat_open_input) openInput = nullptr;
  decltype(&avformat_close_input) closeInput = nullptr;
  decltype(&av_find_input_format) findInputFormat = nullptr;
  decltype(&avformat_index_get_entries_count) indexEntriesCount = nullptr;
  decltype(&avformat_index_get_entry) indexEntry = nullptr;
  decltype(&av_dict_set) dictSet = nullptr;
  decltype(&av_dict_free) dictFree = nullptr;
  bool loaded = false;
};

template <typename Function>
bool Bind(void* library, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(dlsym(library, name));
  return *function != nullptr;
}

const AvFormatApi& AvFormat() {
  static const AvFormatApi api = [] {
    AvFormatApi bound;
    // The major version the headers describe; the library's own dependencies
    // (libavutil) are searched by dlsym on its handle too.
    void* library = dlopen("libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR),
                           RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!library) return bound;
    bound.loaded = Bind(library, "avformat_open_input", &bound.openInput) &&
                   Bind(library, "avformat_close_input", &bound.closeInput) &&
                   Bind(library, "av_find_input_format", &bound.findInputFormat) &&
                   Bind(library, "avformat_index_get_entries_count", &bound.indexEntriesCount) &&
                   Bind(library, "avformat_index_get_entry", &bound.indexEntry) &&
                   Bind(library, "av_dict_set", &bound.dictSet) && Bind(library, "av_dict_free", &bound.dictFree);
    return bound;
  }();
  return api;
}

}  // namespace

struct Mp4File {
  int fd = -1;
  uint64_t fileSize = 0;
  AVFormatContext* format = nullptr;
  std::vector<Mp4TrackInfo> tracks;
  std::vector<AVStream*> streams;  // the demuxer's stream of each track, or null
  // Samples of each track up to the first whose bytes do not lie inside the file.
  std::vector<uint32_t> soundSamples;

  ~Mp4File() {
    if (format) AvFormat().closeInput(&format);
    if (fd >= 0) close(fd);
  }
};

namespace {

// The position of the track with this id in the file's track list, or -1.
int TrackIndex(const Mp4File* file, MP4TrackId track) {
  if (!file || track == 0) return -1;
  for (size_t i = 0; i < file->tracks.size(); ++i)
    if (file->tracks[i].id == track) return int(i);
  return -1;
}

AVStream* StreamOf(const Mp4File* file, MP4TrackId track) {
  const int index = TrackIndex(file, track);
  return index < 0 ? nullptr : file->streams[size_t(index)];
}

const AVIndexEntry* SampleEntry(const Mp4File* file, MP4TrackId track, MP4SampleId sample) {
  const int index = TrackIndex(file, track);
  if (index < 0 || sample == 0 || sample > file->soundSamples[size_t(index)]) return nullptr;
  return AvFormat().indexEntry(file->streams[size_t(index)], int(sample - 1));
}

// The samples of a stream that can be read: up to the first one that does not lie
// inside the file (a damaged table is read as far as it is sound).
uint32_t SoundSamples(AVStream* stream, uint64_t fileSize) {
  if (!stream) return 0;
  const int count = AvFormat().indexEntriesCount(stream);
  int sound = 0;
  while (sound < count) {
    const AVIndexEntry* entry = AvFormat().indexEntry(stream, sound);
    if (!entry || entry->pos < 0 || entry->size < 0 || uint64_t(entry->pos) > fileSize ||
        uint64_t(entry->size) > fileSize - uint64_t(entry->pos))
      break;
    ++sound;
  }
  return uint32_t(sound);
}

// Decode time relative to the first sample: the time-to-sample table's own times.
MP4Timestamp RelativeTime(const Mp4File* file, MP4TrackId track, const AVIndexEntry* entry) {
  const AVIndexEntry* first = SampleEntry(file, track, 1);
  return MP4Timestamp(entry->timestamp - first->timestamp);
}

// The avcC record of an "avc1" track (configuration version 1 and the fixed fields).
bool AvcConfig(const Mp4File* file, MP4TrackId track, const uint8_t** record, size_t* size) {
  AVStream* stream = StreamOf(file, track);
  if (!stream || stream->codecpar->codec_id != AV_CODEC_ID_H264) return false;
  const uint8_t* data = stream->codecpar->extradata;
  const int length = stream->codecpar->extradata_size;
  if (!data || length < 7 || data[0] != 1) return false;
  *record = data;
  *size = size_t(length);
  return true;
}

// One list of parameter sets of an avcC record from `at`: `count` sets, each a
// 16-bit length and its bytes. Null-ended set array, 0-ended size array. False when
// the record ends early or memory runs out (nothing is left allocated then).
bool ParameterSets(const uint8_t* record, size_t size, size_t* at, uint32_t count, uint8_t*** sets,
                   uint32_t** sizes) {
  *sets = static_cast<uint8_t**>(calloc(count + 1, sizeof(uint8_t*)));
  *sizes = static_cast<uint32_t*>(calloc(count + 1, sizeof(uint32_t)));
  bool sound = *sets && *sizes;
  for (uint32_t k = 0; sound && k < count; ++k) {
    if (*at + 2 > size) {
      sound = false;
      break;
    }
    const uint32_t length = (uint32_t(record[*at]) << 8) | record[*at + 1];
    *at += 2;
    if (length == 0 || *at + length > size) {
      sound = false;
      break;
    }
    (*sets)[k] = static_cast<uint8_t*>(malloc(length));
    if (!(*sets)[k]) {
      sound = false;
      break;
    }
    std::memcpy((*sets)[k], record + *at, length);
    (*sizes)[k] = length;
    *at += length;
  }
  if (!sound) {
    for (uint32_t k = 0; *sets && k < count; ++k) free((*sets)[k]);
    free(*sets);
    free(*sizes);
    *sets = nullptr;
    *sizes = nullptr;
  }
  return sound;
}

bool HandlerMatches(const Mp4TrackInfo& track, const char* type) {
  return type == nullptr || std::strncmp(track.handler, type, 4) == 0;
}

}  // namespace

MP4FileHandle MP4Read(const char* fileName, uint32_t verbosity) {
  (void)verbosity;  // this layer prints nothing
  if (!fileName) return nullptr;
  auto* file = new Mp4File;
  file->fd = open(fileName, O_RDONLY | O_CLOEXEC);
  struct stat status;
  uint64_t moovOffset = 0, moovSize = 0;
  if (file->fd < 0 || fstat(file->fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    delete file;
    return nullptr;
  }
  file->fileSize = uint64_t(status.st_size);
  // The box tree is checked before the demuxer sees it, so that no table count it
  // sizes an allocation by is larger than the file can hold.
  if (!FindMovieBox(file->fd, file->fileSize, &moovOffset, &moovSize) || moovSize > kMaxMovieBoxSize) {
    delete file;
    return nullptr;
  }
  std::vector<uint8_t> moov(moovSize);
  if (!ReadAt(file->fd, moov.data(), moovSize, moovOffset) ||
      !CheckMovieBox(moov.data(), moovSize, file->fileSize, &file->tracks)) {
    delete file;
    return nullptr;
  }
  moov.clear();
  moov.shrink_to_fit();

  const AvFormatApi& api = AvFormat();
  if (!api.loaded) {
    delete file;
    return nullptr;
  }
  AVDictionary* options = nullptr;
  api.dictSet(&options, "ignore_editlist", "1", 0);  // every sample, at its table time
  api.dictSet(&options, "ignore_chapters", "1", 0);
  const AVInputFormat* mov = api.findInputFormat("mov");
  const int opened = mov ? api.openInput(&file->format, fileName, mov, &options) : -1;
  api.dictFree(&options);
  if (opened < 0) {
    file->format = nullptr;
    delete file;
    return nullptr;
  }
  file->streams.assign(file->tracks.size(), nullptr);
  file->soundSamples.assign(file->tracks.size(), 0);
  for (size_t i = 0; i < file->tracks.size(); ++i) {
    for (unsigned s = 0; s < file->format->nb_streams; ++s) {
      AVStream* stream = file->format->streams[s];
      if (uint32_t(stream->id) == file->tracks[i].id && file->tracks[i].id != 0) {
        file->streams[i] = stream;
        break;
      }
    }
    file->soundSamples[i] = SoundSamples(file->streams[i], file->fileSize);
  }
  return file;
}

void MP4Close(MP4FileHandle file) { delete file; }

uint32_t MP4GetNumberOfTracks(MP4FileHandle file, const char* type, uint8_t) {
  if (!file) return 0;
  uint32_t count = 0;
  for (const Mp4TrackInfo& track : file->tracks) count += HandlerMatches(track, type);
  return count;
}

MP4TrackId MP4FindTrackId(MP4FileHandle file, uint16_t index, const char* type, uint8_t) {
  if (!file) return 0;
  uint32_t seen = 0;
  for (const Mp4TrackInfo& track : file->tracks) {
    if (!HandlerMatches(track, type)) continue;
    if (seen++ == index) return track.id;
  }
  return 0;
}

const char* MP4GetTrackType(MP4FileHandle file, MP4TrackId track) {
  const int index = TrackIndex(file, track);
  return index < 0 ? nullptr : file->tracks[size_t(index)].handler;
}

const char* MP4GetTrackMediaDataName(MP4FileHandle file, MP4TrackId track) {
  const int index = TrackIndex(file, track);
  return index < 0 ? nullptr : file->tracks[size_t(index)].entryName;
}

uint8_t MP4GetTrackEsdsObjectTypeId(MP4FileHandle file, MP4TrackId track) {
  const int index = TrackIndex(file, track);
  return index < 0 ? 0 : file->tracks[size_t(index)].objectType;
}

bool MP4GetTrackH264SeqPictHeaders(MP4FileHandle file, MP4TrackId track, uint8_t*** seqHeaders,
                                   uint32_t** seqHeaderSizes, uint8_t*** pictHeaders, uint32_t** pictHeaderSizes) {
  *seqHeaders = *pictHeaders = nullptr;
  *seqHeaderSizes = *pictHeaderSizes = nullptr;
  const uint8_t* record;
  size_t size;
  if (!AvcConfig(file, track, &record, &size)) return false;
  size_t at = 6;
  if (!ParameterSets(record, size, &at, record[5] & 0x1F, seqHeaders, seqHeaderSizes)) return false;
  const uint32_t pictCount = at < size ? record[at] : 0;
  if (at < size) ++at;
  if (!ParameterSets(record, size, &at, pictCount, pictHeaders, pictHeaderSizes)) {
    MP4FreeH264SeqPictHeaders(*seqHeaders, *seqHeaderSizes, nullptr, nullptr);
    *seqHeaders = nullptr;
    *seqHeaderSizes = nullptr;
    return false;
  }
  return true;
}

void MP4FreeH264SeqPictHeaders(uint8_t** seqHeaders, uint32_t* seqHeaderSizes, uint8_t** pictHeaders,
                               uint32_t* pictHeaderSizes) {
  for (uint8_t** sets : {seqHeaders, pictHeaders}) {
    for (size_t k = 0; sets && sets[k]; ++k) free(sets[k]);
    free(sets);
  }
  free(seqHeaderSizes);
  free(pictHeaderSizes);
}

bool MP4GetTrackH264LengthSize(MP4FileHandle file, MP4TrackId track, uint32_t* lengthSize) {
  const uint8_t* record;
  size_t size;
  if (!AvcConfig(file, track, &record, &size)) return false;
  *lengthSize = (record[4] & 3) + 1u;
  return true;
}

uint32_t MP4GetTrackTimeScale(MP4FileHandle file, MP4TrackId track) {
  AVStream* stream = StreamOf(file, track);
  return stream && stream->time_base.num == 1 && stream->time_base.den > 0 ? uint32_t(stream->time_base.den) : 0;
}

MP4SampleId MP4GetTrackNumberOfSamples(MP4FileHandle file, MP4TrackId track) {
  const int index = TrackIndex(file, track);
  return index < 0 ? 0 : file->soundSamples[size_t(index)];
}

MP4Timestamp MP4GetSampleTime(MP4FileHandle file, MP4TrackId track, MP4SampleId sample) {
  const AVIndexEntry* entry = SampleEntry(file, track, sample);
  return entry ? RelativeTime(file, track, entry) : ~MP4Timestamp(0);
}

bool MP4ReadSample(MP4FileHandle file, MP4TrackId track, MP4SampleId sample, uint8_t** bytes,
                   uint32_t* numBytes, MP4Timestamp* startTime, MP4Duration* duration,
                   MP4Duration* renderingOffset, bool* isSyncSample) {
  const AVIndexEntry* entry = SampleEntry(file, track, sample);
  if (!entry || !bytes || !numBytes || entry->pos < 0 || entry->size < 0) return false;
  const uint64_t position = uint64_t(entry->pos);
  const uint64_t size = uint64_t(entry->size);
  // Sample bytes past the end of the file: a damaged table, nothing to allocate for.
  if (position > file->fileSize || size > file->fileSize - position) return false;
  uint8_t* target = *bytes;
  const bool allocated = target == nullptr;
  if (allocated) {
    target = static_cast<uint8_t*>(malloc(size > 0 ? size : 1));
    if (!target) return false;
  } else if (size > *numBytes) {
    return false;
  }
  if (!ReadAt(file->fd, target, size, position)) {
    if (allocated) free(target);
    return false;
  }
  *bytes = target;
  *numBytes = uint32_t(size);
  if (startTime) *startTime = RelativeTime(file, track, entry);
  if (duration) {
    const AVIndexEntry* next = SampleEntry(file, track, sample + 1);
    *duration = next && next->timestamp >= entry->timestamp ? MP4Duration(next->timestamp - entry->timestamp) : 0;
  }
  if (renderingOffset) *renderingOffset = 0;
  if (isSyncSample) *isSyncSample = (entry->flags & AVINDEX_KEYFRAME) != 0;
  return true;
}
