// Helpers of the trace and viewer-channel tests and of drav_child: the registry keys of the trace's settings
// (HKLM) and switches (HKCU), programs run on threads of their own, their start gate, the channel opened quietly.
#pragma once
#include <windows.h>

#include <cstdio>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "diag/BugShow.h"
#include "diag/TraceInternal.h"
#include "tests/unit/TestSupport.h"

inline constexpr char kDravKey[] = "SOFTWARE\\Vantorix\\DRAV", kBsKey[] = "SOFTWARE\\Vantorix";

// Line i of drav_child's bspost mode: the padding varies so records straddle the ring's end.
inline std::string ChildBsLine(const std::string& sTag, int i)
{
  char sHead[64];
  snprintf(sHead, sizeof sHead, "%s line %05d ", sTag.c_str(), i);
  return std::string(sHead) + std::string((size_t)(i * 37 % 180), (char)('a' + i % 26)) + "\n";
}

// The start of this thread's trace lines from sFunction.
inline std::string TraceHead(const char* sFunction, const char* sLevel = "")
{
  char s[64];
  snprintf(s, sizeof s, "DRAVMOU <%04lu> %s%s - ", GetCurrentThreadId(), sLevel, sFunction);
  return s;
}

// The lines of a text file, without their CR LF.
inline std::vector<std::string> FileLines(const std::string& sPath)
{
  std::vector<std::string> lines;
  std::istringstream in(TestReadFile(sPath));
  for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.find_last_not_of('\r') + 1));
  return lines;
}

// A program of bin/ run on a thread of its own: its exit code as TestRunProgram gives it.
inline std::future<DWORD> StartProgram(const std::string& sCommandLine, DWORD dwTimeoutMs = 60000)
{
  return std::async(std::launch::async, TestRunProgram, sCommandLine, dwTimeoutMs);
}

// Start gate of drav_child: each child releases "<name>_ready" once when it
// stands at the gate, then waits for the event "<name>".
struct Gate {
  explicit Gate(const std::string& sName)
      : hGo(CreateEventA(nullptr, TRUE, FALSE, sName.c_str())),
        hReady(CreateSemaphoreA(nullptr, 0, 64, (sName + "_ready").c_str())) {}
  ~Gate()
  {
    CloseHandle(hGo);
    CloseHandle(hReady);
  }
  bool AwaitReady(int nChildren)
  {
    int i = 0;
    while (i < nChildren && WaitForSingleObject(hReady, 30000) == WAIT_OBJECT_0) ++i;
    return i == nChildren;
  }
  void Open() { SetEvent(hGo); }
  HANDLE hGo, hReady;
};

// Opens the channel as the trace writer does, without posting the set-up's own lines.
inline void OpenChannelQuietly()
{
  TraceThreadSlot* pSlot = TraceFindThreadSlot(GetCurrentThreadId(), TRUE);
  pSlot->ulNesting++;
  BsInitializeClient();
  pSlot->ulNesting--;
}
