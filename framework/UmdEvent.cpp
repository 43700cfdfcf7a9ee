// Device event thread: one event read outstanding per device, each packet
// handed to the plug-in under the device's remove lock. Also the two walks
// over the host's hardware-event records.
#include <cstring>

#include "diag/Trace.h"
#include "framework/DevIo.h"
#include "framework/UmdMgr.h"
#include "synch/SynchMgr.h"
#include "synch/SynchUtil.h"

static constexpr DWORD IOCTL_RAWPDO_EVENT_READ = 0x0022040C;
static constexpr ULONG UMD_EVENT_BUFFER_SIZE = 100;
static constexpr ULONG UMD_EVENT_MAX_FAILURES = 5;
static constexpr DWORD UMD_EVENT_BOUND_MS = 60000;
// How long a cancelled read gets to end before its storage is given up.
static constexpr DWORD UMD_EVENT_CANCEL_WAIT_MS = 1000;
// After a forced termination, how long the stopper waits for the thread to be gone.
static constexpr DWORD UMD_EVENT_TERMINATE_WAIT_MS = 5000;

static DWORD s_dwStartBoundMs = UMD_EVENT_BOUND_MS;
static DWORD s_dwStopBoundMs = UMD_EVENT_BOUND_MS;

void UmdSetEventThreadBounds(DWORD dwStartMs, DWORD dwStopMs)
{
  s_dwStartBoundMs = dwStartMs != 0 ? dwStartMs : UMD_EVENT_BOUND_MS;
  s_dwStopBoundMs = dwStopMs != 0 ? dwStopMs : UMD_EVENT_BOUND_MS;
}

static unsigned HandleTraceValue(HANDLE h)
{
  return static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(h));
}

// The thread's read storage and what it holds, in one heap block that the
// stopper owns: a thread terminated in the callback leaves the remove lock
// marked here, and a read that never ended keeps the block (and its event)
// alive for the driver instead of a dead stack.
struct UmdEventIo {
  UmdEventIo* pNext;            // registry of running threads' blocks
  const UmdDevInfo* pDevInfo;   // registry key
  tDevice* pDevice;
  ULONG ulUmdIndex;
  volatile LONG lLockHeld;      // LOCK_UmdProcessEvent held on pDevice
  volatile LONG lReadOutstanding;
  HANDLE volatile hReadEvent;
  OVERLAPPED Overlapped;
  BYTE Buffer[UMD_EVENT_BUFFER_SIZE];
};

// Start record: freed by the thread as soon as it has read it.
struct UmdEventThreadContext {
  tDevice* pDevice;
  UmdGlobal* pUmdGlobal;
  HANDLE hStartEvent;
  UmdEventIo* pIo;
};

static SRWLOCK s_EventIoLock = SRWLOCK_INIT;
static UmdEventIo* s_pEventIoList = nullptr;

static void UmdEventIoRegister(UmdEventIo* pIo)
{
  AcquireSRWLockExclusive(&s_EventIoLock);
  pIo->pNext = s_pEventIoList;
  s_pEventIoList = pIo;
  ReleaseSRWLockExclusive(&s_EventIoLock);
}

// Takes the block of the device's thread out of the registry.
static UmdEventIo* UmdEventIoUnregister(const UmdDevInfo* pDevInfo)
{
  AcquireSRWLockExclusive(&s_EventIoLock);
  UmdEventIo* pFound = nullptr;
  for (UmdEventIo** pp = &s_pEventIoList; *pp != nullptr; pp = &(*pp)->pNext) {
    if ((*pp)->pDevInfo == pDevInfo) {
      pFound = *pp;
      *pp = pFound->pNext;
      break;
    }
  }
  ReleaseSRWLockExclusive(&s_EventIoLock);
  return pFound;
}

// Once the thread is gone: gives back a remove lock it was terminated with,
// and frees the block unless its read may still be written.
static void UmdEventIoRelease(UmdEventIo* pIo)
{
  if (InterlockedExchange(&pIo->lLockHeld, 0) != 0) {
    TRACE_WARNING("Event thread ended holding LOCK_UmdProcessEvent on DUID=%x, released",
                  static_cast<unsigned>(pIo->pDevice->DUID));
    ReleaseRemoveLock(pIo->ulUmdIndex, LOCK_UmdProcessEvent, pIo->pDevice);
  }
  if (pIo->lReadOutstanding != 0) {
    TRACE_ERROR("Event read of DUID=%x never ended; its event 0x%X and buffer are left behind",
                static_cast<unsigned>(pIo->pDevice->DUID), HandleTraceValue(pIo->hReadEvent));
    return;
  }
  HANDLE hReadEvent = InterlockedExchangePointer(const_cast<HANDLE*>(&pIo->hReadEvent), nullptr);
  if (hReadEvent != nullptr) {
    CloseHandle(hReadEvent);
  }
  HeapFree(GetProcessHeap(), 0, pIo);
}

// ---- Starting -----------------------------------------------------------------------

BOOL UmdStartEventThread(UmdGlobal* pUmdGlobal, tDevice* pDevice, UmdDevInfo* pUmdDevInfo)
{
  if (pUmdGlobal == nullptr || pDevice == nullptr || pUmdDevInfo == nullptr) {
    TRACE_ERROR("no instance, device or device record");
    return FALSE;
  }
  if (pUmdDevInfo->hEventThread != nullptr) {
    TRACE_INFO("exit");
    return TRUE;
  }
  HANDLE hHeap = GetProcessHeap();
  auto* pContext = static_cast<UmdEventThreadContext*>(HeapAlloc(hHeap, HEAP_ZERO_MEMORY, sizeof(UmdEventThreadContext)));
  auto* pIo = static_cast<UmdEventIo*>(HeapAlloc(hHeap, HEAP_ZERO_MEMORY, sizeof(UmdEventIo)));
  TRACE_INFO("entry - Device:'%s' DUID=%x", DeviceTraceName(pDevice), static_cast<unsigned>(pDevice->DUID));
  if (pContext == nullptr || pIo == nullptr) {
    TRACE_INFO("could not allocate memory");
    HeapFree(hHeap, 0, pContext);
    HeapFree(hHeap, 0, pIo);
    return FALSE;
  }
  HANDLE hStartEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (hStartEvent == nullptr) {
    TRACE_INFO("could not create thread start event");
    HeapFree(hHeap, 0, pContext);
    HeapFree(hHeap, 0, pIo);
    return FALSE;
  }
  DRAV_ASSERT_TEXT(pUmdDevInfo->hEventThreadStopEvent == NULL, "pUmdDevInfo->hEventThreadStopEvent == NULL");
  pUmdDevInfo->hEventThreadStopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (pUmdDevInfo->hEventThreadStopEvent == nullptr) {
    TRACE_INFO("could not create thread stop event");
    CloseHandle(hStartEvent);
    HeapFree(hHeap, 0, pContext);
    HeapFree(hHeap, 0, pIo);
    return FALSE;
  }
  pIo->pDevInfo = pUmdDevInfo;
  pIo->pDevice = pDevice;
  pIo->ulUmdIndex = pUmdGlobal->ulUmdIndex;
  pContext->pDevice = pDevice;
  pContext->pUmdGlobal = pUmdGlobal;
  pContext->hStartEvent = hStartEvent;
  pContext->pIo = pIo;
  UmdEventIoRegister(pIo);
  pUmdDevInfo->hEventThread = CreateThread(nullptr, 0, UmdEventThread, pContext, 0, nullptr);
  if (pUmdDevInfo->hEventThread == nullptr) {
    TRACE_INFO("failed to create event thread");
    UmdEventIoUnregister(pUmdDevInfo);
    CleanUpHandle(&pUmdDevInfo->hEventThreadStopEvent);
    CloseHandle(hStartEvent);
    HeapFree(hHeap, 0, pContext);
    HeapFree(hHeap, 0, pIo);
    return FALSE;
  }
  // A thread that ends without starting (no handle, no event) is not waited
  // for to the end of the bound.
  HANDLE Waits[2] = { hStartEvent, pUmdDevInfo->hEventThread };
  DWORD dwWait = WaitForMultipleObjects(2, Waits, FALSE, s_dwStartBoundMs);
  if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_OBJECT_0 + 1) {
    if (dwWait != WAIT_OBJECT_0) {
      TRACE_INFO("event thread ended before it started");
    }
    CloseHandle(hStartEvent);
  } else {
    TRACE_ERROR("Event thread didn't start within a minute (wait=%d), so quitting wait and leaking resources",
                static_cast<int>(dwWait));
  }
  TRACE_INFO("exit");
  return TRUE;
}

// ---- The thread ---------------------------------------------------------------------

// Hands the packet to the plug-in under the device's remove lock; FALSE when
// the lock is refused (the device is on its way out).
static BOOL UmdEventDeliver(UmdGlobal* pUmdGlobal, UmdEventIo* pIo, DWORD dwReturned, ULONG* pulFailures)
{
  if (!AcquireRemoveLock(pIo->ulUmdIndex, LOCK_UmdProcessEvent, pIo->pDevice)) {
    TRACE_INFO("Could not acquire LOCK_UmdProcessEvent, so bailing out of event thread");
    return FALSE;
  }
  InterlockedExchange(&pIo->lLockHeld, 1);
  if (pUmdGlobal->pUmdCallbackProcessEvent != nullptr) {
    pUmdGlobal->pUmdCallbackProcessEvent(pIo->pDevice, pIo->Buffer, dwReturned);
  }
  *pulFailures = 0;
  InterlockedExchange(&pIo->lLockHeld, 0);
  ReleaseRemoveLock(pIo->ulUmdIndex, LOCK_UmdProcessEvent, pIo->pDevice);
  return TRUE;
}

// After a cancel: has the read ended? A bounded wait for its event, then a
// look at the overlapped record without waiting.
static BOOL UmdEventReadEnded(HANDLE hDriver, UmdEventIo* pIo)
{
  DWORD dwWait = WaitForSingleObject(pIo->hReadEvent, UMD_EVENT_CANCEL_WAIT_MS);
  DWORD dwIgnored = 0;
  if (DevIoGetOverlappedResult(hDriver, &pIo->Overlapped, &dwIgnored, FALSE) || GetLastError() != ERROR_IO_INCOMPLETE) {
    InterlockedExchange(&pIo->lReadOutstanding, 0);
    return TRUE;
  }
  TRACE_ERROR("cancelled event read on 0x%X still outstanding (wait=%d)", HandleTraceValue(hDriver),
              static_cast<int>(dwWait));
  return FALSE;
}

static BOOL UmdEventCancelRead(HANDLE hDriver, UmdEventIo* pIo)
{
  BOOL bStatus = DevIoCancel(hDriver);
  DRAV_ASSERT(bStatus);
  return UmdEventReadEnded(hDriver, pIo);
}

// A read that reports more bytes than its buffer holds is not a packet.
static BOOL UmdEventSizeValid(DWORD dwReturned)
{
  if (dwReturned <= UMD_EVENT_BUFFER_SIZE) {
    return TRUE;
  }
  TRACE_ERROR("event read returned %d bytes for a buffer of %d, dropped", static_cast<int>(dwReturned),
              static_cast<int>(UMD_EVENT_BUFFER_SIZE));
  return FALSE;
}

DWORD WINAPI UmdEventThread(LPVOID pParameter)
{
  auto* pContext = static_cast<UmdEventThreadContext*>(pParameter);
  tDevice* pDevice = pContext->pDevice;
  UmdGlobal* pUmdGlobal = pContext->pUmdGlobal;
  HANDLE hStartEvent = pContext->hStartEvent;
  UmdEventIo* pIo = pContext->pIo;
  DRAV_ASSERT(pDevice);
  TRACE_INFO("entry");
  HeapFree(GetProcessHeap(), 0, pContext);

  UmdDevInfo* pDevInfo = UmdGetDevInfo(pUmdGlobal, pDevice);
  HANDLE hDriver = pDevInfo != nullptr ? pDevInfo->hHandle : nullptr;
  if (hDriver == nullptr || hDriver == INVALID_HANDLE_VALUE) {
    TRACE_INFO("hHandle is NULL");
    return 0;
  }
  pIo->hReadEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (pIo->hReadEvent == nullptr) {
    TRACE_INFO("CreateEvent Failed (%d)", static_cast<int>(GetLastError()));
    return 0;
  }
  HANDLE WaitPair[2] = { pIo->hReadEvent, pDevInfo->hEventThreadStopEvent };
  SetEvent(hStartEvent);
  ULONG ulFailures = 0;
  BOOL bRunning = TRUE;

  while (bRunning) {
    memset(&pIo->Overlapped, 0, sizeof pIo->Overlapped);
    pIo->Overlapped.hEvent = pIo->hReadEvent;
    InterlockedExchange(&pIo->lReadOutstanding, 1);
    DWORD dwReturned = 0;
    BOOL bStatus = DevIoControl(hDriver, IOCTL_RAWPDO_EVENT_READ, nullptr, 0, pIo->Buffer, UMD_EVENT_BUFFER_SIZE,
                                &dwReturned, &pIo->Overlapped);
    DWORD dwLastError = GetLastError();
    BOOL bGot = FALSE;
    if (bStatus) {
      InterlockedExchange(&pIo->lReadOutstanding, 0);
      TRACE_INFO("Got event Length %d : Status : %d %08X  (asked for %d)\n", static_cast<int>(dwReturned), bStatus,
                 static_cast<unsigned>(pIo->Overlapped.Internal), static_cast<int>(UMD_EVENT_BUFFER_SIZE));
      bGot = TRUE;
    } else if (dwLastError == ERROR_IO_PENDING) {
      TRACE_INFO("pending");
      DWORD dwWait = WaitForMultipleObjects(2, WaitPair, FALSE, INFINITE);
      if (dwWait == WAIT_OBJECT_0) {
        bStatus = DevIoGetOverlappedResult(hDriver, &pIo->Overlapped, &dwReturned, FALSE);
        dwLastError = GetLastError();
        if (bStatus) {
          InterlockedExchange(&pIo->lReadOutstanding, 0);
          TRACE_INFO("pended event good");
          bGot = TRUE;
        } else {
          TRACE_INFO("UmdEventThread - GetOverlappedResult Status %d. LastError %08X\n", bStatus,
                     static_cast<unsigned>(dwLastError));
          // Signalled but unfinished: the read is still the driver's.
          if (dwLastError == ERROR_IO_INCOMPLETE) {
            bRunning = UmdEventCancelRead(hDriver, pIo);
          } else {
            InterlockedExchange(&pIo->lReadOutstanding, 0);
          }
          ++ulFailures;
          if (ulFailures >= UMD_EVENT_MAX_FAILURES || dwLastError == ERROR_DEVICE_NOT_CONNECTED ||
              dwLastError == ERROR_ACCESS_DENIED || dwLastError == ERROR_OPERATION_ABORTED) {
            bRunning = FALSE;
          }
        }
      } else if (dwWait == WAIT_OBJECT_0 + 1) {
        TRACE_INFO("hEventThreadStopEvent detected, aborting event thread");
        UmdEventCancelRead(hDriver, pIo);
        bRunning = FALSE;
      } else {
        TRACE_ERROR("WaitForMultipleObjects returned unexpected result %d", static_cast<int>(dwWait));
        DRAV_ASSERT(FALSE);
        // Its buffer and overlapped record are reused only once the read is over.
        bRunning = UmdEventCancelRead(hDriver, pIo);
        if (++ulFailures >= UMD_EVENT_MAX_FAILURES) {
          TRACE_ERROR("Event thread got 5 unexpected return values in a row, so bailing out of event thread");
          bRunning = FALSE;
        }
      }
    } else {
      InterlockedExchange(&pIo->lReadOutstanding, 0);
      TRACE_INFO("UmdEventThread - DeviceIoControl failed with error %d %08X, retry %d\n", static_cast<int>(dwLastError),
                 static_cast<unsigned>(dwLastError), static_cast<int>(ulFailures));
      if (++ulFailures >= UMD_EVENT_MAX_FAILURES) {
        TRACE_WARNING("Event thread got 5 errors in a row, so bailing out of event thread");
        bRunning = FALSE;
      }
    }
    if (bGot) {
      if (UmdEventSizeValid(dwReturned)) {
        bRunning = UmdEventDeliver(pUmdGlobal, pIo, dwReturned, &ulFailures);
      } else if (++ulFailures >= UMD_EVENT_MAX_FAILURES) {
        TRACE_WARNING("Event thread got 5 errors in a row, so bailing out of event thread");
        bRunning = FALSE;
      }
    }
  }

  // An outstanding read keeps its event: the driver may still signal it.
  if (pIo->lReadOutstanding == 0) {
    HANDLE hReadEvent = InterlockedExchangePointer(const_cast<HANDLE*>(&pIo->hReadEvent), nullptr);
    BOOL bStatus = CloseHandle(hReadEvent);
    TRACE_INFO("Closed handle 0x%08X, status=%d, err=%d", HandleTraceValue(hReadEvent), bStatus,
               static_cast<int>(bStatus ? 0 : GetLastError()));
    DRAV_ASSERT(bStatus);
  }
  TRACE_INFO("exit");
  return 0;
}

// ---- Stopping -----------------------------------------------------------------------

void UmdStopEventThread(UmdGlobal* pUmdGlobal, tDevice* pDevice)
{
  DRAV_ASSERT(pDevice);
  TRACE_INFO("entry, DUID=%x", static_cast<unsigned>(pDevice != nullptr ? pDevice->DUID : 0));
  UmdDevInfo* pDevInfo = UmdGetDevInfo(pUmdGlobal, pDevice);
  if (pDevInfo == nullptr) {
    TRACE_INFO("exit");
    return;
  }
  HANDLE hThread = pDevInfo->hEventThread;
  if (pDevInfo->hEventThreadStopEvent != nullptr) {
    BOOL bForce = FALSE;
    if (!SetEvent(pDevInfo->hEventThreadStopEvent)) {
      TRACE_ERROR("UmdStopEventThread - SetEvent( 0x%08X ) %d", HandleTraceValue(pDevInfo->hEventThreadStopEvent),
                  static_cast<int>(GetLastError()));
      bForce = TRUE;
    } else {
      DWORD dwWait = WaitForSingleObject(hThread, s_dwStopBoundMs);
      if (dwWait != WAIT_OBJECT_0) {
        TRACE_WARNING("Event thread didn't terminate within one minute (wait=%d), will force termination",
                      static_cast<int>(dwWait));
        bForce = TRUE;
      }
    }
    if (bForce) {
      TRACE_WARNING("UmdStopEventThread calling TerminateThread");
      BOOL bStatus = TerminateThread(hThread, 0);
      if (!bStatus) {
        TRACE_ERROR("TerminateThread( 0x%08X ) failed %d %d", HandleTraceValue(hThread), bStatus,
                    static_cast<int>(GetLastError()));
      } else {
        WaitForSingleObject(hThread, UMD_EVENT_TERMINATE_WAIT_MS);
      }
    }
  }
  // The read block goes only with its thread; a thread still alive keeps it.
  if (hThread == nullptr || WaitForSingleObject(hThread, 0) == WAIT_OBJECT_0) {
    UmdEventIo* pIo = UmdEventIoUnregister(pDevInfo);
    if (pIo != nullptr) {
      UmdEventIoRelease(pIo);
    }
  } else {
    TRACE_ERROR("event thread 0x%X still running; its read block is left behind", HandleTraceValue(hThread));
    UmdEventIoUnregister(pDevInfo);
  }
  CleanUpHandle(&pDevInfo->hEventThreadStopEvent);
  CleanUpHandle(&pDevInfo->hEventThread);
  TRACE_INFO("exit");
}

// ---- Hardware-event walks -------------------------------------------------------------

void UmdParseEventList(UmdGlobal* pUmdGlobal, PFN_UMD_EVENT_OPERATION pfnOperation)
{
  tMain* pMain = pUmdGlobal != nullptr ? HostMain(pUmdGlobal->pDevMgrApi) : nullptr;
  HANDLE hListMutex = pMain != nullptr ? pMain->hHWEventListMutex : nullptr;
  if (!CriticalRegionEnter(hListMutex, nullptr)) {
    TRACE_ERROR("Failed to get HWEvent mutex.");
    return;
  }
  ULONG ulUmdIndex = pUmdGlobal->ulUmdIndex;
  for (tHWEvent* pHWEvent = static_cast<tHWEvent*>(pMain->pHWEventList); pHWEvent != nullptr;
       pHWEvent = pHWEvent->pNext) {
    if (!AcquireRemoveLock(&pHWEvent->RemoveLock)) {
      TRACE_WARNING("Failed to get HWEvent remove lock.");
      continue;
    }
    if (ulUmdIndex < UMD_MAX_INDEX && (pHWEvent->EventUMDFlag & (1u << ulUmdIndex)) != 0) {
      tDevice* pDevice = HostGetDevice(pUmdGlobal->pDevMgrApi, ulUmdIndex, LOCK_UmdParseEventList, pHWEvent->DUID);
      DRAV_ASSERT(pDevice);
      if (pDevice != nullptr) {
        if (pfnOperation != nullptr) {
          pfnOperation(pDevice, pHWEvent, 0);
        }
        ReleaseRemoveLock(ulUmdIndex, LOCK_UmdParseEventList, pDevice);
      }
    }
    ReleaseRemoveLock(&pHWEvent->RemoveLock);
  }
  CriticalRegionLeave(hListMutex);
}

ULONG SniffModeState(tHWEvent* pHWEvent, PFN_SW_EVENT_FILTER pfnFilter)
{
  if (pHWEvent == nullptr) {
    return 0;
  }
  if (!CriticalRegionEnter(pHWEvent->hEventListMutex, nullptr)) {
    TRACE_INFO("Could not get critical region! pHWEvent->hEventListMutex\n");
    return 0;
  }
  ULONG ulMode = 0;
  for (const tSWEvent* pEntry = pHWEvent->pSWEventList != nullptr ? pHWEvent->pSWEventList->pFirst : nullptr;
       pEntry != nullptr; pEntry = pEntry->pNext) {
    if (pfnFilter != nullptr && !pfnFilter(pEntry)) {
      continue;
    }
    ulMode |= (pEntry->ulFlags & SW_EVENT_MODE_FLAG) != 0 ? 1 : 2;
  }
  CriticalRegionLeave(pHWEvent->hEventListMutex);
  return ulMode;
}
