// The number each coded picture carries for its place in display order, read from the
// packet the parser gives: the H.264 picture order count (all three types, restarted by an
// IDR picture and by memory_management_control_operation 5, a field pair counted once), the
// MPEG-2 temporal_reference (restarted by every GOP header, a field pair counted once), and
// for VC-1, which carries none, the order its picture types give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "stream_headers.h"

namespace tessivar::mfxsw {

struct PictureNumber {
  bool picture = false;       // the packet starts a picture (false: no slice or picture header)
  bool secondField = false;   // the second field of a pair: the first field's picture
  std::optional<int64_t> number;  // none: the picture's header cannot be read
  bool restart = false;       // the count starts again at this picture
  bool restartInferred = false;  // from lost pictures before it: perhaps no restart at all
  // 0: `number` is exact. Otherwise it is right modulo this value only: the count's base was
  // never seen (H.264 decoded from a recovery point, before an IDR picture).
  int64_t modulus = 0;
  int type = 0;               // MPEG-2 and VC-1: 1 I, 2 P, 3 B (B-like), 0 unknown
  // MPEG-2: the picture shows right before the picture of this number, not where its own
  // number places it (a B picture whose next anchor was lost shows before the last anchor).
  std::optional<int64_t> before;
  // MPEG-2: pictures before this one in the packet that carry no slice, in decode order.
  struct Empty {
    std::optional<int64_t> number;
    bool restart = false;
  };
  std::vector<Empty> withoutData;
  // Their bytes in the packet, left out of what libavcodec gets: it would take their headers
  // for the next picture's and decode that one wrongly.
  size_t dropBegin = 0, dropEnd = 0;
};

class PictureNumbering {
 public:
  // Where the stream starts over after a seek: counts that run on from picture to picture
  // start again. Parameter sets already seen stay known.
  void Restart();

  // H.264: one access unit; parameter sets in it are taken in first. `fallback` is the
  // sequence parameter set of a picture that names one not seen in the packets.
  PictureNumber Avc(const uint8_t* data, size_t size, const SequenceInfo& fallback);
  // MPEG-2: one picture with whatever headers precede it.
  PictureNumber Mpeg2(const uint8_t* data, size_t size);
  // VC-1 advanced profile: one frame, with the picture type the parser found (AVPictureType
  // values).
  PictureNumber Vc1(const uint8_t* data, size_t size, int pictureType);

  // The GOP header last seen (MPEG-2).
  bool ClosedGop() const { return closedGop_; }
  bool BrokenLink() const { return brokenLink_; }

 private:
  struct Pps {
    bool valid = false;
    uint32_t spsId = 0;
    bool bottomFieldPicOrderPresent = false;
    bool redundantPicCntPresent = false;
    bool weightedPred = false;
    uint32_t weightedBipredIdc = 0;
    uint32_t numRefIdxL0 = 1, numRefIdxL1 = 1;
  };
  void TakePps(const uint8_t* unit, size_t size);
  void TakeSps(const uint8_t* unit, size_t size);  // `unit` from its start code

  std::vector<Pps> pps_;
  std::vector<std::optional<SequenceInfo>> sps_;  // by id, as the packets gave them
  // H.264 order count state, from the previous (reference) picture.
  int64_t prevPocMsb_ = 0, prevPocLsb_ = 0;
  int64_t prevFrameNumOffset_ = 0;
  uint32_t prevFrameNum_ = 0;
  bool prevMmco5_ = false;
  bool baseKnown_ = false;  // an IDR picture or operation 5 began the count since the start
  int64_t lastRefFrameNum_ = -1;  // frame_num of the last reference picture; -1 unknown
  int64_t lastFieldFrameNum_ = -1;  // first field of a pair waiting for its second: frame_num
  bool lastFieldBottom_ = false;
  // MPEG-2.
  bool closedGop_ = false, brokenLink_ = false;
  bool firstFieldWaiting_ = false;
  uint32_t firstFieldReference_ = 0;
  int64_t lastAnchor_ = -1;  // number of the last I or P picture in this GOP
  int64_t gopBase_ = 0;      // added to temporal_reference: 1024 for each wrap in this GOP
  // VC-1: anchors since the start, and B pictures since the last anchor.
  int64_t anchors_ = 0, sinceAnchor_ = 0;
};

}  // namespace tessivar::mfxsw
