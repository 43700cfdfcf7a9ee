#include "testdrv/TestDrvClient.h"

#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr GUID kRawInterface = { 0x5A486531, 0x0201, 0x43E0, { 0xBD, 0x81, 0xD5, 0x44, 0xBB, 0x08, 0xD0, 0xDC } };
constexpr GUID kSystemClass = { 0x4D36E97D, 0xE325, 0x11CE, { 0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18 } };
constexpr ULONG64 BOUND_MS = 30000;
constexpr DWORD POLL_MS = 10;

HANDLE g_hControl = INVALID_HANDLE_VALUE;
// Wine numbers device nodes per device list, from 0 in a table of the process,
// and frees the numbers with the list: a list held while connected keeps the
// lowest numbers, so no device the plug-in enumerates gets node 0, which it
// takes for no node at all.
HDEVINFO g_hHeldList = INVALID_HANDLE_VALUE;

BOOL Send(ULONG ulCode, const TestDrvCommand& command, void* pOut = nullptr, ULONG ulOutSize = 0)
{
  DWORD dwReturned = 0;
  return g_hControl != INVALID_HANDLE_VALUE &&
         DeviceIoControl(g_hControl, ulCode, const_cast<TestDrvCommand*>(&command), sizeof command, pOut, ulOutSize,
                         &dwReturned, nullptr);
}

ULONG SendForWord(ULONG ulCode, ULONG ulChild)
{
  TestDrvCommand command{};
  command.ulChild = ulChild;
  ULONG ulWord = 0;
  return Send(ulCode, command, &ulWord, sizeof ulWord) ? ulWord : 0;
}

bool InstanceIdOf(ULONG ulChild, char* sId)
{
  TestDrvCommand command{}, reply{};
  command.ulChild = ulChild;
  if (!Send(TESTDRV_INSTANCE_ID, command, &reply, sizeof reply)) {
    return false;
  }
  memcpy(sId, reply.Data, TESTDRV_MAX_DATA);
  sId[TESTDRV_MAX_DATA - 1] = '\0';
  return true;
}

// Whether a present interface of the raw class belongs to the instance ID
// (Wine stores it upper case); copies its path when asked.
bool FindInterface(const char* sInstanceId, char* sPath, ULONG cbPath)
{
  HDEVINFO hSet = SetupDiGetClassDevsA(&kRawInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  if (hSet == INVALID_HANDLE_VALUE) {
    return false;
  }
  bool bFound = false;
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof interfaceData;
  for (DWORD i = 0; !bFound && SetupDiEnumDeviceInterfaces(hSet, nullptr, &kRawInterface, i, &interfaceData); ++i) {
    union {
      SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
      char buffer[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + MAX_PATH];
    } u;
    u.detail.cbSize = sizeof u.detail;
    SP_DEVINFO_DATA devInfo{};
    devInfo.cbSize = sizeof devInfo;
    char sId[MAX_PATH];
    if (SetupDiGetDeviceInterfaceDetailA(hSet, &interfaceData, &u.detail, sizeof u, nullptr, &devInfo) &&
        SetupDiGetDeviceInstanceIdA(hSet, &devInfo, sId, sizeof sId, nullptr) && _stricmp(sId, sInstanceId) == 0) {
      bFound = sPath == nullptr || snprintf(sPath, cbPath, "%s", u.detail.DevicePath) < static_cast<int>(cbPath);
    }
  }
  SetupDiDestroyDeviceInfoList(hSet);
  return bFound;
}

bool WaitForInterface(const char* sInstanceId, bool bPresent)
{
  const ULONG64 ullEnd = GetTickCount64() + BOUND_MS;
  while (FindInterface(sInstanceId, nullptr, 0) != bPresent) {
    if (GetTickCount64() > ullEnd) {
      return false;
    }
    Sleep(POLL_MS);
  }
  return true;
}

bool RootDevicePresent()
{
  HDEVINFO hSet = SetupDiGetClassDevsA(&kSystemClass, nullptr, nullptr, 0);
  if (hSet == INVALID_HANDLE_VALUE) {
    return false;
  }
  bool bFound = false;
  SP_DEVINFO_DATA devInfo{};
  devInfo.cbSize = sizeof devInfo;
  for (DWORD i = 0; !bFound && SetupDiEnumDeviceInfo(hSet, i, &devInfo); ++i) {
    char sIds[512] = {};
    bFound = SetupDiGetDeviceRegistryPropertyA(hSet, &devInfo, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<BYTE*>(sIds), sizeof sIds - 2, nullptr) &&
             _stricmp(sIds, TESTDRV_HARDWARE_ID) == 0;
  }
  SetupDiDestroyDeviceInfoList(hSet);
  return bFound;
}

bool CreateRootDevice()
{
  HDEVINFO hSet = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
  if (hSet == INVALID_HANDLE_VALUE) {
    return false;
  }
  static const char kHardwareIds[] = TESTDRV_HARDWARE_ID "\0";   // a multi-string
  SP_DEVINFO_DATA devInfo{};
  devInfo.cbSize = sizeof devInfo;
  bool bDone = SetupDiCreateDeviceInfoA(hSet, "DRAVTESTBUS", &kSystemClass, nullptr, nullptr, DICD_GENERATE_ID,
                                        &devInfo) &&
               SetupDiSetDeviceRegistryPropertyA(hSet, &devInfo, SPDRP_HARDWAREID,
                                                 reinterpret_cast<const BYTE*>(kHardwareIds), sizeof kHardwareIds) &&
               SetupDiCallClassInstaller(DIF_REGISTERDEVICE, hSet, &devInfo);
  SetupDiDestroyDeviceInfoList(hSet);
  return bDone;
}

}  // namespace

BOOL TestDrvInstall(const char* sDir)
{
  if (TestDrvConnect()) {
    return TRUE;
  }
  char sInf[MAX_PATH];
  if (sDir == nullptr || snprintf(sInf, sizeof sInf, "%s\\dravtest.inf", sDir) >= static_cast<int>(sizeof sInf) ||
      (!RootDevicePresent() && !CreateRootDevice())) {
    return FALSE;
  }
  const ULONG64 ullEnd = GetTickCount64() + BOUND_MS;
  BOOL bReboot = FALSE;
  // A new prefix's service manager may still be starting (1055): try again.
  while (!UpdateDriverForPlugAndPlayDevicesA(nullptr, TESTDRV_HARDWARE_ID, sInf, INSTALLFLAG_FORCE, &bReboot)) {
    if (GetLastError() != ERROR_SERVICE_DATABASE_LOCKED || GetTickCount64() > ullEnd) {
      return FALSE;
    }
    Sleep(POLL_MS);
  }
  while (!TestDrvConnect()) {
    if (GetTickCount64() > ullEnd) {
      return FALSE;
    }
    Sleep(POLL_MS);
  }
  return TRUE;
}

BOOL TestDrvConnect()
{
  if (g_hControl == INVALID_HANDLE_VALUE) {
    g_hControl = CreateFileA(TESTDRV_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  if (g_hControl != INVALID_HANDLE_VALUE && g_hHeldList == INVALID_HANDLE_VALUE) {
    g_hHeldList = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  }
  return g_hControl != INVALID_HANDLE_VALUE;
}

void TestDrvDisconnect()
{
  if (g_hControl != INVALID_HANDLE_VALUE) {
    CloseHandle(g_hControl);
    g_hControl = INVALID_HANDLE_VALUE;
  }
  if (g_hHeldList != INVALID_HANDLE_VALUE) {
    SetupDiDestroyDeviceInfoList(g_hHeldList);
    g_hHeldList = INVALID_HANDLE_VALUE;
  }
}

ULONG TestDrvPlug(const char* sInstanceId)
{
  TestDrvCommand command{};
  const size_t size = sInstanceId != nullptr ? strlen(sInstanceId) : 0;
  if (size == 0 || size >= TESTDRV_MAX_DATA) {
    return 0;
  }
  memcpy(command.Data, sInstanceId, size);
  command.ulSize = static_cast<ULONG>(size);
  ULONG ulChild = 0;
  if (!Send(TESTDRV_PLUG, command, &ulChild, sizeof ulChild)) {
    return 0;
  }
  if (!WaitForInterface(sInstanceId, true)) {
    TestDrvUnplug(ulChild);
    return 0;
  }
  return ulChild;
}

BOOL TestDrvUnplug(ULONG ulChild)
{
  char sId[TESTDRV_MAX_DATA];
  TestDrvCommand command{};
  command.ulChild = ulChild;
  return InstanceIdOf(ulChild, sId) && Send(TESTDRV_UNPLUG, command) && WaitForInterface(sId, false);
}

BOOL TestDrvInterfacePath(ULONG ulChild, char* sPath, ULONG cbPath)
{
  char sId[TESTDRV_MAX_DATA];
  return sPath != nullptr && InstanceIdOf(ulChild, sId) && FindInterface(sId, sPath, cbPath);
}

void TestDrvReset()
{
  Send(TESTDRV_RESET, TestDrvCommand{});
}

BOOL TestDrvSetMode(ULONG ulChild, ULONG ulMode, LONG lStatus)
{
  TestDrvCommand command{};
  command.ulChild = ulChild;
  command.ulValue = ulMode;
  command.lStatus = lStatus;
  return Send(TESTDRV_SET_MODE, command);
}

BOOL TestDrvSetParam(ULONG ulChild, ULONG ulParam, const void* pData, ULONG ulSize)
{
  TestDrvCommand command{};
  if (ulSize > TESTDRV_MAX_DATA || (pData == nullptr && ulSize != 0)) {
    return FALSE;
  }
  command.ulChild = ulChild;
  command.ulParam = ulParam;
  command.ulSize = ulSize;
  if (ulSize != 0) {
    memcpy(command.Data, pData, ulSize);
  }
  return Send(TESTDRV_SET_PARAM, command);
}

ULONG TestDrvGetParam(ULONG ulChild, ULONG ulParam, void* pOut, ULONG ulOutSize)
{
  TestDrvCommand command{}, reply{};
  command.ulChild = ulChild;
  command.ulParam = ulParam;
  if (!Send(TESTDRV_GET_PARAM, command, &reply, sizeof reply)) {
    return 0;
  }
  if (pOut != nullptr) {
    memcpy(pOut, reply.Data, reply.ulSize < ulOutSize ? reply.ulSize : ulOutSize);
  }
  return reply.ulSize;
}

BOOL TestDrvSetReplyLength(ULONG ulChild, ULONG ulParam, ULONG ulLength)
{
  TestDrvCommand command{};
  command.ulChild = ulChild;
  command.ulParam = ulParam;
  command.ulValue = ulLength;
  return Send(TESTDRV_SET_REPLY, command);
}

BOOL TestDrvQueueEvent(ULONG ulChild, const void* pPacket, ULONG ulSize)
{
  TestDrvCommand command{};
  if (pPacket == nullptr || ulSize == 0 || ulSize > TESTDRV_MAX_DATA) {
    return FALSE;
  }
  command.ulChild = ulChild;
  command.ulSize = ulSize;
  memcpy(command.Data, pPacket, ulSize);
  return Send(TESTDRV_QUEUE_EVENT, command);
}

ULONG TestDrvRequestCount()
{
  return SendForWord(TESTDRV_REQUEST_COUNT, 0);
}

BOOL TestDrvGetRequest(ULONG ulIndex, TestDrvRequest* pRequest)
{
  TestDrvCommand command{};
  command.ulValue = ulIndex;
  return pRequest != nullptr && Send(TESTDRV_GET_REQUEST, command, pRequest, sizeof *pRequest);
}

void TestDrvClearRequests()
{
  Send(TESTDRV_CLEAR_REQUESTS, TestDrvCommand{});
}

ULONG TestDrvPendingCount(ULONG ulChild)
{
  return SendForWord(TESTDRV_PENDING_COUNT, ulChild);
}

ULONG TestDrvOpenHandleCount(ULONG ulChild)
{
  return SendForWord(TESTDRV_HANDLE_COUNT, ulChild);
}
