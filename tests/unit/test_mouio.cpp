// Settings handlers against the simulated driver: the exact requests at the
// driver and the records handed back. One table of settings cases runs through
// the code linked into this program and through bin\DRAVMOU.dll's exports.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "diag/Trace.h"
#include "framework/UmdMgr.h"
#include "host/RefHost.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "simdrv/SimDrv.h"
#include "tests/unit/TestSupport.h"

namespace {

const char kMouse0[] = "\\\\?\\HID#VID_1A2B&PID_0001#test#mouse0";
const char kMouse1[] = "\\\\?\\HID#VID_1A2B&PID_0001#test#mouse1";
const char kKeyboard[] = "\\\\?\\HID#VID_1A2B&PID_0003#test#kbd0";
const char kForeign[] = "\\\\?\\HID#VID_1A2B&PID_0004#test#other0";
using Words = std::vector<ULONG>;

ULONG FloatWord(float f)
{
  ULONG ul;
  memcpy(&ul, &f, sizeof ul);
  return ul;
}

Words InWords(const SimDrvRequest& r)
{
  Words w(r.ulInSize / 4);
  memcpy(w.data(), r.In, w.size() * 4);
  return w;
}

// Requests at the driver, optionally of one control code, parameter and device.
std::vector<SimDrvRequest> SimRequests(DWORD dwIoctl = 0, ULONG ulParam = 0, ULONG ulDevice = 0)
{
  std::vector<SimDrvRequest> out;
  for (ULONG i = 0, n = SimDrvRequestCount(); i < n; ++i) {
    SimDrvRequest r = {};
    if (SimDrvGetRequest(i, &r) && (dwIoctl == 0 || r.dwIoctl == dwIoctl) &&
        (ulParam == 0 || (r.ulInSize >= 4 && InWords(r)[0] == ulParam)) && (ulDevice == 0 || r.ulDevice == ulDevice)) {
      out.push_back(r);
    }
  }
  return out;
}
std::vector<SimDrvRequest> SimSets(ULONG ulParam, ULONG ulDevice = 0)
{
  return SimRequests(IOCTL_RAWPDO_SET, ulParam, ulDevice);
}
std::vector<SimDrvRequest> SimGets(ULONG ulParam) { return SimRequests(IOCTL_RAWPDO_GET, ulParam); }

// The message window's class outlives the DLL that registers it first:
// registered by the linked copy, it stays usable after the DLL is unloaded.
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

class MouIoTest : public testing::Test {
protected:
  RefHost* pHost = nullptr;
  RefHostPlugin plugin = {};
  tDevice* pMouse = nullptr;
  ULONG ulSim = 0;
  bool bBound = false;

  void SetUp() override { Bind(false); }
  // bDll: the host binds bin\DRAVMOU.dll instead of the linked code.
  void Bind(bool bDll)
  {
    SimDrvReset();
    pHost = RefHostGet();
    if (bDll) {
      RegisterWindowClassHere();
      ASSERT_TRUE(RefHostLoadPlugin(&plugin, "DRAVMOU.dll"));
      ASSERT_TRUE(RefHostInit(pHost));
      ASSERT_EQ(RefHostBindPlugin(pHost, &plugin), 1u);
    } else {
      ASSERT_TRUE(RefHostInit(pHost));
      pHost->pfnDeviceControl = MouDeviceControl;
      pHost->pfnDeviceCleanup = MouDeviceCleanup;
      ASSERT_EQ(MouMainInit(pHost->Api, 0, 0), 1u);
      g_bDriverType = TRUE;
    }
    bBound = true;
    pMouse = RefHostAddSimDevice(pHost, kMouse0);
    ASSERT_NE(pMouse, nullptr);
    ulSim = RefHostSimDeviceOf(pHost, pMouse);
    ASSERT_NE(ulSim, 0u);
    SimDrvClearRequests();
  }
  void TearDown() override
  {
    if (bBound) Unbind();
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    RefHostShutdown(pHost);
    if (plugin.hModule != nullptr) RefHostUnloadPlugin(&plugin);
    SimDrvReset();
    g_bDriverType = TRUE;
  }
  ULONG Unbind()
  {
    bBound = false;
    return plugin.hModule != nullptr ? plugin.MouMainExit(0, 0) : MouMainExit(0, 0);
  }
  LD_STATUS Call(tDevice* pDevice, ULONG ulFunction, void* pRecord, ULONG* pSize, ULONG ulMode = 0)
  {
    *pSize = 0xDEAD;
    return RefHostDeviceControl(pHost, pDevice, ulFunction, pRecord, pSize, ulMode);
  }
  void SetDriverValue(ULONG ulParam, const void* p, ULONG cb) { ASSERT_TRUE(SimDrvSetParam(ulSim, ulParam, p, cb)); }
};

// A settings request and everything it must leave behind.
struct SettingsCase {
  ULONG ulFunction;
  ULONG ulMode;
  Words record;            // as the host gives it
  LD_STATUS status;
  ULONG ulSize;            // returned size
  std::vector<Words> sets; // every set request at the driver, identifier first
  Words after;             // the record afterwards; empty: as given
};

// Run in order on one device: a get reads what the set before it left.
std::vector<SettingsCase> SettingsTable()
{
  const ULONG f1 = FloatWord(1.0f), f2 = FloatWord(2.0f), fHalf = FloatWord(0.5f);
  return {
    // The two speeds in one gain word; 10 loses a rounding step, 1000 wraps at 16 bits.
    { LD_SET_MOUSE_SPEED, 0, { 12, 50, 50 }, LD_SUCCESS, 0, { { 3102, 0x10001000 } }, {} },
    { LD_GET_MOUSE_SPEED, 0, { 12, 0, 0 }, LD_SUCCESS, 12, {}, { 12, 50, 50 } },
    { LD_SET_MOUSE_SPEED, 0, { 12, 10, 1000 }, LD_SUCCESS, 0, { { 3102, 0x40000333 } }, {} },
    { LD_GET_MOUSE_SPEED, 0, { 12, 0, 0 }, LD_SUCCESS, 12, {}, { 12, 9, 200 } },
    // Level 0 carries no curve; levels above 6 are refused unsent.
    { LD_SET_MOUSE_ACCELERATION, 0, { 8, 0 }, LD_SUCCESS, 0, { { 3111, 0 } }, {} },
    { LD_SET_MOUSE_ACCELERATION, 0, { 8, 7 }, LD_INVALID_PARAMETER, 0, {}, {} },
    { LD_SET_MOUSE_ACCELERATION, 0, { 8, 0xFFFFFFFF }, LD_INVALID_PARAMETER, 0, {}, {} },
    { LD_GET_MOUSE_ACCELERATION, 0, { 8, 9 }, LD_SUCCESS, 8, {}, { 8, 0 } },
    { LD_SET_MOUSE_ORIENTATION, 0, { 8, 2 }, LD_SUCCESS, 0, { { 3103, 2 } }, {} },
    { LD_GET_MOUSE_ORIENTATION, 0, { 8, 0 }, LD_SUCCESS, 8, {}, { 8, 2 } },
    { LD_SET_MOUSE_REPORT_RATE_ACC, 0, { 8, 125 }, LD_SUCCESS, 0, { { 3114, 125 } }, {} },
    // A curve set while its level is not active is stored, not sent.
    { LD_SET_MOUSE_ACCELERATION_CURVE, 0, { 140, 4, 2, 0x00100020, 0x00300040 }, LD_SUCCESS, 0, {}, {} },
    { LD_GET_MOUSE_ACCELERATION_CURVE, 0, { 140, 4 }, LD_SUCCESS, 140, {}, { 140, 4, 2, 0x00100020, 0x00300040 } },
    { LD_SET_MOUSE_ACCELERATION, 0, { 8, 4 }, LD_SUCCESS, 0, { { 3111, 4, 0x00100020, 0x00300040 } }, {} },
    // Wheel speed: v / o in the high half, v * o in the low half, 8.8 each.
    { LD_SET_MOUSE_WHEEL_SPEED, 0, { 12, f1, f1 }, LD_SUCCESS, 0, { { 3107, 0x01000100 } }, {} },
    { LD_SET_MOUSE_WHEEL_SPEED, 0, { 12, f2, fHalf }, LD_SUCCESS, 0, { { 3107, 0x04000100 } }, {} },
    { LD_GET_MOUSE_WHEEL_SPEED, 0, { 12, 0, 0 }, LD_SUCCESS, 12, {}, { 12, f2, fHalf } },
    // Wheel acceleration: Min 10 and Max 20 by integer packing, MaxAcc 2.0 fixed, offset 0.5.
    { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 1, 10, 20, f2, fHalf }, LD_SUCCESS, 0,
      { { 3106, 1, 0x00050014, 0x000A0028, 0x04000100 } }, {} },
    { LD_GET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 0, 0, 0, 0, 0 }, LD_SUCCESS, 24, {}, { 24, 1, 10, 20, f2, fHalf } },
    // Halves at the top of their range still travel exactly; one step more
    // would wrap, so it is refused unsent.
    { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 1, 1, 65535, FloatWord(255.0f), f1 }, LD_SUCCESS, 0,
      { { 3106, 1, 0x00010001, 0xFFFFFFFF, 0xFF00FF00 } }, {} },
    { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 1, 1, 32767, FloatWord(127.5f), f2 }, LD_SUCCESS, 0,
      { { 3106, 1, 0x00020000, 0xFFFE3FFF, 0x3FC0FF00 } }, {} },
    { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 1, 1, 70000, f2, f1 }, LD_INVALID_PARAMETER, 0, {}, {} },
    { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 1, 1, 32768, f2, f2 }, LD_INVALID_PARAMETER, 0, {}, {} },
    { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 1, 1, 20, FloatWord(200.0f), fHalf }, LD_INVALID_PARAMETER, 0, {},
      {} },
    { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 1, 1, 20, FloatWord(128.0f), f2 }, LD_INVALID_PARAMETER, 0, {}, {} },
    // Off: the values are not looked at and travel as zeros; read back while off, nothing is filled.
    { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 0, 20, 10, 0, FloatWord(9.0f) }, LD_SUCCESS, 0,
      { { 3106, 0, 0, 0, 0 } }, {} },
    { LD_GET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 7, 7, 7, 7, 7 }, LD_SUCCESS, 0, {}, {} },
    // Mode 2, state 1, on a device whose wheel resolution is 8.
    { LD_SET_MOUSE_WHEEL_RESOLUTION, 2, { 12, 1, 0 }, LD_SUCCESS, 0, { { 3116, 1, 8 } }, {} },
    { LD_SET_MOUSE_WHEEL_RESOLUTION, 2, { 12, 3, 0 }, LD_INVALID_PARAMETER, 0, {}, {} },
    { LD_GET_MOUSE_WHEEL_RESOLUTION, 1, { 12, 5, 5 }, LD_SUCCESS, 0, {}, {} },
    // The driver type goes to every device, never with one.
    { LD_SET_MOUSE_DRIVER_TYPE, 0, { 8, 2 }, LD_INVALID_PARAMETER, 0, {}, {} },
  };
}

class MouIoBindingTest : public MouIoTest, public testing::WithParamInterface<bool> {
protected:
  void SetUp() override { Bind(GetParam()); }
};

}  // namespace

TEST_P(MouIoBindingTest, SettingsReachTheDriverExactly)
{
  RefHostSetDeviceCapability(pHost, pMouse, 0x00080000);
  int iCase = 0;
  for (const SettingsCase& c : SettingsTable()) {
    SCOPED_TRACE(std::to_string(iCase++) + ": " + LdFunctionToString(c.ulFunction));
    SimDrvClearRequests();
    Words record = c.record;
    record.resize(36);
    ULONG ulSize;
    EXPECT_EQ(Call(pMouse, c.ulFunction, record.data(), &ulSize, c.ulMode), c.status);
    EXPECT_EQ(ulSize, c.ulSize);
    std::vector<Words> sets;
    for (const SimDrvRequest& r : SimRequests(IOCTL_RAWPDO_SET)) sets.push_back(InWords(r));
    EXPECT_EQ(sets, c.sets);
    for (const SimDrvRequest& r : SimRequests(IOCTL_RAWPDO_GET)) EXPECT_EQ(r.ulInSize, 4u);
    const Words& after = c.after.empty() ? c.record : c.after;
    EXPECT_EQ(Words(record.begin(), record.begin() + after.size()), after);
  }
  // Unbinding removes the plug-in's devices and leaves another plug-in's.
  tDevice* pForeign = RefHostAddSimDevice(pHost, kForeign, LD_DEVICETYPE_MOUSE, UMD_HIDFILT_POWER);
  ASSERT_NE(pForeign, nullptr);
  EXPECT_EQ(Unbind(), 1u);
  EXPECT_EQ(RefHostDeviceCount(pHost), 1u);
  EXPECT_NE(RefHostFindSlot(pHost, pForeign), nullptr);
}

INSTANTIATE_TEST_SUITE_P(LinkedAndDll, MouIoBindingTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Dll" : "Linked"; });

TEST_F(MouIoTest, HandlersTraceWhatTheySendAndGet)
{
  TraceCapture capture;
  ULONG ulSize;
  MouSpeedRecord speed = { 12, 50, 50 };
  ASSERT_EQ(Call(pMouse, LD_SET_MOUSE_SPEED, &speed, &ulSize), (LD_STATUS)LD_SUCCESS);
  ASSERT_EQ(Call(pMouse, LD_GET_MOUSE_SPEED, &speed, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(SimGets(ID_PARAM_POINTER_SPEED).at(0).ulOutSize, 4u);
  for (const char* sLine : { "MouIoSetSpeed - ulSpeedX=50 ulSpeedY=50\n", "MouIoSetSpeed - setting value=0x10001000\n",
                             "MouIoSetSpeed - exit status=LD_SUCCESS", "MouIoGetSpeed - got value=0x10001000",
                             "MouIoGetSpeed - ulSpeedX=50 ulSpeedY=50", "MouIoGetSpeed - exit, status=LD_SUCCESS" }) {
    EXPECT_TRUE(capture.Contains(sLine)) << sLine;
  }
  // The host holds the lock: no assertion line.
  EXPECT_FALSE(capture.Contains("assert"));
  MouValueRecord level = { 8, 0 };
  ASSERT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION, &level, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(SimGets(ID_PARAM_ACCELERATION).at(0).ulOutSize, 132u);   // room for a level and a full curve
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
    { LD_SET_MOUSE_SPEED, 0, nullptr },   // refused without an exit line of its own
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
    SCOPED_TRACE(LdFunctionToString(c.ulFunction));
    ULONG record[36] = { 140, 1, 1 };
    ULONG ulSize;
    capture.Clear();
    EXPECT_EQ(Call(pKeyboard, c.ulFunction, record, &ulSize, c.ulMode), (LD_STATUS)LD_INVALID_FUNCTION);
    EXPECT_EQ(ulSize, 0u);
    EXPECT_EQ(record[1], 1u);
    if (c.sRefusal != nullptr) {
      EXPECT_TRUE(capture.Contains(c.sRefusal));
    } else if (c.ulFunction == LD_SET_MOUSE_SPEED) {
      EXPECT_TRUE(capture.Contains("MouIoSetSpeed - entry"));
      EXPECT_FALSE(capture.Contains("MouIoSetSpeed - exit"));
    }
  }
  EXPECT_EQ(SimRequests().size(), 0u);
}

TEST_F(MouIoTest, FailedAndShortDriverRepliesLeaveTheRecordAlone)
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
  const ULONG full[33] = { 1, 0x00050014, 0x000A0028, 0x04000100, 9 };   // values the driver would give in full
  const ULONG untouched[6] = { 24, 0xAAAA, 0xBBBB, 0xCCCC, 0xDDDD, 0xEEEE };
  TraceCapture capture;
  for (bool bFail : { false, true }) {
    SimDrvSetMode(ulSim, bFail ? SIMDRV_FAIL : SIMDRV_COMPLETE_AT_ONCE, ERROR_INVALID_PARAMETER, 0);
    for (const Case& c : cases) {
      SCOPED_TRACE(LdFunctionToString(c.ulFunction));
      SetDriverValue(c.ulParam, full, c.ulParam == ID_PARAM_ACCELERATION ? 4 : 20);
      SimDrvSetReplyLength(ulSim, c.ulParam, bFail ? ~0u : c.ulShort);
      ULONG record[8];
      memcpy(record, untouched, sizeof untouched);
      ULONG ulSize;
      capture.Clear();
      EXPECT_EQ(Call(pMouse, c.ulFunction, record, &ulSize, c.ulMode),
                bFail ? (LD_STATUS)LD_IOCONTROL_ERROR : (LD_STATUS)LD_DEVICE_RETURNED_INVALID_DATA);
      EXPECT_EQ(ulSize, 0u);
      EXPECT_EQ(memcmp(record, untouched, sizeof untouched), 0);
      if (!bFail) {
        EXPECT_TRUE(capture.Contains("expected - reply ignored."));
        EXPECT_TRUE(capture.Contains("exit, status=LD_DEVICE_RETURNED_INVALID_DATA"));
      }
      SimDrvSetReplyLength(ulSim, c.ulParam, ~0u);
    }
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

namespace {
// The six default curves as published, (low, high) per point.
const std::vector<std::vector<ULONG>> kDefaultCurves = {
  { 16, 256, 80, 320, 112, 384, 144, 448, 176, 512, 592, 576, 624, 640, 656, 704, 688, 768 },
  { 16, 256, 144, 320, 192, 384, 240, 448, 288, 512, 336, 576, 384, 640, 432, 704, 480, 768, 528, 832, 592, 896,
    656, 960, 736, 1024 },
  { 16, 256, 32, 320, 48, 384, 64, 448, 80, 512, 112, 576, 144, 640, 176, 704, 208, 768, 256, 832, 304, 896,
    352, 960, 400, 1024, 448, 1088, 496, 1152, 560, 1216, 624, 1280, 688, 1344, 768, 1408, 848, 1472, 960, 1536 },
  { 0, 96, 16, 96, 48, 112, 80, 128, 128, 144, 240, 160, 352, 176, 384, 192, 432, 224, 512, 256, 656, 256 },
  { 0, 96, 16, 96, 48, 112, 80, 128, 128, 176, 192, 208, 368, 240, 464, 272, 656, 320 },
  { 0, 96, 16, 96, 48, 112, 80, 128, 208, 224, 288, 256, 368, 256, 448, 256, 592, 352, 688, 384 },
};
Words DefaultPoints(ULONG ulCurve)
{
  Words w;
  const auto& pairs = kDefaultCurves[ulCurve - 1];
  for (size_t i = 0; i < pairs.size(); i += 2) w.push_back(pairs[i] | (pairs[i + 1] << 16));
  return w;
}
Words CurvePoints(const MouCurveRecord& c) { return Words(c.Points, c.Points + c.ulPoints); }
MouCurveRecord Curve(ULONG ulCurve, const Words& points = {})
{
  MouCurveRecord c = {};
  c.ulSize = 140;
  c.ulCurve = ulCurve;
  c.ulPoints = (ULONG)points.size();
  memcpy(c.Points, points.data(), points.size() * 4);
  return c;
}
}  // namespace

TEST_F(MouIoTest, CurvesNeverSetAreThePublishedDefaults)
{
  TraceCapture capture;
  ULONG ulSize;
  for (ULONG n = 1; n <= 6; ++n) {
    MouCurveRecord curve = Curve(n);
    ASSERT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
    EXPECT_EQ(ulSize, 140u);
    EXPECT_EQ(CurvePoints(curve), DefaultPoints(n)) << n;
    EXPECT_EQ(pMouse->AccelCurves[n - 1].ulCurveSize, 4 * DefaultPoints(n).size());
  }
  EXPECT_EQ(DefaultPoints(1)[0], 0x01000010u);
  EXPECT_EQ(DefaultPoints(4)[0], 0x00600000u);
  EXPECT_TRUE(capture.Contains("MouIoGetAccelerationTable - Curve index : 2."));
  EXPECT_TRUE(capture.Contains("MouIoGetAccelerationTable - Curve 2 is Empty. Using Default curves."));
  EXPECT_TRUE(capture.Contains("MouIoGetAccelerationTable - Curve has 21 points."));
  EXPECT_EQ(SimRequests().size(), 0u);   // the store is the device record's

  // A level of a new device sends its default curve with it.
  pMouse->AccelCurves[2].ulCurveSize = 0;
  MouValueRecord level = { 8, 3 };
  ASSERT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION, &level, &ulSize), (LD_STATUS)LD_SUCCESS);
  Words expected = { ID_PARAM_ACCELERATION, 3 };
  for (ULONG p : DefaultPoints(3)) expected.push_back(p);
  EXPECT_EQ(InWords(SimSets(ID_PARAM_ACCELERATION).at(0)), expected);
}

TEST_F(MouIoTest, CurveNumbersOutsideOneToSixAreRefused)
{
  TraceCapture capture;
  ULONG ulSize;
  for (ULONG n : { 0u, 7u }) {
    MouCurveRecord curve = Curve(n, Words(5));
    EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER);
    EXPECT_EQ(ulSize, 0u);
    EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER);
  }
  EXPECT_TRUE(capture.Contains("Curve Index (0) is out of range."));
  EXPECT_TRUE(capture.Contains("Curve Index (7) is out of range."));
  EXPECT_EQ(SimRequests().size(), 0u);
}

TEST_F(MouIoTest, ACurveHoldsUpToThirtyTwoPointsAndEmptyMeansDefault)
{
  ULONG ulSize;
  Words points;
  for (ULONG i = 0; i < 32; ++i) points.push_back(0x00010000u * (i + 1) + i);
  MouCurveRecord curve = Curve(2, points);
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 0u);
  MouCurveRecord tooMany = curve;
  tooMany.ulPoints = 33;
  tooMany.Points[0] = 0x77;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &tooMany, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER);
  EXPECT_EQ(pMouse->AccelCurves[1].ulCurveSize, 128u);
  MouCurveRecord back = Curve(2);
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION_CURVE, &back, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(CurvePoints(back), CurvePoints(curve));

  MouCurveRecord empty = Curve(2);
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &empty, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(pMouse->AccelCurves[1].ulCurveSize, 52u);   // refilled by the read-back
  back = Curve(2);
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION_CURVE, &back, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(CurvePoints(back), DefaultPoints(2));
}

TEST_F(MouIoTest, TheActiveCurveIsSentAgainOtherCurvesWait)
{
  ULONG ulSize;
  ULONG ulLevel = 4;
  SetDriverValue(ID_PARAM_ACCELERATION, &ulLevel, sizeof ulLevel);
  MouCurveRecord curve = Curve(4, { 0x01000000, 0x01000001, 0x01000002, 0x01000003, 0x01000004 });
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
  Words expected = { ID_PARAM_ACCELERATION, 4 };
  for (ULONG i = 0; i < 5; ++i) expected.push_back(0x01000000u + i);
  auto sets = SimSets(ID_PARAM_ACCELERATION);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(InWords(sets[0]), expected);

  SimDrvClearRequests();
  ulLevel = 1;
  SetDriverValue(ID_PARAM_ACCELERATION, &ulLevel, sizeof ulLevel);
  curve.Points[0] = 0x02000000u;
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(SimRequests(IOCTL_RAWPDO_SET).size(), 0u);
  EXPECT_EQ(SimGets(ID_PARAM_ACCELERATION).size(), 1u);   // the level was asked, nothing sent
  EXPECT_EQ(*reinterpret_cast<ULONG*>(pMouse->AccelCurves[3].CurveData), 0x02000000u);

  // A failed level query keeps the new curve and answers the failure.
  SimDrvSetMode(ulSim, SIMDRV_FAIL, ERROR_INVALID_PARAMETER, 0);
  curve = Curve(5, { 0x11, 0x22 });
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_ACCELERATION_CURVE, &curve, &ulSize), (LD_STATUS)LD_IOCONTROL_ERROR);
  EXPECT_EQ(pMouse->AccelCurves[4].ulCurveSize, 8u);
}

TEST_F(MouIoTest, ACorruptSlotSizeIsNotCopied)
{
  pMouse->AccelCurves[0].ulCurveSize = 0x1000;   // shared memory scribbled over
  TraceCapture capture;
  MouCurveRecord curve[2] = { Curve(1) };
  memset(&curve[1], 0x5A, sizeof curve[1]);
  ULONG ulSize;
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_ACCELERATION_CURVE, &curve[0], &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(CurvePoints(curve[0]), DefaultPoints(1));
  EXPECT_EQ(pMouse->AccelCurves[0].ulCurveSize, 36u);
  EXPECT_EQ(curve[1].ulSize, 0x5A5A5A5Au);
  EXPECT_TRUE(capture.Contains("more than the slot (128)"));
}

// ---- Curve slots as another process sees them -------------------------------------------

namespace {
// Logs every access to two no-access pages: the access violation is recorded,
// the pages are opened for one instruction (single step) and closed again.
struct PageAccess {
  ULONG_PTR ulAddress;
  bool bWrite;
};
BYTE* s_pPages = nullptr;
PageAccess s_aLog[4096];
LONG s_lLogged = 0;
bool s_bStepping = false;
// Another process's write, made right after ours to this address.
ULONG_PTR s_ulScribbleAt = 0;
ULONG s_ulScribble = 0;

LONG CALLBACK PageTracer(EXCEPTION_POINTERS* p)
{
  DWORD dwOld;
  const EXCEPTION_RECORD* r = p->ExceptionRecord;
  if (r->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && s_pPages != nullptr &&
      r->ExceptionInformation[1] - (ULONG_PTR)s_pPages < 8192) {
    if (s_lLogged < 4096) s_aLog[s_lLogged++] = { r->ExceptionInformation[1], r->ExceptionInformation[0] == 1 };
    VirtualProtect(s_pPages, 8192, PAGE_READWRITE, &dwOld);
    p->ContextRecord->EFlags |= 0x100;
    s_bStepping = true;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (r->ExceptionCode == EXCEPTION_SINGLE_STEP && s_bStepping) {
    s_bStepping = false;
    const PageAccess& last = s_aLog[s_lLogged - 1];
    if (last.bWrite && last.ulAddress == s_ulScribbleAt) *reinterpret_cast<ULONG*>(s_ulScribbleAt) = s_ulScribble;
    VirtualProtect(s_pPages, 8192, PAGE_NOACCESS, &dwOld);
    p->ContextRecord->EFlags &= ~0x100u;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}
}  // namespace

// A device record placed so that one slot's size word ends the first page and
// its points begin the second: the size is read once per get, and a set has
// its points in place before the size that announces them.
TEST_F(MouIoTest, CurveSlotSizeIsReadOnceAndWrittenAfterThePoints)
{
  s_pPages = static_cast<BYTE*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(s_pPages, nullptr);
  ULONG k = 0;
  ULONG_PTR ulDevice = 0;
  for (; k < CURVE_COUNT; ++k) {
    ulDevice = (ULONG_PTR)s_pPages + 4096 - 4 - offsetof(tDevice, AccelCurves) - k * sizeof(tAccelCurveSlot);
    if (ulDevice % alignof(tDevice) == 0) break;
  }
  ASSERT_LT(k, CURVE_COUNT);
  auto* pDevice = reinterpret_cast<tDevice*>(ulDevice);
  pDevice->ulDeviceType = LD_DEVICETYPE_MOUSE;
  const ULONG_PTR ulSizeWord = (ULONG_PTR)&pDevice->AccelCurves[k].ulCurveSize;
  const ULONG_PTR ulPoints = (ULONG_PTR)pDevice->AccelCurves[k].CurveData;
  ASSERT_EQ(ulPoints, (ULONG_PTR)s_pPages + 4096);
  PVOID pHandler = AddVectoredExceptionHandler(1, PageTracer);

  MouCurveRecord curve = Curve(k + 1, { 7, 8, 9 });
  ULONG ulSize = 0;
  DWORD dwOld;
  s_lLogged = 0;
  VirtualProtect(s_pPages, 8192, PAGE_NOACCESS, &dwOld);
  MouIoSetAccelerationTable(pDevice, &curve, &ulSize);
  VirtualProtect(s_pPages, 8192, PAGE_READWRITE, &dwOld);
  LONG lFirstSizeWrite = -1, lLastPointWrite = -1;
  for (LONG i = 0; i < s_lLogged; ++i) {
    if (s_aLog[i].bWrite && s_aLog[i].ulAddress == ulSizeWord && lFirstSizeWrite < 0) lFirstSizeWrite = i;
    if (s_aLog[i].bWrite && s_aLog[i].ulAddress >= ulPoints && s_aLog[i].ulAddress < ulPoints + 128)
      lLastPointWrite = i;
  }
  ASSERT_GE(lLastPointWrite, 0);
  EXPECT_GT(lFirstSizeWrite, lLastPointWrite);
  EXPECT_EQ(pDevice->AccelCurves[k].ulCurveSize, 12u);

  // Emptied, the slot is refilled with the default; another process then
  // writes a size past the slot, which must not be copied.
  pDevice->AccelCurves[k].ulCurveSize = 0;
  MouCurveRecord back[2] = { Curve(k + 1) };
  memset(&back[1], 0x5A, sizeof back[1]);
  s_ulScribbleAt = ulSizeWord;
  s_ulScribble = CURVE_MAX_BYTES + 8;
  s_lLogged = 0;
  VirtualProtect(s_pPages, 8192, PAGE_NOACCESS, &dwOld);
  EXPECT_EQ(MouIoGetAccelerationTable(pDevice, &back[0], &ulSize), (LD_STATUS)LD_SUCCESS);
  VirtualProtect(s_pPages, 8192, PAGE_READWRITE, &dwOld);
  s_ulScribbleAt = 0;
  LONG lSizeReads = 0;
  for (LONG i = 0; i < s_lLogged; ++i) lSizeReads += !s_aLog[i].bWrite && s_aLog[i].ulAddress == ulSizeWord;
  EXPECT_EQ(lSizeReads, 1);
  EXPECT_EQ(CurvePoints(back[0]), DefaultPoints(k + 1));
  EXPECT_EQ(back[1].ulSize, 0x5A5A5A5Au);

  RemoveVectoredExceptionHandler(pHandler);
  VirtualFree(s_pPages, 0, MEM_RELEASE);
  s_pPages = nullptr;
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
    SCOPED_TRACE(c.ulType);
    SimDrvClearRequests();
    capture.Clear();
    MouValueRecord type = { 8, c.ulType };
    ULONG ulSize;
    EXPECT_EQ(Call(nullptr, LD_SET_MOUSE_DRIVER_TYPE, &type, &ulSize), (LD_STATUS)LD_SUCCESS);
    EXPECT_EQ(ulSize, 0u);
    for (ULONG ulDevice : served) {
      auto processing = SimSets(ID_PARAM_PROCESSING, ulDevice);
      ASSERT_EQ(processing.size(), 1u);
      EXPECT_EQ(InWords(processing[0]), (Words{ ID_PARAM_PROCESSING, c.ulProcessing }));
      auto inUse = SimSets(ID_PARAM_IN_USE_EVENT, ulDevice);
      ASSERT_EQ(inUse.size(), 1u);
      EXPECT_EQ(InWords(inUse[0]), (Words{ ID_PARAM_IN_USE_EVENT, (ULONG)c.ulHandle, (ULONG)(c.ulHandle >> 32) }));
    }
    for (ULONG ulDevice : skipped) {
      EXPECT_EQ(SimRequests(0, 0, ulDevice).size(), 0u);
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
  EXPECT_EQ(InWords(sets[0]), (Words{ ID_PARAM_CHORDING, 0x1F4 }));
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
  EXPECT_EQ(InWords(sets[0]), (Words{ ID_PARAM_IN_USE_EVENT, 0x56789ABC, 0x1234 }));
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

TEST_F(MouIoTest, WheelValuesOutOfRangeAreRefusedUnsent)
{
  TraceCapture capture;
  ULONG ulSize;
  const float badSpeed[][2] = { { 1.0f, 0.0f }, { 1.0f, 2.5f }, { 0.0f, 1.0f }, { -1.0f, 1.0f },
                                { 200.0f, 2.0f }, { 200.0f, 0.5f }, { NAN, 1.0f }, { 1.0f, NAN } };
  for (const auto& b : badSpeed) {
    MouWheelSpeedRecord wheel = { 12, b[0], b[1] };
    EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_SPEED, &wheel, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER)
      << b[0] << " " << b[1];
  }
  const MouWheelAccelerationRecord badAccel[] = {
    { 24, 1, 10, 10, 2.0f, 1.0f },  { 24, 1, 20, 10, 2.0f, 1.0f },  { 24, 1, 10, 20, 0.5f, 1.0f },
    { 24, 1, 10, 20, 256.0f, 1.0f }, { 24, 1, 10, 20, 2.0f, 0.0f }, { 24, 1, 10, 20, 2.0f, 2.5f },
    { 24, 1, 10, 20, NAN, 1.0f },
  };
  for (const auto& b : badAccel) {
    MouWheelAccelerationRecord accel = b;
    EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_ACCELERATION, &accel, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER);
  }
  EXPECT_EQ(SimRequests().size(), 0u);
  EXPECT_TRUE(capture.Contains("MouseIoSetWheelSpeed - Invalid Parameter."));
  EXPECT_TRUE(capture.Contains("MouIoSetWheelAcceleration - Invalid Parameter."));
  EXPECT_TRUE(capture.Contains("Min = 0000000A, Max = 0000000A, MaxAcc = 40000000, Offset = 3f800000."));
  // The edges are inside.
  MouWheelSpeedRecord wheel = { 12, 127.5f, 2.0f };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_SPEED, &wheel, &ulSize), (LD_STATUS)LD_SUCCESS);
  MouWheelAccelerationRecord off = { 24, 0, 20, 10, 0.0f, 9.0f };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_ACCELERATION, &off, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_TRUE(capture.Contains("- Enable:0 (Status:00000000)."));
}

TEST_F(MouIoTest, WheelFilterSnapStopChoicesAndReadBack)
{
  struct Case { ULONG ulCapability; MouWheelFilterRecord record; Words sent; };
  const Case cases[] = {
    { HOST_CAP_SNAP_STOP_SIGNAL, { 20, 0, 40, 5, 6 }, { ID_PARAM_WHEEL_FILTER, 2, 100, 250, 5, 6 } },   // the signal
    { HOST_CAP_SNAP_STOP_SIGNAL, { 20, 30, 40, 5, 6 }, { ID_PARAM_WHEEL_FILTER, 3, 30, 40, 5, 6 } },    // in force
    { 0, { 20, 30, 0, 5, 6 }, { ID_PARAM_WHEEL_FILTER, 0, 0, 0, 5, 6 } },                               // nothing
  };
  ULONG ulSize;
  for (const Case& c : cases) {
    SimDrvClearRequests();
    RefHostSetDeviceCapability(pHost, pMouse, c.ulCapability);
    MouWheelFilterRecord filter = c.record;
    EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_FILTER, &filter, &ulSize), (LD_STATUS)LD_SUCCESS);
    auto sets = SimSets(ID_PARAM_WHEEL_FILTER);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(InWords(sets[0]), c.sent);
  }

  const ULONG inForce[5] = { 3, 30, 40, 5, 6 };
  SetDriverValue(ID_PARAM_WHEEL_FILTER, inForce, sizeof inForce);
  MouWheelFilterRecord filter = { 20, 9, 9, 9, 9 };
  EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_WHEEL_FILTER, &filter, &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(ulSize, 20u);
  EXPECT_EQ(filter.SnapStopThreshold, 30u);
  EXPECT_EQ(filter.SnapStopDelay, 40u);
  EXPECT_EQ(filter.ulDropThreshold, 5u);
  EXPECT_EQ(filter.ulDropRate, 6u);
  EXPECT_EQ(SimGets(ID_PARAM_WHEEL_FILTER).at(0).ulOutSize, 20u);

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
    { 2, 2, 0, 8, "Hi-Res soft disable" }, { 3, 0, 1, 1, "Wheel Resolution is 8" }, { 3, 5, 0, 1, "is 8" },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.ulMode) + "/" + std::to_string(c.ulWord1));
    SimDrvClearRequests();
    capture.Clear();
    MouWheelResolutionRecord res = { 12, c.ulWord1, 0 };
    ULONG ulSize;
    EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, c.ulMode), (LD_STATUS)LD_SUCCESS);
    auto sets = SimSets(ID_PARAM_WHEEL_RESOLUTION);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(InWords(sets[0]), (Words{ ID_PARAM_WHEEL_RESOLUTION, c.ulEnable, c.ulResolution }));
    EXPECT_TRUE(capture.Contains("MouIoSetWheelResolution - Wheel Resolution is 8"));
    EXPECT_TRUE(capture.Contains(c.sLine));
    res = { 12, 9, 9 };
    EXPECT_EQ(Call(pMouse, LD_GET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, c.ulMode), (LD_STATUS)LD_SUCCESS);
    EXPECT_EQ(ulSize, 12u);
    EXPECT_EQ(res.bEnableWheelResolution, c.ulEnable);
    EXPECT_EQ(res.ulWheelResolution, c.ulResolution);
  }

  // An unknown state is an error line; other modes assert and do nothing.
  SimDrvClearRequests();
  capture.Clear();
  ULONG ulSize;
  MouWheelResolutionRecord res = { 12, 3, 0 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 2), (LD_STATUS)LD_INVALID_PARAMETER);
  EXPECT_TRUE(capture.Contains("<error> MouIoSetWheelResolution - Invalid Hi-Res State"));
  EXPECT_EQ(res.bEnableWheelResolution, 3u);
  for (ULONG ulFunction : { LD_SET_MOUSE_WHEEL_RESOLUTION, LD_GET_MOUSE_WHEEL_RESOLUTION }) {
    capture.Clear();
    EXPECT_EQ(Call(pMouse, ulFunction, &res, &ulSize, ulFunction == LD_GET_MOUSE_WHEEL_RESOLUTION ? 0 : 4),
              (LD_STATUS)LD_SUCCESS);
    EXPECT_TRUE(capture.Contains("assert 0"));
    EXPECT_EQ(ulSize, 0u);
  }
  EXPECT_EQ(SimRequests().size(), 0u);

  // A failed set clears word 1 of the host's record.
  SimDrvSetMode(ulSim, SIMDRV_FAIL, ERROR_INVALID_PARAMETER, 0);
  res = { 12, 1, 0 };
  EXPECT_EQ(Call(pMouse, LD_SET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 2), (LD_STATUS)LD_IOCONTROL_ERROR);
  EXPECT_EQ(res.bEnableWheelResolution, 0u);
}

TEST_F(MouIoTest, NullDevicesAndRecords)
{
  // The wheel handlers that do not check the device give it to the transport.
  const ULONG unchecked[] = { LD_GET_MOUSE_WHEEL_ACCELERATION, LD_SET_MOUSE_WHEEL_ACCELERATION,
                              LD_GET_MOUSE_WHEEL_FILTER,       LD_SET_MOUSE_WHEEL_FILTER,
                              LD_GET_MOUSE_WHEEL_SPEED,        LD_SET_MOUSE_WHEEL_SPEED };
  for (ULONG f : unchecked) {
    // A record each setter accepts.
    ULONG record[6] = { 24, 1, 10, 20, FloatWord(2.0f), FloatWord(1.0f) };
    if (f == LD_SET_MOUSE_WHEEL_SPEED) record[1] = record[2] = FloatWord(1.0f);
    ULONG ulSize;
    EXPECT_EQ(Call(nullptr, f, record, &ulSize), (LD_STATUS)LD_INTERNAL_ERROR) << LdFunctionToString(f);
    EXPECT_EQ(ulSize, 0u);
  }
  ULONG ulSize;
  MouSpeedRecord speed = { 12, 1, 1 };
  EXPECT_EQ(Call(nullptr, LD_GET_MOUSE_SPEED, &speed, &ulSize), (LD_STATUS)LD_INVALID_FUNCTION);

  const ULONG nullRecord[] = { LD_GET_MOUSE_SPEED,        LD_SET_MOUSE_SPEED,      LD_SET_MOUSE_ACCELERATION,
                               LD_GET_MOUSE_ACCELERATION_CURVE, LD_SET_MOUSE_WHEEL_SPEED, LD_SET_MOUSE_WHEEL_FILTER };
  for (ULONG f : nullRecord) {
    EXPECT_EQ(Call(pMouse, f, nullptr, &ulSize), (LD_STATUS)LD_INVALID_PARAMETER) << LdFunctionToString(f);
  }
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
  EXPECT_GE(GetTickCount() - dwStart, 1900u);
  EXPECT_EQ(ulSize, 0u);
  EXPECT_EQ(filter.SnapStopThreshold, 1u);
  EXPECT_EQ(filter.ulDropRate, 4u);
  EXPECT_EQ(SimDrvPendingCount(ulSim), 0u);   // cancelled, not left behind
}

// The DLL's lines reach the log file its registry settings name at load.
TEST(MouIoDllTrace, TheDllsLinesReachItsLogFile)
{
  const char kDravKey[] = "SOFTWARE\\Vantorix\\DRAV";
  std::string path = TestScratchDir("mouio_dll_trace") + "\\trace.txt";
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags", TRACE_FLAG_LOGFILE);
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", path.c_str());
  RegisterWindowClassHere();
  SimDrvReset();
  RefHostPlugin plugin;
  BOOL bLoaded = RefHostLoadPlugin(&plugin, "DRAVMOU.dll");
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
  RefHostDeviceControl(pHost, pMouse, LD_SET_MOUSE_SPEED, &speed, &ulSize);
  RefHostDeviceControl(pHost, pKeyboard, LD_GET_MOUSE_SPEED, &speed, &ulSize);
  MouWheelResolutionRecord res = { 12, 7, 0 };
  RefHostDeviceControl(pHost, pMouse, LD_SET_MOUSE_WHEEL_RESOLUTION, &res, &ulSize, 2);
  plugin.MouMainExit(0, 0);
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  RefHostShutdown(pHost);
  RefHostUnloadPlugin(&plugin);
  SimDrvReset();

  std::string log = TestReadFile(path);
  for (const char* sLine : { "MouIoSetSpeed - setting value=0x10001000", "MouIoSetSpeed - exit status=LD_SUCCESS",
                             "MouIoGetSpeed - exit, status=LD_INVALID_FUNCTION (DeviceType not LD_DEVICETYPE_MOUSE)",
                             "<error> MouIoSetWheelResolution - Invalid Hi-Res State",
                             "MouDeviceControl - exit, status=LD_INVALID_PARAMETER" }) {
    EXPECT_NE(log.find(sLine), std::string::npos) << sLine;
  }
}
