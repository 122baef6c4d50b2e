// VQMultiSource: the clip the host holds for one Orvanto call. Construction turns
// the script's path into an index file (starting the indexer when there is none),
// checks the software engine library, reads the index, fills the clip's
// properties, allocates the scratch pictures and starts the worker thread;
// destruction stops the worker and frees everything in a fixed order.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/avisynth/avisynth_interface.h"
#include "platform/win32/win32.h"
#include "source/clip_picture.h"
#include "source/picture_supply.h"
#include "source/source_decoder.h"

// Longest script path taken (the working buffers hold 1024 bytes).
constexpr size_t kMaxClipPath = 1023;

class VQMultiSource : public IClip {
 public:
  // Every error is raised through env->ThrowError and leaves nothing behind.
  VQMultiSource(const char* path, int32_t engine, bool i420, int32_t deinterlace, int32_t fieldop,
                bool debug, bool silent, IScriptEnvironment* env);
  ~VQMultiSource() override;

  int GetVersion() override { return 2; }
  PVideoFrame GetFrame(int n, IScriptEnvironment* env) override;
  // Top field first unless the index's ORDER value is 2; the frame is ignored.
  bool GetParity(int) override { return source.fieldOrderValue != 2; }
  void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
  void SetCacheHints(int, int) override {}
  const VideoInfo& GetVideoInfo() override { return vi; }

  VideoInfo vi;
  int32_t lastFrame;     // display frame served last; -1 when none
  HMODULE user32Module;  // held for the notice shown while the indexer runs
  SourceDecoder source;
  YV12Picture* outPicture;     // descriptor only: points into the host frame being filled
  YV12Picture* repeatPicture;  // scratch picture with its own planes
  YV12Picture* fieldPicture;   // scratch picture with its own planes
  // The decoded picture of each coded frame, matched to the index (GetFrame's side).
  std::unique_ptr<PictureSupply> pictures;

 private:
  void Construct(const char* path, int32_t engine, bool i420, int32_t deinterlace, int32_t fieldop,
                 bool debug, bool silent, IScriptEnvironment* env);
  // Steps of the destructor that free what construction took, once the worker
  // has ended (safe on a partly built clip).
  void ReleaseResources();
};

// Calls the pipeline's ResetDecoder with the clip's decode parameters.
mfxStatus ResetDecoderWithParams(SourceDecoder* source);

// Shows a message box that closes itself after `milliseconds`, through user32's
// MessageBoxTimeoutA; returns 0 (showing nothing) when that is not available.
int32_t ShowTimedMessage(HWND owner, const char* text, const char* caption, UINT type, WORD language,
                         DWORD milliseconds);

// The folder of the plug-in's own module file, ending in "/"; empty if unknown.
// Returns false when it does not fit `size` bytes.
bool GetPluginFolder(char* folder, size_t size);

// Starts the indexer beside the plug-in to write `indexPath` for `sourcePath`,
// shows the notice unless `silent`, and waits for it to end.
void RunIndexer(const char* sourcePath, const char* indexPath, bool silent, IScriptEnvironment* env);
