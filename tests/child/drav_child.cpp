// Second process for the multi-process tests. At a <gate> the child releases
// the semaphore "<gate>_ready" once and waits for the event "<gate>"; "-" is no gate.
//   log <count> <tag> <gate> <hold>  at <gate>, then writes <count> trace lines, then at <hold>
//   switches                         exit: bit 1 info switch, bit 0 warning switch, after the first line
//   bspost <count> <tag> [gate [yield]]  opens the viewer channel, at <gate>, posts <count> lines
//                                    (with yield: yielding between its reads of head and tail);
//                                    exit 0, 3 without a region
//   bsslot                           opens the channel; exit: slot index of its process id + 1
//                                    (0 = none), 0x100 if it warned about clobbering the last slot
//   bsfail <count>                   writes <count> error lines; exit: how many said the region failed to open
//   bserror <gate>                   at <gate>, writes its first error line; exit 1 if it launched the viewer
//   dll <gate>                       loads and binds DRAVMOU.dll, at <gate>; unbinds and unloads it, at <gate>2
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>

#include "diag/BsRing.h"
#include "diag/Trace.h"
#include "host/RefHost.h"
#include "tests/unit/DiagTestSupport.h"

static void ChildAtGate(const std::string& sGate)
{
  if (sGate == "-") {
    return;
  }
  HANDLE hReady = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, (sGate + "_ready").c_str());
  HANDLE hGo = OpenEventA(SYNCHRONIZE, FALSE, sGate.c_str());
  if (hReady != nullptr) {
    ReleaseSemaphore(hReady, 1, nullptr);
    CloseHandle(hReady);
  }
  if (hGo != nullptr) {
    WaitForSingleObject(hGo, 30000);
    CloseHandle(hGo);
  }
}

static void ChildCount(DWORD, const char* sLine, void* pContext)
{
  auto* pCounts = static_cast<volatile LONG*>(pContext);
  const char* texts[3] = {"Launching VantBshw.exe", "no empty slot for PID in shared memory, so clobbering last slot",
                          "failed to open shared memory"};
  for (int i = 0; i < 3; ++i) {
    if (strstr(sLine, texts[i]) != nullptr) {
      InterlockedIncrement(&pCounts[i]);
    }
  }
}

// Between the reads of head and tail: others move the ring meanwhile.
static void ChildYield(BsTestPointId point, void*)
{
  if (point == BS_POINT_HEAD_READ) {
    SwitchToThread();
  }
}

int main(int argc, char** argv)
{
  std::string sMode = argc >= 2 ? argv[1] : "";
  volatile LONG counts[3] = {};   // viewer launched, slot clobbered, region failed to open
  TraceInit("CHILD");
  TraceSetObserver(&ChildCount, const_cast<LONG*>(counts));
  if (sMode == "log" && argc >= 6) {
    ChildAtGate(argv[4]);
    for (int i = 0; i < atoi(argv[2]); ++i) {
      TraceSetFunction("ChildWriter");
      TraceInfo("%s line %05d xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", argv[3], i);
    }
    ChildAtGate(argv[5]);
    return 0;
  }
  if (sMode == "switches") {
    TraceSetFunction("ChildSwitches");
    TraceError("first line");
    return (g_bTraceInfo ? 2 : 0) | (g_bTraceWarnings ? 1 : 0);
  }
  if (sMode == "bspost" && argc >= 4) {
    OpenChannelQuietly();
    if (g_pBsData == nullptr) {
      return 3;
    }
    ChildAtGate(argc >= 5 ? argv[4] : "-");
    if (argc >= 6 && strcmp(argv[5], "yield") == 0) {
      BsSetTestHook(&ChildYield, nullptr);
    }
    for (int i = 0; i < atoi(argv[2]); ++i) {
      BsPostLine(i % 3 == 0 ? TRACE_CAT_WARNING : TRACE_CAT_INFO, ChildBsLine(argv[3], i).c_str());
    }
    return 0;
  }
  if (sMode == "bsslot") {
    OpenChannelQuietly();
    auto* p = static_cast<BsSharedData*>(g_pBsData);
    int rc = counts[1] ? 0x100 : 0;
    for (uint32_t i = 0; p != nullptr && i < BS_PID_SLOTS; ++i) {
      if (p->ulPid[i] == GetCurrentProcessId()) {
        return rc | ((int)i + 1);
      }
    }
    return rc;
  }
  if (sMode == "bsfail" && argc >= 3) {
    for (int i = 0; i < atoi(argv[2]); ++i) {
      TraceSetFunction("ChildFail");
      TraceError("line %d", i);
    }
    return (int)counts[2];
  }
  if (sMode == "bserror" && argc >= 3) {
    ChildAtGate(argv[2]);
    TraceSetFunction("ChildFirstError");
    TraceError("first error line of this process");
    return counts[0] ? 1 : 0;
  }
  if (sMode == "dll" && argc >= 3) {
    RefHostPlugin plugin;
    RefHost* pHost = RefHostGet();
    if (!RefHostLoadPlugin(&plugin, "DRAVMOU.dll") || !RefHostInit(pHost) || RefHostBindPlugin(pHost, &plugin) != 1) {
      return 1;
    }
    ChildAtGate(argv[2]);
    plugin.MouMainExit(0, 0);
    RefHostShutdown(pHost);
    RefHostUnloadPlugin(&plugin);
    ChildAtGate(std::string(argv[2]) + "2");
    return 0;
  }
  fprintf(stderr, "usage: see the head of drav_child.cpp\n");
  return 2;
}
