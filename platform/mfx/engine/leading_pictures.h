// The leading pictures of an open GOP after a start (the stream's beginning, a seek, a drain).
// libavcodec drops MPEG-2 and VC-1 B pictures that arrive before it holds two references: they
// are not sent, and their slots get placeholders. H.264 leading pictures come out, but
// libavcodec marks them corrupt only while it holds pictures back, not when a drain releases
// them: they are marked here.
#pragma once

#include <cstdint>

#include "picture_numbers.h"

struct AVFrame;

namespace tessivar::mfxsw {

class LeadingPictures {
 public:
  explicit LeadingPictures(uint32_t codecId) : codecId_(codecId) {}
  void Restart();

  // A picture about to be sent, in decode order (MPEG-2, VC-1): true when libavcodec would
  // drop it. `closedGop` and `brokenLink` are the last GOP header's (MPEG-2).
  bool Dropped(const PictureNumber& number, bool closedGop, bool brokenLink);
  // A decoded picture, in display order (H.264): true when it shows before the start's I
  // picture.
  bool BeforeStartIntra(const AVFrame& frame);

 private:
  uint32_t codecId_;
  int referencesSinceStart_ = 0;
  bool lastDropped_ = false;
  bool intraShownSinceStart_ = false;
};

}  // namespace tessivar::mfxsw
