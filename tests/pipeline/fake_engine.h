// A scripted Media SDK engine for tests of the decode run: the MFX entry points the
// pipeline calls, over a toy stream of fixed-size units that each carry a picture
// number. It keeps a reorder delay like a real decoder, raises and lowers `Locked`
// the way the SDK does, and can be told to be busy, fail, or announce an
// incompatible header at a chosen picture.
#pragma once

#include <cstdint>
#include <cstddef>
#include <map>
#include <vector>

#include <mfx/mfxvideo.h>

constexpr uint32_t kToyUnitSize = 16;  // 00 00 01, 4-byte picture number, padding

struct FakeEngineConfig {
  mfxStatus hardwareInit = MFX_ERR_UNSUPPORTED;  // MFXInit result for hardware requests
  mfxStatus softwareInit = MFX_ERR_NONE;
  mfxU16 suggestedFrames = 4;
  mfxStatus queryStatus = MFX_ERR_NONE;
  mfxStatus queryIOSurfStatus = MFX_ERR_NONE;
  size_t reorderDelay = 2;
  std::map<uint32_t, int> busyBeforeInput;  // DEVICE_BUSY results before taking picture k
  bool busyForever = false;
  int64_t errorAtInput = -1;               // fail when picture k would be taken
  mfxStatus errorStatus = MFX_ERR_DEVICE_FAILED;
  int64_t incompatibleAtInput = -1;        // -14 when picture k would be taken
  int64_t syncFailAtOutput = -1;           // SyncOperation of output k fails
  int64_t syncInExecutionAtOutput = -1;    // SyncOperation of output k times out
};

struct FakeEngineLog {
  std::vector<mfxIMPL> initRequests;
  int decoderInits = 0;
  int resets = 0;
  int busyReturned = 0;
  int workSurfacesStillRendered = 0;  // work surfaces given while an output used them
  int workSurfacesLocked = 0;
  uint32_t outputs = 0;
};

FakeEngineConfig& EngineConfig();
FakeEngineLog& EngineLog();
// Forgets config, log and every session state.
void ResetFakeEngine();
// A toy unit for picture `number`.
std::vector<uint8_t> ToyUnit(uint32_t number);
// The picture number the engine wrote into a surface.
uint32_t ToyPictureOf(const mfxFrameSurface1* surface);
