// AVC seek-and-feed and the decoder priming shared by every codec's feed.
#include "source/avc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "pipeline/error_line.h"
#include "pipeline/sample_utils.h"
#include "pipeline/sysmem_allocator.h"
#include "source/mkv_source.h"
#include "source/source_decoder.h"
#include "source/stream_readers.h"

namespace {

constexpr int kMaxPpsFed = 15;

void PrintErrorLine(mfxStatus status, int line) { PrintReturnOnError(status, "avc", line); }

bool IsBSlice(int32_t sliceType) { return sliceType == 1 || sliceType == 6; }

// Index of the offset that covers position p: the last offset at or before p, or 0
// when none lies at or before it.
int32_t CoveringIndex(const uint64_t* offsets, int32_t count, uint64_t p) {
  for (int32_t i = 0; i < count; ++i)
    if (offsets[i] <= p && (i == count - 1 || p < offsets[i + 1])) return i;
  return 0;
}

// Positions the source at an indexed unit, extracts it and appends it. Returns 1 on
// success, else the extractor's result (0 or less), or -1 when the unit does not fit.
int FeedIndexedUnit(SourceDecoder* source, uint64_t position) {
  SeekStream(source, position);
  int result = source->unitExtractor(source);
  if (result <= 0) return result;
  const StreamUnit* unit = source->currentUnit;
  return AppendToBitstream(&source->bitstream, unit->data, unit->length) ? 1 : -1;
}

// The SPS that covers the GOP and up to fifteen PPS ending with the one that covers it.
int FeedIndexedParameterSets(SourceDecoder* source, uint64_t gopPosition) {
  uint64_t spsPosition = 0;
  if (source->spsCount > 0)
    spsPosition = source->spsOffsets[CoveringIndex(source->spsOffsets, source->spsCount, gopPosition)];
  int result = FeedIndexedUnit(source, spsPosition);
  if (result <= 0) return result;

  if (source->ppsCount <= 0) return FeedIndexedUnit(source, 0);
  int32_t last = CoveringIndex(source->ppsOffsets, source->ppsCount, gopPosition);
  for (int32_t k = std::max(0, last - (kMaxPpsFed - 1)); k <= last; ++k) {
    result = FeedIndexedUnit(source, source->ppsOffsets[k]);
    if (result <= 0) return result;
  }
  return 1;
}

// The parameter sets of an AVC GOP, from the Matroska track or from the index.
int FeedAvcParameterSets(SourceDecoder* source, uint64_t gopPosition) {
  return source->streamKind == kStreamMatroska ? FeedMkvParameterSets(source, gopPosition)
                                               : FeedIndexedParameterSets(source, gopPosition);
}

int32_t AvcStepBack(const SourceState* source, const FrameEntry& entry, int32_t gop) {
  // The display frame's other field lies in the previous GOP.
  if (SplitAcrossGopStart(source, entry, gop)) --gop;
  // A B picture leads the GOP in output order: it predicts from the previous GOP.
  if (gop > 0 && IsBSlice(source->frameTable[source->gopTable[gop]->firstFrame].sliceType)) --gop;
  return gop;
}

constexpr FeedRules kAvcRules = {AvcStepBack, &GopRecord::position, nullptr, FeedAvcParameterSets};

}  // namespace

GopChoice ChooseAvcGop(const SourceState* source, int32_t target) { return ChooseGop(source, target, kAvcRules); }

int32_t AvcSeekAndFeed(SourceDecoder* source) { return SeekAndFeed(source, kAvcRules); }

int32_t PrimeDecoder(SourceDecoder* source) {
  uint8_t* buffer = new (std::nothrow) uint8_t[kFeedBufferSize];
  if (!buffer) return 1;
  uint32_t filled = 0;

  // A Matroska AVC track keeps its parameter sets in the track's configuration.
  if (source->streamKind == kStreamMatroska && source->codecKind == kCodecAvc)
    CopyMkvAvcConfigSets(source, buffer, kFeedBufferSize, &filled);

  // The first units of the stream, as many as fit below the buffer size.
  while (source->unitExtractor(source) > 0) {
    const StreamUnit* unit = source->currentUnit;
    if (uint64_t(filled) + unit->length >= kFeedBufferSize) break;
    std::memcpy(buffer + filled, unit->data, unit->length);
    filled += unit->length;
  }

  mfxBitstream& bitstream = source->bitstream;
  if (!bitstream.Data || filled > bitstream.MaxLength) {
    delete[] buffer;
    return MFX_ERR_NOT_ENOUGH_BUFFER;
  }
  std::memcpy(bitstream.Data, buffer, filled);
  bitstream.DataOffset = 0;
  bitstream.DataLength = filled;
  bitstream.MaxLength = filled;
  bitstream.DecodeTimeStamp = ~mfxI64(0);
  bitstream.TimeStamp = ~mfxU64(0);

  mfxStatus status = source->decoder->DecodeHeader(&bitstream, &source->videoParams);
  if (status == MFX_WRN_PARTIAL_ACCELERATION) {
    std::fprintf(stderr, "WARNING: partial acceleration\n");
    status = MFX_ERR_NONE;
  }
  if (status < MFX_ERR_NONE) {
    delete[] buffer;
    PrintErrorLine(status, 603);
    return status;
  }

  source->videoParams.IOPattern = MFX_IOPATTERN_OUT_SYSTEM_MEMORY;
  source->videoParams.AsyncDepth = 1;
  source->videoParams.mfx.FrameInfo.FrameRateExtN = uint32_t(source->frameRateNum);
  source->videoParams.mfx.FrameInfo.FrameRateExtD = uint32_t(source->frameRateDen);
  delete[] buffer;
  if (status > MFX_ERR_NONE) return 1;

  SysMemFrameAllocator* allocator = new (std::nothrow) SysMemFrameAllocator();
  if (!allocator) return MFX_ERR_MEMORY_ALLOC;
  source->frameAllocator = allocator;
  status = allocator->Init(source->allocatorParams);
  if (status < MFX_ERR_NONE) {
    PrintErrorLine(status, 675);
    return status;
  }

  status = source->AllocFrames();
  if (status < MFX_ERR_NONE) {
    PrintErrorLine(status, 679);
    return status;
  }

  status = source->decoder->Init(&source->videoParams);
  if (status == MFX_WRN_PARTIAL_ACCELERATION) std::fprintf(stderr, "WARNING: partial acceleration\n");
  if (status < MFX_ERR_NONE) {
    PrintErrorLine(status, 687);
    return status;
  }
  source->decoderReady = true;
  return 0;
}
