#include "pipeline/bitstream_reader.h"

#include <algorithm>
#include <cstring>

#include "source/stream_readers.h"

mfxStatus CSmplBitstreamReader::ReadNextFrame(mfxBitstream* bitstream, SourceState* owner, SourceState*) {
  if (!bitstream || !owner) return MFX_ERR_NULL_PTR;
  if (bitstream->DataLength > bitstream->MaxLength ||
      bitstream->DataOffset > bitstream->MaxLength - bitstream->DataLength)
    return MFX_ERR_UNDEFINED_BEHAVIOR;

  if (bitstream->DataOffset != 0) {
    std::memmove(bitstream->Data, bitstream->Data + bitstream->DataOffset, bitstream->DataLength);
    bitstream->DataOffset = 0;
  }

  // A seek since the unit was kept back: the unit buffer no longer holds it (every
  // extraction clears needSync, every seek sets it).
  if (unitHeld_ && owner->needSync) unitHeld_ = false;

  const uint32_t room =
      static_cast<uint32_t>(std::min<uint64_t>(kStagingBufferSize, bitstream->MaxLength - bitstream->DataLength));
  // The units come together right behind the unread bytes, where they are appended: the
  // room is the same as in the staging buffer, and the bytes need no second copy.
  uint8_t* gathered = bitstream->Data + bitstream->DataLength;
  uint32_t fill = 0;
  while (fill < kStagingTarget) {
    if (!unitHeld_) {
      const int result = owner->codecKind == kCodecAvc ? ReadNextAvcUnit(owner) : ReadNextUnit(owner);
      if (result <= 0) break;
      unitHeld_ = true;
    }
    const StreamUnit* unit = owner->currentUnit;
    if (unit->length > room - fill) break;  // kept for the next call
    std::memcpy(gathered + fill, unit->data, unit->length);
    fill += unit->length;
    unitHeld_ = false;
  }

  if (fill == 0) return unitHeld_ ? MFX_ERR_NOT_ENOUGH_BUFFER : MFX_ERR_MORE_DATA;

  bitstream->DataLength += fill;
  bitstream->DecodeTimeStamp = static_cast<mfxI64>(MFX_TIMESTAMP_UNKNOWN);
  bitstream->TimeStamp = static_cast<mfxU64>(MFX_TIMESTAMP_UNKNOWN);
  return MFX_ERR_NONE;
}
