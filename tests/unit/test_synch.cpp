// Critical regions, the dead-handle table and the bounded thread stop.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diag/Trace.h"
#include "synch/SynchUtil.h"
#include "tests/unit/TestSupport.h"

namespace {

std::string Hex(HANDLE h, const char* sFormat = "%X")
{
  char s[32];
  snprintf(s, sizeof s, sFormat, static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(h)));
  return s;
}

bool HandleIsOpen(HANDLE h)
{
  DWORD dwFlags;
  return GetHandleInformation(h, &dwFlags) != FALSE;
}

HANDLE NewEvent()
{
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// Another thread holds the mutex until Let() (or, abandoning, ends at once
// without releasing it). Nothing of it is left after Let().
struct MutexHolder {
  HANDLE hMutex;
  HANDLE hTaken = NewEvent();
  HANDLE hLetGo = NewEvent();
  HANDLE hThread;
  MutexHolder(HANDLE h, bool bAbandon) : hMutex(h)
  {
    if (bAbandon) {
      CloseHandle(hLetGo);
      hLetGo = nullptr;
    }
    hThread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    WaitForSingleObject(bAbandon ? hThread : hTaken, 5000);
  }
  static DWORD WINAPI Run(void* pv)
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
  void Let()
  {
    SetEvent(hLetGo);
    WaitForSingleObject(hThread, 5000);
    for (HANDLE h : { hThread, hTaken, hLetGo }) {
      CloseHandle(h);
    }
  }
};

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

TEST(SynchCriticalRegion, EntersNestsAndExcludesOtherThreads)
{
  TraceLevel lines(TRACE_CAT_LOCK | TRACE_CAT_SYSTEM);
  TraceCapture capture;
  // A null mutex: FALSE, error 6, and no exit line.
  SetLastError(0);
  EXPECT_FALSE(CriticalRegionEnter(nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_TRUE(capture.Contains("CriticalRegionEnter( 00000000, 00000000 ) - Entry."));
  EXPECT_TRUE(capture.Contains("CriticalRegionEnter - hMutex is NULL."));
  EXPECT_FALSE(capture.Contains("CriticalRegionEnter - Exit"));

  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
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

// A signalled cancel event wins over a free mutex and ends the wait for a held
// one; the mutex is not owned afterwards.
TEST(SynchCriticalRegion, SignalledCancelEventFailsTheEnter)
{
  for (bool bHeld : { false, true }) {
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE hCancel = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    MutexHolder* pHolder = bHeld ? new MutexHolder(hMutex, false) : nullptr;
    TraceCapture capture;
    SetLastError(0);
    EXPECT_FALSE(CriticalRegionEnter(hMutex, hCancel)) << bHeld;
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), GetLastError()) << bHeld;
    EXPECT_TRUE(capture.Contains("Cancel event fired. Mutex not held.")) << bHeld;
    EXPECT_FALSE(OwnsMutex(hMutex)) << bHeld;
    if (pHolder != nullptr) {
      pHolder->Let();
      delete pHolder;
    }
    CloseHandle(hCancel);
    CloseHandle(hMutex);
  }
}

TEST(SynchCriticalRegion, AbandonedMutexCountsAsEntered)
{
  TraceLevel lines(TRACE_CAT_LOCK | TRACE_CAT_SYSTEM);
  for (bool bWithCancel : { false, true }) {
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE hCancel = bWithCancel ? NewEvent() : nullptr;
    MutexHolder holder(hMutex, true);
    TraceCapture capture;
    EXPECT_TRUE(CriticalRegionEnter(hMutex, hCancel)) << "cancel event: " << bWithCancel;
    EXPECT_TRUE(capture.Contains("CriticalRegionEnter - Exit - bStatus:1 - dwStatus:0x81."));
    EXPECT_TRUE(OwnsMutex(hMutex));
    EXPECT_TRUE(CriticalRegionLeave(hMutex));
    holder.Let();
    CloseHandle(hCancel);
    CloseHandle(hMutex);
  }
}

TEST(SlowSynchCriticalRegion, HeldMutexTimesOutAfterTenSeconds)
{
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  MutexHolder holder(hMutex, false);
  TraceCapture capture;
  ULONGLONG ullStart = GetTickCount64();
  EXPECT_FALSE(CriticalRegionEnter(hMutex, nullptr));
  ULONGLONG ullElapsed = GetTickCount64() - ullStart;
  EXPECT_GE(ullElapsed, 9500u);
  EXPECT_TRUE(capture.Contains("Failed to enter critical region 0x" + Hex(hMutex) + ", dwStatus=0x102"));
  EXPECT_FALSE(OwnsMutex(hMutex));

  holder.Let();
  CloseHandle(hMutex);
}

// ---- Dead handles ---------------------------------------------------------------------

namespace {

class SynchDeadHandles : public testing::Test {
protected:
  void SetUp() override { TestResetDeadHandles(); }
  void TearDown() override { TestResetDeadHandles(); }
};

}  // namespace

TEST_F(SynchDeadHandles, EarlyCloseThenOwnerCleanUpClosesOnceAndFreesTheSlot)
{
  HANDLE hEvent = NewEvent();
  TraceCapture capture;
  EXPECT_TRUE(CloseHandleCleanupLater(hEvent));
  EXPECT_FALSE(HandleIsOpen(hEvent));
  EXPECT_TRUE(IsDeadHandle(hEvent));
  ASSERT_EQ(static_cast<LONG64>(reinterpret_cast<ULONG_PTR>(hEvent)), g_DeadHandles[0]);
  EXPECT_EQ(1u, g_ulDeadHandleCount);
  EXPECT_TRUE(capture.Contains("added handle " + Hex(hEvent, "%08X") + " to DeadHandles list at slot 0"));

  // A second early close of the same value closes nothing.
  EXPECT_FALSE(CloseHandleCleanupLater(hEvent));
  EXPECT_TRUE(capture.Contains("found handle 0x" + Hex(hEvent, "%08X") + " is already in DeadHandles list at slot 0"));
  EXPECT_EQ(1u, capture.Count("Closed handle 0x" + Hex(hEvent) + ", status=1"));

  // The owner's clean-up: no second close, slot free, variable null, error 0.
  HANDLE hOwner = hEvent;
  SetLastError(12345);
  EXPECT_FALSE(CleanUpHandle(&hOwner));
  EXPECT_EQ(0u, GetLastError());
  EXPECT_EQ(nullptr, hOwner);
  EXPECT_EQ(0, g_DeadHandles[0]);
  EXPECT_FALSE(IsDeadHandle(hEvent));
  EXPECT_TRUE(capture.Contains("found handle 0x" + Hex(hEvent) + " in DeadHandles list at slot 0"));
  EXPECT_FALSE(capture.Contains("Closed handle " + Hex(hEvent, "%08X")));

  // An ordinary handle is closed and nulled; no-handle values change nothing.
  HANDLE hVar = NewEvent();
  HANDLE hOpen = hVar;
  EXPECT_TRUE(CleanUpHandle(&hVar));
  EXPECT_EQ(nullptr, hVar);
  EXPECT_FALSE(HandleIsOpen(hOpen));
  for (HANDLE hNone : { INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr) }) {
    hVar = hNone;
    SetLastError(777);
    EXPECT_FALSE(CleanUpHandle(&hVar));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(hNone, hVar);
    // With a free slot below the high-water mark, neither is ever recorded.
    EXPECT_FALSE(CloseHandleCleanupLater(hNone));
    EXPECT_FALSE(IsDeadHandle(hNone));
  }
  EXPECT_FALSE(CleanUpHandle(nullptr));
  EXPECT_TRUE(capture.Contains("Got NULL pointer.n"));
}

// The value is in the table before the handle is closed: a request checking it
// in between must already see it as gone.
TEST_F(SynchDeadHandles, ValueIsRecordedBeforeTheHandleIsClosed)
{
  HANDLE hEvent = NewEvent();
  struct Probe {
    HANDLE hEvent;
    int iSeenAtClose;   // -1 no close line, 0 not recorded, 1 recorded
  } probe{ hEvent, -1 };
  TraceSetObserver(
    [](DWORD, const char* sLine, void* pv) {
      auto* p = static_cast<Probe*>(pv);
      if (strstr(sLine, "Closed handle") != nullptr) {
        p->iSeenAtClose = IsDeadHandle(p->hEvent) ? 1 : 0;
      }
    },
    &probe);
  BOOL bClosed = CloseHandleCleanupLater(hEvent);
  TraceSetObserver(nullptr, nullptr);
  EXPECT_TRUE(bClosed);
  EXPECT_EQ(1, probe.iSeenAtClose);
  EXPECT_FALSE(HandleIsOpen(hEvent));
}

// A full table leaves the next handle open and unrecorded, for its owner's
// clean-up to close once.
TEST_F(SynchDeadHandles, FullTableLeavesTheNextHandleOpenForItsOwner)
{
  // All open at once, so that no value comes back while it is recorded.
  std::vector<HANDLE> events;
  for (ULONG n = 0; n <= MAX_DEVICES; ++n) {
    events.push_back(NewEvent());
  }
  HANDLE hOverflow = events.back();
  events.pop_back();
  for (HANDLE h : events) {
    EXPECT_TRUE(CloseHandleCleanupLater(h));
  }
  EXPECT_EQ(MAX_DEVICES, g_ulDeadHandleCount);
  TraceCapture capture;
  EXPECT_FALSE(CloseHandleCleanupLater(hOverflow));
  EXPECT_TRUE(capture.Contains("assert i != MAX_DEVICES"));
  EXPECT_FALSE(IsDeadHandle(hOverflow));
  EXPECT_TRUE(HandleIsOpen(hOverflow));
  HANDLE hVar = hOverflow;
  EXPECT_TRUE(CleanUpHandle(&hVar));
  EXPECT_FALSE(HandleIsOpen(hOverflow));
  for (HANDLE h : events) {
    HANDLE hOwner = h;
    EXPECT_FALSE(CleanUpHandle(&hOwner));
    EXPECT_FALSE(IsDeadHandle(h));
  }
}

// The system hands a closed value out again: a new handle must never carry a
// value still recorded for a removed device's old owner, so neither the new
// holder nor the old owner's clean-up closes the other's handle.
TEST_F(SynchDeadHandles, RecycledValueIsNeverHandedToANewHolder)
{
  HANDLE hOld = NewEvent();
  ASSERT_TRUE(CloseHandleCleanupLater(hOld));
  std::vector<HANDLE> kept;
  ASSERT_TRUE(TestMakeNextHandle(hOld, &kept));
  HANDLE hNew = NewEvent();
  ASSERT_EQ(hOld, hNew);   // really recycled
  EXPECT_TRUE(TakeFreshHandle(&hNew));
  EXPECT_NE(hOld, hNew);
  EXPECT_TRUE(HandleIsOpen(hNew));
  EXPECT_FALSE(IsDeadHandle(hNew));

  // The same through an opener: the recorded value is held while it opens again.
  ASSERT_TRUE(TestMakeNextHandle(hOld, &kept));
  HANDLE hOpened = OpenFreshHandle([](void*) { return NewEvent(); }, nullptr);
  EXPECT_NE(hOld, hOpened);
  EXPECT_FALSE(IsDeadHandle(hOpened));

  // The new holders' own early close and clean-up work on their own values;
  // the old owner's clean-up closes nothing of theirs.
  EXPECT_TRUE(CloseHandleCleanupLater(hNew));
  EXPECT_FALSE(CleanUpHandle(&hNew));
  HANDLE hOwner = hOld;
  EXPECT_FALSE(CleanUpHandle(&hOwner));
  EXPECT_TRUE(HandleIsOpen(hOpened));
  EXPECT_TRUE(CleanUpHandle(&hOpened));
  for (HANDLE h : kept) {
    CloseHandle(h);
  }
}

// ---- Thread stop ----------------------------------------------------------------------

namespace {

HANDLE g_hNever = CreateEventA(nullptr, TRUE, FALSE, nullptr);

DWORD WINAPI ObedientThread(void* pv)
{
  WaitForSingleObject(static_cast<HANDLE>(pv), INFINITE);
  return 7;
}

// Waits on an event nobody signals.
DWORD WINAPI DeafThread(void* pv)
{
  WaitForSingleObject(static_cast<HANDLE>(pv), INFINITE);
  return 1;
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
  HANDLE hThread = CreateThread(nullptr, 0, DeafThread, g_hNever, 0, nullptr);
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
  HANDLE hThread = CreateThread(nullptr, 0, DeafThread, g_hNever, 0, nullptr);
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
