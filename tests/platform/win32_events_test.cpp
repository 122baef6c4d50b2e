#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/win32/win32.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TEST(Win32Events, AutoResetReleasesOneWaitAndResetsItself) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  SetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the wait must have reset it";
  CloseHandle(event);
}

TEST(Win32Events, ManualResetStaysSignalledUntilReset) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ResetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
  HANDLE initiallySet = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(initiallySet, 0), WAIT_OBJECT_0);
  CloseHandle(initiallySet);
}

TEST(Win32Events, WaitForFirstOfTwoPrefersFirstHandleOnTie) {
  HANDLE kill = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE both[2] = {kill, go};
  SetEvent(go);
  SetEvent(kill);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0);
  // kill was auto-reset by that wait; go (manual) is still set and now reported.
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForSingleObject(go, 0), WAIT_OBJECT_0);
  ResetEvent(go);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
  CloseHandle(kill);
  CloseHandle(go);
}

TEST(Win32Events, WaitAllNeedsEveryHandle) {
  HANDLE a = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE b = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE both[2] = {a, b};
  SetEvent(a);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0) << "a failed wait-all must not consume";
  SetEvent(a);
  SetEvent(b);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
  CloseHandle(a);
  CloseHandle(b);
}

TEST(Win32Events, TimedWaitTimesOutAndWakesOnSignal) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  auto start = Clock::now();
  EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
  EXPECT_GE(elapsedMs(start), 45);

  std::thread setter([&] {
    Sleep(20);
    SetEvent(event);
  });
  EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  setter.join();
  CloseHandle(event);
}

TEST(Win32Events, AutoResetWakesExactlyOneOfTwoWaiters) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::atomic<int> woken{0};
  auto waiter = [&] {
    if (WaitForSingleObject(event, 300) == WAIT_OBJECT_0) ++woken;
  };
  std::thread first(waiter), second(waiter);
  Sleep(30);
  SetEvent(event);
  first.join();
  second.join();
  EXPECT_EQ(woken.load(), 1);
  CloseHandle(event);
}

TEST(Win32Events, BadHandlesFailInsteadOfBlocking) {
  HANDLE none[1] = {nullptr};
  EXPECT_EQ(WaitForMultipleObjects(1, none, FALSE, INFINITE), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(0, none, FALSE, INFINITE), WAIT_FAILED);
  EXPECT_FALSE(SetEvent(nullptr));
}

DWORD returnArgument(void* parameter) {
  Sleep(20);
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter));
}

TEST(Win32Threads, ThreadHandleSignalsWhenThreadEnds) {
  HANDLE thread = CreateThread(nullptr, 0, returnArgument, reinterpret_cast<void*>(uintptr_t{42}), 0,
                               nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST))
      << "a priority request must not fail for an unprivileged user";
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_HIGHEST);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  CloseHandle(thread);
}

TEST(Win32Threads, ClosingHandleOfRunningThreadIsSafe) {
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* parameter) -> DWORD {
        Sleep(30);
        SetEvent(static_cast<HANDLE>(parameter));
        return 0;
      },
      done, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  CloseHandle(thread);
  EXPECT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
  Sleep(10);
  CloseHandle(done);
}

TEST(Win32Locks, CriticalSectionIsReentrantAndTryFailsWhenHeldElsewhere) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section));  // same thread: re-entrant
  LeaveCriticalSection(&section);
  std::atomic<int> tryResult{-1};
  std::thread other([&] { tryResult = TryEnterCriticalSection(&section); });
  other.join();
  EXPECT_EQ(tryResult.load(), FALSE);
  LeaveCriticalSection(&section);
  std::thread again([&] {
    tryResult = TryEnterCriticalSection(&section);
    if (tryResult) LeaveCriticalSection(&section);
  });
  again.join();
  EXPECT_EQ(tryResult.load(), TRUE);
  DeleteCriticalSection(&section);
}

TEST(Win32Locks, Interlocked16WrapsAndCountsUnderContention) {
  volatile SHORT counter = -1;  // 0xFFFF
  EXPECT_EQ(InterlockedIncrement16(&counter), 0);
  counter = 1;
  EXPECT_EQ(InterlockedDecrement16(&counter), 0);
  counter = 0;
  std::thread a([&] {
    for (int i = 0; i < 10000; ++i) InterlockedIncrement16(&counter);
  });
  std::thread b([&] {
    for (int i = 0; i < 10000; ++i) InterlockedIncrement16(&counter);
  });
  a.join();
  b.join();
  EXPECT_EQ(counter, 20000);
}

}  // namespace
