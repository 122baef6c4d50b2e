#include "source/picture_supply.h"

#include <algorithm>

#include "platform/mfx/picture_identity.h"
#include "source/picture_copy.h"
#include "source/source_decoder.h"
#include "source/worker.h"

namespace {

// Coded frames the index lists: one past the highest that a display frame shows.
int32_t CodedFrameCount(const SourceState& source) {
  int32_t highest = -1;
  for (int32_t d = 0; d < source.displayFrameCount; ++d)
    highest = std::max({highest, source.frameTable[d].topFrame, source.frameTable[d].bottomFrame});
  return highest + 1;
}

}  // namespace

PictureSupply::~PictureSupply() {
  for (Held& held : queue_) FreeYV12Picture(held.picture);
  for (YV12Picture* picture : spare_) FreeYV12Picture(picture);
}

void PictureSupply::StartRun(int32_t firstCoded) {
  Drop();
  if (!index_.Built()) index_.Build(source_, CodedFrameCount(source_));
  next_ = firstCoded;
  mode_ = Mode::kUndecided;
  anchor_ = MatchAnchor{};
  anchor_.coded = firstCoded;
}

void PictureSupply::Drop() {
  while (!queue_.empty()) {
    ReleaseHeld(queue_.front());
    queue_.pop_front();
  }
  runStarted_ = false;
  matchedInRun_ = false;
}

void PictureSupply::ReleaseHeld(Held& held) {
  if (!held.picture) return;
  try {
    spare_.push_back(held.picture);
  } catch (...) {
    FreeYV12Picture(held.picture);
  }
  held.picture = nullptr;
}

YV12Picture* PictureSupply::SparePicture() {
  if (spare_.empty()) return AllocYV12Picture(height_, width_);
  YV12Picture* picture = spare_.back();
  spare_.pop_back();
  return picture;
}

bool PictureSupply::Head(Candidate* head) {
  *head = Candidate{};
  if (!queue_.empty()) {
    const Held& front = queue_.front();
    head->held = true;
    head->identified = front.identified;
    head->numberKnown = front.numberKnown;
    head->numbers = front.numbers;
  } else if (!Pull(head)) {
    return false;
  }
  if (!runStarted_) {
    // Count starts are counted from the run's first picture until something matches.
    runStarted_ = true;
    anchor_.restart = head->numbers.restart;
    anchor_.inferred = head->numbers.inferred;
  }
  return true;
}

void PictureSupply::HoldPulled(Candidate* head, bool atBack) {
  if (head->held) return;
  YV12Picture* picture = SparePicture();
  if (picture) CopySurface(env_, *head->surface, *picture);
  HandBackPicture(&source_);
  Held held;
  held.identified = head->identified;
  held.numberKnown = head->numberKnown;
  held.numbers = head->numbers;
  held.picture = picture;
  if (atBack) {
    queue_.push_back(held);
  } else {
    queue_.push_front(held);
  }
  head->held = true;
  head->surface = nullptr;
}

bool PictureSupply::Pull(Candidate* pulled) {
  if (sizeChanged_) return false;
  mfxFrameSurface1* surface = PullPicture(&source_);
  if (!surface) return false;
  const mfxFrameInfo& info = surface->Info;
  if (!pictureW_) {
    pictureW_ = info.CropW;
    pictureH_ = info.CropH;
  } else if (info.CropW != pictureW_ || info.CropH != pictureH_) {
    HandBackPicture(&source_);
    sizeChanged_ = true;
    return false;
  }
  pulled->surface = surface;
  if (const mfxExtPictureIdentity* identity = FindPictureIdentity(surface->Data); identity && identity->filled) {
    pulled->identified = true;
    pulled->numberKnown = identity->numberKnown != 0;
    pulled->numbers.restart = identity->restart;
    pulled->numbers.number = identity->number;
    pulled->numbers.modulus = identity->modulus;
    pulled->numbers.inferred = identity->inferredRestarts;
  }
  return true;
}

bool PictureSupply::HoldOne() {
  Candidate pulled;
  if (!Pull(&pulled)) return false;
  HoldPulled(&pulled, true);
  return true;
}

void PictureSupply::Use(IScriptEnvironment* env, const Candidate& head, bool show, const YV12Picture& out) {
  if (head.held) {
    Held& front = queue_.front();
    if (show) {
      if (front.picture) CopyPicture(env, PictureCopy::Whole, *front.picture, out, out);
      else FillFlat(out, 128);
    }
    ReleaseHeld(front);
    queue_.pop_front();
    return;
  }
  if (show) CopySurface(env, *head.surface, out);
  HandBackPicture(&source_);
}

void PictureSupply::Discard(const Candidate& head) {
  if (head.held) {
    ReleaseHeld(queue_.front());
    queue_.pop_front();
  } else {
    HandBackPicture(&source_);
  }
}

bool PictureSupply::Decide(Candidate* head, int32_t coded) {
  // Each run's first numbered picture decides: by numbers when it is its coded frame's own;
  // else when most of the pictures read ahead match coded frames in turn; else in the order
  // they come (an index whose numbers are not the stream's).
  if (index_.Relate(anchor_, head->numbers, coded) == PictureRelation::kSame) return true;
  HoldPulled(head);
  while (queue_.size() <= kLookAhead && HoldOne()) {
  }
  MatchAnchor anchor = anchor_;
  int32_t c = coded;
  size_t known = 0, matched = 0;
  for (const Held& held : queue_) {
    if (!held.identified || !held.numberKnown) continue;
    ++known;
    PictureRelation relation = index_.Relate(anchor, held.numbers, c);
    while (relation == PictureRelation::kAfter && c < coded + int32_t(2 * kLookAhead))
      relation = index_.Relate(anchor, held.numbers, ++c);
    if (relation != PictureRelation::kSame) continue;
    ++matched;
    anchor = index_.Matched(anchor, held.numbers, c);
    ++c;
  }
  return known > 0 && 2 * matched >= known;
}

bool PictureSupply::FindAhead(int32_t coded, size_t* found) {
  // Pictures come in display order in an intact stream, but not always after damage: an
  // anchor whose header is lost leaves the B pictures after it to come out before the anchor
  // ahead of them in decode order (the order the decoder gives, and an index made from the
  // damaged file lists). The look-ahead is searched up to the next count start: a picture
  // of a later count that seems the frame's own is a later GOP's whose header was lost.
  for (size_t k = 1;; ++k) {
    if (k >= queue_.size() && (queue_.size() > kLookAhead || !HoldOne())) return false;
    const Held& held = queue_[k];
    if (!held.identified || !held.numberKnown) continue;
    // Pictures of the head's count come before those of a later one, so a picture of a later
    // count cannot be the frame's own while the head passes the frame: a match there is a
    // coincidence of numbers (across a restart inferred from lost pictures, which the numbers
    // count as none, pictures can come after others of lower number).
    if (held.numbers.restart != queue_.front().numbers.restart) return false;
    switch (index_.Relate(anchor_, held.numbers, coded)) {
      case PictureRelation::kSame:
        *found = k;
        return true;
      case PictureRelation::kAfter:
      case PictureRelation::kBefore:
        break;
    }
  }
}

bool PictureSupply::TakeNext(IScriptEnvironment* env, bool show, const YV12Picture& out) {
  env_ = env;
  const int32_t coded = next_++;
  for (int passed = 0;;) {
    Candidate head;
    if (!Head(&head)) {
      // The run is over. Coded frames just past the last one matched are pictures lost at
      // the end of the source; further on, the source cannot give them (cut short, or failed).
      if (mode_ == Mode::kByNumbers && matchedInRun_ && coded - anchor_.coded <= int32_t(kLookAhead)) {
        if (show) FillFlat(out, 128);
        return true;
      }
      return false;
    }
    if (head.identified && head.numberKnown && mode_ == Mode::kUndecided)
      mode_ = Decide(&head, coded) ? Mode::kByNumbers : Mode::kInOrder;
    // A picture the engine does not place by number is taken as it comes until the run's
    // first numbered picture decides.
    if (mode_ == Mode::kInOrder || !head.identified || (mode_ == Mode::kUndecided && !head.numberKnown)) {
      Use(env, head, show, out);
      return true;
    }
    const PictureRelation relation =
        head.numberKnown ? index_.Relate(anchor_, head.numbers, coded) : PictureRelation::kBefore;
    if (relation == PictureRelation::kSame) {
      anchor_ = index_.Matched(anchor_, head.numbers, coded);
      matchedInRun_ = true;
      Use(env, head, show, out);
      return true;
    }
    if (relation == PictureRelation::kBefore) {
      // A picture the index does not list (or one whose number cannot be read).
      Discard(head);
      if (++passed > kMaxPassedOver) mode_ = Mode::kInOrder;  // the numbers do not agree
      continue;
    }
    // The picture shows after this coded frame: the frame's own picture is behind it, with
    // the picture at the head carrying a wrong number, or it will not come.
    HoldPulled(&head);
    size_t found = 0;
    if (FindAhead(coded, &found)) {
      for (size_t k = 0; k < found; ++k) {
        ReleaseHeld(queue_.front());
        queue_.pop_front();
      }
      Candidate own;
      Head(&own);
      anchor_ = index_.Matched(anchor_, own.numbers, coded);
      matchedInRun_ = true;
      Use(env, own, show, out);
      return true;
    }
    if (show) FillFlat(out, 128);
    return true;
  }
}
