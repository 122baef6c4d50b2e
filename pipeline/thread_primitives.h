// Locks and counters of the decode pipeline: one critical section shared by the
// surface lists, a guard that holds it for one list operation, and the interlocked
// 16-bit counters that count how many outputs still use a surface.
#pragma once

#include <cstdint>

#include "platform/win32/win32.h"

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  int Lock();      // waits until the lock is taken; always 0
  int TryLock();   // nonzero when the lock was taken without waiting
  int Unlock();    // always 0

 private:
  CRITICAL_SECTION section_;
};

// Holds the mutex from construction to destruction. Taking the lock cannot fail: a
// busy lock is waited for.
class ScopedLock {
 public:
  explicit ScopedLock(Mutex& mutex);
  ~ScopedLock();
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  void Take();

  Mutex* mutex_;
  bool held_;
};

// One locked read-modify-write on the counter; both return the value after it.
uint16_t AtomicIncrement16(volatile uint16_t* counter);
uint16_t AtomicDecrement16(volatile uint16_t* counter);
// A whole read of a counter that other threads change with the two operations above.
uint16_t AtomicRead16(const volatile uint16_t* counter);
