// Scratch pictures: pitches by width, alignment, refusal of unusable sizes.
#include <cstdint>

#include <gtest/gtest.h>

#include "source/clip_picture.h"

namespace {

TEST(ClipPicture, PitchesFollowTheChromaWidth) {
  struct Case {
    int width, chromaPitch, lumaPitch;
  } cases[] = {{1920, 960, 1920}, {1000, 512, 1024}, {320, 160, 320}, {34, 32, 64}, {33, 16, 64}};
  for (const Case& c : cases) {
    YV12Picture* picture = AllocYV12Picture(10, c.width);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->chromaPitch, c.chromaPitch) << c.width;
    EXPECT_EQ(picture->lumaPitch, c.lumaPitch) << c.width;
    EXPECT_EQ(picture->lumaWidth, c.width);
    EXPECT_EQ(picture->chromaWidth, c.width >> 1);
    EXPECT_EQ(picture->lumaHeight, 10);
    EXPECT_EQ(picture->chromaHeight, 5);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(picture->y) % 32, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(picture->u) % 16, 0u);
    // Every row fits its pitch (the sanitizer tree checks the writes).
    picture->y[picture->lumaPitch * 9 + c.width - 1] = 1;
    picture->v[picture->chromaPitch * 4 + (c.width >> 1) - 1] = 1;
    FreeYV12Picture(picture);
  }
}

TEST(ClipPicture, RefusesEmptyOrHugeSizes) {
  EXPECT_EQ(AllocYV12Picture(0, 16), nullptr);
  EXPECT_EQ(AllocYV12Picture(16, -2), nullptr);
  EXPECT_EQ(AllocYV12Picture(1 << 20, 1 << 20), nullptr);
  FreeYV12Picture(nullptr);
}

}  // namespace
