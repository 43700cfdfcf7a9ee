// Second process for the multi-process tests. Modes:
//   drav_child log <count> <tag> [holdms]   writes <count> trace lines, then waits holdms
//   drav_child switches                      exit code: bit 1 info switch, bit 0 warning switch,
//                                            as they stand after the first passing line
//   drav_child bspost <count> <tag> [gate]   opens the viewer channel, waits for the named event
//                                            gate (if given), posts <count> lines to the ring;
//                                            exit 0, or 3 when the region could not be used
//   drav_child bsslot                        opens the channel; exit code: slot index of its
//                                            process id + 1 (0 = none), 0x100 if it warned about
//                                            clobbering the last slot, 0x200 without a region
//   drav_child bserror <gate>                waits for gate, writes its first error line;
//                                            exit 1 if this process launched the viewer, else 0
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>

#include "diag/BsRing.h"
#include "diag/BugShow.h"
#include "diag/Trace.h"
#include "diag/TraceInternal.h"

// Lines of the bspost mode: the padding varies so records straddle the ring's end.
static std::string ChildBsLine(const char* sTag, int i)
{
  char sHead[64];
  snprintf(sHead, sizeof sHead, "%s line %05d ", sTag, i);
  return std::string(sHead) + std::string((size_t)(i * 37 % 180), (char)('a' + i % 26)) + "\n";
}

// Opens the channel as the trace writer does, without posting the set-up's own lines.
static void ChildOpenChannel()
{
  TraceThreadSlot* pSlot = TraceFindThreadSlot(GetCurrentThreadId(), TRUE);
  pSlot->ulNesting++;
  BsInitializeClient();
  pSlot->ulNesting--;
}

static void ChildWaitGate(const char* sGate)
{
  HANDLE hGate = CreateEventA(nullptr, TRUE, FALSE, sGate);
  if (hGate != nullptr) {
    WaitForSingleObject(hGate, 30000);
    CloseHandle(hGate);
  }
}

struct ChildSeen {
  volatile LONG lLaunched;
  volatile LONG lClobbered;
};

static void ChildObserve(DWORD, const char* sLine, void* pContext)
{
  auto* pSeen = static_cast<ChildSeen*>(pContext);
  if (strstr(sLine, "Launching VantBshw.exe") != nullptr) {
    InterlockedExchange(&pSeen->lLaunched, 1);
  }
  if (strstr(sLine, "no empty slot for PID in shared memory, so clobbering last slot") != nullptr) {
    InterlockedExchange(&pSeen->lClobbered, 1);
  }
}

int main(int argc, char** argv)
{
  if (argc >= 4 && strcmp(argv[1], "log") == 0) {
    int count = atoi(argv[2]);
    TraceInit("CHILD");
    for (int i = 0; i < count; ++i) {
      TraceSetFunction("ChildWriter");
      TraceInfo("%s line %05d xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", argv[3], i);
    }
    if (argc >= 5) {
      Sleep(atoi(argv[4]));
    }
    return 0;
  }
  if (argc >= 2 && strcmp(argv[1], "switches") == 0) {
    TraceInit("CHILD");
    TraceSetFunction("ChildSwitches");
    TraceError("first line");
    return (g_bTraceInfo ? 2 : 0) | (g_bTraceWarnings ? 1 : 0);
  }
  if (argc >= 4 && strcmp(argv[1], "bspost") == 0) {
    int count = atoi(argv[2]);
    TraceInit("CHILD");
    ChildOpenChannel();
    if (g_pBsData == nullptr) {
      return 3;
    }
    if (argc >= 5) {
      ChildWaitGate(argv[4]);
    }
    for (int i = 0; i < count; ++i) {
      BsPostLine(i % 3 == 0 ? TRACE_CAT_WARNING : TRACE_CAT_INFO, ChildBsLine(argv[3], i).c_str());
    }
    return 0;
  }
  if (argc >= 2 && strcmp(argv[1], "bsslot") == 0) {
    TraceInit("CHILD");
    ChildSeen seen = {};
    TraceSetObserver(&ChildObserve, &seen);
    ChildOpenChannel();
    TraceSetObserver(nullptr, nullptr);
    auto* p = static_cast<BsSharedData*>(g_pBsData);
    if (p == nullptr) {
      return 0x200;
    }
    int rc = seen.lClobbered ? 0x100 : 0;
    for (uint32_t i = 0; i < BS_PID_SLOTS; ++i) {
      if (p->ulPid[i] == GetCurrentProcessId()) {
        rc |= (int)i + 1;
        break;
      }
    }
    return rc;
  }
  if (argc >= 3 && strcmp(argv[1], "bserror") == 0) {
    TraceInit("CHILD");
    ChildSeen seen = {};
    TraceSetObserver(&ChildObserve, &seen);
    ChildWaitGate(argv[2]);
    TraceSetFunction("ChildFirstError");
    TraceError("first error line of this process");
    TraceSetObserver(nullptr, nullptr);
    return seen.lLaunched ? 1 : 0;
  }
  fprintf(stderr, "usage: drav_child log <count> <tag> [holdms] | switches | bspost <count> <tag> [gate] | bsslot"
                  " | bserror <gate>\n");
  return 2;
}
