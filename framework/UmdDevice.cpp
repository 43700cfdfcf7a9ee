// Device lookup through the host's walk, the plug-in's side of a device's end,
// and the device dump.
#include <cstdio>
#include <cstring>

#include "diag/Trace.h"
#include "framework/UmdLookup.h"
#include "framework/UmdMgr.h"
#include "plugin/LdCodes.h"
#include "synch/SynchMgr.h"
#include "synch/SynchUtil.h"
#include "system/WndMgr.h"

namespace {

// A match is locked before it is reported, so a found device is always
// returned with the plug-in's remove lock held.
void UmdTakeMatch(SearchRecord* pSCP, tDevice* pDevice)
{
  if (pSCP->pFound != nullptr) {
    DRAV_ASSERT_TEXT(FALSE, "NULL == pSCP->pFound");
    return;
  }
  if (AcquireRemoveLock(pSCP->pUmdGlobal->ulUmdIndex, pSCP->ulLockId, pDevice)) {
    pSCP->pFound = pDevice;
  }
}

bool UmdCreatedByInstance(const SearchRecord* pSCP, const tDevice* pDevice)
{
  return (pDevice->ulUMDCreated & (1u << pSCP->pUmdGlobal->ulUmdIndex)) != 0;
}

tDevice* UmdSearch(SearchRecord* pSCP, PFN_HOST_DEVICE_CALLBACK pfnCompare)
{
  HostForEachDevice(pSCP->pUmdGlobal->pDevMgrApi, pfnCompare, 0, reinterpret_cast<ULONG_PTR>(pSCP),
                    pSCP->pUmdGlobal->ulUmdIndex);
  return pSCP->pFound;
}

}  // namespace

BOOL UmdCompareDeviceNode(tDevice* pDevice, ULONG_PTR ulIgnored, ULONG_PTR pContext)
{
  SearchRecord* pSCP = reinterpret_cast<SearchRecord*>(pContext);
  if (!UmdCreatedByInstance(pSCP, pDevice)) {
    return TRUE;
  }
  UmdDevInfo* pInfo = UmdGetDevInfo(pSCP->pUmdGlobal, pDevice);
  if (pInfo != nullptr && !pInfo->bVirtual && pInfo->diDeviceNode == pSCP->diDeviceNode) {
    UmdTakeMatch(pSCP, pDevice);
  }
  return TRUE;
}

BOOL UmdCompareDevicePath(tDevice* pDevice, ULONG_PTR ulIgnored, ULONG_PTR pContext)
{
  SearchRecord* pSCP = reinterpret_cast<SearchRecord*>(pContext);
  if (!UmdCreatedByInstance(pSCP, pDevice)) {
    return TRUE;
  }
  TRACE_INFO("DUID:0x%08X - UMDCreated:0x%X", (unsigned)pDevice->DUID, (unsigned)pDevice->ulUMDCreated);
  UmdDevInfo* pInfo = UmdGetDevInfo(pSCP->pUmdGlobal, pDevice);
  if (pInfo == nullptr) {
    TRACE_ERROR("got NULL from pUmdCallbackGetDevInfo");
  } else if (!pInfo->bVirtual && _stricmp(pInfo->sPath, pSCP->sPath) == 0) {
    UmdTakeMatch(pSCP, pDevice);
  }
  return TRUE;
}

BOOL UmdCompareDeviceHandle(tDevice* pDevice, ULONG_PTR ulIgnored, ULONG_PTR pContext)
{
  SearchRecord* pSCP = reinterpret_cast<SearchRecord*>(pContext);
  if (!UmdCreatedByInstance(pSCP, pDevice)) {
    return TRUE;
  }
  TRACE_INFO("DUID:0x%08X - UMDCreated:0x%X", (unsigned)pDevice->DUID, (unsigned)pDevice->ulUMDCreated);
  UmdDevInfo* pInfo = UmdGetDevInfo(pSCP->pUmdGlobal, pDevice);
  if (pInfo == nullptr) {
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
  } else if (!pInfo->bVirtual && pInfo->hHandle == pSCP->hHandle) {
    UmdTakeMatch(pSCP, pDevice);
  }
  return TRUE;
}

BOOL UmdComparePersistentNameNameCallback(tDevice* pDevice, ULONG_PTR ulIgnored, ULONG_PTR pContext)
{
  SearchRecord* pSCP = reinterpret_cast<SearchRecord*>(pContext);
  if (UmdCreatedByInstance(pSCP, pDevice) && pSCP->sPersistentName != nullptr &&
      strncmp(pDevice->sPersistentName, pSCP->sPersistentName, sizeof pDevice->sPersistentName) == 0) {
    UmdTakeMatch(pSCP, pDevice);
  }
  return TRUE;
}

tDevice* UmdFindDeviceFromNode(UmdGlobal* pUmdGlobal, DWORD diDeviceNode, ULONG ulLockId)
{
  tDevice* pFound = nullptr;
  if (diDeviceNode == 0) {
    DRAV_ASSERT_TEXT(FALSE, "NULL != diDeviceNode");
  } else {
    SearchRecord scp = {};
    scp.pUmdGlobal = pUmdGlobal;
    scp.diDeviceNode = diDeviceNode;
    scp.ulLockId = ulLockId;
    pFound = UmdSearch(&scp, UmdCompareDeviceNode);
  }
  TRACE_INFO("FindDeviceFromNode - Exit - Found Node %08X @ %08X\n", (unsigned)diDeviceNode,
             (unsigned)(ULONG_PTR)pFound);
  return pFound;
}

tDevice* UmdFindDeviceFromPath(UmdGlobal* pUmdGlobal, const char* sPath, ULONG ulLockId)
{
  tDevice* pFound = nullptr;
  if (sPath == nullptr) {
    TRACE_ERROR("searching for NULL path");
  } else {
    TRACE_INFO("searching for device with path %s", sPath);
    SearchRecord scp = {};
    scp.pUmdGlobal = pUmdGlobal;
    scp.sPath = sPath;
    scp.ulLockId = ulLockId;
    pFound = UmdSearch(&scp, UmdCompareDevicePath);
  }
  TRACE_INFO("exit, found @%08X\n", (unsigned)(ULONG_PTR)pFound);
  return pFound;
}

tDevice* UmdFindDeviceFromHandle(UmdGlobal* pUmdGlobal, HANDLE hHandle, ULONG ulLockId)
{
  SearchRecord scp = {};
  scp.pUmdGlobal = pUmdGlobal;
  scp.hHandle = hHandle;
  scp.ulLockId = ulLockId;
  return UmdSearch(&scp, UmdCompareDeviceHandle);
}

tDevice* UmdFindDeviceFromPersistentName(UmdGlobal* pUmdGlobal, const char* sPersistentName, ULONG ulLockId)
{
  SearchRecord scp = {};
  scp.pUmdGlobal = pUmdGlobal;
  scp.sPersistentName = sPersistentName;
  scp.ulLockId = ulLockId;
  return UmdSearch(&scp, UmdComparePersistentNameNameCallback);
}

LD_STATUS UmdDeviceDump(UmdGlobal* pUmdGlobal, tDevice* pDevice, void* pBuffer)
{
  UmdDevInfo* pInfo = UmdGetDevInfo(pUmdGlobal, pDevice);
  TRACE_INFO("enter");
  const UmdDumpRecord* pDump = static_cast<const UmdDumpRecord*>(pBuffer);
  // Only devices of this plug-in reach the dump; a request without a device,
  // record or operation has nothing to report.
  if (pInfo != nullptr && pDump != nullptr && pDump->pfnDump != nullptr) {
    char sPrefix[16];
    snprintf(sPrefix, sizeof sPrefix, "p%s->umd.", pUmdGlobal->sName);
    struct Field {
      const char* sName;
      const char* sType;
      BYTE ucType;
      USHORT usSize;
      const void* pValue;
    };
    const Field fields[] = {
      { "sPath", "CHAR[]", 30, sizeof pInfo->sPath, pInfo->sPath },
      { "hHandle", "HANDLE", 12, sizeof pInfo->hHandle, &pInfo->hHandle },
      { "hEventThread", "HANDLE", 12, sizeof pInfo->hEventThread, &pInfo->hEventThread },
      { "hEventThreadStopEvent", "HANDLE", 12, sizeof pInfo->hEventThreadStopEvent, &pInfo->hEventThreadStopEvent },
      { "diDeviceNode", "DEVINST", 12, sizeof pInfo->diDeviceNode, &pInfo->diDeviceNode },
      { "hHandleNotification", "PVOID", 12, sizeof pInfo->hHandleNotification, &pInfo->hHandleNotification },
      { "bVirtual", "BOOL", 10, sizeof pInfo->bVirtual, &pInfo->bVirtual },
      { "ulProductID", "ULONG", 12, sizeof pInfo->ulProductID, &pInfo->ulProductID },
      { "ulVendorID", "ULONG", 12, sizeof pInfo->ulVendorID, &pInfo->ulVendorID },
      { "ulVersion", "ULONG", 12, sizeof pInfo->ulVersion, &pInfo->ulVersion },
      { "ucInterface", "BYTE", 11, sizeof pInfo->ucInterface, &pInfo->ucInterface },
      { "bSingleInterface", "BOOL", 10, sizeof pInfo->bSingleInterface, &pInfo->bSingleInterface },
    };
    for (const Field& f : fields) {
      pDump->pfnDump(pDump->Context[0], pDump->Context[1], pDump->Context[2], sPrefix, f.sName, f.sType, f.ucType,
                     f.usSize, f.pValue);
    }
  }
  TRACE_INFO("exit");
  return LD_SUCCESS;
}

void UmdDeviceCleanup(UmdGlobal* pUmdGlobal, tDevice* pDevice)
{
  TRACE_INFO("Entry\n");
  UmdDevInfo* pInfo = UmdGetDevInfo(pUmdGlobal, pDevice);
  // Only devices of this plug-in reach the clean-up; one without its record has nothing to end.
  if (pInfo == nullptr) {
    return;
  }
  if (pInfo->bVirtual) {
    TRACE_INFO("Device is virtual. No handle or thread to cleanup\n.");
    return;
  }
  UmdStopEventThread(pUmdGlobal, pDevice);
  if (pInfo->hHandleNotification != nullptr) {
    WndUnregisterDeviceChangeNotifications(pInfo->hHandleNotification);
    pInfo->hHandleNotification = nullptr;
  }
  Sleep(30);
  // Skips a handle the message window already gave up, and nulls the field.
  CleanUpHandle(&pInfo->hHandle);
}
