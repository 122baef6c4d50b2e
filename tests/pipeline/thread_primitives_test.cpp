#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "pipeline/thread_primitives.h"

TEST(ThreadPrimitives, ScopedLockTakesAFreeLockAndWaitsForAHeldOne) {
  Mutex mutex;
  {
    ScopedLock lock(mutex);
    // Held now: another thread cannot take it without waiting.
    std::thread probe([&] { EXPECT_EQ(mutex.TryLock(), 0); });
    probe.join();
  }
  std::atomic<bool> holderReleased{false};
  std::atomic<bool> holderHolds{false};
  std::thread holder([&] {
    mutex.Lock();
    holderHolds = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    holderReleased = true;
    mutex.Unlock();
  });
  while (!holderHolds) std::this_thread::yield();
  {
    ScopedLock lock(mutex);
    EXPECT_TRUE(holderReleased.load());  // the guard waited for the owner
  }
  holder.join();
  // Released by the guard's destructor.
  EXPECT_NE(mutex.TryLock(), 0);
  mutex.Unlock();
}

TEST(ThreadPrimitives, CountersWrapAndReturnTheNewValue) {
  volatile uint16_t counter = 1;
  EXPECT_EQ(AtomicDecrement16(&counter), 0);
  counter = 0xFFFF;
  EXPECT_EQ(AtomicIncrement16(&counter), 0);
  EXPECT_EQ(AtomicDecrement16(&counter), 0xFFFF);

  counter = 0;
  std::thread a([&] { for (int i = 0; i < 20000; ++i) AtomicIncrement16(&counter); });
  std::thread b([&] { for (int i = 0; i < 20000; ++i) AtomicIncrement16(&counter); });
  a.join();
  b.join();
  EXPECT_EQ(AtomicRead16(&counter), 40000);
}
