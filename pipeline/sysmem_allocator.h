// Frames and buffers in system memory. Each frame is one buffer block: a "BUFF"
// header, then a 32-byte aligned data area that starts with a "FRME" header holding
// the frame's mfxFrameInfo, and the planes 96 bytes into the data area.
#pragma once

#include <cstdint>

#include "pipeline/frame_allocator.h"

constexpr uint32_t kBufferMagic = 0x46465542;  // "BUFF" in memory order
constexpr uint32_t kFrameMagic = 0x454D5246;   // "FRME" in memory order
constexpr uint32_t kBufferHeaderRoom = 64;     // extra bytes of a block around its data area
constexpr uint32_t kFrameHeaderSize = 96;      // bytes before the planes in a frame's data area

// The header at the start of each buffer block (the block's address is its mfxMemId).
struct BufferHeader {
  uint32_t magic;
  uint32_t size;  // bytes asked for
  uint32_t type;  // memory-type flags asked for
};

class SysMemBufferAllocator : public MFXBufferAllocator {
 public:
  SysMemBufferAllocator() = default;
  ~SysMemBufferAllocator() override = default;

  mfxStatus AllocBuffer(mfxU32 size, mfxU16 type, mfxMemId* mid) override;
  mfxStatus LockBuffer(mfxMemId mid, mfxU8** pointer) override;
  mfxStatus UnlockBuffer(mfxMemId mid) override;
  mfxStatus FreeBuffer(mfxMemId mid) override;
};

class SysMemAllocatorParams : public mfxAllocatorParams {
 public:
  MFXBufferAllocator* bufferAllocator = nullptr;
};

class SysMemFrameAllocator : public BaseFrameAllocator {
 public:
  SysMemFrameAllocator();
  ~SysMemFrameAllocator() override;

  // With null params the allocator makes (and owns) its own buffer allocator.
  mfxStatus Init(mfxAllocatorParams* params) override;
  mfxStatus Close() override;
  mfxStatus LockFrame(mfxMemId mid, mfxFrameData* data) override;
  mfxStatus UnlockFrame(mfxMemId mid, mfxFrameData* data) override;
  mfxStatus GetFrameHandle(mfxMemId mid, mfxHDL* handle) override;

  mfxStatus CheckRequestType(mfxFrameAllocRequest* request) override;
  mfxStatus ReleaseResponse(mfxFrameAllocResponse* response) override;
  mfxStatus AllocImpl(mfxFrameAllocRequest* request, mfxFrameAllocResponse* response) override;

 private:
  MFXBufferAllocator* bufferAllocator;
  bool ownsBufferAllocator;
};

// Bytes of the planes of one frame of the given FourCC and size (each side rounded up
// to 32), or 0 for a FourCC without a layout here.
uint64_t FramePlaneBytes(uint32_t fourCC, uint32_t width, uint32_t height);
