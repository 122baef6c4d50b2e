#include "decode_harness.h"

#include <chrono>

void SourceDecoderDeleter::operator()(SourceDecoder* decoder) const {
  for (HANDLE event : {decoder->abortEvent, decoder->wantFrameEvent, decoder->frameReadyEvent,
                       decoder->frameConsumedEvent})
    if (event) CloseHandle(event);
  delete decoder;
}

TestDecoder MakeTestDecoder() {
  TestDecoder decoder(new SourceDecoder);
  decoder->abortEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  decoder->wantFrameEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  decoder->frameReadyEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  decoder->frameConsumedEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return decoder;
}

DecodeRun::DecodeRun(SourceDecoder* decoder) : decoder_(decoder) {
  std::packaged_task<mfxStatus()> task([decoder] { return decoder->RunDecoding(decoder, decoder); });
  result_ = task.get_future();
  thread_ = std::thread(std::move(task));
}

DecodeRun::~DecodeRun() {
  if (joined_) return;
  while (result_.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
    SetEvent(decoder_->abortEvent);
  thread_.join();
}

bool DecodeRun::Finish(unsigned ms, mfxStatus* result) {
  if (result_.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready) return false;
  thread_.join();
  joined_ = true;
  *result = result_.get();
  return true;
}

size_t PullPictures(SourceState* owner, size_t count, unsigned waitMs,
                    const std::function<void(const mfxFrameSurface1*)>& visit, bool consume) {
  size_t received = 0;
  while (received < count) {
    SetEvent(owner->wantFrameEvent);
    if (WaitForSingleObject(owner->frameReadyEvent, waitMs) != WAIT_OBJECT_0) break;
    visit(owner->deliveredSurface);
    ++received;
    if (!consume && received == count) break;
    SetEvent(owner->frameConsumedEvent);
  }
  return received;
}
