// Pictures the decoder refuses keep their place in display order: in an open-GOP stream with
// pyramid B pictures, whose pictures carry their frame number in a barcode, header damage
// written after indexing into five non-reference B pictures leaves every served frame showing
// its own number or no number at all (the placeholder), served linearly and in random order.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bit_reader.h"
#include "stream_headers.h"
#include "tests/damage/served_barcode.h"

namespace {

using tessivar::mfxsw::BitReader;

int RunCommand(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Unit {
  size_t start;    // first byte after the start code
  size_t end;
};

std::vector<Unit> Units(const std::vector<uint8_t>& data) {
  std::vector<Unit> units;
  for (size_t i = 0; i + 3 < data.size(); ++i) {
    if (data[i] || data[i + 1] || data[i + 2] != 1) continue;
    if (!units.empty()) units.back().end = i;
    units.push_back({i + 3, data.size()});
  }
  return units;
}

// Rewrites a B slice header after its picture order count: num_ref_idx_active_override_flag
// set and 41 references asked for list 0, more than any picture may have. False when the
// header bytes hold an emulation-prevention byte (then another slice is taken).
bool AskTooManyReferences(std::vector<uint8_t>& data, const Unit& slice, const tessivar::mfxsw::SequenceInfo& sps) {
  const size_t headerBytes = 12;
  if (slice.end - slice.start < headerBytes + 1) return false;
  for (size_t i = slice.start + 1; i + 2 < slice.start + headerBytes; ++i)
    if (data[i] == 0 && data[i + 1] == 0) return false;
  BitReader reader(&data[slice.start + 1], headerBytes);
  size_t bit = 0;
  const auto ue = [&] {
    int zeros = 0;
    while (!reader.Flag()) ++zeros;
    reader.Bits(zeros);
    bit += 2 * zeros + 1;
  };
  ue();                                         // first_mb_in_slice
  ue();                                         // slice_type
  ue();                                         // pic_parameter_set_id
  reader.Bits(sps.log2MaxFrameNum);             // frame_num
  bit += sps.log2MaxFrameNum + sps.log2MaxPocLsb;  // and pic_order_cnt_lsb
  bit += 1;                                     // direct_spatial_mv_pred_flag
  const char* bits = "1" "00000101001";         // override, ue(40)
  for (const char* b = bits; *b; ++b, ++bit) {
    uint8_t& byte = data[slice.start + 1 + bit / 8];
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
    byte = *b == '1' ? (byte | mask) : (byte & ~mask);
  }
  return true;
}

TEST(RefusedPictureOrder, EveryServedFrameShowsItsOwnNumberOrNone) {
  const std::string source = std::string(TESSIVAR_CORPUS_DIR) + "/avc_open_gop.264";
  std::ifstream in(source, std::ios::binary);
  if (!in) GTEST_SKIP() << "corpus file missing: " << source;
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string work = std::string(TESSIVAR_DAMAGE_WORK) + "/" + std::to_string(getpid());
  ASSERT_EQ(RunCommand("mkdir -p '" + work + "'"), 0);
  const std::string copy = work + "/avc_open_gop.264", index = work + "/avc_open_gop.vqi";
  {
    std::ofstream out(copy, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  }
  ASSERT_EQ(RunCommand("'" + std::string(TESSIVAR_LIB_DIR) + "/halvern' -i '" + copy + "' -o '" + index + "' -a >/dev/null"), 0);

  // The damage, after indexing: the second non-reference B picture of each of five GOPs.
  tessivar::mfxsw::SequenceInfo sps;
  int gop = 0, damaged = 0, leafInGop = 0;
  for (const Unit& unit : Units(data)) {
    const int type = data[unit.start] & 0x1F, refIdc = (data[unit.start] >> 5) & 3;
    if (type == 7) {
      ASSERT_TRUE(tessivar::mfxsw::ParseSequenceBlock(MFX_CODEC_AVC, &data[unit.start - 3], unit.end - unit.start + 3, &sps));
      ++gop;
      leafInGop = 0;
    }
    if (type == 1 && refIdc == 0 && damaged < gop && ++leafInGop >= 2 &&
        AskTooManyReferences(data, unit, sps))
      ++damaged;
  }
  ASSERT_EQ(damaged, 5);
  ASSERT_EQ(sps.pocType, 0);
  {
    std::ofstream out(copy, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  }

  PClip linear = OpenClip(index);
  const int frames = linear->GetVideoInfo().num_frames;
  ASSERT_EQ(frames, 100);
  std::set<int> unnumbered;
  for (int n = 0; n < frames; ++n) {
    const int shown = ShownNumber(linear->GetFrame(n, &PluginHost()));
    EXPECT_TRUE(shown == n || shown == -1) << "linear: frame " << n << " shows " << shown;
    if (shown == -1) unnumbered.insert(n);
  }
  EXPECT_EQ(unnumbered.size(), 5u);
  linear = nullptr;

  PClip clip = OpenClip(index);
  std::vector<int> order(static_cast<size_t>(frames));
  for (int n = 0; n < frames; ++n) order[static_cast<size_t>(n)] = n;
  std::shuffle(order.begin(), order.end(), std::mt19937(5));
  for (int n : order) {
    const int shown = ShownNumber(clip->GetFrame(n, &PluginHost()));
    EXPECT_TRUE(shown == n || (shown == -1 && unnumbered.count(n))) << "random: frame " << n << " shows " << shown;
  }
}

}  // namespace
