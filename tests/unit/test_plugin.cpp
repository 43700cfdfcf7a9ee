// Binding, control commands and dispatch of the linked plug-in code (the DLLs
// bind by ordinal in the instance tests).
#include <gtest/gtest.h>

#include <cstdio>
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
  // The remove-devices calls so far, "filter? context? plug-in flag;" each;
  // kRemoveAll removes every device of the plug-in.
  static inline std::string s_sRemoves;
  static BOOL RemoveDevices(PFN_HOST_DEVICE_FILTER pfnFilter, ULONG_PTR, void* pContext, ULONG ulUmdIndex, ULONG ulFlag)
  {
    char s[64];
    snprintf(s, sizeof s, "%d %d %lu %lu;", pfnFilter != nullptr, pContext != nullptr, ulUmdIndex, ulFlag);
    s_sRemoves += s;
    return TRUE;
  }
};
const std::string kRemoveAll = "0 0 9 1;";

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

// Without the record or one of its words: refused, asserted once by the
// unit's own line, and the framework is not started.
TEST_F(PluginTest, MainInitRefusesANullRecordAndEachNullWord)
{
  for (int word : { -1, 0, 1, 2 }) {   // -1: no record at all
    FakeHost host;
    if (word >= 0) host.Api[word] = 0;
    TraceCapture capture;
    EXPECT_EQ(MouMainInit(word >= 0 ? host.Api : nullptr, 0, 0), 0u) << word;
    EXPECT_EQ(std::make_tuple(capture.Count("<error> MouMainInit - MouMainInit - DravMou.cpp line"),
                              capture.Count("assert FALSE"), capture.Contains("UmdMainInit - entry")),
              std::make_tuple(1u, 1u, false)) << word;
  }
}

TEST_F(PluginTest, MainInitBindsControlCommandsAnswerAndMainExitReleasesTheInstance)
{
  FakeHost host;
  FakeHost::s_sRemoves.clear();
  ASSERT_EQ(MouMainInit(host.Api, 0, 0), 1u);
  ASSERT_NE(g_pUmdGlobal, nullptr);
  UmdGlobal* pInstance = g_pUmdGlobal;
  EXPECT_EQ(std::make_tuple(pInstance->bInUse, pInstance->ulUmdIndex, pInstance->ulDevInfoSize,
                            std::string(pInstance->sName), pInstance->ulDefaultDeviceType, g_pDevMgrApi, g_pMain),
            std::make_tuple(TRUE, (ULONG)UMD_MOUFILT, 352ul, std::string("MOU"), (ULONG)LD_DEVICETYPE_MOUSE,
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
    EXPECT_EQ(FakeHost::s_sRemoves, cmd >= 5 ? kRemoveAll : "") << cmd;   // command 5 alone
  }

  // Unbinding asks the host to remove every device of the plug-in.
  EXPECT_EQ(MouMainExit(0, 0), 1u);
  EXPECT_FALSE(pInstance->bInUse);
  EXPECT_EQ(g_pUmdGlobal, nullptr);
  EXPECT_EQ(FakeHost::s_sRemoves, kRemoveAll + kRemoveAll);
  // Unbound: a second unbind and a remove-all command reach neither the
  // released record nor the host.
  EXPECT_EQ(MouMainExit(0, 0), 1u);
  EXPECT_EQ(MouControl(LD_API_REMOVE_ALL_DEVICES, nullptr, 0, 0), 1u);
  EXPECT_EQ(FakeHost::s_sRemoves, kRemoveAll + kRemoveAll);
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
