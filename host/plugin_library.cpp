#include "host/plugin_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "platform/avisynth/avisynth_interface.h"

namespace {

using PluginInit2 = const char* (*)(IScriptEnvironment* env);

constexpr const char* kPluginFileName = "libtessivar.so";

}  // namespace

PluginLibrary::~PluginLibrary() { Unload(); }

bool PluginLibrary::Load(const std::string& path, IScriptEnvironment* env, std::string* error) {
  Unload();
  // Kept mapped after dlclose: a plug-in may hold process-lifetime state (the
  // libraries it loaded for good, its module records), which unmapping would
  // strand.
  handle_ = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle_) {
    const char* why = dlerror();
    *error = "cannot load plug-in " + path + ": " + (why ? why : "unknown reason");
    return false;
  }
  // The frame server tries the newer entry points first; a plug-in exporting one
  // of them would be taken for another kind of plug-in.
  for (const char* other : {"AvisynthPluginInit3", "avisynth_c_plugin_init2", "avisynth_c_plugin_init"}) {
    if (dlsym(handle_, other)) {
      *error = path + " exports " + other + ": not a 2.5 plug-in";
      Unload();
      return false;
    }
  }
  auto init = reinterpret_cast<PluginInit2>(dlsym(handle_, "AvisynthPluginInit2"));
  if (!init) {
    *error = path + " has no AvisynthPluginInit2";
    Unload();
    return false;
  }
  // Like the frame server, a failure inside the entry point loses its message.
  try {
    init(env);  // the banner text is not used
  } catch (...) {
    *error = "'" + path + "' cannot be used as a plugin";
    Unload();
    return false;
  }
  return true;
}

void PluginLibrary::Unload() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

std::string DefaultPluginPath() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return kPluginFileName;
  const std::filesystem::path folder = self.parent_path();
  for (const std::filesystem::path& candidate :
       {folder / kPluginFileName, folder.parent_path() / "lib" / kPluginFileName}) {
    if (std::filesystem::exists(candidate, ec)) return candidate.string();
  }
  return (folder / kPluginFileName).string();
}
