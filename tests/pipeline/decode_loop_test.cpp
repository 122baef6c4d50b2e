// The decode run against a scripted engine: delivery order, the busy retry, errors
// and incompatible headers mid-run, aborts at each wait, and reuse after a reset.
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "decode_harness.h"
#include "fake_engine.h"
#include "pipeline/sample_utils.h"
#include "pipeline/sysmem_allocator.h"
#include "scripted_units.h"

namespace {

constexpr unsigned kWaitMs = 10000;  // generous: only a broken run ever waits this long
constexpr unsigned kNothingMs = 300;  // how long a consumer waits to conclude nothing comes

class DecodeLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The debugger lines ("Tessivar: ...") are checked on standard error.
    setenv("TESSIVAR_DEBUG_OUTPUT", "1", 1);
    ResetFakeEngine();
    ResetScriptedUnits();
    decoder = MakeTestDecoder();
  }
  void TearDown() override { unsetenv("TESSIVAR_DEBUG_OUTPUT"); }

  void initSession(int32_t engine = kEngineSoftware) {
    DecodeParams params{};
    params.codecId = MFX_CODEC_AVC;
    params.engine = engine;
    ASSERT_EQ(decoder->Init(&params), MFX_ERR_NONE);
  }

  // What the first seek does before its run: header values, allocator, pool, decoder.
  void prime() {
    mfxFrameInfo& info = decoder->videoParams.mfx.FrameInfo;
    info.FourCC = MFX_FOURCC_NV12;
    info.ChromaFormat = MFX_CHROMAFORMAT_YUV420;
    info.Width = 64;
    info.Height = 64;
    info.CropW = 64;
    info.CropH = 64;
    decoder->videoParams.AsyncDepth = 1;
    decoder->videoParams.IOPattern = MFX_IOPATTERN_OUT_SYSTEM_MEMORY;
    auto* allocator = new SysMemFrameAllocator;
    decoder->frameAllocator = allocator;
    ASSERT_EQ(allocator->Init(decoder->allocatorParams), MFX_ERR_NONE);
    ASSERT_EQ(decoder->AllocFrames(), MFX_ERR_NONE);
    ASSERT_EQ(decoder->decoder->Init(&decoder->videoParams), MFX_ERR_NONE);
    decoder->decoderReady = true;
  }

  // Positions the toy stream at picture `first` of `count` and gives the run a fresh
  // input buffer, as a seek does.
  void feed(uint32_t count, uint32_t first = 0) {
    Script().units.clear();
    for (uint32_t i = 0; i < count; ++i) Script().units.push_back(ToyUnit(i));
    Script().next = first;
    decoder->needSync = 1;
    decoder->stagingFill = 0;
    ASSERT_EQ(InitBitstream(&decoder->bitstream, kBitstreamSize), MFX_ERR_NONE);
  }

  // The host's seek: abort, reset, clear the abort.
  void seekReset() {
    ASSERT_EQ(decoder->ResetDecoder(&decoder->params), MFX_ERR_NONE);
    ResetEvent(decoder->abortEvent);
    ResetEvent(decoder->frameReadyEvent);
  }

  // Pulls up to `count` pictures on a consumer thread, checking that a lent surface
  // does not change while the consumer holds it.
  std::vector<uint32_t> consume(size_t count, unsigned waitMs = kWaitMs, bool handBackLast = true) {
    std::vector<uint32_t> pictures;
    std::thread consumer([&] {
      PullPictures(decoder.get(), count, waitMs, [&](const mfxFrameSurface1* surface) {
        const uint32_t number = ToyPictureOf(surface);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        EXPECT_EQ(ToyPictureOf(surface), number) << "surface rewritten while lent";
        EXPECT_EQ(surface->Data.Y[surface->Data.Pitch * 63 + 63], number & 0xFF);
        pictures.push_back(number);
      }, handBackLast);
    });
    consumer.join();
    return pictures;
  }

  static std::vector<uint32_t> range(uint32_t first, uint32_t end) {
    std::vector<uint32_t> numbers;
    for (uint32_t i = first; i < end; ++i) numbers.push_back(i);
    return numbers;
  }

  TestDecoder decoder;
};

}  // namespace

TEST_F(DecodeLoopTest, InitOpensTheRequestedEngine) {
  DecodeParams params{};
  params.codecId = MFX_CODEC_MPEG2;
  EXPECT_EQ(decoder->Init(nullptr), MFX_ERR_NULL_PTR);

  params.engine = 7;
  testing::internal::CaptureStderr();
  EXPECT_EQ(decoder->Init(&params), MFX_ERR_UNSUPPORTED);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Tessivar: invalid decode engine (7)"), std::string::npos);
  EXPECT_TRUE(EngineLog().initRequests.empty());
  EXPECT_EQ(decoder->decoder, nullptr);

  // Hardware refused: engine 1 fails with the session's status, no software attempt.
  params.engine = kEngineHardware;
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_EQ(decoder->Init(&params), MFX_ERR_UNSUPPORTED);
  // Diagnostics never go to standard output, which may carry video.
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_NE(printed.find("Tessivar: session init failed (-3)\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("\nReturn on error: error code -3,\tpipeline_decode.cpp\t76\n\n"), std::string::npos)
      << printed;
  EXPECT_EQ(EngineLog().initRequests, (std::vector<mfxIMPL>{MFX_IMPL_HARDWARE_ANY, MFX_IMPL_HARDWARE}));
  EXPECT_EQ(decoder->decoder, nullptr);
  // A pipeline whose Init failed before the decoder existed: reset refuses.
  EXPECT_EQ(decoder->ResetDecoder(&params), MFX_ERR_NOT_INITIALIZED);

  // Engine 0: two hardware attempts, then software.
  EngineLog() = FakeEngineLog{};
  params.engine = kEngineHardwareFallback;
  testing::internal::CaptureStderr();
  EXPECT_EQ(decoder->Init(&params), MFX_ERR_NONE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Tessivar: requesting SW mode\n");
  EXPECT_EQ(EngineLog().initRequests,
            (std::vector<mfxIMPL>{MFX_IMPL_HARDWARE_ANY, MFX_IMPL_HARDWARE, MFX_IMPL_SOFTWARE}));
  EXPECT_EQ(decoder->implInUse, kImplSoftware);
  EXPECT_FALSE(decoder->decoderReady);
  EXPECT_EQ(decoder->videoParams.mfx.CodecId, static_cast<mfxU32>(MFX_CODEC_MPEG2));
  EXPECT_EQ(decoder->bitstream.MaxLength, kBitstreamSize);
  EXPECT_NE(decoder->reader, nullptr);
}

TEST_F(DecodeLoopTest, HardwareThatAnswersIsUsedAndAWarningStillFallsBack) {
  EngineConfig().hardwareInit = MFX_ERR_NONE;
  initSession(kEngineHardwareFallback);
  EXPECT_EQ(decoder->implInUse, kImplHardware);
  EXPECT_EQ(EngineLog().initRequests, std::vector<mfxIMPL>{MFX_IMPL_HARDWARE_ANY});

  // A positive status counts as failure for the fallback but does not end Init.
  TestDecoder other = MakeTestDecoder();
  EngineLog() = FakeEngineLog{};
  EngineConfig().hardwareInit = MFX_WRN_PARTIAL_ACCELERATION;
  EngineConfig().softwareInit = MFX_WRN_PARTIAL_ACCELERATION;
  DecodeParams params{};
  params.engine = kEngineHardwareFallback;
  testing::internal::CaptureStderr();
  EXPECT_EQ(other->Init(&params), MFX_ERR_NONE);
  std::string debug = testing::internal::GetCapturedStderr();
  EXPECT_NE(debug.find("Tessivar: requesting SW mode\n"), std::string::npos);
  EXPECT_NE(debug.find("Tessivar: session init failed (4)\n"), std::string::npos);
  EXPECT_EQ(other->implInUse, kImplSoftware);
  EXPECT_NE(other->decoder, nullptr);
  // The sessions that the two warned hardware attempts opened were closed again (the
  // leak detector checks it).
}

TEST_F(DecodeLoopTest, EveryPictureArrivesInOrderAndLentSurfacesStayUntouched) {
  initSession();
  prime();
  EXPECT_EQ(decoder->surfaceCount, 4u);
  feed(40);
  DecodeRun run(decoder.get());
  EXPECT_EQ(consume(40), range(0, 40));
  mfxStatus result;
  ASSERT_TRUE(run.Finish(kWaitMs, &result));
  EXPECT_EQ(result, MFX_ERR_NONE);
  EXPECT_EQ(EngineLog().workSurfacesStillRendered, 0);
  EXPECT_EQ(EngineLog().workSurfacesLocked, 0);
  EXPECT_EQ(decoder->readyOutputs.count, 0u);
  EXPECT_EQ(decoder->deliveringOutput, nullptr);
}

TEST_F(DecodeLoopTest, EmptyInputDrainsAndDeliversNothing) {
  initSession();
  prime();
  feed(0);
  DecodeRun run(decoder.get());
  mfxStatus result;
  ASSERT_TRUE(run.Finish(kWaitMs, &result));
  EXPECT_EQ(result, MFX_ERR_NONE);
  EXPECT_EQ(EngineLog().outputs, 0u);
}

TEST_F(DecodeLoopTest, ResetBeforePrimingIsRefusedAndLeavesThePoolEmpty) {
  initSession();
  EXPECT_EQ(decoder->ResetDecoder(&decoder->params), MFX_ERR_NOT_INITIALIZED);
  EXPECT_EQ(decoder->surfaces, nullptr);
  EXPECT_EQ(decoder->surfaceCount, 0u);
}

TEST_F(DecodeLoopTest, AbortWhileWaitingForARequestEndsTheRunAndAResetAllowsANewOne) {
  initSession();
  prime();
  feed(30);
  {
    DecodeRun run(decoder.get());
    EXPECT_EQ(consume(10), range(0, 10));
    SetEvent(decoder->abortEvent);  // between pictures, as the host does
    mfxStatus result;
    ASSERT_TRUE(run.Finish(kWaitMs, &result));
    EXPECT_EQ(result, MFX_ERR_NONE);
    EXPECT_EQ(WaitForSingleObject(decoder->abortEvent, 0), WAIT_TIMEOUT);  // the worker reset it
    EXPECT_NE(decoder->deliveringOutput, nullptr);  // taken for delivery, not handed over
  }
  seekReset();
  EXPECT_EQ(decoder->deliveringOutput, nullptr);
  EXPECT_EQ(decoder->outputNodeCount, 4u);
  feed(30, 20);
  DecodeRun again(decoder.get());
  EXPECT_EQ(consume(10), range(20, 30));
  mfxStatus result;
  ASSERT_TRUE(again.Finish(kWaitMs, &result));
  EXPECT_EQ(result, MFX_ERR_NONE);
  EXPECT_EQ(EngineLog().resets, 1);
}

TEST_F(DecodeLoopTest, RequestWinsWhenAbortIsRaisedToo) {
  initSession();
  prime();
  feed(5);
  DecodeRun run(decoder.get());
  // Give the worker time to reach its wait with the first picture synchronised.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  SetEvent(decoder->wantFrameEvent);
  SetEvent(decoder->abortEvent);
  ASSERT_EQ(WaitForSingleObject(decoder->frameReadyEvent, kWaitMs), WAIT_OBJECT_0);
  EXPECT_EQ(ToyPictureOf(decoder->deliveredSurface), 0u);
  // The abort is still raised while the worker waits for the picture to come back:
  // the run ends there, and the lent surface keeps its render lock (nothing else is
  // decoded into it) even though the consumer hands it back late.
  mfxStatus result;
  ASSERT_TRUE(run.Finish(kWaitMs, &result));
  EXPECT_EQ(result, MFX_ERR_NONE);
  EXPECT_EQ(EngineLog().outputs, 1u);
  EXPECT_EQ(ToyPictureOf(decoder->deliveredSurface), 0u);
  SetEvent(decoder->frameConsumedEvent);
  EXPECT_EQ(WaitForSingleObject(decoder->abortEvent, 0), WAIT_TIMEOUT);
}

TEST_F(DecodeLoopTest, AConsumerThatKeepsASurfaceIsLeftAloneUntilTheReset) {
  initSession();
  prime();
  feed(20);
  DecodeRun run(decoder.get());
  EXPECT_EQ(consume(3, kWaitMs, /*handBackLast=*/false), range(0, 3));
  mfxFrameSurface1* kept = decoder->deliveredSurface;
  SetEvent(decoder->abortEvent);
  mfxStatus result;
  ASSERT_TRUE(run.Finish(kWaitMs, &result));
  EXPECT_EQ(result, MFX_ERR_NONE);
  EXPECT_EQ(ToyPictureOf(kept), 2u);  // not reused for another picture
  EXPECT_EQ(AtomicRead16(&reinterpret_cast<PoolSurface*>(kept)->renderLock), 1);
  seekReset();
  feed(20);
  DecodeRun again(decoder.get());
  EXPECT_EQ(consume(20), range(0, 20));
  ASSERT_TRUE(again.Finish(kWaitMs, &result));
  EXPECT_EQ(result, MFX_ERR_NONE);
}

TEST_F(DecodeLoopTest, BusyDecoderDeliversWhatIsQueuedAndRetries) {
  EngineConfig().busyBeforeInput = {{0, 3}, {7, 2}, {8, 1}};
  initSession();
  prime();
  feed(15);
  DecodeRun run(decoder.get());
  EXPECT_EQ(consume(15), range(0, 15));
  mfxStatus result;
  ASSERT_TRUE(run.Finish(kWaitMs, &result));
  EXPECT_EQ(result, MFX_ERR_NONE);
  EXPECT_EQ(EngineLog().busyReturned, 6);
}

TEST_F(DecodeLoopTest, ADecoderThatStaysBusyCanBeAborted) {
  EngineConfig().busyForever = true;
  initSession();
  prime();
  feed(5);
  DecodeRun run(decoder.get());
  testing::internal::CaptureStderr();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  SetEvent(decoder->abortEvent);
  mfxStatus result;
  ASSERT_TRUE(run.Finish(kWaitMs, &result));
  EXPECT_EQ(result, MFX_ERR_UNKNOWN);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\nReturn on error: error code -1,\tpipeline_decode.cpp\t399\n\n");
  EXPECT_GT(EngineLog().busyReturned, 0);
}

TEST_F(DecodeLoopTest, DecoderErrorEndsTheRunAndTheWorkerIsReusable) {
  EngineConfig().errorAtInput = 12;
  initSession();
  prime();
  feed(30);
  DecodeRun run(decoder.get());
  testing::internal::CaptureStderr();
  // Pictures 0..9 leave the decoder before picture 12 is taken (delay 2); then nothing.
  EXPECT_EQ(consume(30, kNothingMs), range(0, 10));
  mfxStatus result;
  ASSERT_TRUE(run.Finish(kWaitMs, &result));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\nReturn on error: error code -17,\tpipeline_decode.cpp\t399\n\n");
  EXPECT_EQ(result, MFX_ERR_DEVICE_FAILED);

  EngineConfig().errorAtInput = -1;
  seekReset();
  feed(30, 25);
  DecodeRun again(decoder.get());
  EXPECT_EQ(consume(5), range(25, 30));
  ASSERT_TRUE(again.Finish(kWaitMs, &result));
  EXPECT_EQ(result, MFX_ERR_NONE);
}

TEST_F(DecodeLoopTest, IncompatibleHeaderDrainsThenReportsIt) {
  EngineConfig().incompatibleAtInput = 12;
  initSession();
  prime();
  feed(30);
  DecodeRun run(decoder.get());
  testing::internal::CaptureStderr();
  EXPECT_EQ(consume(30, kNothingMs), range(0, 12));  // the delayed ones come out too
  mfxStatus result;
  ASSERT_TRUE(run.Finish(kWaitMs, &result));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\nReturn on error: error code -14,\tpipeline_decode.cpp\t399\n\n");
  EXPECT_EQ(result, MFX_ERR_INCOMPATIBLE_VIDEO_PARAM);
}

TEST_F(DecodeLoopTest, FailedSynchronisationEndsTheRunQuietly) {
  EngineConfig().syncFailAtOutput = 4;
  initSession();
  prime();
  feed(20);
  DecodeRun run(decoder.get());
  EXPECT_EQ(consume(20, kNothingMs), range(0, 4));
  mfxStatus result;
  ASSERT_TRUE(run.Finish(kWaitMs, &result));
  EXPECT_EQ(result, MFX_ERR_NONE);
}

TEST_F(DecodeLoopTest, SynchronisationStillRunningEndsTheRunWithOne) {
  EngineConfig().syncInExecutionAtOutput = 2;
  initSession();
  prime();
  feed(20);
  DecodeRun run(decoder.get());
  EXPECT_EQ(consume(20, kNothingMs), range(0, 2));
  mfxStatus result;
  ASSERT_TRUE(run.Finish(kWaitMs, &result));
  EXPECT_EQ(result, MFX_WRN_IN_EXECUTION);
}

TEST_F(DecodeLoopTest, ResetRebuildsThePoolWithTheFirstNodeCount) {
  initSession();
  prime();
  EXPECT_EQ(decoder->outputNodeCount, 4u);
  EngineConfig().suggestedFrames = 6;
  seekReset();
  EXPECT_EQ(decoder->surfaceCount, 6u);
  EXPECT_EQ(decoder->outputNodeCount, 4u);
  for (uint32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(decoder->surfaces[i].frame.Data.Pitch, 64);
    EXPECT_NE(decoder->surfaces[i].frame.Data.Y, nullptr);
    EXPECT_EQ(decoder->surfaces[i].frame.Info.Width, 64);
  }
  // Too few surfaces for the async depth: nothing is allocated.
  EngineConfig().suggestedFrames = 0;
  ASSERT_EQ(decoder->ResetDecoder(&decoder->params), MFX_ERR_NONE);  // AllocFrames' -4 is not reported
  EXPECT_EQ(decoder->surfaces, nullptr);
  decoder->DeleteFrames();
  EXPECT_EQ(decoder->AllocFrames(), MFX_ERR_MEMORY_ALLOC);
  EXPECT_EQ(decoder->surfaces, nullptr);
}

TEST_F(DecodeLoopTest, PoolFailuresNameTheirExitAndWarningsGoOn) {
  initSession();
  EXPECT_EQ(decoder->AllocFrames(), MFX_ERR_NULL_PTR);  // no allocator yet: nothing printed
  prime();
  struct Case {
    mfxStatus query, queryIOSurf;
    mfxU32 fourCC;
    mfxStatus expected;
    const char* printed;
  };
  const Case cases[] = {
      {MFX_ERR_UNSUPPORTED, MFX_ERR_NONE, MFX_FOURCC_NV12, MFX_ERR_UNSUPPORTED,
       "\nReturn on error: error code -3,\tpipeline_decode.cpp\t128\n\n"},
      {MFX_WRN_INCOMPATIBLE_VIDEO_PARAM, MFX_ERR_INVALID_VIDEO_PARAM, MFX_FOURCC_NV12, MFX_ERR_INVALID_VIDEO_PARAM,
       "\nReturn on error: error code -15,\tpipeline_decode.cpp\t136\n\n"},
      {MFX_ERR_NONE, MFX_WRN_PARTIAL_ACCELERATION, MFX_FOURCC_NV12, MFX_ERR_NONE, "WARNING: partial acceleration\n"},
      {MFX_ERR_NONE, MFX_ERR_NONE, MFX_FOURCC_NV16, MFX_ERR_UNSUPPORTED,
       "\nReturn on error: error code -3,\tpipeline_decode.cpp\t148\n\n"},
  };
  for (const Case& c : cases) {
    decoder->DeleteFrames();
    EngineConfig().queryStatus = c.query;
    EngineConfig().queryIOSurfStatus = c.queryIOSurf;
    decoder->videoParams.mfx.FrameInfo.FourCC = c.fourCC;
    testing::internal::CaptureStderr();
    EXPECT_EQ(decoder->AllocFrames(), c.expected);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed);
    EXPECT_EQ(decoder->surfaces != nullptr, c.expected == MFX_ERR_NONE);
  }
}
