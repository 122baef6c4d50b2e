#include "leading_pictures.h"

#include <mfx/mfxstructures.h>

extern "C" {
#include <libavutil/frame.h>
}

namespace tessivar::mfxsw {

void LeadingPictures::Restart() {
  referencesSinceStart_ = 0;
  lastDropped_ = false;
  intraShownSinceStart_ = false;
}

bool LeadingPictures::Dropped(const PictureNumber& number, bool closedGop, bool brokenLink) {
  if (codecId_ != MFX_CODEC_MPEG2 && codecId_ != MFX_CODEC_VC1) return false;
  // A second field goes the way of its first.
  if (number.secondField) return lastDropped_;
  lastDropped_ = number.type == 3 && referencesSinceStart_ < 2 &&
                 (codecId_ == MFX_CODEC_VC1 || !closedGop || brokenLink);
  if (number.type == 1 || number.type == 2) ++referencesSinceStart_;
  return lastDropped_;
}

bool LeadingPictures::BeforeStartIntra(const AVFrame& frame) {
  if (codecId_ != MFX_CODEC_AVC || intraShownSinceStart_) return false;
  if (frame.pict_type == AV_PICTURE_TYPE_I || frame.key_frame) {
    intraShownSinceStart_ = true;
    return false;
  }
  return true;
}

}  // namespace tessivar::mfxsw
