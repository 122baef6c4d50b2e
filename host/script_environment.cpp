#include "host/script_environment.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

std::string Lower(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Format(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (length < 0) return std::string(fmt);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), fmt, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

bool TypeMatches(char declared, const AVSValue& value) {
  switch (declared) {
    case '.': return true;
    case 'c': return value.IsClip();
    case 'b': return value.IsBool();
    case 'i': return value.IsInt();
    case 'f': return value.IsFloat();
    case 's': return value.IsString();
    default: return false;
  }
}

}  // namespace

bool ParseParameterString(const char* params, std::vector<FunctionParameter>* out) {
  out->clear();
  if (!params) return false;
  const char* p = params;
  while (*p) {
    FunctionParameter parameter{std::string(), 0, false};
    if (*p == '[') {
      const char* close = std::strchr(p + 1, ']');
      if (!close || close == p + 1) return false;
      parameter.name.assign(p + 1, close);
      parameter.optional = true;
      p = close + 1;
    }
    if (!std::strchr("cbifs.", *p) || *p == '\0') return false;
    parameter.type = *p++;
    out->push_back(std::move(parameter));
  }
  return true;
}

HostEnvironment::HostEnvironment() : scopes_(1) {}

HostEnvironment::~HostEnvironment() {
  // Shutdown callbacks run in reverse order of registration, before the
  // variables (and the clips they hold) go.
  for (auto it = atExit_.rbegin(); it != atExit_.rend(); ++it) it->first(it->second, this);
  scopes_.clear();
}

int HostEnvironment::GetCPUFlags() {
  // The 2.5 CPU flag bits.
  int flags = 0x1 | 0x2;  // force, FPU
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("mmx")) flags |= 0x4;
  if (__builtin_cpu_supports("sse")) flags |= 0x8 | 0x10;
  if (__builtin_cpu_supports("sse2")) flags |= 0x20;
  if (__builtin_cpu_supports("sse3")) flags |= 0x100;
#endif
  return flags;
}

char* HostEnvironment::SaveString(const char* s, int length) {
  if (!s) s = "";
  if (length < 0) length = static_cast<int>(std::strlen(s));
  strings_.emplace_back(s, static_cast<size_t>(length));
  return strings_.back().data();
}

char* HostEnvironment::Sprintf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char* text = VSprintf(fmt, args);
  va_end(args);
  return text;
}

char* HostEnvironment::VSprintf(const char* fmt, va_list val) {
  strings_.push_back(Format(fmt, val));
  return strings_.back().data();
}

void HostEnvironment::ThrowError(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = Format(fmt, args);
  va_end(args);
  throw HostScriptError(text);
}

void HostEnvironment::AddFunction(const char* name, const char* params, ApplyFunc apply,
                                  void* user_data) {
  RegisteredFunction function{name ? name : "", params ? params : "", {}, apply, user_data};
  if (function.name.empty() || !apply || !ParseParameterString(params, &function.parameters))
    ThrowError("%s: invalid function registration", function.name.c_str());
  functions_[Lower(function.name)] = std::move(function);
}

const RegisteredFunction* HostEnvironment::FindFunction(const std::string& name) const {
  auto it = functions_.find(Lower(name));
  return it == functions_.end() ? nullptr : &it->second;
}

bool HostEnvironment::FunctionExists(const char* name) { return name && FindFunction(name); }

// Binds the given values to the declared parameters (positional values in order,
// named ones by name), fills what is not given with undefined values, checks
// the types and calls the function with one array argument, as the frame server
// does. The array and its elements belong to this frame; the callee gets a copy.
AVSValue HostEnvironment::Invoke(const char* name, const AVSValue args,
                                 const char* const* arg_names) {
  const RegisteredFunction* function = name ? FindFunction(name) : nullptr;
  if (!function) ThrowError("Script error: there is no function named \"%s\"", name ? name : "");

  const std::vector<FunctionParameter>& parameters = function->parameters;
  std::vector<AVSValue> bound(parameters.size());
  std::vector<bool> given(parameters.size(), false);
  const int count = args.IsArray() ? args.ArraySize() : (args.Defined() ? 1 : 0);
  size_t nextPositional = 0;
  for (int i = 0; i < count; ++i) {
    const AVSValue& value = args[i];
    const char* argName = arg_names ? arg_names[i] : nullptr;
    size_t slot = parameters.size();
    if (argName) {
      for (size_t k = 0; k < parameters.size(); ++k) {
        if (Lower(parameters[k].name) == Lower(argName)) slot = k;
      }
      if (slot == parameters.size())
        ThrowError("Script error: %s does not have a named argument \"%s\"", function->name.c_str(),
                   argName);
    } else {
      slot = nextPositional++;
      if (slot >= parameters.size())
        ThrowError("Script error: Invalid arguments to function \"%s\"", function->name.c_str());
    }
    if (given[slot])
      ThrowError("Script error: argument \"%s\" of %s given twice", parameters[slot].name.c_str(),
                 function->name.c_str());
    if (value.Defined() && !TypeMatches(parameters[slot].type, value))
      ThrowError("Script error: Invalid arguments to function \"%s\"", function->name.c_str());
    bound[slot] = value;
    given[slot] = true;
  }
  for (size_t k = 0; k < parameters.size(); ++k) {
    if (!parameters[k].optional && !bound[k].Defined())
      ThrowError("Script error: Invalid arguments to function \"%s\"", function->name.c_str());
  }

  const AVSValue array(bound.data(), static_cast<int>(bound.size()));
  return function->apply(array, function->userData, this);
}

AVSValue HostEnvironment::GetVar(const char* name) {
  for (auto scope = scopes_.rbegin(); scope != scopes_.rend(); ++scope) {
    auto it = scope->find(name ? name : "");
    if (it != scope->end()) return it->second;
  }
  throw HostScriptError(std::string("I don't know what \"") + (name ? name : "") + "\" means");
}

bool HostEnvironment::SetVar(const char* name, const AVSValue& val) {
  auto [it, inserted] = scopes_.back().insert_or_assign(name ? name : "", val);
  (void)it;
  return inserted;
}

bool HostEnvironment::SetGlobalVar(const char* name, const AVSValue& val) {
  auto [it, inserted] = scopes_.front().insert_or_assign(name ? name : "", val);
  (void)it;
  return inserted;
}

void HostEnvironment::PushContext(int) { scopes_.emplace_back(); }

void HostEnvironment::PopContext() {
  if (scopes_.size() > 1) scopes_.pop_back();
}

PVideoFrame HostEnvironment::NewVideoFrame(const VideoInfo& vi, int align) {
  if (!vi.Is420()) ThrowError("Filter Error: this host serves only YV12 and I420 frames");
  if (vi.width <= 0 || vi.height <= 0) ThrowError("Filter Error: Attempted to request a frame without size");
  if (vi.width & 1)
    ThrowError("Filter Error: Attempted to request a planar frame that wasn't mod2 in width!");
  if (vi.height & 1)
    ThrowError("Filter Error: Attempted to request a planar frame that wasn't mod2 in height!");
  if (static_cast<int64_t>(vi.width) * vi.height > (int64_t{1} << 28))
    ThrowError("Filter Error: frame of %d x %d is too large", vi.width, vi.height);
  return frames_.NewPlanarFrame(vi, align);
}

bool HostEnvironment::MakeWritable(PVideoFrame* pvf) {
  if (!pvf || !*pvf || (*pvf)->IsWritable()) return false;
  const VideoFrame* old = pvf->get();
  VideoInfo vi{};
  vi.width = old->GetRowSize();
  vi.height = old->GetHeight();
  vi.pixel_type = AvsFrameAccess::OffsetU(old) < AvsFrameAccess::OffsetV(old) ? VideoInfo::CS_I420
                                                                             : VideoInfo::CS_YV12;
  PVideoFrame copy = NewVideoFrame(vi);
  for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
    BitBlt(copy->GetWritePtr(plane), copy->GetPitch(plane), old->GetReadPtr(plane),
           old->GetPitch(plane), old->GetRowSize(plane), old->GetHeight(plane));
  }
  *pvf = copy;
  return true;
}

void HostEnvironment::BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch,
                             int row_size, int height) {
  if (height < 0) ThrowError("Filter Error: Attempting to blit an image with negative height.");
  if (row_size < 0) ThrowError("Filter Error: Attempting to blit an image with negative row size.");
  if (height == 0 || row_size == 0) return;
  if (dst_pitch == src_pitch && src_pitch == row_size) {
    std::memcpy(dstp, srcp, static_cast<size_t>(row_size) * height);
    return;
  }
  for (int y = 0; y < height; ++y) {
    std::memcpy(dstp, srcp, static_cast<size_t>(row_size));
    dstp += dst_pitch;
    srcp += src_pitch;
  }
}

void HostEnvironment::AtExit(ShutdownFunc function, void* user_data) {
  if (function) atExit_.emplace_back(function, user_data);
}

void HostEnvironment::CheckVersion(int version) {
  if (version > AVISYNTH_INTERFACE_VERSION)
    ThrowError("Plugin was designed for a later version of the host (%d)", version);
}

PVideoFrame HostEnvironment::Subframe(PVideoFrame src, int rel_offset, int new_pitch,
                                      int new_row_size, int new_height) {
  if (!src) ThrowError("Subframe: no source frame");
  const VideoFrame* f = src.get();
  return frames_.NewView(src, AvsFrameAccess::OffsetY(f) + rel_offset, new_pitch, new_row_size,
                         new_height, 0, 0, 0);
}

int HostEnvironment::SetMemoryMax(int mem) {
  if (mem > 0) memoryMax_ = mem;
  return memoryMax_;
}

int HostEnvironment::SetWorkingDir(const char* newdir) {
  return (newdir && chdir(newdir) == 0) ? 0 : 1;
}

void* HostEnvironment::ManageCache(int, void*) { return nullptr; }

bool HostEnvironment::PlanarChromaAlignment(PlanarChromaAlignmentMode key) {
  const bool previous = chromaAlignment_;
  if (key == PlanarChromaAlignmentOn) chromaAlignment_ = true;
  if (key == PlanarChromaAlignmentOff) chromaAlignment_ = false;
  return previous;
}

PVideoFrame HostEnvironment::SubframePlanar(PVideoFrame src, int rel_offset, int new_pitch,
                                            int new_row_size, int new_height, int rel_offsetU,
                                            int rel_offsetV, int new_pitchUV) {
  if (!src) ThrowError("SubframePlanar: no source frame");
  const VideoFrame* f = src.get();
  return frames_.NewView(src, AvsFrameAccess::OffsetY(f) + rel_offset, new_pitch, new_row_size,
                         new_height, AvsFrameAccess::OffsetU(f) + rel_offsetU,
                         AvsFrameAccess::OffsetV(f) + rel_offsetV, new_pitchUV);
}
