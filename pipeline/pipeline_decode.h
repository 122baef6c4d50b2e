// One Media SDK decode session for one clip: session, decoder, system-memory frame
// allocator, surface pool and input buffer; opened on the chosen engine, reset for a
// seek, torn down in a fixed order. The decode run hands decoded surfaces to the
// frame consumer one at a time through the owner's events.
//
// Threads: Init, AllocFrames and RunDecoding run on the worker thread; ResetDecoder
// runs on the host's thread only while the worker is idle. Nothing here locks the
// members; the owner's events order the two threads. The surface lists have their own
// lock (CBuffering).
#pragma once

#include <cstdint>

#include <mfx/mfxvideo++.h>

#include "pipeline/bitstream_reader.h"
#include "pipeline/buffering.h"
#include "pipeline/frame_allocator.h"
#include "source/source_state.h"

constexpr mfxU32 kBitstreamSize = 0xA00000;      // the decoder's input buffer
constexpr mfxU32 kDeliveryWaitMs = 300000;       // longest wait for one output to finish
constexpr size_t kDecodeSourcePathSize = 1024;

// Engines a script may ask for.
constexpr int32_t kEngineHardwareFallback = 0;   // hardware, else software
constexpr int32_t kEngineHardware = 1;
constexpr int32_t kEngineSoftware = 2;

// What the session was opened on.
constexpr int32_t kImplHardware = 1;
constexpr int32_t kImplSoftware = 2;

struct DecodeParams {
  mfxU32 codecId;  // MFX_CODEC_AVC, MFX_CODEC_VC1 or MFX_CODEC_MPEG2
  int32_t engine;  // kEngine*
  int32_t width;   // coded size from the index (carried, not read here)
  int32_t height;
  char sourcePath[kDecodeSourcePathSize];  // first source file (carried, not read here)
};

class CDecodingPipeline : public CBuffering {
 public:
  CDecodingPipeline();
  ~CDecodingPipeline() override;

  // Opens the session on params->engine and creates decoder, reader and input
  // buffer. 0 or a negative status; -3 for an engine outside 0..2.
  virtual mfxStatus Init(DecodeParams* params);
  // Decodes until the input is exhausted and every output is delivered, the owner's
  // abort event is raised, or an error. Both owners are the enclosing source object.
  virtual mfxStatus RunDecoding(SourceState* owner, SourceState* owner2);
  virtual void Close();
  // Resets the decoder with videoParams and rebuilds the pool; the argument is not
  // read. -8 when the decoder was never initialised (or never created).
  virtual mfxStatus ResetDecoder(DecodeParams* params);
  // Sizes the pool from the decoder's request, allocates and locks every frame.
  virtual mfxStatus AllocFrames();
  virtual mfxStatus DeleteFrames();
  virtual void DeleteAllocator();
  // Synchronises the oldest output and hands it over: 0 delivered, 1 still running
  // after waitMs, -1 aborted or synchronisation failed, -10 nothing queued.
  virtual mfxStatus SyncAndDeliver(mfxU32 waitMs, SourceState* owner);

  int32_t implInUse;
  bool decoderReady;
  DecodeParams params;
  CSmplBitstreamReader* reader;
  mfxBitstream bitstream;
  MFXVideoSession videoSession;
  MFXVideoDECODE* decoder;
  mfxVideoParam videoParams;
  MFXFrameAllocator* frameAllocator;
  mfxAllocatorParams* allocatorParams;
  mfxFrameAllocResponse allocResponse;
  PoolSurface* workSurface;
  OutputNode* pendingOutput;
  OutputNode* deliveringOutput;
};
