// The mouse plug-in's device callbacks: initialisation, start (what reaches the
// driver and what is announced to the host) and event packets.
#include <gtest/gtest.h>

#include "tests/unit/BoundHost.h"

#include <cstring>
#include <vector>

#include "host/RefHost.h"
#include "host/RefHostEvents.h"
#include "host/RefHostReports.h"
#include "models/ModelInfo.h"
#include "mouio/MouIo.h"
#include "plugin/LdCodes.h"
#include "plugin/Mou.h"
#include "synch/SynchMgr.h"
#include "tests/unit/TestSupport.h"
#include "simdrv/SimDrv.h"

namespace {

constexpr ULONG kTestLock = LOCK_MainDeviceIoControlThread;

std::vector<SimDrvRequest> SimRequests()
{
  std::vector<SimDrvRequest> all(SimDrvRequestCount());
  for (ULONG i = 0; i < all.size(); ++i) SimDrvGetRequest(i, &all[i]);
  return all;
}

ULONG SimWord(const SimDrvRequest& r, ULONG ulIndex)
{
  ULONG ul = 0;
  memcpy(&ul, r.In + 4 * ulIndex, sizeof ul);
  return ul;
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
  void SetDriverType(ULONG ulType)
  {
    ULONG record[2] = { 8, ulType };
    ULONG ulSize = 0;
    ASSERT_EQ(MouDeviceControl(nullptr, LD_SET_MOUSE_DRIVER_TYPE, record, &ulSize, 0), (LD_STATUS)LD_SUCCESS);
    SimDrvClearRequests();
  }
  BOOL Start()
  {
    EXPECT_TRUE(AcquireRemoveLock(UMD_MOUFILT, kTestLock, pMouse));
    BOOL bResult = UmdCallbackDeviceStart(pMouse);
    ReleaseRemoveLock(UMD_MOUFILT, kTestLock, pMouse);
    return bResult;
  }
};

// Set requests at the driver, in order, as (parameter, first payload word).
std::vector<std::pair<ULONG, ULONG64>> SetsInOrder()
{
  std::vector<std::pair<ULONG, ULONG64>> out;
  for (const SimDrvRequest& r : SimRequests()) {
    if (r.dwIoctl != IOCTL_RAWPDO_SET) continue;
    ULONG64 value = 0;
    memcpy(&value, r.In + 4, r.ulInSize >= 12 ? 8 : 4);
    out.emplace_back(SimWord(r, 0), value);
  }
  return out;
}

}  // namespace

TEST_F(CallbackTest, StartPushesProcessingThenAnnouncesTheServedCodesAndTheChordingEvent)
{
  EXPECT_TRUE(Start());
  auto sets = SetsInOrder();
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0], std::make_pair(3105ul, (ULONG64)0x30000));

  ASSERT_EQ(RefHostReportCount(REFHOST_REPORT_ANNOUNCE), 1u);
  RefHostReport announce = {};
  ASSERT_TRUE(RefHostGetReport(REFHOST_REPORT_ANNOUNCE, 0, &announce));
  EXPECT_EQ(announce.pDevice, pMouse);
  EXPECT_EQ(announce.ulUmdIndex, 9u);
  const ULONG expected[] = {
    LD_GET_MOUSE_SPEED, LD_SET_MOUSE_SPEED, LD_GET_MOUSE_ACCELERATION, LD_SET_MOUSE_ACCELERATION,
    LD_GET_MOUSE_ORIENTATION, LD_SET_MOUSE_ORIENTATION, LD_SET_MOUSE_DRIVER_TYPE, LD_SET_MOUSE_REPORT_RATE_ACC,
    LD_GET_MOUSE_WHEEL_ACCELERATION, LD_SET_MOUSE_WHEEL_ACCELERATION, LD_GET_MOUSE_WHEEL_FILTER,
    LD_SET_MOUSE_WHEEL_FILTER, LD_GET_MOUSE_WHEEL_SPEED, LD_SET_MOUSE_WHEEL_SPEED, LD_GET_MOUSE_ACCELERATION_CURVE,
    LD_SET_MOUSE_ACCELERATION_CURVE, LD_SET_CHORDING_PARMS, LD_GET_MOUSE_WHEEL_RESOLUTION,
    LD_SET_MOUSE_WHEEL_RESOLUTION, LD_SET_MOUSE_IN_USE_EVENT,
  };
  ASSERT_EQ(announce.ulFunctionCount, 20u);
  EXPECT_EQ(0, memcmp(announce.Functions, expected, sizeof expected));
  ASSERT_EQ(announce.ulEventCount, 1u);
  EXPECT_EQ(announce.Events[0], 0x1000007u);
  // The lists are closed by their end codes.
  EXPECT_EQ(g_MouAnnouncedFunctions[20], 0x6000000u);
  EXPECT_EQ(g_MouAnnouncedEvents[1], 0x6000000u);

  RefHostSetAnnounceResult(FALSE);
  EXPECT_FALSE(Start());
}

TEST_F(CallbackTest, StartUnderDriverType2AlsoHandsTheDriverTheInUseEvent)
{
  struct Case { ULONG ulType; ULONG ulProcessing; bool bInUse; } cases[] = {
    { 0, 3, false }, { 1, 0x30000, false }, { 2, 0x30000, true },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ulType);
    SetDriverType(c.ulType);
    Start();
    auto sets = SetsInOrder();
    ASSERT_EQ(sets.size(), c.bInUse ? 2u : 1u);
    EXPECT_EQ(sets[0], std::make_pair(3105ul, (ULONG64)c.ulProcessing));
    if (c.bInUse) {
      EXPECT_EQ(sets[1], std::make_pair(3117ul, (ULONG64)(ULONG_PTR)pHost->Main.hInUseEvent));
      for (const SimDrvRequest& r : SimRequests()) {
        if (r.dwIoctl == IOCTL_RAWPDO_SET && SimWord(r, 0) == 3117) {
          EXPECT_EQ(r.ulInSize, 12u);
        }
      }
    }
    SimDrvClearRequests();
  }
}

TEST_F(CallbackTest, InitCallsModelDeviceOnlyForAMintermNamingThePlugInWithoutCache)
{
  char sMou[] = "KBD,MOU";
  char sKbd[] = "KBD";
  char sEmpty[] = "";
  char sCache[] = "cache1";
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
    ASSERT_EQ(RefHostReportCount(REFHOST_REPORT_MODEL_DEVICE), c.ulCalls) << (c.sMinTerm ? c.sMinTerm : "(null)");
    if (c.ulCalls) {
      RefHostReport r = {};
      ASSERT_TRUE(RefHostGetReport(REFHOST_REPORT_MODEL_DEVICE, 0, &r));
      EXPECT_EQ(r.pDevice, pMouse);
      EXPECT_EQ(r.pRecord, &model);
      EXPECT_EQ(r.ulUmdIndex, 9u);
    }
  }
  ReleaseRemoveLock(UMD_MOUFILT, kTestLock, pMouse);

  TraceCapture capture;
  tModelInfo model = {};
  EXPECT_FALSE(UmdCallbackDeviceInit(nullptr, 0, &model));
  EXPECT_TRUE(capture.Contains(": assert pDevice\n"));
}

TEST_F(CallbackTest, ChordingPacketsBecomeReportsOnlyWhileTheEventIsRegistered)
{
  int hwEvent = 0;   // stands for the host's record; only its address travels
  struct Case { ULONG ulId; ULONG ulState; bool bRegistered; ULONG ulReports; ULONG_PTR value; } cases[] = {
    { 3112, 1, true, 1, 0x10003 }, { 3112, 0, true, 1, 0x20003 }, { 3112, 5, true, 1, 0 },
    { 3112, 1, false, 0, 0 }, { 3110, 1, true, 0, 0 },
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.ulId << "/" << c.ulState);
    RefHostReportsReset();
    TraceCapture capture;
    Block()->pChordingEvent = c.bRegistered ? &hwEvent : nullptr;
    ULONG packet[25] = { c.ulId, c.ulState };
    UmdCallbackProcessEvent(pMouse, packet, 8);
    ASSERT_EQ(RefHostReportCount(REFHOST_REPORT_HW_EVENT), c.ulReports);
    if (c.ulReports) {
      RefHostReport r = {};
      ASSERT_TRUE(RefHostGetReport(REFHOST_REPORT_HW_EVENT, 0, &r));
      EXPECT_EQ(r.pDevice, pMouse);
      EXPECT_EQ(r.pRecord, &hwEvent);
      EXPECT_EQ(r.value, c.value);
    }
    EXPECT_EQ(capture.Contains("UmdCallbackProcessEvent - Unexpected Id: 3110\n"), c.ulId == 3110);
    EXPECT_TRUE(capture.Contains("UmdCallbackProcessEvent - Exit.\n"));
  }
}

TEST_F(CallbackTest, ShortPacketsAndDevicesOnTheirWayOutAreDropped)
{
  int hwEvent = 0;
  Block()->pChordingEvent = &hwEvent;
  ULONG packet[2] = { 3112, 1 };
  {
    TraceCapture capture;
    UmdCallbackProcessEvent(pMouse, packet, 2);
    EXPECT_TRUE(capture.Contains("UmdCallbackProcessEvent -  missing id\n"));
    EXPECT_FALSE(capture.Contains("device name"));
  }
  // Removal requested: the lock is refused and nothing is reported.
  ASSERT_TRUE(AcquireRemoveLock(UMD_MOUFILT, kTestLock, pMouse));
  pMouse->RemoveLock[UMD_MOUFILT].lRemove = 1;
  {
    TraceCapture capture;
    UmdCallbackProcessEvent(pMouse, packet, 8);
    EXPECT_TRUE(capture.Contains("UmdCallbackProcessEvent -  Failed to acquire the remove lock.\n"));
    // A 2-byte packet never reaches the lock.
    capture.Clear();
    UmdCallbackProcessEvent(pMouse, packet, 2);
    EXPECT_FALSE(capture.Contains("Failed to acquire"));
  }
  pMouse->RemoveLock[UMD_MOUFILT].lRemove = 0;
  ReleaseRemoveLock(UMD_MOUFILT, kTestLock, pMouse);
  EXPECT_EQ(RefHostReportCount(REFHOST_REPORT_HW_EVENT), 0u);
}

// ---- Hardware event registration ------------------------------------------------------

namespace {

std::vector<SimDrvRequest> EventRequests(DWORD dwIoctl)
{
  std::vector<SimDrvRequest> out;
  for (const SimDrvRequest& r : SimRequests()) {
    if (r.dwIoctl == dwIoctl) out.push_back(r);
  }
  return out;
}

}  // namespace

TEST_F(CallbackTest, RegisteringTheChordingEventTellsTheDriverAndKeepsTheRecord)
{
  tHWEvent* pEvent = RefHostAddHWEvent(pHost, pMouse->DUID, pMouse->DeviceKey, HW_EVENT_CHORDING_BUTTON, 0x200);
  ASSERT_NE(pEvent, nullptr);
  ASSERT_TRUE(AcquireRemoveLock(UMD_MOUFILT, kTestLock, pMouse));
  EXPECT_EQ(MouRegisterEvent(pMouse, pEvent, 0), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(Block()->pChordingEvent, pEvent);
  auto reg = EventRequests(0x00220404);
  ASSERT_EQ(reg.size(), 1u);
  EXPECT_EQ(reg[0].ulInSize, 4u);
  EXPECT_EQ(SimWord(reg[0], 0), 3112u);
  EXPECT_EQ(reg[0].ulOutSize, 0u);

  // A compatible record: same device, this plug-in's bit, same type.
  tHWEvent newEvent = *pEvent;
  EXPECT_TRUE(MouEvaluateEventCompatibility(pMouse, &newEvent, pEvent, 0));
  pEvent->EventUMDFlag = 0x100;
  EXPECT_FALSE(MouEvaluateEventCompatibility(pMouse, &newEvent, pEvent, 0));
  pEvent->EventUMDFlag = 0x200;
  newEvent.ulEventType = 0x1000000;
  EXPECT_FALSE(MouEvaluateEventCompatibility(pMouse, &newEvent, pEvent, 0));

  SimDrvClearRequests();
  TraceCapture capture;
  EXPECT_EQ(MouUnregisterEvent(pMouse, pEvent, 0), (LD_STATUS)LD_SUCCESS);
  EXPECT_EQ(Block()->pChordingEvent, nullptr);
  auto unreg = EventRequests(0x00220408);
  ASSERT_EQ(unreg.size(), 1u);
  EXPECT_EQ(SimWord(unreg[0], 0), 3112u);
  EXPECT_TRUE(capture.Contains("UsbUnregisterEvent - Exit 00000000.\n"));

  // Another type: refused, nothing sent, the record untouched.
  SimDrvClearRequests();
  capture.Clear();
  tHWEvent other = *pEvent;
  other.ulEventType = 0x1000000;
  EXPECT_EQ(MouRegisterEvent(pMouse, &other, 0), (LD_STATUS)LD_INVALID_EVENT);
  EXPECT_EQ(MouUnregisterEvent(pMouse, &other, 0), (LD_STATUS)LD_INVALID_EVENT);
  EXPECT_TRUE(capture.Contains("MouRegisterEvent - Unsupported HW event type 0x01000000\n"));
  EXPECT_EQ(SimDrvRequestCount(), 0u);
  EXPECT_EQ(Block()->pChordingEvent, nullptr);
  ReleaseRemoveLock(UMD_MOUFILT, kTestLock, pMouse);
}

TEST_F(CallbackTest, DisconnectAndConnectMoveTheRegistrationOutOfTheDriverAndBack)
{
  tHWEvent* pEvent = RefHostAddHWEvent(pHost, pMouse->DUID, pMouse->DeviceKey, HW_EVENT_CHORDING_BUTTON, 0x200);
  ASSERT_NE(pEvent, nullptr);
  ASSERT_TRUE(AcquireRemoveLock(UMD_MOUFILT, kTestLock, pMouse));
  ASSERT_EQ(MouRegisterEvent(pMouse, pEvent, 0), (LD_STATUS)LD_SUCCESS);
  ReleaseRemoveLock(UMD_MOUFILT, kTestLock, pMouse);
  SimDrvClearRequests();

  EXPECT_EQ(MouControl(LD_API_DISCONNECT, nullptr, 0, 0), 1u);
  EXPECT_EQ(Block()->pChordingEvent, nullptr);
  EXPECT_EQ(EventRequests(0x00220408).size(), 1u);
  EXPECT_EQ(MouControl(LD_API_CONNECT, nullptr, 0, 0), 1u);
  EXPECT_EQ(Block()->pChordingEvent, pEvent);
  EXPECT_EQ(EventRequests(0x00220404).size(), 1u);
  EXPECT_EQ(pMouse->RemoveLock[UMD_MOUFILT].lLock, 0);
  EXPECT_EQ(pEvent->RemoveLock.lLock, 0);
}

TEST_F(CallbackTest, EventRequestsForADeviceWithoutItsBlockAreRefused)
{
  tDevice bare = {};
  bare.ulUMDCreated = 1u << UMD_MOUFILT;
  tHWEvent event = {};
  event.ulEventType = HW_EVENT_CHORDING_BUTTON;
  event.EventUMDFlag = 0x200;
  TraceCapture capture;
  EXPECT_EQ(MouUnregisterEvent(&bare, &event, 0), (LD_STATUS)LD_INTERNAL_ERROR);
  EXPECT_EQ(MouRegisterEvent(&bare, &event, 0), (LD_STATUS)LD_INTERNAL_ERROR);
  EXPECT_EQ(capture.Count("Invalid request to DRAVMOU UMD."), 2u);
  EXPECT_EQ(SimDrvRequestCount(), 0u);
}
