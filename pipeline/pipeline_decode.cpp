#include "pipeline/pipeline_decode.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "pipeline/error_line.h"
#include "pipeline/sample_utils.h"
#include "pipeline/thread_primitives.h"

namespace {

constexpr const char* kModuleFile = "pipeline_decode.cpp";

void debugLine(const char* format, int value) {
  char text[128];
  std::snprintf(text, sizeof(text), format, value);
  OutputDebugStringA(text);
}

PoolSurface* poolEntryOf(mfxFrameSurface1* surface) { return reinterpret_cast<PoolSurface*>(surface); }

}  // namespace

CDecodingPipeline::CDecodingPipeline()
    : implInUse(0),
      decoderReady(false),
      params{},
      reader(nullptr),
      bitstream{},
      decoder(nullptr),
      videoParams{},
      frameAllocator(nullptr),
      allocatorParams(nullptr),
      allocResponse{},
      workSurface(nullptr),
      pendingOutput(nullptr),
      deliveringOutput(nullptr) {}

CDecodingPipeline::~CDecodingPipeline() {
  Close();
  videoSession.Close();
  delete reader;
  reader = nullptr;
}

// ---- opening the session ----

mfxStatus CDecodingPipeline::Init(DecodeParams* decodeParams) {
  if (!decodeParams) return MFX_ERR_NULL_PTR;
  const int32_t engine = decodeParams->engine;
  if (engine != kEngineHardwareFallback && engine != kEngineHardware && engine != kEngineSoftware) {
    debugLine("Tessivar: invalid decode engine (%d)\n", engine);
    return MFX_ERR_UNSUPPORTED;
  }
  decoderReady = false;

  auto* newReader = new (std::nothrow) CSmplBitstreamReader;
  if (!newReader) return MFX_ERR_MEMORY_ALLOC;
  if (reader != newReader) delete reader;
  reader = newReader;

  // An attempt that answered with a warning opened a session; it is closed before
  // the next attempt replaces the handle.
  auto closeWarnedSession = [this](mfxStatus attempt) {
    if (attempt > MFX_ERR_NONE) videoSession.Close();
  };

  mfxVersion version{};
  version.Major = 1;
  version.Minor = 0;
  mfxStatus status = MFX_ERR_NONE;

  if (engine == kEngineHardwareFallback || engine == kEngineHardware) {
    status = videoSession.Init(MFX_IMPL_HARDWARE_ANY, &version);
    if (status != MFX_ERR_NONE) {
      closeWarnedSession(status);
      status = videoSession.Init(MFX_IMPL_HARDWARE, &version);
    }
    if (status == MFX_ERR_NONE) implInUse = kImplHardware;
  }
  if (engine == kEngineSoftware || (engine == kEngineHardwareFallback && status != MFX_ERR_NONE)) {
    OutputDebugStringA("Tessivar: requesting SW mode\n");
    closeWarnedSession(status);
    status = videoSession.Init(MFX_IMPL_SOFTWARE, &version);
    implInUse = kImplSoftware;
  }
  if (status != MFX_ERR_NONE) debugLine("Tessivar: session init failed (%d)\n", status);
  if (status < MFX_ERR_NONE) {
    PrintReturnOnError(status, kModuleFile, 76);
    return status;
  }

  delete decoder;
  decoder = new (std::nothrow) MFXVideoDECODE(videoSession);
  if (!decoder) {
    OutputDebugStringA("Tessivar: create decoder failed\n");
    return MFX_ERR_MEMORY_ALLOC;
  }
  videoParams.mfx.CodecId = decodeParams->codecId;

  status = InitBitstream(&bitstream, kBitstreamSize);
  if (status != MFX_ERR_NONE) {
    debugLine("Tessivar: prepare bitstream failed (%d)\n", status);
    if (status < MFX_ERR_NONE) {
      PrintReturnOnError(status, kModuleFile, 99);
      return status;
    }
  }
  return status;
}

// ---- the surface pool ----

mfxStatus CDecodingPipeline::AllocFrames() {
  if (!decoder || !frameAllocator) return MFX_ERR_NULL_PTR;
  mfxFrameAllocRequest request{};

  mfxStatus status = decoder->Query(&videoParams, &videoParams);
  if (status < MFX_ERR_NONE) {
    PrintReturnOnError(status, kModuleFile, 128);
    return status;
  }
  status = decoder->QueryIOSurf(&videoParams, &request);
  if (status == MFX_WRN_PARTIAL_ACCELERATION) {
    std::fprintf(stderr, "WARNING: partial acceleration\n");
    std::fflush(stderr);
  } else if (status < MFX_ERR_NONE) {
    PrintReturnOnError(status, kModuleFile, 136);
    return status;
  }
  if (request.NumFrameSuggested < videoParams.AsyncDepth) return MFX_ERR_MEMORY_ALLOC;

  const mfxU16 frames = request.NumFrameSuggested > 0 ? request.NumFrameSuggested : 1;
  request.NumFrameMin = frames;
  request.NumFrameSuggested = frames;

  status = frameAllocator->Alloc(frameAllocator->pthis, &request, &allocResponse);
  if (status < MFX_ERR_NONE) {
    PrintReturnOnError(status, kModuleFile, 148);
    return status;
  }
  status = AllocSurfaces(allocResponse.NumFrameActual);
  if (status < MFX_ERR_NONE) {
    PrintReturnOnError(status, kModuleFile, 154);
    return status;
  }
  for (uint32_t i = 0; i < surfaceCount; ++i) {
    std::memcpy(&surfaces[i].frame.Info, &request.Info, sizeof(mfxFrameInfo));
    status = frameAllocator->Lock(frameAllocator->pthis, allocResponse.mids[i], &surfaces[i].frame.Data);
    if (status < MFX_ERR_NONE) {
      PrintReturnOnError(status, kModuleFile, 161);
      return status;
    }
    PoolSurface& entry = surfaces[i];
    entry.identity = mfxExtPictureIdentity{};
    entry.identity.Header.BufferId = kExtPictureIdentityId;
    entry.identity.Header.BufferSz = sizeof(mfxExtPictureIdentity);
    entry.identityParam = &entry.identity.Header;
    entry.frame.Data.ExtParam = &entry.identityParam;
    entry.frame.Data.NumExtParam = 1;
  }
  return MFX_ERR_NONE;
}

mfxStatus CDecodingPipeline::ResetDecoder(DecodeParams*) {
  if (!decoder) return MFX_ERR_NOT_INITIALIZED;
  mfxStatus status = decoder->Reset(&videoParams);
  if (status == MFX_ERR_NOT_INITIALIZED) return status;
  DeleteFrames();
  AllocFrames();
  workSurface = nullptr;
  pendingOutput = nullptr;
  deliveringOutput = nullptr;
  if (reader) reader->DropHeldUnit();
  return MFX_ERR_NONE;
}

mfxStatus CDecodingPipeline::DeleteFrames() {
  FreeSurfaces();
  workSurface = nullptr;
  delete pendingOutput;
  pendingOutput = nullptr;
  delete deliveringOutput;
  deliveringOutput = nullptr;
  if (frameAllocator) return frameAllocator->Free(frameAllocator->pthis, &allocResponse);
  return MFX_ERR_NONE;
}

void CDecodingPipeline::DeleteAllocator() {
  delete frameAllocator;
  frameAllocator = nullptr;
  delete allocatorParams;
  allocatorParams = nullptr;
}

void CDecodingPipeline::Close() {
  FreeBitstream(&bitstream);
  delete decoder;
  decoder = nullptr;
  DeleteFrames();
  videoSession.Close();
  DeleteAllocator();
}

// ---- the decode run ----

mfxStatus CDecodingPipeline::RunDecoding(SourceState* owner, SourceState* owner2) {
  mfxStatus status = MFX_ERR_NONE;
  mfxBitstream* input = &bitstream;
  bool incompatible = false;
  if (!decoder || !reader || !owner) return MFX_ERR_NOT_INITIALIZED;

  for (;;) {
    if (status != MFX_ERR_NONE && status != MFX_ERR_MORE_DATA && status != MFX_ERR_MORE_SURFACE) break;

    if (input && status == MFX_ERR_MORE_DATA) {
      status = reader->ReadNextFrame(input, owner, owner2);
      if (status == MFX_ERR_MORE_DATA) {
        input = nullptr;  // draining begins
        status = MFX_ERR_NONE;
      } else if (status != MFX_ERR_NONE && status != MFX_ERR_MORE_SURFACE) {
        break;
      }
    }

    RecycleUnlockedSurface();

    bool mustSync = false;
    if (!workSurface) {
      workSurface = PopFreeSurface();
      if (!workSurface) mustSync = true;
    }
    if (!mustSync && readyOutputs.count >= videoParams.AsyncDepth) mustSync = true;
    if (mustSync) {
      status = SyncAndDeliver(kDeliveryWaitMs, owner);
      if (status == MFX_ERR_MORE_DATA) {
        std::fprintf(stderr, "fatal: failed to find output surface, that's a bug!\n");
        std::fflush(stderr);
        status = MFX_ERR_NOT_FOUND;
        break;
      }
      if (status == MFX_ERR_UNKNOWN) {  // aborted, or synchronisation failed
        status = MFX_ERR_NONE;
        break;
      }
      continue;
    }

    if (!pendingOutput) {
      mutex.Lock();
      pendingOutput = PopFreeOutputNodeNoLock();
      if (!pendingOutput) {
        mutex.Unlock();
        AllocOutputNode();
        mutex.Lock();
        pendingOutput = PopFreeOutputNodeNoLock();
      }
      mutex.Unlock();
      if (!pendingOutput) {
        status = MFX_ERR_NOT_FOUND;
        break;
      }
    }

    mfxFrameSurface1* out = nullptr;
    workSurface->identity.filled = 0;  // an engine that does not know the buffer leaves it so
    status = decoder->DecodeFrameAsync(input, &workSurface->frame, &out, &pendingOutput->syncPoint);
    while (status == MFX_WRN_DEVICE_BUSY) {
      mfxStatus syncStatus = SyncAndDeliver(kDeliveryWaitMs, owner);
      // Nothing queued to make room with: before the call is repeated, an abort
      // raised meanwhile ends the run, so a decoder that stays busy cannot hold the
      // worker for ever.
      if (syncStatus == MFX_ERR_MORE_DATA && owner->abortEvent &&
          WaitForSingleObject(owner->abortEvent, 0) == WAIT_OBJECT_0) {
        ResetEvent(owner->abortEvent);
        syncStatus = MFX_ERR_UNKNOWN;
      }
      if (syncStatus == MFX_ERR_NONE || syncStatus == MFX_ERR_MORE_DATA || syncStatus == MFX_WRN_DEVICE_BUSY)
        status = decoder->DecodeFrameAsync(input, &workSurface->frame, &out, &pendingOutput->syncPoint);
      else
        status = syncStatus;
    }

    if (status > MFX_ERR_NONE) {
      status = pendingOutput->syncPoint ? MFX_ERR_NONE : MFX_ERR_MORE_SURFACE;
    } else if (status == MFX_ERR_MORE_DATA && input) {
      // the next pass reads more
    } else if (status == MFX_ERR_MORE_DATA) {
      do {
        status = SyncAndDeliver(kDeliveryWaitMs, owner);
      } while (status == MFX_ERR_NONE);
      if (status == MFX_ERR_MORE_DATA) status = MFX_ERR_NONE;
      break;
    } else if (status == MFX_ERR_INCOMPATIBLE_VIDEO_PARAM) {
      input = nullptr;
      incompatible = true;
      status = MFX_ERR_NONE;
      continue;
    } else if (status != MFX_ERR_NONE && status != MFX_ERR_MORE_SURFACE) {
      break;
    }

    AppendUsedSurface(workSurface);
    workSurface = nullptr;

    if (status != MFX_ERR_NONE || !out) continue;
    AtomicIncrement16(&poolEntryOf(out)->renderLock);
    pendingOutput->surface = out;
    AppendReadyOutput(pendingOutput);
    pendingOutput = nullptr;
  }

  if (incompatible) status = MFX_ERR_INCOMPATIBLE_VIDEO_PARAM;
  if (status < MFX_ERR_NONE) PrintReturnOnError(status, kModuleFile, 399);
  return status;
}

mfxStatus CDecodingPipeline::SyncAndDeliver(mfxU32 waitMs, SourceState* owner) {
  if (!deliveringOutput) deliveringOutput = TakeReadyOutput();
  if (!deliveringOutput) return MFX_ERR_MORE_DATA;

  mfxStatus status = videoSession.SyncOperation(deliveringOutput->syncPoint, waitMs);
  if (status == MFX_WRN_IN_EXECUTION) return MFX_WRN_IN_EXECUTION;
  if (status != MFX_ERR_NONE) return MFX_ERR_UNKNOWN;

  // Both signalled: the request is the first handle and wins.
  const HANDLE request[2] = {owner->wantFrameEvent, owner->abortEvent};
  DWORD waited = WaitForMultipleObjects(2, request, FALSE, INFINITE);
  if (waited != WAIT_OBJECT_0) {
    if (waited == WAIT_OBJECT_0 + 1) ResetEvent(owner->abortEvent);
    return MFX_ERR_UNKNOWN;  // not delivered; the node stays for the next call
  }

  ResetEvent(owner->frameConsumedEvent);
  ResetEvent(owner->wantFrameEvent);
  owner->deliveredSurface = deliveringOutput->surface;
  SetEvent(owner->frameReadyEvent);

  const HANDLE consumption[2] = {owner->frameConsumedEvent, owner->abortEvent};
  waited = WaitForMultipleObjects(2, consumption, FALSE, INFINITE);
  if (waited != WAIT_OBJECT_0) {
    // The consumer gave up on a surface it was handed and may still be reading it:
    // the node keeps its render lock (the surface is not reused) until the next
    // ResetDecoder, and the run ends without delivering anything more.
    if (waited == WAIT_OBJECT_0 + 1) ResetEvent(owner->abortEvent);
    return MFX_ERR_UNKNOWN;
  }
  ReleaseOutputNode(deliveringOutput);
  deliveringOutput = nullptr;
  return MFX_ERR_NONE;
}
