#include "mfx_dispatch.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdint>
#include <mutex>
#include <new>

#include <mfx/mfxvideo.h>

// Every session function of the API, resolved per library when the session opens.
#define TESSIVAR_MFX_SESSION_FUNCTIONS(X)                                                          \
  X(MFXClose) X(MFXQueryIMPL) X(MFXQueryVersion) X(MFXJoinSession) X(MFXDisjoinSession)            \
  X(MFXCloneSession) X(MFXSetPriority) X(MFXGetPriority) X(MFXDoWork)                              \
  X(MFXVideoCORE_SetBufferAllocator) X(MFXVideoCORE_SetFrameAllocator) X(MFXVideoCORE_SetHandle)   \
  X(MFXVideoCORE_GetHandle) X(MFXVideoCORE_QueryPlatform) X(MFXVideoCORE_SyncOperation)            \
  X(MFXVideoDECODE_Query) X(MFXVideoDECODE_DecodeHeader) X(MFXVideoDECODE_QueryIOSurf)             \
  X(MFXVideoDECODE_Init) X(MFXVideoDECODE_Reset) X(MFXVideoDECODE_Close)                          \
  X(MFXVideoDECODE_GetVideoParam) X(MFXVideoDECODE_GetDecodeStat) X(MFXVideoDECODE_SetSkipMode)   \
  X(MFXVideoDECODE_GetPayload) X(MFXVideoDECODE_DecodeFrameAsync)

namespace tessivar::mfx {
namespace {

constexpr uint32_t kRouteMagic = 0x5453524F;  // "TSRO"
constexpr const char* kSystemDispatcher = "libmfx.so.1";

struct FunctionTable {
#define TESSIVAR_MFX_MEMBER(name) decltype(&::name) name = nullptr;
  TESSIVAR_MFX_SESSION_FUNCTIONS(TESSIVAR_MFX_MEMBER)
#undef TESSIVAR_MFX_MEMBER
};

// The handle the application holds: the library's own session plus that library's functions.
struct RoutedSession {
  uint32_t magic = kRouteMagic;
  void* library = nullptr;
  mfxSession inner = nullptr;
  FunctionTable fn;
};

std::mutex folderMutex;
std::string folderOverride;

RoutedSession* AsRouted(mfxSession session) {
  auto* r = reinterpret_cast<RoutedSession*>(session);
  return r && r->magic == kRouteMagic ? r : nullptr;
}

// A symbol of the library itself: dlsym also searches the libraries it depends on, and one of
// those (libavcodec's Media SDK support) brings the system dispatcher's MFX functions along.
void* OwnSymbol(void* library, const char* name) {
  void* symbol = dlsym(library, name);
  link_map* map = nullptr;
  Dl_info info{};
  if (!symbol || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || !map || !dladdr(symbol, &info)) return nullptr;
  return info.dli_fbase == reinterpret_cast<void*>(map->l_addr) ? symbol : nullptr;
}

void Resolve(void* library, FunctionTable* fn) {
#define TESSIVAR_MFX_RESOLVE(name) fn->name = reinterpret_cast<decltype(&::name)>(OwnSymbol(library, #name));
  TESSIVAR_MFX_SESSION_FUNCTIONS(TESSIVAR_MFX_RESOLVE)
#undef TESSIVAR_MFX_RESOLVE
}

// Opens a session in `path` (a library the dynamic loader finds by that name or path).
mfxStatus OpenIn(const std::string& path, mfxIMPL impl, mfxVersion* ver, mfxSession* session) {
  // Once loaded, a library stays for the life of the process: its decoders keep process-wide
  // state (tables built on first use) that must not vanish with the last session.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!library) return MFX_ERR_UNSUPPORTED;
  auto init = reinterpret_cast<decltype(&::MFXInit)>(OwnSymbol(library, "MFXInit"));
  if (!init) {
    dlclose(library);
    return MFX_ERR_UNSUPPORTED;
  }
  mfxSession inner = nullptr;
  mfxStatus status = init(impl, ver, &inner);
  if (status < MFX_ERR_NONE || !inner) {
    dlclose(library);
    return status < MFX_ERR_NONE ? status : MFX_ERR_UNKNOWN;
  }
  auto* routed = new (std::nothrow) RoutedSession;
  if (!routed) {
    auto close = reinterpret_cast<decltype(&::MFXClose)>(OwnSymbol(library, "MFXClose"));
    if (close) close(inner);
    dlclose(library);
    return MFX_ERR_MEMORY_ALLOC;
  }
  routed->library = library;
  routed->inner = inner;
  Resolve(library, &routed->fn);
  *session = reinterpret_cast<mfxSession>(routed);
  return status;
}

std::string EnginePath() {
  std::string folder = EngineFolder();
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder + EngineFileName();
}

}  // namespace

const char* EngineFileName() { return sizeof(void*) == 8 ? "libmfxsw64.so" : "libmfxsw32.so"; }

std::string EngineFolder() {
  {
    std::lock_guard<std::mutex> lock(folderMutex);
    if (!folderOverride.empty()) return folderOverride;
  }
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&EngineFolder), &info) || !info.dli_fname) return ".";
  std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

void SetEngineFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(folderMutex);
  folderOverride = folder;
}

}  // namespace tessivar::mfx

using tessivar::mfx::AsRouted;
using tessivar::mfx::RoutedSession;

extern "C" {

mfxStatus MFX_CDECL MFXInit(mfxIMPL impl, mfxVersion* ver, mfxSession* session) {
  if (!session) return MFX_ERR_NULL_PTR;
  *session = nullptr;
  switch (MFX_IMPL_BASETYPE(impl)) {
    case MFX_IMPL_SOFTWARE:
      return tessivar::mfx::OpenIn(tessivar::mfx::EnginePath(), impl, ver, session);
    case MFX_IMPL_HARDWARE:
    case MFX_IMPL_HARDWARE_ANY:
    case MFX_IMPL_HARDWARE2:
    case MFX_IMPL_HARDWARE3:
    case MFX_IMPL_HARDWARE4:
      return tessivar::mfx::OpenIn(tessivar::mfx::kSystemDispatcher, impl, ver, session);
    default:
      return MFX_ERR_UNSUPPORTED;
  }
}

mfxStatus MFX_CDECL MFXInitEx(mfxInitParam par, mfxSession* session) {
  return MFXInit(par.Implementation, &par.Version, session);
}

mfxStatus MFX_CDECL MFXClose(mfxSession session) {
  RoutedSession* r = AsRouted(session);
  if (!r) return MFX_ERR_INVALID_HANDLE;
  mfxStatus status = r->fn.MFXClose ? r->fn.MFXClose(r->inner) : MFX_ERR_NONE;
  r->magic = 0;
  dlclose(r->library);
  delete r;
  return status;
}

mfxStatus MFX_CDECL MFXJoinSession(mfxSession session, mfxSession child) {
  RoutedSession* r = AsRouted(session);
  RoutedSession* c = AsRouted(child);
  if (!r || !c) return MFX_ERR_INVALID_HANDLE;
  if (r->library != c->library || !r->fn.MFXJoinSession) return MFX_ERR_UNSUPPORTED;
  return r->fn.MFXJoinSession(r->inner, c->inner);
}

mfxStatus MFX_CDECL MFXCloneSession(mfxSession session, mfxSession* clone) {
  RoutedSession* r = AsRouted(session);
  if (!r) return MFX_ERR_INVALID_HANDLE;
  if (!clone) return MFX_ERR_NULL_PTR;
  if (!r->fn.MFXCloneSession) return MFX_ERR_UNSUPPORTED;
  mfxSession inner = nullptr;
  mfxStatus status = r->fn.MFXCloneSession(r->inner, &inner);
  if (status < MFX_ERR_NONE) return status;
  Dl_info info{};
  void* library = dladdr(reinterpret_cast<void*>(r->fn.MFXCloneSession), &info) && info.dli_fname
                      ? dlopen(info.dli_fname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)
                      : nullptr;
  auto* copy = library ? new (std::nothrow) RoutedSession : nullptr;
  if (!copy) {
    if (r->fn.MFXClose) r->fn.MFXClose(inner);
    if (library) dlclose(library);
    return MFX_ERR_MEMORY_ALLOC;
  }
  copy->library = library;
  copy->inner = inner;
  copy->fn = r->fn;
  *clone = reinterpret_cast<mfxSession>(copy);
  return status;
}

// Every other call goes to the library that opened the session.
#define TESSIVAR_MFX_FORWARD(name, params, args)                   \
  mfxStatus MFX_CDECL name params {                                \
    RoutedSession* r = AsRouted(session);                          \
    if (!r) return MFX_ERR_INVALID_HANDLE;                         \
    if (!r->fn.name) return MFX_ERR_UNSUPPORTED;                   \
    return r->fn.name args;                                        \
  }

TESSIVAR_MFX_FORWARD(MFXQueryIMPL, (mfxSession session, mfxIMPL* impl), (r->inner, impl))
TESSIVAR_MFX_FORWARD(MFXQueryVersion, (mfxSession session, mfxVersion* version), (r->inner, version))
TESSIVAR_MFX_FORWARD(MFXDisjoinSession, (mfxSession session), (r->inner))
TESSIVAR_MFX_FORWARD(MFXSetPriority, (mfxSession session, mfxPriority priority), (r->inner, priority))
TESSIVAR_MFX_FORWARD(MFXGetPriority, (mfxSession session, mfxPriority* priority), (r->inner, priority))
TESSIVAR_MFX_FORWARD(MFXDoWork, (mfxSession session), (r->inner))
TESSIVAR_MFX_FORWARD(MFXVideoCORE_SetBufferAllocator, (mfxSession session, mfxBufferAllocator* allocator),
                     (r->inner, allocator))
TESSIVAR_MFX_FORWARD(MFXVideoCORE_SetFrameAllocator, (mfxSession session, mfxFrameAllocator* allocator),
                     (r->inner, allocator))
TESSIVAR_MFX_FORWARD(MFXVideoCORE_SetHandle, (mfxSession session, mfxHandleType type, mfxHDL hdl),
                     (r->inner, type, hdl))
TESSIVAR_MFX_FORWARD(MFXVideoCORE_GetHandle, (mfxSession session, mfxHandleType type, mfxHDL* hdl),
                     (r->inner, type, hdl))
TESSIVAR_MFX_FORWARD(MFXVideoCORE_QueryPlatform, (mfxSession session, mfxPlatform* platform), (r->inner, platform))
TESSIVAR_MFX_FORWARD(MFXVideoCORE_SyncOperation, (mfxSession session, mfxSyncPoint syncp, mfxU32 wait),
                     (r->inner, syncp, wait))
TESSIVAR_MFX_FORWARD(MFXVideoDECODE_Query, (mfxSession session, mfxVideoParam* in, mfxVideoParam* out),
                     (r->inner, in, out))
TESSIVAR_MFX_FORWARD(MFXVideoDECODE_DecodeHeader, (mfxSession session, mfxBitstream* bs, mfxVideoParam* par),
                     (r->inner, bs, par))
TESSIVAR_MFX_FORWARD(MFXVideoDECODE_QueryIOSurf,
                     (mfxSession session, mfxVideoParam* par, mfxFrameAllocRequest* request), (r->inner, par, request))
TESSIVAR_MFX_FORWARD(MFXVideoDECODE_Init, (mfxSession session, mfxVideoParam* par), (r->inner, par))
TESSIVAR_MFX_FORWARD(MFXVideoDECODE_Reset, (mfxSession session, mfxVideoParam* par), (r->inner, par))
TESSIVAR_MFX_FORWARD(MFXVideoDECODE_Close, (mfxSession session), (r->inner))
TESSIVAR_MFX_FORWARD(MFXVideoDECODE_GetVideoParam, (mfxSession session, mfxVideoParam* par), (r->inner, par))
TESSIVAR_MFX_FORWARD(MFXVideoDECODE_GetDecodeStat, (mfxSession session, mfxDecodeStat* stat), (r->inner, stat))
TESSIVAR_MFX_FORWARD(MFXVideoDECODE_SetSkipMode, (mfxSession session, mfxSkipMode mode), (r->inner, mode))
TESSIVAR_MFX_FORWARD(MFXVideoDECODE_GetPayload, (mfxSession session, mfxU64* ts, mfxPayload* payload),
                     (r->inner, ts, payload))
TESSIVAR_MFX_FORWARD(MFXVideoDECODE_DecodeFrameAsync,
                     (mfxSession session, mfxBitstream* bs, mfxFrameSurface1* surface_work,
                      mfxFrameSurface1** surface_out, mfxSyncPoint* syncp),
                     (r->inner, bs, surface_work, surface_out, syncp))

#undef TESSIVAR_MFX_FORWARD

}  // extern "C"
