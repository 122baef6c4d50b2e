// The host's environment: frame geometry and recycling, BitBlt, errors, and
// binding of script arguments to a registered function.
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "host/script_environment.h"

namespace {

VideoInfo Planar(int width, int height, int pixelType = VideoInfo::CS_YV12) {
  VideoInfo vi{};
  vi.width = width;
  vi.height = height;
  vi.pixel_type = pixelType;
  return vi;
}

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const HostScriptError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(HostEnvironment, FramePitchesAlignLumaAndChromaApart) {
  HostEnvironment env;
  PVideoFrame a = env.NewVideoFrame(Planar(64, 48), 16);
  EXPECT_EQ(a->GetPitch(), 64);
  EXPECT_EQ(a->GetPitch(PLANAR_U), 64);
  PVideoFrame b = env.NewVideoFrame(Planar(70, 48), 16);
  EXPECT_EQ(b->GetPitch(), 128);
  EXPECT_EQ(b->GetPitch(PLANAR_V), 64);
  EXPECT_EQ(b->GetRowSize(PLANAR_U), 35);
  EXPECT_EQ(b->GetHeight(PLANAR_U), 24);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b->GetReadPtr()) % 64, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b->GetReadPtr(PLANAR_U)) % 64, 0u);
}

TEST(HostEnvironment, PlaneOrderFollowsThePixelType) {
  HostEnvironment env;
  PVideoFrame yv12 = env.NewVideoFrame(Planar(64, 48, VideoInfo::CS_YV12));
  EXPECT_LT(yv12->GetReadPtr(PLANAR_V), yv12->GetReadPtr(PLANAR_U));
  EXPECT_EQ(yv12->GetReadPtr(PLANAR_V), yv12->GetReadPtr() + 64 * 48);
  PVideoFrame i420 = env.NewVideoFrame(Planar(64, 48, VideoInfo::CS_I420));
  EXPECT_LT(i420->GetReadPtr(PLANAR_U), i420->GetReadPtr(PLANAR_V));
  EXPECT_EQ(i420->GetReadPtr(PLANAR_U), i420->GetReadPtr() + 64 * 48);
}

TEST(HostEnvironment, RefusesFramesTheHostCannotServe) {
  HostEnvironment env;
  EXPECT_EQ(ErrorOf([&] { env.NewVideoFrame(Planar(63, 48)); }),
            "Filter Error: Attempted to request a planar frame that wasn't mod2 in width!");
  EXPECT_EQ(ErrorOf([&] { env.NewVideoFrame(Planar(64, 47)); }),
            "Filter Error: Attempted to request a planar frame that wasn't mod2 in height!");
  VideoInfo rgb = Planar(64, 48, VideoInfo::CS_BGR);
  EXPECT_NE(ErrorOf([&] { env.NewVideoFrame(rgb); }), "(no error)");
  EXPECT_NE(ErrorOf([&] { env.NewVideoFrame(Planar(0, 48)); }), "(no error)");
}

TEST(HostEnvironment, FramesAreRecycledOnlyWhenNothingHoldsThem) {
  HostEnvironment env;
  const BYTE* first;
  {
    PVideoFrame frame = env.NewVideoFrame(Planar(64, 48));
    EXPECT_TRUE(frame->IsWritable());
    ASSERT_NE(frame->GetWritePtr(), nullptr);
    first = frame->GetReadPtr();
    PVideoFrame second = frame;  // two holders: read-only
    EXPECT_FALSE(frame->IsWritable());
    EXPECT_EQ(frame->GetWritePtr(), nullptr);
    PVideoFrame other = env.NewVideoFrame(Planar(64, 48));
    EXPECT_NE(other->GetReadPtr(), first);
  }
  EXPECT_EQ(env.Frames().LiveFrames(), 0);
  PVideoFrame again = env.NewVideoFrame(Planar(64, 48));
  EXPECT_EQ(env.Frames().AllocatedBuffers(), 2);
  EXPECT_TRUE(again->IsWritable());

  // A sub-frame keeps the buffer after the frame itself is gone.
  PVideoFrame sub = env.Subframe(again, 64, 64, 32, 8);
  const BYTE* held = again->GetReadPtr();
  again = PVideoFrame();
  EXPECT_EQ(env.Frames().LiveBuffers(), 1);
  EXPECT_EQ(sub->GetReadPtr(), held + 64);
  PVideoFrame a = env.NewVideoFrame(Planar(64, 48));
  PVideoFrame b = env.NewVideoFrame(Planar(64, 48));
  EXPECT_NE(a->GetReadPtr(), held);
  EXPECT_NE(b->GetReadPtr(), held);
}

TEST(HostEnvironment, MakeWritableCopiesASharedFrame) {
  HostEnvironment env;
  PVideoFrame frame = env.NewVideoFrame(Planar(64, 48, VideoInfo::CS_I420));
  std::memset(frame->GetWritePtr(), 17, 64 * 48);
  std::memset(frame->GetWritePtr(PLANAR_U), 33, 64 * 24);
  std::memset(frame->GetWritePtr(PLANAR_V), 99, 64 * 24);
  EXPECT_FALSE(env.MakeWritable(&frame));
  PVideoFrame shared = frame;
  EXPECT_TRUE(env.MakeWritable(&frame));
  EXPECT_TRUE(frame->IsWritable());
  EXPECT_NE(frame->GetReadPtr(), shared->GetReadPtr());
  EXPECT_EQ(frame->GetReadPtr()[64 * 47 + 63], 17);
  EXPECT_EQ(frame->GetReadPtr(PLANAR_U)[5], 33);
  EXPECT_EQ(frame->GetReadPtr(PLANAR_V)[5], 99);
}

TEST(HostEnvironment, BitBltCopiesRowsAndRefusesNegativeSizes) {
  HostEnvironment env;
  BYTE src[3 * 8];
  for (int i = 0; i < 24; ++i) src[i] = static_cast<BYTE>(i);
  BYTE dst[3 * 5];
  std::memset(dst, 0xEE, sizeof dst);
  env.BitBlt(dst, 5, src, 8, 4, 3);
  EXPECT_EQ(dst[0], 0);
  EXPECT_EQ(dst[3], 3);
  EXPECT_EQ(dst[4], 0xEE);
  EXPECT_EQ(dst[5], 8);
  EXPECT_EQ(dst[13], 19);
  EXPECT_NE(ErrorOf([&] { env.BitBlt(dst, 5, src, 8, 4, -1); }), "(no error)");
  EXPECT_NE(ErrorOf([&] { env.BitBlt(dst, 5, src, 8, -4, 1); }), "(no error)");
}

TEST(HostEnvironment, ThrowErrorFormatsTheText) {
  HostEnvironment env;
  EXPECT_EQ(ErrorOf([&] { env.ThrowError("Orvanto: %s at %d", "failure", 3); }), "Orvanto: failure at 3");
  EXPECT_STREQ(env.Sprintf("%05d", 42), "00042");
  EXPECT_STREQ(env.SaveString("abcdef", 3), "abc");
}

std::string gSeen;
AVSValue Recorder(AVSValue args, void* userData, IScriptEnvironment*) {
  gSeen.clear();
  for (int i = 0; i < args.ArraySize(); ++i) gSeen += args[i].GetType();
  gSeen += userData ? "+data" : "";
  return AVSValue(args.ArraySize());
}

TEST(HostEnvironment, InvokeBindsArgumentsToTheDeclaredParameters) {
  HostEnvironment env;
  int data = 0;
  env.AddFunction("Probe", "[name]s[count]i[flag]b[ratio]f", Recorder, &data);
  EXPECT_TRUE(env.FunctionExists("probe"));

  AVSValue named[2] = {AVSValue(true), AVSValue("x")};
  const char* names[2] = {"flag", "NAME"};
  AVSValue result = env.Invoke("Probe", AVSValue(named, 2), names);
  EXPECT_EQ(result.AsInt(), 4);
  EXPECT_EQ(gSeen, "svbv+data");

  AVSValue positional[2] = {AVSValue("x"), AVSValue(3)};
  env.Invoke("Probe", AVSValue(positional, 2));
  EXPECT_EQ(gSeen, "sivv+data");

  AVSValue intForFloat[1] = {AVSValue(2)};
  const char* ratio[1] = {"ratio"};
  env.Invoke("Probe", AVSValue(intForFloat, 1), ratio);
  EXPECT_EQ(gSeen, "vvvi+data");

  AVSValue wrongType[1] = {AVSValue(3)};
  const char* nameOnly[1] = {"name"};
  EXPECT_NE(ErrorOf([&] { env.Invoke("Probe", AVSValue(wrongType, 1), nameOnly); }), "(no error)");
  const char* unknown[1] = {"nothing"};
  EXPECT_NE(ErrorOf([&] { env.Invoke("Probe", AVSValue(wrongType, 1), unknown); }), "(no error)");
  EXPECT_NE(ErrorOf([&] { env.Invoke("Missing", AVSValue()); }), "(no error)");
  EXPECT_NE(ErrorOf([&] { env.AddFunction("Bad", "[x]q", Recorder, nullptr); }), "(no error)");
}

TEST(HostEnvironment, VariablesAndScopes) {
  HostEnvironment env;
  env.SetGlobalVar("g", AVSValue(1));
  env.PushContext();
  env.SetVar("g", AVSValue(2));
  EXPECT_EQ(env.GetVar("g").AsInt(), 2);
  env.PopContext();
  EXPECT_EQ(env.GetVar("g").AsInt(), 1);
  EXPECT_NE(ErrorOf([&] { env.GetVar("unset"); }), "(no error)");
}

}  // namespace
