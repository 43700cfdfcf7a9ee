// The simulated filter driver, through the device seam directly: only what the
// plug-in's own tests do not lean on already. Its answers in flight (later,
// failed, cancelled, concurrent), its reply lengths and a vanishing device's
// pending requests are exercised through the transport, the event thread, the
// settings handlers and discovery.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "simdrv/SimDrv.h"

namespace {

constexpr DWORD IOCTL_REGISTER = 0x00220404;
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
  DWORD Get(ULONG ulId, void* pOut, DWORD dwOut) { return Call(IOCTL_GET, &ulId, 4, pOut, dwOut); }
  DWORD Set(const std::vector<ULONG>& words)
  {
    return Call(IOCTL_SET, words.data(), static_cast<DWORD>(words.size() * 4), nullptr, 0);
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
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED), Get(3102, &ulId, 4));
  EXPECT_FALSE(SimDrvQueueEvent(m_ulDevice, &ulId, 4));
}

// What the plug-in never sends is refused as the driver refuses it: gets of
// set-only, event or unknown parameters, replies that do not fit, sets of a
// wrong length, read-only or unknown parameters, registrations of anything but
// the chording event, and unknown control codes.
TEST_F(SimDrvTest, RequestsThePlugInNeverSendsAreRefused)
{
  BYTE out[132];
  for (ULONG ulId : { 3105u, 3109u, 3112u, 3114u, 3117u, 1234u }) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Get(ulId, out, sizeof out)) << ulId;
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), Get(3116, out, 4));
  std::vector<ULONG> tooLong(1 + 1 + 33, 0);
  tooLong[0] = 3111;
  for (const auto& words : { std::vector<ULONG>{ 3102 }, { 3116, 1 }, { 3107, 1, 2 }, { 4000, 1, 2 }, { 9999, 1 },
                             tooLong }) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Set(words)) << words[0] << " " << words.size();
  }
  ULONG ulId = 3112;
  EXPECT_EQ(0u, Call(IOCTL_REGISTER, &ulId, 4, nullptr, 0));
  ulId = 3111;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Call(IOCTL_REGISTER, &ulId, 4, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), Call(0x00220418, &ulId, 4, nullptr, 0));
}

// The interface list as the system answers what the plug-in never asks: no
// class, records of the wrong size, buffers one byte short, indexes past the
// end, a list destroyed twice. A list is a snapshot of the class asked for.
TEST(SimDrvSetup, InterfaceListRefusesWhatTheSystemRefuses)
{
  SimDrvReset();
  const GUID kRaw = { 0x5A486531, 0x0201, 0x43E0, { 0xBD, 0x81, 0xD5, 0x44, 0xBB, 0x08, 0xD0, 0xDC } };
  const GUID kOther = { 0x12345678, 0, 0, {} };
  const std::string sPath = "\\\\?\\hid#vid_045e&pid_00cb#1#{5a486531-0201-43e0-bd81-d544bb08d0dc}";
  const std::string sId = "HID\\VID_045E&PID_00CB&REV_0100&MI_01&COL01\\7&1A2B&0&0000";
  SimDrvDeviceDesc desc{}, other{};
  desc.sPath = sPath.c_str();
  desc.sInstanceId = sId.c_str();
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
  const DWORD dwNeeded = static_cast<DWORD>(4 + sPath.size() + 1);
  std::vector<BYTE> buffer(dwNeeded);
  auto* pDetail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
  pDetail->cbSize = 5;
  EXPECT_EQ(kBadBuffer, err(DevIoSetupDiGetDeviceInterfaceDetailA(hSet, &ifData, pDetail, dwNeeded, nullptr, nullptr)));
  pDetail->cbSize = 8;
  EXPECT_EQ(kShort, err(DevIoSetupDiGetDeviceInterfaceDetailA(hSet, &ifData, pDetail, dwNeeded - 1, nullptr, nullptr)));
  SP_DEVINFO_DATA devInfo{};
  devInfo.cbSize = 32;
  ASSERT_EQ(0u, err(DevIoSetupDiGetDeviceInterfaceDetailA(hSet, &ifData, pDetail, dwNeeded, nullptr, &devInfo)));
  char sOut[100];
  EXPECT_EQ(kShort, err(DevIoSetupDiGetDeviceInstanceIdA(hSet, &devInfo, sOut, static_cast<DWORD>(sId.size()), nullptr)));
  EXPECT_EQ(kNoMore, err(DevIoSetupDiEnumDeviceInfo(hSet, 1, &devInfo)));
  EXPECT_EQ(0u, err(DevIoSetupDiDestroyDeviceInfoList(hSet)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), err(DevIoSetupDiDestroyDeviceInfoList(hSet)));
  EXPECT_EQ(0u, SimDrvDeviceListCount());
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), err(DevIoSetupDiEnumDeviceInfo(hSet, 0, &devInfo)));
  SimDrvReset();
}
