#include "stream_tools.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

#include <mfx/mfxstructures.h>

#include "bit_reader.h"
#include "start_codes.h"

namespace tessivar::mfxtest {

using mfxsw::BitReader;
using mfxsw::FindStartCode;
using mfxsw::kNoStartCode;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> FfmpegFrameMd5s(const std::string& path, const std::string& inputOptions) {
  std::vector<std::string> md5s;
  const std::string command =
      "ffmpeg -nostdin -v error " + inputOptions + " -i '" + path + "' -f framemd5 -pix_fmt yuv420p - 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return md5s;
  char line[512];
  while (fgets(line, sizeof line, pipe)) {
    if (line[0] == '#') continue;
    std::string text(line);
    const size_t comma = text.rfind(',');
    if (comma == std::string::npos) continue;
    std::string md5 = text.substr(comma + 1);
    md5.erase(0, md5.find_first_not_of(' '));
    md5.erase(md5.find_last_not_of(" \r\n") + 1);
    md5s.push_back(md5);
  }
  pclose(pipe);
  return md5s;
}

std::vector<StartPoint> FindStartPoints(uint32_t codecId, const std::vector<uint8_t>& data) {
  std::vector<StartPoint> points;
  int pictures = 0;
  bool sequencePending = false;  // an SPS was seen and no picture since
  const uint8_t* d = data.data();
  for (size_t sc = FindStartCode(d, data.size(), 0); sc != kNoStartCode; sc = FindStartCode(d, data.size(), sc + 3)) {
    const uint8_t code = d[sc + 3];
    switch (codecId) {
      case MFX_CODEC_AVC: {
        const int type = code & 0x1F;
        if (type == 7 && !sequencePending) {
          points.push_back({sc, pictures});
          sequencePending = true;
        } else if ((type == 1 || type == 5) && sc + 4 < data.size() && (d[sc + 4] & 0x80)) {
          ++pictures;  // first_mb_in_slice == 0: a new picture
          sequencePending = false;
        }
        break;
      }
      case MFX_CODEC_MPEG2:
        if (code == 0xB3) points.push_back({sc, pictures});
        if (code == 0x00) ++pictures;
        break;
      case MFX_CODEC_VC1:
        if (code == 0x0F) points.push_back({sc, pictures});
        if (code == 0x0D) ++pictures;
        break;
    }
  }
  return points;
}

namespace {

class BitWriter {
 public:
  void Put(uint32_t bit) {
    current_ = static_cast<uint8_t>((current_ << 1) | (bit & 1));
    if (++count_ == 8) {
      bytes_.push_back(current_);
      current_ = 0;
      count_ = 0;
    }
  }
  std::vector<uint8_t> Finish() {  // rbsp_stop_one_bit and alignment
    Put(1);
    while (count_) Put(0);
    return std::move(bytes_);
  }

 private:
  std::vector<uint8_t> bytes_;
  uint8_t current_ = 0;
  int count_ = 0;
};

// Bit position of bitstream_restriction_flag in an SPS RBSP of the kind x264 writes (no
// scaling matrices, no HRD), or 0 when there is none.
size_t RestrictionFlagPosition(const std::vector<uint8_t>& rbsp) {
  BitReader br(rbsp.data(), rbsp.size());
  size_t pos = 0;
  auto bits = [&](int n) { pos += n; return br.Bits(n); };
  auto ue = [&]() {
    int zeros = 0;
    while (!bits(1)) ++zeros;
    bits(zeros);
  };
  const uint32_t profile = bits(8);
  bits(16);
  ue();
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244) {
    ue(); ue(); ue(); bits(1);
    if (bits(1)) return 0;  // scaling matrices: not handled here
  }
  ue();
  int zeros = 0;
  while (!bits(1)) ++zeros;
  const uint32_t pocType = zeros ? ((1u << zeros) - 1) + bits(zeros) : 0;
  if (pocType == 0) ue();
  if (pocType == 1) return 0;
  ue(); bits(1); ue(); ue();
  const bool frameMbsOnly = bits(1);
  if (!frameMbsOnly) bits(1);
  bits(1);
  if (bits(1)) { ue(); ue(); ue(); ue(); }
  if (!bits(1)) return 0;  // no VUI
  if (bits(1)) { if (bits(8) == 255) bits(32); }
  if (bits(1)) bits(1);
  if (bits(1)) { bits(4); if (bits(1)) bits(24); }
  if (bits(1)) { ue(); ue(); }
  if (bits(1)) { bits(32); bits(32); bits(1); }
  if (bits(1) || bits(1)) return 0;  // HRD: not handled here
  bits(1);
  return br.Overrun() ? 0 : pos;
}

}  // namespace

std::vector<uint8_t> StripAvcReorderInfo(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out;
  const uint8_t* d = data.data();
  size_t copied = 0;
  for (size_t sc = FindStartCode(d, data.size(), 0); sc != kNoStartCode; sc = FindStartCode(d, data.size(), sc + 3)) {
    if ((d[sc + 3] & 0x1F) != 7) continue;
    size_t end = FindStartCode(d, data.size(), sc + 3);
    if (end == kNoStartCode) end = data.size();
    while (end > sc + 4 && d[end - 1] == 0) --end;
    std::vector<uint8_t> rbsp = mfxsw::UnescapeRbsp(d + sc + 4, end - sc - 4);
    const size_t flagPos = RestrictionFlagPosition(rbsp);
    if (!flagPos) continue;
    BitWriter writer;
    BitReader br(rbsp.data(), rbsp.size());
    for (size_t i = 0; i < flagPos; ++i) writer.Put(br.Bits(1));
    writer.Put(0);  // bitstream_restriction_flag
    std::vector<uint8_t> sps = writer.Finish();
    out.insert(out.end(), d + copied, d + sc + 4);
    int zeros = 0;
    for (uint8_t b : sps) {  // emulation prevention
      if (zeros >= 2 && b <= 3) {
        out.push_back(3);
        zeros = 0;
      }
      out.push_back(b);
      zeros = b == 0 ? zeros + 1 : 0;
    }
    copied = end;
  }
  out.insert(out.end(), d + copied, d + data.size());
  return out;
}

std::string StreamPath(const std::string& name) { return std::string(TESSIVAR_CORPUS_DIR) + "/" + name; }

std::string ExtraStreamPath(const std::string& name) { return std::string(TESSIVAR_MFX_STREAM_DIR) + "/" + name; }

std::string Vc1SamplePath(const std::string& name) {
  return std::string(TESSIVAR_SHARED_DIR) + "/testdata/vc1/" + name;
}

}  // namespace tessivar::mfxtest
