// Persistent state (driver type, F-Lock mode) and the folders and battery
// logs under the machine-wide application-data folder.
#include <gtest/gtest.h>
#include <shlobj.h>

#include "system/WndMgr.h"
#include "tests/unit/TestSupport.h"
#include "tests/unit/test_wndstate_support.h"

using namespace wndtest;

namespace {

class WndStateTest : public testing::Test {
protected:
  RegBackup m_user{HKEY_CURRENT_USER, kDravKey, {"DriverType", "FMode"}};
  RegBackup m_machine{HKEY_LOCAL_MACHINE, kDravKey, {"DriverType", "FMode"}};
  TraceCapture m_capture;
  const std::string m_sDrav = [] {
    char s[MAX_PATH] = "";
    SHGetSpecialFolderPathA(nullptr, s, CSIDL_COMMON_APPDATA, TRUE);
    return std::string(s) + "\\Vantorix\\DRAV";
  }();
};

bool IsFolder(const std::string& sPath)
{
  DWORD dw = GetFileAttributesA(sPath.c_str());
  return dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The user's value, else the machine's (which seeds the user's), else 1; a
// value of another type is asserted and stands, one longer than a number is not read.
TEST_F(WndStateTest, DriverTypeFromTheUserTheMachineOrTheDefault)
{
  LONG lType = -1;
  BOOL bFirst = FALSE;
  auto get = [&](BOOL* pbFirst) { return WndGetDriverType(&lType, pbFirst) ? lType : -2; };
  auto user = [] { return ReadRaw(HKEY_CURRENT_USER, kDravKey, "DriverType"); };
  EXPECT_TRUE(get(nullptr) == 1 && !user().bPresent);   // no first-time pointer: no write
  EXPECT_TRUE(get(&bFirst) == 1 && bFirst && ReadDword(HKEY_CURRENT_USER, kDravKey, "DriverType") == 1);
  EXPECT_FALSE(ReadRaw(HKEY_LOCAL_MACHINE, kDravKey, "DriverType").bPresent);
  TestRegDelete(HKEY_CURRENT_USER, kDravKey, "DriverType");
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DriverType", 2);
  EXPECT_TRUE(get(&bFirst) == 2 && bFirst && ReadDword(HKEY_CURRENT_USER, kDravKey, "DriverType") == 2);
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "DriverType", 3);
  EXPECT_TRUE(get(&bFirst) == 2 && !bFirst);
  TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "DriverType");
  TestRegSetString(HKEY_CURRENT_USER, kDravKey, "DriverType", "2");   // bytes '2', 0: the number 0x32
  EXPECT_TRUE(get(&bFirst) == 0x32 && !bFirst && user().dwType == REG_SZ);   // left as it was
  EXPECT_TRUE(m_capture.Contains("assert dwDataType == REG_DWORD"));
  TestRegSetBinary(HKEY_CURRENT_USER, kDravKey, "DriverType", "\x02\0\0\0\0\0\0\0", 8);
  EXPECT_EQ(get(nullptr), 1);

  EXPECT_TRUE(WndSetDriverType(3));
  for (LONG l : {4, -1}) EXPECT_FALSE(WndSetDriverType(l)) << l;
  EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, kDravKey, "DriverType"), 3);
  EXPECT_EQ(m_capture.Count("WndSetDriverType - WndSetDriverType - WndState.cpp line"), 2u);
  EXPECT_TRUE(WndSetDriverType(0));
  EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, kDravKey, "DriverType"), 0);
}

// The user's value ends the search (a text one is on, after the assertion);
// without it the machine's counts, without both the mode is on.
TEST_F(WndStateTest, FLockFromTheUserThenTheMachineThenOn)
{
  TestRegSetDword(HKEY_CURRENT_USER, kDravKey, "FMode", 0);
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "FMode", 1);
  EXPECT_FALSE(WndLoadFLockState());
  TestRegSetString(HKEY_CURRENT_USER, kDravKey, "FMode", "0");
  TestRegSetDword(HKEY_LOCAL_MACHINE, kDravKey, "FMode", 0);
  EXPECT_TRUE(WndLoadFLockState());
  EXPECT_TRUE(m_capture.Contains("WndLoadFLockState - WndLoadFLockState - WndState.cpp line"));

  TestRegDelete(HKEY_CURRENT_USER, kDravKey, "FMode");   // the user's key exists, without the value
  EXPECT_FALSE(WndLoadFLockState());
  TestRegDelete(HKEY_LOCAL_MACHINE, kDravKey, "FMode");
  EXPECT_TRUE(WndLoadFLockState());
  WndSaveFLockState(FALSE);
  EXPECT_TRUE(ReadDword(HKEY_CURRENT_USER, kDravKey, "FMode") == 0 && !WndLoadFLockState());
  WndSaveFLockState(TRUE);
  EXPECT_TRUE(WndLoadFLockState());
}

// Reserved characters become '#'; what cannot be named whole gives an empty path and nothing written past
// the buffer. The log opens on a second try after its folder was made; a reader shares it and creates nothing.
TEST_F(WndStateTest, BatteryLogNamesAndFiles)
{
  const std::string sBattery = m_sDrav + "\\Battery", sLong(300, 'n'), sLog = sBattery + "\\00001234-Test#Mouse.log",
                    sSaved = m_sDrav + "\\Battery.aside." + std::to_string(GetCurrentProcessId());
  struct { ULONG ulModel; const char* sName; int iRoom; const char* sFile; } rows[] = {   // room: from the name's end
      {0xABCD, "Mouse/Pro:2", 100, "\\0000ABCD-Mouse#Pro#2.log"},
      {0xDEADBEEF, "a\"b*c/d:e<f>g?h\\i|j", 100, "\\DEADBEEF-a#b#c#d#e#f#g#h#i#j.log"},
      {2, "name", 1, "\\00000002-name.log"}, {2, "name", 0, nullptr}, {1, nullptr, 100, nullptr},
      {3, sLong.c_str(), 100, nullptr}};
  for (const auto& r : rows) {
    tBatteryLogDevice device = {r.ulModel, r.sName};
    const size_t cb = sBattery.size() + 14 + (r.sName ? strlen(r.sName) : 0) + r.iRoom;   // 1: exactly fitting
    std::vector<char> buffer(cb + 8, 'Z');
    EXPECT_EQ(WndGetBatteryLogFileName(&device, buffer.data(), (ULONG)cb), r.sFile != nullptr) << r.ulModel << r.iRoom;
    EXPECT_EQ(std::string(buffer.data()), r.sFile ? sBattery + r.sFile : "");
    EXPECT_EQ(buffer[cb], 'Z');
  }
  BOOL bNew = TRUE;
  tBatteryLogDevice device = {0x1234, "Test:Mouse"}, noName = {1, nullptr}, absent = {0x9999, "absent"};
  char sPath[8];
  EXPECT_FALSE(WndGetBatteryLogFileName(nullptr, sPath, sizeof sPath));
  EXPECT_TRUE(WndOpenBatteryLogFile(nullptr, nullptr, nullptr) == INVALID_HANDLE_VALUE &&
              WndOpenBatteryLogFile(&noName, nullptr, &bNew) == INVALID_HANDLE_VALUE && !bNew);

  // Move an existing battery folder aside and drop the upper levels when
  // they are empty, so that every missing level is made again.
  bool bMoved = IsFolder(sBattery) && MoveFileA(sBattery.c_str(), sSaved.c_str());
  ASSERT_FALSE(IsFolder(sBattery));
  if (!bMoved) RemoveDirectoryA(m_sDrav.c_str()), RemoveDirectoryA(m_sDrav.substr(0, m_sDrav.rfind('\\')).c_str());
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
  HANDLE h = WndOpenBatteryLogFile(&device, &sa, &bNew);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(bNew && (GetFileAttributesA(sLog.c_str()) & FILE_ATTRIBUTE_DIRECTORY) == 0);
  DWORD cb = 0;
  char sData[8] = "";
  HANDLE hRead = (WriteFile(h, "42\r\n", 4, &cb, nullptr), WndOpenBatteryLogFile(&device, nullptr, nullptr));
  EXPECT_TRUE(ReadFile(hRead, sData, sizeof sData, &cb, nullptr));
  EXPECT_EQ(std::string(sData, cb), "42\r\n");
  CloseHandle(hRead), CloseHandle(h);
  // Existing file: not new; the folder is not made again.
  h = WndOpenBatteryLogFile(&device, &sa, &bNew);
  EXPECT_TRUE(h != INVALID_HANDLE_VALUE && !bNew);
  CloseHandle(h);
  EXPECT_FALSE(WndCreateBatteryLogFolder(&sa));
  EXPECT_EQ(WndOpenBatteryLogFile(&absent, nullptr, nullptr), INVALID_HANDLE_VALUE);
  DeleteFileA(sLog.c_str()), RemoveDirectoryA(sBattery.c_str());
  if (bMoved) MoveFileA(sSaved.c_str(), sBattery.c_str());
}

TEST_F(WndStateTest, AppDataFoldersAndFolderTrees)
{
  char sPath[MAX_PATH], sSmall[16];
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
  const std::string sCache = m_sDrav + "\\Cache";
  const bool bExisted = IsFolder(sCache);
  EXPECT_TRUE(WndGetDevicesFolder(sPath, sizeof sPath, FALSE, nullptr) && m_sDrav + "\\Devices" == sPath);
  EXPECT_TRUE(WndGetCacheFolder(sPath, sizeof sPath, TRUE, &sa) && sCache == sPath && IsFolder(sCache));
  if (!bExisted) RemoveDirectoryA(sCache.c_str());
  // The shell's folder alone is longer than this buffer: refused, no overrun.
  memset(sSmall, 'Z', sizeof sSmall);
  EXPECT_FALSE(WndGetDevicesFolder(sSmall, 8, FALSE, nullptr) || WndGetCacheFolder(nullptr, 100, FALSE, nullptr));
  EXPECT_TRUE(sSmall[0] == '\0' && sSmall[8] == 'Z');
  EXPECT_TRUE(m_capture.Contains("<error> WndGetDevicesFolder - path buffer too small (8 bytes) or null"));

  // Every level of a tree is made; a level that is a file stops the walk.
  const std::string sRoot = TestScratchDir("WndFolderTree"), sDeep = sRoot + "\\a\\b\\c", sFile = sRoot + "\\file";
  EXPECT_TRUE(WndCreateFolderTree(sDeep.c_str(), &sa) && IsFolder(sDeep));
  EXPECT_TRUE(WndCreateFolderTree(sDeep.c_str(), &sa) && WndCreateFolderTree((sDeep + "\\").c_str(), &sa));
  CloseHandle(CreateFileA(sFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_FALSE(WndCreateFolderTree((sFile + "\\x\\y").c_str(), &sa) || IsFolder(sFile + "\\x"));
  EXPECT_FALSE(WndCreateFolderTree((sRoot + "\\" + std::string(300, 'q')).c_str(), &sa));
  EXPECT_FALSE(WndCreateFolderTree(nullptr, &sa));
}

}  // namespace
