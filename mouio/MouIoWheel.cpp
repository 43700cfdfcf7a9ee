// Wheel settings: high-resolution mode, wheel acceleration, wheel filter and
// wheel speed.
#include <cstring>

#include "mouio/MouIoInternal.h"
#include "mouio/MouIoPack.h"

static ULONG FloatBits(float f)
{
  ULONG ul;
  memcpy(&ul, &f, sizeof ul);
  return ul;
}

// ---- High-resolution wheel ---------------------------------------------------------

LD_STATUS MouIoGetWheelResolution(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize, ULONG ulMode)
{
  TRACE_INFO("entry");
  MOUIO_RETURNED_SIZE(pReturnedSize);
  LD_STATUS status = LD_SUCCESS;
  switch (ulMode) {
  case 1:
    break;
  case 2:
  case 3: {
    if (!MouIoIsMouse(pDevice)) {
      TRACE_INFO("exit, status=LD_INVALID_FUNCTION (DeviceType not LD_DEVICETYPE_MOUSE)");
      return LD_INVALID_FUNCTION;
    }
    MOUIO_ASSERT_LOCKED(pDevice);
    *pReturnedSize = 0;
    MOUIO_REFUSE_NULL_RECORD(pBuffer);
    ULONG reply[2] = {};
    ULONG ulReturned = 0;
    status = MouIoGetParameter(pDevice, ID_PARAM_WHEEL_RESOLUTION, reply, sizeof reply, &ulReturned);
    MOUIO_CHECK_REPLY(status, ulReturned, sizeof reply);
    if (status == LD_SUCCESS) {
      auto* pRecord = static_cast<MouWheelResolutionRecord*>(pBuffer);
      pRecord->bEnableWheelResolution = reply[0];
      pRecord->ulWheelResolution = reply[1];
      TRACE_INFO("bEnableWheelResolution = %d, ulWheelResolution = %d", (int)reply[0], (int)reply[1]);
      *pReturnedSize = MOU_WHEEL_RESOLUTION_RECORD_SIZE;
    }
    break;
  }
  default:
    DRAV_ASSERT_TEXT(FALSE, "0");
    break;
  }
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

LD_STATUS MouIoSetWheelResolution(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize, ULONG ulMode)
{
  TRACE_INFO("entry");
  MOUIO_RETURNED_SIZE(pReturnedSize);
  ULONG ulCapability = HostDeviceCapability(g_pDevMgrApi, pDevice);
  ULONG ulResolution = (ulCapability >> HOST_CAP_WHEEL_RESOLUTION_SHIFT) & HOST_CAP_WHEEL_RESOLUTION_MASK;
  TRACE_INFO("Wheel Resolution is %d", (int)ulResolution);

  if (ulMode == 1) {
    TRACE_INFO("exit, status=%s", LdStatusToString(LD_SUCCESS));
    return LD_SUCCESS;
  }
  if (ulMode != 2 && ulMode != 3) {
    DRAV_ASSERT_TEXT(FALSE, "0");
    TRACE_INFO("exit, status=%s", LdStatusToString(LD_SUCCESS));
    return LD_SUCCESS;
  }
  MOUIO_REFUSE_NULL_RECORD(pBuffer);
  auto* pRecord = static_cast<MouWheelResolutionRecord*>(pBuffer);
  ULONG ulState = pRecord->bEnableWheelResolution;
  ULONG request[3] = { ID_PARAM_WHEEL_RESOLUTION, 0, 1 };   // identifier, enable flag, resolution
  if (ulMode == 2) {
    switch (ulState) {
    case 0:
      TRACE_INFO("Hi-Res hard disable");
      request[1] = 0;
      request[2] = 1;
      break;
    case 1:
      TRACE_INFO("Hi-Res hard enable");
      request[1] = 1;
      request[2] = ulResolution;
      break;
    case 2:
      TRACE_INFO("Hi-Res soft disable");
      request[1] = 0;
      request[2] = ulResolution;
      break;
    default:
      // No enable flag or resolution belongs to this state: nothing is sent.
      TRACE_ERROR("Invalid Hi-Res State");
      TRACE_INFO("exit, status=%s", LdStatusToString(LD_INVALID_PARAMETER));
      return LD_INVALID_PARAMETER;
    }
  } else {
    request[1] = ulState == 0 ? 1 : 0;   // word 1 is a disable switch in this mode
    request[2] = 1;
  }

  if (!MouIoIsMouse(pDevice)) {
    TRACE_INFO("exit, status=LD_INVALID_FUNCTION (DeviceType not LD_DEVICETYPE_MOUSE)");
    return LD_INVALID_FUNCTION;
  }
  MOUIO_ASSERT_LOCKED(pDevice);
  *pReturnedSize = 0;
  LD_STATUS status = MouIoSetParameter(pDevice, request, sizeof request);
  if (status != LD_SUCCESS) {
    pRecord->bEnableWheelResolution = 0;
  }
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

// ---- Wheel acceleration -------------------------------------------------------------

LD_STATUS MouIoGetWheelAcceleration(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  TRACE_INFO("entry");
  MOUIO_RETURNED_SIZE(pReturnedSize);
  *pReturnedSize = 0;
  MOUIO_REFUSE_NULL_RECORD(pBuffer);

  ULONG reply[4] = {};   // enable flag, packed Min, packed Max, packed MaxAcc
  ULONG ulReturned = 0;
  LD_STATUS status = MouIoGetParameter(pDevice, ID_PARAM_WHEEL_ACCELERATION, reply, sizeof reply, &ulReturned);
  MOUIO_CHECK_REPLY(status, ulReturned, sizeof reply);
  TRACE_INFO("Min = %08X, Max = %08X, MaxAcc = %08X, Offset = %08x.", (unsigned)reply[1], (unsigned)reply[2],
             (unsigned)reply[3], (unsigned)reply[3]);
  if (status == LD_SUCCESS && reply[0] != 0) {
    auto* pRecord = static_cast<MouWheelAccelerationRecord*>(pBuffer);
    pRecord->Enable = 1;
    pRecord->Min = MouIoUnpackInteger(reply[1]);
    pRecord->Max = MouIoUnpackInteger(reply[2]);
    float fMaxAcc, fOffset;
    MouIoUnpackFixed(reply[3], &fMaxAcc, &fOffset);
    pRecord->MaxAcc = fMaxAcc;
    pRecord->Offset = fOffset;
    *pReturnedSize = MOU_WHEEL_ACCELERATION_RECORD_SIZE;
  }
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

LD_STATUS MouIoSetWheelAcceleration(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  TRACE_INFO("entry");
  MOUIO_RETURNED_SIZE(pReturnedSize);
  *pReturnedSize = 0;
  MOUIO_REFUSE_NULL_RECORD(pBuffer);

  const auto* pRecord = static_cast<const MouWheelAccelerationRecord*>(pBuffer);
  BOOL bValid = TRUE;
  if (pRecord->Enable != 0) {
    double dMaxAcc = pRecord->MaxAcc;
    double dOffset = pRecord->Offset;
    // Written so that a NaN fails every test.
    bValid = pRecord->Min < pRecord->Max && dMaxAcc >= 1.0 && dMaxAcc <= 255.0 && dOffset > 0.0 && dOffset <= 2.0;
    // A half that does not fit its bits would reach the driver as another value.
    bValid = bValid && MouIoIntegerFits(pRecord->Min, pRecord->Offset) &&
             MouIoIntegerFits(pRecord->Max, pRecord->Offset) && MouIoFixedFits(pRecord->MaxAcc, pRecord->Offset);
    if (!bValid) {
      TRACE_INFO("Invalid Parameter.");
    }
  }
  TRACE_INFO("Min = %08X, Max = %08X, MaxAcc = %08X, Offset = %08x.", (unsigned)pRecord->Min, (unsigned)pRecord->Max,
             (unsigned)FloatBits(pRecord->MaxAcc), (unsigned)FloatBits(pRecord->Offset));
  if (!bValid) {
    TRACE_INFO("exit, status=%s", LdStatusToString(LD_INVALID_PARAMETER));
    return LD_INVALID_PARAMETER;
  }

  ULONG request[5] = { ID_PARAM_WHEEL_ACCELERATION, 0, 0, 0, 0 };
  LD_STATUS status;
  if (pRecord->Enable != 0) {
    request[1] = 1;
    request[2] = MouIoPackInteger(pRecord->Min, pRecord->Offset);
    request[3] = MouIoPackInteger(pRecord->Max, pRecord->Offset);
    request[4] = MouIoPackFixed(pRecord->MaxAcc, pRecord->Offset);
    status = MouIoSetParameter(pDevice, request, sizeof request);
    TRACE_INFO("- Min = %08X, Max = %08X, MaxAcc = %08X, Enable:%d (Status:%08X).", (unsigned)request[2],
               (unsigned)request[3], (unsigned)request[4], (int)request[1], (unsigned)status);
  } else {
    status = MouIoSetParameter(pDevice, request, sizeof request);
    TRACE_INFO("- Enable:%d (Status:%08X).", (int)request[1], (unsigned)status);
  }
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

// ---- Wheel filter -------------------------------------------------------------------

LD_STATUS MouIoGetWheelFilter(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  TRACE_INFO("Entry");
  MOUIO_RETURNED_SIZE(pReturnedSize);
  *pReturnedSize = 0;
  MOUIO_REFUSE_NULL_RECORD(pBuffer);

  ULONG reply[5] = {};   // SnapStopOp, threshold, delay, drop threshold, drop rate
  ULONG ulReturned = 0;
  LD_STATUS status = MouIoGetParameter(pDevice, ID_PARAM_WHEEL_FILTER, reply, sizeof reply, &ulReturned);
  MOUIO_CHECK_REPLY(status, ulReturned, sizeof reply);
  TRACE_INFO("Flags:0x%X, SnapStopThreshold:0x%X, SnapStopDelay:0x%X, ulDropThreshold:0x%X, ulDropRate:0x%X, "
             "(Status:0x%X).",
             (unsigned)reply[0], (unsigned)reply[1], (unsigned)reply[2], (unsigned)reply[3], (unsigned)reply[4],
             (unsigned)status);
  if (status == LD_SUCCESS) {
    // A failed request leaves the record as it was; snap-stop values not in
    // force read as 0.
    auto* pRecord = static_cast<MouWheelFilterRecord*>(pBuffer);
    pRecord->SnapStopThreshold = 0;
    pRecord->SnapStopDelay = 0;
    if (reply[0] & SNAP_STOP_IN_FORCE) {
      pRecord->SnapStopThreshold = reply[1];
      pRecord->SnapStopDelay = reply[2];
    }
    pRecord->ulDropThreshold = reply[3];
    pRecord->ulDropRate = reply[4];
    if (HostDeviceCapability(g_pDevMgrApi, pDevice) & HOST_CAP_SNAP_STOP_SIGNAL) {
      DRAV_ASSERT_TEXT(reply[0] & SNAP_STOP_SIGNAL_EVENT, "WheelFilterData.Data.SnapStopOp & SNAP_STOP_SIGNAL_EVENT");
    }
    *pReturnedSize = MOU_WHEEL_FILTER_RECORD_SIZE;
  }
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

LD_STATUS MouIoSetWheelFilter(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  TRACE_INFO("MouseIoSetWheelFilter - Entry.");
  MOUIO_RETURNED_SIZE(pReturnedSize);
  *pReturnedSize = 0;
  MOUIO_REFUSE_NULL_RECORD(pBuffer);

  const auto* pRecord = static_cast<const MouWheelFilterRecord*>(pBuffer);
  ULONG request[6] = { ID_PARAM_WHEEL_FILTER, 0, 0, 0, pRecord->ulDropThreshold, pRecord->ulDropRate };
  if (pRecord->SnapStopThreshold != 0 && pRecord->SnapStopDelay != 0) {
    request[1] = SNAP_STOP_IN_FORCE | SNAP_STOP_SIGNAL_EVENT;
    request[2] = pRecord->SnapStopThreshold;
    request[3] = pRecord->SnapStopDelay;
  } else if (HostDeviceCapability(g_pDevMgrApi, pDevice) & HOST_CAP_SNAP_STOP_SIGNAL) {
    request[1] = SNAP_STOP_SIGNAL_EVENT;
    request[2] = SNAP_STOP_DEFAULT_THRESHOLD;
    request[3] = SNAP_STOP_DEFAULT_DELAY;
  }
  LD_STATUS status = MouIoSetParameter(pDevice, request, sizeof request);
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

// ---- Wheel speed ----------------------------------------------------------------------

// Both wheel-speed handlers trace the record they are given on entry.
#define MOUIO_WHEEL_SPEED_ENTRY(pBuffer, pReturnedSize)                          \
  MOUIO_RETURNED_SIZE(pReturnedSize);                                           \
  if ((pBuffer) == nullptr) {                                                   \
    TRACE_INFO("Entry");                                                        \
  } else {                                                                      \
    const auto* pIn_ = static_cast<const MouWheelSpeedRecord*>(pBuffer);        \
    TRACE_INFO("Entry (%f,%f).", (double)pIn_->Speed, (double)pIn_->Offset);    \
  }                                                                             \
  *(pReturnedSize) = 0;                                                         \
  MOUIO_REFUSE_NULL_RECORD(pBuffer)

LD_STATUS MouIoGetWheelSpeed(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  MOUIO_WHEEL_SPEED_ENTRY(pBuffer, pReturnedSize);

  ULONG ulValue = 0;
  ULONG ulReturned = 0;
  LD_STATUS status = MouIoGetParameter(pDevice, ID_PARAM_WHEEL_SPEED, &ulValue, sizeof ulValue, &ulReturned);
  MOUIO_CHECK_REPLY(status, ulReturned, sizeof ulValue);
  if (status == LD_SUCCESS) {
    auto* pRecord = static_cast<MouWheelSpeedRecord*>(pBuffer);
    float fSpeed, fOffset;
    MouIoUnpackFixed(ulValue, &fSpeed, &fOffset);
    pRecord->Speed = fSpeed;
    pRecord->Offset = fOffset;
    TRACE_INFO("MouseIoSetWheelSpeed - Speed:%f,%f.\n", (double)fSpeed, (double)fOffset);
    *pReturnedSize = MOU_WHEEL_SPEED_RECORD_SIZE;
  }
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}

LD_STATUS MouIoSetWheelSpeed(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize)
{
  MOUIO_WHEEL_SPEED_ENTRY(pBuffer, pReturnedSize);

  const auto* pRecord = static_cast<const MouWheelSpeedRecord*>(pBuffer);
  float fSpeed = pRecord->Speed;
  float fOffset = pRecord->Offset;
  // The offset is tested first, so the quotient is never taken by zero; a NaN
  // fails every test.
  bool bValid = (double)fOffset > 0.0 && (double)fOffset <= 2.0 && (double)fSpeed > 0.0;
  if (bValid) {
    float fProduct = fSpeed * fOffset;
    float fQuotient = fSpeed / fOffset;
    bValid = (double)fProduct <= 255.0 && (double)fQuotient <= 255.0;
  }
  if (!bValid) {
    TRACE_INFO("MouseIoSetWheelSpeed - Invalid Parameter.");
    TRACE_INFO("exit, status=%s", LdStatusToString(LD_INVALID_PARAMETER));
    return LD_INVALID_PARAMETER;
  }
  LD_STATUS status = MouIoSetValue(pDevice, ID_PARAM_WHEEL_SPEED, MouIoPackFixed(fSpeed, fOffset));
  TRACE_INFO("exit, status=%s", LdStatusToString(status));
  return status;
}
