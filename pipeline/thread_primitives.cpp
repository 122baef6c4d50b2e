#include "pipeline/thread_primitives.h"

Mutex::Mutex() { InitializeCriticalSection(&section_); }

Mutex::~Mutex() { DeleteCriticalSection(&section_); }

int Mutex::Lock() {
  EnterCriticalSection(&section_);
  return 0;
}

int Mutex::TryLock() { return TryEnterCriticalSection(&section_); }

int Mutex::Unlock() {
  LeaveCriticalSection(&section_);
  return 0;
}

ScopedLock::ScopedLock(Mutex& mutex) : mutex_(&mutex), held_(false) { Take(); }

ScopedLock::~ScopedLock() {
  if (held_) {
    mutex_->Unlock();
    held_ = false;
  }
}

void ScopedLock::Take() {
  if (held_) return;
  if (!mutex_->TryLock()) mutex_->Lock();
  held_ = true;
}

// The counters are unsigned on the surface and signed in the Windows service; the
// bit pattern is the same, so the add wraps 0xFFFF + 1 to 0.
uint16_t AtomicIncrement16(volatile uint16_t* counter) {
  return static_cast<uint16_t>(InterlockedIncrement16(reinterpret_cast<volatile SHORT*>(counter)));
}

uint16_t AtomicDecrement16(volatile uint16_t* counter) {
  return static_cast<uint16_t>(InterlockedDecrement16(reinterpret_cast<volatile SHORT*>(counter)));
}

uint16_t AtomicRead16(const volatile uint16_t* counter) {
  return __atomic_load_n(counter, __ATOMIC_SEQ_CST);
}
