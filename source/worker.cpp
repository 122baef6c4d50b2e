// The worker thread and both sides of the event hand-off (see worker.h).
#include "source/worker.h"

#include <cstring>

#include "platform/avisynth/avisynth_interface.h"
#include "source/avc.h"
#include "source/mpeg2_vc1_feed.h"
#include "source/source_decoder.h"

namespace {

// How often a host-side wait looks at whether the worker is still in its run. The
// wait itself ends as soon as the awaited event is set; this only bounds how late a
// run that ended without it is noticed.
constexpr DWORD kRunCheckMs = 20;

bool IsSignalled(HANDLE event) { return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// A run is in progress from the host's goEvent until the worker resets it.
bool RunInProgress(SourceDecoder* source) { return IsSignalled(source->workerParams.goEvent); }

// Waits for `event` (auto reset) while the worker is in its run. True when the event
// was taken; false when the run ended, or the worker ended, without setting it.
bool WaitWhileRunning(SourceDecoder* source, HANDLE event) {
  if (!source->workerThread) return false;
  HANDLE handles[2] = {event, source->workerThread};
  for (;;) {
    DWORD result = WaitForMultipleObjects(2, handles, FALSE, kRunCheckMs);
    if (result == WAIT_OBJECT_0) return true;
    if (result != WAIT_TIMEOUT) break;  // the thread ended, or the wait failed
    if (!RunInProgress(source)) break;
  }
  // Whatever the run did before it ended is visible now: take the event if it came.
  return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

uint32_t CodecIdOf(int32_t codecKind, uint32_t current) {
  switch (codecKind) {
    case kCodecAvc:
      return MFX_CODEC_AVC;
    case kCodecVc1:
      return MFX_CODEC_VC1;
    case kCodecMpeg2:
      return MFX_CODEC_MPEG2;
    default:
      return current;
  }
}

void FillDecodeParams(SourceDecoder* source, int32_t codecKind) {
  DecodeParams& params = source->params;
  params.codecId = CodecIdOf(codecKind, params.codecId);
  params.engine = source->engine;
  params.width = source->codedWidth;
  params.height = source->codedHeight;
  params.sourcePath[0] = '\0';
  if (source->sourceCount > 0 && source->sourcePaths[0]) {
    std::strncpy(params.sourcePath, source->sourcePaths[0], sizeof(params.sourcePath) - 1);
    params.sourcePath[sizeof(params.sourcePath) - 1] = '\0';
  }
}

// Runs the seek-and-feed routine of the codec; it returns when its decode run ends.
void RunFeed(SourceDecoder* source, int32_t codecKind) {
  switch (codecKind) {
    case kCodecAvc:
      AvcSeekAndFeed(source);
      break;
    case kCodecVc1:
      Vc1SeekAndFeed(source);
      break;
    case kCodecMpeg2:
      Mpeg2SeekAndFeed(source);
      break;
    default:
      // No feed for this codec kind: the run ends at once and the host side sees
      // that no picture comes.
      break;
  }
}

void EndWorker(SourceDecoder* source) { source->workerRunning.store(0); }

// The run is over: goEvent goes, and a host waiting for the worker to be idle wakes.
void EndRun(SourceDecoder* source) {
  ResetEvent(source->workerParams.goEvent);
  if (source->runEndedEvent) SetEvent(source->runEndedEvent);
}

}  // namespace

void StartWorker(SourceDecoder* source) {
  HANDLE* events[9] = {&source->abortEvent,        &source->wantFrameEvent,        &source->frameReadyEvent,
                       &source->frameConsumedEvent, &source->initDoneEvent,         &source->killEvent,
                       &source->seekReadyEvent,     &source->workerParams.goEvent, &source->runEndedEvent};
  const BOOL manualReset[9] = {TRUE, FALSE, FALSE, FALSE, TRUE, FALSE, FALSE, TRUE, FALSE};
  for (int i = 0; i < 9; ++i) {
    *events[i] = CreateEventA(nullptr, manualReset[i], FALSE, nullptr);
    if (!*events[i]) source->env->ThrowError("Orvanto: cannot create the worker's events.");
  }
  source->workerParams.owner = source;
  source->workerParams.codecKind = source->codecKind;
  // The thread may run before CreateThread returns; it reads only workerParams and the
  // source, both complete by now.
  source->workerRunning.store(1);
  source->workerThread = CreateThread(nullptr, 0, WorkerThreadProc, &source->workerParams, 0, nullptr);
  if (!source->workerThread) {
    source->workerRunning.store(0);
    source->env->ThrowError("Orvanto: cannot start the worker thread.");
  }
  SetThreadPriority(source->workerThread, THREAD_PRIORITY_HIGHEST);
}

DWORD WorkerThreadProc(void* parameter) {
  WorkerParams* workerParams = static_cast<WorkerParams*>(parameter);
  SourceDecoder* source = workerParams->owner;
  source->workerRunning.store(1);
  // Kill and go are not cleared here or after Init: both are created not signalled,
  // and a kill raised by a destructor before the session is open, or a go raised by
  // the first GetFrame right after initDoneEvent, must not be lost.

  FillDecodeParams(source, workerParams->codecKind);
  if (source->Init(&source->params) != MFX_ERR_NONE) {
    source->workerStatus = kWorkerInitFailed;
    SetEvent(source->initDoneEvent);
    EndWorker(source);
    return 0;
  }
  if (source->implInUse == 2 && source->deinterlace != 0) source->deinterlace = 0;
  SetEvent(source->initDoneEvent);

  for (;;) {
    HANDLE handles[2] = {source->killEvent, workerParams->goEvent};
    DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (result == WAIT_OBJECT_0) break;
    source->runStatus.store(MFX_ERR_NONE);
    RunFeed(source, workerParams->codecKind);
    if (!source->decoderReady) {
      source->workerStatus = kWorkerPrimingFailed;
      // The run is over: a later seek or the destructor must not wait for it.
      EndRun(source);
      SetEvent(source->initDoneEvent);
      EndWorker(source);
      return 0;
    }
    EndRun(source);
  }
  EndWorker(source);
  return 0;
}

bool WorkerHasEnded(SourceDecoder* source) {
  return !source->workerThread || WaitForSingleObject(source->workerThread, 0) == WAIT_OBJECT_0;
}

void WaitForWorkerIdle(SourceDecoder* source) {
  // goEvent is looked at at least every millisecond; the worker's word that its run is
  // over ends the wait at once. A word left from an earlier run only brings the next look.
  while (RunInProgress(source) && !WorkerHasEnded(source)) {
    if (source->runEndedEvent) {
      HANDLE handles[2] = {source->runEndedEvent, source->workerThread};
      WaitForMultipleObjects(2, handles, FALSE, 1);
    } else {
      Sleep(1);
    }
  }
}

void StopWorker(SourceDecoder* source) {
  if (!source->workerThread) return;
  SetEvent(source->abortEvent);
  WaitForWorkerIdle(source);
  SetEvent(source->killEvent);
  for (int poll = 0; poll < 100; ++poll) {
    Sleep(10);
    if (source->workerRunning.load() == 0) break;
  }
  // The worker is idle and told to end, so this returns at once in practice; it
  // guarantees that nothing the worker uses is freed while its thread still runs.
  WaitForSingleObject(source->workerThread, INFINITE);
}

bool WaitForSeekReady(SourceDecoder* source) { return WaitWhileRunning(source, source->seekReadyEvent); }

mfxFrameSurface1* PullPicture(SourceDecoder* source) {
  SetEvent(source->wantFrameEvent);
  if (WaitWhileRunning(source, source->frameReadyEvent)) return source->deliveredSurface;
  // The run is over, so the worker cannot take the request any more: withdraw it, or
  // the next run would deliver a picture nobody asked for.
  ResetEvent(source->wantFrameEvent);
  return nullptr;
}

void HandBackPicture(SourceDecoder* source) { SetEvent(source->frameConsumedEvent); }
