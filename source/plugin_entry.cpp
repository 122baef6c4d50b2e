// The plug-in's entry point and the create function of Orvanto.
#include "platform/avisynth/avisynth_interface.h"
#include "source/clip.h"
#include "source/defaults_file.h"

namespace {

constexpr const char* kOrvantoParameters = "[vqi]s[engine]i[i420]b[deinterlace]i[fieldop]i[debug]b[silent]b";

// Built-in defaults, then Marlquin.def in the current directory, then the
// script's arguments. Construction errors are the host's script errors and
// leave no clip.
AVSValue CreateSource(AVSValue args, void*, IScriptEnvironment* env) {
  ScriptSettings settings;
  ReadDefaultsFile(kDefaultsFileName, &settings);
  MergeScriptArguments(args, &settings);
  auto* clip = new VQMultiSource(settings.vqi.c_str(), settings.engine, settings.i420, settings.deinterlace,
                                 settings.fieldop, settings.debug, settings.silent, env);
  return AVSValue(static_cast<IClip*>(clip));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* AvisynthPluginInit2(IScriptEnvironment* env) {
  env->AddFunction("Orvanto", kOrvantoParameters, CreateSource, nullptr);
  return nullptr;
}
