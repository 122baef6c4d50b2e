#include "codec_feed.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include <mfx/mfxstructures.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace tessivar::mfxsw {

void FrameFree::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void BufferUnref::operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
void ParserClose::operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }

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

// Packets libavcodec may take before it gives a picture out: the largest reorder buffer and
// the frame threads' pipeline, with some to spare for output out of turn after damage.
int64_t HoldPackets(uint32_t codecId, int threads) {
  return codecId == MFX_CODEC_AVC ? 16 + threads + 2 : 8;
}

// libavcodec's own messages (concealment notes such as "mmco: unref short failure" on random
// access into pyramid-B streams, "overread" on damaged MPEG-2, parser notes) are not the
// user's business: the engine reports through its statuses. Only a fatal message passes on.
// An error from a decoder whose `opaque` names a counter (an MPEG-2 decoder on slice threads)
// is counted there: damage, for which the one-thread decoder takes over.
void QuietCodecLog(void* object, int level, const char* format, va_list args) {
  if (level <= AV_LOG_ERROR && object && *static_cast<const AVClass* const*>(object) == avcodec_get_class()) {
    if (auto* reports = static_cast<std::atomic<int>*>(static_cast<AVCodecContext*>(object)->opaque))
      reports->fetch_add(1, std::memory_order_relaxed);
  }
  if (level > AV_LOG_FATAL) return;
  av_log_default_callback(object, level, format, args);
}

// Most bytes kept for a parser that does not take them; past it they are dropped.
constexpr size_t kMaxParserRest = 8 << 20;

}  // namespace

CodecFeed::CodecFeed(uint32_t codecId, Output& output) : codecId_(codecId), output_(output), leading_(codecId) {
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_callback(QuietCodecLog); });
  const AVCodec* codec = avcodec_find_decoder(CodecOf(codecId_));
  packet_ = av_packet_alloc();
  parserContext_ = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (codec) parser_ = MakeParser(codecId_);
}

ParserPtr CodecFeed::MakeParser(uint32_t codecId) { return ParserPtr(av_parser_init(CodecOf(codecId))); }

CodecFeed::~CodecFeed() {
  avcodec_free_context(&codec_);
  avcodec_free_context(&parserContext_);
  av_packet_free(&packet_);
}

bool CodecFeed::Open(const SequenceInfo& sequence, const uint8_t* block, size_t blockSize) {
  if (codecId_ == MFX_CODEC_MPEG2) {
    replay_.Clear();
    damageReports_.store(0, std::memory_order_relaxed);
    sliceThreads_ = DecoderThreads() > 1;
    codec_ = OpenMpeg2(DecoderThreads());
    return codec_ != nullptr;
  }
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
      codec_->has_b_frames = sequence.reorderDepth;
      codec_->thread_type = FF_THREAD_FRAME;
      codec_->thread_count = DecoderThreads();
      break;
    case MFX_CODEC_VC1:
      // The decoder opens only with the sequence header and entry point as extradata.
      codec_->extradata = static_cast<uint8_t*>(av_mallocz(blockSize + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!codec_->extradata) {
        avcodec_free_context(&codec_);
        return false;
      }
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

AVCodecContext* CodecFeed::OpenMpeg2(int threads) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG2VIDEO);
  AVCodecContext* context = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (!context) return nullptr;
  context->apply_cropping = 0;
  // The simple IDCT, named rather than left to the automatic choice: on x86-64 that choice
  // gives the same pictures, but on 32-bit x86 it takes an assembly transform that rounds
  // differently, and the pictures would then differ by build.
  context->idct_algo = FF_IDCT_SIMPLE;
  context->thread_count = threads;
  if (threads > 1) {
    // Slice threads give an intact picture exactly, but conceal a damaged one differently
    // from run to run (often with rows of another picture): their errors are counted, and
    // the first makes the one-thread decoder take over (TakeOneThread).
    context->thread_type = FF_THREAD_SLICE;
    context->opaque = &damageReports_;
  }
  if (avcodec_open2(context, codec, nullptr) < 0) avcodec_free_context(&context);
  return context;
}

void CodecFeed::UseSequence(const SequenceInfo& sequence) {
  sequence_ = sequence;
  // How the numbers of this sequence's pictures place them. VC-1 gives a skipped picture out
  // as its reference again, under that picture's tag.
  order_.Configure(HoldPackets(codecId_, codec_ ? codec_->thread_count : 1), codecId_ == MFX_CODEC_VC1);
}

void CodecFeed::StartOver(ParserPtr parser, bool closeCodec) {
  if (closeCodec) avcodec_free_context(&codec_);
  else if (codec_) avcodec_flush_buffers(codec_);  // keeps the decoder and its threads
  av_packet_unref(packet_);
  replay_.Clear();
  parser_ = std::move(parser);
  parserRest_.clear();
  order_.Clear();
  numbering_.Restart();
  held_.clear();
  leading_.Restart();
  lastTag_ = -1;
}

void CodecFeed::DropPacket() { av_packet_unref(packet_); }

void CodecFeed::Decode(const uint8_t* data, size_t size, int64_t pts, AVBufferRef* owner) {
  if (parserRest_.empty()) {
    ParseBytes(data, size, pts, owner, true);
    return;
  }
  // The bytes the parser left last time come first.
  BufferPtr joined(av_buffer_alloc(static_cast<int>(parserRest_.size() + size + AV_INPUT_BUFFER_PADDING_SIZE)));
  if (!joined) throw std::bad_alloc();
  std::memcpy(joined->data, parserRest_.data(), parserRest_.size());
  std::memcpy(joined->data + parserRest_.size(), data, size);
  std::memset(joined->data + parserRest_.size() + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  const size_t joinedSize = parserRest_.size() + size;
  parserRest_.clear();
  ParseBytes(joined->data, joinedSize, pts, joined.get(), true);
}

void CodecFeed::ParseBytes(const uint8_t* data, size_t size, int64_t pts, AVBufferRef* owner, bool waitForRoom) {
  size_t left = size;
  while (left > 0 && !output_.Abandoned()) {
    uint8_t* out = nullptr;
    int outSize = 0;
    const int piece = static_cast<int>(std::min<size_t>(left, 1 << 30));
    int used = av_parser_parse2(parser_.get(), parserContext_, &out, &outSize, data, piece, pts, pts, -1);
    if (used < 0 || used > piece) used = piece;
    data += used;
    left -= static_cast<size_t>(used);
    if (outSize > 0) {
      const size_t mean = packetBytes_.load(std::memory_order_relaxed);
      packetBytes_.store(mean ? (7 * mean + static_cast<size_t>(outSize)) / 8 : static_cast<size_t>(outSize),
                         std::memory_order_relaxed);
      SendPacket(out, outSize, parser_->pts, owner);
      if (waitForRoom) output_.WaitForRoom();
    } else if (used == 0) {
      // The parser takes these bytes with the next ones. Past the bound they are dropped, and
      // the picture they held gets a placeholder.
      if (left <= kMaxParserRest) {
        parserRest_.assign(data, data + left);
      } else {
        const int64_t tag = nextTag_++;
        order_.Sent(tag, pts, std::nullopt, false);
        order_.Refused(tag);
        PassSlots();
      }
      break;
    }
  }
}

bool CodecFeed::SendPacket(const uint8_t* data, int size, int64_t pts, AVBufferRef* owner) {
  PictureNumber number;
  switch (codecId_) {
    case MFX_CODEC_AVC: number = numbering_.Avc(data, static_cast<size_t>(size), sequence_); break;
    case MFX_CODEC_MPEG2: number = numbering_.Mpeg2(data, static_cast<size_t>(size)); break;
    default: number = numbering_.Vc1(data, static_cast<size_t>(size), parser_->pict_type); break;
  }
  // Each picture's packet carries a tag of its own through libavcodec, which tells which
  // picture came out; a second field carries its first field's.
  int64_t tag = -1;
  for (const PictureNumber::Empty& empty : number.withoutData) {
    // A picture whose slices are lost: libavcodec gives nothing for it.
    const int64_t lost = nextTag_++;
    order_.Sent(lost, pts, empty.number, empty.restart);
    order_.Refused(lost);
  }
  if (number.secondField) {
    tag = lastTag_;
  } else if (number.picture) {
    tag = lastTag_ = nextTag_++;
    order_.Sent(tag, pts, number.number, number.restart, number.modulus, number.restartInferred,
                number.before);
  }
  if (leading_.Dropped(number, numbering_.ClosedGop(), numbering_.BrokenLink())) {
    if (tag >= 0) order_.Refused(tag);
    PassSlots();
    return true;
  }
  std::vector<uint8_t> kept;
  if (number.dropEnd > number.dropBegin) {
    kept.reserve(static_cast<size_t>(size) - (number.dropEnd - number.dropBegin) + AV_INPUT_BUFFER_PADDING_SIZE);
    kept.assign(data, data + number.dropBegin);
    kept.insert(kept.end(), data + number.dropEnd, data + size);
    size = static_cast<int>(kept.size());
    kept.resize(kept.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    data = kept.data();
    owner = nullptr;
  }
  // A packet that lies in a handed-over chunk shares its buffer instead of being copied.
  if (owner && data >= owner->data && data + size <= owner->data + owner->size) packet_->buf = av_buffer_ref(owner);
  packet_->data = const_cast<uint8_t*>(data);
  packet_->size = size;
  packet_->pts = tag >= 0 ? tag : AV_NOPTS_VALUE;
  packet_->dts = AV_NOPTS_VALUE;
  const bool mayRefuse = tag >= 0 && !number.secondField;
  if (sliceThreads_)
    replay_.Add(data, static_cast<size_t>(size), packet_->pts,
                parser_->pict_type == AV_PICTURE_TYPE_I && !number.secondField, mayRefuse,
                AV_INPUT_BUFFER_PADDING_SIZE);
  const int r = SendToCodec();
  if (r != kReplaced) {
    // A picture the decoder refused (its slice headers damaged) still has its slot.
    if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_EOF && mayRefuse) order_.Refused(tag);
    ReceiveFrames();
  }
  av_packet_unref(packet_);
  // A log too long to keep: the one-thread decoder takes over now, while nothing is damaged.
  if (sliceThreads_ && replay_.Full()) TakeOneThread();
  PassSlots();
  return r >= 0;
}

int CodecFeed::SendToCodec() {
  int r = AVERROR(EAGAIN);
  for (int attempt = 0; attempt < 64 && r == AVERROR(EAGAIN); ++attempt) {
    r = avcodec_send_packet(codec_, packet_);
    if (DamageSeen(nullptr)) {
      TakeOneThread();
      return kReplaced;
    }
    if (r == AVERROR(EAGAIN) && ReceiveFrames()) return kReplaced;
  }
  return r;
}

bool CodecFeed::DamageSeen(const AVFrame* frame) const {
  return sliceThreads_ &&
         (damageReports_.load(std::memory_order_relaxed) > 0 || (frame && frame->decode_error_flags));
}

void CodecFeed::TakeOneThread() {
  AVCodecContext* single = OpenMpeg2(1);
  if (!single) throw std::bad_alloc();
  avcodec_free_context(&codec_);
  codec_ = single;
  sliceThreads_ = false;
  ReplayLog log = std::move(replay_);
  replay_.Clear();
  av_packet_unref(packet_);
  struct Replaying {
    ReplayLog*& current;
    ~Replaying() { current = nullptr; }
  } replaying{replaying_};
  replaying_ = &log;
  if (const std::vector<uint8_t>* sequence = log.FirstSequence()) {
    packet_->data = const_cast<uint8_t*>(sequence->data());
    packet_->size = static_cast<int>(sequence->size() - AV_INPUT_BUFFER_PADDING_SIZE);
    packet_->pts = packet_->dts = AV_NOPTS_VALUE;
    SendToCodec();
    ReceiveFrames();
  }
  for (const ReplayLog::Packet& kept : log.Packets()) {
    packet_->data = const_cast<uint8_t*>(kept.bytes.data());
    packet_->size = static_cast<int>(kept.size);
    packet_->pts = kept.pts;
    packet_->dts = AV_NOPTS_VALUE;
    const int r = SendToCodec();
    if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_EOF && kept.mayRefuse) order_.Refused(kept.pts);
    ReceiveFrames();
  }
  packet_->data = nullptr;
  packet_->size = 0;
}

bool CodecFeed::ReceiveFrames() {
  FramePtr frame;
  for (int errors = 0;;) {
    if (!frame) frame.reset(av_frame_alloc());
    if (!frame) break;  // the pictures stay in libavcodec until the next call
    const int r = avcodec_receive_frame(codec_, frame.get());
    if (DamageSeen(r == 0 ? frame.get() : nullptr)) {
      // What came out with the damage is the one-thread decoder's to give.
      TakeOneThread();
      return true;
    }
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
    if (r < 0) {
      // A decode failure that surfaces here (frame threads report it late): the picture's
      // slot is given up once libavcodec cannot give it any more.
      if (++errors == 64) break;
      continue;
    }
    if (replaying_ && replaying_->TakeGivenOut(frame->pts)) {
      av_frame_unref(frame.get());  // the threaded decoder gave it out already
      continue;
    }
    if (sliceThreads_) replay_.GaveOut(frame->pts);
    const int64_t id = order_.Decoded(frame->pts == AV_NOPTS_VALUE ? -1 : frame->pts);
    if (id == -1) {
      av_frame_unref(frame.get());  // its slot went out as a placeholder; the frame is reused
      continue;
    }
    held_.emplace_back(id, std::move(frame));
  }
  return false;
}

void CodecFeed::PassSlots() {
  DisplayOrder::Slot slot;
  while (order_.Next(&slot)) {
    DecodedPicture picture;
    picture.pts = slot.pts;
    picture.corrupt = true;
    picture.restart = slot.restart;
    // VC-1 pictures carry no number of their own: the order the engine gives them tells
    // the application nothing it can check.
    picture.numberKnown = slot.numberKnown && codecId_ != MFX_CODEC_VC1;
    picture.number = slot.number;
    picture.modulus = slot.modulus;
    picture.inferred = slot.inferred;
    if (slot.decoded) {
      auto it = std::find_if(held_.begin(), held_.end(), [&](const auto& h) { return h.first == slot.id; });
      if (it != held_.end()) {
        picture.frame = std::move(it->second);
        held_.erase(it);
      }
    }
    if (const AVFrame* frame = picture.frame.get()) {
      picture.corrupt = (frame->flags & AV_FRAME_FLAG_CORRUPT) || frame->decode_error_flags;
      // Shown before the start's I picture: a leading picture of an open GOP.
      if (leading_.BeforeStartIntra(*frame)) picture.corrupt = true;
    }
    output_.Put(std::move(picture));
  }
}

void CodecFeed::Drain() {
  if (!codec_) return;
  // Bytes the parser left, while it takes any (the output may grow past the pictures ahead).
  for (int idle = 0; idle < 2 && !parserRest_.empty();) {
    std::vector<uint8_t> rest = std::move(parserRest_);
    parserRest_.clear();
    const size_t size = rest.size();
    rest.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    ParseBytes(rest.data(), size, AV_NOPTS_VALUE, nullptr, false);
    idle = parserRest_.size() < size ? 0 : idle + 1;
  }
  uint8_t* out = nullptr;
  int outSize = 0;
  av_parser_parse2(parser_.get(), parserContext_, &out, &outSize, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, -1);
  if (outSize > 0) SendPacket(out, outSize, parser_->pts, nullptr);
  // Once more when the one-thread decoder took over during the drain.
  do avcodec_send_packet(codec_, nullptr);
  while (ReceiveFrames());
  // Whatever has not come out now never will.
  order_.End();
  PassSlots();
}

}  // namespace tessivar::mfxsw
