// Framework instance and message window.
#include "framework/UmdMgr.h"

#include <dbt.h>

#include <cstddef>
#include <cstring>

#include "diag/Trace.h"
#include "framework/UmdBroadcast.h"
#include "framework/UmdLookup.h"
#include "plugin/LdCodes.h"
#include "synch/SynchMgr.h"
#include "synch/SynchUtil.h"
#include "system/WndMgr.h"

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

static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) == UMD_BROADCAST_INTERFACE_PATH_OFFSET &&
                offsetof(DEV_BROADCAST_HANDLE, dbch_handle) == UMD_BROADCAST_HANDLE_OFFSET &&
                offsetof(DEV_BROADCAST_HANDLE, dbch_hdevnotify) == UMD_BROADCAST_HANDLE_NOTIFY_OFFSET &&
                offsetof(DEV_BROADCAST_HANDLE, dbch_eventguid) == UMD_BROADCAST_HANDLE_HEAD_SIZE,
              "broadcast layouts");

// ---- Device-change queue ------------------------------------------------------------

// ---- Work items and notifications -----------------------------------------------

static void UmdStartWorkItems(UmdGlobal* pUmdGlobal)
{
  // The instance record is the base its work-item storage is addressed from.
  WndInitWorkItemList(pUmdGlobal, &pUmdGlobal->WorkItemList);
}

static void UmdStopWorkItems(UmdGlobal* pUmdGlobal)
{
  WndCleanupWorkItemList(&pUmdGlobal->WorkItemList);
}

static void UmdProcessDeviceChangesItem(void* pUmdGlobal)
{
  UmdProcessDeviceChanges(pUmdGlobal);
}

static void UmdScheduleDeviceChanges(UmdGlobal* pUmdGlobal)
{
  WndQueueWorkItem(&pUmdGlobal->WorkItemList, UmdProcessDeviceChangesItem, pUmdGlobal);
}


// ---- Window procedure ------------------------------------------------------------------

// Decodes the broadcast of a device-change event; a short one is traced.
static UmdBroadcastKind UmdReadBroadcast(LPARAM lParam, UmdBroadcast* pBroadcast)
{
  UmdBroadcastKind kind = UmdDecodeBroadcast(reinterpret_cast<const void*>(lParam), pBroadcast);
  if (kind == UMD_BROADCAST_SHORT) {
    TRACE_WARNING("broadcast of %u bytes (type %u) is shorter than its head", (unsigned)pBroadcast->ulSize,
                  (unsigned)pBroadcast->ulDeviceType);
  }
  return kind;
}

// A handle broadcast can come after the device's clean-up withdrew the
// registration and closed the handle, and its value may belong to another
// object by then (another device's handle among them). So only the handle of
// a device of this instance, under the registration the broadcast names, is
// given up, and under the device's remove lock, so that the clean-up cannot
// close it meanwhile.
static void UmdGiveUpDeviceHandle(UmdGlobal* pUmdGlobal, const UmdBroadcast& broadcast)
{
  HANDLE hHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(broadcast.ullHandle));
  tDevice* pDevice = UmdFindDeviceFromHandle(pUmdGlobal, hHandle, LOCK_UmdProcessDeviceChanges);
  UmdDevInfo* pInfo = pDevice != nullptr ? UmdGetDevInfo(pUmdGlobal, pDevice) : nullptr;
  if (pInfo != nullptr && reinterpret_cast<ULONG_PTR>(pInfo->hHandleNotification) == broadcast.ullNotification) {
    CloseHandleCleanupLater(hHandle);
  } else {
    TRACE_WARNING("handle %08X under notif %08X is no device's any more, left alone", (unsigned)broadcast.ullHandle,
                  (unsigned)broadcast.ullNotification);
  }
  if (pDevice != nullptr) {
    ReleaseRemoveLock(pUmdGlobal->ulUmdIndex, LOCK_UmdProcessDeviceChanges, pDevice);
  }
}

LRESULT CALLBACK UmdWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
  TRACE_INFO("entry - hWnd:%X Msg:%X wParam:%X lParam:%X\n", (unsigned)(ULONG_PTR)hWnd, uMsg, (unsigned)wParam,
             (unsigned)lParam);
  UmdGlobal* pUmdGlobal = UmdFindInstanceByWindow(hWnd);
  if (pUmdGlobal == nullptr) {
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
  }
  LRESULT result = TRUE;
  UmdBroadcast broadcast;
  ULONG ulQueue = 0;   // the change to queue for the broadcast's interface, if any
  if (uMsg != WM_DEVICECHANGE) {
    if (uMsg == WM_CLOSE) {
      TRACE_INFO("UmdWindowProc - WM_CLOSE\n");
    }
    result = DefWindowProcA(hWnd, uMsg, wParam, lParam);
  } else if (wParam == DRAV_DBT_DEVICEARRIVAL || wParam == DRAV_DBT_DEVICEQUERYREMOVEFAILED) {
    DRAV_ASSERT_TEXT(lParam != 0, "pDeviceInterface");
    if (UmdReadBroadcast(lParam, &broadcast) == UMD_BROADCAST_INTERFACE) {
      // The path need not be terminated within the broadcast: its length is bounded.
      TRACE_INFO("Device Interface '%.*s'\n", (int)broadcast.cchPath, broadcast.sPath);
      ulQueue = DRAV_DBT_DEVICEARRIVAL;
    }
  } else if (wParam == DRAV_DBT_DEVICEQUERYREMOVE || wParam == DRAV_DBT_DEVICEREMOVECOMPLETE) {
    UmdBroadcastKind kind = UmdReadBroadcast(lParam, &broadcast);
    if (kind == UMD_BROADCAST_HANDLE) {
      TRACE_INFO("pnp remove handle %08X notif %08X", (unsigned)broadcast.ullHandle,
                 (unsigned)broadcast.ullNotification);
      UmdGiveUpDeviceHandle(pUmdGlobal, broadcast);
    } else if (kind == UMD_BROADCAST_INTERFACE) {
      ulQueue = DRAV_DBT_DEVICEREMOVECOMPLETE;
    }
  } else if (wParam == DRAV_DBT_DEVICEREMOVEPENDING) {
    result = 0;
  }
  if (ulQueue != 0) {
    UmdEnqueueDeviceChange(pUmdGlobal, ulQueue, broadcast.sPath, broadcast.cbPath);
    TRACE_INFO("scheduling work item for %s UmdProcessDeviceChanges", pUmdGlobal->sName);
    UmdScheduleDeviceChanges(pUmdGlobal);
  }
  TRACE_INFO("exit - Result:0x%08X\n", (unsigned)result);
  return result;
}

// ---- Instance start and stop -------------------------------------------------------------

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
  // A window of the record's previous use may still be closing.
  pUmdGlobal->hWnd = nullptr;
  pUmdGlobal->hDeviceChangeNotification = nullptr;
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
  UmdStartWorkItems(pUmdGlobal);

  pUmdGlobal->hWnd = UmdCreateMainWindow(hInstance, UmdWindowProc, sWindowClass);
  if (pUmdGlobal->hWnd == nullptr) {
    DWORD dwError = GetLastError();
    TRACE_INFO("exit, FAILED to create the Main Window. %d", (int)dwError);
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    // A failed start gives everything back: the thread and the record.
    UmdStopWorkItems(pUmdGlobal);
    DeleteCriticalSection(&pUmdGlobal->csDeviceChangeQueue);
    pUmdGlobal->bInUse = FALSE;
    SetLastError(dwError);
    return FALSE;
  }
  memcpy(&pUmdGlobal->InterfaceGuid, pInterfaceGuid, sizeof(GUID));
  pUmdGlobal->ulDefaultDeviceType = ulDefaultDeviceType;
  pUmdGlobal->hDeviceChangeNotification = WndRegisterClassChangeNotifications(pUmdGlobal->hWnd, &pUmdGlobal->InterfaceGuid);
  DRAV_ASSERT_TEXT(pUmdGlobal->hDeviceChangeNotification != nullptr, "pUmdGlobal->hDeviceChangeNotification");

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
  if (pUmdGlobal == nullptr || !pUmdGlobal->bInUse) {
    TRACE_WARNING("instance is not running");
    return;
  }
  // No further arrivals or removals are broadcast to the closing window.
  WndUnregisterDeviceChangeNotifications(static_cast<HDEVNOTIFY>(pUmdGlobal->hDeviceChangeNotification));
  pUmdGlobal->hDeviceChangeNotification = nullptr;
  UmdStopWorkItems(pUmdGlobal);
  UmdRemoveAllDevices(pUmdGlobal);
  if (pUmdGlobal->hWnd != nullptr) {
    TRACE_CATEGORY(TRACE_CAT_SHUTDOWN, "UmdMainExit - Posting WM_CLOSE.\n");
    PostMessageA(pUmdGlobal->hWnd, WM_CLOSE, 0, 0);
  }
  pUmdGlobal->bInUse = FALSE;
  UmdFlushDeviceChanges(pUmdGlobal);
  DeleteCriticalSection(&pUmdGlobal->csDeviceChangeQueue);
}

