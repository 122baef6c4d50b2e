// Copies between pictures that GetFrame uses: a decoded NV12 surface into a planar
// 4:2:0 picture, and whole pictures or single fields between planar pictures. All
// sizes come from `sizes` (the host frame's descriptor); every row copy goes through
// the host's BitBlt, except the one-block luma copy of a surface.
#pragma once

#include <mfx/mfxstructures.h>

#include "source/clip_picture.h"

class IScriptEnvironment;

enum class PictureCopy { Whole, TopField, BottomField };

// Copies `from` into `to` with the luma and chroma extents of `sizes`. A picture
// without a luma plane is neither read nor written.
void CopyPicture(IScriptEnvironment* env, PictureCopy kind, const YV12Picture& from, const YV12Picture& to,
                 const YV12Picture& sizes);

// Copies the surface's crop rectangle into `to`: luma as is (one block when the
// pitches and the crop width agree), the interleaved chroma split into the two
// planes. Never reads outside the surface or writes outside `to`.
void CopySurface(IScriptEnvironment* env, const mfxFrameSurface1& surface, const YV12Picture& to);

// Fills the picture with black (a seek that had nothing to show).
void FillBlack(const YV12Picture& picture);
// Fills the picture with one luma value and neutral chroma (128 gives the flat gray of a
// picture that could not be decoded).
void FillFlat(const YV12Picture& picture, uint8_t luma);
