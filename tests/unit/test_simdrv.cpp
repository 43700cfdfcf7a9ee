// The simulated filter driver, through the device seam directly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "simdrv/SimDrv.h"

namespace {

constexpr DWORD IOCTL_REGISTER = 0x00220404;
constexpr DWORD IOCTL_UNREGISTER = 0x00220408;
constexpr DWORD IOCTL_EVENT_READ = 0x0022040C;
constexpr DWORD IOCTL_GET = 0x00220410;
constexpr DWORD IOCTL_SET = 0x00220414;

std::string UniquePath(const char* sTag)
{
  static LONG s_lCounter = 0;
  return std::string("\\\\?\\HID#VID_1A2B&PID_0009#simdrv-") + sTag + "-" +
         std::to_string(InterlockedIncrement(&s_lCounter)) + "#{5a486531-0201-43e0-bd81-d544bb08d0dc}";
}

// One simulated device, opened, with an overlapped record and its event.
class SimDrvTest : public testing::Test {
protected:
  void SetUp() override
  {
    m_sPath = UniquePath("seam");
    m_ulDevice = SimDrvAddDevice(m_sPath.c_str());
    ASSERT_NE(0u, m_ulDevice);
    m_hDevice = DevIoOpen(m_sPath.c_str());
    ASSERT_NE(INVALID_HANDLE_VALUE, m_hDevice);
    m_hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SimDrvClearRequests();
  }
  void TearDown() override
  {
    SimDrvRemoveDevice(m_ulDevice);
    if (m_hDevice != INVALID_HANDLE_VALUE) {
      CloseHandle(m_hDevice);
    }
    CloseHandle(m_hEvent);
  }
  OVERLAPPED* FreshOverlapped()
  {
    memset(&m_ov, 0, sizeof m_ov);
    m_ov.hEvent = m_hEvent;
    return &m_ov;
  }
  // An overlapped request that must complete at once; returns its Win32 error.
  DWORD Call(DWORD dwIoctl, const void* pIn, DWORD dwIn, void* pOut, DWORD dwOut, DWORD* pdwReturned)
  {
    *pdwReturned = 0xDEAD;
    BOOL b = DevIoControl(m_hDevice, dwIoctl, const_cast<void*>(pIn), dwIn, pOut, dwOut, pdwReturned,
                          FreshOverlapped());
    return b ? 0 : GetLastError();
  }
  DWORD Get(ULONG ulId, void* pOut, DWORD dwOut, DWORD* pdwReturned)
  {
    return Call(IOCTL_GET, &ulId, 4, pOut, dwOut, pdwReturned);
  }
  DWORD Set(const std::vector<ULONG>& words)
  {
    DWORD dw;
    return Call(IOCTL_SET, words.data(), static_cast<DWORD>(words.size() * 4), nullptr, 0, &dw);
  }

  std::string m_sPath;
  ULONG m_ulDevice = 0;
  HANDLE m_hDevice = INVALID_HANDLE_VALUE;
  HANDLE m_hEvent = nullptr;
  OVERLAPPED m_ov{};
};

}  // namespace

TEST_F(SimDrvTest, HandlesAreRealObjectsOfTheirDeviceUntilClosed)
{
  DWORD dwFlags;
  EXPECT_TRUE(GetHandleInformation(m_hDevice, &dwFlags));
  EXPECT_EQ(m_ulDevice, SimDrvDeviceOfHandle(m_hDevice));
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, DevIoOpen("\\\\?\\nothing#here"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, DevIoOpen(nullptr));

  // Paths compare without case, as Windows paths do.
  std::string sUpper = m_sPath;
  for (char& c : sUpper) {
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
  HANDLE hSecond = DevIoOpen(sUpper.c_str());
  ASSERT_NE(INVALID_HANDLE_VALUE, hSecond);
  EXPECT_EQ(2u, SimDrvOpenHandleCount(m_ulDevice));
  ASSERT_TRUE(CloseHandle(hSecond));
  EXPECT_EQ(1u, SimDrvOpenHandleCount(m_ulDevice));
  DWORD dwReturned = 0;
  ULONG ulId = 3102;
  EXPECT_FALSE(DevIoControl(hSecond, IOCTL_GET, &ulId, 4, &ulId, 4, &dwReturned, FreshOverlapped()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(0u, SimDrvDeviceOfHandle(hSecond));
  EXPECT_FALSE(DevIoCancel(hSecond));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(SimDrvTest, FreshDeviceAnswersEveryGetWithItsLength)
{
  struct Row {
    ULONG ulId;
    DWORD dwLength;
  } rows[] = { { 3102, 4 }, { 3103, 4 }, { 3106, 16 }, { 3107, 4 }, { 3108, 20 },
               { 3111, 4 }, { 3116, 8 }, { 4000, 8 } };
  for (const Row& row : rows) {
    BYTE out[132];
    DWORD dwReturned;
    EXPECT_EQ(0u, Get(row.ulId, out, sizeof out, &dwReturned)) << row.ulId;
    EXPECT_EQ(row.dwLength, dwReturned) << row.ulId;
  }
  ULONG ulSpeed = 0;
  DWORD dwReturned;
  ASSERT_EQ(0u, Get(3102, &ulSpeed, 4, &dwReturned));
  EXPECT_EQ(0x10001000u, ulSpeed);

  // Set-only parameters, the event identifier and unknown ones are refused.
  for (ULONG ulId : { 3105u, 3109u, 3112u, 3114u, 3117u, 1234u }) {
    BYTE out[132];
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Get(ulId, out, sizeof out, &dwReturned)) << ulId;
  }
  // A reply that does not fit.
  BYTE small[4];
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), Get(3116, small, sizeof small, &dwReturned));
  // A get without the identifier.
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Call(IOCTL_GET, "\x1e", 1, small, 4, &dwReturned));
}

TEST_F(SimDrvTest, SetStoresTheValueBytesAndChecksTheirLength)
{
  EXPECT_EQ(0u, Set({ 3102, 0x0CCD0333 }));
  ULONG ulValue = 0;
  DWORD dwReturned;
  ASSERT_EQ(0u, Get(3102, &ulValue, 4, &dwReturned));
  EXPECT_EQ(0x0CCD0333u, ulValue);

  // Level and two points: the get replies with what is stored.
  EXPECT_EQ(0u, Set({ 3111, 3, 0x00010002, 0x00030004 }));
  ULONG curve[33] = {};
  ASSERT_EQ(0u, Get(3111, curve, sizeof curve, &dwReturned));
  EXPECT_EQ(12u, dwReturned);
  EXPECT_EQ(3u, curve[0]);
  EXPECT_EQ(0x00030004u, curve[2]);

  std::vector<ULONG> tooLong(1 + 1 + 33, 0);
  tooLong[0] = 3111;
  const std::vector<ULONG> refused[] = {
    { 3102 }, { 3116, 1 }, { 3107, 1, 2 }, { 4000, 1, 2 }, { 9999, 1 }, tooLong,   // no, short, long value; read-only; unknown
  };
  for (const std::vector<ULONG>& words : refused) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Set(words)) << words[0] << " " << words.size();
  }
  ASSERT_EQ(0u, Get(3102, &ulValue, 4, &dwReturned));
  EXPECT_EQ(0x0CCD0333u, ulValue);
}

TEST_F(SimDrvTest, RegisterAcceptsOnlyTheChordingEvent)
{
  ULONG ulId = 3112;
  DWORD dwReturned;
  EXPECT_EQ(0u, Call(IOCTL_REGISTER, &ulId, 4, nullptr, 0, &dwReturned));
  EXPECT_EQ(0u, dwReturned);
  EXPECT_EQ(0u, Call(IOCTL_UNREGISTER, &ulId, 4, nullptr, 0, &dwReturned));
  ulId = 3111;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Call(IOCTL_REGISTER, &ulId, 4, nullptr, 0, &dwReturned));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), Call(0x00220418, &ulId, 4, nullptr, 0, &dwReturned));
}

TEST_F(SimDrvTest, LogHoldsExactBytesSizesThreadAndResult)
{
  BYTE in[6] = { 0x1E, 0x0C, 0, 0, 0x55, 0x66 };
  DWORD dwReturned;
  Call(IOCTL_SET, in, sizeof in, nullptr, 0, &dwReturned);
  ASSERT_EQ(1u, SimDrvRequestCount());
  SimDrvRequest r{};
  ASSERT_TRUE(SimDrvGetRequest(0, &r));
  EXPECT_EQ(m_ulDevice, r.ulDevice);
  EXPECT_EQ(IOCTL_SET, r.dwIoctl);
  EXPECT_EQ(6u, r.ulInSize);
  EXPECT_EQ(0, memcmp(r.In, in, sizeof in));
  EXPECT_EQ(0u, r.ulOutSize);
  EXPECT_EQ(GetCurrentThreadId(), r.dwThreadId);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), r.dwResult);   // 2-byte value for 3102
  EXPECT_FALSE(SimDrvGetRequest(1, &r));
  SimDrvClearRequests();
  EXPECT_EQ(0u, SimDrvRequestCount());
}

TEST_F(SimDrvTest, EventReadWaitsForAPacket)
{
  BYTE packet[100];
  DWORD dwReturned = 0;
  // A queued packet is handed out at once.
  const BYTE first[5] = { 1, 2, 3, 4, 5 };
  ASSERT_TRUE(SimDrvQueueEvent(m_ulDevice, first, sizeof first));
  ASSERT_EQ(0u, Call(IOCTL_EVENT_READ, nullptr, 0, packet, sizeof packet, &dwReturned));
  EXPECT_EQ(5u, dwReturned);
  EXPECT_EQ(0, memcmp(packet, first, 5));

  // None queued: pending until one is.
  EXPECT_FALSE(DevIoControl(m_hDevice, IOCTL_EVENT_READ, nullptr, 0, packet, sizeof packet, &dwReturned,
                            FreshOverlapped()));
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  EXPECT_EQ(1u, SimDrvPendingCount(m_ulDevice));
  EXPECT_FALSE(DevIoGetOverlappedResult(m_hDevice, &m_ov, &dwReturned, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IO_INCOMPLETE), GetLastError());
  const BYTE second[3] = { 9, 8, 7 };
  ASSERT_TRUE(SimDrvQueueEvent(m_ulDevice, second, sizeof second));
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(m_hEvent, 2000));
  ASSERT_TRUE(DevIoGetOverlappedResult(m_hDevice, &m_ov, &dwReturned, FALSE));
  EXPECT_EQ(3u, dwReturned);
  EXPECT_EQ(0, memcmp(packet, second, 3));
  EXPECT_EQ(0u, SimDrvPendingCount(m_ulDevice));
}

TEST_F(SimDrvTest, LaterModeCompletesFromAnotherThread)
{
  SimDrvSetMode(m_ulDevice, SIMDRV_COMPLETE_LATER, 0, 150);
  ULONG ulId = 3102;
  ULONG ulValue = 0;
  DWORD dwReturned = 0;
  EXPECT_FALSE(DevIoControl(m_hDevice, IOCTL_GET, &ulId, 4, &ulValue, 4, &dwReturned, FreshOverlapped()));
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  EXPECT_EQ(0u, ulValue);
  ASSERT_TRUE(DevIoGetOverlappedResult(m_hDevice, &m_ov, &dwReturned, TRUE));
  EXPECT_EQ(4u, dwReturned);
  EXPECT_EQ(0x10001000u, ulValue);
  SimDrvRequest r{};
  ASSERT_TRUE(SimDrvGetRequest(SimDrvRequestCount() - 1, &r));
  EXPECT_EQ(0u, r.dwResult);
}

TEST_F(SimDrvTest, CancelEndsOnlyTheCallingThreadsRequests)
{
  SimDrvSetMode(m_ulDevice, SIMDRV_NEVER_ANSWER, 0, 0);
  ULONG ulId = 3102;
  ULONG ulValue = 0;
  DWORD dwReturned = 0;
  EXPECT_FALSE(DevIoControl(m_hDevice, IOCTL_GET, &ulId, 4, &ulValue, 4, &dwReturned, FreshOverlapped()));
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());

  auto cancelOther = [](void* pv) -> DWORD { return DevIoCancel(static_cast<HANDLE>(pv)) ? 1 : 0; };
  HANDLE hThread = CreateThread(nullptr, 0, cancelOther, m_hDevice, 0, nullptr);
  WaitForSingleObject(hThread, 5000);
  DWORD dwCode = 0;
  GetExitCodeThread(hThread, &dwCode);
  CloseHandle(hThread);
  EXPECT_EQ(1u, dwCode);
  EXPECT_EQ(1u, SimDrvPendingCount(m_ulDevice));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(m_hEvent, 100));

  // The cancelled request ends shortly after the cancel, as a driver's would.
  ASSERT_TRUE(DevIoCancel(m_hDevice));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(m_hEvent, 2000));
  EXPECT_EQ(0u, SimDrvPendingCount(m_ulDevice));
  EXPECT_FALSE(DevIoGetOverlappedResult(m_hDevice, &m_ov, &dwReturned, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), GetLastError());
}

TEST_F(SimDrvTest, FailModeFailsAtOnceWithTheGivenError)
{
  SimDrvSetMode(m_ulDevice, SIMDRV_FAIL, ERROR_GEN_FAILURE, 0);
  ULONG ulValue;
  DWORD dwReturned;
  EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), Get(3102, &ulValue, 4, &dwReturned));
  EXPECT_EQ(0u, SimDrvPendingCount(m_ulDevice));
}

TEST_F(SimDrvTest, VanishedDeviceEndsPendingRequestsAndRefusesNewOnes)
{
  SimDrvSetMode(m_ulDevice, SIMDRV_NEVER_ANSWER, 0, 0);
  BYTE packet[100];
  DWORD dwReturned = 0;
  EXPECT_FALSE(DevIoControl(m_hDevice, IOCTL_EVENT_READ, nullptr, 0, packet, sizeof packet, &dwReturned,
                            FreshOverlapped()));
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  SimDrvRemoveDevice(m_ulDevice);
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(m_hEvent, 0));
  EXPECT_FALSE(DevIoGetOverlappedResult(m_hDevice, &m_ov, &dwReturned, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), GetLastError());

  ULONG ulValue;
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), Get(3102, &ulValue, 4, &dwReturned));
  EXPECT_EQ(INVALID_HANDLE_VALUE, DevIoOpen(m_sPath.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_FALSE(SimDrvQueueEvent(m_ulDevice, packet, 4));

  // The same path may arrive again as a new device.
  ULONG ulAgain = SimDrvAddDevice(m_sPath.c_str());
  EXPECT_NE(0u, ulAgain);
  EXPECT_NE(m_ulDevice, ulAgain);
  SimDrvRemoveDevice(ulAgain);
}

TEST_F(SimDrvTest, ClosingTheHandleEndsItsPendingRequests)
{
  SimDrvSetMode(m_ulDevice, SIMDRV_NEVER_ANSWER, 0, 0);
  ULONG ulId = 3102;
  ULONG ulValue = 0;
  DWORD dwReturned = 0;
  EXPECT_FALSE(DevIoControl(m_hDevice, IOCTL_GET, &ulId, 4, &ulValue, 4, &dwReturned, FreshOverlapped()));
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
  ASSERT_TRUE(CloseHandle(m_hDevice));
  HANDLE hClosed = m_hDevice;
  m_hDevice = INVALID_HANDLE_VALUE;
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(m_hEvent, 2000));
  EXPECT_FALSE(DevIoGetOverlappedResult(hClosed, &m_ov, &dwReturned, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), GetLastError());
  EXPECT_EQ(0u, SimDrvPendingCount(m_ulDevice));
}

TEST_F(SimDrvTest, ConcurrentSetsAllComplete)
{
  SimDrvSetMode(m_ulDevice, SIMDRV_COMPLETE_LATER, 0, 5);
  struct Ctx {
    HANDLE hDevice;
    ULONG ulBase;
    LONG lFailures;
  };
  auto worker = [](void* pv) -> DWORD {
    auto* c = static_cast<Ctx*>(pv);
    HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (ULONG n = 0; n < 50; ++n) {
      ULONG in[2] = { 3103, c->ulBase + n };
      OVERLAPPED ov{};
      ov.hEvent = hEvent;
      DWORD dw = 0;
      BOOL b = DevIoControl(c->hDevice, IOCTL_SET, in, 8, nullptr, 0, &dw, &ov);
      if (!b && GetLastError() == ERROR_IO_PENDING) {
        b = DevIoGetOverlappedResult(c->hDevice, &ov, &dw, TRUE);
      }
      if (!b) {
        InterlockedIncrement(&c->lFailures);
      }
    }
    CloseHandle(hEvent);
    return 0;
  };
  Ctx ctx[3] = { { m_hDevice, 1000, 0 }, { m_hDevice, 2000, 0 }, { m_hDevice, 3000, 0 } };
  HANDLE hThreads[3];
  for (int i = 0; i < 3; ++i) {
    hThreads[i] = CreateThread(nullptr, 0, worker, &ctx[i], 0, nullptr);
  }
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForMultipleObjects(3, hThreads, TRUE, 30000));
  for (HANDLE h : hThreads) {
    CloseHandle(h);
  }
  for (const Ctx& c : ctx) {
    EXPECT_EQ(0, c.lFailures);
  }
  EXPECT_EQ(150u, SimDrvRequestCount());
  EXPECT_EQ(0u, SimDrvPendingCount(m_ulDevice));
}

// ---- Setup API stand-ins --------------------------------------------------------------

TEST(SimDrvSetup, InterfaceListAnswersWithTheSystemsSizesAndErrors)
{
  SimDrvReset();
  const GUID kRaw = { 0x5A486531, 0x0201, 0x43E0, { 0xBD, 0x81, 0xD5, 0x44, 0xBB, 0x08, 0xD0, 0xDC } };
  const GUID kOther = { 0x12345678, 0, 0, {} };
  const std::string sPath = "\\\\?\\hid#vid_045e&pid_00cb#1#{5a486531-0201-43e0-bd81-d544bb08d0dc}";
  const std::string sId = "HID\\VID_045E&PID_00CB&REV_0100&MI_01&COL01\\7&1A2B&0&0000";
  SimDrvDeviceDesc desc{};
  desc.sPath = sPath.c_str();
  desc.sInstanceId = sId.c_str();
  desc.diNode = 0x77;
  SimDrvAddDeviceEx(&desc);
  SimDrvDeviceDesc other{};
  other.sPath = "\\\\?\\other";
  other.pInterfaceClass = &kOther;
  SimDrvAddDeviceEx(&other);

  EXPECT_EQ(INVALID_HANDLE_VALUE, DevIoSetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_DEVICEINTERFACE));
  HDEVINFO hSet = DevIoSetupDiGetClassDevsA(&kRaw, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(INVALID_HANDLE_VALUE, hSet);
  SimDrvAddDevice("\\\\?\\later");   // the list is a snapshot
  auto lastError = [](BOOL b) { return b ? 0u : GetLastError(); };

  SP_DEVICE_INTERFACE_DATA ifData{};
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), lastError(DevIoSetupDiEnumDeviceInterfaces(hSet, nullptr, &kRaw, 0, &ifData)));
  ifData.cbSize = 32;
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), lastError(DevIoSetupDiEnumDeviceInterfaces(hSet, nullptr, &kRaw, 1, &ifData)));
  ASSERT_EQ(0u, lastError(DevIoSetupDiEnumDeviceInterfaces(hSet, nullptr, &kRaw, 0, &ifData)));

  // Detail: 4 bytes of head, the path and its terminator.
  const DWORD dwNeeded = static_cast<DWORD>(4 + sPath.size() + 1);
  DWORD dwSize = 0;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
            lastError(DevIoSetupDiGetDeviceInterfaceDetailA(hSet, &ifData, nullptr, 0, &dwSize, nullptr)));
  EXPECT_EQ(dwNeeded, dwSize);
  std::vector<BYTE> buffer(dwNeeded);
  auto* pDetail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
  pDetail->cbSize = 5;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER),
            lastError(DevIoSetupDiGetDeviceInterfaceDetailA(hSet, &ifData, pDetail, dwNeeded, nullptr, nullptr)));
  pDetail->cbSize = 8;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
            lastError(DevIoSetupDiGetDeviceInterfaceDetailA(hSet, &ifData, pDetail, dwNeeded - 1, nullptr, nullptr)));
  SP_DEVINFO_DATA devInfo{};
  devInfo.cbSize = 32;
  ASSERT_EQ(0u, lastError(DevIoSetupDiGetDeviceInterfaceDetailA(hSet, &ifData, pDetail, dwNeeded, nullptr, &devInfo)));
  EXPECT_EQ(sPath, pDetail->DevicePath);
  EXPECT_EQ(0x77u, devInfo.DevInst);

  // Instance ID: size query, short buffer, exact buffer.
  char sOut[100];
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
            lastError(DevIoSetupDiGetDeviceInstanceIdA(hSet, &devInfo, nullptr, 0, &dwSize)));
  EXPECT_EQ(sId.size() + 1, dwSize);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
            lastError(DevIoSetupDiGetDeviceInstanceIdA(hSet, &devInfo, sOut, dwSize - 1, nullptr)));
  ASSERT_EQ(0u, lastError(DevIoSetupDiGetDeviceInstanceIdA(hSet, &devInfo, sOut, dwSize, nullptr)));
  EXPECT_EQ(sId, sOut);

  SP_DEVINFO_DATA byIndex{};
  byIndex.cbSize = 32;
  EXPECT_EQ(0u, lastError(DevIoSetupDiEnumDeviceInfo(hSet, 0, &byIndex)));
  EXPECT_EQ(0x77u, byIndex.DevInst);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), lastError(DevIoSetupDiEnumDeviceInfo(hSet, 1, &byIndex)));

  EXPECT_EQ(1u, SimDrvDeviceListCount());
  EXPECT_EQ(0u, lastError(DevIoSetupDiDestroyDeviceInfoList(hSet)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), lastError(DevIoSetupDiDestroyDeviceInfoList(hSet)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), lastError(DevIoSetupDiEnumDeviceInfo(hSet, 0, &byIndex)));
  EXPECT_EQ(0u, SimDrvDeviceListCount());
  SimDrvReset();
}
