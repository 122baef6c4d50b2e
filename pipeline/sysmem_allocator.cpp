#include "pipeline/sysmem_allocator.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

uint32_t alignTo32(uint32_t value) { return (value + 31) & ~31u; }

BufferHeader* headerOf(mfxMemId mid) { return static_cast<BufferHeader*>(mid); }

bool isBufferBlock(mfxMemId mid) { return mid && headerOf(mid)->magic == kBufferMagic; }

// The first 32-byte boundary at least 32 bytes into the block.
mfxU8* dataAreaOf(mfxMemId mid) {
  return reinterpret_cast<mfxU8*>((reinterpret_cast<uintptr_t>(mid) + 63) & ~uintptr_t{31});
}

}  // namespace

uint64_t FramePlaneBytes(uint32_t fourCC, uint32_t width, uint32_t height) {
  const uint64_t w = alignTo32(width);
  const uint64_t h = alignTo32(height);
  const uint64_t yuv420 = w * h + 2 * (w / 2) * (h / 2);
  switch (fourCC) {
    case MFX_FOURCC_NV12:
    case MFX_FOURCC_YV12:
      return yuv420;
    case MFX_FOURCC_P010:
    case MFX_FOURCC_RGB3:
      return 2 * yuv420;
    case MFX_FOURCC_RGB4:
    case MFX_FOURCC_A2RGB10:
      return 4 * w * h;
    case MFX_FOURCC_YUY2:
    case MFX_FOURCC_R16:
      return 2 * w * h;
    default:
      return 0;
  }
}

// ---- buffers ----

mfxStatus SysMemBufferAllocator::AllocBuffer(mfxU32 size, mfxU16 type, mfxMemId* mid) {
  if (!mid) return MFX_ERR_NULL_PTR;
  if (!(type & MFX_MEMTYPE_SYSTEM_MEMORY)) return MFX_ERR_UNSUPPORTED;
  const uint64_t blockSize = uint64_t{size} + kBufferHeaderRoom;
  if (blockSize > UINT32_MAX) return MFX_ERR_MEMORY_ALLOC;
  void* block = std::calloc(1, blockSize);
  if (!block) return MFX_ERR_MEMORY_ALLOC;
  *static_cast<BufferHeader*>(block) = BufferHeader{kBufferMagic, size, type};
  *mid = block;
  return MFX_ERR_NONE;
}

mfxStatus SysMemBufferAllocator::LockBuffer(mfxMemId mid, mfxU8** pointer) {
  if (!pointer) return MFX_ERR_NULL_PTR;
  if (!isBufferBlock(mid)) return MFX_ERR_INVALID_HANDLE;
  *pointer = dataAreaOf(mid);
  return MFX_ERR_NONE;
}

mfxStatus SysMemBufferAllocator::UnlockBuffer(mfxMemId mid) {
  return isBufferBlock(mid) ? MFX_ERR_NONE : MFX_ERR_INVALID_HANDLE;
}

mfxStatus SysMemBufferAllocator::FreeBuffer(mfxMemId mid) {
  if (!isBufferBlock(mid)) return MFX_ERR_INVALID_HANDLE;
  std::free(mid);
  return MFX_ERR_NONE;
}

// ---- frames ----

SysMemFrameAllocator::SysMemFrameAllocator() : bufferAllocator(nullptr), ownsBufferAllocator(false) {}

SysMemFrameAllocator::~SysMemFrameAllocator() { Close(); }

mfxStatus SysMemFrameAllocator::Init(mfxAllocatorParams* params) {
  if (params) {
    auto* sysMemParams = dynamic_cast<SysMemAllocatorParams*>(params);
    if (!sysMemParams) return MFX_ERR_NOT_INITIALIZED;
    bufferAllocator = sysMemParams->bufferAllocator;
    ownsBufferAllocator = false;
  }
  if (bufferAllocator) return MFX_ERR_NONE;
  bufferAllocator = new (std::nothrow) SysMemBufferAllocator;
  if (!bufferAllocator) return MFX_ERR_MEMORY_ALLOC;
  ownsBufferAllocator = true;
  return MFX_ERR_NONE;
}

mfxStatus SysMemFrameAllocator::Close() {
  mfxStatus status = BaseFrameAllocator::Close();
  if (ownsBufferAllocator) {
    delete bufferAllocator;
    bufferAllocator = nullptr;
    ownsBufferAllocator = false;
  }
  return status;
}

mfxStatus SysMemFrameAllocator::CheckRequestType(mfxFrameAllocRequest* request) {
  mfxStatus status = BaseFrameAllocator::CheckRequestType(request);
  if (status != MFX_ERR_NONE) return status;
  return (request->Type & MFX_MEMTYPE_SYSTEM_MEMORY) ? MFX_ERR_NONE : MFX_ERR_UNSUPPORTED;
}

mfxStatus SysMemFrameAllocator::AllocImpl(mfxFrameAllocRequest* request, mfxFrameAllocResponse* response) {
  if (!bufferAllocator) return MFX_ERR_NOT_INITIALIZED;
  const uint64_t planeBytes = FramePlaneBytes(request->Info.FourCC, request->Info.Width, request->Info.Height);
  if (planeBytes == 0) return MFX_ERR_UNSUPPORTED;
  // A frame that cannot be described by a 32-bit block size is refused rather than
  // allocated short.
  if (planeBytes + kFrameHeaderSize + kBufferHeaderRoom > UINT32_MAX) return MFX_ERR_MEMORY_ALLOC;
  const mfxU32 frameBytes = static_cast<mfxU32>(planeBytes + kFrameHeaderSize);

  const mfxU16 count = request->NumFrameSuggested;
  auto* mids = static_cast<mfxMemId*>(std::calloc(count, sizeof(mfxMemId)));
  if (!mids) return MFX_ERR_MEMORY_ALLOC;

  bool complete = true;
  for (mfxU16 i = 0; i < count && complete; ++i) {
    mfxMemId mid = nullptr;
    if (bufferAllocator->Alloc(bufferAllocator->pthis, frameBytes, request->Type, &mid) != MFX_ERR_NONE) {
      complete = false;
      break;
    }
    mids[i] = mid;
    mfxU8* data = nullptr;
    if (bufferAllocator->Lock(bufferAllocator->pthis, mid, &data) != MFX_ERR_NONE) {
      complete = false;
      break;
    }
    std::memcpy(data, &kFrameMagic, sizeof(kFrameMagic));
    std::memcpy(data + sizeof(kFrameMagic), &request->Info, sizeof(mfxFrameInfo));
    complete = bufferAllocator->Unlock(bufferAllocator->pthis, mid) == MFX_ERR_NONE;
  }
  if (!complete) {
    // Give back the blocks made so far, not just the array.
    for (mfxU16 i = 0; i < count; ++i)
      if (mids[i]) bufferAllocator->Free(bufferAllocator->pthis, mids[i]);
    std::free(mids);
    return MFX_ERR_MEMORY_ALLOC;
  }
  response->mids = mids;
  response->NumFrameActual = count;
  return MFX_ERR_NONE;
}

mfxStatus SysMemFrameAllocator::LockFrame(mfxMemId mid, mfxFrameData* data) {
  if (!bufferAllocator) return MFX_ERR_NOT_INITIALIZED;
  if (!data) return MFX_ERR_NULL_PTR;
  mfxU8* area = nullptr;
  mfxStatus status = bufferAllocator->Lock(bufferAllocator->pthis, mid, &area);
  if (status != MFX_ERR_NONE) return status;
  uint32_t magic;
  std::memcpy(&magic, area, sizeof(magic));
  if (magic != kFrameMagic) {
    bufferAllocator->Unlock(bufferAllocator->pthis, mid);
    return MFX_ERR_INVALID_HANDLE;
  }
  mfxFrameInfo info;
  std::memcpy(&info, area + sizeof(magic), sizeof(info));
  const uint32_t w2 = alignTo32(info.Width);
  const uint32_t h2 = alignTo32(info.Height);
  const size_t lumaBytes = size_t{w2} * h2;
  mfxU8* planes = area + kFrameHeaderSize;
  switch (info.FourCC) {
    case MFX_FOURCC_NV12:
      data->Y = planes;
      data->U = planes + lumaBytes;
      data->V = planes + lumaBytes + 1;
      data->Pitch = static_cast<mfxU16>(w2);
      break;
    case MFX_FOURCC_YV12:
      data->Y = planes;
      data->V = planes + lumaBytes;
      data->U = data->V + size_t{w2 / 2} * (h2 / 2);
      data->Pitch = static_cast<mfxU16>(w2);
      break;
    case MFX_FOURCC_P010:
      data->Y = planes;
      data->U = planes + 2 * lumaBytes;
      data->V = planes + 2 * lumaBytes + 2;
      data->Pitch = static_cast<mfxU16>(2 * w2);
      break;
    case MFX_FOURCC_YUY2:
      data->Y = planes;
      data->U = planes + 1;
      data->V = planes + 3;
      data->Pitch = static_cast<mfxU16>(2 * w2);
      break;
    case MFX_FOURCC_RGB3:
      data->R = planes + 2;
      data->G = planes + 1;
      data->B = planes;
      data->Pitch = static_cast<mfxU16>(3 * w2);
      break;
    case MFX_FOURCC_RGB4:
    case MFX_FOURCC_A2RGB10:
      data->R = planes + 2;
      data->G = planes + 1;
      data->B = planes;
      data->A = planes + 3;
      data->Pitch = static_cast<mfxU16>(4 * w2);
      break;
    case MFX_FOURCC_R16:
      data->Y = planes;
      data->V = planes;
      data->Pitch = static_cast<mfxU16>(2 * w2);
      break;
    default:
      return MFX_ERR_UNSUPPORTED;
  }
  return MFX_ERR_NONE;
}

mfxStatus SysMemFrameAllocator::UnlockFrame(mfxMemId mid, mfxFrameData* data) {
  if (!bufferAllocator) return MFX_ERR_NOT_INITIALIZED;
  mfxStatus status = bufferAllocator->Unlock(bufferAllocator->pthis, mid);
  if (status != MFX_ERR_NONE || !data) return status;
  data->Pitch = 0;
  data->Y = nullptr;
  data->U = nullptr;
  data->V = nullptr;
  return MFX_ERR_NONE;
}

mfxStatus SysMemFrameAllocator::GetFrameHandle(mfxMemId, mfxHDL*) { return MFX_ERR_UNSUPPORTED; }

mfxStatus SysMemFrameAllocator::ReleaseResponse(mfxFrameAllocResponse* response) {
  if (!response) return MFX_ERR_NULL_PTR;
  if (!bufferAllocator) return MFX_ERR_NOT_INITIALIZED;
  if (response->mids) {
    for (mfxU16 i = 0; i < response->NumFrameActual; ++i) {
      if (!response->mids[i]) continue;
      mfxStatus status = bufferAllocator->Free(bufferAllocator->pthis, response->mids[i]);
      if (status != MFX_ERR_NONE) return status;
    }
    std::free(response->mids);
    response->mids = nullptr;
  }
  return MFX_ERR_NONE;
}
