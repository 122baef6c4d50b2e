#include "display_order.h"

#include <algorithm>

namespace tessivar::mfxsw {

void DisplayOrder::Configure(int64_t holdPackets, bool repeatsKeepTag) {
  repeatsKeepTag_ = repeatsKeepTag;
  hold_ = std::max<int64_t>(holdPackets, 1);
}

void DisplayOrder::Clear() {
  entries_.clear();
  ready_.clear();
  epoch_ = 0;
  inferred_ = 0;
  sentCount_ = 0;
  ended_ = false;
  haveLastDecoded_ = false;
}

void DisplayOrder::Sent(int64_t tag, int64_t pts, std::optional<int64_t> number, bool restart, int64_t modulus,
                        bool inferred, std::optional<int64_t> before) {
  if (restart) ++epoch_;
  if (restart && inferred) ++inferred_;
  Entry e;
  e.tag = tag;
  e.pts = pts;
  e.epoch = epoch_;
  e.inferred = inferred_;
  e.known = number.has_value();
  e.number = number.value_or(0);
  e.place = before ? 2 * *before - 1 : 2 * e.number;
  e.modulus = modulus;
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
    extra.inferred = entry ? entry->inferred : inferred_;
    extra.sentAt = entry ? entry->sentAt : sentCount_;
    extra.seq = seq_++;
    extra.id = nextSyntheticId_--;
    entries_.push_back(extra);
    entry = &entries_.back();
  } else {
    entry->id = tag;
  }
  entry->state = State::kDecoded;
  if (!entry->known && haveLastDecoded_) {
    // libavcodec gives pictures out in display order: this one follows the last it gave.
    entry->known = entry->synthetic = true;
    entry->epoch = lastDecodedEpoch_;
    entry->number = lastDecodedNumber_;
    entry->place = lastDecodedPlace_;
  }
  if (entry->known) {
    haveLastDecoded_ = true;
    lastDecodedEpoch_ = entry->epoch;
    lastDecodedNumber_ = entry->number;
    lastDecodedPlace_ = entry->place;
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
}

void DisplayOrder::End() { ended_ = true; }

bool DisplayOrder::Overdue(const Entry& e) const {
  return ended_ || sentCount_ - e.sentAt > hold_ || entries_.size() > kMaxWaiting;
}

void DisplayOrder::Emit(const Entry& e) {
  Slot slot;
  slot.decoded = e.state == State::kDecoded;
  slot.id = slot.decoded ? e.id : -1;
  slot.pts = e.pts;
  slot.restart = e.epoch;
  slot.inferred = e.inferred;
  slot.numberKnown = e.known && !e.synthetic;
  slot.number = e.number;
  slot.modulus = e.modulus;
  ready_.push_back(slot);
}

bool DisplayOrder::Advance() {
  auto first = entries_.end();  // the known picture first in display order
  for (auto it = entries_.begin(); it != entries_.end(); ++it)
    if (it->known && (first == entries_.end() || KeyOf(*it) < KeyOf(*first))) first = it;

  // Pictures without a number: decoded ones come out where libavcodec gave them, the others
  // once they will not come and every picture sent before them is out.
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->known) continue;
    const bool lost = it->state == State::kRefused || (it->state == State::kPending && Overdue(*it));
    if (it->state == State::kDecoded || (lost && (it == entries_.begin() || Overdue(*it)))) {
      Emit(*it);
      entries_.erase(it);
      return true;
    }
  }
  if (first == entries_.end()) return false;
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
  Emit(*first);
  entries_.erase(first);
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
