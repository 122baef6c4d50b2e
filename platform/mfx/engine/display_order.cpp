#include "display_order.h"

#include <algorithm>

namespace tessivar::mfxsw {

void DisplayOrder::Configure(bool numbersShowGaps, int64_t holdPackets, bool repeatsKeepTag) {
  numbersShowGaps_ = numbersShowGaps;
  repeatsKeepTag_ = repeatsKeepTag;
  hold_ = std::max<int64_t>(holdPackets, 1);
}

void DisplayOrder::Clear() {
  entries_.clear();
  ready_.clear();
  fromZero_.clear();
  epoch_ = 0;
  sentCount_ = 0;
  ended_ = false;
  haveCursor_ = false;
  haveLastDecoded_ = false;
  learnt_.clear();
  learnEpoch_ = -1;
}

void DisplayOrder::Sent(int64_t tag, int64_t pts, std::optional<int64_t> number, bool restart) {
  if (restart) {
    ++epoch_;
    fromZero_.push_back(epoch_);
  }
  Entry e;
  e.tag = tag;
  e.pts = pts;
  e.epoch = epoch_;
  e.known = number.has_value();
  e.number = number.value_or(0);
  e.sentAt = sentCount_++;
  e.seq = seq_++;
  entries_.push_back(e);
}

std::deque<DisplayOrder::Entry>::iterator DisplayOrder::Find(int64_t tag) {
  return std::find_if(entries_.begin(), entries_.end(), [tag](const Entry& e) { return e.tag == tag && tag >= 0; });
}

int64_t DisplayOrder::Decoded(int64_t tag) {
  auto it = Find(tag);
  if (repeatsKeepTag_ && tag >= 0 && (it == entries_.end() || it->state == State::kDecoded)) {
    it = std::find_if(entries_.begin(), entries_.end(),
                      [tag](const Entry& e) { return e.tag > tag && e.state == State::kPending; });
    if (it == entries_.end()) return -1;
    tag = it->tag;
  }
  if (tag >= 0 && it == entries_.end()) return -1;
  Entry* entry = tag >= 0 ? &*it : nullptr;
  if (!entry || entry->state == State::kDecoded) {
    // A second picture out of one packet (a picture whose own start merged into this one),
    // or one under no tag: it has no number of its own.
    Entry extra;
    extra.epoch = entry ? entry->epoch : epoch_;
    extra.sentAt = entry ? entry->sentAt : sentCount_;
    extra.seq = seq_++;
    extra.id = nextSyntheticId_--;
    entries_.push_back(extra);
    entry = &entries_.back();
  } else {
    entry->id = tag;
  }
  entry->state = State::kDecoded;
  entry->decodedAt = sentCount_;
  if (!entry->known && haveLastDecoded_) {
    // libavcodec gives pictures out in display order: this one follows the last it gave.
    entry->known = entry->synthetic = true;
    entry->epoch = lastDecodedEpoch_;
    entry->number = lastDecodedNumber_ + (GapsCount() ? step_ : 0);
  }
  if (entry->known && !entry->synthetic) Learn(entry->epoch, entry->number);
  if (entry->known) {
    haveLastDecoded_ = true;
    lastDecodedEpoch_ = entry->epoch;
    lastDecodedNumber_ = entry->number;
  }
  return entry->id;
}

void DisplayOrder::Refused(int64_t tag) {
  // With frame threads the refusal may belong to an earlier packet: one whose header could
  // not be read is the likelier.
  auto it = std::find_if(entries_.begin(), entries_.end(), [tag](const Entry& e) {
    return !e.known && e.tag >= 0 && e.tag <= tag && e.state == State::kPending;
  });
  if (it == entries_.end()) it = Find(tag);
  if (it == entries_.end() || it->state != State::kPending) return;
  it->state = State::kRefused;
  if (!it->known || !GapsCount()) return;
  // A refused picture's header may be damaged and its number wrong: one that cannot be its
  // place (off the step, already given out, taken by another picture, or far past every
  // picture sent) is taken as unreadable.
  const Entry& refused = *it;
  bool plausible = (!haveCursor_ || refused.epoch > cursorEpoch_ ||
                    (refused.number > cursorNumber_ && (refused.number - cursorNumber_) % step_ == 0));
  int64_t highest = refused.number;
  bool anyOther = false;
  for (const Entry& e : entries_) {
    if (&e == &refused || !e.known || e.synthetic || e.epoch != refused.epoch) continue;
    if (e.number == refused.number || (e.number - refused.number) % step_ != 0) plausible = false;
    highest = anyOther ? std::max(highest, e.number) : e.number;
    anyOther = true;
  }
  if (anyOther && refused.number > highest + kMaxGap * step_) plausible = false;
  if (!plausible) it->known = false;
}

void DisplayOrder::End() { ended_ = true; }

bool DisplayOrder::Overdue(const Entry& e) const {
  return ended_ || sentCount_ - e.sentAt > hold_ || entries_.size() > kMaxWaiting;
}

bool DisplayOrder::EpochFromZero(int64_t epoch) const {
  return std::find(fromZero_.begin(), fromZero_.end(), epoch) != fromZero_.end();
}

bool DisplayOrder::HoleBelowDecoded(int64_t epoch) const {
  // libavcodec gives pictures out in display order, so every picture before the last one
  // it gave has been sent: a number missing below it is a gap.
  std::vector<int64_t> numbers;
  bool anyDecoded = false;
  int64_t highest = 0;
  for (const Entry& e : entries_) {
    if (!e.known || e.synthetic || e.epoch != epoch) continue;
    numbers.push_back(e.number);
    if (e.state == State::kDecoded) {
      highest = anyDecoded ? std::max(highest, e.number) : e.number;
      anyDecoded = true;
    }
  }
  if (haveCursor_ && cursorEpoch_ == epoch) numbers.push_back(cursorNumber_);
  if (!anyDecoded) return false;
  std::sort(numbers.begin(), numbers.end());
  for (size_t i = 1; i < numbers.size() && numbers[i] <= highest; ++i)
    if (numbers[i] - numbers[i - 1] > step_) return true;
  return false;
}

void DisplayOrder::Emit(const Entry& e) {
  Slot slot;
  slot.decoded = e.state == State::kDecoded;
  slot.id = slot.decoded ? e.id : -1;
  slot.pts = e.pts;
  ready_.push_back(slot);
}

void DisplayOrder::MoveCursor(int64_t epoch, int64_t number) {
  haveCursor_ = true;
  cursorEpoch_ = epoch;
  cursorNumber_ = number;
  while (!fromZero_.empty() && fromZero_.front() < cursorEpoch_) fromZero_.pop_front();
}

void DisplayOrder::Learn(int64_t epoch, int64_t number) {
  // The step is the smallest difference between the numbers of pictures libavcodec decoded
  // (their headers were sound); numbers that do not keep to multiples of it tell nothing.
  if (epoch != learnEpoch_) {
    learnt_.clear();
    learnEpoch_ = epoch;
  }
  const auto at = std::lower_bound(learnt_.begin(), learnt_.end(), number);
  if (at != learnt_.end() && *at == number) return;
  learnt_.insert(at, number);
  if (learnt_.size() > kLearnt) learnt_.erase(learnt_.begin());
  int64_t smallest = 0;
  for (size_t i = 1; i < learnt_.size(); ++i) {
    const int64_t d = learnt_[i] - learnt_[i - 1];
    if (smallest == 0 || d < smallest) smallest = d;
  }
  if (smallest == 0) return;
  if (step_ != 0 && smallest < step_) {
    if (step_ % smallest != 0) irregular_ = true;
    stepSeen_ = 0;
  }
  if (step_ == 0 || smallest < step_) step_ = smallest;
  int64_t seen = 0;
  for (size_t i = 1; i < learnt_.size(); ++i) {
    const int64_t d = learnt_[i] - learnt_[i - 1];
    if (d % step_ != 0) irregular_ = true;
    seen += d == step_;
  }
  stepSeen_ = std::max(stepSeen_, seen);
}

bool DisplayOrder::Advance() {
  const bool gaps = GapsCount();
  auto first = entries_.end();  // the known picture first in display order
  for (auto it = entries_.begin(); it != entries_.end(); ++it)
    if (it->known && (first == entries_.end() || KeyOf(*it) < KeyOf(*first))) first = it;

  // Pictures without a number. Decoded ones come out where libavcodec gave them; others,
  // once they will not come, take a gap if the numbers show gaps, else the place they are at.
  bool pendingUnknown = false, holdFirst = false;
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->known) continue;
    const bool lost = it->state == State::kRefused || (it->state == State::kPending && Overdue(*it));
    // At a start whose count has no known beginning, a picture's place before the first
    // slot cannot show as a gap: with no gap among the pictures given out so far, it goes
    // first (today's placement), and the first slot waits until that is known.
    const bool openStart = gaps && !haveCursor_ && !EpochFromZero(it->epoch);
    if (it->state == State::kPending && !lost) {
      pendingUnknown = true;
      holdFirst = holdFirst || openStart;
    }
    bool out = it->state == State::kDecoded || (lost && !gaps);
    if (lost && gaps) {
      if (openStart && !HoleBelowDecoded(it->epoch)) {
        out = ended_ || sentCount_ - it->sentAt > hold_;
        holdFirst = holdFirst || !out;
      } else {
        // It waits for a gap, until none can open in its count any more or it waited too long.
        const bool countOver = first == entries_.end() ? ended_ : first->epoch > it->epoch;
        out = countOver || sentCount_ - it->sentAt > 3 * hold_ || entries_.size() > kMaxWaiting;
      }
    }
    if (out) {
      Emit(*it);
      entries_.erase(it);
      return true;
    }
  }
  if (first == entries_.end() || holdFirst) return false;
  // Until the step is known, the first slot waits: a gap right after it would not show.
  if (numbersShowGaps_ && !haveCursor_ && !gaps && !irregular_ && !ended_ && sentCount_ <= hold_ &&
      entries_.size() <= kMaxWaiting)
    return false;

  const bool late = haveCursor_ && (first->epoch < cursorEpoch_ ||
                                    (first->epoch == cursorEpoch_ && first->number <= cursorNumber_));
  if (gaps && !late) {
    bool expect = false;
    int64_t expected = 0;
    if (haveCursor_ && cursorEpoch_ == first->epoch) {
      expect = true;
      expected = cursorNumber_ + step_;
    } else if (EpochFromZero(first->epoch)) {
      expect = true;
    }
    const int64_t span = first->number - expected;
    if (expect && span > 0 && span % step_ == 0 && span / step_ <= kMaxGap) {
      // Numbers missing before this picture: lost, once enough packets have followed for
      // every picture before it to have come. At the end of the input, a later picture sent
      // after this one shows it (the lost one would have come between); a gap that nothing
      // followed (the stream's last pictures missing) tells nothing and is passed over.
      bool evident = entries_.size() > kMaxWaiting || sentCount_ - first->sentAt > hold_;
      for (const Entry& e : entries_) {
        if (e.state == State::kDecoded && e.known && sentCount_ - e.decodedAt >= hold_) evident = true;
        if (ended_ && e.known && e.sentAt > first->sentAt && KeyOf(*first) < KeyOf(e)) evident = true;
      }
      if (!ended_ && (!evident || pendingUnknown)) return false;
      auto unknown = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
        return !e.known && e.epoch <= first->epoch && e.state != State::kDecoded;
      });
      if (evident || unknown != entries_.end()) {
        Slot slot;
        const int64_t epoch = first->epoch;
        if (unknown != entries_.end()) {
          slot.pts = unknown->pts;
          entries_.erase(unknown);  // `first` is no longer valid
        }
        ready_.push_back(slot);
        MoveCursor(epoch, expected);
        return true;
      }
    }
  }
  if (first->state == State::kPending && !Overdue(*first)) return false;
  if (first->state == State::kRefused && !Overdue(*first)) {
    // A refusal may be another packet's (frame threads): it stands once libavcodec has given
    // out a picture that shows after this one.
    const Key key = KeyOf(*first);
    const bool passed = std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
      return e.state == State::kDecoded && e.known && key < KeyOf(e);
    });
    if (!passed) return false;
  }
  const int64_t epoch = first->epoch, number = first->number;
  Emit(*first);
  entries_.erase(first);
  if (!late) MoveCursor(epoch, number);
  return true;
}

bool DisplayOrder::Next(Slot* slot) {
  while (ready_.empty() && Advance()) {
  }
  if (ready_.empty()) return false;
  *slot = ready_.front();
  ready_.pop_front();
  return true;
}

}  // namespace tessivar::mfxsw
