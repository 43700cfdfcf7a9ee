// Settings handlers: host requests turned into the driver's parameter protocol.
#pragma once
#include <windows.h>

#include "framework/UmdRecords.h"

// Driver control codes (device type 0x22, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr ULONG IOCTL_RAWPDO_REGISTER = 0x00220404;
constexpr ULONG IOCTL_RAWPDO_UNREGISTER = 0x00220408;
constexpr ULONG IOCTL_RAWPDO_READ_EVENT = 0x0022040C;
constexpr ULONG IOCTL_RAWPDO_GET = 0x00220410;
constexpr ULONG IOCTL_RAWPDO_SET = 0x00220414;

// Driver parameter identifiers.
enum : ULONG {
  ID_PARAM_POINTER_SPEED = 3102,
  ID_PARAM_ORIENTATION = 3103,
  ID_PARAM_PROCESSING = 3105,
  ID_PARAM_WHEEL_ACCELERATION = 3106,
  ID_PARAM_WHEEL_SPEED = 3107,
  ID_PARAM_WHEEL_FILTER = 3108,
  ID_PARAM_CHORDING = 3109,
  ID_PARAM_ACCELERATION = 3111,
  ID_EVENT_CHORDING_BUTTON = 3112,
  ID_PARAM_REPORT_RATE = 3114,
  ID_PARAM_WHEEL_RESOLUTION = 3116,
  ID_PARAM_IN_USE_EVENT = 3117,
  ID_PARAM_TIME_STAMP = 4000,
};

LD_STATUS MouIoGetSpeed(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoSetSpeed(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoGetAcceleration(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoSetAcceleration(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoGetOrientation(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoSetOrientation(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoSetReportRateAcc(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoGetAccelerationTable(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoSetAccelerationTable(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoGetWheelAcceleration(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoSetWheelAcceleration(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoGetWheelFilter(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoSetWheelFilter(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoGetWheelSpeed(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoSetWheelSpeed(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize);
LD_STATUS MouIoGetWheelResolution(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize, ULONG ulMode);
LD_STATUS MouIoSetWheelResolution(tDevice* pDevice, void* pBuffer, ULONG* pReturnedSize, ULONG ulMode);
LD_STATUS MouIoSetDriverType(void* pBuffer, ULONG* pReturnedSize);
BOOL MouIoSetProcessing(tDevice* pDevice, ULONG_PTR bProcessing, ULONG_PTR context);
BOOL MouIoSetChording(tDevice* pDevice, void* pBuffer);
BOOL MouIoSetVantInUseEvent(tDevice* pDevice, ULONG_PTR reserved, ULONG_PTR pRecord);

extern BOOL g_bDriverType;
