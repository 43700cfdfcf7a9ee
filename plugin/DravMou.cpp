// Process attach and detach, host binding and control commands.
#include <windows.h>

#include <cstring>

#include "diag/Trace.h"
#include "framework/UmdMgr.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"

HANDLE g_hHeap = nullptr;
PDEVMGRAPI g_pDevMgrApi = nullptr;
tMainShare* g_pMainShare = nullptr;
tGbl* g_pGbl = nullptr;
tMain* g_pMain = nullptr;
UmdGlobal* g_pUmdGlobal = nullptr;

BOOL MouProcessAttach()
{
  TraceStart("DRAVMOU", TRACE_CAT_MODULE);
  TRACE_INFO("entry");
  g_hHeap = GetProcessHeap();
  if (g_hHeap == nullptr) {
    DRAV_ASSERT(g_hHeap);
    return FALSE;
  }
  TRACE_INFO("exit");
  return TRUE;
}

BOOL MouProcessDetach(BOOL bUnloaded)
{
  TRACE_INFO("entry");
  TRACE_INFO("exit");
  TraceStop();
  if (bUnloaded) {
    TraceRelease();
  }
  return TRUE;
}

void* MouHeapAllocValidated(HANDLE hHeap, SIZE_T cb)
{
  if (!HeapValidate(hHeap, 0, nullptr)) {
    ExitProcess(ERROR_INVALID_DATA);
  }
  void* p = HeapAlloc(hHeap, HEAP_GENERATE_EXCEPTIONS, cb);
  if (!HeapValidate(hHeap, 0, p)) {
    ExitProcess(ERROR_INVALID_DATA);
  }
  return p;
}

void MouHeapFreeValidated(HANDLE hHeap, void* p)
{
  if (!HeapValidate(hHeap, 0, p)) {
    ExitProcess(ERROR_INVALID_DATA);
  }
  HeapFree(hHeap, 0, p);
  if (!HeapValidate(hHeap, 0, nullptr)) {
    ExitProcess(ERROR_INVALID_DATA);
  }
}

extern "C" ULONG MouMainInit(PDEVMGRAPI pDevMgrApi, ULONG ulValue, ULONG_PTR pValue)
{
  TRACE_INFO("entry");
  if (pDevMgrApi == nullptr) {
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    TRACE_INFO("exit, NULL pDevMgrApi");
    return 0;
  }
  g_pDevMgrApi = pDevMgrApi;
  g_pMainShare = HostMainShare(pDevMgrApi);
  g_pGbl = HostGbl(pDevMgrApi);
  g_pMain = HostMain(pDevMgrApi);
  if (g_pMainShare == nullptr) {
    TRACE_INFO("exit NULL g_pMainShare");
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    return 0;
  }
  if (g_pGbl == nullptr) {
    TRACE_INFO("exit NULL g_pGbl");
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    return 0;
  }
  if (g_pMain == nullptr) {
    TRACE_INFO("exit NULL g_pMain");
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    return 0;
  }
  TraceAttachMainShare(g_pMainShare);

  GUID guid;
  static_assert(sizeof guid == sizeof GUID_INTERFACE_RAWPDO_VMOUFILT, "GUID layout");
  memcpy(&guid, &GUID_INTERFACE_RAWPDO_VMOUFILT, sizeof guid);
  if (UmdMainInit(&g_pUmdGlobal, g_pDevMgrApi, UMD_MOUFILT, MOU_DEVINFO_SIZE, MOU_SHORT_NAME, g_pMain->hInstance,
                  MOU_WINDOW_CLASS, &guid, 1, UmdCallbackDeviceInit, UmdCallbackDeviceStart, UmdCallbackGetDevInfo,
                  UmdCallbackProcessEvent)) {
    TRACE_INFO("exit");
    return 1;
  }
  TRACE_INFO("exit, UmdMainInit FAILED 0x%x", (unsigned)GetLastError());
  DRAV_ASSERT_TEXT(FALSE, "FALSE");
  TraceDetachMainShare();
  return 0;
}

extern "C" ULONG MouMainExit(ULONG ulValue, ULONG_PTR pValue)
{
  TRACE_INFO("entry");
  UmdMainExit(g_pUmdGlobal);
  // The record is free for another instance now: a second unbind or a later
  // control command must not touch it (or delete its lock again).
  g_pUmdGlobal = nullptr;
  TraceDetachMainShare();
  TRACE_INFO("exit");
  return 1;
}

extern "C" ULONG MouControl(ULONG ulCommand, void* pData, ULONG ulValue, ULONG_PTR pValue)
{
  TRACE_INFO("entry Command=0x%X", (unsigned)ulCommand);
  ULONG ulResult = 1;
  switch (ulCommand) {
  case LD_API_GET_VERSION: {
    TRACE_INFO("LD_API_GET_VERSION");
    ULONG* pWords = static_cast<ULONG*>(pData);
    pWords[0] = 0;
    pWords[1] = 1;
    break;
  }
  case LD_API_RESUME:
    TRACE_INFO("LD_API_RESUME");
    if (g_pMain != nullptr && !(g_pMain->ulSessionFlags & HOST_SESSION_NO_RESUME_ENUM)) {
      UmdEnumerateDevices(g_pUmdGlobal);
    }
    break;
  case LD_API_SUSPEND:
    TRACE_INFO("LD_API_SUSPEND");
    break;
  case LD_API_DISCONNECT:
    TRACE_INFO("LD_API_DISCONNECT");
    UmdParseEventList(g_pUmdGlobal, MouUnregisterEvent);
    break;
  case LD_API_CONNECT:
    TRACE_INFO("LD_API_CONNECT");
    UmdParseEventList(g_pUmdGlobal, MouRegisterEvent);
    break;
  case LD_API_REMOVE_ALL_DEVICES:
    UmdRemoveAllDevices(g_pUmdGlobal);
    break;
  case LD_API_ENUMERATE:
    UmdEnumerateDevices(g_pUmdGlobal);
    break;
  default:
    ulResult = 0;
    break;
  }
  TRACE_INFO("exit, status=%d", (int)ulResult);
  return ulResult;
}
