// Debug viewer channel: every process that traces posts its lines into one
// named shared ring without taking a lock; the viewer program drains it.
#include "diag/BugShow.h"

#include <aclapi.h>

#include <cstdio>
#include <cstring>

#include "diag/BsRing.h"
#include "diag/Trace.h"

volatile HANDLE g_hBsEvent = nullptr;
void* volatile g_pBsData = nullptr;

static volatile LONG s_lBsFlagsRead = 0;
static volatile LONG s_lBsOpening = 0;        // one thread sets the channel up at a time
static volatile LONG s_lBsEventUsers = 0;     // posters signalling the event right now
static HANDLE s_hBsMapping = nullptr;
static void* s_pBsSpareView = nullptr;        // mapped but withdrawn: kept for the next open
static volatile LONG s_lBsCorruptReported = 0;
static PFN_BS_TEST_HOOK s_pfnTestHook = nullptr;
static void* s_pTestHookContext = nullptr;

// Bound of the wait for posters still signalling the event when it is closed.
constexpr DWORD BS_CLOSE_WAIT_MS = 1000;

static BsSharedData* BsView()
{
  return static_cast<BsSharedData*>(g_pBsData);
}

static inline uint32_t BsLoad(const uint32_t* p)
{
  return *reinterpret_cast<const volatile uint32_t*>(p);
}

static inline uint32_t BsCompareExchange(uint32_t* p, uint32_t ulNew, uint32_t ulSeen)
{
  return (uint32_t)InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(p), (LONG)ulNew, (LONG)ulSeen);
}

static void BsReadOutputFlags()
{
  HKEY hKey;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Vantorix", 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
    DWORD dwType = 0, dwValue = 0, cb = sizeof dwValue;
    if (RegQueryValueExA(hKey, "BsDrav", nullptr, &dwType, reinterpret_cast<BYTE*>(&dwValue), &cb) == ERROR_SUCCESS &&
        dwType == REG_DWORD && cb == sizeof dwValue) {
      g_dwBsFlags = dwValue;
    }
    RegCloseKey(hKey);
  }
  TraceDeriveSwitches();
}

// ---- Setting up -----------------------------------------------------------------

BOOL BsCreateEvent(const char* sRegionName)
{
  char sName[MAX_PATH];
  snprintf(sName, sizeof sName, "%s%s", sRegionName, BS_EVENT_SUFFIX);
  HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, sName);
  if (hEvent == nullptr) {
    TRACE_ERROR("could not create BugShow event %s", sName);   // tried again with the next line
    return FALSE;
  }
  if (InterlockedCompareExchangePointer(const_cast<PVOID*>(&g_hBsEvent), hEvent, nullptr) != nullptr) {
    CloseHandle(hEvent);   // another thread was quicker
  }
  return TRUE;
}

// A descriptor that lets every account of the machine use the region.
static BOOL BsBuildEveryoneDescriptor(SECURITY_DESCRIPTOR* pSd, PSID* ppSid, PACL* ppAcl)
{
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, ppSid)) {
    return FALSE;
  }
  EXPLICIT_ACCESSA ea = {};
  ea.grfAccessPermissions = 0x1FFFFF;
  ea.grfAccessMode = SET_ACCESS;
  ea.grfInheritance = NO_INHERITANCE;
  ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  ea.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  ea.Trustee.ptstrName = static_cast<LPSTR>(*ppSid);
  if (SetEntriesInAclA(1, &ea, nullptr, ppAcl) != ERROR_SUCCESS) {
    return FALSE;
  }
  return InitializeSecurityDescriptor(pSd, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(pSd, TRUE, *ppAcl, FALSE);
}

BOOL BsOpenSharedMemory(const char* sRegionName)
{
  if (g_pBsData != nullptr) {
    return TRUE;
  }
  if (s_pBsSpareView != nullptr) {
    // Withdrawn earlier while the event went away; the mapping is the same one.
    g_pBsData = s_pBsSpareView;
    s_pBsSpareView = nullptr;
    return TRUE;
  }
  SECURITY_DESCRIPTOR sd;
  PSID pSid = nullptr;
  PACL pAcl = nullptr;
  SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
  BOOL bSecured = BsBuildEveryoneDescriptor(&sd, &pSid, &pAcl);
  HANDLE hMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, bSecured ? &sa : nullptr, PAGE_READWRITE, 0,
                                       BS_MAPPING_SIZE, sRegionName);
  BOOL bCreated = hMapping != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
  if (pAcl != nullptr) {
    LocalFree(pAcl);
  }
  if (pSid != nullptr) {
    FreeSid(pSid);
  }
  if (hMapping == nullptr) {
    return FALSE;
  }
  auto* p = static_cast<BsSharedData*>(MapViewOfFile(hMapping, FILE_MAP_WRITE, 0, 0, 0));
  if (p == nullptr) {
    CloseHandle(hMapping);
    return FALSE;
  }
  if (bCreated) {
    memset(p, 0, BS_REGION_SIZE);
    MemoryBarrier();
    p->ulRegionSize = BS_REGION_SIZE;   // last: openers take the region only once it is set
  } else if (BsLoad(&p->ulRegionSize) != BS_REGION_SIZE) {
    UnmapViewOfFile(p);
    CloseHandle(hMapping);
    return FALSE;
  }
  if (s_hBsMapping != nullptr) {
    CloseHandle(s_hBsMapping);
  }
  s_hBsMapping = hMapping;
  g_pBsData = p;
  return TRUE;
}

BOOL BsClientSavePid()
{
  BsSharedData* p = BsView();
  if (p == nullptr) {
    return TRUE;
  }
  uint32_t ulPid = GetCurrentProcessId();
  for (uint32_t i = 0; i < BS_PID_SLOTS; ++i) {
    if (BsLoad(&p->ulPid[i]) == ulPid) {
      return TRUE;
    }
  }
  for (uint32_t i = 0; i < BS_PID_SLOTS; ++i) {
    uint32_t ulSeen = BsCompareExchange(&p->ulPid[i], ulPid, 0);
    if (ulSeen == 0 || ulSeen == ulPid) {
      return TRUE;
    }
  }
  TRACE_WARNING("no empty slot for PID in shared memory, so clobbering last slot");
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&p->ulPid[BS_PID_SLOTS - 1]), (LONG)ulPid);
  return TRUE;
}

void BsInitializeClient()
{
  if (InterlockedCompareExchange(&s_lBsFlagsRead, 1, 0) == 0) {
    BsReadOutputFlags();
  }
  if (g_hBsEvent != nullptr && g_pBsData != nullptr) {
    return;
  }
  // Two threads at their first line, or a trace line of the set-up itself:
  // one goes on, the other leaves the channel for its next line.
  if (InterlockedCompareExchange(&s_lBsOpening, 1, 0) != 0) {
    return;
  }
  if (g_hBsEvent == nullptr) {
    BsCreateEvent(BS_REGION_NAME);
  }
  if (g_hBsEvent != nullptr && g_pBsData == nullptr) {
    TRACE_INFO("BsEvent is 0x%x and Bsdata is 0x%x", (unsigned)(ULONG_PTR)g_hBsEvent, (unsigned)(ULONG_PTR)g_pBsData);
    if (!BsOpenSharedMemory(BS_REGION_NAME)) {
      TRACE_ERROR("failed to open shared memory");   // tried again with the next line
    } else if (g_hBsEvent == nullptr) {
      TRACE_INFO("Failed to save PID in shared memory");
      s_pBsSpareView = g_pBsData;   // a poster may still hold it: withdrawn, not unmapped
      g_pBsData = nullptr;
    } else {
      BsClientSavePid();
      TRACE_INFO("Setting BsPresent to TRUE");
    }
  }
  InterlockedExchange(&s_lBsOpening, 0);
}

// ---- The viewer -----------------------------------------------------------------

static void BsViewerPath(char* sPath, size_t cbPath)
{
  sPath[0] = '\0';
  HKEY hKey;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vantorix\\DRAV", 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
    char sFolder[MAX_PATH + 1] = {};
    DWORD dwType = 0, cb = MAX_PATH;
    if (RegQueryValueExA(hKey, "Path", nullptr, &dwType, reinterpret_cast<BYTE*>(sFolder), &cb) == ERROR_SUCCESS &&
        (dwType == REG_SZ || dwType == REG_EXPAND_SZ) && cb > 0) {
      sFolder[cb < MAX_PATH ? cb : MAX_PATH] = '\0';   // a value need not carry its terminator
      size_t len = strlen(sFolder);
      if (len > 0) {
        bool bSlash = sFolder[len - 1] == '\\' || sFolder[len - 1] == '/';
        snprintf(sPath, cbPath, "%s%s%s", sFolder, bSlash ? "" : "\\", BS_VIEWER_NAME);
      }
    }
    RegCloseKey(hKey);
  }
  if (sPath[0] != '\0') {
    return;
  }
  // The folder of the module that holds this code (the plug-in DLL or a program linking it).
  HMODULE hModule = nullptr;
  char sModule[MAX_PATH] = {};
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&BsViewerPath), &hModule)) {
    DWORD n = GetModuleFileNameA(hModule, sModule, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
      sModule[0] = '\0';
    }
  }
  char* pSlash = strrchr(sModule, '\\');
  if (pSlash != nullptr) {
    pSlash[1] = '\0';
  } else {
    sModule[0] = '\0';
  }
  snprintf(sPath, cbPath, "%s%s", sModule, BS_VIEWER_NAME);
}

BOOL BsLaunchViewer(const char* sRegionName)
{
  char sPath[2 * MAX_PATH];
  BsViewerPath(sPath, sizeof sPath);
  char sCommandLine[MAX_PATH + 32];
  snprintf(sCommandLine, sizeof sCommandLine, "%s MEM:%s", BS_VIEWER_NAME, sRegionName);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  GetStartupInfoA(&si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(sPath, sCommandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    TRACE_WARNING("could not start %s, error %lu", sPath, GetLastError());
    return FALSE;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return TRUE;
}

void BsInitializeServer()
{
  BsSharedData* p = BsView();
  if (p == nullptr) {
    return;
  }
  if (BsLoad(&p->bViewerRunning) == 0 && BsCompareExchange(&p->bBsPresent, 1, 0) == 0) {
    TRACE_INFO("Launching VantBshw.exe");
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&p->bShutdown), 0);
    if (!BsLaunchViewer(BS_REGION_NAME)) {
      TRACE_INFO("Setting BsPresent to FALSE");
      InterlockedExchange(reinterpret_cast<volatile LONG*>(&p->bBsPresent), 0);
    }
  }
}

// ---- Posting --------------------------------------------------------------------

void BsSetTestHook(PFN_BS_TEST_HOOK pfn, void* pContext)
{
  s_pTestHookContext = pContext;
  s_pfnTestHook = pfn;
}

static inline void BsTestPoint(BsTestPointId point)
{
  PFN_BS_TEST_HOOK pfn = s_pfnTestHook;
  if (pfn != nullptr) {
    pfn(point, s_pTestHookContext);
  }
}

static void BsSignalEvent()
{
  InterlockedIncrement(&s_lBsEventUsers);
  HANDLE hEvent = g_hBsEvent;
  if (hEvent != nullptr) {
    BsTestPoint(BS_POINT_SIGNAL);
    SetEvent(hEvent);
  }
  InterlockedDecrement(&s_lBsEventUsers);
}

// Gives up the line in a region whose ring positions cannot be sound.
static void BsReportCorruption(uint32_t ulHead, uint32_t ulTail)
{
  if (InterlockedExchange(&s_lBsCorruptReported, 1) == 0) {
    TRACE_ERROR("ring of %s is corrupt (head %lu, tail %lu): line not posted", BS_REGION_NAME, (unsigned long)ulHead,
                (unsigned long)ulTail);
  }
}

void BsPostLine(DWORD dwCategory, const char* sLine)
{
  BsSharedData* p = BsView();
  if (p == nullptr || sLine == nullptr || BsLoad(&p->ulRegionSize) != BS_REGION_SIZE) {
    return;
  }
  uint32_t ulText = BsRingTextLength(strnlen(sLine, BS_MAX_TEXT));
  uint32_t ulNeeded = BsRingRecordSize(ulText);
  // The viewer is starting: give it a moment.
  if (BsLoad(&p->bBsPresent) != 0 && BsLoad(&p->bViewerRunning) == 0) {
    Sleep(10);
  }

  uint32_t ulHead = 0;
  ULONG ulAttempts = 0;
  for (;;) {
    if (BsLoad(&p->bDisabled) != 0) {
      return;
    }
    if (ulAttempts++ > 10) {
      Sleep(0);
      if (ulAttempts++ > 100) {
        InterlockedExchange(reinterpret_cast<volatile LONG*>(&p->bDisabled), 1);   // this attempt still goes on
      }
    }
    ulHead = BsLoad(&p->ulHead);
    BsTestPoint(BS_POINT_HEAD_READ);
    uint32_t ulTail = BsLoad(&p->ulTail);
    // Both must be of one moment: between the two reads other posters and the
    // viewer can move both, and a tail taken with a stale head would be walked
    // over stale bytes, past the live head.
    if (BsLoad(&p->ulHead) != ulHead) {
      continue;
    }
    int32_t lFree = 0;
    if (!BsRingFreeSpace(ulHead, ulTail, &lFree)) {
      // Torn by a concurrent poster, or really out of shape.
      if (BsLoad(&p->ulHead) == ulHead && BsLoad(&p->ulTail) == ulTail) {
        BsReportCorruption(ulHead, ulTail);
        return;
      }
      continue;
    }

    // Full: drop the oldest records until the new one fits.
    uint32_t ulNewTail = ulTail;
    uint32_t ulDropped[3] = {};   // other, warnings, errors
    bool bRetry = false, bCorrupt = false;
    while (lFree <= (int32_t)ulNeeded) {
      uint32_t ulSize = 0;
      char cType = 0;
      BsRecordStatus status = BsRingPeekRecord(p->ucRing, ulNewTail, BsRingUsed(ulHead, ulNewTail), &ulSize, &cType);
      if (status == BS_RECORD_OK) {
        ulDropped[cType == BS_TYPE_ERROR ? 2 : cType == BS_TYPE_WARNING ? 1 : 0]++;
        ulNewTail = BsRingAdvance(ulNewTail, ulSize);
        lFree += (int32_t)ulSize;
        continue;
      }
      bool bMoved = BsLoad(&p->ulHead) != ulHead || BsLoad(&p->ulTail) != ulTail;
      if (status == BS_RECORD_UNPUBLISHED || status == BS_RECORD_BAD_TYPE) {
        // Its writer may still be at it. If not, the attempt bound below
        // switches posting off.
        Sleep(30);
        bRetry = true;
      } else if (bMoved) {
        bRetry = true;   // what we read was already given up by someone else
      } else {
        bCorrupt = true;
      }
      break;
    }
    if (bCorrupt) {
      BsReportCorruption(ulHead, ulTail);
      return;
    }
    if (bRetry) {
      continue;
    }
    if (ulNewTail != ulTail) {
      if (BsCompareExchange(&p->ulTail, ulNewTail, ulTail) != ulTail) {
        continue;
      }
      InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&p->ulDroppedInfo), (LONG)ulDropped[0]);
      InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&p->ulDroppedWarnings), (LONG)ulDropped[1]);
      InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&p->ulDroppedErrors), (LONG)ulDropped[2]);
    }
    if (BsCompareExchange(&p->ulHead, BsRingAdvance(ulHead, ulNeeded), ulHead) == ulHead) {
      break;
    }
  }

  BsRingBeginRecord(p->ucRing, ulHead);
  uint32_t ulSequence = (uint32_t)InterlockedIncrement(reinterpret_cast<volatile LONG*>(&p->ulSequence));
  LARGE_INTEGER stamp;
  QueryPerformanceCounter(&stamp);
  BsRingFinishRecord(p->ucRing, ulHead, BsRingRecordType(dwCategory), GetCurrentProcessId(), ulSequence,
                     (uint64_t)stamp.QuadPart, sLine, ulText);
  InterlockedExchange(&s_lBsCorruptReported, 0);
  BsSignalEvent();
}

// ---- Shutting down --------------------------------------------------------------

void BsCloseEvent()
{
  HANDLE hEvent = InterlockedExchangePointer(const_cast<PVOID*>(&g_hBsEvent), nullptr);
  if (hEvent == nullptr) {
    return;
  }
  // A poster inside SetEvent on it leaves within microseconds; one killed there
  // (other threads end abruptly at process exit) never does. Past the bound the
  // handle is left open: closing it under a live caller could let SetEvent hit
  // a recycled handle value.
  DWORD dwStart = GetTickCount();
  while (s_lBsEventUsers != 0) {
    if (GetTickCount() - dwStart >= BS_CLOSE_WAIT_MS) {
      return;
    }
    Sleep(1);
  }
  CloseHandle(hEvent);
}

void BsReleaseRegion()
{
  void* pView = InterlockedExchangePointer(const_cast<PVOID*>(&g_pBsData), nullptr);
  if (pView != nullptr) {
    UnmapViewOfFile(pView);
  }
  if (s_pBsSpareView != nullptr) {
    UnmapViewOfFile(s_pBsSpareView);
    s_pBsSpareView = nullptr;
  }
  if (s_hBsMapping != nullptr) {
    CloseHandle(s_hBsMapping);
    s_hBsMapping = nullptr;
  }
}

BOOL BsShutdownServer()
{
  BsSharedData* p = BsView();
  if (p == nullptr) {
    return FALSE;
  }
  TRACE_INFO("About to shut down the server.");
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&p->bShutdown), 1);
  HANDLE hEvent = g_hBsEvent;
  if (hEvent != nullptr) {
    SetEvent(hEvent);
    BsCloseEvent();
  }
  return TRUE;
}

BOOL BsGetStatistics(DWORD* pbDisabled, DWORD* pulViewerWord, DWORD* pulDropped)
{
  BsSharedData* p = BsView();
  if (p == nullptr) {
    return FALSE;
  }
  if (pbDisabled != nullptr) {
    *pbDisabled = BsLoad(&p->bDisabled);
  }
  if (pulViewerWord != nullptr) {
    *pulViewerWord = BsLoad(&p->ulViewerWord);
  }
  if (pulDropped != nullptr) {
    *pulDropped = BsLoad(&p->ulDroppedErrors) + BsLoad(&p->ulDroppedWarnings);
  }
  return TRUE;
}
