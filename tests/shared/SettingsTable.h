// One table of settings requests and what each must leave behind, run alike
// against the simulated driver and the kernel driver that Wine hosts.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "host/RefHost.h"

class TraceCapture;

using Words = std::vector<ULONG>;

// The built-in points of curve 1..6.
Words DefaultPoints(ULONG ulCurve);

// A request as the driver logged it; a get's input is its identifier alone.
struct LaneRequest {
  DWORD dwIoctl;
  Words in;
  ULONG ulOutSize;
};

// What the table needs of a driver for the one mouse it runs on.
struct LaneDriver {
  void (*pfnFailAll)(DWORD dwError);   // every request fails with this Win32 error; 0: answer
  void (*pfnStore)(ULONG ulParam, const void* pValue, ULONG ulSize);
  void (*pfnReplyLength)(ULONG ulParam, ULONG ulLength);   // gets answer only so many bytes; ~0u: all
  void (*pfnClearRequests)();
  std::vector<LaneRequest> (*pfnRequests)();   // of the mouse, oldest first
};

// Runs every case in order through the host's device control on pMouse,
// pKeyboard (needs no driver device) or no device. Trace lines are checked per
// case in pCapture or, for a DLL with its own log, added to *pLogLines.
void RunSettingsTable(RefHost* pHost, tDevice* pMouse, tDevice* pKeyboard, const LaneDriver& driver,
                      TraceCapture* pCapture, std::vector<std::string>* pLogLines);

// Loads a plug-in DLL that logs to sLogPath (its registry switches set only while it loads).
BOOL LoadPluginWithLog(RefHostPlugin* pPlugin, const std::string& sDll, const std::string& sLogPath);
// Each line (a trailing newline aside) is somewhere in the log file.
void ExpectLinesInLog(const std::string& sLogPath, const std::vector<std::string>& lines);
