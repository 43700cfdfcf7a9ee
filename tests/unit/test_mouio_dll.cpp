// Settings handlers through the DLL's exports, bound to the reference host:
// what bin\DRAVMOU.dll sends reaches the same simulated driver.
#include <gtest/gtest.h>

#include "framework/UmdMgr.h"
#include "host/RefHost.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "diag/Trace.h"
#include "tests/unit/TestSupport.h"
#include "tests/unit/test_mouio_support.h"

namespace {

const char kMouse0[] = "\\\\?\\HID#VID_1A2B&PID_0001#dll#mouse0";
const char kMouse1[] = "\\\\?\\HID#VID_1A2B&PID_0001#dll#mouse1";
const char kKeyboard[] = "\\\\?\\HID#VID_1A2B&PID_0003#dll#kbd0";
const char kForeign[] = "\\\\?\\HID#VID_1A2B&PID_0004#dll#other0";

// The message window's class is registered under the host's module and
// outlives the DLL that registers it first; registered here by the static copy,
// it stays usable after the DLL is unloaded.
void RegisterWindowClassHere()
{
  WNDCLASSA wc = {};
  if (!GetClassInfoA(GetModuleHandleA(nullptr), MOU_WINDOW_CLASS, &wc)) {
    wc.lpfnWndProc = UmdWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = MOU_WINDOW_CLASS;
    RegisterClassA(&wc);
  }
}

class MouIoDllTest : public testing::Test {
protected:
  RefHostPlugin plugin = {};
  RefHost* pHost = nullptr;
  tDevice* pMouse = nullptr;
  ULONG ulSim = 0;

  void SetUp() override
  {
    RegisterWindowClassHere();
    SimDrvReset();
    ASSERT_TRUE(RefHostLoadPlugin(&plugin, "DRAVMOU.dll"));
    pHost = RefHostGet();
    ASSERT_TRUE(RefHostInit(pHost));
    ASSERT_EQ(RefHostBindPlugin(pHost, &plugin), 1u);
    pMouse = RefHostAddSimDevice(pHost, kMouse0);
    ASSERT_NE(pMouse, nullptr);
    ulSim = RefHostSimDeviceOf(pHost, pMouse);
    SimDrvClearRequests();
  }
  void TearDown() override
  {
    if (plugin.MouMainExit != nullptr) {
      plugin.MouMainExit(0, 0);
    }
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    RefHostShutdown(pHost);
    RefHostUnloadPlugin(&plugin);
    SimDrvReset();
  }
  LD_STATUS Call(tDevice* pDevice, ULONG ulFunction, void* pRecord, ULONG* pSize, ULONG ulMode = 0)
  {
    *pSize = 0xDEAD;
    return RefHostDeviceControl(pHost, pDevice, ulFunction, pRecord, pSize, ulMode);
  }
};

}  // namespace

TEST_F(MouIoDllTest, SpeedRoundTrip)
{
  ULONG ulSize;
  MouSpeedRecord speed = { 12, 50, 50 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_SPEED, &speed, &ulSize), (LD_STATUS)LD_SUCCESS);
  auto sets = SimSets(ID_PARAM_POINTER_SPEED, ulSim);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].dwIoctl, 0x00220414u);
  EXPECT_EQ(sets[0].ulInSize, 8u);
  EXPECT_EQ(SimWord(sets[0], 1), 0x10001000u);
  speed = { 12, 0, 0 };
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_SPEED, &speed, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 12u);
  EXPECT_EQ(speed.ulSpeedX, 50u);
  EXPECT_EQ(speed.ulSpeedY, 50u);
  auto gets = SimGets(ID_PARAM_POINTER_SPEED, ulSim);
  ASSERT_EQ(gets.size(), 1u);
  EXPECT_EQ(gets[0].dwIoctl, 0x00220410u);
}

TEST_F(MouIoDllTest, AccelerationLevelsZeroAndSeven)
{
  ULONG ulSize;
  MouValueRecord level = { 8, 7 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION, &level, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER);
  EXPECT_EQ(SimRequests().size(), 0u);
  level.ulValue = 0;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION, &level, &ulSize), (LD_STATUS)LD_SUCCESS);
  auto sets = SimSets(ID_PARAM_ACCELERATION);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].ulInSize, 8u);
  EXPECT_EQ(SimWord(sets[0], 1), 0u);
}

TEST_F(MouIoDllTest, KeyboardIsRefused)
{
  tDevice* pKeyboard = RefHostAddSimDevice(pHost, kKeyboard, LD_DEVICETYPE_KEYBOARD);
  ASSERT_NE(pKeyboard, nullptr);
  SimDrvClearRequests();
  for (ULONG f : { LD_GET_MOUSE_SPEED, LD_SET_MOUSE_SPEED, LD_SET_MOUSE_ACCELERATION, LD_GET_MOUSE_ORIENTATION,
                   LD_GET_MOUSE_ACCELERATION_CURVE }) {
    ULONG record[36] = { 140, 1, 1 };
    ULONG ulSize;
    EXPECT_EQ(Call(pKeyboard, f, record, &ulSize), (LD_STATUS)LD_INVALID_FUNCTION) << LdFunctionToString(f);
    EXPECT_EQ(ulSize, 0u);
  }
  EXPECT_EQ(SimRequests().size(), 0u);
}

TEST_F(MouIoDllTest, CurveFourIsResentWhileItsLevelIsActive)
{
  ULONG ulLevel = 4;
  ASSERT_TRUE(SimDrvSetParam(ulSim, ID_PARAM_ACCELERATION, &ulLevel, sizeof ulLevel));
  MouCurveRecord curve = {};
  curve.ulSize = 140;
  curve.ulCurve = 4;
  curve.ulPoints = 3;
  curve.Points[0] = 0x00100020;
  curve.Points[1] = 0x00300040;
  curve.Points[2] = 0x00500060;
  ULONG ulSize;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
  auto sets = SimSets(ID_PARAM_ACCELERATION);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].ulInSize, 20u);
  EXPECT_EQ(SimWord(sets[0], 1), 4u);
  EXPECT_EQ(SimWord(sets[0], 4), 0x00500060u);

  // Curve 3 of a new device through the DLL: the default.
  curve = {};
  curve.ulCurve = 3;
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 140u);
  EXPECT_EQ(curve.ulPoints, 21u);
  EXPECT_EQ(curve.Points[0], 0x01000010u);
  EXPECT_EQ(pMouse->AccelCurves[2].ulCurveSize, 84u);
}

TEST_F(MouIoDllTest, DriverTypeTwoHandsOverTheHostsEvent)
{
  tDevice* pMouse1 = RefHostAddSimDevice(pHost, kMouse1);
  tDevice* pForeign = RefHostAddSimDevice(pHost, kForeign, LD_DEVICETYPE_MOUSE, UMD_HIDFILT_POWER);
  ASSERT_NE(pMouse1, nullptr);
  ASSERT_NE(pForeign, nullptr);
  SimDrvClearRequests();
  MouValueRecord type = { 8, 2 };
  ULONG ulSize;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_DRIVER_TYPE, &type, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER);
  EXPECT_EQ(SimRequests().size(), 0u);
  EXPECT_EQ(Call(nullptr, LD_SET_MOUSE_DRIVER_TYPE, &type, &ulSize), (LD_STATUS)LD_SUCCESS);
  for (ULONG ulDevice : { ulSim, RefHostSimDeviceOf(pHost, pMouse1) }) {
    auto processing = SimSets(ID_PARAM_PROCESSING, ulDevice);
    ASSERT_EQ(processing.size(), 1u);
    EXPECT_EQ(SimWord(processing[0], 1), 0x30000u);
    auto inUse = SimSets(ID_PARAM_IN_USE_EVENT, ulDevice);
    ASSERT_EQ(inUse.size(), 1u);
    EXPECT_EQ(inUse[0].ulInSize, 12u);
    ULONG64 ulHandle = 0;
    memcpy(&ulHandle, inUse[0].In + 4, 8);
    EXPECT_EQ(ulHandle, (ULONG64)reinterpret_cast<ULONG_PTR>(pHost->Main.hInUseEvent));
  }
  EXPECT_EQ(SimSets(ID_PARAM_PROCESSING, RefHostSimDeviceOf(pHost, pForeign)).size(), 0u);

  // Type 0 afterwards: processing 3 and a null handle.
  SimDrvClearRequests();
  type.ulValue = 0;
  EXPECT_EQ(Call(nullptr, LD_SET_MOUSE_DRIVER_TYPE, &type, &ulSize), (LD_STATUS)LD_SUCCESS);
  auto processing = SimSets(ID_PARAM_PROCESSING, ulSim);
  ASSERT_EQ(processing.size(), 1u);
  EXPECT_EQ(SimWord(processing[0], 1), 3u);
  auto inUse = SimSets(ID_PARAM_IN_USE_EVENT, ulSim);
  ASSERT_EQ(inUse.size(), 1u);
  EXPECT_EQ(SimWord(inUse[0], 1), 0u);
  EXPECT_EQ(SimWord(inUse[0], 2), 0u);
}

TEST_F(MouIoDllTest, WheelSettingsThroughTheDll)
{
  RefHostSetDeviceCapability(pHost, pMouse, 0x00080000);
  ULONG ulSize;
  MouWheelResolutionRecord res = { 12, 1, 0 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 2), (LD_STATUS)LD_SUCCESS);
  auto sets = SimSets(ID_PARAM_WHEEL_RESOLUTION);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(SimWord(sets[0], 1), 1u);
  EXPECT_EQ(SimWord(sets[0], 2), 8u);
  SimDrvClearRequests();
  res = { 12, 3, 0 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 2), (LD_STATUS)LD_INVALID_PARAMETER);
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 1), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 0u);
  EXPECT_EQ(SimRequests().size(), 0u);

  MouWheelSpeedRecord wheel = { 12, 2.0f, 0.5f };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_SPEED, &wheel, &ulSize), (LD_STATUS)LD_SUCCESS);
  auto speed = SimSets(ID_PARAM_WHEEL_SPEED);
  ASSERT_EQ(speed.size(), 1u);
  EXPECT_EQ(SimWord(speed[0], 1), 0x04000100u);

  // A driver answering short: invalid data, record as it was.
  SimDrvSetReplyLength(ulSim, ID_PARAM_WHEEL_SPEED, 2);
  wheel = { 12, 9.0f, 9.0f };
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_WHEEL_SPEED, &wheel, &ulSize), (LD_STATUS)LD_DEVICE_RETURNED_INVALID_DATA);
  EXPECT_EQ(ulSize, 0u);
  EXPECT_EQ(wheel.Speed, 9.0f);
}

TEST_F(MouIoDllTest, UnbindingRemovesTheDevicesOfThePlugin)
{
  tDevice* pForeign = RefHostAddSimDevice(pHost, kForeign, LD_DEVICETYPE_MOUSE, UMD_HIDFILT_POWER);
  ASSERT_NE(pForeign, nullptr);
  EXPECT_EQ(RefHostDeviceCount(pHost), 2u);
  EXPECT_EQ(plugin.MouMainExit(0, 0), 1u);
  EXPECT_EQ(RefHostDeviceCount(pHost), 1u);   // the other plug-in's device stays
  EXPECT_NE(RefHostFindSlot(pHost, pForeign), nullptr);
  plugin.MouMainExit = nullptr;   // already unbound
}

TEST(MouIoDllTrace, TheDllsLinesReachItsLogFile)
{
  const char kDravKey[] = "SOFTWARE\\Vantorix\\DRAV";
  std::string path = TestScratchDir("mouio_dll_trace") + "\\trace.txt";
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags", TRACE_FLAG_LOGFILE);
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", path.c_str());
  RegisterWindowClassHere();
  SimDrvReset();
  RefHostPlugin plugin;
  BOOL bLoaded = RefHostLoadPlugin(&plugin, "DRAVMOU.dll");   // the settings are read at load
  TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags");
  TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile");
  ASSERT_TRUE(bLoaded);
  RefHost* pHost = RefHostGet();
  ASSERT_TRUE(RefHostInit(pHost));
  ASSERT_EQ(RefHostBindPlugin(pHost, &plugin), 1u);
  tDevice* pMouse = RefHostAddSimDevice(pHost, kMouse0);
  tDevice* pKeyboard = RefHostAddSimDevice(pHost, kKeyboard, LD_DEVICETYPE_KEYBOARD);
  ASSERT_NE(pMouse, nullptr);
  ASSERT_NE(pKeyboard, nullptr);
  ULONG ulSize = 0;
  MouSpeedRecord speed = { 12, 50, 50 };
  EXPECT_EQ(RefHostDeviceControl(pHost, pMouse, LD_SET_MOUSE_SPEED, &speed, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(RefHostDeviceControl(pHost, pKeyboard, LD_GET_MOUSE_SPEED, &speed, &ulSize),
            (LD_STATUS)LD_INVALID_FUNCTION);
  MouWheelResolutionRecord res = { 12, 7, 0 };
  EXPECT_EQ(RefHostDeviceControl(pHost, pMouse, LD_SET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 2),
            (LD_STATUS)LD_INVALID_PARAMETER);
  plugin.MouMainExit(0, 0);
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  RefHostShutdown(pHost);
  RefHostUnloadPlugin(&plugin);
  SimDrvReset();

  std::string log = TestReadFile(path);
  EXPECT_NE(log.find("MouIoSetSpeed - setting value=0x10001000"), std::string::npos);
  EXPECT_NE(log.find("MouIoSetSpeed - exit status=LD_SUCCESS"), std::string::npos);
  EXPECT_NE(log.find("MouIoGetSpeed - exit, status=LD_INVALID_FUNCTION (DeviceType not LD_DEVICETYPE_MOUSE)"),
            std::string::npos);
  EXPECT_NE(log.find("<error> MouIoSetWheelResolution - Invalid Hi-Res State"), std::string::npos);
  EXPECT_NE(log.find("MouDeviceControl - exit, status=LD_INVALID_PARAMETER"), std::string::npos);
}
