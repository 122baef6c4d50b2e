// One software decoder of a session, as MFXVideoDECODE defines it: the bitstream intake, the
// sequence header checks and the pictures given out, one output per coded picture.
//
// Decoding runs ahead of the application on the decoder's own thread (decode_thread.h): a
// call hands the thread the bytes it takes from the bitstream and returns the oldest decoded
// picture. Sequence headers are checked here, on the application's thread, before their bytes
// are handed over; a new one is taken once everything before it is decoded and given out.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <mfx/mfxstructures.h>

#include "decode_thread.h"
#include "stream_headers.h"

namespace tessivar::mfxsw {

class SwDecoder {
 public:
  SwDecoder() = default;
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

 private:
  enum class Take { kDone, kNeedMore, kStatus, kWaitIdle };

  Take TakeInput(mfxBitstream* bs, bool topUp, mfxStatus* status);
  bool SameSequenceHeader(const uint8_t* data, size_t size, bool atEnd, bool* incomplete) const;
  // Runs while the decode thread is idle: a new header may open the codec.
  mfxStatus CheckSequenceHeader(CodecFeed& feed, const uint8_t* data, size_t size, bool atEnd, bool* incomplete);
  void Consume(mfxBitstream* bs, size_t bytes);
  void StartCounting();  // what every new start forgets on this side

  mfxVideoParam params_{};
  uint32_t codecId_ = 0;
  std::unique_ptr<DecodeThread> decoding_;
  bool codecOpen_ = false;             // the feed's codec is open (this side opens and closes it)
  SequenceInfo sequence_{};            // of the pictures given out
  std::vector<uint8_t> sequenceUnit_;  // the active sequence header, to notice changes
  bool haveSequence_ = false;
  bool gated_ = true;                  // skipping input up to a sequence header
  bool headerCheckedHere_ = false;     // the header at the current DataOffset was checked
  bool drained_ = false;               // the end of the input was handed over
  bool failed_ = false;                // the codec refused the stream; only Reset/Close help
  uint32_t frameOrder_ = 0;
};

}  // namespace tessivar::mfxsw
