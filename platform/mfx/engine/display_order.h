// Where each picture handed to the decoder comes out: one output slot per coded picture sent,
// in display order, whatever libavcodec refuses or gives out of turn.
//
// It is told every picture sent to libavcodec, in decode order, with the number the stream
// gives its place (H.264 picture order count, MPEG-2 temporal_reference, an order from the
// picture types for VC-1) or none when the picture's header cannot be read; every picture
// libavcodec gives out, by the tag its packet carried; every packet libavcodec refuses; and
// the end of the input. It answers with the slots in display order: a decoded picture, or a
// placeholder for a picture that was sent and will not come. A slot carries the numbers that
// place it, so the application can tell which picture it holds.
//
// Nothing is inferred from the numbers beyond their order: a number that no picture carries
// is no picture. Pictures are held back while a picture before them in display order may
// still come, for at most a bounded number of packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace tessivar::mfxsw {

class DisplayOrder {
 public:
  static constexpr int64_t kNoPts = INT64_MIN;
  // Pictures waiting at most; past it the oldest is given up as lost.
  static constexpr size_t kMaxWaiting = 96;

  struct Slot {
    bool decoded = false;    // false: a placeholder
    int64_t id = -1;         // decoded: what Decoded() returned for the picture
    int64_t pts = kNoPts;    // the picture's time stamp as sent
    int64_t restart = 0;     // restarts of the count before this picture since Clear
    int64_t inferred = 0;    // how many of them were inferred from lost pictures
    bool numberKnown = false;
    int64_t number = 0;      // the picture's own number in its count (numberKnown)
    int64_t modulus = 0;     // 0: `number` is exact; else right modulo this only
  };

  // `holdPackets`: packets sent after a picture before libavcodec must have given it out.
  // `repeatsKeepTag`: a picture given out again (a skipped picture shown as its reference)
  // comes under the reference's tag, and stands for the next picture sent after it.
  void Configure(int64_t holdPackets, bool repeatsKeepTag = false);
  // Forgets every picture in flight and the slots not yet taken (a seek).
  void Clear();

  // A picture handed to libavcodec. `restart`: its number starts a new count (IDR,
  // memory_management_control_operation 5, MPEG-2 GOP header).
  // `modulus`: the number is right only modulo this value (0: exact); carried to the slot.
  // `inferred`: the restart was inferred from lost pictures and may be none.
  // `before`: the picture shows right before the one numbered so (in its count), whatever its
  // own number says (a B picture whose next anchor was lost); its slot keeps its own number.
  void Sent(int64_t tag, int64_t pts, std::optional<int64_t> number, bool restart, int64_t modulus = 0,
            bool inferred = false, std::optional<int64_t> before = std::nullopt);
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
    int64_t inferred = 0;
    int64_t number = 0;
    int64_t place = 0;       // twice the number it shows at, less one to show before it
    bool known = false;
    bool synthetic = false;  // placed after the picture libavcodec gave before it
    int64_t modulus = 0;
    State state = State::kPending;
    int64_t sentAt = 0;      // packets sent before it
    int64_t id = -1;
    int64_t seq = 0;         // ties between equal numbers go in arrival order
  };
  struct Key {
    int64_t epoch, place, seq;
    bool operator<(const Key& o) const {
      if (epoch != o.epoch) return epoch < o.epoch;
      if (place != o.place) return place < o.place;
      return seq < o.seq;
    }
  };
  static Key KeyOf(const Entry& e) { return {e.epoch, e.place, e.seq}; }

  bool Overdue(const Entry& e) const;
  bool Advance();  // moves one slot to ready_; false when nothing can move
  void Emit(const Entry& e);
  std::deque<Entry>::iterator Find(int64_t tag);

  bool repeatsKeepTag_ = false;
  int64_t hold_ = 8;
  std::deque<Entry> entries_;  // sent and not yet out, in decode order
  std::deque<Slot> ready_;
  int64_t epoch_ = 0;
  int64_t inferred_ = 0;
  int64_t sentCount_ = 0;
  int64_t seq_ = 0;
  int64_t nextSyntheticId_ = -2;
  bool ended_ = false;
  bool haveLastDecoded_ = false;  // the last known picture libavcodec gave out
  int64_t lastDecodedEpoch_ = 0, lastDecodedNumber_ = 0, lastDecodedPlace_ = 0;
};

}  // namespace tessivar::mfxsw
