#include "mfx_player.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/md5.h>
#include <libavutil/mem.h>
}

namespace tessivar::mfxtest {

std::string SurfaceMd5(const mfxFrameSurface1& s) {
  const size_t pitch = (static_cast<size_t>(s.Data.PitchHigh) << 16) | s.Data.PitchLow;
  const int x0 = s.Info.CropX, y0 = s.Info.CropY, w = s.Info.CropW, h = s.Info.CropH;
  AVMD5* md5 = av_md5_alloc();
  av_md5_init(md5);
  for (int y = 0; y < h; ++y) av_md5_update(md5, s.Data.Y + (y0 + y) * pitch + x0, w);
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  std::vector<uint8_t> row(cw);
  for (int plane = 0; plane < 2; ++plane) {
    for (int y = 0; y < ch; ++y) {
      const uint8_t* uv = s.Data.UV + (y0 / 2 + y) * pitch + (x0 / 2) * 2;
      for (int x = 0; x < cw; ++x) row[x] = uv[2 * x + plane];
      av_md5_update(md5, row.data(), cw);
    }
  }
  uint8_t digest[16];
  av_md5_final(md5, digest);
  av_free(md5);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

MfxPlayer::MfxPlayer(mfxIMPL impl) {
  mfxVersion version{};
  version.Major = 1;
  version.Minor = 0;
  openStatus_ = session_.Init(impl, &version);
  decoder_ = std::make_unique<MFXVideoDECODE>(static_cast<mfxSession>(session_));
}

MfxPlayer::~MfxPlayer() {
  decoder_.reset();
  session_.Close();
}

void MfxPlayer::AllocateSurfaces() {
  const mfxFrameInfo& info = request_.Info;
  const size_t pitch = (info.Width + 31) / 32 * 32 + 32;  // wider than the picture on purpose
  const size_t lumaSize = pitch * info.Height;
  buffers_.assign(request_.NumFrameSuggested, std::vector<uint8_t>(lumaSize * 3 / 2 + pitch));
  surfaces_.assign(request_.NumFrameSuggested, mfxFrameSurface1{});
  for (size_t i = 0; i < surfaces_.size(); ++i) {
    mfxFrameSurface1& s = surfaces_[i];
    s.Info = info;
    s.Data.Y = buffers_[i].data();
    s.Data.UV = buffers_[i].data() + lumaSize;
    s.Data.PitchLow = static_cast<mfxU16>(pitch & 0xFFFF);
    s.Data.PitchHigh = static_cast<mfxU16>(pitch >> 16);
  }
}

mfxFrameSurface1* MfxPlayer::FreeSurface() {
  for (mfxFrameSurface1& s : surfaces_)
    if (s.Data.Locked == 0) return &s;
  return nullptr;
}

mfxStatus MfxPlayer::Prime(uint32_t codecId, const std::vector<uint8_t>& data, size_t from, uint16_t extendedPicStruct) {
  std::memset(&params_, 0, sizeof(params_));
  params_.mfx.CodecId = codecId;
  std::vector<uint8_t> copy(data.begin() + static_cast<ptrdiff_t>(from), data.end());
  mfxBitstream bs{};
  bs.Data = copy.data();
  bs.DataLength = static_cast<mfxU32>(copy.size());
  bs.MaxLength = bs.DataLength;
  mfxStatus status = decoder_->DecodeHeader(&bs, &params_);
  if (status != MFX_ERR_NONE) return status;
  params_.IOPattern = MFX_IOPATTERN_OUT_SYSTEM_MEMORY;
  params_.AsyncDepth = 1;
  params_.mfx.ExtendedPicStruct = extendedPicStruct;
  status = decoder_->Query(&params_, &params_);
  if (status < MFX_ERR_NONE) return status;
  status = decoder_->QueryIOSurf(&params_, &request_);
  if (status < MFX_ERR_NONE) return status;
  if (request_.NumFrameSuggested < params_.AsyncDepth) return MFX_ERR_MEMORY_ALLOC;
  AllocateSurfaces();
  return decoder_->Init(&params_);
}

mfxStatus MfxPlayer::Reset() {
  mfxStatus status = decoder_->Reset(&params_);
  if (status == MFX_ERR_NOT_INITIALIZED) return status;
  mfxStatus query = decoder_->QueryIOSurf(&params_, &request_);
  if (query < MFX_ERR_NONE) return query;
  AllocateSurfaces();
  return status;
}

PlayResult MfxPlayer::Play(const std::vector<uint8_t>& data, size_t from, size_t chunk, size_t maxPictures) {
  PlayResult result;
  std::vector<uint8_t> buffer(std::max<size_t>(4 << 20, chunk * 2));
  mfxBitstream bs{};
  bs.Data = buffer.data();
  bs.MaxLength = static_cast<mfxU32>(buffer.size());
  bs.TimeStamp = static_cast<mfxU64>(MFX_TIMESTAMP_UNKNOWN);
  size_t next = from;
  bool input = true;
  bool incompatible = false;
  mfxStatus status = MFX_ERR_MORE_DATA;
  // A bound on calls without output or consumption keeps a faulty engine from hanging a test.
  int idleCalls = 0;
  while (result.pictures.size() < maxPictures) {
    if (status == MFX_ERR_MORE_DATA && input) {
      if (next >= data.size()) {
        input = false;  // end of input: drain
      } else {
        std::memmove(bs.Data, bs.Data + bs.DataOffset, bs.DataLength);
        bs.DataOffset = 0;
        const size_t room = bs.MaxLength - bs.DataLength;
        const size_t take = std::min({chunk, room, data.size() - next});
        std::memcpy(bs.Data + bs.DataLength, data.data() + next, take);
        bs.DataLength += static_cast<mfxU32>(take);
        next += take;
      }
    }
    mfxFrameSurface1* work = FreeSurface();
    if (!work) {
      result.status = MFX_ERR_NOT_FOUND;  // the engine kept every surface locked
      return result;
    }
    mfxFrameSurface1* out = nullptr;
    mfxSyncPoint sync = nullptr;
    const mfxU32 before = bs.DataLength;
    status = decoder_->DecodeFrameAsync(input ? &bs : nullptr, work, &out, &sync);
    if (status == MFX_ERR_NONE) {
      if (!out || !sync || out->Data.Locked == 0) {
        result.status = MFX_ERR_UNKNOWN;
        return result;
      }
      mfxStatus synced = session_.SyncOperation(sync, 60000);
      if (synced != MFX_ERR_NONE) {
        result.status = synced;
        return result;
      }
      OutputPicture picture;
      picture.md5 = SurfaceMd5(*out);
      picture.corrupt = out->Data.Corrupted != 0;
      picture.picStruct = out->Info.PicStruct;
      picture.cropW = out->Info.CropW;
      picture.cropH = out->Info.CropH;
      result.pictures.push_back(picture);
      idleCalls = 0;
      continue;
    }
    if (out || sync) {
      result.status = MFX_ERR_UNKNOWN;  // an output without success
      return result;
    }
    if (status == MFX_ERR_INCOMPATIBLE_VIDEO_PARAM && input) {
      // As the pipeline: drain what was decoded before the new header, then report it.
      incompatible = true;
      input = false;
      status = MFX_ERR_MORE_SURFACE;
      continue;
    }
    if (status == MFX_ERR_MORE_DATA) {
      if (!input) {
        result.status = incompatible ? MFX_ERR_INCOMPATIBLE_VIDEO_PARAM : status;
        return result;
      }
      idleCalls = bs.DataLength == before && next >= data.size() ? idleCalls + 1 : 0;
    } else if (status == MFX_ERR_MORE_SURFACE) {
      ++idleCalls;
    } else if (status > MFX_ERR_NONE) {
      ++result.warnings;
      ++idleCalls;
      status = MFX_ERR_MORE_SURFACE;  // as the pipeline: no output, go on with the same input
    } else {
      result.status = status;
      return result;
    }
    if (idleCalls > 1000) {
      result.status = MFX_ERR_ABORTED;
      return result;
    }
  }
  result.status = MFX_ERR_NONE;
  return result;
}

}  // namespace tessivar::mfxtest
