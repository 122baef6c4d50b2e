// The pieces of serving that need no decoder: the GOP a seek starts from, and the
// copies between a decoded surface and planar pictures.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

#include "host/script_environment.h"
#include "source/avc.h"
#include "source/picture_copy.h"
#include "source/source_state.h"

namespace {

// ---- GOP choice ----

class GopChoiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state = std::make_unique<SourceState>();
    frames.assign(200, FrameEntry{});
    state->frameTable = frames.data();
    for (int n = 0; n < 200; ++n) {
      frames[n].topFrame = frames[n].bottomFrame = n;
      frames[n].sliceType = 0;  // P
    }
  }
  void AddGop(int first, int leadingSlice = 2) {
    records.push_back(std::make_unique<GopRecord>());
    records.back()->firstFrame = first;
    records.back()->position = uint64_t(first) * 1000;
    frames[first].sliceType = leadingSlice;
    pointers.push_back(records.back().get());
    state->gopTable = pointers.data();
    state->gopCount = int32_t(pointers.size());
  }
  std::unique_ptr<SourceState> state;
  std::vector<FrameEntry> frames;
  std::vector<std::unique_ptr<GopRecord>> records;
  std::vector<GopRecord*> pointers;
};

TEST_F(GopChoiceTest, ClosedGopsStartAtTheirOwnGop) {
  AddGop(0);
  AddGop(25);
  AddGop(50);
  EXPECT_EQ(ChooseAvcGop(state.get(), 0).gop, 0);
  EXPECT_EQ(ChooseAvcGop(state.get(), 0).framesToSkip, 1);
  EXPECT_EQ(ChooseAvcGop(state.get(), 24).gop, 0);
  EXPECT_EQ(ChooseAvcGop(state.get(), 24).framesToSkip, 25);
  EXPECT_EQ(ChooseAvcGop(state.get(), 25).gop, 1);
  EXPECT_EQ(ChooseAvcGop(state.get(), 25).framesToSkip, 1);
  // At or after the last GOP's first frame: the last GOP.
  EXPECT_EQ(ChooseAvcGop(state.get(), 50).gop, 2);
  EXPECT_EQ(ChooseAvcGop(state.get(), 199).gop, 2);
  EXPECT_EQ(ChooseAvcGop(state.get(), 199).framesToSkip, 150);
}

TEST_F(GopChoiceTest, AGopLedByABPictureStartsOneGopEarlier) {
  AddGop(0, 1);  // a leading B in the first GOP never steps back
  AddGop(24, 1);
  AddGop(48, 6);
  AddGop(72, 7);
  EXPECT_EQ(ChooseAvcGop(state.get(), 3).gop, 0);
  EXPECT_EQ(ChooseAvcGop(state.get(), 24).gop, 0);
  EXPECT_EQ(ChooseAvcGop(state.get(), 24).framesToSkip, 25);
  EXPECT_EQ(ChooseAvcGop(state.get(), 60).gop, 1);
  EXPECT_EQ(ChooseAvcGop(state.get(), 60).framesToSkip, 37);
  EXPECT_EQ(ChooseAvcGop(state.get(), 80).gop, 3);
}

TEST_F(GopChoiceTest, ADisplayFrameSplitAcrossAGopStartBeginsAtTheEarlierGop) {
  AddGop(0);
  AddGop(25, 1);
  AddGop(50);
  frames[30].topFrame = 24;  // top field from the last frame of GOP 0
  frames[30].bottomFrame = 25;
  EXPECT_EQ(ChooseAvcGop(state.get(), 30).gop, 0);
  EXPECT_EQ(ChooseAvcGop(state.get(), 30).framesToSkip, 26);
  // Split, and the GOP before is open: two steps back.
  frames[31].topFrame = 49;
  frames[31].bottomFrame = 50;
  EXPECT_EQ(ChooseAvcGop(state.get(), 31).gop, 0);
  EXPECT_EQ(ChooseAvcGop(state.get(), 31).framesToSkip, 51);
}

// ---- picture copies ----

struct Planes {
  Planes(int width, int height, int pitch, int chromaPitch)
      : y(size_t(pitch) * height, 0), u(size_t(chromaPitch) * height / 2, 0), v(size_t(chromaPitch) * height / 2, 0) {
    picture = {y.data(), u.data(), v.data(), pitch, chromaPitch, width, width / 2, height, height / 2};
  }
  std::vector<uint8_t> y, u, v;
  YV12Picture picture;
};

struct Nv12Surface {
  Nv12Surface(int width, int height, int pitch) : data(size_t(pitch) * height * 3 / 2) {
    std::iota(data.begin(), data.end(), uint8_t(0));
    surface = {};
    surface.Info.Width = uint16_t(width);
    surface.Info.Height = uint16_t(height);
    surface.Info.CropW = uint16_t(width);
    surface.Info.CropH = uint16_t(height);
    surface.Data.Pitch = uint16_t(pitch);
    surface.Data.Y = data.data();
    surface.Data.UV = data.data() + size_t(pitch) * height;
  }
  std::vector<uint8_t> data;
  mfxFrameSurface1 surface;
};

TEST(PictureCopy, SurfaceLumaAndSplitChroma) {
  HostEnvironment env;
  for (int pitch : {64, 96}) {  // equal pitches and crop width (one block), and not
    Nv12Surface nv12(64, 32, pitch);
    Planes out(64, 32, 64, 32);
    CopySurface(&env, nv12.surface, out.picture);
    int wrong = 0;
    for (int row = 0; row < 32; ++row)
      for (int x = 0; x < 64; ++x) wrong += out.y[row * 64 + x] != nv12.data[row * pitch + x];
    for (int row = 0; row < 16; ++row) {
      for (int c = 0; c < 32; ++c) {
        wrong += out.u[row * 32 + c] != nv12.surface.Data.UV[row * pitch + 2 * c];
        wrong += out.v[row * 32 + c] != nv12.surface.Data.UV[row * pitch + 2 * c + 1];
      }
    }
    EXPECT_EQ(wrong, 0) << "pitch " << pitch;
  }
}

TEST(PictureCopy, CropOriginAndACropLargerThanThePicture) {
  HostEnvironment env;
  Nv12Surface nv12(64, 32, 64);
  nv12.surface.Info.CropX = 8;
  nv12.surface.Info.CropY = 4;
  nv12.surface.Info.CropW = 56;
  nv12.surface.Info.CropH = 28;
  Planes out(40, 16, 48, 24);  // smaller than the crop: only what fits is written
  const std::vector<uint8_t> before = out.y;
  CopySurface(&env, nv12.surface, out.picture);
  EXPECT_EQ(out.y[0], nv12.data[4 * 64 + 8]);
  EXPECT_EQ(out.y[15 * 48 + 39], nv12.data[19 * 64 + 47]);
  EXPECT_EQ(out.y[15 * 48 + 40], before[15 * 48 + 40]);  // the pitch padding stays
  EXPECT_EQ(out.u[0], nv12.surface.Data.UV[2 * 64 + 8]);
  EXPECT_EQ(out.v[7 * 24 + 19], nv12.surface.Data.UV[(2 + 7) * 64 + 8 + 39]);
}

TEST(PictureCopy, FieldCopiesTouchOnlyTheirRows) {
  HostEnvironment env;
  Planes from(16, 8, 16, 8);
  std::fill(from.y.begin(), from.y.end(), 200);
  std::fill(from.u.begin(), from.u.end(), 100);
  std::fill(from.v.begin(), from.v.end(), 50);
  for (PictureCopy kind : {PictureCopy::TopField, PictureCopy::BottomField}) {
    Planes to(16, 8, 16, 8);
    CopyPicture(&env, kind, from.picture, to.picture, to.picture);
    const int copiedParity = kind == PictureCopy::TopField ? 0 : 1;
    for (int row = 0; row < 8; ++row)
      EXPECT_EQ(to.y[row * 16 + 3], row % 2 == copiedParity ? 200 : 0) << "luma row " << row;
    for (int row = 0; row < 4; ++row) {
      EXPECT_EQ(to.u[row * 8 + 7], row % 2 == copiedParity ? 100 : 0) << "chroma row " << row;
      EXPECT_EQ(to.v[row * 8], row % 2 == copiedParity ? 50 : 0) << "chroma row " << row;
    }
  }
  Planes whole(16, 8, 16, 8);
  CopyPicture(&env, PictureCopy::Whole, from.picture, whole.picture, whole.picture);
  EXPECT_EQ(whole.y, from.y);
  EXPECT_EQ(whole.u, from.u);
}

}  // namespace
