// The reference host's binding thread: a queue of calls and a message pump.
#include "host/RefHostThread.h"

#include <cstring>

#include "host/RefHostReports.h"
#include "plugin/LdCodes.h"

// One handed-over call. Two references: the caller's, and the queue's (which
// passes to the thread when it takes the call); the last one frees it.
struct RefHostCall {
  RefHostCall* pNext;
  PFN_REFHOST_THREAD_CALL pfn;
  HANDLE hDone;            // manual reset: the call ran or was given up
  volatile LONG lRefs;
  volatile BOOL bRan;
  BYTE Context[REFHOST_CALL_CONTEXT_SIZE];
};

static void ReleaseCall(RefHostCall* pCall)
{
  if (InterlockedDecrement(&pCall->lRefs) == 0) {
    CloseHandle(pCall->hDone);
    HeapFree(GetProcessHeap(), 0, pCall);
  }
}

static RefHostCall* TakeFirstCall(RefHostThread* pThread)
{
  EnterCriticalSection(&pThread->csCalls);
  RefHostCall* pCall = pThread->pFirst;
  if (pCall != nullptr) {
    pThread->pFirst = pCall->pNext;
    if (pThread->pFirst == nullptr) {
      pThread->pLast = nullptr;
    }
    pCall->pNext = nullptr;
  }
  LeaveCriticalSection(&pThread->csCalls);
  return pCall;
}

// Under csCalls; TRUE when the call was still queued.
static BOOL UnlinkCall(RefHostThread* pThread, RefHostCall* pCall)
{
  RefHostCall* pPrev = nullptr;
  for (RefHostCall* p = pThread->pFirst; p != nullptr; pPrev = p, p = p->pNext) {
    if (p != pCall) {
      continue;
    }
    (pPrev != nullptr ? pPrev->pNext : pThread->pFirst) = p->pNext;
    if (pThread->pLast == p) {
      pThread->pLast = pPrev;
    }
    return TRUE;
  }
  return FALSE;
}

void RefHostPumpMessages()
{
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

static DWORD WINAPI RefHostThreadMain(void* pParameter)
{
  RefHostThread* pThread = static_cast<RefHostThread*>(pParameter);
  HANDLE handles[2] = { pThread->hStopEvent, pThread->hWorkEvent };
  for (;;) {
    RefHostPumpMessages();
    DWORD dw = MsgWaitForMultipleObjectsEx(2, handles, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (dw == WAIT_OBJECT_0 || dw == WAIT_FAILED) {
      break;
    }
    for (;;) {
      RefHostCall* pCall = TakeFirstCall(pThread);
      if (pCall == nullptr) {
        break;
      }
      pCall->pfn(pCall->Context);
      pCall->bRan = TRUE;
      SetEvent(pCall->hDone);
      ReleaseCall(pCall);
      if (WaitForSingleObject(pThread->hStopEvent, 0) == WAIT_OBJECT_0) {
        break;
      }
    }
  }
  return 0;
}

BOOL RefHostThreadStart(RefHostThread* pThread)
{
  memset(pThread, 0, sizeof *pThread);
  InitializeCriticalSection(&pThread->csCalls);
  pThread->hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  pThread->hWorkEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (pThread->hStopEvent != nullptr && pThread->hWorkEvent != nullptr) {
    pThread->hThread = CreateThread(nullptr, 0, RefHostThreadMain, pThread, 0, &pThread->dwThreadId);
  }
  if (pThread->hThread == nullptr) {
    RefHostThreadStop(pThread, 0);
    return FALSE;
  }
  return TRUE;
}

BOOL RefHostThreadStop(RefHostThread* pThread, DWORD dwTimeoutMs)
{
  BOOL bEnded = TRUE;
  if (pThread->hThread != nullptr) {
    SetEvent(pThread->hStopEvent);
    bEnded = WaitForSingleObject(pThread->hThread, dwTimeoutMs) == WAIT_OBJECT_0;
    if (!bEnded) {
      TerminateThread(pThread->hThread, 1);
      WaitForSingleObject(pThread->hThread, INFINITE);
    }
    CloseHandle(pThread->hThread);
  }
  // Calls still queued are given up; their callers see them not run.
  for (;;) {
    RefHostCall* pCall = TakeFirstCall(pThread);
    if (pCall == nullptr) {
      break;
    }
    SetEvent(pCall->hDone);
    ReleaseCall(pCall);
  }
  DeleteCriticalSection(&pThread->csCalls);
  if (pThread->hWorkEvent != nullptr) {
    CloseHandle(pThread->hWorkEvent);
  }
  if (pThread->hStopEvent != nullptr) {
    CloseHandle(pThread->hStopEvent);
  }
  memset(pThread, 0, sizeof *pThread);
  return bEnded;
}

BOOL RefHostThreadCall(RefHostThread* pThread, PFN_REFHOST_THREAD_CALL pfn, void* pContext, ULONG cbContext,
                       DWORD dwTimeoutMs)
{
  if (pfn == nullptr || cbContext > REFHOST_CALL_CONTEXT_SIZE) {
    return FALSE;
  }
  if (GetCurrentThreadId() == pThread->dwThreadId) {
    pfn(pContext);
    return TRUE;
  }
  if (pThread->hThread == nullptr) {
    return FALSE;
  }
  auto* pCall = static_cast<RefHostCall*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(RefHostCall)));
  if (pCall == nullptr) {
    return FALSE;
  }
  pCall->hDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (pCall->hDone == nullptr) {
    HeapFree(GetProcessHeap(), 0, pCall);
    return FALSE;
  }
  pCall->pfn = pfn;
  pCall->lRefs = 2;
  memcpy(pCall->Context, pContext, cbContext);

  EnterCriticalSection(&pThread->csCalls);
  BOOL bStopping = WaitForSingleObject(pThread->hStopEvent, 0) == WAIT_OBJECT_0;
  if (!bStopping) {
    (pThread->pLast != nullptr ? pThread->pLast->pNext : pThread->pFirst) = pCall;
    pThread->pLast = pCall;
  }
  LeaveCriticalSection(&pThread->csCalls);
  if (bStopping) {
    pCall->lRefs = 1;
    ReleaseCall(pCall);
    return FALSE;
  }
  SetEvent(pThread->hWorkEvent);

  if (WaitForSingleObject(pCall->hDone, dwTimeoutMs) != WAIT_OBJECT_0) {
    EnterCriticalSection(&pThread->csCalls);
    BOOL bWithdrawn = UnlinkCall(pThread, pCall);
    LeaveCriticalSection(&pThread->csCalls);
    if (bWithdrawn) {
      ReleaseCall(pCall);   // the queue's reference
    }
  }
  BOOL bRan = WaitForSingleObject(pCall->hDone, 0) == WAIT_OBJECT_0 && pCall->bRan;
  if (bRan) {
    memcpy(pContext, pCall->Context, cbContext);
  }
  ReleaseCall(pCall);
  return bRan;
}

// ---- The plug-in's entry points on the thread --------------------------------------

namespace {
struct BindCall {
  RefHost* pHost;
  RefHostPlugin Plugin;
  ULONG ulResult;
};
struct UnbindCall {
  RefHostPlugin Plugin;
  ULONG ulResult;
};
struct ControlCall {
  RefHostPlugin Plugin;
  ULONG ulCommand;
  BOOL bData;
  ULONG Data[2];
  ULONG ulResult;
};
static_assert(sizeof(BindCall) <= REFHOST_CALL_CONTEXT_SIZE && sizeof(ControlCall) <= REFHOST_CALL_CONTEXT_SIZE,
              "calls fit their context");
}  // namespace

ULONG RefHostThreadBind(RefHostThread* pThread, RefHost* pHost, const RefHostPlugin* pPlugin)
{
  BindCall call = { pHost, *pPlugin, 0 };
  auto run = [](void* p) {
    auto* c = static_cast<BindCall*>(p);
    c->ulResult = RefHostBindPlugin(c->pHost, &c->Plugin);
  };
  return RefHostThreadCall(pThread, run, &call, sizeof call) ? call.ulResult : 0;
}

ULONG RefHostThreadUnbind(RefHostThread* pThread, const RefHostPlugin* pPlugin)
{
  UnbindCall call = { *pPlugin, 0 };
  auto run = [](void* p) {
    auto* c = static_cast<UnbindCall*>(p);
    c->ulResult = c->Plugin.MouMainExit(0, 0);
    // The window's close is posted: dispatch it before the plug-in may go.
    RefHostPumpMessages();
  };
  return RefHostThreadCall(pThread, run, &call, sizeof call) ? call.ulResult : 0;
}

ULONG RefHostThreadControl(RefHostThread* pThread, const RefHostPlugin* pPlugin, ULONG ulCommand, ULONG* pData)
{
  ControlCall call = { *pPlugin, ulCommand, pData != nullptr, {}, 0 };
  if (pData != nullptr) {
    memcpy(call.Data, pData, sizeof call.Data);
  }
  auto run = [](void* p) {
    auto* c = static_cast<ControlCall*>(p);
    c->ulResult = c->Plugin.MouControl(c->ulCommand, c->bData ? c->Data : nullptr, 0, 0);
  };
  if (!RefHostThreadCall(pThread, run, &call, sizeof call)) {
    return 0;
  }
  if (pData != nullptr) {
    memcpy(pData, call.Data, sizeof call.Data);
  }
  return call.ulResult;
}

BOOL RefHostThreadEnumerate(RefHostThread* pThread, const RefHostPlugin* pPlugin, DWORD dwTimeoutMs)
{
  const ULONG ulEnds = RefHostReportCount(REFHOST_REPORT_END_OF_ENUMERATION);
  return RefHostThreadControl(pThread, pPlugin, LD_API_ENUMERATE, nullptr) == 1 &&
         RefHostWaitReports(REFHOST_REPORT_END_OF_ENUMERATION, ulEnds + 1, dwTimeoutMs);
}
