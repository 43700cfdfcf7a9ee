// Persistent state (driver type, F-Lock mode) and the folders and battery
// logs under the machine-wide application-data folder.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "system/WndMgr.h"
#include "tests/unit/TestSupport.h"
#include "tests/unit/test_wndstate_support.h"

using namespace wndtest;

namespace {

class WndStateTest : public testing::Test {
protected:
  RegBackup m_user{HKEY_CURRENT_USER, kDravKey, {"DriverType", "FMode"}};
  RegBackup m_machine{HKEY_LOCAL_MACHINE, kDravKey, {"DriverType", "FMode"}};
};

std::string AppData()
{
  char s[MAX_PATH] = "";
  SHGetSpecialFolderPathA(nullptr, s, CSIDL_COMMON_APPDATA, TRUE);
  return s;
}

bool IsFolder(const std::string& sPath)
{
  DWORD dw = GetFileAttributesA(sPath.c_str());
  return dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

TEST_F(WndStateTest, DriverTypeAbsentEverywhereDefaultsAndIsWrittenForTheUser)
{
  LONG lType = -1;
  BOOL bFirst = FALSE;
  TraceCapture capture;
  EXPECT_TRUE(WndGetDriverType(&lType, nullptr));
  EXPECT_EQ(lType, 1);
  EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, kDravKey, "DriverType").bPresent);  // no first-time pointer: no write

  EXPECT_TRUE(WndGetDriverType(&lType, &bFirst));
  EXPECT_EQ(lType, 1);
  EXPECT_TRUE(bFirst);
  EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, kDravKey, "DriverType"), 1);
  EXPECT_FALSE(ReadRaw(HKEY_LOCAL_MACHINE, kDravKey, "DriverType").bPresent);
  EXPECT_TRUE(capture.Contains("WndGetDriverType - Exit( DriverTypeValue:1, FirstTime:1 )"));
}

TEST_F(WndStateTest, MachineDriverTypeSeedsTheUsersValue)
{
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DriverType", 2);
  LONG lType = -1;
  BOOL bFirst = FALSE;
  TraceCapture capture;
  EXPECT_TRUE(WndGetDriverType(&lType, &bFirst));
  EXPECT_EQ(lType, 2);
  EXPECT_TRUE(bFirst);
  EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, kDravKey, "DriverType"), 2);
  EXPECT_TRUE(capture.Contains("WndGetDriverType - SetupMouseCohabitation - GLOBAL DriverType:2 (0x2)."));

  // The user has a value of its own now, and it wins over the machine's.
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DriverType", 3);
  bFirst = TRUE;
  EXPECT_TRUE(WndGetDriverType(&lType, &bFirst));
  EXPECT_EQ(lType, 2);
  EXPECT_FALSE(bFirst);
  EXPECT_TRUE(capture.Contains("WndGetDriverType - Exit( DriverTypeValue:2, FirstTime:0 )"));
}

TEST_F(WndStateTest, DriverTypeOfAnotherTypeIsAssertedAndStands)
{
  TestRegSetString(HKEY_CURRENT_USER, kDravKey, "DriverType", "2");   // bytes '2', 0: the number 0x32
  LONG lType = -1;
  BOOL bFirst = TRUE;
  TraceCapture capture;
  EXPECT_TRUE(WndGetDriverType(&lType, &bFirst));
  EXPECT_EQ(lType, 0x32);
  EXPECT_FALSE(bFirst);
  EXPECT_TRUE(capture.Contains("assert dwDataType == REG_DWORD"));
  EXPECT_EQ(ReadRaw(HKEY_CURRENT_USER, kDravKey, "DriverType").dwType, (DWORD)REG_SZ);  // left as it was
  // Longer than a number: not read, the default stands.
  TestRegSetBinary(HKEY_CURRENT_USER, kDravKey, "DriverType", "\x02\0\0\0\0\0\0\0", 8);
  EXPECT_TRUE(WndGetDriverType(&lType, nullptr));
  EXPECT_EQ(lType, 1);
}

TEST_F(WndStateTest, SetDriverTypeRefusesValuesOutOfRange)
{
  EXPECT_TRUE(WndSetDriverType(3));
  EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, kDravKey, "DriverType"), 3);
  TraceCapture capture;
  EXPECT_FALSE(WndSetDriverType(4));
  EXPECT_FALSE(WndSetDriverType(-1));
  EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, kDravKey, "DriverType"), 3);
  EXPECT_EQ(capture.Count("WndSetDriverType - WndSetDriverType - WndState.cpp line"), 2u);
  EXPECT_TRUE(WndSetDriverType(0));
  EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, kDravKey, "DriverType"), 0);
}

TEST_F(WndStateTest, FLockUserValueEndsTheSearch)
{
  TestRegSetDword(HKEY_CURRENT_USER, kDravKey, "FMode", 0);
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "FMode", 1);
  TraceCapture capture;
  EXPECT_FALSE(WndLoadFLockState());
  EXPECT_TRUE(capture.Contains("WndLoadFLockState - Opening Branch 80000001."));
  EXPECT_FALSE(capture.Contains("Opening Branch 80000002"));
  EXPECT_TRUE(capture.Contains("WndLoadFLockState - Exit 0"));

  // Text: on, after the assertion, and still without the machine's value.
  TestRegSetString(HKEY_CURRENT_USER, kDravKey, "FMode", "0");
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "FMode", 0);
  capture.Clear();
  EXPECT_TRUE(WndLoadFLockState());
  EXPECT_TRUE(capture.Contains("WndLoadFLockState - WndLoadFLockState - WndState.cpp line"));
  EXPECT_FALSE(capture.Contains("Opening Branch 80000002"));
}

TEST_F(WndStateTest, FLockFallsBackToTheMachineThenToOn)
{
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "FMode", 0);
  HKEY hKey;  // the user's key exists, without the value
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kDravKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(hKey);
  TraceCapture capture;
  EXPECT_FALSE(WndLoadFLockState());
  EXPECT_TRUE(capture.Contains("WndLoadFLockState - KEY Not Found."));
  EXPECT_TRUE(capture.Contains("WndLoadFLockState - Opening Branch 80000002."));

  TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "FMode");
  EXPECT_TRUE(WndLoadFLockState());

  WndSaveFLockState(FALSE);
  EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, kDravKey, "FMode"), 0);
  EXPECT_FALSE(WndLoadFLockState());
  WndSaveFLockState(TRUE);
  EXPECT_TRUE(WndLoadFLockState());
  EXPECT_TRUE(capture.Contains("WndSaveFLockState - Entry 1"));
  EXPECT_TRUE(capture.Contains("WndSaveFLockState - Exit."));
}

TEST_F(WndStateTest, BatteryLogNameReplacesReservedCharacters)
{
  char sPath[MAX_PATH];
  tBatteryLogDevice device = {0xABCD, "Mouse/Pro:2"};
  ASSERT_TRUE(WndGetBatteryLogFileName(&device, sPath, sizeof sPath));
  EXPECT_EQ(std::string(sPath), AppData() + "\\Vantorix\\DRAV\\Battery\\0000ABCD-Mouse#Pro#2.log");

  device = {0xDEADBEEF, "a\"b*c/d:e<f>g?h\\i|j"};
  ASSERT_TRUE(WndGetBatteryLogFileName(&device, sPath, sizeof sPath));
  EXPECT_EQ(std::string(sPath), AppData() + "\\Vantorix\\DRAV\\Battery\\DEADBEEF-a#b#c#d#e#f#g#h#i#j.log");
}

TEST_F(WndStateTest, BatteryLogNameRefusesWhatCannotBeNamedWhole)
{
  char sPath[MAX_PATH];
  tBatteryLogDevice device = {1, nullptr};
  EXPECT_FALSE(WndGetBatteryLogFileName(&device, sPath, sizeof sPath));
  EXPECT_FALSE(WndGetBatteryLogFileName(nullptr, sPath, sizeof sPath));
  EXPECT_EQ(WndOpenBatteryLogFile(nullptr, nullptr, nullptr), INVALID_HANDLE_VALUE);
  BOOL bNew = TRUE;
  EXPECT_EQ(WndOpenBatteryLogFile(&device, nullptr, &bNew), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(bNew);

  // Exactly fitting, one short, and a name too long for a path.
  device = {2, "name"};
  std::string sExpected = AppData() + "\\Vantorix\\DRAV\\Battery\\00000002-name.log";
  char sSmall[MAX_PATH + 8];
  memset(sSmall, 'Z', sizeof sSmall);
  ASSERT_TRUE(WndGetBatteryLogFileName(&device, sSmall, (ULONG)sExpected.size() + 1));
  EXPECT_EQ(std::string(sSmall), sExpected);
  memset(sSmall, 'Z', sizeof sSmall);
  EXPECT_FALSE(WndGetBatteryLogFileName(&device, sSmall, (ULONG)sExpected.size()));
  EXPECT_EQ(sSmall[0], '\0');
  EXPECT_EQ(sSmall[sExpected.size()], 'Z');  // nothing written past the buffer

  std::string sLong(300, 'n');
  device = {3, sLong.c_str()};
  EXPECT_FALSE(WndGetBatteryLogFileName(&device, sPath, sizeof sPath));
  EXPECT_EQ(sPath[0], '\0');
}

TEST_F(WndStateTest, DevicesAndCacheFolders)
{
  char sPath[MAX_PATH];
  ASSERT_TRUE(WndGetDevicesFolder(sPath, sizeof sPath, FALSE, nullptr));
  EXPECT_EQ(std::string(sPath), AppData() + "\\Vantorix\\DRAV\\Devices");
  ASSERT_TRUE(WndGetCacheFolder(sPath, sizeof sPath, FALSE, nullptr));
  std::string sCache = AppData() + "\\Vantorix\\DRAV\\Cache";
  EXPECT_EQ(std::string(sPath), sCache);

  // The shell's folder alone is longer than this buffer: refused, no overrun.
  char sSmall[16];
  memset(sSmall, 'Z', sizeof sSmall);
  TraceCapture capture;
  EXPECT_FALSE(WndGetDevicesFolder(sSmall, 8, FALSE, nullptr));
  EXPECT_EQ(sSmall[0], '\0');
  EXPECT_EQ(sSmall[8], 'Z');
  EXPECT_TRUE(capture.Contains("<error> WndGetDevicesFolder - path buffer too small (8 bytes) or null"));
  EXPECT_FALSE(WndGetCacheFolder(nullptr, 100, FALSE, nullptr));

  bool bExisted = IsFolder(sCache);
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
  EXPECT_TRUE(WndGetCacheFolder(sPath, sizeof sPath, TRUE, &sa));
  EXPECT_TRUE(IsFolder(sCache));
  if (!bExisted) {
    RemoveDirectoryA(sCache.c_str());
  }
}

TEST_F(WndStateTest, FolderTreeCreatesEveryLevel)
{
  std::string sRoot = TestScratchDir("WndFolderTree");
  std::string sDeep = sRoot + "\\a\\b\\c";
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
  EXPECT_TRUE(WndCreateFolderTree(sDeep.c_str(), &sa));
  EXPECT_TRUE(IsFolder(sRoot + "\\a\\b\\c"));
  EXPECT_TRUE(WndCreateFolderTree(sDeep.c_str(), &sa));  // all levels exist already
  EXPECT_TRUE(WndCreateFolderTree((sDeep + "\\").c_str(), &sa));

  // A level that is a file stops the walk.
  std::string sFile = sRoot + "\\file";
  HANDLE h = CreateFileA(sFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_FALSE(WndCreateFolderTree((sFile + "\\x\\y").c_str(), &sa));
  EXPECT_FALSE(IsFolder(sFile + "\\x"));

  std::string sTooLong = sRoot + "\\" + std::string(300, 'q');
  EXPECT_FALSE(WndCreateFolderTree(sTooLong.c_str(), &sa));
  EXPECT_FALSE(WndCreateFolderTree(nullptr, &sa));
}

TEST_F(WndStateTest, BatteryLogOpensOnTheSecondTryAfterCreatingItsFolder)
{
  const std::string sVantorix = AppData() + "\\Vantorix";
  const std::string sDrav = sVantorix + "\\DRAV";
  const std::string sBattery = sDrav + "\\Battery";
  char sAside[64];
  snprintf(sAside, sizeof sAside, "\\Battery.aside.%lu", GetCurrentProcessId());
  const std::string sSaved = sDrav + sAside;

  // Move an existing battery folder aside and drop the upper levels when
  // they are empty, so that every missing level is made again.
  bool bMoved = IsFolder(sBattery) && MoveFileA(sBattery.c_str(), sSaved.c_str());
  ASSERT_FALSE(IsFolder(sBattery));
  if (!bMoved) {
    RemoveDirectoryA(sDrav.c_str());
    RemoveDirectoryA(sVantorix.c_str());
  }

  tBatteryLogDevice device = {0x1234, "Test:Mouse"};
  const std::string sLog = sBattery + "\\00001234-Test#Mouse.log";
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
  BOOL bNew = FALSE;
  TraceCapture capture;
  HANDLE h = WndOpenBatteryLogFile(&device, &sa, &bNew);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(bNew);
  EXPECT_EQ(GetFileAttributesA(sLog.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_TRUE(capture.Contains("WndOpenBatteryLogFile - Model:0x00001234 - sName:'Test:Mouse'."));
  EXPECT_TRUE(capture.Contains("WndOpenBatteryLogFile - FilePath:'" + sLog + "'."));
  EXPECT_EQ(capture.Count("WndOpenBatteryLogFile - pbNewFile:0."), 1u);
  EXPECT_EQ(capture.Count("WndOpenBatteryLogFile - pbNewFile:1."), 1u);
  EXPECT_TRUE(capture.Contains("WndCreateBatteryLogFolder - Directory '" + sBattery + "' was created."));
  DWORD cbWritten = 0;
  EXPECT_TRUE(WriteFile(h, "42\r\n", 4, &cbWritten, nullptr));

  // A reader may share the file while the writer has it open.
  HANDLE hRead = WndOpenBatteryLogFile(&device, nullptr, nullptr);
  EXPECT_NE(hRead, INVALID_HANDLE_VALUE);
  if (hRead != INVALID_HANDLE_VALUE) {
    char sData[8] = "";
    DWORD cbRead = 0;
    EXPECT_TRUE(ReadFile(hRead, sData, sizeof sData, &cbRead, nullptr));
    EXPECT_EQ(std::string(sData, cbRead), "42\r\n");
    CloseHandle(hRead);
  }
  CloseHandle(h);

  // Existing file: no second try, not new.
  capture.Clear();
  bNew = TRUE;
  h = WndOpenBatteryLogFile(&device, &sa, &bNew);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(bNew);
  EXPECT_FALSE(capture.Contains("WndCreateBatteryLogFolder"));
  CloseHandle(h);

  // The battery folder exists: not created now.
  EXPECT_FALSE(WndCreateBatteryLogFolder(&sa));

  // A reader of a log that does not exist gets nothing.
  tBatteryLogDevice absent = {0x9999, "absent"};
  EXPECT_EQ(WndOpenBatteryLogFile(&absent, nullptr, nullptr), INVALID_HANDLE_VALUE);

  DeleteFileA(sLog.c_str());
  RemoveDirectoryA(sBattery.c_str());
  if (bMoved) {
    MoveFileA(sSaved.c_str(), sBattery.c_str());
  }
}
