// Devices end to end through the plug-in's entry points: an enumeration finds,
// places, creates and starts them; plugs and unplugs leave no device, thread
// or handle behind. (Packets reaching the host end to end: the demo session.)
#include <gtest/gtest.h>

#include "tests/unit/BoundHost.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>

#include "framework/UmdLookup.h"
#include "framework/UmdMgr.h"
#include "host/RefHostModels.h"
#include "host/RefHostReports.h"
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

// The host's device walk, with a device that vanishes when discovery looks up
// its node: after the enumeration listed it, before discovery opens it.
PFN_HOST_FOR_EACH_DEVICE g_pfnForEachDevice;
ULONG g_ulVanishing;
BOOL VanishOnLookup(PFN_HOST_DEVICE_CALLBACK pfn, ULONG_PTR second, ULONG_PTR argument, ULONG ulUmdIndex)
{
  if (pfn == UmdCompareDeviceNode) SimDrvRemoveDevice(g_ulVanishing);
  return g_pfnForEachDevice(pfn, second, argument, ulUmdIndex);
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
    std::string sDir = TestScratchDir("DiscoveryModels");
    ASSERT_TRUE(std::ofstream(sDir + "\\placement.ini", std::ios::binary) << kPlacementModels);
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
  static ULONG Add(const char* sPath, const char* sInstanceId, DWORD diNode, ULONG ulParents = 1)
  {
    SimDrvDeviceDesc desc = { sPath, sInstanceId, diNode, ulParents, {}, nullptr, nullptr };
    for (ULONG i = 0; i < ulParents; ++i) desc.Parents[i] = diNode + i + 1;
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

TEST_F(DiscoveryTest, AMouseIsFoundIdentifiedAndStarted)
{
  ULONG ulMouse = Add(kMousePath, "HID\\VID_3F1D&PID_C01E&REV_0100\\7&1&0&0000", 0x2001);
  ASSERT_TRUE(ulMouse != 0 && Add(kForeignPath, "HID\\VID_046D&PID_C077\\7&2&0&0000", 0x2011) != 0 &&
              Add("\\\\?\\HID#VID_3F1D&PID_9999#u", "HID\\VID_3F1D&PID_9999\\7&3&0&0000", 0x2021) != 0);
  Enumerate();
  ULONG ulFirst = RefHostDeviceCount(pHost);
  Enumerate();   // the second one only marks it present again

  // Only the mouse with a model became a device; the maker's unknown one is reported.
  RefHostReport announce = {}, unknown = {};
  ASSERT_TRUE(RefHostGetReport(REFHOST_REPORT_ANNOUNCE, 0, &announce) && RefHostGetReport(REFHOST_REPORT_EVENT, 0, &unknown));
  tDevice* pMouse = announce.pDevice;
  ASSERT_EQ(pMouse, RefHostFindDeviceByPath(pHost, kMousePath));
  const UmdDevInfo* pInfo = RefHostDevInfo(pMouse);
  char s[200];
  snprintf(s, sizeof s, "devices %lu %lu announced %lu type %lu present %lu lock %ld %lX:%lX v%lX node %lX thread %d handles %lu; "
           "event %lu %lX", ulFirst, RefHostDeviceCount(pHost), RefHostReportCount(REFHOST_REPORT_ANNOUNCE),
           pMouse->ulDeviceType, pMouse->UMDPresent[UMD_MOUFILT], pMouse->RemoveLock[UMD_MOUFILT].lLock,
           pInfo->ulVendorID, pInfo->ulProductID, pInfo->ulVersion, pInfo->diDeviceNode, pInfo->hEventThread != nullptr,
           SimDrvOpenHandleCount(ulMouse), unknown.ulUmdIndex, (ULONG)unknown.value);
  EXPECT_STREQ(s, "devices 1 1 announced 1 type 1 present 1 lock 0 3F1D:C01E v100 node 2001 thread 1 handles 1; event 3 9999");
}

// The host's persistent name "REFHOST-<node>-<index>" shows the node and index
// the device was created with.
TEST_F(DiscoveryTest, TheModelsDepthValueReceiverSlotAndTypePlaceTheDevice)
{
  struct { const char* sInstanceId; DWORD diNode; ULONG ulParents; const char* sExpected; } const cases[] = {
    { "HID\\VID_3F1D&PID_D001&MI_02\\deep", 0x5010, 3, "REFHOST-00005013-1 type 1 node 5010" },
    // A tree of two nodes cannot reach depth 3: the device's own node instead.
    { "HID\\VID_3F1D&PID_D001&MI_02\\short", 0x5020, 1, "REFHOST-00005020-1 type 1 node 5020 depth asserted" },
    { "HID\\VID_3F1D&PID_C01E&WI_04\\slot", 0x5030, 1, "REFHOST-00005030-260 type 1 node 5030" },
    // A receiver gets its interface number + 1, whatever its slot.
    { "HID\\VID_3F1D&PID_D003&MI_01&WI_04\\receiver", 0x5040, 1, "REFHOST-00005040-2 type 3 node 5040" },
    // The "DEPTH" type wins over the minterm's.
    { "HID\\VID_3F1D&PID_D004&MI_02\\typed", 0x5050, 1, "REFHOST-00005050-3 type 3 node 5050" },
  };
  for (const auto& c : cases) {
    std::string sPath = std::string("\\\\?\\HID#placement#") + c.sInstanceId;
    ASSERT_NE(Add(sPath.c_str(), c.sInstanceId, c.diNode, c.ulParents), 0u) << c.sInstanceId;
    TraceCapture capture;
    Enumerate();
    tDevice* pDevice = RefHostFindDeviceByPath(pHost, sPath.c_str());
    ASSERT_NE(pDevice, nullptr) << c.sInstanceId;
    char s[100];
    bool bAsserted = capture.Contains(": assert AncestorDepth < ulTreeSize\n");
    snprintf(s, sizeof s, "%s type %lu node %lX%s", pDevice->sPersistentName, pDevice->ulDeviceType,
             RefHostDevInfo(pDevice)->diDeviceNode, bAsserted ? " depth asserted" : "");
    EXPECT_STREQ(s, c.sExpected);
  }
}

// An arrival creates only its own device: the other present interface is not
// visited. A hundred plugs and unplugs, surprise and orderly, leave nothing.
TEST_F(DiscoveryTest, ArrivalsCreateOnlyTheirOwnDeviceAndAHundredCyclesLeaveNoHandleThreadOrDevice)
{
  ULONG ulOther = Add(kForeignPath, "HID\\VID_3F1D&PID_C031\\x", 0x3011);
  ASSERT_NE(ulOther, 0u);
  auto cycle = [&](int n) {
    std::string sPath = std::string(kMousePath) + "#" + std::to_string(n);
    SimDrvDeviceDesc desc = { sPath.c_str(), "hid\\vid_3f1d&pid_c01e&mi_00\\cycle", DWORD(0x4000 + n), 0, {}, nullptr, nullptr };
    ULONG ulAnnounced = RefHostReportCount(REFHOST_REPORT_ANNOUNCE);
    ULONG ulDevice = SimDrvPlugDevice(&desc);
    bool bIn = ulDevice != 0 && WaitFor([&] { return RefHostReportCount(REFHOST_REPORT_ANNOUNCE) > ulAnnounced; });
    tDevice* pDevice = RefHostFindDeviceByPath(pHost, sPath.c_str());
    bIn = bIn && RefHostDeviceCount(pHost) == 1 && pDevice != nullptr && !RefHostDevInfo(pDevice)->bSingleInterface;
    bool bOut = SimDrvUnplugDevice(ulDevice, n % 2 == 0) && WaitFor([&] { return RefHostDeviceCount(pHost) == 0; });
    return bIn && bOut && SimDrvOpenHandleCount(ulDevice) == 0;
  };
  // One cycle first, so that lazily made process resources are in the baseline.
  ASSERT_TRUE(cycle(0));
  RefHostReportsReset();
  std::pair<DWORD, ULONG> before = TestSettledCounts();
  for (int n = 1; n <= 100; ++n) {
    ASSERT_TRUE(cycle(n)) << n;
  }
  EXPECT_EQ(RefHostReportCount(REFHOST_REPORT_ANNOUNCE), 100u);
  EXPECT_EQ(TestSettledCounts(), before);
  EXPECT_EQ(SimDrvOpenHandleCount(0) + SimDrvOpenHandleCount(ulOther), 0u);
}

TEST_F(DiscoveryTest, AFailedVisitLeavesNoDeviceHandleOrRegistrationAndAFailedStartIsSwept)
{
  g_pfnForEachDevice = reinterpret_cast<PFN_HOST_FOR_EACH_DEVICE>(pHost->Api[HOST_FOR_EACH_DEVICE]);
  struct { ULONG ulWord; ULONG_PTR pfnReplacement; } const cases[] = {
    { HOST_FOR_EACH_DEVICE, reinterpret_cast<ULONG_PTR>(&VanishOnLookup) },
    { HOST_CREATE_DEVICE, reinterpret_cast<ULONG_PTR>(+[](ULONG, ULONG, ULONG, DWORD, ULONG, ULONG, ULONG) -> tDevice* {
        return nullptr;
      }) },
  };
  Enumerate();   // the process's lazily made resources
  ULONG ulMouse = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ulWord);
    DWORD dwHandles = TestHandleCount();
    ULONG ulRegistrations = SimDrvNotificationCount(g_pUmdGlobal->hWnd);
    ulMouse = g_ulVanishing = Add(kMousePath, "HID\\VID_3F1D&PID_C01E\\7&1&0&0000", 0x2001);
    ASSERT_NE(ulMouse, 0u);
    ULONG_PTR saved = std::exchange(pHost->Api[c.ulWord], c.pfnReplacement);
    Enumerate();
    pHost->Api[c.ulWord] = saved;
    EXPECT_EQ(std::make_tuple(RefHostDeviceCount(pHost), SimDrvOpenHandleCount(ulMouse),
                              SimDrvNotificationCount(g_pUmdGlobal->hWnd)), std::make_tuple(0ul, 0ul, ulRegistrations));
    EXPECT_EQ(TestHandleCount(), dwHandles);
  }

  // The host refuses the start: the device stays unmarked and the same
  // enumeration's sweep has the host remove it again, handle closed.
  RefHostSetAnnounceResult(FALSE);
  Enumerate();
  EXPECT_EQ(std::make_tuple(RefHostReportCount(REFHOST_REPORT_ANNOUNCE), RefHostDeviceCount(pHost),
                            SimDrvOpenHandleCount(ulMouse)), std::make_tuple(1ul, 0ul, 0ul));
}
