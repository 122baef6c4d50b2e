// Decode speed of the software engine through the Media SDK API, as the pipeline drives it
// (AsyncDepth 1, one output synchronised per call, 5 MiB refills, NV12 system-memory surfaces),
// against ffmpeg decoding the same file with the same thread count, in the same run.
//
//   mfx_decode_bench FILE... (codec taken from the extension: .264/.h264, .m2v, .vc1)
//
// Each file is decoded three times by each side, alternating; the best time of each counts.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <mfx/mfxvideo++.h>

#include "platform/mfx/mfx_dispatch.h"

namespace {

using Clock = std::chrono::steady_clock;

uint32_t CodecOf(const std::string& path) {
  auto ends = [&](const char* s) { return path.size() >= strlen(s) && path.compare(path.size() - strlen(s), strlen(s), s) == 0; };
  if (ends(".264") || ends(".h264")) return MFX_CODEC_AVC;
  if (ends(".m2v")) return MFX_CODEC_MPEG2;
  if (ends(".vc1")) return MFX_CODEC_VC1;
  return 0;
}

// Decodes the whole file; returns the number of pictures, or -1 on failure.
long DecodeWithEngine(const std::vector<uint8_t>& file, uint32_t codecId) {
  MFXVideoSession session;
  mfxVersion version{};
  version.Major = 1;
  if (session.Init(MFX_IMPL_SOFTWARE, &version) != MFX_ERR_NONE) return -1;
  MFXVideoDECODE decoder(session);
  const size_t refill = 5u << 20;
  std::vector<uint8_t> buffer(2 * refill);
  mfxBitstream bs{};
  bs.Data = buffer.data();
  bs.MaxLength = static_cast<mfxU32>(buffer.size());
  size_t next = std::min(refill, file.size());
  std::memcpy(bs.Data, file.data(), next);
  bs.DataLength = static_cast<mfxU32>(next);

  mfxVideoParam par{};
  par.mfx.CodecId = codecId;
  if (decoder.DecodeHeader(&bs, &par) != MFX_ERR_NONE) return -1;
  par.IOPattern = MFX_IOPATTERN_OUT_SYSTEM_MEMORY;
  par.AsyncDepth = 1;
  mfxFrameAllocRequest request{};
  if (decoder.Query(&par, &par) < MFX_ERR_NONE || decoder.QueryIOSurf(&par, &request) < MFX_ERR_NONE) return -1;
  const size_t pitch = (request.Info.Width + 63) / 64 * 64;
  const size_t frameBytes = pitch * request.Info.Height * 3 / 2;
  std::vector<std::vector<uint8_t>> memory(request.NumFrameSuggested, std::vector<uint8_t>(frameBytes));
  std::vector<mfxFrameSurface1> surfaces(request.NumFrameSuggested);
  for (size_t i = 0; i < surfaces.size(); ++i) {
    surfaces[i] = mfxFrameSurface1{};
    surfaces[i].Info = request.Info;
    surfaces[i].Data.Y = memory[i].data();
    surfaces[i].Data.UV = memory[i].data() + pitch * request.Info.Height;
    surfaces[i].Data.PitchLow = static_cast<mfxU16>(pitch);
  }
  if (decoder.Init(&par) != MFX_ERR_NONE) return -1;

  long pictures = 0;
  bool input = true;
  mfxStatus status = MFX_ERR_NONE;
  while (true) {
    if (status == MFX_ERR_MORE_DATA && input) {
      if (next >= file.size()) {
        input = false;
      } else {
        std::memmove(bs.Data, bs.Data + bs.DataOffset, bs.DataLength);
        bs.DataOffset = 0;
        const size_t take = std::min({refill, file.size() - next, size_t{bs.MaxLength - bs.DataLength}});
        std::memcpy(bs.Data + bs.DataLength, file.data() + next, take);
        bs.DataLength += static_cast<mfxU32>(take);
        next += take;
      }
    }
    mfxFrameSurface1* work = nullptr;
    for (mfxFrameSurface1& s : surfaces)
      if (!s.Data.Locked) work = &s;
    if (!work) return -1;
    mfxFrameSurface1* out = nullptr;
    mfxSyncPoint sync = nullptr;
    status = decoder.DecodeFrameAsync(input ? &bs : nullptr, work, &out, &sync);
    if (status == MFX_ERR_NONE) {
      if (session.SyncOperation(sync, 300000) != MFX_ERR_NONE) return -1;
      ++pictures;
    } else if (status == MFX_ERR_MORE_DATA) {
      if (!input) return pictures;
    } else if (status != MFX_ERR_MORE_SURFACE && status < MFX_ERR_NONE) {
      return -1;
    }
  }
}

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

}  // namespace

int main(int argc, char** argv) {
  tessivar::mfx::SetEngineFolder(TESSIVAR_LIB_DIR);
  // The engine decodes with min(cores, 8) threads; ffmpeg gets the same number.
  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
  std::printf("%-28s %7s %10s %10s %7s\n", "file", "frames", "engine fps", "ffmpeg fps", "ratio");
  for (int i = 1; i < argc; ++i) {
    const std::string path = argv[i];
    const uint32_t codecId = CodecOf(path);
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!codecId || file.empty()) {
      std::fprintf(stderr, "%s: unreadable or unknown codec\n", path.c_str());
      return 1;
    }
    const std::string ffmpeg = "ffmpeg -nostdin -v error -threads " + std::to_string(threads) + " -i '" + path + "' -f null -";
    double engineBest = 1e30, ffmpegBest = 1e30;
    long frames = 0;
    for (int round = 0; round < 3; ++round) {
      Clock::time_point t0 = Clock::now();
      frames = DecodeWithEngine(file, codecId);
      engineBest = std::min(engineBest, Seconds(t0));
      if (frames <= 0) {
        std::fprintf(stderr, "%s: engine decode failed\n", path.c_str());
        return 1;
      }
      t0 = Clock::now();
      if (std::system(ffmpeg.c_str()) != 0) {
        std::fprintf(stderr, "%s: ffmpeg failed\n", path.c_str());
        return 1;
      }
      ffmpegBest = std::min(ffmpegBest, Seconds(t0));
    }
    const double engineFps = frames / engineBest, ffmpegFps = frames / ffmpegBest;
    const size_t slash = path.rfind('/');
    std::printf("%-28s %7ld %10.1f %10.1f %7.3f\n", path.substr(slash == std::string::npos ? 0 : slash + 1).c_str(),
                frames, engineFps, ffmpegFps, engineFps / ffmpegFps);
  }
  std::printf("threads: %u (engine and ffmpeg)\n", threads);
  return 0;
}
