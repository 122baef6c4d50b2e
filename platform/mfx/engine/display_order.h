// Where each picture handed to the decoder comes out: one output slot per coded picture, in
// display order, whatever libavcodec drops, refuses or gives out of turn.
//
// It is told every picture sent to libavcodec, in decode order, with the number the stream
// gives its place (H.264 picture order count, MPEG-2 temporal_reference, an order from the
// picture types for VC-1) or none when the picture's header cannot be read; every picture
// libavcodec gives out, by the tag its packet carried; every packet libavcodec refuses; and
// the end of the input. It answers with the slots in display order: a decoded picture, or a
// placeholder for a picture that will not come.
//
// Where consecutive pictures' numbers differ by a fixed step, a gap in the numbers around a
// place is a lost picture (one whose bytes merged into a neighbour, or that libavcodec
// dropped without a word): it gets a placeholder there. A picture whose number cannot be
// read takes the gap its neighbours leave. Pictures are held back while a picture before
// them in display order may still come, for at most a bounded number of packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace tessivar::mfxsw {

class DisplayOrder {
 public:
  static constexpr int64_t kNoPts = INT64_MIN;
  // Pictures waiting at most; past it the oldest is given up as lost.
  static constexpr size_t kMaxWaiting = 96;
  // Most pictures one gap may stand for; a longer jump in the numbers is a discontinuity.
  static constexpr int64_t kMaxGap = 32;

  struct Slot {
    bool decoded = false;    // false: a placeholder
    int64_t id = -1;         // decoded: what Decoded() returned for the picture
    int64_t pts = kNoPts;    // the picture's time stamp as sent; kNoPts for one never sent
  };

  // `numbersShowGaps`: consecutive pictures' numbers differ by a fixed step (H.264 order
  // count types 0 and 1, MPEG-2), so a gap is a loss; otherwise they only order the pictures.
  // `holdPackets`: packets sent after a picture before libavcodec must have given it out.
  // `repeatsKeepTag`: a picture given out again (a skipped picture shown as its reference)
  // comes under the reference's tag, and stands for the next picture sent after it.
  void Configure(bool numbersShowGaps, int64_t holdPackets, bool repeatsKeepTag = false);
  // Forgets every picture in flight and the slots not yet taken (a seek); the step learnt
  // from the stream stays.
  void Clear();

  // A picture handed to libavcodec. `restart`: its number starts a new count from 0 (IDR,
  // memory_management_control_operation 5, MPEG-2 GOP header).
  void Sent(int64_t tag, int64_t pts, std::optional<int64_t> number, bool restart);
  // A picture libavcodec gave out, with its packet's tag. Returns the id the picture is kept
  // under until its slot comes out, or -1 when its slot is gone already (drop it).
  int64_t Decoded(int64_t tag);
  // libavcodec refused the packet with this tag: its picture will not come.
  void Refused(int64_t tag);
  // No more input: whatever has not come out now never will.
  void End();

  // The next slot in display order, once it is known; false while none can come out yet.
  bool Next(Slot* slot);
  // Pictures sent that have not come out.
  size_t Waiting() const { return entries_.size(); }

 private:
  enum class State { kPending, kDecoded, kRefused };
  struct Entry {
    int64_t tag = -1;
    int64_t pts = kNoPts;
    int64_t epoch = 0;
    int64_t number = 0;
    bool known = false;
    bool synthetic = false;  // a number given here, not read from the stream
    State state = State::kPending;
    int64_t sentAt = 0;      // packets sent before it
    int64_t decodedAt = 0;   // packets sent when it came out
    int64_t id = -1;
    int64_t seq = 0;         // ties between equal numbers go in arrival order
  };
  struct Key {
    int64_t epoch, number, seq;
    bool operator<(const Key& o) const {
      if (epoch != o.epoch) return epoch < o.epoch;
      if (number != o.number) return number < o.number;
      return seq < o.seq;
    }
  };
  static Key KeyOf(const Entry& e) { return {e.epoch, e.number, e.seq}; }

  // Gaps count once the step has been seen four times and nothing broke it.
  bool GapsCount() const { return numbersShowGaps_ && step_ > 0 && stepSeen_ >= 4 && !irregular_; }
  bool Overdue(const Entry& e) const;
  bool EpochFromZero(int64_t epoch) const;
  bool HoleBelowDecoded(int64_t epoch) const;
  bool Advance();  // moves one slot (or more) to ready_; false when nothing can move
  void Emit(const Entry& e);
  void MoveCursor(int64_t epoch, int64_t number);
  void Learn(int64_t epoch, int64_t number);
  std::deque<Entry>::iterator Find(int64_t tag);

  bool numbersShowGaps_ = false;
  bool repeatsKeepTag_ = false;
  int64_t hold_ = 8;
  int64_t step_ = 0;           // learnt from pictures that follow each other
  int64_t stepSeen_ = 0;       // pictures seen that far apart
  static constexpr size_t kLearnt = 64;
  std::vector<int64_t> learnt_;  // numbers of decoded pictures of one count, sorted
  int64_t learnEpoch_ = -1;
  bool irregular_ = false;     // the numbers do not keep one step: gaps tell nothing
  std::deque<Entry> entries_;  // sent and not yet out, in decode order
  std::deque<Slot> ready_;
  std::deque<int64_t> fromZero_;  // epochs (since the last Clear) that began with a restart
  int64_t epoch_ = 0;
  int64_t sentCount_ = 0;
  int64_t seq_ = 0;
  int64_t nextSyntheticId_ = -2;
  bool ended_ = false;
  bool haveCursor_ = false;    // the last slot out: its epoch and number
  int64_t cursorEpoch_ = 0, cursorNumber_ = 0;
  bool haveLastDecoded_ = false;  // the last known picture libavcodec gave out
  int64_t lastDecodedEpoch_ = 0, lastDecodedNumber_ = 0;
};

}  // namespace tessivar::mfxsw
