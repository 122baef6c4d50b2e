#include "source/picture_copy.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/avisynth/avisynth_interface.h"

namespace {

// Splits `count` interleaved pairs into u and v.
void SplitChromaRow(const uint8_t* __restrict pairs, uint8_t* __restrict u, uint8_t* __restrict v, int count) {
  int c = 0;
#if defined(__SSE2__)
  const __m128i lowBytes = _mm_set1_epi16(0x00FF);
  for (; c + 16 <= count; c += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs + 2 * c));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs + 2 * c + 16));
    __m128i uBytes = _mm_packus_epi16(_mm_and_si128(a, lowBytes), _mm_and_si128(b, lowBytes));
    __m128i vBytes = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u + c), uBytes);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + c), vBytes);
  }
#endif
  for (; c < count; ++c) {
    u[c] = pairs[2 * c];
    v[c] = pairs[2 * c + 1];
  }
}

}  // namespace

void CopyPicture(IScriptEnvironment* env, PictureCopy kind, const YV12Picture& from, const YV12Picture& to,
                 const YV12Picture& sizes) {
  if (!from.y || !to.y) return;
  const int height = sizes.lumaHeight;
  const int width = sizes.lumaWidth;
  if (kind == PictureCopy::Whole) {
    env->BitBlt(to.y, to.lumaPitch, from.y, from.lumaPitch, width, height);
    env->BitBlt(to.u, to.chromaPitch, from.u, from.chromaPitch, sizes.chromaWidth, height / 2);
    env->BitBlt(to.v, to.chromaPitch, from.v, from.chromaPitch, sizes.chromaWidth, height / 2);
    return;
  }
  const int lumaRow = kind == PictureCopy::BottomField ? 1 : 0;
  env->BitBlt(to.y + lumaRow * to.lumaPitch, 2 * to.lumaPitch, from.y + lumaRow * from.lumaPitch,
              2 * from.lumaPitch, width, height / 2);
  env->BitBlt(to.u + lumaRow * to.chromaPitch, 2 * to.chromaPitch, from.u + lumaRow * from.chromaPitch,
              2 * from.chromaPitch, width / 2, height / 4);
  env->BitBlt(to.v + lumaRow * to.chromaPitch, 2 * to.chromaPitch, from.v + lumaRow * from.chromaPitch,
              2 * from.chromaPitch, width / 2, height / 4);
}

void CopySurface(IScriptEnvironment* env, const mfxFrameSurface1& surface, const YV12Picture& to) {
  if (!to.y || !surface.Data.Y || !surface.Data.UV) return;
  const mfxFrameInfo& info = surface.Info;
  const int pitch = surface.Data.Pitch;
  const int cropX = info.CropX;
  const int cropY = info.CropY;
  // The crop rectangle, cut to what the surface holds and what the picture takes.
  const int surfaceWidth = std::max(0, int(info.Width) - cropX);
  const int surfaceHeight = std::max(0, int(info.Height) - cropY);
  const int rows = std::min({int(info.CropH), surfaceHeight, to.lumaHeight});
  const int columns = std::min({int(info.CropW), surfaceWidth, to.lumaWidth});

  const uint8_t* luma = surface.Data.Y + cropY * pitch + cropX;
  if (to.lumaPitch == pitch && pitch == info.CropW && columns == info.CropW)
    std::memcpy(to.y, luma, size_t(pitch) * rows);
  else
    env->BitBlt(to.y, to.lumaPitch, luma, pitch, columns, rows);

  const uint8_t* chroma = surface.Data.UV + (cropY * pitch) / 2 + cropX;
  const int chromaRows = std::min(to.lumaHeight / 2, surfaceHeight / 2);
  const int chromaColumns = std::min(to.chromaWidth, surfaceWidth / 2);
  uint8_t* u = to.u;
  uint8_t* v = to.v;
  for (int row = 0; row < chromaRows; ++row) {
    SplitChromaRow(chroma, u, v, chromaColumns);
    chroma += pitch;
    u += to.chromaPitch;
    v += to.chromaPitch;
  }
}

void FillBlack(const YV12Picture& picture) { FillFlat(picture, 16); }

void FillFlat(const YV12Picture& picture, uint8_t luma) {
  if (!picture.y) return;
  for (int row = 0; row < picture.lumaHeight; ++row)
    std::memset(picture.y + row * picture.lumaPitch, luma, picture.lumaWidth);
  for (int row = 0; row < picture.lumaHeight / 2; ++row) {
    std::memset(picture.u + row * picture.chromaPitch, 128, picture.chromaWidth);
    std::memset(picture.v + row * picture.chromaPitch, 128, picture.chromaWidth);
  }
}
