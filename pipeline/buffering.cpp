#include "pipeline/buffering.h"

#include <cstdlib>
#include <new>

CBuffering::CBuffering()
    : surfaceCount(0),
      outputNodeCount(0),
      surfaces(nullptr),
      freeSurfaces{nullptr, &mutex},
      usedSurfaces{nullptr, nullptr, &mutex},
      freeOutputNodes{nullptr, &mutex},
      readyOutputs{nullptr, nullptr, 0, &mutex} {}

// The pipeline frees the pool before it gets here (DeleteFrames); freeing again finds
// empty lists. A pool used on its own is not leaked either.
CBuffering::~CBuffering() { FreeSurfaces(); }

mfxStatus CBuffering::AllocSurfaces(uint32_t count) {
  if (count == 0) return MFX_ERR_MEMORY_ALLOC;
  if (outputNodeCount == 0) outputNodeCount = count;
  surfaceCount = count;
  surfaces = static_cast<PoolSurface*>(std::calloc(count, sizeof(PoolSurface)));
  if (!surfaces) return MFX_ERR_MEMORY_ALLOC;
  for (uint32_t i = 0; i < outputNodeCount; ++i) {
    OutputNode* node = new (std::nothrow) OutputNode{};
    if (!node) return MFX_ERR_MEMORY_ALLOC;
    PushFreeOutputNodeNoLock(node);
  }
  LinkFreeSurfaces();
  return MFX_ERR_NONE;
}

mfxStatus CBuffering::AllocOutputNode() {
  OutputNode* node = new (std::nothrow) OutputNode{};
  if (!node) return MFX_ERR_MEMORY_ALLOC;
  PushFreeOutputNode(node);
  return MFX_ERR_NONE;
}

void CBuffering::FreeSurfaces() {
  std::free(surfaces);
  surfaces = nullptr;
  for (OutputNode* node = freeOutputNodes.head; node;) {
    OutputNode* next = node->next;
    delete node;
    node = next;
  }
  for (OutputNode* node = readyOutputs.head; node;) {
    OutputNode* next = node->next;
    delete node;
    node = next;
  }
  freeSurfaces.head = nullptr;
  usedSurfaces.head = usedSurfaces.tail = nullptr;
  freeOutputNodes.head = nullptr;
  readyOutputs.head = readyOutputs.tail = nullptr;
  readyOutputs.count = 0;
}

void CBuffering::LinkFreeSurfaces() {
  freeSurfaces.head = surfaceCount > 0 ? &surfaces[0] : nullptr;
  for (uint32_t i = 0; i + 1 < surfaceCount; ++i) {
    surfaces[i].next = &surfaces[i + 1];
    surfaces[i + 1].prev = &surfaces[i];
  }
}

void CBuffering::RecycleUnlockedSurface() {
  ScopedLock lock(*usedSurfaces.lock);
  for (PoolSurface* surface = usedSurfaces.head; surface; surface = surface->next) {
    if (surface->frame.Data.Locked == 0 && AtomicRead16(&surface->renderLock) == 0) {
      RemoveUsedSurfaceNoLock(surface);
      PushFreeSurfaceNoLock(surface);
      return;
    }
  }
}

void CBuffering::ReleaseOutputNode(OutputNode* node) {
  // The surface is the first member of its pool entry.
  AtomicDecrement16(&reinterpret_cast<PoolSurface*>(node->surface)->renderLock);
  node->surface = nullptr;
  node->syncPoint = nullptr;
  PushFreeOutputNode(node);
}

// ---- free surfaces ----

void CBuffering::PushFreeSurface(PoolSurface* surface) {
  ScopedLock lock(*freeSurfaces.lock);
  PushFreeSurfaceNoLock(surface);
}

void CBuffering::PushFreeSurfaceNoLock(PoolSurface* surface) {
  surface->prev = nullptr;
  surface->next = freeSurfaces.head;
  freeSurfaces.head = surface;
}

PoolSurface* CBuffering::PopFreeSurface() {
  ScopedLock lock(*freeSurfaces.lock);
  return PopFreeSurfaceNoLock();
}

PoolSurface* CBuffering::PopFreeSurfaceNoLock() {
  PoolSurface* surface = freeSurfaces.head;
  if (!surface) return nullptr;
  freeSurfaces.head = surface->next;
  surface->prev = nullptr;
  surface->next = nullptr;
  return surface;
}

// ---- used surfaces ----

void CBuffering::AppendUsedSurface(PoolSurface* surface) {
  ScopedLock lock(*usedSurfaces.lock);
  AppendUsedSurfaceNoLock(surface);
}

void CBuffering::AppendUsedSurfaceNoLock(PoolSurface* surface) {
  surface->next = nullptr;
  surface->prev = usedSurfaces.tail;
  if (usedSurfaces.tail)
    usedSurfaces.tail->next = surface;
  else
    usedSurfaces.head = surface;
  usedSurfaces.tail = surface;
}

void CBuffering::RemoveUsedSurface(PoolSurface* surface) {
  ScopedLock lock(*usedSurfaces.lock);
  RemoveUsedSurfaceNoLock(surface);
}

void CBuffering::RemoveUsedSurfaceNoLock(PoolSurface* surface) {
  if (surface->prev)
    surface->prev->next = surface->next;
  else
    usedSurfaces.head = surface->next;
  if (surface->next)
    surface->next->prev = surface->prev;
  else
    usedSurfaces.tail = surface->prev;
  surface->prev = nullptr;
  surface->next = nullptr;
}

// ---- free output nodes ----

void CBuffering::PushFreeOutputNode(OutputNode* node) {
  ScopedLock lock(*freeOutputNodes.lock);
  PushFreeOutputNodeNoLock(node);
}

void CBuffering::PushFreeOutputNodeNoLock(OutputNode* node) {
  node->next = freeOutputNodes.head;
  freeOutputNodes.head = node;
}

OutputNode* CBuffering::PopFreeOutputNode() {
  ScopedLock lock(*freeOutputNodes.lock);
  return PopFreeOutputNodeNoLock();
}

OutputNode* CBuffering::PopFreeOutputNodeNoLock() {
  OutputNode* node = freeOutputNodes.head;
  if (!node) return nullptr;
  freeOutputNodes.head = node->next;
  node->next = nullptr;
  return node;
}

// ---- ready outputs ----

void CBuffering::AppendReadyOutput(OutputNode* node) {
  ScopedLock lock(*readyOutputs.lock);
  AppendReadyOutputNoLock(node);
}

void CBuffering::AppendReadyOutputNoLock(OutputNode* node) {
  node->next = nullptr;
  if (readyOutputs.tail)
    readyOutputs.tail->next = node;
  else
    readyOutputs.head = node;
  readyOutputs.tail = node;
  ++readyOutputs.count;
}

OutputNode* CBuffering::TakeReadyOutput() {
  ScopedLock lock(*readyOutputs.lock);
  return TakeReadyOutputNoLock();
}

OutputNode* CBuffering::TakeReadyOutputNoLock() {
  OutputNode* node = readyOutputs.head;
  if (!node) return nullptr;
  readyOutputs.head = node->next;
  if (!readyOutputs.head) readyOutputs.tail = nullptr;
  --readyOutputs.count;
  node->next = nullptr;
  return node;
}
