// Serves a list of frames from an index file through the plug-in, in-process with
// the command-line host's environment, and reports the time spent in GetFrame.
//
//   tessivar-serve-bench INDEX.vqi FRAMES.txt MD5S.txt
//
// FRAMES.txt holds one frame number per line, served in that order. MD5S.txt gets
// one line "n md5" per request (hashing is not timed): the MD5 of the Y, U and V
// planes with the low bit of the first 64 luma bytes cleared, where every served
// frame carries its hint stamp, so that it compares with a plain decode hashed the
// same way. Standard output gets "frames N seconds S fps F".
extern "C" {
#include <libavutil/md5.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "host/frame_output.h"
#include "host/plugin_library.h"
#include "host/script_environment.h"
#include "platform/avisynth/avisynth_interface.h"

namespace {

constexpr int kStampBytes = 64;

std::string MaskedFrameMd5(const PVideoFrame& frame) {
  AVMD5* md5 = av_md5_alloc();
  if (!md5) return std::string();
  av_md5_init(md5);
  for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
    const BYTE* row = frame->GetReadPtr(plane);
    const int width = frame->GetRowSize(plane);
    for (int y = 0; y < frame->GetHeight(plane); ++y, row += frame->GetPitch(plane)) {
      if (plane == PLANAR_Y && y == 0) {
        uint8_t head[kStampBytes];
        const int masked = std::min(width, kStampBytes);
        for (int k = 0; k < masked; ++k) head[k] = row[k] & 0xFE;
        av_md5_update(md5, head, static_cast<size_t>(masked));
        av_md5_update(md5, row + masked, static_cast<size_t>(width - masked));
      } else {
        av_md5_update(md5, row, static_cast<size_t>(width));
      }
    }
  }
  uint8_t digest[16];
  av_md5_final(md5, digest);
  av_free(md5);
  return Md5Hex(digest);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s INDEX.vqi FRAMES.txt MD5S.txt\n", argv[0]);
    return 2;
  }
  std::vector<int> frames;
  {
    std::ifstream list(argv[2]);
    for (int n; list >> n;) frames.push_back(n);
  }
  HostEnvironment env;
  PluginLibrary plugin;
  std::string error;
  if (!plugin.Load(DefaultPluginPath(), &env, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::vector<std::string> md5s;
  double seconds = 0;
  try {
    const AVSValue args[2] = {AVSValue(argv[1]), AVSValue(true)};
    const char* names[2] = {"vqi", "silent"};
    PClip clip = env.Invoke("Orvanto", AVSValue(args, 2), names).AsClip();
    for (int n : frames) {
      auto start = std::chrono::steady_clock::now();
      PVideoFrame frame = clip->GetFrame(n, &env);
      seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      md5s.push_back(MaskedFrameMd5(frame));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::FILE* out = std::fopen(argv[3], "w");
  if (!out) return 1;
  for (size_t i = 0; i < frames.size(); ++i) std::fprintf(out, "%d %s\n", frames[i], md5s[i].c_str());
  std::fclose(out);
  std::printf("frames %zu seconds %.3f fps %.2f\n", frames.size(), seconds, frames.size() / seconds);
  return 0;
}
