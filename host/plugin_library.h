// Loads a plug-in the way the frame server does: dlopen with local scope, look up
// the 2.5 entry point and call it once with the host's environment.
#pragma once

#include <string>

class IScriptEnvironment;

class PluginLibrary {
 public:
  PluginLibrary() = default;
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // Returns false with a message in *error when the library cannot be opened,
  // has no entry point, or its entry point fails.
  bool Load(const std::string& path, IScriptEnvironment* env, std::string* error);
  // Unloads the library. Every clip it made must be gone by then.
  void Unload();
  bool Loaded() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

// The plug-in that lies beside the running executable (or in ../lib beside it).
std::string DefaultPluginPath();
