// Reference host: interface record, shared region, device records and the host
// operations the plug-in relies on.
#include "host/RefHost.h"

#include <cstdio>
#include <cstring>

#include "host/RefHostEvents.h"
#include "host/RefHostModels.h"
#include "host/RefHostPnp.h"
#include "host/RefHostReports.h"
#include "simdrv/SimDrv.h"
#include "synch/SynchMgr.h"

static RefHost s_Host;

RefHost* RefHostGet()
{
  return &s_Host;
}

BOOL RefHostLoadPlugin(RefHostPlugin* pPlugin, const char* sDllPath)
{
  memset(pPlugin, 0, sizeof *pPlugin);
  pPlugin->hModule = LoadLibraryA(sDllPath);
  if (pPlugin->hModule == nullptr) {
    return FALSE;
  }
  auto ordinal = [pPlugin](WORD n) { return GetProcAddress(pPlugin->hModule, MAKEINTRESOURCEA(n)); };
  pPlugin->MouControl = reinterpret_cast<PFN_MOU_CONTROL>(ordinal(1));
  pPlugin->MouDeviceCleanup = reinterpret_cast<PFN_MOU_DEVICE_CLEANUP>(ordinal(2));
  pPlugin->MouDeviceControl = reinterpret_cast<PFN_MOU_DEVICE_CONTROL>(ordinal(3));
  pPlugin->MouEvaluateEventCompatibility = reinterpret_cast<PFN_MOU_EVALUATE_EVENT>(ordinal(4));
  pPlugin->MouMainExit = reinterpret_cast<PFN_MOU_MAIN_EXIT>(ordinal(5));
  pPlugin->MouMainInit = reinterpret_cast<PFN_MOU_MAIN_INIT>(ordinal(6));
  pPlugin->MouRegisterEvent = reinterpret_cast<PFN_MOU_REGISTER_EVENT>(ordinal(7));
  pPlugin->MouUnregisterEvent = reinterpret_cast<PFN_MOU_REGISTER_EVENT>(ordinal(8));
  return pPlugin->MouControl && pPlugin->MouDeviceCleanup && pPlugin->MouDeviceControl &&
         pPlugin->MouEvaluateEventCompatibility && pPlugin->MouMainExit && pPlugin->MouMainInit &&
         pPlugin->MouRegisterEvent && pPlugin->MouUnregisterEvent;
}

void RefHostUnloadPlugin(RefHostPlugin* pPlugin)
{
  if (pPlugin->hModule != nullptr) {
    FreeLibrary(pPlugin->hModule);
  }
  memset(pPlugin, 0, sizeof *pPlugin);
}

ULONG RefHostBindPlugin(RefHost* pHost, const RefHostPlugin* pPlugin)
{
  pHost->pfnDeviceControl = pPlugin->MouDeviceControl;
  pHost->pfnDeviceCleanup = pPlugin->MouDeviceCleanup;
  return pPlugin->MouMainInit(pHost->Api, 0, 0);
}

// ---- The device list in the shared region ----------------------------------------

static void* RegionBase(RefHost* pHost)
{
  return pHost->pMainShare;
}

tList* RefHostDeviceList(RefHost* pHost)
{
  return reinterpret_cast<tList*>(pHost->pMainShare->DeviceList);
}

static BOOL DeviceListEnter(RefHost* pHost)
{
  DWORD dw = WaitForSingleObject(pHost->Gbl.hDeviceListMutex, 10000);
  return dw == WAIT_OBJECT_0 || dw == WAIT_ABANDONED;
}

static void DeviceListLeave(RefHost* pHost)
{
  ReleaseMutex(pHost->Gbl.hDeviceListMutex);
}

static RefHostDeviceSlot* SlotOf(tDevice* pDevice)
{
  return reinterpret_cast<RefHostDeviceSlot*>(reinterpret_cast<BYTE*>(pDevice) + REFHOST_SLOT_OFFSET);
}

// Under the device-list mutex: the device's position in the list, or
// LD_INVALID_POS when the pointer is no device of the list.
static LD_POS DevicePosition(RefHost* pHost, const tDevice* pDevice)
{
  tList* pList = RefHostDeviceList(pHost);
  LD_POS pos = ListGetFirstPosition(pList);
  while (pos != LD_INVALID_POS) {
    LD_POS here = pos;
    if (ListGetAtMoveNext(RegionBase(pHost), pList, &pos) == pDevice) {
      return here;
    }
  }
  return LD_INVALID_POS;
}

// ---- Devices ---------------------------------------------------------------------------

tDevice* RefHostFindDevice(RefHost* pHost, PFN_REFHOST_DEVICE_MATCH pfnMatch, const void* pContext)
{
  if (pHost->pMainShare == nullptr || pfnMatch == nullptr || !DeviceListEnter(pHost)) {
    return nullptr;
  }
  tList* pList = RefHostDeviceList(pHost);
  tDevice* pFound = nullptr;
  for (LD_POS pos = ListGetFirstPosition(pList); pos != LD_INVALID_POS && pFound == nullptr;) {
    tDevice* pDevice = static_cast<tDevice*>(ListGetAtMoveNext(RegionBase(pHost), pList, &pos));
    if (pDevice != nullptr && pfnMatch(pDevice, pContext)) {
      pFound = pDevice;
    }
  }
  DeviceListLeave(pHost);
  return pFound;
}

RefHostDeviceSlot* RefHostFindSlot(RefHost* pHost, const tDevice* pDevice)
{
  tDevice* pFound = RefHostFindDevice(
    pHost, [](tDevice* p, const void* pWanted) -> BOOL { return p == pWanted; }, pDevice);
  return pFound != nullptr ? SlotOf(pFound) : nullptr;
}

ULONG RefHostDeviceCount(RefHost* pHost)
{
  if (pHost->pMainShare == nullptr || !DeviceListEnter(pHost)) {
    return 0;
  }
  ULONG n = ListGetCount(RefHostDeviceList(pHost));
  DeviceListLeave(pHost);
  return n;
}

tDevice* RefHostFindDeviceByPath(RefHost* pHost, const char* sPath, ULONG ulUmdIndex)
{
  struct Wanted {
    const char* sPath;
    ULONG ulUmdIndex;
  } wanted = { sPath, ulUmdIndex };
  return RefHostFindDevice(
    pHost,
    [](tDevice* pDevice, const void* p) -> BOOL {
      const auto* w = static_cast<const Wanted*>(p);
      const UmdDevInfo* pInfo = RefHostDevInfo(pDevice, w->ulUmdIndex);
      return pInfo != nullptr && w->sPath != nullptr && lstrcmpiA(pInfo->sPath, w->sPath) == 0;
    },
    &wanted);
}

ULONG RefHostSimDeviceOf(RefHost* pHost, const tDevice* pDevice)
{
  RefHostDeviceSlot* pSlot = RefHostFindSlot(pHost, pDevice);
  return pSlot != nullptr ? pSlot->ulSimDevice : 0;
}

void RefHostSetDeviceCapability(RefHost* pHost, tDevice* pDevice, ULONG ulCapability)
{
  RefHostDeviceSlot* pSlot = RefHostFindSlot(pHost, pDevice);
  if (pSlot != nullptr) {
    pSlot->ulCapability = ulCapability;
  }
}

UmdDevInfo* RefHostDevInfo(const tDevice* pDevice, ULONG ulUmdIndex)
{
  if (pDevice == nullptr || ulUmdIndex >= UMD_MAX_INDEX) {
    return nullptr;
  }
  return static_cast<UmdDevInfo*>(pDevice->pUMDinfo[ulUmdIndex]);
}

tDevice* RefHostCreateDevice(RefHost* pHost, ULONG ulLockId, ULONG ulDeviceType, ULONG ulUmdIndex, DWORD diDeviceNode,
                             ULONG ulDeviceIndex, ULONG ulValue2, ULONG ulDevInfoSize)
{
  if (pHost->pMainShare == nullptr || ulUmdIndex >= UMD_MAX_INDEX || ulDevInfoSize > REFHOST_DEVINFO_CAPACITY) {
    return nullptr;
  }
  if (!DeviceListEnter(pHost)) {
    return nullptr;
  }
  tDevice* pDevice = nullptr;
  tList* pList = RefHostDeviceList(pHost);
  LD_POS pos = ListCreate(RegionBase(pHost), pList);
  BYTE* pData = static_cast<BYTE*>(ListGetAt(RegionBase(pHost), pList, pos));
  if (pData != nullptr) {
    memset(pData, 0, REFHOST_ITEM_DATA_SIZE);
    pDevice = reinterpret_cast<tDevice*>(pData);
    pDevice->DUID = ++pHost->ulNextDuid;
    pDevice->DeviceKey = 0x00D0000000000000ull | pDevice->DUID;
    pDevice->ulDeviceType = ulDeviceType;
    snprintf(pDevice->sDeviceName, sizeof pDevice->sDeviceName, "RefHost device %u", (unsigned)pDevice->DUID);
    snprintf(pDevice->sPersistentName, sizeof pDevice->sPersistentName, "REFHOST-%08X-%u", (unsigned)diDeviceNode,
             (unsigned)ulDeviceIndex);
    pDevice->ulUMDCreated = 1u << ulUmdIndex;
    pDevice->pUMDinfo[ulUmdIndex] = pData + REFHOST_DEVINFO_OFFSET;
  }
  // Locked before the list is let go: nobody can remove it unseen.
  if (pDevice != nullptr) {
    AcquireRemoveLock(ulUmdIndex, ulLockId, pDevice);
  }
  DeviceListLeave(pHost);
  return pDevice;
}

// Under csRemoval; the plug-in has let go of the record.
static void FreeDeviceRecord(RefHost* pHost, tDevice* pDevice)
{
  if (!DeviceListEnter(pHost)) {
    return;   // left in the list rather than freed under a walker
  }
  if (ListRemoveAt(RegionBase(pHost), RefHostDeviceList(pHost), DevicePosition(pHost, pDevice))) {
    memset(pDevice, 0, REFHOST_ITEM_DATA_SIZE);
  }
  DeviceListLeave(pHost);
}

BOOL RefHostRemoveDevice(RefHost* pHost, tDevice* pDevice, ULONG ulUmdIndex, BOOL bReleaseRemoveLock, ULONG ulLockId)
{
  RefHostDeviceSlot* pSlot = RefHostFindSlot(pHost, pDevice);
  if (pSlot == nullptr || ulUmdIndex >= UMD_MAX_INDEX) {
    return FALSE;
  }
  EnterCriticalSection(&pHost->csRemoval);
  if (!RequestRemoval(ulUmdIndex, pDevice, bReleaseRemoveLock, ulLockId)) {
    LeaveCriticalSection(&pHost->csRemoval);
    return FALSE;
  }
  if (ulUmdIndex == UMD_MOUFILT && pHost->pfnDeviceCleanup != nullptr) {
    pHost->pfnDeviceCleanup(pDevice, 0, 0);
  }
  // The handle this host opened in place of discovery, if the plug-in left it open.
  UmdDevInfo* pDevInfo = RefHostDevInfo(pDevice, ulUmdIndex);
  if (pSlot->bHostOpened && pDevInfo != nullptr && pDevInfo->hHandle != nullptr &&
      pDevInfo->hHandle != INVALID_HANDLE_VALUE) {
    CloseHandle(pDevInfo->hHandle);
    pDevInfo->hHandle = nullptr;
  }
  pDevice->ulUMDCreated &= ~(1u << ulUmdIndex);
  pDevice->pUMDinfo[ulUmdIndex] = nullptr;
  if (pDevice->ulUMDCreated == 0) {
    FreeDeviceRecord(pHost, pDevice);
  }
  LeaveCriticalSection(&pHost->csRemoval);
  return TRUE;
}

tDevice* RefHostAddSimDevice(RefHost* pHost, const char* sPath, ULONG ulDeviceType, ULONG ulUmdIndex,
                             ULONG ulDevInfoSize)
{
  ULONG ulSim = SimDrvAddDevice(sPath);
  if (ulSim == 0) {
    return nullptr;
  }
  tDevice* pDevice = RefHostCreateDevice(pHost, REFHOST_LOCK_CREATE, ulDeviceType, ulUmdIndex, 0x1000 + ulSim, 0,
                                         HOST_CREATE_VALUE, ulDevInfoSize);
  if (pDevice == nullptr) {
    SimDrvRemoveDevice(ulSim);
    return nullptr;
  }
  RefHostDeviceSlot* pSlot = RefHostFindSlot(pHost, pDevice);
  pSlot->ulSimDevice = ulSim;
  UmdDevInfo* pDevInfo = RefHostDevInfo(pDevice, ulUmdIndex);
  strncpy(pDevInfo->sPath, sPath, sizeof pDevInfo->sPath - 1);
  pDevInfo->diDeviceNode = 0x1000 + ulSim;
  pDevInfo->hHandle = DevIoOpen(sPath);
  if (pDevInfo->hHandle == INVALID_HANDLE_VALUE || pDevInfo->hHandle == nullptr) {
    pDevInfo->hHandle = nullptr;
    RefHostRemoveDevice(pHost, pDevice, ulUmdIndex, TRUE, REFHOST_LOCK_CREATE);
    SimDrvRemoveDevice(ulSim);
    return nullptr;
  }
  pSlot->bHostOpened = TRUE;
  pDevice->bStarted = TRUE;
  pDevice->UMDPresent[ulUmdIndex] = 1;
  ReleaseRemoveLock(ulUmdIndex, REFHOST_LOCK_CREATE, pDevice);
  return pDevice;
}

LD_STATUS RefHostDeviceControl(RefHost* pHost, tDevice* pDevice, ULONG ulFunction, void* pBuffer,
                               ULONG* pReturnedSize, ULONG ulMode)
{
  if (pHost->pfnDeviceControl == nullptr) {
    return LD_INVALID_FUNCTION;
  }
  if (pDevice == nullptr) {
    return pHost->pfnDeviceControl(nullptr, ulFunction, pBuffer, pReturnedSize, ulMode);
  }
  if (!AcquireRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, pDevice)) {
    if (pReturnedSize != nullptr) {
      *pReturnedSize = 0;
    }
    return LD_DEVICE_REMOVAL;
  }
  LD_STATUS status = pHost->pfnDeviceControl(pDevice, ulFunction, pBuffer, pReturnedSize, ulMode);
  ReleaseRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, pDevice);
  return status;
}

// ---- Operations handed to the plug-in ---------------------------------------------------

static tDevice* HostCreateDeviceOp(ULONG ulLockId, ULONG ulDeviceType, ULONG ulUmdIndex, DWORD diDeviceNode,
                                   ULONG ulDeviceIndex, ULONG ulValue2, ULONG ulDevInfoSize)
{
  return RefHostCreateDevice(&s_Host, ulLockId, ulDeviceType, ulUmdIndex, diDeviceNode, ulDeviceIndex, ulValue2,
                             ulDevInfoSize);
}

static tDevice* HostGetDeviceOp(ULONG ulUmdIndex, ULONG ulLockId, ULONG ulDuid)
{
  RefHost* pHost = &s_Host;
  if (ulUmdIndex >= UMD_MAX_INDEX || !DeviceListEnter(pHost)) {
    return nullptr;
  }
  tList* pList = RefHostDeviceList(pHost);
  tDevice* pFound = nullptr;
  for (LD_POS pos = ListGetFirstPosition(pList); pos != LD_INVALID_POS;) {
    tDevice* pDevice = static_cast<tDevice*>(ListGetAtMoveNext(RegionBase(pHost), pList, &pos));
    if (pDevice != nullptr && pDevice->DUID == ulDuid && (pDevice->ulUMDCreated & (1u << ulUmdIndex))) {
      if (AcquireRemoveLock(ulUmdIndex, ulLockId, pDevice)) {
        pFound = pDevice;
      }
      break;
    }
  }
  DeviceListLeave(pHost);
  return pFound;
}

static BOOL HostRemoveDeviceOp(ULONG ulLockId, ULONG ulUmdIndex, tDevice* pDevice, ULONG)
{
  return RefHostRemoveDevice(&s_Host, pDevice, ulUmdIndex, TRUE, ulLockId);
}

static ULONG HostDeviceCapabilityOp(tDevice* pDevice, ULONG ulSelector, void*)
{
  if (ulSelector != HOST_CAPABILITY_WHEEL) {
    return 0;
  }
  RefHostDeviceSlot* pSlot = RefHostFindSlot(&s_Host, pDevice);
  return pSlot != nullptr ? pSlot->ulCapability : 0;
}

// Under the device-list mutex: from *pPos on, the next device of the plug-in
// that could be locked, its position in *pPos; null at the end.
static tDevice* NextLockedDevice(RefHost* pHost, LD_POS* pPos, ULONG ulUmdIndex)
{
  while (*pPos != LD_INVALID_POS) {
    LD_POS here = *pPos;
    tDevice* pDevice = static_cast<tDevice*>(ListGetAtMoveNext(RegionBase(pHost), RefHostDeviceList(pHost), pPos));
    if (pDevice != nullptr && (pDevice->ulUMDCreated & (1u << ulUmdIndex)) &&
        AcquireRemoveLock(ulUmdIndex, LOCK_DeviceParseList, pDevice)) {
      *pPos = here;
      return pDevice;
    }
  }
  return nullptr;
}

// Each device of the plug-in in turn, held under the plug-in's remove lock
// while the callback runs; the list mutex is not held across the callback.
// The held device cannot leave the list, so its Next, read again once the
// mutex is back, is current.
static BOOL HostForEachDeviceOp(PFN_HOST_DEVICE_CALLBACK pfnCallback, ULONG_PTR second, ULONG_PTR argument,
                                ULONG ulUmdIndex)
{
  RefHost* pHost = &s_Host;
  if (pfnCallback == nullptr || ulUmdIndex >= UMD_MAX_INDEX || !DeviceListEnter(pHost)) {
    return FALSE;
  }
  LD_POS pos = ListGetFirstPosition(RefHostDeviceList(pHost));
  tDevice* pDevice = NextLockedDevice(pHost, &pos, ulUmdIndex);
  while (pDevice != nullptr) {
    DeviceListLeave(pHost);
    pfnCallback(pDevice, second, argument);
    BOOL bEntered = DeviceListEnter(pHost);
    if (bEntered) {
      ListGetAtMoveNext(RegionBase(pHost), RefHostDeviceList(pHost), &pos);   // past the held device
    }
    ReleaseRemoveLock(ulUmdIndex, LOCK_DeviceParseList, pDevice);
    if (!bEntered) {
      return FALSE;
    }
    pDevice = NextLockedDevice(pHost, &pos, ulUmdIndex);
  }
  DeviceListLeave(pHost);
  return TRUE;
}

static BOOL HostRemoveDevicesOp(PFN_HOST_DEVICE_FILTER pfnFilter, ULONG_PTR value, void* pContext, ULONG ulUmdIndex,
                                ULONG ulFlag)
{
  RefHost* pHost = &s_Host;
  if (ulUmdIndex >= UMD_MAX_INDEX) {
    return FALSE;
  }
  // Records stay put while the filter looks at them: only a removal frees one.
  // The plug-in's devices are taken from the list first; the filter and the
  // removals run without the list's mutex.
  EnterCriticalSection(&pHost->csRemoval);
  tDevice* devices[REFHOST_MAX_DEVICES];
  ULONG ulCount = 0;
  if (DeviceListEnter(pHost)) {
    tList* pList = RefHostDeviceList(pHost);
    for (LD_POS pos = ListGetFirstPosition(pList); pos != LD_INVALID_POS && ulCount < REFHOST_MAX_DEVICES;) {
      tDevice* pDevice = static_cast<tDevice*>(ListGetAtMoveNext(RegionBase(pHost), pList, &pos));
      if (pDevice != nullptr && (pDevice->ulUMDCreated & (1u << ulUmdIndex))) {
        devices[ulCount++] = pDevice;
      }
    }
    DeviceListLeave(pHost);
  }
  for (ULONG i = 0; i < ulCount; ++i) {
    tDevice* pDevice = devices[i];
    BOOL bRemove = pfnFilter == nullptr ? ulFlag == HOST_REMOVE_ALL_FLAG : pfnFilter(pDevice, value, pContext);
    if (bRemove) {
      RefHostRemoveDevice(pHost, pDevice, ulUmdIndex, FALSE, LOCK_DoNotAcquireLock);
    }
  }
  LeaveCriticalSection(&pHost->csRemoval);
  return TRUE;
}

// ---- Set-up --------------------------------------------------------------------------

static BOOL CloseHostOpenedHandles(tDevice* pDevice, const void*)
{
  if (!SlotOf(pDevice)->bHostOpened) {
    return FALSE;
  }
  for (ULONG idx = 0; idx < UMD_MAX_INDEX; ++idx) {
    UmdDevInfo* pDevInfo = RefHostDevInfo(pDevice, idx);
    if (pDevInfo != nullptr && pDevInfo->hHandle != nullptr && pDevInfo->hHandle != INVALID_HANDLE_VALUE) {
      CloseHandle(pDevInfo->hHandle);
      pDevInfo->hHandle = nullptr;
    }
  }
  return FALSE;   // on to the next device
}

BOOL RefHostInit(RefHost* pHost)
{
  static LONG s_lRegionCount = 0;
  memset(pHost, 0, sizeof *pHost);
  // A fresh region per host, named so that a second view or process can map it.
  snprintf(pHost->sSharedName, sizeof pHost->sSharedName, "Local\\RefHostMainShare-%lu-%ld",
           (unsigned long)GetCurrentProcessId(), (long)InterlockedIncrement(&s_lRegionCount));
  pHost->hSharedMapping =
    CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, REFHOST_SHARED_SIZE, pHost->sSharedName);
  if (pHost->hSharedMapping == nullptr) {
    return FALSE;
  }
  pHost->pMainShare =
    static_cast<tMainShare*>(MapViewOfFile(pHost->hSharedMapping, FILE_MAP_ALL_ACCESS, 0, 0, REFHOST_SHARED_SIZE));
  if (pHost->pMainShare == nullptr) {
    CloseHandle(pHost->hSharedMapping);
    pHost->hSharedMapping = nullptr;
    return FALSE;
  }
  pHost->pMainShare->shareHeader.lSize = (LONG)REFHOST_SHARED_SIZE;
  ListInit(pHost->pMainShare, RefHostDeviceList(pHost), reinterpret_cast<BYTE*>(pHost->pMainShare) + REFHOST_LIST_STORAGE_OFFSET,
           REFHOST_MAX_DEVICES * REFHOST_ITEM_SIZE, REFHOST_ITEM_DATA_SIZE, false);
  InitializeCriticalSection(&pHost->csRemoval);
  pHost->Gbl.hDeviceListMutex = CreateMutexA(nullptr, FALSE, nullptr);
  pHost->Main.hInstance = GetModuleHandleA(nullptr);
  pHost->Main.hInUseEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  pHost->ulNextDuid = 0x100;
  RefHostEventsInit(pHost);

  pHost->Api[HOST_MAIN_SHARE] = reinterpret_cast<ULONG_PTR>(pHost->pMainShare);
  pHost->Api[HOST_GBL] = reinterpret_cast<ULONG_PTR>(&pHost->Gbl);
  pHost->Api[HOST_MAIN] = reinterpret_cast<ULONG_PTR>(&pHost->Main);
  pHost->Api[HOST_CREATE_DEVICE] = reinterpret_cast<ULONG_PTR>(&HostCreateDeviceOp);
  pHost->Api[HOST_GET_DEVICE] = reinterpret_cast<ULONG_PTR>(&HostGetDeviceOp);
  pHost->Api[HOST_REMOVE_DEVICE] = reinterpret_cast<ULONG_PTR>(&HostRemoveDeviceOp);
  pHost->Api[HOST_REMOVE_DEVICES] = reinterpret_cast<ULONG_PTR>(&HostRemoveDevicesOp);
  pHost->Api[HOST_FOR_EACH_DEVICE] = reinterpret_cast<ULONG_PTR>(&HostForEachDeviceOp);
  pHost->Api[HOST_DEVICE_CAPABILITY] = reinterpret_cast<ULONG_PTR>(&HostDeviceCapabilityOp);
  pHost->Api[HOST_FIND_MODEL] = reinterpret_cast<ULONG_PTR>(&RefHostFindModel);
  pHost->Api[HOST_PARENT_NODE] = reinterpret_cast<ULONG_PTR>(&RefHostParentNodeOp);
  pHost->Api[HOST_DEVICE_TREE_45] = reinterpret_cast<ULONG_PTR>(&RefHostUnusedCmOp);
  pHost->Api[HOST_DEVICE_TREE_46] = reinterpret_cast<ULONG_PTR>(&RefHostUnusedCmOp);
  pHost->Api[HOST_WAIT_NO_PENDING_INSTALL] = reinterpret_cast<ULONG_PTR>(&RefHostWaitNoPendingInstallOp);
  RefHostReportsInit(pHost);
  return TRUE;
}

void RefHostShutdown(RefHost* pHost)
{
  if (pHost->pMainShare != nullptr) {
    // Devices still present lose their host-opened handles with the region.
    RefHostFindDevice(pHost, CloseHostOpenedHandles, nullptr);
    DeleteCriticalSection(&pHost->csRemoval);
  }
  RefHostEventsShutdown(pHost);
  if (pHost->Main.hInUseEvent != nullptr) {
    CloseHandle(pHost->Main.hInUseEvent);
  }
  if (pHost->Gbl.hDeviceListMutex != nullptr) {
    CloseHandle(pHost->Gbl.hDeviceListMutex);
  }
  if (pHost->pMainShare != nullptr) {
    UnmapViewOfFile(pHost->pMainShare);
  }
  if (pHost->hSharedMapping != nullptr) {
    CloseHandle(pHost->hSharedMapping);
  }
  memset(pHost, 0, sizeof *pHost);
}
