// The software engine against a hostile process: allocations that fail on any thread and a
// parser that takes nothing on some calls. The program links the engine directly; its own
// operator new and av_parser_parse2 take the place of the runtime's and libavcodec's for
// the engine's calls too.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include <mfx/mfxvideo.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/md5.h>
}

namespace {

// Allocation failure: while armed, the allocation numbered `failAt` (from 0) throws.
std::atomic<bool> allocArmed{false};
std::atomic<long> allocCount{0};
std::atomic<long> failAt{-1};

// Parser stall: while set, every `stallEvery`-th parser call with input takes no byte and
// gives no packet, as a parser may.
std::atomic<int> stallEvery{0};
std::atomic<int> parserCalls{0};

// Parser creation failure: while set, av_parser_init gives no parser.
std::atomic<bool> parserInitFails{false};

}  // namespace

// The replacement pair is malloc and free; GCC takes free in an operator delete for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (allocArmed.load(std::memory_order_relaxed) && allocCount.fetch_add(1) == failAt.load()) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
// Memory from the operator new above goes back to malloc's heap.
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
// The nothrow forms draw on the same heap and the same count, so that every delete meets
// memory of its own kind (a sanitizer runtime checks the pairing).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

extern "C" __attribute__((visibility("default"))) int av_parser_parse2(AVCodecParserContext* s, AVCodecContext* avctx, uint8_t** poutbuf, int* poutbuf_size,
                                const uint8_t* buf, int buf_size, int64_t pts, int64_t dts, int64_t pos) {
  using Parse = int (*)(AVCodecParserContext*, AVCodecContext*, uint8_t**, int*, const uint8_t*, int, int64_t, int64_t,
                        int64_t);
  static const Parse real = reinterpret_cast<Parse>(dlsym(RTLD_NEXT, "av_parser_parse2"));
  const int every = stallEvery.load();
  if (every > 0 && buf_size > 0 && parserCalls.fetch_add(1) % every == every - 1) {
    *poutbuf = nullptr;
    *poutbuf_size = 0;
    return 0;
  }
  return real(s, avctx, poutbuf, poutbuf_size, buf, buf_size, pts, dts, pos);
}

extern "C" __attribute__((visibility("default"))) AVCodecParserContext* av_parser_init(int codec_id) {
  using Init = AVCodecParserContext* (*)(int);
  static const Init real = reinterpret_cast<Init>(dlsym(RTLD_NEXT, "av_parser_init"));
  return parserInitFails.load() ? nullptr : real(codec_id);
}

namespace {

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string LumaMd5(const mfxFrameSurface1& s) {
  const size_t pitch = (static_cast<size_t>(s.Data.PitchHigh) << 16) | s.Data.PitchLow;
  uint8_t digest[16];
  AVMD5* md5 = av_md5_alloc();
  av_md5_init(md5);
  for (int y = 0; y < s.Info.CropH; ++y) av_md5_update(md5, s.Data.Y + (s.Info.CropY + y) * pitch + s.Info.CropX, s.Info.CropW);
  av_md5_final(md5, digest);
  av_free(md5);
  return std::string(reinterpret_cast<const char*>(digest), 16);
}

struct Played {
  mfxStatus status = MFX_ERR_NONE;  // MFX_ERR_MORE_DATA: played to the end
  bool threw = false;               // an exception came out of an entry point
  int pictures = 0;
  std::vector<std::string> md5s;
};

// Plays a stream through the C entry points the way the pipeline does: the unread rest moves
// to the front before each refill of `chunk` bytes, then a drain. Nothing here allocates
// between the first and the last entry point call but the reserved MD5 list.
// With `failAllocation` >= 0, that allocation (counted from the first entry point call) fails.
Played Play(uint32_t codecId, const std::vector<uint8_t>& stream, size_t chunk, bool keepMd5s,
            long failAllocation = -2) {
  Played played;
  std::vector<uint8_t> buffer(stream.size() + 64);
  constexpr size_t kMaxPicture = 1920 * 1088 * 3 / 2;
  std::vector<std::vector<uint8_t>> planes(4, std::vector<uint8_t>(kMaxPicture));
  std::vector<mfxFrameSurface1> surfaces(4);
  if (keepMd5s) played.md5s.reserve(4096);
  mfxSession session = nullptr;
  if (failAllocation > -2) {
    allocCount = 0;
    failAt = failAllocation;
    allocArmed = true;
  }
  mfxVersion version{{0, 1}};
  try {
    if (MFXInit(MFX_IMPL_SOFTWARE, &version, &session) != MFX_ERR_NONE) {
      played.status = MFX_ERR_MEMORY_ALLOC;
      return played;
    }
    mfxBitstream bs{};
    bs.Data = buffer.data();
    bs.MaxLength = static_cast<mfxU32>(buffer.size());
    size_t fed = 0;
    const auto refill = [&] {
      std::memmove(buffer.data(), buffer.data() + bs.DataOffset, bs.DataLength);
      bs.DataOffset = 0;
      const size_t n = std::min({chunk, stream.size() - fed, buffer.size() - bs.DataLength});
      std::memcpy(buffer.data() + bs.DataLength, stream.data() + fed, n);
      bs.DataLength += static_cast<mfxU32>(n);
      fed += n;
    };
    refill();
    mfxVideoParam par{};
    par.mfx.CodecId = codecId;
    mfxStatus st;
    while ((st = MFXVideoDECODE_DecodeHeader(session, &bs, &par)) == MFX_ERR_MORE_DATA && fed < stream.size()) refill();
    if (st == MFX_ERR_NONE) {
      par.IOPattern = MFX_IOPATTERN_OUT_SYSTEM_MEMORY;
      par.AsyncDepth = 1;
      const mfxFrameInfo& info = par.mfx.FrameInfo;
      if (size_t(info.Width) * info.Height * 3 / 2 > kMaxPicture) st = MFX_ERR_UNSUPPORTED;
      for (size_t i = 0; i < surfaces.size(); ++i) {
        surfaces[i].Info = info;
        surfaces[i].Data.Y = planes[i].data();
        surfaces[i].Data.UV = planes[i].data() + size_t(info.Width) * info.Height;
        surfaces[i].Data.PitchLow = info.Width;
      }
      st = MFXVideoDECODE_Init(session, &par);
    }
    bool draining = false;
    while (st >= MFX_ERR_NONE || st == MFX_ERR_MORE_DATA) {
      mfxFrameSurface1* work = &surfaces[played.pictures % surfaces.size()];
      mfxFrameSurface1* out = nullptr;
      mfxSyncPoint sync = nullptr;
      st = MFXVideoDECODE_DecodeFrameAsync(session, draining ? nullptr : &bs, work, &out, &sync);
      if (st == MFX_ERR_NONE) {
        st = MFXVideoCORE_SyncOperation(session, sync, 60000);
        if (keepMd5s && played.md5s.size() < played.md5s.capacity()) played.md5s.push_back(LumaMd5(*out));
        ++played.pictures;
      } else if (st == MFX_ERR_MORE_DATA) {
        if (draining) break;
        if (fed < stream.size()) refill();
        else draining = true;
      }
    }
    played.status = st;
  } catch (...) {
    played.threw = true;
  }
  if (session) MFXClose(session);
  allocArmed = false;
  return played;
}

struct Stream {
  const char* file;
  uint32_t codecId;
};

std::string StreamPath(const char* file) {
  const std::string name = file;
  return name.rfind("vc1_", 0) == 0 ? std::string(TESSIVAR_SHARED_DIR) + "/testdata/vc1/" + name
                                    : std::string(TESSIVAR_CORPUS_DIR) + "/" + name;
}

// Bytes a parser call leaves are the next call's: the pictures and their order stay those of
// a pass where the parser never stalls, whatever the chunking.
TEST(EngineHostile, BytesAParserCallLeavesAreKept) {
  const Stream streams[] = {{"avc_open_gop.264", MFX_CODEC_AVC}, {"m2v_prog_open.m2v", MFX_CODEC_MPEG2},
                            {"vc1_ap_gops.vc1", MFX_CODEC_VC1}};
  for (const Stream& stream : streams) {
    const std::vector<uint8_t> data = ReadFile(StreamPath(stream.file));
    if (data.empty()) GTEST_SKIP() << "missing " << StreamPath(stream.file);
    const Played reference = Play(stream.codecId, data, 1 << 20, true);
    ASSERT_EQ(reference.status, MFX_ERR_MORE_DATA) << stream.file;
    for (size_t chunk : {size_t(997), size_t(1) << 20}) {
      for (int every : {2, 5}) {
        stallEvery = every;
        parserCalls = 0;
        const Played stalled = Play(stream.codecId, data, chunk, true);
        stallEvery = 0;
        ASSERT_GT(parserCalls.load(), every) << "the parser call is not the program's";
        EXPECT_EQ(stalled.status, MFX_ERR_MORE_DATA) << stream.file << " chunk " << chunk << " stall " << every;
        EXPECT_EQ(stalled.pictures, reference.pictures) << stream.file << " chunk " << chunk << " stall " << every;
        EXPECT_TRUE(stalled.md5s == reference.md5s) << stream.file << " chunk " << chunk << " stall " << every;
      }
    }
  }
}

// An allocation that fails anywhere, on the caller's thread or the engine's, ends in
// MFX_ERR_MEMORY_ALLOC from an entry point: no exception across the C boundary, no ended
// process, and the session still closes.
TEST(EngineHostile, FailedAllocationIsMemoryAllocStatus) {
  const std::vector<uint8_t> whole = ReadFile(StreamPath("avc_open_gop.264"));
  if (whole.empty()) GTEST_SKIP() << "missing " << StreamPath("avc_open_gop.264");
  const std::vector<uint8_t> data(whole.begin(), whole.begin() + std::min<size_t>(whole.size(), 60000));
  // A clean pass counts the allocations the engine makes.
  const Played clean = Play(MFX_CODEC_AVC, data, 4096, false, -1);
  const long total = allocCount.load();
  ASSERT_EQ(clean.status, MFX_ERR_MORE_DATA);
  ASSERT_GT(total, 10);
  int memoryAlloc = 0;
  const long step = std::max(1L, total / 400);
  for (long n = 0; n < total; n += step) {
    const Played played = Play(MFX_CODEC_AVC, data, 4096, false, n);
    EXPECT_FALSE(played.threw) << "allocation " << n << " of " << total;
    EXPECT_TRUE(played.status == MFX_ERR_MORE_DATA || played.status == MFX_ERR_MEMORY_ALLOC)
        << "allocation " << n << ": status " << played.status;
    if (played.status == MFX_ERR_MEMORY_ALLOC) ++memoryAlloc;
    else EXPECT_EQ(played.pictures, clean.pictures) << "allocation " << n;
  }
  EXPECT_GT(memoryAlloc, 0);
}

}  // namespace

namespace {

// A Reset, or the restart after a drain, that cannot make its parser ends the decode calls
// after it in MFX_ERR_MEMORY_ALLOC (nothing is handed to a missing parser); a later Reset
// that can make one decodes again.
TEST(EngineHostile, ParserThatCannotBeMadeAgainIsMemoryAllocStatus) {
  const std::vector<uint8_t> whole = ReadFile(StreamPath("avc_prog_closed.264"));
  if (whole.empty()) GTEST_SKIP() << "missing " << StreamPath("avc_prog_closed.264");
  std::vector<uint8_t> buffer(whole.size());
  std::vector<uint8_t> planes(size_t{4} << 20);
  mfxSession session = nullptr;
  mfxVersion version{{0, 1}};
  ASSERT_EQ(MFXInit(MFX_IMPL_SOFTWARE, &version, &session), MFX_ERR_NONE);
  mfxBitstream bs{};
  bs.Data = buffer.data();
  bs.MaxLength = static_cast<mfxU32>(buffer.size());
  const auto refill = [&] {
    std::memcpy(buffer.data(), whole.data(), whole.size());
    bs.DataOffset = 0;
    bs.DataLength = static_cast<mfxU32>(whole.size());
  };
  refill();
  mfxVideoParam par{};
  par.mfx.CodecId = MFX_CODEC_AVC;
  ASSERT_EQ(MFXVideoDECODE_DecodeHeader(session, &bs, &par), MFX_ERR_NONE);
  par.IOPattern = MFX_IOPATTERN_OUT_SYSTEM_MEMORY;
  par.AsyncDepth = 1;
  ASSERT_EQ(MFXVideoDECODE_Init(session, &par), MFX_ERR_NONE);
  mfxFrameSurface1 surface{};
  surface.Info = par.mfx.FrameInfo;
  surface.Data.Y = planes.data();
  surface.Data.UV = planes.data() + size_t{par.mfx.FrameInfo.Width} * par.mfx.FrameInfo.Height;
  surface.Data.PitchLow = par.mfx.FrameInfo.Width;
  // Decodes until `pictures` came out or the input ended; with `drain`, drains at the end.
  const auto decode = [&](int pictures, bool drain) {
    mfxStatus st = MFX_ERR_NONE;
    for (int out = 0; out < pictures;) {
      mfxFrameSurface1* got = nullptr;
      mfxSyncPoint sync = nullptr;
      st = MFXVideoDECODE_DecodeFrameAsync(session, drain && bs.DataLength == 0 ? nullptr : &bs, &surface, &got, &sync);
      if (st == MFX_ERR_NONE) {
        EXPECT_EQ(MFXVideoCORE_SyncOperation(session, sync, 60000), MFX_ERR_NONE);
        surface.Data.Locked = 0;
        ++out;
      } else if (st != MFX_ERR_MORE_SURFACE && (st != MFX_ERR_MORE_DATA || !drain || bs.DataLength == 0)) {
        break;
      }
    }
    return st;
  };
  ASSERT_EQ(decode(5, false), MFX_ERR_NONE);

  parserInitFails = true;
  EXPECT_EQ(MFXVideoDECODE_Reset(session, &par), MFX_ERR_MEMORY_ALLOC);
  refill();
  EXPECT_EQ(decode(1, false), MFX_ERR_MEMORY_ALLOC);
  EXPECT_EQ(decode(1, true), MFX_ERR_MEMORY_ALLOC);
  parserInitFails = false;
  ASSERT_EQ(MFXVideoDECODE_Reset(session, &par), MFX_ERR_NONE);
  refill();
  EXPECT_EQ(decode(1000, true), MFX_ERR_MORE_DATA) << "the whole stream, drained";

  // New input after the drain: the restart cannot make its parser.
  parserInitFails = true;
  refill();
  EXPECT_EQ(decode(1, false), MFX_ERR_MEMORY_ALLOC);
  parserInitFails = false;
  MFXClose(session);
}

}  // namespace
