#include "pipeline/frame_allocator.h"

#include <cstring>

namespace {

MFXFrameAllocator* frameAllocatorOf(mfxHDL pthis) { return static_cast<MFXFrameAllocator*>(pthis); }
MFXBufferAllocator* bufferAllocatorOf(mfxHDL pthis) { return static_cast<MFXBufferAllocator*>(pthis); }

mfxStatus forwardAlloc(mfxHDL pthis, mfxFrameAllocRequest* request, mfxFrameAllocResponse* response) {
  return pthis ? frameAllocatorOf(pthis)->AllocFrames(request, response) : MFX_ERR_MEMORY_ALLOC;
}
mfxStatus forwardLock(mfxHDL pthis, mfxMemId mid, mfxFrameData* data) {
  return pthis ? frameAllocatorOf(pthis)->LockFrame(mid, data) : MFX_ERR_MEMORY_ALLOC;
}
mfxStatus forwardUnlock(mfxHDL pthis, mfxMemId mid, mfxFrameData* data) {
  return pthis ? frameAllocatorOf(pthis)->UnlockFrame(mid, data) : MFX_ERR_MEMORY_ALLOC;
}
mfxStatus forwardGetHandle(mfxHDL pthis, mfxMemId mid, mfxHDL* handle) {
  return pthis ? frameAllocatorOf(pthis)->GetFrameHandle(mid, handle) : MFX_ERR_MEMORY_ALLOC;
}
mfxStatus forwardFree(mfxHDL pthis, mfxFrameAllocResponse* response) {
  return pthis ? frameAllocatorOf(pthis)->FreeFrames(response) : MFX_ERR_MEMORY_ALLOC;
}

mfxStatus forwardAllocBuffer(mfxHDL pthis, mfxU32 size, mfxU16 type, mfxMemId* mid) {
  return pthis ? bufferAllocatorOf(pthis)->AllocBuffer(size, type, mid) : MFX_ERR_MEMORY_ALLOC;
}
mfxStatus forwardLockBuffer(mfxHDL pthis, mfxMemId mid, mfxU8** pointer) {
  return pthis ? bufferAllocatorOf(pthis)->LockBuffer(mid, pointer) : MFX_ERR_MEMORY_ALLOC;
}
mfxStatus forwardUnlockBuffer(mfxHDL pthis, mfxMemId mid) {
  return pthis ? bufferAllocatorOf(pthis)->UnlockBuffer(mid) : MFX_ERR_MEMORY_ALLOC;
}
mfxStatus forwardFreeBuffer(mfxHDL pthis, mfxMemId mid) {
  return pthis ? bufferAllocatorOf(pthis)->FreeBuffer(mid) : MFX_ERR_MEMORY_ALLOC;
}

// Two responses name the same frames when both have frames and their first frame
// and frame count agree.
bool sameResponse(const mfxFrameAllocResponse& a, const mfxFrameAllocResponse& b) {
  return a.mids && b.mids && a.NumFrameActual > 0 && a.NumFrameActual == b.NumFrameActual &&
         a.mids[0] == b.mids[0];
}

}  // namespace

MFXFrameAllocator::MFXFrameAllocator() {
  std::memset(static_cast<mfxFrameAllocator*>(this), 0, sizeof(mfxFrameAllocator));
  pthis = this;
  Alloc = forwardAlloc;
  Lock = forwardLock;
  Unlock = forwardUnlock;
  GetHDL = forwardGetHandle;
  Free = forwardFree;
}

MFXBufferAllocator::MFXBufferAllocator() {
  std::memset(static_cast<mfxBufferAllocator*>(this), 0, sizeof(mfxBufferAllocator));
  pthis = this;
  Alloc = forwardAllocBuffer;
  Lock = forwardLockBuffer;
  Unlock = forwardUnlockBuffer;
  Free = forwardFreeBuffer;
}

// A subclass's destructor releases the memory (it alone knows how); here only the
// lists go.
BaseFrameAllocator::~BaseFrameAllocator() {
  responses.clear();
  sharedResponses.clear();
}

mfxStatus BaseFrameAllocator::CheckRequestType(mfxFrameAllocRequest* request) {
  if (!request) return MFX_ERR_NULL_PTR;
  return (request->Type & 0xF00) ? MFX_ERR_NONE : MFX_ERR_UNSUPPORTED;
}

mfxStatus BaseFrameAllocator::AllocFrames(mfxFrameAllocRequest* request, mfxFrameAllocResponse* response) {
  if (!request || !response || request->NumFrameSuggested == 0) return MFX_ERR_MEMORY_ALLOC;
  if (CheckRequestType(request) != MFX_ERR_NONE) return MFX_ERR_UNSUPPORTED;

  constexpr mfxU16 kSharedKind = MFX_MEMTYPE_EXTERNAL_FRAME | MFX_MEMTYPE_FROM_DECODE;
  if ((request->Type & kSharedKind) == kSharedKind) {
    for (SharedResponse& shared : sharedResponses) {
      if (shared.cropWidth == request->Info.CropW && shared.cropHeight == request->Info.CropH) {
        if (request->NumFrameSuggested > shared.response.NumFrameActual) return MFX_ERR_MEMORY_ALLOC;
        ++shared.refCount;
        *response = shared.response;
        return MFX_ERR_NONE;
      }
    }
    mfxStatus status = AllocImpl(request, response);
    if (status == MFX_ERR_NONE)
      sharedResponses.push_back(SharedResponse{*response, request->Info.CropW, request->Info.CropH, 1,
                                               static_cast<uint16_t>(request->Type & 0xF00)});
    return status;
  }

  responses.push_back(mfxFrameAllocResponse{});
  mfxStatus status = AllocImpl(request, response);
  if (status == MFX_ERR_NONE) {
    responses.back() = *response;
    return MFX_ERR_NONE;
  }
  responses.pop_back();
  return status;
}

mfxStatus BaseFrameAllocator::FreeFrames(mfxFrameAllocResponse* response) {
  if (!response) return MFX_ERR_INVALID_HANDLE;
  for (auto shared = sharedResponses.begin(); shared != sharedResponses.end(); ++shared) {
    if (sameResponse(shared->response, *response)) {
      if (--shared->refCount > 0) return MFX_ERR_NONE;
      mfxStatus status = ReleaseResponse(response);
      sharedResponses.erase(shared);
      return status;
    }
  }
  for (auto entry = responses.begin(); entry != responses.end(); ++entry) {
    if (sameResponse(*entry, *response)) {
      mfxStatus status = ReleaseResponse(response);
      responses.erase(entry);
      return status;
    }
  }
  return MFX_ERR_INVALID_HANDLE;
}

mfxStatus BaseFrameAllocator::Close() {
  for (SharedResponse& shared : sharedResponses) ReleaseResponse(&shared.response);
  sharedResponses.clear();
  for (mfxFrameAllocResponse& entry : responses) ReleaseResponse(&entry);
  return MFX_ERR_NONE;
}
