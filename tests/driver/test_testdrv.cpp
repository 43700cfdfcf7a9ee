// The test kernel driver itself, through the real kernel32 calls, where the
// plug-in's lane does not lean on it: what it does with a closed or unplugged
// device's requests.
#include <windows.h>

#include <gtest/gtest.h>

#include "testdrv/TestDrvClient.h"

namespace {

constexpr DWORD IOCTL_EVENT_READ = 0x0022040C, IOCTL_GET = 0x00220410;
constexpr LONG STATUS_CANCELLED_ = static_cast<LONG>(0xC0000120);

// Sends a request; returns 0, ERROR_IO_PENDING or the error.
DWORD Send(HANDLE h, DWORD dwIoctl, const void* pIn, DWORD dwIn, void* pOut, DWORD dwOut, OVERLAPPED* pOv)
{
  DWORD dw = 0;
  return DeviceIoControl(h, dwIoctl, const_cast<void*>(pIn), dwIn, pOut, dwOut, &dw, pOv) ? 0 : GetLastError();
}

// What the plug-in's lane does not reach: a handle closed with a request still
// held (Wine sends no clean-up, only the close, which must end that handle's
// requests alone), and requests held or new at an unplug.
TEST(TestDrv, CloseAndUnplugEndHeldRequests)
{
  ASSERT_TRUE(TestDrvConnect()) << "driver not running: run through scripts/driver-lane.sh";
  TestDrvReset();
  const ULONG ulChild = TestDrvPlug("HID\\VID_1A2B&PID_0003\\1&0");
  char sPath[MAX_PATH];
  ASSERT_TRUE(TestDrvInterfacePath(ulChild, sPath, sizeof sPath));
  HANDLE h[2];
  for (HANDLE& hOpen : h) {
    hOpen = CreateFileA(sPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(hOpen, INVALID_HANDLE_VALUE);
  }
  EXPECT_EQ(TestDrvOpenHandleCount(ulChild), 2u);
  TestDrvSetMode(ulChild, TESTDRV_NEVER_ANSWER, 0);
  OVERLAPPED get{}, read{};
  get.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const ULONG ulId = 3102;
  BYTE Buffer[100];
  ASSERT_EQ(Send(h[0], IOCTL_GET, &ulId, 4, Buffer, 4, &get), DWORD{ ERROR_IO_PENDING });
  ASSERT_EQ(Send(h[1], IOCTL_EVENT_READ, nullptr, 0, Buffer, sizeof Buffer, &read), DWORD{ ERROR_IO_PENDING });
  CloseHandle(h[0]);
  EXPECT_EQ(WaitForSingleObject(get.hEvent, 10000), DWORD{ WAIT_OBJECT_0 });
  EXPECT_EQ(static_cast<LONG>(get.Internal), STATUS_CANCELLED_);
  EXPECT_EQ(TestDrvOpenHandleCount(ulChild), 1u);
  EXPECT_EQ(TestDrvPendingCount(0), 1u);   // the other handle's read

  ASSERT_TRUE(TestDrvUnplug(ulChild));
  DWORD dwReturned;
  EXPECT_FALSE(GetOverlappedResult(h[1], &read, &dwReturned, TRUE));
  EXPECT_EQ(GetLastError(), DWORD{ ERROR_DEVICE_NOT_CONNECTED });
  EXPECT_EQ(Send(h[1], IOCTL_GET, &ulId, 4, Buffer, 4, &read), DWORD{ ERROR_DEVICE_NOT_CONNECTED });
  EXPECT_EQ(TestDrvPendingCount(0), 0u);
  for (HANDLE hEnd : { get.hEvent, read.hEvent, h[1] }) CloseHandle(hEnd);
  EXPECT_EQ(TestDrvOpenHandleCount(ulChild), 0u);   // the close reached the removed child
  TestDrvReset();
}

}  // namespace
