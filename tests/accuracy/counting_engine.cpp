// A software engine for tests that counts the pictures the real engine hands out: every call
// goes on to the real engine library unchanged, and DecodeFrameAsync calls that return a
// picture are counted. It sits beside a link to the plug-in, which loads it as its engine.
#include <dlfcn.h>

#include <atomic>

#include <mfx/mfxvideo.h>

namespace {

std::atomic<long> outputs{0};

void* RealSymbol(const char* name) {
  static void* engine = dlopen(TESSIVAR_REAL_ENGINE, RTLD_NOW | RTLD_LOCAL);
  return engine ? dlsym(engine, name) : nullptr;
}

}  // namespace

#define TESSIVAR_FORWARD(name, params, args)                                      \
  mfxStatus MFX_CDECL name params {                                               \
    static const auto real = reinterpret_cast<decltype(&::name)>(RealSymbol(#name)); \
    return real ? real args : MFX_ERR_UNSUPPORTED;                                \
  }

extern "C" {

// Pictures handed out by every session since the library was loaded.
__attribute__((visibility("default"))) long TessivarCountedOutputs() { return outputs.load(); }

TESSIVAR_FORWARD(MFXInit, (mfxIMPL impl, mfxVersion* ver, mfxSession* session), (impl, ver, session))
TESSIVAR_FORWARD(MFXClose, (mfxSession session), (session))
TESSIVAR_FORWARD(MFXQueryIMPL, (mfxSession session, mfxIMPL* impl), (session, impl))
TESSIVAR_FORWARD(MFXQueryVersion, (mfxSession session, mfxVersion* version), (session, version))
TESSIVAR_FORWARD(MFXVideoCORE_SetFrameAllocator, (mfxSession session, mfxFrameAllocator* allocator),
                 (session, allocator))
TESSIVAR_FORWARD(MFXVideoCORE_SyncOperation, (mfxSession session, mfxSyncPoint syncp, mfxU32 wait),
                 (session, syncp, wait))
TESSIVAR_FORWARD(MFXVideoDECODE_Query, (mfxSession session, mfxVideoParam* in, mfxVideoParam* out),
                 (session, in, out))
TESSIVAR_FORWARD(MFXVideoDECODE_DecodeHeader, (mfxSession session, mfxBitstream* bs, mfxVideoParam* par),
                 (session, bs, par))
TESSIVAR_FORWARD(MFXVideoDECODE_QueryIOSurf,
                 (mfxSession session, mfxVideoParam* par, mfxFrameAllocRequest* request), (session, par, request))
TESSIVAR_FORWARD(MFXVideoDECODE_Init, (mfxSession session, mfxVideoParam* par), (session, par))
TESSIVAR_FORWARD(MFXVideoDECODE_Reset, (mfxSession session, mfxVideoParam* par), (session, par))
TESSIVAR_FORWARD(MFXVideoDECODE_Close, (mfxSession session), (session))
TESSIVAR_FORWARD(MFXVideoDECODE_GetVideoParam, (mfxSession session, mfxVideoParam* par), (session, par))

mfxStatus MFX_CDECL MFXVideoDECODE_DecodeFrameAsync(mfxSession session, mfxBitstream* bs, mfxFrameSurface1* work,
                                                    mfxFrameSurface1** out, mfxSyncPoint* syncp) {
  static const auto real =
      reinterpret_cast<decltype(&::MFXVideoDECODE_DecodeFrameAsync)>(RealSymbol("MFXVideoDECODE_DecodeFrameAsync"));
  if (!real) return MFX_ERR_UNSUPPORTED;
  const mfxStatus status = real(session, bs, work, out, syncp);
  if (status == MFX_ERR_NONE && out && *out) ++outputs;
  return status;
}

}  // extern "C"
