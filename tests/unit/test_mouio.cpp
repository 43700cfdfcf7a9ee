// Settings handlers against the simulated driver; the driver lane runs the same
// settings table through the production DLL.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "tests/shared/SettingsTable.h"
#include "tests/unit/BoundHost.h"
#include "tests/unit/TestSupport.h"

namespace {

const char kMouse1[] = "\\\\?\\HID#VID_1A2B&PID_0001#test#mouse1";
const char kKeyboard[] = "\\\\?\\HID#VID_1A2B&PID_0003#test#kbd0";
const char kForeign[] = "\\\\?\\HID#VID_1A2B&PID_0004#test#other0";

// The requests at the driver, of one device or of all, oldest first.
std::vector<LaneRequest> SimRequests(ULONG ulDevice = 0)
{
  std::vector<LaneRequest> requests;
  SimDrvRequest r = {};
  for (ULONG i = 0; SimDrvGetRequest(i, &r); ++i) {
    Words in(r.ulInSize / 4);
    memcpy(in.data(), r.In, in.size() * 4);
    if (ulDevice == 0 || r.ulDevice == ulDevice) requests.push_back({ r.dwIoctl, in, r.ulOutSize });
  }
  return requests;
}
// Their input words; a get is its identifier alone.
std::vector<Words> SimIo(ULONG ulDevice = 0)
{
  std::vector<Words> io;
  for (const LaneRequest& r : SimRequests(ulDevice)) io.push_back(r.in);
  return io;
}

// The settings table's view of the simulated driver's mouse.
ULONG s_ulLaneMouse = 0;
const LaneDriver kSimLane = {
  [](DWORD dwError) { SimDrvSetMode(s_ulLaneMouse, dwError ? SIMDRV_FAIL : SIMDRV_COMPLETE_AT_ONCE, dwError, 0); },
  [](ULONG ulParam, const void* p, ULONG ulSize) { EXPECT_TRUE(SimDrvSetParam(s_ulLaneMouse, ulParam, p, ulSize)); },
  [](ULONG ulParam, ULONG ulLength) { SimDrvSetReplyLength(s_ulLaneMouse, ulParam, ulLength); },
  SimDrvClearRequests,
  [] { return SimRequests(); },
};

// Logs every access (address, write) to two no-access pages: the access
// violation is recorded, the pages are opened for one instruction (single
// step) and closed again.
BYTE* s_pPages = nullptr;
std::pair<ULONG_PTR, bool> s_aLog[4096];
LONG s_lLogged = 0;
bool s_bStepping = false;
// Another process's write, made right after ours to this address.
ULONG_PTR s_ulScribbleAt = 0;
ULONG s_ulScribble = 0;

LONG CALLBACK PageTracer(EXCEPTION_POINTERS* p)
{
  DWORD dwOld;
  const EXCEPTION_RECORD* r = p->ExceptionRecord;
  if (r->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && s_pPages != nullptr &&
      r->ExceptionInformation[1] - (ULONG_PTR)s_pPages < 8192) {
    if (s_lLogged < 4096) s_aLog[s_lLogged++] = { r->ExceptionInformation[1], r->ExceptionInformation[0] == 1 };
    VirtualProtect(s_pPages, 8192, PAGE_READWRITE, &dwOld);
    p->ContextRecord->EFlags |= 0x100;
    s_bStepping = true;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (r->ExceptionCode == EXCEPTION_SINGLE_STEP && s_bStepping) {
    s_bStepping = false;
    if (s_aLog[s_lLogged - 1] == std::make_pair(s_ulScribbleAt, true)) *(ULONG*)s_ulScribbleAt = s_ulScribble;
    VirtualProtect(s_pPages, 8192, PAGE_NOACCESS, &dwOld);
    p->ContextRecord->EFlags &= ~0x100u;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}
template <class F> void Traced(F f)
{
  DWORD dwOld;
  s_lLogged = 0;
  VirtualProtect(s_pPages, 8192, PAGE_NOACCESS, &dwOld);
  f();
  VirtualProtect(s_pPages, 8192, PAGE_READWRITE, &dwOld);
}

// The linked plug-in code bound to the host, with one simulated mouse.
class MouIoTest : public BoundHostTest {
protected:
  tDevice* pMouse = nullptr;
  ULONG ulSim = 0;

  void SetUp() override
  {
    BoundHostTest::SetUp();
    pMouse = RefHostAddSimDevice(pHost, "\\\\?\\HID#VID_1A2B&PID_0001#test#mouse0");
    ASSERT_NE(pMouse, nullptr);
    ulSim = RefHostSimDeviceOf(pHost, pMouse);
    SimDrvClearRequests();
  }
};

}  // namespace

TEST_F(MouIoTest, SettingsReachTheDriverExactly)
{
  tDevice* pKeyboard = RefHostAddSimDevice(pHost, kKeyboard, LD_DEVICETYPE_KEYBOARD);
  ASSERT_NE(pKeyboard, nullptr);
  TraceCapture capture;
  s_ulLaneMouse = ulSim;
  RunSettingsTable(pHost, pMouse, pKeyboard, kSimLane, &capture, nullptr);
}

// A device record placed so that one slot's size word ends the first page and
// its points begin the second: the size is read once per get, and a set has
// its points in place before the size that announces them.
TEST_F(MouIoTest, CurveSlotSizeIsReadOnceAndWrittenAfterThePoints)
{
  s_pPages = static_cast<BYTE*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(s_pPages, nullptr);
  ULONG k = 0;
  ULONG_PTR ulDevice = 0;
  for (; k < CURVE_COUNT; ++k) {
    ulDevice = (ULONG_PTR)s_pPages + 4096 - 4 - offsetof(tDevice, AccelCurves) - k * sizeof(tAccelCurveSlot);
    if (ulDevice % alignof(tDevice) == 0) break;
  }
  ASSERT_LT(k, CURVE_COUNT);
  auto* pDevice = reinterpret_cast<tDevice*>(ulDevice);
  pDevice->ulDeviceType = LD_DEVICETYPE_MOUSE;
  tAccelCurveSlot& slot = pDevice->AccelCurves[k];
  const ULONG_PTR ulSizeWord = (ULONG_PTR)&slot.ulCurveSize, ulPoints = (ULONG_PTR)slot.CurveData;
  ASSERT_EQ(ulPoints, (ULONG_PTR)s_pPages + 4096);
  PVOID pHandler = AddVectoredExceptionHandler(1, PageTracer);

  MouCurveRecord curve = { 140, k + 1, 3, { 7, 8, 9 } };
  ULONG ulSize = 0;
  Traced([&] { MouIoSetAccelerationTable(pDevice, &curve, &ulSize); });
  LONG lFirstSizeWrite = -1, lLastPointWrite = -1;
  for (LONG i = 0; i < s_lLogged; ++i) {
    if (s_aLog[i] == std::make_pair(ulSizeWord, true) && lFirstSizeWrite < 0) lFirstSizeWrite = i;
    if (s_aLog[i].second && s_aLog[i].first - ulPoints < 128) lLastPointWrite = i;
  }
  ASSERT_GE(lLastPointWrite, 0);
  EXPECT_GT(lFirstSizeWrite, lLastPointWrite);
  EXPECT_EQ(slot.ulCurveSize, 12u);

  // Emptied, the slot is refilled with the default; another process then
  // writes a size past the slot, which must not be copied. A size already
  // past the slot when read is not copied either.
  MouCurveRecord back[2];
  memset(&back[1], 0x5A, sizeof back[1]);
  TraceCapture capture;
  for (ULONG ulSlotSize : { 0u, 0x1000u }) {
    slot.ulCurveSize = ulSlotSize;
    back[0] = { 140, k + 1, 0, {} };
    s_ulScribbleAt = ulSlotSize == 0 ? ulSizeWord : 0;
    s_ulScribble = CURVE_MAX_BYTES + 8;
    Traced([&] { EXPECT_EQ(MouIoGetAccelerationTable(pDevice, &back[0], &ulSize), (LD_STATUS)LD_SUCCESS); });
    EXPECT_EQ(std::count(s_aLog, s_aLog + s_lLogged, std::make_pair(ulSizeWord, false)), 1);
    EXPECT_EQ(Words(back[0].Points, back[0].Points + back[0].ulPoints), DefaultPoints(k + 1));
    EXPECT_EQ(back[1].ulSize, 0x5A5A5A5Au);
  }
  EXPECT_TRUE(capture.Contains("more than the slot (128)"));
  s_ulScribbleAt = 0;

  RemoveVectoredExceptionHandler(pHandler);
  VirtualFree(s_pPages, 0, MEM_RELEASE);
  s_pPages = nullptr;
}

TEST_F(MouIoTest, DriverTypeAndDirectCallsGoOnlyToServedDevices)
{
  tDevice* pMouse1 = RefHostAddSimDevice(pHost, kMouse1);
  tDevice* pKeyboard = RefHostAddSimDevice(pHost, kKeyboard, LD_DEVICETYPE_KEYBOARD);
  tDevice* pForeign = RefHostAddSimDevice(pHost, kForeign, LD_DEVICETYPE_MOUSE, UMD_HIDFILT_POWER);
  ASSERT_TRUE(pMouse1 != nullptr && pKeyboard != nullptr && pForeign != nullptr);
  ULONG64 ulInUse = reinterpret_cast<ULONG_PTR>(pHost->Main.hInUseEvent);
  ASSERT_NE(ulInUse, 0u);
  // Type, then processing and the in-use event sent to each served mouse.
  const struct { ULONG ulType, ulProcessing; ULONG64 ulHandle; } cases[] = { { 0, 3, 0 }, { 1, 0x30000, 0 },
                                                                           { 2, 0x30000, ulInUse } };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ulType);
    SimDrvClearRequests();
    MouValueRecord type = { 8, c.ulType };
    ULONG ulSize = 0xDEAD;
    EXPECT_EQ(RefHostDeviceControl(pHost, nullptr, LD_SET_MOUSE_DRIVER_TYPE, &type, &ulSize), (LD_STATUS)LD_SUCCESS);
    EXPECT_EQ(ulSize, 0u);
    for (ULONG ulDevice : { ulSim, RefHostSimDeviceOf(pHost, pMouse1) }) {
      EXPECT_EQ(SimIo(ulDevice),
                (std::vector<Words>{ { ID_PARAM_PROCESSING, c.ulProcessing },
                                     { ID_PARAM_IN_USE_EVENT, (ULONG)c.ulHandle, (ULONG)(c.ulHandle >> 32) } }));
    }
    EXPECT_EQ(SimIo().size(), 4u);   // the keyboard and the other plug-in's mouse get nothing
  }

  // Called without the host's lock: another plug-in's device gets nothing; our
  // mouse gets its request, with an assertion.
  SimDrvClearRequests();
  TraceCapture capture;
  MouSpeedRecord speed = { 12, 50, 50 };   // a chording delay of 50 as well
  ULONG ulSize;
  EXPECT_EQ(MouDeviceControl(pForeign, LD_SET_CHORDING_PARMS, &speed, &ulSize, 0), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(MouDeviceControl(pMouse, LD_SET_MOUSE_SPEED, &speed, &ulSize, 0), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(SimIo(), (std::vector<Words>{ { ID_PARAM_POINTER_SPEED, 0x10001000 } }));
  EXPECT_TRUE(capture.Contains("MouIoSetSpeed - MouIo.cpp line"));
  EXPECT_EQ(capture.Count("assert IsRemoveLockOwned( UMD_MOUFILT, pDevice )"), 1u);
}

TEST_F(MouIoTest, HandlersRunAtOnceOnOneDeviceAndOnSeveral)
{
  tDevice* pMouse1 = RefHostAddSimDevice(pHost, kMouse1);
  ASSERT_NE(pMouse1, nullptr);
  SimDrvSetMode(ulSim, SIMDRV_COMPLETE_LATER, 0, 1);   // overlapped answers from the driver's thread
  SimDrvClearRequests();
  // Each worker sets its own speed and reads back a speed some worker set.
  struct Worker { RefHost* pHost; tDevice* pDevice; ULONG ulSpeed; LONG lFailures; } workers[4] = {
    { pHost, pMouse, 25, 0 }, { pHost, pMouse, 50, 0 }, { pHost, pMouse1, 75, 0 }, { pHost, pMouse1, 100, 0 }
  };
  HANDLE threads[4];
  for (int i = 0; i < 4; ++i) {
    threads[i] = CreateThread(nullptr, 0, [](void* pContext) -> DWORD {
      auto* w = static_cast<Worker*>(pContext);
      for (int i = 0; i < 100; ++i) {
        MouSpeedRecord speed = { 12, w->ulSpeed, w->ulSpeed };
        ULONG ulSize = 0;
        bool bOk = RefHostDeviceControl(w->pHost, w->pDevice, LD_SET_MOUSE_SPEED, &speed, &ulSize) == LD_SUCCESS;
        speed = { 12, 0, 0 };
        bOk = bOk && RefHostDeviceControl(w->pHost, w->pDevice, LD_GET_MOUSE_SPEED, &speed, &ulSize) == LD_SUCCESS &&
              ulSize == 12 && speed.ulSpeedX == speed.ulSpeedY && speed.ulSpeedX != 0;
        if (!bOk) InterlockedIncrement(&w->lFailures);
      }
      return 0;
    }, &workers[i], 0, nullptr);
  }
  EXPECT_EQ(WaitForMultipleObjects(4, threads, TRUE, 60000), (DWORD)WAIT_OBJECT_0);
  for (int i = 0; i < 4; ++i) {
    CloseHandle(threads[i]);
    EXPECT_EQ(workers[i].lFailures, 0) << i;
  }
  for (ULONG ulDevice : { ulSim, RefHostSimDeviceOf(pHost, pMouse1) }) EXPECT_EQ(SimIo(ulDevice).size(), 400u);
  EXPECT_EQ(std::make_pair(pMouse->RemoveLock[UMD_MOUFILT].lLock, SimDrvPendingCount(0)), std::make_pair(0L, 0UL));
}
