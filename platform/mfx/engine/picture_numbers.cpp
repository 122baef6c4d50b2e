#include "picture_numbers.h"

#include <algorithm>

#include <mfx/mfxstructures.h>

#include "bit_reader.h"
#include "start_codes.h"

namespace tessivar::mfxsw {
namespace {

// Bytes of a slice header read at most: enough for the longest weight table and marking.
constexpr size_t kSliceHeaderBytes = 1024;

// What the first slice header of an H.264 access unit says about the picture's place.
struct AvcSlice {
  bool parsed = false;     // the fields up to the order count were read
  bool idr = false;
  bool reference = false;
  bool field = false;
  bool bottom = false;
  bool mmco5 = false;
  uint32_t frameNum = 0;
  uint32_t pocLsb = 0;
  int32_t deltaBottom = 0;
  int32_t delta0 = 0, delta1 = 0;
};

}  // namespace

void PictureNumbering::Restart() {
  baseKnown_ = false;
  lastRefFrameNum_ = -1;
  prevPocMsb_ = prevPocLsb_ = 0;
  prevFrameNumOffset_ = 0;
  prevFrameNum_ = 0;
  prevMmco5_ = false;
  lastFieldFrameNum_ = -1;
  closedGop_ = brokenLink_ = false;
  firstFieldWaiting_ = false;
  lastAnchor_ = -1;
  gopBase_ = 0;
  anchors_ = sinceAnchor_ = 0;
}

void PictureNumbering::TakePps(const uint8_t* unit, size_t size) {
  const std::vector<uint8_t> rbsp = UnescapeRbsp(unit, std::min<size_t>(size, 64));
  BitReader br(rbsp.data(), rbsp.size());
  const uint32_t id = br.Ue();
  const uint32_t spsId = br.Ue();
  if (id > 255 || spsId > 31 || br.Overrun()) return;
  if (pps_.empty()) pps_.resize(256);
  Pps pps;
  pps.spsId = spsId;
  br.Bits(1);  // entropy_coding_mode_flag
  pps.bottomFieldPicOrderPresent = br.Flag();
  const uint32_t sliceGroups = br.Ue() + 1;
  pps.numRefIdxL0 = br.Ue() + 1;
  pps.numRefIdxL1 = br.Ue() + 1;
  pps.weightedPred = br.Flag();
  pps.weightedBipredIdc = br.Bits(2);
  br.Se();     // pic_init_qp_minus26
  br.Se();     // pic_init_qs_minus26
  br.Se();     // chroma_qp_index_offset
  br.Bits(2);  // deblocking_filter_control_present_flag, constrained_intra_pred_flag
  pps.redundantPicCntPresent = br.Flag();
  // Slice groups (not followed here) put their syntax before the fields read above.
  pps.valid = !br.Overrun() && sliceGroups == 1 && pps.numRefIdxL0 <= 32 && pps.numRefIdxL1 <= 32;
  pps_[id] = pps;
}

void PictureNumbering::TakeSps(const uint8_t* unit, size_t size) {
  // seq_parameter_set_id follows profile, constraint flags and level.
  const std::vector<uint8_t> rbsp = UnescapeRbsp(unit + 4, std::min<size_t>(size - 4, 16));
  BitReader br(rbsp.data(), rbsp.size());
  br.Bits(24);
  const uint32_t id = br.Ue();
  SequenceInfo info;
  if (id > 31 || br.Overrun() || !ParseSequenceBlock(MFX_CODEC_AVC, unit, size, &info)) return;
  if (sps_.empty()) sps_.resize(32);
  sps_[id] = std::move(info);
}

PictureNumber PictureNumbering::Avc(const uint8_t* data, size_t size, const SequenceInfo& fallback) {
  PictureNumber result;
  AvcSlice slice;
  // The sequence parameter set the picture names through its picture parameter set: a stream
  // joined from several encodes changes it at an IDR picture, and the pictures before that
  // one still follow the old set.
  const SequenceInfo* active = &fallback;
  for (size_t sc = FindStartCode(data, size, 0); sc != kNoStartCode && sc + 4 < size; sc = FindStartCode(data, size, sc + 3)) {
    const int type = data[sc + 3] & 0x1F;
    if (type == 8) {
      TakePps(data + sc + 4, size - sc - 4);
      continue;
    }
    if (type == 7) {
      TakeSps(data + sc, size - sc);
      continue;
    }
    if (type < 1 || type > 5) continue;
    result.picture = true;
    slice.idr = type == 5;
    slice.reference = (data[sc + 3] & 0x60) != 0;
    const std::vector<uint8_t> rbsp = UnescapeRbsp(data + sc + 4, std::min(size - sc - 4, kSliceHeaderBytes));
    BitReader br(rbsp.data(), rbsp.size());
    br.Ue();  // first_mb_in_slice
    const uint32_t sliceType = br.Ue();
    const uint32_t ppsId = br.Ue();
    if (sliceType > 9 || ppsId > 255 || br.Overrun()) break;
    const Pps* pps = !pps_.empty() && pps_[ppsId].valid ? &pps_[ppsId] : nullptr;
    if (pps && pps->spsId < sps_.size() && sps_[pps->spsId]) active = &*sps_[pps->spsId];
    const SequenceInfo& sps = *active;
    if (sps.separateColourPlane) br.Bits(2);
    slice.frameNum = br.Bits(sps.log2MaxFrameNum);
    if (!sps.progressiveOnly && (slice.field = br.Flag())) slice.bottom = br.Flag();
    if (slice.idr) br.Ue();  // idr_pic_id
    // The fields that follow depend on the picture parameter set.
    const bool bottomPresent = pps && pps->bottomFieldPicOrderPresent;
    if (sps.pocType == 0) {
      slice.pocLsb = br.Bits(sps.log2MaxPocLsb);
      if (bottomPresent && !slice.field) slice.deltaBottom = br.Se();
    } else if (sps.pocType == 1 && !sps.deltaPicOrderAlwaysZero) {
      slice.delta0 = br.Se();
      if (bottomPresent && !slice.field) slice.delta1 = br.Se();
    }
    // A slice that names a parameter set never seen has a damaged header: its fields are
    // not read as numbers.
    slice.parsed = !br.Overrun() && pps;
    if (!slice.parsed || !slice.reference) break;
    // On to dec_ref_pic_marking, for operation 5.
    if (pps->redundantPicCntPresent) br.Ue();
    const uint32_t kind = sliceType % 5;  // 0 P, 1 B, 2 I, 3 SP, 4 SI
    const bool b = kind == 1, p = kind == 0 || kind == 3;
    uint32_t refs0 = pps->numRefIdxL0, refs1 = pps->numRefIdxL1;
    if (b) br.Bits(1);  // direct_spatial_mv_pred_flag
    if ((p || b) && br.Flag()) {
      refs0 = br.Ue() + 1;
      if (b) refs1 = br.Ue() + 1;
    }
    if (refs0 > 32 || refs1 > 32) break;
    for (int list = 0; list < (b ? 2 : (p ? 1 : 0)); ++list) {  // ref_pic_list_modification
      if (!br.Flag()) continue;
      for (int n = 0; n < 100 && !br.Overrun(); ++n) {
        const uint32_t idc = br.Ue();
        if (idc == 3) break;
        br.Ue();
      }
    }
    if ((pps->weightedPred && p) || (pps->weightedBipredIdc == 1 && b)) {  // pred_weight_table
      const bool chroma = !sps.separateColourPlane && sps.chromaFormat != 0;
      br.Ue();
      if (chroma) br.Ue();
      for (int list = 0; list < (b ? 2 : 1); ++list) {
        for (uint32_t i = 0; i < (list ? refs1 : refs0); ++i) {
          if (br.Flag()) { br.Se(); br.Se(); }
          if (chroma && br.Flag()) { br.Se(); br.Se(); br.Se(); br.Se(); }
        }
      }
    }
    if (slice.idr) {
      br.Bits(2);
    } else if (br.Flag()) {  // adaptive_ref_pic_marking_mode_flag
      for (int n = 0; n < 100 && !br.Overrun(); ++n) {
        const uint32_t op = br.Ue();
        if (op == 0) break;
        if (op == 5) slice.mmco5 = true;
        if (op == 1 || op == 3) br.Ue();
        if (op == 2) br.Ue();
        if (op == 3 || op == 6) br.Ue();
        if (op == 4) br.Ue();
      }
    }
    if (br.Overrun()) slice.mmco5 = false;
    break;
  }
  if (!result.picture || !slice.parsed) return result;
  const SequenceInfo& sps = *active;

  // The second field of a pair is the first one's picture.
  if (slice.field && static_cast<int64_t>(slice.frameNum) == lastFieldFrameNum_ && slice.bottom != lastFieldBottom_) {
    result.secondField = true;
    lastFieldFrameNum_ = -1;
  } else if (slice.field) {
    lastFieldFrameNum_ = slice.frameNum;
    lastFieldBottom_ = slice.bottom;
  } else {
    lastFieldFrameNum_ = -1;
  }

  const int64_t maxFrameNum = int64_t{1} << sps.log2MaxFrameNum;
  // frame_num counts reference pictures from the IDR picture's 0, one step a reference. A
  // picture whose frame_num jumps back follows lost reference pictures: an IDR picture among
  // them (its count then starts here, as the IDR picture's would have), or the pictures
  // around a wrap of frame_num. Which it was the numbers cannot tell, so the count is started
  // here as a restart that may not be one, with numbers known only up to the count's base.
  bool idrLost = false;
  if (!slice.idr && !result.secondField && lastRefFrameNum_ >= 0) {
    const int64_t frameNum = slice.frameNum;
    idrLost = (frameNum <= 1 || frameNum < lastRefFrameNum_) && frameNum != lastRefFrameNum_ &&
              frameNum != (lastRefFrameNum_ + 1) % maxFrameNum;
  }
  if (slice.reference) lastRefFrameNum_ = slice.mmco5 ? 0 : slice.frameNum;
  int64_t top = 0, bottom = 0;
  if (slice.idr || idrLost) {
    prevPocMsb_ = prevPocLsb_ = 0;
    prevFrameNumOffset_ = 0;
    prevFrameNum_ = 0;
  }
  if (sps.pocType == 0) {
    if (prevMmco5_) prevPocMsb_ = 0;  // prevPocLsb_ was set with it
    const int64_t maxLsb = int64_t{1} << sps.log2MaxPocLsb, lsb = slice.pocLsb;
    int64_t msb = prevPocMsb_;
    if (lsb < prevPocLsb_ && prevPocLsb_ - lsb >= maxLsb / 2) msb += maxLsb;
    else if (lsb > prevPocLsb_ && lsb - prevPocLsb_ > maxLsb / 2) msb -= maxLsb;
    top = msb + lsb;
    bottom = slice.field ? msb + lsb : top + slice.deltaBottom;
    if (slice.reference) {
      prevPocMsb_ = msb;
      prevPocLsb_ = lsb;
    }
  } else {
    const int64_t prevOffset = prevMmco5_ ? 0 : prevFrameNumOffset_;
    int64_t frameNumOffset = 0;
    if (!slice.idr) frameNumOffset = prevFrameNum_ > slice.frameNum ? prevOffset + maxFrameNum : prevOffset;
    if (sps.pocType == 1) {
      const int64_t cycle = static_cast<int64_t>(sps.offsetForRefFrame.size());
      int64_t absFrameNum = cycle ? frameNumOffset + slice.frameNum : 0;
      if (!slice.reference && absFrameNum > 0) --absFrameNum;
      // Hostile offsets can take the count past any integer: such a picture has no number.
      bool overflow = false;
      const auto add = [&overflow](int64_t a, int64_t b) {
        int64_t sum = 0;
        overflow = overflow || __builtin_add_overflow(a, b, &sum);
        return sum;
      };
      int64_t expected = 0;
      if (absFrameNum > 0) {
        int64_t perCycle = 0;
        for (int32_t offset : sps.offsetForRefFrame) perCycle += offset;  // at most 255 of them
        const int64_t cycles = (absFrameNum - 1) / cycle, inCycle = (absFrameNum - 1) % cycle;
        overflow = __builtin_mul_overflow(cycles, perCycle, &expected);
        for (int64_t i = 0; i <= inCycle; ++i) expected = add(expected, sps.offsetForRefFrame[static_cast<size_t>(i)]);
      }
      if (!slice.reference) expected = add(expected, sps.offsetForNonRefPic);
      if (!slice.field) {
        top = add(expected, slice.delta0);
        bottom = add(add(top, sps.offsetForTopToBottomField), slice.delta1);
      } else {
        top = bottom = slice.bottom ? add(add(expected, sps.offsetForTopToBottomField), slice.delta0)
                                    : add(expected, slice.delta0);
      }
      if (overflow) {
        prevFrameNumOffset_ = frameNumOffset;
        prevFrameNum_ = slice.frameNum;
        prevMmco5_ = slice.mmco5;
        result.restart = slice.idr;
        return result;
      }
    } else {
      const int64_t count = slice.idr ? 0 : 2 * (frameNumOffset + slice.frameNum) - (slice.reference ? 0 : 1);
      top = bottom = count;
    }
    prevFrameNumOffset_ = frameNumOffset;
    prevFrameNum_ = slice.frameNum;
  }
  int64_t order = slice.field ? (slice.bottom ? bottom : top) : std::min(top, bottom);
  prevMmco5_ = slice.mmco5;
  result.restart = slice.idr || idrLost;
  result.restartInferred = idrLost;
  if (slice.idr || slice.mmco5) baseKnown_ = true;
  if (idrLost) baseKnown_ = false;
  if (!baseKnown_) {
    // From a recovery point the counts run on from a base never seen: type 0 knows the
    // count modulo the lsb range, type 2 modulo twice the frame_num range, type 1 not at all.
    if (sps.pocType == 1) {
      if (!result.secondField) result.number.reset();
      return result;
    }
    result.modulus = sps.pocType == 0 ? int64_t{1} << sps.log2MaxPocLsb : 2 * maxFrameNum;
  }
  if (slice.mmco5) {
    // The picture shows first in a new count, and the counts after it start from it.
    result.restart = true;
    const int64_t temp = order;
    order = 0;
    prevFrameNum_ = 0;
    if (sps.pocType == 0) prevPocLsb_ = slice.field && slice.bottom ? 0 : top - temp;
  }
  // The second field's count was followed for the pictures after it; its place is the first's.
  if (!result.secondField) result.number = order;
  return result;
}

PictureNumber PictureNumbering::Mpeg2(const uint8_t* data, size_t size) {
  // The parser starts a picture at its first slice, so the headers of pictures that have no
  // slice join the packet of the next picture that has: each is a picture without data.
  PictureNumber result;
  size_t picture = kNoStartCode;
  bool gop = false, restart = false, slices = false;
  uint32_t structure = 3;  // of the picture in hand: 3 a frame, 1 and 2 a field
  const auto finish = [&](size_t end) {
    if (picture == kNoStartCode) return;
    if (picture + 6 > size) {
      picture = kNoStartCode;
      return;
    }
    PictureNumber n;
    n.picture = true;
    n.restart = restart;
    n.type = (data[picture + 5] >> 3) & 7;
    if (n.type < 1 || n.type > 3) n.type = 0;
    const uint32_t reference = (uint32_t{data[picture + 4]} << 2) | (data[picture + 5] >> 6);
    // A field picture pair is one picture: the second field has the first one's number.
    if (structure != 3 && firstFieldWaiting_ && reference == firstFieldReference_ && !restart) {
      n.secondField = true;
      firstFieldWaiting_ = false;
    } else {
      firstFieldWaiting_ = structure != 3;
      firstFieldReference_ = reference;
    }
    if (n.type && !n.secondField) {
      // temporal_reference counts on past 1023 inside one GOP: anchors follow each other in
      // display order, so an anchor whose field goes back has wrapped (or its GOP header is
      // lost, which places it the same way), and a B picture shows before the anchor that
      // came just ahead of it. A B picture only a little past that anchor keeps its number:
      // the anchor it shows before was lost (its header damaged), so it shows before the last
      // anchor read, as the decoder gives it out.
      if (n.restart) {
        gopBase_ = 0;
        lastAnchor_ = -1;
      }
      constexpr int64_t kHalfCount = 512;  // temporal_reference counts modulo 1024
      int64_t number = gopBase_ + reference;
      if (n.type != 3) {
        if (lastAnchor_ >= 0 && number <= lastAnchor_) {
          gopBase_ += 1024;
          number += 1024;
        }
        lastAnchor_ = number;
      } else if (lastAnchor_ >= 0 && number > lastAnchor_ + kHalfCount) {
        number -= 1024;
      } else if (lastAnchor_ >= 0 && number > lastAnchor_) {
        n.before = lastAnchor_;
      }
      n.number = number;
    }
    if (!slices) {
      if (!n.secondField) result.withoutData.push_back({n.number, n.restart});
      if (result.dropEnd == 0) result.dropBegin = picture;
      result.dropEnd = end;
    } else {
      PictureNumber own{n.picture, n.secondField, n.number, n.restart, false, 0, n.type, n.before,
                        std::move(result.withoutData), result.dropBegin, result.dropEnd};
      result = std::move(own);
    }
    picture = kNoStartCode;
  };
  for (size_t sc = FindStartCode(data, size, 0); sc != kNoStartCode; sc = FindStartCode(data, size, sc + 3)) {
    const uint8_t code = data[sc + 3];
    if (code == 0xB8 && sc + 8 <= size) {
      finish(sc);
      closedGop_ = (data[sc + 7] & 0x40) != 0;
      brokenLink_ = (data[sc + 7] & 0x20) != 0;
      gop = true;
    } else if (code == 0x00) {
      finish(sc);
      picture = sc;
      restart = gop;
      gop = slices = false;
      structure = 3;
    } else if (code == 0xB5 && picture != kNoStartCode && !slices && sc + 7 <= size && (data[sc + 4] >> 4) == 8) {
      // Picture coding extension: picture_structure 3 is a frame, 1 and 2 a field.
      structure = data[sc + 6] & 3;
    } else if (picture != kNoStartCode && code >= 0x01 && code <= 0xAF) {
      // The packet's own picture: nothing of another picture follows its first slice.
      slices = true;
      break;
    } else if (code == 0xB3 || code == 0xB7) {
      finish(sc);
    }
  }
  if (picture != kNoStartCode) {
    // The packet's own picture, slices or not.
    slices = true;
    finish(size);
  }
  if (!result.picture && !result.withoutData.empty()) {
    // No picture with slices: the last header is the packet's own.
    const PictureNumber::Empty last = result.withoutData.back();
    result.withoutData.pop_back();
    result.picture = true;
    result.number = last.number;
    result.restart = last.restart;
    result.dropBegin = result.dropEnd = 0;
  }
  return result;
}

PictureNumber PictureNumbering::Vc1(const uint8_t* data, size_t size, int pictureType) {
  // A B picture shows before the anchor just ahead of it in decode order, after the one
  // before that: anchor k takes the last number of its band, the B pictures after it the
  // first ones.
  constexpr int64_t kBand = int64_t{1} << 20;
  PictureNumber result;
  // A packet without a frame start code (an end of sequence) is no picture.
  for (size_t sc = FindStartCode(data, size, 0); sc != kNoStartCode && !result.picture; sc = FindStartCode(data, size, sc + 3))
    result.picture = data[sc + 3] == 0x0D;
  if (!result.picture) return result;
  switch (pictureType) {
    case 1:  // AV_PICTURE_TYPE_I
    case 2:  // AV_PICTURE_TYPE_P
      result.type = pictureType;
      ++anchors_;
      sinceAnchor_ = 0;
      result.number = anchors_ * kBand + kBand - 1;
      break;
    case 3:  // AV_PICTURE_TYPE_B
    case 7:  // AV_PICTURE_TYPE_BI
      result.type = 3;
      result.number = anchors_ * kBand + std::min(sinceAnchor_++, kBand - 2);
      break;
    default:
      break;
  }
  return result;
}

}  // namespace tessivar::mfxsw
