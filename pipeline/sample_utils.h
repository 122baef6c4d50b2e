// Creating and releasing the data block of the decoder's input buffer.
#pragma once

#include <cstdint>

#include <mfx/mfxstructures.h>

// Replaces the data block with a new one of `size` bytes (contents undefined) and
// empties the buffer. -2 without a bitstream, -8 (and the error line) for size 0,
// leaving the old block in place; -4 when the allocation fails.
mfxStatus InitBitstream(mfxBitstream* bitstream, mfxU32 size);
// Appends `length` bytes behind the bitstream's data; false (nothing appended) when they
// do not fit its buffer.
bool AppendToBitstream(mfxBitstream* bitstream, const uint8_t* data, uint32_t length);
// Frees the data block, if any.
void FreeBitstream(mfxBitstream* bitstream);
