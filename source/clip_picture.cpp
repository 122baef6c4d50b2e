#include "source/clip_picture.h"

#include <cstdlib>

#include "platform/win32/win32.h"

YV12Picture* AllocYV12Picture(int32_t height, int32_t width) {
  if (height <= 0 || width <= 0) return nullptr;
  const int32_t chromaWidth = width >> 1;
  const int32_t chromaHeight = height >> 1;
  const int64_t chromaPitch = (int64_t{chromaWidth} + 15) / 16 * 16;
  int64_t lumaPitch = 2 * chromaPitch;
  // Twice the chroma pitch can be short of an odd width (33 gives 32): keep
  // every luma row inside its pitch.
  if (lumaPitch < width) lumaPitch = (int64_t{width} + 31) / 32 * 32;
  const int64_t lumaBytes = lumaPitch * height;
  const int64_t chromaBytes = chromaPitch * chromaHeight;
  if (lumaPitch > INT32_MAX || lumaBytes > (int64_t{1} << 31)) return nullptr;

  auto* picture = static_cast<YV12Picture*>(std::calloc(1, sizeof(YV12Picture)));
  if (!picture) return nullptr;
  picture->y = static_cast<uint8_t*>(_aligned_malloc(static_cast<size_t>(lumaBytes), 32));
  // A picture one pixel high or wide has empty chroma planes; still give them an
  // address so that the descriptor is uniform.
  picture->u = static_cast<uint8_t*>(_aligned_malloc(static_cast<size_t>(chromaBytes ? chromaBytes : 16), 16));
  picture->v = static_cast<uint8_t*>(_aligned_malloc(static_cast<size_t>(chromaBytes ? chromaBytes : 16), 16));
  if (!picture->y || !picture->u || !picture->v) {
    FreeYV12Picture(picture);
    return nullptr;
  }
  picture->lumaPitch = static_cast<int32_t>(lumaPitch);
  picture->chromaPitch = static_cast<int32_t>(chromaPitch);
  picture->lumaWidth = width;
  picture->chromaWidth = chromaWidth;
  picture->lumaHeight = height;
  picture->chromaHeight = chromaHeight;
  return picture;
}

void FreeYV12Picture(YV12Picture* picture) {
  if (!picture) return;
  _aligned_free(picture->y);
  _aligned_free(picture->u);
  _aligned_free(picture->v);
  std::free(picture);
}
