#include "stream_headers.h"

#include <algorithm>

#include <mfx/mfxstructures.h>

#include "bit_reader.h"
#include "start_codes.h"

namespace tessivar::mfxsw {
namespace {

uint16_t Align(uint32_t value, uint32_t to) { return static_cast<uint16_t>((value + to - 1) / to * to); }

struct Ratio { uint16_t w, h; };
// Sample aspect ratios of H.264 Table E-1 (indices 1..16); VC-1 uses the same for 1..13.
constexpr Ratio kSarTable[17] = {{0, 0},   {1, 1},   {12, 11}, {10, 11}, {16, 11}, {40, 33},
                                 {24, 11}, {20, 11}, {32, 11}, {80, 33}, {18, 11}, {15, 11},
                                 {64, 33}, {160, 99}, {4, 3},  {3, 2},   {2, 1}};

uint32_t Gcd(uint32_t a, uint32_t b) { while (b) { uint32_t t = a % b; a = b; b = t; } return a; }

void SetReducedAspect(uint64_t w, uint64_t h, SequenceInfo* info) {
  if (!w || !h) { info->aspectW = info->aspectH = 1; return; }
  uint64_t a = w, b = h;
  while (b) { uint64_t t = a % b; a = b; b = t; }
  uint64_t g = a;
  w /= g; h /= g;
  while (w > 0xFFFF || h > 0xFFFF) { w = (w + 1) / 2; h = (h + 1) / 2; }
  info->aspectW = static_cast<uint16_t>(w);
  info->aspectH = static_cast<uint16_t>(h);
}

// ---------------------------------------------------------------- H.264

void SkipScalingList(BitReader& br, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) next = (last + br.Se() + 256) % 256;
    last = next == 0 ? last : next;
  }
}

void SkipHrd(BitReader& br) {
  uint32_t count = br.Ue() + 1;
  br.Bits(8);
  for (uint32_t i = 0; i < count && i < 32 && !br.Overrun(); ++i) { br.Ue(); br.Ue(); br.Bits(1); }
  br.Bits(20);
}

struct LevelLimit { int level; int maxDpbMbs; };
constexpr LevelLimit kLevelLimits[] = {{9, 396},     {10, 396},    {11, 900},    {12, 2376},
                                       {13, 2376},   {20, 2376},   {21, 4752},   {22, 8100},
                                       {30, 8100},   {31, 18000},  {32, 20480},  {40, 32768},
                                       {41, 32768},  {42, 34816},  {50, 110400}, {51, 184320},
                                       {52, 184320}, {60, 696320}, {61, 696320}, {62, 696320}};

bool ParseAvcSps(const uint8_t* unit, size_t size, SequenceInfo* info) {
  // unit: the NAL unit after its start code, header byte first.
  std::vector<uint8_t> rbsp = UnescapeRbsp(unit + 1, size - 1);
  BitReader br(rbsp.data(), rbsp.size());
  int profile = static_cast<int>(br.Bits(8));
  uint32_t constraints = br.Bits(8);
  int level = static_cast<int>(br.Bits(8));
  if (br.Ue() > 31) return false;
  int chroma = 1, depthLuma = 8, depthChroma = 8;
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 ||
      profile == 83 || profile == 86 || profile == 118 || profile == 128 || profile == 138 ||
      profile == 139 || profile == 134 || profile == 135) {
    chroma = static_cast<int>(br.Ue());
    if (chroma > 3) return false;
    if (chroma == 3) info->separateColourPlane = br.Flag();
    depthLuma = 8 + static_cast<int>(br.Ue());
    depthChroma = 8 + static_cast<int>(br.Ue());
    br.Bits(1);
    if (br.Flag()) {
      for (int i = 0; i < (chroma != 3 ? 8 : 12); ++i)
        if (br.Flag()) SkipScalingList(br, i < 6 ? 16 : 64);
    }
  }
  const uint32_t log2MaxFrameNum = br.Ue() + 4;
  uint32_t pocType = br.Ue();
  uint32_t log2MaxPocLsb = 4;
  if (pocType == 0) {
    log2MaxPocLsb = br.Ue() + 4;
  } else if (pocType == 1) {
    info->deltaPicOrderAlwaysZero = br.Flag();
    info->offsetForNonRefPic = br.Se();
    info->offsetForTopToBottomField = br.Se();
    uint32_t cycle = br.Ue();
    if (cycle > 255) return false;
    info->offsetForRefFrame.clear();
    for (uint32_t i = 0; i < cycle; ++i) info->offsetForRefFrame.push_back(br.Se());
  } else if (pocType != 2) {
    return false;
  }
  uint32_t maxRefFrames = br.Ue();
  br.Bits(1);
  uint32_t widthMbs = br.Ue() + 1;
  uint32_t heightMapUnits = br.Ue() + 1;
  bool frameMbsOnly = br.Flag();
  if (!frameMbsOnly) br.Bits(1);
  br.Bits(1);
  uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
  if (br.Flag()) { cropLeft = br.Ue(); cropRight = br.Ue(); cropTop = br.Ue(); cropBottom = br.Ue(); }
  if (br.Overrun() || widthMbs > 1024 || heightMapUnits > 1024) return false;
  uint32_t heightMbs = heightMapUnits * (frameMbsOnly ? 1 : 2);

  if (log2MaxFrameNum > 16 || log2MaxPocLsb > 16) return false;
  info->log2MaxFrameNum = static_cast<int>(log2MaxFrameNum);
  info->pocType = static_cast<int>(pocType);
  info->log2MaxPocLsb = static_cast<int>(log2MaxPocLsb);
  info->chromaFormat = chroma;
  info->bitDepth = std::max(depthLuma, depthChroma);
  info->supported = (chroma == 0 || chroma == 1) && depthLuma == 8 && depthChroma == 8 &&
                    widthMbs * 16 <= kMaxPictureSize && heightMbs * 16 <= kMaxPictureSize;
  info->progressiveOnly = frameMbsOnly;
  info->width = static_cast<uint16_t>(widthMbs * 16);
  info->height = static_cast<uint16_t>(heightMbs * 16);
  uint32_t unitX = chroma == 0 || chroma == 3 ? 1 : 2;
  uint32_t unitY = (chroma == 1 ? 2 : 1) * (frameMbsOnly ? 1 : 2);
  uint32_t cx = cropLeft * unitX, cw = (cropLeft + cropRight) * unitX;
  uint32_t cy = cropTop * unitY, ch = (cropTop + cropBottom) * unitY;
  if (cw >= info->width || ch >= info->height) return false;
  info->cropX = static_cast<uint16_t>(cx);
  info->cropY = static_cast<uint16_t>(cy);
  info->cropW = static_cast<uint16_t>(info->width - cw);
  info->cropH = static_cast<uint16_t>(info->height - ch);
  info->profile = static_cast<uint16_t>(profile);
  info->level = static_cast<uint16_t>(level == 11 && (constraints & 0x10) && profile < 100 ? MFX_LEVEL_AVC_1b : level);
  info->aspectW = info->aspectH = 0;
  info->frameRateN = info->frameRateD = 0;

  int maxDpb = AvcMaxDpbFrames(level, (constraints & 0x10) != 0, static_cast<int>(widthMbs * heightMbs));
  int reorder = maxDpb;
  int dpb = std::max<int>(maxDpb, static_cast<int>(maxRefFrames));
  if (br.Flag()) {  // VUI
    if (br.Flag()) {
      uint32_t idc = br.Bits(8);
      if (idc == 255) {
        info->aspectW = static_cast<uint16_t>(br.Bits(16));
        info->aspectH = static_cast<uint16_t>(br.Bits(16));
      } else if (idc < 17) {
        info->aspectW = kSarTable[idc].w;
        info->aspectH = kSarTable[idc].h;
      }
    }
    if (br.Flag()) br.Bits(1);
    if (br.Flag()) { br.Bits(4); if (br.Flag()) br.Bits(24); }
    if (br.Flag()) { br.Ue(); br.Ue(); }
    if (br.Flag()) {
      uint32_t units = br.Bits(32), scale = br.Bits(32);
      br.Bits(1);
      if (units && scale) { info->frameRateN = scale; info->frameRateD = 2 * units; }
    }
    bool nalHrd = br.Flag();
    if (nalHrd) SkipHrd(br);
    bool vclHrd = br.Flag();
    if (vclHrd) SkipHrd(br);
    if (nalHrd || vclHrd) br.Bits(1);
    br.Bits(1);  // pic_struct_present_flag
    if (br.Flag() && !br.Overrun()) {  // bitstream_restriction
      br.Bits(1); br.Ue(); br.Ue(); br.Ue(); br.Ue();
      uint32_t numReorder = br.Ue();
      uint32_t maxDecBuffering = br.Ue();
      if (!br.Overrun() && numReorder <= 16 && maxDecBuffering <= 16) {
        reorder = static_cast<int>(numReorder);
        dpb = std::max<int>(static_cast<int>(maxDecBuffering), 1);
      }
    }
  }
  if (info->frameRateN) {
    uint32_t g = Gcd(info->frameRateN, info->frameRateD);
    info->frameRateN /= g; info->frameRateD /= g;
  }
  info->reorderDepth = std::clamp(reorder, 0, 16);
  info->dpbFrames = std::clamp(dpb, 1, 16);
  return true;
}

// ---------------------------------------------------------------- MPEG-2

constexpr uint32_t kMpeg2Rates[9][2] = {{0, 0},        {24000, 1001}, {24, 1},       {25, 1},
                                        {30000, 1001}, {30, 1},       {50, 1},       {60000, 1001},
                                        {60, 1}};

bool ParseMpeg2Sequence(const uint8_t* data, size_t size, SequenceInfo* info) {
  if (size < 12) return false;
  BitReader br(data + 4, size - 4);
  uint32_t w = br.Bits(12), h = br.Bits(12);
  uint32_t aspect = br.Bits(4), rateCode = br.Bits(4);
  if (!w || !h || rateCode == 0 || rateCode > 8) return false;
  uint32_t rateN = kMpeg2Rates[rateCode][0], rateD = kMpeg2Rates[rateCode][1];
  bool progressive = true;
  int chroma = 1;
  uint16_t profile = 0, level = 0;
  // The sequence extension, when the next unit is one.
  size_t next = FindStartCode(data, size, 4);
  if (next != kNoStartCode && next + 10 <= size && data[next + 3] == 0xB5 && (data[next + 4] >> 4) == 1) {
    BitReader ext(data + next + 4, size - next - 4);
    ext.Bits(4);
    uint32_t pl = ext.Bits(8);
    progressive = ext.Flag();
    chroma = static_cast<int>(ext.Bits(2));
    w |= ext.Bits(2) << 12;
    h |= ext.Bits(2) << 12;
    ext.Bits(12); ext.Bits(1); ext.Bits(8); ext.Bits(1);
    uint32_t extN = ext.Bits(2), extD = ext.Bits(5);
    rateN *= extN + 1;
    rateD *= extD + 1;
    profile = static_cast<uint16_t>(pl & 0x70);
    level = static_cast<uint16_t>(pl & 0x0F);
  }
  info->chromaFormat = chroma;
  info->supported = chroma == 1 && w <= kMaxPictureSize && h <= kMaxPictureSize;
  info->progressiveOnly = progressive;
  info->width = Align(w, 16);
  info->height = progressive ? Align(h, 16) : Align(h, 32);
  info->cropX = info->cropY = 0;
  info->cropW = static_cast<uint16_t>(w);
  info->cropH = static_cast<uint16_t>(h);
  uint32_t g = Gcd(rateN, rateD);
  info->frameRateN = rateN / g;
  info->frameRateD = rateD / g;
  switch (aspect) {  // display aspect ratio codes turn into a sample aspect ratio
    case 2: SetReducedAspect(4ull * h, 3ull * w, info); break;
    case 3: SetReducedAspect(16ull * h, 9ull * w, info); break;
    case 4: SetReducedAspect(221ull * h, 100ull * w, info); break;
    default: info->aspectW = info->aspectH = 1; break;
  }
  info->profile = profile;
  info->level = level;
  info->reorderDepth = 1;
  info->dpbFrames = 2;
  return true;
}

// ---------------------------------------------------------------- VC-1 advanced profile

bool ParseVc1Sequence(const uint8_t* data, size_t size, SequenceInfo* info) {
  if (size < 10) return false;
  BitReader br(data + 4, size - 4);
  uint32_t profile = br.Bits(2);
  uint32_t level = br.Bits(3);
  uint32_t colorDiff = br.Bits(2);
  br.Bits(3 + 5 + 1);
  uint32_t w = (br.Bits(12) + 1) * 2, h = (br.Bits(12) + 1) * 2;
  br.Bits(1);  // PULLDOWN
  bool interlace = br.Flag();
  br.Bits(1 + 1 + 1 + 1);  // TFCNTRFLAG, FINTERPFLAG, reserved, PSF
  info->aspectW = info->aspectH = 1;
  info->frameRateN = info->frameRateD = 0;
  if (br.Flag()) {  // DISPLAY_EXT
    br.Bits(14); br.Bits(14);
    if (br.Flag()) {
      uint32_t code = br.Bits(4);
      if (code == 15) {
        info->aspectW = static_cast<uint16_t>(br.Bits(8) + 1);
        info->aspectH = static_cast<uint16_t>(br.Bits(8) + 1);
      } else if (code >= 1 && code <= 13) {
        info->aspectW = kSarTable[code].w;
        info->aspectH = kSarTable[code].h;
      }
    }
    if (br.Flag()) {
      if (br.Flag()) {
        uint32_t exp = br.Bits(16);
        info->frameRateN = exp + 1;
        info->frameRateD = 32;
      } else {
        static constexpr uint32_t kNr[8] = {0, 24, 25, 30, 50, 60, 48, 72};
        uint32_t nr = br.Bits(8), dr = br.Bits(4);
        if (nr >= 1 && nr <= 7 && (dr == 1 || dr == 2)) {
          info->frameRateN = kNr[nr] * 1000;
          info->frameRateD = dr == 1 ? 1000 : 1001;
        }
      }
    }
  }
  if (br.Overrun()) return false;
  if (info->frameRateN) {
    uint32_t g = Gcd(info->frameRateN, info->frameRateD);
    info->frameRateN /= g; info->frameRateD /= g;
  }
  info->chromaFormat = 1;
  info->supported = profile == 3 && colorDiff == 1;
  info->progressiveOnly = !interlace;
  info->width = Align(w, 16);
  info->height = interlace ? Align(h, 32) : Align(h, 16);
  info->cropX = info->cropY = 0;
  info->cropW = static_cast<uint16_t>(w);
  info->cropH = static_cast<uint16_t>(h);
  info->profile = MFX_PROFILE_VC1_ADVANCED;
  info->level = static_cast<uint16_t>(level + 1);
  info->reorderDepth = 1;
  info->dpbFrames = 2;
  return true;
}

}  // namespace

int AvcMaxDpbFrames(int levelIdc, bool constraintSet3, int frameMbs) {
  int level = (levelIdc == 11 && constraintSet3) ? 9 : levelIdc;
  int maxDpbMbs = 0;
  for (const LevelLimit& l : kLevelLimits)
    if (l.level == level) maxDpbMbs = l.maxDpbMbs;
  if (maxDpbMbs == 0 || frameMbs <= 0) return 16;
  return std::clamp(maxDpbMbs / frameMbs, 1, 16);
}

bool IsSequenceStart(uint32_t codecId, uint8_t code) {
  switch (codecId) {
    case MFX_CODEC_AVC: return (code & 0x9F) == 7 && (code & 0x60) != 0;  // SPS, nal_ref_idc > 0
    case MFX_CODEC_MPEG2: return code == 0xB3;
    case MFX_CODEC_VC1: return code == 0x0F;
    default: return false;
  }
}

size_t FirstUnitLength(const uint8_t* data, size_t size) {
  size_t next = FindStartCode(data, size, 3);
  return next == kNoStartCode ? size : next;
}

size_t SequenceBlockLength(uint32_t codecId, const uint8_t* data, size_t size, bool atEnd) {
  size_t units = codecId == MFX_CODEC_AVC ? 1 : 2;
  size_t pos = 0;
  for (size_t i = 0; i < units; ++i) {
    size_t next = FindStartCode(data, size, pos + 3);
    if (next == kNoStartCode) return atEnd ? size : 0;
    pos = next;
  }
  return pos;
}

bool ParseSequenceBlock(uint32_t codecId, const uint8_t* data, size_t size, SequenceInfo* info) {
  if (size < 5) return false;
  info->codecId = codecId;
  switch (codecId) {
    case MFX_CODEC_AVC: {
      // Trailing zero bytes of the unit (a following 4-byte start code) are not part of it.
      size_t end = FirstUnitLength(data, size);
      while (end > 4 && data[end - 1] == 0) --end;
      return ParseAvcSps(data + 3, end - 3, info);
    }
    case MFX_CODEC_MPEG2: return ParseMpeg2Sequence(data, size, info);
    case MFX_CODEC_VC1: return ParseVc1Sequence(data, size, info);
    default: return false;
  }
}

bool AvcHasMatchingPps(const uint8_t* data, size_t size) {
  if (size < 5) return false;
  std::vector<uint8_t> sps = UnescapeRbsp(data + 4, std::min<size_t>(size - 4, 16));
  BitReader spsReader(sps.data(), sps.size());
  spsReader.Bits(24);
  uint32_t spsId = spsReader.Ue();
  for (size_t pos = FindStartCode(data, size, 3); pos != kNoStartCode; pos = FindStartCode(data, size, pos + 3)) {
    if ((data[pos + 3] & 0x1F) != 8) continue;
    std::vector<uint8_t> pps = UnescapeRbsp(data + pos + 4, std::min<size_t>(size - pos - 4, 16));
    BitReader br(pps.data(), pps.size());
    br.Ue();
    if (br.Ue() == spsId && !br.Overrun()) return true;
  }
  return false;
}

void FillVideoParam(const SequenceInfo& info, mfxInfoMFX* mfx) {
  mfxFrameInfo& fi = mfx->FrameInfo;
  fi.FourCC = MFX_FOURCC_NV12;
  fi.ChromaFormat = MFX_CHROMAFORMAT_YUV420;
  fi.Width = info.width;
  // H.264 surfaces have room for a frame coded in macroblock pairs: a later sequence of the
  // same picture size may code its frames so (progressive, then MBAFF).
  fi.Height = info.codecId == MFX_CODEC_AVC ? static_cast<mfxU16>(Align(info.height, 32)) : info.height;
  fi.CropX = info.cropX;
  fi.CropY = info.cropY;
  fi.CropW = info.cropW;
  fi.CropH = info.cropH;
  fi.FrameRateExtN = info.frameRateN;
  fi.FrameRateExtD = info.frameRateD;
  fi.AspectRatioW = info.aspectW ? info.aspectW : 1;
  fi.AspectRatioH = info.aspectH ? info.aspectH : 1;
  fi.PicStruct = info.progressiveOnly ? MFX_PICSTRUCT_PROGRESSIVE : MFX_PICSTRUCT_UNKNOWN;
  fi.BitDepthLuma = fi.BitDepthChroma = 8;
  mfx->CodecProfile = info.profile;
  mfx->CodecLevel = info.level;
}

}  // namespace tessivar::mfxsw
