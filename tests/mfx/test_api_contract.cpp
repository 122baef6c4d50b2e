// Statuses and bookkeeping of the decode API: headers, state misuse, surfaces, bitstream
// accounting and damaged input.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "mfx_player.h"
#include "stream_tools.h"

namespace tessivar::mfxtest {
namespace {

mfxBitstream BitstreamOver(std::vector<uint8_t>& bytes) {
  mfxBitstream bs{};
  bs.Data = bytes.data();
  bs.DataLength = static_cast<mfxU32>(bytes.size());
  bs.MaxLength = bs.DataLength;
  return bs;
}

struct Surface {
  explicit Surface(const mfxFrameInfo& info) : pixels(static_cast<size_t>(info.Width) * info.Height * 3 / 2) {
    std::memset(&s, 0, sizeof s);
    s.Info = info;
    s.Data.Y = pixels.data();
    s.Data.UV = pixels.data() + static_cast<size_t>(info.Width) * info.Height;
    s.Data.PitchLow = info.Width;
  }
  std::vector<uint8_t> pixels;
  mfxFrameSurface1 s;
};


// An H.264 SPS (Baseline, level 5.1, no VUI) and a PPS for a picture of the given size in
// macroblocks, with start codes.
std::vector<uint8_t> AvcHeadersOfSize(uint32_t widthMbs, uint32_t heightMbs) {
  std::vector<bool> bits;
  auto put = [&bits](uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bits.push_back((value >> i) & 1);
  };
  auto ue = [&put](uint32_t value) {
    int length = 0;
    while ((value + 1) >> (length + 1)) ++length;
    put(0, length);
    put(value + 1, length + 1);
  };
  auto unit = [&bits](uint8_t header) {
    bits.push_back(true);  // rbsp stop bit
    while (bits.size() % 8) bits.push_back(false);
    std::vector<uint8_t> bytes = {0, 0, 0, 1, header};
    for (size_t i = 0; i < bits.size(); i += 8) {
      uint8_t byte = 0;
      for (size_t j = 0; j < 8; ++j) byte = static_cast<uint8_t>(byte << 1 | bits[i + j]);
      bytes.push_back(byte);
    }
    bits.clear();
    return bytes;
  };
  put(66, 8); put(0, 8); put(51, 8);  // profile, constraints, level
  ue(0); ue(0); ue(2); ue(1); put(0, 1);  // sps id, frame num bits, poc type 2, refs, gaps
  ue(widthMbs - 1); ue(heightMbs - 1); put(1, 1); put(1, 1); put(0, 1); put(0, 1);  // size, flags
  std::vector<uint8_t> out = unit(0x67);
  ue(0); ue(0); put(0, 1); put(0, 1); ue(0); ue(0); ue(0); put(0, 1); put(0, 2);  // pps id, sps id, ...
  ue(0); ue(0); ue(0); put(1, 1); put(0, 1); put(0, 1);  // qp, qs, chroma qp (se 0 = ue 0)
  const std::vector<uint8_t> pps = unit(0x68);
  out.insert(out.end(), pps.begin(), pps.end());
  return out;
}

TEST(MfxHeaders, DecodeHeaderReportsSizeCropAspectAndPosition) {
  struct Case {
    std::string path;
    uint32_t codecId;
    uint16_t width, height, cropW, cropH, picStruct;
  };
  const Case cases[] = {
      // H.264 surfaces have room for macroblock pairs, whatever the first sequence codes.
      {StreamPath("avc_prog_closed.264"), MFX_CODEC_AVC, 320, 256, 320, 240, MFX_PICSTRUCT_PROGRESSIVE},
      {StreamPath("avc_mbaff_tff.264"), MFX_CODEC_AVC, 320, 256, 320, 240, MFX_PICSTRUCT_UNKNOWN},
      {StreamPath("m2v_int_tff.m2v"), MFX_CODEC_MPEG2, 320, 256, 320, 240, MFX_PICSTRUCT_UNKNOWN},
      {StreamPath("m2v_prog_closed.m2v"), MFX_CODEC_MPEG2, 320, 240, 320, 240, MFX_PICSTRUCT_PROGRESSIVE},
      {Vc1SamplePath("vc1_ap_gops.vc1"), MFX_CODEC_VC1, 320, 240, 320, 240, MFX_PICSTRUCT_PROGRESSIVE},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> data = ReadFile(c.path);
    if (data.empty()) continue;  // VC-1 samples absent
    // Junk in front of the header is skipped up to the header's start code.
    std::vector<uint8_t> bytes(100, 0x55);
    bytes.insert(bytes.end(), data.begin(), data.end());
    mfxBitstream bs = BitstreamOver(bytes);
    MfxPlayer player;
    mfxVideoParam par{};
    par.mfx.CodecId = c.codecId;
    ASSERT_EQ(player.Decoder().DecodeHeader(&bs, &par), MFX_ERR_NONE) << c.path;
    // (an access unit delimiter may come first; the offset lands on the header itself)
    ASSERT_GE(bs.DataOffset, 100u) << c.path;
    ASSERT_LT(bs.DataOffset + 5, bytes.size());
    const uint8_t* at = bytes.data() + bs.DataOffset + (bytes[bs.DataOffset + 2] == 0 ? 1 : 0);
    EXPECT_TRUE(at[0] == 0 && at[1] == 0 && at[2] == 1) << c.path;
    const uint8_t code = c.codecId == MFX_CODEC_AVC ? (at[3] & 0x1F) : at[3];
    EXPECT_EQ(code, c.codecId == MFX_CODEC_AVC ? 7 : c.codecId == MFX_CODEC_MPEG2 ? 0xB3 : 0x0F) << c.path;
    EXPECT_EQ(bs.DataOffset + bs.DataLength, bytes.size());
    const mfxFrameInfo& fi = par.mfx.FrameInfo;
    EXPECT_EQ(fi.FourCC, static_cast<mfxU32>(MFX_FOURCC_NV12));
    EXPECT_EQ(fi.Width, c.width) << c.path;
    EXPECT_EQ(fi.Height, c.height) << c.path;
    EXPECT_EQ(fi.CropW, c.cropW) << c.path;
    EXPECT_EQ(fi.CropH, c.cropH) << c.path;
    EXPECT_EQ(fi.PicStruct, c.picStruct) << c.path;
    EXPECT_GT(fi.AspectRatioW, 0);
    if (c.codecId == MFX_CODEC_VC1) {  // 11:12 from the display extension
      EXPECT_EQ(fi.AspectRatioW * 12, fi.AspectRatioH * 11);
    }
    if (c.codecId != MFX_CODEC_VC1) {
      EXPECT_EQ(fi.FrameRateExtN, 25u * fi.FrameRateExtD) << c.path;
    }
  }

  // No header at all: everything but a possible cut start code is passed over.
  std::vector<uint8_t> junk(1000, 0x11);
  mfxBitstream bs = BitstreamOver(junk);
  MfxPlayer player;
  mfxVideoParam par{};
  par.mfx.CodecId = MFX_CODEC_AVC;
  EXPECT_EQ(player.Decoder().DecodeHeader(&bs, &par), MFX_ERR_MORE_DATA);
  EXPECT_EQ(bs.DataLength, 3u);

  // A 4:2:2 stream cannot come out as NV12.
  std::vector<uint8_t> m422 = ReadFile(ExtraStreamPath("m2v_422.m2v"));
  ASSERT_FALSE(m422.empty());
  bs = BitstreamOver(m422);
  par = mfxVideoParam{};
  par.mfx.CodecId = MFX_CODEC_MPEG2;
  EXPECT_EQ(player.Decoder().DecodeHeader(&bs, &par), MFX_ERR_UNSUPPORTED);
  par.mfx.CodecId = MFX_MAKEFOURCC('H', 'E', 'V', 'C');
  EXPECT_EQ(player.Decoder().DecodeHeader(&bs, &par), MFX_ERR_UNSUPPORTED);

  // DecodeHeader takes exactly the sizes Init takes, so no surface pool is ever allocated for
  // a picture the decoder then refuses.
  struct Size {
    uint32_t widthMbs, heightMbs;
    mfxStatus header;
  };
  for (const Size& size : {Size{512, 512, MFX_ERR_NONE}, Size{513, 16, MFX_ERR_UNSUPPORTED},
                           Size{16, 1024, MFX_ERR_UNSUPPORTED}}) {
    std::vector<uint8_t> headers = AvcHeadersOfSize(size.widthMbs, size.heightMbs);
    bs = BitstreamOver(headers);
    bs.DataFlag = MFX_BITSTREAM_EOS;
    par = mfxVideoParam{};
    par.mfx.CodecId = MFX_CODEC_AVC;
    ASSERT_EQ(player.Decoder().DecodeHeader(&bs, &par), size.header) << size.widthMbs << "x" << size.heightMbs;
    if (size.header != MFX_ERR_NONE) continue;
    EXPECT_EQ(par.mfx.FrameInfo.Width, size.widthMbs * 16);
    EXPECT_EQ(par.mfx.FrameInfo.Height, size.heightMbs * 16);
    par.IOPattern = MFX_IOPATTERN_OUT_SYSTEM_MEMORY;
    EXPECT_EQ(player.Decoder().Init(&par), MFX_ERR_NONE);
    EXPECT_EQ(player.Decoder().Close(), MFX_ERR_NONE);
  }
}

TEST(MfxStateMachine, MisuseGivesTheDocumentedStatuses) {
  const std::vector<uint8_t> data = ReadFile(StreamPath("avc_prog_closed.264"));
  MfxPlayer player;
  MFXVideoDECODE& dec = player.Decoder();
  mfxVideoParam par{};
  mfxFrameSurface1 surface{};
  mfxFrameSurface1* out = &surface;
  mfxSyncPoint sync = reinterpret_cast<mfxSyncPoint>(1);
  EXPECT_EQ(dec.DecodeFrameAsync(nullptr, &surface, &out, &sync), MFX_ERR_NOT_INITIALIZED);
  EXPECT_EQ(dec.Reset(&par), MFX_ERR_NOT_INITIALIZED);  // the pipeline relies on exactly -8
  EXPECT_EQ(dec.GetVideoParam(&par), MFX_ERR_NOT_INITIALIZED);
  EXPECT_EQ(dec.Close(), MFX_ERR_NOT_INITIALIZED);

  // Init refuses other memory types and codecs.
  par.mfx.CodecId = MFX_CODEC_AVC;
  par.mfx.FrameInfo.Width = 320;
  par.mfx.FrameInfo.Height = 240;
  par.mfx.FrameInfo.FourCC = MFX_FOURCC_NV12;
  par.mfx.FrameInfo.ChromaFormat = MFX_CHROMAFORMAT_YUV420;
  par.IOPattern = MFX_IOPATTERN_OUT_VIDEO_MEMORY;
  EXPECT_EQ(dec.Init(&par), MFX_ERR_INVALID_VIDEO_PARAM);
  par.IOPattern = MFX_IOPATTERN_OUT_SYSTEM_MEMORY;
  par.mfx.CodecId = MFX_CODEC_HEVC;
  EXPECT_EQ(dec.Init(&par), MFX_ERR_UNSUPPORTED);

  // Query works in place and zeroes what it cannot take.
  par.mfx.CodecId = MFX_CODEC_AVC;
  par.AsyncDepth = 1;
  EXPECT_EQ(dec.Query(&par, &par), MFX_ERR_NONE);
  EXPECT_EQ(par.mfx.FrameInfo.Width, 320);
  mfxVideoParam video = par;
  video.IOPattern = MFX_IOPATTERN_OUT_VIDEO_MEMORY;
  EXPECT_EQ(dec.Query(&video, &video), MFX_ERR_UNSUPPORTED);
  EXPECT_EQ(video.IOPattern, 0);
  mfxVideoParam caps{};
  EXPECT_EQ(dec.Query(nullptr, &caps), MFX_ERR_NONE);
  EXPECT_EQ(caps.mfx.CodecId, 1u);
  EXPECT_EQ(caps.mfx.DecodedOrder, 0);

  // Enough surfaces for the pipeline's AsyncDepth and one call, also while initialised (every
  // playback in these tests runs on exactly the suggested number).
  mfxFrameAllocRequest request{};
  EXPECT_EQ(dec.QueryIOSurf(&par, &request), MFX_ERR_NONE);
  EXPECT_GE(request.NumFrameSuggested, par.AsyncDepth + 1);
  EXPECT_LE(request.NumFrameMin, request.NumFrameSuggested);
  mfxVideoParam noPattern = par;
  noPattern.IOPattern = 0;
  EXPECT_EQ(dec.QueryIOSurf(&noPattern, &request), MFX_ERR_INVALID_VIDEO_PARAM);

  ASSERT_EQ(player.Prime(MFX_CODEC_AVC, data), MFX_ERR_NONE);
  EXPECT_EQ(dec.Init(&player.Params()), MFX_ERR_UNDEFINED_BEHAVIOR);
  EXPECT_EQ(dec.QueryIOSurf(&player.Params(), &request), MFX_ERR_NONE);
  mfxVideoParam bigger = player.Params();
  bigger.mfx.FrameInfo.Width = 1920;
  EXPECT_EQ(dec.Reset(&bigger), MFX_ERR_INCOMPATIBLE_VIDEO_PARAM);
  EXPECT_EQ(dec.DecodeFrameAsync(nullptr, nullptr, &out, &sync), MFX_ERR_NULL_PTR);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(sync, nullptr);
  EXPECT_EQ(player.Session().SyncOperation(reinterpret_cast<mfxSyncPoint>(12345), 1000), MFX_ERR_NOT_FOUND);
  EXPECT_EQ(dec.Close(), MFX_ERR_NONE);
  EXPECT_EQ(dec.Close(), MFX_ERR_NOT_INITIALIZED);
  // After Close the decoder can be initialised again and decodes the stream.
  EXPECT_EQ(dec.Init(&player.Params()), MFX_ERR_NONE);
  EXPECT_EQ(player.Play(data, 0, 65536).pictures.size(), FfmpegFrameMd5s(StreamPath("avc_prog_closed.264")).size());
}

TEST(MfxSurfaces, LockingCropPitchAndBitstreamAccounting) {
  std::vector<uint8_t> data = ReadFile(StreamPath("avc_mbaff_tff.264"));
  MfxPlayer player;
  ASSERT_EQ(player.Prime(MFX_CODEC_AVC, data), MFX_ERR_NONE);
  MFXVideoDECODE& dec = player.Decoder();
  const mfxFrameInfo info = player.Request().Info;
  Surface a(info), b(info);
  mfxBitstream bs = BitstreamOver(data);
  mfxFrameSurface1* out = nullptr;
  mfxSyncPoint sync = nullptr;

  // A locked work surface: another one is asked for and nothing is consumed.
  a.s.Data.Locked = 1;
  EXPECT_EQ(dec.DecodeFrameAsync(&bs, &a.s, &out, &sync), MFX_ERR_MORE_SURFACE);
  EXPECT_EQ(bs.DataOffset, 0u);
  a.s.Data.Locked = 0;

  // The whole file in one buffer still gives one picture per call, and consumes only part.
  mfxStatus status = MFX_ERR_MORE_DATA;
  int calls = 0;
  while ((status = dec.DecodeFrameAsync(&bs, &a.s, &out, &sync)) == MFX_ERR_MORE_DATA && ++calls < 100) {}
  ASSERT_EQ(status, MFX_ERR_NONE);
  EXPECT_EQ(out, &a.s);
  EXPECT_GT(bs.DataLength, 0u);
  EXPECT_EQ(bs.DataOffset + bs.DataLength, data.size());
  EXPECT_EQ(a.s.Data.Locked, 1);  // held until synchronised
  EXPECT_EQ(a.s.Info.CropH, 240);
  EXPECT_EQ(a.s.Info.Height, 256);
  EXPECT_EQ(a.s.Info.PicStruct, MFX_PICSTRUCT_FIELD_TFF);
  // The padding rows below the picture repeat its last row.
  EXPECT_EQ(0, std::memcmp(a.s.Data.Y + 239 * info.Width, a.s.Data.Y + 255 * info.Width, info.Width));
  const mfxSyncPoint first = sync;
  EXPECT_EQ(dec.DecodeFrameAsync(&bs, &a.s, &out, &sync), MFX_ERR_MORE_SURFACE);
  EXPECT_EQ(sync, nullptr);
  sync = first;
  EXPECT_EQ(player.Session().SyncOperation(sync, 1000), MFX_ERR_NONE);
  EXPECT_EQ(a.s.Data.Locked, 0);
  EXPECT_EQ(player.Session().SyncOperation(sync, 1000), MFX_ERR_NOT_FOUND);

  // A pitch wider than the picture: the same picture lands row by row.
  std::vector<uint8_t> wide(static_cast<size_t>(info.Width + 64) * info.Height * 3 / 2);
  mfxFrameSurface1 w{};
  w.Info = info;
  w.Data.Y = wide.data();
  w.Data.UV = wide.data() + static_cast<size_t>(info.Width + 64) * info.Height;
  w.Data.PitchLow = info.Width + 64;
  ASSERT_EQ(dec.DecodeFrameAsync(&bs, &b.s, &out, &sync), MFX_ERR_NONE);
  const std::string narrowMd5 = SurfaceMd5(b.s);
  ASSERT_EQ(player.Reset(), MFX_ERR_NONE);
  bs = BitstreamOver(data);
  while ((status = dec.DecodeFrameAsync(&bs, &w, &out, &sync)) == MFX_ERR_MORE_DATA && ++calls < 200) {}
  ASSERT_EQ(status, MFX_ERR_NONE);
  ASSERT_EQ(player.Session().SyncOperation(sync, 1000), MFX_ERR_NONE);
  ASSERT_EQ(dec.DecodeFrameAsync(&bs, &w, &out, &sync), MFX_ERR_NONE);
  EXPECT_EQ(SurfaceMd5(w), narrowMd5);

  // Drain: the rest comes out one per call, then MORE_DATA for good.
  ASSERT_EQ(player.Session().SyncOperation(sync, 1000), MFX_ERR_NONE);
  int drained = 0;
  while (dec.DecodeFrameAsync(nullptr, &w, &out, &sync) == MFX_ERR_NONE && drained < 1000) {
    ASSERT_EQ(player.Session().SyncOperation(sync, 1000), MFX_ERR_NONE);
    ++drained;
  }
  EXPECT_GT(drained, 0);
  EXPECT_EQ(dec.DecodeFrameAsync(nullptr, &w, &out, &sync), MFX_ERR_MORE_DATA);
  EXPECT_EQ(dec.DecodeFrameAsync(nullptr, &w, &out, &sync), MFX_ERR_MORE_DATA);
}

TEST(MfxSequenceChange, SmallerHeaderWarnsLargerOneEndsTheRunAfterADrain) {
  const std::vector<uint8_t> base = ReadFile(StreamPath("avc_prog_closed.264"));
  const std::vector<std::string> baseMd5s = FfmpegFrameMd5s(StreamPath("avc_prog_closed.264"));
  for (const char* tail : {"avc_small.264", "avc_large.264"}) {
    std::vector<uint8_t> data = base;
    const std::vector<uint8_t> more = ReadFile(ExtraStreamPath(tail));
    ASSERT_FALSE(more.empty()) << tail;
    data.insert(data.end(), more.begin(), more.end());
    std::vector<std::string> expected = baseMd5s;
    const bool fits = std::string(tail) == "avc_small.264";
    if (fits) {
      const std::vector<std::string> tailMd5s = FfmpegFrameMd5s(ExtraStreamPath(tail));
      expected.insert(expected.end(), tailMd5s.begin(), tailMd5s.end());
    }
    MfxPlayer player;
    ASSERT_EQ(player.Prime(MFX_CODEC_AVC, data), MFX_ERR_NONE);
    PlayResult result = player.Play(data, 0, 65536);
    std::vector<std::string> got;
    for (const OutputPicture& p : result.pictures) got.push_back(p.md5);
    EXPECT_EQ(got, expected) << tail;
    EXPECT_EQ(result.status, fits ? MFX_ERR_MORE_DATA : MFX_ERR_INCOMPATIBLE_VIDEO_PARAM) << tail;
    EXPECT_EQ(result.warnings, fits ? 1 : 0) << tail;  // MFX_WRN_VIDEO_PARAM_CHANGED, once
  }
}

TEST(MfxDamagedInput, RandomTruncatedAndForeignStreamsGiveStatusesNotCrashes) {
  const std::vector<uint8_t> avc = ReadFile(StreamPath("avc_prog_closed.264"));
  const std::vector<uint8_t> m2v = ReadFile(StreamPath("m2v_prog_open.m2v"));
  ASSERT_FALSE(avc.empty());
  std::mt19937 rng(1234);
  std::vector<uint8_t> random(300000);
  for (uint8_t& b : random) b = static_cast<uint8_t>(rng());

  for (uint32_t codecId : {MFX_CODEC_AVC, MFX_CODEC_MPEG2, MFX_CODEC_VC1}) {
    // Random bytes: DecodeHeader finds nothing (or something it can parse), never crashes.
    MfxPlayer player;
    std::vector<uint8_t> copy = random;
    mfxBitstream bs = BitstreamOver(copy);
    mfxVideoParam par{};
    par.mfx.CodecId = codecId;
    const mfxStatus header = player.Decoder().DecodeHeader(&bs, &par);
    EXPECT_TRUE(header == MFX_ERR_MORE_DATA || header == MFX_ERR_NONE || header == MFX_ERR_UNSUPPORTED) << header;
  }

  {
    // A decoder primed on a real stream, then fed random bytes and a stream of another codec.
    MfxPlayer player;
    ASSERT_EQ(player.Prime(MFX_CODEC_AVC, avc), MFX_ERR_NONE);
    ASSERT_EQ(player.Reset(), MFX_ERR_NONE);
    PlayResult noise = player.Play(random, 0, 65536);
    EXPECT_EQ(noise.status, MFX_ERR_MORE_DATA);
    ASSERT_EQ(player.Reset(), MFX_ERR_NONE);
    PlayResult foreign = player.Play(m2v, 0, 65536);
    // Units of the other codec may pass for a sequence header that does not fit.
    EXPECT_TRUE(foreign.status == MFX_ERR_MORE_DATA || foreign.status == MFX_ERR_INCOMPATIBLE_VIDEO_PARAM)
        << foreign.status;
    EXPECT_TRUE(foreign.pictures.empty());
    // Random bytes after a valid header: garbage pictures at worst.
    std::vector<uint8_t> spoiled = random;
    std::memcpy(spoiled.data(), avc.data(), 3000);
    ASSERT_EQ(player.Reset(), MFX_ERR_NONE);
    PlayResult mixed = player.Play(spoiled, 0, 4096);
    EXPECT_TRUE(mixed.status == MFX_ERR_MORE_DATA || mixed.status < MFX_ERR_NONE) << mixed.status;
    // And the session still decodes a real stream after Reset.
    ASSERT_EQ(player.Reset(), MFX_ERR_NONE);
    EXPECT_EQ(player.Play(avc, 0, 65536).pictures.size(), FfmpegFrameMd5s(StreamPath("avc_prog_closed.264")).size());
  }

  for (const char* name : {"avc_open_gop.264", "m2v_prog_open.m2v"}) {
    // A truncated stream: the pictures before the cut, then MORE_DATA; damage in the middle
    // (a block of bytes overwritten) neither crashes nor stops the decode.
    const std::vector<uint8_t> data = ReadFile(StreamPath(name));
    const uint32_t codecId = name[0] == 'a' ? MFX_CODEC_AVC : MFX_CODEC_MPEG2;
    std::vector<uint8_t> cut(data.begin(), data.begin() + static_cast<ptrdiff_t>(data.size() / 2));
    MfxPlayer player;
    ASSERT_EQ(player.Prime(codecId, cut), MFX_ERR_NONE);
    PlayResult half = player.Play(cut, 0, 1000);
    EXPECT_EQ(half.status, MFX_ERR_MORE_DATA) << name;
    EXPECT_GT(half.pictures.size(), 10u) << name;
    std::vector<uint8_t> damaged = data;
    for (size_t i = data.size() / 3; i < data.size() / 3 + 5000; ++i) damaged[i] = static_cast<uint8_t>(rng());
    ASSERT_EQ(player.Reset(), MFX_ERR_NONE);
    PlayResult hurt = player.Play(damaged, 0, 65536);
    EXPECT_EQ(hurt.status, MFX_ERR_MORE_DATA) << name;
    EXPECT_GT(hurt.pictures.size(), half.pictures.size()) << name;
  }
}

}  // namespace
}  // namespace tessivar::mfxtest
