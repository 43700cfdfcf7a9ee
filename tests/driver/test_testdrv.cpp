// The test kernel driver itself, through the real kernel32 and Setup API calls.
#include <windows.h>

#include <cstring>

#include <gtest/gtest.h>

#include "testdrv/TestDrvClient.h"

namespace {

constexpr DWORD IOCTL_EVENT_READ = 0x0022040C, IOCTL_GET = 0x00220410, IOCTL_SET = 0x00220414;
constexpr LONG STATUS_CANCELLED_ = static_cast<LONG>(0xC0000120);

struct TestDrvTest : testing::Test {
  void SetUp() override
  {
    ASSERT_TRUE(TestDrvConnect()) << "driver not running: run through scripts/driver-lane.sh";
    TestDrvReset();
  }
  void TearDown() override { TestDrvReset(); }

  ULONG PlugAndOpen(const char* sId, HANDLE* phDevice)
  {
    ULONG ulChild = TestDrvPlug(sId);
    char sPath[MAX_PATH];
    EXPECT_TRUE(TestDrvInterfacePath(ulChild, sPath, sizeof sPath));
    *phDevice = CreateFileA(sPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(*phDevice, INVALID_HANDLE_VALUE);
    return ulChild;
  }
};

// Issues a request; returns 0, ERROR_IO_PENDING or the error.
DWORD Issue(HANDLE h, DWORD dwIoctl, const void* pIn, DWORD dwIn, void* pOut, DWORD dwOut, OVERLAPPED* pOv)
{
  DWORD dw = 0;
  return DeviceIoControl(h, dwIoctl, const_cast<void*>(pIn), dwIn, pOut, dwOut, &dw, pOv) ? 0 : GetLastError();
}

// Waits for an issued request: its error (0 on success) and byte count.
DWORD Result(HANDLE h, OVERLAPPED* pOv, DWORD* pdwReturned)
{
  return GetOverlappedResult(h, pOv, pdwReturned, TRUE) ? 0 : GetLastError();
}

TEST_F(TestDrvTest, ChildrenAppearWithTheirInstanceIds)
{
  const char* Ids[][2] = { { "HID\\VID_1A2B&PID_0001&MI_01&COL01\\7&1a2b&0&0000",
                             "\\\\?\\hid#vid_1a2b&pid_0001&mi_01&col01#7&1a2b&0&0000#{5a486531-0201-43e0-bd81-d544bb08d0dc}" },
                           { "HID\\VID_3F1D&PID_00C5\\8&2B&1&0001",
                             "\\\\?\\hid#vid_3f1d&pid_00c5#8&2b&1&0001#{5a486531-0201-43e0-bd81-d544bb08d0dc}" } };
  for (auto& row : Ids) {
    ULONG ulChild = TestDrvPlug(row[0]);
    ASSERT_NE(ulChild, 0u) << row[0];
    char sPath[MAX_PATH];
    ASSERT_TRUE(TestDrvInterfacePath(ulChild, sPath, sizeof sPath));
    EXPECT_STREQ(sPath, row[1]);   // found through the instance ID, which Wine keeps upper case
  }
  EXPECT_EQ(TestDrvPlug("hid\\vid_3f1d&pid_00c5\\8&2b&1&0001"), 0u);   // already present
}

TEST_F(TestDrvTest, ParametersAnswerAsTheProtocolSays)
{
  HANDLE h;
  ULONG ulChild = PlugAndOpen("HID\\VID_1A2B&PID_0002\\1&0", &h);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const ULONG Set[] = { 3102, 0x20003000 };
  ASSERT_EQ(Issue(h, IOCTL_SET, Set, sizeof Set, nullptr, 0, &ov), 0u);
  TestDrvSetReplyLength(ulChild, 3107, 2);
  struct Row { ULONG ulId; DWORD dwError; DWORD dwReturned; ULONG64 ullValue; } Rows[] = {
    { 3102, 0, 4, 0x20003000 }, { 3107, 0, 2, 0x0100 }, { 4000, 0, 8, 0x100000000ull }, { 4000, 0, 8, 0x100000001ull },
    { 3105, ERROR_INVALID_PARAMETER, 0, 0 }, { 9999, ERROR_INVALID_PARAMETER, 0, 0 },
  };
  for (const Row& row : Rows) {
    ULONG64 ullOut = 0;
    DWORD dwReturned = 0;
    DWORD dwError = Issue(h, IOCTL_GET, &row.ulId, 4, &ullOut, sizeof ullOut, &ov);
    if (dwError == ERROR_IO_PENDING) {
      dwError = Result(h, &ov, &dwReturned);
    } else {
      GetOverlappedResult(h, &ov, &dwReturned, FALSE);
    }
    EXPECT_EQ(dwError, row.dwError) << row.ulId;
    EXPECT_EQ(dwReturned, row.dwReturned) << row.ulId;
    EXPECT_EQ(ullOut, row.ullValue) << row.ulId;
  }
  ULONG ulStored = 0;
  EXPECT_EQ(TestDrvGetParam(ulChild, 3102, &ulStored, sizeof ulStored), 4u);
  EXPECT_EQ(ulStored, 0x20003000u);
  ASSERT_TRUE(TestDrvSetMode(ulChild, TESTDRV_FAIL, static_cast<LONG>(0xC0000010)));   // invalid device request
  EXPECT_EQ(Issue(h, IOCTL_GET, Set, 4, &ulStored, 4, &ov), DWORD{ ERROR_INVALID_FUNCTION });
  CloseHandle(ov.hEvent);
  CloseHandle(h);
}

TEST_F(TestDrvTest, EventReadWaitsForAPacketAndCancelEndsAHeldRequest)
{
  HANDLE h;
  ULONG ulChild = PlugAndOpen("HID\\VID_1A2B&PID_0003\\1&0", &h);
  OVERLAPPED read{}, held{};
  read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  held.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  BYTE Buffer[100] = {};
  ASSERT_EQ(Issue(h, IOCTL_EVENT_READ, nullptr, 0, Buffer, sizeof Buffer, &read), DWORD{ ERROR_IO_PENDING });
  EXPECT_EQ(TestDrvPendingCount(ulChild), 1u);
  const BYTE Packet[] = { 1, 2, 3, 4, 5, 6 };
  ASSERT_TRUE(TestDrvQueueEvent(ulChild, Packet, sizeof Packet));
  DWORD dwReturned = 0;
  ASSERT_EQ(Result(h, &read, &dwReturned), 0u);
  EXPECT_EQ(dwReturned, sizeof Packet);
  EXPECT_EQ(memcmp(Buffer, Packet, sizeof Packet), 0);

  TestDrvClearRequests();
  TestDrvSetMode(ulChild, TESTDRV_NEVER_ANSWER, 0);
  const ULONG ulId = 3102;
  ASSERT_EQ(Issue(h, IOCTL_GET, &ulId, 4, Buffer, 4, &held), DWORD{ ERROR_IO_PENDING });
  EXPECT_EQ(WaitForSingleObject(held.hEvent, 0), DWORD{ WAIT_TIMEOUT });
  ASSERT_TRUE(CancelIo(h));
  EXPECT_EQ(Result(h, &held, &dwReturned), DWORD{ ERROR_OPERATION_ABORTED });
  TestDrvRequest request{};
  ASSERT_EQ(TestDrvRequestCount(), 1u);
  ASSERT_TRUE(TestDrvGetRequest(0, &request));
  EXPECT_EQ(request.ulChild, ulChild);
  EXPECT_EQ(request.ulIoctl, IOCTL_GET);
  EXPECT_EQ(request.ulInSize, 4u);
  EXPECT_EQ(memcmp(request.In, &ulId, 4), 0);
  EXPECT_EQ(request.ulOutSize, 4u);
  EXPECT_EQ(request.lStatus, STATUS_CANCELLED_);

  // Closing the handle ends what it still has held.
  ASSERT_EQ(Issue(h, IOCTL_GET, &ulId, 4, Buffer, 4, &held), DWORD{ ERROR_IO_PENDING });
  EXPECT_EQ(TestDrvOpenHandleCount(ulChild), 1u);
  CloseHandle(h);
  EXPECT_EQ(WaitForSingleObject(held.hEvent, 10000), DWORD{ WAIT_OBJECT_0 });
  EXPECT_EQ(static_cast<LONG>(held.Internal), STATUS_CANCELLED_);
  EXPECT_EQ(TestDrvOpenHandleCount(ulChild), 0u);
  EXPECT_EQ(TestDrvPendingCount(0), 0u);
  CloseHandle(read.hEvent);
  CloseHandle(held.hEvent);
}

TEST_F(TestDrvTest, UnplugEndsHeldRequestsAndRemovesTheInterface)
{
  HANDLE h;
  ULONG ulChild = PlugAndOpen("HID\\VID_1A2B&PID_0004\\1&0", &h);
  EXPECT_EQ(TestDrvOpenHandleCount(ulChild), 1u);
  OVERLAPPED read{};
  read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  BYTE Buffer[100];
  ASSERT_EQ(Issue(h, IOCTL_EVENT_READ, nullptr, 0, Buffer, sizeof Buffer, &read), DWORD{ ERROR_IO_PENDING });
  ASSERT_TRUE(TestDrvUnplug(ulChild));
  DWORD dwReturned;
  EXPECT_EQ(Result(h, &read, &dwReturned), DWORD{ ERROR_DEVICE_NOT_CONNECTED });
  char sPath[MAX_PATH];
  EXPECT_FALSE(TestDrvInterfacePath(ulChild, sPath, sizeof sPath));
  const ULONG ulId = 3102;
  EXPECT_EQ(Issue(h, IOCTL_GET, &ulId, 4, Buffer, 4, &read), DWORD{ ERROR_DEVICE_NOT_CONNECTED });
  EXPECT_EQ(TestDrvPendingCount(0), 0u);
  CloseHandle(read.hEvent);
  CloseHandle(h);
  EXPECT_EQ(TestDrvOpenHandleCount(ulChild), 0u);   // the close reached the removed child
}

TEST_F(TestDrvTest, BadControlInputIsRefused)
{
  for (const char* sId : { "NOBACKSLASH", "\\LEADING", "TRAILING\\", "HAS SPACE\\1", "" }) {
    EXPECT_EQ(TestDrvPlug(sId), 0u) << sId;
  }
  const ULONG ulValue = 0;
  EXPECT_FALSE(TestDrvSetMode(99, TESTDRV_FAIL, 0));
  EXPECT_FALSE(TestDrvSetParam(99, 3102, &ulValue, 4));
  EXPECT_FALSE(TestDrvQueueEvent(99, &ulValue, 4));
  EXPECT_FALSE(TestDrvUnplug(99));
  HANDLE h = CreateFileA(TESTDRV_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BYTE Buffer[sizeof(TestDrvCommand) + 1] = {};
  DWORD dw;
  for (DWORD dwIn : { DWORD{ 0 }, DWORD{ 4 }, DWORD{ sizeof Buffer } }) {   // the command record only
    EXPECT_FALSE(DeviceIoControl(h, TESTDRV_REQUEST_COUNT, Buffer, dwIn, Buffer, 4, &dw, nullptr)) << dwIn;
    EXPECT_EQ(GetLastError(), DWORD{ ERROR_INVALID_PARAMETER }) << dwIn;
  }
  CloseHandle(h);
}

}  // namespace
