#include "host/host_run.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/command_line.h"
#include "host/frame_output.h"
#include "host/plugin_library.h"
#include "host/script_environment.h"

namespace {

// The frame server asks a new clip for its threading mode this way; the answer of
// a 2.5 clip is ignored, but the call is made.
constexpr int kCacheGetMtMode = 509;

void PrintProperties(std::FILE* out, const VideoInfo& vi, bool parity) {
  std::fprintf(out, "width: %d\n", vi.width);
  std::fprintf(out, "height: %d\n", vi.height);
  std::fprintf(out, "pixel type: %s\n", PixelTypeName(vi.pixel_type).c_str());
  const double fps = vi.fps_denominator ? double(vi.fps_numerator) / vi.fps_denominator : 0.0;
  std::fprintf(out, "frame rate: %u/%u (%.3f fps)\n", vi.fps_numerator, vi.fps_denominator, fps);
  std::fprintf(out, "frames: %d\n", vi.num_frames);
  std::fprintf(out, "field based: %s\n", vi.IsFieldBased() ? "yes" : "no");
  std::fprintf(out, "parity: %s\n", parity ? "top field first" : "bottom field first");
}

// A progress line on standard error, at most twice a second, once a run has
// taken more than a second.
class Progress {
 public:
  Progress(std::FILE* err, long long total) : err_(err), total_(total), start_(Clock::now()) {
    next_ = start_ + std::chrono::seconds(1);
  }
  void Update(long long done, int frame) {
    const Clock::time_point now = Clock::now();
    if (now < next_) return;
    next_ = now + std::chrono::milliseconds(500);
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(err_, "\rframe %d: %lld of %lld served, %.1f frames/s   ", frame, done, total_,
                 seconds > 0 ? done / seconds : 0.0);
    std::fflush(err_);
    shown_ = true;
  }
  ~Progress() {
    if (shown_) std::fputc('\n', err_);
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* err_;
  long long total_;
  Clock::time_point start_;
  Clock::time_point next_;
  bool shown_ = false;
};

// The script arguments given on the command line, by name.
struct ScriptArguments {
  std::vector<AVSValue> values;
  std::vector<const char*> names;
};

ScriptArguments CollectArguments(const HostOptions& options) {
  ScriptArguments args;
  auto add = [&args](const char* name, const AVSValue& value) {
    args.values.push_back(value);
    args.names.push_back(name);
  };
  if (options.vqi) add("vqi", AVSValue(options.vqi->c_str()));
  if (options.engine) add("engine", AVSValue(*options.engine));
  if (options.i420) add("i420", AVSValue(*options.i420));
  if (options.deinterlace) add("deinterlace", AVSValue(*options.deinterlace));
  if (options.fieldop) add("fieldop", AVSValue(*options.fieldop));
  if (options.debug) add("debug", AVSValue(*options.debug));
  if (options.silent) add("silent", AVSValue(*options.silent));
  return args;
}

int ServeFrames(const HostOptions& options, const PClip& clip, const VideoInfo& vi,
                HostEnvironment* env, std::FILE* out, std::FILE* err) {
  FrameRanges ranges;
  std::string error;
  if (!ParseFrameList(options.frames, vi.num_frames, &ranges, &error)) {
    std::fprintf(err, "error: %s\n", error.c_str());
    return kHostUsage;
  }
  std::FILE* y4mFile = nullptr;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> owned(nullptr, std::fclose);
  if (options.y4m) {
    if (*options.y4m == "-") {
      y4mFile = stdout;
    } else {
      owned.reset(std::fopen(options.y4m->c_str(), "wb"));
      y4mFile = owned.get();
      if (!y4mFile) {
        std::fprintf(err, "error: cannot write %s\n", options.y4m->c_str());
        return kHostScriptError;
      }
    }
  }
  Y4mWriter writer(y4mFile, vi);
  long long total = 0;
  for (const auto& range : ranges) total += range.second - range.first + 1;
  Progress progress(err, total);
  long long done = 0;
  for (const auto& [first, last] : ranges) {
    for (int n = first; n <= last; ++n) {
      const PVideoFrame frame = clip->GetFrame(n, env);
      if (!frame) {
        std::fprintf(err, "error: the clip returned no frame %d\n", n);
        return kHostScriptError;
      }
      if (y4mFile && !writer.WriteFrame(frame)) {
        std::fprintf(err, "error: cannot write frame %d\n", n);
        return kHostScriptError;
      }
      if (options.md5) std::fprintf(out, "%d %s\n", n, FrameMd5(frame).c_str());
      progress.Update(++done, n);
    }
  }
  if (owned && std::fclose(owned.release()) != 0) {
    std::fprintf(err, "error: cannot write %s\n", options.y4m->c_str());
    return kHostScriptError;
  }
  return kHostOk;
}

}  // namespace

int RunHost(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
  HostOptions options;
  std::string error;
  if (!ParseHostCommandLine(argc, argv, &options, &error)) {
    std::fprintf(err, "error: %s\n%s", error.c_str(), HostUsageText());
    return kHostUsage;
  }
  if (options.help) {
    std::fputs(HostUsageText(), out);
    return kHostOk;
  }
  if (options.y4m && *options.y4m == "-") out = err;  // keep standard output for the stream

  // Declared first so that it goes last: the environment's shutdown callbacks
  // and the clip's destructor run code of the plug-in.
  PluginLibrary library;
  HostEnvironment env;
  const std::string pluginPath = options.plugin.empty() ? DefaultPluginPath() : options.plugin;
  if (!library.Load(pluginPath, &env, &error)) {
    std::fprintf(err, "error: %s\n", error.c_str());
    return kHostScriptError;
  }
  try {
    ScriptArguments args = CollectArguments(options);
    const AVSValue array(args.values.data(), static_cast<int>(args.values.size()));
    const AVSValue result = env.Invoke("Orvanto", array, args.names.data());
    if (!result.IsClip() || !result.AsClip()) {
      std::fprintf(err, "error: Orvanto did not return a clip\n");
      return kHostScriptError;
    }
    const PClip clip = result.AsClip();
    clip->SetCacheHints(kCacheGetMtMode, 0);
    const VideoInfo vi = clip->GetVideoInfo();
    PrintProperties(out, vi, clip->GetParity(0));
    std::fflush(out);
    if (options.ServesFrames()) return ServeFrames(options, clip, vi, &env, out, err);
    return kHostOk;
  } catch (const HostScriptError& e) {
    std::fprintf(err, "error: %s\n", e.what());
    return kHostScriptError;
  }
}
