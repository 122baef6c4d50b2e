#include "replay_log.h"

#include <algorithm>

#include "start_codes.h"

namespace tessivar::mfxsw {

namespace {

constexpr uint8_t kSequenceHeaderCode = 0xB3;
constexpr uint8_t kExtensionCode = 0xB5;
constexpr uint8_t kPictureCode = 0x00;

// The sequence header and its extensions ahead of the packet's picture, padded; null when
// the packet has none.
std::shared_ptr<const std::vector<uint8_t>> SequenceOf(const uint8_t* data, size_t size, size_t padding) {
  for (size_t at = FindStartCode(data, size, 0); at != kNoStartCode; at = FindStartCode(data, size, at + 3)) {
    const uint8_t code = data[at + 3];
    if (code == kPictureCode) return nullptr;
    if (code != kSequenceHeaderCode) continue;
    size_t end = FindStartCode(data, size, at + 3);
    while (end != kNoStartCode && data[end + 3] == kExtensionCode) end = FindStartCode(data, size, end + 3);
    auto header = std::make_shared<std::vector<uint8_t>>(data + at, end == kNoStartCode ? data + size : data + end);
    header->resize(header->size() + padding, 0);
    return header;
  }
  return nullptr;
}

}  // namespace

void ReplayLog::Clear() {
  packets_.clear();
  bytes_ = 0;
  givenOut_.clear();
  sequence_.reset();
}

void ReplayLog::Add(const uint8_t* data, size_t size, int64_t pts, bool intra, bool mayRefuse, size_t padding) {
  if (auto header = SequenceOf(data, size, padding)) sequence_ = std::move(header);
  if (intra) {
    // From the last I picture on; pictures before it no decoder given the log can give out.
    auto last = std::find_if(packets_.rbegin(), packets_.rend(), [](const Packet& p) { return p.intra; });
    if (last != packets_.rend()) {
      const auto keep = std::prev(last.base());
      for (auto it = packets_.begin(); it != keep; ++it) bytes_ -= it->bytes.size();
      packets_.erase(packets_.begin(), keep);
      givenOut_.erase(givenOut_.begin(), givenOut_.lower_bound(packets_.front().pts));
    }
  }
  Packet packet;
  packet.bytes.assign(data, data + size);
  packet.bytes.resize(size + padding, 0);
  packet.size = size;
  packet.pts = pts;
  packet.intra = intra;
  packet.mayRefuse = mayRefuse;
  packet.sequence = sequence_;
  bytes_ += packet.bytes.size();
  packets_.push_back(std::move(packet));
}

bool ReplayLog::TakeGivenOut(int64_t pts) {
  auto it = givenOut_.find(pts);
  if (it == givenOut_.end()) return false;
  if (--it->second == 0) givenOut_.erase(it);
  return true;
}

}  // namespace tessivar::mfxsw
