// Device discovery: full enumerations, one interface at a time, and the
// identification that decides how the host creates the device.
#include <windows.h>
#include <setupapi.h>

#include <cstring>

#include "diag/Trace.h"
#include "framework/DevIo.h"
#include "framework/UmdChange.h"
#include "framework/UmdDiscover.h"
#include "framework/UmdIdentify.h"
#include "framework/UmdLookup.h"
#include "framework/UmdMgr.h"
#include "models/ModelInfo.h"
#include "plugin/LdCodes.h"
#include "synch/SynchMgr.h"
#include "synch/SynchUtil.h"
#include "system/WndMgr.h"

namespace {

constexpr ULONG UMD_DEVICE_TREE_SIZE = 4;
constexpr ULONG UMD_MODEL_KEY_SIZE = 12;
constexpr int UMD_FOUND_DEVICE_CLOSE_LINE = 599;

const char* UmdDeviceTypeName(ULONG ulType)
{
  // The name table holds the six device types; an override may name others.
  thread_local char sUnknown[16];
  if (ulType <= LD_DEVICETYPE_AUDIO) {
    return g_LdTypeNames[ulType];
  }
  wsprintfA(sUnknown, "%u", (unsigned)ulType);
  return sUnknown;
}

void UmdCloseFoundHandle(HANDLE hHandle)
{
  BOOL bStatus = CloseHandle(hHandle);
  TRACE_INFO("Closed handle 0x%08X, status=%d, err=%d", (unsigned)(ULONG_PTR)hHandle, (int)bStatus,
             (int)(bStatus ? 0 : GetLastError()));
  DRAV_ASSERT(bStatus);
}

}  // namespace

BOOL UmdIsInMinterm(const UmdGlobal* pUmdGlobal, const char* sMinterm)
{
  return sMinterm != nullptr && sMinterm[0] != '\0' && strstr(sMinterm, pUmdGlobal->sName) != nullptr;
}

BOOL UmdCompareDeviceNotFound(tDevice* pDevice, ULONG_PTR ulIgnored, void* pContext)
{
  UmdGlobal* pUmdGlobal = static_cast<UmdGlobal*>(pContext);
  if (pDevice->UMDPresent[pUmdGlobal->ulUmdIndex] != 0) {
    return FALSE;
  }
  UmdDevInfo* pInfo = UmdGetDevInfo(pUmdGlobal, pDevice);
  return pInfo == nullptr || !pInfo->bVirtual;
}

BOOL UmdGetVidAndPidAndRev(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevInfoData, USHORT* pVid, USHORT* pPid, USHORT* pRev,
                           BYTE* pInterface, BYTE* pCollection, BOOL* pbSingleInterface, BYTE* pTqIndex)
{
  TRACE_INFO("Entry.");
  DWORD dwSize = 0;
  BOOL bStatus = DevIoSetupDiGetDeviceInstanceIdA(hDevInfo, pDevInfoData, nullptr, 0, &dwSize);
  TRACE_INFO("Property Size:%d bytes.", (int)dwSize);
  DWORD dwError = bStatus ? 0 : GetLastError();
  if (!bStatus && dwError != ERROR_INSUFFICIENT_BUFFER) {
    TRACE_INFO("GetLastError(bStatus:%d) 0x%X(d%d)", (int)bStatus, (unsigned)dwError, (int)dwError);
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    return FALSE;
  }
  if (dwSize == 0) {
    return FALSE;
  }
  char* sId = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, dwSize));
  if (sId == nullptr) {
    return FALSE;
  }
  if (!DevIoSetupDiGetDeviceInstanceIdA(hDevInfo, pDevInfoData, sId, dwSize, nullptr)) {
    TRACE_INFO("SetupDiGetDeviceInstanceId( ) returned Error:%d.", (int)GetLastError());
    HeapFree(GetProcessHeap(), 0, sId);
    return FALSE;
  }
  sId[dwSize - 1] = '\0';
  TRACE_INFO("HardwareId:'%s'.", sId);
  CharUpperA(sId);

  UmdIdentification id;
  UmdParseInstanceId(sId, &id);
  HeapFree(GetProcessHeap(), 0, sId);

  const UmdIdField* f = id.Fields;
  if (f[UMD_ID_VID].bRead) {
    TRACE_INFO("Found VID:'%s'\n", f[UMD_ID_VID].sText);
    if (pVid) *pVid = id.usVid;
  }
  if (f[UMD_ID_PID].bRead) {
    TRACE_INFO("Found PID:'%s'.", f[UMD_ID_PID].sText);
    if (pPid) *pPid = id.usPid;
  }
  if (pRev) *pRev = id.usRev;
  if (f[UMD_ID_REV].bRead) {
    TRACE_INFO("Found REV:'%s'.", f[UMD_ID_REV].sText);
  }
  if (!f[UMD_ID_MI].bMarker) {
    TRACE_INFO("Found only one INTERFACE.");
    if (pbSingleInterface) *pbSingleInterface = TRUE;
  } else if (f[UMD_ID_MI].bRead) {
    TRACE_INFO("Found INTERFACE:'%s'", f[UMD_ID_MI].sText);
    if (pInterface) *pInterface = id.ucInterface;
    if (pbSingleInterface) *pbSingleInterface = FALSE;
  }
  if (f[UMD_ID_WI].bRead) {
    TRACE_INFO("Found WI:'%s'", f[UMD_ID_WI].sText);
    if (pTqIndex) *pTqIndex = id.ucTqIndex;
  }
  if (f[UMD_ID_COL].bRead) {
    TRACE_INFO("Found COLLECTION:'%s'", f[UMD_ID_COL].sText);
    if (pCollection) *pCollection = id.ucCollection;
  }
  TRACE_INFO("Exit");
  return id.bIdentified;
}

BOOL InteractWithOpenedDevice(UmdGlobal* pUmdGlobal, HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevInfoData,
                              SP_DEVICE_INTERFACE_DETAIL_DATA_A* pInterfaceDetail, HANDLE hHandle,
                              PVOID hHandleNotification)
{
  BYTE Key[UMD_MODEL_KEY_SIZE] = {};
  USHORT usVid = 0, usPid = 0, usRev = 0;
  BYTE ucInterface = 0, ucCollection = 0, ucTqIndex = UMD_NO_RECEIVER_SLOT;
  BOOL bSingleInterface = FALSE;
  if (!UmdGetVidAndPidAndRev(hDevInfo, pDevInfoData, &usVid, &usPid, &usRev, &ucInterface, &ucCollection,
                             &bSingleInterface, &ucTqIndex)) {
    TRACE_INFO("Exit (GetVidAndPid failed)\n");
    return FALSE;
  }
  TRACE_INFO("VID:0x%04X - PID:0x%04X - Rev:0x%04X - Intf#:%d - Col#:%d SingleInterface: %d  TqId: %d\n", usVid,
             usPid, usRev, ucInterface, ucCollection, (int)bSingleInterface, ucTqIndex);
  if (usVid == 0 || usPid == 0) {
    TRACE_INFO("Exit (VID or PID was 0)\n");
    return FALSE;
  }
  memcpy(Key + 4, &usVid, 2);
  memcpy(Key + 6, &usPid, 2);
  memcpy(Key + 8, &usRev, 2);
  const tModelInfo* pModel = HostFindModel(pUmdGlobal->pDevMgrApi, WndCompareModelUsb, UMD_MODEL_KEY_SIZE, Key);
  if (pModel == nullptr) {
    if (usVid == VENDOR_ID_OWN) {
      TRACE_INFO("THIS VANTORIX DEVICE IS NOT SUPPORTED\n");
      HostReportEvent(pUmdGlobal->pDevMgrApi, LD_EVENT_UNKNOWN_DEVICE, usPid);
    }
    TRACE_INFO("Exit (unsupported device)\n");
    return FALSE;
  }

  DWORD Tree[UMD_DEVICE_TREE_SIZE] = {};
  ULONG ulTreeSize = WndBuildDeviceTree(pUmdGlobal->pDevMgrApi, pDevInfoData->DevInst, Tree, UMD_DEVICE_TREE_SIZE);
  if (ulTreeSize == 0) {
    // Without a node there is nothing to hand the host; the caller closes the handle.
    TRACE_ERROR("no device node for '%s'", pInterfaceDetail->DevicePath);
    return FALSE;
  }

  ULONG ulDepth = 0, ulIndex = 0, ulType = 0;
  if (ucTqIndex != UMD_NO_RECEIVER_SLOT) {
    ulIndex = UMD_RECEIVER_SLOT_BASE + ucTqIndex;
    TRACE_INFO("TQ Device index %d detected.", (int)ulIndex);
  }
  if (pModel->sDepth != nullptr) {
    UmdPlacement placement;
    UmdApplyDepthOverride(IniParseIntValue(pModel->sDepth, pUmdGlobal->sName), ucInterface, ucCollection, ulIndex,
                          &placement);
    ulDepth = placement.ulDepth;
    if (placement.ulTypeOverride != 0) {
      ulType = placement.ulTypeOverride;
      TRACE_INFO("Device Type Override to %s.", UmdDeviceTypeName(ulType));
    }
    for (ULONG i = 0; i < placement.ulStepCount; ++i) {
      const UmdOverrideStep& step = placement.Steps[i];
      TRACE_INFO("Found Override byte %02X", step.ucByte);
      switch (step.outcome) {
      case UMD_OVERRIDE_TOO_LARGE:
        TRACE_WARNING("Device Collection (%d) or Interface (%d) is to large for Index Override.", ucCollection,
                      ucInterface);
        break;
      case UMD_OVERRIDE_COLLECTION:
        if (step.ulIndexBefore != 0) {
          TRACE_ERROR("Index override error %d (Collection)", (int)step.ulIndexBefore);
        }
        TRACE_INFO("Collection %d Device Index Override to %d.", ucCollection, (int)step.ulIndexAfter);
        break;
      case UMD_OVERRIDE_INTERFACE:
        if (step.ulIndexBefore != 0) {
          TRACE_ERROR("Index override error %d (Interface).", (int)step.ulIndexBefore);
        }
        TRACE_INFO("Interface %d Device Index Override to %d.", ucInterface, (int)step.ulIndexAfter);
        break;
      case UMD_OVERRIDE_NO_MATCH:
        break;
      }
    }
    ulIndex = placement.ulIndex;
    DRAV_ASSERT_TEXT(ulDepth < ulTreeSize, "AncestorDepth < ulTreeSize");
    TRACE_INFO("Ancestor Depth '%s' = %d. Device Index:%d.\n", pModel->sDepth, (int)ulDepth, (int)ulIndex);
    if (ulDepth >= ulTreeSize) {
      ulDepth = 0;
    }
  }
  if (ulType == 0) {
    if (UmdIsInMinterm(pUmdGlobal, pModel->sMinTerm)) {
      ulType = pModel->ulSectionId >> 24;
      TRACE_INFO("UMD %d '%s' is in minterm (%s). Creating %s.", (int)pUmdGlobal->ulUmdIndex, pUmdGlobal->sName,
                 pModel->sMinTerm, UmdDeviceTypeName(ulType));
    } else {
      ulType = pUmdGlobal->ulDefaultDeviceType;
      TRACE_INFO("UMD %d is not in minterm (%s). Creating %s", (int)pUmdGlobal->ulUmdIndex,
                 pModel->sMinTerm ? pModel->sMinTerm : "", UmdDeviceTypeName(ulType));
    }
  }
  ULONG ulHostIndex = ulType == LD_DEVICETYPE_RECEIVER ? ucInterface + 1u : ulIndex;

  tDevice* pDevice = HostCreateDevice(pUmdGlobal->pDevMgrApi, LOCK_Unknown17, ulType, pUmdGlobal->ulUmdIndex,
                                      Tree[ulDepth], ulHostIndex, HOST_CREATE_VALUE, pUmdGlobal->ulDevInfoSize);
  if (pDevice == nullptr) {
    TRACE_INFO("FoundDevice - failed to create a new device\n");
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    return FALSE;
  }
  UmdDevInfo* pInfo = UmdGetDevInfo(pUmdGlobal, pDevice);
  pInfo->hHandleNotification = hHandleNotification;
  pInfo->hHandle = hHandle;
  strcpy(pInfo->sPath, pInterfaceDetail->DevicePath);   // its length was checked by the caller
  pInfo->ulVendorID = usVid;
  pInfo->ulProductID = usPid;
  pInfo->ulVersion = usRev;
  pInfo->ucInterface = ucInterface;
  pInfo->bSingleInterface = bSingleInterface;
  pInfo->diDeviceNode = Tree[0];

  if (pUmdGlobal->pUmdCallbackDeviceInit(pDevice, 0, pModel)) {
    UmdStartEventThread(pUmdGlobal, pDevice, pInfo);
    if (pUmdGlobal->pUmdCallbackDeviceStart(pDevice)) {
      pDevice->UMDPresent[pUmdGlobal->ulUmdIndex] = 1;
    }
  }
  ReleaseRemoveLock(pUmdGlobal->ulUmdIndex, LOCK_Unknown17, pDevice);
  return TRUE;
}

BOOL UmdFoundDevice(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevInfoData, SP_DEVICE_INTERFACE_DETAIL_DATA_A* pInterfaceDetail,
                    void* pContext)
{
  UmdEnumContext* pEnum = static_cast<UmdEnumContext*>(pContext);
  UmdGlobal* pUmdGlobal = pEnum->pUmdGlobal;
  const char* sPath = pInterfaceDetail->DevicePath;
  TRACE_INFO("Entry '%s'\n", sPath);
  if (pEnum->sFilterPath != nullptr && _stricmp(pEnum->sFilterPath, sPath) != 0) {
    TRACE_INFO("exit, device filter mismatch");
    return TRUE;
  }
  // A longer path cannot be kept whole, and a cut one would match another device.
  if (strlen(sPath) >= sizeof(UmdDevInfo::sPath)) {
    TRACE_ERROR("FoundDevice - interface path of %d characters is too long\n", (int)strlen(sPath));
    return TRUE;
  }
  tDevice* pKnown = UmdFindDeviceFromNode(pUmdGlobal, pDevInfoData->DevInst, LOCK_UmdFoundDevice);
  if (pKnown != nullptr) {
    TRACE_INFO("FoundDevice - Device %08X (Type %d) is using this path\n", (unsigned)pKnown->DUID,
               (int)pKnown->ulDeviceType);
    pKnown->UMDPresent[pUmdGlobal->ulUmdIndex] = 1;
    ReleaseRemoveLock(pUmdGlobal->ulUmdIndex, LOCK_UmdFoundDevice, pKnown);
    TRACE_INFO("FoundDevice - Exit (already in list)\n");
    return TRUE;
  }
  HANDLE hHandle = UmdOpenDeviceHandle(sPath);
  if (hHandle == INVALID_HANDLE_VALUE || hHandle == nullptr) {
    TRACE_INFO("FoundDevice - Failed to open interface. Error: %d\n", (int)GetLastError());
    TRACE_INFO("FoundDevice - Exit (failed to open handle)\n");
    return TRUE;
  }
  TRACE_INFO("FoundDevice - CreatFile succeed, handle is 0x%x\n", (unsigned)(ULONG_PTR)hHandle);

  PVOID hNotification = nullptr;
  tMain* pMain = HostMain(pUmdGlobal->pDevMgrApi);
  if (pMain == nullptr || !pMain->bNoHandleNotifications) {
    hNotification = WndRegisterHandleChangeNotifications(pUmdGlobal->hWnd, hHandle);
    if (hNotification == nullptr) {
      TRACE_INFO("WndRegisterHandleChangeNotifications failed, err=%d\n", (int)GetLastError());
      UmdCloseFoundHandle(hHandle);
      return TRUE;
    }
  }
  if (!InteractWithOpenedDevice(pUmdGlobal, hDevInfo, pDevInfoData, pInterfaceDetail, hHandle, hNotification)) {
    TRACE_INFO("FoundDevice - line: %d !bStatus\n", UMD_FOUND_DEVICE_CLOSE_LINE);
    if (hNotification != nullptr) {
      WndUnregisterDeviceChangeNotifications(hNotification);
    }
    UmdCloseFoundHandle(hHandle);
  }
  TRACE_INFO("FoundDevice - Exit\n");
  return TRUE;
}

BOOL UmdClearPresentMark(tDevice* pDevice, ULONG_PTR ulIgnored, ULONG_PTR pContext)
{
  UmdGlobal* pUmdGlobal = reinterpret_cast<UmdGlobal*>(pContext);
  if ((pDevice->ulUMDCreated & (1u << pUmdGlobal->ulUmdIndex)) != 0) {
    pDevice->UMDPresent[pUmdGlobal->ulUmdIndex] = 0;
  }
  return TRUE;
}

BOOL UmdClearPresentMarks(UmdGlobal* pUmdGlobal)
{
  tGbl* pGbl = HostGbl(pUmdGlobal->pDevMgrApi);
  if (pGbl == nullptr || !CriticalRegionEnter(pGbl->hDeviceListMutex, nullptr)) {
    return FALSE;
  }
  // The host's walk visits every device of this plug-in; its mutex is held
  // around the whole walk, so no device is marked between two visits.
  HostForEachDevice(pUmdGlobal->pDevMgrApi, UmdClearPresentMark, 0, reinterpret_cast<ULONG_PTR>(pUmdGlobal),
                    pUmdGlobal->ulUmdIndex);
  CriticalRegionLeave(pGbl->hDeviceListMutex);
  return TRUE;
}

ULONG UmdEnumeratorWorkItem(void* pContext)
{
  UmdGlobal* pUmdGlobal = static_cast<UmdGlobal*>(pContext);
  TRACE_INFO("EnumeratorThread - Entry - %08X\n", (unsigned)(ULONG_PTR)pUmdGlobal);
  tMain* pMain = HostMain(pUmdGlobal->pDevMgrApi);
  if (pMain != nullptr && (pMain->ulSessionFlags & HOST_SESSION_NOT_RUNNING) != 0) {
    TRACE_INFO("EnumeratorThread - Session is not running %08X\n", (unsigned)pMain->ulSessionFlags);
    return 0;
  }
  UmdProcessDeviceChanges(pUmdGlobal);

  if (!UmdClearPresentMarks(pUmdGlobal)) {
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    TRACE_INFO("Failed to acquire hDeviceListMutex prior to enumerate interfaces");
  }
  UmdEnumContext context = { nullptr, pUmdGlobal };
  WndEnumerateInterfaces(&pUmdGlobal->InterfaceGuid, UmdFoundDevice, &context);
  HostRemoveDevices(pUmdGlobal->pDevMgrApi, UmdCompareDeviceNotFound, 0, pUmdGlobal, pUmdGlobal->ulUmdIndex, 0);
  HostEndOfEnumeration(pUmdGlobal->pDevMgrApi);
  TRACE_INFO("EnumeratorThread - Exit\n");
  return 0;
}

static void UmdEnumeratorItem(void* pUmdGlobal)
{
  UmdEnumeratorWorkItem(pUmdGlobal);
}

void UmdEnumerateDevices(UmdGlobal* pUmdGlobal)
{
  TRACE_INFO("EnumerateDevices - Entry\n");
  WndQueueWorkItem(&pUmdGlobal->WorkItemList, UmdEnumeratorItem, pUmdGlobal);
  TRACE_INFO("EnumerateDevices - Exit\n");
}
