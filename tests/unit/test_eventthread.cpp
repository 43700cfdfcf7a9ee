// Device event thread on the reference host's simulated devices; hardware-event walks.
#include <gtest/gtest.h>

#include <windows.h>

#include <numeric>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "framework/UmdMgr.h"
#include "host/RefHost.h"
#include "host/RefHostEvents.h"
#include "plugin/Mou.h"
#include "simdrv/SimDrv.h"
#include "tests/unit/TestSupport.h"

namespace {

constexpr DWORD WAIT_MS = 10000;   // generous: only a fault reaches it
constexpr ULONG CHORD[2] = { 3112, 1 };
using Packets = std::vector<std::vector<BYTE>>;

// What the event callback saw (read after hDelivered, auto-reset, or after the thread ended) and the
// device's lock then; a callback with a gate signals hInside and waits for the gate.
struct Delivery { Packets packets; LONG lLockAtCall; HANDLE hDelivered, hInside, hGate; } s_Delivery;

BOOL TestProcessEvent(tDevice* pDevice, const void* pBuffer, ULONG ulBytes)
{
  s_Delivery.packets.emplace_back(static_cast<const BYTE*>(pBuffer), static_cast<const BYTE*>(pBuffer) + ulBytes);
  s_Delivery.lLockAtCall = pDevice->RemoveLock[UMD_MOUFILT].lLock;
  SetEvent(s_Delivery.hDelivered);
  if (s_Delivery.hGate != nullptr) SetEvent(s_Delivery.hInside), WaitForSingleObject(s_Delivery.hGate, INFINITE);
  return TRUE;
}

// A simulated host device, and a framework instance built around the test's callback.
class EventThreadTest : public testing::Test {
protected:
  void SetUp() override
  {
    SimDrvReset();
    ASSERT_TRUE(RefHostInit(m_pHost));
    m_pDevice = RefHostAddSimDevice(m_pHost, "\\\\?\\HID#VID_1A2B&PID_0007#event#mouse0");
    ASSERT_NE(m_pDevice, nullptr);
    m_ulSim = RefHostSimDeviceOf(m_pHost, m_pDevice);
    m_Global.pDevMgrApi = m_pHost->Api, m_Global.ulUmdIndex = UMD_MOUFILT;
    m_Global.pUmdCallbackGetDevInfo = UmdCallbackGetDevInfo, m_Global.pUmdCallbackProcessEvent = TestProcessEvent;
    s_Delivery = { {}, -1, CreateEventA(nullptr, FALSE, FALSE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr),
                   nullptr };
    UmdSetEventThreadBounds(WAIT_MS, WAIT_MS);
    SimDrvClearRequests();
  }
  void TearDown() override
  {
    UmdStopEventThread(&m_Global, m_pDevice);
    UmdSetEventThreadBounds(0, 0);
    for (HANDLE h : { s_Delivery.hDelivered, s_Delivery.hInside, s_Delivery.hGate }) h != nullptr && CloseHandle(h);
    RefHostShutdown(m_pHost);
    SimDrvReset();
  }
  UmdDevInfo* DevInfo() { return RefHostDevInfo(m_pDevice); }
  void Start() { ASSERT_TRUE(UmdStartEventThread(&m_Global, m_pDevice, DevInfo())); }
  void Stop() { UmdStopEventThread(&m_Global, m_pDevice); }
  bool ThreadEnded(DWORD dwMs = WAIT_MS) { return WaitForSingleObject(DevInfo()->hEventThread, dwMs) == WAIT_OBJECT_0; }
  bool Delivered() { return WaitForSingleObject(s_Delivery.hDelivered, WAIT_MS) == WAIT_OBJECT_0; }
  // Waits until the thread's read is outstanding at the driver.
  bool ReadPending()
  {
    ULONGLONG ullEnd = GetTickCount64() + WAIT_MS;
    while (SimDrvPendingCount(m_ulSim) != 1 && GetTickCount64() < ullEnd) Sleep(1);
    return SimDrvPendingCount(m_ulSim) == 1;
  }
  // Ends the outstanding read with the given answer once it is there.
  bool CompleteRead(DWORD dwError, ULONG ulReturned) { return ReadPending() && SimDrvCompleteRead(m_ulSim, dwError, ulReturned); }
  bool Queue(const void* p, ULONG cb) { return SimDrvQueueEvent(m_ulSim, p, cb) && Delivered(); }
  // Reads of the event code with no input and 100 bytes of room.
  ULONG EventReads()
  {
    ULONG ulCount = 0;
    SimDrvRequest r{};
    for (ULONG i = 0; SimDrvGetRequest(i, &r); ++i) {
      ulCount += r.ulDevice == m_ulSim && r.dwIoctl == 0x0022040C && r.ulInSize == 0 && r.ulOutSize == 100;
    }
    return ulCount;
  }
  LONG Lock(tDevice* pDevice) { return pDevice->RemoveLock[UMD_MOUFILT].lLock; }

  RefHost* m_pHost = RefHostGet();
  tDevice* m_pDevice = nullptr;
  ULONG m_ulSim = 0;
  UmdGlobal m_Global{};
  TraceCapture m_Trace;
};

TEST_F(EventThreadTest, PacketsReachTheCallbackWithTheirBytesUnderTheRemoveLock)
{
  // The first is waiting when the read is issued, the second comes while it is pending.
  const BYTE First[8] = { 0x28, 0x0C, 0, 0, 1, 0, 0, 0 };
  BYTE Second[100];
  std::iota(Second, Second + sizeof Second, BYTE{ 1 });
  ASSERT_TRUE(SimDrvQueueEvent(m_ulSim, First, sizeof First));
  Start();
  ASSERT_TRUE(Delivered());
  Start();   // a second start starts nothing: a second reader would leave two reads pending
  ASSERT_TRUE(ReadPending() && Queue(Second, sizeof Second) && ReadPending());
  EXPECT_EQ(s_Delivery.packets, (Packets{ { First, First + 8 }, { Second, Second + 100 } }));
  EXPECT_EQ(s_Delivery.lLockAtCall, 1);
  EXPECT_TRUE(EventReads() == 3 && SimDrvRequestCount() == 3);   // the third is outstanding
}

// Failed reads and oversized ones are not delivered and share one count, which a delivery
// resets: four keep the thread, the fifth (here one the driver fails at once) ends it.
TEST_F(EventThreadTest, FourFailuresKeepTheThreadADeliveryResetsTheCountTheFifthEndsIt)
{
  Start();
  for (auto [dwError, ulReturned] : { std::pair<DWORD, ULONG>{ 0, 101 }, { 0, 0x10000 }, { ERROR_MORE_DATA, 100 },
                                      { ERROR_GEN_FAILURE, 8 } }) {
    ASSERT_TRUE(CompleteRead(dwError, ulReturned)) << dwError << " " << ulReturned;
  }
  ASSERT_TRUE(ReadPending() && Queue(CHORD, sizeof CHORD));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(CompleteRead(ERROR_GEN_FAILURE, 0)) << i;
  ASSERT_TRUE(ReadPending());   // the fourth ends a pending read, the fifth fails the read at once
  SimDrvSetMode(m_ulSim, SIMDRV_FAIL, ERROR_GEN_FAILURE, 0);
  ASSERT_TRUE(SimDrvCompleteRead(m_ulSim, ERROR_GEN_FAILURE, 0) && ThreadEnded());
  EXPECT_EQ(s_Delivery.packets, (Packets{ { (const BYTE*)CHORD, (const BYTE*)CHORD + 8 } }));
  EXPECT_EQ(m_Trace.Count("event read returned"), 2u);
  EXPECT_EQ(EventReads(), 10u);
  EXPECT_EQ(m_Trace.Count("Event thread got 5 errors in a row, so bailing out of event thread"), 1u);
}

// Completions that end the thread at once, without a bail-out line: the
// device is gone or going. Without a handle it ends before its first read.
TEST_F(EventThreadTest, RemovalDeniedAccessAbortARefusedLockOrNoHandleEndTheThreadAtOnce)
{
  struct { DWORD dwError; ULONG ulReturned; bool bRemovalPending; } const Cases[] = {
      { ERROR_DEVICE_NOT_CONNECTED, 0, false }, { ERROR_ACCESS_DENIED, 0, false }, { ERROR_OPERATION_ABORTED, 0, false },
      { 0, 8, true } };
  for (const auto& c : Cases) {
    SimDrvClearRequests(), m_Trace.Clear();
    m_pDevice->RemoveLock[UMD_MOUFILT].lRemove = c.bRemovalPending;
    Start();
    ASSERT_TRUE(CompleteRead(c.dwError, c.ulReturned) && ThreadEnded()) << c.dwError;
    EXPECT_TRUE(EventReads() == 1 && s_Delivery.packets.empty() && !m_Trace.Contains("in a row")) << c.dwError;
    EXPECT_EQ(m_Trace.Contains("Could not acquire LOCK_UmdProcessEvent, so bailing out"), c.bRemovalPending);
    Stop();
  }
  m_pDevice->RemoveLock[UMD_MOUFILT].lRemove = 0;
  HANDLE hHandle = std::exchange(DevInfo()->hHandle, nullptr);
  Start();
  DevInfo()->hHandle = hHandle;
  EXPECT_TRUE(ThreadEnded(0));   // the starter waited for it, not for its bound
  EXPECT_TRUE(m_Trace.Contains("hHandle is NULL") && !m_Trace.Contains("didn't start within a minute"));
}

// Each stop cancels the read and the thread ends by itself; nothing is left.
TEST_F(EventThreadTest, StartStopCyclesCancelTheReadAndLeaveHandleAndThreadCounts)
{
  auto cycle = [&] {
    SimDrvClearRequests();
    Start();
    ASSERT_TRUE(Queue(CHORD, sizeof CHORD) && ReadPending());
    Stop();
    EXPECT_EQ(SimDrvPendingCount(m_ulSim), 0u);
    EXPECT_TRUE(DevInfo()->hEventThread == nullptr && DevInfo()->hEventThreadStopEvent == nullptr);
  };
  cycle();   // the driver's worker thread starts once
  const DWORD dwHandles = TestHandleCount();
  const ULONG ulThreads = TestThreadCount();
  for (int i = 0; i < 3; ++i) cycle();
  EXPECT_TRUE(TestHandleCount() == dwHandles && TestThreadCount() == ulThreads);
  EXPECT_FALSE(m_Trace.Contains("TerminateThread"));
}

// A callback blocked past the stop's bound is terminated and its lock given back. A read
// that ignores its cancel may still be written: its buffer and record are left, not freed.
TEST_F(EventThreadTest, ABlockedCallbackIsTerminatedAReadOutlivingItsCancelKeepsItsStorage)
{
  s_Delivery.hGate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Start();
  ASSERT_TRUE(SimDrvQueueEvent(m_ulSim, CHORD, sizeof CHORD));
  ASSERT_EQ(WaitForSingleObject(s_Delivery.hInside, WAIT_MS), WAIT_OBJECT_0);
  EXPECT_EQ(Lock(m_pDevice), 1);
  UmdSetEventThreadBounds(WAIT_MS, 200);
  Stop();
  EXPECT_TRUE(m_Trace.Contains("Event thread didn't terminate within one minute (wait=258), will force termination"));
  EXPECT_TRUE(m_Trace.Contains("UmdStopEventThread calling TerminateThread"));
  EXPECT_TRUE(m_Trace.Contains("Event thread ended holding LOCK_UmdProcessEvent"));
  EXPECT_TRUE(Lock(m_pDevice) == 0 && DevInfo()->hEventThread == nullptr);

  UmdSetEventThreadBounds(WAIT_MS, WAIT_MS);
  SimDrvSetMode(m_ulSim, SIMDRV_IGNORE_CANCEL, 0, 0);
  m_Trace.Clear();
  Start();
  ASSERT_TRUE(ReadPending());
  Stop();
  EXPECT_TRUE(m_Trace.Contains("never ended; its event") && !m_Trace.Contains("TerminateThread"));
  EXPECT_EQ(SimDrvPendingCount(m_ulSim), 1u);   // ended when the host closes the handle
}

// ---- Hardware-event walks -------------------------------------------------------------

// Each call of the walk: its pair, and whether the value was 0 and the record's and device's
// locks and the list's mutex (seen from another thread) were held.
using WalkCall = std::tuple<tDevice*, void*, bool>;
std::vector<WalkCall> s_Calls;
HANDLE s_hWalkMutex = nullptr;

bool ListMutexHeld()
{
  DWORD dw = 0;
  std::thread([&] { (dw = WaitForSingleObject(s_hWalkMutex, 0)) != WAIT_TIMEOUT && ReleaseMutex(s_hWalkMutex); }).join();
  return dw == WAIT_TIMEOUT;
}

LD_STATUS RecordCall(tDevice* pDevice, void* pHWEvent, ULONG ulValue)
{
  s_Calls.emplace_back(pDevice, pHWEvent, ulValue == 0 && static_cast<tHWEvent*>(pHWEvent)->RemoveLock.lLock == 1 &&
                                              pDevice->RemoveLock[UMD_MOUFILT].lLock == 1 && ListMutexHeld());
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
  s_hWalkMutex = m_pHost->Main.hHWEventListMutex;
  UmdParseEventList(&m_Global, RecordCall);
  EXPECT_EQ(s_Calls, (std::vector<WalkCall>{ { m_pDevice, pFirst, true }, { pOther, pLast, true } }));
  EXPECT_EQ(m_Trace.Count("Failed to get HWEvent remove lock."), 1u);
  EXPECT_TRUE(m_Trace.Contains("assert pDevice"));
  LONG lHeld = 0;
  for (tHWEvent* p : { pFirst, pNotOurs, pRefused, pNoDevice, pLast }) lHeld += p->RemoveLock.lLock;
  EXPECT_TRUE(lHeld == 0 && Lock(m_pDevice) == 0 && Lock(pOther) == 0 && !ListMutexHeld());

  // Without the list's mutex nothing is walked.
  HANDLE hMutex = std::exchange(m_pHost->Main.hHWEventListMutex, nullptr);
  UmdParseEventList(&m_Global, RecordCall);
  m_pHost->Main.hHWEventListMutex = hMutex;
  EXPECT_TRUE(s_Calls.size() == 2u && m_Trace.Contains("Failed to get HWEvent mutex."));
}

}  // namespace
