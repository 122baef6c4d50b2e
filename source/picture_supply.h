// The decoded picture for each coded frame GetFrame asks for, in coded-frame order from the
// start of a run: the worker's pictures matched to the index by their own numbers
// (picture_match.h), or, where the engine tells no numbers or the index's numbers never agree
// with the stream's, simply the next picture, as the decoder gives them.
//
// A picture the index does not list is passed over. A coded frame whose picture does not
// come within a bounded look-ahead (lost, refused, dropped) is a flat gray placeholder in its
// own slot. Pictures read ahead to decide are copied and kept until their frame is asked for.
//
// Host thread only (GetFrame); it pulls pictures from the worker through worker.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include <mfx/mfxstructures.h>

#include "source/clip_picture.h"
#include "source/picture_match.h"

class IScriptEnvironment;
class SourceDecoder;

class PictureSupply {
 public:
  // Pictures read ahead at most, past the one in hand, to find a coded frame's own.
  static constexpr size_t kLookAhead = 8;
  // Pictures passed over at most for one coded frame before the numbers are taken to disagree.
  static constexpr int kMaxPassedOver = 64;

  PictureSupply(SourceDecoder& source, int32_t width, int32_t height) : source_(source), width_(width), height_(height) {}
  ~PictureSupply();
  PictureSupply(const PictureSupply&) = delete;
  PictureSupply& operator=(const PictureSupply&) = delete;

  // A new run (a seek): its first picture belongs to coded frame `firstCoded`. Pictures held
  // from the run before are dropped; the run's first numbered picture decides whether its
  // pictures are matched by number.
  void StartRun(int32_t firstCoded);
  // The picture of the next coded frame, copied into `out` when `show`. False when the run
  // ended before it could come (the worker's failure, or the end of the source).
  bool TakeNext(IScriptEnvironment* env, bool show, const YV12Picture& out);
  // Forgets the run: the next request must seek.
  void Drop();
  // True once a picture of another size than the clip's first came (TakeNext then fails):
  // a stream joined from encodes of different sizes.
  bool SizeChanged() const { return sizeChanged_; }

 private:
  enum class Mode { kUndecided, kByNumbers, kInOrder };
  struct Held {
    bool identified = false;   // the engine said what this picture is
    bool numberKnown = false;
    PictureNumbers numbers;
    YV12Picture* picture = nullptr;  // its copy
  };
  struct Candidate {           // the picture at the head: held, or just pulled
    bool held = false;
    mfxFrameSurface1* surface = nullptr;
    bool identified = false;
    bool numberKnown = false;
    PictureNumbers numbers;
  };

  bool Head(Candidate* head);
  bool HoldOne();              // pulls a picture into the back of the queue
  // The worker's next picture with what the engine says it is; false when none comes (or
  // one of another size).
  bool Pull(Candidate* pulled);
  // Copies a pulled picture into the queue (its front, or its back) and hands it back.
  void HoldPulled(Candidate* head, bool atBack = false);
  void Use(IScriptEnvironment* env, const Candidate& head, bool show, const YV12Picture& out);
  void Discard(const Candidate& head);
  bool Decide(Candidate* head, int32_t coded);
  bool FindAhead(int32_t coded, size_t* found);
  YV12Picture* SparePicture();
  void ReleaseHeld(Held& held);

  SourceDecoder& source_;
  const int32_t width_, height_;
  IndexNumbering index_;
  Mode mode_ = Mode::kUndecided;
  MatchAnchor anchor_;
  int32_t next_ = 0;           // coded frame of the next TakeNext
  bool runStarted_ = false;    // the run's first picture was seen (anchor_.restart is its)
  bool matchedInRun_ = false;
  std::deque<Held> queue_;
  std::vector<YV12Picture*> spare_;
  IScriptEnvironment* env_ = nullptr;
  uint16_t pictureW_ = 0, pictureH_ = 0;  // the size of the clip's first picture
  bool sizeChanged_ = false;
};
