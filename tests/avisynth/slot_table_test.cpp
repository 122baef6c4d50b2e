// Virtual slot order, checked against raw tables: a fake environment built from
// an array of function pointers is called through our header, and our clips are
// called by raw slot index the way the host calls them.
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/avisynth/avisynth_interface.h"

#if defined(__x86_64__) || defined(__i386__)

namespace {

std::vector<std::string> gCalls;

[[noreturn]] void RecordThrowError(void*, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char text[128];
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  gCalls.push_back(std::string("ThrowError:") + text);
  throw std::runtime_error(text);
}

void RecordAddFunction(void*, const char* name, const char* params, void* apply, void* userData) {
  gCalls.push_back(std::string("AddFunction:") + name + ":" + params + (apply ? ":apply" : ":null") +
                   (userData ? ":data" : ":nodata"));
}

// NewVideoFrame returns a PVideoFrame through the hidden result pointer, which
// comes first, before `this`. A free function returning the same class takes it
// the same way on both ABIs (on i386 it also pops it, as the member does).
PVideoFrame RecordNewVideoFrame(void*, const VideoInfo* vi, int align) {
  gCalls.push_back("NewVideoFrame:" + std::to_string(vi->width) + "x" + std::to_string(vi->height) + ":" +
                   std::to_string(align));
  return PVideoFrame();  // a null frame handle
}

void RecordBitBlt(void*, BYTE* dst, int dstPitch, const BYTE* src, int srcPitch, int rowSize, int height) {
  gCalls.push_back("BitBlt:" + std::to_string(dstPitch) + ":" + std::to_string(srcPitch) + ":" +
                   std::to_string(rowSize) + ":" + std::to_string(height) + (dst && src ? ":ptrs" : ":null"));
}

template <int Slot>
void Trap() {
  gCalls.push_back("trap:" + std::to_string(Slot));
}

template <int... Slots>
void FillTraps(void** table, std::integer_sequence<int, Slots...>) {
  ((table[Slots] = reinterpret_cast<void*>(&Trap<Slots>)), ...);
}

// A vtable image: offset to top and type info, then slots 0..29.
struct FakeEnvironment {
  void* image[32];
  void** vptr;
  FakeEnvironment() {
    image[0] = nullptr;
    image[1] = nullptr;
    FillTraps(image + 2, std::make_integer_sequence<int, 30>());
    image[2 + 6] = reinterpret_cast<void*>(&RecordThrowError);
    image[2 + 7] = reinterpret_cast<void*>(&RecordAddFunction);
    image[2 + 15] = reinterpret_cast<void*>(&RecordNewVideoFrame);
    image[2 + 17] = reinterpret_cast<void*>(&RecordBitBlt);
    vptr = image + 2;
  }
  IScriptEnvironment* env() { return reinterpret_cast<IScriptEnvironment*>(&vptr); }
};

AVSValue Apply(AVSValue, void*, IScriptEnvironment*) { return AVSValue(); }

// The compiler must not see through the raw tables (it would map arguments by
// its own idea of the callee): every table pointer passes an opaque barrier.
template <typename T>
T Opaque(T value) {
  asm volatile("" : "+r"(value));
  return value;
}

__attribute__((no_sanitize("vptr"))) void CallUsedSlots(IScriptEnvironment* env) {
  env = Opaque(env);
  env->AddFunction("Orvanto", "[vqi]s", Apply, nullptr);
  VideoInfo vi{};
  vi.width = 64;
  vi.height = 48;
  PVideoFrame frame = env->NewVideoFrame(vi, 16);
  EXPECT_FALSE(frame);
  BYTE dst[4], src[4];
  env->BitBlt(dst, 2, src, 3, 2, 1);
  env->ThrowError("failed %d %s", 7, "here");
}

TEST(AvisynthSlots, EnvironmentSlotsUsedByThePlugIn) {
  gCalls.clear();
  FakeEnvironment fake;
  EXPECT_THROW(CallUsedSlots(fake.env()), std::runtime_error);
  const std::vector<std::string> expected = {"AddFunction:Orvanto:[vqi]s:apply:nodata", "NewVideoFrame:64x48:16",
                                             "BitBlt:2:3:2:1:ptrs", "ThrowError:failed 7 here"};
  EXPECT_EQ(gCalls, expected);
}

// The remaining environment slots, each reaching its own trap.
__attribute__((no_sanitize("vptr"))) void CallOtherSlots(IScriptEnvironment* env) {
  env = Opaque(env);
  env->GetCPUFlags();                        // 2
  env->SaveString("x");                      // 3
  env->FunctionExists("x");                  // 8
  env->PushContext();                        // 13
  env->PopContext();                         // 14
  env->CheckVersion();                       // 19
  env->SetMemoryMax(1);                      // 21
  env->SetWorkingDir("x");                   // 22
  env->ManageCache(0, nullptr);              // 23
  env->PlanarChromaAlignment(IScriptEnvironment::PlanarChromaAlignmentTest);  // 24
}

TEST(AvisynthSlots, OtherEnvironmentSlotsInOrder) {
  gCalls.clear();
  FakeEnvironment fake;
  CallOtherSlots(fake.env());
  const std::vector<std::string> expected = {"trap:2",  "trap:3",  "trap:8",  "trap:13", "trap:14",
                                             "trap:19", "trap:21", "trap:22", "trap:23", "trap:24"};
  EXPECT_EQ(gCalls, expected);
}

// A clip as the plug-in writes them; the host calls it by slot number.
class RecordingClip : public IClip {
 public:
  explicit RecordingClip(bool* deleted) : deleted_(deleted) { vi.width = 320; vi.num_frames = 9; }
  ~RecordingClip() override { *deleted_ = true; }
  int GetVersion() override { return 3; }
  PVideoFrame GetFrame(int n, IScriptEnvironment*) override {
    lastRequest = n;
    return PVideoFrame();
  }
  bool GetParity(int n) override { return n == 4; }
  void GetAudio(void*, int64_t start, int64_t, IScriptEnvironment*) override { audioStart = start; }
  void SetCacheHints(int hints, int range) override {
    lastHints = hints;
    lastRange = range;
  }
  const VideoInfo& GetVideoInfo() override { return vi; }

  VideoInfo vi{};
  int lastRequest = -1;
  int64_t audioStart = -1;
  int lastHints = 0;
  int lastRange = 0;

 private:
  bool* deleted_;
};

TEST(AvisynthSlots, HostCallsTheClipByRawSlot) {
  bool deleted = false;
  auto* clip = new RecordingClip(&deleted);
  void** vtable = Opaque(*reinterpret_cast<void***>(Opaque(clip)));

  EXPECT_EQ(Opaque(reinterpret_cast<int (*)(void*)>(vtable[0]))(clip), 3);
#if defined(__x86_64__)
  // The result address comes first and goes back in rax.
  char frameHandle[sizeof(void*)];
  void* returned = Opaque(reinterpret_cast<void* (*)(void*, void*, int, void*)>(vtable[1]))(frameHandle, clip, 7, nullptr);
  EXPECT_EQ(returned, frameHandle);
#else
  // The result address is the first stack word, which the callee pops: called as a
  // free function returning the same class, the caller expects exactly that.
  PVideoFrame frame = Opaque(reinterpret_cast<PVideoFrame (*)(void*, int, void*)>(vtable[1]))(clip, 7, nullptr);
  EXPECT_FALSE(frame);
#endif
  EXPECT_EQ(clip->lastRequest, 7);
  EXPECT_TRUE(reinterpret_cast<bool (*)(void*, int)>(vtable[2])(clip, 4));
  EXPECT_FALSE(reinterpret_cast<bool (*)(void*, int)>(vtable[2])(clip, 5));
  reinterpret_cast<void (*)(void*, void*, int64_t, int64_t, void*)>(vtable[3])(clip, nullptr, int64_t{1} << 40, 1,
                                                                               nullptr);
  EXPECT_EQ(clip->audioStart, int64_t{1} << 40);
  reinterpret_cast<void (*)(void*, int, int)>(vtable[4])(clip, 509, 0);
  reinterpret_cast<void (*)(void*, int, int)>(vtable[4])(clip, 514, 1);
  EXPECT_EQ(clip->lastHints, 514);
  EXPECT_EQ(clip->lastRange, 1);
  const VideoInfo* vi = reinterpret_cast<const VideoInfo* (*)(void*)>(vtable[5])(clip);
  EXPECT_EQ(vi, &clip->vi);
  EXPECT_EQ(vi->num_frames, 9);
  // Slot 7: the deleting destructor, which the host's Release reaches.
  reinterpret_cast<void (*)(void*)>(vtable[7])(clip);
  EXPECT_TRUE(deleted);
}

}  // namespace

#endif  // __x86_64__ || __i386__
