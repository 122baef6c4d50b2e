// The frame server's plug-in interface (interface version 3, the "2.5" plug-in
// contract), declared here from the binary contract a 2.5 plug-in relies on:
// virtual slot order, field types and offsets, `long` reference counts, and the
// calling convention that follows from non-trivial copy constructors.
//
// Everything here must stay hidden inside the plug-in (the build uses
// -fvisibility=hidden): the host library exports members with the same mangled
// names, and a visible out-of-line copy would bind to the host's version.
//
// Layout rules (x86-64 LP64 / i386 ILP32):
//   IClip:       vptr, long refcnt                          sizeof 16 / 8
//   VideoInfo:   48 bytes, int64_t audio sample count at 32
//   VideoFrame:  long refcount, VideoFrameBuffer*, 7 ints     (prefix only)
//   AVSValue:    short type, short array_size, pointer-wide union  16 / 8
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

typedef unsigned char BYTE;

class IScriptEnvironment;
class IClip;
class PClip;
class PVideoFrame;
class AVSValue;
class VideoFrame;
class VideoFrameBuffer;

// Test and host code that needs the private fields names itself here, and so does
// the build's own check of the layout (avisynth_layout_check.cpp).
struct AvsLayoutCheck;
struct AvsLayoutProbe;
class AvsFrameAccess;

enum { AVISYNTH_INTERFACE_VERSION = 3 };

// Default row alignment of the 2.5 contract; hosts may align further.
enum { FRAME_ALIGN = 16 };

struct VideoInfo {
  int width;
  int height;
  unsigned fps_numerator;
  unsigned fps_denominator;
  int num_frames;
  int pixel_type;
  int audio_samples_per_second;
  int sample_type;
  int64_t num_audio_samples;
  int nchannels;
  int image_type;

  // Colour space bits and the two planar 4:2:0 layouts.
  static constexpr int CS_BGR = 1 << 28;
  static constexpr int CS_YUV = 1 << 29;
  static constexpr int CS_INTERLEAVED = 1 << 30;
  static constexpr int CS_PLANAR = static_cast<int>(0x80000000u);
  static constexpr int CS_UNKNOWN = 0;
  static constexpr int CS_YV12 = static_cast<int>(0xA0000008u);  // V plane before U
  static constexpr int CS_I420 = static_cast<int>(0xA0000010u);  // U plane before V

  static constexpr int IT_BFF = 1 << 0;
  static constexpr int IT_TFF = 1 << 1;
  static constexpr int IT_FIELDBASED = 1 << 2;

  static constexpr int SAMPLE_INT8 = 1 << 0;
  static constexpr int SAMPLE_INT16 = 1 << 1;
  static constexpr int SAMPLE_INT24 = 1 << 2;
  static constexpr int SAMPLE_INT32 = 1 << 3;
  static constexpr int SAMPLE_FLOAT = 1 << 4;

  bool HasVideo() const { return width != 0; }
  bool HasAudio() const { return audio_samples_per_second != 0; }
  bool IsPlanar() const { return (pixel_type & CS_PLANAR) != 0; }
  bool IsYV12() const { return pixel_type == CS_YV12; }
  bool IsI420() const { return pixel_type == CS_I420; }
  bool Is420() const { return IsYV12() || IsI420(); }
  bool IsFieldBased() const { return (image_type & IT_FIELDBASED) != 0; }
  void SetFieldBased(bool fieldBased) {
    if (fieldBased)
      image_type |= IT_FIELDBASED;
    else
      image_type &= ~IT_FIELDBASED;
  }
};

// Plane selectors for the frame accessors.
enum { PLANAR_Y = 1 << 0, PLANAR_U = 1 << 1, PLANAR_V = 1 << 2, PLANAR_ALIGNED = 1 << 3 };

// The host's frame buffer; only the prefix a 2.5 plug-in reads is declared. The
// host allocates, recycles and frees these objects, never the plug-in.
class VideoFrameBuffer {
  friend class VideoFrame;
  friend struct AvsLayoutCheck;
  friend struct AvsLayoutProbe;
  friend class AvsFrameAccess;

  BYTE* data;
  int data_size;
  long sequence_number;  // bumped on every write access
  long refcount;         // VideoFrame objects that refer to this buffer

  // Only the host creates these (through AvsFrameAccess).
  VideoFrameBuffer() = default;
  VideoFrameBuffer(const VideoFrameBuffer&) = delete;
  VideoFrameBuffer& operator=(const VideoFrameBuffer&) = delete;

 public:
  const BYTE* GetReadPtr() const { return data; }
  int GetDataSize() const { return data_size; }
  long GetSequenceNumber() const { return sequence_number; }
  long GetRefcount() const { return refcount; }
};

// A view on a frame buffer (planes at offsets with their pitches); prefix only.
class VideoFrame {
  friend class PVideoFrame;
  friend struct AvsLayoutCheck;
  friend struct AvsLayoutProbe;
  friend class AvsFrameAccess;

  long refcount;
  VideoFrameBuffer* vfb;
  int offset;
  int pitch;
  int row_size;
  int height;
  int offsetU;
  int offsetV;
  int pitchUV;

  VideoFrame() = default;
  VideoFrame(const VideoFrame&) = delete;
  VideoFrame& operator=(const VideoFrame&) = delete;

  void AddRef() { std::atomic_ref<long>(refcount).fetch_add(1); }
  // The last view releases its hold on the buffer; the host recycles both.
  void Release() {
    if (std::atomic_ref<long>(refcount).fetch_sub(1) - 1 == 0)
      std::atomic_ref<long>(vfb->refcount).fetch_sub(1);
  }

 public:
  int GetPitch(int plane = 0) const {
    return (plane == PLANAR_U || plane == PLANAR_V) ? pitchUV : pitch;
  }
  int GetRowSize(int plane = 0) const {
    if (plane == PLANAR_U || plane == PLANAR_V) return pitchUV ? row_size >> 1 : 0;
    return row_size;
  }
  int GetHeight(int plane = 0) const {
    if (plane == PLANAR_U || plane == PLANAR_V) return pitchUV ? height >> 1 : 0;
    return height;
  }
  const BYTE* GetReadPtr(int plane = 0) const {
    if (plane == PLANAR_U) return vfb->data + offsetU;
    if (plane == PLANAR_V) return vfb->data + offsetV;
    return vfb->data + offset;
  }
  bool IsWritable() const { return refcount == 1 && vfb->refcount == 1; }
  // Luma (plane 0 or PLANAR_Y): null unless the frame is writable. The chroma
  // planes are returned unchecked: test the luma pointer first.
  BYTE* GetWritePtr(int plane = 0) const {
    if (plane == PLANAR_U) return vfb->data + offsetU;
    if (plane == PLANAR_V) return vfb->data + offsetV;
    if (!IsWritable()) return nullptr;
    std::atomic_ref<long>(vfb->sequence_number).fetch_add(1);
    return vfb->data + offset;
  }
  VideoFrameBuffer* GetFrameBuffer() const { return vfb; }
};

// A clip as the host holds it. The reference count is shared with the host's own
// AddRef/Release code: a full `long`, changed atomically, and the object deleted
// through its virtual destructor when the count returned by the decrement is 0.
class IClip {
  friend class PClip;
  friend class AVSValue;
  friend struct AvsLayoutCheck;
  friend struct AvsLayoutProbe;

  long refcnt;

  void AddRef() { std::atomic_ref<long>(refcnt).fetch_add(1); }
  void Release() {
    if (std::atomic_ref<long>(refcnt).fetch_sub(1) - 1 == 0) delete this;
  }

 public:
  IClip() : refcnt(0) {}
  IClip(const IClip&) = delete;
  IClip& operator=(const IClip&) = delete;

  virtual int GetVersion() = 0;                                                 // slot 0
  virtual PVideoFrame GetFrame(int n, IScriptEnvironment* env) = 0;             // slot 1
  virtual bool GetParity(int n) = 0;                                            // slot 2
  virtual void GetAudio(void* buf, int64_t start, int64_t count,
                        IScriptEnvironment* env) = 0;                           // slot 3
  virtual void SetCacheHints(int cachehints, int frame_range) = 0;              // slot 4
  virtual const VideoInfo& GetVideoInfo() = 0;                                  // slot 5
  virtual ~IClip() {}                                                           // slots 6, 7
};

// Counted handle on a clip.
class PClip {
  IClip* p;

  void Set(IClip* x) {
    if (x) x->AddRef();
    if (p) p->Release();
    p = x;
  }

 public:
  PClip() : p(nullptr) {}
  PClip(IClip* x) : p(nullptr) { Set(x); }
  PClip(const PClip& x) : p(nullptr) { Set(x.p); }
  PClip& operator=(IClip* x) {
    Set(x);
    return *this;
  }
  PClip& operator=(const PClip& x) {
    Set(x.p);
    return *this;
  }
  ~PClip() {
    if (p) p->Release();
  }
  IClip* operator->() const { return p; }
  IClip* get() const { return p; }
  explicit operator bool() const { return p != nullptr; }
  bool operator!() const { return p == nullptr; }
};

// Counted handle on a frame view.
class PVideoFrame {
  VideoFrame* p;

  void Set(VideoFrame* x) {
    if (x) x->AddRef();
    if (p) p->Release();
    p = x;
  }

 public:
  PVideoFrame() : p(nullptr) {}
  PVideoFrame(VideoFrame* x) : p(nullptr) { Set(x); }
  PVideoFrame(const PVideoFrame& x) : p(nullptr) { Set(x.p); }
  PVideoFrame& operator=(VideoFrame* x) {
    Set(x);
    return *this;
  }
  PVideoFrame& operator=(const PVideoFrame& x) {
    Set(x.p);
    return *this;
  }
  ~PVideoFrame() {
    if (p) p->Release();
  }
  VideoFrame* operator->() const { return p; }
  VideoFrame* get() const { return p; }
  explicit operator bool() const { return p != nullptr; }
  bool operator!() const { return p == nullptr; }
};

// A script value. Arrays are shallow: the value points at elements that someone
// else owns, and copying or destroying it never touches them. A plug-in therefore
// never hands the host an array of its own.
class AVSValue {
  friend struct AvsLayoutCheck;
  friend struct AvsLayoutProbe;

  short type;  // 'v' undefined, 'c' clip, 'b' bool, 'i' int, 'f' float, 's' string, 'a' array
  short array_size;
  union {
    IClip* clip;
    bool boolean;
    int integer;
    float floating_pt;
    const char* string;
    const AVSValue* array;
  };

  void Assign(const AVSValue& src, bool init);

 public:
  AVSValue() : type('v'), array_size(0), clip(nullptr) {}
  AVSValue(IClip* c);
  AVSValue(const PClip& c);
  AVSValue(bool b) : type('b'), array_size(0), clip(nullptr) { boolean = b; }
  AVSValue(int i) : type('i'), array_size(0), clip(nullptr) { integer = i; }
  AVSValue(float f) : type('f'), array_size(0), clip(nullptr) { floating_pt = f; }
  AVSValue(double f) : type('f'), array_size(0), clip(nullptr) { floating_pt = static_cast<float>(f); }
  AVSValue(const char* s) : type('s'), array_size(0), string(s) {}
  // A shallow array over `size` values that the caller keeps alive.
  AVSValue(const AVSValue* a, int size) : type('a'), array_size(static_cast<short>(size)), array(a) {}
  AVSValue(const AVSValue& v);
  ~AVSValue();
  AVSValue& operator=(const AVSValue& v);

  bool Defined() const { return type != 'v'; }
  bool IsClip() const { return type == 'c'; }
  bool IsBool() const { return type == 'b'; }
  bool IsInt() const { return type == 'i'; }
  bool IsFloat() const { return type == 'f' || type == 'i'; }
  bool IsString() const { return type == 's'; }
  bool IsArray() const { return type == 'a'; }
  char GetType() const { return static_cast<char>(type); }

  // Each accessor expects the matching Is...() to hold; otherwise it yields the
  // neutral value of its type.
  PClip AsClip() const { return IsClip() ? PClip(clip) : PClip(); }
  bool AsBool() const { return IsBool() && boolean; }
  int AsInt() const { return IsInt() ? integer : 0; }
  const char* AsString() const { return IsString() ? string : nullptr; }
  float AsFloat() const {
    return IsInt() ? static_cast<float>(integer) : (type == 'f' ? floating_pt : 0.0f);
  }
  bool AsBool(bool def) const { return IsBool() ? boolean : def; }
  int AsInt(int def) const { return IsInt() ? integer : def; }
  const char* AsString(const char* def) const { return IsString() ? string : def; }

  int ArraySize() const { return IsArray() ? array_size : 1; }
  // Indexing a non-array, or out of range, yields the value itself.
  const AVSValue& operator[](int index) const {
    return (IsArray() && index >= 0 && index < array_size) ? array[index] : *this;
  }
};

// The host's environment as a 2.5 plug-in sees it. The slot numbers are part of
// the binary contract; the destructor is declared first on purpose.
class IScriptEnvironment {
 public:
  virtual ~IScriptEnvironment() {}                                              // slots 0, 1

  virtual int GetCPUFlags() = 0;                                                // slot 2
  virtual char* SaveString(const char* s, int length = -1) = 0;                 // slot 3
  virtual char* Sprintf(const char* fmt, ...) = 0;                              // slot 4
  virtual char* VSprintf(const char* fmt, va_list val) = 0;                     // slot 5
  // Raises a script error with the formatted text; never returns. Pass user
  // text as a "%s" argument.
  [[noreturn]] virtual void ThrowError(const char* fmt, ...) = 0;               // slot 6

  typedef AVSValue (*ApplyFunc)(AVSValue args, void* user_data, IScriptEnvironment* env);
  virtual void AddFunction(const char* name, const char* params, ApplyFunc apply,
                           void* user_data) = 0;                                // slot 7
  virtual bool FunctionExists(const char* name) = 0;                            // slot 8
  virtual AVSValue Invoke(const char* name, const AVSValue args,
                          const char* const* arg_names = nullptr) = 0;          // slot 9
  virtual AVSValue GetVar(const char* name) = 0;                                // slot 10
  virtual bool SetVar(const char* name, const AVSValue& val) = 0;               // slot 11
  virtual bool SetGlobalVar(const char* name, const AVSValue& val) = 0;         // slot 12
  virtual void PushContext(int level = 0) = 0;                                  // slot 13
  virtual void PopContext() = 0;                                                // slot 14
  virtual PVideoFrame NewVideoFrame(const VideoInfo& vi, int align = FRAME_ALIGN) = 0;  // slot 15
  virtual bool MakeWritable(PVideoFrame* pvf) = 0;                              // slot 16
  virtual void BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch,
                      int row_size, int height) = 0;                            // slot 17

  typedef void (*ShutdownFunc)(void* user_data, IScriptEnvironment* env);
  virtual void AtExit(ShutdownFunc function, void* user_data) = 0;              // slot 18
  virtual void CheckVersion(int version = AVISYNTH_INTERFACE_VERSION) = 0;      // slot 19
  virtual PVideoFrame Subframe(PVideoFrame src, int rel_offset, int new_pitch,
                               int new_row_size, int new_height) = 0;           // slot 20
  virtual int SetMemoryMax(int mem) = 0;                                        // slot 21
  virtual int SetWorkingDir(const char* newdir) = 0;                            // slot 22
  virtual void* ManageCache(int key, void* data) = 0;                           // slot 23

  enum PlanarChromaAlignmentMode {
    PlanarChromaAlignmentOff,
    PlanarChromaAlignmentOn,
    PlanarChromaAlignmentTest
  };
  virtual bool PlanarChromaAlignment(PlanarChromaAlignmentMode key) = 0;        // slot 24
  virtual PVideoFrame SubframePlanar(PVideoFrame src, int rel_offset, int new_pitch,
                                     int new_row_size, int new_height, int rel_offsetU,
                                     int rel_offsetV, int new_pitchUV) = 0;     // slot 25
};
