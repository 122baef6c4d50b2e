#include "nv12_writer.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace tessivar::mfxsw {
namespace {

uint32_t Pitch(const mfxFrameData& data) { return (static_cast<uint32_t>(data.PitchHigh) << 16) | data.PitchLow; }

// Interleaves count u and v samples into pairs.
void InterleaveChromaRow(const uint8_t* __restrict u, const uint8_t* __restrict v, uint8_t* __restrict pairs,
                         int count) {
  int x = 0;
#if defined(__SSE2__)
  for (; x + 16 <= count; x += 16) {
    const __m128i uBytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + x));
    const __m128i vBytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pairs + 2 * x), _mm_unpacklo_epi8(uBytes, vBytes));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pairs + 2 * x + 16), _mm_unpackhi_epi8(uBytes, vBytes));
  }
#endif
  for (; x < count; ++x) {
    pairs[2 * x] = u[x];
    pairs[2 * x + 1] = v[x];
  }
}

}  // namespace

bool SurfaceCanHold(const mfxFrameSurface1& surface, int width, int height) {
  const mfxFrameInfo& info = surface.Info;
  return surface.Data.Y && surface.Data.UV && info.Width >= width && info.Height >= height &&
         Pitch(surface.Data) >= info.Width && info.Width > 0 && info.Height > 0;
}

void WriteNv12(const AVFrame* frame, mfxFrameSurface1* surface) {
  const int width = surface->Info.Width, height = surface->Info.Height;
  const size_t pitch = Pitch(surface->Data);
  uint8_t* y = surface->Data.Y;
  uint8_t* uv = surface->Data.UV;
  if (!frame) {
    for (int row = 0; row < height; ++row) std::memset(y + row * pitch, 128, width);
    for (int row = 0; row < height / 2; ++row) std::memset(uv + row * pitch, 128, width);
    return;
  }
  const int fw = std::min(frame->width, width), fh = std::min(frame->height, height);
  for (int row = 0; row < fh; ++row) {
    uint8_t* dst = y + row * pitch;
    std::memcpy(dst, frame->data[0] + static_cast<ptrdiff_t>(row) * frame->linesize[0], fw);
    if (fw < width) std::memset(dst + fw, dst[fw - 1], width - fw);
  }
  for (int row = fh; row < height; ++row) std::memcpy(y + row * pitch, y + (fh - 1) * pitch, width);

  const int cw = (fw + 1) / 2, ch = (fh + 1) / 2;
  const bool gray = frame->format == AV_PIX_FMT_GRAY8 || !frame->data[1] || !frame->data[2];
  for (int row = 0; row < ch; ++row) {
    uint8_t* dst = uv + row * pitch;
    if (gray) {
      std::memset(dst, 128, 2 * cw);
    } else {
      const uint8_t* u = frame->data[1] + static_cast<ptrdiff_t>(row) * frame->linesize[1];
      const uint8_t* v = frame->data[2] + static_cast<ptrdiff_t>(row) * frame->linesize[2];
      InterleaveChromaRow(u, v, dst, cw);
    }
    for (int x = 2 * cw; x + 1 < width; x += 2) {
      dst[x] = dst[2 * cw - 2];
      dst[x + 1] = dst[2 * cw - 1];
    }
  }
  for (int row = ch; row < height / 2; ++row) std::memcpy(uv + row * pitch, uv + (ch - 1) * pitch, width);
}

}  // namespace tessivar::mfxsw
