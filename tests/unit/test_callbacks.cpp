// The linked plug-in code bound to the reference host with one simulated
// mouse (the DLLs bind by ordinal in the instance tests): binding, control
// commands, dispatch, and the device callbacks: initialisation, start (what
// reaches the driver and what is announced), event packets and hardware-event
// registration.
#include <gtest/gtest.h>

#include "tests/unit/BoundHost.h"

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "diag/Trace.h"
#include "framework/UmdMgr.h"
#include "host/RefHostEvents.h"
#include "host/RefHostReports.h"
#include "models/ModelInfo.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "synch/SynchMgr.h"
#include "tests/unit/TestSupport.h"

namespace {

constexpr ULONG kTestLock = LOCK_MainDeviceIoControlThread;

// Requests at the driver with this control code, in order, as (first payload
// word, following 32 or 64 bits, input size).
using Sent = std::vector<std::tuple<ULONG, ULONG64, ULONG>>;
Sent Requests(DWORD dwIoctl)
{
  Sent out;
  SimDrvRequest r;
  for (ULONG i = 0; SimDrvGetRequest(i, &r); ++i) {
    ULONG ulWord = 0;
    ULONG64 value = 0;
    memcpy(&ulWord, r.In, 4);
    if (r.ulInSize > 4) memcpy(&value, r.In + 4, r.ulInSize >= 12 ? 8 : 4);
    if (r.dwIoctl == dwIoctl) out.emplace_back(ulWord, value, r.ulInSize);
  }
  return out;
}

class CallbackTest : public BoundHostTest {
protected:
  tDevice* pMouse = nullptr;

  void SetUp() override
  {
    g_bDriverType = TRUE;
    g_bInUseEventActive = FALSE;
    BoundHostTest::SetUp();
    pMouse = RefHostAddSimDevice(pHost, "\\\\?\\HID#VID_1A2B&PID_0001#cb#mouse0");
    ASSERT_NE(pMouse, nullptr);
    SimDrvClearRequests();
    RefHostReportsReset();
  }
  void TearDown() override
  {
    g_bDriverType = TRUE;
    g_bInUseEventActive = FALSE;
    BoundHostTest::TearDown();
  }

  MouDevInfo* Block() { return static_cast<MouDevInfo*>(pMouse->pUMDinfo[UMD_MOUFILT]); }
  BOOL Start()
  {
    EXPECT_TRUE(AcquireRemoveLock(UMD_MOUFILT, kTestLock, pMouse));
    BOOL bResult = UmdCallbackDeviceStart(pMouse);
    ReleaseRemoveLock(UMD_MOUFILT, kTestLock, pMouse);
    return bResult;
  }
};

}  // namespace

// Without the record or one of its words: refused, asserted once by the
// unit's own line, and the framework is not started.
TEST_F(CallbackTest, MainInitRefusesANullRecordAndEachNullWord)
{
  MouMainExit(0, 0);
  for (int word : { -1, 0, 1, 2 }) {   // -1: no record at all
    std::vector<ULONG_PTR> api(pHost->Api, pHost->Api + HOST_WORD_COUNT);
    if (word >= 0) api[word] = 0;
    TraceCapture capture;
    EXPECT_EQ(MouMainInit(word >= 0 ? api.data() : nullptr, 0, 0), 0u) << word;
    EXPECT_EQ(std::make_tuple(capture.Count("<error> MouMainInit - MouMainInit - DravMou.cpp line"),
                              capture.Count("assert FALSE"), capture.Contains("UmdMainInit - entry")),
              std::make_tuple(1u, 1u, false)) << word;
  }
}

TEST_F(CallbackTest, MainInitBindsControlCommandsAnswerAndMainExitReleasesTheInstance)
{
  UmdGlobal* pInstance = g_pUmdGlobal;
  ASSERT_NE(pInstance, nullptr);
  EXPECT_EQ(std::make_tuple(pInstance->bInUse, pInstance->ulUmdIndex, pInstance->ulDevInfoSize,
                            std::string(pInstance->sName), pInstance->ulDefaultDeviceType, g_pDevMgrApi, g_pMain),
            std::make_tuple(TRUE, (ULONG)UMD_MOUFILT, 352ul, std::string("MOU"), (ULONG)LD_DEVICETYPE_MOUSE,
                            (PDEVMGRAPI)pHost->Api, &pHost->Main));
  EXPECT_EQ(memcmp(&pInstance->InterfaceGuid, &GUID_INTERFACE_RAWPDO_VMOUFILT, 16), 0);

  // The version takes two words, the other commands none (a null record);
  // unknown ones answer 0; command 5 alone removes the plug-in's devices.
  ULONG words[3] = { 7, 7, 0xABCDEF };
  EXPECT_EQ(MouControl(LD_API_GET_VERSION, words, 0, 0), 1u);
  EXPECT_EQ(std::vector<ULONG>(words, words + 3), (std::vector<ULONG>{ 0, 1, 0xABCDEF }));
  pHost->Main.ulSessionFlags = HOST_SESSION_NOT_RUNNING;   // the enumerations queued skip at once
  for (ULONG cmd : { 1ul, 2ul, 3ul, 4ul, 5ul, 6ul, 7ul, 0xFFFFFFFFul }) {
    EXPECT_EQ(MouControl(cmd, nullptr, 0, 0), cmd <= 6 ? 1u : 0u) << cmd;
    EXPECT_EQ(RefHostDeviceCount(pHost), cmd >= 5 ? 0u : 1u) << cmd;
  }

  // Unbinding asks the host to remove every device of the plug-in. Unbound, a
  // second unbind and a remove-all reach neither the released record nor the host.
  ASSERT_NE(RefHostAddSimDevice(pHost, "\\\\?\\HID#VID_1A2B&PID_0001#cb#mouse1"), nullptr);
  EXPECT_EQ(MouMainExit(0, 0), 1u);
  EXPECT_TRUE(!pInstance->bInUse && g_pUmdGlobal == nullptr && RefHostDeviceCount(pHost) == 0);
  ASSERT_NE(RefHostAddSimDevice(pHost, "\\\\?\\HID#VID_1A2B&PID_0001#cb#mouse2"), nullptr);
  EXPECT_TRUE(MouMainExit(0, 0) == 1 && MouControl(LD_API_REMOVE_ALL_DEVICES, nullptr, 0, 0) == 1 &&
              RefHostDeviceCount(pHost) == 1);
}

// The settings codes and the plug-in-wide driver type are driven through the
// dispatch by the settings tests; here the time stamp, codes not served, and
// the driver type refused for a device.
TEST_F(CallbackTest, DispatchServesTheTimeStampRefusesOtherCodesAndTheDriverTypeForADevice)
{
  TraceCapture capture;
  ULONG record[40] = { 24 }, size = 0xDEAD;
  MouDeviceControl(pMouse, LD_GET_TIME_STAMP, record, &size, 0);
  EXPECT_EQ(Requests(IOCTL_RAWPDO_GET), (Sent{ { 4000, 0, 4 } }));

  // Codes of other groups, the get beside a served set, and the last possible
  // one: refused, nothing written.
  for (ULONG code : { 0ul, (ULONG)LD_GET_MOUSE_DRIVER_TYPE, (ULONG)LD_GET_MOUSE_BUTTON_MAPPING, 0x2000000ul,
                      0x6000000ul, 0xFFFFFFFFul }) {
    ULONG words[4] = { 8, 0x55 };
    size = 0xDEAD;
    EXPECT_EQ(MouDeviceControl(pMouse, code, words, &size, 2), (LD_STATUS)LD_INVALID_FUNCTION) << std::hex << code;
    EXPECT_EQ(std::make_tuple(size, words[1]), std::make_tuple(0ul, 0x55ul)) << std::hex << code;
  }

  // The plug-in-wide driver type refuses a device; a null returned-size
  // pointer is asserted, not written.
  ULONG type[2] = { 8, 1 };
  size = 0xDEAD;
  EXPECT_EQ(MouDeviceControl(pMouse, LD_SET_MOUSE_DRIVER_TYPE, type, &size, 0), (LD_STATUS)LD_INVALID_PARAMETER);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(MouDeviceControl(nullptr, LD_GET_MOUSE_BUTTON_MAPPING, nullptr, nullptr, 0),
            (LD_STATUS)LD_INVALID_FUNCTION);
  EXPECT_TRUE(capture.Contains("assert NULL != pReturnedSize"));
}

TEST_F(CallbackTest, StartPushesProcessingAndByDriverTypeTheInUseEventThenAnnounces)
{
  struct Case { ULONG ulType; ULONG ulProcessing; bool bInUse; } cases[] = {
    { 0, 3, false }, { 1, 0x30000, false }, { 2, 0x30000, true },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ulType);
    ULONG record[2] = { 8, c.ulType }, ulSize = 0;
    ASSERT_EQ(MouDeviceControl(nullptr, LD_SET_MOUSE_DRIVER_TYPE, record, &ulSize, 0), (LD_STATUS)LD_SUCCESS);
    SimDrvClearRequests();
    RefHostReportsReset();
    EXPECT_TRUE(Start());
    Sent sets = { { 3105, c.ulProcessing, 8 } };
    if (c.bInUse) sets.emplace_back(3117, (ULONG_PTR)pHost->Main.hInUseEvent, 12);
    EXPECT_EQ(Requests(IOCTL_RAWPDO_SET), sets);

    RefHostReport a = {};
    RefHostGetReport(REFHOST_REPORT_ANNOUNCE, 0, &a);
    EXPECT_EQ(std::make_tuple(RefHostReportCount(REFHOST_REPORT_ANNOUNCE), a.pDevice, a.ulUmdIndex, a.ulFunctionCount,
                              a.ulEventCount, a.Events[0]), std::make_tuple(1ul, pMouse, 9ul, 20ul, 1ul, 0x1000007ul));
  }
  RefHostSetAnnounceResult(FALSE);
  EXPECT_FALSE(Start());
}

TEST_F(CallbackTest, InitCallsModelDeviceOnlyForAMintermNamingThePlugInWithoutCache)
{
  char sMou[] = "KBD,MOU", sKbd[] = "KBD", sEmpty[] = "", sCache[] = "cache1";
  struct Case { char* sMinTerm; char* sCache; ULONG ulCalls; } cases[] = {
    { sMou, nullptr, 1 }, { sMou, sEmpty, 1 }, { sMou, sCache, 0 }, { sKbd, nullptr, 0 }, { sEmpty, nullptr, 0 },
    { nullptr, nullptr, 0 },
  };
  ASSERT_TRUE(AcquireRemoveLock(UMD_MOUFILT, kTestLock, pMouse));
  for (const Case& c : cases) {
    RefHostReportsReset();
    tModelInfo model = {};
    model.sMinTerm = c.sMinTerm;
    model.sCache = c.sCache;
    EXPECT_TRUE(UmdCallbackDeviceInit(pMouse, 0, &model));
    RefHostReport r = {};
    RefHostGetReport(REFHOST_REPORT_MODEL_DEVICE, 0, &r);
    EXPECT_EQ(std::make_tuple(RefHostReportCount(REFHOST_REPORT_MODEL_DEVICE), r.pDevice, r.pRecord, r.ulUmdIndex),
              std::make_tuple(c.ulCalls, c.ulCalls ? pMouse : nullptr, c.ulCalls ? (const void*)&model : nullptr,
                              c.ulCalls ? 9ul : 0ul)) << (c.sMinTerm ? c.sMinTerm : "(null)");
  }
  ReleaseRemoveLock(UMD_MOUFILT, kTestLock, pMouse);
  TraceCapture capture;
  EXPECT_FALSE(UmdCallbackDeviceInit(nullptr, 0, nullptr));
  EXPECT_TRUE(capture.Contains(": assert pDevice\n"));
}

// A packet shorter than its id, or one of a device on its way out (the lock is
// refused), is dropped; the lock is never left held.
TEST_F(CallbackTest, ChordingPacketsBecomeReportsOnlyWhileRegisteredWholeAndTheDeviceStays)
{
  int hwEvent = 0;   // stands for the host's record; only its address travels
  struct { ULONG ulId, ulState; bool bRegistered; ULONG ulBytes; LONG lRemove; ULONG_PTR value; } const cases[] = {
    { 3112, 1, true, 8, 0, 0x10003 }, { 3112, 0, true, 8, 0, 0x20003 }, { 3112, 5, true, 8, 0, 0 },
    { 3112, 1, false, 8, 0, 0 },      { 3110, 1, true, 8, 0, 0 },       { 3112, 1, true, 2, 0, 0 },
    { 3112, 1, true, 8, 1, 0 },       { 3112, 1, true, 2, 1, 0 },
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ulId << "/" << c.ulState << " bytes " << c.ulBytes << " remove " << c.lRemove);
    RefHostReportsReset();
    Block()->pChordingEvent = c.bRegistered ? &hwEvent : nullptr;
    pMouse->RemoveLock[UMD_MOUFILT].lRemove = c.lRemove;
    ULONG packet[25] = { c.ulId, c.ulState };
    UmdCallbackProcessEvent(pMouse, packet, c.ulBytes);
    pMouse->RemoveLock[UMD_MOUFILT].lRemove = 0;
    const ULONG n = c.ulBytes >= 4 && c.lRemove == 0 && c.ulId == 3112 && c.bRegistered;   // reports expected
    RefHostReport r = {};
    RefHostGetReport(REFHOST_REPORT_HW_EVENT, 0, &r);
    EXPECT_EQ(std::make_tuple(RefHostReportCount(REFHOST_REPORT_HW_EVENT), r.pDevice, r.pRecord, r.value),
              std::make_tuple(n, n ? pMouse : nullptr, n ? (const void*)&hwEvent : nullptr, c.value));
    EXPECT_EQ(pMouse->RemoveLock[UMD_MOUFILT].lLock, 0);
  }
}

TEST_F(CallbackTest, TheChordingEventIsRegisteredUnregisteredAndMovedOutOfTheDriverAndBack)
{
  tHWEvent* pEvent = RefHostAddHWEvent(pHost, pMouse->DUID, pMouse->DeviceKey, HW_EVENT_CHORDING_BUTTON, 0x200);
  ASSERT_NE(pEvent, nullptr);
  ASSERT_TRUE(AcquireRemoveLock(UMD_MOUFILT, kTestLock, pMouse));
  EXPECT_EQ(MouRegisterEvent(pMouse, pEvent, 0), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(Block()->pChordingEvent, pEvent);
  EXPECT_EQ(Requests(0x00220404), (Sent{ { 3112, 0, 4 } }));
  SimDrvRequest r = {};
  EXPECT_TRUE(SimDrvGetRequest(0, &r) && r.ulOutSize == 0);

  // A compatible record: same device, this plug-in's bit, same type.
  tHWEvent newEvent = *pEvent;
  const struct { ULONG ulFlag, ulType; BOOL bCompatible; } compat[] = {
      { 0x100, HW_EVENT_CHORDING_BUTTON, FALSE }, { 0x200, 0x1000000, FALSE }, { 0x200, HW_EVENT_CHORDING_BUTTON, TRUE } };
  for (const auto& c : compat) {
    pEvent->EventUMDFlag = c.ulFlag, newEvent.ulEventType = c.ulType;
    EXPECT_EQ(MouEvaluateEventCompatibility(pMouse, &newEvent, pEvent, 0), c.bCompatible) << c.ulFlag << " " << c.ulType;
  }
  ReleaseRemoveLock(UMD_MOUFILT, kTestLock, pMouse);

  // Disconnect takes it out of the driver, connect puts it back.
  SimDrvClearRequests();
  EXPECT_EQ(MouControl(LD_API_DISCONNECT, nullptr, 0, 0), 1u);
  EXPECT_EQ(Block()->pChordingEvent, nullptr);
  EXPECT_EQ(Requests(0x00220408).size(), 1u);
  EXPECT_EQ(MouControl(LD_API_CONNECT, nullptr, 0, 0), 1u);
  EXPECT_EQ(Block()->pChordingEvent, pEvent);
  EXPECT_EQ(Requests(0x00220404).size(), 1u);

  SimDrvClearRequests();
  TraceCapture capture;
  ASSERT_TRUE(AcquireRemoveLock(UMD_MOUFILT, kTestLock, pMouse));
  EXPECT_EQ(MouUnregisterEvent(pMouse, pEvent, 0), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(Block()->pChordingEvent, nullptr);
  EXPECT_EQ(Requests(0x00220408), (Sent{ { 3112, 0, 4 } }));

  // Another type, or a device without its block: refused, nothing sent, the record untouched.
  SimDrvClearRequests();
  tHWEvent other = *pEvent;
  other.ulEventType = 0x1000000;
  EXPECT_EQ(MouRegisterEvent(pMouse, &other, 0), (LD_STATUS)LD_INVALID_EVENT);
  EXPECT_EQ(MouUnregisterEvent(pMouse, &other, 0), (LD_STATUS)LD_INVALID_EVENT);
  ReleaseRemoveLock(UMD_MOUFILT, kTestLock, pMouse);
  tDevice bare = {};
  bare.ulUMDCreated = 1u << UMD_MOUFILT;
  other.ulEventType = HW_EVENT_CHORDING_BUTTON;
  EXPECT_EQ(MouUnregisterEvent(&bare, &other, 0), (LD_STATUS)LD_INTERNAL_ERROR);
  EXPECT_EQ(MouRegisterEvent(&bare, &other, 0), (LD_STATUS)LD_INTERNAL_ERROR);
  EXPECT_EQ(capture.Count("Invalid request to DRAVMOU UMD."), 2u);
  EXPECT_EQ(SimDrvRequestCount(), 0u);
  EXPECT_EQ(Block()->pChordingEvent, nullptr);
}
