#include "host/frame_output.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/md5.h>
}

#include <cstring>
#include <memory>
#include <vector>

namespace {

// One write call per plane: a plane whose rows follow each other without a gap
// goes out as it stands, any other is gathered into `staging` first (small writes
// through the stream's buffer would cost a system call every few kilobytes).
bool WritePlane(std::FILE* out, const PVideoFrame& frame, int plane, std::vector<BYTE>* staging) {
  const BYTE* row = frame->GetReadPtr(plane);
  const size_t rowSize = static_cast<size_t>(frame->GetRowSize(plane));
  const int height = frame->GetHeight(plane);
  const int pitch = frame->GetPitch(plane);
  if (height <= 0 || rowSize == 0) return true;
  const size_t planeSize = rowSize * static_cast<size_t>(height);
  if (static_cast<size_t>(pitch) == rowSize) return std::fwrite(row, 1, planeSize, out) == planeSize;
  staging->resize(planeSize);
  BYTE* to = staging->data();
  for (int y = 0; y < height; ++y, row += pitch, to += rowSize) std::memcpy(to, row, rowSize);
  return std::fwrite(staging->data(), 1, planeSize, out) == planeSize;
}

struct Md5Free {
  void operator()(AVMD5* md5) const { av_free(md5); }
};

}  // namespace

Y4mWriter::Y4mWriter(std::FILE* out, const VideoInfo& vi) : out_(out), vi_(vi) {}

bool Y4mWriter::WriteFrame(const PVideoFrame& frame) {
  if (!headerWritten_) {
    if (std::fprintf(out_, "YUV4MPEG2 W%d H%d F%u:%u Ip A1:1 C420jpeg\n", vi_.width, vi_.height,
                     vi_.fps_numerator, vi_.fps_denominator) < 0)
      return false;
    headerWritten_ = true;
  }
  if (std::fputs("FRAME\n", out_) < 0) return false;
  return WritePlane(out_, frame, PLANAR_Y, &staging_) && WritePlane(out_, frame, PLANAR_U, &staging_) &&
         WritePlane(out_, frame, PLANAR_V, &staging_);
}

std::string FrameMd5(const PVideoFrame& frame) {
  std::unique_ptr<AVMD5, Md5Free> md5(av_md5_alloc());
  if (!md5) return std::string();
  av_md5_init(md5.get());
  for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
    const BYTE* row = frame->GetReadPtr(plane);
    for (int y = 0; y < frame->GetHeight(plane); ++y, row += frame->GetPitch(plane))
      av_md5_update(md5.get(), row, static_cast<size_t>(frame->GetRowSize(plane)));
  }
  uint8_t digest[16];
  av_md5_final(md5.get(), digest);
  return Md5Hex(digest);
}

std::string Md5Hex(const uint8_t digest[16]) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

std::string PixelTypeName(int pixelType) {
  if (pixelType == VideoInfo::CS_YV12) return "YV12";
  if (pixelType == VideoInfo::CS_I420) return "I420";
  char text[32];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(pixelType));
  return text;
}
