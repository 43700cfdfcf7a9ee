// Critical regions, the dead-handle table and the bounded thread stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "diag/Trace.h"
#include "synch/SynchUtil.h"
#include "tests/unit/TestSupport.h"

namespace {

std::string Hex8(HANDLE h)
{
  char s[32];
  snprintf(s, sizeof s, "%08X", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(h)));
  return s;
}

std::string Hex(HANDLE h)
{
  char s[32];
  snprintf(s, sizeof s, "%X", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(h)));
  return s;
}

bool HandleIsOpen(HANDLE h)
{
  DWORD dwFlags;
  return GetHandleInformation(h, &dwFlags) != FALSE;
}

// Turns on the lock-category lines for the test's duration.
class LockLines {
public:
  LockLines() : m_dwOld(g_dwDebugLevel) { g_dwDebugLevel |= TRACE_CAT_LOCK | TRACE_CAT_SYSTEM; }
  ~LockLines() { g_dwDebugLevel = m_dwOld; }

private:
  DWORD m_dwOld;
};

// A thread that takes a mutex, optionally holds it, and then either releases
// it or ends without releasing it.
struct MutexHolder {
  HANDLE hMutex;
  HANDLE hTaken;
  HANDLE hLetGo;   // null: end at once without releasing (abandon)
};

DWORD WINAPI MutexHolderThread(void* pv)
{
  auto* p = static_cast<MutexHolder*>(pv);
  WaitForSingleObject(p->hMutex, INFINITE);
  SetEvent(p->hTaken);
  if (p->hLetGo != nullptr) {
    WaitForSingleObject(p->hLetGo, INFINITE);
    ReleaseMutex(p->hMutex);
  }
  return 0;
}

// Owned by the calling thread? ReleaseMutex fails with ERROR_NOT_OWNER if not.
bool OwnsMutex(HANDLE hMutex)
{
  if (ReleaseMutex(hMutex)) {
    WaitForSingleObject(hMutex, 0);   // give it back
    return true;
  }
  return false;
}

}  // namespace

// ---- Critical regions ---------------------------------------------------------------

TEST(SynchCriticalRegion, NullMutexFailsWithInvalidHandleAndNoExitLine)
{
  LockLines lines;
  TraceCapture capture;
  SetLastError(0);
  EXPECT_FALSE(CriticalRegionEnter(nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_TRUE(capture.Contains("CriticalRegionEnter( 00000000, 00000000 ) - Entry."));
  EXPECT_TRUE(capture.Contains("CriticalRegionEnter - hMutex is NULL."));
  EXPECT_FALSE(capture.Contains("CriticalRegionEnter - Exit"));
}

TEST(SynchCriticalRegion, EntersNestsAndExcludesOtherThreads)
{
  LockLines lines;
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(nullptr, hMutex);
  TraceCapture capture;
  ASSERT_TRUE(CriticalRegionEnter(hMutex, nullptr));
  ASSERT_TRUE(CriticalRegionEnter(hMutex, nullptr));
  EXPECT_TRUE(capture.Contains("CriticalRegionEnter - Exit - bStatus:1 - dwStatus:0x1."));

  // Another thread cannot take it until both levels are left.
  auto tryTake = [](void* pv) -> DWORD {
    HANDLE h = static_cast<HANDLE>(pv);
    DWORD dw = WaitForSingleObject(h, 0);
    if (dw == WAIT_OBJECT_0) {
      ReleaseMutex(h);
    }
    return dw;
  };
  auto runTry = [&]() {
    HANDLE hThread = CreateThread(nullptr, 0, tryTake, hMutex, 0, nullptr);
    WaitForSingleObject(hThread, 5000);
    DWORD dwCode = 0;
    GetExitCodeThread(hThread, &dwCode);
    CloseHandle(hThread);
    return dwCode;
  };
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), runTry());
  EXPECT_TRUE(CriticalRegionLeave(hMutex));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), runTry());
  EXPECT_TRUE(CriticalRegionLeave(hMutex));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), runTry());
  EXPECT_TRUE(capture.Contains("CriticalRegionLeave - Exit Status 1 "));

  // Leaving a region not held fails and says so.
  capture.Clear();
  EXPECT_FALSE(CriticalRegionLeave(hMutex));
  EXPECT_TRUE(capture.Contains("assert bStatus"));
  CloseHandle(hMutex);
}

TEST(SynchCriticalRegion, SignalledCancelEventWinsOverFreeMutex)
{
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  HANDLE hCancel = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  TraceCapture capture;
  SetLastError(0);
  EXPECT_FALSE(CriticalRegionEnter(hMutex, hCancel));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), GetLastError());
  EXPECT_TRUE(capture.Contains("Cancel event fired. Mutex not held."));
  EXPECT_FALSE(OwnsMutex(hMutex));
  CloseHandle(hCancel);
  CloseHandle(hMutex);
}

TEST(SynchCriticalRegion, CancelEventAbortsWaitForHeldMutex)
{
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  HANDLE hCancel = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  MutexHolder holder{ hMutex, CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr) };
  HANDLE hThread = CreateThread(nullptr, 0, MutexHolderThread, &holder, 0, nullptr);
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(holder.hTaken, 5000));

  auto fire = [](void* pv) -> DWORD {
    Sleep(200);
    SetEvent(static_cast<HANDLE>(pv));
    return 0;
  };
  HANDLE hFire = CreateThread(nullptr, 0, fire, hCancel, 0, nullptr);
  SetLastError(0);
  EXPECT_FALSE(CriticalRegionEnter(hMutex, hCancel));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), GetLastError());

  SetEvent(holder.hLetGo);
  WaitForSingleObject(hThread, 5000);
  WaitForSingleObject(hFire, 5000);
  EXPECT_FALSE(OwnsMutex(hMutex));
  for (HANDLE h : { hThread, hFire, holder.hTaken, holder.hLetGo, hCancel, hMutex }) {
    CloseHandle(h);
  }
}

TEST(SynchCriticalRegion, AbandonedMutexCountsAsEntered)
{
  LockLines lines;
  for (bool bWithCancel : { false, true }) {
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE hCancel = bWithCancel ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
    MutexHolder holder{ hMutex, CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr };
    HANDLE hThread = CreateThread(nullptr, 0, MutexHolderThread, &holder, 0, nullptr);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hThread, 5000));

    TraceCapture capture;
    EXPECT_TRUE(CriticalRegionEnter(hMutex, hCancel)) << "cancel event: " << bWithCancel;
    EXPECT_TRUE(capture.Contains("CriticalRegionEnter - Exit - bStatus:1 - dwStatus:0x81."));
    EXPECT_TRUE(OwnsMutex(hMutex));
    EXPECT_TRUE(CriticalRegionLeave(hMutex));
    CloseHandle(hThread);
    CloseHandle(holder.hTaken);
    if (hCancel != nullptr) {
      CloseHandle(hCancel);
    }
    CloseHandle(hMutex);
  }
}

TEST(SlowSynchCriticalRegion, HeldMutexTimesOutAfterTenSeconds)
{
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  MutexHolder holder{ hMutex, CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr) };
  HANDLE hThread = CreateThread(nullptr, 0, MutexHolderThread, &holder, 0, nullptr);
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(holder.hTaken, 5000));

  TraceCapture capture;
  ULONGLONG ullStart = GetTickCount64();
  EXPECT_FALSE(CriticalRegionEnter(hMutex, nullptr));
  ULONGLONG ullElapsed = GetTickCount64() - ullStart;
  EXPECT_GE(ullElapsed, 9500u);
  EXPECT_TRUE(capture.Contains("Failed to enter critical region 0x" + Hex(hMutex) + ", dwStatus=0x102"));
  EXPECT_FALSE(OwnsMutex(hMutex));

  SetEvent(holder.hLetGo);
  WaitForSingleObject(hThread, 5000);
  for (HANDLE h : { hThread, holder.hTaken, holder.hLetGo, hMutex }) {
    CloseHandle(h);
  }
}

// ---- Dead handles ---------------------------------------------------------------------

TEST(SynchDeadHandles, EarlyCloseThenOwnerCleanUpClosesOnceAndFreesTheSlot)
{
  HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, hEvent);
  TraceCapture capture;

  EXPECT_TRUE(CloseHandleCleanupLater(hEvent));
  EXPECT_FALSE(HandleIsOpen(hEvent));
  EXPECT_TRUE(IsDeadHandle(hEvent));
  ASSERT_EQ(1u, capture.Count("added handle " + Hex8(hEvent) + " to DeadHandles list at slot "));
  ULONG ulSlot = MAX_DEVICES;
  for (ULONG i = 0; i < MAX_DEVICES; ++i) {
    if (g_DeadHandles[i] == static_cast<LONG64>(reinterpret_cast<ULONG_PTR>(hEvent))) {
      ulSlot = i;
    }
  }
  ASSERT_LT(ulSlot, MAX_DEVICES);
  EXPECT_LE(ulSlot + 1, g_ulDeadHandleCount);

  // A second early close of the same value closes nothing.
  EXPECT_FALSE(CloseHandleCleanupLater(hEvent));
  EXPECT_TRUE(capture.Contains("found handle 0x" + Hex8(hEvent) + " is already in DeadHandles list at slot " +
                               std::to_string(ulSlot)));
  EXPECT_EQ(1u, capture.Count("Closed handle 0x" + Hex(hEvent) + ", status=1"));

  // The owner's clean-up: no second close, slot free, variable null, error 0.
  HANDLE hOwner = hEvent;
  SetLastError(12345);
  EXPECT_FALSE(CleanUpHandle(&hOwner));
  EXPECT_EQ(0u, GetLastError());
  EXPECT_EQ(nullptr, hOwner);
  EXPECT_EQ(0, g_DeadHandles[ulSlot]);
  EXPECT_FALSE(IsDeadHandle(hEvent));
  EXPECT_TRUE(capture.Contains("found handle 0x" + Hex(hEvent) + " in DeadHandles list at slot " +
                               std::to_string(ulSlot)));
  EXPECT_FALSE(capture.Contains("Closed handle " + Hex8(hEvent)));
}

TEST(SynchDeadHandles, CleanUpHandleClosesAndNullsAnOrdinaryHandle)
{
  HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE hVar = hEvent;
  EXPECT_TRUE(CleanUpHandle(&hVar));
  EXPECT_EQ(nullptr, hVar);
  EXPECT_FALSE(HandleIsOpen(hEvent));
}

TEST(SynchDeadHandles, CleanUpHandleLeavesNoHandleValuesAlone)
{
  TraceCapture capture;
  HANDLE hVar = INVALID_HANDLE_VALUE;
  SetLastError(777);
  EXPECT_FALSE(CleanUpHandle(&hVar));
  EXPECT_EQ(0u, GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, hVar);

  hVar = nullptr;
  SetLastError(777);
  EXPECT_FALSE(CleanUpHandle(&hVar));
  EXPECT_EQ(0u, GetLastError());
  EXPECT_EQ(nullptr, hVar);

  EXPECT_FALSE(CleanUpHandle(nullptr));
  EXPECT_TRUE(capture.Contains("Got NULL pointer.n"));
}

TEST(SynchDeadHandles, NoHandleValuesAreNeverRecorded)
{
  // Make sure a free slot sits below the high-water mark.
  HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandleCleanupLater(hEvent));
  HANDLE hVar = hEvent;
  CleanUpHandle(&hVar);
  ASSERT_GT(g_ulDeadHandleCount, 0u);

  EXPECT_FALSE(IsDeadHandle(nullptr));
  EXPECT_FALSE(CloseHandleCleanupLater(nullptr));
  EXPECT_FALSE(CloseHandleCleanupLater(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(IsDeadHandle(INVALID_HANDLE_VALUE));
}

TEST(SynchDeadHandles, FullTableLeavesTheNextHandleUnrecorded)
{
  TraceCapture capture;
  // All open at once, so that no value is reused while it is recorded.
  std::vector<HANDLE> events;
  for (ULONG n = 0; n <= MAX_DEVICES; ++n) {
    events.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  }
  std::vector<HANDLE> recorded;
  HANDLE hOverflow = nullptr;
  for (HANDLE h : events) {
    size_t before = capture.Count("assert i != MAX_DEVICES");
    EXPECT_TRUE(CloseHandleCleanupLater(h));
    if (capture.Count("assert i != MAX_DEVICES") > before) {
      hOverflow = h;
      break;
    }
    recorded.push_back(h);
  }
  ASSERT_NE(nullptr, hOverflow);
  EXPECT_FALSE(IsDeadHandle(hOverflow));
  EXPECT_FALSE(HandleIsOpen(hOverflow));
  EXPECT_EQ(MAX_DEVICES, g_ulDeadHandleCount);
  for (HANDLE h : recorded) {
    EXPECT_TRUE(IsDeadHandle(h));
    HANDLE hVar = h;
    EXPECT_FALSE(CleanUpHandle(&hVar));
    EXPECT_FALSE(IsDeadHandle(h));
  }
  for (HANDLE h : events) {
    if (h != hOverflow && std::find(recorded.begin(), recorded.end(), h) == recorded.end()) {
      CloseHandle(h);
    }
  }
}

// ---- Thread stop ----------------------------------------------------------------------

namespace {

DWORD WINAPI ObedientThread(void* pv)
{
  WaitForSingleObject(static_cast<HANDLE>(pv), INFINITE);
  return 7;
}

DWORD WINAPI DeafThread(void*)
{
  for (;;) {
    Sleep(1000);
  }
}

}  // namespace

TEST(SynchStopNiceThread, ThreadThatObeysEndsByItself)
{
  HANDLE hStop = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE hThread = CreateThread(nullptr, 0, ObedientThread, hStop, 0, nullptr);
  TraceCapture capture;
  EXPECT_TRUE(StopNiceThread(hThread, hStop));
  DWORD dwCode = 0;
  GetExitCodeThread(hThread, &dwCode);
  EXPECT_EQ(7u, dwCode);
  EXPECT_FALSE(capture.Contains("StopNiceThread called TerminateThread"));
  EXPECT_TRUE(capture.Contains("StopNiceThread - Exit - 1."));
  // Neither handle is closed.
  EXPECT_TRUE(HandleIsOpen(hThread));
  EXPECT_TRUE(HandleIsOpen(hStop));
  CloseHandle(hThread);
  CloseHandle(hStop);
}

TEST(SynchStopNiceThread, UnsignallableStopEventTerminatesAtOnce)
{
  HANDLE hThread = CreateThread(nullptr, 0, DeafThread, nullptr, 0, nullptr);
  TraceCapture capture;
  EXPECT_TRUE(StopNiceThread(hThread, nullptr));
  EXPECT_TRUE(capture.Contains("assert NULL != hStopEvent"));
  EXPECT_TRUE(capture.Contains("assert TRUE == bStatus"));
  EXPECT_TRUE(capture.Contains("StopNiceThread called TerminateThread"));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hThread, 0));
  DWORD dwCode = 1;
  GetExitCodeThread(hThread, &dwCode);
  EXPECT_EQ(0u, dwCode);
  CloseHandle(hThread);
}

TEST(SlowSynchStopNiceThread, ThreadThatIgnoresItsStopEventIsTerminatedAfterAMinute)
{
  HANDLE hStop = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE hThread = CreateThread(nullptr, 0, DeafThread, nullptr, 0, nullptr);
  TraceCapture capture;
  ULONGLONG ullStart = GetTickCount64();
  EXPECT_TRUE(StopNiceThread(hThread, hStop));
  EXPECT_GE(GetTickCount64() - ullStart, 59000u);
  EXPECT_TRUE(capture.Contains("StopNiceThread - Waiting for Thread " + Hex(hThread) + " to end."));
  EXPECT_TRUE(capture.Contains("StopNiceThread called TerminateThread"));
  EXPECT_TRUE(capture.Contains("StopNiceThread - Thread " + Hex(hThread) + " did not stop. Forcing Termination."));
  EXPECT_TRUE(capture.Contains("StopNiceThread - Exit - 1."));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hThread, 0));
  CloseHandle(hThread);
  CloseHandle(hStop);
}
