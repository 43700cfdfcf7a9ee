// Settings handlers: pointer speed, acceleration level, orientation, report rate
// and the driver mode controls (processing, driver type, chording, in-use event).
#include "mouio/MouIo.h"

#include <cstring>

#include "mouio/MouIoInternal.h"
#include "mouio/MouIoPack.h"

BOOL g_bDriverType = TRUE;
BOOL g_bInUseEventActive = FALSE;

// ---- Pointer speed ----------------------------------------------------------------

LD_STATUS MouIoGetSpeed(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  MOUIO_DEVICE_HANDLER_ENTRY(pDevice, pBuffer, pReturnedSize, MOUIO_NOT_MOUSE_STATUS);

  ULONG ulValue = 0;
  ULONG ulReturned = 0;
  LD_STATUS status = MouIoGetParameter(pDevice, ID_PARAM_POINTER_SPEED, &ulValue, sizeof ulValue, &ulReturned);
  MOUIO_CHECK_REPLY(status, ulReturned, sizeof ulValue);
  if (status == LD_SUCCESS) {
    TRACE_INFO("got value=0x%x", (unsigned)ulValue);
    auto* pRecord = static_cast<MouSpeedRecord*>(pBuffer);
    uint32_t ulX, ulY;
    MouIoUnpackSpeed(ulValue, &ulX, &ulY);
    pRecord->ulSpeedX = ulX;
    pRecord->ulSpeedY = ulY;
    TRACE_INFO("ulSpeedX=%d ulSpeedY=%d", (int)pRecord->ulSpeedX, (int)pRecord->ulSpeedY);
    *pReturnedSize = MOU_SPEED_RECORD_SIZE;
  }
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

LD_STATUS MouIoSetSpeed(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  MOUIO_DEVICE_HANDLER_ENTRY(pDevice, pBuffer, pReturnedSize, MOUIO_NOT_MOUSE_SILENT);

  const auto* pRecord = static_cast<const MouSpeedRecord*>(pBuffer);
  TRACE_INFO("ulSpeedX=%d ulSpeedY=%d\n", (int)pRecord->ulSpeedX, (int)pRecord->ulSpeedY);
  ULONG ulValue = MouIoPackSpeed(pRecord->ulSpeedX, pRecord->ulSpeedY);
  TRACE_INFO("setting value=0x%x\n", (unsigned)ulValue);
  LD_STATUS status = MouIoSetValue(pDevice, ID_PARAM_POINTER_SPEED, ulValue);
  TRACE_INFO("exit status=%s", LdStatusToString(status));
  return status;
}

// ---- Acceleration level -----------------------------------------------------------

LD_STATUS MouIoGetAcceleration(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  MOUIO_DEVICE_HANDLER_ENTRY(pDevice, pBuffer, pReturnedSize, MOUIO_NOT_MOUSE_STATUS);

  ULONG reply[1 + CURVE_MAX_POINTS] = {};   // a level and room for a full curve
  ULONG ulReturned = 0;
  LD_STATUS status = MouIoGetParameter(pDevice, ID_PARAM_ACCELERATION, reply, sizeof reply, &ulReturned);
  MOUIO_CHECK_REPLY(status, ulReturned, sizeof reply[0]);
  if (status == LD_SUCCESS) {
    auto* pRecord = static_cast<MouValueRecord*>(pBuffer);
    pRecord->ulValue = reply[0];
    TRACE_INFO("ulAcceleration=%d", (int)pRecord->ulValue);
    *pReturnedSize = MOU_VALUE_RECORD_SIZE;
  }
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

LD_STATUS MouIoSetAcceleration(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  MOUIO_DEVICE_HANDLER_ENTRY(pDevice, pBuffer, pReturnedSize, MOUIO_NOT_MOUSE_STATUS);

  ULONG ulLevel = static_cast<const MouValueRecord*>(pBuffer)->ulValue;
  LD_STATUS status = LD_SUCCESS;
  if (ulLevel > MOU_MAX_ACCELERATION_LEVEL) {
    status = LD_INVALID_PARAMETER;
    TRACE_INFO("exit, status=%s", LdStatusToString(status));
    return status;
  }

  MouCurveRecord curve = {};
  curve.ulSize = MOU_CURVE_RECORD_SIZE;
  if (ulLevel != 0) {
    curve.ulCurve = ulLevel;
    ULONG ulCurveSize = 0;
    status = MouIoGetAccelerationTable(pDevice, &curve, &ulCurveSize);
    if (status != LD_SUCCESS) {
      TRACE_INFO("exit, status=%s", LdStatusToString(status));
      return status;
    }
  }
  ULONG ulPoints = curve.ulPoints <= CURVE_MAX_POINTS ? curve.ulPoints : CURVE_MAX_POINTS;

  TRACE_INFO("ulAcceleration=%d", (int)ulLevel);
  ULONG request[2 + CURVE_MAX_POINTS] = { ID_PARAM_ACCELERATION, ulLevel };
  memcpy(&request[2], curve.Points, ulPoints * sizeof(ULONG));
  ULONG ulLength = (2 + ulPoints) * sizeof(ULONG);
  TRACE_INFO("Length=%d", (int)ulLength);
  *pReturnedSize = 0;
  status = MouIoSetParameter(pDevice, request, ulLength);
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

// ---- Orientation and report rate ---------------------------------------------------

LD_STATUS MouIoGetOrientation(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  MOUIO_DEVICE_HANDLER_ENTRY(pDevice, pBuffer, pReturnedSize, MOUIO_NOT_MOUSE);

  ULONG ulValue = 0;
  ULONG ulReturned = 0;
  LD_STATUS status = MouIoGetParameter(pDevice, ID_PARAM_ORIENTATION, &ulValue, sizeof ulValue, &ulReturned);
  MOUIO_CHECK_REPLY(status, ulReturned, sizeof ulValue);
  if (status == LD_SUCCESS) {
    static_cast<MouValueRecord*>(pBuffer)->ulValue = ulValue;
    TRACE_INFO("ulOrientation=%d", (int)ulValue);
    *pReturnedSize = MOU_VALUE_RECORD_SIZE;
  }
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

LD_STATUS MouIoSetOrientation(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  MOUIO_DEVICE_HANDLER_ENTRY(pDevice, pBuffer, pReturnedSize, MOUIO_NOT_MOUSE);

  ULONG ulValue = static_cast<const MouValueRecord*>(pBuffer)->ulValue;
  TRACE_INFO("ulOrientation=%d", (int)ulValue);
  LD_STATUS status = MouIoSetValue(pDevice, ID_PARAM_ORIENTATION, ulValue);
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

LD_STATUS MouIoSetReportRateAcc(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  MOUIO_DEVICE_HANDLER_ENTRY(pDevice, pBuffer, pReturnedSize, MOUIO_NOT_MOUSE);

  ULONG ulValue = static_cast<const MouValueRecord*>(pBuffer)->ulValue;
  TRACE_INFO("ulReportRate=%d", (int)ulValue);
  LD_STATUS status = MouIoSetValue(pDevice, ID_PARAM_REPORT_RATE, ulValue);
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

// ---- Driver mode controls ----------------------------------------------------------

BOOL MouIoSetProcessing(tDevice* pDevice, ULONG_PTR bProcessing, ULONG_PTR context)
{
  TRACE_INFO("entry");
  if (MouIoIsServedDevice(pDevice)) {
    TRACE_INFO("bProcessing=%d", (int)bProcessing);
    ULONG ulValue = g_bDriverType ? MOU_PROCESSING_DRIVER : MOU_PROCESSING_NONE;
    TRACE_INFO("setting value=0x%x", (unsigned)ulValue);
      MouIoSetValue(pDevice, ID_PARAM_PROCESSING, ulValue);
  }
  TRACE_INFO("exit");
  return TRUE;
}

LD_STATUS MouIoSetDriverType(void* pBuffer, ULONG* pReturnedSize)
{
  TRACE_INFO("entry");
  MOUIO_RETURNED_SIZE(pReturnedSize);
  *pReturnedSize = 0;
  MOUIO_REFUSE_NULL_RECORD(pBuffer);
  ULONG ulType = static_cast<const MouValueRecord*>(pBuffer)->ulValue;
  TRACE_INFO("ulType=%d", (int)ulType);
  g_bDriverType = ulType != 0;
  g_bInUseEventActive = ulType == 2;

  HostForEachDevice(g_pDevMgrApi, MouIoSetProcessing, 0, 0, UMD_MOUFILT);

  MouInUseRecord inUse = {};
  inUse.ulSize = MOU_IN_USE_RECORD_SIZE;
  if (ulType == 2) {
    TRACE_INFO("Enabling the Kernel Mode Vant In Use Event");
    inUse.VantInUseEventHandle = g_pMain != nullptr ? reinterpret_cast<ULONG_PTR>(g_pMain->hInUseEvent) : 0;
  } else {
    TRACE_INFO("Disabling the Kernel Mode Vant In Use Event");
  }
  HostForEachDevice(g_pDevMgrApi, MouIoSetVantInUseEvent, 0, reinterpret_cast<ULONG_PTR>(&inUse), UMD_MOUFILT);

  TRACE_INFO("exit, status=%s", LdStatusToString(LD_SUCCESS));
  return LD_SUCCESS;
}

BOOL MouIoSetChording(tDevice* pDevice, void* pBuffer)
{
  TRACE_INFO("entry");
  if (MouIoIsServedDevice(pDevice)) {
    if (pBuffer == nullptr) {
      TRACE_ERROR("pBuffer is NULL.");
    } else {
      ULONG ulValue = static_cast<const MouValueRecord*>(pBuffer)->ulValue;
      TRACE_INFO("setting chording delay value=0x%x", (unsigned)ulValue);
          MouIoSetValue(pDevice, ID_PARAM_CHORDING, ulValue);
    }
  }
  TRACE_INFO("exit");
  return TRUE;
}

BOOL MouIoSetVantInUseEvent(tDevice* pDevice, ULONG_PTR reserved, ULONG_PTR pRecord)
{
  TRACE_INFO("entry");
  BOOL bResult = TRUE;
  if (MouIoIsServedDevice(pDevice)) {
    if (pRecord == 0) {
      TRACE_ERROR("pBuffer is NULL.");
      bResult = FALSE;
    } else {
      ULONG64 ulHandle = 0;
      memcpy(&ulHandle, reinterpret_cast<const BYTE*>(pRecord) + offsetof(MouInUseRecord, VantInUseEventHandle),
             sizeof ulHandle);
      TRACE_INFO("sending the VantInUseEventHandle =0x%x", (unsigned)ulHandle);
      // Identifier and 64-bit handle back to back: 12 bytes, no padding.
      BYTE request[sizeof(ULONG) + sizeof(ULONG64)];
      ULONG ulId = ID_PARAM_IN_USE_EVENT;
      memcpy(request, &ulId, sizeof ulId);
      memcpy(request + sizeof ulId, &ulHandle, sizeof ulHandle);
      LD_STATUS status = MouIoSetParameter(pDevice, request, sizeof request);
      if (status != LD_SUCCESS) {
        bResult = FALSE;
        if (status == LD_DEVICE_REMOVAL) {
          TRACE_WARNING("Suspecting device removed.");
        } else {
          TRACE_ERROR("UMD SEND IO CTL failed with status [0x%X]", (unsigned)status);
        }
      }
    }
  }
  TRACE_INFO("exit");
  return bResult;
}
