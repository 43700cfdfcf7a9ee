// Binding, control commands and dispatch, in-process and through the DLL's
// ordinals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "diag/Trace.h"
#include "framework/UmdMgr.h"
#include "host/RefHost.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "tests/unit/TestSupport.h"

namespace {

// A host record whose operations record how the plug-in called them.
struct FakeHost {
  ULONG_PTR Api[HOST_WORD_COUNT] = {};
  tMainShare Share = {};
  tGbl Gbl = {};
  tMain Main = {};
  FakeHost()
  {
    Api[HOST_MAIN_SHARE] = reinterpret_cast<ULONG_PTR>(&Share);
    Api[HOST_GBL] = reinterpret_cast<ULONG_PTR>(&Gbl);
    Api[HOST_MAIN] = reinterpret_cast<ULONG_PTR>(&Main);
    Api[HOST_REMOVE_DEVICES] = reinterpret_cast<ULONG_PTR>(&RemoveDevices);
    Main.hInstance = GetModuleHandleA(nullptr);
    // This host has no devices: enumerations the commands queue skip at once
    // instead of sweeping through its remove operation on another thread.
    Main.ulSessionFlags = HOST_SESSION_NOT_RUNNING;
  }
  // The last remove-devices call and how many there were.
  struct RemoveCall { int count; PFN_HOST_DEVICE_FILTER pfnFilter; void* pContext; ULONG ulUmdIndex, ulFlag; };
  static RemoveCall s_remove;
  static BOOL RemoveDevices(PFN_HOST_DEVICE_FILTER pfnFilter, ULONG_PTR, void* pContext, ULONG ulUmdIndex, ULONG ulFlag)
  {
    s_remove = { s_remove.count + 1, pfnFilter, pContext, ulUmdIndex, ulFlag };
    return TRUE;
  }
  // Calls so far, the last one removing every device of the plug-in.
  static void ExpectRemoveAll(int count)
  {
    EXPECT_EQ(s_remove.count, count);
    EXPECT_EQ(std::make_tuple(s_remove.pfnFilter, s_remove.pContext, s_remove.ulUmdIndex, s_remove.ulFlag),
              std::make_tuple((PFN_HOST_DEVICE_FILTER) nullptr, (void*)nullptr, (ULONG)UMD_MOUFILT, 1ul));
  }
};
FakeHost::RemoveCall FakeHost::s_remove;

class PluginTest : public testing::Test {
protected:
  void TearDown() override
  {
    if (g_pUmdGlobal != nullptr && g_pUmdGlobal->bInUse) {
      MouMainExit(0, 0);
    }
    g_pUmdGlobal = nullptr;
  }
};

}  // namespace

TEST_F(PluginTest, MainInitRefusesANullRecordAndEachNullWord)
{
  struct Case { int word; const char* sLine; } cases[] = {   // -1: no record at all
    { -1, "MouMainInit - exit, NULL pDevMgrApi" }, { 0, "MouMainInit - exit NULL g_pMainShare" },
    { 1, "MouMainInit - exit NULL g_pGbl" }, { 2, "MouMainInit - exit NULL g_pMain" },
  };
  for (const Case& c : cases) {
    FakeHost host;
    if (c.word >= 0) host.Api[c.word] = 0;
    TraceCapture capture;
    EXPECT_EQ(MouMainInit(c.word >= 0 ? host.Api : nullptr, 0, 0), 0u) << c.sLine;
    EXPECT_TRUE(capture.Contains(c.sLine)) << c.sLine;
    // Asserted once, by the unit's own line, and the framework is not started.
    EXPECT_EQ(capture.Count("<error> MouMainInit - MouMainInit - DravMou.cpp line"), 1u) << c.sLine;
    EXPECT_EQ(capture.Count("assert FALSE"), 1u) << c.sLine;
    EXPECT_FALSE(capture.Contains("UmdMainInit - entry")) << c.sLine;
  }
}

TEST_F(PluginTest, MainInitBindsControlCommandsAnswerAndMainExitReleasesTheInstance)
{
  FakeHost host;
  FakeHost::s_remove = {};
  TraceCapture capture;
  ASSERT_EQ(MouMainInit(host.Api, 0, 0), 1u);
  ASSERT_NE(g_pUmdGlobal, nullptr);
  UmdGlobal* pInstance = g_pUmdGlobal;
  EXPECT_TRUE(pInstance->bInUse);
  EXPECT_EQ(std::make_tuple(pInstance->ulUmdIndex, pInstance->ulDevInfoSize, std::string(pInstance->sName),
                            pInstance->ulDefaultDeviceType, g_pDevMgrApi, g_pMain),
            std::make_tuple((ULONG)UMD_MOUFILT, 352ul, std::string("MOU"), (ULONG)LD_DEVICETYPE_MOUSE,
                            (PDEVMGRAPI)host.Api, &host.Main));
  EXPECT_EQ(memcmp(&pInstance->InterfaceGuid, &GUID_INTERFACE_RAWPDO_VMOUFILT, 16), 0);
  char sClass[64] = {};
  GetClassNameA(pInstance->hWnd, sClass, sizeof sClass);
  EXPECT_STREQ(sClass, "DRAVMOU_MainWindow");
  EXPECT_TRUE(capture.Contains("MouMainInit - exit\n"));

  // The version takes two words; other commands touch none, unknown ones answer 0.
  ULONG words[3] = { 7, 7, 0xABCDEF };
  EXPECT_EQ(MouControl(LD_API_GET_VERSION, words, 0, 0), 1u);
  EXPECT_EQ(std::vector<ULONG>(words, words + 3), (std::vector<ULONG>{ 0, 1, 0xABCDEF }));
  words[0] = 5;
  EXPECT_EQ(MouControl(LD_API_SUSPEND, words, 0, 0), 1u);
  EXPECT_EQ(MouControl(7, words, 0, 0), 0u);
  EXPECT_EQ(MouControl(0xFFFFFFFF, words, 0, 0), 0u);
  EXPECT_EQ(std::vector<ULONG>(words, words + 2), (std::vector<ULONG>{ 5, 1 }));
  for (const char* sLine : { "MouControl - entry Command=0x0", "MouControl - LD_API_GET_VERSION",
                             "MouControl - exit, status=1", "MouControl - entry Command=0x7",
                             "MouControl - exit, status=0" }) {
    EXPECT_TRUE(capture.Contains(sLine)) << sLine;
  }
  for (ULONG cmd = 1; cmd <= 6; ++cmd) {
    EXPECT_EQ(MouControl(cmd, nullptr, 0, 0), 1u) << cmd;
    EXPECT_EQ(FakeHost::s_remove.count, cmd >= 5 ? 1 : 0) << cmd;
  }
  FakeHost::ExpectRemoveAll(1);   // command 5 alone

  // Unbinding asks the host to remove every device of the plug-in.
  EXPECT_EQ(MouMainExit(0, 0), 1u);
  EXPECT_FALSE(pInstance->bInUse);
  EXPECT_EQ(g_pUmdGlobal, nullptr);
  FakeHost::ExpectRemoveAll(2);
  EXPECT_TRUE(capture.Contains("UmdMainExit - Posting WM_CLOSE.\n"));
  // Unbound: a second unbind and a remove-all command reach neither the
  // released record nor the host.
  EXPECT_EQ(MouMainExit(0, 0), 1u);
  EXPECT_EQ(MouControl(LD_API_REMOVE_ALL_DEVICES, nullptr, 0, 0), 1u);
  EXPECT_EQ(FakeHost::s_remove.count, 2);
}

namespace {
// Each served code and the handler it reaches.
struct Route {
  ULONG code;
  const char* handler;
};
const Route kRoutes[] = {
  { LD_GET_MOUSE_SPEED, "MouIoGetSpeed - " }, { LD_SET_MOUSE_SPEED, "MouIoSetSpeed - " },
  { LD_GET_MOUSE_ACCELERATION, "MouIoGetAcceleration - " }, { LD_SET_MOUSE_ACCELERATION, "MouIoSetAcceleration - " },
  { LD_GET_MOUSE_ORIENTATION, "MouIoGetOrientation - " }, { LD_SET_MOUSE_ORIENTATION, "MouIoSetOrientation - " },
  { LD_SET_MOUSE_REPORT_RATE_ACC, "MouIoSetReportRateAcc - " },
  { LD_GET_MOUSE_WHEEL_ACCELERATION, "MouIoGetWheelAcceleration - " },
  { LD_SET_MOUSE_WHEEL_ACCELERATION, "MouIoSetWheelAcceleration - " },
  { LD_GET_MOUSE_WHEEL_FILTER, "MouIoGetWheelFilter - " }, { LD_SET_MOUSE_WHEEL_FILTER, "MouIoSetWheelFilter - " },
  { LD_GET_MOUSE_WHEEL_SPEED, "MouIoGetWheelSpeed - " }, { LD_SET_MOUSE_WHEEL_SPEED, "MouIoSetWheelSpeed - " },
  { LD_GET_MOUSE_ACCELERATION_CURVE, "MouIoGetAccelerationTable - " },
  { LD_SET_MOUSE_ACCELERATION_CURVE, "MouIoSetAccelerationTable - " },
  { LD_SET_CHORDING_PARMS, "MouIoSetChording - " }, { LD_GET_MOUSE_WHEEL_RESOLUTION, "MouIoGetWheelResolution - " },
  { LD_SET_MOUSE_WHEEL_RESOLUTION, "MouIoSetWheelResolution - " },
  { LD_SET_MOUSE_IN_USE_EVENT, "MouIoSetVantInUseEvent - " }, { LD_GET_TIME_STAMP, "UmdMgrGetTimeStamp - " },
};

// The driver type needs no device; the dump is the framework's.
bool IsServed(ULONG code)
{
  for (const Route& r : kRoutes) {
    if (r.code == code) return true;
  }
  return code == LD_SET_MOUSE_DRIVER_TYPE || code == LD_DEVICE_DUMP_FUNCTION;
}
}  // namespace

namespace {
// The module that holds the procedure of the plug-in's window class.
HMODULE WindowClassOwner()
{
  WNDCLASSA wc = {};
  if (!GetClassInfoA(GetModuleHandleA(nullptr), MOU_WINDOW_CLASS, &wc)) {
    return nullptr;
  }
  MEMORY_BASIC_INFORMATION mbi = {};
  VirtualQuery(reinterpret_cast<const void*>(wc.lpfnWndProc), &mbi, sizeof mbi);
  return static_cast<HMODULE>(mbi.AllocationBase);
}

void PumpMessages()
{
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}
}  // namespace

// Both DLLs (simulated driver, and production without a driver) bind by
// ordinal, refuse null words without binding, and dispatch. The window
// class belongs to the host's instance and outlives an unloaded plug-in: each
// bind uses its own copy's procedure, and so does the linked code after them.
TEST_F(PluginTest, TheDllsBindByOrdinalAndUseTheirOwnWindowProcedure)
{
  PumpMessages();   // windows of earlier cases are closed
  // A window of the class left on this thread by an earlier case would keep
  // the class from being registered anew; this case is about the class alone.
  while (HWND hLeft = FindWindowA(MOU_WINDOW_CLASS, nullptr)) {
    if (GetWindowThreadProcessId(hLeft, nullptr) != GetCurrentThreadId() || !DestroyWindow(hLeft)) break;
  }
  RefHost* pHost = RefHostGet();
  ASSERT_TRUE(RefHostInit(pHost));
  for (const char* sDll : { "DRAVMOU.dll", "..\\dist\\DRAVMOU.dll" }) {
    RefHostPlugin plugin;
    std::string path = TestBinDir() + "\\" + sDll;
    ASSERT_TRUE(RefHostLoadPlugin(&plugin, path.c_str())) << sDll;
    ULONG_PTR saved = pHost->Api[HOST_GBL];
    pHost->Api[HOST_GBL] = 0;
    EXPECT_EQ(plugin.MouMainInit(pHost->Api, 0, 0), 0u) << sDll;
    pHost->Api[HOST_GBL] = saved;
    ASSERT_EQ(plugin.MouMainInit(pHost->Api, 0, 0), 1u) << sDll;
    EXPECT_EQ(WindowClassOwner(), plugin.hModule) << sDll;
    ULONG size = 0xDEAD;
    ULONG record[4] = { 8 };
    EXPECT_EQ(plugin.MouDeviceControl(nullptr, LD_GET_MOUSE_DRIVER_TYPE, record, &size, 0),
              (LD_STATUS)LD_INVALID_FUNCTION);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(plugin.MouMainExit(0, 0), 1u);
    PumpMessages();
    RefHostUnloadPlugin(&plugin);
  }
  FakeHost host;
  ASSERT_EQ(MouMainInit(host.Api, 0, 0), 1u);
  EXPECT_EQ(WindowClassOwner(), GetModuleHandleA(nullptr));
  MouMainExit(0, 0);
  PumpMessages();
  RefHostShutdown(pHost);
}

TEST_F(PluginTest, DispatchReachesEachServedCodesOwnHandlerAndRefusesTheRest)
{
  FakeHost host;
  ASSERT_EQ(MouMainInit(host.Api, 0, 0), 1u);
  // A keyboard the plug-in did not create: handlers refuse or skip it, none reaches a driver.
  tDevice device = {};
  device.ulDeviceType = LD_DEVICETYPE_KEYBOARD;
  TraceCapture capture;
  for (const Route& r : kRoutes) {
    ULONG record[40] = { 140, 1 };
    ULONG size = 0xDEAD;
    capture.Clear();
    LD_STATUS status = MouDeviceControl(&device, r.code, record, &size, 2);
    EXPECT_TRUE(capture.Contains(r.handler)) << LdFunctionToString(r.code);
    // Only the handler's own lines name it: no other handler ran.
    for (const Route& other : kRoutes) {
      if (strcmp(other.handler, r.handler) != 0) {
        EXPECT_FALSE(capture.Contains(std::string("> ") + other.handler)) << LdFunctionToString(r.code);
      }
    }
    EXPECT_TRUE(capture.Contains(std::string("MouDeviceControl - exit, status=") + LdStatusToString(status)));
    if (r.code == LD_SET_CHORDING_PARMS || r.code == LD_SET_MOUSE_IN_USE_EVENT) {
      EXPECT_EQ(status, (LD_STATUS)LD_SUCCESS);   // the handler's result is not passed on
    }
  }

  // Every other code of every group, for a mouse: refused by name, nothing written.
  device.ulDeviceType = LD_DEVICETYPE_MOUSE;
  const ULONG groups[][2] = { { 0, 26 }, { 0x1000000, 0x37 }, { 0x2000000, 8 }, { 0x3000000, 5 },
                              { 0x4000000, 10 }, { 0x5000000, 3 }, { 0x6000000, 1 }, { 0xFFFFFFFF, 1 } };
  int unserved = 0;
  for (const auto& g : groups) {
    for (ULONG i = 0; i < g[1]; ++i) {
      ULONG code = g[0] + i;
      if (IsServed(code)) continue;
      ULONG record[40] = { 8, 0x55 };
      ULONG size = 0xDEAD;
      capture.Clear();
      EXPECT_EQ(MouDeviceControl(&device, code, record, &size, 2), (LD_STATUS)LD_INVALID_FUNCTION) << std::hex << code;
      EXPECT_EQ(std::make_tuple(size, record[1]), std::make_tuple(0ul, 0x55ul)) << std::hex << code;
      EXPECT_TRUE(capture.Contains(std::string("MouDeviceControl - entry func=") + LdFunctionToString(code)));
      EXPECT_TRUE(capture.Contains("MouDeviceControl - exit, status=LD_INVALID_FUNCTION"));
      ++unserved;
    }
  }
  EXPECT_EQ(unserved, 26 - 3 + 0x37 - 19 + 8 + 5 + 10 + 3 + 1 + 1);

  // The driver type needs no device, and refuses one (no exit line); a null
  // returned-size pointer is asserted, not written.
  ULONG type[2] = { 8, 1 };
  ULONG size = 0xDEAD;
  capture.Clear();
  EXPECT_EQ(MouDeviceControl(nullptr, LD_SET_MOUSE_DRIVER_TYPE, type, &size, 0), (LD_STATUS)LD_SUCCESS);
  EXPECT_TRUE(capture.Contains("MouIoSetDriverType - "));
  EXPECT_EQ(size, 0u);
  size = 0xDEAD;
  capture.Clear();
  EXPECT_EQ(MouDeviceControl(&device, LD_SET_MOUSE_DRIVER_TYPE, type, &size, 0), (LD_STATUS)LD_INVALID_PARAMETER);
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(capture.Contains("entry func=LD_SET_MOUSE_DRIVER_TYPE"));
  EXPECT_FALSE(capture.Contains("exit"));
  EXPECT_EQ(MouDeviceControl(nullptr, LD_GET_MOUSE_BUTTON_MAPPING, nullptr, nullptr, 0),
            (LD_STATUS)LD_INVALID_FUNCTION);
  EXPECT_TRUE(capture.Contains("assert NULL != pReturnedSize"));
  MouMainExit(0, 0);
}
