// Persistent state of the system services against the real system settings,
// the current user's and the machine's registry and the machine-wide
// application-data folder: the cursor settings snapshot, the driver type and
// F-Lock mode, folders and battery logs.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "system/WndMgr.h"
#include "tests/unit/TestSupport.h"

namespace {

constexpr const char* kDravKey = "SOFTWARE\\Vantorix\\DRAV";
constexpr const char* kCplKey = "SOFTWARE\\Vantorix\\DRAV\\LastMouseCPLInteraction";

struct RawValue {
  bool bPresent = false;
  DWORD dwType = REG_NONE;
  std::vector<BYTE> data;
};

RawValue ReadRaw(HKEY hRoot, const char* sKey, const char* sName)
{
  RawValue v;
  DWORD cb = 0;
  const DWORD dwFlags = RRF_RT_ANY | RRF_NOEXPAND;
  v.bPresent = RegGetValueA(hRoot, sKey, sName, dwFlags, &v.dwType, nullptr, &cb) == ERROR_SUCCESS;
  v.data.resize(cb);
  v.bPresent = v.bPresent && RegGetValueA(hRoot, sKey, sName, dwFlags, &v.dwType, v.data.data(), &cb) == ERROR_SUCCESS;
  v.data.resize(cb);
  return v;
}

// A REG_DWORD value, or -1 when absent or of another form.
LONG ReadDword(HKEY hRoot, const char* sKey, const char* sName)
{
  LONG l = -1;
  DWORD cb = sizeof l;
  return RegGetValueA(hRoot, sKey, sName, RRF_RT_REG_DWORD, nullptr, &l, &cb) == ERROR_SUCCESS ? l : -1;
}

bool KeyExists(HKEY hRoot, const char* sKey)
{
  HKEY hKey;
  return RegOpenKeyExA(hRoot, sKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS && RegCloseKey(hKey) == ERROR_SUCCESS;
}

// Saves named values of one key and whether the key existed, deletes the
// values so that a case starts without them, and puts them back.
struct RegBackup {
  RegBackup(HKEY hRoot, const char* sKey, const std::vector<std::string>& names)
      : m_hRoot(hRoot), m_sKey(sKey), m_bKeyExisted(KeyExists(hRoot, sKey))
  {
    for (const auto& name : names) {
      m_saved.emplace_back(name, ReadRaw(hRoot, sKey, name.c_str()));
      RegDeleteKeyValueA(hRoot, sKey, name.c_str());
    }
  }
  ~RegBackup()
  {
    HKEY hKey;
    if (RegCreateKeyExA(m_hRoot, m_sKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr) == ERROR_SUCCESS) {
      for (const auto& [name, v] : m_saved) {
        v.bPresent ? RegSetValueExA(hKey, name.c_str(), 0, v.dwType, v.data.data(), (DWORD)v.data.size())
                   : RegDeleteValueA(hKey, name.c_str());
      }
      RegCloseKey(hKey);
    }
    if (!m_bKeyExisted) RegDeleteKeyA(m_hRoot, m_sKey);   // only succeeds when it has no subkeys
  }
  HKEY m_hRoot;
  const char* m_sKey;
  bool m_bKeyExisted;
  std::vector<std::pair<std::string, RawValue>> m_saved;
};

const std::vector<std::string> kSnapshotNames = { "MouseSettingsCleared", "MouseButtonSwapping", "MouseVerticalScroll",
    "MouseHorizontalScroll", "MouseSensitivity", "MouseThreshold1", "MouseThreshold2", "MouseSpeed" };
using Values = std::vector<LONG>;

// The user's system mouse settings: speed, thresholds, acceleration, buttons
// swapped, the wheel's lines and characters.
Values System()
{
  int iSpeed = 0, aAccel[3] = {};
  UINT uiLines = 0, uiChars = 0;
  SystemParametersInfoA(0x70, 0, &iSpeed, 0), SystemParametersInfoA(0x03, 0, aAccel, 0);
  SystemParametersInfoA(0x68, 0, &uiLines, 0), SystemParametersInfoA(0x6C, 0, &uiChars, 0);
  return { iSpeed, aAccel[0], aAccel[1], aAccel[2], GetSystemMetrics(SM_SWAPBUTTON), (LONG)uiLines, (LONG)uiChars };
}

void SetSystem(const Values& v)
{
  int aAccel[3] = { (int)v[1], (int)v[2], (int)v[3] };
  // Wine takes the speed from uiParam, Windows from pvParam.
  SystemParametersInfoA(0x71, (UINT)v[0], (PVOID)(INT_PTR)v[0], SPIF_UPDATEINIFILE);
  SystemParametersInfoA(0x04, 0, aAccel, SPIF_UPDATEINIFILE), SystemParametersInfoA(0x21, (UINT)v[4], nullptr, SPIF_UPDATEINIFILE);
  SystemParametersInfoA(0x69, (UINT)v[5], nullptr, SPIF_UPDATEINIFILE), SystemParametersInfoA(0x6D, (UINT)v[6], nullptr, SPIF_UPDATEINIFILE);
  ASSERT_EQ(System(), v);
}

// A snapshot's values in the order of kSnapshotNames; -1: absent.
void WriteSnapshot(const char* sKey, const Values& v)
{
  for (size_t i = 0; i < v.size(); ++i) {
    v[i] < 0 ? TestRegDelete(HKEY_CURRENT_USER, sKey, kSnapshotNames[i].c_str())
             : TestRegSetDword(HKEY_CURRENT_USER, sKey, kSnapshotNames[i].c_str(), v[i]);
  }
}
Values Snapshot(const char* sKey)
{
  Values v;
  for (const auto& name : kSnapshotNames) v.push_back(ReadDword(HKEY_CURRENT_USER, sKey, name.c_str()));
  return v;
}
// A settings record's fields in the order of the snapshot's names after the flag.
Values Fields(const tCursorSettings& s) { return Values(&s.lButtonSwap, &s.lSpeed + 1); }
void SetRaw(const char* sName, const std::string& s) { TestRegSetBinary(HKEY_CURRENT_USER, kDravKey, sName, s.data(), (DWORD)s.size()); }

bool IsFolder(const std::string& sPath)
{
  DWORD dw = GetFileAttributesA(sPath.c_str());
  return dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Every case starts without the values it uses (no flag, no snapshot), and
// leaves the user's system settings and registry values as it found them.
class WndStateTest : public testing::Test {
protected:
  ~WndStateTest() override { SetSystem(m_saved); }
  Values m_saved = System();
  RegBackup m_user{HKEY_CURRENT_USER, kDravKey, kSnapshotNames};
  RegBackup m_userState{HKEY_CURRENT_USER, kDravKey, {"DriverType", "FMode"}};
  RegBackup m_machine{HKEY_LOCAL_MACHINE, kDravKey, {"DriverType", "FMode"}};
  RegBackup m_cpl{HKEY_CURRENT_USER, kCplKey, kSnapshotNames};   // put back first: a subkey of the user's key
  TraceCapture m_capture;
  const std::string m_sDrav = [] {
    char s[MAX_PATH] = "";
    SHGetSpecialFolderPathA(nullptr, s, CSIDL_COMMON_APPDATA, TRUE);
    return std::string(s) + "\\Vantorix\\DRAV";
  }();
};

// The first clear snapshots and neutralises all but the wheel; a second one
// keeps the snapshot and touches nothing; the restore brings back speed,
// acceleration in order and buttons; once restored, one without force sets
// nothing. A forced clear leaves the previous snapshot.
TEST_F(WndStateTest, ClearSnapshotsOnceAndRestoreBringsItBack)
{
  enum { CLEAR, FORCED_CLEAR, RESTORE };
  // The system before and after, the snapshot after (the horizontal wheel is recorded as 3, whatever it is).
  struct { int op; Values before, after, snapshot; } const steps[] = {
      { CLEAR, { 14, 4, 9, 2, 1, 5, 7 }, { 10, 0, 0, 0, 0, 5, 7 }, { 1, 1, 5, 3, 14, 4, 9, 2 } },
      { CLEAR, { 12, 1, 2, 1, 1, 3, 3 }, { 12, 1, 2, 1, 1, 3, 3 }, { 1, 1, 5, 3, 14, 4, 9, 2 } },   // changed while cleared
      { RESTORE, { 10, 0, 0, 0, 0, 3, 3 }, { 14, 4, 9, 2, 1, 3, 3 }, { 0, 1, 5, 3, 14, 4, 9, 2 } },
      { RESTORE, { 13, 1, 2, 1, 0, 3, 3 }, { 13, 1, 2, 1, 0, 3, 3 }, { 0, 1, 5, 3, 14, 4, 9, 2 } },
      { FORCED_CLEAR, { 15, 5, 8, 2, 1, 3, 3 }, { 10, 0, 0, 0, 0, 3, 3 }, { 1, 1, 5, 3, 14, 4, 9, 2 } } };
  for (const auto& step : steps) {
    SetSystem(step.before);
    EXPECT_TRUE(step.op == RESTORE ? WndRestoreCursorSettings(FALSE, FALSE) : WndClearCursorSettings(step.op == FORCED_CLEAR));
    EXPECT_EQ(System(), step.after) << &step - steps;
    EXPECT_EQ(Snapshot(kDravKey), step.snapshot) << &step - steps;
    EXPECT_EQ(WndAreMouseSettingsCleared(), step.snapshot[0] == 1) << &step - steps;
  }
}

// The control panel's snapshot has a flag of its own. The variation is current
// minus snapshot, but only whether the buttons are swapped counts and the
// thresholds are left out. Without the key a restore and a variation
// fail and set nothing.
TEST_F(WndStateTest, ControlPanelSnapshotRestoreAndVariation)
{
  TestRegSetDword(HKEY_CURRENT_USER, kDravKey, "MouseSettingsCleared", 1);
  WriteSnapshot(kCplKey, { 1, 0, 3, 3, 8, 2, 5, 1 });
  SetSystem({ 10, 0, 0, 0, 1, 3, 3 });
  EXPECT_TRUE(WndRestoreCursorSettings(FALSE, TRUE));
  EXPECT_EQ(System(), Values({ 8, 2, 5, 1, 0, 3, 3 }));
  EXPECT_TRUE(Snapshot(kCplKey)[0] == 0 && Snapshot(kDravKey)[0] == 1);

  const LONG t = 0x11111111;   // as the variation record was given
  struct { Values system, snapshot, variation; } const rows[] = {   // horizontal recorded as 3 on both sides
      { { 12, 6, 10, 2, 1, 5, 9 }, { 0, 0, 3, 3, 10, 6, 10, 1 }, { 1, 2, 0, 2, t, t, 1 } },
      { { 12, 6, 10, 2, 1, 5, 9 }, { 0, 2, 1, 3, 13, 0, 0, 5 }, { 0, 4, 0, -1, t, t, -3 } },
      { { 12, 6, 10, 2, 0, 5, 9 }, { 0, 1, 5, 3, 12, 0, 0, 2 }, { 1, 0, 0, 0, t, t, 0 } } };
  tCursorSettings v;
  for (const auto& r : rows) {
    SetSystem(r.system);
    WriteSnapshot(kCplKey, r.snapshot);
    memset(&v, 0x11, sizeof v);
    ASSERT_TRUE(WndGetCursorSettingsVariation(&v));
    EXPECT_EQ(Fields(v), r.variation) << &r - rows;
  }
  EXPECT_FALSE(WndGetCursorSettingsVariation(nullptr));
  TestRegDelete(HKEY_CURRENT_USER, kCplKey, "MouseHorizontalScroll");
  EXPECT_FALSE(WndGetCursorSettingsVariation(&v));

  RegDeleteKeyA(HKEY_CURRENT_USER, kCplKey);   // the fixture recreates what was there
  ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, kCplKey));
  SetSystem({ 13, 1, 2, 1, 1, 3, 3 });
  EXPECT_FALSE(WndRestoreCursorSettings(TRUE, TRUE) || WndGetCursorSettingsVariation(&v));
  EXPECT_EQ(System(), Values({ 13, 1, 2, 1, 1, 3, 3 }));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kCplKey));
}

// Values of another type or length: never more than four bytes are taken; a
// field that cannot be read stays zero and applies nothing.
TEST_F(WndStateTest, CorruptValuesApplyNoStrayNumbers)
{
  WriteSnapshot(kDravKey, { -1, 1, 3, 3, 6, 4, 9, 2 });
  SetRaw("MouseThreshold2", std::string("\x09\0\0\0\0\0\0\0", 8));   // too long
  SetSystem({ 13, 1, 2, 1, 0, 3, 3 });
  EXPECT_FALSE(WndRestoreCursorSettings(TRUE, FALSE));
  EXPECT_EQ(System(), Values({ 6, 1, 2, 1, 1, 3, 3 }));   // speed and buttons restored, acceleration left
  EXPECT_TRUE(m_capture.Contains("<error> WndRestoreMouseSpeedAndAccel - WndRestoreMouseSpeedAndAccel - WndCursor.cpp line"));
  // A sensitivity of another type is not a speed; the acceleration values'
  // types are not tested, a short one is zero-extended.
  SetRaw("MouseSensitivity", std::string("\x05\x00", 2));
  SetRaw("MouseThreshold2", "\x09");
  SetSystem({ 13, 1, 2, 1, 0, 3, 3 });
  EXPECT_FALSE(WndRestoreCursorSettings(TRUE, FALSE));
  EXPECT_TRUE(System()[0] == 13 && System()[2] == 9);

  WriteSnapshot(kDravKey, { -1, 1, 3, 3, 6, 4, 9, -1 });
  SetRaw("MouseVerticalScroll", std::string("\x05\0\0\0\0\0\0\0", 8));
  SetRaw("MouseThreshold1", "\x04");
  HKEY hKey;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kDravKey, 0, KEY_READ, &hKey), ERROR_SUCCESS);
  tCursorSettings s;
  memset(&s, 0x5A, sizeof s);
  m_capture.Clear();
  EXPECT_FALSE(WndRetrieveCursorSettings(&hKey, &s));
  EXPECT_EQ(Fields(s), Values({ 1, 0, 3, 6, 4, 9, 0 }));
  EXPECT_EQ(m_capture.Count("assert FALSE"), 2u);
  EXPECT_FALSE(WndRetrieveCursorSettings(&hKey, nullptr));

  // The flag: any non-zero value of up to four bytes, whatever its type.
  const std::pair<std::string, BOOL> flags[] = { { "", FALSE }, { std::string(4, '\0'), FALSE },
      { std::string("\x05\0\0\0", 4), TRUE }, { "\x01", TRUE }, { std::string(8, '\0'), FALSE } };
  for (const auto& [sBytes, bSet] : flags) {
    sBytes.empty() ? TestRegDelete(HKEY_CURRENT_USER, kDravKey, "MouseSettingsCleared") : SetRaw("MouseSettingsCleared", sBytes);
    EXPECT_EQ(WndReadMouseSettingsCleared(&hKey), bSet) << sBytes.size();
  }
  EXPECT_FALSE(WndReadMouseSettingsCleared(nullptr));

  // Scrolling alone: cleared to 3, restored from the snapshot when it is a number.
  SetSystem({ 10, 6, 10, 1, 0, 7, 8 });
  EXPECT_TRUE(WndClearVerticalScrolling(nullptr) && WndClearHorizontalScrolling(nullptr));
  EXPECT_EQ(System(), Values({ 10, 6, 10, 1, 0, 3, 3 }));
  WriteSnapshot(kDravKey, { -1, 1, 6, 4 });
  EXPECT_TRUE(WndRestoreVerticalScrolling(&hKey) && WndRestoreHorizontalScrolling(&hKey));
  EXPECT_EQ(System(), Values({ 10, 6, 10, 1, 0, 6, 4 }));
  WriteSnapshot(kDravKey, { -1, -1, -1, -1 });   // no buttons, no horizontal, a vertical of another type
  TestRegSetString(HKEY_CURRENT_USER, kDravKey, "MouseVerticalScroll", "6");
  EXPECT_FALSE(WndRestoreVerticalScrolling(&hKey) || WndRestoreHorizontalScrolling(&hKey) ||
               WndRestoreMouseButtonsSwitch(&hKey));
  RegCloseKey(hKey);
}

// The driver type: the user's value, else the machine's (which seeds the
// user's), else 1; a value of another type is asserted and stands. F-Lock: the
// user's value ends the search (a text one is on, after the assertion), else
// the machine's, else on.
TEST_F(WndStateTest, DriverTypeAndFLockFromTheUserThenTheMachineThenTheDefault)
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

  EXPECT_TRUE(WndSetDriverType(3));
  for (LONG l : {4, -1}) EXPECT_FALSE(WndSetDriverType(l)) << l;
  EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, kDravKey, "DriverType"), 3);
  EXPECT_EQ(m_capture.Count("WndSetDriverType - WndSetDriverType - WndState.cpp line"), 2u);
  EXPECT_TRUE(WndSetDriverType(0) && ReadDword(HKEY_CURRENT_USER, kDravKey, "DriverType") == 0);

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

// Battery logs: reserved characters become '#'; what cannot be named whole gives an empty path and nothing
// written past the buffer. The log opens on a second try after its folder was made; a reader shares it and
// creates nothing.
TEST_F(WndStateTest, BatteryLogsAppDataFoldersAndFolderTrees)
{
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
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
  char sFolder[MAX_PATH], sSmall[16];
  EXPECT_FALSE(WndGetBatteryLogFileName(nullptr, sSmall, sizeof sSmall));
  EXPECT_TRUE(WndOpenBatteryLogFile(nullptr, nullptr, nullptr) == INVALID_HANDLE_VALUE &&
              WndOpenBatteryLogFile(&noName, nullptr, &bNew) == INVALID_HANDLE_VALUE && !bNew);

  // Move an existing battery folder aside and drop the upper levels when
  // they are empty, so that every missing level is made again.
  bool bMoved = IsFolder(sBattery) && MoveFileA(sBattery.c_str(), sSaved.c_str());
  ASSERT_FALSE(IsFolder(sBattery));
  if (!bMoved) RemoveDirectoryA(m_sDrav.c_str()), RemoveDirectoryA(m_sDrav.substr(0, m_sDrav.rfind('\\')).c_str());
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

  const std::string sCache = m_sDrav + "\\Cache";
  const bool bExisted = IsFolder(sCache);
  EXPECT_TRUE(WndGetDevicesFolder(sFolder, sizeof sFolder, FALSE, nullptr) && m_sDrav + "\\Devices" == sFolder);
  EXPECT_TRUE(WndGetCacheFolder(sFolder, sizeof sFolder, TRUE, &sa) && sCache == sFolder && IsFolder(sCache));
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
