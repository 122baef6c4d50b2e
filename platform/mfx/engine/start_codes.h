// Start-code scanning over elementary-stream bytes (00 00 01 xx).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessivar::mfxsw {

inline constexpr size_t kNoStartCode = static_cast<size_t>(-1);

// Offset of the first 00 00 01 at or after `from` whose code byte (the 4th) lies inside the
// buffer, or kNoStartCode.
inline size_t FindStartCode(const uint8_t* data, size_t size, size_t from) {
  if (size < 4) return kNoStartCode;
  size_t i = from;
  while (i + 3 < size) {
    const void* hit = std::memchr(data + i + 2, 1, size - 3 - i);
    if (!hit) return kNoStartCode;
    size_t one = static_cast<const uint8_t*>(hit) - data;  // position of the 01
    if (data[one - 1] == 0 && data[one - 2] == 0) return one - 2;
    i = one - 1;
  }
  return kNoStartCode;
}

}  // namespace tessivar::mfxsw
