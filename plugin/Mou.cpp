// Device-control dispatch, device clean-up, event registration and the device
// callbacks of the mouse plug-in.
#include <windows.h>

#include "diag/Trace.h"
#include "framework/UmdMgr.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"

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

// ---- Hardware event registration (not built yet) ----------------------------------

extern "C" LD_STATUS MouRegisterEvent(tDevice* pDevice, void* pHWEvent, ULONG ulContext)
{
  return LD_INVALID_FUNCTION;
}

extern "C" LD_STATUS MouUnregisterEvent(tDevice* pDevice, void* pHWEvent, ULONG ulContext)
{
  return LD_INVALID_FUNCTION;
}

extern "C" BOOL MouEvaluateEventCompatibility(tDevice* pDevice, void* pNewEvent, void* pHWEvent, ULONG_PTR reserved)
{
  return FALSE;
}

// ---- Device callbacks -------------------------------------------------------------

BOOL UmdCallbackDeviceInit(tDevice* pDevice, ULONG ulZero, const tModelInfo* pModel)
{
  return pDevice != nullptr;
}

BOOL UmdCallbackDeviceStart(tDevice* pDevice)
{
  return pDevice != nullptr;
}

UmdDevInfo* UmdCallbackGetDevInfo(tDevice* pDevice)
{
  return static_cast<UmdDevInfo*>(pDevice->pUMDinfo[UMD_MOUFILT]);
}

BOOL UmdCallbackProcessEvent(tDevice* pDevice, const void* pBuffer, ULONG ulBytes)
{
  return TRUE;
}
