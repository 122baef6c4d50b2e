// Pictures decoded per request, counted at the engine: a request up to nine frames past the
// last one served decodes exactly the frames in between, and a seek decodes from the start
// this source chooses (its GOP, or the GOP before it) and no earlier. Pixels alone cannot
// tell a narrower onward window or an extra GOP of decoding.
#include <dlfcn.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "source/source_state.h"
#include "tests/accuracy/serving_harness.h"
#include "tests/accuracy/mpeg2_vc1_support.h"

namespace {

long CountedOutputs() {
  void* engine = dlopen((std::string(TESSIVAR_LIB_DIR) + "/" TESSIVAR_ENGINE_FILE).c_str(), RTLD_NOW | RTLD_NOLOAD);
  auto counter = engine ? reinterpret_cast<long (*)()>(dlsym(engine, "TessivarCountedOutputs")) : nullptr;
  return counter ? counter() : -1;
}

// The count once the worker has settled: after a frame is served it prepares the next one
// and then waits for the next request.
long SettledOutputs() {
  long count = CountedOutputs();
  for (int quiet = 0, waits = 0; quiet < 4 && waits < 100; ++waits) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const long now = CountedOutputs();
    quiet = now == count ? quiet + 1 : 0;
    count = now;
  }
  return count;
}

// The first display frame of each GOP (sequence record for MPEG-2) and whether a seek into
// it starts one GOP earlier.
struct Gops {
  std::vector<int> firsts;
  std::vector<bool> stepBack;
  int frames = 0;
};

Gops GopsOf(const std::string& index, bool mpeg2) {
  Gops gops;
  if (mpeg2) {
    const CodecIndex codec = ReadCodecIndex(index, 0);
    gops.firsts = codec.recordFirsts;
    gops.stepBack.assign(gops.firsts.size(), true);
    gops.frames = static_cast<int>(codec.entries.size());
    return gops;
  }
  const std::vector<DisplayEntry> entries = DisplayEntries(index, 0);
  gops.firsts = GopFirstFrames(index);
  for (int first : gops.firsts) {
    const int32_t type = entries[first].sliceType;
    gops.stepBack.push_back(type == 1 || type == 6);  // the GOP opens with a B picture
  }
  gops.frames = static_cast<int>(entries.size());
  return gops;
}

TEST(ServingCount, OnwardDecodesTheFramesBetweenSeekDecodesFromItsStart) {
  for (const char* stream : {"avc_open_gop.264", "avc_prog_closed.264", "m2v_prog_open.m2v"}) {
    if (!CorpusHas(stream)) GTEST_SKIP() << "corpus file missing: " << stream;
    const std::string index = IndexFor({CorpusPath(stream)}, std::string("count_") + stream);
    const Gops gops = GopsOf(index, stream[0] == 'm');
    ASSERT_GE(gops.firsts.size(), 4u) << stream;
    auto seekStart = [&](int n) {
      size_t g = 0;
      while (g + 1 < gops.firsts.size() && gops.firsts[g + 1] <= n) ++g;
      if (g > 0 && gops.stepBack[g]) --g;
      return gops.firsts[g];
    };
    PClip clip = OpenClip(index);
    std::mt19937 rng(5);
    int last = -1;
    long settled = 0;
    for (int request = 0; request < 24; ++request) {
      int n = last >= 0 && request % 2 ? last + 1 + static_cast<int>(rng() % 9)  // onward: +1..+9
                                       : static_cast<int>(rng() % (gops.frames - 12));
      if (n >= gops.frames - 12) n = static_cast<int>(rng() % (gops.frames / 2));
      const long before = settled;
      clip->GetFrame(n, &PluginHost());
      settled = SettledOutputs();
      const long decoded = settled - before;
      if (last >= 0) {
        // Every run has prepared the frame after the one it served (one output more).
        ASSERT_GT(before, 0) << "the counting engine is not in use";
        const std::string where = std::string(stream) + ": frame " + std::to_string(n) + " after " +
                                  std::to_string(last);
        if (n > last && n < last + 10 && n != 0)
          EXPECT_EQ(decoded, n - last) << where << " (onward)";
        else
          EXPECT_EQ(decoded, n - seekStart(n) + 2) << where << " (seek from frame " << seekStart(n) << ")";
      }
      last = n;
    }
  }
}

}  // namespace
