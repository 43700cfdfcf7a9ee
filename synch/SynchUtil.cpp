// Critical regions over Windows mutexes, the dead-handle table of handles that
// were closed early on a removal notification, and the bounded thread stop.
#include "synch/SynchUtil.h"

#include "diag/Trace.h"

volatile LONG64 g_DeadHandles[MAX_DEVICES] = {};
ULONG g_ulDeadHandleCount = 0;

// After a forced termination, how long the caller waits for the thread to be
// really gone before it may free what the thread used.
static constexpr DWORD THREAD_TERMINATE_WAIT_MS = 5000;

// Handle values are printed as 32-bit numbers in every trace line.
static unsigned HandleTraceValue(HANDLE h)
{
  return static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(h));
}

// Searches look at the used front of the table only.
static ULONG DeadHandleSearchCount()
{
  ULONG ulCount = *static_cast<volatile ULONG*>(&g_ulDeadHandleCount);
  return ulCount < MAX_DEVICES ? ulCount : MAX_DEVICES;
}

// ---- Critical regions ------------------------------------------------------------

BOOL CriticalRegionEnter(HANDLE hMutex, HANDLE hCancelEvent)
{
  TRACE_CATEGORY(TRACE_CAT_LOCK, "CriticalRegionEnter( %08X, %08X ) - Entry.\n", HandleTraceValue(hMutex),
                 HandleTraceValue(hCancelEvent));
  if (hMutex == nullptr) {
    TRACE_CATEGORY(TRACE_CAT_SYSTEM, "CriticalRegionEnter - hMutex is NULL.");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }

  // Results use the numbering of the two-handle wait: 0 cancel, 1 mutex.
  DWORD dwStatus;
  if (hCancelEvent != nullptr) {
    HANDLE Handles[2] = { hCancelEvent, hMutex };
    dwStatus = WaitForMultipleObjects(2, Handles, FALSE, CRITICAL_REGION_TIMEOUT_MS);
  } else {
    dwStatus = WaitForSingleObject(hMutex, CRITICAL_REGION_TIMEOUT_MS);
    if (dwStatus == WAIT_OBJECT_0) {
      dwStatus = WAIT_OBJECT_0 + 1;
    } else if (dwStatus == WAIT_ABANDONED_0) {
      dwStatus = WAIT_ABANDONED_0 + 1;
    }
  }
  DWORD dwLastError = GetLastError();
  if (dwStatus == WAIT_FAILED) {
    TRACE_CATEGORY(TRACE_CAT_LOCK, "CriticalRegionEnter - WaitForSingleObject failed last error: 0x%X.\n",
                   static_cast<unsigned>(dwLastError));
  }

  // An abandoned mutex is owned all the same.
  BOOL bStatus = (dwStatus == WAIT_OBJECT_0 + 1 || dwStatus == WAIT_ABANDONED_0 + 1);
  if (!bStatus) {
    if (dwStatus == WAIT_OBJECT_0) {
      dwLastError = ERROR_CANCELLED;
      TRACE_INFO("Cancel event fired. Mutex not held.");
    } else {
      TRACE_WARNING("Failed to enter critical region 0x%X, dwStatus=0x%x", HandleTraceValue(hMutex), static_cast<unsigned>(dwStatus));
    }
  }
  TRACE_CATEGORY(TRACE_CAT_LOCK, "CriticalRegionEnter - Exit - bStatus:%d - dwStatus:0x%X.\n", bStatus, static_cast<unsigned>(dwStatus));
  if (!bStatus) {
    SetLastError(dwLastError);
  }
  return bStatus;
}

BOOL CriticalRegionLeave(HANDLE hMutex)
{
  DRAV_ASSERT(hMutex != NULL);
  TRACE_CATEGORY(TRACE_CAT_LOCK, "CriticalRegionLeave( %08X ) - Entry.\n", HandleTraceValue(hMutex));
  BOOL bStatus = ReleaseMutex(hMutex);
  DWORD dwLastError = GetLastError();
  TRACE_CATEGORY(TRACE_CAT_LOCK, "CriticalRegionLeave - Exit Status %d (%d).\n", bStatus, static_cast<unsigned>(dwLastError));
  if (!bStatus) {
    DRAV_ASSERT(bStatus);
  }
  return bStatus;
}

// ---- Deferred handle close --------------------------------------------------------

// The value is recorded before the handle is closed: once closed, the value may
// be handed out again at once, and a request must never go out on it meanwhile.
// With the table full the handle is left open for its owner's clean-up, which
// then closes it exactly once.
BOOL CloseHandleCleanupLater(HANDLE hHandle)
{
  TRACE_INFO("entry, handle=%08X", HandleTraceValue(hHandle));
  // 0 marks a free slot and -1 is no handle: neither can be recorded.
  if (hHandle == nullptr || hHandle == INVALID_HANDLE_VALUE) {
    TRACE_WARNING("handle %08X cannot be closed or recorded", HandleTraceValue(hHandle));
    TRACE_INFO("exit");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const LONG64 llValue = static_cast<LONG64>(reinterpret_cast<ULONG_PTR>(hHandle));

  ULONG ulCount = DeadHandleSearchCount();
  for (ULONG i = 0; i < ulCount; ++i) {
    if (InterlockedCompareExchange64(&g_DeadHandles[i], llValue, llValue) == llValue) {
      TRACE_INFO("found handle 0x%08X is already in DeadHandles list at slot %d", HandleTraceValue(hHandle), static_cast<unsigned>(i));
      TRACE_INFO("exit");
      return FALSE;
    }
  }

  ULONG i = 0;
  for (; i < MAX_DEVICES; ++i) {
    if (i >= g_ulDeadHandleCount) {
      g_ulDeadHandleCount++;
    }
    if (InterlockedCompareExchange64(&g_DeadHandles[i], llValue, 0) == 0) {
      TRACE_INFO("added handle %08X to DeadHandles list at slot %d", HandleTraceValue(hHandle), static_cast<unsigned>(i));
      break;
    }
  }
  if (i == MAX_DEVICES) {
    DRAV_ASSERT(i != MAX_DEVICES);
    TRACE_INFO("exit");
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }

  BOOL bStatus = CloseHandle(hHandle);
  DWORD dwLastError = GetLastError();
  TRACE_INFO("Closed handle 0x%X, status=%d, err=%d", HandleTraceValue(hHandle), bStatus, static_cast<unsigned>(dwLastError));
  DRAV_ASSERT(bStatus || dwLastError == ERROR_INVALID_HANDLE);
  if (!bStatus) {
    // Nothing was closed: the value is not dead (unless its owner freed the slot meanwhile).
    if (InterlockedCompareExchange64(&g_DeadHandles[i], 0, llValue) == llValue) {
      TRACE_INFO("removed handle %08X from DeadHandles list at slot %d", HandleTraceValue(hHandle), static_cast<unsigned>(i));
    }
  }
  TRACE_INFO("exit");
  SetLastError(dwLastError);
  return bStatus;
}

HANDLE OpenFreshHandle(PFN_OPEN_HANDLE pfnOpen, void* pContext)
{
  // Each recorded value can come back at most once while it is held here.
  HANDLE Held[MAX_DEVICES + 1];
  ULONG ulHeld = 0;
  HANDLE hHandle = pfnOpen(pContext);
  while (hHandle != nullptr && hHandle != INVALID_HANDLE_VALUE && IsDeadHandle(hHandle)) {
    if (ulHeld == MAX_DEVICES + 1) {
      DRAV_ASSERT(ulHeld <= MAX_DEVICES);
      CloseHandle(hHandle);
      hHandle = nullptr;
      SetLastError(ERROR_TOO_MANY_OPEN_FILES);
      break;
    }
    TRACE_INFO("handle %08X is still recorded for a removed device; opening again", HandleTraceValue(hHandle));
    Held[ulHeld++] = hHandle;
    hHandle = pfnOpen(pContext);
  }
  DWORD dwLastError = GetLastError();
  while (ulHeld > 0) {
    CloseHandle(Held[--ulHeld]);
  }
  SetLastError(dwLastError);
  return hHandle;
}

static HANDLE DuplicateOpen(void* pContext)
{
  HANDLE hCopy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), static_cast<HANDLE>(pContext), GetCurrentProcess(), &hCopy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return hCopy;
}

BOOL TakeFreshHandle(HANDLE* pHandle)
{
  HANDLE hHandle = *pHandle;
  if (hHandle == nullptr || hHandle == INVALID_HANDLE_VALUE || !IsDeadHandle(hHandle)) {
    return hHandle != nullptr && hHandle != INVALID_HANDLE_VALUE;
  }
  HANDLE hCopy = OpenFreshHandle(DuplicateOpen, hHandle);
  DWORD dwLastError = GetLastError();
  CloseHandle(hHandle);
  TRACE_INFO("handle %08X is still recorded for a removed device; replaced by %08X", HandleTraceValue(hHandle),
             HandleTraceValue(hCopy));
  *pHandle = hCopy;
  SetLastError(dwLastError);
  return hCopy != nullptr;
}

BOOL CleanUpHandle(HANDLE* pHandle)
{
  if (pHandle == nullptr) {
    TRACE_ERROR("Got NULL pointer.n");
    return FALSE;
  }
  HANDLE hHandle = *pHandle;
  TRACE_INFO("Handle is 0x%X.\n", HandleTraceValue(hHandle));
  if (hHandle == nullptr || hHandle == INVALID_HANDLE_VALUE) {
    SetLastError(0);
    return FALSE;
  }
  const LONG64 llValue = static_cast<LONG64>(reinterpret_cast<ULONG_PTR>(hHandle));

  BOOL bFound = FALSE;
  ULONG ulCount = DeadHandleSearchCount();
  for (ULONG i = 0; i < ulCount; ++i) {
    if (InterlockedCompareExchange64(&g_DeadHandles[i], 0, llValue) == llValue) {
      TRACE_INFO("found handle 0x%X in DeadHandles list at slot %d", HandleTraceValue(hHandle), static_cast<unsigned>(i));
      bFound = TRUE;
      break;
    }
  }

  BOOL bStatus = FALSE;
  DWORD dwLastError = 0;
  if (!bFound) {
    bStatus = CloseHandle(hHandle);
    dwLastError = GetLastError();
    TRACE_INFO("Closed handle %08X, status=%d, err=%d", HandleTraceValue(hHandle), bStatus, static_cast<unsigned>(dwLastError));
    DRAV_ASSERT(bStatus);
  }
  *pHandle = nullptr;

  if (bStatus) {
    return TRUE;
  }
  SetLastError(dwLastError);
  return FALSE;
}

BOOL IsDeadHandle(HANDLE hHandle)
{
  // A null value would match every free slot.
  if (hHandle == nullptr) {
    return FALSE;
  }
  const LONG64 llValue = static_cast<LONG64>(reinterpret_cast<ULONG_PTR>(hHandle));
  ULONG ulCount = DeadHandleSearchCount();
  for (ULONG i = 0; i < ulCount; ++i) {
    if (g_DeadHandles[i] == llValue) {
      return TRUE;
    }
  }
  return FALSE;
}

// ---- Thread stop ------------------------------------------------------------------

BOOL StopNiceThread(HANDLE hThread, HANDLE hStopEvent)
{
  DRAV_ASSERT(NULL != hThread);
  DRAV_ASSERT(NULL != hStopEvent);
  TRACE_INFO("Entry.\n");

  BOOL bEnded = FALSE;
  BOOL bStatus = SetEvent(hStopEvent);
  if (!bStatus) {
    DRAV_ASSERT(TRUE == bStatus);
  } else {
    TRACE_INFO("StopNiceThread - Waiting for Thread %X to end.\n", HandleTraceValue(hThread));
    DWORD dwWait = WaitForSingleObject(hThread, THREAD_STOP_TIMEOUT_MS);
    bStatus = (dwWait == WAIT_OBJECT_0);
    if (!bStatus) {
      DRAV_ASSERT(TRUE == bStatus);
    }
    bEnded = bStatus;
  }

  if (!bEnded) {
    TRACE_WARNING("StopNiceThread called TerminateThread");
    TRACE_INFO("StopNiceThread - Thread %X did not stop. Forcing Termination.\n", HandleTraceValue(hThread));
    bStatus = TerminateThread(hThread, 0);
    if (!bStatus) {
      DRAV_ASSERT(TRUE == bStatus);
    } else {
      // Termination is asynchronous: make sure the thread is gone before the
      // caller frees what it used.
      WaitForSingleObject(hThread, THREAD_TERMINATE_WAIT_MS);
    }
  }
  TRACE_INFO("StopNiceThread - Exit - %d.\n", bStatus);
  return bStatus;
}
