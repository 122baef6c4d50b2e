// Frame and buffer allocators behind the Media SDK's callback tables. Each class
// derives from the table record, whose `pthis` points at the object and whose
// callbacks forward to the virtual operations, so one object serves both as a C++
// object and as the table the SDK's conventions expect.
#pragma once

#include <cstdint>
#include <list>

#include <mfx/mfxvideo.h>

// Parameters of an allocator's Init; each allocator kind has its own subclass.
class mfxAllocatorParams {
 public:
  virtual ~mfxAllocatorParams() = default;
};

class MFXFrameAllocator : public mfxFrameAllocator {
 public:
  MFXFrameAllocator();
  virtual ~MFXFrameAllocator() = default;
  MFXFrameAllocator(const MFXFrameAllocator&) = delete;
  MFXFrameAllocator& operator=(const MFXFrameAllocator&) = delete;

  virtual mfxStatus Init(mfxAllocatorParams* params) = 0;
  virtual mfxStatus Close() = 0;
  virtual mfxStatus AllocFrames(mfxFrameAllocRequest* request, mfxFrameAllocResponse* response) = 0;
  virtual mfxStatus LockFrame(mfxMemId mid, mfxFrameData* data) = 0;
  virtual mfxStatus UnlockFrame(mfxMemId mid, mfxFrameData* data) = 0;
  virtual mfxStatus GetFrameHandle(mfxMemId mid, mfxHDL* handle) = 0;
  virtual mfxStatus FreeFrames(mfxFrameAllocResponse* response) = 0;
};

class MFXBufferAllocator : public mfxBufferAllocator {
 public:
  MFXBufferAllocator();
  virtual ~MFXBufferAllocator() = default;
  MFXBufferAllocator(const MFXBufferAllocator&) = delete;
  MFXBufferAllocator& operator=(const MFXBufferAllocator&) = delete;

  virtual mfxStatus AllocBuffer(mfxU32 size, mfxU16 type, mfxMemId* mid) = 0;
  virtual mfxStatus LockBuffer(mfxMemId mid, mfxU8** pointer) = 0;
  virtual mfxStatus UnlockBuffer(mfxMemId mid) = 0;
  virtual mfxStatus FreeBuffer(mfxMemId mid) = 0;
};

// A response made for a request that decoders may share (external frames for a
// decoder), remembered with the crop size it was made for and how many users hold it.
struct SharedResponse {
  mfxFrameAllocResponse response;
  uint16_t cropWidth;
  uint16_t cropHeight;
  uint32_t refCount;
  uint16_t type;
};

// The bookkeeping common to frame allocators: which responses were handed out, and
// sharing of decoder responses. The memory itself comes from AllocImpl and goes back
// through ReleaseResponse.
class BaseFrameAllocator : public MFXFrameAllocator {
 public:
  BaseFrameAllocator() = default;
  ~BaseFrameAllocator() override;

  mfxStatus Close() override;
  mfxStatus AllocFrames(mfxFrameAllocRequest* request, mfxFrameAllocResponse* response) override;
  mfxStatus FreeFrames(mfxFrameAllocResponse* response) override;

  virtual mfxStatus CheckRequestType(mfxFrameAllocRequest* request);
  virtual mfxStatus ReleaseResponse(mfxFrameAllocResponse* response) = 0;
  virtual mfxStatus AllocImpl(mfxFrameAllocRequest* request, mfxFrameAllocResponse* response) = 0;

 protected:
  std::list<mfxFrameAllocResponse> responses;
  std::list<SharedResponse> sharedResponses;
};
