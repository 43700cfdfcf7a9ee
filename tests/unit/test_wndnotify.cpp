// Device notifications and enumeration against the simulated driver's Setup
// API and broadcasts, and the reference host's configuration-manager words.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "diag/Trace.h"
#include "host/RefHost.h"
#include "host/RefHostPnp.h"
#include "simdrv/SimDrv.h"
#include "system/WndMgr.h"
#include "tests/unit/TestSupport.h"

namespace {

const GUID kRawClass = { 0x5A486531, 0x0201, 0x43E0, { 0xBD, 0x81, 0xD5, 0x44, 0xBB, 0x08, 0xD0, 0xDC } };
const GUID kOtherClass = { 0x11111111, 0x2222, 0x3333, { 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55 } };
constexpr ULONG kNoStop = ~0u;

// A clean simulated world and reference host, every line of the unit switched on.
class WndNotify : public testing::Test {
protected:
  void SetUp() override
  {
    SimDrvReset();
    g_bTraceInfo = TRUE;
    g_bTraceWarnings = TRUE;
    ASSERT_TRUE(RefHostInit(RefHostGet()));
  }
  void TearDown() override
  {
    RefHostPnpSetInstallWait(0, 0);
    RefHostShutdown(RefHostGet());
    g_bTraceInfo = m_bInfo;
    g_bTraceWarnings = m_bWarn;
    SimDrvReset();
  }
  ULONG_PTR* Api() { return RefHostGet()->Api; }
  static ULONG Add(const char* sPath, const char* sInstanceId = nullptr, const GUID* pClass = &kRawClass, DWORD diNode = 0,
                   std::vector<DWORD> parents = {})
  {
    SimDrvDeviceDesc desc = { sPath, sInstanceId, diNode, static_cast<ULONG>(parents.size()), {}, pClass, nullptr };
    std::copy(parents.begin(), parents.end(), desc.Parents);
    return SimDrvAddDeviceEx(&desc);
  }
  BOOL m_bInfo = g_bTraceInfo, m_bWarn = g_bTraceWarnings;
  TraceCapture m_capture;
};

// ---- Enumeration ----------------------------------------------------------------------

// What a walk saw: path (interfaces only), node, instance id; it stops after ulStopAfter items.
struct EnumLog {
  ULONG ulStopAfter = kNoStop;
  std::vector<std::string> Items;
  BOOL Record(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pData, const char* sPath)
  {
    char sId[200] = {}, sItem[300];
    DevIoSetupDiGetDeviceInstanceIdA(hDevInfo, pData, sId, sizeof sId, nullptr);
    Items.push_back((snprintf(sItem, sizeof sItem, "%s %lX %s", sPath, pData->DevInst, sId), sItem));
    return Items.size() < ulStopAfter;
  }
};
BOOL RecordInterface(HDEVINFO h, SP_DEVINFO_DATA* pData, SP_DEVICE_INTERFACE_DETAIL_DATA_A* pDetail, void* pv)
{
  return static_cast<EnumLog*>(pv)->Record(h, pData, pDetail->DevicePath);
}
BOOL RecordDevice(HDEVINFO h, SP_DEVINFO_DATA* pData, void* pv) { return static_cast<EnumLog*>(pv)->Record(h, pData, "-"); }

class WndEnum : public WndNotify {
protected:
  void SetUp() override
  {
    WndNotify::SetUp();
    Add("\\\\?\\hid#a", "HID\\VID_045E&PID_00CB&REV_0100&MI_01&COL01\\7&1&0&0000", &kRawClass, 0x501);
    Add("\\\\?\\hid#other", nullptr, &kOtherClass, 0x502);
    Add("\\\\?\\hid#b", "HID\\VID_3F1D&PID_1234\\1", &kRawClass, 0x503);
    SimDrvRemoveDevice(Add("\\\\?\\hid#gone", nullptr, &kRawClass, 0x504));
    Add("\\\\?\\hid#c", "USB\\VID_1A2B&PID_0009\\2", &kRawClass, 0x505);
  }
  const std::vector<std::string> m_all = { "\\\\?\\hid#a 501 HID\\VID_045E&PID_00CB&REV_0100&MI_01&COL01\\7&1&0&0000",
                                           "\\\\?\\hid#b 503 HID\\VID_3F1D&PID_1234\\1", "\\\\?\\hid#c 505 USB\\VID_1A2B&PID_0009\\2" };
};

// Present interfaces of the class in order until the callback stops; an item
// whose detail cannot be read is skipped; the list is destroyed however the walk ends.
TEST_F(WndEnum, PresentInterfacesOfTheClassInOrderUntilTheCallbackStops)
{
  struct { ULONG ulStop, ulFault, ulDevice; std::vector<size_t> seen; } const rows[] = {
      { kNoStop, 0, 0, { 0, 1, 2 } }, { 2, 0, 0, { 0, 1 } }, { kNoStop, SIMDRV_DETAIL_READ_FAILS, 1, { 1, 2 } },
      { kNoStop, SIMDRV_DETAIL_SIZE_FAILS, 3, { 0, 2 } } };
  for (const auto& r : rows) {
    SimDrvSetDetailFault(r.ulDevice, r.ulFault);
    EnumLog log{ r.ulStop, {} };
    WndEnumerateInterfaces(&kRawClass, RecordInterface, &log);
    std::vector<std::string> expected;
    for (size_t i : r.seen) expected.push_back(m_all[i]);
    EXPECT_EQ(log.Items, expected) << r.ulStop << " " << r.ulFault << " " << r.ulDevice;
    EXPECT_EQ(SimDrvDeviceListCount(), 0u);   // the list is destroyed however the walk ends
    SimDrvSetDetailFault(r.ulDevice, 0);
  }
}

// Present devices of a setup class; no callback or no list ends before any item.
TEST_F(WndEnum, PresentDevicesOfASetupClassAndWalksWithoutCallbackOrList)
{
  const GUID kMouseSetupClass = { 0x4D36E96F, 0xE325, 0x11CE, { 0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18 } };
  SimDrvDeviceDesc keyboard = { "\\\\?\\hid#kbd", nullptr, 0, 0, {}, nullptr, &kOtherClass };
  SimDrvAddDeviceEx(&keyboard);
  EnumLog all, first{ 1, {} }, log;
  WndEnumerateDevices(&kMouseSetupClass, RecordDevice, &all);
  WndEnumerateDevices(&kMouseSetupClass, RecordDevice, &first);
  std::string sNodes;
  for (const std::string& s : all.Items) sNodes += s.substr(2, 4);
  EXPECT_EQ(sNodes, "501 502 503 505 ");
  EXPECT_TRUE(first.Items.size() == 1 && first.Items[0] == all.Items[0] && SimDrvDeviceListCount() == 0);
  WndEnumerateInterfaces(&kRawClass, nullptr, &log);
  WndEnumerateDevices(&kRawClass, nullptr, &log);
  EXPECT_EQ(2u, m_capture.Count("assert CallBackProcessFunction != NULL"));
  SimDrvFailClassDevs(2);
  WndEnumerateInterfaces(&kRawClass, RecordInterface, &log);
  WndEnumerateDevices(&kRawClass, RecordDevice, &log);
  EXPECT_TRUE(log.Items.empty() && SimDrvDeviceListCount() == 0);
}

// ---- Device tree and installation wait through the host's words ----------------------------

TEST_F(WndNotify, DeviceTreeFollowsTheParentsUpToFourAndTheArray)
{
  struct { std::vector<DWORD> parents; ULONG ulTreeSize; HostWord missing; ULONG ulExpected; } const rows[] = {
      { {}, 4, HOST_MAIN, 1 }, { { 0x20 }, 4, HOST_MAIN, 2 }, { { 0x20, 0x30, 0x40 }, 4, HOST_MAIN, 4 },   // MAIN: none
      { { 0x20, 0x30, 0x40, 0x50, 0x60 }, 4, HOST_MAIN, 4 }, { { 0x20, 0x30, 0x40 }, 2, HOST_MAIN, 2 },   // within the array
      { { 0x20 }, 4, HOST_PARENT_NODE, 0 }, { { 0x20 }, 4, HOST_DEVICE_TREE_45, 0 }, { { 0x20 }, 4, HOST_DEVICE_TREE_46, 0 } };
  for (const auto& r : rows) {
    SimDrvReset();
    Add("\\\\?\\hid#tree", nullptr, &kRawClass, 0x10, r.parents);
    ULONG_PTR saved = std::exchange(Api()[r.missing], r.missing == HOST_MAIN ? Api()[HOST_MAIN] : 0);
    m_capture.Clear();
    DWORD tree[6] = { 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE };
    ULONG ulCount = WndBuildDeviceTree(Api(), 0x10, tree, r.ulTreeSize);
    Api()[r.missing] = saved;
    ASSERT_EQ(r.ulExpected, ulCount) << r.parents.size() << " " << r.ulTreeSize << " " << r.missing;
    for (ULONG i = 0; i < 6; ++i) EXPECT_EQ(i >= ulCount ? 0xEEEE : i == 0 ? 0x10 : r.parents[i - 1], tree[i]) << i;
    EXPECT_EQ(r.ulExpected == 0, m_capture.Contains("assert FALSE"));
  }
}

TEST_F(WndNotify, InstallWaitPollsUntilNothingIsPendingFailureTimeOutOrCancel)
{
  HANDLE hCancel = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  constexpr ULONG kAlways = 1000000;
  struct { ULONG ulTimeouts, ulFinal; bool bWord, bCancelled; ULONG ulTimeout, ulPoll; BOOLEAN bExpected; ULONG ulCalls;
           const char* sLine; } const rows[] = {
      { 0, 0, true, false, 300000, 5000, TRUE, 1, "Exit - bStatus:1" },
      { 2, 0, true, false, 300000, 5000, TRUE, 3, "Waiting for device installation to complete... timeout=5000 ms" },
      { 1, 5, true, false, 300000, 5000, FALSE, 2, "CMP_WaitNoPendingInstallEvents( ) Failed. Returned:5 LastError:" },
      { kAlways, 0, true, false, 15000, 5000, FALSE, 3, "Timeout while waiting for pending install." },
      { kAlways, 0, true, false, 14000, 5000, FALSE, 3, "Timeout while waiting for pending install." },
      { kAlways, 0, true, false, 300000, 0, FALSE, 1, "Waiting for device installation to complete... timeout=300000 ms" },
      { kAlways, 0, true, true, 300000, 5000, FALSE, 1, "Exit - bStatus:0" },
      { 0, 0, true, true, 300000, 5000, TRUE, 1, "Exit - bStatus:1" },
      { 0, 0, false, false, 300000, 5000, FALSE, 0,
        "CMP_WaitNoPendingInstallEvents is not available. You should only see this on XP Gold or below." } };
  for (const auto& r : rows) {
    RefHostPnpSetInstallWait(r.ulTimeouts, r.ulFinal);
    r.bCancelled ? SetEvent(hCancel) : ResetEvent(hCancel);
    ULONG_PTR saved = std::exchange(Api()[HOST_WAIT_NO_PENDING_INSTALL], r.bWord ? Api()[HOST_WAIT_NO_PENDING_INSTALL] : 0);
    m_capture.Clear();
    BOOLEAN bResult = WndWaitForPendingInstall(Api(), hCancel, r.ulTimeout, r.ulPoll);
    Api()[HOST_WAIT_NO_PENDING_INSTALL] = saved;
    EXPECT_TRUE(bResult == r.bExpected && RefHostPnpInstallWaitCalls() == r.ulCalls && m_capture.Contains(r.sLine))
        << r.sLine << " " << (int)bResult << " " << RefHostPnpInstallWaitCalls();
    EXPECT_EQ(r.ulTimeout <= r.ulCalls * (r.ulPoll ? r.ulPoll : r.ulTimeout) && !r.bExpected && r.bWord,
              m_capture.Contains("Timeout while waiting for pending install.")) << r.sLine;
  }
  CloseHandle(hCancel);
}

// ---- Path helpers -----------------------------------------------------------------------

TEST(WndPath, ModulePathKeepsTheFolderPartNormalizeAppendsOneBackslash)
{
  // 260 characters fit, 261 do not; 15 bytes leave no room for the terminator.
  struct { std::string sName; ULONG ulSize; BOOL bResult; std::string sPath; } const rows[] = {
      { "C:\\Program Files\\Vantorix\\DRAVMOU.dll", MAX_PATH, TRUE, "C:\\Program Files\\Vantorix\\" },
      { "DRAVMOU.dll", MAX_PATH, TRUE, "" },   { "C:DRAVMOU.dll", MAX_PATH, TRUE, "C:" },
      { "\\\\server\\share\\", MAX_PATH, TRUE, "\\\\server\\share\\" },
      { "C:\\" + std::string(257, 'x'), MAX_PATH + 1, TRUE, "C:\\" }, { "C:\\" + std::string(258, 'x'), MAX_PATH + 2, FALSE, "" },
      { "", MAX_PATH, FALSE, "" }, { "C:\\dir\\file.dll", 15, FALSE, "" }, { "C:\\dir\\file.dll", 16, TRUE, "C:\\dir\\" } };
  for (const auto& r : rows) {
    std::vector<char> dest(r.ulSize + 8, '#');
    EXPECT_EQ(r.bResult, WndGetModulePath(r.sName.c_str(), dest.data(), r.ulSize)) << r.sName;
    EXPECT_EQ(r.sPath, std::string(dest.data())) << r.sName;
    EXPECT_EQ('#', dest[r.ulSize]) << "nothing written past the destination";
  }
  char sSame[MAX_PATH] = "D:\\a\\b.ini";   // in place
  EXPECT_TRUE(WndGetModulePath(sSame, sSame, sizeof sSame));
  EXPECT_STREQ("D:\\a\\", sSame);

  for (auto [sIn, sOut] : { std::pair{ "C:\\Temp", "C:\\Temp\\" }, { "C:\\Temp\\", "C:\\Temp\\" }, { "x", "x\\" }, { "", "" } }) {
    char s[32] = {};
    WndNormalizePathString(strcpy(s, sIn));
    EXPECT_STREQ(sOut, s) << sIn;
  }
  WndNormalizePathString(nullptr);
}

// ---- Notification registrations at a window -----------------------------------------------

// Bytes of a filter as the system's structures lay them out.
std::vector<BYTE> Filter(DWORD dwSize, DWORD dwType, const void* pTail, size_t tailOffset, size_t tailSize)
{
  std::vector<BYTE> v(dwSize, 0);
  memcpy(&v[0], &dwSize, 4), memcpy(&v[4], &dwType, 4), memcpy(&v[tailOffset], pTail, tailSize);
  return v;
}
std::vector<BYTE> FilterOf(HDEVNOTIFY hNotify)
{
  std::vector<BYTE> v(64);
  v.resize(SimDrvGetNotificationFilter(hNotify, v.data(), 64));
  return v;
}

LONG g_lDeviceChanges;
HWND CreateCountingWindow()
{
  HWND hWnd = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  SetWindowLongPtrA(hWnd, GWLP_WNDPROC, (LONG_PTR) + [](HWND h, UINT u, WPARAM w, LPARAM l) -> LRESULT {
    return u == WM_DEVICECHANGE ? ++g_lDeviceChanges : DefWindowProcA(h, u, w, l);
  });
  return hWnd;
}

// The registration's filter is the class's (a handle's, the handle's) until it
// is withdrawn, and no broader: another class's arrival is not sent. Failed
// registrations give null and their errors.
TEST_F(WndNotify, RegistrationsCarryTheirFilterUntilWithdrawn)
{
  HWND hWnd = CreateCountingWindow();
  HDEVNOTIFY hNotify = WndRegisterClassChangeNotifications(hWnd, &kRawClass);
  ASSERT_TRUE(hWnd != nullptr && hNotify != nullptr);
  EXPECT_EQ(Filter(32, 5, &kRawClass, 12, 16), FilterOf(hNotify));
  SimDrvDeviceDesc mine = { "\\\\?\\hid#arrives", nullptr, 0, 0, {}, &kRawClass, nullptr };
  SimDrvDeviceDesc other = { "\\\\?\\hid#elsewhere", nullptr, 0, 0, {}, &kOtherClass, nullptr };
  g_lDeviceChanges = 0;
  ASSERT_TRUE(SimDrvPlugDevice(&mine) != 0 && SimDrvPlugDevice(&other) != 0);
  EXPECT_EQ(1, g_lDeviceChanges);
  HANDLE hDevice = DevIoOpen(mine.sPath);
  HDEVNOTIFY hHandle = WndRegisterHandleChangeNotifications(hWnd, hDevice);
  ASSERT_NE(nullptr, hHandle);
  EXPECT_EQ(Filter(56, 6, &hDevice, 16, sizeof hDevice), FilterOf(hHandle));
  WndUnregisterDeviceChangeNotifications(hHandle);
  CloseHandle(hDevice);
  WndUnregisterDeviceChangeNotifications(hNotify);
  WndUnregisterDeviceChangeNotifications(nullptr);
  EXPECT_EQ(0u, SimDrvNotificationCount(hWnd));

  HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);   // not a device handle
  EXPECT_EQ(nullptr, WndRegisterHandleChangeNotifications(hWnd, hEvent));
  EXPECT_TRUE(m_capture.Contains("WndRegisterHandleChangeNotifications - 00000000 - Error=6.\n"));
  DestroyWindow(hWnd);
  EXPECT_EQ(nullptr, WndRegisterClassChangeNotifications(hWnd, &kRawClass));
  EXPECT_TRUE(m_capture.Contains("WndRegisterClassChangeNotifications - 00000000 - Error=1400.\n"));
  EXPECT_EQ(nullptr, WndRegisterClassChangeNotifications(hWnd, nullptr));
  EXPECT_EQ(3u, m_capture.Count("assert NULL != hNotifyDevNode"));
  EXPECT_EQ(0u, SimDrvNotificationCount(nullptr));
  CloseHandle(hEvent);
}

}  // namespace
