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

// Layouts of the position-addressed list shared with the plug-ins.
struct RefHostList {
  ULONG64 Storage;
  ULONG64 First;
  ULONG64 Last;
  ULONG ulItemSize;
  ULONG ulDataSize;
  ULONG ulItemCount;
  ULONG ulStorageSize;
  BOOL bSharedStorage;
  ULONG ulMaxItems;
  ULONG ulNextIndex;
};
static_assert(sizeof(RefHostList) <= sizeof(tMainShare::DeviceList), "list record fits its place");
static_assert(offsetof(RefHostList, ulNextIndex) == 48, "list record layout");

struct RefHostListItem {
  ULONG64 Previous;
  ULONG64 Next;
  ULONG64 This;
};
static_assert(sizeof(RefHostListItem) == REFHOST_ITEM_HEADER_SIZE, "item header layout");

constexpr ULONG64 REFHOST_INVALID_POS = ~0ull;
constexpr ULONG64 REFHOST_POS_OFFSET_MASK = 0xFFFFF;

static BYTE* RegionBase(RefHost* pHost)
{
  return reinterpret_cast<BYTE*>(pHost->pMainShare);
}

static RefHostList* DeviceList(RefHost* pHost)
{
  return reinterpret_cast<RefHostList*>(pHost->pMainShare->DeviceList);
}

static ULONG64 MakePosition(RefHost* pHost, const void* p)
{
  ULONG ulTag = (ULONG)InterlockedIncrement(reinterpret_cast<volatile LONG*>(&pHost->pMainShare->shareHeader.ulPosTag));
  ULONG64 ulOffset = static_cast<ULONG64>(static_cast<const BYTE*>(p) - RegionBase(pHost));
  return (ulOffset & REFHOST_POS_OFFSET_MASK) | (static_cast<ULONG64>(ulTag & 0xFFF) << 20);
}

static RefHostListItem* ItemAt(RefHost* pHost, ULONG ulIndex)
{
  return reinterpret_cast<RefHostListItem*>(RegionBase(pHost) + REFHOST_LIST_STORAGE_OFFSET +
                                            ulIndex * REFHOST_ITEM_SIZE);
}

static RefHostListItem* ItemOfPosition(RefHost* pHost, ULONG64 pos)
{
  return pos == REFHOST_INVALID_POS ? nullptr
                                    : reinterpret_cast<RefHostListItem*>(RegionBase(pHost) + (pos & REFHOST_POS_OFFSET_MASK));
}

static void DeviceListInit(RefHost* pHost)
{
  RefHostList* pList = DeviceList(pHost);
  memset(pList, 0, sizeof *pList);
  pList->Storage = MakePosition(pHost, ItemAt(pHost, 0));
  pList->First = REFHOST_INVALID_POS;
  pList->Last = REFHOST_INVALID_POS;
  pList->ulItemSize = REFHOST_ITEM_SIZE;
  pList->ulDataSize = REFHOST_ITEM_DATA_SIZE;
  pList->ulStorageSize = REFHOST_MAX_DEVICES * REFHOST_ITEM_SIZE;
  pList->ulMaxItems = REFHOST_MAX_DEVICES;
  for (ULONG i = 0; i < REFHOST_MAX_DEVICES; ++i) {
    RefHostListItem* pItem = ItemAt(pHost, i);
    pItem->Previous = pItem->Next = pItem->This = REFHOST_INVALID_POS;
  }
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

// Under the device-list mutex.
static void DeviceListAppend(RefHost* pHost, RefHostListItem* pItem)
{
  RefHostList* pList = DeviceList(pHost);
  pItem->This = MakePosition(pHost, pItem);
  pItem->Next = REFHOST_INVALID_POS;
  pItem->Previous = pList->Last;
  RefHostListItem* pLast = ItemOfPosition(pHost, pList->Last);
  if (pLast != nullptr) {
    pLast->Next = pItem->This;
  } else {
    pList->First = pItem->This;
  }
  pList->Last = pItem->This;
  pList->ulItemCount++;
}

// Under the device-list mutex.
static void DeviceListUnlink(RefHost* pHost, RefHostListItem* pItem)
{
  RefHostList* pList = DeviceList(pHost);
  RefHostListItem* pPrev = ItemOfPosition(pHost, pItem->Previous);
  RefHostListItem* pNext = ItemOfPosition(pHost, pItem->Next);
  if (pPrev != nullptr) {
    pPrev->Next = pItem->Next;
  } else {
    pList->First = pItem->Next;
  }
  if (pNext != nullptr) {
    pNext->Previous = pItem->Previous;
  } else {
    pList->Last = pItem->Previous;
  }
  pList->ulItemCount--;
  memset(pItem, 0, REFHOST_ITEM_SIZE);
  pItem->Previous = pItem->Next = pItem->This = REFHOST_INVALID_POS;
}

// ---- Devices ---------------------------------------------------------------------------

RefHostDeviceSlot* RefHostFindSlot(RefHost* pHost, const tDevice* pDevice)
{
  if (pDevice == nullptr) {
    return nullptr;
  }
  for (RefHostDeviceSlot& slot : pHost->Devices) {
    if (slot.pDevice == pDevice) {
      return &slot;
    }
  }
  return nullptr;
}

ULONG RefHostDeviceCount(RefHost* pHost)
{
  ULONG n = 0;
  for (const RefHostDeviceSlot& slot : pHost->Devices) {
    n += slot.pDevice != nullptr;
  }
  return n;
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
  for (ULONG i = 0; i < REFHOST_MAX_DEVICES; ++i) {
    if (pHost->Devices[i].pDevice != nullptr) {
      continue;
    }
    RefHostListItem* pItem = ItemAt(pHost, i);
    BYTE* pData = reinterpret_cast<BYTE*>(pItem) + REFHOST_ITEM_HEADER_SIZE;
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
    pHost->Devices[i] = RefHostDeviceSlot{ pDevice, 0, 0, FALSE };
    DeviceListAppend(pHost, pItem);
    break;
  }
  // Locked before the list is let go: nobody can remove it unseen.
  if (pDevice != nullptr) {
    AcquireRemoveLock(ulUmdIndex, ulLockId, pDevice);
  }
  DeviceListLeave(pHost);
  return pDevice;
}

// Under csRemoval; the plug-in has let go of the record.
static void FreeDeviceRecord(RefHost* pHost, RefHostDeviceSlot* pSlot)
{
  if (!DeviceListEnter(pHost)) {
    return;   // left in the list rather than freed under a walker
  }
  RefHostListItem* pItem =
    reinterpret_cast<RefHostListItem*>(reinterpret_cast<BYTE*>(pSlot->pDevice) - REFHOST_ITEM_HEADER_SIZE);
  DeviceListUnlink(pHost, pItem);
  *pSlot = RefHostDeviceSlot{};
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
    FreeDeviceRecord(pHost, pSlot);
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
  tDevice* pFound = nullptr;
  for (RefHostDeviceSlot& slot : pHost->Devices) {
    tDevice* pDevice = slot.pDevice;
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

// Each device of the plug-in in turn, held under the plug-in's remove lock
// while the callback runs; the list mutex is not held across the callback.
static BOOL HostForEachDeviceOp(PFN_HOST_DEVICE_CALLBACK pfnCallback, ULONG_PTR second, ULONG_PTR argument,
                                ULONG ulUmdIndex)
{
  RefHost* pHost = &s_Host;
  if (pfnCallback == nullptr || ulUmdIndex >= UMD_MAX_INDEX) {
    return FALSE;
  }
  for (ULONG i = 0; i < REFHOST_MAX_DEVICES; ++i) {
    if (!DeviceListEnter(pHost)) {
      return FALSE;
    }
    tDevice* pDevice = pHost->Devices[i].pDevice;
    BOOL bHeld = pDevice != nullptr && (pDevice->ulUMDCreated & (1u << ulUmdIndex)) &&
                 AcquireRemoveLock(ulUmdIndex, LOCK_DeviceParseList, pDevice);
    DeviceListLeave(pHost);
    if (bHeld) {
      pfnCallback(pDevice, second, argument);
      ReleaseRemoveLock(ulUmdIndex, LOCK_DeviceParseList, pDevice);
    }
  }
  return TRUE;
}

static BOOL HostRemoveDevicesOp(PFN_HOST_DEVICE_FILTER pfnFilter, ULONG_PTR value, void* pContext, ULONG ulUmdIndex,
                                ULONG ulFlag)
{
  RefHost* pHost = &s_Host;
  if (ulUmdIndex >= UMD_MAX_INDEX) {
    return FALSE;
  }
  EnterCriticalSection(&pHost->csRemoval);   // records stay put while the filter looks at them
  for (RefHostDeviceSlot& slot : pHost->Devices) {
    tDevice* pDevice = slot.pDevice;
    if (pDevice == nullptr || !(pDevice->ulUMDCreated & (1u << ulUmdIndex))) {
      continue;
    }
    BOOL bRemove = pfnFilter == nullptr ? ulFlag == HOST_REMOVE_ALL_FLAG : pfnFilter(pDevice, value, pContext);
    if (bRemove) {
      RefHostRemoveDevice(pHost, pDevice, ulUmdIndex, FALSE, LOCK_DoNotAcquireLock);
    }
  }
  LeaveCriticalSection(&pHost->csRemoval);
  return TRUE;
}

// ---- Set-up --------------------------------------------------------------------------

BOOL RefHostInit(RefHost* pHost)
{
  memset(pHost, 0, sizeof *pHost);
  pHost->hSharedMapping =
    CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, REFHOST_SHARED_SIZE, nullptr);
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
  DeviceListInit(pHost);
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
    for (RefHostDeviceSlot& slot : pHost->Devices) {
      if (slot.pDevice == nullptr || !slot.bHostOpened) {
        continue;
      }
      for (ULONG idx = 0; idx < UMD_MAX_INDEX; ++idx) {
        UmdDevInfo* pDevInfo = RefHostDevInfo(slot.pDevice, idx);
        if (pDevInfo != nullptr && pDevInfo->hHandle != nullptr && pDevInfo->hHandle != INVALID_HANDLE_VALUE) {
          CloseHandle(pDevInfo->hHandle);
          pDevInfo->hHandle = nullptr;
        }
      }
    }
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
