// Settings handlers. Not built yet: every handler refuses its function.
#include "mouio/MouIo.h"

BOOL g_bDriverType = TRUE;

#define NOT_BUILT(name) \
  LD_STATUS name(tDevice*, void*, ULONG*) { return LD_INVALID_FUNCTION; }
NOT_BUILT(MouIoGetSpeed)
NOT_BUILT(MouIoSetSpeed)
NOT_BUILT(MouIoGetAcceleration)
NOT_BUILT(MouIoSetAcceleration)
NOT_BUILT(MouIoGetOrientation)
NOT_BUILT(MouIoSetOrientation)
NOT_BUILT(MouIoSetReportRateAcc)
NOT_BUILT(MouIoGetAccelerationTable)
NOT_BUILT(MouIoSetAccelerationTable)
NOT_BUILT(MouIoGetWheelAcceleration)
NOT_BUILT(MouIoSetWheelAcceleration)
NOT_BUILT(MouIoGetWheelFilter)
NOT_BUILT(MouIoSetWheelFilter)
NOT_BUILT(MouIoGetWheelSpeed)
NOT_BUILT(MouIoSetWheelSpeed)
LD_STATUS MouIoGetWheelResolution(tDevice*, void*, ULONG*, ULONG) { return LD_INVALID_FUNCTION; }
LD_STATUS MouIoSetWheelResolution(tDevice*, void*, ULONG*, ULONG) { return LD_INVALID_FUNCTION; }
LD_STATUS MouIoSetDriverType(void*, ULONG*) { return LD_INVALID_FUNCTION; }
BOOL MouIoSetProcessing(tDevice*, ULONG_PTR, ULONG_PTR) { return TRUE; }
BOOL MouIoSetChording(tDevice*, void*) { return TRUE; }
BOOL MouIoSetVantInUseEvent(tDevice*, ULONG_PTR, ULONG_PTR) { return TRUE; }
