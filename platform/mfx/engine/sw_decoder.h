// One software decoder of a session: bitstream intake, libavcodec decoding and the queue of
// pictures waiting for an output surface, in display order, one output per coded picture.
//
// Decoding runs ahead of the application on a thread of the decoder's own: a call hands the
// thread the bytes it takes from the bitstream and returns the oldest decoded picture, while
// the thread goes on decoding up to a fixed number of pictures ahead. Sequence headers are
// checked on the caller's thread before their bytes are handed over, and everything that
// touches libavcodec outside the thread (opening, draining) waits until the thread is idle.
// Reset leaves its flush to the thread, which does it before any new input.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <mfx/mfxstructures.h>

#include "display_order.h"
#include "picture_numbers.h"
#include "stream_headers.h"

struct AVBufferRef;
struct AVCodecContext;
struct AVCodecParserContext;
struct AVFrame;
struct AVPacket;

namespace tessivar::mfxsw {

class SwDecoder {
 public:
  SwDecoder() = default;
  ~SwDecoder();
  SwDecoder(const SwDecoder&) = delete;
  SwDecoder& operator=(const SwDecoder&) = delete;

  // Takes the parameters of Init (already validated by the caller).
  mfxStatus Init(const mfxVideoParam& par);
  // Forgets everything buffered or in flight and waits for a new sequence header (MPEG-2:
  // or a GOP header, decoded with the sequence header from before).
  mfxStatus Reset(const mfxVideoParam& par);
  const mfxVideoParam& Params() const { return params_; }

  // One decode step as MFXVideoDECODE_DecodeFrameAsync defines it; on MFX_ERR_NONE the
  // picture has been written into `work`, whose Locked count the caller raises.
  mfxStatus DecodeStep(mfxBitstream* bs, mfxFrameSurface1* work);

  // Pictures decoded at most ahead of the application. Frame threads give pictures out in
  // bursts (an anchor, then the B pictures that waited for it): with room for only two, the
  // thread stops feeding libavcodec in every burst and the threads run dry.
  static constexpr size_t kPicturesAhead = 4;

 private:
  struct Picture {
    AVFrame* frame = nullptr;  // null: placeholder for a picture that cannot be decoded
    int64_t pts = 0;
    bool corrupt = false;
    // What places it: its count's restarts since the start and its number in that count.
    int64_t restart = 0;
    bool numberKnown = false;
    int64_t number = 0;
    int64_t modulus = 0;
    int64_t inferred = 0;  // restarts inferred from lost pictures, among `restart`
  };
  struct Chunk {  // bytes handed to the decode thread
    AVBufferRef* buffer = nullptr;
    size_t size = 0;
    int64_t pts = 0;
  };
  enum class Take { kDone, kNeedMore, kStatus, kWaitIdle };

  // Caller's thread.
  Take TakeInput(mfxBitstream* bs, bool topUp, mfxStatus* status);
  bool SameSequenceHeader(const uint8_t* data, size_t size, bool atEnd, bool* incomplete) const;
  mfxStatus CheckSequenceHeader(const uint8_t* data, size_t size, bool atEnd, bool* incomplete);
  bool HandOver(const uint8_t* data, size_t size, int64_t pts);
  bool IdleLocked() const { return input_.empty() && !busy_ && !flushPending_; }
  void StopDecoding(std::unique_lock<std::mutex>& lock);
  bool OpenCodec(const uint8_t* block, size_t blockSize);
  void CloseCodec();
  void ResetParser();
  void StartOver();  // what every new start forgets: parser, pictures in flight, counts
  void Consume(mfxBitstream* bs, size_t bytes);
  void Drain();
  void ClearQueueLocked();
  void RecycleFrame(AVFrame* frame);
  void SpareLocked(AVFrame* frame);  // keeps the frame for reuse, or frees it
  void EmitPicture(Picture& picture, mfxFrameSurface1* work);
  uint16_t PicStructOf(const AVFrame* frame) const;

  // Decode thread (or the caller's, while the thread is idle).
  void DecodeLoop();
  void DecodeChunk(const Chunk& chunk);
  void ParseBytes(const uint8_t* data, size_t size, int64_t pts, AVBufferRef* owner, bool waitForRoom);
  bool SendPacket(const uint8_t* data, int size, int64_t pts, AVBufferRef* owner);
  bool ReceiveFrames();
  void PassSlots();  // the slots whose place is known, to the output queue
  void Queue(Picture picture);
  void WaitForRoom();

  // Caller's thread: the parameters, the input gate and the sequence header checks. The
  // codec, parser and packet are opened, reset and drained there while the decode thread is
  // idle, and used by the decode thread otherwise.
  mfxVideoParam params_{};
  uint32_t codecId_ = 0;

  AVCodecContext* codec_ = nullptr;
  AVCodecParserContext* parser_ = nullptr;
  AVCodecContext* parserContext_ = nullptr;  // never opened; the parser writes into it
  AVPacket* packet_ = nullptr;

  SequenceInfo sequence_{};            // written while the thread is idle, read by it
  std::vector<uint8_t> sequenceUnit_;  // the active sequence header, to notice changes
  bool haveSequence_ = false;
  bool gated_ = true;                  // skipping input up to a sequence header
  bool headerCheckedHere_ = false;     // the header at the current DataOffset was checked
  bool drained_ = false;
  bool failed_ = false;                // the codec refused the stream; only Reset/Close help
  // Decode thread, or the caller's while the thread is idle: bytes the parser left in its
  // last call, parsed before the next chunk.
  std::vector<uint8_t> parserRest_;

  // The pictures sent and their display slots (decode thread, or the caller's while the
  // thread is idle; Reset and the restart after a drain clear them).
  PictureNumbering numbering_;
  DisplayOrder order_;
  std::vector<std::pair<int64_t, AVFrame*>> held_;  // decoded, waiting for their slot
  int64_t nextTag_ = 0;
  int64_t lastTag_ = -1;               // the last picture's tag, for its second field
  // Leading pictures that libavcodec drops (MPEG-2, VC-1): references seen since the start.
  int referencesSinceStart_ = 0;
  bool lastDropped_ = false;           // the last picture was such a leading picture
  bool intraShownSinceStart_ = false;  // H.264: the start's I picture has been output
  uint32_t frameOrder_ = 0;            // caller's thread

  // Shared with the decode thread, under mutex_.
  std::mutex mutex_;
  std::condition_variable work_;  // to the thread: input, room, or stop
  std::condition_variable done_;  // to the caller: a picture, or the thread idle
  std::deque<Chunk> input_;
  size_t inputBytes_ = 0;
  bool busy_ = false;             // the thread is decoding a chunk
  bool stop_ = false;
  bool flushPending_ = false;     // a Reset's flush, done by the thread before new input
  bool outOfMemory_ = false;      // an allocation failed while decoding; only Reset/Close help
  std::atomic<bool> abort_{false};  // drop the chunk in hand (Reset, Close)
  std::deque<Picture> ready_;
  std::vector<AVFrame*> spareFrames_;
  std::atomic<size_t> packetBytes_{0};  // running mean of packet sizes, sizes the hand-over
  std::thread thread_;
};

}  // namespace tessivar::mfxsw
