// Bit-level reading of header syntax (big-endian bit order), with Exp-Golomb codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessivar::mfxsw {

class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // Reads n bits (n <= 32). Past the end, reads zeros and marks the reader overrun.
  uint32_t Bits(int n) {
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) {
      value <<= 1;
      if (pos_ < size_ * 8) {
        value |= (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1u;
      } else {
        overrun_ = true;
      }
      ++pos_;
    }
    return value;
  }
  bool Flag() { return Bits(1) != 0; }
  void Skip(size_t n) { pos_ += n; if (pos_ > size_ * 8) overrun_ = true; }

  // Unsigned Exp-Golomb; a prefix longer than 31 zeros is malformed.
  uint32_t Ue() {
    int zeros = 0;
    while (!Flag()) {
      if (++zeros > 31 || overrun_) { overrun_ = true; return 0; }
    }
    if (zeros == 0) return 0;
    return ((1u << zeros) - 1) + Bits(zeros);
  }
  int32_t Se() {
    uint32_t k = Ue();
    return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
  }

  bool Overrun() const { return overrun_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool overrun_ = false;
};

// Removes H.264 emulation-prevention bytes (00 00 03 -> 00 00).
inline std::vector<uint8_t> UnescapeRbsp(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(size);
  int zeros = 0;
  for (size_t i = 0; i < size; ++i) {
    if (zeros >= 2 && data[i] == 3) { zeros = 0; continue; }
    zeros = data[i] == 0 ? zeros + 1 : 0;
    out.push_back(data[i]);
  }
  return out;
}

}  // namespace tessivar::mfxsw
