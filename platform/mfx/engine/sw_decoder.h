// One software decoder of a session: bitstream intake, libavcodec decoding and the queue of
// pictures waiting for an output surface, in display order, one output per coded picture.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include <mfx/mfxstructures.h>

#include "stream_headers.h"

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
  // Forgets everything buffered and waits for a new sequence header.
  mfxStatus Reset(const mfxVideoParam& par);
  const mfxVideoParam& Params() const { return params_; }

  // One decode step as MFXVideoDECODE_DecodeFrameAsync defines it; on MFX_ERR_NONE the
  // picture has been written into `work`, whose Locked count the caller raises.
  mfxStatus DecodeStep(mfxBitstream* bs, mfxFrameSurface1* work);

 private:
  struct Picture {
    AVFrame* frame = nullptr;  // null: placeholder for a picture that cannot be decoded
    int64_t pts = 0;
    bool corrupt = false;
  };
  enum class Feed { kPicture, kNeedMore, kStatus };

  Feed FeedInput(mfxBitstream* bs, mfxStatus* status);
  mfxStatus CheckSequenceHeader(const uint8_t* data, size_t size, bool atEnd, bool* incomplete);
  bool OpenCodec(const uint8_t* block, size_t blockSize);
  void CloseCodec();
  void ResetParser();
  void Consume(mfxBitstream* bs, size_t bytes);
  bool SendPacket(const uint8_t* data, int size, int64_t pts);
  bool ReceiveFrames();
  void AddLostPicture(int64_t pts);  // a placeholder in the output queue
  void Drain();
  void ClearQueue();
  void EmitPicture(Picture& picture, mfxFrameSurface1* work);
  uint16_t PicStructOf(const AVFrame* frame) const;

  mfxVideoParam params_{};
  uint32_t codecId_ = 0;

  AVCodecContext* codec_ = nullptr;
  AVCodecParserContext* parser_ = nullptr;
  AVCodecContext* parserContext_ = nullptr;  // never opened; the parser writes into it
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;

  SequenceInfo sequence_{};
  std::vector<uint8_t> sequenceUnit_;  // the active sequence header, to notice changes
  bool haveSequence_ = false;
  bool gated_ = true;                  // skipping input up to a sequence header
  bool headerCheckedHere_ = false;     // the header at the current DataOffset was checked
  bool draining_ = false;
  bool drained_ = false;
  bool failed_ = false;                // the codec refused the stream; only Reset/Close help

  // Leading pictures that libavcodec drops (MPEG-2, VC-1): references seen since the start.
  int referencesSinceStart_ = 0;
  bool intraShownSinceStart_ = false;  // H.264: the start's I picture has been output
  bool closedGop_ = false;
  bool brokenLink_ = false;

  std::deque<Picture> ready_;
  uint32_t frameOrder_ = 0;
};

}  // namespace tessivar::mfxsw
