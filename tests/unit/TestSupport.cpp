#include "tests/unit/TestSupport.h"

#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>

#include "diag/Trace.h"
#include "synch/SynchUtil.h"

TraceCapture::TraceCapture()
{
  InitializeCriticalSection(&m_cs);
  TraceSetObserver(&TraceCapture::Observe, this);
}

TraceCapture::~TraceCapture()
{
  TraceSetObserver(nullptr, nullptr);
  DeleteCriticalSection(&m_cs);
}

void TraceCapture::Observe(DWORD, const char* sLine, void* pContext)
{
  auto* self = static_cast<TraceCapture*>(pContext);
  EnterCriticalSection(&self->m_cs);
  self->m_lines.emplace_back(sLine);
  if (self->m_hSignal != nullptr && self->m_lines.back().find(self->m_sSignalText) != std::string::npos) {
    SetEvent(self->m_hSignal);
  }
  LeaveCriticalSection(&self->m_cs);
}

std::vector<std::string> TraceCapture::Lines() const
{
  EnterCriticalSection(&m_cs);
  std::vector<std::string> copy = m_lines;
  LeaveCriticalSection(&m_cs);
  return copy;
}

bool TraceCapture::Contains(const std::string& sText) const
{
  return Count(sText) > 0;
}

size_t TraceCapture::Count(const std::string& sText) const
{
  size_t n = 0;
  for (const std::string& line : Lines()) {
    if (line.find(sText) != std::string::npos) {
      ++n;
    }
  }
  return n;
}

void TraceCapture::Clear()
{
  EnterCriticalSection(&m_cs);
  m_lines.clear();
  LeaveCriticalSection(&m_cs);
}

void TraceCapture::SignalOn(const std::string& sText, HANDLE hEvent)
{
  EnterCriticalSection(&m_cs);
  m_sSignalText = sText;
  m_hSignal = hEvent;
  LeaveCriticalSection(&m_cs);
}

TraceLevel::TraceLevel(DWORD dwAdd) : m_dwOld(g_dwDebugLevel)
{
  g_dwDebugLevel |= dwAdd;
}

TraceLevel::~TraceLevel()
{
  g_dwDebugLevel = m_dwOld;
}

void TestResetDeadHandles()
{
  for (volatile LONG64& slot : g_DeadHandles) {
    slot = 0;
  }
  g_ulDeadHandleCount = 0;
}

bool TestMakeNextHandle(HANDLE hValue, std::vector<HANDLE>* pKept)
{
  for (int i = 0; i < 4096; ++i) {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (h == hValue) {
      CloseHandle(h);
      return true;
    }
    pKept->push_back(h);
  }
  return false;
}

std::string TestBinDir()
{
  char sPath[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, sPath, MAX_PATH);
  std::string s(sPath, n);
  return s.substr(0, s.find_last_of("\\/"));
}

std::string TestScratchDir(const std::string& sName)
{
  std::string sBase = TestBinDir() + "\\scratch";
  CreateDirectoryA(sBase.c_str(), nullptr);
  std::string sDir = sBase + "\\" + sName;
  // Empty it: delete the files left by an earlier run.
  WIN32_FIND_DATAA fd;
  HANDLE hFind = FindFirstFileA((sDir + "\\*").c_str(), &fd);
  if (hFind != INVALID_HANDLE_VALUE) {
    do {
      if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileA((sDir + "\\" + fd.cFileName).c_str());
      }
    } while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
  }
  CreateDirectoryA(sDir.c_str(), nullptr);
  return sDir;
}

DWORD TestRunProgram(const std::string& sCommandLine, DWORD dwTimeoutMs)
{
  std::string sCmd = TestBinDir() + "\\" + sCommandLine;
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  std::vector<char> buf(sCmd.begin(), sCmd.end());
  buf.push_back('\0');
  if (!CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, TestBinDir().c_str(), &si, &pi)) {
    return 0xFFFFFFFF;
  }
  DWORD dwCode = 0xFFFFFFFE;
  if (WaitForSingleObject(pi.hProcess, dwTimeoutMs) == WAIT_OBJECT_0) {
    GetExitCodeProcess(pi.hProcess, &dwCode);
  } else {
    TerminateProcess(pi.hProcess, 0xFFFFFFFD);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return dwCode;
}

void TestRegSet(HKEY hRoot, const char* sKey, const char* sName, DWORD dwType, const void* pData, DWORD cb)
{
  HKEY hKey = nullptr;
  RegCreateKeyExA(hRoot, sKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
  RegSetValueExA(hKey, sName, 0, dwType, static_cast<const BYTE*>(pData), cb);
  RegCloseKey(hKey);
}

void TestRegDelete(HKEY hRoot, const char* sKey, const char* sName)
{
  HKEY hKey;
  if (RegOpenKeyExA(hRoot, sKey, 0, KEY_ALL_ACCESS, &hKey) == ERROR_SUCCESS) {
    RegDeleteValueA(hKey, sName);
    RegCloseKey(hKey);
  }
}

std::string TestReadFile(const std::string& sPath)
{
  std::string s;
  HANDLE h = CreateFileA(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return s;
  }
  char buf[65536];
  DWORD n;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) {
    s.append(buf, n);
  }
  CloseHandle(h);
  return s;
}

DWORD TestHandleCount(bool* pOpen, const bool* pBaseline)
{
  auto pfnQuery = reinterpret_cast<LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*)>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
  DWORD n = 0, dwFlags;
  for (ULONG i = 1; i < kTestHandleValues; ++i) {
    HANDLE h = reinterpret_cast<HANDLE>(ULONG_PTR{i} * 4);
    bool bOpen = GetHandleInformation(h, &dwFlags);
    n += bOpen;
    if (pOpen != nullptr) pOpen[i] = bOpen;
    if (!bOpen || pBaseline == nullptr || pBaseline[i]) continue;
    ULONG_PTR info[64] = {};   // OBJECT_TYPE_INFORMATION: its name first
    if (pfnQuery != nullptr) pfnQuery(h, 2, info, sizeof info, nullptr);
    const auto* pName = reinterpret_cast<const UNICODE_STRING*>(info);
    printf("  ! handle 0x%lX left open (%.*ls)\n", i * 4, pName->Length / 2, pName->Buffer ? pName->Buffer : L"");
  }
  return n;
}

ULONG TestThreadCount()
{
  HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  ULONG n = 0;
  THREADENTRY32 te = {};
  te.dwSize = sizeof te;
  for (BOOL b = Thread32First(hSnap, &te); b; b = Thread32Next(hSnap, &te)) {
    n += te.th32OwnerProcessID == GetCurrentProcessId();
  }
  CloseHandle(hSnap);
  return n;
}

#include "models/ModelInfo.h"

std::string TestDescribeModel(const tModelInfo* p)
{
  char s[64];
  snprintf(s, sizeof s, "[%08lX-%lu]", (unsigned long)p->ulSectionId, (unsigned long)p->ulSectionSubId);
  std::string out = s;
  const std::pair<const char*, const char*> texts[] = {{"NAME", p->sModelName}, {"REG", p->sReg}, {"CAP", p->sCap},
                                                       {"DEPTH", p->sDepth}, {"MINTERM", p->sMinTerm},
                                                       {"REMAP", p->sRemap}, {"CACHE", p->sCache}};
  for (const auto& text : texts) {
    if (text.second != nullptr) out += std::string(" ") + text.first + "=" + text.second;
  }
  for (const tKeySequence* pKey = p->pKeyList; pKey != nullptr; pKey = pKey->pNext) {
    snprintf(s, sizeof s, " KEY=%lX/%lu", (unsigned long)pKey->ulKeyCode, (unsigned long)pKey->ulLength);
    out += s;
  }
  const std::pair<const char*, unsigned long> numbers[] = {
      {" VID=%04lX", p->usVid},     {" PID=%04lX", p->usPid},     {" LNPCOL=%lX", p->ulLnpCol}, {" MWID=%lu", p->ulMwid},
      {" DEVID=%lu", p->ulDevId},   {" SUBID=%lu", p->ulSubId},   {" QID=%04lX", p->usQid}};
  for (const auto& number : numbers) {
    if (number.second != 0) {
      snprintf(s, sizeof s, number.first, number.second);
      out += s;
    }
    if (strncmp(number.first, " PID", 4) == 0 && (p->usBcdDevice | p->usBcdMask) != 0) {   // the revision after PID
      snprintf(s, sizeof s, " BCD=%04X/%04X", p->usBcdDevice, p->usBcdMask);
      out += s;
    }
  }
  return out;
}

std::pair<DWORD, ULONG> TestSettledCounts()
{
  std::pair<DWORD, ULONG> last = { TestHandleCount(), TestThreadCount() };
  for (int i = 0, nSame = 0; i < 40 && nSame < 3; ++i) {
    Sleep(50);
    std::pair<DWORD, ULONG> now = { TestHandleCount(), TestThreadCount() };
    nSame = now == last ? nSame + 1 : 0;
    last = now;
  }
  return last;
}
