#include "picture_output.h"

extern "C" {
#include <libavutil/frame.h>
}

#include "nv12_writer.h"
#include "platform/mfx/picture_identity.h"

namespace tessivar::mfxsw {
namespace {

uint16_t PicStructOf(const AVFrame* frame, const SequenceInfo& sequence, const mfxVideoParam& params) {
  if (!frame) return sequence.progressiveOnly ? MFX_PICSTRUCT_PROGRESSIVE : MFX_PICSTRUCT_UNKNOWN;
  const uint16_t field = frame->top_field_first ? MFX_PICSTRUCT_FIELD_TFF : MFX_PICSTRUCT_FIELD_BFF;
  // In a sequence that holds only progressive frames, an "interlaced" frame is a progressive
  // one shown as two fields (H.264 pic_struct 3/4).
  if (frame->interlaced_frame && !sequence.progressiveOnly) return field;
  if (!params.mfx.ExtendedPicStruct) return MFX_PICSTRUCT_PROGRESSIVE;
  switch (frame->repeat_pict) {
    case 0: return frame->interlaced_frame ? MFX_PICSTRUCT_PROGRESSIVE | field : MFX_PICSTRUCT_PROGRESSIVE;
    case 1: return MFX_PICSTRUCT_PROGRESSIVE | field | MFX_PICSTRUCT_FIELD_REPEATED;
    case 2: return MFX_PICSTRUCT_PROGRESSIVE | MFX_PICSTRUCT_FRAME_DOUBLING;
    default: return MFX_PICSTRUCT_PROGRESSIVE | MFX_PICSTRUCT_FRAME_TRIPLING;
  }
}

}  // namespace

void GivePicture(const DecodedPicture& picture, const SequenceInfo& sequence, const mfxVideoParam& params,
                 mfxU32 frameOrder, mfxFrameSurface1* work) {
  const AVFrame* f = picture.frame.get();
  WriteNv12(f, work);
  mfxFrameInfo& info = work->Info;
  if (f) {
    info.CropX = static_cast<mfxU16>(f->crop_left);
    info.CropY = static_cast<mfxU16>(f->crop_top);
    info.CropW = static_cast<mfxU16>(f->width - static_cast<int>(f->crop_left + f->crop_right));
    info.CropH = static_cast<mfxU16>(f->height - static_cast<int>(f->crop_top + f->crop_bottom));
  } else {
    info.CropX = sequence.cropX;
    info.CropY = sequence.cropY;
    info.CropW = sequence.cropW;
    info.CropH = sequence.cropH;
  }
  info.PicStruct = PicStructOf(f, sequence, params);
  const mfxFrameInfo& given = params.mfx.FrameInfo;
  const bool rateGiven = given.FrameRateExtN && given.FrameRateExtD;
  info.FrameRateExtN = rateGiven ? given.FrameRateExtN : sequence.frameRateN;
  info.FrameRateExtD = rateGiven ? given.FrameRateExtD : sequence.frameRateD;
  const bool aspectGiven = given.AspectRatioW && given.AspectRatioH;
  info.AspectRatioW = aspectGiven ? given.AspectRatioW : (sequence.aspectW ? sequence.aspectW : 1);
  info.AspectRatioH = aspectGiven ? given.AspectRatioH : (sequence.aspectH ? sequence.aspectH : 1);
  work->Data.TimeStamp = picture.pts == AV_NOPTS_VALUE ? static_cast<mfxU64>(MFX_TIMESTAMP_UNKNOWN)
                                                      : static_cast<mfxU64>(picture.pts);
  work->Data.FrameOrder = frameOrder;
  work->Data.Corrupted = picture.corrupt ? MFX_CORRUPTION_MAJOR : 0;
  if (mfxExtPictureIdentity* identity = FindPictureIdentity(work->Data)) {
    identity->filled = 1;
    identity->decoded = f ? 1 : 0;
    identity->numberKnown = picture.numberKnown ? 1 : 0;
    identity->restart = static_cast<mfxU32>(picture.restart);
    identity->number = picture.number;
    identity->modulus = static_cast<mfxU32>(picture.modulus);
    identity->inferredRestarts = static_cast<mfxU32>(picture.inferred);
  }
}

}  // namespace tessivar::mfxsw
