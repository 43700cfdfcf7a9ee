// VantBshw.exe: shows the trace lines that processes post to the shared ring.
//
//   VantBshw.exe MEM:<region> [-o FILE | -stdout] [-n COUNT] [-t MS] [-stay] [-lag MS]
//
// Lines go to a console of the viewer's own (it is started from processes whose
// console or pipes are not its to write to), to FILE with -o, or to the standard
// output handle it was given with -stdout. It leaves when bShutdown is set, after
// COUNT records (-n), after MS milliseconds (-t), or, unless -stay is given,
// once no process registered in the region runs any more. Without -stay it only
// opens a region that exists (started by a process that has gone meanwhile, it
// has nothing to show); with -stay it creates a missing one and waits for posters. -lag pauses after
// each line shown (a slow reader, so that posters have to drop).
//
// Exit codes: 0 done, 1 bad command line, 2 region missing or not a channel
// region, 3 the -t bound ran out, 4 another viewer runs.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag/BsRing.h"

namespace {

constexpr DWORD kWaitMs = 200;            // event wait, so bShutdown is seen
constexpr DWORD kPosterCheckMs = 500;     // how often registered processes are looked at
constexpr DWORD kStuckRecordMs = 1000;    // a record unreadable this long: its writer is gone or it is damage
constexpr uint32_t kSeqWindow = 8192;     // more than the ring can hold (102400 / 19)

struct ViewerOptions {
  const char* sRegion = nullptr;
  const char* sOutFile = nullptr;
  bool bStdout = false;
  bool bStay = false;
  unsigned long ulMaxRecords = 0;   // 0 = no bound
  DWORD dwMaxMs = 0;                // 0 = no bound
  DWORD dwLagMs = 0;
};

struct Viewer {
  BsSharedData* p = nullptr;
  HANDLE hOut = INVALID_HANDLE_VALUE;
  unsigned long ulShown = 0;
  unsigned long ulBad = 0;
  DWORD dwLagMs = 0;
  uint32_t ulDropSeen[3] = {};
  uint32_t ulStuckTail = 0xFFFFFFFF;
  DWORD dwStuckSince = 0;
  bool bAnySeen = false;
  uint32_t ulMaxSeq = 0;
  uint8_t ucSeen[kSeqWindow / 8] = {};
  bool bReportedPositions = false;
};

uint32_t Load(const uint32_t* p)
{
  return *reinterpret_cast<const volatile uint32_t*>(p);
}

uint32_t CompareExchange(uint32_t* p, uint32_t ulNew, uint32_t ulSeen)
{
  return (uint32_t)InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(p), (LONG)ulNew, (LONG)ulSeen);
}

void Store(uint32_t* p, uint32_t ulValue)
{
  InterlockedExchange(reinterpret_cast<volatile LONG*>(p), (LONG)ulValue);
}

void Emit(Viewer& v, const char* sFormat, ...) __attribute__((format(printf, 2, 3)));
void Emit(Viewer& v, const char* sFormat, ...)
{
  if (v.hOut == INVALID_HANDLE_VALUE || v.hOut == nullptr) {
    return;
  }
  char sText[512];
  va_list args;
  va_start(args, sFormat);
  int n = vsnprintf(sText, sizeof sText, sFormat, args);
  va_end(args);
  if (n < 0) {
    return;
  }
  DWORD cb = n < (int)sizeof sText ? (DWORD)n : (DWORD)sizeof sText - 1;
  DWORD dwWritten;
  WriteFile(v.hOut, sText, cb, &dwWritten, nullptr);
}

bool ParseOptions(int argc, char** argv, ViewerOptions* pOptions)
{
  for (int i = 1; i < argc; ++i) {
    const char* s = argv[i];
    if (strncmp(s, "MEM:", 4) == 0 && s[4] != '\0') {
      pOptions->sRegion = s + 4;
    } else if (strcmp(s, "-o") == 0 && i + 1 < argc) {
      pOptions->sOutFile = argv[++i];
    } else if (strcmp(s, "-stdout") == 0) {
      pOptions->bStdout = true;
    } else if (strcmp(s, "-stay") == 0) {
      pOptions->bStay = true;
    } else if (strcmp(s, "-n") == 0 && i + 1 < argc) {
      pOptions->ulMaxRecords = strtoul(argv[++i], nullptr, 10);
    } else if (strcmp(s, "-lag") == 0 && i + 1 < argc) {
      pOptions->dwLagMs = strtoul(argv[++i], nullptr, 10);
    } else if (strcmp(s, "-t") == 0 && i + 1 < argc) {
      pOptions->dwMaxMs = strtoul(argv[++i], nullptr, 10);
    } else {
      return false;
    }
  }
  return pOptions->sRegion != nullptr;
}

HANDLE OpenOutput(const ViewerOptions& options)
{
  if (options.sOutFile != nullptr) {
    return CreateFileA(options.sOutFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (options.bStdout) {
    return GetStdHandle(STD_OUTPUT_HANDLE);
  }
  FreeConsole();
  if (!AllocConsole()) {
    return INVALID_HANDLE_VALUE;   // nowhere to show: still drain, so the drop counts stay true
  }
  return GetStdHandle(STD_OUTPUT_HANDLE);
}

// Maps the region; creates it, if asked to, when the viewer is the first.
BsSharedData* OpenRegion(const char* sRegion, bool bCreate, HANDLE* phMapping)
{
  HANDLE hMapping = bCreate ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, BS_MAPPING_SIZE,
                                                 sRegion)
                            : OpenFileMappingA(FILE_MAP_WRITE, FALSE, sRegion);
  if (hMapping == nullptr) {
    return nullptr;
  }
  bool bCreated = bCreate && GetLastError() != ERROR_ALREADY_EXISTS;
  auto* p = static_cast<BsSharedData*>(MapViewOfFile(hMapping, FILE_MAP_WRITE, 0, 0, 0));
  if (p == nullptr) {
    CloseHandle(hMapping);
    return nullptr;
  }
  MEMORY_BASIC_INFORMATION mbi = {};
  if (VirtualQuery(p, &mbi, sizeof mbi) == 0 || mbi.RegionSize < sizeof(BsSharedData)) {
    UnmapViewOfFile(p);   // a foreign mapping smaller than the layout
    CloseHandle(hMapping);
    return nullptr;
  }
  if (bCreated) {
    memset(p, 0, BS_REGION_SIZE);
    MemoryBarrier();
    Store(&p->ulRegionSize, BS_REGION_SIZE);
  } else if (Load(&p->ulRegionSize) != BS_REGION_SIZE) {
    Sleep(100);   // its creator may be setting it up right now
    if (Load(&p->ulRegionSize) != BS_REGION_SIZE) {
      UnmapViewOfFile(p);
      CloseHandle(hMapping);
      return nullptr;
    }
  }
  *phMapping = hMapping;
  return p;
}

bool ProcessAlive(DWORD dwPid)
{
  HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwPid);
  if (h == nullptr) {
    return GetLastError() == ERROR_ACCESS_DENIED;   // exists, but not ours to open
  }
  bool bAlive = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  CloseHandle(h);
  return bAlive;
}

// Whether some process other than the viewer is registered and still runs.
bool PostersAlive(BsSharedData* p)
{
  DWORD dwSelf = GetCurrentProcessId();
  for (uint32_t i = 0; i < BS_PID_SLOTS; ++i) {
    DWORD dwPid = Load(&p->ulPid[i]);
    if (dwPid == 0 || dwPid == dwSelf) {
      continue;
    }
    if (ProcessAlive(dwPid)) {
      return true;
    }
  }
  return false;
}

void ReportDrops(Viewer& v)
{
  uint32_t ulNow[3] = {Load(&v.p->ulDroppedInfo), Load(&v.p->ulDroppedWarnings), Load(&v.p->ulDroppedErrors)};
  if (ulNow[0] != v.ulDropSeen[0] || ulNow[1] != v.ulDropSeen[1] || ulNow[2] != v.ulDropSeen[2]) {
    Emit(v, "*** dropped so far: %lu other, %lu warnings, %lu errors\r\n", (unsigned long)ulNow[0],
         (unsigned long)ulNow[1], (unsigned long)ulNow[2]);
    memcpy(v.ulDropSeen, ulNow, sizeof ulNow);
  }
}

// Head or tail outside the ring: nothing can be read or posted until they are
// put back. Head first (posters give up while it is bad), then the tail onto it.
void RepairPositions(Viewer& v, uint32_t ulHead, uint32_t ulTail)
{
  Emit(v, "*** ring positions corrupt (head %lu, tail %lu): ring emptied\r\n", (unsigned long)ulHead,
       (unsigned long)ulTail);
  if (ulHead >= BS_RING_SIZE) {
    CompareExchange(&v.p->ulHead, 0, ulHead);
  }
  uint32_t ulNewHead = Load(&v.p->ulHead);
  if (ulNewHead < BS_RING_SIZE) {
    CompareExchange(&v.p->ulTail, ulNewHead, ulTail);
  }
}

void SkipToHead(Viewer& v, uint32_t ulTail, uint32_t ulHead, const char* sWhy)
{
  if (CompareExchange(&v.p->ulTail, ulHead, ulTail) == ulTail) {
    ++v.ulBad;
    Emit(v, "*** %s at %lu: skipped to %lu\r\n", sWhy, (unsigned long)ulTail, (unsigned long)ulHead);
  }
}

// Sequence numbers come from one counter, so each is seen once. Old bytes
// under a record whose writer has reserved it but not yet cleared its length
// byte can look like a record: most often one shown a lap ago, which this
// catches.
bool SequenceIsFresh(const Viewer& v, uint32_t ulSequence)
{
  if (!v.bAnySeen) {
    return true;
  }
  int32_t lAhead = (int32_t)(ulSequence - v.ulMaxSeq);
  if (lAhead > 0) {
    return true;
  }
  if (lAhead <= -(int32_t)kSeqWindow) {
    return false;
  }
  return (v.ucSeen[(ulSequence % kSeqWindow) / 8] & (1u << (ulSequence % 8))) == 0;
}

void SequenceTaken(Viewer& v, uint32_t ulSequence)
{
  if (!v.bAnySeen || (int32_t)(ulSequence - v.ulMaxSeq) > 0) {
    uint32_t ulSteps = v.bAnySeen ? ulSequence - v.ulMaxSeq : kSeqWindow;
    if (ulSteps >= kSeqWindow) {
      memset(v.ucSeen, 0, sizeof v.ucSeen);
    } else {
      for (uint32_t x = v.ulMaxSeq + 1; x != ulSequence + 1; ++x) {
        v.ucSeen[(x % kSeqWindow) / 8] &= (uint8_t)~(1u << (x % 8));
      }
    }
    v.ulMaxSeq = ulSequence;
    v.bAnySeen = true;
  }
  v.ucSeen[(ulSequence % kSeqWindow) / 8] |= (uint8_t)(1u << (ulSequence % 8));
}

// Whether the record at the tail has been unusable for long enough to be given
// up; a writer normally publishes within microseconds.
bool StuckTooLong(Viewer& v, uint32_t ulTail)
{
  DWORD dwNow = GetTickCount();
  if (v.ulStuckTail != ulTail) {
    v.ulStuckTail = ulTail;
    v.dwStuckSince = dwNow;
    return false;
  }
  return dwNow - v.dwStuckSince >= kStuckRecordMs;
}

// Reads every published record from the tail on; stops at the head, at a
// record not (yet) readable, or after the record bound.
void Drain(Viewer& v, unsigned long ulMaxRecords)
{
  // Bounded: positions that keep changing under us are looked at again on
  // the next wake-up.
  for (int nRounds = 0; nRounds < 100000; ++nRounds) {
    if (ulMaxRecords != 0 && v.ulShown >= ulMaxRecords) {
      return;
    }
    uint32_t ulTail = Load(&v.p->ulTail);
    uint32_t ulHead = Load(&v.p->ulHead);
    if (ulHead >= BS_RING_SIZE || ulTail >= BS_RING_SIZE) {
      if (Load(&v.p->ulTail) == ulTail && Load(&v.p->ulHead) == ulHead) {
        RepairPositions(v, ulHead, ulTail);
        return;
      }
      continue;
    }
    if (ulHead == ulTail) {
      v.ulStuckTail = 0xFFFFFFFF;
      return;
    }
    BsRecord rec;
    BsRecordStatus status = BsRingReadRecord(v.p->ucRing, ulTail, BsRingUsed(ulHead, ulTail), &rec);
    if (status == BS_RECORD_OK && !SequenceIsFresh(v, rec.ulSequence)) {
      status = BS_RECORD_UNPUBLISHED;   // old bytes: its writer has not started yet
    }
    if (status == BS_RECORD_OK) {
      uint32_t ulNext = BsRingAdvance(ulTail, BsRingRecordSize(rec.ulLength));
      // Taking it by compare-exchange: a poster may have dropped it meanwhile,
      // and then what was copied may be torn.
      if (CompareExchange(&v.p->ulTail, ulNext, ulTail) != ulTail) {
        continue;
      }
      v.ulStuckTail = 0xFFFFFFFF;
      SequenceTaken(v, rec.ulSequence);
      size_t len = strlen(rec.sText);
      while (len > 0 && (rec.sText[len - 1] == '\n' || rec.sText[len - 1] == '\r')) {
        rec.sText[--len] = '\0';
      }
      Emit(v, "[%lu] #%lu %c %s\r\n", (unsigned long)rec.ulPid, (unsigned long)rec.ulSequence, rec.cType, rec.sText);
      ++v.ulShown;
      if (v.dwLagMs != 0) {
        Sleep(v.dwLagMs);
      }
      continue;
    }
    // Not readable: a writer between reserving and publishing looks just like
    // damage for a moment, so it is only given up once it stays so.
    if (Load(&v.p->ulTail) != ulTail || Load(&v.p->ulHead) != ulHead) {
      continue;
    }
    if (!StuckTooLong(v, ulTail)) {
      return;
    }
    v.ulStuckTail = 0xFFFFFFFF;
    if (status == BS_RECORD_BAD_CHECK) {
      uint32_t ulNext = BsRingAdvance(ulTail, BsRingRecordSize(rec.ulLength));
      if (CompareExchange(&v.p->ulTail, ulNext, ulTail) == ulTail) {
        ++v.ulBad;
        Emit(v, "*** record at %lu fails its check byte (%02x, stamp %02x): not shown\r\n", (unsigned long)ulTail,
             rec.ucCheck, (unsigned)(rec.ullStamp & 0xFF));
      }
    } else if (status == BS_RECORD_UNPUBLISHED) {
      SkipToHead(v, ulTail, ulHead, "record never published");
    } else {
      SkipToHead(v, ulTail, ulHead, "corrupt record");
    }
  }
}

// One viewer at a time; one that died without saying so is replaced.
bool ClaimViewer(BsSharedData* p)
{
  DWORD dwSelf = GetCurrentProcessId();
  if (CompareExchange(&p->bViewerRunning, 1, 0) != 0) {
    DWORD dwOther = Load(&p->ulViewerWord);
    if (dwOther != 0 && dwOther != dwSelf && ProcessAlive(dwOther)) {
      return false;
    }
    Store(&p->bViewerRunning, 1);
  }
  Store(&p->ulViewerWord, dwSelf);
  return true;
}

}  // namespace

int main(int argc, char** argv)
{
  ViewerOptions options;
  if (!ParseOptions(argc, argv, &options)) {
    fprintf(stderr, "usage: VantBshw.exe MEM:<region> [-o FILE | -stdout] [-n COUNT] [-t MS] [-stay] [-lag MS]\n");
    return 1;
  }
  HANDLE hMapping = nullptr;
  BsSharedData* p = OpenRegion(options.sRegion, options.bStay, &hMapping);
  if (p == nullptr) {
    fprintf(stderr, "VantBshw: %s is missing or is not a viewer channel region\n", options.sRegion);
    return 2;
  }
  if (!ClaimViewer(p)) {
    fprintf(stderr, "VantBshw: another viewer runs (process %lu)\n", (unsigned long)Load(&p->ulViewerWord));
    UnmapViewOfFile(p);
    CloseHandle(hMapping);
    return 4;
  }
  char sEventName[MAX_PATH];
  snprintf(sEventName, sizeof sEventName, "%s_EVENT", options.sRegion);
  HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, sEventName);

  Viewer v;
  v.p = p;
  v.hOut = OpenOutput(options);
  v.dwLagMs = options.dwLagMs;
  v.ulDropSeen[0] = Load(&p->ulDroppedInfo);
  v.ulDropSeen[1] = Load(&p->ulDroppedWarnings);
  v.ulDropSeen[2] = Load(&p->ulDroppedErrors);
  Emit(v, "*** VantBshw: showing %s\r\n", options.sRegion);

  int rc = 0;
  DWORD dwStart = GetTickCount();
  DWORD dwLastCheck = dwStart;
  int nDeadChecks = 0;
  for (;;) {
    if (Load(&p->bShutdown) != 0) {
      // Lines posted before the request are still shown.
      Drain(v, options.ulMaxRecords);
      ReportDrops(v);
      Emit(v, "*** shut down on request\r\n");
      break;
    }
    Drain(v, options.ulMaxRecords);
    ReportDrops(v);
    if (options.ulMaxRecords != 0 && v.ulShown >= options.ulMaxRecords) {
      break;
    }
    DWORD dwNow = GetTickCount();
    if (options.dwMaxMs != 0 && dwNow - dwStart >= options.dwMaxMs) {
      rc = 3;
      break;
    }
    if (!options.bStay && dwNow - dwLastCheck >= kPosterCheckMs) {
      dwLastCheck = dwNow;
      nDeadChecks = PostersAlive(p) ? 0 : nDeadChecks + 1;
      if (nDeadChecks >= 2) {
        Emit(v, "*** every posting process has ended\r\n");
        break;
      }
    }
    if (hEvent != nullptr) {
      WaitForSingleObject(hEvent, kWaitMs);
    } else {
      Sleep(kWaitMs);
    }
  }
  Emit(v, "*** %lu lines shown, %lu bad records\r\n", v.ulShown, v.ulBad);

  // Leaving: a later error line may start a viewer again.
  if (Load(&p->ulViewerWord) == GetCurrentProcessId()) {
    Store(&p->bViewerRunning, 0);
    Store(&p->bBsPresent, 0);
  }
  if (options.sOutFile != nullptr && v.hOut != INVALID_HANDLE_VALUE) {
    CloseHandle(v.hOut);
  }
  if (hEvent != nullptr) {
    CloseHandle(hEvent);
  }
  UnmapViewOfFile(p);
  CloseHandle(hMapping);
  return rc;
}
