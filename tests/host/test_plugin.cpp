// A stand-in plug-in for testing the host: registers Orvanto with the real
// parameter string, records the arguments it gets, and serves a synthetic clip
// whose pixels are a known function of the frame number.
#include <cstdio>
#include <string>

#include "platform/avisynth/avisynth_interface.h"
#include "tests/host/test_plugin_pattern.h"

namespace {

std::string gLastArguments;
int gLastCacheHint = 0;

class PatternClip : public IClip {
 public:
  PatternClip(const VideoInfo& vi, bool parity) : vi_(vi), parity_(parity) {}
  int GetVersion() override { return 3; }
  PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
    if (n < 0) n = 0;
    if (n >= vi_.num_frames) n = vi_.num_frames - 1;
    PVideoFrame frame = env->NewVideoFrame(vi_);
    BYTE* y = frame->GetWritePtr();
    if (!y) env->ThrowError("test plug-in: new frame is not writable");
    BYTE* u = frame->GetWritePtr(PLANAR_U);
    BYTE* v = frame->GetWritePtr(PLANAR_V);
    for (int row = 0; row < vi_.height; ++row)
      for (int x = 0; x < vi_.width; ++x) y[row * frame->GetPitch() + x] = PatternLuma(x, row, n);
    for (int row = 0; row < vi_.height / 2; ++row) {
      for (int x = 0; x < vi_.width / 2; ++x) {
        u[row * frame->GetPitch(PLANAR_U) + x] = PatternU(x, row, n);
        v[row * frame->GetPitch(PLANAR_V) + x] = PatternV(x, row, n);
      }
    }
    return frame;
  }
  bool GetParity(int) override { return parity_; }
  void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
  void SetCacheHints(int hints, int) override { gLastCacheHint = hints; }
  const VideoInfo& GetVideoInfo() override { return vi_; }

 private:
  VideoInfo vi_;
  bool parity_;
};

std::string Describe(const AVSValue& value) {
  switch (value.GetType()) {
    case 's': return std::string("s:") + value.AsString();
    case 'i': return "i:" + std::to_string(value.AsInt());
    case 'b': return value.AsBool() ? "b:true" : "b:false";
    case 'v': return "v";
    default: return std::string(1, value.GetType());
  }
}

AVSValue CreatePattern(AVSValue args, void*, IScriptEnvironment* env) {
  gLastArguments.clear();
  for (int i = 0; i < args.ArraySize(); ++i) {
    if (i) gLastArguments += ' ';
    gLastArguments += Describe(args[i]);
  }
  if (args[1].AsInt(0) == 99) env->ThrowError("Orvanto: test failure %d", 99);
  VideoInfo vi{};
  vi.width = args[3].AsInt(0) > 0 ? args[3].AsInt() : kPatternWidth;
  vi.height = kPatternHeight;
  vi.fps_numerator = 30000;
  vi.fps_denominator = 1001;
  vi.num_frames = args[4].AsInt(0) > 0 ? args[4].AsInt() : kPatternFrames;
  vi.pixel_type = args[2].AsBool(false) ? VideoInfo::CS_I420 : VideoInfo::CS_YV12;
  return AVSValue(static_cast<IClip*>(new PatternClip(vi, !args[6].AsBool(false))));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* AvisynthPluginInit2(IScriptEnvironment* env) {
  env->AddFunction("Orvanto", "[vqi]s[engine]i[i420]b[deinterlace]i[fieldop]i[debug]b[silent]b", CreatePattern,
                   nullptr);
  return "test plug-in";
}

extern "C" __attribute__((visibility("default"))) const char* HostTestLastArguments() {
  return gLastArguments.c_str();
}

extern "C" __attribute__((visibility("default"))) int HostTestLastCacheHint() { return gLastCacheHint; }
