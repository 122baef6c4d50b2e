// Picture numbers read from synthetic headers: the H.264 picture order count of all three
// types (with memory_management_control_operation 5 and field pairs), the MPEG-2
// temporal_reference with its GOP restarts and field pictures, and the VC-1 order that
// picture types give.
#include <gtest/gtest.h>

#include <mfx/mfxstructures.h>

#include <string>
#include <vector>

#include "display_order.h"
#include "picture_numbers.h"

namespace {

using tessivar::mfxsw::DisplayOrder;
using tessivar::mfxsw::PictureNumber;
using tessivar::mfxsw::PictureNumbering;
using tessivar::mfxsw::SequenceInfo;

// Writes a NAL unit: start code, header byte, payload bits with emulation prevention.
class UnitWriter {
 public:
  explicit UnitWriter(uint8_t header) : header_(header) {}
  UnitWriter& Bits(uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i) bits_.push_back((value >> i) & 1);
    return *this;
  }
  UnitWriter& Ue(uint32_t value) {
    const uint64_t v = uint64_t{value} + 1;
    int len = 0;
    while ((v >> len) > 1) ++len;
    Bits(0, len);
    return Bits(static_cast<uint32_t>(v), len + 1);
  }
  UnitWriter& Se(int32_t value) { return Ue(value > 0 ? 2 * value - 1 : -2 * value); }
  std::vector<uint8_t> Bytes() {
    Bits(1, 1);
    while (bits_.size() % 8) bits_.push_back(0);
    std::vector<uint8_t> out = {0, 0, 1, header_};
    int zeros = 0;
    for (size_t i = 0; i < bits_.size(); i += 8) {
      uint8_t byte = 0;
      for (int b = 0; b < 8; ++b) byte = static_cast<uint8_t>(byte << 1 | bits_[i + b]);
      if (zeros >= 2 && byte <= 3) {
        out.push_back(3);
        zeros = 0;
      }
      out.push_back(byte);
      zeros = byte == 0 ? zeros + 1 : 0;
    }
    return out;
  }

 private:
  uint8_t header_;
  std::vector<int> bits_;
};

std::vector<uint8_t> Pps() {
  UnitWriter w(0x68);
  w.Ue(0).Ue(0).Bits(0, 1).Bits(0, 1).Ue(0).Ue(0).Ue(0).Bits(0, 1).Bits(0, 2).Se(0).Se(0).Se(0);
  w.Bits(1, 1).Bits(0, 1).Bits(0, 1);
  return w.Bytes();
}

struct Slice {
  char type;        // 'I' IDR, 'i' non-IDR I, 'P', 'B' (reference), 'b' (non-reference)
  uint32_t frameNum;
  int32_t count;    // pic_order_cnt_lsb (type 0) or delta_pic_order_cnt[0] (type 1)
  int field = 0;    // 0 frame, 1 top field, 2 bottom field
  bool mmco5 = false;
  uint32_t pps = 0;
};

std::vector<uint8_t> SliceUnit(const Slice& s, const SequenceInfo& sps) {
  const bool idr = s.type == 'I', reference = s.type != 'b';
  const uint32_t sliceType = s.type == 'I' || s.type == 'i' ? 7 : (s.type == 'P' ? 5 : 6);
  UnitWriter w(static_cast<uint8_t>((reference ? 0x60 : 0) | (idr ? 5 : 1)));
  w.Ue(0).Ue(sliceType).Ue(s.pps).Bits(s.frameNum, sps.log2MaxFrameNum);
  if (!sps.progressiveOnly) {
    w.Bits(s.field != 0, 1);
    if (s.field) w.Bits(s.field == 2, 1);
  }
  if (idr) w.Ue(0);
  if (sps.pocType == 0) w.Bits(static_cast<uint32_t>(s.count), sps.log2MaxPocLsb);
  if (sps.pocType == 1) w.Se(s.count);
  if (sliceType == 6) w.Bits(1, 1);                // direct_spatial_mv_pred_flag
  if (sliceType != 7) w.Bits(0, 1);                // num_ref_idx_active_override_flag
  if (sliceType != 7) w.Bits(0, 1);                // ref_pic_list_modification_flag_l0
  if (sliceType == 6) w.Bits(0, 1);                // ..._l1
  if (reference && idr) w.Bits(0, 2);
  if (reference && !idr) {
    w.Bits(s.mmco5, 1);
    if (s.mmco5) w.Ue(5).Ue(0);
  }
  w.Ue(26);  // slice_qp_delta and so on: anything after the marking
  return w.Bytes();
}

struct AvcCase {
  const char* what;
  int pocType;
  bool frames;  // frame_mbs_only
  std::vector<Slice> slices;
  std::string numbers;  // per slice: the number, "=" a second field, "?" unknown; "!" marks a restart
};

void Append(std::string& list, const std::string& item) {
  if (!list.empty()) list += ' ';
  list += item;
}

std::string Describe(const PictureNumber& n) {
  std::string out = n.restart ? "!" : "";
  out += n.secondField ? "=" : (n.number ? std::to_string(*n.number) : "?");
  return out;
}

TEST(PictureNumbers, AvcOrderCountsOfEveryType) {
  const AvcCase cases[] = {
      {"type 0: counts run on across the wrap of their low bits", 0, true,
       {{'I', 0, 0}, {'P', 1, 6}, {'b', 2, 2}, {'b', 2, 4}, {'P', 2, 12}, {'b', 3, 8}, {'P', 3, 2}, {'b', 4, 14}},
       "!0 6 2 4 12 8 18 14"},
      {"type 0: operation 5 starts the count again without an IDR", 0, true,
       {{'I', 0, 0}, {'P', 1, 8, 0, true}, {'P', 2, 4}, {'b', 3, 2}, {'P', 3, 12}},
       "!0 !0 4 2 12"},
      {"type 1: the expected counts of the reference cycle, with non-reference offsets", 1, true,
       {{'I', 0, 0}, {'P', 1, 0}, {'b', 2, 0}, {'P', 2, 0}, {'b', 3, 0}, {'P', 3, 2}},
       "!0 4 2 8 6 14"},
      {"type 1: operation 5 restarts the frame number offsets", 1, true,
       {{'I', 0, 0}, {'P', 1, 0}, {'P', 2, 0, 0, true}, {'b', 1, 0}, {'P', 1, 0}},
       "!0 4 !0 -2 4"},
      {"type 2: display order is decode order, references step by two", 2, true,
       {{'I', 0, 0}, {'P', 1, 0}, {'b', 2, 0}, {'P', 2, 0}, {'P', 3, 0}}, "!0 2 3 4 6"},
      {"field pairs: the second field is the first one's picture", 0, false,
       {{'I', 0, 0, 1}, {'P', 0, 0, 2}, {'P', 1, 8, 1}, {'P', 1, 8, 2}, {'b', 2, 4, 2}, {'b', 2, 4, 1}},
       "!0 = 8 = 4 ="},
      {"a slice naming a parameter set never seen has no number", 0, true,
       {{'I', 0, 0}, {'P', 1, 4}, {'b', 2, 2, 0, false, 5}, {'P', 2, 8}}, "!0 4 ? 8"},
  };
  for (const AvcCase& c : cases) {
    SequenceInfo sps;
    sps.pocType = c.pocType;
    sps.progressiveOnly = c.frames;
    sps.log2MaxFrameNum = 4;
    sps.log2MaxPocLsb = 4;
    sps.offsetForRefFrame = {4};
    sps.offsetForNonRefPic = -2;
    PictureNumbering numbering;
    std::string got;
    for (const Slice& slice : c.slices) {
      std::vector<uint8_t> unit = Pps();
      const std::vector<uint8_t> body = SliceUnit(slice, sps);
      unit.insert(unit.end(), body.begin(), body.end());
      const PictureNumber n = numbering.Avc(unit.data(), unit.size(), sps);
      EXPECT_TRUE(n.picture) << c.what;
      Append(got, Describe(n));
    }
    EXPECT_EQ(got, c.numbers) << c.what;
  }
}

// MPEG-2: temporal_reference counts from every GOP header and on past 1023 inside a GOP (an
// anchor whose field goes back has wrapped, and a B picture far above the last anchor with
// it); a B picture just above the last anchor shows before it; a field picture pair is one
// picture. VC-1: a B picture comes before the anchor just ahead of it in decode order.
TEST(PictureNumbers, Mpeg2TemporalReferenceAndVc1PictureTypes) {
  struct Picture {
    bool gop;
    uint32_t reference, type, structure;  // structure 3 frame, 1 top, 2 bottom
  };
  const Picture pictures[] = {{true, 2, 1, 3}, {false, 0, 3, 3}, {false, 1, 3, 3}, {false, 5, 2, 1},
                              {false, 5, 2, 2}, {false, 3, 3, 3}, {true, 1, 1, 3}, {false, 0, 3, 3},
                              {false, 4, 2, 3}, {false, 2, 1, 3}, {false, 0, 3, 3}, {false, 1023, 3, 3},
                              // The P picture of 5 lost: the B pictures after it keep their numbers.
                              {true, 2, 1, 3}, {false, 0, 3, 3}, {false, 1, 3, 3}, {false, 3, 3, 3},
                              {false, 4, 3, 3}};
  PictureNumbering numbering;
  std::string got;
  for (const Picture& p : pictures) {
    std::vector<uint8_t> data;
    if (p.gop) data = {0, 0, 1, 0xB8, 0x00, 0x08, 0x00, 0x00};
    const uint8_t header[] = {0, 0, 1, 0x00, static_cast<uint8_t>(p.reference >> 2),
                              static_cast<uint8_t>((p.reference & 3) << 6 | p.type << 3), 0xFF, 0xF8};
    const uint8_t extension[] = {0, 0, 1, 0xB5, 0x8F, 0xFF, static_cast<uint8_t>(0xF0 | p.structure), 0x80};
    data.insert(data.end(), std::begin(header), std::end(header));
    data.insert(data.end(), std::begin(extension), std::end(extension));
    data.insert(data.end(), {0, 0, 1, 0x01, 0x12, 0x34});
    const PictureNumber number = numbering.Mpeg2(data.data(), data.size());
    std::string item = Describe(number);
    if (number.before) item.append(1, '<').append(std::to_string(*number.before));
    Append(got, item);
  }
  EXPECT_EQ(got, "!2 0 1 5 = 3 !1 0 4 1026 1024 1023 !2 0 1 3<2 4<2")
      << "an anchor whose field goes back counts on past 1023, and the B pictures before it with it; a B "
         "picture a little past the last anchor read keeps its number and shows before that anchor";

  // I P B B P B: shown I B B P B P.
  const int types[] = {1, 2, 3, 3, 2, 3};
  std::vector<int64_t> numbers;
  const std::vector<uint8_t> frame = {0, 0, 1, 0x0D, 0x12};
  for (int type : types) numbers.push_back(*numbering.Vc1(frame.data(), frame.size(), type).number);
  const std::vector<size_t> shown = {0, 2, 3, 1, 5, 4};
  for (size_t i = 1; i < shown.size(); ++i) EXPECT_LT(numbers[shown[i - 1]], numbers[shown[i]]) << i;
  const std::vector<uint8_t> end = {0, 0, 1, 0x0A};
  EXPECT_FALSE(numbering.Vc1(end.data(), end.size(), 2).picture);
}

// Operation 5 in an intact stream takes no picture for a lost one: the numbers it restarts
// come out in their order with no placeholder.
TEST(PictureNumbers, OperationFiveGivesNoPlaceholderInAnIntactStream) {
  SequenceInfo sps;
  sps.log2MaxFrameNum = 4;
  sps.log2MaxPocLsb = 4;
  // Decode order I0 P4 b2 P6 (operation 5: shown as 0 of a new count) P4 b2 P8 b6.
  const std::vector<Slice> slices = {{'I', 0, 0}, {'P', 1, 4}, {'b', 2, 2}, {'P', 2, 6, 0, true},
                                     {'P', 1, 4}, {'b', 2, 2}, {'P', 2, 8}, {'b', 3, 6}};
  PictureNumbering numbering;
  DisplayOrder order;
  order.Configure(true, 4);
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < slices.size(); ++i) {
      std::vector<uint8_t> unit = Pps();
      const std::vector<uint8_t> body = SliceUnit(slices[i], sps);
      unit.insert(unit.end(), body.begin(), body.end());
      const PictureNumber n = numbering.Avc(unit.data(), unit.size(), sps);
      const int64_t tag = static_cast<int64_t>(round * 10 + i);
      order.Sent(tag, tag, n.number, n.restart);
    }
    for (int64_t tag : {0, 2, 1, 3, 5, 4, 7, 6}) order.Decoded(round * 10 + tag);
  }
  order.End();
  std::string got;
  DisplayOrder::Slot slot;
  while (order.Next(&slot)) Append(got, slot.decoded ? std::to_string(slot.id) : std::string("x"));
  EXPECT_EQ(got, "0 2 1 3 5 4 7 6 10 12 11 13 15 14 17 16");
}

}  // namespace
