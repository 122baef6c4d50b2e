#include "source/picture_match.h"

#include <algorithm>

#include "source/source_state.h"

void IndexNumbering::Build(const SourceState& source, int32_t codedCount) {
  built_ = true;
  mpeg2_ = source.codecKind == kCodecMpeg2;
  const int32_t count = std::max(codedCount, 0);
  values_.resize(size_t(count));
  startsCount_.assign(size_t(count), 0);
  // Two pictures of one H.264 count never share a number: where an index lists a number
  // twice, it has sorted the pictures that followed a lost IDR picture into the period before
  // (their count runs on from its numbers), and the pair is one picture of each count, not a
  // count start. MPEG-2 GOPs may number alike (one picture each).
  const bool equalStarts = source.codecKind != kCodecAvc;
  for (int32_t c = 0; c < count; ++c) {
    values_[size_t(c)] = source.frameTable[c].pictureOrder;
    if (c > 0 && (values_[size_t(c)] < values_[size_t(c - 1)] ||
                  (equalStarts && values_[size_t(c)] == values_[size_t(c - 1)])))
      startsCount_[size_t(c)] = 1;
  }
  if (source.codecKind == kCodecAvc) {
    // An IDR picture starts a count even where its number rises over the last one's.
    for (int32_t g = 0; g < source.gopCount; ++g) {
      const GopRecord* record = source.gopTable[g];
      if (record && record->isIdr && record->firstFrame > 0 && record->firstFrame < count)
        startsCount_[size_t(record->firstFrame)] = 1;
    }
  }
  // From here on: how many count starts lie at or before each coded frame.
  for (int32_t c = 1; c < count; ++c) startsCount_[size_t(c)] += startsCount_[size_t(c - 1)];
}

int64_t IndexNumbering::Reduce(int64_t number) const {
  if (!mpeg2_) return number;
  const int64_t r = number % 1024;
  return r < 0 ? r + 1024 : r;
}

PictureRelation IndexNumbering::Relate(const MatchAnchor& anchor, const PictureNumbers& picture, int32_t coded) const {
  // Count starts on the index's side, between the anchor and the coded frame.
  int64_t indexStarts = 0;
  if (coded > anchor.coded && CodedCount() > 0) {
    const auto startsUpTo = [this](int32_t c) { return c < 0 ? 0 : startsCount_[size_t(std::min(c, CodedCount() - 1))]; };
    indexStarts = startsUpTo(coded) - startsUpTo(anchor.coded);
  }
  // And on the decoder's side, between the anchor's picture and this one.
  int64_t number = Reduce(picture.number);
  const bool offsetHolds = anchor.offsetKnown && picture.restart == anchor.offsetRestart;
  const bool modular = picture.modulus > 0 && !offsetHolds;
  if (picture.modulus > 0 && offsetHolds) number += anchor.offset;
  const int64_t restarts = std::max<int64_t>(int64_t(picture.restart) - int64_t(anchor.restart), 0);
  const int64_t inferred =
      std::clamp<int64_t>(int64_t(picture.inferred) - int64_t(anchor.inferred), 0, restarts);
  int64_t pictureStarts = restarts;
  if (anchor.matched && pictureStarts == 0 && !modular && number <= anchor.number) pictureStarts = 1;
  // Inferred restarts count as the index says, within what they allow.
  if (inferred > 0) pictureStarts = std::clamp(indexStarts, restarts - inferred, restarts);
  const int64_t value = coded >= 0 && coded < CodedCount() ? values_[size_t(coded)] : 0;
  if (pictureStarts != indexStarts) return pictureStarts < indexStarts ? PictureRelation::kBefore : PictureRelation::kAfter;
  if (modular) {
    // Known only modulo: the picture lies on the nearer side of the coded frame's number, so
    // that a picture left behind its slot is passed over instead of holding every slot after it.
    const int64_t ahead = ((number - value) % picture.modulus + picture.modulus) % picture.modulus;
    if (ahead == 0) return PictureRelation::kSame;
    return 2 * ahead > picture.modulus ? PictureRelation::kBefore : PictureRelation::kAfter;
  }
  if (number != value) return number < value ? PictureRelation::kBefore : PictureRelation::kAfter;
  return PictureRelation::kSame;
}

MatchAnchor IndexNumbering::Matched(const MatchAnchor& anchor, const PictureNumbers& picture, int32_t coded) const {
  MatchAnchor next = anchor;
  next.coded = coded;
  next.matched = true;
  next.restart = picture.restart;
  next.inferred = picture.inferred;
  next.number = coded >= 0 && coded < CodedCount() ? values_[size_t(coded)] : Reduce(picture.number);
  if (picture.modulus > 0 && !(anchor.offsetKnown && anchor.offsetRestart == picture.restart)) {
    next.offsetKnown = true;
    next.offsetRestart = picture.restart;
    next.offset = next.number - Reduce(picture.number);
  }
  return next;
}

bool IndexNumbering::Lists(int64_t number, int32_t from, int32_t to) const {
  const int64_t reduced = Reduce(number);
  for (int32_t c = std::max(from, 0); c < to && c < CodedCount(); ++c)
    if (values_[size_t(c)] == reduced) return true;
  return false;
}
