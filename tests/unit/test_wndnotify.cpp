// Device notifications and enumeration against the simulated driver's Setup
// API and broadcasts, and the reference host's configuration-manager words.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <cstring>
#include <string>
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
constexpr unsigned kNoStop = ~0u;

// A clean simulated world and every line of the unit switched on.
class WndNotifyBase : public testing::Test {
protected:
  void SetUp() override
  {
    SimDrvReset();
    m_bInfo = g_bTraceInfo;
    m_bWarn = g_bTraceWarnings;
    g_bTraceInfo = TRUE;
    g_bTraceWarnings = TRUE;
  }
  void TearDown() override
  {
    g_bTraceInfo = m_bInfo;
    g_bTraceWarnings = m_bWarn;
    SimDrvReset();
  }
  static ULONG Add(const std::string& sPath, const char* sInstanceId = nullptr, const GUID* pClass = &kRawClass,
                   DWORD diNode = 0, std::vector<DWORD> parents = {})
  {
    SimDrvDeviceDesc desc{};
    desc.sPath = sPath.c_str();
    desc.sInstanceId = sInstanceId;
    desc.diNode = diNode;
    desc.pInterfaceClass = pClass;
    desc.ulParentCount = static_cast<ULONG>(parents.size());
    std::copy(parents.begin(), parents.end(), desc.Parents);
    return SimDrvAddDeviceEx(&desc);
  }
  TraceCapture m_capture;
  BOOL m_bInfo = FALSE;
  BOOL m_bWarn = FALSE;
};

// ---- Enumeration ----------------------------------------------------------------------

struct Seen {
  std::string sPath;
  DWORD diNode;
  std::string sInstanceId;
};
struct EnumLog {
  ULONG ulStopAfter = kNoStop;
  std::vector<Seen> Items;
};

std::string InstanceIdOf(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pData)
{
  char sId[200] = {};
  DWORD dwSize = 0;
  return DevIoSetupDiGetDeviceInstanceIdA(hDevInfo, pData, sId, sizeof sId, &dwSize) ? sId : "?";
}

BOOL RecordInterface(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pData, SP_DEVICE_INTERFACE_DETAIL_DATA_A* pDetail, void* pv)
{
  auto* pLog = static_cast<EnumLog*>(pv);
  pLog->Items.push_back(Seen{ pDetail->DevicePath, pData->DevInst, InstanceIdOf(hDevInfo, pData) });
  return pLog->Items.size() < pLog->ulStopAfter;
}

BOOL RecordDevice(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pData, void* pv)
{
  auto* pLog = static_cast<EnumLog*>(pv);
  pLog->Items.push_back(Seen{ "", pData->DevInst, InstanceIdOf(hDevInfo, pData) });
  return pLog->Items.size() < pLog->ulStopAfter;
}

class WndEnum : public WndNotifyBase {
protected:
  void AddFour()
  {
    Add("\\\\?\\hid#a", "HID\\VID_045E&PID_00CB&REV_0100&MI_01&COL01\\7&1&0&0000", &kRawClass, 0x501);
    Add("\\\\?\\hid#other", nullptr, &kOtherClass, 0x502);
    Add("\\\\?\\hid#b", "HID\\VID_3F1D&PID_1234\\1", &kRawClass, 0x503);
    SimDrvRemoveDevice(Add("\\\\?\\hid#gone", nullptr, &kRawClass, 0x504));
    Add("\\\\?\\hid#c", "USB\\VID_1A2B&PID_0009\\2", &kRawClass, 0x505);
  }
};

TEST_F(WndEnum, PresentInterfacesOfTheClassInOrderUntilTheCallbackStops)
{
  AddFour();
  const std::vector<Seen> all = { { "\\\\?\\hid#a", 0x501, "HID\\VID_045E&PID_00CB&REV_0100&MI_01&COL01\\7&1&0&0000" },
                                  { "\\\\?\\hid#b", 0x503, "HID\\VID_3F1D&PID_1234\\1" },
                                  { "\\\\?\\hid#c", 0x505, "USB\\VID_1A2B&PID_0009\\2" } };
  for (ULONG ulStop : { kNoStop, 1u, 2u }) {
    m_capture.Clear();
    EnumLog log;
    log.ulStopAfter = ulStop;
    WndEnumerateInterfaces(&kRawClass, RecordInterface, &log);
    size_t expected = ulStop == kNoStop ? all.size() : ulStop;
    ASSERT_EQ(expected, log.Items.size()) << ulStop;
    for (size_t i = 0; i < expected; ++i) {
      EXPECT_EQ(all[i].sPath, log.Items[i].sPath);
      EXPECT_EQ(all[i].diNode, log.Items[i].diNode);
      EXPECT_EQ(all[i].sInstanceId, log.Items[i].sInstanceId);
    }
    EXPECT_EQ(0u, SimDrvDeviceListCount()) << "the list is destroyed however the walk ends";
    EXPECT_EQ(ulStop == kNoStop, m_capture.Contains("WndEnumerateInterfaces - End of List.\n"));
    EXPECT_EQ(ulStop == kNoStop ? 0u : 1u, m_capture.Count("WndEnumerateInterfaces - Callback returned 0.\n"));
    EXPECT_TRUE(m_capture.Contains("WndEnumerateInterfaces - 0x00000501 '\\\\?\\hid#a'.\n"));
    EXPECT_TRUE(m_capture.Contains("WndEnumerateInterfaces - Exit.\n"));
  }
}

TEST_F(WndEnum, AnItemWhoseDetailCannotBeReadIsSkipped)
{
  struct Row {
    ULONG ulFault;
    ULONG ulDevice;   // 1, 3 or 5 of AddFour
    std::vector<std::string> seen;
  } rows[] = {
    { SIMDRV_DETAIL_READ_FAILS, 1, { "\\\\?\\hid#b", "\\\\?\\hid#c" } },
    { SIMDRV_DETAIL_READ_FAILS, 5, { "\\\\?\\hid#a", "\\\\?\\hid#b" } },
    { SIMDRV_DETAIL_SIZE_FAILS, 3, { "\\\\?\\hid#a", "\\\\?\\hid#c" } },
  };
  for (const Row& row : rows) {
    SimDrvReset();
    AddFour();
    SimDrvSetDetailFault(row.ulDevice, row.ulFault);
    m_capture.Clear();
    EnumLog log;
    WndEnumerateInterfaces(&kRawClass, RecordInterface, &log);
    std::vector<std::string> seen;
    for (const Seen& s : log.Items) {
      seen.push_back(s.sPath);
    }
    EXPECT_EQ(row.seen, seen) << row.ulFault << " " << row.ulDevice;
    EXPECT_EQ(row.ulFault == SIMDRV_DETAIL_SIZE_FAILS,
              m_capture.Contains("WndEnumerateInterfaces - No detail size for item 1, error -536870389.\n"));
    EXPECT_TRUE(m_capture.Contains("WndEnumerateInterfaces - End of List.\n"));
    EXPECT_EQ(0u, SimDrvDeviceListCount());
  }
}

TEST_F(WndEnum, NoCallbackOrNoListEndsBeforeAnyItem)
{
  AddFour();
  EnumLog log;
  WndEnumerateInterfaces(&kRawClass, nullptr, &log);
  WndEnumerateDevices(&kRawClass, nullptr, &log);
  EXPECT_EQ(2u, m_capture.Count("assert CallBackProcessFunction != NULL"));

  SimDrvFailClassDevs(2);
  WndEnumerateInterfaces(&kRawClass, RecordInterface, &log);
  WndEnumerateDevices(&kRawClass, RecordDevice, &log);
  EXPECT_TRUE(log.Items.empty());
  EXPECT_TRUE(m_capture.Contains("WndEnumerateInterfaces - SetupDiGetClassDevs returned NULL.\n"));
  EXPECT_TRUE(m_capture.Contains("WndEnumerateDevices - SetupDiGetClassDevs returned NULL.\n"));
  EXPECT_EQ(0u, SimDrvDeviceListCount());

  // A class without interfaces: the end of the list at once.
  m_capture.Clear();
  WndEnumerateInterfaces(&kOtherClass, RecordInterface, &log);
  ASSERT_EQ(1u, log.Items.size());
  EXPECT_EQ("\\\\?\\hid#other", log.Items[0].sPath);
  const GUID kNobody = { 0x99, 0, 0, {} };
  WndEnumerateInterfaces(&kNobody, RecordInterface, &log);
  EXPECT_EQ(1u, log.Items.size());
  EXPECT_EQ(2u, m_capture.Count("WndEnumerateInterfaces - End of List.\n"));
}

TEST_F(WndEnum, DevicesOfASetupClass)
{
  AddFour();
  SimDrvDeviceDesc keyboard{};
  const GUID kKeyboardSetupClass = { 0x4D36E96B, 0xE325, 0x11CE, { 0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18 } };
  keyboard.sPath = "\\\\?\\hid#kbd";
  keyboard.pSetupClass = &kKeyboardSetupClass;
  keyboard.diNode = 0x600;
  SimDrvAddDeviceEx(&keyboard);
  const GUID kMouseSetupClass = { 0x4D36E96F, 0xE325, 0x11CE, { 0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18 } };
  for (ULONG ulStop : { kNoStop, 1u }) {
    EnumLog log;
    log.ulStopAfter = ulStop;
    WndEnumerateDevices(&kMouseSetupClass, RecordDevice, &log);
    std::vector<DWORD> nodes;
    for (const Seen& s : log.Items) {
      nodes.push_back(s.diNode);
    }
    EXPECT_EQ(ulStop == kNoStop ? std::vector<DWORD>({ 0x501, 0x502, 0x503, 0x505 }) : std::vector<DWORD>({ 0x501 }),
              nodes);
    EXPECT_EQ(0u, SimDrvDeviceListCount());
  }
  EnumLog log;
  WndEnumerateDevices(&kKeyboardSetupClass, RecordDevice, &log);
  ASSERT_EQ(1u, log.Items.size());
  EXPECT_EQ(0x600u, log.Items[0].diNode);
  EXPECT_EQ("SIMDRV\\DEVICE\\6", log.Items[0].sInstanceId);
}

// ---- Device tree and installation wait through the host's words ----------------------------

class WndHost : public WndNotifyBase {
protected:
  void SetUp() override
  {
    WndNotifyBase::SetUp();
    ASSERT_TRUE(RefHostInit(RefHostGet()));
    RefHostPnpSetInstallWait(0, 0);
  }
  void TearDown() override
  {
    RefHostPnpSetInstallWait(0, 0);
    RefHostShutdown(RefHostGet());
    WndNotifyBase::TearDown();
  }
  ULONG_PTR* Api() { return RefHostGet()->Api; }
};

TEST_F(WndHost, DeviceTreeFollowsTheParentsUpToFourAndTheArray)
{
  struct Row {
    std::vector<DWORD> parents;
    ULONG ulTreeSize;
    HostWord missing;   // HOST_MAIN: none
    ULONG ulExpected;
  } rows[] = {
    { {}, 4, HOST_MAIN, 1 },
    { { 0x20 }, 4, HOST_MAIN, 2 },
    { { 0x20, 0x30, 0x40 }, 4, HOST_MAIN, 4 },
    { { 0x20, 0x30, 0x40, 0x50, 0x60 }, 4, HOST_MAIN, 4 },
    { { 0x20, 0x30, 0x40 }, 2, HOST_MAIN, 2 },   // never past the caller's array
    { { 0x20 }, 4, HOST_PARENT_NODE, 0 },
    { { 0x20 }, 4, HOST_DEVICE_TREE_45, 0 },
    { { 0x20 }, 4, HOST_DEVICE_TREE_46, 0 },
  };
  for (const Row& row : rows) {
    SimDrvReset();
    Add("\\\\?\\hid#tree", nullptr, &kRawClass, 0x10, row.parents);
    ULONG_PTR saved = Api()[row.missing];
    if (row.missing != HOST_MAIN) {
      Api()[row.missing] = 0;
    }
    m_capture.Clear();
    DWORD tree[6] = { 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE, 0xEEEE };
    ULONG ulCount = WndBuildDeviceTree(Api(), 0x10, tree, row.ulTreeSize);
    Api()[row.missing] = saved;
    ASSERT_EQ(row.ulExpected, ulCount) << row.parents.size() << " " << row.ulTreeSize << " " << row.missing;
    for (ULONG i = 0; i < 6; ++i) {
      DWORD expected = i >= ulCount ? 0xEEEE : i == 0 ? 0x10 : row.parents[i - 1];
      EXPECT_EQ(expected, tree[i]) << i;
    }
    EXPECT_TRUE(m_capture.Contains("WndBuildDeviceTree - " + std::to_string(ulCount) + ".\n"));
    EXPECT_EQ(row.ulExpected == 0, m_capture.Contains("assert FALSE"));
  }
  EXPECT_TRUE(m_capture.Contains("WndBuildDeviceTree - 0x00000010 - 4.\n"));
}

TEST_F(WndHost, InstallWaitPollsUntilNothingIsPendingFailureTimeOutOrCancel)
{
  HANDLE hCancel = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  constexpr ULONG kAlways = 1000000;
  struct Row {
    ULONG ulTimeouts;
    ULONG ulFinal;
    bool bWord;
    bool bCancelled;
    ULONG ulTimeout;
    ULONG ulPoll;
    BOOLEAN bExpected;
    ULONG ulCalls;
    const char* sLine;
  } rows[] = {
    { 0, 0, true, false, 300000, 5000, TRUE, 1, "Exit - bStatus:1" },
    { 2, 0, true, false, 300000, 5000, TRUE, 3, "Waiting for device installation to complete... timeout=5000 ms" },
    { 1, 5, true, false, 300000, 5000, FALSE, 2, "CMP_WaitNoPendingInstallEvents( ) Failed. Returned:5 LastError:" },
    { kAlways, 0, true, false, 15000, 5000, FALSE, 3, "Timeout while waiting for pending install." },
    { kAlways, 0, true, false, 14000, 5000, FALSE, 3, "Timeout while waiting for pending install." },
    { kAlways, 0, true, false, 300000, 0, FALSE, 1, "Waiting for device installation to complete... timeout=300000 ms" },
    { kAlways, 0, true, true, 300000, 5000, FALSE, 1, "Exit - bStatus:0" },
    { 0, 0, true, true, 300000, 5000, TRUE, 1, "Exit - bStatus:1" },
    { 0, 0, false, false, 300000, 5000, FALSE, 0,
      "CMP_WaitNoPendingInstallEvents is not available. You should only see this on XP Gold or below." },
  };
  for (const Row& row : rows) {
    RefHostPnpSetInstallWait(row.ulTimeouts, row.ulFinal);
    row.bCancelled ? SetEvent(hCancel) : ResetEvent(hCancel);
    ULONG_PTR saved = Api()[HOST_WAIT_NO_PENDING_INSTALL];
    if (!row.bWord) {
      Api()[HOST_WAIT_NO_PENDING_INSTALL] = 0;
    }
    m_capture.Clear();
    BOOLEAN bResult = WndWaitForPendingInstall(Api(), hCancel, row.ulTimeout, row.ulPoll);
    Api()[HOST_WAIT_NO_PENDING_INSTALL] = saved;
    EXPECT_EQ(row.bExpected, bResult) << row.sLine;
    EXPECT_EQ(row.ulCalls, RefHostPnpInstallWaitCalls()) << row.sLine;
    EXPECT_TRUE(m_capture.Contains(row.sLine)) << row.sLine;
    EXPECT_EQ(row.ulTimeout <= row.ulCalls * (row.ulPoll ? row.ulPoll : row.ulTimeout) && !row.bExpected && row.bWord,
              m_capture.Contains("Timeout while waiting for pending install."))
      << row.sLine;
  }
  CloseHandle(hCancel);
}

// ---- Path helpers -----------------------------------------------------------------------

TEST(WndPath, ModulePathKeepsTheFolderPart)
{
  struct Row {
    std::string sName;
    ULONG ulSize;
    BOOL bResult;
    std::string sPath;
  } rows[] = {
    { "C:\\Program Files\\Vantorix\\DRAVMOU.dll", MAX_PATH, TRUE, "C:\\Program Files\\Vantorix\\" },
    { "DRAVMOU.dll", MAX_PATH, TRUE, "" },
    { "C:DRAVMOU.dll", MAX_PATH, TRUE, "C:" },
    { "\\\\server\\share\\", MAX_PATH, TRUE, "\\\\server\\share\\" },
    { "C:\\" + std::string(257, 'x'), MAX_PATH + 1, TRUE, "C:\\" },    // 260 characters
    { "C:\\" + std::string(258, 'x'), MAX_PATH + 2, FALSE, "" },       // 261
    { "", MAX_PATH, FALSE, "" },
    { "C:\\dir\\file.dll", 15, FALSE, "" },   // no room for the terminator
    { "C:\\dir\\file.dll", 16, TRUE, "C:\\dir\\" },
  };
  for (const Row& row : rows) {
    std::vector<char> dest(row.ulSize + 8, '#');
    EXPECT_EQ(row.bResult, WndGetModulePath(row.sName.c_str(), dest.data(), row.ulSize)) << row.sName;
    EXPECT_EQ(row.sPath, std::string(dest.data())) << row.sName;
    EXPECT_EQ('#', dest[row.ulSize]) << "nothing written past the destination";
  }
  // In place.
  char sSame[MAX_PATH] = "D:\\a\\b.ini";
  EXPECT_TRUE(WndGetModulePath(sSame, sSame, sizeof sSame));
  EXPECT_STREQ("D:\\a\\", sSame);
}

TEST(WndPath, NormalizeAppendsOneBackslash)
{
  const char* rows[][2] = { { "C:\\Temp", "C:\\Temp\\" }, { "C:\\Temp\\", "C:\\Temp\\" }, { "x", "x\\" }, { "", "" } };
  for (const auto& row : rows) {
    char s[32] = {};
    strcpy(s, row[0]);
    WndNormalizePathString(s);
    EXPECT_STREQ(row[1], s) << row[0];
  }
  WndNormalizePathString(nullptr);
}

// ---- Notifications at a hidden window ---------------------------------------------------

struct Broadcast {
  WPARAM wEvent;
  DWORD dwType;
  DWORD dwSize;
  std::string sPath;   // interface records
  HANDLE hHandle;      // handle records
  HDEVNOTIFY hNotify;
  DWORD dwThreadId;
};
std::vector<Broadcast> g_Broadcasts;
bool g_bDenyQueryRemove = false;

LRESULT CALLBACK RecordingProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
  if (uMsg != WM_DEVICECHANGE || lParam == 0) {
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
  }
  auto* pHeader = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
  Broadcast b{ wParam, pHeader->dbch_devicetype, pHeader->dbch_size, "", nullptr, nullptr, GetCurrentThreadId() };
  if (b.dwType == DBT_DEVTYP_DEVICEINTERFACE) {
    b.sPath = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam)->dbcc_name;
  } else if (b.dwType == DBT_DEVTYP_HANDLE) {
    b.hHandle = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lParam)->dbch_handle;
    b.hNotify = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lParam)->dbch_hdevnotify;
  }
  g_Broadcasts.push_back(b);
  return wParam == DBT_DEVICEQUERYREMOVE && g_bDenyQueryRemove ? BROADCAST_QUERY_DENY : TRUE;
}

HWND CreateHiddenWindow()
{
  static ATOM s_atom = 0;
  if (s_atom == 0) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = RecordingProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "DravWndNotifyTest";
    s_atom = RegisterClassA(&wc);
  }
  return CreateWindowExA(WS_EX_TOOLWINDOW, "DravWndNotifyTest", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

class WndNotify : public WndNotifyBase {
protected:
  void SetUp() override
  {
    WndNotifyBase::SetUp();
    g_Broadcasts.clear();
    g_bDenyQueryRemove = false;
    m_hWnd = CreateHiddenWindow();
    ASSERT_NE(nullptr, m_hWnd);
  }
  void TearDown() override
  {
    DestroyWindow(m_hWnd);
    WndNotifyBase::TearDown();
  }
  static SimDrvDeviceDesc Desc(const char* sPath, const GUID* pClass = &kRawClass)
  {
    SimDrvDeviceDesc desc{};
    desc.sPath = sPath;
    desc.pInterfaceClass = pClass;
    return desc;
  }
  HWND m_hWnd = nullptr;
};

// Bytes of a filter as the system's structures lay them out.
std::vector<BYTE> Filter(DWORD dwSize, DWORD dwType, const void* pTail, size_t tailOffset, size_t tailSize)
{
  std::vector<BYTE> v(dwSize, 0);
  memcpy(&v[0], &dwSize, 4);
  memcpy(&v[4], &dwType, 4);
  memcpy(&v[tailOffset], pTail, tailSize);
  return v;
}

TEST_F(WndNotify, ClassRegistrationGetsArrivalsOfItsClassUntilWithdrawn)
{
  HDEVNOTIFY hNotify = WndRegisterClassChangeNotifications(m_hWnd, &kRawClass);
  ASSERT_NE(nullptr, hNotify);
  std::vector<BYTE> filter(64);
  ASSERT_EQ(32u, SimDrvGetNotificationFilter(hNotify, filter.data(), 64));
  filter.resize(32);
  EXPECT_EQ(Filter(32, 5, &kRawClass, 12, 16), filter);
  char sLine[80];
  snprintf(sLine, sizeof sLine, "WndRegisterClassChangeNotifications - %08X - Error=0.\n",
           static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(hNotify)));
  EXPECT_TRUE(m_capture.Contains(sLine));

  SimDrvDeviceDesc mine = Desc("\\\\?\\hid#arrives");
  SimDrvDeviceDesc other = Desc("\\\\?\\hid#elsewhere", &kOtherClass);
  ULONG ulMine = SimDrvPlugDevice(&mine);
  ASSERT_NE(0u, ulMine);
  ASSERT_NE(0u, SimDrvPlugDevice(&other));
  ASSERT_EQ(1u, g_Broadcasts.size());
  const Broadcast& b = g_Broadcasts[0];
  EXPECT_EQ(static_cast<WPARAM>(DBT_DEVICEARRIVAL), b.wEvent);
  EXPECT_EQ(static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE), b.dwType);
  EXPECT_EQ(28u + strlen(mine.sPath) + 1, b.dwSize);
  EXPECT_EQ(mine.sPath, b.sPath);

  m_capture.Clear();
  WndUnregisterDeviceChangeNotifications(hNotify);
  EXPECT_TRUE(m_capture.Contains("WndUnregisterDeviceChangeNotifications - 1 - 0 (0x0).\n"));
  EXPECT_TRUE(m_capture.Contains("WndUnregisterDeviceChangeNotifications - Exit.\n"));
  EXPECT_EQ(0u, SimDrvNotificationCount(m_hWnd));
  SimDrvUnplugDevice(ulMine, FALSE);
  EXPECT_EQ(1u, g_Broadcasts.size());
  WndUnregisterDeviceChangeNotifications(nullptr);
}

TEST_F(WndNotify, ArrivalIsSentToAWindowOfAnotherThreadWhenItPumps)
{
  struct Pump {
    HANDLE hReady;
    HWND hWnd;
  } pump{ CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr };
  auto thread = [](void* pv) -> DWORD {
    auto* p = static_cast<Pump*>(pv);
    p->hWnd = CreateHiddenWindow();
    WndRegisterClassChangeNotifications(p->hWnd, &kRawClass);
    SetEvent(p->hReady);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      DispatchMessageA(&msg);
    }
    DestroyWindow(p->hWnd);
    return 0;
  };
  DWORD dwThreadId = 0;
  HANDLE hThread = CreateThread(nullptr, 0, thread, &pump, 0, &dwThreadId);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pump.hReady, 10000));
  SimDrvDeviceDesc desc = Desc("\\\\?\\hid#crossthread");
  ASSERT_NE(0u, SimDrvPlugDevice(&desc));
  // Sent, not posted: delivered before the plug returns, on the window's thread.
  ASSERT_EQ(1u, g_Broadcasts.size());
  EXPECT_EQ(dwThreadId, g_Broadcasts[0].dwThreadId);
  EXPECT_EQ(desc.sPath, g_Broadcasts[0].sPath);
  PostThreadMessageA(dwThreadId, WM_QUIT, 0, 0);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, 10000));
  CloseHandle(hThread);
  CloseHandle(pump.hReady);
}

TEST_F(WndNotify, UnplugSendsHandleBroadcastsThenTheInterfaceRemoval)
{
  constexpr WPARAM Q = DBT_DEVICEQUERYREMOVE, F = DBT_DEVICEQUERYREMOVEFAILED, C = DBT_DEVICEREMOVECOMPLETE;
  struct Row {
    BOOL bOrderly;
    bool bDeny;
    BOOL bRemoved;
    std::vector<std::pair<WPARAM, DWORD>> sequence;   // event, record type
  } rows[] = {
    { FALSE, false, TRUE, { { C, 6 }, { C, 5 } } },
    { TRUE, false, TRUE, { { Q, 6 }, { C, 6 }, { C, 5 } } },
    { TRUE, true, FALSE, { { Q, 6 }, { F, 6 } } },
  };
  for (const Row& row : rows) {
    SimDrvReset();
    g_Broadcasts.clear();
    g_bDenyQueryRemove = row.bDeny;
    SimDrvDeviceDesc desc = Desc("\\\\?\\hid#leaves");
    SimDrvDeviceDesc stays = Desc("\\\\?\\hid#stays");
    ULONG ulDevice = SimDrvPlugDevice(&desc);
    SimDrvPlugDevice(&stays);
    HANDLE hDevice = DevIoOpen(desc.sPath);
    HANDLE hOther = DevIoOpen(stays.sPath);
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevice);
    HDEVNOTIFY hClass = WndRegisterClassChangeNotifications(m_hWnd, &kRawClass);
    HDEVNOTIFY hHandle = WndRegisterHandleChangeNotifications(m_hWnd, hDevice);
    ASSERT_NE(nullptr, WndRegisterHandleChangeNotifications(m_hWnd, hOther));
    ASSERT_NE(nullptr, hHandle);
    std::vector<BYTE> filter(56);
    ASSERT_EQ(56u, SimDrvGetNotificationFilter(hHandle, filter.data(), 56));
    EXPECT_EQ(Filter(56, 6, &hDevice, 16, sizeof hDevice), filter);

    EXPECT_EQ(row.bRemoved, SimDrvUnplugDevice(ulDevice, row.bOrderly));
    std::vector<std::pair<WPARAM, DWORD>> sequence;
    for (const Broadcast& b : g_Broadcasts) {
      sequence.emplace_back(b.wEvent, b.dwType);
      if (b.dwType == DBT_DEVTYP_HANDLE) {
        EXPECT_EQ(hDevice, b.hHandle);
        EXPECT_EQ(hHandle, b.hNotify);
        EXPECT_EQ(56u, b.dwSize);
      } else {
        EXPECT_EQ(desc.sPath, b.sPath);
      }
    }
    EXPECT_EQ(row.sequence, sequence) << row.bOrderly << row.bDeny;
    HANDLE hAgain = DevIoOpen(desc.sPath);
    EXPECT_EQ(row.bRemoved, hAgain == INVALID_HANDLE_VALUE);
    if (hAgain != INVALID_HANDLE_VALUE) {
      CloseHandle(hAgain);
    }
    WndUnregisterDeviceChangeNotifications(hClass);
    WndUnregisterDeviceChangeNotifications(hHandle);
    CloseHandle(hDevice);
    CloseHandle(hOther);
  }
}

TEST_F(WndNotify, FailedRegistrationsGiveNullAndTheirErrors)
{
  HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);   // not a device handle
  EXPECT_EQ(nullptr, WndRegisterHandleChangeNotifications(m_hWnd, hEvent));
  EXPECT_TRUE(m_capture.Contains("WndRegisterHandleChangeNotifications - 00000000 - Error=6.\n"));
  HWND hGone = CreateHiddenWindow();
  DestroyWindow(hGone);
  EXPECT_EQ(nullptr, WndRegisterClassChangeNotifications(hGone, &kRawClass));
  EXPECT_TRUE(m_capture.Contains("WndRegisterClassChangeNotifications - 00000000 - Error=1400.\n"));
  EXPECT_EQ(nullptr, WndRegisterClassChangeNotifications(m_hWnd, nullptr));
  EXPECT_EQ(3u, m_capture.Count("assert NULL != hNotifyDevNode"));
  EXPECT_EQ(0u, SimDrvNotificationCount(nullptr));
  CloseHandle(hEvent);
}

}  // namespace
