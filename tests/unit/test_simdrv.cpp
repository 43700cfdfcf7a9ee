// The simulated filter driver, through the device seam directly. Its answers
// in flight (later, failed, cancelled, concurrent) are exercised through the
// transport, the event thread and the settings handlers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "simdrv/SimDrv.h"

namespace {

constexpr DWORD IOCTL_REGISTER = 0x00220404;
constexpr DWORD IOCTL_UNREGISTER = 0x00220408;
constexpr DWORD IOCTL_GET = 0x00220410;
constexpr DWORD IOCTL_SET = 0x00220414;

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
    SimDrvClearRequests();
  }
  void TearDown() override
  {
    SimDrvRemoveDevice(m_ulDevice);
    if (m_hDevice != INVALID_HANDLE_VALUE) CloseHandle(m_hDevice);
    CloseHandle(m_ov.hEvent);
  }
  // An overlapped request; returns its Win32 error (0 when it completed at once).
  DWORD Call(DWORD dwIoctl, const void* pIn, DWORD dwIn, void* pOut, DWORD dwOut, DWORD* pdwReturned,
             HANDLE hDevice = nullptr)
  {
    *pdwReturned = 0xDEAD;
    HANDLE hEvent = m_ov.hEvent;
    m_ov = {};
    m_ov.hEvent = hEvent;
    BOOL b = DevIoControl(hDevice ? hDevice : m_hDevice, dwIoctl, const_cast<void*>(pIn), dwIn, pOut, dwOut,
                          pdwReturned, &m_ov);
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
  // Whether the pending request ends (within 2 s) with the given error.
  bool EndsWith(DWORD dwError, HANDLE hDevice)
  {
    DWORD dw;
    return WaitForSingleObject(m_ov.hEvent, 2000) == WAIT_OBJECT_0 &&
           !DevIoGetOverlappedResult(hDevice, &m_ov, &dw, FALSE) && GetLastError() == dwError;
  }

  std::string m_sPath;
  ULONG m_ulDevice = 0;
  HANDLE m_hDevice = INVALID_HANDLE_VALUE;
  OVERLAPPED m_ov{};
};

}  // namespace

// Handles are real objects of their device until closed; closing one ends its
// pending requests.
TEST_F(SimDrvTest, HandlesAreRealObjectsOfTheirDeviceUntilClosed)
{
  DWORD dwFlags, dwReturned;
  EXPECT_TRUE(GetHandleInformation(m_hDevice, &dwFlags));
  EXPECT_EQ(m_ulDevice, SimDrvDeviceOfHandle(m_hDevice));
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, DevIoOpen("\\\\?\\nothing#here"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, DevIoOpen(nullptr));

  // Paths compare without case, as Windows paths do.
  std::string sUpper = m_sPath;
  for (char& c : sUpper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  HANDLE hSecond = DevIoOpen(sUpper.c_str());
  ASSERT_NE(INVALID_HANDLE_VALUE, hSecond);
  EXPECT_EQ(2u, SimDrvOpenHandleCount(m_ulDevice));
  SimDrvSetMode(m_ulDevice, SIMDRV_NEVER_ANSWER, 0, 0);
  ULONG ulId = 3102;
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), Call(IOCTL_GET, &ulId, 4, &ulId, 4, &dwReturned, hSecond));
  ASSERT_TRUE(CloseHandle(hSecond));
  EXPECT_TRUE(EndsWith(ERROR_OPERATION_ABORTED, hSecond));
  EXPECT_EQ(0u, SimDrvPendingCount(m_ulDevice));
  EXPECT_EQ(1u, SimDrvOpenHandleCount(m_ulDevice));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), Call(IOCTL_GET, &ulId, 4, &ulId, 4, &dwReturned, hSecond));
  EXPECT_EQ(0u, SimDrvDeviceOfHandle(hSecond));
  EXPECT_FALSE(DevIoCancel(hSecond));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(SimDrvTest, GetsAndSetsAnswerWithTheDriversLengthsAndErrors)
{
  const struct { ULONG ulId; DWORD dwLength; } lengths[] = { { 3102, 4 }, { 3103, 4 }, { 3106, 16 }, { 3107, 4 },
                                                             { 3108, 20 }, { 3111, 4 }, { 3116, 8 }, { 4000, 8 } };
  BYTE out[132];
  DWORD dwReturned;
  for (const auto& row : lengths) {
    EXPECT_EQ(0u, Get(row.ulId, out, sizeof out, &dwReturned)) << row.ulId;
    EXPECT_EQ(row.dwLength, dwReturned) << row.ulId;
  }
  ULONG ulValue = 0;
  EXPECT_TRUE(Get(3102, &ulValue, 4, &dwReturned) == 0 && ulValue == 0x10001000u);
  // Set-only parameters, the event identifier and unknown ones; a reply that
  // does not fit; a get without the identifier.
  for (ULONG ulId : { 3105u, 3109u, 3112u, 3114u, 3117u, 1234u }) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Get(ulId, out, sizeof out, &dwReturned)) << ulId;
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), Get(3116, out, 4, &dwReturned));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Call(IOCTL_GET, "\x1e", 1, out, 4, &dwReturned));

  EXPECT_EQ(0u, Set({ 3102, 0x0CCD0333 }));
  // Level and two points: the get replies with what is stored.
  EXPECT_EQ(0u, Set({ 3111, 3, 0x00010002, 0x00030004 }));
  ULONG curve[33] = {};
  ASSERT_EQ(0u, Get(3111, curve, sizeof curve, &dwReturned));
  EXPECT_TRUE(dwReturned == 12 && curve[0] == 3 && curve[2] == 0x00030004u);
  // No, a short or a long value; read-only; unknown; a curve too long.
  std::vector<ULONG> tooLong(1 + 1 + 33, 0);
  tooLong[0] = 3111;
  for (const auto& words : { std::vector<ULONG>{ 3102 }, { 3116, 1 }, { 3107, 1, 2 }, { 4000, 1, 2 }, { 9999, 1 },
                             tooLong }) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Set(words)) << words[0] << " " << words.size();
  }
  EXPECT_TRUE(Get(3102, &ulValue, 4, &dwReturned) == 0 && ulValue == 0x0CCD0333u);

  // Register takes only the chording event; other codes are not functions.
  ULONG ulId = 3112;
  EXPECT_EQ(0u, Call(IOCTL_REGISTER, &ulId, 4, nullptr, 0, &dwReturned));
  EXPECT_EQ(0u, dwReturned);
  EXPECT_EQ(0u, Call(IOCTL_UNREGISTER, &ulId, 4, nullptr, 0, &dwReturned));
  ulId = 3111;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Call(IOCTL_REGISTER, &ulId, 4, nullptr, 0, &dwReturned));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), Call(0x00220418, &ulId, 4, nullptr, 0, &dwReturned));
}

TEST_F(SimDrvTest, VanishedDeviceEndsPendingRequestsAndRefusesNewOnes)
{
  SimDrvSetMode(m_ulDevice, SIMDRV_NEVER_ANSWER, 0, 0);
  BYTE packet[100];
  DWORD dwReturned = 0;
  ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), Call(0x0022040C, nullptr, 0, packet, sizeof packet, &dwReturned));
  SimDrvRemoveDevice(m_ulDevice);
  EXPECT_TRUE(EndsWith(ERROR_DEVICE_NOT_CONNECTED, m_hDevice));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), Get(3102, packet, 4, &dwReturned));
  EXPECT_EQ(INVALID_HANDLE_VALUE, DevIoOpen(m_sPath.c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_FALSE(SimDrvQueueEvent(m_ulDevice, packet, 4));
  // The same path may arrive again as a new device.
  ULONG ulAgain = SimDrvAddDevice(m_sPath.c_str());
  EXPECT_TRUE(ulAgain != 0 && ulAgain != m_ulDevice);
  SimDrvRemoveDevice(ulAgain);
}

TEST(SimDrvSetup, InterfaceListAnswersWithTheSystemsSizesAndErrors)
{
  SimDrvReset();
  const GUID kRaw = { 0x5A486531, 0x0201, 0x43E0, { 0xBD, 0x81, 0xD5, 0x44, 0xBB, 0x08, 0xD0, 0xDC } };
  const GUID kOther = { 0x12345678, 0, 0, {} };
  const std::string sPath = "\\\\?\\hid#vid_045e&pid_00cb#1#{5a486531-0201-43e0-bd81-d544bb08d0dc}";
  const std::string sId = "HID\\VID_045E&PID_00CB&REV_0100&MI_01&COL01\\7&1A2B&0&0000";
  SimDrvDeviceDesc desc{}, other{};
  desc.sPath = sPath.c_str();
  desc.sInstanceId = sId.c_str();
  desc.diNode = 0x77;
  other.sPath = "\\\\?\\other";
  other.pInterfaceClass = &kOther;
  SimDrvAddDeviceEx(&desc);
  SimDrvAddDeviceEx(&other);

  EXPECT_EQ(INVALID_HANDLE_VALUE, DevIoSetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_DEVICEINTERFACE));
  HDEVINFO hSet = DevIoSetupDiGetClassDevsA(&kRaw, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(INVALID_HANDLE_VALUE, hSet);
  SimDrvAddDevice("\\\\?\\later");   // the list is a snapshot
  auto err = [](BOOL b) { return b ? 0u : GetLastError(); };
  const DWORD kBadBuffer = ERROR_INVALID_USER_BUFFER, kShort = ERROR_INSUFFICIENT_BUFFER, kNoMore = ERROR_NO_MORE_ITEMS;

  SP_DEVICE_INTERFACE_DATA ifData{};
  EXPECT_EQ(kBadBuffer, err(DevIoSetupDiEnumDeviceInterfaces(hSet, nullptr, &kRaw, 0, &ifData)));
  ifData.cbSize = 32;
  EXPECT_EQ(kNoMore, err(DevIoSetupDiEnumDeviceInterfaces(hSet, nullptr, &kRaw, 1, &ifData)));
  ASSERT_EQ(0u, err(DevIoSetupDiEnumDeviceInterfaces(hSet, nullptr, &kRaw, 0, &ifData)));

  // Detail: 4 bytes of head, the path and its terminator.
  const DWORD dwNeeded = static_cast<DWORD>(4 + sPath.size() + 1);
  DWORD dwSize = 0;
  EXPECT_EQ(kShort, err(DevIoSetupDiGetDeviceInterfaceDetailA(hSet, &ifData, nullptr, 0, &dwSize, nullptr)));
  EXPECT_EQ(dwNeeded, dwSize);
  std::vector<BYTE> buffer(dwNeeded);
  auto* pDetail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
  pDetail->cbSize = 5;
  EXPECT_EQ(kBadBuffer, err(DevIoSetupDiGetDeviceInterfaceDetailA(hSet, &ifData, pDetail, dwNeeded, nullptr, nullptr)));
  pDetail->cbSize = 8;
  EXPECT_EQ(kShort, err(DevIoSetupDiGetDeviceInterfaceDetailA(hSet, &ifData, pDetail, dwNeeded - 1, nullptr, nullptr)));
  SP_DEVINFO_DATA devInfo{}, byIndex{};
  devInfo.cbSize = byIndex.cbSize = 32;
  ASSERT_EQ(0u, err(DevIoSetupDiGetDeviceInterfaceDetailA(hSet, &ifData, pDetail, dwNeeded, nullptr, &devInfo)));
  EXPECT_EQ(sPath, pDetail->DevicePath);
  EXPECT_EQ(0x77u, devInfo.DevInst);

  // Instance ID: size query, short buffer, exact buffer.
  char sOut[100];
  EXPECT_EQ(kShort, err(DevIoSetupDiGetDeviceInstanceIdA(hSet, &devInfo, nullptr, 0, &dwSize)));
  EXPECT_EQ(sId.size() + 1, dwSize);
  EXPECT_EQ(kShort, err(DevIoSetupDiGetDeviceInstanceIdA(hSet, &devInfo, sOut, dwSize - 1, nullptr)));
  ASSERT_EQ(0u, err(DevIoSetupDiGetDeviceInstanceIdA(hSet, &devInfo, sOut, dwSize, nullptr)));
  EXPECT_EQ(sId, sOut);

  EXPECT_EQ(0u, err(DevIoSetupDiEnumDeviceInfo(hSet, 0, &byIndex)));
  EXPECT_EQ(0x77u, byIndex.DevInst);
  EXPECT_EQ(kNoMore, err(DevIoSetupDiEnumDeviceInfo(hSet, 1, &byIndex)));

  EXPECT_EQ(1u, SimDrvDeviceListCount());
  EXPECT_EQ(0u, err(DevIoSetupDiDestroyDeviceInfoList(hSet)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), err(DevIoSetupDiDestroyDeviceInfoList(hSet)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), err(DevIoSetupDiEnumDeviceInfo(hSet, 0, &byIndex)));
  EXPECT_EQ(0u, SimDrvDeviceListCount());
  SimDrvReset();
}
