#include <gtest/gtest.h>

#include "pipeline/buffering.h"

namespace {

int freeStackSize(CBuffering& pool) {
  int n = 0;
  for (PoolSurface* s = pool.freeSurfaces.head; s; s = s->next) ++n;
  return n;
}

int freeNodeCount(CBuffering& pool) {
  int n = 0;
  for (OutputNode* node = pool.freeOutputNodes.head; node; node = node->next) ++n;
  return n;
}

}  // namespace

TEST(Buffering, CountZeroFailsAndAllocatesNothing) {
  CBuffering pool;
  EXPECT_EQ(pool.AllocSurfaces(0), MFX_ERR_MEMORY_ALLOC);
  EXPECT_EQ(pool.surfaces, nullptr);
  EXPECT_EQ(pool.outputNodeCount, 0u);
  EXPECT_EQ(pool.freeOutputNodes.head, nullptr);
  EXPECT_EQ(pool.PopFreeSurface(), nullptr);
}

TEST(Buffering, SurfacesLeaveInIndexOrderAndNodeCountKeepsTheFirstAllocation) {
  CBuffering pool;
  ASSERT_EQ(pool.AllocSurfaces(3), MFX_ERR_NONE);
  EXPECT_EQ(pool.outputNodeCount, 3u);
  EXPECT_EQ(freeNodeCount(pool), 3);
  for (uint32_t i = 0; i < 3; ++i) {
    PoolSurface* s = pool.PopFreeSurface();
    ASSERT_EQ(s, &pool.surfaces[i]);
    EXPECT_EQ(s->prev, nullptr);
    EXPECT_EQ(s->next, nullptr);
  }
  EXPECT_EQ(pool.PopFreeSurface(), nullptr);

  pool.FreeSurfaces();
  EXPECT_EQ(pool.surfaces, nullptr);
  EXPECT_EQ(pool.PopFreeSurface(), nullptr);
  EXPECT_EQ(pool.PopFreeOutputNode(), nullptr);
  EXPECT_EQ(pool.TakeReadyOutput(), nullptr);
  EXPECT_EQ(pool.usedSurfaces.head, nullptr);
  EXPECT_EQ(pool.surfaceCount, 3u);  // counts survive the free

  ASSERT_EQ(pool.AllocSurfaces(7), MFX_ERR_NONE);
  EXPECT_EQ(pool.surfaceCount, 7u);
  EXPECT_EQ(pool.outputNodeCount, 3u);
  EXPECT_EQ(freeNodeCount(pool), 3);
  EXPECT_EQ(freeStackSize(pool), 7);
}

TEST(Buffering, RecycleSkipsAHeldOldestSurfaceAndFreesAYoungerOne) {
  CBuffering pool;
  ASSERT_EQ(pool.AllocSurfaces(4), MFX_ERR_NONE);
  PoolSurface* oldest = pool.PopFreeSurface();
  PoolSurface* middle = pool.PopFreeSurface();
  PoolSurface* youngest = pool.PopFreeSurface();
  pool.AppendUsedSurface(oldest);
  pool.AppendUsedSurface(middle);
  pool.AppendUsedSurface(youngest);
  oldest->frame.Data.Locked = 1;     // the decoder still holds it
  AtomicIncrement16(&middle->renderLock);  // an output still uses it

  pool.RecycleUnlockedSurface();
  EXPECT_EQ(pool.usedSurfaces.head, oldest);
  EXPECT_EQ(pool.usedSurfaces.tail, middle);
  EXPECT_EQ(pool.freeSurfaces.head, youngest);
  EXPECT_EQ(youngest->prev, nullptr);

  // Nothing else qualifies: nothing moves.
  pool.RecycleUnlockedSurface();
  EXPECT_EQ(pool.usedSurfaces.head, oldest);
  EXPECT_EQ(freeStackSize(pool), 2);

  // One per call, oldest first once both counts are 0.
  oldest->frame.Data.Locked = 0;
  AtomicDecrement16(&middle->renderLock);
  pool.RecycleUnlockedSurface();
  EXPECT_EQ(pool.freeSurfaces.head, oldest);
  EXPECT_EQ(pool.usedSurfaces.head, middle);
  EXPECT_EQ(middle->prev, nullptr);
  pool.RecycleUnlockedSurface();
  EXPECT_EQ(pool.usedSurfaces.head, nullptr);
  EXPECT_EQ(pool.usedSurfaces.tail, nullptr);
  EXPECT_EQ(freeStackSize(pool), 4);
}

TEST(Buffering, UsedListRemovesFromAnyPosition) {
  CBuffering pool;
  ASSERT_EQ(pool.AllocSurfaces(3), MFX_ERR_NONE);
  PoolSurface* a = pool.PopFreeSurface();
  PoolSurface* b = pool.PopFreeSurface();
  PoolSurface* c = pool.PopFreeSurface();
  pool.AppendUsedSurface(a);
  pool.AppendUsedSurface(b);
  pool.AppendUsedSurface(c);
  pool.RemoveUsedSurface(b);
  EXPECT_EQ(a->next, c);
  EXPECT_EQ(c->prev, a);
  pool.RemoveUsedSurface(c);
  EXPECT_EQ(pool.usedSurfaces.tail, a);
  EXPECT_EQ(a->next, nullptr);
  pool.RemoveUsedSurface(a);
  EXPECT_EQ(pool.usedSurfaces.head, nullptr);
  EXPECT_EQ(pool.usedSurfaces.tail, nullptr);
}

TEST(Buffering, ReadyQueueIsOldestFirstAndReleaseReturnsTheNode) {
  CBuffering pool;
  ASSERT_EQ(pool.AllocSurfaces(2), MFX_ERR_NONE);
  OutputNode* first = pool.PopFreeOutputNode();
  OutputNode* second = pool.PopFreeOutputNode();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(pool.PopFreeOutputNode(), nullptr);
  first->surface = &pool.surfaces[0].frame;
  second->surface = &pool.surfaces[1].frame;
  AtomicIncrement16(&pool.surfaces[0].renderLock);
  pool.AppendReadyOutput(first);
  pool.AppendReadyOutput(second);
  EXPECT_EQ(pool.readyOutputs.count, 2u);

  OutputNode* taken = pool.TakeReadyOutput();
  EXPECT_EQ(taken, first);
  EXPECT_EQ(taken->next, nullptr);
  EXPECT_EQ(pool.readyOutputs.count, 1u);
  EXPECT_EQ(pool.TakeReadyOutput(), second);
  EXPECT_EQ(pool.readyOutputs.tail, nullptr);
  EXPECT_EQ(pool.TakeReadyOutput(), nullptr);
  EXPECT_EQ(pool.readyOutputs.count, 0u);

  first->syncPoint = reinterpret_cast<mfxSyncPoint>(0x1234);
  pool.ReleaseOutputNode(first);
  EXPECT_EQ(AtomicRead16(&pool.surfaces[0].renderLock), 0);
  EXPECT_EQ(first->surface, nullptr);
  EXPECT_EQ(first->syncPoint, nullptr);
  EXPECT_EQ(pool.freeOutputNodes.head, first);

  // An extra node when the stack is empty; queued nodes are freed with the pool.
  pool.AppendReadyOutput(second);
  EXPECT_EQ(pool.PopFreeOutputNode(), first);
  ASSERT_EQ(pool.AllocOutputNode(), MFX_ERR_NONE);
  OutputNode* extra = pool.PopFreeOutputNode();
  ASSERT_NE(extra, nullptr);
  pool.PushFreeOutputNode(extra);
  pool.PushFreeOutputNode(first);
  pool.FreeSurfaces();  // frees first, extra and the queued second (checked by the leak detector)
  EXPECT_EQ(pool.readyOutputs.count, 0u);
}
