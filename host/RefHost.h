// Reference host: loads the plug-in by ordinal and honours the host interface.
#pragma once
#include <windows.h>

#include "framework/UmdRecords.h"
#include "list/ListMgr.h"
#include "plugin/HostApi.h"

typedef ULONG (*PFN_MOU_CONTROL)(ULONG ulCommand, void* pData, ULONG ulValue, ULONG_PTR pValue);
typedef ULONG (*PFN_MOU_DEVICE_CLEANUP)(tDevice* pDevice, ULONG ulValue, ULONG_PTR pValue);
typedef LD_STATUS (*PFN_MOU_DEVICE_CONTROL)(tDevice* pDevice, ULONG ulFunction, void* pBuffer, ULONG* pReturnedSize,
                                            ULONG ulMode);
typedef BOOL (*PFN_MOU_EVALUATE_EVENT)(tDevice* pDevice, void* pNewEvent, void* pHWEvent, ULONG_PTR reserved);
typedef ULONG (*PFN_MOU_MAIN_EXIT)(ULONG ulValue, ULONG_PTR pValue);
typedef ULONG (*PFN_MOU_MAIN_INIT)(PDEVMGRAPI pDevMgrApi, ULONG ulValue, ULONG_PTR pValue);
typedef LD_STATUS (*PFN_MOU_REGISTER_EVENT)(tDevice* pDevice, void* pHWEvent, ULONG ulContext);

// The plug-in's exports, taken by ordinal.
struct RefHostPlugin {
  HMODULE hModule;
  PFN_MOU_CONTROL MouControl;                          // @1
  PFN_MOU_DEVICE_CLEANUP MouDeviceCleanup;             // @2
  PFN_MOU_DEVICE_CONTROL MouDeviceControl;             // @3
  PFN_MOU_EVALUATE_EVENT MouEvaluateEventCompatibility; // @4
  PFN_MOU_MAIN_EXIT MouMainExit;                       // @5
  PFN_MOU_MAIN_INIT MouMainInit;                       // @6
  PFN_MOU_REGISTER_EVENT MouRegisterEvent;             // @7
  PFN_MOU_REGISTER_EVENT MouUnregisterEvent;           // @8
};

// Loads the DLL and resolves all eight ordinals; FALSE if any is missing.
BOOL RefHostLoadPlugin(RefHostPlugin* pPlugin, const char* sDllPath);
void RefHostUnloadPlugin(RefHostPlugin* pPlugin);

constexpr ULONG REFHOST_SHARED_SIZE = 0x40000;

// Device records live in the shared region as items of the host's device list
// (a position-addressed list whose record is at offset 40 of the region): the
// item header, then the zero-filled device record, the per-device block of the
// plug-in, and at the item's end the host's own notes on the device.
constexpr ULONG REFHOST_MAX_DEVICES = 32;
constexpr ULONG REFHOST_LIST_STORAGE_OFFSET = 0x1000;
constexpr ULONG REFHOST_ITEM_HEADER_SIZE = LIST_ITEM_HEADER_SIZE;
constexpr ULONG REFHOST_ITEM_SIZE = 0x800;
constexpr ULONG REFHOST_ITEM_DATA_SIZE = REFHOST_ITEM_SIZE - REFHOST_ITEM_HEADER_SIZE;
constexpr ULONG REFHOST_DEVINFO_OFFSET = (sizeof(tDevice) + 15) & ~15u;   // within the item's data

// The host's notes on one device, kept in its list item.
struct RefHostDeviceSlot {
  ULONG ulCapability;      // answer of the capability query (selector 11)
  ULONG ulSimDevice;       // simulated driver device behind it, 0 if none
  BOOL bHostOpened;        // the host opened the handle in the plug-in's block
};
constexpr ULONG REFHOST_SLOT_OFFSET = (REFHOST_ITEM_DATA_SIZE - sizeof(RefHostDeviceSlot)) & ~15u;
constexpr ULONG REFHOST_DEVINFO_CAPACITY = REFHOST_SLOT_OFFSET - REFHOST_DEVINFO_OFFSET;
static_assert(REFHOST_DEVINFO_CAPACITY >= MOU_DEVINFO_SIZE, "the mouse plug-in's block fits an item");
static_assert(REFHOST_LIST_STORAGE_OFFSET + REFHOST_MAX_DEVICES * REFHOST_ITEM_SIZE <= REFHOST_SHARED_SIZE,
              "device list storage fits the region");
static_assert(REFHOST_SHARED_SIZE <= POS_OFFSET_MASK + 1, "every place in the region has a position");

// Lock identifiers the host names itself with.
constexpr ULONG REFHOST_LOCK_CREATE = 79;    // the create operation's lock, as discovery asks for it
constexpr ULONG REFHOST_LOCK_REMOVE = 106;   // the remove operation's lock

// The host's own state; one host per process, since the operations it hands
// the plug-in carry no context.
struct RefHost {
  ULONG_PTR Api[HOST_WORD_COUNT];   // the interface record
  char sSharedName[64];             // name of the region's file mapping
  HANDLE hSharedMapping;
  tMainShare* pMainShare;           // start of the shared region
  tGbl Gbl;
  tMain Main;
  // The bound plug-in's exports that the host calls back (device control
  // wrapper and device removal); either copy of the plug-in code.
  PFN_MOU_DEVICE_CONTROL pfnDeviceControl;
  PFN_MOU_DEVICE_CLEANUP pfnDeviceCleanup;
  ULONG ulNextDuid;
  CRITICAL_SECTION csRemoval;       // one removal at a time
};

RefHost* RefHostGet();
// Builds the interface record, the shared region and the host records.
BOOL RefHostInit(RefHost* pHost);
void RefHostShutdown(RefHost* pHost);

// Remembers the plug-in's callbacks and binds it (MouMainInit with the host's
// interface record); returns MouMainInit's result.
ULONG RefHostBindPlugin(RefHost* pHost, const RefHostPlugin* pPlugin);

// The create operation (word 3): a zero-filled record with the plug-in's block,
// returned with the plug-in's remove lock held under ulLockId; null when full.
tDevice* RefHostCreateDevice(RefHost* pHost, ULONG ulLockId, ULONG ulDeviceType, ULONG ulUmdIndex,
                             DWORD diDeviceNode, ULONG ulDeviceIndex, ULONG ulValue2, ULONG ulDevInfoSize);
// Stands in for discovery: adds a simulated driver device under sPath, creates
// a host device for plug-in ulUmdIndex, opens the path and fills the plug-in's
// UmdDevInfo (sPath, hHandle). The creation lock is released again. Null on failure.
tDevice* RefHostAddSimDevice(RefHost* pHost, const char* sPath, ULONG ulDeviceType = LD_DEVICETYPE_MOUSE,
                             ULONG ulUmdIndex = UMD_MOUFILT, ULONG ulDevInfoSize = MOU_DEVINFO_SIZE);
// Host removal of plug-in ulUmdIndex from a device: marks its remove lock,
// waits for holders (releasing the caller's own hold first when
// bReleaseRemoveLock), lets the plug-in clean up, and frees the record once no
// plug-in holds it. FALSE when somebody else is already removing it.
BOOL RefHostRemoveDevice(RefHost* pHost, tDevice* pDevice, ULONG ulUmdIndex, BOOL bReleaseRemoveLock,
                         ULONG ulLockId);

// The device list in the region; walked only under Gbl.hDeviceListMutex.
tList* RefHostDeviceList(RefHost* pHost);
// The host's notes on a device of its list; null for anything else.
RefHostDeviceSlot* RefHostFindSlot(RefHost* pHost, const tDevice* pDevice);
ULONG RefHostDeviceCount(RefHost* pHost);
// The first device of the list, in list order, for which pfnMatch is TRUE (the
// list's mutex is held while pfnMatch runs); null if none.
typedef BOOL (*PFN_REFHOST_DEVICE_MATCH)(tDevice* pDevice, const void* pContext);
tDevice* RefHostFindDevice(RefHost* pHost, PFN_REFHOST_DEVICE_MATCH pfnMatch, const void* pContext);
// The device of the list whose plug-in block holds this interface path (paths
// compared without case, as the system does); null if none.
tDevice* RefHostFindDeviceByPath(RefHost* pHost, const char* sPath, ULONG ulUmdIndex = UMD_MOUFILT);
ULONG RefHostSimDeviceOf(RefHost* pHost, const tDevice* pDevice);
void RefHostSetDeviceCapability(RefHost* pHost, tDevice* pDevice, ULONG ulCapability);
UmdDevInfo* RefHostDevInfo(const tDevice* pDevice, ULONG ulUmdIndex = UMD_MOUFILT);

// The host's way of calling MouDeviceControl: the device's remove lock for
// UMD_MOUFILT is held (LOCK_MainDeviceIoControlThread) across the call. A
// device whose removal is pending is answered LD_DEVICE_REMOVAL without a call.
LD_STATUS RefHostDeviceControl(RefHost* pHost, tDevice* pDevice, ULONG ulFunction, void* pBuffer,
                               ULONG* pReturnedSize, ULONG ulMode = 0);
