// Second process for the multi-process tests. At a <gate> the child releases
// the semaphore "<gate>_ready" once and waits for the event "<gate>"; "-" is no gate.
//   log <count> <tag> <gate>         at <gate>, then writes <count> trace lines
//   error <count> <gate>             at <gate>, writes <count> error lines; exit: bit 0 the warning switch,
//                                    bit 1 the info switch, bit 2 it launched the viewer, bit 3 it clobbered
//                                    the last process slot, bits 4+ how many lines failed to open the region
//   bspost <count> <tag> [gate [yield]]  opens the viewer channel, at <gate>, posts <count> lines
//                                    (with yield: yielding between its reads of head and tail); exit 0
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>

#include "diag/BsRing.h"
#include "diag/Trace.h"
#include "tests/unit/DiagTestSupport.h"

static void ChildAtGate(const std::string& sGate)
{
  if (sGate == "-") {
    return;
  }
  HANDLE hReady = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, (sGate + "_ready").c_str());
  HANDLE hGo = OpenEventA(SYNCHRONIZE, FALSE, sGate.c_str());
  ReleaseSemaphore(hReady, 1, nullptr);   // no such gate: these fail on the null handles and it goes on
  WaitForSingleObject(hGo, 30000);
  CloseHandle(hReady);
  CloseHandle(hGo);
}

static void ChildCount(DWORD, const char* sLine, void* pContext)
{
  auto* pCounts = static_cast<volatile LONG*>(pContext);
  const char* texts[3] = {"Launching VantBshw.exe", "no empty slot for PID in shared memory, so clobbering last slot",
                          "failed to open shared memory"};
  for (int i = 0; i < 3; ++i) {
    InterlockedExchangeAdd(&pCounts[i], strstr(sLine, texts[i]) != nullptr ? 1 : 0);
  }
}

int main(int argc, char** argv)
{
  std::string sMode = argc >= 2 ? argv[1] : "";
  volatile LONG counts[3] = {};   // viewer launched, slot clobbered, region failed to open
  TraceInit("CHILD");
  TraceSetObserver(&ChildCount, const_cast<LONG*>(counts));
  if (sMode == "log" && argc >= 5) {
    ChildAtGate(argv[4]);
    for (int i = 0; i < atoi(argv[2]); ++i) {
      TraceSetFunction("ChildWriter");
      TraceInfo("%s line %05d xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", argv[3], i);
    }
    return 0;
  }
  if (sMode == "error" && argc >= 4) {
    ChildAtGate(argv[3]);
    TraceSetFunction("ChildError");
    for (int i = 0; i < atoi(argv[2]); ++i) {
      TraceError("error line %d", i);
    }
    return (g_bTraceInfo ? 2 : 0) | (g_bTraceWarnings ? 1 : 0) | (counts[0] ? 4 : 0) | (counts[1] ? 8 : 0) |
           (int)counts[2] << 4;
  }
  if (sMode == "bspost" && argc >= 4) {
    OpenChannelQuietly();   // without a region its lines go nowhere: neither shown nor counted as dropped
    ChildAtGate(argc >= 5 ? argv[4] : "-");
    if (argc >= 6 && strcmp(argv[5], "yield") == 0) {   // others move the ring between its reads of head and tail
      BsSetTestHook([](BsTestPointId point, void*) {
        if (point == BS_POINT_HEAD_READ) {
          SwitchToThread();
        }
      }, nullptr);
    }
    for (int i = 0; i < atoi(argv[2]); ++i) {
      BsPostLine(i % 3 == 0 ? TRACE_CAT_WARNING : TRACE_CAT_INFO, ChildBsLine(argv[3], i).c_str());
    }
    return 0;
  }
  fprintf(stderr, "usage: see the head of drav_child.cpp\n");
  return 2;
}
