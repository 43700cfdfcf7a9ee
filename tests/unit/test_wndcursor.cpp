// Cursor settings snapshot: clear, restore and variation against the real
// system settings and the current user's registry.
#include <gtest/gtest.h>

#include <climits>

#include "system/WndMgr.h"
#include "tests/unit/TestSupport.h"
#include "tests/unit/test_wndstate_support.h"

using namespace wndtest;

namespace {

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
void SetRaw(const char* sName, const std::string& s) { TestRegSetBinary(HKEY_CURRENT_USER, kDravKey, sName, s.data(), (DWORD)s.size()); }

// Every case starts with no flag and no snapshot, and leaves the user's
// system settings and registry values as it found them.
class WndCursorTest : public testing::Test {
protected:
  ~WndCursorTest() override { SetSystem(m_saved); }
  Values m_saved = System();
  RegBackup m_dravBackup{HKEY_CURRENT_USER, kDravKey, kSnapshotNames};
  RegBackup m_cplBackup{HKEY_CURRENT_USER, kCplKey, kSnapshotNames};   // put back first: a subkey of the other
  TraceCapture m_capture;
};

// The first clear snapshots and neutralises all but the wheel; a second one
// keeps the snapshot and touches nothing; the restore brings back speed,
// acceleration in order and buttons; once restored, one without force sets
// nothing. A forced clear leaves the previous snapshot, or writes none.
TEST_F(WndCursorTest, ClearSnapshotsOnceAndRestoreBringsItBack)
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
  WriteSnapshot(kDravKey, Values(8, -1));
  EXPECT_TRUE(WndClearCursorSettings(TRUE));
  EXPECT_EQ(Snapshot(kDravKey), Values({ 1, -1, -1, -1, -1, -1, -1, -1 }));
}

// The control panel's snapshot has a flag of its own; without its key a
// restore and a variation fail and set nothing.
TEST_F(WndCursorTest, ControlPanelSnapshotRestoreAndVariation)
{
  TestRegSetDword(HKEY_CURRENT_USER, kDravKey, "MouseSettingsCleared", 1);
  WriteSnapshot(kCplKey, { 1, 0, 3, 3, 8, 2, 5, 1 });
  SetSystem({ 10, 0, 0, 0, 1, 3, 3 });
  EXPECT_TRUE(WndRestoreCursorSettings(FALSE, TRUE));
  EXPECT_EQ(System(), Values({ 8, 2, 5, 1, 0, 3, 3 }));
  EXPECT_TRUE(Snapshot(kCplKey)[0] == 0 && Snapshot(kDravKey)[0] == 1);

  SetSystem({ 12, 6, 10, 2, 1, 5, 9 });
  WriteSnapshot(kCplKey, { 0, 0, 3, 3, 10, 6, 10, 1 });
  tCursorSettings v{};
  ASSERT_TRUE(WndGetCursorSettingsVariation(&v));
  EXPECT_EQ(Values({ v.lSensitivity, v.lSpeed, v.lButtonSwap, v.lVerticalScroll, v.lHorizontalScroll }),
            Values({ 2, 1, 1, 2, 0 }));   // horizontal recorded as 3 on both sides
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
TEST_F(WndCursorTest, CorruptValuesApplyNoStrayNumbers)
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
  EXPECT_EQ(Values({ s.lSensitivity, s.lSpeed, s.lThreshold1, s.lThreshold2, s.lVerticalScroll, s.lHorizontalScroll,
                     s.lButtonSwap }), Values({ 6, 0, 4, 9, 0, 3, 1 }));
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

TEST_F(WndCursorTest, ComputedVariationCountsOnlyWhetherButtonsAreSwapped)
{
  struct { LONG lCurSwap, lSnapSwap, lCurSens, lSnapSens, lCurSpeed, lSnapSpeed, lSwap, lSens, lSpeed; } rows[] = {
      { 1, 1, 3, 3, 6, 6, 0, 0, 0 }, { 1, 0, 3, 3, 6, 6, 1, 0, 0 }, { 0, 0, 3, 3, 6, 6, 0, 0, 0 },
      { 2, 1, 4, 9, INT_MIN, 1, 0, -5, INT_MAX } };   // both count as swapped; the difference saturates
  for (const auto& r : rows) {
    tCursorSettings current = { r.lCurSwap, 3, 3, r.lCurSens, 6, 10, r.lCurSpeed }, snapshot = current, v;
    snapshot.lButtonSwap = r.lSnapSwap, snapshot.lSensitivity = r.lSnapSens, snapshot.lSpeed = r.lSnapSpeed;
    memset(&v, 0x11, sizeof v);
    ASSERT_TRUE(WndComputeCursorSettingsVariation(&current, &snapshot, &v));
    EXPECT_EQ(Values({ v.lButtonSwap, v.lSensitivity, v.lSpeed, v.lVerticalScroll, v.lHorizontalScroll, v.lThreshold1 }),
              Values({ r.lSwap, r.lSens, r.lSpeed, 0, 0, 0x11111111 })) << &r - rows;   // thresholds are not part of it
    EXPECT_FALSE(WndComputeCursorSettingsVariation(nullptr, &snapshot, &v) ||
                 WndComputeCursorSettingsVariation(&current, nullptr, &v) ||
                 WndComputeCursorSettingsVariation(&current, &snapshot, nullptr));
  }
}

}  // namespace
