// Test harness that plays the application's part against the Media SDK API, the way the decode
// pipeline does: DecodeHeader, QueryIOSurf, its own NV12 surfaces, Init, the
// DecodeFrameAsync/SyncOperation loop with a refilled input buffer, and the drain with a null
// bitstream. Every output picture is reduced to the MD5 of its cropped planar 4:2:0 image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <mfx/mfxvideo++.h>

namespace tessivar::mfxtest {

struct OutputPicture {
  std::string md5;  // of Y, U, V planes of the crop rectangle, as ffmpeg's framemd5 hashes them
  bool corrupt = false;
  uint16_t picStruct = 0;
  uint16_t cropW = 0, cropH = 0;
};

struct PlayResult {
  mfxStatus status = MFX_ERR_NONE;  // MFX_ERR_MORE_DATA when the stream played to its end
  std::vector<OutputPicture> pictures;
  int warnings = 0;
};

class MfxPlayer {
 public:
  explicit MfxPlayer(mfxIMPL impl = MFX_IMPL_SOFTWARE);
  ~MfxPlayer();

  mfxStatus OpenStatus() const { return openStatus_; }
  MFXVideoSession& Session() { return session_; }
  MFXVideoDECODE& Decoder() { return *decoder_; }
  mfxVideoParam& Params() { return params_; }

  // DecodeHeader on `data` from `from`, then QueryIOSurf, surface allocation and Init.
  mfxStatus Prime(uint32_t codecId, const std::vector<uint8_t>& data, size_t from = 0, uint16_t extendedPicStruct = 0);
  // Reset with the primed parameters and a fresh surface pool, as the pipeline does for a seek.
  mfxStatus Reset();
  // Feeds data[from, end) in pieces of `chunk` bytes (the unread rest moves to the front of the
  // buffer before each refill), then drains. Stops after `maxPictures` outputs.
  PlayResult Play(const std::vector<uint8_t>& data, size_t from, size_t chunk, size_t maxPictures = SIZE_MAX);

  const mfxFrameAllocRequest& Request() const { return request_; }

 private:
  void AllocateSurfaces();
  mfxFrameSurface1* FreeSurface();

  mfxStatus openStatus_;
  MFXVideoSession session_;
  std::unique_ptr<MFXVideoDECODE> decoder_;
  mfxVideoParam params_{};
  mfxFrameAllocRequest request_{};
  std::vector<std::vector<uint8_t>> buffers_;
  std::vector<mfxFrameSurface1> surfaces_;
};

// MD5 of the crop rectangle of an NV12 surface, taken as planar Y, U, V.
std::string SurfaceMd5(const mfxFrameSurface1& surface);

}  // namespace tessivar::mfxtest
