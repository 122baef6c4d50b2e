#include "sw_decoder.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "bit_reader.h"
#include "nv12_writer.h"
#include "platform/mfx/picture_identity.h"
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

// Packets libavcodec may take before it gives a picture out: the largest reorder buffer and
// the frame threads' pipeline, with some to spare for output out of turn after damage.
int64_t HoldPackets(uint32_t codecId, int threads) {
  return codecId == MFX_CODEC_AVC ? 16 + threads + 2 : 8;
}

// libavcodec's own messages (concealment notes such as "mmco: unref short failure" on random
// access into pyramid-B streams, "overread" on damaged MPEG-2, parser notes) are not the
// user's business: the engine reports through its statuses. Only a fatal message passes on.
void QuietCodecLog(void* object, int level, const char* format, va_list args) {
  if (level > AV_LOG_FATAL) return;
  av_log_default_callback(object, level, format, args);
}

// Most bytes kept for a parser that does not take them; past it they are dropped.
constexpr size_t kMaxParserRest = 8 << 20;

// Bytes handed to the decode thread at a time: enough for the pictures ahead twice over.
size_t HandOverSize(size_t packetBytes) {
  return std::clamp<size_t>(2 * SwDecoder::kPicturesAhead * packetBytes, 16 << 10, 2 << 20);
}

}  // namespace

SwDecoder::~SwDecoder() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      abort_ = true;
    }
    work_.notify_all();
    thread_.join();
  }
  for (Chunk& chunk : input_) av_buffer_unref(&chunk.buffer);
  ClearQueueLocked();
  for (auto& held : held_) av_frame_free(&held.second);
  for (AVFrame*& frame : spareFrames_) av_frame_free(&frame);
  CloseCodec();
  if (parser_) av_parser_close(parser_);
  avcodec_free_context(&parserContext_);
  av_packet_free(&packet_);
}

mfxStatus SwDecoder::Init(const mfxVideoParam& par) {
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_callback(QuietCodecLog); });
  params_ = par;
  params_.ExtParam = nullptr;
  params_.NumExtParam = 0;
  params_.mfx.DecodedOrder = 0;
  codecId_ = par.mfx.CodecId;
  const AVCodec* codec = avcodec_find_decoder(CodecOf(codecId_));
  packet_ = av_packet_alloc();
  parserContext_ = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (!codec || !packet_ || !parserContext_) return MFX_ERR_MEMORY_ALLOC;
  ResetParser();
  if (!parser_) return MFX_ERR_MEMORY_ALLOC;
  gated_ = true;
  try {
    thread_ = std::thread(&SwDecoder::DecodeLoop, this);
  } catch (const std::system_error&) {
    return MFX_ERR_MEMORY_ALLOC;
  }
  return MFX_ERR_NONE;
}

void SwDecoder::StopDecoding(std::unique_lock<std::mutex>& lock) {
  abort_ = true;
  for (Chunk& chunk : input_) av_buffer_unref(&chunk.buffer);
  input_.clear();
  inputBytes_ = 0;
  work_.notify_all();
  // The thread drops its chunk at the next packet boundary.
  done_.wait(lock, [this] { return !busy_; });
  abort_ = false;
  ClearQueueLocked();
}

mfxStatus SwDecoder::Reset(const mfxVideoParam& par) {
  bool flush = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    StopDecoding(lock);
    // The flush keeps the decoder and its threads. It waits for the pictures in flight, so the
    // decode thread does it while the application positions its input. A codec that failed is
    // closed below instead.
    flush = flushPending_ = codec_ && !failed_;
  }
  if (flush) work_.notify_all();
  const uint16_t width = params_.mfx.FrameInfo.Width, height = params_.mfx.FrameInfo.Height;
  params_ = par;
  params_.ExtParam = nullptr;
  params_.NumExtParam = 0;
  params_.mfx.DecodedOrder = 0;
  params_.mfx.FrameInfo.Width = width;  // the Init size stays the upper bound
  params_.mfx.FrameInfo.Height = height;
  if (failed_) {
    CloseCodec();
    failed_ = false;
  }
  StartOver();
  gated_ = true;
  haveSequence_ = false;
  headerCheckedHere_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outOfMemory_ = false;
  }
  return parser_ ? MFX_ERR_NONE : MFX_ERR_MEMORY_ALLOC;
}

void SwDecoder::StartOver() {
  av_packet_unref(packet_);
  ResetParser();
  order_.Clear();
  numbering_.Restart();
  for (auto& [id, frame] : held_) av_frame_free(&frame);
  held_.clear();
  drained_ = false;
  referencesSinceStart_ = 0;
  intraShownSinceStart_ = false;
  lastDropped_ = false;
  lastTag_ = -1;
  frameOrder_ = 0;
}

void SwDecoder::ResetParser() {
  parserRest_.clear();
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
      // The simple IDCT, named rather than left to the automatic choice: on x86-64 that choice
      // gives the same pictures, but on 32-bit x86 it takes an assembly transform that rounds
      // differently, and the pictures would then differ by build.
      codec_->idct_algo = FF_IDCT_SIMPLE;
      // One thread: with slice threads, libavcodec conceals a damaged picture differently from
      // run to run (and often with rows of another picture), so the same frame served twice
      // could show two pictures. One thread decodes 1080 pictures far faster than real time.
      codec_->thread_count = 1;
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

void SwDecoder::ClearQueueLocked() {
  for (Picture& p : ready_) SpareLocked(p.frame);
  ready_.clear();
}

void SwDecoder::SpareLocked(AVFrame* frame) {
  if (!frame) return;
  av_frame_unref(frame);
  try {
    spareFrames_.push_back(frame);
  } catch (const std::bad_alloc&) {
    av_frame_free(&frame);
  }
}

void SwDecoder::RecycleFrame(AVFrame* frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  SpareLocked(frame);
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
  // How the numbers of this sequence's pictures place them. VC-1 gives a skipped picture out
  // as its reference again, under that picture's tag.
  order_.Configure(HoldPackets(codecId_, codec_->thread_count), codecId_ == MFX_CODEC_VC1);
  return first ? MFX_ERR_NONE : MFX_WRN_VIDEO_PARAM_CHANGED;
}

bool SwDecoder::HandOver(const uint8_t* data, size_t size, int64_t pts) {
  Chunk chunk;
  chunk.buffer = av_buffer_alloc(static_cast<int>(size + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!chunk.buffer) return false;
  std::memcpy(chunk.buffer->data, data, size);
  std::memset(chunk.buffer->data + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  chunk.size = size;
  chunk.pts = pts;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      input_.push_back(chunk);
    } catch (const std::bad_alloc&) {
      av_buffer_unref(&chunk.buffer);
      return false;
    }
    inputBytes_ += size;
  }
  work_.notify_all();
  return true;
}

SwDecoder::Take SwDecoder::TakeInput(mfxBitstream* bs, bool topUp, mfxStatus* status) {
  const bool atEnd = (bs->DataFlag & MFX_BITSTREAM_EOS) != 0;
  const int64_t pts = bs->TimeStamp == static_cast<mfxU64>(MFX_TIMESTAMP_UNKNOWN) ? AV_NOPTS_VALUE
                                                                                : static_cast<int64_t>(bs->TimeStamp);
  const size_t budget = HandOverSize(packetBytes_.load(std::memory_order_relaxed));
  bool consumed = false;
  while (bs->DataLength > 0) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (inputBytes_ >= budget) return Take::kDone;
    }
    const uint8_t* data = bs->Data + bs->DataOffset;
    const size_t size = bs->DataLength;
    if (gated_) {
      // Input before the first sequence header is skipped; the last bytes stay, they may be
      // the beginning of a start code. After a Reset, an MPEG-2 GOP header also ends the gate
      // while the decoder still holds the sequence header from before: a GOP whose own
      // sequence header is damaged is decoded instead of lost.
      const bool resumable = codec_ && codecId_ == MFX_CODEC_MPEG2 && !sequenceUnit_.empty();
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
        // A new header is checked once everything before it is decoded and handed out.
        if (topUp) return Take::kDone;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (!IdleLocked() || !ready_.empty()) return Take::kWaitIdle;
        }
        mfxStatus st = CheckSequenceHeader(data, size, atEnd, &incomplete);
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
    if (!codec_) {
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
    if (!HandOver(data, end, pts)) {
      *status = MFX_ERR_MEMORY_ALLOC;
      return Take::kStatus;
    }
    Consume(bs, end);
    consumed = true;
  }
  return consumed ? Take::kDone : Take::kNeedMore;
}

void SwDecoder::DecodeLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stop_ || flushPending_ || (!input_.empty() && ready_.size() < kPicturesAhead); });
    if (stop_) return;
    if (flushPending_) {
      flushPending_ = false;
      busy_ = true;
      lock.unlock();
      avcodec_flush_buffers(codec_);  // set only while a codec is open
      lock.lock();
      busy_ = false;
      done_.notify_all();
      continue;
    }
    Chunk chunk = input_.front();
    input_.pop_front();
    busy_ = true;
    lock.unlock();
    bool outOfMemory = false;
    try {
      DecodeChunk(chunk);
    } catch (const std::bad_alloc&) {
      // The picture in hand is lost, so the output count cannot stay exact: the caller gets
      // MFX_ERR_MEMORY_ALLOC once the pictures before it are out.
      av_packet_unref(packet_);
      outOfMemory = true;
    }
    av_buffer_unref(&chunk.buffer);
    lock.lock();
    inputBytes_ -= std::min(inputBytes_, chunk.size);
    if (outOfMemory) {
      outOfMemory_ = true;
      for (Chunk& rest : input_) av_buffer_unref(&rest.buffer);
      input_.clear();
      inputBytes_ = 0;
    }
    busy_ = false;
    done_.notify_all();
  }
}

void SwDecoder::WaitForRoom() {
  std::unique_lock<std::mutex> lock(mutex_);
  work_.wait(lock, [this] { return ready_.size() < kPicturesAhead || abort_ || stop_; });
}

void SwDecoder::DecodeChunk(const Chunk& chunk) {
  if (parserRest_.empty()) {
    ParseBytes(chunk.buffer->data, chunk.size, chunk.pts, chunk.buffer, true);
    return;
  }
  // The bytes the parser left last time come first.
  AVBufferRef* joined = av_buffer_alloc(static_cast<int>(parserRest_.size() + chunk.size + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!joined) throw std::bad_alloc();
  std::memcpy(joined->data, parserRest_.data(), parserRest_.size());
  std::memcpy(joined->data + parserRest_.size(), chunk.buffer->data, chunk.size);
  std::memset(joined->data + parserRest_.size() + chunk.size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  const size_t size = parserRest_.size() + chunk.size;
  parserRest_.clear();
  try {
    ParseBytes(joined->data, size, chunk.pts, joined, true);
  } catch (...) {
    av_buffer_unref(&joined);
    throw;
  }
  av_buffer_unref(&joined);
}

void SwDecoder::ParseBytes(const uint8_t* data, size_t size, int64_t pts, AVBufferRef* owner, bool waitForRoom) {
  size_t left = size;
  while (left > 0 && !abort_) {
    uint8_t* out = nullptr;
    int outSize = 0;
    const int piece = static_cast<int>(std::min<size_t>(left, 1 << 30));
    int used = av_parser_parse2(parser_, parserContext_, &out, &outSize, data, piece, pts, pts, -1);
    if (used < 0 || used > piece) used = piece;
    data += used;
    left -= static_cast<size_t>(used);
    if (outSize > 0) {
      const size_t mean = packetBytes_.load(std::memory_order_relaxed);
      packetBytes_.store(mean ? (7 * mean + static_cast<size_t>(outSize)) / 8 : static_cast<size_t>(outSize),
                         std::memory_order_relaxed);
      SendPacket(out, outSize, parser_->pts, owner);
      if (waitForRoom) WaitForRoom();
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

bool SwDecoder::SendPacket(const uint8_t* data, int size, int64_t pts, AVBufferRef* owner) {
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
    order_.Sent(tag, pts, number.number, number.restart, number.modulus, number.restartInferred, number.before);
  }
  if (codecId_ == MFX_CODEC_MPEG2 || codecId_ == MFX_CODEC_VC1) {
    // libavcodec drops B pictures that arrive before it holds two references (the leading
    // pictures of an open GOP): they are not sent, and their slots get placeholders.
    bool dropped = number.type == 3 && referencesSinceStart_ < 2 &&
                   (codecId_ == MFX_CODEC_VC1 || !numbering_.ClosedGop() || numbering_.BrokenLink());
    if (number.secondField) {
      dropped = lastDropped_;
    } else {
      lastDropped_ = dropped;
      if (number.type == 1 || number.type == 2) ++referencesSinceStart_;
    }
    if (dropped) {
      if (tag >= 0) order_.Refused(tag);
      PassSlots();
      return true;
    }
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
  bool sent = false;
  for (int attempt = 0; attempt < 64; ++attempt) {
    int r = avcodec_send_packet(codec_, packet_);
    if (r == AVERROR(EAGAIN)) {
      ReceiveFrames();
      continue;
    }
    // A picture the decoder refused (its slice headers damaged) still has its slot.
    if (r < 0 && r != AVERROR_EOF && tag >= 0 && !number.secondField) order_.Refused(tag);
    ReceiveFrames();
    sent = r >= 0;
    break;
  }
  av_packet_unref(packet_);
  PassSlots();
  return sent;
}

void SwDecoder::Queue(Picture picture) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      ready_.push_back(picture);
    } catch (const std::bad_alloc&) {
      av_frame_free(&picture.frame);
      throw;
    }
  }
  done_.notify_all();
}

bool SwDecoder::ReceiveFrames() {
  bool any = false;
  AVFrame* frame = nullptr;
  for (int errors = 0;;) {
    if (!frame) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!spareFrames_.empty()) {
        frame = spareFrames_.back();
        spareFrames_.pop_back();
      }
    }
    if (!frame && !(frame = av_frame_alloc())) break;
    const int r = avcodec_receive_frame(codec_, frame);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
    if (r < 0) {
      // A decode failure that surfaces here (frame threads report it late): the picture's
      // slot is given up once libavcodec cannot give it any more.
      if (++errors == 64) break;
      continue;
    }
    int64_t id = -1;
    try {
      id = order_.Decoded(frame->pts == AV_NOPTS_VALUE ? -1 : frame->pts);
      if (id != -1) held_.emplace_back(id, frame);
    } catch (const std::bad_alloc&) {
      av_frame_free(&frame);
      throw;
    }
    if (id == -1) continue;  // its slot went out as a placeholder; the frame is reused
    frame = nullptr;
    any = true;
  }
  if (frame) RecycleFrame(frame);
  return any;
}

void SwDecoder::PassSlots() {
  DisplayOrder::Slot slot;
  while (order_.Next(&slot)) {
    Picture picture;
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
        picture.frame = it->second;
        held_.erase(it);
      }
    }
    if (picture.frame) {
      picture.corrupt = (picture.frame->flags & AV_FRAME_FLAG_CORRUPT) || picture.frame->decode_error_flags;
      if (codecId_ == MFX_CODEC_AVC && !intraShownSinceStart_) {
        // Shown before the start's I picture: a leading picture of an open GOP. libavcodec
        // marks those only while it holds pictures back, not when a drain releases them.
        if (picture.frame->pict_type == AV_PICTURE_TYPE_I || picture.frame->key_frame) intraShownSinceStart_ = true;
        else picture.corrupt = true;
      }
    }
    Queue(picture);
  }
}

void SwDecoder::Drain() {
  drained_ = true;
  if (!codec_) return;
  // Bytes the parser left, while it takes any (the queue may grow past the pictures ahead:
  // this runs on the caller's thread).
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
  av_parser_parse2(parser_, parserContext_, &out, &outSize, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, -1);
  if (outSize > 0) SendPacket(out, outSize, parser_->pts, nullptr);
  avcodec_send_packet(codec_, nullptr);
  ReceiveFrames();
  // Whatever has not come out now never will.
  order_.End();
  PassSlots();
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
  if (mfxExtPictureIdentity* identity = FindPictureIdentity(work->Data)) {
    identity->filled = 1;
    identity->decoded = picture.frame ? 1 : 0;
    identity->numberKnown = picture.numberKnown ? 1 : 0;
    identity->restart = static_cast<mfxU32>(picture.restart);
    identity->number = picture.number;
    identity->modulus = static_cast<mfxU32>(picture.modulus);
    identity->inferredRestarts = static_cast<mfxU32>(picture.inferred);
  }
}

mfxStatus SwDecoder::DecodeStep(mfxBitstream* bs, mfxFrameSurface1* work) {
  const bool endOfStream = !bs || (bs->DataFlag & MFX_BITSTREAM_EOS);
  std::unique_lock<std::mutex> lock(mutex_);
  const auto pictureOrIdle = [this] { return !ready_.empty() || IdleLocked(); };
  for (;;) {
    // A Reset or restart that could not make its parser leaves nothing to decode with.
    if (!parser_ && ready_.empty()) return MFX_ERR_MEMORY_ALLOC;
    if (!ready_.empty()) {
      Picture next = ready_.front();
      const int width = next.frame ? next.frame->width : 0, height = next.frame ? next.frame->height : 0;
      if (!SurfaceCanHold(*work, width, height)) return MFX_ERR_UNDEFINED_BEHAVIOR;
      ready_.pop_front();
      lock.unlock();
      work_.notify_all();  // room for one more picture ahead
      // Keep the decode thread supplied while this picture is written out; an allocation that
      // fails here only leaves the bytes for the next call.
      mfxStatus ignored = MFX_ERR_NONE;
      try {
        if (bs && bs->DataLength > 0 && parser_ && !failed_ && !drained_) TakeInput(bs, true, &ignored);
      } catch (const std::bad_alloc&) {
      }
      EmitPicture(next, work);
      RecycleFrame(next.frame);
      return MFX_ERR_NONE;
    }
    if (failed_) return MFX_ERR_UNSUPPORTED;
    if (outOfMemory_) return MFX_ERR_MEMORY_ALLOC;
    Take take = Take::kNeedMore;
    if (bs && bs->DataLength > 0) {
      if (drained_) {
        // New input after a drain: the decoder starts over, without waiting for a header.
        done_.wait(lock, [this] { return IdleLocked(); });
        if (codec_) avcodec_flush_buffers(codec_);
        StartOver();
        if (!parser_) return MFX_ERR_MEMORY_ALLOC;
      }
      lock.unlock();
      mfxStatus status = MFX_ERR_NONE;
      take = TakeInput(bs, false, &status);
      lock.lock();
      if (take == Take::kStatus) return status;
      if (take == Take::kWaitIdle) {
        done_.wait(lock, pictureOrIdle);
        continue;
      }
    }
    if (!IdleLocked()) {
      done_.wait(lock, pictureOrIdle);
      continue;
    }
    if (!ready_.empty() || take == Take::kDone) continue;
    if (endOfStream && (!bs || bs->DataLength == 0) && !drained_) {
      lock.unlock();
      Drain();
      lock.lock();
      continue;
    }
    return MFX_ERR_MORE_DATA;
  }
}

}  // namespace tessivar::mfxsw
