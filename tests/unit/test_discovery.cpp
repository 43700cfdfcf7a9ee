// Devices end to end through the plug-in's entry points: an enumeration finds,
// creates, starts and announces them; packets reach the host; an unplug
// removes them with their thread stopped and their handle closed.
#include <gtest/gtest.h>

#include "tests/unit/BoundHost.h"

#include <cstring>
#include <string>

#include "framework/UmdMgr.h"
#include "host/RefHost.h"
#include "host/RefHostEvents.h"
#include "host/RefHostModels.h"
#include "host/RefHostReports.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "simdrv/SimDrv.h"
#include "synch/SynchMgr.h"
#include "tests/unit/TestSupport.h"

namespace {

const char kMousePath[] = "\\\\?\\HID#VID_3F1D&PID_C01E#7&1&0&0000#{5a486531-0201-43e0-bd81-d544bb08d0dc}";
const char kForeignPath[] = "\\\\?\\HID#VID_046D&PID_C077#7&2&0&0000#{5a486531-0201-43e0-bd81-d544bb08d0dc}";
const char kUnknownPath[] = "\\\\?\\HID#VID_3F1D&PID_9999#7&3&0&0000#{5a486531-0201-43e0-bd81-d544bb08d0dc}";

void Pump()
{
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

// Waits for a condition the work-item thread brings about, pumping this
// thread's window meanwhile; bounded.
template <typename Fn>
bool WaitFor(Fn condition)
{
  for (int i = 0; i < 1000; ++i) {
    Pump();
    if (condition()) return true;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return condition();
}

class DiscoveryTest : public BoundHostTest {
protected:

  void SetUp() override
  {
    std::string s = __FILE__;
    s = s.substr(0, s.rfind("/tests/unit/")) + "/host/models";
    for (char& c : s) c = c == '/' ? '\\' : c;
    RefHostModelsFree();
    ASSERT_EQ(RefHostModelsLoad(("Z:" + s).c_str(), 0, TRUE), 4u);
    BoundHostTest::SetUp();
  }
  void TearDown() override
  {
    BoundHostTest::TearDown();
    RefHostModelsFree();
  }

  ULONG Add(const char* sPath, const char* sInstanceId, DWORD diNode)
  {
    SimDrvDeviceDesc desc = {};
    desc.sPath = sPath;
    desc.sInstanceId = sInstanceId;
    desc.diNode = diNode;
    desc.ulParentCount = 1;
    desc.Parents[0] = diNode - 1;
    return SimDrvAddDeviceEx(&desc);
  }
  void Enumerate()
  {
    ULONG n = RefHostReportCount(REFHOST_REPORT_END_OF_ENUMERATION);
    EXPECT_EQ(MouControl(6, nullptr, 0, 0), 1u);
    EXPECT_TRUE(WaitFor([&] { return RefHostReportCount(REFHOST_REPORT_END_OF_ENUMERATION) > n; }));
  }
};

}  // namespace

TEST_F(DiscoveryTest, AMouseIsFoundStartedWorksAndLeavesWithItsThreadAndHandle)
{
  ULONG ulMouse = Add(kMousePath, "HID\\VID_3F1D&PID_C01E&REV_0100\\7&1&0&0000", 0x2001);
  ASSERT_NE(ulMouse, 0u);
  ASSERT_NE(Add(kForeignPath, "HID\\VID_046D&PID_C077\\7&2&0&0000", 0x2011), 0u);
  ASSERT_NE(Add(kUnknownPath, "HID\\VID_3F1D&PID_9999\\7&3&0&0000", 0x2021), 0u);
  Enumerate();

  // Only the mouse with a model became a device; the maker's unknown one is reported.
  ASSERT_EQ(RefHostDeviceCount(pHost), 1u);
  ASSERT_EQ(RefHostReportCount(REFHOST_REPORT_ANNOUNCE), 1u);
  RefHostReport announce = {};
  ASSERT_TRUE(RefHostGetReport(REFHOST_REPORT_ANNOUNCE, 0, &announce));
  tDevice* pMouse = announce.pDevice;
  ASSERT_NE(pMouse, nullptr);
  EXPECT_EQ(pMouse->ulDeviceType, (ULONG)LD_DEVICETYPE_MOUSE);
  EXPECT_EQ(pMouse->UMDPresent[UMD_MOUFILT], 1u);
  UmdDevInfo* pInfo = RefHostDevInfo(pMouse);
  EXPECT_STREQ(pInfo->sPath, kMousePath);
  EXPECT_EQ(pInfo->ulVendorID, 0x3F1Du);
  EXPECT_EQ(pInfo->ulProductID, 0xC01Eu);
  EXPECT_EQ(pInfo->ulVersion, 0x100u);
  EXPECT_EQ(pInfo->diDeviceNode, 0x2001u);
  EXPECT_NE(pInfo->hEventThread, nullptr);
  EXPECT_EQ(SimDrvOpenHandleCount(ulMouse), 1u);
  RefHostReport unknown = {};
  ASSERT_TRUE(RefHostGetReport(REFHOST_REPORT_EVENT, 0, &unknown));
  EXPECT_EQ(unknown.ulUmdIndex, (ULONG)LD_EVENT_UNKNOWN_DEVICE);
  EXPECT_EQ(unknown.value, 0x9999u);
  EXPECT_EQ(pMouse->RemoveLock[UMD_MOUFILT].lLock, 0);

  // A second enumeration only marks it present again.
  Enumerate();
  EXPECT_EQ(RefHostDeviceCount(pHost), 1u);
  EXPECT_EQ(RefHostReportCount(REFHOST_REPORT_ANNOUNCE), 1u);

  // A chording press reaches the host once, through the device's event thread.
  tHWEvent* pEvent = RefHostAddHWEvent(pHost, pMouse->DUID, pMouse->DeviceKey, HW_EVENT_CHORDING_BUTTON, 0x200);
  ASSERT_NE(pEvent, nullptr);
  ASSERT_TRUE(AcquireRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, pMouse));
  ASSERT_EQ(MouRegisterEvent(pMouse, pEvent, 0), (LD_STATUS)LD_SUCCESS);
  ReleaseRemoveLock(UMD_MOUFILT, LOCK_MainDeviceIoControlThread, pMouse);
  ULONG packet[2] = { 3112, 1 };
  ASSERT_TRUE(SimDrvQueueEvent(ulMouse, packet, sizeof packet));
  ASSERT_TRUE(RefHostWaitReports(REFHOST_REPORT_HW_EVENT, 1, 10000));
  RefHostReport press = {};
  ASSERT_TRUE(RefHostGetReport(REFHOST_REPORT_HW_EVENT, 0, &press));
  EXPECT_EQ(press.value, 0x10003u);
  EXPECT_EQ(press.pRecord, pEvent);
  EXPECT_EQ(RefHostReportCount(REFHOST_REPORT_HW_EVENT), 1u);

  // Unplugged: removed by the host, the plug-in's handle closed.
  TraceCapture capture;
  EXPECT_TRUE(SimDrvUnplugDevice(ulMouse, FALSE));
  EXPECT_TRUE(WaitFor([&] { return RefHostDeviceCount(pHost) == 0; }));
  EXPECT_EQ(SimDrvOpenHandleCount(ulMouse), 0u);
  EXPECT_TRUE(capture.Contains("UmdProcessDeviceChanges - UMD(UMD_MOUFILT) REMOVAL of DUID:0x"));
  EXPECT_TRUE(capture.Contains("UmdDeviceCleanup - Entry"));
}

TEST_F(DiscoveryTest, AnArrivalBroadcastCreatesOnlyItsOwnDevice)
{
  ULONG ulOther = Add(kForeignPath, "HID\\VID_3F1D&PID_C031\\x", 0x3011);
  ASSERT_NE(ulOther, 0u);
  SimDrvDeviceDesc desc = {};
  desc.sPath = kMousePath;
  desc.sInstanceId = "hid\\vid_3f1d&pid_c01e&mi_00\\7&1&0&0000";
  desc.diNode = 0x3001;
  ULONG ulMouse = SimDrvPlugDevice(&desc);
  ASSERT_NE(ulMouse, 0u);
  ASSERT_TRUE(WaitFor([&] { return RefHostReportCount(REFHOST_REPORT_ANNOUNCE) == 1; }));
  EXPECT_EQ(RefHostDeviceCount(pHost), 1u);   // the other interface was not visited
  RefHostReport announce = {};
  ASSERT_TRUE(RefHostGetReport(REFHOST_REPORT_ANNOUNCE, 0, &announce));
  EXPECT_STREQ(RefHostDevInfo(announce.pDevice)->sPath, kMousePath);
  EXPECT_FALSE(RefHostDevInfo(announce.pDevice)->bSingleInterface);
  EXPECT_EQ(SimDrvOpenHandleCount(ulOther), 0u);
}

TEST_F(DiscoveryTest, AHundredPlugsAndUnplugsLeaveNoHandleThreadOrDevice)
{
  // One cycle first, so that lazily made process resources are in the baseline.
  auto cycle = [&](int n) {
    SimDrvDeviceDesc desc = {};
    std::string sPath = std::string(kMousePath) + "#" + std::to_string(n);
    desc.sPath = sPath.c_str();
    desc.sInstanceId = "HID\\VID_3F1D&PID_C01E\\cycle";
    desc.diNode = 0x4000 + n;
    ULONG ulAnnounced = RefHostReportCount(REFHOST_REPORT_ANNOUNCE);
    ULONG ulDevice = SimDrvPlugDevice(&desc);
    bool bIn = ulDevice != 0 && WaitFor([&] { return RefHostReportCount(REFHOST_REPORT_ANNOUNCE) > ulAnnounced; });
    bool bOut = SimDrvUnplugDevice(ulDevice, n % 2 == 0) && WaitFor([&] { return RefHostDeviceCount(pHost) == 0; });
    return bIn && bOut && SimDrvOpenHandleCount(ulDevice) == 0;
  };
  ASSERT_TRUE(cycle(0));
  RefHostReportsReset();
  DWORD dwHandles = TestHandleCount();
  ULONG ulThreads = TestThreadCount();
  for (int n = 1; n <= 100; ++n) {
    ASSERT_TRUE(cycle(n)) << n;
  }
  EXPECT_EQ(RefHostReportCount(REFHOST_REPORT_ANNOUNCE), 100u);
  EXPECT_EQ(TestThreadCount(), ulThreads);
  EXPECT_EQ(TestHandleCount(), dwHandles);
  EXPECT_EQ(SimDrvOpenHandleCount(0), 0u);
}

namespace {
tDevice* RefuseCreation(ULONG, ULONG, ULONG, DWORD, ULONG, ULONG, ULONG)
{
  return nullptr;
}
}  // namespace

TEST_F(DiscoveryTest, ARefusedCreationClosesTheHandleAndADeviceWhoseStartFailedIsSwept)
{
  ULONG ulMouse = Add(kMousePath, "HID\\VID_3F1D&PID_C01E\\7&1&0&0000", 0x2001);
  ASSERT_NE(ulMouse, 0u);
  ULONG_PTR create = pHost->Api[HOST_CREATE_DEVICE];
  pHost->Api[HOST_CREATE_DEVICE] = reinterpret_cast<ULONG_PTR>(&RefuseCreation);
  TraceCapture capture;
  Enumerate();
  pHost->Api[HOST_CREATE_DEVICE] = create;
  EXPECT_TRUE(capture.Contains("InteractWithOpenedDevice - FoundDevice - failed to create a new device\n"));
  EXPECT_TRUE(capture.Contains("UmdFoundDevice - FoundDevice - line: 599 !bStatus\n"));
  EXPECT_EQ(RefHostDeviceCount(pHost), 0u);
  EXPECT_EQ(SimDrvOpenHandleCount(ulMouse), 0u);

  // The host refuses the start: the device stays unmarked and the same
  // enumeration's sweep has the host remove it again, handle closed.
  RefHostSetAnnounceResult(FALSE);
  capture.Clear();
  Enumerate();
  EXPECT_EQ(RefHostReportCount(REFHOST_REPORT_ANNOUNCE), 1u);
  EXPECT_TRUE(capture.Contains("UmdDeviceCleanup - Entry"));
  EXPECT_EQ(RefHostDeviceCount(pHost), 0u);
  EXPECT_EQ(SimDrvOpenHandleCount(ulMouse), 0u);
}
