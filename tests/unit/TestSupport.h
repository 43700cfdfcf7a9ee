// Shared helpers of the unit tests.
#pragma once
#include <windows.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

// Collects every trace line written by this process's static copy of the
// plug-in code while it lives (lines of the DLL copy go to its own sinks).
class TraceCapture {
public:
  TraceCapture();
  ~TraceCapture();
  std::vector<std::string> Lines() const;
  bool Contains(const std::string& sText) const;       // any line containing the text
  size_t Count(const std::string& sText) const;        // lines containing the text
  void Clear();
  // Sets hEvent when a line containing sText is written (on the writing thread).
  void SignalOn(const std::string& sText, HANDLE hEvent);

private:
  static void Observe(DWORD dwCategory, const char* sLine, void* pContext);
  mutable CRITICAL_SECTION m_cs;
  std::vector<std::string> m_lines;
  std::string m_sSignalText;
  HANDLE m_hSignal = nullptr;
};

// Empties the process's dead-handle table (tests that record handles start clean).
void TestResetDeadHandles();
// Creates events, keeping them in *pKept, until the system hands out hValue
// again; frees that one, so that the next handle created gets it. False if the
// value never comes back.
bool TestMakeNextHandle(HANDLE hValue, std::vector<HANDLE>* pKept);

// Adds trace categories for its lifetime.
class TraceLevel {
public:
  explicit TraceLevel(DWORD dwAdd);
  ~TraceLevel();

private:
  DWORD m_dwOld;
};

// Folder of the test executables (bin/ of the build).
std::string TestBinDir();
// A fresh, empty scratch folder for one test, under the build's bin/.
std::string TestScratchDir(const std::string& sName);
// Runs a program of bin/ with arguments and waits for it; returns its exit code.
DWORD TestRunProgram(const std::string& sCommandLine, DWORD dwTimeoutMs = 60000);

// Registry helpers for HKLM/HKCU "SOFTWARE\Vantorix\DRAV" and friends.
void TestRegSet(HKEY hRoot, const char* sKey, const char* sName, DWORD dwType, const void* pData, DWORD cb);
inline void TestRegSetDword(HKEY hRoot, const char* sKey, const char* sName, DWORD dwValue)
{
  TestRegSet(hRoot, sKey, sName, REG_DWORD, &dwValue, sizeof dwValue);
}
inline void TestRegSetString(HKEY hRoot, const char* sKey, const char* sName, const char* sValue)
{
  TestRegSet(hRoot, sKey, sName, REG_SZ, sValue, static_cast<DWORD>(strlen(sValue) + 1));
}
inline void TestRegSetBinary(HKEY hRoot, const char* sKey, const char* sName, const void* pData, DWORD cb)
{
  TestRegSet(hRoot, sKey, sName, REG_BINARY, pData, cb);
}
void TestRegDelete(HKEY hRoot, const char* sKey, const char* sName);
std::string TestReadFile(const std::string& sPath);

// Open handles of this process (Wine answers GetProcessHandleCount with 0, so
// every handle value is asked in turn) and its threads. With pOpen, the open
// values are marked; with pBaseline, each one open now but not then is printed
// with its type.
constexpr ULONG kTestHandleValues = 0x4000;   // values 4 .. 0xFFFC
DWORD TestHandleCount(bool* pOpen = nullptr, const bool* pBaseline = nullptr);
ULONG TestThreadCount();
// Both counts once they hold still (2 s at most): the system's own helpers
// (Wine's notification listener) open and close handles on their threads.
std::pair<DWORD, ULONG> TestSettledCounts();

// A model record as one line: its section, then only the fields that are set,
// e.g. "[0000C01E-2] NAME=One VID=3F1D PID=C01E" (keys as code/length).
struct tModelInfo;
std::string TestDescribeModel(const tModelInfo* pModel);
