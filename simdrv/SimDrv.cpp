// Simulated kernel mouse filter driver. Handles are real kernel objects (an
// unnamed event per open), so that the plug-in's CloseHandle works on them; a
// handle value maps to its device for as long as the object behind it lives.
// Requests answer at once, later (from a worker thread), never, or fail, per
// device. Everything is guarded by one critical section. Device lists and
// notification registrations stand in for the Setup API and user32; the
// broadcasts are sent outside the lock, since window procedures call back in.
#define SIMDRV_BUILD
#include "simdrv/SimDrv.h"
#include "simdrv/DrvAnswers.h"

#include <dbt.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

constexpr DWORD IOCTL_EVENT_READ = DRV_IOCTL_EVENT_READ;
constexpr ULONG MAX_PACKET_BYTES = 256;
constexpr ULONG LOG_CAPACITY = 4096;
constexpr DWORD LIVENESS_POLL_MS = 50;
// A cancelled request ends a little after CancelIo returns, as with a kernel
// driver, so callers must wait for it.
constexpr DWORD CANCEL_COMPLETION_MS = 20;

// Overlapped status words: NT's STATUS_PENDING while open, else 0 or a
// Win32 error tagged with the customer bits.
constexpr ULONG_PTR SIM_STATUS_PENDING = 0x103;
ULONG_PTR SimStatus(DWORD dwError) { return dwError == 0 ? 0 : (0xE0000000u | dwError); }
DWORD SimErrorOf(ULONG_PTR status) { return status == 0 ? 0 : static_cast<DWORD>(status & 0xFFFF); }

// The filter driver's raw interface class and the mouse setup class.
constexpr GUID kRawInterfaceClass = { 0x5A486531, 0x0201, 0x43E0, { 0xBD, 0x81, 0xD5, 0x44, 0xBB, 0x08, 0xD0, 0xDC } };
constexpr GUID kMouseSetupClass = { 0x4D36E96F, 0xE325, 0x11CE, { 0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18 } };
constexpr DWORD DEFAULT_NODE_BASE = 0x1000;

struct Device {
  ULONG ulId;
  std::string sPath;
  std::string sInstanceId;
  DWORD diNode = 0;
  std::vector<DWORD> Parents;   // nearest first
  GUID InterfaceClass = kRawInterfaceClass;
  GUID SetupClass = kMouseSetupClass;
  ULONG ulDetailFault = SIMDRV_DETAIL_READABLE;
  bool bPresent = true;
  ULONG ulMode = SIMDRV_COMPLETE_AT_ONCE;
  DWORD dwError = 0;
  DWORD dwDelayMs = 0;
  DrvParamStore Store;
  std::deque<std::vector<BYTE>> Events;
};

struct OpenHandle {
  HANDLE hHandle;     // the value the caller holds
  HANDLE hIdentity;   // our duplicate: tells a live handle from a reused value
  ULONG ulDevice;
};

struct Pending {
  OVERLAPPED* pOverlapped;
  HANDLE hEvent;
  HANDLE hHandle;
  ULONG ulDevice;
  DWORD dwThreadId;
  DWORD dwIoctl;
  std::vector<BYTE> In;
  BYTE* pOut;
  ULONG ulOutSize;
  ULONG64 ullLogSeq;
  bool bTimed;          // completes at ullDue
  ULONG64 ullDue;
  bool bHeld;           // never answered, only cancelled
  bool bIgnoresCancel;  // not even cancelled
  bool bCancelled;      // ends with ERROR_OPERATION_ABORTED when due
};

CRITICAL_SECTION g_cs;
std::vector<Device> g_Devices;   // id = index + 1
std::vector<OpenHandle> g_Handles;
std::vector<Pending> g_Pending;   // oldest first
std::vector<SimDrvRequest> g_Log;
ULONG64 g_ullLogNext = 0;   // sequence number of the next request
ULONG64 g_ullLogBase = 0;   // sequence number of index 0
HANDLE g_hWake = nullptr;
HANDLE g_hWorker = nullptr;

// A device list of the Setup API: a snapshot of the matching devices.
struct ListItem {
  ULONG ulDevice;
  DWORD diNode;
  std::string sPath;
  std::string sInstanceId;
  GUID InterfaceClass;
  GUID SetupClass;
  ULONG ulDetailFault;
};
struct DeviceList {
  std::vector<ListItem> Items;
};
std::vector<DeviceList*> g_Lists;
ULONG g_ulFailClassDevs = 0;

struct Registration {
  ULONG_PTR ulValue;    // the HDEVNOTIFY handed out
  HWND hWnd;
  bool bHandle;         // handle registration, else interface class
  bool bAllClasses;
  GUID Class;
  HANDLE hHandle;
  ULONG ulDevice;       // device of the handle when registered
  std::vector<BYTE> Filter;
};
std::vector<Registration> g_Registrations;
ULONG_PTR g_ulNextNotify = 0x4E0001;   // never reused, even across resets

typedef BOOL(WINAPI* PFN_COMPARE_OBJECT_HANDLES)(HANDLE, HANDLE);
PFN_COMPARE_OBJECT_HANDLES g_pfnCompareObjectHandles = nullptr;

struct Lock {
  Lock() { EnterCriticalSection(&g_cs); }
  ~Lock() { LeaveCriticalSection(&g_cs); }
};

Device* FindDevice(ULONG ulDevice)
{
  if (ulDevice == 0 || ulDevice > g_Devices.size()) {
    return nullptr;
  }
  return &g_Devices[ulDevice - 1];
}

// ---- Request log ----------------------------------------------------------------

ULONG64 LogAdd(ULONG ulDevice, DWORD dwIoctl, const void* pIn, DWORD dwInSize, DWORD dwOutSize)
{
  if (g_Log.empty()) {
    g_Log.resize(LOG_CAPACITY);
  }
  ULONG64 ullSeq = g_ullLogNext++;
  SimDrvRequest& r = g_Log[ullSeq % LOG_CAPACITY];
  memset(&r, 0, sizeof r);
  r.ulDevice = ulDevice;
  r.dwIoctl = dwIoctl;
  r.ulInSize = dwInSize;
  if (pIn != nullptr) {
    memcpy(r.In, pIn, dwInSize < SIMDRV_MAX_LOGGED_INPUT ? dwInSize : SIMDRV_MAX_LOGGED_INPUT);
  }
  r.ulOutSize = dwOutSize;
  r.dwThreadId = GetCurrentThreadId();
  r.dwResult = ERROR_IO_PENDING;
  return ullSeq;
}

void LogResult(ULONG64 ullSeq, DWORD dwResult)
{
  if (ullSeq >= g_ullLogBase && g_ullLogNext - ullSeq <= LOG_CAPACITY) {
    g_Log[ullSeq % LOG_CAPACITY].dwResult = dwResult;
  }
}

// ---- Handles ----------------------------------------------------------------------

bool HandleAlive(const OpenHandle& entry)
{
  DWORD dwFlags;
  if (!GetHandleInformation(entry.hHandle, &dwFlags)) {
    return false;
  }
  return g_pfnCompareObjectHandles == nullptr || g_pfnCompareObjectHandles(entry.hHandle, entry.hIdentity);
}

void CompletePending(size_t i, DWORD dwError, ULONG ulReturned);

// Closing a handle ends its requests, as the kernel's clean-up would.
void DropHandle(size_t iHandle)
{
  HANDLE hHandle = g_Handles[iHandle].hHandle;
  for (size_t i = g_Pending.size(); i-- > 0;) {
    if (g_Pending[i].hHandle == hHandle) {
      CompletePending(i, ERROR_OPERATION_ABORTED, 0);
    }
  }
  CloseHandle(g_Handles[iHandle].hIdentity);
  g_Handles.erase(g_Handles.begin() + static_cast<ptrdiff_t>(iHandle));
}

// The live entry of a handle value, or -1 (a dead entry is dropped).
long FindLiveHandle(HANDLE hHandle)
{
  for (size_t i = 0; i < g_Handles.size(); ++i) {
    if (g_Handles[i].hHandle == hHandle) {
      if (HandleAlive(g_Handles[i])) {
        return static_cast<long>(i);
      }
      DropHandle(i);
      return -1;
    }
  }
  return -1;
}

// ---- Answers ----------------------------------------------------------------------

// Any request but the event read.
DWORD Answer(Device& device, DWORD dwIoctl, const BYTE* pIn, ULONG ulInSize, BYTE* pOut, ULONG ulOutSize,
             ULONG* pulReturned)
{
  uint32_t ulReturned = 0;
  const DrvResult result = DrvAnswer(&device.Store, dwIoctl, pIn, ulInSize, pOut, ulOutSize, &ulReturned);
  *pulReturned = ulReturned;
  switch (result) {
  case DRV_OK:
    return 0;
  case DRV_BAD_PARAMETER:
    return ERROR_INVALID_PARAMETER;
  case DRV_BUFFER_TOO_SMALL:
    return ERROR_INSUFFICIENT_BUFFER;
  default:
    return ERROR_INVALID_FUNCTION;
  }
}

// Hands the oldest packet to an event read; false when none is queued.
bool ServeEvent(Device& device, BYTE* pOut, ULONG ulOutSize, ULONG* pulReturned, DWORD* pdwError)
{
  if (device.Events.empty()) {
    return false;
  }
  const std::vector<BYTE>& packet = device.Events.front();
  *pulReturned = 0;
  if (ulOutSize < packet.size() || pOut == nullptr) {
    *pdwError = ERROR_INSUFFICIENT_BUFFER;
    return true;
  }
  memcpy(pOut, packet.data(), packet.size());
  *pulReturned = static_cast<ULONG>(packet.size());
  *pdwError = 0;
  device.Events.pop_front();
  return true;
}

// ---- Pending requests -------------------------------------------------------------

void CompletePending(size_t i, DWORD dwError, ULONG ulReturned)
{
  Pending& p = g_Pending[i];
  p.pOverlapped->InternalHigh = ulReturned;
  MemoryBarrier();
  p.pOverlapped->Internal = SimStatus(dwError);
  LogResult(p.ullLogSeq, dwError);
  if (p.hEvent != nullptr) {
    SetEvent(p.hEvent);
  }
  g_Pending.erase(g_Pending.begin() + static_cast<ptrdiff_t>(i));
}

// A timed request has come due (or an event read met its packet).
void FinishPending(size_t i)
{
  Pending& p = g_Pending[i];
  if (p.bCancelled) {
    CompletePending(i, ERROR_OPERATION_ABORTED, 0);
    return;
  }
  Device* pDevice = FindDevice(p.ulDevice);
  if (pDevice == nullptr || !pDevice->bPresent) {
    CompletePending(i, ERROR_DEVICE_NOT_CONNECTED, 0);
    return;
  }
  ULONG ulReturned = 0;
  DWORD dwError = 0;
  if (p.dwIoctl == IOCTL_EVENT_READ) {
    if (!ServeEvent(*pDevice, p.pOut, p.ulOutSize, &ulReturned, &dwError)) {
      p.bTimed = false;   // waits for a packet
      return;
    }
  } else {
    dwError = Answer(*pDevice, p.dwIoctl, p.In.data(), static_cast<ULONG>(p.In.size()), p.pOut, p.ulOutSize,
                     &ulReturned);
  }
  CompletePending(i, dwError, ulReturned);
}

DWORD WINAPI WorkerThread(void*)
{
  for (;;) {
    DWORD dwTimeout = INFINITE;
    {
      Lock lock;
      // Requests on handles that were closed meanwhile end as cancelled.
      for (size_t i = 0; i < g_Handles.size();) {
        bool bUsed = false;
        for (const Pending& p : g_Pending) {
          bUsed = bUsed || p.hHandle == g_Handles[i].hHandle;
        }
        if (bUsed && !HandleAlive(g_Handles[i])) {
          DropHandle(i);
        } else {
          ++i;
        }
      }
      ULONG64 ullNow = GetTickCount64();
      for (size_t i = 0; i < g_Pending.size();) {
        if (g_Pending[i].bTimed && g_Pending[i].ullDue <= ullNow) {
          size_t before = g_Pending.size();
          FinishPending(i);
          if (g_Pending.size() < before) {
            continue;   // completed and erased
          }
        }
        ++i;
      }
      for (const Pending& p : g_Pending) {
        if (p.bTimed) {
          ULONG64 ullWait = p.ullDue > ullNow ? p.ullDue - ullNow : 0;
          if (ullWait < dwTimeout) {
            dwTimeout = static_cast<DWORD>(ullWait);
          }
        }
      }
      if (!g_Pending.empty() && dwTimeout > LIVENESS_POLL_MS) {
        dwTimeout = LIVENESS_POLL_MS;
      }
    }
    WaitForSingleObject(g_hWake, dwTimeout);
  }
  return 0;
}

void WakeWorker()
{
  if (g_hWake == nullptr) {
    g_hWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  }
  if (g_hWorker == nullptr && g_hWake != nullptr) {
    g_hWorker = CreateThread(nullptr, 0, WorkerThread, nullptr, 0, nullptr);
  }
  if (g_hWake != nullptr) {
    SetEvent(g_hWake);
  }
}

// Completes a request on the caller's thread, as a synchronous answer.
BOOL CompleteAtOnce(OVERLAPPED* pOverlapped, ULONG64 ullSeq, DWORD dwError, ULONG ulReturned, DWORD* pdwReturned)
{
  LogResult(ullSeq, dwError);
  if (pdwReturned != nullptr) {
    *pdwReturned = ulReturned;
  }
  if (pOverlapped != nullptr) {
    pOverlapped->InternalHigh = ulReturned;
    pOverlapped->Internal = SimStatus(dwError);
    if (dwError == 0 && pOverlapped->hEvent != nullptr) {
      SetEvent(pOverlapped->hEvent);
    }
  }
  if (dwError != 0) {
    SetLastError(dwError);
    return FALSE;
  }
  SetLastError(0);
  return TRUE;
}

// ---- Devices, lists and registrations (under the lock) ------------------------------

ULONG Add(const SimDrvDeviceDesc* pDesc)
{
  if (pDesc == nullptr || pDesc->sPath == nullptr || pDesc->sPath[0] == '\0' ||
      pDesc->ulParentCount > SIMDRV_MAX_PARENTS) {
    return 0;
  }
  for (const Device& device : g_Devices) {
    if (device.bPresent && _stricmp(device.sPath.c_str(), pDesc->sPath) == 0) {
      return 0;   // one present device per path
    }
  }
  Device device;
  device.ulId = static_cast<ULONG>(g_Devices.size() + 1);
  device.sPath = pDesc->sPath;
  if (pDesc->sInstanceId != nullptr) {
    device.sInstanceId = pDesc->sInstanceId;
  } else {
    char sId[40];
    snprintf(sId, sizeof sId, "SIMDRV\\DEVICE\\%u", static_cast<unsigned>(device.ulId));
    device.sInstanceId = sId;
  }
  device.diNode = pDesc->diNode != 0 ? pDesc->diNode : DEFAULT_NODE_BASE + device.ulId;
  device.Parents.assign(pDesc->Parents, pDesc->Parents + pDesc->ulParentCount);
  if (pDesc->pInterfaceClass != nullptr) {
    device.InterfaceClass = *pDesc->pInterfaceClass;
  }
  if (pDesc->pSetupClass != nullptr) {
    device.SetupClass = *pDesc->pSetupClass;
  }
  DrvStoreInit(&device.Store);
  g_Devices.push_back(std::move(device));
  return g_Devices.back().ulId;
}

void Vanish(ULONG ulDevice)
{
  Device* pDevice = FindDevice(ulDevice);
  if (pDevice == nullptr) {
    return;
  }
  pDevice->bPresent = false;
  pDevice->Events.clear();
  for (size_t i = g_Pending.size(); i-- > 0;) {
    if (g_Pending[i].ulDevice == ulDevice) {
      CompletePending(i, ERROR_DEVICE_NOT_CONNECTED, 0);
    }
  }
}

ULONG CountOpenHandles(ULONG ulDevice)
{
  ULONG ulCount = 0;
  for (size_t i = g_Handles.size(); i-- > 0;) {
    if (!HandleAlive(g_Handles[i])) {
      DropHandle(i);
    } else if (ulDevice == 0 || g_Handles[i].ulDevice == ulDevice) {
      ++ulCount;
    }
  }
  return ulCount;
}

DeviceList* FindList(HDEVINFO hDevInfo)
{
  for (DeviceList* pList : g_Lists) {
    if (reinterpret_cast<HDEVINFO>(pList) == hDevInfo) {
      return pList;
    }
  }
  return nullptr;
}

// The item a device or interface record names (Reserved = index + 1).
const ListItem* ItemOf(const DeviceList& list, ULONG_PTR reserved)
{
  return reserved >= 1 && reserved <= list.Items.size() ? &list.Items[reserved - 1] : nullptr;
}

BOOL Fail(DWORD dwError)
{
  SetLastError(dwError);
  return FALSE;
}

BOOL Succeed()
{
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

void FillDevInfo(const DeviceList& list, const ListItem& item, SP_DEVINFO_DATA* pData)
{
  pData->ClassGuid = item.SetupClass;
  pData->DevInst = item.diNode;
  pData->Reserved = static_cast<ULONG_PTR>(&item - list.Items.data()) + 1;
}

bool ValidDevInfo(const DeviceList& list, const SP_DEVINFO_DATA* pData)
{
  return pData != nullptr && pData->cbSize == sizeof(SP_DEVINFO_DATA) && ItemOf(list, pData->Reserved) != nullptr;
}

Registration* FindRegistration(ULONG_PTR ulValue)
{
  for (Registration& r : g_Registrations) {
    if (r.ulValue == ulValue) {
      return &r;
    }
  }
  return nullptr;
}

// ---- Broadcasts (sent outside the lock) ------------------------------------------------

struct Recipient {
  ULONG_PTR ulNotify;
  HWND hWnd;
  HANDLE hHandle;
};

// Registrations for a handle of the device, or for its interface class.
std::vector<Recipient> Recipients(const Device& device, bool bHandles)
{
  std::vector<Recipient> out;
  for (const Registration& r : g_Registrations) {
    bool bMatch = bHandles ? r.bHandle && r.ulDevice == device.ulId
                           : !r.bHandle && (r.bAllClasses || IsEqualGUID(r.Class, device.InterfaceClass));
    if (bMatch) {
      out.push_back(Recipient{ r.ulValue, r.hWnd, r.hHandle });
    }
  }
  return out;
}

// A registration withdrawn by an earlier recipient is not served any more.
bool StillRegistered(const Recipient& recipient)
{
  Lock lock;
  return FindRegistration(recipient.ulNotify) != nullptr && IsWindow(recipient.hWnd);
}

LRESULT SendHandleBroadcast(const Recipient& recipient, WPARAM wEvent)
{
  if (!StillRegistered(recipient)) {
    return TRUE;
  }
  DEV_BROADCAST_HANDLE record{};
  record.dbch_size = sizeof record;
  record.dbch_devicetype = DBT_DEVTYP_HANDLE;
  record.dbch_handle = recipient.hHandle;
  record.dbch_hdevnotify = reinterpret_cast<HDEVNOTIFY>(recipient.ulNotify);
  return SendMessageA(recipient.hWnd, WM_DEVICECHANGE, wEvent, reinterpret_cast<LPARAM>(&record));
}

void SendInterfaceBroadcast(const Recipient& recipient, WPARAM wEvent, const GUID& interfaceClass,
                            const std::string& sPath)
{
  if (!StillRegistered(recipient)) {
    return;
  }
  size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + sPath.size() + 1;
  std::vector<BYTE> buffer(size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) ? sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)
                                                                             : size, 0);
  auto* pRecord = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(buffer.data());
  pRecord->dbcc_size = static_cast<DWORD>(size);
  pRecord->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  pRecord->dbcc_classguid = interfaceClass;
  memcpy(pRecord->dbcc_name, sPath.c_str(), sPath.size() + 1);
  SendMessageA(recipient.hWnd, WM_DEVICECHANGE, wEvent, reinterpret_cast<LPARAM>(pRecord));
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID)
{
  if (dwReason == DLL_PROCESS_ATTACH) {
    InitializeCriticalSection(&g_cs);
    HMODULE hKernelBase = GetModuleHandleA("kernelbase.dll");
    if (hKernelBase != nullptr) {
      g_pfnCompareObjectHandles = reinterpret_cast<PFN_COMPARE_OBJECT_HANDLES>(
        reinterpret_cast<void*>(GetProcAddress(hKernelBase, "CompareObjectHandles")));
    }
  }
  return TRUE;
}

// ---- Seam -------------------------------------------------------------------------

SIMDRV_API HANDLE DevIoOpen(const char* sPath)
{
  Lock lock;
  Device* pFound = nullptr;
  for (Device& device : g_Devices) {
    if (device.bPresent && sPath != nullptr && _stricmp(device.sPath.c_str(), sPath) == 0) {
      pFound = &device;
      break;
    }
  }
  if (pFound == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE hHandle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (hHandle == nullptr) {
    return INVALID_HANDLE_VALUE;
  }
  HANDLE hIdentity = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), hHandle, GetCurrentProcess(), &hIdentity, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    DWORD dwError = GetLastError();
    CloseHandle(hHandle);
    SetLastError(dwError);
    return INVALID_HANDLE_VALUE;
  }
  // A fresh value that we still list belonged to a handle closed meanwhile.
  for (size_t i = g_Handles.size(); i-- > 0;) {
    if (g_Handles[i].hHandle == hHandle) {
      DropHandle(i);
    }
  }
  g_Handles.push_back(OpenHandle{ hHandle, hIdentity, pFound->ulId });
  SetLastError(0);
  return hHandle;
}

SIMDRV_API BOOL DevIoControl(HANDLE hDevice, DWORD dwIoctl, void* pIn, DWORD dwInSize, void* pOut, DWORD dwOutSize,
                             DWORD* pdwReturned, OVERLAPPED* pOverlapped)
{
  Lock lock;
  long iHandle = FindLiveHandle(hDevice);
  ULONG ulDevice = iHandle >= 0 ? g_Handles[static_cast<size_t>(iHandle)].ulDevice : 0;
  ULONG64 ullSeq = LogAdd(ulDevice, dwIoctl, pIn, dwInSize, dwOutSize);
  if (pOverlapped != nullptr) {
    pOverlapped->Internal = SIM_STATUS_PENDING;
    pOverlapped->InternalHigh = 0;
    if (pOverlapped->hEvent != nullptr) {
      ResetEvent(pOverlapped->hEvent);
    }
  }
  if (iHandle < 0) {
    return CompleteAtOnce(pOverlapped, ullSeq, ERROR_INVALID_HANDLE, 0, pdwReturned);
  }
  Device& device = *FindDevice(ulDevice);
  if (!device.bPresent) {
    return CompleteAtOnce(pOverlapped, ullSeq, ERROR_DEVICE_NOT_CONNECTED, 0, pdwReturned);
  }
  if (device.ulMode == SIMDRV_FAIL) {
    return CompleteAtOnce(pOverlapped, ullSeq, device.dwError, 0, pdwReturned);
  }
  const BYTE* pInBytes = static_cast<const BYTE*>(pIn);
  BYTE* pOutBytes = static_cast<BYTE*>(pOut);
  const bool bRead = dwIoctl == IOCTL_EVENT_READ;

  ULONG ulReturned = 0;
  DWORD dwError = 0;
  if (pOverlapped == nullptr) {
    // A synchronous caller gets its answer now in every mode.
    if (bRead) {
      if (!ServeEvent(device, pOutBytes, dwOutSize, &ulReturned, &dwError)) {
        dwError = ERROR_NO_DATA;
      }
    } else {
      dwError = Answer(device, dwIoctl, pInBytes, dwInSize, pOutBytes, dwOutSize, &ulReturned);
    }
    return CompleteAtOnce(nullptr, ullSeq, dwError, ulReturned, pdwReturned);
  }

  if (device.ulMode == SIMDRV_COMPLETE_AT_ONCE) {
    if (!bRead) {
      dwError = Answer(device, dwIoctl, pInBytes, dwInSize, pOutBytes, dwOutSize, &ulReturned);
      return CompleteAtOnce(pOverlapped, ullSeq, dwError, ulReturned, pdwReturned);
    }
    if (ServeEvent(device, pOutBytes, dwOutSize, &ulReturned, &dwError)) {
      return CompleteAtOnce(pOverlapped, ullSeq, dwError, ulReturned, pdwReturned);
    }
  }

  Pending p{};
  p.pOverlapped = pOverlapped;
  p.hEvent = pOverlapped->hEvent;
  p.hHandle = hDevice;
  p.ulDevice = ulDevice;
  p.dwThreadId = GetCurrentThreadId();
  p.dwIoctl = dwIoctl;
  if (pInBytes != nullptr) {
    p.In.assign(pInBytes, pInBytes + dwInSize);
  }
  p.pOut = pOutBytes;
  p.ulOutSize = dwOutSize;
  p.ullLogSeq = ullSeq;
  p.bTimed = device.ulMode == SIMDRV_COMPLETE_LATER;
  p.ullDue = GetTickCount64() + device.dwDelayMs;
  p.bHeld = device.ulMode == SIMDRV_NEVER_ANSWER || device.ulMode == SIMDRV_IGNORE_CANCEL;
  p.bIgnoresCancel = device.ulMode == SIMDRV_IGNORE_CANCEL;
  g_Pending.push_back(std::move(p));
  WakeWorker();
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

SIMDRV_API BOOL DevIoGetOverlappedResult(HANDLE, OVERLAPPED* pOverlapped, DWORD* pdwReturned, BOOL bWait)
{
  if (pOverlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  volatile ULONG_PTR* pStatus = &pOverlapped->Internal;
  if (*pStatus == SIM_STATUS_PENDING) {
    if (!bWait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    while (*pStatus == SIM_STATUS_PENDING) {
      if (pOverlapped->hEvent != nullptr) {
        WaitForSingleObject(pOverlapped->hEvent, LIVENESS_POLL_MS);
      } else {
        Sleep(5);
      }
    }
  }
  MemoryBarrier();
  if (pdwReturned != nullptr) {
    *pdwReturned = static_cast<DWORD>(pOverlapped->InternalHigh);
  }
  DWORD dwError = SimErrorOf(*pStatus);
  if (dwError != 0) {
    SetLastError(dwError);
    return FALSE;
  }
  return TRUE;
}

SIMDRV_API BOOL DevIoCancel(HANDLE hDevice)
{
  Lock lock;
  if (FindLiveHandle(hDevice) < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD dwThreadId = GetCurrentThreadId();
  bool bAny = false;
  for (Pending& p : g_Pending) {
    if (p.hHandle == hDevice && p.dwThreadId == dwThreadId && !p.bIgnoresCancel && !p.bCancelled) {
      p.bCancelled = true;
      p.bHeld = true;   // no packet may complete it any more
      p.bTimed = true;
      p.ullDue = GetTickCount64() + CANCEL_COMPLETION_MS;
      bAny = true;
    }
  }
  if (bAny) {
    WakeWorker();
  }
  return TRUE;
}

// ---- Devices ----------------------------------------------------------------------

SIMDRV_API ULONG SimDrvAddDevice(const char* sPath)
{
  SimDrvDeviceDesc desc{};
  desc.sPath = sPath;
  return SimDrvAddDeviceEx(&desc);
}

SIMDRV_API ULONG SimDrvAddDeviceEx(const SimDrvDeviceDesc* pDesc)
{
  Lock lock;
  return Add(pDesc);
}

SIMDRV_API void SimDrvRemoveDevice(ULONG ulDevice)
{
  Lock lock;
  Vanish(ulDevice);
}

SIMDRV_API void SimDrvReset()
{
  Lock lock;
  while (!g_Pending.empty()) {
    CompletePending(g_Pending.size() - 1, ERROR_DEVICE_NOT_CONNECTED, 0);
  }
  for (OpenHandle& entry : g_Handles) {
    CloseHandle(entry.hIdentity);
  }
  g_Handles.clear();
  g_Devices.clear();
  g_ullLogBase = g_ullLogNext;
  for (DeviceList* pList : g_Lists) {
    delete pList;
  }
  g_Lists.clear();
  g_ulFailClassDevs = 0;
  g_Registrations.clear();
}

SIMDRV_API ULONG SimDrvDeviceOfHandle(HANDLE hDevice)
{
  Lock lock;
  long i = FindLiveHandle(hDevice);
  return i >= 0 ? g_Handles[static_cast<size_t>(i)].ulDevice : 0;
}

SIMDRV_API ULONG SimDrvOpenHandleCount(ULONG ulDevice)
{
  Lock lock;
  return CountOpenHandles(ulDevice);
}

SIMDRV_API void SimDrvSetMode(ULONG ulDevice, ULONG ulMode, DWORD dwError, DWORD dwDelayMs)
{
  Lock lock;
  Device* pDevice = FindDevice(ulDevice);
  if (pDevice == nullptr || ulMode > SIMDRV_IGNORE_CANCEL) {
    return;
  }
  pDevice->ulMode = ulMode;
  pDevice->dwError = dwError;
  pDevice->dwDelayMs = dwDelayMs;
}

// ---- Parameter store --------------------------------------------------------------

SIMDRV_API BOOL SimDrvSetParam(ULONG ulDevice, ULONG ulParam, const void* pData, ULONG ulSize)
{
  Lock lock;
  Device* pDevice = FindDevice(ulDevice);
  return pDevice != nullptr && DrvStoreSet(&pDevice->Store, ulParam, pData, ulSize);
}

SIMDRV_API ULONG SimDrvGetParam(ULONG ulDevice, ULONG ulParam, void* pOut, ULONG ulOutSize)
{
  Lock lock;
  Device* pDevice = FindDevice(ulDevice);
  return pDevice != nullptr ? DrvStoreGet(&pDevice->Store, ulParam, pOut, ulOutSize) : 0;
}

SIMDRV_API void SimDrvSetReplyLength(ULONG ulDevice, ULONG ulParam, ULONG ulLength)
{
  Lock lock;
  Device* pDevice = FindDevice(ulDevice);
  if (pDevice != nullptr) {
    DrvStoreSetReplyLength(&pDevice->Store, ulParam, ulLength);
  }
}

// ---- Request log ------------------------------------------------------------------

SIMDRV_API ULONG SimDrvRequestCount()
{
  Lock lock;
  return static_cast<ULONG>(g_ullLogNext - g_ullLogBase);
}

SIMDRV_API BOOL SimDrvGetRequest(ULONG ulIndex, SimDrvRequest* pRequest)
{
  Lock lock;
  ULONG64 ullSeq = g_ullLogBase + ulIndex;
  if (pRequest == nullptr || ullSeq >= g_ullLogNext || g_ullLogNext - ullSeq > LOG_CAPACITY) {
    return FALSE;
  }
  *pRequest = g_Log[ullSeq % LOG_CAPACITY];
  return TRUE;
}

SIMDRV_API void SimDrvClearRequests()
{
  Lock lock;
  g_ullLogBase = g_ullLogNext;
}

SIMDRV_API ULONG SimDrvPendingCount(ULONG ulDevice)
{
  Lock lock;
  ULONG ulCount = 0;
  for (const Pending& p : g_Pending) {
    if (ulDevice == 0 || p.ulDevice == ulDevice) {
      ++ulCount;
    }
  }
  return ulCount;
}

// ---- Event packets ----------------------------------------------------------------

SIMDRV_API BOOL SimDrvQueueEvent(ULONG ulDevice, const void* pPacket, ULONG ulSize)
{
  Lock lock;
  Device* pDevice = FindDevice(ulDevice);
  if (pDevice == nullptr || !pDevice->bPresent || pPacket == nullptr || ulSize == 0 || ulSize > MAX_PACKET_BYTES) {
    return FALSE;
  }
  const BYTE* p = static_cast<const BYTE*>(pPacket);
  pDevice->Events.emplace_back(p, p + ulSize);
  // The oldest read that waits for a packet takes it.
  for (size_t i = 0; i < g_Pending.size(); ++i) {
    Pending& pending = g_Pending[i];
    if (pending.ulDevice != ulDevice || pending.dwIoctl != IOCTL_EVENT_READ || pending.bHeld || pending.bTimed) {
      continue;
    }
    if (pDevice->ulMode == SIMDRV_COMPLETE_LATER) {
      pending.bTimed = true;
      pending.ullDue = GetTickCount64() + pDevice->dwDelayMs;
      WakeWorker();
    } else {
      FinishPending(i);
    }
    break;
  }
  return TRUE;
}

// ---- Plug and unplug ----------------------------------------------------------------

SIMDRV_API ULONG SimDrvPlugDevice(const SimDrvDeviceDesc* pDesc)
{
  ULONG ulDevice;
  GUID interfaceClass;
  std::string sPath;
  std::vector<Recipient> recipients;
  {
    Lock lock;
    ulDevice = Add(pDesc);
    if (ulDevice == 0) {
      return 0;
    }
    const Device& device = *FindDevice(ulDevice);
    interfaceClass = device.InterfaceClass;
    sPath = device.sPath;
    recipients = Recipients(device, false);
  }
  for (const Recipient& recipient : recipients) {
    SendInterfaceBroadcast(recipient, DBT_DEVICEARRIVAL, interfaceClass, sPath);
  }
  return ulDevice;
}

SIMDRV_API BOOL SimDrvUnplugDevice(ULONG ulDevice, BOOL bOrderly)
{
  std::vector<Recipient> handles;
  {
    Lock lock;
    Device* pDevice = FindDevice(ulDevice);
    if (pDevice == nullptr || !pDevice->bPresent) {
      return FALSE;
    }
    handles = Recipients(*pDevice, true);
  }
  if (bOrderly) {
    bool bDenied = false;
    for (const Recipient& recipient : handles) {
      bDenied = SendHandleBroadcast(recipient, DBT_DEVICEQUERYREMOVE) == BROADCAST_QUERY_DENY || bDenied;
    }
    {
      Lock lock;
      bDenied = bDenied || CountOpenHandles(ulDevice) > 0;   // a handle still open vetoes
    }
    if (bDenied) {
      for (const Recipient& recipient : handles) {
        SendHandleBroadcast(recipient, DBT_DEVICEQUERYREMOVEFAILED);
      }
      return FALSE;
    }
  }
  GUID interfaceClass;
  std::string sPath;
  std::vector<Recipient> classes;
  {
    Lock lock;
    Vanish(ulDevice);
    const Device& device = *FindDevice(ulDevice);
    interfaceClass = device.InterfaceClass;
    sPath = device.sPath;
    handles = Recipients(device, true);
    classes = Recipients(device, false);
  }
  for (const Recipient& recipient : handles) {
    SendHandleBroadcast(recipient, DBT_DEVICEREMOVECOMPLETE);
  }
  for (const Recipient& recipient : classes) {
    SendInterfaceBroadcast(recipient, DBT_DEVICEREMOVECOMPLETE, interfaceClass, sPath);
  }
  return TRUE;
}

SIMDRV_API BOOL SimDrvGetParentNode(DWORD diChild, DWORD* pdiParent)
{
  Lock lock;
  for (const Device& device : g_Devices) {
    if (!device.bPresent) {
      continue;
    }
    // The chain is node, parent 0, parent 1, ...: the parent is the next link.
    for (size_t i = 0; i < device.Parents.size(); ++i) {
      DWORD diLink = i == 0 ? device.diNode : device.Parents[i - 1];
      if (diLink == diChild) {
        if (pdiParent != nullptr) {
          *pdiParent = device.Parents[i];
        }
        return TRUE;
      }
    }
  }
  return FALSE;
}

// ---- Setup API ----------------------------------------------------------------------

SIMDRV_API HDEVINFO DevIoSetupDiGetClassDevsA(const GUID* pClassGuid, PCSTR, HWND, DWORD dwFlags)
{
  Lock lock;
  const bool bAllClasses = (dwFlags & DIGCF_ALLCLASSES) != 0;
  if (g_ulFailClassDevs > 0 || (pClassGuid == nullptr && !bAllClasses)) {
    g_ulFailClassDevs -= g_ulFailClassDevs > 0;
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const bool bInterfaces = (dwFlags & DIGCF_DEVICEINTERFACE) != 0;
  auto* pList = new DeviceList;
  for (const Device& device : g_Devices) {
    const GUID& cls = bInterfaces ? device.InterfaceClass : device.SetupClass;
    if (((dwFlags & DIGCF_PRESENT) && !device.bPresent) || (!bAllClasses && !IsEqualGUID(cls, *pClassGuid))) {
      continue;
    }
    pList->Items.push_back(ListItem{ device.ulId, device.diNode, device.sPath, device.sInstanceId,
                                     device.InterfaceClass, device.SetupClass, device.ulDetailFault });
  }
  g_Lists.push_back(pList);
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HDEVINFO>(pList);
}

SIMDRV_API BOOL DevIoSetupDiEnumDeviceInterfaces(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData,
                                                 const GUID* pInterfaceGuid, DWORD dwMemberIndex,
                                                 PSP_DEVICE_INTERFACE_DATA pInterfaceData)
{
  Lock lock;
  DeviceList* pList = FindList(hDevInfo);
  if (pList == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (pInterfaceData == nullptr || pInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (pInterfaceGuid == nullptr || (pDevInfoData != nullptr && !ValidDevInfo(*pList, pDevInfoData))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  DWORD dwSeen = 0;
  for (const ListItem& item : pList->Items) {
    ULONG_PTR reserved = static_cast<ULONG_PTR>(&item - pList->Items.data()) + 1;
    if (!IsEqualGUID(item.InterfaceClass, *pInterfaceGuid) ||
        (pDevInfoData != nullptr && pDevInfoData->Reserved != reserved)) {
      continue;
    }
    if (dwSeen++ == dwMemberIndex) {
      pInterfaceData->InterfaceClassGuid = item.InterfaceClass;
      pInterfaceData->Flags = SPINT_ACTIVE;
      pInterfaceData->Reserved = reserved;
      return Succeed();
    }
  }
  return Fail(ERROR_NO_MORE_ITEMS);
}

SIMDRV_API BOOL DevIoSetupDiGetDeviceInterfaceDetailA(HDEVINFO hDevInfo, PSP_DEVICE_INTERFACE_DATA pInterfaceData,
                                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail, DWORD dwDetailSize,
                                                      PDWORD pdwRequiredSize, PSP_DEVINFO_DATA pDevInfoData)
{
  Lock lock;
  DeviceList* pList = FindList(hDevInfo);
  if (pList == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  const ListItem* pItem = pInterfaceData != nullptr && pInterfaceData->cbSize == sizeof(SP_DEVICE_INTERFACE_DATA)
                            ? ItemOf(*pList, pInterfaceData->Reserved)
                            : nullptr;
  if (pItem == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (pItem->ulDetailFault == SIMDRV_DETAIL_SIZE_FAILS) {
    return Fail(ERROR_NO_SUCH_DEVINST);
  }
  DWORD dwRequired = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + pItem->sPath.size() + 1);
  if (pdwRequiredSize != nullptr) {
    *pdwRequiredSize = dwRequired;
  }
  if (pDetail == nullptr) {
    return Fail(dwDetailSize != 0 ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
  }
  if (pDetail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
      (pDevInfoData != nullptr && pDevInfoData->cbSize != sizeof(SP_DEVINFO_DATA))) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (dwDetailSize < dwRequired) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (pItem->ulDetailFault == SIMDRV_DETAIL_READ_FAILS) {
    return Fail(ERROR_NO_SUCH_DEVINST);
  }
  memcpy(pDetail->DevicePath, pItem->sPath.c_str(), pItem->sPath.size() + 1);
  if (pDevInfoData != nullptr) {
    FillDevInfo(*pList, *pItem, pDevInfoData);
  }
  return Succeed();
}

SIMDRV_API BOOL DevIoSetupDiEnumDeviceInfo(HDEVINFO hDevInfo, DWORD dwMemberIndex, PSP_DEVINFO_DATA pDevInfoData)
{
  Lock lock;
  DeviceList* pList = FindList(hDevInfo);
  if (pList == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (pDevInfoData == nullptr || pDevInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (dwMemberIndex >= pList->Items.size()) {
    return Fail(ERROR_NO_MORE_ITEMS);
  }
  FillDevInfo(*pList, pList->Items[dwMemberIndex], pDevInfoData);
  return Succeed();
}

SIMDRV_API BOOL DevIoSetupDiGetDeviceInstanceIdA(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, PSTR sInstanceId,
                                                 DWORD dwSize, PDWORD pdwRequiredSize)
{
  Lock lock;
  DeviceList* pList = FindList(hDevInfo);
  if (pList == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (!ValidDevInfo(*pList, pDevInfoData)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::string& sId = ItemOf(*pList, pDevInfoData->Reserved)->sInstanceId;
  DWORD dwRequired = static_cast<DWORD>(sId.size() + 1);
  if (pdwRequiredSize != nullptr) {
    *pdwRequiredSize = dwRequired;
  }
  if (sInstanceId == nullptr && dwSize != 0) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (dwSize < dwRequired) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  memcpy(sInstanceId, sId.c_str(), dwRequired);
  return Succeed();
}

SIMDRV_API BOOL DevIoSetupDiDestroyDeviceInfoList(HDEVINFO hDevInfo)
{
  Lock lock;
  for (size_t i = 0; i < g_Lists.size(); ++i) {
    if (reinterpret_cast<HDEVINFO>(g_Lists[i]) == hDevInfo) {
      delete g_Lists[i];
      g_Lists.erase(g_Lists.begin() + static_cast<ptrdiff_t>(i));
      return Succeed();
    }
  }
  return Fail(ERROR_INVALID_HANDLE);
}

// ---- Notifications ------------------------------------------------------------------

SIMDRV_API HDEVNOTIFY DevIoRegisterDeviceNotificationA(HANDLE hRecipient, LPVOID pNotificationFilter, DWORD dwFlags)
{
  if ((dwFlags & ~static_cast<DWORD>(DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)) != DEVICE_NOTIFY_WINDOW_HANDLE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HWND hWnd = static_cast<HWND>(hRecipient);
  if (!IsWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  const auto* pHeader = static_cast<const DEV_BROADCAST_HDR*>(pNotificationFilter);
  Registration r{};
  r.hWnd = hWnd;
  if (pHeader != nullptr && pHeader->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
      pHeader->dbch_size >= sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)) {
    r.Class = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(pNotificationFilter)->dbcc_classguid;
    r.bAllClasses = (dwFlags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
  } else if (pHeader != nullptr && pHeader->dbch_devicetype == DBT_DEVTYP_HANDLE &&
             pHeader->dbch_size >= sizeof(DEV_BROADCAST_HANDLE)) {
    r.bHandle = true;
    r.hHandle = static_cast<const DEV_BROADCAST_HANDLE*>(pNotificationFilter)->dbch_handle;
  } else {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  Lock lock;
  if (r.bHandle) {
    long iHandle = FindLiveHandle(r.hHandle);
    if (iHandle < 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    r.ulDevice = g_Handles[static_cast<size_t>(iHandle)].ulDevice;
  }
  const BYTE* pFilter = static_cast<const BYTE*>(pNotificationFilter);
  r.Filter.assign(pFilter, pFilter + (r.bHandle ? sizeof(DEV_BROADCAST_HANDLE) : pHeader->dbch_size));
  r.ulValue = g_ulNextNotify++;
  g_Registrations.push_back(std::move(r));
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HDEVNOTIFY>(g_Registrations.back().ulValue);
}

SIMDRV_API BOOL DevIoUnregisterDeviceNotification(HDEVNOTIFY hNotify)
{
  Lock lock;
  for (size_t i = 0; i < g_Registrations.size(); ++i) {
    if (g_Registrations[i].ulValue == reinterpret_cast<ULONG_PTR>(hNotify)) {
      g_Registrations.erase(g_Registrations.begin() + static_cast<ptrdiff_t>(i));
      return Succeed();
    }
  }
  return Fail(ERROR_INVALID_HANDLE);
}

// ---- Faults and counts ----------------------------------------------------------------

SIMDRV_API void SimDrvSetDetailFault(ULONG ulDevice, ULONG ulFault)
{
  Lock lock;
  Device* pDevice = FindDevice(ulDevice);
  if (pDevice != nullptr && ulFault <= SIMDRV_DETAIL_SIZE_FAILS) {
    pDevice->ulDetailFault = ulFault;
  }
}

SIMDRV_API void SimDrvFailClassDevs(ULONG ulCount)
{
  Lock lock;
  g_ulFailClassDevs = ulCount;
}

SIMDRV_API ULONG SimDrvDeviceListCount()
{
  Lock lock;
  return static_cast<ULONG>(g_Lists.size());
}

SIMDRV_API ULONG SimDrvNotificationCount(HWND hWnd)
{
  Lock lock;
  ULONG ulCount = 0;
  for (const Registration& r : g_Registrations) {
    ulCount += hWnd == nullptr || r.hWnd == hWnd;
  }
  return ulCount;
}

SIMDRV_API ULONG SimDrvGetNotificationFilter(HDEVNOTIFY hNotify, void* pOut, ULONG ulOutSize)
{
  Lock lock;
  const Registration* pRegistration = FindRegistration(reinterpret_cast<ULONG_PTR>(hNotify));
  if (pRegistration == nullptr) {
    return 0;
  }
  ULONG ulSize = static_cast<ULONG>(pRegistration->Filter.size());
  if (pOut != nullptr) {
    memcpy(pOut, pRegistration->Filter.data(), ulSize < ulOutSize ? ulSize : ulOutSize);
  }
  return ulSize;
}
// ---- Event-read completions chosen by a test ---------------------------------------

SIMDRV_API BOOL SimDrvCompleteRead(ULONG ulDevice, DWORD dwError, ULONG ulReturned)
{
  Lock lock;
  for (size_t i = 0; i < g_Pending.size(); ++i) {
    Pending& p = g_Pending[i];
    if (p.ulDevice != ulDevice || p.dwIoctl != IOCTL_EVENT_READ || p.bCancelled) {
      continue;
    }
    if (p.pOut != nullptr) {
      memset(p.pOut, 0xA5, ulReturned < p.ulOutSize ? ulReturned : p.ulOutSize);
    }
    CompletePending(i, dwError, ulReturned);
    return TRUE;
  }
  return FALSE;
}
