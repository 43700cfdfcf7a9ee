// Debug viewer channel. Until the ring lands this only reads the output flags,
// which the trace writer needs for its switches.
#include "diag/BugShow.h"

#include "diag/Trace.h"

volatile HANDLE g_hBsEvent = nullptr;
void* volatile g_pBsData = nullptr;
static volatile LONG s_lBsFlagsRead = 0;

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

void BsInitializeClient()
{
  if (InterlockedCompareExchange(&s_lBsFlagsRead, 1, 0) == 0) {
    BsReadOutputFlags();
  }
}

void BsInitializeServer() {}
void BsPostLine(DWORD, const char*) {}
BOOL BsShutdownServer() { return FALSE; }
BOOL BsGetStatistics(DWORD*, DWORD*, DWORD*) { return FALSE; }
void BsCloseEvent() {}
