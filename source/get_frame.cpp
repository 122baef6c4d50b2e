// VQMultiSource::GetFrame: display frame n, by decoding onward from the frame served
// last or by a seek, with fields woven and pictures repeated as the frame table says,
// then the overlay (debug) and the hint stamp.
//
// Pictures: outPicture is the host frame being filled; repeatPicture holds the last
// whole decoded picture that a following display frame may show again; fieldPicture
// holds the picture (or, after a seek, the one field) of the earlier coded frame of a
// display frame whose fields come from two coded frames.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/avisynth/avisynth_interface.h"
#include "source/clip.h"
#include "source/overlay.h"
#include "source/picture_copy.h"
#include "source/picture_supply.h"
#include "source/seek_and_feed.h"
#include "source/worker.h"

namespace {

int32_t LaterField(const FrameEntry& entry) { return std::max(entry.topFrame, entry.bottomFrame); }
int32_t EarlierField(const FrameEntry& entry) { return std::min(entry.topFrame, entry.bottomFrame); }

// The field that display frame `entry` takes from its earlier coded frame.
PictureCopy EarlierFieldCopy(const FrameEntry& entry) {
  return entry.bottomFrame < entry.topFrame ? PictureCopy::BottomField : PictureCopy::TopField;
}

int32_t GopOfFrame(const SourceState& source, int32_t n) { return GopHolding(&source, n); }

const char* AvcCodingType(uint32_t sliceType, bool idrGop) {
  switch (sliceType) {
    case 0:
    case 5:
      return "Frame coding type: P";
    case 1:
    case 6:
      return "Frame coding type: B";
    case 2:
    case 7:
      return idrGop ? "Frame coding type: IDR" : "Frame coding type: I";
    case 3:
    case 8:
      return "Frame coding type: SP";
    case 4:
    case 9:
      return "Frame coding type: SI";
    default:
      return "Frame coding type: unknown";
  }
}

const char* Mpeg2CodingType(int32_t pictureType) {
  switch (pictureType) {
    case 0:
      return "Frame coding type: I";
    case 1:
      return "Frame coding type: P";
    case 3:
      return "Frame coding type: B";
    default:
      return "Frame coding type: unknown";
  }
}

const char* Vc1CodingType(int32_t pictureType) {
  switch (pictureType) {
    case 0:
      return "Frame coding type: I";
    case 1:
      return "Frame coding type: P";
    case 2:
      return "Frame coding type: Pskip";
    case 3:
      return "Frame coding type: B";
    case 4:
      return "Frame coding type: BI";
    default:
      return "Frame coding type: unknown";
  }
}

}  // namespace

// The steps of one GetFrame call, over the clip's state.
struct FrameServer {
  VQMultiSource& clip;
  SourceDecoder& source;
  IScriptEnvironment* env;
  int32_t n;

  void PointOutPictureAt(const PVideoFrame& frame);
  [[noreturn]] void RaiseWorkerFailure();
  void TakePicture(bool show);
  void ServeOnward();
  void ServeBySeek();
  void DrawOverlay(int32_t gop);
};

void FrameServer::PointOutPictureAt(const PVideoFrame& frame) {
  YV12Picture& out = *clip.outPicture;
  out.y = frame->GetWritePtr();
  out.u = frame->GetWritePtr(PLANAR_U);
  out.v = frame->GetWritePtr(PLANAR_V);
  out.lumaPitch = frame->GetPitch();
  out.chromaPitch = frame->GetPitch(PLANAR_U);
  out.lumaWidth = frame->GetRowSize();
  out.chromaWidth = out.chromaPitch ? out.lumaWidth / 2 : 0;
  out.lumaHeight = frame->GetHeight();
  out.chromaHeight = out.chromaPitch ? out.lumaHeight / 2 : 0;
}

void FrameServer::RaiseWorkerFailure() {
  // The next request must seek: the pictures carried between calls are incomplete.
  clip.lastFrame = -1;
  clip.pictures->Drop();
  if (source.workerStatus == kWorkerInitFailed)
    env->ThrowError("Pipeline init failed. Specified decode engine not available.");
  if (source.workerStatus == kWorkerPrimingFailed) env->ThrowError("DecodeHeader() failed.");
  if (source.runStatus.load() == MFX_ERR_INCOMPATIBLE_VIDEO_PARAM || clip.pictures->SizeChanged())
    env->ThrowError("Orvanto: the picture size changes before frame %d; a clip has one picture size.", n);
  env->ThrowError("Orvanto: decoding ended before frame %d could be served (damaged or truncated source?).", n);
  std::abort();  // not reached: ThrowError does not return
}

// Takes the picture of the next coded frame, into outPicture when `show` is set.
void FrameServer::TakePicture(bool show) {
  if (!clip.pictures->TakeNext(env, show, *clip.outPicture)) RaiseWorkerFailure();
}

void FrameServer::ServeOnward() {
  YV12Picture*& repeatPicture = clip.repeatPicture;
  YV12Picture*& fieldPicture = clip.fieldPicture;
  YV12Picture*& outPicture = clip.outPicture;
  const FrameEntry* entries = source.frameTable;
  const int32_t frameCount = clip.vi.num_frames;
  const bool everyFrame = source.fieldop == 2;
  for (int32_t k = clip.lastFrame + 1; k <= n; ++k) {
    const FrameEntry& entry = entries[k];
    const FrameEntry& previous = entries[k - 1];
    if (source.fieldop == 1 && entry.topFrame == previous.topFrame + 2 &&
        entry.bottomFrame == previous.bottomFrame + 2)
      TakePicture(false);  // force film: one coded frame is passed over

    if (everyFrame || LaterField(entry) > LaterField(previous))
      TakePicture(true);
    else
      CopyPicture(env, PictureCopy::Whole, *repeatPicture, *outPicture, *outPicture);

    const bool woven = entry.topFrame != entry.bottomFrame;
    const bool sharedWithNext =
        uint32_t(k) < uint32_t(frameCount - 1) && LaterField(entry) == EarlierField(entries[k + 1]);
    // The last frame of the clip is kept too when it is woven: its earlier field sits
    // in repeatPicture and only the exchange makes it fieldPicture.
    if (!everyFrame && (sharedWithNext || (k == n && woven && source.softPulldown == 1))) {
      std::swap(repeatPicture, fieldPicture);
      CopyPicture(env, PictureCopy::Whole, *outPicture, *repeatPicture, *outPicture);
    }
    if (k == n && source.softPulldown == 1 && woven)
      CopyPicture(env, EarlierFieldCopy(entry), *fieldPicture, *outPicture, *outPicture);
  }
  clip.lastFrame = n;
}

void FrameServer::ServeBySeek() {
  YV12Picture* outPicture = clip.outPicture;
  SetEvent(source.abortEvent);
  WaitForWorkerIdle(&source);
  if (WorkerHasEnded(&source)) RaiseWorkerFailure();
  ResetDecoderWithParams(&source);
  source.stagingFill = 0;
  ResetEvent(source.abortEvent);
  ResetEvent(source.frameReadyEvent);
  source.targetFrame = n;
  SetEvent(source.workerParams.goEvent);
  if (!WaitForSeekReady(&source)) RaiseWorkerFailure();

  clip.lastFrame = n;
  const FrameEntry& entry = source.frameTable[n];
  const bool woven = entry.topFrame != entry.bottomFrame;
  const int32_t pictures = std::max(0, source.framesToSkip);
  // The run's first picture is the first coded frame of the GOP the feed started at.
  clip.pictures->StartRun(LaterField(entry) - pictures + 1);
  // The pictures before the target's own are dropped; the target's coded frame is
  // always shown, even where the index leaves no room for its earlier field.
  const int32_t firstShown = std::max(0, pictures - (woven ? 2 : 1));
  bool shown = false;
  for (int32_t i = 0; i < pictures; ++i) {
    const bool show = i >= firstShown;
    TakePicture(show);
    if (!show) continue;
    shown = true;
    if (source.softPulldown == 1 && i == pictures - 2) {
      // The earlier coded frame: keep the one field the target takes from it.
      CopyPicture(env, EarlierFieldCopy(entry), *outPicture, *clip.fieldPicture, *outPicture);
    } else {
      CopyPicture(env, PictureCopy::Whole, *outPicture, *clip.repeatPicture, *outPicture);
      if (woven) CopyPicture(env, EarlierFieldCopy(entry), *clip.fieldPicture, *outPicture, *outPicture);
    }
  }
  if (!shown) FillBlack(*outPicture);
}

void FrameServer::DrawOverlay(int32_t gop) {
  const SourceState& s = source;
  YV12Picture* outPicture = clip.outPicture;
  const FrameEntry& entry = s.frameTable[n];
  char line[128];
  DrawText(*outPicture, 0, 0, "Tessivar beta 50");
  std::snprintf(line, sizeof(line), "Intel engine is using %s", source.implInUse == 1 ? "HW" : "SW");
  DrawText(*outPicture, 0, 2, line);
  std::snprintf(line, sizeof(line), "GOP: %d", gop);
  DrawText(*outPicture, 0, 3, line);
  std::snprintf(line, sizeof(line), "Display frame: %d", n);
  DrawText(*outPicture, 0, 4, line);
  std::snprintf(line, sizeof(line), "Coded frame: %d (top) %d (bottom)", entry.topFrame, entry.bottomFrame);
  DrawText(*outPicture, 0, 5, line);
  const char* codingType = nullptr;
  if (s.codecKind == kCodecMpeg2)
    codingType = Mpeg2CodingType(entry.pictureType);
  else if (s.codecKind == kCodecAvc)
    codingType = AvcCodingType(uint32_t(entry.sliceType), s.gopTable[gop]->isIdr != 0);
  else if (s.codecKind == kCodecVc1)
    codingType = Vc1CodingType(entry.pictureType);
  if (codingType) DrawText(*outPicture, 0, 6, codingType);
}

PVideoFrame VQMultiSource::GetFrame(int n, IScriptEnvironment* env) {
  PVideoFrame frame = env->NewVideoFrame(vi, 16);
  FrameServer server{*this, source, env, n};
  server.PointOutPictureAt(frame);

  HANDLE initWait[2] = {source.initDoneEvent, source.workerThread};
  WaitForMultipleObjects(2, initWait, FALSE, INFINITE);
  if (source.workerStatus == kWorkerInitFailed)
    env->ThrowError("Pipeline init failed. Specified decode engine not available.");
  if (source.workerStatus == kWorkerPrimingFailed) env->ThrowError("DecodeHeader() failed.");

  if (n >= vi.num_frames) n = vi.num_frames - 1;
  if (n < source.leadingSkipCount) n = source.leadingSkipCount;
  server.n = n;

  if (n != 0 && uint32_t(lastFrame) < uint32_t(n) && uint32_t(n) < uint32_t(lastFrame + 10))
    server.ServeOnward();
  else
    server.ServeBySeek();

  const int32_t gop = GopOfFrame(source, n);
  if (source.debug) server.DrawOverlay(gop);

  uint32_t hint = 0;
  if (FrameHintWord(source, n, &hint)) StampFrameHint(outPicture->y, hint);
  return frame;
}
