// Shared pieces of the settings handlers' units. Macros, so that the trace
// lines carry the handler's own name.
#pragma once
#include <windows.h>

#include "diag/Trace.h"
#include "framework/UmdMgr.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "synch/SynchMgr.h"

inline bool MouIoIsMouse(const tDevice* pDevice)
{
  return pDevice != nullptr && pDevice->ulDeviceType == LD_DEVICETYPE_MOUSE;
}

// The per-device driver controls act only on mice that this plug-in created.
inline bool MouIoIsServedDevice(const tDevice* pDevice)
{
  return MouIoIsMouse(pDevice) && (pDevice->ulUMDCreated & (1u << UMD_MOUFILT)) != 0;
}

#define MOUIO_ASSERT_LOCKED(pDevice) \
  DRAV_ASSERT_TEXT(IsRemoveLockOwned(UMD_MOUFILT, (pDevice)), "IsRemoveLockOwned( UMD_MOUFILT, pDevice )")

// A handler is always given a count by the dispatch; a direct caller that passes
// none gets a local one instead of a write through null.
#define MOUIO_RETURNED_SIZE(pReturnedSize)  \
  ULONG ulReturnedSizeUnused_ = 0;          \
  if ((pReturnedSize) == nullptr) {         \
    (pReturnedSize) = &ulReturnedSizeUnused_; \
  }

// A null host record is refused before anything is sent.
#define MOUIO_REFUSE_NULL_RECORD(pBuffer)                                        \
  if ((pBuffer) == nullptr) {                                                    \
    TRACE_ERROR("pBuffer is NULL.");                                             \
    TRACE_INFO("exit, status=%s", LdStatusToString(LD_INVALID_PARAMETER));        \
    return LD_INVALID_PARAMETER;                                                 \
  }

// A get whose reply is shorter than what the handler reads is not read at all.
#define MOUIO_CHECK_REPLY(status, ulReturned, ulNeeded)                                             \
  if ((status) == LD_SUCCESS && (ulReturned) < (ulNeeded)) {                                        \
    TRACE_ERROR("driver returned %lu bytes, %lu expected - reply ignored.", (unsigned long)(ulReturned), \
                (unsigned long)(ulNeeded));                                                          \
    (status) = LD_DEVICE_RETURNED_INVALID_DATA;                                                     \
  }

// Exit lines of a per-device handler asked about a device that is no mouse.
#define MOUIO_NOT_MOUSE_STATUS "exit, status=LD_INVALID_FUNCTION (DeviceType not LD_DEVICETYPE_MOUSE)"
#define MOUIO_NOT_MOUSE "exit, DeviceType not LD_DEVICETYPE_MOUSE"
#define MOUIO_NOT_MOUSE_SILENT ""

// Start of a per-device handler: only mice are served, the caller holds the
// device's remove lock, nothing is returned yet, and a null record is refused.
#define MOUIO_DEVICE_HANDLER_ENTRY(pDevice, pBuffer, pReturnedSize, sNotMouseLine) \
  TRACE_INFO("entry");                                                           \
  if (!MouIoIsMouse(pDevice)) {                                                  \
    if ((sNotMouseLine)[0] != '\0') {                                            \
      TRACE_INFO("%s", sNotMouseLine);                                           \
    }                                                                            \
    return LD_INVALID_FUNCTION;                                                  \
  }                                                                              \
  MOUIO_ASSERT_LOCKED(pDevice);                                                  \
  MOUIO_RETURNED_SIZE(pReturnedSize);                                            \
  *(pReturnedSize) = 0;                                                          \
  MOUIO_REFUSE_NULL_RECORD(pBuffer)

// The driver's parameter protocol: a get sends the identifier and takes up to
// ulReplySize bytes back; a set sends the identifier followed by the value.
inline LD_STATUS MouIoGetParameter(tDevice* pDevice, ULONG ulId, void* pReply, ULONG ulReplySize, ULONG* pulReturned)
{
  return UmdSendIoctl(g_pUmdGlobal, pDevice, IOCTL_RAWPDO_GET, &ulId, sizeof ulId, pReply, ulReplySize, pulReturned);
}

inline LD_STATUS MouIoSetParameter(tDevice* pDevice, const void* pRequest, ULONG ulLength)
{
  return UmdSendIoctl(g_pUmdGlobal, pDevice, IOCTL_RAWPDO_SET, const_cast<void*>(pRequest), ulLength, nullptr, 0,
                      nullptr);
}

inline LD_STATUS MouIoSetValue(tDevice* pDevice, ULONG ulId, ULONG ulValue)
{
  const ULONG request[2] = { ulId, ulValue };
  return MouIoSetParameter(pDevice, request, sizeof request);
}
