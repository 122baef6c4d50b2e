// The libavcodec side of the decoder: the parser that cuts the input into pictures, the numbers
// that place each picture, the packets sent, the frames received and the display slots they
// fill, given out to an Output in display order.
//
// One thread at a time uses it: the decode thread owns it (see decode_thread.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "decoded_picture.h"
#include "display_order.h"
#include "leading_pictures.h"
#include "picture_numbers.h"
#include "replay_log.h"
#include "stream_headers.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace tessivar::mfxsw {

class CodecFeed {
 public:
  // A parser for the codec, made on any thread for StartOver; null when out of memory.
  static ParserPtr MakeParser(uint32_t codecId);

  // Where the pictures go.
  class Output {
   public:
    virtual void Put(DecodedPicture picture) = 0;
    // Called after each packet while decoding ahead; returns once there is room for more.
    virtual void WaitForRoom() = 0;
    // The bytes in hand are no longer wanted (a reset, the end).
    virtual bool Abandoned() const = 0;

   protected:
    ~Output() = default;
  };

  CodecFeed(uint32_t codecId, Output& output);
  ~CodecFeed();
  CodecFeed(const CodecFeed&) = delete;
  CodecFeed& operator=(const CodecFeed&) = delete;

  // False when the parser or the packet could not be made.
  bool Usable() const { return parser_ && parserContext_ && packet_; }

  // Opens the codec for the stream's first sequence header (`block`: the header and what
  // belongs with it, VC-1's entry point). False when libavcodec will not open it.
  bool Open(const SequenceInfo& sequence, const uint8_t* block, size_t blockSize);
  bool IsOpen() const { return codec_ != nullptr; }
  // The sequence header the pictures from here on belong to.
  void UseSequence(const SequenceInfo& sequence);

  // Forgets everything in flight: slots, numbers, held pictures, and the parser, for `parser`
  // (not null). The codec is flushed and kept, or closed (one that refused the stream).
  void StartOver(ParserPtr parser, bool closeCodec);
  // Decodes the bytes, after whatever the parser left of the last ones. `owner` holds them
  // (with padding); packets that lie in it share it instead of being copied.
  void Decode(const uint8_t* data, size_t size, int64_t pts, AVBufferRef* owner);
  // No more input: everything decodable comes out, and placeholders for the rest.
  void Drain();
  // After an allocation failed inside Decode or Drain: the packet in hand is dropped.
  void DropPacket();

  // Running mean of the packet sizes, read from any thread.
  size_t MeanPacketBytes() const { return packetBytes_.load(std::memory_order_relaxed); }

 private:
  void ParseBytes(const uint8_t* data, size_t size, int64_t pts, AVBufferRef* owner, bool waitForRoom);
  bool SendPacket(const uint8_t* data, int size, int64_t pts, AVBufferRef* owner);
  // Sends packet_, taking pictures out while libavcodec has no room for it. libavcodec's
  // answer, or kReplaced.
  int SendToCodec();
  // Takes the pictures libavcodec has ready. True when damage made the one-thread decoder
  // take over (kReplaced).
  bool ReceiveFrames();
  void PassSlots();  // the slots whose place is known, to the output

  // MPEG-2 on slice threads: damage libavcodec reported, or a picture it flagged.
  bool DamageSeen(const AVFrame* frame) const;
  // The one-thread decoder takes the slice-threaded one's place and decodes the replay log
  // again; what the threaded one gave out already is dropped. Throws std::bad_alloc when
  // it cannot be opened.
  void TakeOneThread();
  AVCodecContext* OpenMpeg2(int threads);
  static constexpr int kReplaced = 1;

  const uint32_t codecId_;
  Output& output_;
  AVCodecContext* codec_ = nullptr;
  ParserPtr parser_;
  AVCodecContext* parserContext_ = nullptr;  // never opened; the parser writes into it
  AVPacket* packet_ = nullptr;
  SequenceInfo sequence_{};
  std::vector<uint8_t> parserRest_;  // bytes the parser left in its last call
  PictureNumbering numbering_;
  DisplayOrder order_;
  LeadingPictures leading_;
  std::vector<std::pair<int64_t, FramePtr>> held_;  // decoded, waiting for their slot
  // MPEG-2: decoding on slice threads, until damage; the packets since the I picture before
  // last, for the one-thread decoder that then takes over (replay_log.h).
  bool sliceThreads_ = false;
  ReplayLog replay_;
  ReplayLog* replaying_ = nullptr;  // during the take-over: what came out already
  // Error messages libavcodec logged for the slice-threaded decoder, from any of its threads.
  std::atomic<int> damageReports_{0};
  int64_t nextTag_ = 0;
  int64_t lastTag_ = -1;  // the last picture's tag, for its second field
  std::atomic<size_t> packetBytes_{0};
};

}  // namespace tessivar::mfxsw
