// The settings table and its runner, shared by both driver lanes.
#include "tests/shared/SettingsTable.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "diag/Trace.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "tests/unit/TestSupport.h"

namespace {

ULONG FloatWord(float f) { return std::bit_cast<ULONG>(f); }

Words Cat(Words a, const Words& b)
{
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A curve record: size, curve number, point count, points.
Words CurveWords(ULONG ulCurve, const Words& points) { return Cat({ 140, ulCurve, (ULONG)points.size() }, points); }

// A settings request and everything it must leave behind.
struct SettingsCase {
  ULONG ulFunction, ulMode;
  Words record;                 // as the host gives it
  LD_STATUS status;
  std::vector<Words> io;        // every request at the driver in order; a get is its identifier alone
  Words after = {};             // the record afterwards, its size returned on success; empty: as given, 0 returned
  std::vector<const char*> lines = {};   // trace lines; "!" first: must not appear
  DWORD dwFail = 0;             // the driver fails every request with this error
  Words driver = {};            // identifier and value stored at the driver first
  ULONG ulCap = 0x00080000;     // the device's capabilities: its wheel resolution is 8
  int iDevice = 0;              // 0 the mouse, 1 a keyboard, 2 none; an empty record is none
  ULONG ulReply = ~0u;          // bytes of the driver's reply to a get of the driver value
};

// Run in order on one device: a get reads what the set before it left.
std::vector<SettingsCase> SettingsTable()
{
  const ULONG f1 = FloatWord(1.0f), f2 = FloatWord(2.0f), fHalf = FloatWord(0.5f);
  const ULONG rLo = 0x56789ABC, rHi = 0x1234;   // an in-use event handle
  const ULONG kSnap = 0x80000 | HOST_CAP_SNAP_STOP_SIGNAL;   // a device that takes the snap-stop signal
  Words p32;
  for (ULONG i = 0; i < 32; ++i) p32.push_back(0x00010000u * (i + 1) + i);
  const Words p33 = Cat({ 140, 2, 33, 0x77 }, Words(p32.begin() + 1, p32.end()));
  const Words p5 = { 0x01000000, 0x01000001, 0x01000002, 0x01000003, 0x01000004 };
  const Words p5b = { 0x02000000, 0x01000001, 0x01000002, 0x01000003, 0x01000004 };
  // Curves never set are the published defaults, from the device record alone.
  std::vector<SettingsCase> t;
  for (ULONG n = 1; n <= 6; ++n) {
    t.push_back({ LD_GET_MOUSE_ACCELERATION_CURVE, 0, { 140, n }, LD_SUCCESS, {}, CurveWords(n, DefaultPoints(n)) });
  }
  t.insert(t.end(), {
    // The two speeds in one gain word; 10 loses a rounding step, 1000 wraps at 16 bits.
    { LD_SET_MOUSE_SPEED, 0, { 12, 50, 50 }, LD_SUCCESS, { { 3102, 0x10001000 } }, {}, { "!assert" } },
    { LD_GET_MOUSE_SPEED, 0, { 12, 0, 0 }, LD_SUCCESS, { { 3102 } }, { 12, 50, 50 }, { "!assert" } },
    { LD_SET_MOUSE_SPEED, 0, { 12, 10, 1000 }, LD_SUCCESS, { { 3102, 0x40000333 } } },
    { LD_GET_MOUSE_SPEED, 0, { 12, 0, 0 }, LD_SUCCESS, { { 3102 } }, { 12, 9, 200 } },
    // A level of a new device sends its default curve with it; level 0 carries
    // none; levels above 6 are refused unsent.
    { LD_SET_MOUSE_ACCELERATION, 0, { 8, 5 }, LD_SUCCESS, { Cat({ 3111, 5 }, DefaultPoints(5)) } },
    { LD_SET_MOUSE_ACCELERATION, 0, { 8, 0 }, LD_SUCCESS, { { 3111, 0 } } },
    { LD_SET_MOUSE_ACCELERATION, 0, { 8, 7 }, LD_INVALID_PARAMETER, {} },
    { LD_SET_MOUSE_ACCELERATION, 0, { 8, 0xFFFFFFFF }, LD_INVALID_PARAMETER, {} },
    { LD_GET_MOUSE_ACCELERATION, 0, { 8, 9 }, LD_SUCCESS, { { 3111 } }, { 8, 0 } },
    { LD_SET_MOUSE_ORIENTATION, 0, { 8, 2 }, LD_SUCCESS, { { 3103, 2 } } },
    { LD_GET_MOUSE_ORIENTATION, 0, { 8, 0 }, LD_SUCCESS, { { 3103 } }, { 8, 2 } },
    { LD_SET_MOUSE_REPORT_RATE_ACC, 0, { 8, 125 }, LD_SUCCESS, { { 3114, 125 } } },
    // Curves 0 and 7 are refused unsent; the get tells why.
    { LD_SET_MOUSE_ACCELERATION_CURVE, 0, { 140, 0, 5 }, LD_INVALID_PARAMETER, {} },
    { LD_SET_MOUSE_ACCELERATION_CURVE, 0, { 140, 7, 5 }, LD_INVALID_PARAMETER, {} },
    { LD_GET_MOUSE_ACCELERATION_CURVE, 0, { 140, 0 }, LD_INVALID_PARAMETER, {}, {}, { "Curve Index (0) is out of range." } },
    { LD_GET_MOUSE_ACCELERATION_CURVE, 0, { 140, 7 }, LD_INVALID_PARAMETER, {}, {}, { "Curve Index (7) is out of range." } },
    // Up to 32 points; an empty curve means the default again.
    { LD_SET_MOUSE_ACCELERATION_CURVE, 0, CurveWords(2, p32), LD_SUCCESS, { { 3111 } } },
    { LD_SET_MOUSE_ACCELERATION_CURVE, 0, p33, LD_INVALID_PARAMETER, {} },
    { LD_GET_MOUSE_ACCELERATION_CURVE, 0, { 140, 2 }, LD_SUCCESS, {}, CurveWords(2, p32) },
    { LD_SET_MOUSE_ACCELERATION_CURVE, 0, CurveWords(2, {}), LD_SUCCESS, { { 3111 } } },
    { LD_GET_MOUSE_ACCELERATION_CURVE, 0, { 140, 2 }, LD_SUCCESS, {}, CurveWords(2, DefaultPoints(2)) },
    // A curve set while its level is not active is stored, not sent; the
    // active level's curve is sent again at once.
    { LD_SET_MOUSE_ACCELERATION_CURVE, 0, { 140, 4, 2, 0x00100020, 0x00300040 }, LD_SUCCESS, { { 3111 } } },
    { LD_GET_MOUSE_ACCELERATION_CURVE, 0, { 140, 4 }, LD_SUCCESS, {}, { 140, 4, 2, 0x00100020, 0x00300040 } },
    { LD_SET_MOUSE_ACCELERATION, 0, { 8, 4 }, LD_SUCCESS, { { 3111, 4, 0x00100020, 0x00300040 } } },
    { LD_SET_MOUSE_ACCELERATION_CURVE, 0, CurveWords(4, p5), LD_SUCCESS, { { 3111 }, Cat({ 3111, 4 }, p5) } },
    { LD_SET_MOUSE_ACCELERATION_CURVE, 0, CurveWords(4, p5b), LD_SUCCESS, { { 3111 } }, {}, {}, 0, { 3111, 1 } },
    { LD_GET_MOUSE_ACCELERATION_CURVE, 0, { 140, 4 }, LD_SUCCESS, {}, CurveWords(4, p5b) },
    // A failed level query keeps the new curve and answers the failure.
    { LD_SET_MOUSE_ACCELERATION_CURVE, 0, CurveWords(5, { 0x11, 0x22 }), LD_IOCONTROL_ERROR, { { 3111 } }, {}, {},
      ERROR_INVALID_PARAMETER },
    { LD_GET_MOUSE_ACCELERATION_CURVE, 0, { 140, 5 }, LD_SUCCESS, {}, CurveWords(5, { 0x11, 0x22 }) },
    // Wheel speed: v / o in the high half, v * o in the low half, 8.8 each.
    { LD_SET_MOUSE_WHEEL_SPEED, 0, { 12, f1, f1 }, LD_SUCCESS, { { 3107, 0x01000100 } } },
    { LD_SET_MOUSE_WHEEL_SPEED, 0, { 12, FloatWord(127.5f), f2 }, LD_SUCCESS, { { 3107, 0x3FC0FF00 } } },
    { LD_SET_MOUSE_WHEEL_SPEED, 0, { 12, f2, fHalf }, LD_SUCCESS, { { 3107, 0x04000100 } } },
    { LD_GET_MOUSE_WHEEL_SPEED, 0, { 12, 0, 0 }, LD_SUCCESS, { { 3107 } }, { 12, f2, fHalf } },
    // Wheel acceleration: Min 10 and Max 20 by integer packing, MaxAcc 2.0 fixed, offset 0.5.
    { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 1, 10, 20, f2, fHalf }, LD_SUCCESS,
      { { 3106, 1, 0x00050014, 0x000A0028, 0x04000100 } } },
    { LD_GET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 0, 0, 0, 0, 0 }, LD_SUCCESS, { { 3106 } }, { 24, 1, 10, 20, f2, fHalf } },
    // Halves at the top of their range still travel exactly; one step more
    // would wrap, so it is refused unsent (below).
    { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 1, 1, 65535, FloatWord(255.0f), f1 }, LD_SUCCESS,
      { { 3106, 1, 0x00010001, 0xFFFFFFFF, 0xFF00FF00 } } },
    { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 1, 1, 32767, FloatWord(127.5f), f2 }, LD_SUCCESS,
      { { 3106, 1, 0x00020000, 0xFFFE3FFF, 0x3FC0FF00 } } },
    { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 1, 10, 10, f2, f1 }, LD_INVALID_PARAMETER, {}, {},
      { "MouIoSetWheelAcceleration - Invalid Parameter.",
        "Min = 0000000A, Max = 0000000A, MaxAcc = 40000000, Offset = 3f800000." } },
    // Off: the values are not looked at and travel as zeros; read back while off, nothing is filled.
    { LD_SET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 0, 20, 10, 0, FloatWord(9.0f) }, LD_SUCCESS, { { 3106, 0, 0, 0, 0 } },
      {}, { "- Enable:0 (Status:00000000)." } },
    { LD_GET_MOUSE_WHEEL_ACCELERATION, 0, { 24, 7, 7, 7, 7, 7 }, LD_SUCCESS, { { 3106 } } },
    // Snap stop: the signal where the host takes it, else in force or nothing.
    { LD_SET_MOUSE_WHEEL_FILTER, 0, { 20, 0, 40, 5, 6 }, LD_SUCCESS, { { 3108, 2, 100, 250, 5, 6 } }, {}, {}, 0, {}, kSnap },
    { LD_SET_MOUSE_WHEEL_FILTER, 0, { 20, 30, 40, 5, 6 }, LD_SUCCESS, { { 3108, 3, 30, 40, 5, 6 } }, {}, {}, 0, {}, kSnap },
    { LD_SET_MOUSE_WHEEL_FILTER, 0, { 20, 30, 0, 5, 6 }, LD_SUCCESS, { { 3108, 0, 0, 0, 5, 6 } } },
    { LD_GET_MOUSE_WHEEL_FILTER, 0, { 20, 9, 9, 9, 9 }, LD_SUCCESS, { { 3108 } }, { 20, 30, 40, 5, 6 }, {}, 0,
      { 3108, 3, 30, 40, 5, 6 } },
    // Not in force: threshold and delay read as 0; a signalling device without the signal on is asserted.
    { LD_GET_MOUSE_WHEEL_FILTER, 0, { 20, 9, 9, 9, 9 }, LD_SUCCESS, { { 3108 } }, { 20, 0, 0, 7, 8 },
      { "assert WheelFilterData.Data.SnapStopOp & SNAP_STOP_SIGNAL_EVENT",
        "Flags:0x0, SnapStopThreshold:0x1E, SnapStopDelay:0x28, ulDropThreshold:0x7, ulDropRate:0x8, (Status:0x0)." },
      0, { 3108, 0, 30, 40, 7, 8 }, kSnap },
    // Wheel resolution, mode 2: an unknown state is an error line, a failed
    // set clears word 1; modes other than 2 and 3 assert and do nothing.
    { LD_SET_MOUSE_WHEEL_RESOLUTION, 2, { 12, 3, 0 }, LD_INVALID_PARAMETER, {}, {},
      { "<error> MouIoSetWheelResolution - Invalid Hi-Res State" } },
    { LD_SET_MOUSE_WHEEL_RESOLUTION, 2, { 12, 1, 0 }, LD_IOCONTROL_ERROR, { { 3116, 1, 8 } }, { 12, 0, 0 }, {},
      ERROR_INVALID_PARAMETER },
    { LD_SET_MOUSE_WHEEL_RESOLUTION, 4, { 12, 1, 0 }, LD_SUCCESS, {}, {}, { "assert 0" } },
    { LD_GET_MOUSE_WHEEL_RESOLUTION, 0, { 12, 5, 5 }, LD_SUCCESS, {}, {}, { "assert 0" } },
    { LD_GET_MOUSE_WHEEL_RESOLUTION, 1, { 12, 5, 5 }, LD_SUCCESS, {} },
    // Chording and the in-use event always succeed; failures are only logged.
    { LD_SET_CHORDING_PARMS, 0, { 8, 0x1F4 }, LD_SUCCESS, { { 3109, 0x1F4 } } },
    { LD_SET_CHORDING_PARMS, 0, { 8, 0x1F4 }, LD_SUCCESS, { { 3109, 0x1F4 } }, {}, {}, ERROR_INVALID_PARAMETER },
    { LD_SET_MOUSE_IN_USE_EVENT, 0, { 16, 0, rLo, rHi }, LD_SUCCESS, { { 3117, rLo, rHi } } },
    { LD_SET_MOUSE_IN_USE_EVENT, 0, { 16, 0, rLo, rHi }, LD_SUCCESS, { { 3117, rLo, rHi } }, {},
      { "<warning>", "MouIoSetVantInUseEvent - Suspecting device removed." }, ERROR_DEVICE_NOT_CONNECTED },
    { LD_SET_MOUSE_IN_USE_EVENT, 0, { 16, 0, rLo, rHi }, LD_SUCCESS, { { 3117, rLo, rHi } }, {},
      { "UMD SEND IO CTL failed with status [0x80000010]", "!Suspecting device removed." }, ERROR_INVALID_PARAMETER },
  });
  // Wheel speeds out of range are refused unsent.
  const float badSpeed[][2] = { { 1.0f, 0.0f }, { 1.0f, 2.5f }, { 0.0f, 1.0f }, { -1.0f, 1.0f },
                                { 200.0f, 2.0f }, { 200.0f, 0.5f }, { NAN, 1.0f }, { 1.0f, NAN } };
  for (const auto& b : badSpeed) {
    t.push_back({ LD_SET_MOUSE_WHEEL_SPEED, 0, { 12, FloatWord(b[0]), FloatWord(b[1]) }, LD_INVALID_PARAMETER, {}, {},
                  { "MouseIoSetWheelSpeed - Invalid Parameter." } });
  }
  // Wheel accelerations: Min above Max, MaxAcc or offset out of range, or halves that would wrap.
  const float badAccel[][4] = { { 20, 10, 2, 1 },   { 10, 20, 0.5f, 1 },    { 10, 20, 256, 1 },     { 10, 20, NAN, 1 },
                                { 10, 20, 2, 0 },   { 10, 20, 2, 2.5f },    { 1, 70000, 2, 1 },     { 1, 32768, 2, 2 },
                                { 1, 20, 200, 0.5f }, { 1, 20, 128, 2 } };
  for (const auto& b : badAccel) {
    const Words record = { 24, 1, (ULONG)b[0], (ULONG)b[1], FloatWord(b[2]), FloatWord(b[3]) };
    t.push_back({ LD_SET_MOUSE_WHEEL_ACCELERATION, 0, record, LD_INVALID_PARAMETER, {} });
  }
  auto add = [&](SettingsCase c, int iDevice, ULONG ulReply = ~0u) {
    c.iDevice = iDevice;
    c.ulReply = ulReply;
    t.push_back(c);
  };
  // A keyboard is refused by every handler that checks the device. (Mode 2 is
  // for the wheel resolution; the others ignore it.)
  for (ULONG f : { LD_GET_MOUSE_SPEED, LD_SET_MOUSE_SPEED, LD_GET_MOUSE_ACCELERATION, LD_SET_MOUSE_ACCELERATION,
                   LD_GET_MOUSE_ORIENTATION, LD_SET_MOUSE_ORIENTATION, LD_SET_MOUSE_REPORT_RATE_ACC,
                   LD_GET_MOUSE_ACCELERATION_CURVE, LD_SET_MOUSE_ACCELERATION_CURVE, LD_GET_MOUSE_WHEEL_RESOLUTION,
                   LD_SET_MOUSE_WHEEL_RESOLUTION }) {
    add({ f, 2, { 140, 1, 1 }, LD_INVALID_FUNCTION, {} }, 1);
  }
  // No device: the wheel handlers, which do not check it, give it to the transport. No record: refused.
  for (ULONG f : { LD_GET_MOUSE_WHEEL_ACCELERATION, LD_SET_MOUSE_WHEEL_ACCELERATION, LD_GET_MOUSE_WHEEL_FILTER,
                   LD_SET_MOUSE_WHEEL_FILTER, LD_GET_MOUSE_WHEEL_SPEED, LD_SET_MOUSE_WHEEL_SPEED }) {
    Words record = f == LD_SET_MOUSE_WHEEL_SPEED ? Words{ 12, f1, f1 } : Words{ 24, 1, 10, 20, f2, f1 };
    add({ f, 0, record, LD_INTERNAL_ERROR, {} }, 2);
  }
  add({ LD_GET_MOUSE_SPEED, 0, { 12, 1, 1 }, LD_INVALID_FUNCTION, {} }, 2);
  for (ULONG f : { LD_GET_MOUSE_SPEED, LD_SET_MOUSE_SPEED, LD_SET_MOUSE_ACCELERATION, LD_GET_MOUSE_ACCELERATION_CURVE,
                   LD_SET_MOUSE_WHEEL_SPEED, LD_SET_MOUSE_WHEEL_FILTER }) {
    add({ f, 0, {}, LD_INVALID_PARAMETER, {} }, 0);
  }
  add({ LD_SET_MOUSE_DRIVER_TYPE, 0, {}, LD_INVALID_PARAMETER, {} }, 2);
  add({ LD_SET_CHORDING_PARMS, 0, {}, LD_SUCCESS, {} }, 0);
  // A failed get or a reply shorter than the value leaves the host's record untouched (mode 2 as
  // above); a failure is not taken for a short reply.
  const struct { ULONG ulParam, ulShort, ulFunction; } shortReplies[] = {
    { 3102, 2, LD_GET_MOUSE_SPEED }, { 3111, 0, LD_GET_MOUSE_ACCELERATION }, { 3103, 3, LD_GET_MOUSE_ORIENTATION },
    { 3116, 4, LD_GET_MOUSE_WHEEL_RESOLUTION }, { 3106, 12, LD_GET_MOUSE_WHEEL_ACCELERATION },
    { 3108, 19, LD_GET_MOUSE_WHEEL_FILTER }, { 3107, 2, LD_GET_MOUSE_WHEEL_SPEED },
  };
  const Words record = { 24, 0xAAAA, 0xBBBB, 0xCCCC, 0xDDDD, 0xEEEE };
  for (DWORD dwFail : { 0ul, (DWORD)ERROR_INVALID_PARAMETER }) {
    for (const auto& r : shortReplies) {
      Words driver = { r.ulParam, 1, 0x00050014, 0x000A0028, 0x04000100, 9 };   // values the driver would give in full
      if (r.ulParam == 3111) driver.resize(2);
      add({ r.ulFunction, 2, record, dwFail ? LD_IOCONTROL_ERROR : LD_DEVICE_RETURNED_INVALID_DATA, { { r.ulParam } }, {},
            { dwFail ? "!expected - reply ignored." : "expected - reply ignored." }, dwFail, driver },
          0, dwFail ? ~0u : r.ulShort);
    }
  }
  // Wheel resolution states of modes 2 and 3, each read back.
  const struct { ULONG ulMode, ulWord1, ulEnable, ulResolution; } res[] = {
    { 2, 1, 1, 8 }, { 2, 0, 0, 1 }, { 2, 2, 0, 8 }, { 3, 0, 1, 1 }, { 3, 5, 0, 1 },
  };
  for (const auto& r : res) {
    t.push_back({ LD_SET_MOUSE_WHEEL_RESOLUTION, r.ulMode, { 12, r.ulWord1, 0 }, LD_SUCCESS,
                  { { 3116, r.ulEnable, r.ulResolution } } });
    t.push_back({ LD_GET_MOUSE_WHEEL_RESOLUTION, r.ulMode, { 12, 9, 9 }, LD_SUCCESS, { { 3116 } },
                  { 12, r.ulEnable, r.ulResolution } });
  }
  return t;
}

}  // namespace

Words DefaultPoints(ULONG ulCurve)
{
  const MouDefaultCurve& c = g_MouDefaultCurves[ulCurve - 1];
  return Words(c.pPoints, c.pPoints + c.ulBytes / 4);
}

void RunSettingsTable(RefHost* pHost, tDevice* pMouse, tDevice* pKeyboard, const LaneDriver& driver,
                      TraceCapture* pCapture, std::vector<std::string>* pLogLines)
{
  int iCase = 0;
  for (const SettingsCase& c : SettingsTable()) {
    SCOPED_TRACE(std::to_string(iCase++) + ": " + LdFunctionToString(c.ulFunction));
    RefHostSetDeviceCapability(pHost, pMouse, c.ulCap);
    driver.pfnFailAll(c.dwFail);
    if (!c.driver.empty()) {
      driver.pfnStore(c.driver[0], c.driver.data() + 1, (ULONG)(c.driver.size() - 1) * 4);
      driver.pfnReplyLength(c.driver[0], c.ulReply);
    }
    driver.pfnClearRequests();
    if (pCapture != nullptr) pCapture->Clear();
    Words record = c.record;
    record.resize(36);
    ULONG ulSize = 0xDEAD;
    tDevice* pDevice = c.iDevice == 0 ? pMouse : c.iDevice == 1 ? pKeyboard : nullptr;
    EXPECT_EQ(RefHostDeviceControl(pHost, pDevice, c.ulFunction, c.record.empty() ? nullptr : record.data(), &ulSize,
                                   c.ulMode),
              c.status);
    EXPECT_EQ(ulSize, c.status == LD_SUCCESS && !c.after.empty() ? c.after[0] : 0);
    if (!c.driver.empty()) driver.pfnReplyLength(c.driver[0], ~0u);
    std::vector<Words> io;
    for (const LaneRequest& r : driver.pfnRequests()) {
      io.push_back(r.in);
      // A get has room for its reply: a level and a full curve for the acceleration.
      const ULONG ulId = r.in.empty() ? 0 : r.in[0];
      const ULONG ulRoom = ulId == 3111 ? 132 : ulId == 3108 ? 20 : ulId == 3102 ? 4 : 0;
      if (r.dwIoctl == IOCTL_RAWPDO_GET && ulRoom != 0) { EXPECT_EQ(r.ulOutSize, ulRoom); }
      EXPECT_EQ(r.dwIoctl, r.in.size() == 1 ? IOCTL_RAWPDO_GET : IOCTL_RAWPDO_SET);
    }
    EXPECT_EQ(io, c.io);
    const Words& after = c.after.empty() ? c.record : c.after;
    EXPECT_EQ(Words(record.begin(), record.begin() + after.size()), after);
    for (const char* sLine : c.lines) {
      const bool bSaid = sLine[0] != '!';
      if (pCapture != nullptr) { EXPECT_EQ(pCapture->Contains(sLine + !bSaid), bSaid) << sLine; }
      if (pLogLines != nullptr && bSaid) pLogLines->push_back(sLine);
    }
  }
  driver.pfnFailAll(0);
}

BOOL LoadPluginWithLog(RefHostPlugin* pPlugin, const std::string& sDll, const std::string& sLogPath)
{
  const char kDravKey[] = "SOFTWARE\\Vantorix\\DRAV";
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags", TRACE_FLAG_LOGFILE);
  TestRegSetString(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile", sLogPath.c_str());
  BOOL bLoaded = RefHostLoadPlugin(pPlugin, sDll.c_str());
  TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "DebugFlags");
  TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "DebugLogFile");
  return bLoaded;
}

void ExpectLinesInLog(const std::string& sLogPath, const std::vector<std::string>& lines)
{
  std::string log = TestReadFile(sLogPath);
  for (std::string sLine : lines) {
    if (!sLine.empty() && sLine.back() == '\n') sLine.pop_back();
    EXPECT_NE(log.find(sLine), std::string::npos) << sLine;
  }
}
