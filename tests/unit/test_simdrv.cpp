// The simulated filter driver, through the device seam directly: only what the
// plug-in's own tests do not lean on already. Its answers in flight (later,
// failed, cancelled, concurrent), its reply lengths and a vanishing device's
// pending requests are exercised through the transport, the event thread, the
// settings handlers and discovery; the requests it takes through the settings
// table, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "simdrv/SimDrv.h"

// Paths compare without case, as Windows paths do. Closing a handle ends its
// pending requests; later ones on it fail as on any invalid handle. A vanished
// device fails new requests on its open handles and takes no packets.
TEST(SimDrv, HandlesOpenWithoutCaseAndEndWithTheirHandleOrDevice)
{
  SimDrvReset();
  const std::string sPath = "\\\\?\\HID#VID_1A2B&PID_0009#simdrv#{5a486531-0201-43e0-bd81-d544bb08d0dc}";
  const ULONG ulDevice = SimDrvAddDevice(sPath.c_str());
  ASSERT_NE(0u, ulDevice);
  HANDLE hFirst = DevIoOpen(sPath.c_str());
  ASSERT_NE(INVALID_HANDLE_VALUE, hFirst);
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, DevIoOpen("\\\\?\\nothing#here"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, DevIoOpen(nullptr));
  std::string sUpper = sPath;
  for (char& c : sUpper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  HANDLE hSecond = DevIoOpen(sUpper.c_str());
  ASSERT_NE(INVALID_HANDLE_VALUE, hSecond);
  EXPECT_EQ(2u, SimDrvOpenHandleCount(ulDevice));

  // An overlapped get; its Win32 error (0 when it completed at once).
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ULONG ulId = 3102;
  DWORD dw;
  auto get = [&](HANDLE h) { return DevIoControl(h, 0x00220410, &ulId, 4, &ulId, 4, &dw, &ov) ? 0 : GetLastError(); };
  SimDrvSetMode(ulDevice, SIMDRV_NEVER_ANSWER, 0, 0);
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), get(hSecond));
  ASSERT_TRUE(CloseHandle(hSecond));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(ov.hEvent, 2000));
  EXPECT_FALSE(DevIoGetOverlappedResult(hSecond, &ov, &dw, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), GetLastError());
  EXPECT_EQ(0u, SimDrvPendingCount(ulDevice));
  EXPECT_EQ(1u, SimDrvOpenHandleCount(ulDevice));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), get(hSecond));
  EXPECT_EQ(0u, SimDrvDeviceOfHandle(hSecond));
  EXPECT_FALSE(DevIoCancel(hSecond));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  SimDrvRemoveDevice(ulDevice);
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), get(hFirst));
  EXPECT_FALSE(SimDrvQueueEvent(ulDevice, &ulId, 4));
  CloseHandle(hFirst);
  CloseHandle(ov.hEvent);
  SimDrvReset();
}
