// State kept across restarts (driver type, F-Lock mode) and the folders under
// the machine-wide application-data folder.
#include <shlobj.h>

#include <cstdio>
#include <cstring>

#include "diag/Trace.h"
#include "system/WndMgr.h"

namespace {

constexpr int kCsidlCommonAppData = 0x0023;  // CSIDL_COMMON_APPDATA
constexpr DWORD kErrorAlreadyExists = ERROR_ALREADY_EXISTS;

// Appends sTail to sPath (capacity cbPath, terminator included); refuses
// rather than cuts, because a cut path names another folder or file.
BOOL AppendPath(char* sPath, size_t cbPath, const char* sTail)
{
  size_t cchPath = strnlen(sPath, cbPath);
  size_t cchTail = strlen(sTail);
  if (cchPath >= cbPath || cchTail >= cbPath - cchPath) {
    return FALSE;
  }
  memcpy(sPath + cchPath, sTail, cchTail + 1);
  return TRUE;
}

// Composes application-data folder + sTail into the caller's buffer.
// The shell writes up to MAX_PATH characters, so it gets a local buffer.
BOOL ComposeAppDataPath(char* sPath, ULONG ulSize, const char* sTail, BOOL* pbShellFailed)
{
  *pbShellFailed = FALSE;
  if (sPath == nullptr || ulSize == 0) {
    return FALSE;
  }
  sPath[0] = '\0';
  char sAppData[MAX_PATH] = "";
  if (!SHGetSpecialFolderPathA(nullptr, sAppData, kCsidlCommonAppData, TRUE)) {
    *pbShellFailed = TRUE;
    return FALSE;
  }
  if (!AppendPath(sPath, ulSize, sAppData) || !AppendPath(sPath, ulSize, sTail)) {
    sPath[0] = '\0';
    return FALSE;
  }
  return TRUE;
}

BOOL CreateLevel(const char* sPath, SECURITY_ATTRIBUTES* pSa)
{
  return CreateDirectoryA(sPath, pSa) || GetLastError() == kErrorAlreadyExists;
}

// Errors are traced under the public operation's name.
BOOL GetAppDataSubfolder(const char* sCaller, char* sPath, ULONG ulSize, BOOL bCreate, SECURITY_ATTRIBUTES* pSa,
                         const char* sTail)
{
  BOOL bShellFailed = FALSE;
  if (!ComposeAppDataPath(sPath, ulSize, sTail, &bShellFailed)) {
    DWORD dwError = GetLastError();
    TraceSetFunction(sCaller);
    if (bShellFailed) {
      TraceError("SHGetSpecialFolderPath failed. Reason:%d", (int)dwError);
    } else {
      TraceError("path buffer too small (%lu bytes) or null", (unsigned long)ulSize);
    }
    return FALSE;
  }
  if (bCreate && pSa != nullptr) {
    return WndCreateFolderTree(sPath, pSa);
  }
  return TRUE;
}

}  // namespace

BOOL WndSetDriverType(LONG lDriverType)
{
  TRACE_INFO("Entry ");
  BOOL bStatus = FALSE;
  HKEY hKey = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, LD_REG_DRAV_PATH, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, &hKey, nullptr) != ERROR_SUCCESS) {
    DRAV_ASSERT(FALSE);
    hKey = nullptr;
  } else if (lDriverType < 0 || lDriverType >= WND_DRIVER_TYPE_COUNT) {
    DRAV_ASSERT(FALSE);
  } else {
    DWORD dwValue = (DWORD)lDriverType;
    bStatus = RegSetValueExA(hKey, LD_REG_DRIVER_TYPE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                             sizeof dwValue) == ERROR_SUCCESS;
  }
  if (hKey != nullptr) {
    RegCloseKey(hKey);
  }
  TRACE_INFO("Exit");
  return bStatus;
}

BOOL WndGetDriverType(LONG* plDriverType, BOOL* pbFirstTimeVantorix)
{
  TRACE_INFO("Entry - (pDriverType:%x, pbFirstTimeVantorix:%x)", (unsigned)(ULONG_PTR)plDriverType,
             (unsigned)(ULONG_PTR)pbFirstTimeVantorix);
  LONG lValue = 0;
  BOOL bFirst = FALSE;
  const HKEY aRoots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
  for (HKEY hRoot : aRoots) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(hRoot, LD_REG_DRAV_PATH, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
      bFirst = TRUE;
      lValue = WND_DEFAULT_DRIVER_TYPE;
    } else {
      DWORD dwValue = 0;
      BOOL bIsDword = FALSE;
      if (!WndRegReadNumber(hKey, LD_REG_DRIVER_TYPE, &dwValue, &bIsDword)) {
        bFirst = TRUE;
        lValue = WND_DEFAULT_DRIVER_TYPE;
      } else {
        // Found under the machine root, first stays TRUE: the user has no value yet.
        TRACE_CATEGORY(TRACE_CAT_SYSTEM, "SetupMouseCohabitation - GLOBAL DriverType:%d (0x%X).\n", (int)dwValue,
                       (unsigned)dwValue);
        DRAV_ASSERT_TEXT(bIsDword, "dwDataType == REG_DWORD");
        lValue = (LONG)dwValue;   // asserted, but the value read stands
      }
      LONG lStatus = RegCloseKey(hKey);
      DRAV_ASSERT(lStatus == ERROR_SUCCESS);
    }
    if (!bFirst) {
      break;
    }
  }
  if (pbFirstTimeVantorix != nullptr) {
    *pbFirstTimeVantorix = bFirst;
    if (bFirst) {
      WndSetDriverType(lValue);
    }
  }
  if (plDriverType != nullptr) {
    *plDriverType = lValue;
  }
  TRACE_INFO("Exit( DriverTypeValue:%d, FirstTime:%d )", (int)lValue, bFirst);
  return TRUE;
}

BOOL WndLoadFLockState()
{
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndLoadFLockState - Entry\n");
  BOOL bMode = TRUE;
  HKEY hRoot = HKEY_CURRENT_USER;
  while (hRoot != nullptr) {
    TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndLoadFLockState - Opening Branch %X.\n", (unsigned)(ULONG_PTR)hRoot);
    HKEY hNext = hRoot == HKEY_CURRENT_USER ? HKEY_LOCAL_MACHINE : nullptr;
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(hRoot, LD_REG_DRAV_PATH, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
      hRoot = hNext;
      TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndLoadFLockState - Branch Not Found.\n");
      continue;
    }
    DWORD dwValue = 0;
    BOOL bIsDword = FALSE;
    if (!WndRegReadNumber(hKey, LD_REG_FMODE, &dwValue, &bIsDword)) {
      hRoot = hNext;
      TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndLoadFLockState - KEY Not Found.\n");
    } else {
      if (bIsDword) {
        bMode = dwValue != 0;
      } else {
        DRAV_ASSERT(FALSE);
      }
      hRoot = nullptr;
    }
    LONG lStatus = RegCloseKey(hKey);
    DRAV_ASSERT(lStatus == ERROR_SUCCESS);
  }
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndLoadFLockState - Exit %d\n", bMode);
  return bMode;
}

void WndSaveFLockState(BOOL bMode)
{
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndSaveFLockState - Entry %d\n", bMode);
  HKEY hKey = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, LD_REG_DRAV_PATH, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, &hKey, nullptr) != ERROR_SUCCESS) {
    DRAV_ASSERT(FALSE);
  } else {
    DWORD dwValue = (DWORD)bMode;
    LONG lStatus =
        RegSetValueExA(hKey, LD_REG_FMODE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), sizeof dwValue);
    DRAV_ASSERT(lStatus == ERROR_SUCCESS);
    lStatus = RegCloseKey(hKey);
    DRAV_ASSERT(lStatus == ERROR_SUCCESS);
  }
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndSaveFLockState - Exit.\n");
}

BOOL WndCreateFolderTree(const char* sPath, SECURITY_ATTRIBUTES* pSa)
{
  TRACE_INFO("entry");
  char sLocal[MAX_PATH];
  if (sPath == nullptr || strnlen(sPath, MAX_PATH) >= MAX_PATH) {
    DRAV_ASSERT_TEXT(FALSE, "sPath fits MAX_PATH");
    TRACE_INFO("exit - bStatus:%d", FALSE);
    return FALSE;
  }
  strcpy(sLocal, sPath);

  // The drive's own separator is not a folder to create.
  char* pNext = strchr(sLocal, '\\');
  pNext = pNext != nullptr ? pNext + 1 : sLocal;
  BOOL bStatus = TRUE;
  for (;;) {
    char* pSeparator = strchr(pNext, '\\');
    if (pSeparator != nullptr) {
      *pSeparator = '\0';
    }
    bStatus = CreateLevel(sLocal, pSa);
    if (pSeparator == nullptr || !bStatus) {
      break;
    }
    *pSeparator = '\\';
    pNext = pSeparator + 1;
  }
  TRACE_INFO("exit - bStatus:%d", bStatus);
  return bStatus;
}

BOOL WndGetDevicesFolder(char* sPath, ULONG ulSize, BOOL bCreate, SECURITY_ATTRIBUTES* pSa)
{
  TRACE_INFO("entry");
  BOOL bStatus = GetAppDataSubfolder(__func__, sPath, ulSize, bCreate, pSa, LD_DEVICES_SUBFOLDER);
  TRACE_INFO("exit - bStatus:%d", bStatus);
  return bStatus;
}

BOOL WndGetCacheFolder(char* sPath, ULONG ulSize, BOOL bCreate, SECURITY_ATTRIBUTES* pSa)
{
  TRACE_INFO("entry");
  BOOL bStatus = GetAppDataSubfolder(__func__, sPath, ulSize, bCreate, pSa, LD_CACHE_SUBFOLDER);
  TRACE_INFO("exit - bStatus:%d", bStatus);
  return bStatus;
}

BOOL WndCreateBatteryLogFolder(SECURITY_ATTRIBUTES* pSa)
{
  char sPath[MAX_PATH] = "";
  BOOL bStatus = SHGetSpecialFolderPathA(nullptr, sPath, kCsidlCommonAppData, TRUE);
  DRAV_ASSERT(bStatus);

  BOOL bCreated = FALSE;
  if (bStatus) {
    const char* aLevels[] = {"\\Vantorix", "\\DRAV", "\\Battery"};
    for (size_t i = 0; i < 3; ++i) {
      if (!AppendPath(sPath, sizeof sPath, aLevels[i])) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        break;
      }
      BOOL bMade = CreateDirectoryA(sPath, pSa);
      if (i == 2) {
        bCreated = bMade;
      } else if (!bMade && GetLastError() != kErrorAlreadyExists) {
        break;
      }
    }
  }
  if (bCreated) {
    TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndCreateBatteryLogFolder - Directory '%s' was created.\n", sPath);
    return TRUE;
  }
  DWORD dwLastError = GetLastError();
  DRAV_ASSERT(dwLastError == ERROR_ALREADY_EXISTS);
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndCreateBatteryLogFolder - CreateDirectory '%s' Failed or Exists.\n", sPath);
  return FALSE;
}

BOOL WndGetBatteryLogFileName(const tBatteryLogDevice* pDevice, char* sPath, ULONG ulSize)
{
  TRACE_INFO("entry");
  if (pDevice == nullptr || pDevice->sName == nullptr || sPath == nullptr || ulSize == 0) {
    DRAV_ASSERT_TEXT(FALSE, "pDevice && pDevice->sName && sPath");
    if (sPath != nullptr && ulSize != 0) {
      sPath[0] = '\0';
    }
    TRACE_INFO("exit - bStatus:%d", FALSE);
    return FALSE;
  }
  BOOL bShellFailed = FALSE;
  BOOL bStatus = ComposeAppDataPath(sPath, ulSize, LD_BATTERY_SUBFOLDER, &bShellFailed);
  if (bShellFailed) {
    DRAV_ASSERT(bStatus);
  }

  char sFile[MAX_PATH];
  if (bStatus) {
    int cch = snprintf(sFile, sizeof sFile, "%08X-%s.log", (unsigned)pDevice->ulModel, pDevice->sName);
    // A name that would be cut loses its ".log" and names another file.
    bStatus = cch > 0 && (size_t)cch < sizeof sFile;
  }
  if (bStatus) {
    for (char* p = sFile; *p != '\0'; ++p) {
      if (strchr("\"*/:<>?\\|", *p) != nullptr) {
        *p = '#';
      }
    }
    bStatus = AppendPath(sPath, ulSize, sFile);
  }
  if (!bStatus) {
    sPath[0] = '\0';
  }
  TRACE_INFO("exit - bStatus:%d", bStatus);
  return bStatus;
}

HANDLE WndOpenBatteryLogFile(const tBatteryLogDevice* pDevice, SECURITY_ATTRIBUTES* pSa, BOOL* pbNewFile)
{
  if (pbNewFile != nullptr) {
    *pbNewFile = FALSE;
  }
  if (pDevice == nullptr) {
    DRAV_ASSERT(pDevice != nullptr);
    return INVALID_HANDLE_VALUE;
  }
  TRACE_CATEGORY(TRACE_CAT_SHUTDOWN, "WndOpenBatteryLogFile - Model:0x%08X - sName:'%s'.\n",
                 (unsigned)pDevice->ulModel, pDevice->sName != nullptr ? pDevice->sName : "(null)");
  char sPath[MAX_PATH];
  if (!WndGetBatteryLogFileName(pDevice, sPath, sizeof sPath)) {
    TRACE_CATEGORY(TRACE_CAT_SHUTDOWN, "WndOpenBatteryLogFile - hFile:%08X (GetLastError:%d).\n",
                   (unsigned)(ULONG_PTR)INVALID_HANDLE_VALUE, (int)GetLastError());
    return INVALID_HANDLE_VALUE;
  }
  TRACE_CATEGORY(TRACE_CAT_SHUTDOWN, "WndOpenBatteryLogFile - FilePath:'%s'.\n", sPath);

  HANDLE hFile = INVALID_HANDLE_VALUE;
  DWORD dwError = 0;
  if (pSa != nullptr) {
    // Opened once more right after the battery folder was created.
    do {
      hFile = CreateFileA(sPath, GENERIC_WRITE, FILE_SHARE_READ, pSa, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      dwError = GetLastError();
      if (pbNewFile != nullptr) {
        *pbNewFile = hFile != INVALID_HANDLE_VALUE && dwError != ERROR_ALREADY_EXISTS;
        TRACE_CATEGORY(TRACE_CAT_SHUTDOWN, "WndOpenBatteryLogFile - pbNewFile:%d.\n", *pbNewFile);
      }
    } while (hFile == INVALID_HANDLE_VALUE && WndCreateBatteryLogFolder(pSa));
  } else {
    // A reader must admit the writer that may hold the file, or reading while
    // a log is being written would never succeed.
    hFile = CreateFileA(sPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    dwError = GetLastError();
  }
  // The open's own error, not one left by the tracing in between.
  TRACE_CATEGORY(TRACE_CAT_SHUTDOWN, "WndOpenBatteryLogFile - hFile:%08X (GetLastError:%d).\n",
                 (unsigned)(ULONG_PTR)hFile, (int)dwError);
  SetLastError(dwError);
  return hFile;
}
