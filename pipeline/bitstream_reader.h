// Refills the decoder's input buffer with whole stream units pulled from the source
// side, gathered behind the bytes the decoder has not read yet.
#pragma once

#include <mfx/mfxstructures.h>

#include "source/source_state.h"

// Pulling stops once this many bytes have come together.
constexpr uint32_t kStagingTarget = 0x500000;

class CSmplBitstreamReader {
 public:
  CSmplBitstreamReader() = default;
  virtual ~CSmplBitstreamReader() = default;
  CSmplBitstreamReader(const CSmplBitstreamReader&) = delete;
  CSmplBitstreamReader& operator=(const CSmplBitstreamReader&) = delete;

  // Moves the unread bytes to the front, pulls units until about 5 MiB have come
  // together (or the source ends), and appends them. 0 when data was appended,
  // -10 when the source gave nothing.
  //
  // A unit is never cut and never dropped: when the next unit would not fit in the
  // staging buffer or in the bitstream's free space, pulling stops before it and the
  // unit (still in the owner's unit buffer) is the first one taken by the next call.
  // -5 (MFX_ERR_NOT_ENOUGH_BUFFER) when such a unit finds no room even though
  // nothing was gathered: the decoder left too many bytes unread.
  virtual mfxStatus ReadNextFrame(mfxBitstream* bitstream, SourceState* owner, SourceState* unused);

  // Forgets a unit kept back from an earlier call (the source was repositioned).
  void DropHeldUnit() { unitHeld_ = false; }
  bool HasHeldUnit() const { return unitHeld_; }

 private:
  bool unitHeld_ = false;  // the owner's current unit was pulled but not yet appended
};
