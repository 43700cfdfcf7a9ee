// Snapshot of the user's system mouse settings: clear to neutral values,
// restore from the snapshot, and compare against the control-panel snapshot.
#include "system/WndMgr.h"

#include "diag/Trace.h"

namespace {

// System parameter actions; gets pass flag 0, sets write the user profile
// without broadcasting.
constexpr UINT kSpiGetMouse = 0x0003;
constexpr UINT kSpiSetMouse = 0x0004;
constexpr UINT kSpiSetMouseButtonSwap = 0x0021;
constexpr UINT kSpiGetWheelScrollLines = 0x0068;
constexpr UINT kSpiSetWheelScrollLines = 0x0069;
constexpr UINT kSpiSetWheelScrollChars = 0x006D;
constexpr UINT kSpiGetMouseSpeed = 0x0070;
constexpr UINT kSpiSetMouseSpeed = 0x0071;
constexpr UINT kSpiWrite = SPIF_UPDATEINIFILE;
constexpr int kSmSwapButton = 23;

BOOL SetPointerSpeed(LONG lSpeed)
{
  // The speed travels in pvParam; Windows ignores uiParam for this action,
  // but Wine reads the value from there, so both carry it.
  return SystemParametersInfoA(kSpiSetMouseSpeed, (UINT)lSpeed, (PVOID)(INT_PTR)lSpeed, kSpiWrite);
}

BOOL SetAccelArray(LONG lThreshold1, LONG lThreshold2, LONG lSpeed)
{
  int aValues[3] = {(int)lThreshold1, (int)lThreshold2, (int)lSpeed};
  return SystemParametersInfoA(kSpiSetMouse, 0, aValues, kSpiWrite);
}

BOOL WriteDword(HKEY hKey, const char* sName, DWORD dwValue)
{
  return RegSetValueExA(hKey, sName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), sizeof dwValue) ==
         ERROR_SUCCESS;
}

// One value of a snapshot. A value longer than four bytes is not read; a
// shorter one is a whole number, zero-extended. bTestType: only a REG_DWORD
// counts, where the stored type is tested at all.
BOOL ReadSnapshotValue(HKEY hKey, const char* sName, LONG* plValue, BOOL bTestType)
{
  DWORD dwValue = 0;
  BOOL bIsDword = FALSE;
  BOOL bRead = WndRegReadNumber(hKey, sName, &dwValue, &bIsDword) && (bIsDword || !bTestType);
  *plValue = bRead ? (LONG)dwValue : 0;
  return bRead;
}

// Current minus snapshot with 32-bit wrap-around instead of overflow.
LONG Difference(LONG lCurrent, LONG lSnapshot)
{
  return (LONG)((ULONG)lCurrent - (ULONG)lSnapshot);
}

}  // namespace

BOOL WndRegReadNumber(HKEY hKey, const char* sName, DWORD* pdwValue, BOOL* pbIsDword)
{
  DWORD dwValue = 0;
  DWORD dwType = REG_NONE;
  DWORD cbValue = sizeof dwValue;
  LONG lStatus = RegQueryValueExA(hKey, sName, nullptr, &dwType, reinterpret_cast<BYTE*>(&dwValue), &cbValue);
  BOOL bRead = lStatus == ERROR_SUCCESS;
  if (!bRead) {
    dwValue = 0;
  }
  if (pdwValue != nullptr) {
    *pdwValue = dwValue;
  }
  if (pbIsDword != nullptr) {
    *pbIsDword = bRead && dwType == REG_DWORD;
  }
  return bRead;
}

BOOL WndReadMouseSettingsCleared(HKEY* phKey)
{
  if (phKey == nullptr) {
    DRAV_ASSERT(FALSE);
    return FALSE;
  }
  // The type is not examined: any non-zero value of up to four bytes is set.
  DWORD dwValue = 0;
  BOOL bCleared = WndRegReadNumber(*phKey, LD_REG_MOUSE_SETTINGS_CLEARED, &dwValue, nullptr) && dwValue != 0;
  return bCleared;
}

BOOL WndAreMouseSettingsCleared()
{
  TRACE_INFO("entry");
  HKEY hKey = nullptr;
  BOOL bCleared = FALSE;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, LD_REG_DRAV_PATH, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, &hKey, nullptr) == ERROR_SUCCESS) {
    bCleared = WndReadMouseSettingsCleared(&hKey);
    RegCloseKey(hKey);
  }
  TRACE_INFO("exit - bCleared:%d", bCleared);
  return bCleared;
}

BOOL WndClearMouseSpeedAndAccel(HKEY* phKey)
{
  TRACE_INFO("entry");
  BOOL bSpeed = SetPointerSpeed(WND_NEUTRAL_MOUSE_SPEED);
  BOOL bAccel = SetAccelArray(0, 0, 0);
  BOOL bStatus = bSpeed && bAccel;
  TRACE_INFO("exit - bStatus:%d", bStatus);
  return bStatus;
}

BOOL WndClearVerticalScrolling(HKEY* phKey)
{
  TRACE_INFO("entry");
  BOOL bStatus = SystemParametersInfoA(kSpiSetWheelScrollLines, WND_NEUTRAL_WHEEL_LINES, nullptr, kSpiWrite);
  TRACE_INFO("exit - bStatus:%d", bStatus);
  return bStatus;
}

BOOL WndClearHorizontalScrolling(HKEY* phKey)
{
  TRACE_INFO("entry");
  SystemParametersInfoA(kSpiSetWheelScrollChars, WND_NEUTRAL_WHEEL_CHARS, nullptr, kSpiWrite);
  return TRUE;
}

BOOL WndClearMouseButtonsSwitch(HKEY* phKey)
{
  TRACE_INFO("entry");
  BOOL bStatus = SystemParametersInfoA(kSpiSetMouseButtonSwap, 0, nullptr, kSpiWrite);
  TRACE_INFO("exit - bStatus:%d", bStatus);
  return bStatus;
}

BOOL WndRestoreMouseSpeedAndAccel(HKEY* phKey)
{
  if (phKey == nullptr) {
    DRAV_ASSERT(FALSE);
    return FALSE;
  }
  TRACE_INFO("entry");
  BOOL bStatus = FALSE;
  LONG lSensitivity = 0;
  if (!ReadSnapshotValue(*phKey, LD_REG_MOUSE_SENSITIVITY, &lSensitivity, TRUE)) {
    DRAV_ASSERT(FALSE);
  } else {
    TRACE_INFO("restoring SPI_SETMOUSESPEED = %d.", (int)lSensitivity);
    bStatus = SetPointerSpeed(lSensitivity);
  }

  LONG lSpeed = 0;
  LONG lThreshold1 = 0;
  LONG lThreshold2 = 0;
  if (!ReadSnapshotValue(*phKey, LD_REG_MOUSE_SPEED, &lSpeed, FALSE) ||
      !ReadSnapshotValue(*phKey, LD_REG_MOUSE_THRESHOLD1, &lThreshold1, FALSE) ||
      !ReadSnapshotValue(*phKey, LD_REG_MOUSE_THRESHOLD2, &lThreshold2, FALSE)) {
    // Acceleration not restored: the operation did not succeed.
    DRAV_ASSERT(FALSE);
    bStatus = FALSE;
  } else {
    TRACE_INFO("restoring SPI_SETMOUSE = (%d,%d,%d).", (int)lThreshold1, (int)lThreshold2, (int)lSpeed);
    bStatus = SetAccelArray(lThreshold1, lThreshold2, lSpeed) && bStatus;
    DRAV_ASSERT(bStatus != FALSE);
  }
  TRACE_INFO("exit - bStatus:%d", bStatus);
  return bStatus;
}

BOOL WndRestoreVerticalScrolling(HKEY* phKey)
{
  TRACE_INFO("entry");
  LONG lValue = 0;
  if (phKey == nullptr || !ReadSnapshotValue(*phKey, LD_REG_MOUSE_VERTICAL_SCROLL, &lValue, TRUE)) {
    DRAV_ASSERT(FALSE);
    TRACE_INFO("exit - bStatus:%d", FALSE);
    return FALSE;
  }
  TRACE_INFO("Restoring SPI_SETWHEELSCROLLLINES = %d", (int)lValue);
  BOOL bStatus = SystemParametersInfoA(kSpiSetWheelScrollLines, (UINT)lValue, nullptr, kSpiWrite);
  TRACE_INFO("exit - bStatus:%d", bStatus);
  return bStatus;
}

BOOL WndRestoreHorizontalScrolling(HKEY* phKey)
{
  TRACE_INFO("entry");
  LONG lValue = 0;
  if (phKey == nullptr || !ReadSnapshotValue(*phKey, LD_REG_MOUSE_HORIZONTAL_SCROLL, &lValue, TRUE)) {
    DRAV_ASSERT(FALSE);
    TRACE_INFO("exit - bStatus:%d", FALSE);
    return FALSE;
  }
  TRACE_INFO("restoring SPI_SETWHEELSCROLLCHARS = %d ", (int)lValue);
  SystemParametersInfoA(kSpiSetWheelScrollChars, (UINT)lValue, nullptr, kSpiWrite);
  TRACE_INFO("exit - bStatus:%d", TRUE);
  return TRUE;
}

BOOL WndRestoreMouseButtonsSwitch(HKEY* phKey)
{
  TRACE_INFO("entry");
  LONG lValue = 0;
  if (phKey == nullptr || !ReadSnapshotValue(*phKey, LD_REG_MOUSE_BUTTON_SWAPPING, &lValue, TRUE)) {
    DRAV_ASSERT(FALSE);
    TRACE_INFO("exit - bStatus:%d", FALSE);
    return FALSE;
  }
  TRACE_INFO("Restoring SPI_SETMOUSEBUTTONSWAP = %d", (int)lValue);
  BOOL bStatus = SystemParametersInfoA(kSpiSetMouseButtonSwap, (UINT)lValue, nullptr, kSpiWrite);
  TRACE_INFO("exit - bStatus:%d", bStatus);
  return bStatus;
}

BOOL WndGetCurrentCursorSettings(tCursorSettings* pSettings)
{
  if (pSettings == nullptr) {
    DRAV_ASSERT(FALSE);
    return FALSE;
  }
  TRACE_INFO("entry");
  // Fields of failed gets stay 0 rather than undefined.
  *pSettings = tCursorSettings{};

  int iSpeed = 0;
  BOOL bStatus = SystemParametersInfoA(kSpiGetMouseSpeed, 0, &iSpeed, 0);
  DRAV_ASSERT(bStatus);
  pSettings->lSensitivity = iSpeed;

  int aAccel[3] = {0, 0, 0};
  BOOL bAccel = SystemParametersInfoA(kSpiGetMouse, 0, aAccel, 0);
  bStatus = bStatus && bAccel;
  DRAV_ASSERT(bStatus);
  pSettings->lThreshold1 = aAccel[0];
  pSettings->lThreshold2 = aAccel[1];
  pSettings->lSpeed = aAccel[2];

  pSettings->lButtonSwap = GetSystemMetrics(kSmSwapButton);

  UINT uiLines = 0;
  BOOL bLines = SystemParametersInfoA(kSpiGetWheelScrollLines, 0, &uiLines, 0);
  pSettings->lVerticalScroll = (LONG)uiLines;
  bStatus = bStatus && bLines;
  DRAV_ASSERT(bStatus);

  // The system's scroll characters are never read: recorded as 3.
  pSettings->lHorizontalScroll = WND_NEUTRAL_WHEEL_CHARS;

  if (bStatus) {
    TRACE_INFO("CURRENT: Sensitivity: %d, ButtonSwap %d, VertScroll %d, HorizScroll %d, Speed %d",
               (int)pSettings->lSensitivity, (int)pSettings->lButtonSwap, (int)pSettings->lVerticalScroll,
               (int)pSettings->lHorizontalScroll, (int)pSettings->lSpeed);
  }
  TRACE_INFO("exit - bStatus:%d.", bStatus);
  return bStatus;
}

BOOL WndSaveCursorSettings(HKEY* phKey, const tCursorSettings* pSettings)
{
  TRACE_INFO("entry");
  if (phKey == nullptr || pSettings == nullptr) {
    DRAV_ASSERT(FALSE);
    TRACE_INFO("exit - bStatus:%d.", FALSE);
    return FALSE;
  }
  const struct {
    const char* sName;
    LONG lValue;
  } aValues[] = {
      {LD_REG_MOUSE_SENSITIVITY, pSettings->lSensitivity},
      {LD_REG_MOUSE_SPEED, pSettings->lSpeed},
      {LD_REG_MOUSE_THRESHOLD1, pSettings->lThreshold1},
      {LD_REG_MOUSE_THRESHOLD2, pSettings->lThreshold2},
      {LD_REG_MOUSE_VERTICAL_SCROLL, pSettings->lVerticalScroll},
      {LD_REG_MOUSE_HORIZONTAL_SCROLL, pSettings->lHorizontalScroll},
      {LD_REG_MOUSE_BUTTON_SWAPPING, pSettings->lButtonSwap},
  };
  BOOL bStatus = TRUE;
  for (const auto& value : aValues) {
    if (!WriteDword(*phKey, value.sName, (DWORD)value.lValue)) {
      DRAV_ASSERT(FALSE);
      bStatus = FALSE;
    }
  }
  TRACE_INFO("exit - bStatus:%d.", bStatus);
  return bStatus;
}

BOOL WndRetrieveCursorSettings(HKEY* phKey, tCursorSettings* pSettings)
{
  if (pSettings == nullptr || phKey == nullptr) {
    DRAV_ASSERT(FALSE);
    return FALSE;
  }
  TRACE_INFO("entry");
  const struct {
    const char* sName;
    LONG* plField;
  } aValues[] = {
      {LD_REG_MOUSE_SENSITIVITY, &pSettings->lSensitivity},
      {LD_REG_MOUSE_SPEED, &pSettings->lSpeed},
      {LD_REG_MOUSE_THRESHOLD1, &pSettings->lThreshold1},
      {LD_REG_MOUSE_THRESHOLD2, &pSettings->lThreshold2},
      {LD_REG_MOUSE_VERTICAL_SCROLL, &pSettings->lVerticalScroll},
      {LD_REG_MOUSE_HORIZONTAL_SCROLL, &pSettings->lHorizontalScroll},
      {LD_REG_MOUSE_BUTTON_SWAPPING, &pSettings->lButtonSwap},
  };
  BOOL bStatus = TRUE;
  for (const auto& value : aValues) {
    // A value that is missing or too long leaves its field at 0.
    if (!ReadSnapshotValue(*phKey, value.sName, value.plField, FALSE)) {
      DRAV_ASSERT(FALSE);
      bStatus = FALSE;
    }
  }
  TRACE_INFO("exit - bStatus:%d.", bStatus);
  return bStatus;
}

BOOL WndComputeCursorSettingsVariation(const tCursorSettings* pCurrent, const tCursorSettings* pSnapshot,
                                       tCursorSettings* pVariation)
{
  TRACE_INFO("entry");
  if (pCurrent == nullptr || pSnapshot == nullptr || pVariation == nullptr) {
    TRACE_INFO("exit - bStatus:%d", FALSE);
    return FALSE;
  }
  // Only whether the buttons are swapped counts, not the stored number.
  pVariation->lButtonSwap = ((pCurrent->lButtonSwap != 0) != (pSnapshot->lButtonSwap != 0)) ? 1 : 0;
  pVariation->lSensitivity = Difference(pCurrent->lSensitivity, pSnapshot->lSensitivity);
  pVariation->lVerticalScroll = Difference(pCurrent->lVerticalScroll, pSnapshot->lVerticalScroll);
  pVariation->lHorizontalScroll = Difference(pCurrent->lHorizontalScroll, pSnapshot->lHorizontalScroll);
  pVariation->lSpeed = Difference(pCurrent->lSpeed, pSnapshot->lSpeed);
  TRACE_INFO("exit - bStatus:%d", TRUE);
  return TRUE;
}

BOOL WndGetCursorSettingsVariation(tCursorSettings* pVariation)
{
  TRACE_INFO("entry");
  tCursorSettings current{};
  tCursorSettings snapshot{};
  BOOL bStatus = WndGetCurrentCursorSettings(&current);

  HKEY hKey = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, LD_REG_LAST_MCPL_PATH, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
    DRAV_ASSERT(FALSE);
    TRACE_INFO("exit - bStatus:%d", FALSE);
    return FALSE;
  }
  if (WndRetrieveCursorSettings(&hKey, &snapshot)) {
    bStatus = WndComputeCursorSettingsVariation(&current, &snapshot, pVariation) && bStatus;
  } else {
    DRAV_ASSERT(FALSE);
    bStatus = FALSE;
  }
  RegCloseKey(hKey);
  TRACE_INFO("exit - bStatus:%d", bStatus);
  return bStatus;
}

BOOL WndClearCursorSettings(BOOL bForceAndDontSave)
{
  TRACE_INFO("entry - bForceAndDontSave:%d", bForceAndDontSave);
  BOOL bStatus = TRUE;
  HKEY hKey = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, LD_REG_DRAV_PATH, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, &hKey, nullptr) != ERROR_SUCCESS) {
    TRACE_ERROR("RegCreateKeyEx( LD_REG_DRAV_PATH ) failed. Reason:%d", (int)GetLastError());
    bStatus = FALSE;
  } else {
    BOOL bCleared = WndReadMouseSettingsCleared(&hKey);
    // Already neutral: a second clear must not overwrite the user's snapshot.
    if (!bCleared || bForceAndDontSave) {
      if (!bCleared && !bForceAndDontSave) {
        tCursorSettings current{};
        bStatus = WndGetCurrentCursorSettings(&current) && bStatus;
        bStatus = WndSaveCursorSettings(&hKey, &current) && bStatus;
      }
      bStatus = WndClearMouseSpeedAndAccel(&hKey) && bStatus;
      bStatus = WndClearMouseButtonsSwitch(&hKey) && bStatus;
      if (!WriteDword(hKey, LD_REG_MOUSE_SETTINGS_CLEARED, 1)) {
        TRACE_ERROR("RegSetValueEx( LD_REG_MOUSE_SETTINGS_CLEARED ) failed. Reason:%d", (int)GetLastError());
        bStatus = FALSE;
      }
    }
    RegCloseKey(hKey);
  }
  TRACE_INFO("exit (bStatus:%d)", bStatus);
  return bStatus;
}

BOOL WndRestoreCursorSettings(BOOL bForce, BOOL bToLastMCPLSnapshot)
{
  TRACE_INFO("entry (bForce:%d,bToLastMCPLSnapshot:%d)", bForce, bToLastMCPLSnapshot);
  BOOL bStatus = TRUE;
  const char* sKey = bToLastMCPLSnapshot ? LD_REG_LAST_MCPL_PATH : LD_REG_DRAV_PATH;
  HKEY hKey = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, sKey, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS) {
    return FALSE;
  }
  if (WndReadMouseSettingsCleared(&hKey) || bForce) {
    bStatus = WndRestoreMouseSpeedAndAccel(&hKey) && bStatus;
    bStatus = WndRestoreMouseButtonsSwitch(&hKey) && bStatus;
    if (!WriteDword(hKey, LD_REG_MOUSE_SETTINGS_CLEARED, 0)) {
      DRAV_ASSERT(FALSE);
      bStatus = FALSE;
    }
  }
  RegCloseKey(hKey);
  TRACE_INFO("exit");
  return bStatus;
}
