#include "sw_decoder.h"

#include <algorithm>
#include <cstring>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

#include "nv12_writer.h"
#include "start_codes.h"

namespace tessivar::mfxsw {
namespace {

AVCodecID CodecOf(uint32_t codecId) {
  switch (codecId) {
    case MFX_CODEC_AVC: return AV_CODEC_ID_H264;
    case MFX_CODEC_MPEG2: return AV_CODEC_ID_MPEG2VIDEO;
    case MFX_CODEC_VC1: return AV_CODEC_ID_VC1;
    default: return AV_CODEC_ID_NONE;
  }
}

int DecoderThreads() {
  unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(cores, 1u, 8u));
}

// Picture coding type of the first picture header in an MPEG-2 packet (1 I, 2 P, 3 B, 0 none);
// also follows the GOP header's closed_gop and broken_link flags.
int Mpeg2PictureType(const uint8_t* data, size_t size, bool* closedGop, bool* brokenLink) {
  for (size_t sc = FindStartCode(data, size, 0); sc != kNoStartCode; sc = FindStartCode(data, size, sc + 3)) {
    const uint8_t code = data[sc + 3];
    if (code == 0xB8 && sc + 8 <= size) {
      *closedGop = (data[sc + 7] & 0x40) != 0;
      *brokenLink = (data[sc + 7] & 0x20) != 0;
    } else if (code == 0x00 && sc + 6 <= size) {
      return (data[sc + 5] >> 3) & 7;
    }
  }
  return 0;
}

}  // namespace

SwDecoder::~SwDecoder() {
  ClearQueue();
  CloseCodec();
  if (parser_) av_parser_close(parser_);
  avcodec_free_context(&parserContext_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
}

mfxStatus SwDecoder::Init(const mfxVideoParam& par) {
  params_ = par;
  params_.ExtParam = nullptr;
  params_.NumExtParam = 0;
  params_.mfx.DecodedOrder = 0;
  codecId_ = par.mfx.CodecId;
  const AVCodec* codec = avcodec_find_decoder(CodecOf(codecId_));
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  parserContext_ = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (!codec || !packet_ || !frame_ || !parserContext_) return MFX_ERR_MEMORY_ALLOC;
  ResetParser();
  if (!parser_) return MFX_ERR_MEMORY_ALLOC;
  gated_ = true;
  return MFX_ERR_NONE;
}

mfxStatus SwDecoder::Reset(const mfxVideoParam& par) {
  const uint16_t width = params_.mfx.FrameInfo.Width, height = params_.mfx.FrameInfo.Height;
  params_ = par;
  params_.ExtParam = nullptr;
  params_.NumExtParam = 0;
  params_.mfx.DecodedOrder = 0;
  params_.mfx.FrameInfo.Width = width;  // the Init size stays the upper bound
  params_.mfx.FrameInfo.Height = height;
  ClearQueue();
  if (failed_) {
    CloseCodec();
    failed_ = false;
  } else if (codec_) {
    avcodec_flush_buffers(codec_);
  }
  ResetParser();
  gated_ = true;
  haveSequence_ = false;
  headerCheckedHere_ = false;
  drained_ = false;
  referencesSinceStart_ = 0;
  intraShownSinceStart_ = false;
  closedGop_ = brokenLink_ = false;
  frameOrder_ = 0;
  return parser_ ? MFX_ERR_NONE : MFX_ERR_MEMORY_ALLOC;
}

void SwDecoder::ResetParser() {
  if (parser_) av_parser_close(parser_);
  parser_ = av_parser_init(CodecOf(codecId_));
}

bool SwDecoder::OpenCodec(const uint8_t* block, size_t blockSize) {
  const AVCodec* codec = avcodec_find_decoder(CodecOf(codecId_));
  if (!codec) return false;
  codec_ = avcodec_alloc_context3(codec);
  if (!codec_) return false;
  codec_->apply_cropping = 0;
  switch (codecId_) {
    case MFX_CODEC_AVC:
      // Leading pictures of an open GOP come out (marked corrupt) instead of being dropped, and
      // the reorder depth is known from the first picture on, so no picture is lost at a start.
      codec_->flags |= AV_CODEC_FLAG_OUTPUT_CORRUPT;
      codec_->has_b_frames = sequence_.reorderDepth;
      codec_->thread_type = FF_THREAD_FRAME;
      codec_->thread_count = DecoderThreads();
      break;
    case MFX_CODEC_MPEG2:
      codec_->thread_type = FF_THREAD_SLICE;
      codec_->thread_count = DecoderThreads();
      break;
    case MFX_CODEC_VC1:
      // The decoder opens only with the sequence header and entry point as extradata.
      codec_->extradata = static_cast<uint8_t*>(av_mallocz(blockSize + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!codec_->extradata) return false;
      std::memcpy(codec_->extradata, block, blockSize);
      codec_->extradata_size = static_cast<int>(blockSize);
      codec_->thread_count = 1;
      break;
  }
  if (avcodec_open2(codec_, codec, nullptr) < 0) {
    avcodec_free_context(&codec_);
    return false;
  }
  return true;
}

void SwDecoder::CloseCodec() { avcodec_free_context(&codec_); }

void SwDecoder::ClearQueue() {
  for (Picture& p : ready_) av_frame_free(&p.frame);
  ready_.clear();
}

void SwDecoder::Consume(mfxBitstream* bs, size_t bytes) {
  bs->DataOffset += static_cast<mfxU32>(bytes);
  bs->DataLength -= static_cast<mfxU32>(bytes);
  if (bytes) headerCheckedHere_ = false;
}

mfxStatus SwDecoder::CheckSequenceHeader(const uint8_t* data, size_t size, bool atEnd, bool* incomplete) {
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
  if (!codec_ && !OpenCodec(data, blockSize)) {
    failed_ = true;
    return MFX_ERR_UNSUPPORTED;
  }
  return first ? MFX_ERR_NONE : MFX_WRN_VIDEO_PARAM_CHANGED;
}

SwDecoder::Feed SwDecoder::FeedInput(mfxBitstream* bs, mfxStatus* status) {
  const bool atEnd = (bs->DataFlag & MFX_BITSTREAM_EOS) != 0;
  const int64_t pts = bs->TimeStamp == static_cast<mfxU64>(MFX_TIMESTAMP_UNKNOWN) ? AV_NOPTS_VALUE
                                                                                : static_cast<int64_t>(bs->TimeStamp);
  while (bs->DataLength > 0) {
    const uint8_t* data = bs->Data + bs->DataOffset;
    const size_t size = bs->DataLength;
    if (gated_) {
      // Input before the first sequence header is skipped; the last bytes stay, they may be
      // the beginning of a start code.
      size_t sc = FindStartCode(data, size, 0);
      while (sc != kNoStartCode && !IsSequenceStart(codecId_, data[sc + 3])) sc = FindStartCode(data, size, sc + 3);
      if (sc == kNoStartCode) {
        Consume(bs, atEnd ? size : (size > 3 ? size - 3 : 0));
        return Feed::kNeedMore;
      }
      Consume(bs, sc);
      gated_ = false;
      continue;
    }
    if (!headerCheckedHere_ && size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 1 &&
        IsSequenceStart(codecId_, data[3])) {
      bool incomplete = false;
      mfxStatus st = CheckSequenceHeader(data, size, atEnd, &incomplete);
      if (incomplete) return Feed::kNeedMore;
      if (st == MFX_ERR_INCOMPATIBLE_VIDEO_PARAM) {
        *status = st;
        return Feed::kStatus;
      }
      headerCheckedHere_ = true;
      if (st != MFX_ERR_NONE) {
        *status = st;
        return Feed::kStatus;
      }
    }
    if (!codec_) {
      // No decodable sequence header yet: wait for the next one.
      gated_ = true;
      Consume(bs, std::min<size_t>(size, 3));
      continue;
    }
    // Hand the parser everything up to the next sequence header, which gets checked first.
    size_t end = FindStartCode(data, size, 3);
    while (end != kNoStartCode && !IsSequenceStart(codecId_, data[end + 3])) end = FindStartCode(data, size, end + 3);
    if (end == kNoStartCode) end = size;
    uint8_t* out = nullptr;
    int outSize = 0;
    const int chunk = static_cast<int>(std::min<size_t>(end, 1 << 30));
    int used = av_parser_parse2(parser_, parserContext_, &out, &outSize, data, chunk, pts, pts, -1);
    if (used < 0) used = chunk;
    Consume(bs, static_cast<size_t>(used));
    if (outSize > 0) {
      SendPacket(out, outSize, parser_->pts);
      if (!ready_.empty()) return Feed::kPicture;
    } else if (used == 0) {
      return Feed::kNeedMore;
    }
  }
  return Feed::kNeedMore;
}

bool SwDecoder::SendPacket(const uint8_t* data, int size, int64_t pts) {
  if (codecId_ == MFX_CODEC_MPEG2 || codecId_ == MFX_CODEC_VC1) {
    // libavcodec drops B pictures that arrive before it holds two references (the leading
    // pictures of an open GOP); each gets a placeholder so that the output count stays exact.
    bool bLike = false, reference = false, dropped = false;
    if (codecId_ == MFX_CODEC_MPEG2) {
      int type = Mpeg2PictureType(data, static_cast<size_t>(size), &closedGop_, &brokenLink_);
      bLike = type == 3;
      reference = type == 1 || type == 2;
      dropped = bLike && referencesSinceStart_ < 2 && (!closedGop_ || brokenLink_);
    } else {
      const int type = parser_->pict_type;
      bLike = type == AV_PICTURE_TYPE_B || type == AV_PICTURE_TYPE_BI;
      reference = type == AV_PICTURE_TYPE_I || type == AV_PICTURE_TYPE_P;
      dropped = bLike && referencesSinceStart_ < 2;
    }
    if (dropped) {
      AddLostPicture(pts);
      return true;
    }
    if (reference) ++referencesSinceStart_;
  }
  packet_->data = const_cast<uint8_t*>(data);
  packet_->size = size;
  packet_->pts = pts;
  packet_->dts = AV_NOPTS_VALUE;
  for (int attempt = 0; attempt < 64; ++attempt) {
    int r = avcodec_send_packet(codec_, packet_);
    if (r == AVERROR(EAGAIN)) {
      ReceiveFrames();
      continue;
    }
    // A picture the decoder refused (its slice headers damaged) still counts as an output.
    if (r < 0 && r != AVERROR_EOF) AddLostPicture(pts);
    ReceiveFrames();
    return r >= 0;
  }
  return false;
}

void SwDecoder::AddLostPicture(int64_t pts) {
  Picture placeholder;
  placeholder.pts = pts;
  placeholder.corrupt = true;
  ready_.push_back(placeholder);
}

bool SwDecoder::ReceiveFrames() {
  bool any = false;
  for (int errors = 0;;) {
    const int r = avcodec_receive_frame(codec_, frame_);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
    if (r < 0) {
      // A decode failure that surfaces here (frame threads report it late): one picture lost.
      AddLostPicture(AV_NOPTS_VALUE);
      if (++errors == 64) break;
      continue;
    }
    Picture picture;
    picture.frame = av_frame_alloc();
    if (!picture.frame) {
      av_frame_unref(frame_);
      continue;
    }
    av_frame_move_ref(picture.frame, frame_);
    picture.pts = picture.frame->pts != AV_NOPTS_VALUE ? picture.frame->pts : picture.frame->best_effort_timestamp;
    picture.corrupt = (picture.frame->flags & AV_FRAME_FLAG_CORRUPT) || picture.frame->decode_error_flags;
    if (codecId_ == MFX_CODEC_AVC && !intraShownSinceStart_) {
      // Shown before the start's I picture: a leading picture of an open GOP. libavcodec marks
      // those only while it holds pictures back, not when a drain releases them.
      if (picture.frame->pict_type == AV_PICTURE_TYPE_I || picture.frame->key_frame) intraShownSinceStart_ = true;
      else picture.corrupt = true;
    }
    ready_.push_back(picture);
    any = true;
  }
  return any;
}

void SwDecoder::Drain() {
  drained_ = true;
  if (!codec_) return;
  uint8_t* out = nullptr;
  int outSize = 0;
  av_parser_parse2(parser_, parserContext_, &out, &outSize, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, -1);
  if (outSize > 0) SendPacket(out, outSize, parser_->pts);
  avcodec_send_packet(codec_, nullptr);
  ReceiveFrames();
}

uint16_t SwDecoder::PicStructOf(const AVFrame* frame) const {
  if (!frame) return sequence_.progressiveOnly ? MFX_PICSTRUCT_PROGRESSIVE : MFX_PICSTRUCT_UNKNOWN;
  const uint16_t field = frame->top_field_first ? MFX_PICSTRUCT_FIELD_TFF : MFX_PICSTRUCT_FIELD_BFF;
  // In a sequence that holds only progressive frames, an "interlaced" frame is a progressive
  // one shown as two fields (H.264 pic_struct 3/4).
  if (frame->interlaced_frame && !sequence_.progressiveOnly) return field;
  if (!params_.mfx.ExtendedPicStruct) return MFX_PICSTRUCT_PROGRESSIVE;
  switch (frame->repeat_pict) {
    case 0: return frame->interlaced_frame ? MFX_PICSTRUCT_PROGRESSIVE | field : MFX_PICSTRUCT_PROGRESSIVE;
    case 1: return MFX_PICSTRUCT_PROGRESSIVE | field | MFX_PICSTRUCT_FIELD_REPEATED;
    case 2: return MFX_PICSTRUCT_PROGRESSIVE | MFX_PICSTRUCT_FRAME_DOUBLING;
    default: return MFX_PICSTRUCT_PROGRESSIVE | MFX_PICSTRUCT_FRAME_TRIPLING;
  }
}

void SwDecoder::EmitPicture(Picture& picture, mfxFrameSurface1* work) {
  WriteNv12(picture.frame, work);
  mfxFrameInfo& info = work->Info;
  if (picture.frame) {
    const AVFrame* f = picture.frame;
    info.CropX = static_cast<mfxU16>(f->crop_left);
    info.CropY = static_cast<mfxU16>(f->crop_top);
    info.CropW = static_cast<mfxU16>(f->width - static_cast<int>(f->crop_left + f->crop_right));
    info.CropH = static_cast<mfxU16>(f->height - static_cast<int>(f->crop_top + f->crop_bottom));
  } else {
    info.CropX = sequence_.cropX;
    info.CropY = sequence_.cropY;
    info.CropW = sequence_.cropW;
    info.CropH = sequence_.cropH;
  }
  info.PicStruct = PicStructOf(picture.frame);
  const mfxFrameInfo& given = params_.mfx.FrameInfo;
  const bool rateGiven = given.FrameRateExtN && given.FrameRateExtD;
  info.FrameRateExtN = rateGiven ? given.FrameRateExtN : sequence_.frameRateN;
  info.FrameRateExtD = rateGiven ? given.FrameRateExtD : sequence_.frameRateD;
  const bool aspectGiven = given.AspectRatioW && given.AspectRatioH;
  info.AspectRatioW = aspectGiven ? given.AspectRatioW : (sequence_.aspectW ? sequence_.aspectW : 1);
  info.AspectRatioH = aspectGiven ? given.AspectRatioH : (sequence_.aspectH ? sequence_.aspectH : 1);
  work->Data.TimeStamp = picture.pts == AV_NOPTS_VALUE ? static_cast<mfxU64>(MFX_TIMESTAMP_UNKNOWN)
                                                      : static_cast<mfxU64>(picture.pts);
  work->Data.FrameOrder = frameOrder_++;
  work->Data.Corrupted = picture.corrupt ? MFX_CORRUPTION_MAJOR : 0;
}

mfxStatus SwDecoder::DecodeStep(mfxBitstream* bs, mfxFrameSurface1* work) {
  if (ready_.empty() && !failed_) {
    const bool endOfStream = !bs || (bs->DataFlag & MFX_BITSTREAM_EOS);
    if (bs && bs->DataLength > 0) {
      if (drained_) {
        // New input after a drain: the decoder starts over, without waiting for a header.
        if (codec_) avcodec_flush_buffers(codec_);
        ResetParser();
        drained_ = false;
      }
      mfxStatus status = MFX_ERR_NONE;
      if (FeedInput(bs, &status) == Feed::kStatus) return status;
    }
    if (ready_.empty() && endOfStream && (!bs || bs->DataLength == 0) && !drained_) Drain();
  }
  if (ready_.empty()) return failed_ ? MFX_ERR_UNSUPPORTED : MFX_ERR_MORE_DATA;
  Picture& next = ready_.front();
  const int width = next.frame ? next.frame->width : 0, height = next.frame ? next.frame->height : 0;
  if (!SurfaceCanHold(*work, width, height)) return MFX_ERR_UNDEFINED_BEHAVIOR;
  EmitPicture(next, work);
  av_frame_free(&next.frame);
  ready_.pop_front();
  return MFX_ERR_NONE;
}

}  // namespace tessivar::mfxsw
