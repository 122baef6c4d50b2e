// Test streams: reading, ffmpeg's reference decode, and the decoding start points of a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessivar::mfxtest {

std::vector<uint8_t> ReadFile(const std::string& path);

// Per-frame MD5s of `ffmpeg INPUT_OPTIONS -i FILE -f framemd5 -pix_fmt yuv420p -`, in output order.
std::vector<std::string> FfmpegFrameMd5s(const std::string& path, const std::string& inputOptions = "");

// A point where decoding can start: the byte offset of its sequence header (H.264: the SPS
// ahead of the GOP's first picture) and the number of coded pictures before it, which is the
// display number of the GOP's first picture.
struct StartPoint {
  size_t offset = 0;
  int firstPicture = 0;
};
std::vector<StartPoint> FindStartPoints(uint32_t codecId, const std::vector<uint8_t>& data);

// The H.264 stream with the VUI bitstream_restriction removed from every SPS, so that the
// decoder cannot learn the reorder depth from it.
std::vector<uint8_t> StripAvcReorderInfo(const std::vector<uint8_t>& data);

// A stream of the project's test corpus, one of the few streams made for these tests only,
// and a committed VC-1 sample.
std::string StreamPath(const std::string& name);
std::string ExtraStreamPath(const std::string& name);
std::string Vc1SamplePath(const std::string& name);

}  // namespace tessivar::mfxtest
