// Plane descriptor of a planar 4:2:0 picture, and the scratch pictures the clip
// allocates with planes of its own.
#pragma once

#include <cstdint>

struct YV12Picture {
  uint8_t* y;
  uint8_t* u;
  uint8_t* v;
  int32_t lumaPitch;
  int32_t chromaPitch;
  int32_t lumaWidth;
  int32_t chromaWidth;
  int32_t lumaHeight;
  int32_t chromaHeight;
};

// A picture with its own planes: chroma rows padded to a multiple of 16 bytes,
// luma pitch twice the chroma pitch; plane contents uninitialised. Returns null
// when the size is not positive or memory runs out.
YV12Picture* AllocYV12Picture(int32_t height, int32_t width);
// Frees the planes and the descriptor; null is accepted.
void FreeYV12Picture(YV12Picture* picture);
