// Device-control dispatch, device clean-up, event registration and the device
// callbacks of the mouse plug-in.
#include <windows.h>

#include <cstring>

#include "diag/Trace.h"
#include "framework/UmdMgr.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "synch/SynchMgr.h"
#include "models/ModelInfo.h"

extern "C" LD_STATUS MouDeviceControl(tDevice* pDevice, ULONG ulFunction, void* pBuffer, ULONG* pReturnedSize,
                                      ULONG ulMode)
{
  TRACE_INFO("entry func=%s", LdFunctionToString(ulFunction));
  DRAV_ASSERT(NULL != pReturnedSize);
  // The host always passes a count; a null one is answered rather than written.
  ULONG ulUnused = 0;
  if (pReturnedSize == nullptr) {
    pReturnedSize = &ulUnused;
  }
  *pReturnedSize = 0;

  LD_STATUS status;
  switch (ulFunction) {
  case LD_SET_MOUSE_DRIVER_TYPE:
    if (pDevice != nullptr) {
      return LD_INVALID_PARAMETER;   // plug-in-wide setting: no device may be named
    }
    status = MouIoSetDriverType(pBuffer, pReturnedSize);
    break;
  case LD_GET_TIME_STAMP:
    status = UmdMgrGetTimeStamp(g_pUmdGlobal, pDevice, pBuffer, pReturnedSize);
    break;
  case LD_DEVICE_DUMP_FUNCTION:
    status = UmdDeviceDump(g_pUmdGlobal, pDevice, pBuffer);
    break;
  case LD_GET_MOUSE_SPEED: status = MouIoGetSpeed(pDevice, pBuffer, pReturnedSize); break;
  case LD_SET_MOUSE_SPEED: status = MouIoSetSpeed(pDevice, pBuffer, pReturnedSize); break;
  case LD_GET_MOUSE_ACCELERATION: status = MouIoGetAcceleration(pDevice, pBuffer, pReturnedSize); break;
  case LD_SET_MOUSE_ACCELERATION: status = MouIoSetAcceleration(pDevice, pBuffer, pReturnedSize); break;
  case LD_GET_MOUSE_ORIENTATION: status = MouIoGetOrientation(pDevice, pBuffer, pReturnedSize); break;
  case LD_SET_MOUSE_ORIENTATION: status = MouIoSetOrientation(pDevice, pBuffer, pReturnedSize); break;
  case LD_SET_MOUSE_REPORT_RATE_ACC: status = MouIoSetReportRateAcc(pDevice, pBuffer, pReturnedSize); break;
  case LD_GET_MOUSE_WHEEL_ACCELERATION: status = MouIoGetWheelAcceleration(pDevice, pBuffer, pReturnedSize); break;
  case LD_SET_MOUSE_WHEEL_ACCELERATION: status = MouIoSetWheelAcceleration(pDevice, pBuffer, pReturnedSize); break;
  case LD_GET_MOUSE_WHEEL_FILTER: status = MouIoGetWheelFilter(pDevice, pBuffer, pReturnedSize); break;
  case LD_SET_MOUSE_WHEEL_FILTER: status = MouIoSetWheelFilter(pDevice, pBuffer, pReturnedSize); break;
  case LD_GET_MOUSE_WHEEL_SPEED: status = MouIoGetWheelSpeed(pDevice, pBuffer, pReturnedSize); break;
  case LD_SET_MOUSE_WHEEL_SPEED: status = MouIoSetWheelSpeed(pDevice, pBuffer, pReturnedSize); break;
  case LD_GET_MOUSE_ACCELERATION_CURVE: status = MouIoGetAccelerationTable(pDevice, pBuffer, pReturnedSize); break;
  case LD_SET_MOUSE_ACCELERATION_CURVE: status = MouIoSetAccelerationTable(pDevice, pBuffer, pReturnedSize); break;
  case LD_SET_CHORDING_PARMS:
    MouIoSetChording(pDevice, pBuffer);
    status = LD_SUCCESS;
    break;
  case LD_GET_MOUSE_WHEEL_RESOLUTION:
    status = MouIoGetWheelResolution(pDevice, pBuffer, pReturnedSize, ulMode);
    break;
  case LD_SET_MOUSE_WHEEL_RESOLUTION:
    status = MouIoSetWheelResolution(pDevice, pBuffer, pReturnedSize, ulMode);
    break;
  case LD_SET_MOUSE_IN_USE_EVENT:
    MouIoSetVantInUseEvent(pDevice, 0, reinterpret_cast<ULONG_PTR>(pBuffer));
    status = LD_SUCCESS;
    break;
  default:
    status = LD_INVALID_FUNCTION;
    break;
  }
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

extern "C" ULONG MouDeviceCleanup(tDevice* pDevice, ULONG ulValue, ULONG_PTR pValue)
{
  TRACE_INFO("entry, DUID=0x%08X", pDevice ? (unsigned)pDevice->DUID : 0u);
  UmdDeviceCleanup(g_pUmdGlobal, pDevice);
  TRACE_INFO("exit");
  return 1;
}

// ---- Hardware event registration -------------------------------------------------

static MouDevInfo* MouGetDevInfo(tDevice* pDevice)
{
  return pDevice != nullptr ? static_cast<MouDevInfo*>(pDevice->pUMDinfo[UMD_MOUFILT]) : nullptr;
}

static LD_STATUS MouSendEventRequest(tDevice* pDevice, ULONG ulIoctl)
{
  ULONG ulId = ID_EVENT_CHORDING_BUTTON;
  ULONG ulReturned = 0;
  return UmdSendIoctl(g_pUmdGlobal, pDevice, ulIoctl, &ulId, sizeof ulId, nullptr, 0, &ulReturned);
}

extern "C" LD_STATUS MouRegisterEvent(tDevice* pDevice, void* pHWEvent, ULONG ulContext)
{
  TRACE_INFO("entry");
  tHWEvent* pEvent = static_cast<tHWEvent*>(pHWEvent);
  DRAV_ASSERT_TEXT(IsRemoveLockOwned(UMD_MOUFILT, pDevice), "IsRemoveLockOwned( UMD_MOUFILT, pDevice )");
  DRAV_ASSERT_TEXT(pEvent != nullptr && (pEvent->EventUMDFlag & (1u << UMD_MOUFILT)),
                   "pHWEvent->EventUMDFlag & ( 1 << UMD_MOUFILT )");
  LD_STATUS status;
  MouDevInfo* pInfo = MouGetDevInfo(pDevice);
  if (pEvent != nullptr && pEvent->ulEventType == HW_EVENT_CHORDING_BUTTON && pInfo != nullptr) {
    // Kept before the request: a packet may come as soon as the driver knows.
    pInfo->pChordingEvent = pEvent;
    status = MouSendEventRequest(pDevice, IOCTL_RAWPDO_REGISTER);
    TRACE_INFO(" IOCTL_RAWPDO_REGISTER ID_EVENT_CHORDING_BUTTON returned %d\n", (int)status);
  } else if (pEvent != nullptr && pEvent->ulEventType == HW_EVENT_CHORDING_BUTTON) {
    TRACE_ERROR("Invalid request to DRAVMOU UMD.");
    status = LD_INTERNAL_ERROR;
  } else {
    TRACE_INFO("Unsupported HW event type 0x%08X\n", pEvent != nullptr ? (unsigned)pEvent->ulEventType : 0u);
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    status = LD_INVALID_EVENT;
  }
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

extern "C" LD_STATUS MouUnregisterEvent(tDevice* pDevice, void* pHWEvent, ULONG ulContext)
{
  TRACE_INFO("entry");
  tHWEvent* pEvent = static_cast<tHWEvent*>(pHWEvent);
  DRAV_ASSERT_TEXT(pDevice == nullptr || IsRemoveLockOwned(UMD_MOUFILT, pDevice) || pDevice->bStarted == FALSE,
                   "IsRemoveLockOwned( UMD_MOUFILT, pDevice ) || ( pDevice->bStarted == FALSE )");
  if (pEvent != nullptr && pEvent->pSWEventList != nullptr && pEvent->pSWEventList->ulCount != 0) {
    DRAV_ASSERT_TEXT(FALSE, "pHWEvent->pSWEventList->IsEmpty()");
  }
  LD_STATUS status;
  if (pEvent != nullptr && pEvent->ulEventType == HW_EVENT_CHORDING_BUTTON) {
    MouDevInfo* pInfo = MouGetDevInfo(pDevice);
    if (pInfo != nullptr) {
      status = MouSendEventRequest(pDevice, IOCTL_RAWPDO_UNREGISTER);
      pInfo->pChordingEvent = nullptr;
      TRACE_INFO(" IOCTL_RAWPDO_REGISTER ID_EVENT_CHORDING_BUTTON returned %d\n", (int)status);
    } else {
      TRACE_ERROR("Invalid request to DRAVMOU UMD.");
      status = LD_INTERNAL_ERROR;
    }
  } else {
    TRACE_INFO("Unsupported HW event type 0x%08X\n", pEvent != nullptr ? (unsigned)pEvent->ulEventType : 0u);
    DRAV_ASSERT_TEXT(FALSE, "FALSE");
    status = LD_INVALID_EVENT;
  }
  TRACE_CATEGORY(TRACE_CAT_UNREGISTER, "UsbUnregisterEvent - Exit %08X.\n", (unsigned)status);
  return status;
}

extern "C" BOOL MouEvaluateEventCompatibility(tDevice* pDevice, void* pNewEvent, void* pHWEvent, ULONG_PTR reserved)
{
  TRACE_INFO("entry");
  DRAV_ASSERT_TEXT(IsRemoveLockOwned(UMD_MOUFILT, pDevice), "IsRemoveLockOwned( UMD_MOUFILT, pDevice )");
  const tHWEvent* pEvent = static_cast<const tHWEvent*>(pHWEvent);
  const tHWEvent* pNew = static_cast<const tHWEvent*>(pNewEvent);
  BOOL bResult = pDevice != nullptr && pEvent != nullptr && pNew != nullptr && pDevice->DeviceKey == pEvent->DeviceKey &&
                 (pEvent->EventUMDFlag & (1u << UMD_MOUFILT)) != 0 && pEvent->ulEventType == pNew->ulEventType;
  TRACE_INFO("exit status=%d", (int)bResult);
  return bResult;
}

// ---- Device callbacks -------------------------------------------------------------

const ULONG g_MouAnnouncedFunctions[MOU_ANNOUNCED_FUNCTION_COUNT + 1] = {
  LD_GET_MOUSE_SPEED,
  LD_SET_MOUSE_SPEED,
  LD_GET_MOUSE_ACCELERATION,
  LD_SET_MOUSE_ACCELERATION,
  LD_GET_MOUSE_ORIENTATION,
  LD_SET_MOUSE_ORIENTATION,
  LD_SET_MOUSE_DRIVER_TYPE,
  LD_SET_MOUSE_REPORT_RATE_ACC,
  LD_GET_MOUSE_WHEEL_ACCELERATION,
  LD_SET_MOUSE_WHEEL_ACCELERATION,
  LD_GET_MOUSE_WHEEL_FILTER,
  LD_SET_MOUSE_WHEEL_FILTER,
  LD_GET_MOUSE_WHEEL_SPEED,
  LD_SET_MOUSE_WHEEL_SPEED,
  LD_GET_MOUSE_ACCELERATION_CURVE,
  LD_SET_MOUSE_ACCELERATION_CURVE,
  LD_SET_CHORDING_PARMS,
  LD_GET_MOUSE_WHEEL_RESOLUTION,
  LD_SET_MOUSE_WHEEL_RESOLUTION,
  LD_SET_MOUSE_IN_USE_EVENT,
  LD_LAST_FUNCTION,
};

const ULONG g_MouAnnouncedEvents[2] = { HW_EVENT_CHORDING_BUTTON, LD_EVENT_LAST_EVENT };

BOOL UmdCallbackDeviceInit(tDevice* pDevice, ULONG ulZero, const tModelInfo* pModel)
{
  DRAV_ASSERT(pDevice);
  DRAV_ASSERT_TEXT(pDevice != nullptr && IsRemoveLockOwned(UMD_MOUFILT, pDevice),
                   "IsRemoveLockOwned( UMD_MOUFILT, pDevice )");
  TRACE_INFO("entry");
  BOOL bResult = FALSE;
  if (pDevice != nullptr) {
    if (pModel != nullptr && (pModel->sCache == nullptr || pModel->sCache[0] == '\0') &&
        pModel->sMinTerm != nullptr && pModel->sMinTerm[0] != '\0' && strstr(pModel->sMinTerm, MOU_SHORT_NAME)) {
      HostModelDevice(g_pDevMgrApi, UMD_MOUFILT, pDevice, pModel);
    }
    TRACE_INFO("Device:%x '%s'", (unsigned)pDevice->DUID, pDevice->sDeviceName);
    bResult = TRUE;
  }
  TRACE_INFO("exit, status=%d", (int)bResult);
  return bResult;
}

BOOL UmdCallbackDeviceStart(tDevice* pDevice)
{
  TRACE_INFO("entry");
  MouIoSetProcessing(pDevice, 0, 0);
  // A device that starts while driver type 2 is in force gets the in-use
  // event like the devices that were there when the type was set.
  if (g_bInUseEventActive) {
    MouInUseRecord inUse = {};
    inUse.ulSize = MOU_IN_USE_RECORD_SIZE;
    inUse.VantInUseEventHandle = g_pMain != nullptr ? reinterpret_cast<ULONG_PTR>(g_pMain->hInUseEvent) : 0;
    MouIoSetVantInUseEvent(pDevice, 0, reinterpret_cast<ULONG_PTR>(&inUse));
  }
  return HostAnnounce(g_pDevMgrApi, pDevice, UMD_MOUFILT, g_MouAnnouncedFunctions, g_MouAnnouncedEvents);
}

UmdDevInfo* UmdCallbackGetDevInfo(tDevice* pDevice)
{
  return static_cast<UmdDevInfo*>(pDevice->pUMDinfo[UMD_MOUFILT]);
}

BOOL UmdCallbackProcessEvent(tDevice* pDevice, const void* pBuffer, ULONG ulBytes)
{
  TRACE_INFO("Entry");
  TraceDump("UmdCallbackProcessEvent", pBuffer, ulBytes);
  MouEventPacket packet;
  if (!MouDecodeEventPacket(pBuffer, ulBytes, &packet)) {
    TRACE_INFO(" missing id\n");
    return TRUE;
  }
  if (!AcquireRemoveLock(UMD_MOUFILT, LOCK_UmdCallbackProcessEvent, pDevice)) {
    TRACE_INFO(" Failed to acquire the remove lock.\n");
    TRACE_INFO("Exit.\n");
    return TRUE;
  }
  TRACE_INFO(" device name: %s.\n", DeviceTraceName(pDevice));
  if (packet.ulId == ID_EVENT_CHORDING_BUTTON) {
    MouDevInfo* pInfo = MouGetDevInfo(pDevice);
    void* pChordingEvent = pInfo != nullptr ? pInfo->pChordingEvent : nullptr;
    if (pChordingEvent != nullptr) {
      HostReportHwEvent(g_pDevMgrApi, pDevice, pChordingEvent, MouChordingReport(packet.ulState));
    }
  } else {
    TRACE_INFO("Unexpected Id: %d\n", (int)packet.ulId);
  }
  ReleaseRemoveLock(UMD_MOUFILT, LOCK_UmdCallbackProcessEvent, pDevice);
  TRACE_INFO("Exit.\n");
  return TRUE;
}
