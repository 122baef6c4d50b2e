// The surface pool of the decode pipeline and the nodes that carry decoded outputs
// from the decode call to their delivery, kept in four lists that share one lock:
// free surfaces (a stack), surfaces lent to the decoder (oldest first), free output
// nodes (a stack) and outputs ready for delivery (a queue, oldest first).
//
// Every list operation exists twice: the plain form takes the lock for its duration,
// the NoLock form is for a caller that already holds `mutex`. AllocSurfaces,
// LinkFreeSurfaces and FreeSurfaces take no lock: they run only while no decode run
// is active.
#pragma once

#include <cstdint>

#include <mfx/mfxstructures.h>

#include "platform/mfx/picture_identity.h"

#include "pipeline/thread_primitives.h"

struct PoolSurface {
  mfxFrameSurface1 frame;  // first, so the decoder's surface pointer is the entry's address
  volatile uint16_t renderLock;  // outputs queued or delivered that still use the surface
  // What the engine says the decoded picture is; frame.Data.ExtParam points here.
  mfxExtPictureIdentity identity;
  mfxExtBuffer* identityParam;
  PoolSurface* prev;             // used list only
  PoolSurface* next;             // free stack or used list
};

struct OutputNode {
  mfxFrameSurface1* surface;
  mfxSyncPoint syncPoint;
  OutputNode* next;
};

struct SurfaceStack {
  PoolSurface* head;
  Mutex* lock;
};

struct SurfaceList {
  PoolSurface* head;
  PoolSurface* tail;
  Mutex* lock;
};

struct OutputNodeStack {
  OutputNode* head;
  Mutex* lock;
};

struct OutputQueue {
  OutputNode* head;
  OutputNode* tail;
  uint32_t count;
  Mutex* lock;
};

class CBuffering {
 public:
  CBuffering();
  virtual ~CBuffering();
  CBuffering(const CBuffering&) = delete;
  CBuffering& operator=(const CBuffering&) = delete;

  // Makes a zero-filled array of `count` surfaces, all on the free stack, and the
  // output nodes: as many as surfaces at the first call, the same number ever after.
  // -4 for a count of 0 or a failed allocation (what was made stays on the lists).
  mfxStatus AllocSurfaces(uint32_t count);
  // Adds one zero-filled node to the free-node stack (taking the lock); -4 when the
  // allocation fails.
  mfxStatus AllocOutputNode();
  // Frees the surface array and every node on the free-node stack and the ready
  // queue, and empties every list. The counts keep their values.
  void FreeSurfaces();
  // Chains the whole array onto the free stack, entry 0 first.
  void LinkFreeSurfaces();
  // Moves the oldest used surface that neither the decoder (`Data.Locked`) nor an
  // output (`renderLock`) holds back to the free stack; at most one per call.
  void RecycleUnlockedSurface();
  // Ends a delivery: the node's surface loses one render lock and the cleared node
  // goes back to the free-node stack.
  void ReleaseOutputNode(OutputNode* node);

  // ---- list operations (pop and take yield null on an empty list) ----
  void PushFreeSurface(PoolSurface* surface);
  void PushFreeSurfaceNoLock(PoolSurface* surface);
  PoolSurface* PopFreeSurface();
  PoolSurface* PopFreeSurfaceNoLock();

  void AppendUsedSurface(PoolSurface* surface);
  void AppendUsedSurfaceNoLock(PoolSurface* surface);
  void RemoveUsedSurface(PoolSurface* surface);
  void RemoveUsedSurfaceNoLock(PoolSurface* surface);

  void PushFreeOutputNode(OutputNode* node);
  void PushFreeOutputNodeNoLock(OutputNode* node);
  OutputNode* PopFreeOutputNode();
  OutputNode* PopFreeOutputNodeNoLock();

  void AppendReadyOutput(OutputNode* node);
  void AppendReadyOutputNoLock(OutputNode* node);
  OutputNode* TakeReadyOutput();
  OutputNode* TakeReadyOutputNoLock();

  uint32_t surfaceCount;
  uint32_t outputNodeCount;
  PoolSurface* surfaces;
  Mutex mutex;
  SurfaceStack freeSurfaces;
  SurfaceList usedSurfaces;
  OutputNodeStack freeOutputNodes;
  OutputQueue readyOutputs;
};
