// The clip's reference count as the host's own code sees it, per ABI. The sizes
// and offsets of the interface types are checked by the build itself
// (platform/avisynth/avisynth_layout_check.cpp).
#include <cstddef>

#include <gtest/gtest.h>

#include "platform/avisynth/avisynth_interface.h"

struct AvsLayoutProbe {
  static size_t ClipRefcountOffset(IClip* clip) {
    return static_cast<size_t>(reinterpret_cast<char*>(&clip->refcnt) - reinterpret_cast<char*>(clip));
  }
  static long ClipRefcount(IClip* clip) { return clip->refcnt; }
  static short ValueType(const AVSValue& v) { return v.type; }
};

namespace {

constexpr bool kLp64 = sizeof(void*) == 8;

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
