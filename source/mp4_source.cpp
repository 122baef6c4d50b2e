#include "source/mp4_source.h"

#include <cstdlib>
#include <cstring>

#include "platform/mp4/mp4_file.h"

namespace {

constexpr uint8_t kStartCode4[] = {0, 0, 0, 1};
constexpr uint8_t kStartCode3[] = {0, 0, 1};

// Writes a prepared sample into sourceBuffer, never past it: room for the closing
// start code is kept back, and a piece that does not fit is not written at all.
class SampleWriter {
 public:
  explicit SampleWriter(SourceState* source) : source_(source) {}

  bool Put(const uint8_t* startCode, size_t startCodeSize, const uint8_t* data, size_t size) {
    constexpr size_t kRoom = kSourceBufferSize - sizeof(kStartCode3);
    if (startCodeSize > kRoom - used_ || size > kRoom - used_ - startCodeSize) return false;
    if (startCodeSize > 0) std::memcpy(source_->sourceBuffer + used_, startCode, startCodeSize);
    used_ += startCodeSize;
    if (size > 0) std::memcpy(source_->sourceBuffer + used_, data, size);
    used_ += size;
    return true;
  }

  // Copies as much of the bytes as fits.
  void PutTruncated(const uint8_t* data, size_t size) {
    constexpr size_t kRoom = kSourceBufferSize - sizeof(kStartCode3);
    const size_t fits = size < kRoom - used_ ? size : kRoom - used_;
    Put(nullptr, 0, data, fits);
  }

  // The closing start code; the buffer then holds the prepared bytes from its start.
  void Finish() {
    std::memcpy(source_->sourceBuffer + used_, kStartCode3, sizeof(kStartCode3));
    used_ += sizeof(kStartCode3);
    source_->sourcePos = source_->sourceBuffer;
    source_->dataEnd = static_cast<uint32_t>(used_);
  }

 private:
  SourceState* source_;
  size_t used_ = 0;
};

uint32_t NalLengthSize(SourceState* source) {
  uint32_t size = 4;
  if (!MP4GetTrackH264LengthSize(source->mp4File, source->mp4Track, &size) || size < 1 || size > 4) size = 4;
  return size;
}

// The NAL units of a length-prefixed sample, each after a start code: the first one
// after firstStartCode (none when null), the others after 00 00 01. Stops at a unit
// whose length runs past the sample (or past the buffer); the units before it stay.
void WalkNalUnits(SampleWriter* writer, const uint8_t* sample, uint32_t size, uint32_t lengthSize,
                  const uint8_t* firstStartCode, size_t firstStartCodeSize) {
  uint64_t position = 0;
  bool first = true;
  while (position + lengthSize < size) {
    uint64_t length = 0;
    for (uint32_t k = 0; k < lengthSize; ++k) length = (length << 8) | sample[position + k];
    if (length > size - position - lengthSize) break;
    const bool written = first ? writer->Put(firstStartCode, firstStartCodeSize, sample + position + lengthSize, length)
                               : writer->Put(kStartCode3, sizeof(kStartCode3), sample + position + lengthSize, length);
    if (!written) break;
    first = false;
    position += lengthSize + length;
  }
}

// A sample's bytes as they stand. After another sample the closing 00 00 01 already
// stands for the sample's own leading start code (zero bytes before it included), so
// that the units come out as the elementary stream's.
void CopyWhole(SampleWriter* writer, const uint8_t* sample, uint32_t size, bool afterSample) {
  uint32_t skip = 0;
  if (afterSample) {
    uint32_t zeros = 0;
    while (zeros < size && sample[zeros] == 0) ++zeros;
    if (zeros >= 2 && zeros < size && sample[zeros] == 1) skip = zeros + 1;
  }
  writer->PutTruncated(sample + skip, size - skip);
}

uint32_t SampleCount(SourceState* source) { return MP4GetTrackNumberOfSamples(source->mp4File, source->mp4Track); }

// Nothing further to hand out until the next seek.
void EndSamples(SourceState* source) {
  source->mp4Sample = SampleCount(source) + 1;
  source->sourcePos = source->sourceBuffer;
  source->dataEnd = 0;
}

// Whether a video track's sample entry holds the index's codec: the index was made from
// such a track, and samples of another codec would be fed to the wrong decoder.
bool TrackFits(const char* name, uint8_t objectType, int32_t codecKind) {
  if (!name) return false;
  switch (codecKind) {
    case kCodecAvc: return std::strcmp(name, "avc1") == 0;
    case kCodecVc1: return std::strcmp(name, "vc-1") == 0;
    case kCodecMpeg2: return std::strcmp(name, "mp4v") == 0 && objectType >= 0x60 && objectType <= 0x65;
    default: return false;
  }
}

}  // namespace

int32_t OpenMp4VideoTrack(SourceState* source) {
  ReleaseMp4Source(source);
  if (source->sourceCount < 1 || !source->sourcePaths[0]) return 1;
  source->mp4File = MP4Read(source->sourcePaths[0], 0);
  if (!source->mp4File) return 1;
  const uint32_t tracks = MP4GetNumberOfTracks(source->mp4File, nullptr, 0);
  for (uint32_t index = 0; index < tracks && index <= 0xFFFF; ++index) {
    const MP4TrackId track = MP4FindTrackId(source->mp4File, uint16_t(index), nullptr, 0);
    const char* type = MP4GetTrackType(source->mp4File, track);
    if (!type || std::strcmp(type, "vide") != 0) continue;
    const char* name = MP4GetTrackMediaDataName(source->mp4File, track);
    const uint8_t objectType = MP4GetTrackEsdsObjectTypeId(source->mp4File, track);
    // A track none of whose samples lies inside the file is of no use either.
    if (!TrackFits(name, objectType, source->codecKind) || MP4GetTrackNumberOfSamples(source->mp4File, track) == 0)
      continue;
    source->mp4Track = track;
    source->mp4Sample = 0;
    // AVC: fetched once, written ahead of every seek's sample. A configuration record
    // whose sets cannot be taken (cut short, or a set of no bytes) leaves nothing to
    // start decoding with: the file is refused here, with the reason, rather than by a
    // decoder that never starts.
    if (source->codecKind == kCodecAvc &&
        !MP4GetTrackH264SeqPictHeaders(source->mp4File, track, &source->mp4SeqHeaders, &source->mp4SeqHeaderSizes,
                                       &source->mp4PictHeaders, &source->mp4PictHeaderSizes)) {
      ReleaseMp4Source(source);
      return 1;
    }
    return 0;
  }
  return 2;
}

void SeekReadMp4Sample(SourceState* source, uint64_t time) {
  if (!source->mp4File) {
    source->sourcePos = source->sourceBuffer;
    source->dataEnd = 0;
    return;
  }
  const bool avc = source->codecKind == kCodecAvc;
  const uint32_t count = SampleCount(source);
  const uint32_t lengthSize = avc ? NalLengthSize(source) : 0;
  uint32_t sample = 1;
  while (sample <= count && MP4GetSampleTime(source->mp4File, source->mp4Track, sample) < time) ++sample;
  source->mp4Sample = sample;

  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  if (!MP4ReadSample(source->mp4File, source->mp4Track, sample, &bytes, &size, nullptr, nullptr, nullptr, nullptr)) {
    EndSamples(source);
    return;
  }
  SampleWriter writer(source);
  if (avc) {
    for (uint8_t** sets : {source->mp4SeqHeaders, source->mp4PictHeaders}) {
      const uint32_t* sizes = sets == source->mp4SeqHeaders ? source->mp4SeqHeaderSizes : source->mp4PictHeaderSizes;
      for (size_t k = 0; sets && sizes && sizes[k] != 0; ++k) writer.Put(kStartCode4, sizeof(kStartCode4), sets[k], sizes[k]);
    }
    WalkNalUnits(&writer, bytes, size, lengthSize, kStartCode4, sizeof(kStartCode4));
  } else {
    CopyWhole(&writer, bytes, size, false);
  }
  free(bytes);
  writer.Finish();
}

int32_t ReadNextMp4Sample(SourceState* source) {
  if (!source->mp4File) return -1;
  const uint32_t count = SampleCount(source);
  if (source->mp4Sample >= count) {
    source->mp4Sample = count + 1;  // stays past the end until the next seek
    return -1;
  }
  const bool avc = source->codecKind == kCodecAvc;
  const uint32_t lengthSize = avc ? NalLengthSize(source) : 0;
  ++source->mp4Sample;
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  if (!MP4ReadSample(source->mp4File, source->mp4Track, source->mp4Sample, &bytes, &size, nullptr, nullptr, nullptr,
                     nullptr)) {
    EndSamples(source);
    return -1;
  }
  SampleWriter writer(source);
  if (avc) {
    // The 00 00 01 that closes the previous sample stands for the first unit's start code.
    WalkNalUnits(&writer, bytes, size, lengthSize, nullptr, 0);
  } else {
    CopyWhole(&writer, bytes, size, true);
  }
  free(bytes);
  writer.Finish();
  return 0;
}

void ReleaseMp4Source(SourceState* source) {
  MP4Close(source->mp4File);
  source->mp4File = nullptr;
  MP4FreeH264SeqPictHeaders(source->mp4SeqHeaders, source->mp4SeqHeaderSizes, source->mp4PictHeaders,
                            source->mp4PictHeaderSizes);
  source->mp4SeqHeaders = source->mp4PictHeaders = nullptr;
  source->mp4SeqHeaderSizes = source->mp4PictHeaderSizes = nullptr;
  source->mp4Track = 0;
  source->mp4Sample = 0;
}
