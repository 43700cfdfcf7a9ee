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
// Whether the host's last driver type was 2, which hands the driver the host's
// in-use event; a device started later must receive it too.
extern BOOL g_bInUseEventActive;

// ---- Host request records (word 0 is the record's size; handlers ignore it) ----
struct MouSpeedRecord {
  ULONG ulSize;
  ULONG ulSpeedX;
  ULONG ulSpeedY;
};
// Acceleration level, orientation, report rate, driver type, chording delay.
struct MouValueRecord {
  ULONG ulSize;
  ULONG ulValue;
};
struct MouCurveRecord {
  ULONG ulSize;
  ULONG ulCurve;      // 1 to 6
  ULONG ulPoints;     // 0 to 32
  ULONG Points[CURVE_MAX_POINTS];
};
static_assert(sizeof(MouCurveRecord) == 140, "curve record is 140 bytes");
struct MouWheelResolutionRecord {
  ULONG ulSize;
  ULONG bEnableWheelResolution;   // on a set: the high-resolution state (mode 2) or a disable switch (mode 3)
  ULONG ulWheelResolution;
};
struct MouWheelAccelerationRecord {
  ULONG ulSize;
  ULONG Enable;
  ULONG Min;
  ULONG Max;
  float MaxAcc;
  float Offset;
};
static_assert(sizeof(MouWheelAccelerationRecord) == 24, "wheel acceleration record is 24 bytes");
struct MouWheelFilterRecord {
  ULONG ulSize;
  ULONG SnapStopThreshold;
  ULONG SnapStopDelay;
  ULONG ulDropThreshold;
  ULONG ulDropRate;
};
struct MouWheelSpeedRecord {
  ULONG ulSize;
  float Speed;
  float Offset;
};
// Two 64-bit words; read with memcpy, since the host's buffer need not be 8-aligned.
struct MouInUseRecord {
  ULONG64 ulSize;
  ULONG64 VantInUseEventHandle;
};

constexpr ULONG MOU_SPEED_RECORD_SIZE = 12;
constexpr ULONG MOU_VALUE_RECORD_SIZE = 8;
constexpr ULONG MOU_CURVE_RECORD_SIZE = 140;
constexpr ULONG MOU_WHEEL_RESOLUTION_RECORD_SIZE = 12;
constexpr ULONG MOU_WHEEL_ACCELERATION_RECORD_SIZE = 24;
constexpr ULONG MOU_WHEEL_FILTER_RECORD_SIZE = 20;
constexpr ULONG MOU_WHEEL_SPEED_RECORD_SIZE = 12;
constexpr ULONG MOU_IN_USE_RECORD_SIZE = 16;

// Highest acceleration level (0 = none, 1-6 select a curve).
constexpr ULONG MOU_MAX_ACCELERATION_LEVEL = 6;

// Wheel filter flags.
constexpr ULONG SNAP_STOP_IN_FORCE = 0x1;
constexpr ULONG SNAP_STOP_SIGNAL_EVENT = 0x2;
constexpr ULONG SNAP_STOP_DEFAULT_THRESHOLD = 100;
constexpr ULONG SNAP_STOP_DEFAULT_DELAY = 250;

// Processing values pushed by the driver type.
constexpr ULONG MOU_PROCESSING_DRIVER = 0x30000;
constexpr ULONG MOU_PROCESSING_NONE = 3;

// The six built-in curves (curve n at index n - 1): points and byte count.
struct MouDefaultCurve {
  const ULONG* pPoints;
  ULONG ulBytes;
};
extern const MouDefaultCurve g_MouDefaultCurves[CURVE_COUNT];
