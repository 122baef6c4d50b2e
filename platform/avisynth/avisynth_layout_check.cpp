// The host's binary contract, checked where the interface is built: a size or an
// offset that slips fails the build of the plug-in itself, in each of its builds.
// The figures are the host's own, per ABI, written out rather than derived from
// the pointer width, so that a change of a field's type shows here too.
#include <cstddef>
#include <type_traits>

#include "platform/avisynth/avisynth_interface.h"

namespace {

struct ContractLayout {
  size_t pointer;  // a pointer, and so PClip and PVideoFrame
  size_t count;    // the reference counts and the frame sequence number (long)
  size_t clipSize;
  // VideoFrameBuffer prefix
  size_t bufferDataSize, bufferSequence, bufferRefcount;
  // VideoFrame prefix
  size_t frameVfb, frameOffset, framePitch, frameRowSize, frameHeight, frameOffsetU, frameOffsetV, framePitchUV;
  // AVSValue
  size_t valueUnion, valueSize, valueAlign;
  size_t videoInfoAlign;
};

#if defined(__x86_64__)
constexpr ContractLayout kHost{.pointer = 8, .count = 8, .clipSize = 16,
                               .bufferDataSize = 8, .bufferSequence = 16, .bufferRefcount = 24,
                               .frameVfb = 8, .frameOffset = 16, .framePitch = 20, .frameRowSize = 24,
                               .frameHeight = 28, .frameOffsetU = 32, .frameOffsetV = 36, .framePitchUV = 40,
                               .valueUnion = 8, .valueSize = 16, .valueAlign = 8,
                               .videoInfoAlign = 8};
#elif defined(__i386__)
constexpr ContractLayout kHost{.pointer = 4, .count = 4, .clipSize = 8,
                               .bufferDataSize = 4, .bufferSequence = 8, .bufferRefcount = 12,
                               .frameVfb = 4, .frameOffset = 8, .framePitch = 12, .frameRowSize = 16,
                               .frameHeight = 20, .frameOffsetU = 24, .frameOffsetV = 28, .framePitchUV = 32,
                               .valueUnion = 4, .valueSize = 8, .valueAlign = 4,
                               .videoInfoAlign = 4};
#else
#error "The host's plug-in layout is known for x86-64 and i386 only"
#endif

}  // namespace

struct AvsLayoutCheck {
  static_assert(sizeof(void*) == kHost.pointer);
  static_assert(sizeof(PClip) == kHost.pointer && sizeof(PVideoFrame) == kHost.pointer);

  // IClip: vptr, then the count the host's own AddRef/Release change.
  static_assert(sizeof(IClip::refcnt) == kHost.count);
  static_assert(sizeof(IClip) == kHost.clipSize);

  static_assert(offsetof(VideoFrameBuffer, data) == 0);
  static_assert(offsetof(VideoFrameBuffer, data_size) == kHost.bufferDataSize);
  static_assert(offsetof(VideoFrameBuffer, sequence_number) == kHost.bufferSequence);
  static_assert(offsetof(VideoFrameBuffer, refcount) == kHost.bufferRefcount);
  static_assert(sizeof(VideoFrameBuffer::sequence_number) == kHost.count);
  static_assert(sizeof(VideoFrameBuffer::refcount) == kHost.count);

  static_assert(offsetof(VideoFrame, refcount) == 0);
  static_assert(sizeof(VideoFrame::refcount) == kHost.count);
  static_assert(offsetof(VideoFrame, vfb) == kHost.frameVfb);
  static_assert(offsetof(VideoFrame, offset) == kHost.frameOffset);
  static_assert(offsetof(VideoFrame, pitch) == kHost.framePitch);
  static_assert(offsetof(VideoFrame, row_size) == kHost.frameRowSize);
  static_assert(offsetof(VideoFrame, height) == kHost.frameHeight);
  static_assert(offsetof(VideoFrame, offsetU) == kHost.frameOffsetU);
  static_assert(offsetof(VideoFrame, offsetV) == kHost.frameOffsetV);
  static_assert(offsetof(VideoFrame, pitchUV) == kHost.framePitchUV);

  // AVSValue: short type, short array_size, a union no wider than a pointer.
  static_assert(offsetof(AVSValue, type) == 0 && sizeof(AVSValue::type) == 2);
  static_assert(offsetof(AVSValue, array_size) == 2 && sizeof(AVSValue::array_size) == 2);
  static_assert(offsetof(AVSValue, clip) == kHost.valueUnion);
  static_assert(offsetof(AVSValue, integer) == kHost.valueUnion);
  static_assert(offsetof(AVSValue, string) == kHost.valueUnion);
  static_assert(offsetof(AVSValue, array) == kHost.valueUnion);
  static_assert(sizeof(AVSValue) == kHost.valueSize);
  static_assert(alignof(AVSValue) == kHost.valueAlign);
};

// VideoInfo: the same offsets on both ABIs, a 64-bit audio sample count at 32.
static_assert(offsetof(VideoInfo, width) == 0);
static_assert(offsetof(VideoInfo, height) == 4);
static_assert(offsetof(VideoInfo, fps_numerator) == 8);
static_assert(offsetof(VideoInfo, fps_denominator) == 12);
static_assert(offsetof(VideoInfo, num_frames) == 16);
static_assert(offsetof(VideoInfo, pixel_type) == 20);
static_assert(offsetof(VideoInfo, audio_samples_per_second) == 24);
static_assert(offsetof(VideoInfo, sample_type) == 28);
static_assert(offsetof(VideoInfo, num_audio_samples) == 32);
static_assert(sizeof(VideoInfo::num_audio_samples) == 8);
static_assert(offsetof(VideoInfo, nchannels) == 40);
static_assert(offsetof(VideoInfo, image_type) == 44);
static_assert(sizeof(VideoInfo) == 48);
static_assert(alignof(VideoInfo) == kHost.videoInfoAlign);

// Non-trivial copy and destruction: these travel by invisible reference and come
// back through a hidden pointer, as the host passes them.
static_assert(!std::is_trivially_copy_constructible_v<AVSValue>);
static_assert(!std::is_trivially_destructible_v<AVSValue>);
static_assert(!std::is_trivially_copy_constructible_v<PVideoFrame>);
static_assert(!std::is_trivially_destructible_v<PVideoFrame>);
static_assert(!std::is_trivially_copy_constructible_v<PClip>);
static_assert(!std::is_trivially_destructible_v<PClip>);
