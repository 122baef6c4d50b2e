// Which coded frame of the index a decoded picture is, told by the numbers each side holds:
// the index's order value of every coded frame (H.264 picture order count, MPEG-2
// temporal_reference) and the numbers the engine read from the picture's own headers.
//
// Both sides list their pictures in display order. A count starts again where a number does
// not rise (a new IDR period or GOP, a temporal_reference wrap; in an H.264 index only where
// it falls, a number listed twice being two counts merged by the indexer) or, on the index's
// side, where an IDR GOP begins; on the decoder's side where the engine says its count
// restarted. Two pictures are the same when they lie as many count starts past the last pair
// matched and carry the same number; otherwise one of them shows before the other. A count
// start the engine inferred from lost pictures counts where the index has one, and not where
// it has none.
#pragma once

#include <cstdint>
#include <vector>

struct SourceState;

// The numbers of one picture as the engine gave them.
struct PictureNumbers {
  uint32_t restart = 0;   // the engine's count of restarts since its last reset
  uint32_t inferred = 0;  // how many of them it inferred from lost pictures (each may be none)
  int64_t number = 0;
  int64_t modulus = 0;   // 0: `number` is exact; else right modulo this only
};

// The last picture matched to the index: where counting starts for the pictures after it.
struct MatchAnchor {
  int32_t coded = -1;      // its coded frame; before the first match, the run's first
  bool matched = false;    // false: nothing matched since the run began
  uint32_t restart = 0;    // with `matched`: its restart count; before, the run's first picture's
  uint32_t inferred = 0;
  int64_t number = 0;      // the index's value for it
  // What turns the numbers of pictures known only modulo a value into the index's.
  bool offsetKnown = false;
  uint32_t offsetRestart = 0;  // the count it holds for
  int64_t offset = 0;
};

enum class PictureRelation { kBefore, kSame, kAfter };

class IndexNumbering {
 public:
  // Reads the order values of the index's coded frames (`codedCount` of them).
  void Build(const SourceState& source, int32_t codedCount);
  bool Built() const { return built_; }
  int32_t CodedCount() const { return static_cast<int32_t>(values_.size()); }

  // The picture's number as the index writes it (MPEG-2: modulo 1024).
  int64_t Reduce(int64_t number) const;
  // Where the picture lies against coded frame `coded`, counted from `anchor`.
  PictureRelation Relate(const MatchAnchor& anchor, const PictureNumbers& picture, int32_t coded) const;
  // The anchor once `picture` is matched to `coded`.
  MatchAnchor Matched(const MatchAnchor& anchor, const PictureNumbers& picture, int32_t coded) const;
  // True when some coded frame in [from, to) carries `number` (reduced), whatever its count.
  bool Lists(int64_t number, int32_t from, int32_t to) const;

 private:
  bool built_ = false;
  bool mpeg2_ = false;
  std::vector<int32_t> values_;
  std::vector<int32_t> startsCount_;  // count starts at or before each coded frame
};
