// Trace writer: level mask, per-thread function names, and the three sinks
// (debugger output, debug viewer channel, shared log file).
#include "diag/Trace.h"

#include <cstdio>
#include <cstring>

#include "diag/BugShow.h"
#include "diag/TraceFormat.h"
#include "diag/TraceInternal.h"

volatile BOOL g_bTraceInfo = TRUE;
volatile BOOL g_bTraceWarnings = TRUE;
DWORD g_dwDebugLevel = TRACE_DEFAULT_LEVEL;
DWORD g_dwDebugFlags = 1;
DWORD g_dwBsFlags = TRACE_DEFAULT_BSFLAGS;
char g_szDebugLogFile[MAX_PATH] = "trace.txt";
const char* g_sTraceModuleName = "MODULE";

TraceThreadSlot g_TraceSlots[TRACE_THREAD_SLOTS];
static volatile LONG s_lUseCounter = 0;
static DWORD s_dwModuleCategory = 0;
static TraceHostWords* volatile s_pHostWords = nullptr;   // in the host's region while bound

static PFN_TRACE_OBSERVER s_pfnObserver = nullptr;
static void* s_pObserverContext = nullptr;

static const char kRegPath[] = "SOFTWARE\\Vantorix\\DRAV";
static const char kLogMutexName[] = "DRAV_LogFileMutex";

// Log file state of this process.
static HANDLE s_hLogFile = INVALID_HANDLE_VALUE;
static HANDLE s_hLogMutex = nullptr;
static SRWLOCK s_LogOpenLock = SRWLOCK_INIT;   // one open per process

// Callers trace between a failing call and the line that prints its code:
// no trace operation may change the thread's last error.
struct TraceKeepLastError {
  DWORD dwError = GetLastError();
  ~TraceKeepLastError() { SetLastError(dwError); }
};

// ---- Configuration ------------------------------------------------------------

// A 4-byte value; a shorter one is taken zero-extended, a longer one not at all.
static void ReadDwordValue(HKEY hKey, const char* sName, DWORD* pValue)
{
  DWORD dwValue = 0, cb = sizeof dwValue;
  if (RegQueryValueExA(hKey, sName, nullptr, nullptr, reinterpret_cast<BYTE*>(&dwValue), &cb) == ERROR_SUCCESS) {
    *pValue = dwValue;
  }
}

void TraceReadRegistry()
{
  HKEY hKey;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
    return;
  }
  ReadDwordValue(hKey, "DebugLevel", &g_dwDebugLevel);
  ReadDwordValue(hKey, "DebugFlags", &g_dwDebugFlags);
  char sPath[MAX_PATH + 1] = {};
  DWORD cb = MAX_PATH;
  if (RegQueryValueExA(hKey, "DebugLogFile", nullptr, nullptr, reinterpret_cast<BYTE*>(sPath), &cb) == ERROR_SUCCESS &&
      cb > 0) {
    sPath[cb < MAX_PATH ? cb : MAX_PATH - 1] = '\0';   // a value need not carry its terminator
    if (sPath[0] != '\0') {
      strcpy(g_szDebugLogFile, sPath);
    }
  }
  RegCloseKey(hKey);
}

BOOL TraceInit(const char* sModuleName)
{
  TraceKeepLastError keep;
  g_sTraceModuleName = sModuleName;
  g_dwDebugLevel = TRACE_DEFAULT_LEVEL;
  g_dwDebugFlags = 1;
  strcpy(g_szDebugLogFile, "trace.txt");
  TraceReadRegistry();
  return TRUE;
}

BOOL TraceStart(const char* sModuleName, DWORD dwModuleCategory)
{
  g_sTraceModuleName = sModuleName;
  s_dwModuleCategory = dwModuleCategory;
  TraceInit(sModuleName);
  TraceHostWords* pHost = s_pHostWords;
  if (pHost != nullptr) {
    pHost->dwDebugLevel = g_dwDebugLevel;
    pHost->dwModuleCategory = dwModuleCategory;
  }
  return TRUE;
}

BOOL TraceStop()
{
  TraceKeepLastError keep;
  BsCloseEvent();
  return TRUE;
}

void TraceRelease()
{
  TraceResetLogFile();
  BsReleaseRegion();
}

void TraceAttachMainShare(tMainShare* pMainShare)
{
  s_pHostWords = reinterpret_cast<TraceHostWords*>(pMainShare);
}

void TraceDetachMainShare()
{
  s_pHostWords = nullptr;
}

DWORD TraceCurrentLevel()
{
  TraceHostWords* pHost = s_pHostWords;
  return pHost != nullptr ? pHost->dwDebugLevel : g_dwDebugLevel;
}

void TraceDeriveSwitches()
{
  g_bTraceWarnings = (g_dwBsFlags & 0x222) != 0;
  g_bTraceInfo = (g_dwBsFlags & 0x444) != 0;
}

DWORD TraceSetOutputFlags(DWORD dwValue, DWORD dwMask)
{
  DWORD dwOld = g_dwBsFlags;
  g_dwBsFlags = (dwOld & ~dwMask) | (dwValue & dwMask);
  return dwOld;
}

void TraceClearOutputFlags()
{
  g_dwBsFlags = 0;
}

void TraceSetObserver(PFN_TRACE_OBSERVER pfn, void* pContext)
{
  s_pObserverContext = pContext;
  s_pfnObserver = pfn;
}

// ---- Thread slots -------------------------------------------------------------

TraceThreadSlot* TraceFindThreadSlot(DWORD dwThreadId, BOOL bCreate)
{
  LONG lNow = InterlockedIncrement(&s_lUseCounter);   // racy on purpose: it only steers the victim choice
  for (TraceThreadSlot& slot : g_TraceSlots) {
    if ((DWORD)slot.ulThreadId == dwThreadId) {
      slot.lStamp = lNow;
      return &slot;
    }
  }
  if (!bCreate) {
    return nullptr;
  }
  for (;;) {
    TraceThreadSlot* pVictim = &g_TraceSlots[0];
    for (TraceThreadSlot& slot : g_TraceSlots) {
      if (slot.lStamp < pVictim->lStamp) {
        pVictim = &slot;
      }
    }
    LONG lSeen = pVictim->ulThreadId;
    if (InterlockedCompareExchange(&pVictim->ulThreadId, (LONG)dwThreadId, lSeen) == lSeen) {
      pVictim->lStamp = lNow;
      pVictim->sFunction = nullptr;
      pVictim->ulNesting = 0;
      return pVictim;
    }
  }
}

BOOL TraceSetFunction(const char* sFunction)
{
  TraceThreadSlot* pSlot = TraceFindThreadSlot(GetCurrentThreadId(), TRUE);
  if (pSlot != nullptr) {
    pSlot->sFunction = sFunction;
  }
  return TRUE;
}

// ---- Log file -----------------------------------------------------------------

static void LogFileOpen(const SYSTEMTIME& st)
{
  HANDLE hMutex = CreateMutexA(nullptr, TRUE, kLogMutexName);
  BOOL bFirstUser = hMutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
  BOOL bOwned = bFirstUser;
  DWORD dwDisposition = OPEN_ALWAYS;
  if (bFirstUser && !(g_dwDebugFlags & TRACE_FLAG_APPEND)) {
    dwDisposition = CREATE_ALWAYS;
    if (g_dwDebugFlags & TRACE_FLAG_KEEP_OLD) {
      char sOld[MAX_PATH + 32];
      snprintf(sOld, sizeof sOld, "%s-%02d-%02d-%04d-%02d-%02d-%02d.txt", g_szDebugLogFile, st.wMonth, st.wDay,
               st.wYear, st.wHour, st.wMinute, st.wSecond);
      MoveFileExA(g_szDebugLogFile, sOld, MOVEFILE_REPLACE_EXISTING);
    }
  }
  // Read and write only: a handle with delete access would refuse every reader
  // that does not share delete itself, for as long as the process lives.
  HANDLE hFile = CreateFileA(g_szDebugLogFile, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, dwDisposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile != INVALID_HANDLE_VALUE) {
    if (dwDisposition == CREATE_ALWAYS) {
      char sHeader[256];
      int n = snprintf(sHeader, sizeof sHeader,
                       "\r\nLogFile started on %02d/%02d/%04d at %02d:%02d:%02d - g_dwDebugFlags:0x%X - g_dwDebugLevel:%X\r\n\r\n",
                       st.wMonth, st.wDay, st.wYear, st.wHour, st.wMinute, st.wSecond, (unsigned)g_dwDebugFlags,
                       (unsigned)TraceCurrentLevel());
      DWORD dwWritten;
      WriteFile(hFile, sHeader, (DWORD)n, &dwWritten, nullptr);
    } else {
      SetFilePointer(hFile, 0, nullptr, FILE_END);
    }
  }
  if (bOwned) {
    ReleaseMutex(hMutex);
  }
  if (s_hLogMutex == nullptr) {
    s_hLogMutex = hMutex;
  } else if (hMutex != nullptr) {
    CloseHandle(hMutex);
  }
  s_hLogFile = hFile;
}

static void LogFileWrite(const char* sLine)
{
  SYSTEMTIME st;
  GetLocalTime(&st);
  if (s_hLogFile == INVALID_HANDLE_VALUE) {
    AcquireSRWLockExclusive(&s_LogOpenLock);
    if (s_hLogFile == INVALID_HANDLE_VALUE) {
      LogFileOpen(st);
    }
    ReleaseSRWLockExclusive(&s_LogOpenLock);
    if (s_hLogFile == INVALID_HANDLE_VALUE) {
      return;   // tried again with the next line
    }
  }
  char sText[TRACE_FILE_LINE_SIZE];
  size_t len = TraceFormatFileLine(sText, sizeof sText, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds,
                                   GetCurrentProcessId(), sLine);
  HANDLE hMutex = s_hLogMutex;
  BOOL bHeld = FALSE;
  if (hMutex != nullptr) {
    DWORD dw = WaitForSingleObject(hMutex, 1000);
    bHeld = dw == WAIT_OBJECT_0 || dw == WAIT_ABANDONED;
    if (!bHeld) {
      s_hLogMutex = nullptr;   // written without it from now on
    }
  }
  // Every process has its own file pointer: append at the current end, or
  // lines of other processes would be overwritten.
  SetFilePointer(s_hLogFile, 0, nullptr, FILE_END);
  DWORD dwWritten;
  WriteFile(s_hLogFile, sText, (DWORD)len, &dwWritten, nullptr);
  if (bHeld) {
    ReleaseMutex(hMutex);
  }
}

void TraceResetLogFile()
{
  AcquireSRWLockExclusive(&s_LogOpenLock);
  if (s_hLogFile != INVALID_HANDLE_VALUE) {
    CloseHandle(s_hLogFile);
    s_hLogFile = INVALID_HANDLE_VALUE;
  }
  if (s_hLogMutex != nullptr) {
    CloseHandle(s_hLogMutex);
    s_hLogMutex = nullptr;
  }
  ReleaseSRWLockExclusive(&s_LogOpenLock);
}

// ---- Writing a line -----------------------------------------------------------

static bool IsErrorLine(DWORD dwCategory) { return dwCategory == TRACE_CAT_ERROR; }
static bool IsWarningLine(DWORD dwCategory) { return dwCategory == TRACE_CAT_WARNING; }

static void TraceWrite(DWORD dwCategory, const char* sFormat, va_list args)
{
  if ((dwCategory & g_dwDebugLevel) == 0) {
    return;
  }
  TraceKeepLastError keep;
  DWORD dwThreadId = GetCurrentThreadId();
  TraceThreadSlot* pSlot = TraceFindThreadSlot(dwThreadId, TRUE);
  char sLine[TRACE_LINE_SIZE];
  TraceFormatLine(sLine, g_sTraceModuleName, dwThreadId, dwCategory, pSlot ? pSlot->sFunction : nullptr, sFormat,
                  args);

  bool bError = IsErrorLine(dwCategory);
  bool bWarning = IsWarningLine(dwCategory);
  bool bOther = !bError && !bWarning;
  DWORD dwFlags = g_dwBsFlags;
  if (((dwFlags & 0x001) && bError) || ((dwFlags & 0x002) && bWarning) || ((dwFlags & 0x004) && bOther)) {
    OutputDebugStringA(sLine);
  }

  if (pSlot != nullptr && pSlot->ulNesting == 0) {
    pSlot->ulNesting++;
    BsInitializeClient();
    if (g_pBsData != nullptr) {
      dwFlags = g_dwBsFlags;
      if (((dwFlags & 0x010) && bError) || ((dwFlags & 0x020) && bWarning)) {
        BsInitializeServer();
      }
      if (((dwFlags & 0x100) && bError) || ((dwFlags & 0x200) && bWarning) || ((dwFlags & 0x400) && bOther)) {
        BsPostLine(dwCategory, sLine);
      }
    }
    pSlot->ulNesting--;
  }

  if (g_dwDebugFlags & TRACE_FLAG_LOGFILE) {
    LogFileWrite(sLine);
  }
  PFN_TRACE_OBSERVER pfn = s_pfnObserver;
  if (pfn != nullptr) {
    pfn(dwCategory, sLine, s_pObserverContext);
  }
}

BOOL TraceCategory(DWORD dwCategory, const char* sFormat, ...)
{
  va_list args;
  va_start(args, sFormat);
  TraceWrite(dwCategory, sFormat, args);
  va_end(args);
  return TRUE;
}

BOOL TraceInfo(const char* sFormat, ...)
{
  va_list args;
  va_start(args, sFormat);
  TraceWrite(TRACE_CAT_INFO, sFormat, args);
  va_end(args);
  return TRUE;
}

BOOL TraceWarning(const char* sFormat, ...)
{
  va_list args;
  va_start(args, sFormat);
  TraceWrite(TRACE_CAT_WARNING, sFormat, args);
  va_end(args);
  return TRUE;
}

BOOL TraceError(const char* sFormat, ...)
{
  va_list args;
  va_start(args, sFormat);
  TraceWrite(TRACE_CAT_ERROR, sFormat, args);
  va_end(args);
  return TRUE;
}

BOOL TraceDump(const char* sLabel, const void* pData, ULONG ulSize)
{
  if (ulSize == 0) {
    TraceInfo("%s data size 0\n", sLabel);
    return TRUE;
  }
  const BYTE* p = static_cast<const BYTE*>(pData);
  ULONG ulDone = 0;
  while (ulDone < ulSize) {
    ULONG ulChunk = ulSize - ulDone < 20 ? ulSize - ulDone : 20;
    char sHex[20 * 3 + 1];
    TraceFormatHexChunk(sHex, sizeof sHex, p + ulDone, ulChunk);
    ulDone += ulChunk;
    if (ulDone > 20) {
      TraceInfo("%s data (cont)      %s\n", sLabel, sHex);
    } else {
      TraceInfo("%s data size %3lu is %s\n", sLabel, (unsigned long)ulSize, sHex);
    }
  }
  return TRUE;
}

const char* DeviceTraceName(const void* pDevice)
{
  return pDevice == nullptr ? "pDevice is NULL" : static_cast<const char*>(pDevice) + TRACE_DEVICE_NAME_OFFSET;
}
