// The binary layout the host expects of our interface types, per ABI.
#include <cstddef>
#include <type_traits>

#include <gtest/gtest.h>

#include "platform/avisynth/avisynth_interface.h"

struct AvsLayoutProbe {
  static constexpr size_t kLong = sizeof(long);
  static constexpr bool kLp64 = sizeof(void*) == 8;

  // VideoFrameBuffer prefix.
  static_assert(offsetof(VideoFrameBuffer, data) == 0);
  static_assert(offsetof(VideoFrameBuffer, data_size) == (kLp64 ? 8 : 4));
  static_assert(offsetof(VideoFrameBuffer, sequence_number) == (kLp64 ? 16 : 8));
  static_assert(offsetof(VideoFrameBuffer, refcount) == (kLp64 ? 24 : 12));
  static_assert(sizeof(VideoFrameBuffer::refcount) == kLong);
  static_assert(sizeof(VideoFrameBuffer::sequence_number) == kLong);

  // VideoFrame prefix.
  static_assert(offsetof(VideoFrame, refcount) == 0);
  static_assert(sizeof(VideoFrame::refcount) == kLong);
  static_assert(offsetof(VideoFrame, vfb) == (kLp64 ? 8 : 4));
  static_assert(offsetof(VideoFrame, offset) == (kLp64 ? 16 : 8));
  static_assert(offsetof(VideoFrame, pitch) == (kLp64 ? 20 : 12));
  static_assert(offsetof(VideoFrame, row_size) == (kLp64 ? 24 : 16));
  static_assert(offsetof(VideoFrame, height) == (kLp64 ? 28 : 20));
  static_assert(offsetof(VideoFrame, offsetU) == (kLp64 ? 32 : 24));
  static_assert(offsetof(VideoFrame, offsetV) == (kLp64 ? 36 : 28));
  static_assert(offsetof(VideoFrame, pitchUV) == (kLp64 ? 40 : 32));

  // AVSValue: short type, short array_size, pointer-wide union.
  static_assert(offsetof(AVSValue, type) == 0);
  static_assert(offsetof(AVSValue, array_size) == 2);
  static_assert(offsetof(AVSValue, clip) == (kLp64 ? 8 : 4));
  static_assert(offsetof(AVSValue, integer) == (kLp64 ? 8 : 4));
  static_assert(offsetof(AVSValue, string) == (kLp64 ? 8 : 4));
  static_assert(offsetof(AVSValue, array) == (kLp64 ? 8 : 4));
  static_assert(sizeof(AVSValue) == (kLp64 ? 16 : 8));
  static_assert(alignof(AVSValue) == (kLp64 ? 8 : 4));

  static size_t ClipRefcountOffset(IClip* clip) {
    return static_cast<size_t>(reinterpret_cast<char*>(&clip->refcnt) - reinterpret_cast<char*>(clip));
  }
  static long ClipRefcount(IClip* clip) { return clip->refcnt; }
  static short ValueType(const AVSValue& v) { return v.type; }
};

namespace {

constexpr bool kLp64 = sizeof(void*) == 8;

// VideoInfo: identical offsets on both ABIs, 48 bytes.
static_assert(offsetof(VideoInfo, width) == 0);
static_assert(offsetof(VideoInfo, height) == 4);
static_assert(offsetof(VideoInfo, fps_numerator) == 8);
static_assert(offsetof(VideoInfo, fps_denominator) == 12);
static_assert(offsetof(VideoInfo, num_frames) == 16);
static_assert(offsetof(VideoInfo, pixel_type) == 20);
static_assert(offsetof(VideoInfo, audio_samples_per_second) == 24);
static_assert(offsetof(VideoInfo, sample_type) == 28);
static_assert(offsetof(VideoInfo, num_audio_samples) == 32);
static_assert(sizeof(VideoInfo::num_audio_samples) == 8);
static_assert(offsetof(VideoInfo, nchannels) == 40);
static_assert(offsetof(VideoInfo, image_type) == 44);
static_assert(sizeof(VideoInfo) == 48);
static_assert(alignof(VideoInfo) == (kLp64 ? 8 : 4));

static_assert(VideoInfo::CS_YV12 == static_cast<int>(0xA0000008u));
static_assert(VideoInfo::CS_I420 == static_cast<int>(0xA0000010u));
static_assert(VideoInfo::IT_FIELDBASED == 4);

// IClip: vptr then the long count.
static_assert(sizeof(IClip) == (kLp64 ? 16 : 8));
static_assert(sizeof(PClip) == sizeof(void*));
static_assert(sizeof(PVideoFrame) == sizeof(void*));

// Non-trivial copy and destruction: these travel by invisible reference and come
// back through a hidden pointer, as the host passes them.
static_assert(!std::is_trivially_copy_constructible_v<AVSValue>);
static_assert(!std::is_trivially_destructible_v<AVSValue>);
static_assert(!std::is_trivially_copy_constructible_v<PVideoFrame>);
static_assert(!std::is_trivially_destructible_v<PVideoFrame>);
static_assert(!std::is_trivially_copy_constructible_v<PClip>);
static_assert(!std::is_trivially_destructible_v<PClip>);

// A clip whose first own member sits right after the IClip part.
class SentinelClip : public IClip {
 public:
  int GetVersion() override { return 3; }
  PVideoFrame GetFrame(int, IScriptEnvironment*) override { return PVideoFrame(); }
  bool GetParity(int) override { return false; }
  void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
  void SetCacheHints(int, int) override {}
  const VideoInfo& GetVideoInfo() override { return vi; }
  int32_t sentinel = 0x5A5A5A5A;
  VideoInfo vi{};
};

TEST(AvisynthLayout, ClipCountIsAFullLongBeforeTheDerivedMembers) {
  SentinelClip* clip = new SentinelClip;
  ASSERT_EQ(AvsLayoutProbe::ClipRefcountOffset(clip), sizeof(void*));
  EXPECT_EQ(reinterpret_cast<char*>(&clip->sentinel) - reinterpret_cast<char*>(clip),
            static_cast<ptrdiff_t>(kLp64 ? 16 : 8));

  // What the host's own AddRef does: an atomic add on a full long at that offset.
  long* hostView = reinterpret_cast<long*>(reinterpret_cast<char*>(clip) + sizeof(void*));
  __atomic_add_fetch(hostView, 1L << (8 * sizeof(long) - 8), __ATOMIC_SEQ_CST);
  __atomic_add_fetch(hostView, 1, __ATOMIC_SEQ_CST);
  EXPECT_EQ(clip->sentinel, 0x5A5A5A5A);
  __atomic_sub_fetch(hostView, 1L << (8 * sizeof(long) - 8), __ATOMIC_SEQ_CST);
  EXPECT_EQ(AvsLayoutProbe::ClipRefcount(clip), 1);

  // Our handle shares the count: the host's reference plus ours, then both gone.
  {
    PClip handle(clip);
    EXPECT_EQ(AvsLayoutProbe::ClipRefcount(clip), 2);
  }
  EXPECT_EQ(AvsLayoutProbe::ClipRefcount(clip), 1);
  delete clip;
}

}  // namespace
