// Serves a list of frames from an index file through the plug-in, in-process with
// the command-line host's environment, and reports the time spent in GetFrame.
//
//   tessivar-serve-bench INDEX.vqi FRAMES.txt MD5S.txt
//
// FRAMES.txt holds one frame number per line, served in that order. MD5S.txt gets
// one line "n md5" per request (hashing is not timed). Standard output gets
// "frames N seconds S fps F".
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "host/frame_output.h"
#include "host/plugin_library.h"
#include "host/script_environment.h"
#include "platform/avisynth/avisynth_interface.h"

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
      md5s.push_back(FrameMd5(frame));
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
