// The production DLL against the kernel test driver that Wine runs: real
// Setup API enumeration, real overlapped requests and cancels. Wine reads
// arrival and removal records to an ANSI window as UTF-16 and never delivers
// handle records, so devices come and go here through full enumerations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/Trace.h"
#include "host/RefHost.h"
#include "host/RefHostEvents.h"
#include "host/RefHostModels.h"
#include "host/RefHostPnp.h"
#include "host/RefHostReports.h"
#include "host/RefHostThread.h"
#include "mouio/MouIo.h"
#include "plugin/Mou.h"
#include "synch/SynchMgr.h"
#include "testdrv/TestDrvClient.h"
#include "tests/shared/SettingsTable.h"
#include "tests/unit/TestSupport.h"

namespace {

const char kMouse[] = "HID\\VID_3F1D&PID_C01E\\LANE&1";
const char kSlotMouse[] = "HID\\VID_3F1D&PID_C031&WI_02\\LANE&2";
constexpr LONG STATUS_CANCELLED_VALUE = static_cast<LONG>(0xC0000120);

// The NT status behind each Win32 error the settings table makes the driver fail with.
LONG StatusOf(DWORD dwError)
{
  if (dwError == ERROR_DEVICE_NOT_CONNECTED) return static_cast<LONG>(0xC000009D);
  EXPECT_EQ(dwError, DWORD{ ERROR_INVALID_PARAMETER });
  return static_cast<LONG>(0xC000000D);
}

// The settings table's view of the kernel driver's first mouse: its gets and
// sets only (the event read stays outstanding beside them).
ULONG s_ulLaneChild = 0;
LaneDriver KernelLane()
{
  LaneDriver lane;
  lane.pfnFailAll = [](DWORD dwError) {
    const LONG lStatus = dwError != 0 ? StatusOf(dwError) : 0;
    EXPECT_TRUE(TestDrvSetMode(s_ulLaneChild, dwError != 0 ? TESTDRV_FAIL : TESTDRV_ANSWER, lStatus));
  };
  lane.pfnStore = [](ULONG ulParam, const void* pValue, ULONG ulSize) {
    EXPECT_TRUE(TestDrvSetParam(s_ulLaneChild, ulParam, pValue, ulSize));
  };
  lane.pfnReplyLength = [](ULONG ulParam, ULONG ulLength) {
    EXPECT_TRUE(TestDrvSetReplyLength(s_ulLaneChild, ulParam, ulLength));
  };
  lane.pfnClearRequests = TestDrvClearRequests;
  lane.pfnRequests = [] {
    std::vector<LaneRequest> requests;
    TestDrvRequest r = {};
    for (ULONG i = 0; TestDrvGetRequest(i, &r); ++i) {
      if (r.ulChild != s_ulLaneChild || (r.ulIoctl != IOCTL_RAWPDO_GET && r.ulIoctl != IOCTL_RAWPDO_SET)) continue;
      Words in(r.ulInSize / 4);
      memcpy(in.data(), r.In, in.size() * 4);
      requests.push_back({ r.ulIoctl, in, r.ulOutSize });
    }
    return requests;
  };
  return lane;
}

using Counts = std::pair<DWORD, ULONG>;   // handles and threads of the process

class DriverLaneTest : public testing::Test {
protected:
  RefHost* pHost = nullptr;
  RefHostPlugin plugin = {};
  RefHostThread thread = {};
  ULONG children[2] = {};
  std::string sLogPath;   // the DLL's log file
  std::vector<std::string> logLines;   // that it must hold once it is unloaded
  Counts before;
  bool bCountsChecked = true;

  static void SetUpTestSuite()
  {
    ASSERT_TRUE(TestDrvInstall(TestBinDir().c_str()));
    ASSERT_TRUE(TestDrvConnect());
    ASSERT_GT(RefHostModelsLoad((TestBinDir() + "\\models").c_str(), 0, TRUE), 0u);
    // Wine opens its notification listener, its debug-output mutex and a few
    // keys for good on first use, and GoogleTest starts a thread to watch this
    // one at its first scoped trace: all that first, so that the counts of
    // every test measure the plug-in alone.
    SCOPED_TRACE("warm-up");
    struct WarmUp : DriverLaneTest {
      void TestBody() override {}
    } warmUp;
    warmUp.bCountsChecked = false;
    warmUp.SetUp();
    warmUp.TearDown();
  }
  static void TearDownTestSuite()
  {
    RefHostModelsFree();
    TestDrvDisconnect();
  }

  void SetUp() override
  {
    TestDrvReset();
    before = TestSettledCounts();
    sLogPath = TestScratchDir("driver_lane") + "\\trace.txt";
    ASSERT_TRUE(LoadPluginWithLog(&plugin, TestBinDir() + "\\..\\dist\\DRAVMOU.dll", sLogPath));
    pHost = RefHostGet();
    ASSERT_TRUE(RefHostInit(pHost));
    RefHostPnpUseSystemTree(TRUE);
    ASSERT_TRUE(RefHostThreadStart(&thread));
    ASSERT_EQ(RefHostThreadBind(&thread, pHost, &plugin), 1u);
    children[0] = TestDrvPlug(kMouse);
    children[1] = TestDrvPlug(kSlotMouse);
    ASSERT_TRUE(children[0] != 0 && children[1] != 0);
    ASSERT_TRUE(RefHostThreadEnumerate(&thread, &plugin));
    s_ulLaneChild = children[0];
  }
  void TearDown() override
  {
    if (thread.hThread != nullptr) {
      EXPECT_EQ(RefHostThreadUnbind(&thread, &plugin), 1u);
      EXPECT_TRUE(RefHostThreadStop(&thread));
    }
    if (pHost != nullptr) RefHostShutdown(pHost);
    if (plugin.hModule != nullptr) RefHostUnloadPlugin(&plugin);
    RefHostPnpUseSystemTree(FALSE);
    ExpectLinesInLog(sLogPath, logLines);
    EXPECT_EQ(TestDrvOpenHandleCount(0), 0u);
    TestDrvReset();
    if (bCountsChecked) {
      EXPECT_EQ(TestSettledCounts(), before);
    }
  }

  // The host's device behind a child, found by the interface path the system gave it.
  tDevice* DeviceOf(ULONG ulChild)
  {
    char sPath[MAX_PATH];
    return TestDrvInterfacePath(ulChild, sPath, sizeof sPath) ? RefHostFindDeviceByPath(pHost, sPath) : nullptr;
  }
};

}  // namespace

// Found through the Setup API, opened, started and announced; the receiver
// slot placed by its instance ID.
TEST_F(DriverLaneTest, TwoMiceAreFoundStartedAndAnnounced)
{
  EXPECT_EQ(RefHostDeviceCount(pHost), 2u);
  EXPECT_EQ(RefHostReportCount(REFHOST_REPORT_ANNOUNCE), 2u);
  for (ULONG ulChild : children) {
    tDevice* pDevice = DeviceOf(ulChild);
    ASSERT_NE(pDevice, nullptr);
    EXPECT_EQ(pDevice->UMDPresent[UMD_MOUFILT], 1u);
    EXPECT_NE(RefHostDevInfo(pDevice)->hEventThread, nullptr);
    EXPECT_EQ(TestDrvOpenHandleCount(ulChild), 1u);
  }
  tDevice* pSlot = DeviceOf(children[1]);
  char sName[64];
  snprintf(sName, sizeof sName, "REFHOST-%08X-258", (unsigned)RefHostDevInfo(pSlot)->diDeviceNode);
  EXPECT_STREQ(pSlot->sPersistentName, sName);
}

// The same table the simulated driver answers, byte for byte at this driver;
// the DLL's log holds the lines a reader depends on.
TEST_F(DriverLaneTest, SettingsTableReachesTheDriverExactly)
{
  tDevice* pMouse = DeviceOf(children[0]);
  ASSERT_NE(pMouse, nullptr);
  // A keyboard refuses before any request, so it needs no driver device.
  tDevice* pKeyboard = RefHostCreateDevice(pHost, REFHOST_LOCK_CREATE, LD_DEVICETYPE_KEYBOARD, UMD_MOUFILT, 0, 0,
                                           HOST_CREATE_VALUE, MOU_DEVINFO_SIZE);
  ASSERT_NE(pKeyboard, nullptr);
  pKeyboard->bStarted = TRUE;
  pKeyboard->UMDPresent[UMD_MOUFILT] = 1;
  ReleaseRemoveLock(UMD_MOUFILT, REFHOST_LOCK_CREATE, pKeyboard);
  RunSettingsTable(pHost, pMouse, pKeyboard, KernelLane(), nullptr, &logLines);
  EXPECT_TRUE(RefHostRemoveDevice(pHost, pKeyboard, UMD_MOUFILT, FALSE, LOCK_DoNotAcquireLock));
}

// A press and a release reach the host once each; a third packet marks the
// end, so nothing was reported twice before it.
TEST_F(DriverLaneTest, ChordingPressAndReleaseReachTheHostOnceEach)
{
  tDevice* pMouse = DeviceOf(children[0]);
  ASSERT_NE(pMouse, nullptr);
  RefHostReportsReset();
  tHWEvent* pEvent = RefHostAddHWEvent(pHost, pMouse->DUID, pMouse->DeviceKey, HW_EVENT_CHORDING_BUTTON,
                                       1u << UMD_MOUFILT);
  ASSERT_NE(pEvent, nullptr);
  ASSERT_TRUE(AcquireRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, pMouse));
  EXPECT_EQ(plugin.MouRegisterEvent(pMouse, pEvent, 0), (LD_STATUS)LD_SUCCESS);
  ReleaseRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, pMouse);
  for (ULONG ulDown : { 1, 0, 1 }) {
    const ULONG packet[2] = { ID_EVENT_CHORDING_BUTTON, ulDown };
    ASSERT_TRUE(TestDrvQueueEvent(children[0], packet, sizeof packet));
  }
  ASSERT_TRUE(RefHostWaitReports(REFHOST_REPORT_HW_EVENT, 3, 10000));
  const ULONG_PTR expected[3] = { 0x10003, 0x20003, 0x10003 };
  for (ULONG i = 0; i < 3; ++i) {
    RefHostReport r = {};
    ASSERT_TRUE(RefHostGetReport(REFHOST_REPORT_HW_EVENT, i, &r));
    EXPECT_EQ(r.value, expected[i]) << i;
  }
  EXPECT_EQ(RefHostReportCount(REFHOST_REPORT_HW_EVENT), 3u);
}

// A request the mouse never answers ends at the transport's bound, and the
// driver sees it cancelled rather than left pending.
TEST_F(DriverLaneTest, ARequestNeverAnsweredIsCancelledAtTheDriver)
{
  tDevice* pMouse = DeviceOf(children[0]);
  ASSERT_NE(pMouse, nullptr);
  ASSERT_TRUE(TestDrvSetMode(children[0], TESTDRV_NEVER_ANSWER, 0));
  TestDrvClearRequests();
  MouWheelFilterRecord filter = { 20, 1, 2, 3, 4 };
  ULONG ulSize = 0xDEAD;
  DWORD dwStart = GetTickCount();
  EXPECT_EQ(RefHostDeviceControl(pHost, pMouse, LD_GET_MOUSE_WHEEL_FILTER, &filter, &ulSize),
            (LD_STATUS)LD_INTERNAL_ERROR);
  EXPECT_GE(GetTickCount() - dwStart, 1900u);
  EXPECT_EQ(ulSize, 0u);
  EXPECT_EQ(filter.SnapStopThreshold, 1u);
  EXPECT_EQ(filter.ulDropRate, 4u);
  ULONG ulGets = 0;
  TestDrvRequest r = {};
  for (ULONG i = 0; TestDrvGetRequest(i, &r); ++i) {
    if (r.ulIoctl != IOCTL_RAWPDO_GET) continue;
    ++ulGets;
    EXPECT_EQ(r.lStatus, STATUS_CANCELLED_VALUE);
  }
  EXPECT_EQ(ulGets, 1u);
  TestDrvSetMode(children[0], TESTDRV_ANSWER, 0);
}

// Unplugged, a mouse's outstanding read ends; the next enumeration removes
// it, and its event thread and handle are gone with it. (The slot mouse is the
// last in Wine's enumeration order, so the other keeps its node: Wine numbers
// nodes by their place in each list.)
TEST_F(DriverLaneTest, AnUnpluggedMouseGoesAtTheNextEnumeration)
{
  ASSERT_NE(DeviceOf(children[1]), nullptr);
  const ULONG ulThreads = TestSettledCounts().second;
  ASSERT_TRUE(TestDrvUnplug(children[1]));
  ASSERT_TRUE(RefHostThreadEnumerate(&thread, &plugin));
  EXPECT_EQ(RefHostDeviceCount(pHost), 1u);
  EXPECT_EQ(TestSettledCounts().second, ulThreads - 1);   // its event thread
  EXPECT_NE(DeviceOf(children[0]), nullptr);
  EXPECT_EQ(TestDrvOpenHandleCount(children[1]), 0u);
  EXPECT_EQ(TestDrvPendingCount(children[1]), 0u);
}
