// Device event thread on simulated devices of the reference host, and the
// walks over the host's hardware-event records.
#include <gtest/gtest.h>

#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "framework/UmdMgr.h"
#include "host/RefHost.h"
#include "host/RefHostEvents.h"
#include "plugin/Mou.h"
#include "simdrv/SimDrv.h"
#include "tests/unit/TestSupport.h"

namespace {

constexpr DWORD IOCTL_EVENT_READ = 0x0022040C;
constexpr DWORD WAIT_MS = 10000;   // generous: only a fault reaches it
constexpr ULONG CHORD[2] = { 3112, 1 };

// What the event callback saw. The test reads it after hDelivered or after
// the thread has ended.
struct Delivery {
  std::vector<std::vector<BYTE>> Packets;
  LONG lLockAtCall;
  HANDLE hDelivered;   // auto-reset, once per packet
  HANDLE hInside;      // a gated callback is inside
  HANDLE hGate;        // non-null: the callback waits for it
} s_Delivery;

BOOL TestProcessEvent(tDevice* pDevice, const void* pBuffer, ULONG ulBytes)
{
  const BYTE* p = static_cast<const BYTE*>(pBuffer);
  s_Delivery.Packets.emplace_back(p, p + ulBytes);
  s_Delivery.lLockAtCall = pDevice->RemoveLock[UMD_MOUFILT].lLock;
  SetEvent(s_Delivery.hDelivered);
  if (s_Delivery.hGate != nullptr) {
    SetEvent(s_Delivery.hInside);
    WaitForSingleObject(s_Delivery.hGate, INFINITE);
  }
  return TRUE;
}

ULONG ThreadCount()
{
  HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 te{};
  te.dwSize = sizeof te;
  ULONG ulCount = 0;
  for (BOOL b = Thread32First(hSnap, &te); b; b = Thread32Next(hSnap, &te)) {
    ulCount += te.th32OwnerProcessID == GetCurrentProcessId();
  }
  CloseHandle(hSnap);
  return ulCount;
}

// A simulated device behind a host device, and a framework instance built by
// hand around the test's event callback.
class EventThreadTest : public testing::Test {
protected:
  void SetUp() override
  {
    SimDrvReset();
    m_pHost = RefHostGet();
    ASSERT_TRUE(RefHostInit(m_pHost));
    m_pDevice = RefHostAddSimDevice(m_pHost, "\\\\?\\HID#VID_1A2B&PID_0007#event#mouse0");
    ASSERT_NE(m_pDevice, nullptr);
    m_ulSim = RefHostSimDeviceOf(m_pHost, m_pDevice);
    memset(&m_Global, 0, sizeof m_Global);
    m_Global.pDevMgrApi = m_pHost->Api;
    m_Global.ulUmdIndex = UMD_MOUFILT;
    m_Global.pUmdCallbackGetDevInfo = UmdCallbackGetDevInfo;
    m_Global.pUmdCallbackProcessEvent = TestProcessEvent;
    s_Delivery.Packets.clear();
    s_Delivery.lLockAtCall = -1;
    s_Delivery.hDelivered = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    s_Delivery.hInside = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    s_Delivery.hGate = nullptr;
    UmdSetEventThreadBounds(WAIT_MS, WAIT_MS);
    SimDrvClearRequests();
  }
  void TearDown() override
  {
    UmdStopEventThread(&m_Global, m_pDevice);
    UmdSetEventThreadBounds(0, 0);
    for (HANDLE h : { s_Delivery.hDelivered, s_Delivery.hInside, s_Delivery.hGate }) {
      if (h != nullptr) {
        CloseHandle(h);
      }
    }
    RefHostShutdown(m_pHost);
    SimDrvReset();
  }
  UmdDevInfo* DevInfo() { return RefHostDevInfo(m_pDevice); }
  void Start() { ASSERT_TRUE(UmdStartEventThread(&m_Global, m_pDevice, DevInfo())); }
  bool ThreadEnded(DWORD dwMs) { return WaitForSingleObject(DevInfo()->hEventThread, dwMs) == WAIT_OBJECT_0; }
  bool Delivered() { return WaitForSingleObject(s_Delivery.hDelivered, WAIT_MS) == WAIT_OBJECT_0; }
  // Waits until the thread's read is outstanding at the driver.
  bool ReadPending()
  {
    for (ULONGLONG ullEnd = GetTickCount64() + WAIT_MS; GetTickCount64() < ullEnd; Sleep(1)) {
      if (SimDrvPendingCount(m_ulSim) == 1) {
        return true;
      }
    }
    return false;
  }
  // Ends the outstanding read with the given answer once it is there.
  bool CompleteRead(DWORD dwError, ULONG ulReturned)
  {
    return ReadPending() && SimDrvCompleteRead(m_ulSim, dwError, ulReturned);
  }
  ULONG EventReads()
  {
    ULONG ulCount = 0;
    for (ULONG i = 0; i < SimDrvRequestCount(); ++i) {
      SimDrvRequest r{};
      ulCount += SimDrvGetRequest(i, &r) && r.ulDevice == m_ulSim && r.dwIoctl == IOCTL_EVENT_READ &&
                 r.ulInSize == 0 && r.ulOutSize == 100;
    }
    return ulCount;
  }

  RefHost* m_pHost = nullptr;
  tDevice* m_pDevice = nullptr;
  ULONG m_ulSim = 0;
  UmdGlobal m_Global;
  TraceCapture m_Trace;
};

TEST_F(EventThreadTest, PacketsReachTheCallbackWithTheirBytesUnderTheRemoveLock)
{
  // The first waits when the read is issued (completes at once), the second
  // arrives while the read is pending.
  const BYTE First[8] = { 0x28, 0x0C, 0, 0, 1, 0, 0, 0 };
  BYTE Second[100];
  std::iota(Second, Second + sizeof Second, BYTE{ 1 });
  ASSERT_TRUE(SimDrvQueueEvent(m_ulSim, First, sizeof First));
  Start();
  ASSERT_TRUE(Delivered());
  HANDLE hThread = DevInfo()->hEventThread;
  Start();   // a second start starts nothing
  EXPECT_EQ(DevInfo()->hEventThread, hThread);
  ASSERT_TRUE(ReadPending());
  ASSERT_TRUE(SimDrvQueueEvent(m_ulSim, Second, sizeof Second));
  ASSERT_TRUE(Delivered());
  ASSERT_TRUE(ReadPending());

  ASSERT_EQ(s_Delivery.Packets.size(), 2u);
  EXPECT_EQ(s_Delivery.Packets[0], std::vector<BYTE>(First, First + sizeof First));
  EXPECT_EQ(s_Delivery.Packets[1], std::vector<BYTE>(Second, Second + sizeof Second));
  EXPECT_EQ(s_Delivery.lLockAtCall, 1);
  EXPECT_TRUE(m_Trace.Contains("Got event Length 8 : Status : 1 00000000  (asked for 100)"));
  EXPECT_TRUE(m_Trace.Contains("pended event good"));
  EXPECT_EQ(EventReads(), 3u);   // the third is outstanding
  EXPECT_EQ(SimDrvRequestCount(), 3u);
}

// The count is shared by failed and failing reads and reset by a delivery.
TEST_F(EventThreadTest, FourFailuresKeepTheThreadADeliveryResetsTheCountTheFifthEndsIt)
{
  Start();
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(CompleteRead(ERROR_GEN_FAILURE, 0));
  }
  ASSERT_TRUE(ReadPending());
  ASSERT_TRUE(SimDrvQueueEvent(m_ulSim, CHORD, sizeof CHORD));
  ASSERT_TRUE(Delivered());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(CompleteRead(ERROR_GEN_FAILURE, 0));
  }
  // The fourth ends a pending read, the fifth fails the read at once.
  ASSERT_TRUE(ReadPending());
  SimDrvSetMode(m_ulSim, SIMDRV_FAIL, ERROR_GEN_FAILURE, 0);
  ASSERT_TRUE(SimDrvCompleteRead(m_ulSim, ERROR_GEN_FAILURE, 0));
  ASSERT_TRUE(ThreadEnded(WAIT_MS));
  EXPECT_EQ(EventReads(), 10u);
  EXPECT_EQ(m_Trace.Count("Event thread got 5 errors in a row, so bailing out of event thread"), 1u);
  EXPECT_TRUE(m_Trace.Contains("UmdEventThread - DeviceIoControl failed with error 31 0000001F, retry 4"));
}

// Completions that end the thread at once, without a bail-out line: the
// device is gone or going.
TEST_F(EventThreadTest, RemovalDeniedAccessAbortOrARefusedLockEndTheThreadAtOnce)
{
  struct {
    DWORD dwError;
    ULONG ulReturned;
    bool bRemovalPending;
  } const Cases[] = { { ERROR_DEVICE_NOT_CONNECTED, 0, false },
                      { ERROR_ACCESS_DENIED, 0, false },
                      { ERROR_OPERATION_ABORTED, 0, false },
                      { 0, 8, true } };
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.dwError);
    SimDrvClearRequests();
    m_Trace.Clear();
    m_pDevice->RemoveLock[UMD_MOUFILT].lRemove = c.bRemovalPending;
    Start();
    ASSERT_TRUE(CompleteRead(c.dwError, c.ulReturned));
    ASSERT_TRUE(ThreadEnded(WAIT_MS));
    EXPECT_EQ(EventReads(), 1u);
    EXPECT_TRUE(s_Delivery.Packets.empty());
    EXPECT_FALSE(m_Trace.Contains("in a row"));
    EXPECT_EQ(m_Trace.Contains("Could not acquire LOCK_UmdProcessEvent, so bailing out of event thread"),
              c.bRemovalPending);
    UmdStopEventThread(&m_Global, m_pDevice);
  }
  m_pDevice->RemoveLock[UMD_MOUFILT].lRemove = 0;
}

TEST_F(EventThreadTest, ReadsEndingWithAnErrorOrTooManyBytesAreNeverDelivered)
{
  struct {
    DWORD dwError;
    ULONG ulReturned;
  } const Bad[] = { { 0, 101 }, { 0, 0x10000 }, { ERROR_MORE_DATA, 100 }, { ERROR_GEN_FAILURE, 8 } };
  Start();
  for (const auto& bad : Bad) {
    ASSERT_TRUE(CompleteRead(bad.dwError, bad.ulReturned));
  }
  ASSERT_TRUE(ReadPending());
  ASSERT_TRUE(SimDrvQueueEvent(m_ulSim, CHORD, sizeof CHORD));
  ASSERT_TRUE(Delivered());
  ASSERT_EQ(s_Delivery.Packets.size(), 1u);
  EXPECT_EQ(s_Delivery.Packets[0].size(), sizeof CHORD);
  EXPECT_EQ(m_Trace.Count("event read returned"), 2u);
}

// Each stop cancels the read and the thread ends by itself; nothing is left.
TEST_F(EventThreadTest, StartStopCyclesCancelTheReadAndLeaveHandleAndThreadCounts)
{
  auto cycle = [&] {
    SimDrvClearRequests();
    Start();
    ASSERT_TRUE(SimDrvQueueEvent(m_ulSim, CHORD, sizeof CHORD));
    ASSERT_TRUE(Delivered());
    ASSERT_TRUE(ReadPending());
    UmdStopEventThread(&m_Global, m_pDevice);
    EXPECT_EQ(SimDrvPendingCount(m_ulSim), 0u);
    SimDrvRequest r{};
    ASSERT_TRUE(SimDrvGetRequest(SimDrvRequestCount() - 1, &r));
    EXPECT_EQ(r.dwResult, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(DevInfo()->hEventThread, nullptr);
    EXPECT_EQ(DevInfo()->hEventThreadStopEvent, nullptr);
  };
  cycle();   // the driver's worker thread starts once
  DWORD dwHandles = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &dwHandles));
  ULONG ulThreads = ThreadCount();
  for (int i = 0; i < 3; ++i) {
    cycle();
  }
  DWORD dwHandlesAfter = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &dwHandlesAfter));
  EXPECT_EQ(dwHandlesAfter, dwHandles);
  EXPECT_EQ(ThreadCount(), ulThreads);
  EXPECT_EQ(m_Trace.Count("hEventThreadStopEvent detected, aborting event thread"), 4u);
  EXPECT_FALSE(m_Trace.Contains("TerminateThread"));
}

// A driver that ignores the cancel may still write the read's buffer and
// overlapped record: they are left behind, not freed.
TEST_F(EventThreadTest, AReadThatOutlivesItsCancelKeepsItsStorage)
{
  SimDrvSetMode(m_ulSim, SIMDRV_IGNORE_CANCEL, 0, 0);
  Start();
  ASSERT_TRUE(ReadPending());
  UmdStopEventThread(&m_Global, m_pDevice);
  EXPECT_FALSE(m_Trace.Contains("TerminateThread"));
  EXPECT_TRUE(m_Trace.Contains("never ended; its event"));
  EXPECT_EQ(SimDrvPendingCount(m_ulSim), 1u);   // ended when the host closes the handle
}

TEST_F(EventThreadTest, ACallbackBlockedPastTheBoundIsTerminatedAndItsLockGivenBack)
{
  s_Delivery.hGate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Start();
  ASSERT_TRUE(SimDrvQueueEvent(m_ulSim, CHORD, sizeof CHORD));
  ASSERT_EQ(WaitForSingleObject(s_Delivery.hInside, WAIT_MS), WAIT_OBJECT_0);
  EXPECT_EQ(m_pDevice->RemoveLock[UMD_MOUFILT].lLock, 1);
  UmdSetEventThreadBounds(WAIT_MS, 200);
  UmdStopEventThread(&m_Global, m_pDevice);
  EXPECT_TRUE(m_Trace.Contains("Event thread didn't terminate within one minute (wait=258), will force termination"));
  EXPECT_TRUE(m_Trace.Contains("UmdStopEventThread calling TerminateThread"));
  EXPECT_TRUE(m_Trace.Contains("Event thread ended holding LOCK_UmdProcessEvent"));
  EXPECT_EQ(m_pDevice->RemoveLock[UMD_MOUFILT].lLock, 0);
  EXPECT_EQ(DevInfo()->hEventThread, nullptr);
}

TEST_F(EventThreadTest, AThreadWithoutHandleEndsWithoutTheStarterWaitingItsBound)
{
  HANDLE hHandle = DevInfo()->hHandle;
  DevInfo()->hHandle = nullptr;
  Start();
  DevInfo()->hHandle = hHandle;
  EXPECT_TRUE(ThreadEnded(0));
  EXPECT_TRUE(m_Trace.Contains("hHandle is NULL"));
  EXPECT_FALSE(m_Trace.Contains("didn't start within a minute"));
  EXPECT_EQ(SimDrvRequestCount(), 0u);
}

// ---- Hardware-event walks -------------------------------------------------------------

// Each call of the walk: the pair it was given, and whether the list's mutex,
// the record's lock and the device's lock were held, and the value was 0.
struct WalkCall {
  tDevice* pDevice;
  void* pHWEvent;
  bool bHeldAsExpected;
};
std::vector<WalkCall> s_Calls;
std::vector<LONG> s_RecordHoldsAtGetDevice;
RefHost* s_pWalkHost = nullptr;
PFN_HOST_GET_DEVICE s_pfnGetDevice = nullptr;

DWORD WINAPI TryMutex(void* hMutex)
{
  DWORD dw = WaitForSingleObject(hMutex, 0);
  if (dw == WAIT_OBJECT_0 || dw == WAIT_ABANDONED) {
    ReleaseMutex(hMutex);
  }
  return dw;
}

// Does some thread own the list's mutex (as seen from a fresh thread)?
bool ListMutexHeld()
{
  HANDLE hThread = CreateThread(nullptr, 0, TryMutex, s_pWalkHost->Main.hHWEventListMutex, 0, nullptr);
  WaitForSingleObject(hThread, WAIT_MS);
  DWORD dwResult = 0;
  GetExitCodeThread(hThread, &dwResult);
  CloseHandle(hThread);
  return dwResult == WAIT_TIMEOUT;
}

LONG ListedRecordHolds()
{
  LONG lSum = 0;
  for (auto* p = static_cast<tHWEvent*>(s_pWalkHost->Main.pHWEventList); p != nullptr; p = p->pNext) {
    lSum += p->RemoveLock.lLock;
  }
  return lSum;
}

tDevice* WatchedGetDevice(ULONG ulUmdIndex, ULONG ulLockId, ULONG ulDuid)
{
  s_RecordHoldsAtGetDevice.push_back(ListedRecordHolds());
  return s_pfnGetDevice(ulUmdIndex, ulLockId, ulDuid);
}

LD_STATUS RecordCall(tDevice* pDevice, void* pHWEvent, ULONG ulValue)
{
  bool bHeld = ulValue == 0 && static_cast<tHWEvent*>(pHWEvent)->RemoveLock.lLock == 1 &&
               pDevice->RemoveLock[UMD_MOUFILT].lLock == 1 && ListMutexHeld();
  s_Calls.push_back({ pDevice, pHWEvent, bHeld });
  return LD_SUCCESS;
}

TEST_F(EventThreadTest, ParseEventListVisitsThePlugInsEventsUnderListRecordAndDeviceLocks)
{
  tDevice* pOther = RefHostAddSimDevice(m_pHost, "\\\\?\\HID#VID_1A2B&PID_0007#event#mouse1");
  ASSERT_NE(pOther, nullptr);
  constexpr ULONG MOU = 1u << UMD_MOUFILT;
  tHWEvent* pFirst = RefHostAddHWEvent(m_pHost, m_pDevice->DUID, m_pDevice->DeviceKey, 0x1000007, MOU);
  tHWEvent* pNotOurs = RefHostAddHWEvent(m_pHost, m_pDevice->DUID, m_pDevice->DeviceKey, 0x1000007, 1u << 3);
  tHWEvent* pRefused = RefHostAddHWEvent(m_pHost, pOther->DUID, pOther->DeviceKey, 0x1000007, MOU | 1u << 3);
  tHWEvent* pNoDevice = RefHostAddHWEvent(m_pHost, 0xBAD, 0, 0x1000007, MOU);
  tHWEvent* pLast = RefHostAddHWEvent(m_pHost, pOther->DUID, pOther->DeviceKey, 0x1000007, MOU);
  ASSERT_TRUE(pFirst && pNotOurs && pRefused && pNoDevice && pLast);
  pRefused->RemoveLock.lRemove = 1;   // its removal is under way

  s_Calls.clear();
  s_RecordHoldsAtGetDevice.clear();
  s_pWalkHost = m_pHost;
  s_pfnGetDevice = reinterpret_cast<PFN_HOST_GET_DEVICE>(m_pHost->Api[HOST_GET_DEVICE]);
  m_pHost->Api[HOST_GET_DEVICE] = reinterpret_cast<ULONG_PTR>(&WatchedGetDevice);
  UmdParseEventList(&m_Global, RecordCall);
  m_pHost->Api[HOST_GET_DEVICE] = reinterpret_cast<ULONG_PTR>(s_pfnGetDevice);

  ASSERT_EQ(s_Calls.size(), 2u);
  EXPECT_EQ(s_Calls[0].pDevice, m_pDevice);
  EXPECT_EQ(s_Calls[0].pHWEvent, pFirst);
  EXPECT_EQ(s_Calls[1].pDevice, pOther);
  EXPECT_EQ(s_Calls[1].pHWEvent, pLast);
  EXPECT_TRUE(s_Calls[0].bHeldAsExpected && s_Calls[1].bHeldAsExpected);
  // The device is asked for (and locked) only with its record already held.
  EXPECT_EQ(s_RecordHoldsAtGetDevice, (std::vector<LONG>{ 1, 1, 1 }));
  EXPECT_EQ(m_Trace.Count("Failed to get HWEvent remove lock."), 1u);
  EXPECT_TRUE(m_Trace.Contains("assert pDevice"));
  EXPECT_EQ(ListedRecordHolds(), 0);
  EXPECT_EQ(m_pDevice->RemoveLock[UMD_MOUFILT].lLock + pOther->RemoveLock[UMD_MOUFILT].lLock, 0);
  EXPECT_FALSE(ListMutexHeld());

  // Without the list's mutex nothing is walked.
  HANDLE hMutex = m_pHost->Main.hHWEventListMutex;
  m_pHost->Main.hHWEventListMutex = nullptr;
  UmdParseEventList(&m_Global, RecordCall);
  m_pHost->Main.hHWEventListMutex = hMutex;
  EXPECT_EQ(s_Calls.size(), 2u);
  EXPECT_TRUE(m_Trace.Contains("Failed to get HWEvent mutex."));
}

BOOL RefuseAll(const tSWEvent*) { return FALSE; }
BOOL OnlyFlagged(const tSWEvent* p) { return (p->ulFlags & SW_EVENT_MODE_FLAG) != 0; }

TEST_F(EventThreadTest, SniffModeStateSummarisesTheCountedEntries)
{
  struct {
    std::vector<ULONG> Flags;
    PFN_SW_EVENT_FILTER pfnFilter;
    ULONG ulExpected;
  } const Cases[] = {
    { { 0x10, 0x01 }, nullptr, 3 },   { { 0x11, 0x30 }, nullptr, 1 }, { { 0x00, 0x0F }, nullptr, 2 },
    { {}, nullptr, 0 },               { { 0x10, 0x01 }, RefuseAll, 0 }, { { 0x10, 0x01 }, OnlyFlagged, 1 },
  };
  for (const auto& c : Cases) {
    tHWEvent* pHWEvent = RefHostAddHWEvent(m_pHost, m_pDevice->DUID, m_pDevice->DeviceKey, 0x1000007, 1u << UMD_MOUFILT);
    ASSERT_NE(pHWEvent, nullptr);
    for (ULONG ulFlags : c.Flags) {
      ASSERT_NE(RefHostAddSWEvent(m_pHost, pHWEvent, ulFlags), nullptr);
    }
    EXPECT_EQ(SniffModeState(pHWEvent, c.pfnFilter), c.ulExpected);
    EXPECT_TRUE(RefHostRemoveHWEvent(m_pHost, pHWEvent));
  }
  EXPECT_EQ(SniffModeState(nullptr, nullptr), 0u);
}

}  // namespace
