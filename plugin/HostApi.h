// The host's interface record: three record pointers followed by the host's
// operations, each reached here through one typed accessor.
#pragma once
#include <windows.h>
#include <cstddef>

struct tDevice;
struct tModelInfo;

// ---- Host records (layouts are the host's; these fields are relied on) -----
struct tShareHeader {
  LONG lSize;       // region size in bytes
  ULONG ulPosTag;   // position tag counter
};

struct tMainShare {
  tShareHeader shareHeader;
  DWORD dwDebugLevel;        // trace level while bound to the host
  DWORD dwModuleCategory;    // trace module category while bound
  BYTE Reserved[24];
  BYTE DeviceList[56];       // the host's device list record (position-addressed list)
};
static_assert(offsetof(tMainShare, DeviceList) == 40, "device list at offset 40 of the main region");

struct tGbl {
  HANDLE hDeviceListMutex;   // guards the host's device list (critical region)
};

// Session flags of the main record.
constexpr ULONG HOST_SESSION_NO_RESUME_ENUM = 0x1;  // resume does not enumerate
constexpr ULONG HOST_SESSION_NOT_RUNNING = 0x2;     // enumeration skipped

struct tMain {
  ULONG_PTR Reserved0;
  ULONG_PTR Reserved1;
  HINSTANCE hInstance;            // word 2: the message window's module instance
  ULONG ulSessionFlags;
  BOOL bNoHandleNotifications;    // turns off handle notifications
  void* pHWEventList;             // first hardware-event record
  HANDLE hHWEventListMutex;       // guards the hardware-event list
  HANDLE hInUseEvent;             // handed to the driver for driver type 2
  HANDLE hInstallWaitCancelEvent; // cancels the pending-installation wait
};

// ---- Hardware-event records (the host's, in its shared region) ---------------
// Two-counter remove lock (device records carry one per plug-in; a
// hardware-event record carries one of its own).
struct tRemoveLock {
  volatile LONG lLock;     // current holders
  volatile LONG lRemove;   // removal requests made
};

// A software event hanging on a hardware event.
constexpr ULONG SW_EVENT_MODE_FLAG = 0x10;
struct tSWEvent {
  ULONG ulFlags;
  tSWEvent* pNext;
};
struct tSWEventList {
  ULONG ulCount;           // 0: IsEmpty()
  tSWEvent* pFirst;
};

struct tHWEvent {
  tHWEvent* pNext;               // next record of the host's list
  ULONG DUID;                    // the device the event belongs to
  ULONG ulReserved;
  ULONG64 DeviceKey;             // equals the device record's device key
  ULONG ulEventType;
  ULONG EventUMDFlag;            // bit n: plug-in n serves the event
  tSWEventList* pSWEventList;
  HANDLE hEventListMutex;        // guards pSWEventList
  tRemoveLock RemoveLock;        // guards the record itself
};

// ---- Operations ---------------------------------------------------------------
typedef BOOL (*PFN_HOST_DEVICE_CALLBACK)(tDevice* pDevice, ULONG_PTR second, ULONG_PTR argument);
typedef BOOL (*PFN_HOST_DEVICE_FILTER)(tDevice* pDevice, ULONG_PTR value, void* pContext);
typedef BOOL (*PFN_HOST_MODEL_COMPARE)(const tModelInfo* pModel, ULONG ulKeySize, const void* pKey);

typedef tDevice* (*PFN_HOST_CREATE_DEVICE)(ULONG ulLockId, ULONG ulDeviceType, ULONG ulUmdIndex,
                                           DWORD diDeviceNode, ULONG ulDeviceIndex, ULONG ulValue2,
                                           ULONG ulDevInfoSize);
typedef tDevice* (*PFN_HOST_GET_DEVICE)(ULONG ulUmdIndex, ULONG ulLockId, ULONG ulDuid);
typedef void (*PFN_HOST_MODEL_DEVICE)(ULONG ulUmdIndex, tDevice* pDevice, const tModelInfo* pModel);
typedef BOOL (*PFN_HOST_ANNOUNCE)(tDevice* pDevice, ULONG ulZero, ULONG ulUmdIndex,
                                  const ULONG* pFunctions, const ULONG* pEvents);
typedef BOOL (*PFN_HOST_REMOVE_DEVICE)(ULONG ulLockId, ULONG ulUmdIndex, tDevice* pDevice, ULONG ulZero);
typedef void (*PFN_HOST_REPORT_HW_EVENT)(tDevice* pDevice, void* pHWEvent, ULONG_PTR value,
                                         ULONG_PTR zero1, ULONG_PTR zero2);
typedef ULONG (*PFN_HOST_DEVICE_CAPABILITY)(tDevice* pDevice, ULONG ulSelector, void* pNull);
typedef BOOL (*PFN_HOST_FOR_EACH_DEVICE)(PFN_HOST_DEVICE_CALLBACK pfn, ULONG_PTR second,
                                         ULONG_PTR argument, ULONG ulUmdIndex);
typedef BOOL (*PFN_HOST_REMOVE_DEVICES)(PFN_HOST_DEVICE_FILTER pfnFilter, ULONG_PTR value,
                                        void* pContext, ULONG ulUmdIndex, ULONG ulFlag);
typedef const tModelInfo* (*PFN_HOST_FIND_MODEL)(ULONG ulZero, PFN_HOST_MODEL_COMPARE pfn,
                                                 ULONG ulKeySize, const void* pKey);
typedef void (*PFN_HOST_REPORT_EVENT)(ULONG ulEvent, ULONG_PTR value, ULONG_PTR zero);
typedef void (*PFN_HOST_END_OF_ENUMERATION)();
typedef ULONG (*PFN_HOST_PARENT_NODE)(DWORD* pParent, DWORD diChild, ULONG ulFlags);
typedef ULONG (*PFN_HOST_WAIT_NO_PENDING_INSTALL)(ULONG ulTimeoutMs);

// Word numbers of the interface record.
enum HostWord : size_t {
  HOST_MAIN_SHARE = 0,
  HOST_GBL = 1,
  HOST_MAIN = 2,
  HOST_CREATE_DEVICE = 3,
  HOST_GET_DEVICE = 4,
  HOST_MODEL_DEVICE = 6,
  HOST_ANNOUNCE = 9,
  HOST_REMOVE_DEVICE = 10,
  HOST_REPORT_HW_EVENT = 11,
  HOST_DEVICE_CAPABILITY = 14,
  HOST_FOR_EACH_DEVICE = 16,
  HOST_REMOVE_DEVICES = 17,
  HOST_FIND_MODEL = 19,
  HOST_REPORT_EVENT = 20,
  HOST_END_OF_ENUMERATION = 21,
  HOST_PARENT_NODE = 44,
  HOST_DEVICE_TREE_45 = 45,
  HOST_DEVICE_TREE_46 = 46,
  HOST_WAIT_NO_PENDING_INSTALL = 48,
  HOST_WORD_COUNT = 49,
};

// Values given to or read from host operations.
constexpr ULONG HOST_CREATE_VALUE = 2;            // third-from-last argument of create
constexpr ULONG HOST_CAPABILITY_WHEEL = 11;       // selector of the wheel capability value
constexpr ULONG HOST_REMOVE_ALL_FLAG = 1;

typedef ULONG_PTR* PDEVMGRAPI;

template <typename Fn>
inline Fn HostOperation(const ULONG_PTR* pDevMgrApi, HostWord word)
{
  return pDevMgrApi == nullptr ? nullptr : reinterpret_cast<Fn>(pDevMgrApi[word]);
}

inline tMainShare* HostMainShare(const ULONG_PTR* p) { return p ? reinterpret_cast<tMainShare*>(p[HOST_MAIN_SHARE]) : nullptr; }
inline tGbl* HostGbl(const ULONG_PTR* p) { return p ? reinterpret_cast<tGbl*>(p[HOST_GBL]) : nullptr; }
inline tMain* HostMain(const ULONG_PTR* p) { return p ? reinterpret_cast<tMain*>(p[HOST_MAIN]) : nullptr; }

// Capability value of selector 11.
constexpr ULONG HOST_CAP_WHEEL_RESOLUTION_SHIFT = 16;
constexpr ULONG HOST_CAP_WHEEL_RESOLUTION_MASK = 0xFF;
constexpr ULONG HOST_CAP_SNAP_STOP_SIGNAL = 0x100;

// Typed calls. A missing operation is answered with the neutral result.
inline ULONG HostDeviceCapability(const ULONG_PTR* api, tDevice* pDevice)
{
  auto pfn = HostOperation<PFN_HOST_DEVICE_CAPABILITY>(api, HOST_DEVICE_CAPABILITY);
  return pfn ? pfn(pDevice, HOST_CAPABILITY_WHEEL, nullptr) : 0;
}
inline BOOL HostForEachDevice(const ULONG_PTR* api, PFN_HOST_DEVICE_CALLBACK pfnCallback, ULONG_PTR second,
                              ULONG_PTR argument, ULONG ulUmdIndex)
{
  auto pfn = HostOperation<PFN_HOST_FOR_EACH_DEVICE>(api, HOST_FOR_EACH_DEVICE);
  return pfn ? pfn(pfnCallback, second, argument, ulUmdIndex) : FALSE;
}
inline BOOL HostRemoveDevices(const ULONG_PTR* api, PFN_HOST_DEVICE_FILTER pfnFilter, ULONG_PTR value,
                              void* pContext, ULONG ulUmdIndex, ULONG ulFlag)
{
  auto pfn = HostOperation<PFN_HOST_REMOVE_DEVICES>(api, HOST_REMOVE_DEVICES);
  return pfn ? pfn(pfnFilter, value, pContext, ulUmdIndex, ulFlag) : FALSE;
}
inline tDevice* HostGetDevice(const ULONG_PTR* api, ULONG ulUmdIndex, ULONG ulLockId, ULONG ulDuid)
{
  auto pfn = HostOperation<PFN_HOST_GET_DEVICE>(api, HOST_GET_DEVICE);
  return pfn ? pfn(ulUmdIndex, ulLockId, ulDuid) : nullptr;
}
inline const tModelInfo* HostFindModel(const ULONG_PTR* api, PFN_HOST_MODEL_COMPARE pfnCompare,
                                       ULONG ulKeySize, const void* pKey)
{
  auto pfn = HostOperation<PFN_HOST_FIND_MODEL>(api, HOST_FIND_MODEL);
  return pfn ? pfn(0, pfnCompare, ulKeySize, pKey) : nullptr;
}

// ---- Device start, events and enumeration reports -------------------------------
inline void HostModelDevice(const ULONG_PTR* api, ULONG ulUmdIndex, tDevice* pDevice, const tModelInfo* pModel)
{
  auto pfn = HostOperation<PFN_HOST_MODEL_DEVICE>(api, HOST_MODEL_DEVICE);
  if (pfn) pfn(ulUmdIndex, pDevice, pModel);
}
inline BOOL HostAnnounce(const ULONG_PTR* api, tDevice* pDevice, ULONG ulUmdIndex, const ULONG* pFunctions,
                         const ULONG* pEvents)
{
  auto pfn = HostOperation<PFN_HOST_ANNOUNCE>(api, HOST_ANNOUNCE);
  return pfn ? pfn(pDevice, 0, ulUmdIndex, pFunctions, pEvents) : FALSE;
}
inline void HostReportHwEvent(const ULONG_PTR* api, tDevice* pDevice, void* pHWEvent, ULONG_PTR value)
{
  auto pfn = HostOperation<PFN_HOST_REPORT_HW_EVENT>(api, HOST_REPORT_HW_EVENT);
  if (pfn) pfn(pDevice, pHWEvent, value, 0, 0);
}
inline void HostReportEvent(const ULONG_PTR* api, ULONG ulEvent, ULONG_PTR value)
{
  auto pfn = HostOperation<PFN_HOST_REPORT_EVENT>(api, HOST_REPORT_EVENT);
  if (pfn) pfn(ulEvent, value, 0);
}
inline void HostEndOfEnumeration(const ULONG_PTR* api)
{
  auto pfn = HostOperation<PFN_HOST_END_OF_ENUMERATION>(api, HOST_END_OF_ENUMERATION);
  if (pfn) pfn();
}
inline tDevice* HostCreateDevice(const ULONG_PTR* api, ULONG ulLockId, ULONG ulDeviceType, ULONG ulUmdIndex,
                                DWORD diDeviceNode, ULONG ulDeviceIndex, ULONG ulValue2, ULONG ulDevInfoSize)
{
  auto pfn = HostOperation<PFN_HOST_CREATE_DEVICE>(api, HOST_CREATE_DEVICE);
  return pfn ? pfn(ulLockId, ulDeviceType, ulUmdIndex, diDeviceNode, ulDeviceIndex, ulValue2, ulDevInfoSize) : nullptr;
}
inline BOOL HostRemoveDevice(const ULONG_PTR* api, ULONG ulLockId, ULONG ulUmdIndex, tDevice* pDevice)
{
  auto pfn = HostOperation<PFN_HOST_REMOVE_DEVICE>(api, HOST_REMOVE_DEVICE);
  return pfn ? pfn(ulLockId, ulUmdIndex, pDevice, 0) : FALSE;
}
