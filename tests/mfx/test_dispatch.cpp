// The plug-in's entry points route sessions: software to our engine beside the plug-in,
// hardware to the system's Media SDK dispatcher, every later call to the library that opened.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <mfx/mfxvideo++.h>

#include "mfx_player.h"
#include "platform/mfx/mfx_dispatch.h"
#include "stream_tools.h"

namespace tessivar::mfxtest {
namespace {

mfxVersion Version10() {
  mfxVersion v{};
  v.Major = 1;
  v.Minor = 0;
  return v;
}

// What the system dispatcher itself answers to a hardware request on this machine.
mfxStatus SystemAnswer(mfxIMPL impl) {
  void* library = dlopen("libmfx.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!library) return MFX_ERR_UNSUPPORTED;
  auto init = reinterpret_cast<decltype(&MFXInit)>(dlsym(library, "MFXInit"));
  auto close = reinterpret_cast<decltype(&MFXClose)>(dlsym(library, "MFXClose"));
  mfxVersion v = Version10();
  mfxSession session = nullptr;
  mfxStatus status = init ? init(impl, &v, &session) : MFX_ERR_UNSUPPORTED;
  if (session && close) close(session);
  dlclose(library);
  return status;
}

TEST(MfxDispatch, SoftwareRequestOpensTheEngineBesideThePlugin) {
  MFXVideoSession session;
  mfxVersion v = Version10();
  ASSERT_EQ(session.Init(MFX_IMPL_SOFTWARE, &v), MFX_ERR_NONE);
  mfxIMPL impl = 0;
  EXPECT_EQ(session.QueryIMPL(&impl), MFX_ERR_NONE);
  EXPECT_EQ(impl, MFX_IMPL_SOFTWARE);
  mfxVersion version{};
  EXPECT_EQ(session.QueryVersion(&version), MFX_ERR_NONE);
  EXPECT_EQ(version.Major, 1);
  // Functions the engine does not provide are refused, not crashed on.
  mfxPriority priority{};
  EXPECT_EQ(session.GetPriority(&priority), MFX_ERR_UNSUPPORTED);
  EXPECT_EQ(session.Close(), MFX_ERR_NONE);
  EXPECT_EQ(session.Close(), MFX_ERR_INVALID_HANDLE);  // the wrapper's destructor closes again
}

TEST(MfxDispatch, HardwareRequestsReturnTheSystemDispatchersAnswer) {
  // Engine 0 and 1 ask for hardware first, with these two values; without a usable GPU the
  // system refuses, which makes engine 0 fall back to software and engine 1 fail.
  for (mfxIMPL impl : {MFX_IMPL_HARDWARE_ANY, MFX_IMPL_HARDWARE}) {
    const mfxStatus expected = SystemAnswer(impl);
    MFXVideoSession session;
    mfxVersion v = Version10();
    const mfxStatus status = session.Init(impl, &v);
    EXPECT_EQ(status, expected) << "impl " << impl;
    if (expected < MFX_ERR_NONE) {
      EXPECT_EQ(static_cast<mfxSession>(session), nullptr);
      // The software request that engine 0 makes next succeeds.
      EXPECT_EQ(session.Init(MFX_IMPL_SOFTWARE, &v), MFX_ERR_NONE);
    }
  }
}

TEST(MfxDispatch, UnknownImplementationAndMissingEngineAreRefused) {
  mfxVersion v = Version10();
  mfxSession session = nullptr;
  EXPECT_EQ(MFXInit(0x0042, &v, &session), MFX_ERR_UNSUPPORTED);
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(MFXInit(MFX_IMPL_SOFTWARE, &v, nullptr), MFX_ERR_NULL_PTR);
  mfxVersion future{};
  future.Major = 2;
  EXPECT_EQ(MFXInit(MFX_IMPL_SOFTWARE, &future, &session), MFX_ERR_UNSUPPORTED);

  const std::string folder = mfx::EngineFolder();
  mfx::SetEngineFolder("/nonexistent-folder");
  EXPECT_EQ(MFXInit(MFX_IMPL_SOFTWARE, &v, &session), MFX_ERR_UNSUPPORTED);
  mfx::SetEngineFolder(folder);
  ASSERT_EQ(MFXInit(MFX_IMPL_SOFTWARE, &v, &session), MFX_ERR_NONE);
  EXPECT_EQ(MFXClose(session), MFX_ERR_NONE);
  EXPECT_EQ(MFXVideoDECODE_Init(nullptr, nullptr), MFX_ERR_INVALID_HANDLE);
}

TEST(MfxDispatch, EngineExportsOnlyTheApi) {
  // The engine binds its own calls to itself and shows nothing but MFX functions, so neither
  // it nor the plug-in can capture the other's symbols.
  const std::string path = mfx::EngineFolder() + "/" + mfx::EngineFileName();
  void* engine = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(engine, nullptr) << dlerror();
  EXPECT_NE(dlsym(engine, "MFXVideoDECODE_DecodeFrameAsync"), nullptr);
  EXPECT_EQ(dlsym(engine, "_ZN8tessivar5mfxsw9SwDecoder10DecodeStepEP12mfxBitstreamP16mfxFrameSurface1"), nullptr);
  // A handle of the dispatch means nothing to the engine's own functions.
  auto engineQuery = reinterpret_cast<decltype(&MFXQueryIMPL)>(dlsym(engine, "MFXQueryIMPL"));
  ASSERT_NE(engineQuery, nullptr);
  MFXVideoSession session;
  mfxVersion v = Version10();
  ASSERT_EQ(session.Init(MFX_IMPL_SOFTWARE, &v), MFX_ERR_NONE);
  mfxIMPL impl = 0;
  EXPECT_EQ(engineQuery(static_cast<mfxSession>(session), &impl), MFX_ERR_INVALID_HANDLE);
  session.Close();
  dlclose(engine);
}

TEST(MfxDispatch, TwoSessionsDecodeIndependently) {
  const std::vector<uint8_t> avc = ReadFile(StreamPath("avc_prog_closed.264"));
  const std::vector<uint8_t> m2v = ReadFile(StreamPath("m2v_prog_closed.m2v"));
  ASSERT_FALSE(avc.empty());
  ASSERT_FALSE(m2v.empty());
  auto first = std::make_unique<MfxPlayer>();
  MfxPlayer second;
  ASSERT_EQ(first->Prime(MFX_CODEC_AVC, avc), MFX_ERR_NONE);
  ASSERT_EQ(second.Prime(MFX_CODEC_MPEG2, m2v), MFX_ERR_NONE);
  EXPECT_EQ(first->Play(avc, 0, 65536, 10).pictures.size(), 10u);
  first.reset();  // closing one session leaves the other working
  PlayResult rest = second.Play(m2v, 0, 65536);
  EXPECT_EQ(rest.status, MFX_ERR_MORE_DATA);
  EXPECT_EQ(rest.pictures.size(), FfmpegFrameMd5s(StreamPath("m2v_prog_closed.m2v")).size());
}

}  // namespace
}  // namespace tessivar::mfxtest
