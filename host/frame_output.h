// Where served frames go: a YUV4MPEG2 stream, or one MD5 line per frame.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/avisynth/avisynth_interface.h"

// Writes a 4:2:0 clip as YUV4MPEG2: the header once, then "FRAME" and the Y, U
// and V planes (row bytes only) for each frame, whichever plane order the frame has.
// The clip is frame-based, so the stream is tagged progressive.
class Y4mWriter {
 public:
  Y4mWriter(std::FILE* out, const VideoInfo& vi);
  // Returns false when the stream cannot be written.
  bool WriteFrame(const PVideoFrame& frame);

 private:
  std::FILE* out_;
  VideoInfo vi_;
  bool headerWritten_ = false;
  std::vector<BYTE> staging_;
};

// The MD5 of a frame's Y, U and V planes, row bytes only, in that order: the same
// digest a linear decode to planar 4:2:0 gives for the picture.
std::string FrameMd5(const PVideoFrame& frame);

// A 16-byte MD5 digest as 32 lower-case hex digits.
std::string Md5Hex(const uint8_t digest[16]);

// The colour space name of a pixel type ("YV12", "I420", or the value in hex).
std::string PixelTypeName(int pixelType);
