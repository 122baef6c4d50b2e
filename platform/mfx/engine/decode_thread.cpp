#include "decode_thread.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
}

namespace tessivar::mfxsw {

DecodeThread::DecodeThread(uint32_t codecId) : feed_(codecId, *this) {}

DecodeThread::~DecodeThread() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = State::kStopping;
    abandon_ = true;
  }
  toThread_.notify_all();
  thread_.join();
}

bool DecodeThread::Start() {
  if (!feed_.Usable()) return false;
  try {
    thread_ = std::thread(&DecodeThread::Run, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool DecodeThread::Push(Work work) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      work_.push_back(std::move(work));
    } catch (const std::bad_alloc&) {
      return false;
    }
    pendingBytes_ += work_.back().size;
  }
  toThread_.notify_all();
  return true;
}

bool DecodeThread::HandOver(const uint8_t* data, size_t size, int64_t pts) {
  Work work;
  work.bytes.reset(av_buffer_alloc(static_cast<int>(size + AV_INPUT_BUFFER_PADDING_SIZE)));
  if (!work.bytes) return false;
  std::memcpy(work.bytes->data, data, size);
  std::memset(work.bytes->data + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  work.size = size;
  work.pts = pts;
  return Push(std::move(work));
}

bool DecodeThread::StartOver(ParserPtr parser, bool closeCodec) {
  Work work;
  work.kind = Work::Kind::kStartOver;
  work.parser = std::move(parser);
  work.closeCodec = closeCodec;
  if (work.parser && Push(std::move(work))) return true;
  // Without its parser or its place in the queue the start over is lost: nothing decodes on
  // until the next one.
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kStopping) state_ = State::kOutOfMemory;
  return false;
}

void DecodeThread::Drain() {
  Work work;
  work.kind = Work::Kind::kDrain;
  if (!Push(std::move(work))) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kStopping) state_ = State::kOutOfMemory;
  }
}

void DecodeThread::Abandon() {
  std::unique_lock<std::mutex> lock(mutex_);
  abandon_ = true;
  work_.clear();
  pendingBytes_ = 0;
  toThread_.notify_all();
  // The thread puts its item down at the next packet boundary.
  toCaller_.wait(lock, [this] { return state_ != State::kBusy; });
  abandon_ = false;
  ready_.clear();
  if (state_ == State::kOutOfMemory) state_ = State::kIdle;
}

bool DecodeThread::WithIdleFeed(const std::function<void(CodecFeed&)>& use) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!IdleLocked() || !ready_.empty()) return false;
  use(feed_);
  return true;
}

DecodeThread::Given DecodeThread::TakePicture(const std::function<bool(const DecodedPicture&)>& fits,
                                              DecodedPicture* picture) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ready_.empty()) return Given::kNone;
    if (!fits(ready_.front())) return Given::kDoesNotFit;
    *picture = std::move(ready_.front());
    ready_.pop_front();
  }
  toThread_.notify_all();  // room for one more picture ahead
  return Given::kPicture;
}

bool DecodeThread::HasPicture() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !ready_.empty();
}

bool DecodeThread::Idle() {
  std::lock_guard<std::mutex> lock(mutex_);
  return IdleLocked();
}

bool DecodeThread::OutOfMemory() {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == State::kOutOfMemory;
}

void DecodeThread::WaitForPictureOrIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  toCaller_.wait(lock, [this] { return !ready_.empty() || IdleLocked(); });
}

size_t DecodeThread::PendingBytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return pendingBytes_;
}

void DecodeThread::Put(DecodedPicture picture) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_.push_back(std::move(picture));
  }
  toCaller_.notify_all();
}

void DecodeThread::WaitForRoom() {
  std::unique_lock<std::mutex> lock(mutex_);
  toThread_.wait(lock, [this] { return ready_.size() < kPicturesAhead || abandon_ || state_ == State::kStopping; });
}

void DecodeThread::Carry(Work& work) {
  switch (work.kind) {
    case Work::Kind::kBytes: feed_.Decode(work.bytes->data, work.size, work.pts, work.bytes.get()); break;
    case Work::Kind::kStartOver: feed_.StartOver(std::move(work.parser), work.closeCodec); break;
    case Work::Kind::kDrain: feed_.Drain(); break;
  }
}

void DecodeThread::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Bytes wait for room among the pictures ahead; a start over or a drain does not.
    toThread_.wait(lock, [this] {
      return state_ == State::kStopping ||
             (!work_.empty() && (work_.front().kind != Work::Kind::kBytes || ready_.size() < kPicturesAhead));
    });
    if (state_ == State::kStopping) return;
    Work work = std::move(work_.front());
    work_.pop_front();
    pendingBytes_ -= std::min(pendingBytes_, work.size);
    if (state_ == State::kOutOfMemory) {
      toCaller_.notify_all();
      continue;  // dropped: the pictures would not be counted right
    }
    state_ = State::kBusy;
    lock.unlock();
    bool outOfMemory = false;
    try {
      Carry(work);
    } catch (const std::bad_alloc&) {
      // The picture in hand is lost, so the output count cannot stay exact: the caller gets
      // MFX_ERR_MEMORY_ALLOC once the pictures before it are out.
      feed_.DropPacket();
      outOfMemory = true;
    }
    work.bytes.reset();
    lock.lock();
    if (state_ == State::kBusy) state_ = outOfMemory ? State::kOutOfMemory : State::kIdle;
    if (outOfMemory) {
      work_.clear();
      pendingBytes_ = 0;
    }
    toCaller_.notify_all();
  }
}

}  // namespace tessivar::mfxsw
