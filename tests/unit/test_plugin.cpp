// Binding, control commands and dispatch of the linked plug-in code (the DLLs
// bind by ordinal in the instance tests).
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

  // The version takes two words; other commands touch none, unknown ones answer 0.
  ULONG words[3] = { 7, 7, 0xABCDEF };
  EXPECT_EQ(MouControl(LD_API_GET_VERSION, words, 0, 0), 1u);
  EXPECT_EQ(std::vector<ULONG>(words, words + 3), (std::vector<ULONG>{ 0, 1, 0xABCDEF }));
  words[0] = 5;
  EXPECT_EQ(MouControl(LD_API_SUSPEND, words, 0, 0), 1u);
  EXPECT_EQ(MouControl(7, words, 0, 0), 0u);
  EXPECT_EQ(MouControl(0xFFFFFFFF, words, 0, 0), 0u);
  EXPECT_EQ(std::vector<ULONG>(words, words + 2), (std::vector<ULONG>{ 5, 1 }));
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
  // Unbound: a second unbind and a remove-all command reach neither the
  // released record nor the host.
  EXPECT_EQ(MouMainExit(0, 0), 1u);
  EXPECT_EQ(MouControl(LD_API_REMOVE_ALL_DEVICES, nullptr, 0, 0), 1u);
  EXPECT_EQ(FakeHost::s_remove.count, 2);
}

// The settings codes are driven through the dispatch by the settings tests;
// here the codes outside them: the time stamp, codes not served, and the
// plug-in-wide driver type.
TEST_F(PluginTest, DispatchServesTheTimeStampRefusesOtherCodesAndTheDriverTypeForADevice)
{
  FakeHost host;
  ASSERT_EQ(MouMainInit(host.Api, 0, 0), 1u);
  tDevice device = {};
  device.ulDeviceType = LD_DEVICETYPE_MOUSE;
  TraceCapture capture;
  ULONG record[40] = { 24 };
  ULONG size = 0xDEAD;
  MouDeviceControl(&device, LD_GET_TIME_STAMP, record, &size, 0);
  EXPECT_TRUE(capture.Contains("UmdMgrGetTimeStamp - querying 0x0"));

  // Codes of other groups, the get beside a served set, and the last possible
  // one: refused by name, nothing written.
  for (ULONG code : { 0ul, (ULONG)LD_GET_MOUSE_DRIVER_TYPE, (ULONG)LD_GET_MOUSE_BUTTON_MAPPING, 0x2000000ul,
                      0x6000000ul, 0xFFFFFFFFul }) {
    ULONG words[4] = { 8, 0x55 };
    size = 0xDEAD;
    capture.Clear();
    EXPECT_EQ(MouDeviceControl(&device, code, words, &size, 2), (LD_STATUS)LD_INVALID_FUNCTION) << std::hex << code;
    EXPECT_EQ(std::make_tuple(size, words[1]), std::make_tuple(0ul, 0x55ul)) << std::hex << code;
    EXPECT_TRUE(capture.Contains("MouDeviceControl - exit, status=LD_INVALID_FUNCTION")) << std::hex << code;
  }

  // The driver type needs no device, and refuses one (no exit line); a null
  // returned-size pointer is asserted, not written.
  ULONG type[2] = { 8, 1 };
  size = 0xDEAD;
  capture.Clear();
  EXPECT_EQ(MouDeviceControl(nullptr, LD_SET_MOUSE_DRIVER_TYPE, type, &size, 0), (LD_STATUS)LD_SUCCESS);
  EXPECT_TRUE(capture.Contains("MouIoSetDriverType - "));
  EXPECT_EQ(size, 0u);
  size = 0xDEAD;
  capture.Clear();
  EXPECT_EQ(MouDeviceControl(&device, LD_SET_MOUSE_DRIVER_TYPE, type, &size, 0), (LD_STATUS)LD_INVALID_PARAMETER);
  EXPECT_EQ(size, 0u);
  EXPECT_FALSE(capture.Contains("exit"));
  EXPECT_EQ(MouDeviceControl(nullptr, LD_GET_MOUSE_BUTTON_MAPPING, nullptr, nullptr, 0),
            (LD_STATUS)LD_INVALID_FUNCTION);
  EXPECT_TRUE(capture.Contains("assert NULL != pReturnedSize"));
  MouMainExit(0, 0);
}
