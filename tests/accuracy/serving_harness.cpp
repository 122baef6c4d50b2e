#include "tests/accuracy/serving_harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>

extern "C" {
#include <libavutil/md5.h>
}

#include "host/plugin_library.h"
#include "source/index_readers.h"
#include "source/overlay.h"
#include "source/source_state.h"

namespace {

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace

HostEnvironment& PluginHost() {
  static HostEnvironment* env = [] {
    // Both live until the process ends, as in a frame server: unloading the plug-in
    // would orphan what its process-wide records hold.
    auto* created = new HostEnvironment();
    static PluginLibrary& plugin = *new PluginLibrary;
    std::string error;
    if (!plugin.Load(std::string(SuiteFolders().lib) + "/libtessivar.so", created, &error))
      throw std::runtime_error(error);
    return created;
  }();
  return *env;
}

std::string CorpusPath(const std::string& name) { return std::string(SuiteFolders().corpus) + "/" + name; }

bool CorpusHas(const std::string& name) { return access(CorpusPath(name).c_str(), R_OK) == 0; }

std::string WorkFolder() {
  static const std::string folder = [] {
    std::string path = std::string(SuiteFolders().work) + "/" + std::to_string(getpid());
    RunCommand("mkdir -p " + Quoted(path));
    return path;
  }();
  return folder;
}

int RunCommand(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string IndexFor(const std::vector<std::string>& sources, const std::string& indexName) {
  static std::map<std::string, std::string> made;
  auto found = made.find(indexName);
  if (found != made.end()) return found->second;
  const std::string indexPath = WorkFolder() + "/" + indexName + ".vqi";
  std::string command = Quoted(std::string(SuiteFolders().lib) + "/halvern");
  for (const std::string& source : sources) command += " -i " + Quoted(source);
  command += " -o " + Quoted(indexPath) + " -a >/dev/null";
  if (RunCommand(command) != 0) throw std::runtime_error("indexer failed: " + command);
  made[indexName] = indexPath;
  return indexPath;
}

std::string IndexOfFirstFrames(const std::string& indexPath, int frames, const std::string& indexName) {
  const std::string cutPath = WorkFolder() + "/" + indexName + ".vqi";
  std::ifstream in(indexPath);
  std::ofstream out(cutPath);
  int seen = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.find("FRM") != std::string::npos && ++seen > frames) break;
    out << line << "\n";
  }
  return cutPath;
}

PClip OpenClip(const std::string& indexPath, const ClipOptions& options) {
  std::vector<AVSValue> args;
  std::vector<const char*> names;
  args.emplace_back(indexPath.c_str());
  names.push_back("vqi");
  args.emplace_back(true);
  names.push_back("silent");
  if (options.fieldop) {
    args.emplace_back(*options.fieldop);
    names.push_back("fieldop");
  }
  if (options.engine) {
    args.emplace_back(*options.engine);
    names.push_back("engine");
  }
  if (options.debug) {
    args.emplace_back(*options.debug);
    names.push_back("debug");
  }
  if (options.i420) {
    args.emplace_back(*options.i420);
    names.push_back("i420");
  }
  HostEnvironment& env = PluginHost();
  return env.Invoke("Orvanto", AVSValue(args.data(), int(args.size())), names.data()).AsClip();
}

Reference DecodeReference(const std::string& source, const std::string& filter) {
  Reference reference;
  const std::string command = "ffmpeg -hide_banner -loglevel error -i " + Quoted(source) +
                              (filter.empty() ? std::string() : " -vf " + Quoted(filter)) +
                              " -fps_mode passthrough -pix_fmt yuv420p -f yuv4mpegpipe -";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) throw std::runtime_error("cannot run " + command);
  char header[512];
  if (!std::fgets(header, sizeof(header), pipe.get())) throw std::runtime_error("no output: " + command);
  for (char* token = std::strtok(header, " \n"); token; token = std::strtok(nullptr, " \n")) {
    if (token[0] == 'W') reference.width = std::atoi(token + 1);
    if (token[0] == 'H') reference.height = std::atoi(token + 1);
  }
  const size_t size = size_t(reference.width) * reference.height * 3 / 2;
  char frameLine[256];
  while (std::fgets(frameLine, sizeof(frameLine), pipe.get())) {
    std::vector<uint8_t> picture(size);
    if (std::fread(picture.data(), 1, size, pipe.get()) != size) break;
    reference.pictures.push_back(std::move(picture));
  }
  return reference;
}

std::vector<uint8_t> WovenPicture(const Reference& reference, int top, int bottom) {
  const std::vector<uint8_t>& topPicture = reference.pictures.at(size_t(top));
  const std::vector<uint8_t>& bottomPicture = reference.pictures.at(size_t(bottom));
  std::vector<uint8_t> woven(topPicture.size());
  const int width = reference.width;
  const int height = reference.height;
  size_t offset = 0;
  auto weavePlane = [&](int planeWidth, int planeHeight) {
    for (int row = 0; row < planeHeight; ++row) {
      const std::vector<uint8_t>& from = (row % 2 == 0) ? topPicture : bottomPicture;
      std::memcpy(woven.data() + offset, from.data() + offset, size_t(planeWidth));
      offset += size_t(planeWidth);
    }
  };
  weavePlane(width, height);
  weavePlane(width / 2, height / 2);
  weavePlane(width / 2, height / 2);
  return woven;
}

std::string Md5Of(const std::vector<uint8_t>& picture) {
  uint8_t digest[16];
  av_md5_sum(digest, picture.data(), picture.size());
  char text[33];
  for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

namespace {

std::unique_ptr<SourceState> ReadIndex(const std::string& indexPath, int fieldop) {
  auto state = std::make_unique<SourceState>();
  state->fieldop = fieldop;
  if (ReadAvcIndex(state.get(), indexPath.c_str()) != 0) {
    ReleaseIndexData(state.get());
    throw std::runtime_error("cannot read " + indexPath);
  }
  return state;
}

}  // namespace

std::vector<int> GopFirstFrames(const std::string& indexPath, std::vector<bool>* idr) {
  auto state = ReadIndex(indexPath, 2);
  std::vector<int> firsts;
  for (int32_t g = 0; g < state->gopCount; ++g) {
    firsts.push_back(state->gopTable[g]->firstFrame);
    if (idr) idr->push_back(state->gopTable[g]->isIdr != 0);
  }
  ReleaseIndexData(state.get());
  return firsts;
}

std::string StampedMd5Of(std::vector<uint8_t> picture, int32_t hintValue) {
  StampFrameHint(picture.data(), uint32_t(hintValue) << 2);
  return Md5Of(picture);
}

std::vector<DisplayEntry> DisplayEntries(const std::string& indexPath, int fieldop) {
  auto state = ReadIndex(indexPath, fieldop);
  std::vector<DisplayEntry> entries;
  for (int32_t n = 0; n < state->displayFrameCount; ++n) {
    const FrameEntry& entry = state->frameTable[n];
    entries.push_back({entry.topFrame, entry.bottomFrame, entry.hintValue, entry.sliceType});
  }
  ReleaseIndexData(state.get());
  return entries;
}

std::string ErrorOfOpen(const std::string& indexPath, int fieldop) {
  try {
    OpenClip(indexPath, {.fieldop = fieldop});
  } catch (const HostScriptError& error) {
    return error.what();
  }
  return std::string();
}

std::string ErrorOfGetFrame(PClip& clip, int n) {
  try {
    clip->GetFrame(n, &PluginHost());
  } catch (const HostScriptError& error) {
    return error.what();
  }
  return std::string();
}
