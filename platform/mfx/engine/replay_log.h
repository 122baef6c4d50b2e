// What a slice-threaded MPEG-2 decoder was given and gave out since the I picture before last,
// so that a one-thread decoder can take its place and decode those packets again.
//
// libavcodec's slice threads decode an intact MPEG-2 picture exactly as one thread does, but
// conceal a damaged one differently from run to run. The feed decodes on slice threads until
// libavcodec reports damage; then a one-thread decoder is given the packets kept here (from an
// I picture, after the sequence header in force there) and the pictures the threaded decoder
// gave out already are dropped from its output. Every picture from the damage on is then the
// one-thread decoder's, the same whatever was decoded before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

namespace tessivar::mfxsw {

class ReplayLog {
 public:
  // Past these the log is full: the feed then takes the one-thread decoder at once.
  static constexpr size_t kMaxBytes = 64 << 20;
  static constexpr size_t kMaxPackets = 1024;

  struct Packet {
    std::vector<uint8_t> bytes;  // followed by libavcodec's zero padding
    size_t size = 0;             // without the padding
    int64_t pts = 0;             // as sent: the picture's tag, or none
    bool intra = false;
    bool mayRefuse = false;      // a refusal gives the picture up (not a second field's)
    std::shared_ptr<const std::vector<uint8_t>> sequence;  // the sequence header in force
  };

  void Clear();
  // A packet about to be sent. `intra`: it starts an I picture, and the log keeps only from
  // the I picture before it. `padding`: the zero bytes libavcodec reads past the end.
  void Add(const uint8_t* data, size_t size, int64_t pts, bool intra, bool mayRefuse, size_t padding);
  bool Full() const { return bytes_ > kMaxBytes || packets_.size() > kMaxPackets; }
  bool Empty() const { return packets_.empty(); }

  // A picture the threaded decoder gave out, under its packet's time stamp.
  void GaveOut(int64_t pts) { ++givenOut_[pts]; }
  // During the replay: true (once for each time it was given out) when a picture under this
  // time stamp came out of the threaded decoder already, and is dropped.
  bool TakeGivenOut(int64_t pts);

  const std::deque<Packet>& Packets() const { return packets_; }
  // The sequence header and its extensions in force at the first packet kept, padded; null
  // when none was seen.
  const std::vector<uint8_t>* FirstSequence() const {
    return packets_.empty() || !packets_.front().sequence ? nullptr : packets_.front().sequence.get();
  }

 private:
  std::deque<Packet> packets_;
  size_t bytes_ = 0;
  std::map<int64_t, int> givenOut_;
  std::shared_ptr<const std::vector<uint8_t>> sequence_;
};

}  // namespace tessivar::mfxsw
