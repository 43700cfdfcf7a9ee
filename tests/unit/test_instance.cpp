// Framework instances and their message window, driven from the reference
// host's binding thread: instance slots, device-change broadcasts sent to the
// hidden window, bind and unbind cycles, and the production DLL.
#include <gtest/gtest.h>

#include <windows.h>

#include <dbt.h>
#include <tlhelp32.h>

#include <string>
#include <utility>
#include <vector>

#include "framework/UmdMgr.h"
#include "host/RefHostThread.h"
#include "plugin/Mou.h"
#include "simdrv/SimDrv.h"
#include "synch/SynchUtil.h"
#include "tests/unit/TestSupport.h"

namespace {

struct Counts {
  DWORD dwHandles = 0;
  ULONG ulThreads = 0;
  bool operator==(const Counts&) const = default;
};
Counts ProcessCounts()
{
  return { TestHandleCount(), TestThreadCount() };
}

// The plug-in code linked into this program, in the shape of a loaded plug-in.
RefHostPlugin StaticPlugin()
{
  return { nullptr, MouControl, MouDeviceCleanup, MouDeviceControl, MouEvaluateEventCompatibility,
           MouMainExit, MouMainInit, MouRegisterEvent, MouUnregisterEvent };
}


// Room for a broadcast that ends where an inaccessible page begins: reading
// past the broadcast's size faults.
class GuardedBroadcast {
public:
  GuardedBroadcast()
  {
    m_p = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * PAGE, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD dwOld;
    VirtualProtect(m_p + PAGE, PAGE, PAGE_NOACCESS, &dwOld);
  }
  ~GuardedBroadcast() { VirtualFree(m_p, 0, MEM_RELEASE); }
  LPARAM Place(const std::vector<BYTE>& bytes)
  {
    BYTE* p = m_p + PAGE - bytes.size();
    memcpy(p, bytes.data(), bytes.size());
    return reinterpret_cast<LPARAM>(p);
  }

private:
  static constexpr size_t PAGE = 4096;
  BYTE* m_p;
};

template <typename T>
std::vector<BYTE> BytesOf(const T& record, size_t cb = sizeof(T))
{
  auto* p = reinterpret_cast<const BYTE*>(&record);
  return std::vector<BYTE>(p, p + cb);
}

// An interface broadcast: head, then the path (terminated or not); its size
// field counts exactly these bytes unless ulSizeField says otherwise, and then
// the record is cut to it when that is shorter.
std::vector<BYTE> InterfaceBroadcast(const std::string& sPath, bool bTerminated, DWORD dwType = DBT_DEVTYP_DEVICEINTERFACE,
                                     DWORD ulSizeField = 0)
{
  const size_t cbHead = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
  std::vector<BYTE> v(cbHead + sPath.size() + (bTerminated ? 1 : 0), 0);   // zero head: class GUID unused
  memcpy(v.data() + cbHead, sPath.data(), sPath.size());
  DWORD dwSize = ulSizeField != 0 ? ulSizeField : (DWORD)v.size();
  if (dwSize < v.size()) {
    v.resize(dwSize);
  }
  memcpy(v.data(), &dwSize, sizeof dwSize);
  if (v.size() >= 8) {
    memcpy(v.data() + 4, &dwType, sizeof dwType);
  }
  return v;
}

std::vector<BYTE> HandleBroadcast(HANDLE h, DWORD dwSize = sizeof(DEV_BROADCAST_HANDLE))
{
  DEV_BROADCAST_HANDLE b = {};
  b.dbch_size = dwSize;
  b.dbch_devicetype = DBT_DEVTYP_HANDLE;
  b.dbch_handle = h;
  b.dbch_hdevnotify = reinterpret_cast<HDEVNOTIFY>(0x5150);
  return BytesOf(b, std::min<size_t>(dwSize, sizeof b));
}

class InstanceTest : public testing::Test {
protected:
  static RefHostThread s_Thread;
  static void SetUpTestSuite() { ASSERT_TRUE(RefHostThreadStart(&s_Thread)); }
  static void TearDownTestSuite() { EXPECT_TRUE(RefHostThreadStop(&s_Thread)); }

  RefHost* pHost = nullptr;
  void SetUp() override
  {
    pHost = RefHostGet();
    ASSERT_TRUE(RefHostInit(pHost));
  }
  void TearDown() override
  {
    RefHostPlugin plugin = StaticPlugin();
    if (g_pUmdGlobal != nullptr) {
      RefHostThreadUnbind(&s_Thread, &plugin);
    }
    RefHostShutdown(pHost);
  }
  // Runs fn on the binding thread.
  template <typename Fn>
  void OnHostThread(Fn fn)
  {
    Fn* pFn = &fn;
    ASSERT_TRUE(RefHostThreadCall(&s_Thread, [](void* p) { (**static_cast<Fn**>(p))(); }, &pFn, sizeof pFn));
  }
};
RefHostThread InstanceTest::s_Thread;

BOOL StartInstance(UmdGlobal** pp, const char* sClass = "DravInstanceTest")
{
  return UmdMainInit(pp, RefHostGet()->Api, UMD_MOUFILT, MOU_DEVINFO_SIZE, "MOU", GetModuleHandleA(nullptr), sClass,
                     reinterpret_cast<const GUID*>(&GUID_INTERFACE_RAWPDO_VMOUFILT), 1, nullptr, nullptr,
                     UmdCallbackGetDevInfo, nullptr);
}

}  // namespace

// Nine slots: a failed start gives its slot and its work-item thread back, a
// tenth start is refused, and a stopped instance's record is the next one used.
TEST_F(InstanceTest, NineSlotsFailedStartGivesItsSlotBackTenthIsRefused)
{
  OnHostThread([] {
    UmdGlobal* instances[UMD_MAX_INSTANCES] = {};
    for (ULONG i = 0; i + 1 < UMD_MAX_INSTANCES; ++i) {
      ASSERT_TRUE(StartInstance(&instances[i])) << i;
      EXPECT_EQ(instances[i], &g_UmdInstances[i]);
    }
    TraceCapture capture;
    Counts before = ProcessCounts();
    UmdGlobal* pFailed = nullptr;
    std::string sNoClass(300, 'c');   // no such window class can exist
    EXPECT_FALSE(StartInstance(&pFailed, sNoClass.c_str()));
    EXPECT_EQ(pFailed, nullptr);
    EXPECT_TRUE(capture.Contains("UmdMainInit - exit, FAILED to create the Main Window. "));
    EXPECT_FALSE(g_UmdInstances[UMD_MAX_INSTANCES - 1].bInUse);
    EXPECT_EQ(ProcessCounts(), before);

    ASSERT_TRUE(StartInstance(&instances[UMD_MAX_INSTANCES - 1]));
    EXPECT_EQ(instances[UMD_MAX_INSTANCES - 1], &g_UmdInstances[UMD_MAX_INSTANCES - 1]);
    capture.Clear();
    UmdGlobal* pTenth = nullptr;
    EXPECT_FALSE(StartInstance(&pTenth));
    EXPECT_EQ(pTenth, nullptr);
    EXPECT_TRUE(capture.Contains("UmdMainInit - exit, no more instance slots available"));

    UmdMainExit(instances[4]);
    EXPECT_FALSE(instances[4]->bInUse);
    UmdGlobal* pAgain = nullptr;
    EXPECT_TRUE(StartInstance(&pAgain));
    EXPECT_EQ(pAgain, instances[4]);
    capture.Clear();
    for (UmdGlobal* p : instances) UmdMainExit(p);
    EXPECT_EQ(capture.Count("UmdMainExit - Posting WM_CLOSE.\n"), (size_t)UMD_MAX_INSTANCES);
    // A second stop of a released record touches nothing.
    UmdMainExit(instances[0]);
    EXPECT_TRUE(capture.Contains("UmdMainExit - instance is not running"));
  });
}

// Real WM_DEVICECHANGE messages carrying real broadcasts, sent from this thread
// to the hidden window of an instance bound on the binding thread.
TEST_F(InstanceTest, WindowProcedureAnswersEveryDeviceChange)
{
  RefHostPlugin plugin = StaticPlugin();
  ASSERT_EQ(RefHostThreadBind(&s_Thread, pHost, &plugin), 1u);
  HWND hWnd = g_pUmdGlobal->hWnd;
  ASSERT_NE(hWnd, nullptr);
  const std::string sPath = "\\\\?\\HID#VID_3F1D&PID_C02A#7&1d0&0&0000#{5a486531-0201-43e0-bd81-d544bb08d0dc}";

  enum What { NOTHING, IFACE, IFACE_OPEN_END, OTHER_TYPE, HANDLE_BC, HANDLE_AS_ARRIVAL };
  struct Row {
    const char* sCase;
    WPARAM wParam;
    What what;
    DWORD dwSizeField;   // 0: the record's own size
    LRESULT result;
    ULONG ulQueued;      // action queued, 0 for none
    bool bHandleGivenUp;
    const char* sTrace;  // a line that must be written, or null
  };
  const Row rows[] = {
    { "arrival", DBT_DEVICEARRIVAL, IFACE, 0, TRUE, DBT_DEVICEARRIVAL, false,
      "UmdWindowProc - scheduling work item for MOU UmdProcessDeviceChanges" },
    { "query-remove failed", DBT_DEVICEQUERYREMOVEFAILED, IFACE, 0, TRUE, DBT_DEVICEARRIVAL, false, nullptr },
    { "interface query-remove", DBT_DEVICEQUERYREMOVE, IFACE, 0, TRUE, DBT_DEVICEREMOVECOMPLETE, false,
      "queuing action=32772 path=" },
    { "interface removal", DBT_DEVICEREMOVECOMPLETE, IFACE, 0, TRUE, DBT_DEVICEREMOVECOMPLETE, false, nullptr },
    { "path without terminator", DBT_DEVICEARRIVAL, IFACE_OPEN_END, 0, TRUE, DBT_DEVICEARRIVAL, false,
      "<warning> UmdEnqueueDeviceChange - Device path was not null terminated" },
    // A late broadcast must not close a value that is no device's (any more).
    { "handle query-remove", DBT_DEVICEQUERYREMOVE, HANDLE_BC, 0, TRUE, 0, false,
      "UmdWindowProc - pnp remove handle " },
    { "handle removal", DBT_DEVICEREMOVECOMPLETE, HANDLE_BC, 0, TRUE, 0, false, "is no device's any more, left alone" },
    { "handle broadcast as arrival", DBT_DEVICEARRIVAL, HANDLE_AS_ARRIVAL, 0, TRUE, 0, false, nullptr },
    { "short handle broadcast", DBT_DEVICEQUERYREMOVE, HANDLE_BC, 24, TRUE, 0, false, "is shorter than its head" },
    { "remove pending", DBT_DEVICEREMOVEPENDING, IFACE, 0, 0, 0, false, nullptr },
    { "devnodes changed", DBT_DEVNODES_CHANGED, NOTHING, 0, TRUE, 0, false, nullptr },
    { "arrival without broadcast", DBT_DEVICEARRIVAL, NOTHING, 0, TRUE, 0, false, "assert pDeviceInterface" },
    { "removal without broadcast", DBT_DEVICEREMOVECOMPLETE, NOTHING, 0, TRUE, 0, false, nullptr },
    { "volume arrival", DBT_DEVICEARRIVAL, OTHER_TYPE, 0, TRUE, 0, false, nullptr },
    { "size below the interface head", DBT_DEVICEARRIVAL, IFACE, 20, TRUE, 0, false,
      "broadcast of 20 bytes (type 5) is shorter than its head" },
    { "size below the common head", DBT_DEVICEREMOVECOMPLETE, IFACE, 8, TRUE, 0, false,
      "broadcast of 8 bytes (type 0) is shorter than its head" },
  };
  GuardedBroadcast guard;
  TraceCapture capture;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.sCase);
    // Each row starts from an empty queue: queued changes of one path coalesce.
    UmdFlushDeviceChanges(g_pUmdGlobal);
    capture.Clear();
    size_t nQueued = 0;
    HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<BYTE> bytes;
    switch (r.what) {
    case IFACE: bytes = InterfaceBroadcast(sPath, true, DBT_DEVTYP_DEVICEINTERFACE, r.dwSizeField); break;
    case IFACE_OPEN_END: bytes = InterfaceBroadcast(sPath, false); break;
    case OTHER_TYPE: bytes = InterfaceBroadcast(sPath, true, DBT_DEVTYP_VOLUME); break;
    case HANDLE_BC:
    case HANDLE_AS_ARRIVAL: bytes = HandleBroadcast(hEvent, r.dwSizeField ? r.dwSizeField : sizeof(DEV_BROADCAST_HANDLE)); break;
    case NOTHING: break;
    }
    LPARAM lParam = bytes.empty() ? 0 : guard.Place(bytes);
    EXPECT_EQ(SendMessageA(hWnd, WM_DEVICECHANGE, r.wParam, lParam), r.result);

    // The work-item thread drains the queue at once: what was queued shows in its line.
    EXPECT_EQ(capture.Count("UmdEnqueueDeviceChange - queuing action="), nQueued + (r.ulQueued != 0));
    if (r.ulQueued != 0) {
      EXPECT_TRUE(capture.Contains("UmdEnqueueDeviceChange - queuing action=" + std::to_string(r.ulQueued) +
                                   " path=" + sPath));
    }
    EXPECT_EQ(IsDeadHandle(hEvent), r.bHandleGivenUp ? TRUE : FALSE);
    if (r.bHandleGivenUp) {
      EXPECT_FALSE(SetEvent(hEvent));   // closed already
      EXPECT_FALSE(CleanUpHandle(&hEvent));
      EXPECT_EQ(GetLastError(), 0u);
    } else {
      EXPECT_TRUE(CloseHandle(hEvent));
    }
    EXPECT_FALSE(IsDeadHandle(hEvent));
    if (r.sTrace != nullptr) {
      EXPECT_TRUE(capture.Contains(r.sTrace)) << r.sTrace;
    }
    if (r.ulQueued == DBT_DEVICEARRIVAL) {
      EXPECT_TRUE(capture.Contains("UmdWindowProc - Device Interface '" + sPath + "'\n"));
    }
    if (r.what == NOTHING && r.wParam != DBT_DEVICEARRIVAL) {
      EXPECT_FALSE(capture.Contains("assert"));
    }
  }
}

// After its stop the instance's window still exists until the posted close is
// dispatched; meanwhile it answers as any window does and nothing is queued.
TEST_F(InstanceTest, AMessageForAStoppedInstanceGetsTheDefaultProcessing)
{
  OnHostThread([] {
    UmdGlobal* p = nullptr;
    ASSERT_TRUE(StartInstance(&p));
    HWND hWnd = p->hWnd;
    GuardedBroadcast guard;
    HANDLE hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LPARAM lArrival = guard.Place(InterfaceBroadcast("\\\\?\\HID#stopped", true));
    SendMessageA(hWnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, lArrival);
    UmdMainExit(p);   // frees an entry still queued
    EXPECT_EQ(p->DeviceChangeQueue.pNext, &p->DeviceChangeQueue);

    TraceCapture capture;
    EXPECT_EQ(SendMessageA(hWnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, lArrival),
              DefWindowProcA(hWnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, lArrival));
    std::vector<BYTE> handle = HandleBroadcast(hEvent);
    LPARAM lHandle = guard.Place(handle);
    EXPECT_EQ(SendMessageA(hWnd, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, lHandle),
              DefWindowProcA(hWnd, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, lHandle));
    EXPECT_FALSE(capture.Contains("Device Interface"));
    EXPECT_FALSE(capture.Contains("queuing"));
    EXPECT_FALSE(IsDeadHandle(hEvent));
    EXPECT_TRUE(CloseHandle(hEvent));   // still open
    EXPECT_TRUE(IsWindow(hWnd));
    RefHostPumpMessages();
    EXPECT_FALSE(IsWindow(hWnd));
  });
}

// Binding, a full enumeration, a remove-all and unbinding through the binding
// thread, twenty times, leave no handle and no thread behind.
TEST_F(InstanceTest, TwentyBindCyclesLeaveHandleAndThreadCounts)
{
  RefHostPlugin plugin;
  ASSERT_TRUE(RefHostLoadPlugin(&plugin, (TestBinDir() + "\\DRAVMOU.dll").c_str()));
  auto cycle = [&] {
    EXPECT_EQ(RefHostThreadBind(&s_Thread, pHost, &plugin), 1u);
    EXPECT_EQ(RefHostThreadControl(&s_Thread, &plugin, LD_API_ENUMERATE, nullptr), 1u);
    EXPECT_EQ(RefHostThreadControl(&s_Thread, &plugin, LD_API_REMOVE_ALL_DEVICES, nullptr), 1u);
    EXPECT_EQ(RefHostThreadUnbind(&s_Thread, &plugin), 1u);
  };
  cycle();   // first-use allocations of the system libraries
  Counts before = ProcessCounts();
  for (int i = 0; i < 20; ++i) cycle();
  EXPECT_EQ(ProcessCounts(), before);
  RefHostUnloadPlugin(&plugin);
}

namespace {
struct WindowsOfClass {
  const char* sClass;
  std::vector<HWND> found;
};
std::vector<HWND> ThreadWindowsOfClass(DWORD dwThreadId, const char* sClass)
{
  WindowsOfClass w = { sClass, {} };
  EnumThreadWindows(dwThreadId, [](HWND h, LPARAM l) -> BOOL {
    auto* p = reinterpret_cast<WindowsOfClass*>(l);
    char s[64] = {};
    GetClassNameA(h, s, sizeof s);
    if (strcmp(s, p->sClass) == 0) p->found.push_back(h);
    return TRUE;
  }, reinterpret_cast<LPARAM>(&w));
  return w.found;
}
}  // namespace

// The production DLL on the real platform libraries: bound from the binding
// thread, it owns a hidden tool window there, runs a full enumeration (no
// interfaces of its class exist) and leaves nothing behind when unbound.
TEST_F(InstanceTest, ProductionDllBindsEnumeratesAndUnbindsCleanly)
{
  RefHostPlugin plugin;
  ASSERT_TRUE(RefHostLoadPlugin(&plugin, (TestBinDir() + "\\..\\dist\\DRAVMOU.dll").c_str()));
  Counts before;
  // The first cycle starts what the system keeps for device notifications
  // (Wine's listener thread); the second must leave everything as it found it.
  for (int cycle = 0; cycle < 2; ++cycle) {
    SCOPED_TRACE(cycle);
    before = ProcessCounts();
    ASSERT_EQ(RefHostThreadBind(&s_Thread, pHost, &plugin), 1u);
    std::vector<HWND> windows = ThreadWindowsOfClass(s_Thread.dwThreadId, MOU_WINDOW_CLASS);
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(GetWindowLongA(windows[0], GWL_STYLE) & WS_POPUP, WS_POPUP);
    EXPECT_EQ(GetWindowLongA(windows[0], GWL_EXSTYLE) & WS_EX_TOOLWINDOW, WS_EX_TOOLWINDOW);
    EXPECT_FALSE(IsWindowVisible(windows[0]));
    EXPECT_EQ(RefHostThreadControl(&s_Thread, &plugin, LD_API_ENUMERATE, nullptr), 1u);
    ULONG version[2] = { 9, 9 };
    EXPECT_EQ(RefHostThreadControl(&s_Thread, &plugin, LD_API_GET_VERSION, version), 1u);
    EXPECT_EQ(version[1], 1u);
    EXPECT_EQ(RefHostThreadUnbind(&s_Thread, &plugin), 1u);
    EXPECT_TRUE(ThreadWindowsOfClass(s_Thread.dwThreadId, MOU_WINDOW_CLASS).empty());
  }
  EXPECT_EQ(pHost->ulNextDuid, 0x100u);   // no device was created
  EXPECT_EQ(ProcessCounts(), before);
  RefHostUnloadPlugin(&plugin);
}

// A call waits its turn behind a running one; one whose caller gave up before
// it started is withdrawn and never runs; a call made on the thread itself runs
// at once.
TEST(BindingThread, CallsRunInTurnAndAGivenUpCallNeverRuns)
{
  RefHostThread thread;
  ASSERT_TRUE(RefHostThreadStart(&thread));
  struct Blocker {
    HANDLE hInside, hRelease;
  } blocker = { CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr) };
  struct Waiter {
    RefHostThread* pThread;
    Blocker* pBlocker;
  } waiter = { &thread, &blocker };
  HANDLE hCaller = CreateThread(nullptr, 0, [](void* p) -> DWORD {
    auto* w = static_cast<Waiter*>(p);
    return RefHostThreadCall(w->pThread, [](void* q) {
      auto* b = *static_cast<Blocker**>(q);
      SetEvent(b->hInside);
      WaitForSingleObject(b->hRelease, 10000);
    }, &w->pBlocker, sizeof w->pBlocker);
  }, &waiter, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(blocker.hInside, 10000), WAIT_OBJECT_0);

  LONG lRuns = 0;
  LONG* pRuns = &lRuns;
  auto count = [](void* p) { InterlockedIncrement(*static_cast<LONG**>(p)); };
  EXPECT_FALSE(RefHostThreadCall(&thread, count, &pRuns, sizeof pRuns, 50));
  SetEvent(blocker.hRelease);
  EXPECT_EQ(WaitForSingleObject(hCaller, 10000), WAIT_OBJECT_0);
  DWORD dwRan = 0;
  GetExitCodeThread(hCaller, &dwRan);
  EXPECT_EQ(dwRan, 1u);
  EXPECT_TRUE(RefHostThreadCall(&thread, count, &pRuns, sizeof pRuns));
  EXPECT_EQ(lRuns, 1);   // only the call that was waited for

  struct Nested {
    RefHostThread* pThread;
    DWORD dwRunner, dwInner;
  } nested = { &thread, 0, 0 };
  Nested* pNested = &nested;
  EXPECT_TRUE(RefHostThreadCall(&thread, [](void* p) {
    auto* n = *static_cast<Nested**>(p);
    n->dwRunner = GetCurrentThreadId();
    Nested** pn = &n;
    RefHostThreadCall(n->pThread, [](void* q) { (*static_cast<Nested**>(q))->dwInner = GetCurrentThreadId(); }, pn,
                      sizeof *pn, 0);
  }, &pNested, sizeof pNested));
  EXPECT_EQ(nested.dwRunner, thread.dwThreadId);
  EXPECT_EQ(nested.dwInner, thread.dwThreadId);
  EXPECT_TRUE(RefHostThreadStop(&thread));
  EXPECT_FALSE(RefHostThreadCall(&thread, count, &pRuns, sizeof pRuns));
  CloseHandle(hCaller);
  CloseHandle(blocker.hInside);
  CloseHandle(blocker.hRelease);
}

// A plugged simulated device of the plug-in's interface class reaches the
// hidden window as a real arrival broadcast, an unplug as a removal; once
// unbound, the class registration is withdrawn.
TEST_F(InstanceTest, SimulatedPlugAndUnplugReachTheHiddenWindow)
{
  RefHostPlugin plugin = StaticPlugin();
  ASSERT_EQ(RefHostThreadBind(&s_Thread, pHost, &plugin), 1u);
  UmdGlobal* pInstance = g_pUmdGlobal;
  ASSERT_NE(pInstance->hDeviceChangeNotification, nullptr);
  const std::string sPath = "\\\\?\\HID#VID_3F1D&PID_C02A&MI_01#8&2&0&0000#{5a486531-0201-43e0-bd81-d544bb08d0dc}";
  SimDrvDeviceDesc desc = {};
  desc.sPath = sPath.c_str();
  TraceCapture capture;
  ULONG ulDevice = SimDrvPlugDevice(&desc);
  ASSERT_NE(ulDevice, 0u);
  EXPECT_TRUE(capture.Contains("UmdWindowProc - Device Interface '" + sPath + "'\n"));
  EXPECT_TRUE(SimDrvUnplugDevice(ulDevice, FALSE));
  // Arrival and removal of one path, both still queued, cancel each other.
  EXPECT_TRUE(capture.Contains("UmdEnqueueDeviceChange - queuing action=32772 path=" + sPath));

  EXPECT_EQ(RefHostThreadUnbind(&s_Thread, &plugin), 1u);
  capture.Clear();
  ASSERT_NE(SimDrvPlugDevice(&desc), 0u);
  EXPECT_FALSE(capture.Contains("Device Interface"));
  SimDrvReset();
}
