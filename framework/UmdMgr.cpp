// Framework instance and message window.
#include "framework/UmdMgr.h"

#include <cstring>

#include "diag/Trace.h"

UmdGlobal g_UmdInstances[UMD_MAX_INSTANCES];

HWND UmdCreateMainWindow(HINSTANCE hInstance, WNDPROC pfnWndProc, const char* sWindowClass)
{
  WNDCLASSA wc = {};
  wc.lpfnWndProc = pfnWndProc;
  wc.hInstance = hInstance;
  wc.lpszClassName = sWindowClass;
  if (RegisterClassA(&wc) == 0 && GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
    // An already registered class is reused, unless it was left by a copy of
    // this code that has been unloaded since (the class belongs to the host's
    // instance, not to this library): its procedure is gone with that copy.
    WNDCLASSA existing = {};
    if (GetClassInfoA(hInstance, sWindowClass, &existing) && existing.lpfnWndProc != pfnWndProc &&
        UnregisterClassA(sWindowClass, hInstance)) {
      TRACE_INFO("window class %s of an earlier load registered anew", sWindowClass);
      RegisterClassA(&wc);
    }
  }
  HWND hWnd = CreateWindowExA(WS_EX_TOOLWINDOW, sWindowClass, sWindowClass, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              hInstance, nullptr);
  if (hWnd != nullptr) {
    ShowWindow(hWnd, SW_HIDE);
  }
  return hWnd;
}

static UmdGlobal* UmdFindInstanceByWindow(HWND hWnd)
{
  for (UmdGlobal& g : g_UmdInstances) {
    if (g.bInUse && g.hWnd == hWnd) {
      return &g;
    }
  }
  return nullptr;
}

LRESULT CALLBACK UmdWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
  TRACE_INFO("entry - hWnd:%X Msg:%X wParam:%X lParam:%X\n", (unsigned)(ULONG_PTR)hWnd, uMsg, (unsigned)wParam,
             (unsigned)lParam);
  UmdGlobal* pUmdGlobal = UmdFindInstanceByWindow(hWnd);
  if (pUmdGlobal == nullptr) {
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
  }
  LRESULT result;
  if (uMsg == WM_CLOSE) {
    TRACE_INFO("UmdWindowProc - WM_CLOSE\n");
    result = DefWindowProcA(hWnd, uMsg, wParam, lParam);
  } else {
    // Device-change messages are queued once the change queue lands.
    result = DefWindowProcA(hWnd, uMsg, wParam, lParam);
  }
  TRACE_INFO("exit - Result:0x%08X\n", (unsigned)result);
  return result;
}

BOOL UmdMainInit(UmdGlobal** ppUmdGlobal, PDEVMGRAPI pDevMgrApi, ULONG ulUmdIndex, ULONG ulDevInfoSize,
                 const char* sName, HINSTANCE hInstance, const char* sWindowClass, const GUID* pInterfaceGuid,
                 ULONG ulDefaultDeviceType, PFN_UMD_DEVICE_INIT pfnDeviceInit, PFN_UMD_DEVICE_START pfnDeviceStart,
                 PFN_UMD_GET_DEVINFO pfnGetDevInfo, PFN_UMD_PROCESS_EVENT pfnProcessEvent)
{
  TRACE_INFO("entry");
  UmdGlobal* pUmdGlobal = nullptr;
  ULONG ulSlot = 0;
  for (; ulSlot < UMD_MAX_INSTANCES; ++ulSlot) {
    if (!g_UmdInstances[ulSlot].bInUse) {
      pUmdGlobal = &g_UmdInstances[ulSlot];
      pUmdGlobal->bInUse = TRUE;
      break;
    }
  }
  if (pUmdGlobal == nullptr) {
    TRACE_INFO("exit, no more instance slots available");
    return FALSE;
  }
  TRACE_INFO("using instance slot %d", (int)ulSlot);

  pUmdGlobal->ulSize = sizeof(UmdGlobal);
  pUmdGlobal->ulReserved = 0;
  pUmdGlobal->pDevMgrApi = pDevMgrApi;
  pUmdGlobal->ulUmdIndex = ulUmdIndex;
  pUmdGlobal->ulDevInfoSize = ulDevInfoSize;
  memset(pUmdGlobal->sName, 0, sizeof pUmdGlobal->sName);
  strncpy(pUmdGlobal->sName, sName, sizeof pUmdGlobal->sName - 1);
  pUmdGlobal->pUmdCallbackDeviceInit = pfnDeviceInit;
  pUmdGlobal->pUmdCallbackDeviceStart = pfnDeviceStart;
  pUmdGlobal->pUmdCallbackGetDevInfo = pfnGetDevInfo;
  pUmdGlobal->pUmdCallbackProcessEvent = pfnProcessEvent;
  pUmdGlobal->DeviceChangeQueue.pNext = &pUmdGlobal->DeviceChangeQueue;
  pUmdGlobal->DeviceChangeQueue.pPrev = &pUmdGlobal->DeviceChangeQueue;
  pUmdGlobal->DeviceChangeProcessingActive = DCPA_IDLE;
  InitializeCriticalSection(&pUmdGlobal->csDeviceChangeQueue);
  // MINIMAL PATH: the work-item thread starts here once the work-item service lands.
  pUmdGlobal->WorkItemList = UmdWorkItemList{};

  pUmdGlobal->hWnd = UmdCreateMainWindow(hInstance, UmdWindowProc, sWindowClass);
  if (pUmdGlobal->hWnd == nullptr) {
    TRACE_INFO("exit, FAILED to create the Main Window. %d", (int)GetLastError());
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    return FALSE;
  }
  memcpy(&pUmdGlobal->InterfaceGuid, pInterfaceGuid, sizeof(GUID));
  pUmdGlobal->ulDefaultDeviceType = ulDefaultDeviceType;
  // MINIMAL PATH: registration for the interface class's broadcasts lands with
  // the device-notification service.
  pUmdGlobal->hDeviceChangeNotification = nullptr;

  *ppUmdGlobal = pUmdGlobal;
  TRACE_INFO("exit");
  return TRUE;
}

void UmdRemoveAllDevices(UmdGlobal* pUmdGlobal)
{
  if (pUmdGlobal == nullptr) {
    return;
  }
  HostRemoveDevices(pUmdGlobal->pDevMgrApi, nullptr, 0, nullptr, pUmdGlobal->ulUmdIndex, HOST_REMOVE_ALL_FLAG);
}

void UmdMainExit(UmdGlobal* pUmdGlobal)
{
  TRACE_INFO("Entry");
  if (pUmdGlobal == nullptr) {
    return;
  }
  // MINIMAL PATH: the work-item thread is stopped here once it exists.
  UmdRemoveAllDevices(pUmdGlobal);
  if (pUmdGlobal->hWnd != nullptr) {
    TRACE_CATEGORY(TRACE_CAT_SHUTDOWN, "UmdMainExit - Posting WM_CLOSE.\n");
    PostMessageA(pUmdGlobal->hWnd, WM_CLOSE, 0, 0);
  }
  pUmdGlobal->bInUse = FALSE;
  DeleteCriticalSection(&pUmdGlobal->csDeviceChangeQueue);
}

void UmdEnumerateDevices(UmdGlobal* pUmdGlobal)
{
  // MINIMAL PATH: discovery and the work-item thread land with later work;
  // until then an enumeration finds nothing.
  TRACE_INFO("enumeration is not available in this build");
}
