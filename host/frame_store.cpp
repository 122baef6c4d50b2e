#include "host/frame_store.h"

#include <cstdlib>
#include <new>

namespace {

constexpr int kMinAlign = 64;

int AlignUp(int value, int align) { return (value + align - 1) / align * align; }

}  // namespace

// The interface declares only the prefix of these objects; this host's own
// objects are exactly that prefix.
VideoFrameBuffer* AvsFrameAccess::NewBuffer(int size) {
  auto* buffer = new VideoFrameBuffer;
  buffer->data = static_cast<BYTE*>(std::aligned_alloc(kMinAlign, AlignUp(size, kMinAlign)));
  if (!buffer->data) {
    delete buffer;
    throw std::bad_alloc();
  }
  buffer->data_size = size;
  buffer->sequence_number = 0;
  buffer->refcount = 0;
  return buffer;
}

void AvsFrameAccess::DeleteBuffer(VideoFrameBuffer* buffer) {
  std::free(buffer->data);
  delete buffer;
}

VideoFrame* AvsFrameAccess::NewFrame() {
  auto* frame = new VideoFrame;
  frame->refcount = 0;
  frame->vfb = nullptr;
  frame->offset = frame->pitch = frame->row_size = frame->height = 0;
  frame->offsetU = frame->offsetV = frame->pitchUV = 0;
  return frame;
}

void AvsFrameAccess::DeleteFrame(VideoFrame* frame) { delete frame; }

void AvsFrameAccess::Attach(VideoFrame* frame, VideoFrameBuffer* buffer, int offset, int pitch,
                            int rowSize, int height, int offsetU, int offsetV, int pitchUV) {
  frame->vfb = buffer;
  ++buffer->refcount;
  frame->offset = offset;
  frame->pitch = pitch;
  frame->row_size = rowSize;
  frame->height = height;
  frame->offsetU = offsetU;
  frame->offsetV = offsetV;
  frame->pitchUV = pitchUV;
}

long AvsFrameAccess::FrameRefcount(const VideoFrame* frame) { return frame->refcount; }
long AvsFrameAccess::BufferRefcount(const VideoFrameBuffer* buffer) { return buffer->refcount; }
VideoFrameBuffer* AvsFrameAccess::Buffer(const VideoFrame* frame) { return frame->vfb; }
int AvsFrameAccess::OffsetY(const VideoFrame* frame) { return frame->offset; }
int AvsFrameAccess::OffsetU(const VideoFrame* frame) { return frame->offsetU; }
int AvsFrameAccess::OffsetV(const VideoFrame* frame) { return frame->offsetV; }

FrameStore::~FrameStore() {
  for (VideoFrame* frame : frames_) AvsFrameAccess::DeleteFrame(frame);
  for (VideoFrameBuffer* buffer : buffers_) AvsFrameAccess::DeleteBuffer(buffer);
}

VideoFrame* FrameStore::FreeView() {
  for (VideoFrame* frame : frames_) {
    if (AvsFrameAccess::FrameRefcount(frame) == 0) return frame;
  }
  frames_.push_back(AvsFrameAccess::NewFrame());
  return frames_.back();
}

VideoFrameBuffer* FrameStore::FreeBuffer(int size) {
  for (VideoFrameBuffer* buffer : buffers_) {
    if (AvsFrameAccess::BufferRefcount(buffer) == 0 && buffer->GetDataSize() == size) return buffer;
  }
  buffers_.push_back(AvsFrameAccess::NewBuffer(size));
  return buffers_.back();
}

PVideoFrame FrameStore::NewPlanarFrame(const VideoInfo& vi, int align) {
  if (align < 0) align = -align;
  if (align < kMinAlign) align = kMinAlign;
  const int pitch = AlignUp(vi.width, align);
  const int pitchUV = AlignUp(vi.width / 2, align);
  const int lumaSize = pitch * vi.height;
  const int chromaSize = pitchUV * (vi.height / 2);
  const int size = lumaSize + 2 * chromaSize;

  VideoFrameBuffer* buffer = FreeBuffer(size);
  // A view whose buffer count is 0 may still point at its old buffer: detach it.
  VideoFrame* frame = FreeView();
  const int first = lumaSize;
  const int second = lumaSize + chromaSize;
  const bool uFirst = vi.pixel_type == VideoInfo::CS_I420;
  AvsFrameAccess::Attach(frame, buffer, 0, pitch, vi.width, vi.height, uFirst ? first : second,
                         uFirst ? second : first, pitchUV);
  return PVideoFrame(frame);
}

PVideoFrame FrameStore::NewView(const PVideoFrame& src, int offset, int pitch, int rowSize,
                                int height, int offsetU, int offsetV, int pitchUV) {
  VideoFrame* frame = FreeView();
  AvsFrameAccess::Attach(frame, AvsFrameAccess::Buffer(src.get()), offset, pitch, rowSize, height,
                         offsetU, offsetV, pitchUV);
  return PVideoFrame(frame);
}

int FrameStore::LiveFrames() const {
  int count = 0;
  for (const VideoFrame* frame : frames_) count += AvsFrameAccess::FrameRefcount(frame) > 0;
  return count;
}

int FrameStore::LiveBuffers() const {
  int count = 0;
  for (const VideoFrameBuffer* buffer : buffers_)
    count += AvsFrameAccess::BufferRefcount(buffer) > 0;
  return count;
}
