// Devices end to end through the plug-in's entry points: an enumeration finds,
// places, creates and starts them; packets reach the host; plugs and unplugs
// leave no device, thread or handle behind.
#include <gtest/gtest.h>

#include "tests/unit/BoundHost.h"

#include <cstdio>
#include <string>

#include "framework/UmdLookup.h"
#include "framework/UmdMgr.h"
#include "host/RefHostEvents.h"
#include "host/RefHostModels.h"
#include "host/RefHostReports.h"
#include "plugin/LdCodes.h"
#include "synch/SynchMgr.h"
#include "tests/unit/TestSupport.h"

namespace {

const char kMousePath[] = "\\\\?\\HID#VID_3F1D&PID_C01E#7&1&0&0000#{5a486531-0201-43e0-bd81-d544bb08d0dc}";
const char kForeignPath[] = "\\\\?\\HID#VID_046D&PID_C077#7&2&0&0000#{5a486531-0201-43e0-bd81-d544bb08d0dc}";

// Models beside the demo ones: placed by their "DEPTH" value, or receivers.
const char kPlacementModels[] =
    ";DRAV discovery models\r\n"
    "[0x01000010]\r\nNAME = Deep\r\nPID = 0xD001\r\nDEPTH = KBD#0x31 MOU#0x00002103\r\nMINTERM = MOU\r\n"
    "[0x03000010]\r\nNAME = Receiver\r\nPID = 0xD003\r\nMINTERM = KBD MOU\r\n"
    "[0x01000011]\r\nNAME = Typed\r\nPID = 0xD004\r\nDEPTH = MOU#0x30\r\nMINTERM = MOU\r\n\r\n";

class DiscoveryTest : public BoundHostTest {
protected:
  void SetUp() override
  {
    std::string s = __FILE__;
    s = s.substr(0, s.rfind("/tests/unit/")) + "/host/models";
    for (char& c : s) c = c == '/' ? '\\' : c;
    RefHostModelsFree();
    ASSERT_EQ(RefHostModelsLoad(("Z:" + s).c_str(), 0, TRUE), 4u);
    std::string sDir = TestScratchDir("DiscoveryModels");
    HANDLE h = CreateFileA((sDir + "\\placement.ini").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD dw = 0;
    ASSERT_TRUE(WriteFile(h, kPlacementModels, sizeof kPlacementModels - 1, &dw, nullptr));
    CloseHandle(h);
    ASSERT_EQ(RefHostModelsLoad(sDir.c_str(), 0, TRUE), 3u);
    BoundHostTest::SetUp();
  }
  void TearDown() override
  {
    BoundHostTest::TearDown();
    RefHostModelsFree();
  }
  // Waits for a condition the work-item thread brings about, pumping this
  // thread's window meanwhile; bounded.
  template <typename Fn>
  static bool WaitFor(Fn condition)
  {
    for (int i = 0; i < 1000; ++i) {
      PumpMessages();
      if (condition()) return true;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return condition();
  }

  // A device with its node and ulParents ancestors node+1, node+2, ...
  ULONG Add(const char* sPath, const char* sInstanceId, DWORD diNode, ULONG ulParents = 1)
  {
    SimDrvDeviceDesc desc = {};
    desc.sPath = sPath;
    desc.sInstanceId = sInstanceId;
    desc.diNode = diNode;
    desc.ulParentCount = ulParents;
    for (ULONG i = 0; i < ulParents; ++i) desc.Parents[i] = diNode + i + 1;
    return SimDrvAddDeviceEx(&desc);
  }
  void Enumerate()
  {
    ULONG n = RefHostReportCount(REFHOST_REPORT_END_OF_ENUMERATION);
    EXPECT_EQ(MouControl(6, nullptr, 0, 0), 1u);
    EXPECT_TRUE(WaitFor([&] { return RefHostReportCount(REFHOST_REPORT_END_OF_ENUMERATION) > n; }));
  }
  tDevice* DeviceOf(const std::string& sPath)
  {
    return RefHostFindDevice(
      pHost,
      [](tDevice* pDevice, const void* p) -> BOOL {
        return *static_cast<const std::string*>(p) == RefHostDevInfo(pDevice)->sPath;
      },
      &sPath);
  }
};

}  // namespace

TEST_F(DiscoveryTest, AMouseIsFoundIdentifiedStartedAndItsPacketsReachTheHost)
{
  ULONG ulMouse = Add(kMousePath, "HID\\VID_3F1D&PID_C01E&REV_0100\\7&1&0&0000", 0x2001);
  ASSERT_NE(ulMouse, 0u);
  ASSERT_NE(Add(kForeignPath, "HID\\VID_046D&PID_C077\\7&2&0&0000", 0x2011), 0u);
  ASSERT_NE(Add("\\\\?\\HID#VID_3F1D&PID_9999#u", "HID\\VID_3F1D&PID_9999\\7&3&0&0000", 0x2021), 0u);
  Enumerate();
  ASSERT_EQ(RefHostDeviceCount(pHost), 1u);
  Enumerate();   // the second one only marks it present again

  // Only the mouse with a model became a device; the maker's unknown one is reported.
  ASSERT_EQ(RefHostDeviceCount(pHost), 1u);
  ASSERT_EQ(RefHostReportCount(REFHOST_REPORT_ANNOUNCE), 1u);
  RefHostReport announce = {}, unknown = {};
  ASSERT_TRUE(RefHostGetReport(REFHOST_REPORT_ANNOUNCE, 0, &announce));
  tDevice* pMouse = announce.pDevice;
  ASSERT_EQ(pMouse, DeviceOf(kMousePath));
  EXPECT_EQ(pMouse->ulDeviceType, (ULONG)LD_DEVICETYPE_MOUSE);
  EXPECT_EQ(pMouse->UMDPresent[UMD_MOUFILT], 1u);
  EXPECT_EQ(pMouse->RemoveLock[UMD_MOUFILT].lLock, 0);
  UmdDevInfo* pInfo = RefHostDevInfo(pMouse);
  EXPECT_EQ(pInfo->ulVendorID, 0x3F1Du);
  EXPECT_EQ(pInfo->ulProductID, 0xC01Eu);
  EXPECT_EQ(pInfo->ulVersion, 0x100u);
  EXPECT_EQ(pInfo->diDeviceNode, 0x2001u);
  EXPECT_NE(pInfo->hEventThread, nullptr);
  EXPECT_EQ(SimDrvOpenHandleCount(ulMouse), 1u);
  ASSERT_TRUE(RefHostGetReport(REFHOST_REPORT_EVENT, 0, &unknown));
  EXPECT_EQ(unknown.ulUmdIndex, (ULONG)LD_EVENT_UNKNOWN_DEVICE);
  EXPECT_EQ(unknown.value, 0x9999u);

  // A chording press reaches the host once, through the device's event thread.
  tHWEvent* pEvent = RefHostAddHWEvent(pHost, pMouse->DUID, pMouse->DeviceKey, HW_EVENT_CHORDING_BUTTON, 0x200);
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
}

// The host's persistent name "REFHOST-<node>-<index>" shows the node and index
// the device was created with.
TEST_F(DiscoveryTest, TheModelsDepthValueReceiverSlotAndTypePlaceTheDevice)
{
  struct Case {
    const char* sInstanceId;
    ULONG ulParents;
    ULONG ulType;
    DWORD diCreatedNode;   // relative to the device's own node
    ULONG ulIndex;
    bool bDepthAsserted;
  } cases[] = {
    { "HID\\VID_3F1D&PID_D001&MI_02\\deep", 3, LD_DEVICETYPE_MOUSE, 3, 1, false },
    // A tree of two nodes cannot reach depth 3: the device's own node instead.
    { "HID\\VID_3F1D&PID_D001&MI_02\\short", 1, LD_DEVICETYPE_MOUSE, 0, 1, true },
    { "HID\\VID_3F1D&PID_C01E&WI_04\\slot", 1, LD_DEVICETYPE_MOUSE, 0, 260, false },
    // A receiver gets its interface number + 1, whatever its slot.
    { "HID\\VID_3F1D&PID_D003&MI_01&WI_04\\receiver", 1, LD_DEVICETYPE_RECEIVER, 0, 2, false },
    // The "DEPTH" type wins over the minterm's.
    { "HID\\VID_3F1D&PID_D004&MI_02\\typed", 1, LD_DEVICETYPE_RECEIVER, 0, 3, false },
  };
  DWORD diNode = 0x5000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sInstanceId);
    std::string sPath = std::string("\\\\?\\HID#placement#") + c.sInstanceId;
    ASSERT_NE(Add(sPath.c_str(), c.sInstanceId, diNode += 0x10, c.ulParents), 0u);
    TraceCapture capture;
    Enumerate();
    tDevice* pDevice = DeviceOf(sPath);
    ASSERT_NE(pDevice, nullptr);
    char sName[64];
    snprintf(sName, sizeof sName, "REFHOST-%08X-%u", (unsigned)(diNode + c.diCreatedNode), (unsigned)c.ulIndex);
    EXPECT_STREQ(pDevice->sPersistentName, sName);
    EXPECT_EQ(pDevice->ulDeviceType, c.ulType);
    EXPECT_EQ(RefHostDevInfo(pDevice)->diDeviceNode, diNode);
    EXPECT_EQ(capture.Contains(": assert AncestorDepth < ulTreeSize\n"), c.bDepthAsserted);
  }
}

// An arrival creates only its own device: the other present interface is not
// visited. A hundred plugs and unplugs, surprise and orderly, leave nothing.
TEST_F(DiscoveryTest, ArrivalsCreateOnlyTheirOwnDeviceAndAHundredCyclesLeaveNoHandleThreadOrDevice)
{
  ULONG ulOther = Add(kForeignPath, "HID\\VID_3F1D&PID_C031\\x", 0x3011);
  ASSERT_NE(ulOther, 0u);
  auto cycle = [&](int n) {
    SimDrvDeviceDesc desc = {};
    std::string sPath = std::string(kMousePath) + "#" + std::to_string(n);
    desc.sPath = sPath.c_str();
    desc.sInstanceId = "hid\\vid_3f1d&pid_c01e&mi_00\\cycle";
    desc.diNode = 0x4000 + n;
    ULONG ulAnnounced = RefHostReportCount(REFHOST_REPORT_ANNOUNCE);
    ULONG ulDevice = SimDrvPlugDevice(&desc);
    bool bIn = ulDevice != 0 && WaitFor([&] { return RefHostReportCount(REFHOST_REPORT_ANNOUNCE) > ulAnnounced; });
    tDevice* pDevice = DeviceOf(sPath);
    bIn = bIn && RefHostDeviceCount(pHost) == 1 && pDevice != nullptr && !RefHostDevInfo(pDevice)->bSingleInterface;
    bool bOut = SimDrvUnplugDevice(ulDevice, n % 2 == 0) && WaitFor([&] { return RefHostDeviceCount(pHost) == 0; });
    return bIn && bOut && SimDrvOpenHandleCount(ulDevice) == 0;
  };
  // One cycle first, so that lazily made process resources are in the baseline.
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
  EXPECT_EQ(SimDrvOpenHandleCount(ulOther), 0u);
}

namespace {

tDevice* RefuseCreation(ULONG, ULONG, ULONG, DWORD, ULONG, ULONG, ULONG)
{
  return nullptr;
}

// The host's device walk, with a device that vanishes when discovery looks up
// its node: after the enumeration listed it, before discovery opens it.
PFN_HOST_FOR_EACH_DEVICE g_pfnForEachDevice;
ULONG g_ulVanishing;
BOOL VanishOnLookup(PFN_HOST_DEVICE_CALLBACK pfn, ULONG_PTR second, ULONG_PTR argument, ULONG ulUmdIndex)
{
  if (pfn == UmdCompareDeviceNode) SimDrvRemoveDevice(g_ulVanishing);
  return g_pfnForEachDevice(pfn, second, argument, ulUmdIndex);
}

}  // namespace

TEST_F(DiscoveryTest, AFailedVisitLeavesNoDeviceHandleOrRegistrationAndAFailedStartIsSwept)
{
  g_pfnForEachDevice = reinterpret_cast<PFN_HOST_FOR_EACH_DEVICE>(pHost->Api[HOST_FOR_EACH_DEVICE]);
  struct Case {
    ULONG ulWord;
    ULONG_PTR pfnReplacement;
    const char* sLine;
  } cases[] = {
    { HOST_FOR_EACH_DEVICE, reinterpret_cast<ULONG_PTR>(&VanishOnLookup),
      "UmdFoundDevice - FoundDevice - Failed to open interface. Error: 2\n" },
    { HOST_CREATE_DEVICE, reinterpret_cast<ULONG_PTR>(&RefuseCreation),
      "InteractWithOpenedDevice - FoundDevice - failed to create a new device\n" },
  };
  Enumerate();   // the process's lazily made resources
  ULONG ulMouse = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sLine);
    TraceCapture capture;
    DWORD dwHandles = TestHandleCount();
    ULONG ulRegistrations = SimDrvNotificationCount(g_pUmdGlobal->hWnd);
    ulMouse = g_ulVanishing = Add(kMousePath, "HID\\VID_3F1D&PID_C01E\\7&1&0&0000", 0x2001);
    ASSERT_NE(ulMouse, 0u);
    ULONG_PTR saved = pHost->Api[c.ulWord];
    pHost->Api[c.ulWord] = c.pfnReplacement;
    Enumerate();
    pHost->Api[c.ulWord] = saved;
    EXPECT_TRUE(capture.Contains(c.sLine));
    EXPECT_EQ(RefHostDeviceCount(pHost), 0u);
    EXPECT_EQ(SimDrvOpenHandleCount(ulMouse), 0u);
    EXPECT_EQ(SimDrvNotificationCount(g_pUmdGlobal->hWnd), ulRegistrations);
    EXPECT_EQ(TestHandleCount(), dwHandles);
  }

  // The host refuses the start: the device stays unmarked and the same
  // enumeration's sweep has the host remove it again, handle closed.
  RefHostSetAnnounceResult(FALSE);
  Enumerate();
  EXPECT_EQ(RefHostReportCount(REFHOST_REPORT_ANNOUNCE), 1u);
  EXPECT_EQ(RefHostDeviceCount(pHost), 0u);
  EXPECT_EQ(SimDrvOpenHandleCount(ulMouse), 0u);
}
