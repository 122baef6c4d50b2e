#include "sw_decoder.h"

#include <algorithm>
#include <new>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
}

#include "nv12_writer.h"
#include "picture_output.h"
#include "start_codes.h"

namespace tessivar::mfxsw {
namespace {

// Bytes handed to the decode thread at a time: enough for the pictures ahead twice over.
size_t HandOverSize(size_t packetBytes) {
  return std::clamp<size_t>(2 * DecodeThread::kPicturesAhead * packetBytes, 16 << 10, 2 << 20);
}

}  // namespace

mfxStatus SwDecoder::Init(const mfxVideoParam& par) {
  params_ = par;
  params_.ExtParam = nullptr;
  params_.NumExtParam = 0;
  params_.mfx.DecodedOrder = 0;
  codecId_ = par.mfx.CodecId;
  decoding_.reset(new (std::nothrow) DecodeThread(codecId_));
  if (!decoding_ || !decoding_->Start()) return MFX_ERR_MEMORY_ALLOC;
  gated_ = true;
  return MFX_ERR_NONE;
}

mfxStatus SwDecoder::Reset(const mfxVideoParam& par) {
  decoding_->Abandon();
  const uint16_t width = params_.mfx.FrameInfo.Width, height = params_.mfx.FrameInfo.Height;
  params_ = par;
  params_.ExtParam = nullptr;
  params_.NumExtParam = 0;
  params_.mfx.DecodedOrder = 0;
  params_.mfx.FrameInfo.Width = width;  // the Init size stays the upper bound
  params_.mfx.FrameInfo.Height = height;
  StartCounting();
  gated_ = true;
  haveSequence_ = false;
  headerCheckedHere_ = false;
  // The start over keeps the decoder and its threads and waits for the pictures in flight, so
  // the decode thread does it while the application positions its input. A codec that refused
  // the stream is closed instead.
  if (!decoding_->StartOver(CodecFeed::MakeParser(codecId_), failed_)) return MFX_ERR_MEMORY_ALLOC;
  if (failed_) codecOpen_ = false;
  failed_ = false;
  return MFX_ERR_NONE;
}

void SwDecoder::StartCounting() {
  drained_ = false;
  frameOrder_ = 0;
}

void SwDecoder::Consume(mfxBitstream* bs, size_t bytes) {
  bs->DataOffset += static_cast<mfxU32>(bytes);
  bs->DataLength -= static_cast<mfxU32>(bytes);
  if (bytes) headerCheckedHere_ = false;
}

bool SwDecoder::SameSequenceHeader(const uint8_t* data, size_t size, bool atEnd, bool* incomplete) const {
  const size_t blockSize = SequenceBlockLength(codecId_, data, size, atEnd);
  if (!blockSize) {
    *incomplete = true;
    return false;
  }
  size_t unitSize = FirstUnitLength(data, blockSize);
  while (unitSize > 4 && data[unitSize - 1] == 0) --unitSize;
  return haveSequence_ && sequenceUnit_.size() == unitSize && std::equal(data, data + unitSize, sequenceUnit_.begin());
}

mfxStatus SwDecoder::CheckSequenceHeader(CodecFeed& feed, const uint8_t* data, size_t size, bool atEnd,
                                         bool* incomplete) {
  size_t blockSize = SequenceBlockLength(codecId_, data, size, atEnd);
  if (!blockSize) {
    *incomplete = true;
    return MFX_ERR_NONE;
  }
  size_t unitSize = FirstUnitLength(data, blockSize);
  while (unitSize > 4 && data[unitSize - 1] == 0) --unitSize;
  if (haveSequence_ && sequenceUnit_.size() == unitSize && std::equal(data, data + unitSize, sequenceUnit_.begin()))
    return MFX_ERR_NONE;
  SequenceInfo info;
  if (!ParseSequenceBlock(codecId_, data, blockSize, &info)) {
    // Not a usable header: the decoder gets the bytes as they are.
    return MFX_ERR_NONE;
  }
  if (!info.supported || info.width > params_.mfx.FrameInfo.Width || info.height > params_.mfx.FrameInfo.Height)
    return MFX_ERR_INCOMPATIBLE_VIDEO_PARAM;
  const bool first = !haveSequence_;
  sequence_ = info;
  sequenceUnit_.assign(data, data + unitSize);
  haveSequence_ = true;
  if (!feed.IsOpen() && !feed.Open(info, data, blockSize)) {
    failed_ = true;
    return MFX_ERR_UNSUPPORTED;
  }
  codecOpen_ = true;
  feed.UseSequence(info);
  return first ? MFX_ERR_NONE : MFX_WRN_VIDEO_PARAM_CHANGED;
}

SwDecoder::Take SwDecoder::TakeInput(mfxBitstream* bs, bool topUp, mfxStatus* status) {
  const bool atEnd = (bs->DataFlag & MFX_BITSTREAM_EOS) != 0;
  const int64_t pts = bs->TimeStamp == static_cast<mfxU64>(MFX_TIMESTAMP_UNKNOWN) ? AV_NOPTS_VALUE
                                                                                : static_cast<int64_t>(bs->TimeStamp);
  const size_t budget = HandOverSize(decoding_->MeanPacketBytes());
  bool consumed = false;
  while (bs->DataLength > 0) {
    if (decoding_->PendingBytes() >= budget) return Take::kDone;
    const uint8_t* data = bs->Data + bs->DataOffset;
    const size_t size = bs->DataLength;
    if (gated_) {
      // Input before the first sequence header is skipped; the last bytes stay, they may be
      // the beginning of a start code. After a Reset, an MPEG-2 GOP header also ends the gate
      // while the decoder still holds the sequence header from before: a GOP whose own
      // sequence header is damaged is decoded instead of lost.
      const bool resumable = codecOpen_ && codecId_ == MFX_CODEC_MPEG2 && !sequenceUnit_.empty();
      size_t sc = FindStartCode(data, size, 0);
      while (sc != kNoStartCode && !IsSequenceStart(codecId_, data[sc + 3]) && !(resumable && data[sc + 3] == 0xB8))
        sc = FindStartCode(data, size, sc + 3);
      if (sc == kNoStartCode) {
        Consume(bs, atEnd ? size : (size > 3 ? size - 3 : 0));
        return Take::kNeedMore;
      }
      if (!IsSequenceStart(codecId_, data[sc + 3])) haveSequence_ = true;
      Consume(bs, sc);
      consumed = consumed || sc > 0;
      gated_ = false;
      continue;
    }
    const bool atStartCode = size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 1;
    if (!headerCheckedHere_ && atStartCode && IsSequenceStart(codecId_, data[3])) {
      bool incomplete = false;
      if (SameSequenceHeader(data, size, atEnd, &incomplete)) {
        headerCheckedHere_ = true;
      } else if (incomplete) {
        return consumed ? Take::kDone : Take::kNeedMore;
      } else {
        // A new header is checked once everything before it is decoded and given out.
        if (topUp) return Take::kDone;
        mfxStatus st = MFX_ERR_NONE;
        const bool checked = decoding_->WithIdleFeed(
            [&](CodecFeed& feed) { st = CheckSequenceHeader(feed, data, size, atEnd, &incomplete); });
        if (!checked) return Take::kWaitIdle;
        if (incomplete) return Take::kNeedMore;
        if (st == MFX_ERR_INCOMPATIBLE_VIDEO_PARAM) {
          *status = st;
          return Take::kStatus;
        }
        headerCheckedHere_ = true;
        if (st != MFX_ERR_NONE) {
          *status = st;
          return Take::kStatus;
        }
      }
    }
    if (!codecOpen_) {
      // No decodable sequence header yet: wait for the next one.
      gated_ = true;
      Consume(bs, std::min<size_t>(size, 3));
      consumed = true;
      continue;
    }
    // Everything up to the next sequence header, which gets checked first, at most `budget`
    // bytes; a cut never falls inside a start code that could be a header's.
    const size_t limit = std::min(size, budget);
    size_t end = FindStartCode(data, limit, atStartCode ? 3 : 0);
    while (end != kNoStartCode && !IsSequenceStart(codecId_, data[end + 3])) end = FindStartCode(data, limit, end + 3);
    if (end == kNoStartCode) end = limit < size && limit > 3 ? limit - 3 : limit;
    if (end == 0) end = std::min<size_t>(size, 4);
    if (!decoding_->HandOver(data, end, pts)) {
      *status = MFX_ERR_MEMORY_ALLOC;
      return Take::kStatus;
    }
    Consume(bs, end);
    consumed = true;
  }
  return consumed ? Take::kDone : Take::kNeedMore;
}

mfxStatus SwDecoder::DecodeStep(mfxBitstream* bs, mfxFrameSurface1* work) {
  const bool endOfStream = !bs || (bs->DataFlag & MFX_BITSTREAM_EOS);
  const auto fits = [work](const DecodedPicture& picture) {
    const AVFrame* frame = picture.frame.get();
    return SurfaceCanHold(*work, frame ? frame->width : 0, frame ? frame->height : 0);
  };
  for (;;) {
    DecodedPicture picture;
    switch (decoding_->TakePicture(fits, &picture)) {
      case DecodeThread::Given::kDoesNotFit: return MFX_ERR_UNDEFINED_BEHAVIOR;
      case DecodeThread::Given::kPicture: {
        // Keep the decode thread supplied while this picture is written out; an allocation that
        // fails here only leaves the bytes for the next call.
        mfxStatus ignored = MFX_ERR_NONE;
        try {
          if (bs && bs->DataLength > 0 && !failed_ && !drained_) TakeInput(bs, true, &ignored);
        } catch (const std::bad_alloc&) {
        }
        GivePicture(picture, sequence_, params_, frameOrder_++, work);
        return MFX_ERR_NONE;
      }
      case DecodeThread::Given::kNone: break;
    }
    if (failed_) return MFX_ERR_UNSUPPORTED;
    if (decoding_->OutOfMemory()) return MFX_ERR_MEMORY_ALLOC;
    Take take = Take::kNeedMore;
    if (bs && bs->DataLength > 0) {
      if (drained_) {
        // New input after a drain: the decoder starts over, without waiting for a header.
        if (!decoding_->StartOver(CodecFeed::MakeParser(codecId_), false)) return MFX_ERR_MEMORY_ALLOC;
        StartCounting();
      }
      mfxStatus status = MFX_ERR_NONE;
      take = TakeInput(bs, false, &status);
      if (take == Take::kStatus) return status;
      if (take == Take::kWaitIdle) {
        decoding_->WaitForPictureOrIdle();
        continue;
      }
    }
    if (!decoding_->Idle()) {
      decoding_->WaitForPictureOrIdle();
      continue;
    }
    if (decoding_->HasPicture() || take == Take::kDone) continue;
    if (endOfStream && (!bs || bs->DataLength == 0) && !drained_) {
      drained_ = true;
      decoding_->Drain();
      continue;
    }
    return MFX_ERR_MORE_DATA;
  }
}

}  // namespace tessivar::mfxsw
