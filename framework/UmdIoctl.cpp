// IOCTL transport: one overlapped request on the device's handle, waited for
// with a fixed time-out, its system error mapped to an LD_STATUS. Also the
// framework's own time-stamp query.
#include <cstring>

#include "diag/Trace.h"
#include "framework/DevIo.h"
#include "framework/UmdMgr.h"
#include "synch/SynchUtil.h"

static constexpr DWORD UMD_IOCTL_TIMEOUT_MS = 2000;
// After a cancel, how long the call waits for the driver to finish the request
// before it gives up on the request's storage.
static constexpr DWORD UMD_IOCTL_CANCEL_WAIT_MS = 1000;

static constexpr ULONG IOCTL_RAWPDO_GET_CODE = 0x00220410;
static constexpr ULONG PARAM_TIME_STAMP = 4000;

// Everything the driver may still touch while a request is outstanding lives
// in one heap block, so that a request whose end cannot be confirmed can leave
// it behind instead of freeing storage that is still being written. The reply
// goes to the block's own buffer first and is copied out once it is complete.
struct UmdIoctlCall {
  OVERLAPPED Overlapped;
  HANDLE hEvent;
  ULONG ulOutSize;
  BYTE Out[1];   // ulOutSize bytes
};

static unsigned HandleTraceValue(HANDLE h)
{
  return static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(h));
}

// Every exit leaves the thread's last error telling the caller why.
static LD_STATUS UmdIoctlExit(LD_STATUS status, DWORD dwLastError)
{
  TRACE_INFO("Exit\n");
  SetLastError(dwLastError);
  return status;
}

static UmdIoctlCall* UmdIoctlCallAlloc(ULONG ulOutSize)
{
  SIZE_T cb = offsetof(UmdIoctlCall, Out) + (ulOutSize != 0 ? ulOutSize : 1);
  return static_cast<UmdIoctlCall*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cb));
}

// After a cancel: has the request really ended? Waits, bounded, for its event
// and then checks the overlapped record without waiting.
static BOOL UmdIoctlConfirmEnd(HANDLE hDriver, UmdIoctlCall* pCall)
{
  DWORD dwWait = WaitForSingleObject(pCall->hEvent, UMD_IOCTL_CANCEL_WAIT_MS);
  DWORD dwIgnored = 0;
  if (DevIoGetOverlappedResult(hDriver, &pCall->Overlapped, &dwIgnored, FALSE)) {
    return TRUE;
  }
  DWORD dwLastError = GetLastError();
  if (dwLastError != ERROR_IO_INCOMPLETE) {
    return TRUE;
  }
  TRACE_ERROR("cancelled request on 0x%X still outstanding (wait=%d)", HandleTraceValue(hDriver), static_cast<unsigned>(dwWait));
  return FALSE;
}

LD_STATUS UmdSendIoctl(UmdGlobal* pUmdGlobal, tDevice* pDevice, ULONG ulIoctl, void* pIn, ULONG ulInSize,
                       void* pOut, ULONG ulOutSize, ULONG* pulReturned)
{
  TRACE_INFO("Entry - pDevice:0x%X Ioctl:0x%X In:%d Out:%d.", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pDevice)),
             static_cast<unsigned>(ulIoctl), static_cast<unsigned>(ulInSize), static_cast<unsigned>(ulOutSize));
  if (pDevice == nullptr) {
    TRACE_ERROR("pDevice is NULL.");
    return UmdIoctlExit(LD_INTERNAL_ERROR, ERROR_INVALID_PARAMETER);
  }
  if (ulInSize >= 4 && pIn != nullptr) {
    ULONG ulId;
    memcpy(&ulId, pIn, sizeof ulId);
    TRACE_INFO("id=%d", static_cast<unsigned>(ulId));
  }
  UmdDevInfo* pDevInfo = UmdGetDevInfo(pUmdGlobal, pDevice);
  if (pDevInfo == nullptr) {
    TRACE_ERROR("NULL == pDevInfo.");
    return UmdIoctlExit(LD_INTERNAL_ERROR, ERROR_INVALID_PARAMETER);
  }
  HANDLE hDriver = pDevInfo->hHandle;
  // A handle that is not open, or whose removal has been seen, gets nothing.
  if (hDriver == INVALID_HANDLE_VALUE || hDriver == nullptr || IsDeadHandle(hDriver)) {
    TRACE_WARNING("hDriver == INVALID_HANDLE_VALUE.");
    return UmdIoctlExit(LD_DEVICE_REMOVAL, ERROR_INVALID_HANDLE);
  }

  UmdIoctlCall* pCall = UmdIoctlCallAlloc(ulOutSize);
  if (pCall == nullptr) {
    TRACE_ERROR("HeapAlloc failed. Size:%d", static_cast<unsigned>(ulOutSize));
    return UmdIoctlExit(LD_LOW_RESOURCES, ERROR_NOT_ENOUGH_MEMORY);
  }
  pCall->ulOutSize = ulOutSize;
  pCall->hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (pCall->hEvent == nullptr) {
    DWORD dwLastError = GetLastError();
    TRACE_ERROR("CreateEvent failed. Reason:%d", static_cast<unsigned>(dwLastError));
    HeapFree(GetProcessHeap(), 0, pCall);
    return UmdIoctlExit(LD_LOW_RESOURCES, dwLastError);
  }
  pCall->Overlapped.hEvent = pCall->hEvent;
  void* pDriverOut = (pOut != nullptr && ulOutSize != 0) ? pCall->Out : pOut;

  DWORD dwReturned = 0;
  BOOL bStatus = DevIoControl(hDriver, ulIoctl, pIn, ulInSize, pDriverOut, ulOutSize, &dwReturned, &pCall->Overlapped);
  DWORD dwLastError = GetLastError();
  TRACE_INFO("hDriver:0x%X - bStatus:%d - LastError:0x%X(%d).\n", HandleTraceValue(hDriver), bStatus, static_cast<unsigned>(dwLastError),
             static_cast<unsigned>(dwLastError));

  BOOL bEnded = TRUE;   // FALSE: the driver may still write into pCall
  if (!bStatus && dwLastError == ERROR_IO_PENDING) {
    TRACE_INFO("UmdSendIoctl - WAITING ON WRITE TO COMPLETE\n");
    DWORD dwWait = WaitForSingleObject(pCall->hEvent, UMD_IOCTL_TIMEOUT_MS);
    if (dwWait == WAIT_OBJECT_0) {
      bStatus = DevIoGetOverlappedResult(hDriver, &pCall->Overlapped, &dwReturned, FALSE);
      if (!bStatus) {
        dwLastError = GetLastError();
        TRACE_INFO("UmdSendIoctl - Write complete. bStatus = %d dwLastError %d\n", bStatus, static_cast<unsigned>(dwLastError));
        // Signalled but not finished: the request is still the driver's.
        if (dwLastError == ERROR_IO_INCOMPLETE) {
          if (!DevIoCancel(hDriver)) {
            TRACE_WARNING("CancelIo( 0x%X ) failed. Reason:%d", HandleTraceValue(hDriver), static_cast<unsigned>(GetLastError()));
          }
          bEnded = UmdIoctlConfirmEnd(hDriver, pCall);
          dwReturned = 0;
        }
      }
    } else {
      dwLastError = GetLastError();
      TRACE_INFO("UmdSendIoctl - Write failed. value = %d dwLastError:%d\n", static_cast<unsigned>(dwWait), static_cast<unsigned>(dwLastError));
      TRACE_INFO("UmdSendIoctl - WRITE TIMEOUT - I/O is going to be canceled\n");
      if (!DevIoCancel(hDriver)) {
        TRACE_WARNING("CancelIo( 0x%X ) failed. Reason:%d", HandleTraceValue(hDriver), static_cast<unsigned>(GetLastError()));
      }
      bEnded = UmdIoctlConfirmEnd(hDriver, pCall);
      // A time-out is the "still pending" case whatever the wait left in the
      // thread's last error; a failed wait keeps its own error.
      if (dwWait == WAIT_TIMEOUT) {
        dwLastError = ERROR_IO_PENDING;
      }
      bStatus = FALSE;
      dwReturned = 0;
    }
  }
  if (bEnded && pDriverOut != pOut) {
    ULONG ulCopy = dwReturned < ulOutSize ? dwReturned : ulOutSize;
    memcpy(pOut, pCall->Out, ulCopy);
  }

  LD_STATUS status;
  if (bStatus) {
    TRACE_INFO("DeviceIoControl( ) Success - Device:'%s' - dwWritten:%d.", DeviceTraceName(pDevice), static_cast<unsigned>(dwReturned));
    status = LD_SUCCESS;
  } else {
    switch (dwLastError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_HANDLE:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
      if (!IsDeadHandle(hDriver)) {
        TRACE_WARNING("Handle (0x%X) removal event may have been missed.", HandleTraceValue(hDriver));
      }
      status = LD_DEVICE_REMOVAL;
      break;
    case ERROR_IO_PENDING:
      TRACE_ERROR("We shouldn't get this status again. We waited already.");
      status = LD_INTERNAL_ERROR;
      break;
    default:
      TRACE_ERROR("DeviceIoControl FAILED - Error:%d.", static_cast<unsigned>(dwLastError));
      status = LD_IOCONTROL_ERROR;
      break;
    }
  }

  if (bEnded) {
    // The call's own event is no device handle: a value recorded for a removed
    // device that it happens to carry must neither keep it open nor lose the
    // record, so it is closed plainly.
    CloseHandle(pCall->hEvent);
    HeapFree(GetProcessHeap(), 0, pCall);
  } else {
    TRACE_ERROR("Request on handle 0x%X did not end after CancelIo; its event 0x%X and buffers are left behind.",
                HandleTraceValue(hDriver), HandleTraceValue(pCall->hEvent));
  }
  if (pulReturned != nullptr) {
    *pulReturned = dwReturned;
  }
  return UmdIoctlExit(status, status == LD_SUCCESS ? ERROR_SUCCESS : dwLastError);
}

LD_STATUS UmdMgrGetTimeStamp(UmdGlobal* pUmdGlobal, tDevice* pDevice, void* pRecord, ULONG* pReturnedSize)
{
  ULONG ulDuid = pDevice != nullptr ? pDevice->DUID : 0;
  TRACE_INFO("querying 0x%X ", static_cast<unsigned>(ulDuid));
  if (pRecord == nullptr) {
    TRACE_ERROR("pRecord is NULL.");
    return LD_INVALID_PARAMETER;
  }

  ULONG ulId = PARAM_TIME_STAMP;
  ULONG64 ullTimeStamp = 0;
  ULONG ulReturned = 0;
  LD_STATUS status = UmdSendIoctl(pUmdGlobal, pDevice, IOCTL_RAWPDO_GET_CODE, &ulId, sizeof ulId, &ullTimeStamp,
                                  sizeof ullTimeStamp, &ulReturned);
  DWORD dwLastError = GetLastError();

  ULONG64 ullDuidWord = 0;
  if (pDevice != nullptr) {
    memcpy(&ullDuidWord, pDevice, sizeof ullDuidWord);
  }
  BYTE* pWords = static_cast<BYTE*>(pRecord);
  if (status == LD_SUCCESS && ulReturned < sizeof ullTimeStamp) {
    TRACE_ERROR("driver returned %lu bytes, %lu expected - reply ignored.", static_cast<unsigned long>(ulReturned),
                static_cast<unsigned long>(sizeof ullTimeStamp));
    status = LD_DEVICE_RETURNED_INVALID_DATA;
  }
  if (status != LD_SUCCESS) {
    TRACE_INFO("queried 0x%X Ioctl Failed status: %x error:%d", static_cast<unsigned>(ulDuid), static_cast<unsigned>(status), static_cast<unsigned>(dwLastError));
    ullTimeStamp = 0;
  } else {
    TRACE_INFO("queried 0x%X Ioctl succeeded Timestamp: 0x%I64X", static_cast<unsigned>(ulDuid), ullTimeStamp);
  }
  memcpy(pWords + 8, &ullDuidWord, sizeof ullDuidWord);
  memcpy(pWords + 16, &ullTimeStamp, sizeof ullTimeStamp);
  return status;
}

static HANDLE UmdOpenPath(void* pContext)
{
  return DevIoOpen(static_cast<const char*>(pContext));
}

HANDLE UmdOpenDeviceHandle(const char* sPath)
{
  HANDLE hHandle = OpenFreshHandle(UmdOpenPath, const_cast<char*>(sPath));
  return hHandle != nullptr ? hHandle : INVALID_HANDLE_VALUE;
}
