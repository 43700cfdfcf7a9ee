// Settings handlers in-process, against the simulated driver: the exact
// requests at the driver and the records handed back.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "diag/Trace.h"
#include "host/RefHost.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "tests/unit/TestSupport.h"
#include "tests/unit/test_mouio_support.h"

namespace {

const char kMouse0[] = "\\\\?\\HID#VID_1A2B&PID_0001#test#mouse0";
const char kMouse1[] = "\\\\?\\HID#VID_1A2B&PID_0001#test#mouse1";
const char kKeyboard[] = "\\\\?\\HID#VID_1A2B&PID_0003#test#kbd0";
const char kForeign[] = "\\\\?\\HID#VID_1A2B&PID_0004#test#other0";

class MouIoTest : public testing::Test {
protected:
  RefHost* pHost = nullptr;
  tDevice* pMouse = nullptr;
  ULONG ulSim = 0;

  void SetUp() override
  {
    SimDrvReset();
    pHost = RefHostGet();
    ASSERT_TRUE(RefHostInit(pHost));
    pHost->pfnDeviceControl = MouDeviceControl;
    pHost->pfnDeviceCleanup = MouDeviceCleanup;
    ASSERT_EQ(MouMainInit(pHost->Api, 0, 0), 1u);
    g_bDriverType = TRUE;
    pMouse = RefHostAddSimDevice(pHost, kMouse0);
    ASSERT_NE(pMouse, nullptr);
    ulSim = RefHostSimDeviceOf(pHost, pMouse);
    ASSERT_NE(ulSim, 0u);
    SimDrvClearRequests();
  }
  void TearDown() override
  {
    MouMainExit(0, 0);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    RefHostShutdown(pHost);
    SimDrvReset();
    g_bDriverType = TRUE;
  }
  LD_STATUS Call(tDevice* pDevice, ULONG ulFunction, void* pRecord, ULONG* pSize, ULONG ulMode = 0)
  {
    *pSize = 0xDEAD;
    return RefHostDeviceControl(pHost, pDevice, ulFunction, pRecord, pSize, ulMode);
  }
  void SetDriverValue(ULONG ulParam, const void* p, ULONG cb, ULONG ulDevice = 0)
  {
    ASSERT_TRUE(SimDrvSetParam(ulDevice ? ulDevice : ulSim, ulParam, p, cb));
  }
};

}  // namespace

// ---- Pointer speed, level, orientation, report rate -----------------------------------

TEST_F(MouIoTest, SpeedTravelsAsOneGainWordAndBack)
{
  TraceCapture capture;
  ULONG ulSize;
  MouSpeedRecord speed = { 12, 50, 50 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_SPEED, &speed, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 0u);
  auto sets = SimSets(ID_PARAM_POINTER_SPEED);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].ulInSize, 8u);
  EXPECT_EQ(sets[0].ulOutSize, 0u);
  EXPECT_EQ(SimWord(sets[0], 1), 0x10001000u);
  EXPECT_TRUE(capture.Contains("MouIoSetSpeed - ulSpeedX=50 ulSpeedY=50\n"));
  EXPECT_TRUE(capture.Contains("MouIoSetSpeed - setting value=0x10001000\n"));
  EXPECT_TRUE(capture.Contains("MouIoSetSpeed - exit status=LD_SUCCESS"));

  speed = { 12, 0, 0 };
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_SPEED, &speed, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 12u);
  EXPECT_EQ(speed.ulSpeedX, 50u);
  EXPECT_EQ(speed.ulSpeedY, 50u);
  EXPECT_EQ(speed.ulSize, 12u);   // the size word is the host's
  auto gets = SimGets(ID_PARAM_POINTER_SPEED);
  ASSERT_EQ(gets.size(), 1u);
  EXPECT_EQ(gets[0].ulInSize, 4u);
  EXPECT_EQ(gets[0].ulOutSize, 4u);
  EXPECT_TRUE(capture.Contains("MouIoGetSpeed - got value=0x10001000"));
  EXPECT_TRUE(capture.Contains("MouIoGetSpeed - ulSpeedX=50 ulSpeedY=50"));
  EXPECT_TRUE(capture.Contains("MouIoGetSpeed - exit, status=LD_SUCCESS"));
  // The host holds the lock: no assertion line.
  EXPECT_FALSE(capture.Contains("assert"));
}

TEST_F(MouIoTest, SpeedLosesARoundingStepAndWrapsAtSixteenBits)
{
  ULONG ulSize;
  MouSpeedRecord speed = { 12, 10, 1000 };
  ASSERT_EQ(Call(pMouse, LD_SET_MOUSE_SPEED, &speed, &ulSize), (LD_STATUS)LD_SUCCESS);
  auto sets = SimSets(ID_PARAM_POINTER_SPEED);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(SimWord(sets[0], 1), 0x40000333u);   // 819 and 81920 cut to 16384
  speed = { 12, 0, 0 };
  ASSERT_EQ(Call(pMouse, LD_GET_MOUSE_SPEED, &speed, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(speed.ulSpeedX, 9u);
  EXPECT_EQ(speed.ulSpeedY, 200u);
}

TEST_F(MouIoTest, AccelerationLevelCarriesTheCurveOfItsLevel)
{
  ULONG ulSize;
  MouValueRecord level = { 8, 0 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION, &level, &ulSize), (LD_STATUS)LD_SUCCESS);
  auto sets = SimSets(ID_PARAM_ACCELERATION);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].ulInSize, 8u);   // no points for level 0
  EXPECT_EQ(SimWord(sets[0], 1), 0u);

  SimDrvClearRequests();
  level.ulValue = 3;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION, &level, &ulSize), (LD_STATUS)LD_SUCCESS);
  sets = SimSets(ID_PARAM_ACCELERATION);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].ulInSize, 8u + 84u);
  EXPECT_EQ(SimWord(sets[0], 1), 3u);
  for (ULONG i = 0; i < 21; ++i) EXPECT_EQ(SimWord(sets[0], 2 + i), g_MouDefaultCurves[2].pPoints[i]) << i;
  EXPECT_EQ(pMouse->AccelCurves[2].ulCurveSize, 84u);   // filled on the way

  level.ulValue = 0;
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION, &level, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(level.ulValue, 3u);
  EXPECT_EQ(ulSize, 8u);
  auto gets = SimGets(ID_PARAM_ACCELERATION);
  ASSERT_EQ(gets.size(), 1u);
  EXPECT_EQ(gets[0].ulOutSize, 132u);
}

TEST_F(MouIoTest, AccelerationLevelAboveSixIsRefusedUnsent)
{
  ULONG ulSize;
  for (ULONG ulLevel : { 7u, 100u, 0xFFFFFFFFu }) {
    MouValueRecord level = { 8, ulLevel };
    EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION, &level, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER);
    EXPECT_EQ(ulSize, 0u);
  }
  EXPECT_EQ(SimRequests().size(), 0u);
}

TEST_F(MouIoTest, OrientationAndReportRatePassThrough)
{
  ULONG ulSize;
  MouValueRecord value = { 8, 2 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ORIENTATION, &value, &ulSize), (LD_STATUS)LD_SUCCESS);
  value = { 8, 125 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_REPORT_RATE_ACC, &value, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 0u);
  auto orientation = SimSets(ID_PARAM_ORIENTATION);
  auto rate = SimSets(ID_PARAM_REPORT_RATE);
  ASSERT_EQ(orientation.size(), 1u);
  ASSERT_EQ(rate.size(), 1u);
  EXPECT_EQ(orientation[0].ulInSize, 8u);
  EXPECT_EQ(SimWord(orientation[0], 1), 2u);
  EXPECT_EQ(rate[0].ulInSize, 8u);
  EXPECT_EQ(SimWord(rate[0], 1), 125u);
  value = { 8, 0 };
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_ORIENTATION, &value, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(value.ulValue, 2u);
  EXPECT_EQ(ulSize, 8u);
}

TEST_F(MouIoTest, AKeyboardIsRefusedByEveryCheckingHandler)
{
  tDevice* pKeyboard = RefHostAddSimDevice(pHost, kKeyboard, LD_DEVICETYPE_KEYBOARD);
  ASSERT_NE(pKeyboard, nullptr);
  SimDrvClearRequests();
  TraceCapture capture;
  struct Case { ULONG ulFunction; ULONG ulMode; const char* sRefusal; };
  const Case cases[] = {
    { LD_GET_MOUSE_SPEED, 0, "MouIoGetSpeed - exit, status=LD_INVALID_FUNCTION (DeviceType not LD_DEVICETYPE_MOUSE)" },
    { LD_SET_MOUSE_SPEED, 0, nullptr },
    { LD_GET_MOUSE_ACCELERATION, 0, "MouIoGetAcceleration - exit, status=LD_INVALID_FUNCTION (DeviceType not" },
    { LD_SET_MOUSE_ACCELERATION, 0, "MouIoSetAcceleration - exit, status=LD_INVALID_FUNCTION (DeviceType not" },
    { LD_GET_MOUSE_ORIENTATION, 0, "MouIoGetOrientation - exit, DeviceType not LD_DEVICETYPE_MOUSE" },
    { LD_SET_MOUSE_ORIENTATION, 0, "MouIoSetOrientation - exit, DeviceType not LD_DEVICETYPE_MOUSE" },
    { LD_SET_MOUSE_REPORT_RATE_ACC, 0, "MouIoSetReportRateAcc - exit, DeviceType not LD_DEVICETYPE_MOUSE" },
    { LD_GET_MOUSE_ACCELERATION_CURVE, 0, "MouIoGetAccelerationTable - exit, status=LD_INVALID_FUNCTION (Device" },
    { LD_SET_MOUSE_ACCELERATION_CURVE, 0, "MouIoSetAccelerationTable - exit, status=LD_INVALID_FUNCTION (Device" },
    { LD_GET_MOUSE_WHEEL_RESOLUTION, 2, "MouIoGetWheelResolution - exit, status=LD_INVALID_FUNCTION (Device" },
    { LD_SET_MOUSE_WHEEL_RESOLUTION, 2, "MouIoSetWheelResolution - exit, status=LD_INVALID_FUNCTION (Device" },
    { LD_GET_MOUSE_WHEEL_RESOLUTION, 3, nullptr },
    { LD_SET_MOUSE_WHEEL_RESOLUTION, 3, nullptr },
  };
  for (const Case& c : cases) {
    ULONG record[36] = { 140, 1, 1 };
    ULONG ulSize;
    capture.Clear();
    EXPECT_EQ(Call(pKeyboard, c.ulFunction, record, &ulSize, c.ulMode), (LD_STATUS)LD_INVALID_FUNCTION)
      << LdFunctionToString(c.ulFunction);
    EXPECT_EQ(ulSize, 0u) << LdFunctionToString(c.ulFunction);
    EXPECT_EQ(record[1], 1u);
    if (c.sRefusal != nullptr) {
      EXPECT_TRUE(capture.Contains(c.sRefusal)) << c.sRefusal;
    }
  }
  EXPECT_EQ(SimRequests().size(), 0u);
  // The speed setter refuses without a line of its own.
  capture.Clear();
  ULONG record[3] = { 12, 50, 50 };
  ULONG ulSize;
  Call(pKeyboard, LD_SET_MOUSE_SPEED, record, &ulSize);
  EXPECT_FALSE(capture.Contains("MouIoSetSpeed - exit"));
  EXPECT_TRUE(capture.Contains("MouIoSetSpeed - entry"));
}

TEST_F(MouIoTest, TransportFailuresLeaveTheRecordAlone)
{
  SimDrvSetMode(ulSim, SIMDRV_FAIL, ERROR_INVALID_PARAMETER, 0);
  ULONG ulSize;
  MouSpeedRecord speed = { 12, 7, 8 };
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_SPEED, &speed, &ulSize), (LD_STATUS)LD_IOCONTROL_ERROR);
  EXPECT_EQ(ulSize, 0u);
  EXPECT_EQ(speed.ulSpeedX, 7u);
  EXPECT_EQ(speed.ulSpeedY, 8u);
  MouValueRecord level = { 8, 9 };
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION, &level, &ulSize), (LD_STATUS)LD_IOCONTROL_ERROR);
  EXPECT_EQ(level.ulValue, 9u);
  EXPECT_EQ(ulSize, 0u);
}

TEST_F(MouIoTest, ShortDriverRepliesAreNotReadPastTheirEnd)
{
  struct Case { ULONG ulParam; ULONG ulShort; ULONG ulFunction; ULONG ulMode; };
  const Case cases[] = {
    { ID_PARAM_POINTER_SPEED, 2, LD_GET_MOUSE_SPEED, 0 },
    { ID_PARAM_ACCELERATION, 0, LD_GET_MOUSE_ACCELERATION, 0 },
    { ID_PARAM_ORIENTATION, 3, LD_GET_MOUSE_ORIENTATION, 0 },
    { ID_PARAM_WHEEL_RESOLUTION, 4, LD_GET_MOUSE_WHEEL_RESOLUTION, 2 },
    { ID_PARAM_WHEEL_ACCELERATION, 12, LD_GET_MOUSE_WHEEL_ACCELERATION, 0 },
    { ID_PARAM_WHEEL_FILTER, 19, LD_GET_MOUSE_WHEEL_FILTER, 0 },
    { ID_PARAM_WHEEL_SPEED, 2, LD_GET_MOUSE_WHEEL_SPEED, 0 },
  };
  // Values the driver would give in full.
  ULONG full[33] = { 1, 0x00050014, 0x000A0028, 0x04000100, 9 };
  TraceCapture capture;
  for (const Case& c : cases) {
    SetDriverValue(c.ulParam, full, c.ulParam == ID_PARAM_ACCELERATION ? 4 : 20);
    SimDrvSetReplyLength(ulSim, c.ulParam, c.ulShort);
    ULONG record[8] = { 24, 0xAAAA, 0xBBBB, 0xCCCC, 0xDDDD, 0xEEEE };
    ULONG ulSize;
    capture.Clear();
    EXPECT_EQ(Call(pMouse, c.ulFunction, record, &ulSize, c.ulMode), (LD_STATUS)LD_DEVICE_RETURNED_INVALID_DATA)
      << LdFunctionToString(c.ulFunction);
    EXPECT_EQ(ulSize, 0u);
    const ULONG untouched[6] = { 24, 0xAAAA, 0xBBBB, 0xCCCC, 0xDDDD, 0xEEEE };
    EXPECT_EQ(memcmp(record, untouched, sizeof untouched), 0) << LdFunctionToString(c.ulFunction);
    EXPECT_TRUE(capture.Contains("expected - reply ignored.")) << LdFunctionToString(c.ulFunction);
    EXPECT_TRUE(capture.Contains("exit, status=LD_DEVICE_RETURNED_INVALID_DATA"));
    SimDrvSetReplyLength(ulSim, c.ulParam, ~0u);
  }
}

TEST_F(MouIoTest, WithoutTheHostsLockTheHandlersAssertAndGoOn)
{
  TraceCapture capture;
  MouSpeedRecord speed = { 12, 50, 50 };
  ULONG ulSize = 0;
  EXPECT_EQ(MouDeviceControl(pMouse, LD_SET_MOUSE_SPEED, &speed, &ulSize, 0), (LD_STATUS)LD_SUCCESS);
  EXPECT_TRUE(capture.Contains("MouIoSetSpeed - MouIo.cpp line"));
  EXPECT_TRUE(capture.Contains("assert IsRemoveLockOwned( UMD_MOUFILT, pDevice )"));
  EXPECT_EQ(SimSets(ID_PARAM_POINTER_SPEED).size(), 1u);
}

// ---- Acceleration curves ---------------------------------------------------------------

TEST_F(MouIoTest, ACurveNeverSetReadsAsItsDefault)
{
  TraceCapture capture;
  MouCurveRecord curve = {};
  curve.ulSize = 140;
  curve.ulCurve = 3;
  ULONG ulSize;
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 140u);
  EXPECT_EQ(curve.ulPoints, 21u);
  EXPECT_EQ(curve.Points[0], 0x01000010u);
  EXPECT_EQ(curve.Points[20], (960u | (1536u << 16)));
  EXPECT_EQ(pMouse->AccelCurves[2].ulCurveSize, 84u);
  EXPECT_TRUE(capture.Contains("MouIoGetAccelerationTable - Curve index : 2."));
  EXPECT_TRUE(capture.Contains("MouIoGetAccelerationTable - Curve 2 is Empty. Using Default curves."));
  EXPECT_TRUE(capture.Contains("MouIoGetAccelerationTable - Curve has 21 points."));
  EXPECT_EQ(SimRequests().size(), 0u);   // the store is the device record's

  const ULONG expectedPoints[6] = { 9, 13, 21, 11, 9, 10 };
  for (ULONG n = 1; n <= 6; ++n) {
    curve = {};
    curve.ulCurve = n;
    ASSERT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
    EXPECT_EQ(curve.ulPoints, expectedPoints[n - 1]) << n;
  }
  curve = {};
  curve.ulCurve = 4;
  Call(pMouse, LD_GET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize);
  EXPECT_EQ(curve.Points[0], 0x00600000u);
}

TEST_F(MouIoTest, CurveNumbersOutsideOneToSixAreRefused)
{
  TraceCapture capture;
  ULONG ulSize;
  for (ULONG n : { 0u, 7u }) {
    MouCurveRecord curve = {};
    curve.ulCurve = n;
    curve.ulPoints = 5;
    EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER);
    EXPECT_EQ(ulSize, 0u);
    EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER);
  }
  EXPECT_TRUE(capture.Contains("Curve Index (0) is out of range."));
  EXPECT_TRUE(capture.Contains("Curve Index (7) is out of range."));
  EXPECT_EQ(SimRequests().size(), 0u);
}

TEST_F(MouIoTest, SettingACurveStoresUpToThirtyTwoPoints)
{
  ULONG ulSize;
  MouCurveRecord curve = {};
  curve.ulCurve = 2;
  curve.ulPoints = 32;
  for (ULONG i = 0; i < 32; ++i) curve.Points[i] = 0x00010000u * (i + 1) + i;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 0u);
  EXPECT_EQ(pMouse->AccelCurves[1].ulCurveSize, 128u);
  EXPECT_EQ(memcmp(pMouse->AccelCurves[1].CurveData, curve.Points, 128), 0);

  MouCurveRecord tooMany = curve;
  tooMany.ulPoints = 33;
  tooMany.Points[0] = 0x77;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &tooMany, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER);
  EXPECT_EQ(pMouse->AccelCurves[1].ulCurveSize, 128u);
  EXPECT_EQ(memcmp(pMouse->AccelCurves[1].CurveData, curve.Points, 128), 0);

  MouCurveRecord readBack = {};
  readBack.ulCurve = 2;
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION_CURVE, &readBack, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(readBack.ulPoints, 32u);
  EXPECT_EQ(memcmp(readBack.Points, curve.Points, 128), 0);
}

TEST_F(MouIoTest, AnEmptyCurveGetsItsDefaultBack)
{
  ULONG ulSize;
  MouCurveRecord curve = {};
  curve.ulCurve = 2;
  curve.ulPoints = 0;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(pMouse->AccelCurves[1].ulCurveSize, 52u);   // refilled by the read-back
  curve = {};
  curve.ulCurve = 2;
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(curve.ulPoints, 13u);
  EXPECT_EQ(curve.Points[12], (736u | (1024u << 16)));
}

TEST_F(MouIoTest, TheActiveCurveIsSentAgainOtherCurvesWait)
{
  ULONG ulSize;
  ULONG ulLevel = 4;
  SetDriverValue(ID_PARAM_ACCELERATION, &ulLevel, sizeof ulLevel);
  MouCurveRecord curve = {};
  curve.ulCurve = 4;
  curve.ulPoints = 5;
  for (ULONG i = 0; i < 5; ++i) curve.Points[i] = 0x01000000u + i;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
  auto sets = SimSets(ID_PARAM_ACCELERATION);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].ulInSize, 8u + 4u * 5u);
  EXPECT_EQ(SimWord(sets[0], 1), 4u);
  for (ULONG i = 0; i < 5; ++i) EXPECT_EQ(SimWord(sets[0], 2 + i), 0x01000000u + i);

  SimDrvClearRequests();
  ulLevel = 1;
  SetDriverValue(ID_PARAM_ACCELERATION, &ulLevel, sizeof ulLevel);
  curve.Points[0] = 0x02000000u;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(SimSetCount(), 0u);
  EXPECT_EQ(SimGets(ID_PARAM_ACCELERATION).size(), 1u);   // the level was asked, nothing sent
  EXPECT_EQ(pMouse->AccelCurves[3].ulCurveSize, 20u);
  EXPECT_EQ(*reinterpret_cast<ULONG*>(pMouse->AccelCurves[3].CurveData), 0x02000000u);
}

TEST_F(MouIoTest, AFailedLevelQueryKeepsTheNewCurve)
{
  SimDrvSetMode(ulSim, SIMDRV_FAIL, ERROR_INVALID_PARAMETER, 0);
  ULONG ulSize;
  MouCurveRecord curve = {};
  curve.ulCurve = 5;
  curve.ulPoints = 2;
  curve.Points[0] = 0x11;
  curve.Points[1] = 0x22;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_IOCONTROL_ERROR);
  EXPECT_EQ(pMouse->AccelCurves[4].ulCurveSize, 8u);
  EXPECT_EQ(SimSetCount(), 0u);
}

TEST_F(MouIoTest, ACorruptSlotSizeIsNotCopied)
{
  pMouse->AccelCurves[0].ulCurveSize = 0x1000;   // shared memory scribbled over
  TraceCapture capture;
  MouCurveRecord curve = {};
  curve.ulCurve = 1;
  ULONG ulSize;
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(curve.ulPoints, 9u);
  EXPECT_EQ(pMouse->AccelCurves[0].ulCurveSize, 36u);
  EXPECT_TRUE(capture.Contains("more than the slot (128)"));
}

// ---- Driver mode controls ---------------------------------------------------------------

TEST_F(MouIoTest, DriverTypeIsPushedToEveryServedDevice)
{
  tDevice* pMouse1 = RefHostAddSimDevice(pHost, kMouse1);
  tDevice* pKeyboard = RefHostAddSimDevice(pHost, kKeyboard, LD_DEVICETYPE_KEYBOARD);
  tDevice* pForeign = RefHostAddSimDevice(pHost, kForeign, LD_DEVICETYPE_MOUSE, UMD_HIDFILT_POWER);
  ASSERT_NE(pMouse1, nullptr);
  ASSERT_NE(pKeyboard, nullptr);
  ASSERT_NE(pForeign, nullptr);
  const ULONG served[2] = { ulSim, RefHostSimDeviceOf(pHost, pMouse1) };
  const ULONG skipped[2] = { RefHostSimDeviceOf(pHost, pKeyboard), RefHostSimDeviceOf(pHost, pForeign) };
  ULONG64 ulInUse = reinterpret_cast<ULONG_PTR>(pHost->Main.hInUseEvent);
  ASSERT_NE(ulInUse, 0u);

  struct Case { ULONG ulType; ULONG ulProcessing; ULONG64 ulHandle; const char* sLine; };
  const Case cases[] = {
    { 0, 3, 0, "Disabling the Kernel Mode Vant In Use Event" },
    { 1, 0x30000, 0, "Disabling the Kernel Mode Vant In Use Event" },
    { 2, 0x30000, ulInUse, "Enabling the Kernel Mode Vant In Use Event" },
  };
  TraceCapture capture;
  for (const Case& c : cases) {
    SimDrvClearRequests();
    capture.Clear();
    MouValueRecord type = { 8, c.ulType };
    ULONG ulSize;
    EXPECT_EQ(Call(nullptr, LD_SET_MOUSE_DRIVER_TYPE, &type, &ulSize), (LD_STATUS)LD_SUCCESS);
    EXPECT_EQ(ulSize, 0u);
    for (ULONG ulDevice : served) {
      auto processing = SimSets(ID_PARAM_PROCESSING, ulDevice);
      ASSERT_EQ(processing.size(), 1u) << c.ulType;
      EXPECT_EQ(processing[0].ulInSize, 8u);
      EXPECT_EQ(SimWord(processing[0], 1), c.ulProcessing) << c.ulType;
      auto inUse = SimSets(ID_PARAM_IN_USE_EVENT, ulDevice);
      ASSERT_EQ(inUse.size(), 1u) << c.ulType;
      EXPECT_EQ(inUse[0].ulInSize, 12u);
      ULONG64 ulHandle = 0;
      memcpy(&ulHandle, inUse[0].In + 4, 8);
      EXPECT_EQ(ulHandle, c.ulHandle) << c.ulType;
    }
    for (ULONG ulDevice : skipped) {
      EXPECT_EQ(SimSets(ID_PARAM_PROCESSING, ulDevice).size(), 0u);
      EXPECT_EQ(SimSets(ID_PARAM_IN_USE_EVENT, ulDevice).size(), 0u);
    }
    EXPECT_EQ(SimRequests().size(), 4u);
    EXPECT_TRUE(capture.Contains(std::string("MouIoSetDriverType - ulType=") + std::to_string(c.ulType)));
    EXPECT_TRUE(capture.Contains(c.sLine));
    EXPECT_EQ(g_bDriverType, c.ulType != 0);
  }
}

TEST_F(MouIoTest, ChordingGoesOnlyToServedDevicesAndAlwaysSucceeds)
{
  tDevice* pForeign = RefHostAddSimDevice(pHost, kForeign, LD_DEVICETYPE_MOUSE, UMD_HIDFILT_POWER);
  ASSERT_NE(pForeign, nullptr);
  SimDrvClearRequests();
  TraceCapture capture;
  MouValueRecord chording = { 8, 0x1F4 };
  ULONG ulSize;
  EXPECT_EQ(Call(pMouse, LD_SET_CHORDING_PARMS, &chording, &ulSize), (LD_STATUS)LD_SUCCESS);
  auto sets = SimSets(ID_PARAM_CHORDING);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].ulInSize, 8u);
  EXPECT_EQ(SimWord(sets[0], 1), 0x1F4u);
  EXPECT_TRUE(capture.Contains("MouIoSetChording - setting chording delay value=0x1f4"));

  SimDrvClearRequests();
  // Another plug-in's device: the host would not lock it for us, call directly.
  EXPECT_EQ(MouDeviceControl(pForeign, LD_SET_CHORDING_PARMS, &chording, &ulSize, 0), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(SimRequests().size(), 0u);

  SimDrvSetMode(ulSim, SIMDRV_FAIL, ERROR_INVALID_PARAMETER, 0);
  EXPECT_EQ(Call(pMouse, LD_SET_CHORDING_PARMS, &chording, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(SimSets(ID_PARAM_CHORDING).size(), 1u);
}

TEST_F(MouIoTest, InUseEventFailuresAreLoggedNotReported)
{
  TraceCapture capture;
  MouInUseRecord record = { 16, 0x123456789ABCull };
  ULONG ulSize;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_IN_USE_EVENT, &record, &ulSize), (LD_STATUS)LD_SUCCESS);
  auto sets = SimSets(ID_PARAM_IN_USE_EVENT);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].ulInSize, 12u);
  ULONG64 ulHandle = 0;
  memcpy(&ulHandle, sets[0].In + 4, 8);
  EXPECT_EQ(ulHandle, 0x123456789ABCull);
  EXPECT_TRUE(capture.Contains("sending the VantInUseEventHandle =0x56789abc"));

  capture.Clear();
  SimDrvSetMode(ulSim, SIMDRV_FAIL, ERROR_DEVICE_NOT_CONNECTED, 0);
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_IN_USE_EVENT, &record, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_TRUE(capture.Contains("<warning>"));
  EXPECT_TRUE(capture.Contains("MouIoSetVantInUseEvent - Suspecting device removed."));
  EXPECT_FALSE(MouIoSetVantInUseEvent(pMouse, 0, reinterpret_cast<ULONG_PTR>(&record)));

  capture.Clear();
  SimDrvSetMode(ulSim, SIMDRV_FAIL, ERROR_INVALID_PARAMETER, 0);
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_IN_USE_EVENT, &record, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_TRUE(capture.Contains("UMD SEND IO CTL failed with status [0x80000010]"));
  EXPECT_FALSE(capture.Contains("Suspecting device removed."));
}

// ---- Wheel settings ---------------------------------------------------------------------

TEST_F(MouIoTest, WheelSpeedPacksBothHalvesAndUnpacks)
{
  struct Case { float fSpeed, fOffset; ULONG ulWord; };
  const Case cases[] = { { 1.0f, 1.0f, 0x01000100u }, { 2.0f, 0.5f, 0x04000100u } };
  for (const Case& c : cases) {
    SimDrvClearRequests();
    MouWheelSpeedRecord wheel = { 12, c.fSpeed, c.fOffset };
    ULONG ulSize;
    EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_SPEED, &wheel, &ulSize), (LD_STATUS)LD_SUCCESS);
    auto sets = SimSets(ID_PARAM_WHEEL_SPEED);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].ulInSize, 8u);
    EXPECT_EQ(SimWord(sets[0], 1), c.ulWord);
    wheel = { 12, -1.0f, -1.0f };
    EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_WHEEL_SPEED, &wheel, &ulSize), (LD_STATUS)LD_SUCCESS);
    EXPECT_EQ(ulSize, 12u);
    EXPECT_FLOAT_EQ(wheel.Speed, c.fSpeed);
    EXPECT_FLOAT_EQ(wheel.Offset, c.fOffset);
  }
}

TEST_F(MouIoTest, WheelSpeedOutOfRangeIsRefusedUnsent)
{
  TraceCapture capture;
  const float bad[][2] = { { 1.0f, 0.0f }, { 1.0f, 2.5f }, { 0.0f, 1.0f }, { -1.0f, 1.0f },
                           { 200.0f, 2.0f }, { 200.0f, 0.5f }, { NAN, 1.0f }, { 1.0f, NAN } };
  for (const auto& b : bad) {
    MouWheelSpeedRecord wheel = { 12, b[0], b[1] };
    ULONG ulSize;
    EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_SPEED, &wheel, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER)
      << b[0] << " " << b[1];
  }
  EXPECT_EQ(SimRequests().size(), 0u);
  EXPECT_TRUE(capture.Contains("MouseIoSetWheelSpeed - Invalid Parameter."));
  // The edges are inside.
  MouWheelSpeedRecord wheel = { 12, 127.5f, 2.0f };
  ULONG ulSize;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_SPEED, &wheel, &ulSize), (LD_STATUS)LD_SUCCESS);
}

TEST_F(MouIoTest, WheelAccelerationPacksAndUnpacks)
{
  MouWheelAccelerationRecord accel = { 24, 1, 10, 20, 2.0f, 0.5f };
  ULONG ulSize;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_ACCELERATION, &accel, &ulSize), (LD_STATUS)LD_SUCCESS);
  auto sets = SimSets(ID_PARAM_WHEEL_ACCELERATION);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].ulInSize, 20u);
  EXPECT_EQ(SimWord(sets[0], 1), 1u);
  EXPECT_EQ(SimWord(sets[0], 2), 0x00050014u);
  EXPECT_EQ(SimWord(sets[0], 3), 0x000A0028u);
  EXPECT_EQ(SimWord(sets[0], 4), 0x04000100u);

  MouWheelAccelerationRecord back = { 24, 0, 0, 0, 0.0f, 0.0f };
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_WHEEL_ACCELERATION, &back, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 24u);
  EXPECT_EQ(back.Enable, 1u);
  EXPECT_EQ(back.Min, 10u);
  EXPECT_EQ(back.Max, 20u);
  EXPECT_FLOAT_EQ(back.MaxAcc, 2.0f);
  EXPECT_FLOAT_EQ(back.Offset, 0.5f);
}

TEST_F(MouIoTest, WheelAccelerationOffAndInvalid)
{
  TraceCapture capture;
  ULONG ulSize;
  const MouWheelAccelerationRecord bad[] = {
    { 24, 1, 10, 10, 2.0f, 1.0f },  { 24, 1, 20, 10, 2.0f, 1.0f },  { 24, 1, 10, 20, 0.5f, 1.0f },
    { 24, 1, 10, 20, 256.0f, 1.0f }, { 24, 1, 10, 20, 2.0f, 0.0f }, { 24, 1, 10, 20, 2.0f, 2.5f },
    { 24, 1, 10, 20, NAN, 1.0f },
  };
  for (const auto& b : bad) {
    MouWheelAccelerationRecord accel = b;
    EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_ACCELERATION, &accel, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER);
  }
  EXPECT_EQ(SimRequests().size(), 0u);
  EXPECT_TRUE(capture.Contains("MouIoSetWheelAcceleration - Invalid Parameter."));
  EXPECT_TRUE(capture.Contains("Min = 0000000A, Max = 0000000A, MaxAcc = 40000000, Offset = 3f800000."));

  // Off: the values are not looked at and travel as zeros.
  MouWheelAccelerationRecord off = { 24, 0, 20, 10, 0.0f, 9.0f };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_ACCELERATION, &off, &ulSize), (LD_STATUS)LD_SUCCESS);
  auto sets = SimSets(ID_PARAM_WHEEL_ACCELERATION);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].ulInSize, 20u);
  for (ULONG i = 1; i < 5; ++i) EXPECT_EQ(SimWord(sets[0], i), 0u) << i;
  EXPECT_TRUE(capture.Contains("- Enable:0 (Status:00000000)."));

  // Reading it back while off: success, nothing filled.
  MouWheelAccelerationRecord back = { 24, 7, 7, 7, 7.0f, 7.0f };
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_WHEEL_ACCELERATION, &back, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 0u);
  EXPECT_EQ(back.Enable, 7u);
  EXPECT_EQ(back.Min, 7u);
}

TEST_F(MouIoTest, WheelFilterSnapStopChoices)
{
  ULONG ulSize;
  // Threshold 0 on a device that signals snap-stop: the signal with 100/250.
  RefHostSetDeviceCapability(pHost, pMouse, HOST_CAP_SNAP_STOP_SIGNAL);
  MouWheelFilterRecord filter = { 20, 0, 40, 5, 6 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_FILTER, &filter, &ulSize), (LD_STATUS)LD_SUCCESS);
  auto sets = SimSets(ID_PARAM_WHEEL_FILTER);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].ulInSize, 24u);
  const ULONG signal[6] = { ID_PARAM_WHEEL_FILTER, 2, 100, 250, 5, 6 };
  for (ULONG i = 0; i < 6; ++i) EXPECT_EQ(SimWord(sets[0], i), signal[i]) << i;

  // Both values given: in force with the signal.
  SimDrvClearRequests();
  filter = { 20, 30, 40, 5, 6 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_FILTER, &filter, &ulSize), (LD_STATUS)LD_SUCCESS);
  sets = SimSets(ID_PARAM_WHEEL_FILTER);
  ASSERT_EQ(sets.size(), 1u);
  const ULONG inForce[6] = { ID_PARAM_WHEEL_FILTER, 3, 30, 40, 5, 6 };
  for (ULONG i = 0; i < 6; ++i) EXPECT_EQ(SimWord(sets[0], i), inForce[i]) << i;

  // No capability and no values: nothing in force.
  SimDrvClearRequests();
  RefHostSetDeviceCapability(pHost, pMouse, 0);
  filter = { 20, 30, 0, 5, 6 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_FILTER, &filter, &ulSize), (LD_STATUS)LD_SUCCESS);
  sets = SimSets(ID_PARAM_WHEEL_FILTER);
  ASSERT_EQ(sets.size(), 1u);
  const ULONG none[6] = { ID_PARAM_WHEEL_FILTER, 0, 0, 0, 5, 6 };
  for (ULONG i = 0; i < 6; ++i) EXPECT_EQ(SimWord(sets[0], i), none[i]) << i;
}

TEST_F(MouIoTest, WheelFilterReadBack)
{
  ULONG ulSize;
  const ULONG inForce[5] = { 3, 30, 40, 5, 6 };
  SetDriverValue(ID_PARAM_WHEEL_FILTER, inForce, sizeof inForce);
  MouWheelFilterRecord filter = { 20, 9, 9, 9, 9 };
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_WHEEL_FILTER, &filter, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 20u);
  EXPECT_EQ(filter.SnapStopThreshold, 30u);
  EXPECT_EQ(filter.SnapStopDelay, 40u);
  EXPECT_EQ(filter.ulDropThreshold, 5u);
  EXPECT_EQ(filter.ulDropRate, 6u);
  auto gets = SimGets(ID_PARAM_WHEEL_FILTER);
  ASSERT_EQ(gets.size(), 1u);
  EXPECT_EQ(gets[0].ulOutSize, 20u);

  // Not in force: threshold and delay read as 0; a signalling device without
  // the signal on is asserted.
  const ULONG off[5] = { 0, 30, 40, 7, 8 };
  SetDriverValue(ID_PARAM_WHEEL_FILTER, off, sizeof off);
  RefHostSetDeviceCapability(pHost, pMouse, HOST_CAP_SNAP_STOP_SIGNAL);
  TraceCapture capture;
  filter = { 20, 9, 9, 9, 9 };
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_WHEEL_FILTER, &filter, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(filter.SnapStopThreshold, 0u);
  EXPECT_EQ(filter.SnapStopDelay, 0u);
  EXPECT_EQ(filter.ulDropThreshold, 7u);
  EXPECT_TRUE(capture.Contains("assert WheelFilterData.Data.SnapStopOp & SNAP_STOP_SIGNAL_EVENT"));
  EXPECT_TRUE(capture.Contains("Flags:0x0, SnapStopThreshold:0x1E, SnapStopDelay:0x28, ulDropThreshold:0x7, "
                               "ulDropRate:0x8, (Status:0x0)."));
}

TEST_F(MouIoTest, WheelResolutionModesAndStates)
{
  RefHostSetDeviceCapability(pHost, pMouse, 0x00080000);
  TraceCapture capture;
  struct Case { ULONG ulMode, ulWord1, ulEnable, ulResolution; const char* sLine; };
  const Case cases[] = {
    { 2, 1, 1, 8, "Hi-Res hard enable" }, { 2, 0, 0, 1, "Hi-Res hard disable" },
    { 2, 2, 0, 8, "Hi-Res soft disable" }, { 3, 0, 1, 1, nullptr }, { 3, 5, 0, 1, nullptr },
  };
  for (const Case& c : cases) {
    SimDrvClearRequests();
    capture.Clear();
    MouWheelResolutionRecord res = { 12, c.ulWord1, 0 };
    ULONG ulSize;
    EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, c.ulMode), (LD_STATUS)LD_SUCCESS);
    auto sets = SimSets(ID_PARAM_WHEEL_RESOLUTION);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].ulInSize, 12u);
    EXPECT_EQ(SimWord(sets[0], 1), c.ulEnable) << c.ulMode << "/" << c.ulWord1;
    EXPECT_EQ(SimWord(sets[0], 2), c.ulResolution) << c.ulMode << "/" << c.ulWord1;
    EXPECT_TRUE(capture.Contains("MouIoSetWheelResolution - Wheel Resolution is 8"));
    if (c.sLine) {
      EXPECT_TRUE(capture.Contains(c.sLine));
    }

    res = { 12, 9, 9 };
    EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, c.ulMode), (LD_STATUS)LD_SUCCESS);
    EXPECT_EQ(ulSize, 12u);
    EXPECT_EQ(res.bEnableWheelResolution, c.ulEnable);
    EXPECT_EQ(res.ulWheelResolution, c.ulResolution);
  }
}

TEST_F(MouIoTest, WheelResolutionRefusalsAndQuietModes)
{
  RefHostSetDeviceCapability(pHost, pMouse, 0x00080000);
  TraceCapture capture;
  ULONG ulSize;
  MouWheelResolutionRecord res = { 12, 3, 0 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 2), (LD_STATUS)LD_INVALID_PARAMETER);
  EXPECT_TRUE(capture.Contains("<error>"));
  EXPECT_TRUE(capture.Contains("Invalid Hi-Res State"));
  EXPECT_EQ(res.bEnableWheelResolution, 3u);
  // Mode 1 does nothing; other modes assert and do nothing.
  res = { 12, 1, 0 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 1), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 1), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 0u);
  capture.Clear();
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 4), (LD_STATUS)LD_SUCCESS);
  EXPECT_TRUE(capture.Contains("assert 0"));
  capture.Clear();
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 0), (LD_STATUS)LD_SUCCESS);
  EXPECT_TRUE(capture.Contains("assert 0"));
  EXPECT_EQ(ulSize, 0u);
  EXPECT_EQ(SimRequests().size(), 0u);

  // A failed set clears word 1 of the host's record.
  SimDrvSetMode(ulSim, SIMDRV_FAIL, ERROR_INVALID_PARAMETER, 0);
  res = { 12, 1, 0 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 2), (LD_STATUS)LD_IOCONTROL_ERROR);
  EXPECT_EQ(res.bEnableWheelResolution, 0u);
}

TEST_F(MouIoTest, UncheckedWheelHandlersGiveANullDeviceToTheTransport)
{
  const ULONG functions[] = { LD_GET_MOUSE_WHEEL_ACCELERATION, LD_SET_MOUSE_WHEEL_ACCELERATION,
                              LD_GET_MOUSE_WHEEL_FILTER,       LD_SET_MOUSE_WHEEL_FILTER,
                              LD_GET_MOUSE_WHEEL_SPEED,        LD_SET_MOUSE_WHEEL_SPEED };
  for (ULONG f : functions) {
    // A record each setter accepts.
    ULONG record[6] = { 24, 0, 0, 0, 0, 0 };
    if (f == LD_SET_MOUSE_WHEEL_ACCELERATION) {
      const ULONG accel[6] = { 24, 1, 10, 20, FloatWord(2.0f), FloatWord(1.0f) };
      memcpy(record, accel, sizeof accel);
    } else if (f == LD_SET_MOUSE_WHEEL_SPEED) {
      record[1] = FloatWord(1.0f);
      record[2] = FloatWord(1.0f);
    }
    ULONG ulSize;
    EXPECT_EQ(Call(nullptr, f, record, &ulSize), (LD_STATUS)LD_INTERNAL_ERROR) << LdFunctionToString(f);
    EXPECT_EQ(ulSize, 0u);
  }
  // The checking handlers refuse it as not a mouse.
  MouSpeedRecord speed = { 12, 1, 1 };
  ULONG ulSize;
  EXPECT_EQ(Call(nullptr, LD_GET_MOUSE_SPEED, &speed, &ulSize), (LD_STATUS)LD_INVALID_FUNCTION);
  EXPECT_EQ(SimRequests().size(), 0u);
}

TEST_F(MouIoTest, NullRecordsAreRefusedUnsent)
{
  const ULONG functions[] = { LD_GET_MOUSE_SPEED,         LD_SET_MOUSE_SPEED,
                              LD_SET_MOUSE_ACCELERATION,  LD_GET_MOUSE_ACCELERATION_CURVE,
                              LD_SET_MOUSE_WHEEL_SPEED,   LD_SET_MOUSE_WHEEL_FILTER };
  for (ULONG f : functions) {
    ULONG ulSize;
    EXPECT_EQ(Call(pMouse, f, nullptr, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER) << LdFunctionToString(f);
  }
  ULONG ulSize;
  EXPECT_EQ(Call(nullptr, LD_SET_MOUSE_DRIVER_TYPE, nullptr, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER);
  EXPECT_EQ(Call(pMouse, LD_SET_CHORDING_PARMS, nullptr, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(SimRequests().size(), 0u);
}

// ---- Concurrency and time-outs -------------------------------------------------------------

namespace {
struct SpeedWorker {
  RefHost* pHost;
  tDevice* pDevice;
  ULONG ulSpeed;
  LONG lFailures;
};
DWORD WINAPI SpeedWorkerThread(void* pContext)
{
  auto* w = static_cast<SpeedWorker*>(pContext);
  for (int i = 0; i < 100; ++i) {
    MouSpeedRecord speed = { 12, w->ulSpeed, w->ulSpeed };
    ULONG ulSize = 0;
    if (RefHostDeviceControl(w->pHost, w->pDevice, LD_SET_MOUSE_SPEED, &speed, &ulSize) != LD_SUCCESS) {
      InterlockedIncrement(&w->lFailures);
    }
    speed = { 12, 0, 0 };
    if (RefHostDeviceControl(w->pHost, w->pDevice, LD_GET_MOUSE_SPEED, &speed, &ulSize) != LD_SUCCESS ||
        ulSize != 12 || speed.ulSpeedX != speed.ulSpeedY || speed.ulSpeedX == 0) {
      InterlockedIncrement(&w->lFailures);
    }
  }
  return 0;
}
}  // namespace

TEST_F(MouIoTest, HandlersRunAtOnceOnOneDeviceAndOnSeveral)
{
  tDevice* pMouse1 = RefHostAddSimDevice(pHost, kMouse1);
  ASSERT_NE(pMouse1, nullptr);
  SimDrvSetMode(ulSim, SIMDRV_COMPLETE_LATER, 0, 1);   // overlapped answers from the driver's thread
  SimDrvClearRequests();
  SpeedWorker workers[4] = { { pHost, pMouse, 25, 0 }, { pHost, pMouse, 50, 0 }, { pHost, pMouse1, 75, 0 },
                             { pHost, pMouse1, 100, 0 } };
  HANDLE threads[4];
  for (int i = 0; i < 4; ++i) threads[i] = CreateThread(nullptr, 0, SpeedWorkerThread, &workers[i], 0, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(4, threads, TRUE, 60000), (DWORD)WAIT_OBJECT_0);
  for (int i = 0; i < 4; ++i) {
    CloseHandle(threads[i]);
    EXPECT_EQ(workers[i].lFailures, 0) << i;
  }
  EXPECT_EQ(SimSets(ID_PARAM_POINTER_SPEED, ulSim).size(), 200u);
  EXPECT_EQ(SimSets(ID_PARAM_POINTER_SPEED, RefHostSimDeviceOf(pHost, pMouse1)).size(), 200u);
  EXPECT_EQ(pMouse->RemoveLock[UMD_MOUFILT].lLock, 0);
  EXPECT_EQ(SimDrvPendingCount(0), 0u);
}

// Waits out the transport's 2000 ms bound.
class SlowMouIoTest : public MouIoTest {};

TEST_F(SlowMouIoTest, ADriverThatNeverAnswersTimesOutAndLeavesTheRecord)
{
  SimDrvSetMode(ulSim, SIMDRV_NEVER_ANSWER, 0, 0);
  MouWheelFilterRecord filter = { 20, 1, 2, 3, 4 };
  ULONG ulSize;
  DWORD dwStart = GetTickCount();
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_WHEEL_FILTER, &filter, &ulSize), (LD_STATUS)LD_INTERNAL_ERROR);
  DWORD dwElapsed = GetTickCount() - dwStart;
  EXPECT_GE(dwElapsed, 1900u);
  EXPECT_EQ(ulSize, 0u);
  EXPECT_EQ(filter.SnapStopThreshold, 1u);
  EXPECT_EQ(filter.ulDropRate, 4u);
  EXPECT_EQ(SimDrvPendingCount(ulSim), 0u);   // cancelled, not left behind
}
