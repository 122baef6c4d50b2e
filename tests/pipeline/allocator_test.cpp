#include <cstring>

#include <gtest/gtest.h>

#include "pipeline/sysmem_allocator.h"

namespace {

constexpr mfxU16 kDecoderType = MFX_MEMTYPE_EXTERNAL_FRAME | MFX_MEMTYPE_FROM_DECODE | MFX_MEMTYPE_SYSTEM_MEMORY;
constexpr mfxU16 kPrivateType = MFX_MEMTYPE_INTERNAL_FRAME | MFX_MEMTYPE_FROM_DECODE | MFX_MEMTYPE_SYSTEM_MEMORY;

mfxFrameAllocRequest makeRequest(mfxU32 fourCC, mfxU16 width, mfxU16 height, mfxU16 frames, mfxU16 type) {
  mfxFrameAllocRequest request{};
  request.Info.FourCC = fourCC;
  request.Info.Width = width;
  request.Info.Height = height;
  request.Info.CropW = width;
  request.Info.CropH = height;
  request.Info.ChromaFormat = MFX_CHROMAFORMAT_YUV420;
  request.NumFrameMin = frames;
  request.NumFrameSuggested = frames;
  request.Type = type;
  return request;
}

class FrameAllocatorTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(allocator.Init(nullptr), MFX_ERR_NONE); }
  // Through the SDK table, the way the pipeline calls it.
  mfxStatus alloc(mfxFrameAllocRequest* request, mfxFrameAllocResponse* response) {
    return allocator.Alloc(allocator.pthis, request, response);
  }
  mfxStatus free(mfxFrameAllocResponse* response) { return allocator.Free(allocator.pthis, response); }
  SysMemFrameAllocator allocator;
};

}  // namespace

TEST_F(FrameAllocatorTest, FullHdNv12BlockAndPlanes) {
  mfxFrameAllocRequest request = makeRequest(MFX_FOURCC_NV12, 1920, 1080, 2, kDecoderType);
  mfxFrameAllocResponse response{};
  ASSERT_EQ(alloc(&request, &response), MFX_ERR_NONE);
  ASSERT_EQ(response.NumFrameActual, 2);
  ASSERT_NE(response.mids, nullptr);

  const auto* header = static_cast<const BufferHeader*>(response.mids[0]);
  EXPECT_EQ(header->magic, kBufferMagic);
  EXPECT_EQ(std::memcmp(header, "BUFF", 4), 0);
  EXPECT_EQ(header->size, 1920u * 1088 * 3 / 2 + 96);  // the block is this + 64
  EXPECT_EQ(header->type, kDecoderType);

  mfxFrameData data{};
  ASSERT_EQ(allocator.Lock(allocator.pthis, response.mids[0], &data), MFX_ERR_NONE);
  EXPECT_EQ(data.Pitch, 1920);
  const auto blockStart = reinterpret_cast<uintptr_t>(response.mids[0]);
  const auto area = reinterpret_cast<uintptr_t>(data.Y) - 96;
  EXPECT_EQ(area % 32, 0u);
  EXPECT_GE(area - blockStart, 32u);
  EXPECT_LT(area - blockStart, 64u);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(area), "FRME", 4), 0);
  EXPECT_EQ(data.UV, data.Y + 1920 * 1088);
  EXPECT_EQ(data.V, data.Y + 1920 * 1088 + 1);
  // The last chroma byte lies inside the block (ASan checks the write).
  data.UV[1920 * 544 - 1] = 0x80;
  ASSERT_EQ(allocator.Unlock(allocator.pthis, response.mids[0], &data), MFX_ERR_NONE);
  EXPECT_EQ(data.Y, nullptr);
  EXPECT_EQ(data.Pitch, 0);

  mfxHDL handle = nullptr;
  EXPECT_EQ(allocator.GetHDL(allocator.pthis, response.mids[0], &handle), MFX_ERR_UNSUPPORTED);
  EXPECT_EQ(free(&response), MFX_ERR_NONE);
}

TEST_F(FrameAllocatorTest, Yv12PlaneOrderIsLumaThenVThenU) {
  mfxFrameAllocRequest request = makeRequest(MFX_FOURCC_YV12, 100, 50, 1, kPrivateType);
  mfxFrameAllocResponse response{};
  ASSERT_EQ(alloc(&request, &response), MFX_ERR_NONE);
  mfxFrameData data{};
  ASSERT_EQ(allocator.Lock(allocator.pthis, response.mids[0], &data), MFX_ERR_NONE);
  EXPECT_EQ(data.Pitch, 128);
  EXPECT_EQ(data.V, data.Y + 128 * 64);
  EXPECT_EQ(data.U, data.V + 64 * 32);
  EXPECT_EQ(free(&response), MFX_ERR_NONE);
}

TEST_F(FrameAllocatorTest, RefusedRequestsTakeNoMemory) {
  mfxFrameAllocResponse response{};
  mfxFrameAllocRequest odd = makeRequest(MFX_FOURCC_NV16, 64, 64, 2, kDecoderType);
  EXPECT_EQ(alloc(&odd, &response), MFX_ERR_UNSUPPORTED);
  mfxFrameAllocRequest video = makeRequest(MFX_FOURCC_NV12, 64, 64, 2,
                                           MFX_MEMTYPE_EXTERNAL_FRAME | MFX_MEMTYPE_FROM_DECODE);
  EXPECT_EQ(alloc(&video, &response), MFX_ERR_UNSUPPORTED);
  mfxFrameAllocRequest noSource = makeRequest(MFX_FOURCC_NV12, 64, 64, 2, MFX_MEMTYPE_SYSTEM_MEMORY);
  EXPECT_EQ(alloc(&noSource, &response), MFX_ERR_UNSUPPORTED);
  // A frame whose block size would not fit the 32-bit size field is refused, not cut short.
  mfxFrameAllocRequest huge = makeRequest(MFX_FOURCC_RGB4, 65535, 65535, 1, kPrivateType);
  EXPECT_EQ(alloc(&huge, &response), MFX_ERR_MEMORY_ALLOC);
  mfxFrameAllocRequest none = makeRequest(MFX_FOURCC_NV12, 64, 64, 0, kDecoderType);
  EXPECT_EQ(alloc(&none, &response), MFX_ERR_MEMORY_ALLOC);
  EXPECT_EQ(response.mids, nullptr);
  // A failed private request leaves no entry behind: freeing it finds nothing.
  EXPECT_EQ(free(&response), MFX_ERR_INVALID_HANDLE);
}

TEST_F(FrameAllocatorTest, FreeingTwiceOrFreeingAStrangerIsRefused) {
  mfxFrameAllocRequest request = makeRequest(MFX_FOURCC_NV12, 64, 64, 3, kPrivateType);
  mfxFrameAllocResponse response{};
  ASSERT_EQ(alloc(&request, &response), MFX_ERR_NONE);
  mfxFrameAllocResponse copy = response;
  EXPECT_EQ(free(&response), MFX_ERR_NONE);
  EXPECT_EQ(response.mids, nullptr);
  EXPECT_EQ(free(&response), MFX_ERR_INVALID_HANDLE);
  EXPECT_EQ(free(&copy), MFX_ERR_INVALID_HANDLE);  // stale mids of a freed response
  mfxFrameAllocResponse stranger{};
  EXPECT_EQ(free(&stranger), MFX_ERR_INVALID_HANDLE);
  EXPECT_EQ(free(nullptr), MFX_ERR_INVALID_HANDLE);
}

TEST_F(FrameAllocatorTest, SharedResponsesAreReusedAndCounted) {
  mfxFrameAllocRequest request = makeRequest(MFX_FOURCC_NV12, 64, 64, 4, kDecoderType);
  mfxFrameAllocResponse first{};
  ASSERT_EQ(alloc(&request, &first), MFX_ERR_NONE);

  mfxFrameAllocRequest more = makeRequest(MFX_FOURCC_NV12, 64, 64, 5, kDecoderType);
  mfxFrameAllocResponse refused{};
  EXPECT_EQ(alloc(&more, &refused), MFX_ERR_MEMORY_ALLOC);

  mfxFrameAllocRequest fewer = makeRequest(MFX_FOURCC_NV12, 64, 64, 2, kDecoderType);
  mfxFrameAllocResponse second{};
  ASSERT_EQ(alloc(&fewer, &second), MFX_ERR_NONE);
  EXPECT_EQ(second.mids, first.mids);
  EXPECT_EQ(second.NumFrameActual, 4);

  // Another crop size is another shared response.
  mfxFrameAllocRequest other = makeRequest(MFX_FOURCC_NV12, 64, 32, 2, kDecoderType);
  mfxFrameAllocResponse third{};
  ASSERT_EQ(alloc(&other, &third), MFX_ERR_NONE);
  EXPECT_NE(third.mids, first.mids);

  mfxFrameData data{};
  EXPECT_EQ(free(&second), MFX_ERR_NONE);  // one user left: the frames stay
  ASSERT_EQ(allocator.Lock(allocator.pthis, first.mids[3], &data), MFX_ERR_NONE);
  EXPECT_EQ(free(&first), MFX_ERR_NONE);   // last user: released
  EXPECT_EQ(first.mids, nullptr);
  EXPECT_EQ(free(&second), MFX_ERR_INVALID_HANDLE);
  // `third` is released by Close (destructor); the leak detector checks it.
}

TEST_F(FrameAllocatorTest, CloseReleasesEverythingAndLaterFreesAreRefused) {
  mfxFrameAllocRequest request = makeRequest(MFX_FOURCC_NV12, 64, 64, 2, kPrivateType);
  mfxFrameAllocResponse response{};
  ASSERT_EQ(alloc(&request, &response), MFX_ERR_NONE);
  const mfxMemId firstFrame = response.mids[0];
  EXPECT_EQ(allocator.Close(), MFX_ERR_NONE);
  // The caller's copy still names the released array; the allocator knows it is gone.
  EXPECT_EQ(free(&response), MFX_ERR_INVALID_HANDLE);
  mfxFrameData data{};
  EXPECT_EQ(allocator.Lock(allocator.pthis, firstFrame, &data), MFX_ERR_NOT_INITIALIZED);
}

TEST(SysMemBufferAllocator, HeadersAreCheckedBeforeUse) {
  SysMemBufferAllocator buffers;
  mfxMemId mid = nullptr;
  EXPECT_EQ(buffers.Alloc(buffers.pthis, 100, MFX_MEMTYPE_DXVA2_DECODER_TARGET, &mid), MFX_ERR_UNSUPPORTED);
  EXPECT_EQ(buffers.Alloc(buffers.pthis, 100, MFX_MEMTYPE_SYSTEM_MEMORY, nullptr), MFX_ERR_NULL_PTR);
  ASSERT_EQ(buffers.Alloc(buffers.pthis, 100, MFX_MEMTYPE_SYSTEM_MEMORY, &mid), MFX_ERR_NONE);
  mfxU8* pointer = nullptr;
  ASSERT_EQ(buffers.Lock(buffers.pthis, mid, &pointer), MFX_ERR_NONE);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(pointer) % 32, 0u);
  std::memset(pointer, 0xAB, 100);  // the whole data area lies in the block

  // A block whose first bytes are not "BUFF".
  unsigned char forged[128] = {'B', 'U', 'F', 'X'};
  mfxU8* untouched = reinterpret_cast<mfxU8*>(0x1);
  EXPECT_EQ(buffers.Lock(buffers.pthis, forged, &untouched), MFX_ERR_INVALID_HANDLE);
  EXPECT_EQ(untouched, reinterpret_cast<mfxU8*>(0x1));
  EXPECT_EQ(buffers.Unlock(buffers.pthis, forged), MFX_ERR_INVALID_HANDLE);
  EXPECT_EQ(buffers.Free(buffers.pthis, forged), MFX_ERR_INVALID_HANDLE);
  EXPECT_EQ(buffers.Lock(buffers.pthis, nullptr, &pointer), MFX_ERR_INVALID_HANDLE);
  EXPECT_EQ(buffers.Lock(buffers.pthis, mid, nullptr), MFX_ERR_NULL_PTR);

  EXPECT_EQ(buffers.Free(buffers.pthis, mid), MFX_ERR_NONE);
  // A table without its object refuses.
  mfxBufferAllocator orphan = buffers;
  orphan.pthis = nullptr;
  EXPECT_EQ(orphan.Alloc(orphan.pthis, 100, MFX_MEMTYPE_SYSTEM_MEMORY, &mid), MFX_ERR_MEMORY_ALLOC);
}

TEST(SysMemFrameAllocatorInit, ParamsOfAnotherKindAreRefusedAndGivenBuffersAreNotOwned) {
  class OtherParams : public mfxAllocatorParams {};
  OtherParams other;
  SysMemFrameAllocator refusing;
  EXPECT_EQ(refusing.Init(&other), MFX_ERR_NOT_INITIALIZED);

  SysMemBufferAllocator buffers;
  SysMemAllocatorParams params;
  params.bufferAllocator = &buffers;
  {
    SysMemFrameAllocator borrowing;
    ASSERT_EQ(borrowing.Init(&params), MFX_ERR_NONE);
    mfxFrameAllocRequest request = makeRequest(MFX_FOURCC_YUY2, 64, 64, 1, kPrivateType);
    mfxFrameAllocResponse response{};
    ASSERT_EQ(borrowing.Alloc(borrowing.pthis, &request, &response), MFX_ERR_NONE);
    EXPECT_EQ(static_cast<BufferHeader*>(response.mids[0])->size, 2u * 64 * 64 + 96);
  }
  // The borrowed buffer allocator outlives the frame allocator (not deleted by it).
  mfxMemId mid = nullptr;
  ASSERT_EQ(buffers.Alloc(buffers.pthis, 8, MFX_MEMTYPE_SYSTEM_MEMORY, &mid), MFX_ERR_NONE);
  EXPECT_EQ(buffers.Free(buffers.pthis, mid), MFX_ERR_NONE);

  // Before Init there is no buffer allocator.
  SysMemFrameAllocator uninitialised;
  mfxFrameAllocRequest request = makeRequest(MFX_FOURCC_NV12, 64, 64, 1, kPrivateType);
  mfxFrameAllocResponse response{};
  EXPECT_EQ(uninitialised.Alloc(uninitialised.pthis, &request, &response), MFX_ERR_NOT_INITIALIZED);
}

TEST(FramePlaneBytes, LayoutsByFourCC) {
  EXPECT_EQ(FramePlaneBytes(MFX_FOURCC_NV12, 1920, 1080), 1920u * 1088 * 3 / 2);
  EXPECT_EQ(FramePlaneBytes(MFX_FOURCC_P010, 64, 64), 2u * 64 * 64 * 3 / 2);
  EXPECT_EQ(FramePlaneBytes(MFX_FOURCC_RGB4, 33, 1), 4u * 64 * 32);
  EXPECT_EQ(FramePlaneBytes(MFX_FOURCC_R16, 64, 64), 2u * 64 * 64);
  EXPECT_EQ(FramePlaneBytes(MFX_FOURCC_NV16, 64, 64), 0u);
}
