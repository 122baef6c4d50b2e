// The Media SDK entry points of the software engine library. Each session holds at most one
// decoder; every call of a session is serialised on the session's mutex.
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <mfx/mfxvideo.h>

#include "start_codes.h"
#include "stream_headers.h"
#include "sw_decoder.h"

namespace tessivar::mfxsw {
namespace {

constexpr uint32_t kSessionMagic = 0x54535357;  // "TSSW"

struct Session {
  uint32_t magic = kSessionMagic;
  std::mutex mutex;
  std::unique_ptr<SwDecoder> decoder;
  // Sync point -> surface it locked; a handful at most (one per surface handed out).
  std::vector<std::pair<uintptr_t, mfxFrameSurface1*>> pending;
  uintptr_t nextSync = 1;
  mfxFrameAllocator allocator{};
  bool haveAllocator = false;
};

Session* AsSession(mfxSession handle) {
  auto* s = reinterpret_cast<Session*>(handle);
  return s && s->magic == kSessionMagic ? s : nullptr;
}

bool CodecSupported(uint32_t codecId) {
  return codecId == MFX_CODEC_AVC || codecId == MFX_CODEC_MPEG2 || codecId == MFX_CODEC_VC1;
}

bool BitstreamConsistent(const mfxBitstream& bs) {
  return static_cast<uint64_t>(bs.DataOffset) + bs.DataLength <= bs.MaxLength;
}

// Corrects a parameter set in place; returns the status Query gives for it.
mfxStatus CorrectParams(mfxVideoParam* par) {
  mfxStatus status = MFX_ERR_NONE;
  if (!CodecSupported(par->mfx.CodecId)) {
    par->mfx.CodecId = 0;
    return MFX_ERR_UNSUPPORTED;
  }
  mfxFrameInfo& fi = par->mfx.FrameInfo;
  if (par->IOPattern && par->IOPattern != MFX_IOPATTERN_OUT_SYSTEM_MEMORY) {
    par->IOPattern = 0;
    status = MFX_ERR_UNSUPPORTED;
  }
  if (fi.FourCC && fi.FourCC != MFX_FOURCC_NV12) {
    fi.FourCC = 0;
    status = MFX_ERR_UNSUPPORTED;
  }
  if (fi.ChromaFormat != MFX_CHROMAFORMAT_YUV420 && fi.ChromaFormat != MFX_CHROMAFORMAT_MONOCHROME) {
    fi.ChromaFormat = 0;
    status = MFX_ERR_UNSUPPORTED;
  }
  if (par->Protected) {
    par->Protected = 0;
    status = MFX_ERR_UNSUPPORTED;
  }
  if (status == MFX_ERR_NONE && par->mfx.DecodedOrder) {
    par->mfx.DecodedOrder = 0;
    status = MFX_WRN_INCOMPATIBLE_VIDEO_PARAM;
  }
  return status;
}

// Surfaces the application must have for decoding to proceed. Every picture is copied into the
// surface of the call that returns it and libavcodec keeps its references in memory of its own,
// so a surface is held only from that call to its SyncOperation: the outputs the application
// may leave unsynchronised (AsyncDepth), and one for the next call to decode into. A larger
// pool gains nothing and costs its allocation at every Reset.
mfxU16 SurfacesNeeded(const mfxVideoParam& par) {
  const int async = par.AsyncDepth ? par.AsyncDepth : 1;
  return static_cast<mfxU16>(async + 1);
}

// Runs an entry point's work so that nothing is thrown across the C boundary: a failed
// allocation is the status the contract has for it.
template <class Work>
mfxStatus Guarded(Work work) noexcept {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return MFX_ERR_MEMORY_ALLOC;
  } catch (...) {
    return MFX_ERR_UNKNOWN;
  }
}

// DecodeHeader's scan for the first usable sequence header.
mfxStatus FindSequenceHeader(uint32_t codecId, mfxBitstream* bs, mfxVideoParam* par) {
  const uint8_t* data = bs->Data + bs->DataOffset;
  const size_t size = bs->DataLength;
  const bool atEnd = (bs->DataFlag & MFX_BITSTREAM_EOS) != 0;
  for (size_t sc = FindStartCode(data, size, 0); sc != kNoStartCode; sc = FindStartCode(data, size, sc + 3)) {
    if (!IsSequenceStart(codecId, data[sc + 3])) continue;
    const uint8_t* block = data + sc;
    const size_t rest = size - sc;
    size_t blockSize = SequenceBlockLength(codecId, block, rest, atEnd);
    const bool ppsMissing = codecId == MFX_CODEC_AVC && !AvcHasMatchingPps(block, rest);
    if (!blockSize || (ppsMissing && !atEnd)) {
      // The header is cut off: keep it for the next call.
      bs->DataOffset += static_cast<mfxU32>(sc);
      bs->DataLength -= static_cast<mfxU32>(sc);
      return MFX_ERR_MORE_DATA;
    }
    SequenceInfo info;
    if (!ParseSequenceBlock(codecId, block, blockSize, &info)) continue;
    if (!info.supported) return MFX_ERR_UNSUPPORTED;
    FillVideoParam(info, &par->mfx);
    const size_t start = sc > 0 && data[sc - 1] == 0 ? sc - 1 : sc;  // a 4-byte start code
    bs->DataOffset += static_cast<mfxU32>(start);
    bs->DataLength -= static_cast<mfxU32>(start);
    return MFX_ERR_NONE;
  }
  const size_t skip = size > 3 ? size - 3 : 0;
  bs->DataOffset += static_cast<mfxU32>(skip);
  bs->DataLength -= static_cast<mfxU32>(skip);
  return MFX_ERR_MORE_DATA;
}

}  // namespace
}  // namespace tessivar::mfxsw

using tessivar::mfxsw::AsSession;
using tessivar::mfxsw::Guarded;
using tessivar::mfxsw::Session;

extern "C" {

mfxStatus MFX_CDECL MFXInit(mfxIMPL impl, mfxVersion* ver, mfxSession* session) {
  if (!session) return MFX_ERR_NULL_PTR;
  *session = nullptr;
  const mfxIMPL base = MFX_IMPL_BASETYPE(impl);
  if (base != MFX_IMPL_SOFTWARE && base != MFX_IMPL_AUTO && base != MFX_IMPL_AUTO_ANY) return MFX_ERR_UNSUPPORTED;
  if (ver && (ver->Major != MFX_VERSION_MAJOR || ver->Minor > MFX_VERSION_MINOR)) return MFX_ERR_UNSUPPORTED;
  auto* s = new (std::nothrow) Session;
  if (!s) return MFX_ERR_MEMORY_ALLOC;
  *session = reinterpret_cast<mfxSession>(s);
  return MFX_ERR_NONE;
}

mfxStatus MFX_CDECL MFXInitEx(mfxInitParam par, mfxSession* session) {
  return MFXInit(par.Implementation, &par.Version, session);
}

mfxStatus MFX_CDECL MFXClose(mfxSession session) {
  Session* s = AsSession(session);
  if (!s) return MFX_ERR_INVALID_HANDLE;
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->decoder.reset();
    s->pending.clear();
    s->magic = 0;
  }
  delete s;
  return MFX_ERR_NONE;
}

mfxStatus MFX_CDECL MFXQueryIMPL(mfxSession session, mfxIMPL* impl) {
  if (!AsSession(session)) return MFX_ERR_INVALID_HANDLE;
  if (!impl) return MFX_ERR_NULL_PTR;
  *impl = MFX_IMPL_SOFTWARE;
  return MFX_ERR_NONE;
}

mfxStatus MFX_CDECL MFXQueryVersion(mfxSession session, mfxVersion* version) {
  if (!AsSession(session)) return MFX_ERR_INVALID_HANDLE;
  if (!version) return MFX_ERR_NULL_PTR;
  version->Major = MFX_VERSION_MAJOR;
  version->Minor = MFX_VERSION_MINOR;
  return MFX_ERR_NONE;
}

mfxStatus MFX_CDECL MFXVideoCORE_SetFrameAllocator(mfxSession session, mfxFrameAllocator* allocator) {
  Session* s = AsSession(session);
  if (!s) return MFX_ERR_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(s->mutex);
  s->haveAllocator = allocator != nullptr;
  if (allocator) s->allocator = *allocator;
  return MFX_ERR_NONE;
}

mfxStatus MFX_CDECL MFXVideoCORE_SyncOperation(mfxSession session, mfxSyncPoint syncp, mfxU32 /*wait*/) {
  Session* s = AsSession(session);
  if (!s) return MFX_ERR_INVALID_HANDLE;
  if (!syncp) return MFX_ERR_NULL_PTR;
  std::lock_guard<std::mutex> lock(s->mutex);
  const uintptr_t id = reinterpret_cast<uintptr_t>(syncp);
  auto it = s->pending.begin();
  while (it != s->pending.end() && it->first != id) ++it;
  if (it == s->pending.end()) return MFX_ERR_NOT_FOUND;
  // The picture was written into the surface before DecodeFrameAsync returned; the decoder no
  // longer needs the surface.
  if (it->second->Data.Locked > 0) --it->second->Data.Locked;
  *it = s->pending.back();
  s->pending.pop_back();
  return MFX_ERR_NONE;
}

mfxStatus MFX_CDECL MFXVideoDECODE_Query(mfxSession session, mfxVideoParam* in, mfxVideoParam* out) {
  if (!AsSession(session)) return MFX_ERR_INVALID_HANDLE;
  if (!out) return MFX_ERR_NULL_PTR;
  if (!in) {
    mfxExtBuffer** ext = out->ExtParam;
    const mfxU16 numExt = out->NumExtParam;
    std::memset(out, 0, sizeof(*out));
    out->ExtParam = ext;
    out->NumExtParam = numExt;
    mfxInfoMFX& m = out->mfx;
    m.CodecId = m.CodecProfile = m.CodecLevel = 1;
    m.ExtendedPicStruct = 1;
    mfxFrameInfo& fi = m.FrameInfo;
    fi.FourCC = fi.ChromaFormat = 1;
    fi.Width = fi.Height = fi.CropX = fi.CropY = fi.CropW = fi.CropH = 1;
    fi.FrameRateExtN = fi.FrameRateExtD = 1;
    fi.AspectRatioW = fi.AspectRatioH = fi.PicStruct = 1;
    out->IOPattern = 1;
    out->AsyncDepth = 1;
    return MFX_ERR_NONE;
  }
  if (in != out) {
    mfxExtBuffer** ext = out->ExtParam;
    const mfxU16 numExt = out->NumExtParam;
    *out = *in;
    out->ExtParam = ext;
    out->NumExtParam = numExt;
  }
  return tessivar::mfxsw::CorrectParams(out);
}

mfxStatus MFX_CDECL MFXVideoDECODE_QueryIOSurf(mfxSession session, mfxVideoParam* par, mfxFrameAllocRequest* request) {
  if (!AsSession(session)) return MFX_ERR_INVALID_HANDLE;
  if (!par || !request) return MFX_ERR_NULL_PTR;
  if (!tessivar::mfxsw::CodecSupported(par->mfx.CodecId)) return MFX_ERR_UNSUPPORTED;
  if (par->IOPattern != MFX_IOPATTERN_OUT_SYSTEM_MEMORY) return MFX_ERR_INVALID_VIDEO_PARAM;
  std::memset(request, 0, sizeof(*request));
  request->Info = par->mfx.FrameInfo;
  request->Type = MFX_MEMTYPE_EXTERNAL_FRAME | MFX_MEMTYPE_FROM_DECODE | MFX_MEMTYPE_SYSTEM_MEMORY;
  request->NumFrameMin = request->NumFrameSuggested = tessivar::mfxsw::SurfacesNeeded(*par);
  return MFX_ERR_NONE;
}

mfxStatus MFX_CDECL MFXVideoDECODE_DecodeHeader(mfxSession session, mfxBitstream* bs, mfxVideoParam* par) {
  using namespace tessivar::mfxsw;
  if (!AsSession(session)) return MFX_ERR_INVALID_HANDLE;
  if (!bs || !par) return MFX_ERR_NULL_PTR;
  const uint32_t codecId = par->mfx.CodecId;
  if (!CodecSupported(codecId)) return MFX_ERR_UNSUPPORTED;
  if (!bs->Data && bs->DataLength) return MFX_ERR_NULL_PTR;
  if (!BitstreamConsistent(*bs)) return MFX_ERR_UNDEFINED_BEHAVIOR;
  return Guarded([&] { return FindSequenceHeader(codecId, bs, par); });
}

mfxStatus MFX_CDECL MFXVideoDECODE_Init(mfxSession session, mfxVideoParam* par) {
  using namespace tessivar::mfxsw;
  Session* s = AsSession(session);
  if (!s) return MFX_ERR_INVALID_HANDLE;
  if (!par) return MFX_ERR_NULL_PTR;
  std::lock_guard<std::mutex> lock(s->mutex);
  if (s->decoder) return MFX_ERR_UNDEFINED_BEHAVIOR;
  if (!CodecSupported(par->mfx.CodecId)) return MFX_ERR_UNSUPPORTED;
  if (par->IOPattern != MFX_IOPATTERN_OUT_SYSTEM_MEMORY) return MFX_ERR_INVALID_VIDEO_PARAM;
  const mfxFrameInfo& fi = par->mfx.FrameInfo;
  if (!fi.Width || !fi.Height || fi.Width % 16 || fi.Height % 16) return MFX_ERR_INVALID_VIDEO_PARAM;
  if (fi.Width > kMaxPictureSize || fi.Height > kMaxPictureSize) return MFX_ERR_UNSUPPORTED;
  mfxVideoParam checked = *par;
  mfxStatus status = CorrectParams(&checked);
  if (status < MFX_ERR_NONE) return status;
  std::unique_ptr<SwDecoder> decoder;
  const mfxStatus init = Guarded([&] {
    decoder = std::make_unique<SwDecoder>();
    return decoder->Init(checked);
  });
  if (init != MFX_ERR_NONE) return init;
  s->decoder = std::move(decoder);
  s->pending.clear();
  return status;
}

mfxStatus MFX_CDECL MFXVideoDECODE_Reset(mfxSession session, mfxVideoParam* par) {
  Session* s = AsSession(session);
  if (!s) return MFX_ERR_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(s->mutex);
  if (!s->decoder) return MFX_ERR_NOT_INITIALIZED;
  if (!par) return MFX_ERR_NULL_PTR;
  const mfxVideoParam& current = s->decoder->Params();
  if (par->IOPattern != MFX_IOPATTERN_OUT_SYSTEM_MEMORY) return MFX_ERR_INVALID_VIDEO_PARAM;
  const mfxFrameInfo& fi = par->mfx.FrameInfo;
  if (par->mfx.CodecId != current.mfx.CodecId || fi.Width > current.mfx.FrameInfo.Width ||
      fi.Height > current.mfx.FrameInfo.Height || (fi.FourCC && fi.FourCC != MFX_FOURCC_NV12))
    return MFX_ERR_INCOMPATIBLE_VIDEO_PARAM;
  s->pending.clear();
  return Guarded([&] { return s->decoder->Reset(*par); });
}

mfxStatus MFX_CDECL MFXVideoDECODE_Close(mfxSession session) {
  Session* s = AsSession(session);
  if (!s) return MFX_ERR_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(s->mutex);
  if (!s->decoder) return MFX_ERR_NOT_INITIALIZED;
  s->decoder.reset();
  s->pending.clear();
  return MFX_ERR_NONE;
}

mfxStatus MFX_CDECL MFXVideoDECODE_GetVideoParam(mfxSession session, mfxVideoParam* par) {
  Session* s = AsSession(session);
  if (!s) return MFX_ERR_INVALID_HANDLE;
  if (!par) return MFX_ERR_NULL_PTR;
  std::lock_guard<std::mutex> lock(s->mutex);
  if (!s->decoder) return MFX_ERR_NOT_INITIALIZED;
  mfxExtBuffer** ext = par->ExtParam;
  const mfxU16 numExt = par->NumExtParam;
  *par = s->decoder->Params();
  par->ExtParam = ext;
  par->NumExtParam = numExt;
  return MFX_ERR_NONE;
}

mfxStatus MFX_CDECL MFXVideoDECODE_DecodeFrameAsync(mfxSession session, mfxBitstream* bs, mfxFrameSurface1* work,
                                                    mfxFrameSurface1** out, mfxSyncPoint* syncp) {
  Session* s = AsSession(session);
  if (!s) return MFX_ERR_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(s->mutex);
  if (!s->decoder) return MFX_ERR_NOT_INITIALIZED;
  if (!out || !syncp) return MFX_ERR_NULL_PTR;
  *out = nullptr;
  *syncp = nullptr;
  if (!work) return MFX_ERR_NULL_PTR;
  if (bs && !bs->Data && bs->DataLength) return MFX_ERR_NULL_PTR;
  if (bs && !tessivar::mfxsw::BitstreamConsistent(*bs)) return MFX_ERR_UNDEFINED_BEHAVIOR;
  if (work->Data.Locked > 0) return MFX_ERR_MORE_SURFACE;

  // A surface given by memory id only is locked through the session's allocator.
  bool lockedHere = false;
  if (!work->Data.Y || !work->Data.UV) {
    if (!s->haveAllocator || !work->Data.MemId || !s->allocator.Lock) return MFX_ERR_LOCK_MEMORY;
    if (s->allocator.Lock(s->allocator.pthis, work->Data.MemId, &work->Data) < MFX_ERR_NONE) return MFX_ERR_LOCK_MEMORY;
    lockedHere = true;
  }
  // Room for the sync point first, so that a picture taken from the decoder is never lost.
  mfxStatus status = Guarded([&] {
    s->pending.reserve(s->pending.size() + 1);
    return s->decoder->DecodeStep(bs, work);
  });
  if (lockedHere && s->allocator.Unlock) s->allocator.Unlock(s->allocator.pthis, work->Data.MemId, &work->Data);
  if (status != MFX_ERR_NONE) return status;
  ++work->Data.Locked;
  const uintptr_t id = s->nextSync++;
  s->pending.emplace_back(id, work);
  *out = work;
  *syncp = reinterpret_cast<mfxSyncPoint>(id);
  return MFX_ERR_NONE;
}

}  // extern "C"
