// The host side of frame memory: buffers and frame views created, handed out and
// recycled the way the frame server does it. A view is recycled only when its own
// count and its buffer's count have both fallen to 0; rows are aligned to at
// least 64 bytes and the chroma rows are aligned on their own.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/avisynth/avisynth_interface.h"

// Creates and inspects the host-owned frame objects (their fields are private to
// the plug-in interface).
class AvsFrameAccess {
 public:
  static VideoFrameBuffer* NewBuffer(int size);
  static void DeleteBuffer(VideoFrameBuffer* buffer);
  static VideoFrame* NewFrame();
  static void DeleteFrame(VideoFrame* frame);
  // Points `frame` at `buffer` (taking one buffer reference) with the given planes.
  static void Attach(VideoFrame* frame, VideoFrameBuffer* buffer, int offset, int pitch,
                     int rowSize, int height, int offsetU, int offsetV, int pitchUV);
  static long FrameRefcount(const VideoFrame* frame);
  static long BufferRefcount(const VideoFrameBuffer* buffer);
  static VideoFrameBuffer* Buffer(const VideoFrame* frame);
  static int OffsetY(const VideoFrame* frame);
  static int OffsetU(const VideoFrame* frame);
  static int OffsetV(const VideoFrame* frame);
};

class HostEnvironment;

// All frames of one environment. Not thread-safe: one host thread calls in.
class FrameStore {
 public:
  FrameStore() = default;
  ~FrameStore();
  FrameStore(const FrameStore&) = delete;
  FrameStore& operator=(const FrameStore&) = delete;

  // A writable 4:2:0 frame (refcount 1, buffer refcount 1). `vi` must be YV12 or
  // I420 with even, positive sizes (the caller checks). align: max(|align|, 64).
  PVideoFrame NewPlanarFrame(const VideoInfo& vi, int align);
  // A new view on the buffer of `src` (one more buffer reference).
  PVideoFrame NewView(const PVideoFrame& src, int offset, int pitch, int rowSize, int height,
                      int offsetU, int offsetV, int pitchUV);

  // Views and buffers currently held by someone (for tests and leak checks).
  int LiveFrames() const;
  int LiveBuffers() const;
  int AllocatedBuffers() const { return static_cast<int>(buffers_.size()); }

 private:
  VideoFrame* FreeView();
  VideoFrameBuffer* FreeBuffer(int size);

  std::vector<VideoFrame*> frames_;
  std::vector<VideoFrameBuffer*> buffers_;
};
