// The command-line host's script environment: what the frame server offers a
// 2.5 plug-in (function registry and invocation, script errors, frames, BitBlt,
// variables, shutdown callbacks). One host thread uses it at a time.
#pragma once

#include <deque>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/frame_store.h"
#include "platform/avisynth/avisynth_interface.h"

// A script error, as ThrowError raises it: the formatted text.
class HostScriptError : public std::runtime_error {
 public:
  explicit HostScriptError(const std::string& text) : std::runtime_error(text) {}
};

// One declared parameter of a registered function.
struct FunctionParameter {
  std::string name;  // empty for an unnamed parameter
  char type;         // 'c', 'b', 'i', 'f', 's' or '.' (any)
  bool optional;
};

struct RegisteredFunction {
  std::string name;
  std::string params;
  std::vector<FunctionParameter> parameters;
  IScriptEnvironment::ApplyFunc apply;
  void* userData;
};

// Parses a parameter string such as "[vqi]s[engine]i". Returns false on a
// malformed string (an unknown type letter, an unclosed name).
bool ParseParameterString(const char* params, std::vector<FunctionParameter>* out);

class HostEnvironment : public IScriptEnvironment {
 public:
  HostEnvironment();
  ~HostEnvironment() override;

  int GetCPUFlags() override;
  char* SaveString(const char* s, int length = -1) override;
  char* Sprintf(const char* fmt, ...) override;
  char* VSprintf(const char* fmt, va_list val) override;
  [[noreturn]] void ThrowError(const char* fmt, ...) override;
  void AddFunction(const char* name, const char* params, ApplyFunc apply, void* user_data) override;
  bool FunctionExists(const char* name) override;
  AVSValue Invoke(const char* name, const AVSValue args, const char* const* arg_names = nullptr) override;
  AVSValue GetVar(const char* name) override;
  bool SetVar(const char* name, const AVSValue& val) override;
  bool SetGlobalVar(const char* name, const AVSValue& val) override;
  void PushContext(int level = 0) override;
  void PopContext() override;
  PVideoFrame NewVideoFrame(const VideoInfo& vi, int align = FRAME_ALIGN) override;
  bool MakeWritable(PVideoFrame* pvf) override;
  void BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size,
              int height) override;
  void AtExit(ShutdownFunc function, void* user_data) override;
  void CheckVersion(int version = AVISYNTH_INTERFACE_VERSION) override;
  PVideoFrame Subframe(PVideoFrame src, int rel_offset, int new_pitch, int new_row_size,
                       int new_height) override;
  int SetMemoryMax(int mem) override;
  int SetWorkingDir(const char* newdir) override;
  void* ManageCache(int key, void* data) override;
  bool PlanarChromaAlignment(PlanarChromaAlignmentMode key) override;
  PVideoFrame SubframePlanar(PVideoFrame src, int rel_offset, int new_pitch, int new_row_size,
                             int new_height, int rel_offsetU, int rel_offsetV,
                             int new_pitchUV) override;

  const FrameStore& Frames() const { return frames_; }
  const RegisteredFunction* FindFunction(const std::string& name) const;

 private:
  std::deque<std::string> strings_;
  std::map<std::string, RegisteredFunction> functions_;
  // Variable scopes: [0] global, the last one current. Values own their clips.
  std::vector<std::map<std::string, AVSValue>> scopes_;
  std::vector<std::pair<ShutdownFunc, void*>> atExit_;
  FrameStore frames_;
  int memoryMax_ = 1024;
  bool chromaAlignment_ = true;
};
