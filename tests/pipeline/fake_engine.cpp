#include "fake_engine.h"

#include <cstring>
#include <deque>

#include "pipeline/buffering.h"

namespace {

struct FakeSession {
  bool decoderInitialised = false;
  std::deque<uint32_t> decoded;  // pictures taken but not yet output, oldest first
  std::map<uintptr_t, mfxFrameSurface1*> pending;  // sync point -> output surface
  uintptr_t nextSyncPoint = 1;
  uint32_t inputs = 0;  // pictures taken since Init or Reset
};

FakeSession* sessionOf(mfxSession session) { return reinterpret_cast<FakeSession*>(session); }

void writePicture(mfxFrameSurface1* surface, uint32_t number) {
  mfxFrameData& data = surface->Data;
  for (mfxU16 row = 0; row < surface->Info.Height; ++row)
    std::memset(data.Y + size_t{row} * data.Pitch, static_cast<int>(number & 0xFF), surface->Info.Width);
  std::memcpy(data.Y, &number, sizeof(number));
}

mfxStatus output(FakeSession* session, mfxFrameSurface1* work, mfxFrameSurface1** out, mfxSyncPoint* syncp) {
  writePicture(work, session->decoded.front());
  session->decoded.pop_front();
  ++work->Data.Locked;
  const uintptr_t id = session->nextSyncPoint++;
  session->pending[id] = work;
  *out = work;
  *syncp = reinterpret_cast<mfxSyncPoint>(id);
  ++EngineLog().outputs;
  return MFX_ERR_NONE;
}

}  // namespace

FakeEngineConfig& EngineConfig() {
  static FakeEngineConfig config;
  return config;
}

FakeEngineLog& EngineLog() {
  static FakeEngineLog log;
  return log;
}

void ResetFakeEngine() {
  EngineConfig() = FakeEngineConfig{};
  EngineLog() = FakeEngineLog{};
}

std::vector<uint8_t> ToyUnit(uint32_t number) {
  std::vector<uint8_t> unit(kToyUnitSize, 0xEE);
  unit[0] = 0;
  unit[1] = 0;
  unit[2] = 1;
  std::memcpy(&unit[3], &number, sizeof(number));
  return unit;
}

uint32_t ToyPictureOf(const mfxFrameSurface1* surface) {
  uint32_t number;
  std::memcpy(&number, surface->Data.Y, sizeof(number));
  return number;
}

extern "C" {

mfxStatus MFXInit(mfxIMPL impl, mfxVersion*, mfxSession* session) {
  EngineLog().initRequests.push_back(impl);
  mfxStatus status = impl == MFX_IMPL_SOFTWARE ? EngineConfig().softwareInit : EngineConfig().hardwareInit;
  if (status >= MFX_ERR_NONE) *session = reinterpret_cast<mfxSession>(new FakeSession);
  return status;
}

mfxStatus MFXInitEx(mfxInitParam, mfxSession*) { return MFX_ERR_UNSUPPORTED; }

mfxStatus MFXClose(mfxSession session) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  delete sessionOf(session);
  return MFX_ERR_NONE;
}

mfxStatus MFXQueryIMPL(mfxSession, mfxIMPL*) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXQueryVersion(mfxSession, mfxVersion*) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXJoinSession(mfxSession, mfxSession) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXDisjoinSession(mfxSession) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXCloneSession(mfxSession, mfxSession*) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXSetPriority(mfxSession, mfxPriority) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXGetPriority(mfxSession, mfxPriority*) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXDoWork(mfxSession) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXVideoCORE_SetBufferAllocator(mfxSession, mfxBufferAllocator*) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXVideoCORE_SetFrameAllocator(mfxSession, mfxFrameAllocator*) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXVideoCORE_SetHandle(mfxSession, mfxHandleType, mfxHDL) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXVideoCORE_GetHandle(mfxSession, mfxHandleType, mfxHDL*) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXVideoCORE_QueryPlatform(mfxSession, mfxPlatform*) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXVideoDECODE_DecodeHeader(mfxSession, mfxBitstream*, mfxVideoParam*) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXVideoDECODE_GetVideoParam(mfxSession, mfxVideoParam*) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXVideoDECODE_GetDecodeStat(mfxSession, mfxDecodeStat*) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXVideoDECODE_SetSkipMode(mfxSession, mfxSkipMode) { return MFX_ERR_UNSUPPORTED; }
mfxStatus MFXVideoDECODE_GetPayload(mfxSession, mfxU64*, mfxPayload*) { return MFX_ERR_UNSUPPORTED; }

mfxStatus MFXVideoCORE_SyncOperation(mfxSession session, mfxSyncPoint syncp, mfxU32) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  if (!syncp) return MFX_ERR_NULL_PTR;
  FakeSession* state = sessionOf(session);
  auto entry = state->pending.find(reinterpret_cast<uintptr_t>(syncp));
  if (entry == state->pending.end()) return MFX_ERR_NOT_FOUND;
  const int64_t index = static_cast<int64_t>(entry->first) - 1;
  if (index == EngineConfig().syncFailAtOutput) return MFX_ERR_DEVICE_FAILED;
  if (index == EngineConfig().syncInExecutionAtOutput) return MFX_WRN_IN_EXECUTION;
  --entry->second->Data.Locked;
  state->pending.erase(entry);
  return MFX_ERR_NONE;
}

mfxStatus MFXVideoDECODE_Query(mfxSession session, mfxVideoParam* in, mfxVideoParam* out) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  if (in && out && in != out) *out = *in;
  return EngineConfig().queryStatus;
}

mfxStatus MFXVideoDECODE_QueryIOSurf(mfxSession session, mfxVideoParam* par, mfxFrameAllocRequest* request) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  request->Info = par->mfx.FrameInfo;
  request->Type = MFX_MEMTYPE_EXTERNAL_FRAME | MFX_MEMTYPE_FROM_DECODE | MFX_MEMTYPE_SYSTEM_MEMORY;
  request->NumFrameMin = EngineConfig().suggestedFrames;
  request->NumFrameSuggested = EngineConfig().suggestedFrames;
  return EngineConfig().queryIOSurfStatus;
}

mfxStatus MFXVideoDECODE_Init(mfxSession session, mfxVideoParam*) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  sessionOf(session)->decoderInitialised = true;
  ++EngineLog().decoderInits;
  return MFX_ERR_NONE;
}

mfxStatus MFXVideoDECODE_Reset(mfxSession session, mfxVideoParam*) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  FakeSession* state = sessionOf(session);
  if (!state->decoderInitialised) return MFX_ERR_NOT_INITIALIZED;
  state->decoded.clear();
  state->pending.clear();
  state->inputs = 0;
  ++EngineLog().resets;
  return MFX_ERR_NONE;
}

mfxStatus MFXVideoDECODE_Close(mfxSession session) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  FakeSession* state = sessionOf(session);
  if (!state->decoderInitialised) return MFX_ERR_NOT_INITIALIZED;
  *state = FakeSession{};
  return MFX_ERR_NONE;
}

mfxStatus MFXVideoDECODE_DecodeFrameAsync(mfxSession session, mfxBitstream* bs, mfxFrameSurface1* work,
                                          mfxFrameSurface1** out, mfxSyncPoint* syncp) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  FakeSession* state = sessionOf(session);
  if (!state->decoderInitialised) return MFX_ERR_NOT_INITIALIZED;
  if (!out || !syncp || !work) return MFX_ERR_NULL_PTR;
  *out = nullptr;
  *syncp = nullptr;
  if (reinterpret_cast<PoolSurface*>(work)->renderLock != 0) ++EngineLog().workSurfacesStillRendered;
  if (work->Data.Locked > 0) {
    ++EngineLog().workSurfacesLocked;
    return MFX_ERR_MORE_SURFACE;
  }
  FakeEngineConfig& config = EngineConfig();
  if (config.busyForever) {
    ++EngineLog().busyReturned;
    return MFX_WRN_DEVICE_BUSY;
  }
  if (!bs) return state->decoded.empty() ? MFX_ERR_MORE_DATA : output(state, work, out, syncp);
  if (state->decoded.size() > config.reorderDelay) return output(state, work, out, syncp);
  // Busy before anything of this call is taken.
  auto busy = config.busyBeforeInput.find(state->inputs);
  if (busy != config.busyBeforeInput.end() && busy->second > 0 && bs->DataLength >= kToyUnitSize) {
    --busy->second;
    ++EngineLog().busyReturned;
    return MFX_WRN_DEVICE_BUSY;
  }
  // Take units until a picture leaves the reorder delay or the input runs out.
  while (bs->DataLength >= kToyUnitSize) {
    const int64_t next = state->inputs;
    if (next == config.incompatibleAtInput) return MFX_ERR_INCOMPATIBLE_VIDEO_PARAM;
    if (next == config.errorAtInput) return config.errorStatus;
    const mfxU8* unit = bs->Data + bs->DataOffset;
    if (unit[0] != 0 || unit[1] != 0 || unit[2] != 1) return MFX_ERR_UNDEFINED_BEHAVIOR;
    uint32_t number;
    std::memcpy(&number, unit + 3, sizeof(number));
    bs->DataOffset += kToyUnitSize;
    bs->DataLength -= kToyUnitSize;
    state->decoded.push_back(number);
    ++state->inputs;
    if (state->decoded.size() > config.reorderDelay) return output(state, work, out, syncp);
  }
  return MFX_ERR_MORE_DATA;
}

}  // extern "C"
