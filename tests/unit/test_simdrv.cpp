// The simulated filter driver, through the device seam directly: only what the
// plug-in's own tests do not lean on already. Its answers in flight (later,
// failed, cancelled, concurrent), its reply lengths and a vanishing device's
// pending requests are exercised through the transport, the event thread, the
// settings handlers and discovery; the requests it takes through the settings
// table, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "simdrv/SimDrv.h"

namespace {

constexpr DWORD IOCTL_GET = 0x00220410;

// One simulated device, opened, with an overlapped record and its event.
class SimDrvTest : public testing::Test {
protected:
  void SetUp() override
  {
    static LONG s_lCounter = 0;
    m_sPath = "\\\\?\\HID#VID_1A2B&PID_0009#simdrv-" + std::to_string(InterlockedIncrement(&s_lCounter)) +
              "#{5a486531-0201-43e0-bd81-d544bb08d0dc}";
    m_ulDevice = SimDrvAddDevice(m_sPath.c_str());
    ASSERT_NE(0u, m_ulDevice);
    m_hDevice = DevIoOpen(m_sPath.c_str());
    ASSERT_NE(INVALID_HANDLE_VALUE, m_hDevice);
    m_ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  }
  void TearDown() override
  {
    SimDrvRemoveDevice(m_ulDevice);
    if (m_hDevice != INVALID_HANDLE_VALUE) CloseHandle(m_hDevice);
    CloseHandle(m_ov.hEvent);
  }
  // An overlapped request; returns its Win32 error (0 when it completed at once).
  DWORD Call(DWORD dwIoctl, const void* pIn, DWORD dwIn, void* pOut, DWORD dwOut, HANDLE hDevice = nullptr)
  {
    DWORD dwReturned = 0;
    HANDLE hEvent = m_ov.hEvent;
    m_ov = {};
    m_ov.hEvent = hEvent;
    BOOL b = DevIoControl(hDevice ? hDevice : m_hDevice, dwIoctl, const_cast<void*>(pIn), dwIn, pOut, dwOut,
                          &dwReturned, &m_ov);
    return b ? 0 : GetLastError();
  }

  std::string m_sPath;
  ULONG m_ulDevice = 0;
  HANDLE m_hDevice = INVALID_HANDLE_VALUE;
  OVERLAPPED m_ov{};
};

}  // namespace

// Paths compare without case, as Windows paths do. Closing a handle ends its
// pending requests; later ones on it fail as on any invalid handle. A vanished
// device fails new requests on its open handles and takes no packets.
TEST_F(SimDrvTest, HandlesOpenWithoutCaseAndEndWithTheirHandleOrDevice)
{
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, DevIoOpen("\\\\?\\nothing#here"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, DevIoOpen(nullptr));
  std::string sUpper = m_sPath;
  for (char& c : sUpper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  HANDLE hSecond = DevIoOpen(sUpper.c_str());
  ASSERT_NE(INVALID_HANDLE_VALUE, hSecond);
  EXPECT_EQ(2u, SimDrvOpenHandleCount(m_ulDevice));

  SimDrvSetMode(m_ulDevice, SIMDRV_NEVER_ANSWER, 0, 0);
  ULONG ulId = 3102;
  DWORD dw;
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), Call(IOCTL_GET, &ulId, 4, &ulId, 4, hSecond));
  ASSERT_TRUE(CloseHandle(hSecond));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(m_ov.hEvent, 2000));
  EXPECT_FALSE(DevIoGetOverlappedResult(hSecond, &m_ov, &dw, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), GetLastError());
  EXPECT_EQ(0u, SimDrvPendingCount(m_ulDevice));
  EXPECT_EQ(1u, SimDrvOpenHandleCount(m_ulDevice));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), Call(IOCTL_GET, &ulId, 4, &ulId, 4, hSecond));
  EXPECT_EQ(0u, SimDrvDeviceOfHandle(hSecond));
  EXPECT_FALSE(DevIoCancel(hSecond));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  SimDrvRemoveDevice(m_ulDevice);
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), Call(IOCTL_GET, &ulId, 4, &ulId, 4));
  EXPECT_FALSE(SimDrvQueueEvent(m_ulDevice, &ulId, 4));
}
