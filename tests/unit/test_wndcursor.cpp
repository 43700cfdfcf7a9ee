// Cursor settings snapshot: clear, restore and variation against the real
// system settings and the current user's registry.
#include <gtest/gtest.h>

#include <climits>

#include "system/WndMgr.h"
#include "tests/unit/TestSupport.h"
#include "tests/unit/test_wndstate_support.h"

using namespace wndtest;

namespace {

const std::vector<std::string> kSnapshotNames = {
    "MouseSettingsCleared", "MouseButtonSwapping", "MouseVerticalScroll", "MouseHorizontalScroll",
    "MouseSensitivity",     "MouseThreshold1",     "MouseThreshold2",     "MouseSpeed",
};

// Every case starts with no flag and no snapshot, and leaves the user's
// system settings and registry values as it found them.
class WndCursorTest : public testing::Test {
protected:
  ~WndCursorTest() override { WriteSystemMouse(m_saved); }

  static void SetSystem(int iSpeed, int t1, int t2, int iAccel, int iSwap, UINT uiLines, UINT uiChars)
  {
    SystemMouse m;
    m.iSpeed = iSpeed;
    m.aAccel[0] = t1;
    m.aAccel[1] = t2;
    m.aAccel[2] = iAccel;
    m.iSwap = iSwap;
    m.uiWheelLines = uiLines;
    m.uiWheelChars = uiChars;
    WriteSystemMouse(m);
    SystemMouse now = ReadSystemMouse();
    ASSERT_EQ(now.iSpeed, iSpeed);
    ASSERT_EQ(now.aAccel[2], iAccel);
    ASSERT_EQ(now.iSwap, iSwap);
  }

  static void WriteSnapshot(const char* sKey, LONG lSensitivity, LONG t1, LONG t2, LONG lSpeed, LONG lSwap)
  {
    TestRegSetDword(HKEY_CURRENT_USER, sKey, "MouseSensitivity", lSensitivity);
    TestRegSetDword(HKEY_CURRENT_USER, sKey, "MouseThreshold1", t1);
    TestRegSetDword(HKEY_CURRENT_USER, sKey, "MouseThreshold2", t2);
    TestRegSetDword(HKEY_CURRENT_USER, sKey, "MouseSpeed", lSpeed);
    TestRegSetDword(HKEY_CURRENT_USER, sKey, "MouseButtonSwapping", lSwap);
    TestRegSetDword(HKEY_CURRENT_USER, sKey, "MouseVerticalScroll", 3);
    TestRegSetDword(HKEY_CURRENT_USER, sKey, "MouseHorizontalScroll", 3);
  }

  static void ExpectSystem(int iSpeed, int t1, int t2, int iAccel, int iSwap)
  {
    const SystemMouse now = ReadSystemMouse();
    EXPECT_EQ(now.iSpeed, iSpeed);
    EXPECT_EQ(now.aAccel[0], t1);
    EXPECT_EQ(now.aAccel[1], t2);
    EXPECT_EQ(now.aAccel[2], iAccel);
    EXPECT_EQ(now.iSwap, iSwap);
  }

  static LONG Dravv(const char* sName) { return ReadDword(HKEY_CURRENT_USER, kDravKey, sName); }

  SystemMouse m_saved = ReadSystemMouse();
  RegBackup m_dravBackup{HKEY_CURRENT_USER, kDravKey, kSnapshotNames};
  RegBackup m_cplBackup{HKEY_CURRENT_USER, kCplKey, kSnapshotNames};   // put back first: a subkey of the other
};

}  // namespace

TEST_F(WndCursorTest, FirstClearSnapshotsAndNeutralisesButLeavesTheWheel)
{
  SetSystem(14, 4, 9, 2, 1, 5, 7);
  TraceCapture capture;
  EXPECT_TRUE(WndClearCursorSettings(FALSE));

  EXPECT_EQ(Dravv("MouseSensitivity"), 14);
  EXPECT_EQ(Dravv("MouseThreshold1"), 4);
  EXPECT_EQ(Dravv("MouseThreshold2"), 9);
  EXPECT_EQ(Dravv("MouseSpeed"), 2);
  EXPECT_EQ(Dravv("MouseButtonSwapping"), 1);
  EXPECT_EQ(Dravv("MouseVerticalScroll"), 5);
  EXPECT_EQ(Dravv("MouseHorizontalScroll"), 3);  // recorded as 3, whatever the system holds
  EXPECT_EQ(Dravv("MouseSettingsCleared"), 1);
  EXPECT_TRUE(WndAreMouseSettingsCleared());

  ExpectSystem(10, 0, 0, 0, 0);
  SystemMouse now = ReadSystemMouse();
  EXPECT_EQ(now.uiWheelLines, 5u);
  EXPECT_EQ(now.uiWheelChars, 7u);

  EXPECT_TRUE(capture.Contains("WndClearCursorSettings - entry - bForceAndDontSave:0"));
  EXPECT_TRUE(capture.Contains("WndGetCurrentCursorSettings - CURRENT: Sensitivity: 14, ButtonSwap 1, VertScroll 5, "
                               "HorizScroll 3, Speed 2"));
  EXPECT_TRUE(capture.Contains("WndClearCursorSettings - exit (bStatus:1)"));
}

TEST_F(WndCursorTest, SecondClearKeepsTheSnapshotAndTouchesNothing)
{
  SetSystem(14, 4, 9, 2, 1, 3, 3);
  ASSERT_TRUE(WndClearCursorSettings(FALSE));
  SetSystem(12, 1, 2, 1, 1, 3, 3);  // the user changes something while cleared

  TraceCapture capture;
  EXPECT_TRUE(WndClearCursorSettings(FALSE));
  ExpectSystem(12, 1, 2, 1, 1);
  EXPECT_EQ(Dravv("MouseSensitivity"), 14);
  EXPECT_EQ(Dravv("MouseSpeed"), 2);
  EXPECT_FALSE(capture.Contains("WndClearMouseSpeedAndAccel"));
  EXPECT_TRUE(capture.Contains("WndClearCursorSettings - exit (bStatus:1)"));
}

TEST_F(WndCursorTest, ForcedClearLeavesThePreviousSnapshot)
{
  WriteSnapshot(kDravKey, 7, 1, 2, 1, 0);
  SetSystem(15, 5, 8, 2, 1, 3, 3);
  EXPECT_TRUE(WndClearCursorSettings(TRUE));
  EXPECT_EQ(Dravv("MouseSensitivity"), 7);
  EXPECT_EQ(Dravv("MouseThreshold2"), 2);
  EXPECT_EQ(Dravv("MouseSettingsCleared"), 1);
  ExpectSystem(10, 0, 0, 0, 0);

  // Without any snapshot, a forced clear writes none.
  for (const auto& name : kSnapshotNames) {
    TestRegDelete(HKEY_CURRENT_USER, kDravKey, name.c_str());
  }
  EXPECT_TRUE(WndClearCursorSettings(TRUE));
  EXPECT_FALSE(ReadRaw(HKEY_CURRENT_USER, kDravKey, "MouseSensitivity").bPresent);
  EXPECT_EQ(Dravv("MouseSettingsCleared"), 1);
}

TEST_F(WndCursorTest, RestoreWithoutForceWhenNotClearedSetsNothing)
{
  WriteSnapshot(kDravKey, 6, 4, 9, 2, 1);
  TestRegSetDword(HKEY_CURRENT_USER, kDravKey, "MouseSettingsCleared", 0);
  SetSystem(13, 1, 2, 1, 0, 3, 3);
  TraceCapture capture;
  EXPECT_TRUE(WndRestoreCursorSettings(FALSE, FALSE));
  ExpectSystem(13, 1, 2, 1, 0);
  EXPECT_FALSE(capture.Contains("restoring"));
  EXPECT_TRUE(capture.Contains("WndRestoreCursorSettings - entry (bForce:0,bToLastMCPLSnapshot:0)"));
  EXPECT_TRUE(capture.Contains("WndRestoreCursorSettings - exit"));
}

TEST_F(WndCursorTest, RestoreBringsBackSpeedAccelInOrderAndButtons)
{
  WriteSnapshot(kDravKey, 6, 4, 9, 2, 1);
  TestRegSetDword(HKEY_CURRENT_USER, kDravKey, "MouseSettingsCleared", 1);
  SetSystem(10, 0, 0, 0, 0, 3, 3);
  TraceCapture capture;
  EXPECT_TRUE(WndRestoreCursorSettings(FALSE, FALSE));
  ExpectSystem(6, 4, 9, 2, 1);
  EXPECT_EQ(Dravv("MouseSettingsCleared"), 0);
  EXPECT_FALSE(WndAreMouseSettingsCleared());
  EXPECT_TRUE(capture.Contains("WndRestoreMouseSpeedAndAccel - restoring SPI_SETMOUSESPEED = 6."));
  EXPECT_TRUE(capture.Contains("WndRestoreMouseSpeedAndAccel - restoring SPI_SETMOUSE = (4,9,2)."));
  EXPECT_TRUE(capture.Contains("WndRestoreMouseButtonsSwitch - Restoring SPI_SETMOUSEBUTTONSWAP = 1"));
}

TEST_F(WndCursorTest, ControlPanelRestoreUsesAndResetsItsOwnFlag)
{
  TestRegSetDword(HKEY_CURRENT_USER, kDravKey, "MouseSettingsCleared", 1);
  WriteSnapshot(kCplKey, 8, 2, 5, 1, 0);
  TestRegSetDword(HKEY_CURRENT_USER, kCplKey, "MouseSettingsCleared", 1);
  SetSystem(10, 0, 0, 0, 1, 3, 3);
  EXPECT_TRUE(WndRestoreCursorSettings(FALSE, TRUE));
  ExpectSystem(8, 2, 5, 1, 0);
  EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, kCplKey, "MouseSettingsCleared"), 0);
  EXPECT_EQ(Dravv("MouseSettingsCleared"), 1);
}

TEST_F(WndCursorTest, RestoreWithoutSnapshotKeyFailsAndSetsNothing)
{
  // Move the control-panel key out of the way by deleting its values and the
  // key itself; the fixture recreates what was there.
  RegDeleteKeyA(HKEY_CURRENT_USER, kCplKey);
  ASSERT_FALSE(KeyExists(HKEY_CURRENT_USER, kCplKey));
  SetSystem(13, 1, 2, 1, 1, 3, 3);
  TraceCapture capture;
  EXPECT_FALSE(WndRestoreCursorSettings(TRUE, TRUE));
  ExpectSystem(13, 1, 2, 1, 1);
  EXPECT_FALSE(capture.Contains("WndRestoreCursorSettings - exit"));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kCplKey));

  tCursorSettings variation{};
  EXPECT_FALSE(WndGetCursorSettingsVariation(&variation));
}

TEST_F(WndCursorTest, ForcedRestoreOfACorruptSnapshotAppliesNoStrayValues)
{
  WriteSnapshot(kDravKey, 6, 4, 9, 2, 1);
  TestRegSetBinary(HKEY_CURRENT_USER, kDravKey, "MouseThreshold2", "\x09\0\0\0\0\0\0\0", 8);  // too long
  SetSystem(13, 1, 2, 1, 0, 3, 3);
  TraceCapture capture;
  EXPECT_FALSE(WndRestoreCursorSettings(TRUE, FALSE));
  ExpectSystem(6, 1, 2, 1, 1);   // readable speed and buttons restored, acceleration left as it was
  EXPECT_TRUE(capture.Contains("WndRestoreMouseSpeedAndAccel - WndRestoreMouseSpeedAndAccel - WndCursor.cpp line"));
  EXPECT_TRUE(capture.Contains("WndRestoreMouseSpeedAndAccel - exit - bStatus:0"));

  // A sensitivity of another type is not a speed: the speed is not set. The
  // acceleration values' types are not tested; a short one is zero-extended.
  TestRegSetBinary(HKEY_CURRENT_USER, kDravKey, "MouseSensitivity", "\x05\x00", 2);
  TestRegSetBinary(HKEY_CURRENT_USER, kDravKey, "MouseThreshold2", "\x09", 1);
  SetSystem(13, 1, 2, 1, 0, 3, 3);
  EXPECT_FALSE(WndRestoreCursorSettings(TRUE, FALSE));
  SystemMouse now = ReadSystemMouse();
  EXPECT_EQ(now.iSpeed, 13);
  EXPECT_EQ(now.aAccel[1], 9);
}

TEST_F(WndCursorTest, RetrieveLeavesFailedFieldsAtZero)
{
  WriteSnapshot(kDravKey, 6, 4, 9, 2, 1);
  TestRegDelete(HKEY_CURRENT_USER, kDravKey, "MouseSpeed");
  TestRegSetBinary(HKEY_CURRENT_USER, kDravKey, "MouseVerticalScroll", "\x05\0\0\0\0\0\0\0", 8);
  TestRegSetBinary(HKEY_CURRENT_USER, kDravKey, "MouseThreshold1", "\x04", 1);   // type not tested, zero-extended
  HKEY hKey;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kDravKey, 0, KEY_READ, &hKey), ERROR_SUCCESS);
  tCursorSettings settings;
  memset(&settings, 0x5A, sizeof settings);
  TraceCapture capture;
  EXPECT_FALSE(WndRetrieveCursorSettings(&hKey, &settings));
  RegCloseKey(hKey);
  EXPECT_EQ(settings.lSensitivity, 6);
  EXPECT_EQ(settings.lSpeed, 0);
  EXPECT_EQ(settings.lThreshold1, 4);
  EXPECT_EQ(settings.lThreshold2, 9);
  EXPECT_EQ(settings.lVerticalScroll, 0);
  EXPECT_EQ(settings.lHorizontalScroll, 3);
  EXPECT_EQ(settings.lButtonSwap, 1);
  EXPECT_EQ(capture.Count("assert FALSE"), 2u);
  EXPECT_TRUE(capture.Contains("WndRetrieveCursorSettings - exit - bStatus:0."));
  EXPECT_FALSE(WndRetrieveCursorSettings(&hKey, nullptr));
}

TEST_F(WndCursorTest, MouseSettingsClearedFlagForms)
{
  HKEY hKey;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kDravKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
            ERROR_SUCCESS);
  EXPECT_FALSE(WndReadMouseSettingsCleared(&hKey));
  TestRegSetDword(HKEY_CURRENT_USER, kDravKey, "MouseSettingsCleared", 0);
  EXPECT_FALSE(WndReadMouseSettingsCleared(&hKey));
  TestRegSetDword(HKEY_CURRENT_USER, kDravKey, "MouseSettingsCleared", 5);
  EXPECT_TRUE(WndReadMouseSettingsCleared(&hKey));
  // The type is not examined, but never more than four bytes are taken.
  TestRegSetBinary(HKEY_CURRENT_USER, kDravKey, "MouseSettingsCleared", "\x01", 1);
  EXPECT_TRUE(WndReadMouseSettingsCleared(&hKey));
  TestRegSetBinary(HKEY_CURRENT_USER, kDravKey, "MouseSettingsCleared", "\0\0\0\0\0\0\0\0", 8);
  EXPECT_FALSE(WndReadMouseSettingsCleared(&hKey));
  RegCloseKey(hKey);
  EXPECT_FALSE(WndReadMouseSettingsCleared(nullptr));
}

TEST_F(WndCursorTest, ComputedVariationCountsOnlyWhetherButtonsAreSwapped)
{
  tCursorSettings current = {1, 3, 3, 10, 6, 10, 1};
  tCursorSettings snapshot = current;
  tCursorSettings variation;
  memset(&variation, 0x11, sizeof variation);
  ASSERT_TRUE(WndComputeCursorSettingsVariation(&current, &snapshot, &variation));
  EXPECT_EQ(variation.lButtonSwap, 0);
  EXPECT_EQ(variation.lSensitivity, 0);
  EXPECT_EQ(variation.lVerticalScroll, 0);
  EXPECT_EQ(variation.lHorizontalScroll, 0);
  EXPECT_EQ(variation.lSpeed, 0);
  EXPECT_EQ(variation.lThreshold1, 0x11111111);  // thresholds are not part of the variation

  snapshot.lButtonSwap = 0;
  ASSERT_TRUE(WndComputeCursorSettingsVariation(&current, &snapshot, &variation));
  EXPECT_EQ(variation.lButtonSwap, 1);
  EXPECT_EQ(variation.lSensitivity, 0);

  current.lButtonSwap = 0;
  ASSERT_TRUE(WndComputeCursorSettingsVariation(&current, &snapshot, &variation));
  EXPECT_EQ(variation.lButtonSwap, 0);

  current.lButtonSwap = 2;  // both count as swapped
  snapshot.lButtonSwap = 1;
  current.lSensitivity = 4;
  snapshot.lSensitivity = 9;
  current.lSpeed = INT_MIN;
  snapshot.lSpeed = 1;
  ASSERT_TRUE(WndComputeCursorSettingsVariation(&current, &snapshot, &variation));
  EXPECT_EQ(variation.lButtonSwap, 0);
  EXPECT_EQ(variation.lSensitivity, -5);
  EXPECT_EQ(variation.lSpeed, INT_MAX);

  EXPECT_FALSE(WndComputeCursorSettingsVariation(nullptr, &snapshot, &variation));
  EXPECT_FALSE(WndComputeCursorSettingsVariation(&current, nullptr, &variation));
  EXPECT_FALSE(WndComputeCursorSettingsVariation(&current, &snapshot, nullptr));
}

TEST_F(WndCursorTest, VariationAgainstTheControlPanelSnapshot)
{
  SetSystem(12, 6, 10, 2, 1, 5, 9);
  WriteSnapshot(kCplKey, 10, 6, 10, 1, 0);
  tCursorSettings variation{};
  ASSERT_TRUE(WndGetCursorSettingsVariation(&variation));
  EXPECT_EQ(variation.lSensitivity, 2);
  EXPECT_EQ(variation.lSpeed, 1);
  EXPECT_EQ(variation.lButtonSwap, 1);
  EXPECT_EQ(variation.lVerticalScroll, 2);
  EXPECT_EQ(variation.lHorizontalScroll, 0);  // recorded as 3 on both sides

  TestRegDelete(HKEY_CURRENT_USER, kCplKey, "MouseHorizontalScroll");
  EXPECT_FALSE(WndGetCursorSettingsVariation(&variation));
}

TEST_F(WndCursorTest, SingleScrollClearsAndRestores)
{
  SetSystem(10, 6, 10, 1, 0, 7, 8);
  TraceCapture capture;
  EXPECT_TRUE(WndClearVerticalScrolling(nullptr));
  EXPECT_TRUE(WndClearHorizontalScrolling(nullptr));
  SystemMouse now = ReadSystemMouse();
  EXPECT_EQ(now.uiWheelLines, 3u);
  EXPECT_EQ(now.uiWheelChars, 3u);
  EXPECT_TRUE(capture.Contains("WndClearVerticalScrolling - exit - bStatus:1"));
  EXPECT_TRUE(capture.Contains("WndClearHorizontalScrolling - entry"));

  TestRegSetDword(HKEY_CURRENT_USER, kDravKey, "MouseVerticalScroll", 6);
  TestRegSetDword(HKEY_CURRENT_USER, kDravKey, "MouseHorizontalScroll", 4);
  HKEY hKey;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kDravKey, 0, KEY_READ, &hKey), ERROR_SUCCESS);
  EXPECT_TRUE(WndRestoreVerticalScrolling(&hKey));
  EXPECT_TRUE(WndRestoreHorizontalScrolling(&hKey));
  now = ReadSystemMouse();
  EXPECT_EQ(now.uiWheelLines, 6u);
  EXPECT_EQ(now.uiWheelChars, 4u);
  EXPECT_TRUE(capture.Contains("WndRestoreVerticalScrolling - Restoring SPI_SETWHEELSCROLLLINES = 6"));
  EXPECT_TRUE(capture.Contains("WndRestoreHorizontalScrolling - restoring SPI_SETWHEELSCROLLCHARS = 4 "));

  TestRegSetString(HKEY_CURRENT_USER, kDravKey, "MouseVerticalScroll", "6");
  EXPECT_FALSE(WndRestoreVerticalScrolling(&hKey));
  TestRegDelete(HKEY_CURRENT_USER, kDravKey, "MouseHorizontalScroll");
  EXPECT_FALSE(WndRestoreHorizontalScrolling(&hKey));
  TestRegDelete(HKEY_CURRENT_USER, kDravKey, "MouseButtonSwapping");
  EXPECT_FALSE(WndRestoreMouseButtonsSwitch(&hKey));
  RegCloseKey(hKey);
}
