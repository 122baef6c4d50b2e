// Writes a decoded picture into an application's NV12 system-memory surface.
#pragma once

#include <mfx/mfxstructures.h>

struct AVFrame;

namespace tessivar::mfxsw {

// True when the picture fits the surface and the surface's planes are usable.
bool SurfaceCanHold(const mfxFrameSurface1& surface, int width, int height);

// Copies `frame` (4:2:0 or 4:0:0, 8 bit) into the surface's Y and UV planes, with the pitch
// of the surface, repeating the last row and column into the padding up to Info.Width and
// Info.Height. A null frame writes mid-grey (a placeholder picture).
void WriteNv12(const AVFrame* frame, mfxFrameSurface1* surface);

}  // namespace tessivar::mfxsw
