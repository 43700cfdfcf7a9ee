// Framework instances and their message window, driven from the reference
// host's binding thread: instance slots, device-change broadcasts sent to the
// hidden window, bind and unbind cycles, and the production DLL.
#include <gtest/gtest.h>

#include <windows.h>

#include <dbt.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "framework/UmdMgr.h"
#include "host/RefHostThread.h"
#include "plugin/Mou.h"
#include "simdrv/SimDrv.h"
#include "synch/SynchUtil.h"
#include "tests/shared/SettingsTable.h"
#include "tests/unit/TestSupport.h"

namespace {

// The plug-in code linked into this program, in the shape of a loaded plug-in.
const RefHostPlugin kStatic = { nullptr, MouControl, MouDeviceCleanup, MouDeviceControl, MouEvaluateEventCompatibility,
                                MouMainExit, MouMainInit, MouRegisterEvent, MouUnregisterEvent };

// A broadcast placed to end where an inaccessible page begins: reading past
// its size faults. Its size field counts its bytes unless dwSize says
// otherwise, and then the record is cut to it when that is shorter.
class GuardedBroadcast {
public:
  GuardedBroadcast() { VirtualProtect(m_p + PAGE, PAGE, PAGE_NOACCESS, &m_dwOld); }
  ~GuardedBroadcast() { VirtualFree(m_p, 0, MEM_RELEASE); }
  LPARAM Place(std::string s, DWORD dwSize, DWORD dwType)
  {
    dwSize = dwSize != 0 ? dwSize : (DWORD)s.size();
    s.resize(std::min<size_t>(dwSize, s.size()));
    memcpy(s.data(), &dwSize, 4);
    if (s.size() >= 8) memcpy(s.data() + 4, &dwType, 4);
    return reinterpret_cast<LPARAM>(memcpy(m_p + PAGE - s.size(), s.data(), s.size()));
  }
  // Its head (class unused), then the path, terminated or not.
  LPARAM Interface(const std::string& sPath, bool bTerminated = true, DWORD dwSize = 0, DWORD dwType = DBT_DEVTYP_DEVICEINTERFACE)
  {
    return Place(std::string(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name), '\0') + sPath + std::string(bTerminated, '\0'),
                 dwSize, dwType);
  }
  LPARAM Handle(HANDLE h, DWORD dwSize = 0)
  {
    DEV_BROADCAST_HANDLE b = {};
    b.dbch_handle = h;
    return Place(std::string(reinterpret_cast<const char*>(&b), sizeof b), dwSize, DBT_DEVTYP_HANDLE);
  }

private:
  static constexpr size_t PAGE = 4096;
  BYTE* m_p = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * PAGE, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  DWORD m_dwOld = 0;
};

class InstanceTest : public testing::Test {
protected:
  static RefHostThread s_Thread;
  static void SetUpTestSuite() { ASSERT_TRUE(RefHostThreadStart(&s_Thread)); }
  static void TearDownTestSuite()   // a stopped thread runs no call
  {
    EXPECT_TRUE(RefHostThreadStop(&s_Thread) && !RefHostThreadCall(&s_Thread, [](void*) {}, nullptr, 0));
  }
  RefHost* pHost = RefHostGet();
  void SetUp() override { ASSERT_TRUE(RefHostInit(pHost)); }
  void TearDown() override
  {
    if (g_pUmdGlobal != nullptr) RefHostThreadUnbind(&s_Thread, &kStatic);
    RefHostShutdown(pHost);
  }
  // Runs fn on the binding thread; FALSE when it did not run in time.
  template <typename Fn>
  static BOOL OnHostThread(const Fn& fn, DWORD dwTimeoutMs = REFHOST_CALL_TIMEOUT_MS)
  {
    const Fn* pFn = &fn;
    return RefHostThreadCall(&s_Thread, [](void* p) { (**static_cast<const Fn**>(p))(); }, &pFn, sizeof pFn, dwTimeoutMs);
  }
  // The plug-in's windows on the binding thread (earlier tests' may linger elsewhere).
  static std::vector<HWND> BindingWindows()
  {
    std::vector<HWND> found;
    for (HWND h = nullptr; (h = FindWindowExA(nullptr, h, "DRAVMOU_MainWindow", nullptr)) != nullptr;) {
      if (GetWindowThreadProcessId(h, nullptr) == s_Thread.dwThreadId) found.push_back(h);
    }
    return found;
  }
  static BOOL StartInstance(UmdGlobal** pp, const char* sClass = "DravInstanceTest")
  {
    return UmdMainInit(pp, RefHostGet()->Api, UMD_MOUFILT, MOU_DEVINFO_SIZE, "MOU", GetModuleHandleA(nullptr), sClass,
                       reinterpret_cast<const GUID*>(&GUID_INTERFACE_RAWPDO_VMOUFILT), 1, nullptr, nullptr,
                       UmdCallbackGetDevInfo, nullptr);
  }
};
RefHostThread InstanceTest::s_Thread;

// Nine slots: a failed start gives its slot and its work-item thread back, a
// tenth start is refused, and a stopped instance's record is the next one used.
// Its window lives until the posted close is dispatched; meanwhile it answers
// device changes as any window does and queues nothing.
TEST_F(InstanceTest, NineSlotsTenthIsRefusedAStoppedInstancesWindowQueuesNothing)
{
  GuardedBroadcast guard;
  ASSERT_TRUE(OnHostThread([&] {
    UmdGlobal* instances[UMD_MAX_INSTANCES] = {};
    for (ULONG i = 0; i + 1 < UMD_MAX_INSTANCES; ++i) {
      ASSERT_TRUE(StartInstance(&instances[i]) && instances[i] == &g_UmdInstances[i]) << i;
    }
    const auto before = TestSettledCounts();
    UmdGlobal *pFailed = nullptr, *pTenth = nullptr, *pAgain = nullptr;
    EXPECT_FALSE(StartInstance(&pFailed, std::string(300, 'c').c_str()));   // no such window class can exist
    EXPECT_TRUE(pFailed == nullptr && !g_UmdInstances[UMD_MAX_INSTANCES - 1].bInUse && TestSettledCounts() == before);
    ASSERT_TRUE(StartInstance(&instances[UMD_MAX_INSTANCES - 1]));
    EXPECT_EQ(instances[UMD_MAX_INSTANCES - 1], &g_UmdInstances[UMD_MAX_INSTANCES - 1]);
    EXPECT_FALSE(StartInstance(&pTenth) || pTenth != nullptr);
    HWND hWnd = instances[4]->hWnd;
    HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LPARAM lArrival = guard.Interface("\\\\?\\HID#stopped");
    SendMessageA(hWnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, lArrival);
    UmdMainExit(instances[4]);   // frees an entry still queued
    EXPECT_TRUE(!instances[4]->bInUse && instances[4]->DeviceChangeQueue.pNext == &instances[4]->DeviceChangeQueue);
    TraceCapture capture;
    for (auto [wParam, lParam] : { std::pair{ (WPARAM)DBT_DEVICEARRIVAL, lArrival },
                                   { (WPARAM)DBT_DEVICEQUERYREMOVE, guard.Handle(hEvent) } }) {
      EXPECT_EQ(SendMessageA(hWnd, WM_DEVICECHANGE, wParam, lParam), DefWindowProcA(hWnd, WM_DEVICECHANGE, wParam, lParam));
    }
    EXPECT_FALSE(capture.Contains("queuing") || IsDeadHandle(hEvent));
    EXPECT_TRUE(CloseHandle(hEvent) && IsWindow(hWnd));   // still open
    RefHostPumpMessages();
    EXPECT_FALSE(IsWindow(hWnd));
    EXPECT_TRUE(StartInstance(&pAgain) && pAgain == instances[4]);
    for (UmdGlobal* p : instances) UmdMainExit(p);
    capture.Clear();
    UmdMainExit(instances[0]);   // a second stop of a released record touches nothing
    EXPECT_TRUE(capture.Contains("UmdMainExit - instance is not running"));
  }));
}

// Real WM_DEVICECHANGE messages carrying real broadcasts, sent from this thread
// to the hidden window of an instance bound on the binding thread. (A plain
// arrival and removal: the discovery tests' plugs.)
TEST_F(InstanceTest, WindowProcedureAnswersEveryDeviceChange)
{
  ASSERT_TRUE(RefHostThreadBind(&s_Thread, pHost, &kStatic) == 1 && g_pUmdGlobal->hWnd != nullptr);
  HWND hWnd = g_pUmdGlobal->hWnd;
  const std::string sPath = "\\\\?\\HID#VID_3F1D&PID_C02A#7&1d0&0&0000#{5a486531-0201-43e0-bd81-d544bb08d0dc}";
  // The broadcast (its size field, 0: its own size), the answer, the action queued (0: none), a line that
  // must be written. None of the handles is a device's: none is given up.
  enum What { NOTHING, IFACE, IFACE_OPEN_END, OTHER_TYPE, HANDLE_BC };
  struct { const char* sCase; WPARAM wParam; What what; DWORD dwSizeField; LRESULT result; ULONG ulQueued;
           const char* sTrace; } const rows[] = {
      { "query-remove failed", DBT_DEVICEQUERYREMOVEFAILED, IFACE, 0, TRUE, DBT_DEVICEARRIVAL, nullptr },
      { "interface query-remove", DBT_DEVICEQUERYREMOVE, IFACE, 0, TRUE, DBT_DEVICEREMOVECOMPLETE, nullptr },
      { "path without terminator", DBT_DEVICEARRIVAL, IFACE_OPEN_END, 0, TRUE, DBT_DEVICEARRIVAL,
        "<warning> UmdEnqueueDeviceChange - Device path was not null terminated" },
      // A late broadcast must not close a value that is no device's (any more).
      { "handle query-remove", DBT_DEVICEQUERYREMOVE, HANDLE_BC, 0, TRUE, 0, "is no device's any more, left alone" },
      { "handle removal", DBT_DEVICEREMOVECOMPLETE, HANDLE_BC, 0, TRUE, 0, "is no device's any more, left alone" },
      { "handle broadcast as arrival", DBT_DEVICEARRIVAL, HANDLE_BC, 0, TRUE, 0, nullptr },
      { "short handle broadcast", DBT_DEVICEQUERYREMOVE, HANDLE_BC, 24, TRUE, 0, "is shorter than its head" },
      { "remove pending", DBT_DEVICEREMOVEPENDING, IFACE, 0, 0, 0, nullptr },
      { "devnodes changed", DBT_DEVNODES_CHANGED, NOTHING, 0, TRUE, 0, nullptr },
      { "arrival without broadcast", DBT_DEVICEARRIVAL, NOTHING, 0, TRUE, 0, "assert pDeviceInterface" },
      { "removal without broadcast", DBT_DEVICEREMOVECOMPLETE, NOTHING, 0, TRUE, 0, nullptr },
      { "volume arrival", DBT_DEVICEARRIVAL, OTHER_TYPE, 0, TRUE, 0, nullptr },
      { "size below the interface head", DBT_DEVICEARRIVAL, IFACE, 20, TRUE, 0,
        "broadcast of 20 bytes (type 5) is shorter than its head" },
      { "size below the common head", DBT_DEVICEREMOVECOMPLETE, IFACE, 8, TRUE, 0,
        "broadcast of 8 bytes (type 0) is shorter than its head" },
  };
  GuardedBroadcast guard;
  TraceCapture capture;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.sCase);
    UmdFlushDeviceChanges(g_pUmdGlobal);   // queued changes of one path coalesce
    capture.Clear();
    HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LPARAM lParam = r.what == IFACE         ? guard.Interface(sPath, true, r.dwSizeField)
                    : r.what == IFACE_OPEN_END ? guard.Interface(sPath, false)
                    : r.what == OTHER_TYPE  ? guard.Interface(sPath, true, 0, DBT_DEVTYP_VOLUME)
                    : r.what == HANDLE_BC   ? guard.Handle(hEvent, r.dwSizeField)
                                            : 0;
    EXPECT_EQ(SendMessageA(hWnd, WM_DEVICECHANGE, r.wParam, lParam), r.result);
    const std::string sQueued = "UmdEnqueueDeviceChange - queuing action=" + std::to_string(r.ulQueued) + " path=" + sPath;
    size_t n = r.ulQueued != 0;   // what was queued shows in its line
    EXPECT_EQ(std::make_pair(capture.Count("UmdEnqueueDeviceChange - queuing action="), capture.Count(sQueued)), std::make_pair(n, n));
    EXPECT_TRUE(!IsDeadHandle(hEvent) && CloseHandle(hEvent));
    EXPECT_TRUE(r.sTrace == nullptr || capture.Contains(r.sTrace)) << r.sTrace;
    EXPECT_FALSE(r.what == NOTHING && r.wParam != DBT_DEVICEARRIVAL && capture.Contains("assert"));
  }
}

// Both DLLs (the production one on the real platform libraries), loaded with
// their log file on and bound from the binding thread: each owns a hidden tool
// window there, runs a full enumeration (no interfaces of its class exist) and a
// remove-all; twenty cycles leave no handle, thread, window or registration.
TEST_F(InstanceTest, TwentyBindCyclesOfEachDllLeaveHandleThreadAndWindowCounts)
{
  SimDrvReset();
  const std::string sLogPath = TestScratchDir("bind_cycles") + "\\trace.txt";
  for (const char* sDll : { "\\DRAVMOU.dll", "\\..\\dist\\DRAVMOU.dll" }) {
    SCOPED_TRACE(sDll);
    auto cycle = [&] {
      RefHostPlugin plugin;
      ASSERT_TRUE(LoadPluginWithLog(&plugin, TestBinDir() + sDll, sLogPath));
      ASSERT_EQ(RefHostThreadBind(&s_Thread, pHost, &plugin), 1u);
      std::vector<HWND> windows = BindingWindows();
      ASSERT_EQ(windows.size(), 1u);
      EXPECT_EQ(GetWindowLongA(windows[0], GWL_STYLE) & (WS_POPUP | WS_VISIBLE), WS_POPUP);
      EXPECT_EQ(GetWindowLongA(windows[0], GWL_EXSTYLE) & WS_EX_TOOLWINDOW, WS_EX_TOOLWINDOW);
      EXPECT_EQ(RefHostThreadControl(&s_Thread, &plugin, LD_API_ENUMERATE, nullptr), 1u);
      EXPECT_EQ(RefHostThreadControl(&s_Thread, &plugin, LD_API_REMOVE_ALL_DEVICES, nullptr), 1u);
      EXPECT_EQ(RefHostThreadUnbind(&s_Thread, &plugin), 1u);
      EXPECT_TRUE(BindingWindows().empty() && SimDrvNotificationCount(nullptr) == 0);   // registrations withdrawn
      RefHostUnloadPlugin(&plugin);
    };
    cycle();   // first-use allocations of the system libraries, Wine's notification listener
    const auto before = TestSettledCounts();
    for (int i = 0; i < 20; ++i) cycle();
    EXPECT_EQ(TestSettledCounts(), before);
    EXPECT_EQ(pHost->ulNextDuid, 0x100u);   // no device was created
  }
  EXPECT_NE(TestReadFile(sLogPath).find("MouMainInit"), std::string::npos);   // the log was written
}

// A call waits its turn behind a running one; one whose caller gave up before
// it started is withdrawn and never runs; a call made on the thread itself runs
// at once.
TEST_F(InstanceTest, HostThreadCallsRunInTurnAndAGivenUpCallNeverRuns)
{
  LONG lLate = 0;
  auto late = [&] { InterlockedIncrement(&lLate); };
  EXPECT_TRUE(OnHostThread([&] {
    std::thread([&] { EXPECT_FALSE(OnHostThread(late, 50)); }).join();
    EXPECT_TRUE(OnHostThread([] {}, 0));
  }));
  EXPECT_TRUE(OnHostThread([] {}) && lLate == 0);
}

}  // namespace
