// Helpers of the trace and viewer-channel tests: programs started without
// waiting, a start gate for them, and opening the channel without tracing.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "diag/BugShow.h"
#include "diag/TraceInternal.h"
#include "tests/unit/TestSupport.h"

// A program of bin/ started without waiting for it; killed if still running
// when the record goes.
struct Started {
  HANDLE hProcess = nullptr;
  DWORD Wait(DWORD dwTimeoutMs = 60000)
  {
    DWORD dwCode = 0xFFFFFFFE;
    if (hProcess == nullptr) {
      return 0xFFFFFFFF;
    }
    if (WaitForSingleObject(hProcess, dwTimeoutMs) == WAIT_OBJECT_0) {
      GetExitCodeProcess(hProcess, &dwCode);
    } else {
      TerminateProcess(hProcess, 0xFFFFFFFD);
      WaitForSingleObject(hProcess, 5000);
    }
    CloseHandle(hProcess);
    hProcess = nullptr;
    return dwCode;
  }
  ~Started() { Wait(1); }
};

inline void StartProgram(Started* pStarted, const std::string& sCommandLine)
{
  std::string sCmd = TestBinDir() + "\\" + sCommandLine;
  std::vector<char> buf(sCmd.begin(), sCmd.end());
  buf.push_back('\0');
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, TestBinDir().c_str(), &si, &pi)) {
    CloseHandle(pi.hThread);
    pStarted->hProcess = pi.hProcess;
  }
}

// Start gate of drav_child: each child releases "<name>_ready" once when it
// stands at the gate, then waits for the event "<name>".
struct Gate {
  HANDLE hGo;
  HANDLE hReady;
  explicit Gate(const std::string& sName)
  {
    hGo = CreateEventA(nullptr, TRUE, FALSE, sName.c_str());
    hReady = CreateSemaphoreA(nullptr, 0, 64, (sName + "_ready").c_str());
  }
  ~Gate()
  {
    CloseHandle(hGo);
    CloseHandle(hReady);
  }
  bool AwaitReady(int nChildren, DWORD dwTimeoutMs = 30000)
  {
    for (int i = 0; i < nChildren; ++i) {
      if (WaitForSingleObject(hReady, dwTimeoutMs) != WAIT_OBJECT_0) {
        return false;
      }
    }
    return true;
  }
  void Open() { SetEvent(hGo); }
};

// Opens the channel as the trace writer does, without posting the set-up's own lines.
inline void OpenChannelQuietly()
{
  TraceThreadSlot* pSlot = TraceFindThreadSlot(GetCurrentThreadId(), TRUE);
  pSlot->ulNesting++;
  BsInitializeClient();
  pSlot->ulNesting--;
}
