// Device notifications at the framework's window, enumeration of present
// devices and interfaces through the Setup API, the pending-installation wait
// and the device-tree walk through the host's configuration-manager words,
// and two small path helpers. Everything reaches the system through the
// device seam.
#include <windows.h>
#include <dbt.h>

#include <cstddef>
#include <cstring>

#include "diag/Trace.h"
#include "framework/DevIo.h"
#include "plugin/LdCodes.h"
#include "system/WndMgr.h"

namespace {

constexpr ULONG WAIT_NO_PENDING_TIMEOUT = 258;
constexpr DWORD SIZE_OF_DEVINFO_DATA = 32;
constexpr DWORD SIZE_OF_INTERFACE_DATA = 32;
constexpr DWORD SIZE_OF_DETAIL_HEAD = 8;
static_assert(sizeof(SP_DEVINFO_DATA) == SIZE_OF_DEVINFO_DATA && sizeof(SP_DEVICE_INTERFACE_DATA) == SIZE_OF_INTERFACE_DATA &&
                sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == SIZE_OF_DETAIL_HEAD,
              "Setup API records of the x64 system");

unsigned HandleValue(const void* h)
{
  return static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(h));
}

bool IsValidSet(HDEVINFO hDevInfo)
{
  return hDevInfo != INVALID_HANDLE_VALUE && hDevInfo != nullptr;
}

}  // namespace

HDEVNOTIFY WndRegisterClassChangeNotifications(HWND hWnd, const GUID* pInterfaceGuid)
{
  TRACE_INFO("Entry.\n");
  TRACE_INFO("%s", GuidToString(pInterfaceGuid));
  HDEVNOTIFY hNotifyDevNode = nullptr;
  DWORD dwError = ERROR_INVALID_PARAMETER;
  if (pInterfaceGuid != nullptr) {
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = *pInterfaceGuid;
    hNotifyDevNode = DevIoRegisterDeviceNotificationA(hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    dwError = GetLastError();
  }
  DRAV_ASSERT_TEXT(NULL != hNotifyDevNode, "NULL != hNotifyDevNode");
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndRegisterClassChangeNotifications - %08X - Error=%d.\n",
                 HandleValue(hNotifyDevNode), static_cast<int>(dwError));
  return hNotifyDevNode;
}

HDEVNOTIFY WndRegisterHandleChangeNotifications(HWND hWnd, HANDLE hDevice)
{
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndRegisterHandleChangeNotifications - Entry, handle %08X.\n", HandleValue(hDevice));
  DEV_BROADCAST_HANDLE filter;
  memset(&filter, 0, sizeof filter);
  filter.dbch_size = sizeof filter;
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  filter.dbch_handle = hDevice;
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndRegisterHandleChangeNotifications - Calling User32 Dll.\n");
  HDEVNOTIFY hNotifyDevNode = DevIoRegisterDeviceNotificationA(hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  DWORD dwError = GetLastError();
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndRegisterHandleChangeNotifications - %08X - Error=%d.\n",
                 HandleValue(hNotifyDevNode), static_cast<int>(dwError));
  DRAV_ASSERT_TEXT(NULL != hNotifyDevNode, "NULL != hNotifyDevNode");
  return hNotifyDevNode;
}

void WndUnregisterDeviceChangeNotifications(HDEVNOTIFY hNotify)
{
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndUnregisterDeviceChangeNotifications - Entry, notif %08X.\n", HandleValue(hNotify));
  if (hNotify != nullptr) {
    BOOL bResult = DevIoUnregisterDeviceNotification(hNotify);
    DWORD dwError = GetLastError();
    TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndUnregisterDeviceChangeNotifications - %d - %d (0x%X).\n", bResult,
                   static_cast<int>(dwError), static_cast<unsigned>(dwError));
  }
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndUnregisterDeviceChangeNotifications - Exit.\n");
}

BOOLEAN WndWaitForPendingInstall(PDEVMGRAPI pDevMgrApi, HANDLE hCancelEvent, ULONG ulTimeoutMs, ULONG ulPollRateMs)
{
  TRACE_INFO("Entry - CancelEvent:0x%X - Timeout:%d ms - PollRate:%d ms", HandleValue(hCancelEvent),
             static_cast<int>(ulTimeoutMs), static_cast<int>(ulPollRateMs));
  BOOLEAN bStatus = FALSE;
  auto pfnWait = HostOperation<PFN_HOST_WAIT_NO_PENDING_INSTALL>(pDevMgrApi, HOST_WAIT_NO_PENDING_INSTALL);
  if (pfnWait == nullptr) {
    TRACE_WARNING("CMP_WaitNoPendingInstallEvents is not available. You should only see this on XP Gold or below.");
  } else {
    // A poll rate of 0 would never use up the time-out: one poll of the whole time-out instead.
    ULONG ulPoll = ulPollRateMs != 0 ? ulPollRateMs : ulTimeoutMs;
    ULONG64 ullElapsed = 0;
    for (;;) {
      TRACE_INFO("Waiting for device installation to complete... timeout=%d ms", static_cast<int>(ulPoll));
      ULONG ulResult = pfnWait(ulPoll);
      DWORD dwError = GetLastError();
      ullElapsed += ulPoll;
      if (ulResult == 0) {
        bStatus = TRUE;
      } else if (ulResult != WAIT_NO_PENDING_TIMEOUT) {
        TRACE_ERROR("CMP_WaitNoPendingInstallEvents( ) Failed. Returned:%d LastError:%d", static_cast<int>(ulResult),
                    static_cast<int>(dwError));
      }
      if (ulResult != WAIT_NO_PENDING_TIMEOUT || ullElapsed >= ulTimeoutMs) {
        break;
      }
      if (hCancelEvent != nullptr && WaitForSingleObject(hCancelEvent, 0) == WAIT_OBJECT_0) {
        break;
      }
    }
    if (!bStatus && ullElapsed >= ulTimeoutMs) {
      TRACE_WARNING("Timeout while waiting for pending install.");
    }
  }
  TRACE_INFO("Exit - bStatus:%d", bStatus);
  return bStatus;
}

ULONG WndBuildDeviceTree(PDEVMGRAPI pDevMgrApi, DWORD diDeviceNode, DWORD* pTree, ULONG ulTreeSize)
{
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndBuildDeviceTree - 0x%08X - %d.\n", static_cast<unsigned>(diDeviceNode),
                 static_cast<int>(ulTreeSize));
  DRAV_ASSERT_TEXT(ulTreeSize > 1, "ulTreeSize > 1");
  auto pfnParent = HostOperation<PFN_HOST_PARENT_NODE>(pDevMgrApi, HOST_PARENT_NODE);
  if (pfnParent == nullptr || HostOperation<void*>(pDevMgrApi, HOST_DEVICE_TREE_45) == nullptr ||
      HostOperation<void*>(pDevMgrApi, HOST_DEVICE_TREE_46) == nullptr || pTree == nullptr || ulTreeSize == 0) {
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndBuildDeviceTree - %d.\n", 0);
    return 0;
  }
  // Never beyond the caller's array, whatever depth the walk could reach.
  ULONG ulLimit = ulTreeSize < WND_DEVICE_TREE_MAX ? ulTreeSize : WND_DEVICE_TREE_MAX;
  pTree[0] = diDeviceNode;
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndBuildDeviceTree - DeviceNode[ 0 ] = 0x%08X.\n", static_cast<unsigned>(pTree[0]));
  ULONG i = 1;
  while (i < ulLimit) {
    DWORD diParent = 0;
    if (pfnParent(&diParent, pTree[i - 1], 0) != 0) {
      break;
    }
    pTree[i] = diParent;
    TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndBuildDeviceTree - DeviceNode[ %d ] = 0x%08X.\n", static_cast<int>(i),
                   static_cast<unsigned>(pTree[i]));
    ++i;
  }
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndBuildDeviceTree - %d.\n", static_cast<int>(i));
  return i;
}

void WndEnumerateDevices(const GUID* pClassGuid, PFN_WND_DEVICE_CALLBACK CallBackProcessFunction, void* pContext)
{
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndEnumerateDevices - Entry.\n");
  if (CallBackProcessFunction == nullptr) {
    DRAV_ASSERT_TEXT(FALSE, "CallBackProcessFunction != NULL");
    return;
  }
  TRACE_INFO("%s", GuidToString(pClassGuid));
  HDEVINFO hDevInfo = DevIoSetupDiGetClassDevsA(pClassGuid, nullptr, nullptr, DIGCF_PRESENT);
  if (!IsValidSet(hDevInfo)) {
    TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndEnumerateDevices - SetupDiGetClassDevs returned NULL.\n");
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    return;
  }
  for (DWORD dwIndex = 0;; ++dwIndex) {
    SP_DEVINFO_DATA devInfoData;
    memset(&devInfoData, 0, sizeof devInfoData);
    devInfoData.cbSize = SIZE_OF_DEVINFO_DATA;
    if (!DevIoSetupDiEnumDeviceInfo(hDevInfo, dwIndex, &devInfoData)) {
      TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndEnumerateDevices - End of List.\n");
      break;
    }
    if (!CallBackProcessFunction(hDevInfo, &devInfoData, pContext)) {
      break;
    }
  }
  BOOL bStatus = DevIoSetupDiDestroyDeviceInfoList(hDevInfo);
  DRAV_ASSERT(bStatus);
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndEnumerateDevices - Exit.\n");
}

void WndEnumerateInterfaces(const GUID* pInterfaceGuid, PFN_WND_INTERFACE_CALLBACK CallBackProcessFunction,
                            void* pContext)
{
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndEnumerateInterfaces - Entry.\n");
  if (CallBackProcessFunction == nullptr) {
    DRAV_ASSERT_TEXT(FALSE, "CallBackProcessFunction != NULL");
    return;
  }
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndEnumerateInterfaces - %s\n", GuidToString(pInterfaceGuid));
  HDEVINFO hDevInfo = DevIoSetupDiGetClassDevsA(pInterfaceGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (!IsValidSet(hDevInfo)) {
    TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndEnumerateInterfaces - SetupDiGetClassDevs returned NULL.\n");
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    return;
  }
  HANDLE hHeap = GetProcessHeap();
  for (DWORD dwIndex = 0;; ++dwIndex) {
    SP_DEVICE_INTERFACE_DATA interfaceData;
    memset(&interfaceData, 0, sizeof interfaceData);
    interfaceData.cbSize = SIZE_OF_INTERFACE_DATA;
    if (!DevIoSetupDiEnumDeviceInterfaces(hDevInfo, nullptr, pInterfaceGuid, dwIndex, &interfaceData)) {
      TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndEnumerateInterfaces - End of List.\n");
      break;
    }
    DWORD dwSize = 0;
    BOOL bSized = DevIoSetupDiGetDeviceInterfaceDetailA(hDevInfo, &interfaceData, nullptr, 0, &dwSize, nullptr);
    DWORD dwError = GetLastError();
    // Only a size query answered as such gives a size to allocate; anything
    // else would leave no room for the record's head and its path.
    if (bSized || dwError != ERROR_INSUFFICIENT_BUFFER || dwSize <= offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)) {
      TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndEnumerateInterfaces - No detail size for item %d, error %d.\n",
                     static_cast<int>(dwIndex), static_cast<int>(dwError));
      continue;
    }
    auto* pDetail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(HeapAlloc(hHeap, HEAP_ZERO_MEMORY, dwSize));
    if (pDetail == nullptr) {
      TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndEnumerateInterfaces - Failled to allocate %d bytes.\n", static_cast<int>(dwSize));
      DRAV_ASSERT_TEXT(FALSE, "FALSE");
      break;
    }
    pDetail->cbSize = SIZE_OF_DETAIL_HEAD;
    SP_DEVINFO_DATA devInfoData;
    memset(&devInfoData, 0, sizeof devInfoData);
    devInfoData.cbSize = SIZE_OF_DEVINFO_DATA;
    bool bGoOn = true;
    if (DevIoSetupDiGetDeviceInterfaceDetailA(hDevInfo, &interfaceData, pDetail, dwSize, nullptr, &devInfoData)) {
      reinterpret_cast<char*>(pDetail)[dwSize - 1] = '\0';   // the path ends inside the record
      TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndEnumerateInterfaces - 0x%08x '%s'.\n", static_cast<unsigned>(devInfoData.DevInst),
                     pDetail->DevicePath);
      BOOL bContinue = CallBackProcessFunction(hDevInfo, &devInfoData, pDetail, pContext);
      TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndEnumerateInterfaces - Callback returned %d.\n", bContinue);
      bGoOn = bContinue != FALSE;
    }
    HeapFree(hHeap, 0, pDetail);
    if (!bGoOn) {
      break;
    }
  }
  BOOL bStatus = DevIoSetupDiDestroyDeviceInfoList(hDevInfo);
  DRAV_ASSERT(bStatus);
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndEnumerateInterfaces - Exit.\n");
}

void WndNormalizePathString(char* sPath)
{
  DRAV_ASSERT(sPath);
  if (sPath == nullptr) {
    return;
  }
  size_t ulLength = strlen(sPath);
  DRAV_ASSERT(ulLength);
  if (ulLength > 0 && sPath[ulLength - 1] != '\\') {
    sPath[ulLength] = '\\';
    sPath[ulLength + 1] = '\0';
  }
}

BOOL WndGetModulePath(const char* sFileName, char* sPath, ULONG ulSize)
{
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndGetModulePath - Entry '%s'.\n", sFileName != nullptr ? sFileName : "");
  size_t length = sFileName != nullptr ? strnlen(sFileName, MAX_PATH + 1) : 0;
  // A destination that cannot hold the name is refused rather than cut.
  bool bFits = sPath != nullptr && (sPath == sFileName || length < ulSize);
  if (length < 1 || length > MAX_PATH || !bFits) {
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    if (sPath != nullptr && sPath != sFileName && ulSize > 0) {
      sPath[0] = '\0';
    }
    return FALSE;
  }
  if (sPath != sFileName) {
    memcpy(sPath, sFileName, length + 1);
  }
  char* pt = sPath + length;
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndGetModulePath - Length %d. sPath:%08X, pt:%08X \n", static_cast<int>(length),
                 HandleValue(sPath), HandleValue(pt));
  DRAV_ASSERT_TEXT(*pt == '\0', "*pt == (TCHAR)0");
  while (pt > sPath && pt[-1] != '\\' && pt[-1] != ':') {
    --pt;
  }
  *pt = '\0';
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndGetModulePath - Exit '%s'.\n", sPath);
  return TRUE;
}
