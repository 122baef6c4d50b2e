// Gives a decoded picture (or a placeholder) out in the application's surface: its planes,
// crop, picture structure, frame rate, aspect ratio, time stamp, order and identity.
#pragma once

#include <mfx/mfxstructures.h>

#include "decoded_picture.h"
#include "stream_headers.h"

namespace tessivar::mfxsw {

// `params`: the decoder's parameters (what the application gave wins over the stream's);
// `sequence`: the sequence header the picture belongs to.
void GivePicture(const DecodedPicture& picture, const SequenceInfo& sequence, const mfxVideoParam& params,
                 mfxU32 frameOrder, mfxFrameSurface1* work);

}  // namespace tessivar::mfxsw
