// A picture the decoder refuses (its slice header damaged after indexing) keeps its place:
// served in random order, every frame equals the frame a linear pass over the same damaged
// file serves at that position, so no frame after the damage is another frame's picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "host/frame_output.h"
#include "tests/accuracy/serving_harness.h"

namespace {

// Offset of the `count`-th unit of NAL type `types` (a bit per type) after `from`.
size_t NthUnit(const std::vector<char>& data, size_t from, uint32_t types, int count) {
  for (size_t i = from; i + 4 < data.size(); ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    if ((types >> (data[i + 3] & 0x1F)) & 1 && --count == 0) return i;
  }
  return data.size();
}

TEST(ServingDamage, RefusedPictureKeepsEveryLaterFrameInPlace) {
  for (const char* stream : {"avc_prog_closed.264", "avc_open_gop.264"}) {
    if (!CorpusHas(stream)) GTEST_SKIP() << "corpus file missing: " << stream;
    const std::string copy = WorkFolder() + "/damaged_" + stream;
    ASSERT_EQ(RunCommand("cp '" + CorpusPath(stream) + "' '" + copy + "'"), 0);
    const std::string index = IndexFor({copy}, std::string("damaged_") + stream);
    std::vector<char> data;
    {
      std::ifstream in(copy, std::ios::binary);
      data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // The third picture after the second SPS: first_mb_in_slice 0, then a PPS that is not there.
    const size_t sps = NthUnit(data, 0, 1u << 7, 2);
    const size_t slice = NthUnit(data, sps, (1u << 1) | (1u << 5), 3);
    ASSERT_LT(slice + 6, data.size()) << stream;
    data[slice + 4] = static_cast<char>(0xC1);
    data[slice + 5] = 0x04;
    {
      std::ofstream out(copy, std::ios::binary | std::ios::trunc);
      out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }

    PClip linear = OpenClip(index, {.fieldop = 2});
    const int frames = linear->GetVideoInfo().num_frames;
    std::vector<std::string> md5s;
    for (int n = 0; n < frames; ++n) md5s.push_back(FrameMd5(linear->GetFrame(n, &PluginHost())));
    linear = nullptr;

    PClip clip = OpenClip(index, {.fieldop = 2});
    std::vector<int> order(static_cast<size_t>(frames));
    for (int n = 0; n < frames; ++n) order[static_cast<size_t>(n)] = n;
    std::shuffle(order.begin(), order.end(), std::mt19937(3));
    for (int n : order)
      EXPECT_EQ(FrameMd5(clip->GetFrame(n, &PluginHost())), md5s[static_cast<size_t>(n)]) << stream << ": frame " << n;
  }
}

}  // namespace
