// Critical regions, the dead-handle table and the bounded thread stop.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "diag/Trace.h"
#include "synch/SynchUtil.h"
#include "tests/unit/TestSupport.h"

namespace {

bool HandleIsOpen(HANDLE h)
{
  DWORD dwFlags;
  return GetHandleInformation(h, &dwFlags) != FALSE;
}
// A handle value as the system and the dead-handle table see it.
std::string State(HANDLE h) { return std::string(HandleIsOpen(h) ? "open" : "closed") + (IsDeadHandle(h) ? ", recorded" : ""); }
// The owner's clean-up: "<result>[ <last error>], <its variable then>: <the old value's state>".
std::string CleanUp(HANDLE* ph)
{
  HANDLE h = *ph;
  SetLastError(777);
  std::string s = CleanUpHandle(ph) ? "1" : "0 " + std::to_string(GetLastError());
  return s + (*ph == h ? ", kept: " : *ph == nullptr ? ", nulled: " : ", changed: ") + State(h);
}
HANDLE NewEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }
// ReleaseMutex fails with ERROR_NOT_OWNER unless the calling thread owns it; if it did, it takes it back.
bool OwnsMutex(HANDLE h) { return ReleaseMutex(h) && WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }
bool FreeForOthers(HANDLE hMutex)
{
  DWORD dw = 0;
  std::jthread([&] {
    if ((dw = WaitForSingleObject(hMutex, 0)) == WAIT_OBJECT_0) ReleaseMutex(hMutex);
  }).join();
  return dw == WAIT_OBJECT_0;
}

// Another thread takes the mutex and holds it until the returned thread is let go (destroyed).
std::jthread HoldElsewhere(HANDLE hMutex)
{
  HANDLE hTaken = NewEvent(), hLetGo = NewEvent();
  std::jthread holder([=](std::stop_token stop) {
    std::stop_callback letGo(stop, [=] { SetEvent(hLetGo); });
    WaitForSingleObject(hMutex, INFINITE);
    SetEvent(hTaken);
    WaitForSingleObject(hLetGo, INFINITE);
    ReleaseMutex(hMutex);
    CloseHandle(hLetGo);
  });
  WaitForSingleObject(hTaken, 10000);
  CloseHandle(hTaken);
  return holder;
}

class SynchDeadHandles : public testing::Test {
protected:
  void SetUp() override { TestResetDeadHandles(); }
  void TearDown() override { TestResetDeadHandles(); }
};

// A thread that ends with code 7 once hEvent is set.
HANDLE WaitingThread(HANDLE hEvent)
{
  auto wait = [](void* pv) -> DWORD { return WaitForSingleObject(pv, INFINITE) == WAIT_OBJECT_0 ? 7 : 1; };
  return CreateThread(nullptr, 0, wait, hEvent, 0, nullptr);
}
HANDLE g_hNever = NewEvent();

}  // namespace

// Entered, the region is left once; leaving a region not held fails and says so.
TEST(SynchCriticalRegion, EnterOwnsTheMutexOrFailsWithTheReason)
{
  TraceLevel lines(TRACE_CAT_LOCK | TRACE_CAT_SYSTEM);
  enum Mutex { NONE, FREE, HELD, ABANDONED };
  enum Cancel { NO_EVENT, UNSIGNALLED, SIGNALLED };
  const struct {
    Mutex mutex;
    Cancel cancel;
    DWORD dwError;   // 0: entered
    const char* sLine;
  } cases[] = {
    { NONE, NO_EVENT, ERROR_INVALID_HANDLE, "CriticalRegionEnter - hMutex is NULL." },
    { FREE, NO_EVENT, 0, "CriticalRegionEnter - Exit - bStatus:1 - dwStatus:0x1." },
    { FREE, UNSIGNALLED, 0, "CriticalRegionEnter - Exit - bStatus:1 - dwStatus:0x1." },
    // A signalled cancel event wins over a free mutex and ends the wait for a held one.
    { FREE, SIGNALLED, ERROR_CANCELLED, "Cancel event fired. Mutex not held." },
    { HELD, SIGNALLED, ERROR_CANCELLED, "Cancel event fired. Mutex not held." },
    // An abandoned mutex counts as entered.
    { ABANDONED, NO_EVENT, 0, "CriticalRegionEnter - Exit - bStatus:1 - dwStatus:0x81." },
    { ABANDONED, UNSIGNALLED, 0, "CriticalRegionEnter - Exit - bStatus:1 - dwStatus:0x81." },
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mutex << "/" << c.cancel);
    HANDLE hMutex = c.mutex == NONE ? nullptr : CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE hCancel = c.cancel == NO_EVENT ? nullptr : CreateEventA(nullptr, TRUE, c.cancel == SIGNALLED, nullptr);
    std::jthread holder = c.mutex == HELD ? HoldElsewhere(hMutex) : std::jthread();
    if (c.mutex == ABANDONED) std::jthread([=] { WaitForSingleObject(hMutex, INFINITE); }).join();
    TraceCapture capture;
    SetLastError(0);
    BOOL bEntered = CriticalRegionEnter(hMutex, hCancel);
    EXPECT_EQ(c.dwError, bEntered ? 0u : GetLastError());
    EXPECT_TRUE(capture.Contains(c.sLine));
    EXPECT_EQ(c.dwError == 0, hMutex != nullptr && OwnsMutex(hMutex) && CriticalRegionLeave(hMutex));
    holder = {};
    EXPECT_FALSE(capture.Contains("assert bStatus"));
    if (hMutex != nullptr) {
      EXPECT_TRUE(FreeForOthers(hMutex) && !CriticalRegionLeave(hMutex) && capture.Contains("assert bStatus"));
    }
    for (HANDLE h : { hMutex, hCancel }) CloseHandle(h);   // null: refused, harmless
  }
}

TEST_F(SynchDeadHandles, EarlyCloseThenOwnerCleanUpClosesOnceAndFreesTheSlot)
{
  HANDLE hEvent = NewEvent(), hOwner = hEvent;
  // The value is in the table before the handle is closed: a request checking
  // it in between must already see it as gone.
  std::pair<HANDLE, int> probe{ hEvent, -1 };   // -1 no close line, 0 not recorded then, 1 recorded
  TraceSetObserver(
    [](DWORD, const char* sLine, void* pv) {
      auto* p = static_cast<std::pair<HANDLE, int>*>(pv);
      if (strstr(sLine, "Closed handle") != nullptr) p->second = IsDeadHandle(p->first) ? 1 : 0;
    },
    &probe);
  BOOL bClosed = CloseHandleCleanupLater(hEvent);
  TraceSetObserver(nullptr, nullptr);
  EXPECT_TRUE(bClosed && probe.second == 1);
  EXPECT_EQ("closed, recorded", State(hEvent));
  // A second early close of the same value, then the owner's clean-up: no
  // second close, the slot free, the variable null.
  TraceCapture capture;
  EXPECT_FALSE(CloseHandleCleanupLater(hEvent));
  EXPECT_EQ("0 0, nulled: closed", CleanUp(&hOwner));
  EXPECT_FALSE(capture.Contains("Closed handle"));

  // An ordinary handle is closed and nulled; no-handle values change nothing
  // and, with a free slot below the high-water mark, are never recorded.
  HANDLE hVar = NewEvent();
  EXPECT_EQ("1, nulled: closed", CleanUp(&hVar));
  for (HANDLE hNone : { INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr) }) {
    hVar = hNone;
    EXPECT_EQ("0 0, kept: " + State(hNone), CleanUp(&hVar));
    EXPECT_FALSE(CloseHandleCleanupLater(hNone) || IsDeadHandle(hNone));
  }
  EXPECT_FALSE(CleanUpHandle(nullptr));
  EXPECT_TRUE(capture.Contains("Got NULL pointer.n"));
}

// A full table leaves the next handle open and unrecorded, for its owner's
// clean-up to close once.
TEST_F(SynchDeadHandles, FullTableLeavesTheNextHandleOpenForItsOwner)
{
  // All open at once, so that no value comes back while it is recorded.
  std::vector<HANDLE> events(MAX_DEVICES + 1);
  for (HANDLE& h : events) h = NewEvent();
  HANDLE hOverflow = events.back();
  events.pop_back();
  TraceCapture capture;
  for (HANDLE h : events) EXPECT_TRUE(CloseHandleCleanupLater(h));
  EXPECT_EQ(MAX_DEVICES, g_ulDeadHandleCount);
  EXPECT_FALSE(CloseHandleCleanupLater(hOverflow));
  EXPECT_TRUE(capture.Contains("assert i != MAX_DEVICES"));
  EXPECT_EQ("open", State(hOverflow));
  EXPECT_EQ("1, nulled: closed", CleanUp(&hOverflow));
  for (HANDLE h : events) EXPECT_EQ("0 0, nulled: closed", CleanUp(&h));
}

// The system hands a closed value out again: a new handle must never carry a
// value still recorded for a removed device's old owner, so neither the new
// holder nor the old owner's clean-up closes the other's handle. (An opener's
// route: the transport's RecycledValueOfARemovedDeviceHandle.)
TEST_F(SynchDeadHandles, RecycledValueIsNeverHandedToANewHolder)
{
  HANDLE hOld = NewEvent(), hOwner = hOld;
  ASSERT_TRUE(CloseHandleCleanupLater(hOld));
  std::vector<HANDLE> kept;
  ASSERT_TRUE(TestMakeNextHandle(hOld, &kept));
  HANDLE hNew = NewEvent();
  ASSERT_EQ(hOld, hNew);   // really recycled
  EXPECT_TRUE(TakeFreshHandle(&hNew));
  EXPECT_NE(hOld, hNew);
  EXPECT_EQ("open", State(hNew));
  // The new holder's own early close and clean-up work on its own value; the
  // old owner's clean-up closes nothing (it would fail with a bad handle).
  EXPECT_TRUE(CloseHandleCleanupLater(hNew));
  EXPECT_EQ("0 0, nulled: closed", CleanUp(&hNew));
  EXPECT_EQ("0 0, nulled: closed", CleanUp(&hOwner));
  for (HANDLE h : kept) CloseHandle(h);
}

// A thread that obeys its stop event ends by itself (exit code 7); without a
// stop event to signal it is terminated at once (exit code 0). Neither handle is closed.
TEST(SynchStopNiceThread, ThreadEndsByItselfOrIsTerminatedAtOnceWithoutAStopEvent)
{
  for (bool bStopEvent : { true, false }) {
    SCOPED_TRACE(bStopEvent);
    HANDLE hStop = bStopEvent ? CreateEventA(nullptr, FALSE, FALSE, nullptr) : nullptr;
    HANDLE hThread = WaitingThread(bStopEvent ? hStop : g_hNever);
    TraceCapture capture;
    EXPECT_TRUE(StopNiceThread(hThread, hStop));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hThread, 0));
    DWORD dwCode = 1;
    GetExitCodeThread(hThread, &dwCode);
    EXPECT_EQ(bStopEvent ? 7u : 0u, dwCode);
    for (const char* s : { "StopNiceThread called TerminateThread", "assert NULL != hStopEvent", "assert TRUE == bStatus" }) {
      EXPECT_EQ(!bStopEvent, capture.Contains(s)) << s;
    }
    EXPECT_TRUE(HandleIsOpen(hThread));
    EXPECT_EQ(bStopEvent, HandleIsOpen(hStop));
    for (HANDLE h : { hThread, hStop }) CloseHandle(h);
  }
}

// Waits bounded by a time-out: a region whose mutex is held elsewhere, a thread
// that ignores its stop event.
TEST(SlowSynch, WaitsEndAtTheirBound)
{
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  std::jthread holder = HoldElsewhere(hMutex);
  TraceCapture capture;
  ULONGLONG ullStart = GetTickCount64();
  EXPECT_FALSE(CriticalRegionEnter(hMutex, nullptr));
  EXPECT_GE(GetTickCount64() - ullStart, 9500u);
  char sLine[64];
  snprintf(sLine, sizeof sLine, "Failed to enter critical region 0x%X, dwStatus=0x102",
           static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(hMutex)));
  EXPECT_TRUE(capture.Contains(sLine)) << sLine;
  EXPECT_FALSE(OwnsMutex(hMutex));
  holder = {};
  HANDLE hStop = CreateEventA(nullptr, FALSE, FALSE, nullptr), hThread = WaitingThread(g_hNever);
  ullStart = GetTickCount64();
  EXPECT_TRUE(StopNiceThread(hThread, hStop));
  EXPECT_GE(GetTickCount64() - ullStart, 59000u);
  EXPECT_TRUE(capture.Contains("StopNiceThread called TerminateThread"));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hThread, 0));
  for (HANDLE h : { hMutex, hThread, hStop }) CloseHandle(h);
}
