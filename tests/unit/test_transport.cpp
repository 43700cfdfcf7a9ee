// IOCTL transport and the time-stamp query, in-process against the simulated driver.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diag/Trace.h"
#include "framework/UmdMgr.h"
#include "plugin/Mou.h"
#include "simdrv/SimDrv.h"
#include "synch/SynchUtil.h"
#include "tests/unit/TestSupport.h"

namespace {

constexpr ULONG IOCTL_GET = 0x00220410;
constexpr ULONG IOCTL_SET = 0x00220414;
constexpr ULONG NOT_WRITTEN = 0xDEADBEEF;

// A framework instance and a device record built by hand over a simulated device.
class TransportTest : public testing::Test {
protected:
  void SetUp() override
  {
    TestResetDeadHandles();
    static LONG s_lCounter = 0;
    m_sPath = "\\\\?\\HID#VID_1A2B&PID_0009#transport-" + std::to_string(InterlockedIncrement(&s_lCounter));
    m_ulSim = SimDrvAddDevice(m_sPath.c_str());
    ASSERT_NE(0u, m_ulSim);
    m_Global.ulUmdIndex = UMD_MOUFILT;
    m_Global.pUmdCallbackGetDevInfo = UmdCallbackGetDevInfo;
    m_pDevice->DUID = 0x00C0FFEE;
    m_pDevice->ulDuidHigh = 0x12345678;
    m_pDevice->pUMDinfo[UMD_MOUFILT] = m_Block;
    DevInfo()->hHandle = UmdOpenDeviceHandle(m_sPath.c_str());
    ASSERT_NE(INVALID_HANDLE_VALUE, DevInfo()->hHandle);
    SimDrvClearRequests();
  }
  void TearDown() override
  {
    SimDrvRemoveDevice(m_ulSim);
    CleanUpHandle(&DevInfo()->hHandle);
    TestResetDeadHandles();
  }
  UmdDevInfo* DevInfo() { return reinterpret_cast<UmdDevInfo*>(m_Block); }
  LD_STATUS Send(ULONG ulIoctl, const void* pIn, ULONG ulIn, void* pOut, ULONG ulOut, ULONG* pulReturned)
  {
    return UmdSendIoctl(&m_Global, m_pDevice.get(), ulIoctl, const_cast<void*>(pIn), ulIn, pOut, ulOut, pulReturned);
  }
  // A get of parameter 3102 into m_ulValue and m_ulReturned, both preset to NOT_WRITTEN.
  LD_STATUS Get(bool bReturned = true)
  {
    ULONG ulId = 3102;
    m_ulValue = m_ulReturned = NOT_WRITTEN;
    return Send(IOCTL_GET, &ulId, 4, &m_ulValue, 4, bReturned ? &m_ulReturned : nullptr);
  }
  // Requests of this test's device that reached the driver; the last one in *pLast.
  ULONG DeviceRequests(SimDrvRequest* pLast = nullptr)
  {
    ULONG ulCount = 0;
    for (ULONG i = 0; i < SimDrvRequestCount(); ++i) {
      SimDrvRequest r{};
      if (SimDrvGetRequest(i, &r) && r.ulDevice == m_ulSim && ++ulCount && pLast != nullptr) *pLast = r;
    }
    return ulCount;
  }

  std::string m_sPath;
  ULONG m_ulSim = 0;
  UmdGlobal m_Global{};
  std::unique_ptr<tDevice> m_pDevice = std::make_unique<tDevice>();
  alignas(8) BYTE m_Block[MOU_DEVINFO_SIZE]{};
  ULONG m_ulValue = 0;
  ULONG m_ulReturned = 0;
};

}  // namespace

// A get and a request too short for an identifier, byte for byte at the driver
// (sets are pinned by the settings table).
TEST_F(TransportTest, RequestsReachTheDriverByteForByte)
{
  // The reply and its length are copied, nothing beyond; the request is the caller's own.
  TraceCapture capture;
  ULONG ulId = 3116, out[3] = { NOT_WRITTEN, NOT_WRITTEN, NOT_WRITTEN }, ulReturned = NOT_WRITTEN;
  EXPECT_EQ(LD_SUCCESS, Send(IOCTL_GET, &ulId, 4, out, sizeof out, &ulReturned));
  EXPECT_TRUE(ulReturned == 8 && out[0] == 0 && out[1] == 1 && out[2] == NOT_WRITTEN);
  SimDrvRequest r{};
  ASSERT_EQ(1u, DeviceRequests(&r));
  EXPECT_TRUE(r.dwIoctl == IOCTL_GET && r.ulInSize == 4 && r.ulOutSize == 12 && r.dwThreadId == GetCurrentThreadId());
  EXPECT_TRUE(capture.Contains("id=3116"));
  // Too short: its identifier is not read past its end; the driver refuses it.
  capture.Clear();
  SimDrvClearRequests();
  BYTE shortIn[3] = { 0x1E, 0x0C, 0 };
  EXPECT_EQ(LD_IOCONTROL_ERROR, Send(IOCTL_GET, shortIn, sizeof shortIn, nullptr, 0, nullptr));
  EXPECT_FALSE(capture.Contains("id="));
  ASSERT_EQ(1u, DeviceRequests(&r));
  EXPECT_TRUE(r.ulInSize == 3 && memcmp(r.In, shortIn, 3) == 0);
}

// Refused before the driver: no device, no instance to find its record, a handle given up
// on a removal notice, or none at all. Nothing sent or returned; the last error tells why.
TEST_F(TransportTest, RequestsWithoutADeviceOrAnOpenHandleNeverReachTheDriver)
{
  HANDLE hOpen = DevInfo()->hHandle;
  ASSERT_TRUE(CloseHandleCleanupLater(hOpen));
  const char* sNoHandle = "hDriver == INVALID_HANDLE_VALUE.";
  const struct { UmdGlobal* pGlobal; tDevice* pDevice; HANDLE hHandle; LD_STATUS status; DWORD dwError; const char* sLine; }
    rows[] = {
    { &m_Global, nullptr, hOpen, LD_INTERNAL_ERROR, ERROR_INVALID_PARAMETER, "pDevice is NULL." },
    { nullptr, m_pDevice.get(), hOpen, LD_INTERNAL_ERROR, ERROR_INVALID_PARAMETER, "NULL == pDevInfo." },
    { &m_Global, m_pDevice.get(), hOpen, LD_DEVICE_REMOVAL, ERROR_INVALID_HANDLE, sNoHandle },
    { &m_Global, m_pDevice.get(), INVALID_HANDLE_VALUE, LD_DEVICE_REMOVAL, ERROR_INVALID_HANDLE, sNoHandle },
  };
  for (const auto& row : rows) {
    DevInfo()->hHandle = row.hHandle;
    TraceCapture capture;
    ULONG ulId = 3102;
    m_ulValue = m_ulReturned = NOT_WRITTEN;
    SetLastError(12345);
    EXPECT_EQ(row.status, UmdSendIoctl(row.pGlobal, row.pDevice, IOCTL_GET, &ulId, 4, &m_ulValue, 4, &m_ulReturned))
      << row.sLine;
    EXPECT_EQ(row.dwError, GetLastError()) << row.sLine;
    EXPECT_TRUE(m_ulReturned == NOT_WRITTEN && m_ulValue == NOT_WRITTEN && DeviceRequests() == 0) << row.sLine;
    EXPECT_TRUE(capture.Contains(row.sLine) && !capture.Contains("removal event may have been missed")) << row.sLine;
  }
  DevInfo()->hHandle = hOpen;   // TearDown's clean-up frees the slot without closing again
}

// A device unplugged while the request waits, its removal notice seen: a removal, without
// the warning that the notice may have been missed (an unseen removal's, as below).
TEST_F(TransportTest, DeviceVanishingDuringAPendingRequest)
{
  SimDrvSetMode(m_ulSim, SIMDRV_NEVER_ANSWER, 0, 0);
  TraceCapture capture;
  // The handle is recorded as on a removal notice, not closed: the driver's answer decides.
  std::thread vanish([&] {
    for (ULONGLONG ullEnd = GetTickCount64() + 10000; SimDrvPendingCount(m_ulSim) == 0 && GetTickCount64() < ullEnd;) {
      Sleep(1);
    }
    g_DeadHandles[0] = static_cast<LONG64>(reinterpret_cast<ULONG_PTR>(DevInfo()->hHandle));
    g_ulDeadHandleCount = 1;
    SimDrvRemoveDevice(m_ulSim);
  });
  EXPECT_EQ(LD_DEVICE_REMOVAL, Get());
  vanish.join();
  EXPECT_TRUE(m_ulReturned == 0 && !capture.Contains("removal event may have been missed"));
  TestResetDeadHandles();   // the handle was never closed
}

// The driver's errors by the table; an answer that comes later gives the completed length.
TEST_F(TransportTest, DriverAnswersMapByTheTable)
{
  const struct { DWORD dwError; LD_STATUS status; } rows[] = {
    { ERROR_FILE_NOT_FOUND, LD_DEVICE_REMOVAL }, { ERROR_INVALID_HANDLE, LD_DEVICE_REMOVAL },
    { ERROR_BAD_COMMAND, LD_DEVICE_REMOVAL },    { ERROR_GEN_FAILURE, LD_DEVICE_REMOVAL },
    { ERROR_DEVICE_NOT_CONNECTED, LD_DEVICE_REMOVAL }, { ERROR_ACCESS_DENIED, LD_IOCONTROL_ERROR },
    { ERROR_INSUFFICIENT_BUFFER, LD_IOCONTROL_ERROR },
  };
  for (const auto& row : rows) {
    SimDrvSetMode(m_ulSim, SIMDRV_FAIL, row.dwError, 0);
    TraceCapture capture;
    ULONG in[2] = { 3103, 2 }, ulReturned = NOT_WRITTEN;
    EXPECT_EQ(row.status, Send(IOCTL_SET, in, 8, nullptr, 0, &ulReturned)) << row.dwError;
    EXPECT_EQ(0u, ulReturned) << row.dwError;
    EXPECT_EQ(row.dwError, GetLastError());
    EXPECT_TRUE(capture.Contains(row.status == LD_DEVICE_REMOVAL ? std::string("removal event may have been missed.")
                                 : "DeviceIoControl FAILED - Error:" + std::to_string(row.dwError) + ".")) << row.dwError;
  }
  SimDrvSetMode(m_ulSim, SIMDRV_COMPLETE_LATER, 0, 300);
  EXPECT_EQ(LD_SUCCESS, Get());
  EXPECT_TRUE(m_ulReturned == 4 && m_ulValue == 0x10001000u);
}

// The stamp follows the caller's word and the DUID. A rejected request or a short reply:
// the DUID word and a stamp of 0; the line prints this request's error, not an older one.
TEST_F(TransportTest, TimeStampFillsTheRecordOrGivesTheDuidAndZero)
{
  TraceCapture capture;
  ULONG64 record[3] = { 0x1111111111111111ull, 0, 0 };
  ULONG ulSize = 0;
  EXPECT_EQ(LD_SUCCESS, UmdMgrGetTimeStamp(&m_Global, m_pDevice.get(), record, &ulSize));
  // All eight bytes of the driver's first stamp.
  EXPECT_TRUE(record[0] == 0x1111111111111111ull && record[1] == 0x1234567800C0FFEEull && record[2] == 0x100000000ull);
  EXPECT_EQ(0u, ulSize);
  SimDrvRequest r{};
  ASSERT_EQ(1u, DeviceRequests(&r));
  EXPECT_TRUE(r.dwIoctl == IOCTL_GET && r.ulInSize == 4 && *reinterpret_cast<ULONG*>(r.In) == 4000 && r.ulOutSize == 8);

  const struct { bool bRejected; LD_STATUS status; const char* sLine; } rows[] = {
    { true, LD_IOCONTROL_ERROR, "queried 0xC0FFEE Ioctl Failed status: 80000010 error:5" },
    { false, LD_DEVICE_RETURNED_INVALID_DATA, "queried 0xC0FFEE Ioctl Failed status: 8000001d error:0" },
  };
  for (const auto& row : rows) {
    SimDrvSetMode(m_ulSim, row.bRejected ? SIMDRV_FAIL : SIMDRV_COMPLETE_AT_ONCE, ERROR_ACCESS_DENIED, 0);
    SimDrvSetReplyLength(m_ulSim, 4000, row.bRejected ? ~0u : 4);
    capture.Clear();
    ULONG64 failed[3] = { 0x2222222222222222ull, 7, 7 };
    SetLastError(12345);
    EXPECT_EQ(row.status, UmdMgrGetTimeStamp(&m_Global, m_pDevice.get(), failed, nullptr)) << row.sLine;
    EXPECT_TRUE(failed[0] == 0x2222222222222222ull && failed[1] == 0x1234567800C0FFEEull && failed[2] == 0);
    EXPECT_TRUE(capture.Contains(row.sLine)) << row.sLine;
  }
}

// A closed value is handed out again at once. One given up on a removal notice stays
// recorded until its owner cleans up: a device opened meanwhile never gets it, and the
// transport's own event, which may, is closed plainly without taking the record along.
TEST_F(TransportTest, RecycledValueOfARemovedDeviceHandle)
{
  std::string sOld = m_sPath + "-old";
  ULONG ulOld = SimDrvAddDevice(sOld.c_str());
  HANDLE hOld = DevIoOpen(sOld.c_str());
  ASSERT_TRUE(CloseHandleCleanupLater(hOld));
  CleanUpHandle(&DevInfo()->hHandle);
  std::vector<HANDLE> kept;
  ASSERT_TRUE(TestMakeNextHandle(hOld, &kept));
  DevInfo()->hHandle = UmdOpenDeviceHandle(m_sPath.c_str());
  EXPECT_NE(hOld, DevInfo()->hHandle);

  // The request's event is the next handle created: it gets the old value.
  ASSERT_TRUE(TestMakeNextHandle(hOld, &kept));
  EXPECT_EQ(LD_SUCCESS, Get(false));
  DWORD dwFlags;
  EXPECT_FALSE(GetHandleInformation(hOld, &dwFlags));   // the event was closed
  EXPECT_TRUE(IsDeadHandle(hOld));
  for (HANDLE h : kept) CloseHandle(h);
  SimDrvRemoveDevice(ulOld);
}

// ---- Time-outs ------------------------------------------------------------------------

namespace {
class SlowTransportTest : public TransportTest {};
}  // namespace

// A driver that never answers: only the caller's own request is cancelled, and it has ended
// on return. One that survives the cancel keeps the request's storage, not the caller's buffer.
TEST_F(SlowTransportTest, TimeOutCancelsTheCallersOwnRequestOrLeavesItsStorageBehind)
{
  // Another thread has a request of its own outstanding on the same handle until told to end it.
  HANDLE hSent = CreateEventA(nullptr, TRUE, FALSE, nullptr), hEnd = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SimDrvSetMode(m_ulSim, SIMDRV_NEVER_ANSWER, 0, 0);
  std::thread other([&] {
    ULONG ulId = 3103, ulValue = 0;
    DWORD dw = 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DevIoControl(DevInfo()->hHandle, IOCTL_GET, &ulId, 4, &ulValue, 4, &dw, &ov);
    SetEvent(hSent);
    WaitForSingleObject(hEnd, 10000);
    DevIoCancel(DevInfo()->hHandle);
    DevIoGetOverlappedResult(DevInfo()->hHandle, &ov, &dw, TRUE);
    CloseHandle(ov.hEvent);
  });
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hSent, 5000));
  for (bool bIgnore : { false, true }) {
    SimDrvSetMode(m_ulSim, bIgnore ? SIMDRV_IGNORE_CANCEL : SIMDRV_NEVER_ANSWER, 0, 0);
    SimDrvClearRequests();
    TraceCapture capture;
    ULONGLONG ullStart = GetTickCount64();
    EXPECT_EQ(LD_INTERNAL_ERROR, Get());
    EXPECT_GE(GetTickCount64() - ullStart, 1900u);
    EXPECT_TRUE(m_ulReturned == 0 && m_ulValue == NOT_WRITTEN);
    EXPECT_EQ(1u, SimDrvPendingCount(m_ulSim));   // the other thread's, or the one that survived
    char sStill[64];
    snprintf(sStill, sizeof sStill, "cancelled request on 0x%X still outstanding", (unsigned)(ULONG_PTR)DevInfo()->hHandle);
    EXPECT_EQ(bIgnore, capture.Contains(sStill));
    EXPECT_EQ(bIgnore, capture.Contains("left behind"));
    if (!bIgnore) {
      SimDrvRequest r{};
      EXPECT_EQ(1u, DeviceRequests(&r));
      EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), r.dwResult);
      EXPECT_TRUE(capture.Contains("We shouldn't get this status again. We waited already."));
      SetEvent(hEnd);
      other.join();
    }
  }
  for (HANDLE h : { hSent, hEnd }) CloseHandle(h);
  // The driver finally ends it: into the abandoned block, never the caller's buffer.
  SimDrvRemoveDevice(m_ulSim);
  EXPECT_EQ(NOT_WRITTEN, m_ulValue);
}
