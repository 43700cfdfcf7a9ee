// Settings handlers against the simulated driver: the exact requests at the
// driver, the records handed back and the lines a reader depends on. One table
// of settings cases runs through the code linked into this program and through
// bin\DRAVMOU.dll's exports, whose lines must reach its log file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/Trace.h"
#include "framework/UmdMgr.h"
#include "host/RefHost.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "simdrv/SimDrv.h"
#include "tests/shared/SettingsTable.h"
#include "tests/unit/TestSupport.h"

namespace {

const char kMouse0[] = "\\\\?\\HID#VID_1A2B&PID_0001#test#mouse0";
const char kMouse1[] = "\\\\?\\HID#VID_1A2B&PID_0001#test#mouse1";
const char kKeyboard[] = "\\\\?\\HID#VID_1A2B&PID_0003#test#kbd0";
const char kForeign[] = "\\\\?\\HID#VID_1A2B&PID_0004#test#other0";

Words InWords(const SimDrvRequest& r)
{
  Words w(r.ulInSize / 4);
  memcpy(w.data(), r.In, w.size() * 4);
  return w;
}
// The input words of the requests at the driver, of one device or of all; a
// get is its identifier alone.
std::vector<Words> SimIo(ULONG ulDevice = 0)
{
  std::vector<Words> io;
  SimDrvRequest r = {};
  for (ULONG i = 0; SimDrvGetRequest(i, &r); ++i) {
    if (ulDevice == 0 || r.ulDevice == ulDevice) io.push_back(InWords(r));
  }
  return io;
}

// The settings table's view of the simulated driver's mouse.
ULONG s_ulLaneMouse = 0;
LaneDriver SimLane()
{
  LaneDriver lane;
  lane.pfnFailAll = [](DWORD dwError) { SimDrvSetMode(s_ulLaneMouse, dwError ? SIMDRV_FAIL : SIMDRV_COMPLETE_AT_ONCE, dwError, 0); };
  lane.pfnStore = [](ULONG ulParam, const void* pValue, ULONG ulSize) {
    EXPECT_TRUE(SimDrvSetParam(s_ulLaneMouse, ulParam, pValue, ulSize));
  };
  lane.pfnReplyLength = [](ULONG ulParam, ULONG ulLength) { SimDrvSetReplyLength(s_ulLaneMouse, ulParam, ulLength); };
  lane.pfnClearRequests = SimDrvClearRequests;
  lane.pfnRequests = [] {
    std::vector<LaneRequest> requests;
    SimDrvRequest r = {};
    for (ULONG i = 0; SimDrvGetRequest(i, &r); ++i) requests.push_back({ r.dwIoctl, InWords(r), r.ulOutSize });
    return requests;
  };
  return lane;
}

MouCurveRecord Curve(ULONG ulCurve, const Words& points = {})
{
  MouCurveRecord c = {};
  Words w = CurveWords(ulCurve, points);
  memcpy(&c, w.data(), w.size() * 4);
  return c;
}

// The message window's class outlives the DLL that registers it first:
// registered by the linked copy, it stays usable after the DLL is unloaded.
void RegisterWindowClassHere()
{
  WNDCLASSA wc = {};
  if (!GetClassInfoA(GetModuleHandleA(nullptr), MOU_WINDOW_CLASS, &wc)) {
    wc.lpfnWndProc = UmdWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = MOU_WINDOW_CLASS;
    RegisterClassA(&wc);
  }
}

class MouIoTest : public testing::Test {
protected:
  RefHost* pHost = nullptr;
  RefHostPlugin plugin = {};
  tDevice* pMouse = nullptr;
  ULONG ulSim = 0;
  bool bBound = false;
  std::string sLogPath;   // the DLL's log file

  void SetUp() override { Bind(false); }
  // bDll: the host binds bin\DRAVMOU.dll, which logs to sLogPath, instead of the linked code.
  void Bind(bool bDll)
  {
    SimDrvReset();
    pHost = RefHostGet();
    if (bDll) {
      RegisterWindowClassHere();
      sLogPath = TestScratchDir("mouio_dll_trace") + "\\trace.txt";
      ASSERT_TRUE(LoadPluginWithLog(&plugin, "DRAVMOU.dll", sLogPath));
      ASSERT_TRUE(RefHostInit(pHost));
      ASSERT_EQ(RefHostBindPlugin(pHost, &plugin), 1u);
    } else {
      ASSERT_TRUE(RefHostInit(pHost));
      pHost->pfnDeviceControl = MouDeviceControl;
      pHost->pfnDeviceCleanup = MouDeviceCleanup;
      ASSERT_EQ(MouMainInit(pHost->Api, 0, 0), 1u);
      g_bDriverType = TRUE;
    }
    bBound = true;
    pMouse = RefHostAddSimDevice(pHost, kMouse0);
    ASSERT_NE(pMouse, nullptr);
    // The host opens the simulated device for the plug-in and lets go of its creation hold.
    ulSim = RefHostSimDeviceOf(pHost, pMouse);
    ASSERT_NE(ulSim, 0u);
    const UmdDevInfo* pInfo = RefHostDevInfo(pMouse);
    ASSERT_NE(pInfo, nullptr);
    EXPECT_TRUE(strcmp(pInfo->sPath, kMouse0) == 0 && !pInfo->bVirtual);
    EXPECT_EQ(SimDrvDeviceOfHandle(pInfo->hHandle), ulSim);
    EXPECT_TRUE(pMouse->RemoveLock[UMD_MOUFILT].lLock == 0 && pMouse->UMDPresent[UMD_MOUFILT] == 1);
    SimDrvClearRequests();
  }
  void TearDown() override
  {
    if (bBound) Unbind();
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    RefHostShutdown(pHost);
    if (plugin.hModule != nullptr) RefHostUnloadPlugin(&plugin);
    SimDrvReset();
    g_bDriverType = TRUE;
  }
  ULONG Unbind()
  {
    bBound = false;
    return plugin.hModule != nullptr ? plugin.MouMainExit(0, 0) : MouMainExit(0, 0);
  }
  LD_STATUS Call(tDevice* pDevice, ULONG ulFunction, void* pRecord, ULONG* pSize, ULONG ulMode = 0)
  {
    *pSize = 0xDEAD;
    return RefHostDeviceControl(pHost, pDevice, ulFunction, pRecord, pSize, ulMode);
  }
};

class MouIoBindingTest : public MouIoTest, public testing::WithParamInterface<bool> {
protected:
  std::vector<std::string> lines;   // that the DLL must have written to its log file

  void SetUp() override { Bind(GetParam()); }
  void TearDown() override
  {
    MouIoTest::TearDown();   // the DLL closes its log file as it unloads
    if (GetParam()) ExpectLinesInLog(sLogPath, lines);
  }
};

}  // namespace

TEST_P(MouIoBindingTest, SettingsReachTheDriverExactly)
{
  tDevice* pKeyboard = RefHostAddSimDevice(pHost, kKeyboard, LD_DEVICETYPE_KEYBOARD);
  ASSERT_NE(pKeyboard, nullptr);
  TraceCapture capture;   // the linked code's lines
  s_ulLaneMouse = ulSim;
  RunSettingsTable(pHost, pMouse, pKeyboard, SimLane(), GetParam() ? nullptr : &capture, &lines);
  // Unbinding removes the plug-in's devices and leaves another plug-in's.
  tDevice* pForeign = RefHostAddSimDevice(pHost, kForeign, LD_DEVICETYPE_MOUSE, UMD_HIDFILT_POWER);
  ASSERT_NE(pForeign, nullptr);
  EXPECT_EQ(Unbind(), 1u);
  EXPECT_EQ(RefHostDeviceCount(pHost), 1u);
  EXPECT_NE(RefHostFindSlot(pHost, pForeign), nullptr);
}

INSTANTIATE_TEST_SUITE_P(LinkedAndDll, MouIoBindingTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Dll" : "Linked"; });

TEST_F(MouIoTest, WithoutTheHostsLockTheHandlersAssertAndGoOn)
{
  TraceCapture capture;
  MouSpeedRecord speed = { 12, 50, 50 };
  ULONG ulSize = 0;
  EXPECT_EQ(MouDeviceControl(pMouse, LD_SET_MOUSE_SPEED, &speed, &ulSize, 0), (LD_STATUS)LD_SUCCESS);
  EXPECT_TRUE(capture.Contains("MouIoSetSpeed - MouIo.cpp line"));
  EXPECT_TRUE(capture.Contains("assert IsRemoveLockOwned( UMD_MOUFILT, pDevice )"));
  EXPECT_EQ(SimIo(), (std::vector<Words>{ { ID_PARAM_POINTER_SPEED, 0x10001000 } }));
}

// ---- Curve slots as another process sees them -------------------------------------------

namespace {
// Logs every access to two no-access pages: the access violation is recorded,
// the pages are opened for one instruction (single step) and closed again.
struct PageAccess {
  ULONG_PTR ulAddress;
  bool bWrite;
};
BYTE* s_pPages = nullptr;
PageAccess s_aLog[4096];
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
    const PageAccess& last = s_aLog[s_lLogged - 1];
    if (last.bWrite && last.ulAddress == s_ulScribbleAt) *reinterpret_cast<ULONG*>(s_ulScribbleAt) = s_ulScribble;
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
}  // namespace

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
  const ULONG_PTR ulSizeWord = (ULONG_PTR)&pDevice->AccelCurves[k].ulCurveSize;
  const ULONG_PTR ulPoints = (ULONG_PTR)pDevice->AccelCurves[k].CurveData;
  ASSERT_EQ(ulPoints, (ULONG_PTR)s_pPages + 4096);
  PVOID pHandler = AddVectoredExceptionHandler(1, PageTracer);

  MouCurveRecord curve = Curve(k + 1, { 7, 8, 9 });
  ULONG ulSize = 0;
  Traced([&] { MouIoSetAccelerationTable(pDevice, &curve, &ulSize); });
  LONG lFirstSizeWrite = -1, lLastPointWrite = -1;
  for (LONG i = 0; i < s_lLogged; ++i) {
    if (s_aLog[i].bWrite && s_aLog[i].ulAddress == ulSizeWord && lFirstSizeWrite < 0) lFirstSizeWrite = i;
    if (s_aLog[i].bWrite && s_aLog[i].ulAddress - ulPoints < 128) lLastPointWrite = i;
  }
  ASSERT_GE(lLastPointWrite, 0);
  EXPECT_GT(lFirstSizeWrite, lLastPointWrite);
  EXPECT_EQ(pDevice->AccelCurves[k].ulCurveSize, 12u);

  // Emptied, the slot is refilled with the default; another process then
  // writes a size past the slot, which must not be copied.
  pDevice->AccelCurves[k].ulCurveSize = 0;
  MouCurveRecord back[2] = { Curve(k + 1) };
  memset(&back[1], 0x5A, sizeof back[1]);
  s_ulScribbleAt = ulSizeWord;
  s_ulScribble = CURVE_MAX_BYTES + 8;
  Traced([&] { EXPECT_EQ(MouIoGetAccelerationTable(pDevice, &back[0], &ulSize), (LD_STATUS)LD_SUCCESS); });
  s_ulScribbleAt = 0;
  LONG lSizeReads = 0;
  for (LONG i = 0; i < s_lLogged; ++i) lSizeReads += !s_aLog[i].bWrite && s_aLog[i].ulAddress == ulSizeWord;
  EXPECT_EQ(lSizeReads, 1);
  EXPECT_EQ(Words(back[0].Points, back[0].Points + back[0].ulPoints), DefaultPoints(k + 1));
  EXPECT_EQ(back[1].ulSize, 0x5A5A5A5Au);
  // A size already past the slot when read is not copied either.
  TraceCapture capture;
  pDevice->AccelCurves[k].ulCurveSize = 0x1000;
  back[0] = Curve(k + 1);
  EXPECT_EQ(MouIoGetAccelerationTable(pDevice, &back[0], &ulSize), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(Words(back[0].Points, back[0].Points + back[0].ulPoints), DefaultPoints(k + 1));
  EXPECT_EQ(back[1].ulSize, 0x5A5A5A5Au);
  EXPECT_TRUE(capture.Contains("more than the slot (128)"));

  RemoveVectoredExceptionHandler(pHandler);
  VirtualFree(s_pPages, 0, MEM_RELEASE);
  s_pPages = nullptr;
}

// ---- Driver mode controls ---------------------------------------------------------------

TEST_F(MouIoTest, DriverTypeAndChordingGoOnlyToServedDevices)
{
  tDevice* pMouse1 = RefHostAddSimDevice(pHost, kMouse1);
  tDevice* pKeyboard = RefHostAddSimDevice(pHost, kKeyboard, LD_DEVICETYPE_KEYBOARD);
  tDevice* pForeign = RefHostAddSimDevice(pHost, kForeign, LD_DEVICETYPE_MOUSE, UMD_HIDFILT_POWER);
  ASSERT_TRUE(pMouse1 != nullptr && pKeyboard != nullptr && pForeign != nullptr);
  const ULONG served[2] = { ulSim, RefHostSimDeviceOf(pHost, pMouse1) };
  const ULONG skipped[2] = { RefHostSimDeviceOf(pHost, pKeyboard), RefHostSimDeviceOf(pHost, pForeign) };
  EXPECT_NE(served[1], ulSim);
  ULONG64 ulInUse = reinterpret_cast<ULONG_PTR>(pHost->Main.hInUseEvent);
  ASSERT_NE(ulInUse, 0u);

  const struct { ULONG ulType; ULONG ulProcessing; ULONG64 ulHandle; const char* sLine; } cases[] = {
    { 0, 3, 0, "Disabling the Kernel Mode Vant In Use Event" },
    { 1, 0x30000, 0, "Disabling the Kernel Mode Vant In Use Event" },
    { 2, 0x30000, ulInUse, "Enabling the Kernel Mode Vant In Use Event" },
  };
  TraceCapture capture;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ulType);
    SimDrvClearRequests();
    capture.Clear();
    MouValueRecord type = { 8, c.ulType };
    ULONG ulSize;
    EXPECT_EQ(Call(nullptr, LD_SET_MOUSE_DRIVER_TYPE, &type, &ulSize), (LD_STATUS)LD_SUCCESS);
    EXPECT_EQ(ulSize, 0u);
    for (ULONG ulDevice : served) {
      EXPECT_EQ(SimIo(ulDevice),
                (std::vector<Words>{ { ID_PARAM_PROCESSING, c.ulProcessing },
                                     { ID_PARAM_IN_USE_EVENT, (ULONG)c.ulHandle, (ULONG)(c.ulHandle >> 32) } }));
    }
    for (ULONG ulDevice : skipped) EXPECT_EQ(SimIo(ulDevice).size(), 0u);
    EXPECT_EQ(SimIo().size(), 4u);
    EXPECT_TRUE(capture.Contains(std::string("MouIoSetDriverType - ulType=") + std::to_string(c.ulType)));
    EXPECT_TRUE(capture.Contains(c.sLine));
    EXPECT_EQ(g_bDriverType, c.ulType != 0);
  }

  // Another plug-in's device: the host would not lock it for us, call directly.
  SimDrvClearRequests();
  MouValueRecord chording = { 8, 0x1F4 };
  ULONG ulSize;
  EXPECT_EQ(MouDeviceControl(pForeign, LD_SET_CHORDING_PARMS, &chording, &ulSize, 0), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(SimIo().size(), 0u);
  // The in-use callback tells its caller of a failure.
  SimDrvSetMode(ulSim, SIMDRV_FAIL, ERROR_DEVICE_NOT_CONNECTED, 0);
  MouInUseRecord inUse = { 16, 0x123456789ABCull };
  EXPECT_FALSE(MouIoSetVantInUseEvent(pMouse, 0, reinterpret_cast<ULONG_PTR>(&inUse)));

  // The host's removal closes what it opened.
  HANDLE hHandle = RefHostDevInfo(pMouse1)->hHandle;
  EXPECT_TRUE(RefHostRemoveDevice(pHost, pMouse1, UMD_MOUFILT, FALSE, LOCK_DoNotAcquireLock));
  EXPECT_EQ(SimDrvDeviceOfHandle(hHandle), 0u);
}

// ---- Concurrency and time-outs -------------------------------------------------------------

TEST_F(MouIoTest, HandlersRunAtOnceOnOneDeviceAndOnSeveral)
{
  tDevice* pMouse1 = RefHostAddSimDevice(pHost, kMouse1);
  ASSERT_NE(pMouse1, nullptr);
  SimDrvSetMode(ulSim, SIMDRV_COMPLETE_LATER, 0, 1);   // overlapped answers from the driver's thread
  SimDrvClearRequests();
  struct Worker {
    RefHost* pHost;
    tDevice* pDevice;
    ULONG ulSpeed;
    LONG lFailures;
  } workers[4] = { { pHost, pMouse, 25, 0 }, { pHost, pMouse, 50, 0 }, { pHost, pMouse1, 75, 0 },
                   { pHost, pMouse1, 100, 0 } };
  auto work = [](void* pContext) -> DWORD {
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
  };
  HANDLE threads[4];
  for (int i = 0; i < 4; ++i) threads[i] = CreateThread(nullptr, 0, work, &workers[i], 0, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(4, threads, TRUE, 60000), (DWORD)WAIT_OBJECT_0);
  for (int i = 0; i < 4; ++i) {
    CloseHandle(threads[i]);
    EXPECT_EQ(workers[i].lFailures, 0) << i;
  }
  for (ULONG ulDevice : { ulSim, RefHostSimDeviceOf(pHost, pMouse1) }) {
    ULONG ulSets = 0;
    for (const Words& w : SimIo(ulDevice)) ulSets += w.size() == 2 && w[0] == ID_PARAM_POINTER_SPEED;
    EXPECT_EQ(ulSets, 200u);
  }
  EXPECT_EQ(pMouse->RemoveLock[UMD_MOUFILT].lLock, 0);
  EXPECT_EQ(SimDrvPendingCount(0), 0u);
}
