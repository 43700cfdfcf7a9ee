// Framework instance record, per-device framework record and the fields of the
// host's device record that the framework relies on.
#pragma once
#include <windows.h>
#include <cstddef>

#include "plugin/HostApi.h"
#include "plugin/LdCodes.h"
#include "system/WndWorkItem.h"

constexpr ULONG UMD_MAX_INSTANCES = 9;
constexpr ULONG LD_DEVICE_LOCK = 13;   // the device's own remove lock
constexpr ULONG LD_ALL_UMDS = 14;      // entries 0 to 12
constexpr ULONG UMD_LOCK_COUNT = 14;

// tRemoveLock: plugin/HostApi.h

constexpr ULONG CURVE_COUNT = 6;
constexpr ULONG CURVE_MAX_BYTES = 128;
constexpr ULONG CURVE_MAX_POINTS = CURVE_MAX_BYTES / 4;

struct tAccelCurveSlot {
  ULONG ulCurveSize;                 // bytes held, 0 = empty
  BYTE CurveData[CURVE_MAX_BYTES];
};

constexpr size_t DEVICE_NAME_SIZE = 64;

// Host device record. The host creates it zero-filled in its shared memory.
struct tDevice {
  ULONG DUID;
  ULONG ulDuidHigh;                  // rest of the leading 64-bit word
  ULONG64 DeviceKey;                 // equals the device key of its hardware events
  ULONG UMDPresent[UMD_MAX_INDEX];
  BOOL bStarted;
  ULONG ulDeviceType;
  char sPersistentName[DEVICE_NAME_SIZE];
  char sDeviceName[DEVICE_NAME_SIZE];
  ULONG ulUMDCreated;                // bit n: plug-in n created the device
  void* pUMDinfo[UMD_MAX_INDEX];     // each plug-in's per-device block
  tRemoveLock RemoveLock[UMD_LOCK_COUNT];
  tAccelCurveSlot AccelCurves[CURVE_COUNT];   // slot i holds curve i + 1
};
static_assert(offsetof(tDevice, DeviceKey) == 8, "device key follows the DUID word");

// Per-device framework record, at the head of the plug-in's per-device block.
struct UmdDevInfo {
  CHAR sPath[MAX_PATH];
  HANDLE hHandle;
  HANDLE hEventThread;
  HANDLE hEventThreadStopEvent;
  DWORD diDeviceNode;
  PVOID hHandleNotification;
  BOOL bVirtual;
  ULONG ulProductID;
  ULONG ulVendorID;
  ULONG ulVersion;
  BYTE ucInterface;
  BOOL bSingleInterface;
};

constexpr ULONG MOU_DEVINFO_SIZE = 352;   // the plug-in's per-device block
static_assert(sizeof(UmdDevInfo) <= MOU_DEVINFO_SIZE, "framework record fits the per-device block");

typedef BOOL (*PFN_UMD_DEVICE_INIT)(tDevice* pDevice, ULONG ulZero, const tModelInfo* pModel);
typedef BOOL (*PFN_UMD_DEVICE_START)(tDevice* pDevice);
typedef UmdDevInfo* (*PFN_UMD_GET_DEVINFO)(tDevice* pDevice);
typedef BOOL (*PFN_UMD_PROCESS_EVENT)(tDevice* pDevice, const void* pBuffer, ULONG ulBytes);

// Owners of the device-change queue.
enum : LONG { DCPA_IDLE = 0, DCPA_ACTIVE = 1, DCPA_CONTINUE = 2 };

struct UmdListEntry {
  UmdListEntry* pNext;
  UmdListEntry* pPrev;
};

// The instance's work-item thread and queue; the instance record is the
// queue's region base (its first two words: size and position tag counter).
typedef tWorkItemList UmdWorkItemList;

struct UmdGlobal {
  ULONG ulSize;
  ULONG ulReserved;
  BOOLEAN bInUse;
  PDEVMGRAPI pDevMgrApi;
  HWND hWnd;
  GUID InterfaceGuid;
  HANDLE hDeviceChangeNotification;
  ULONG ulUmdIndex;
  ULONG ulDefaultDeviceType;
  CHAR sName[5];
  ULONG ulDevInfoSize;
  UmdListEntry DeviceChangeQueue;
  CRITICAL_SECTION csDeviceChangeQueue;
  volatile LONG DeviceChangeProcessingActive;
  UmdWorkItemList WorkItemList;
  PFN_UMD_DEVICE_INIT pUmdCallbackDeviceInit;
  PFN_UMD_DEVICE_START pUmdCallbackDeviceStart;
  PFN_UMD_GET_DEVINFO pUmdCallbackGetDevInfo;
  PFN_UMD_PROCESS_EVENT pUmdCallbackProcessEvent;
};

// The per-device framework record of this plug-in, or null.
inline UmdDevInfo* UmdGetDevInfo(const UmdGlobal* pUmdGlobal, tDevice* pDevice)
{
  if (pUmdGlobal == nullptr || pDevice == nullptr || pUmdGlobal->pUmdCallbackGetDevInfo == nullptr) {
    return nullptr;
  }
  return pUmdGlobal->pUmdCallbackGetDevInfo(pDevice);
}
