#include "host/RefHostViewer.h"

#include <cstdio>

#include "diag/BsRing.h"

static const char kRegionName[] = "Local\\VantBugShow";

static void ViewerRelease(RefHostViewer* pViewer)
{
  if (pViewer->pView != nullptr) UnmapViewOfFile(pViewer->pView);
  if (pViewer->hMapping != nullptr) CloseHandle(pViewer->hMapping);
  if (pViewer->hProcess != nullptr) CloseHandle(pViewer->hProcess);
  *pViewer = RefHostViewer{};
}

static volatile uint32_t* RegionWord(RefHostViewer* pViewer, uint32_t BsSharedData::*pField)
{
  return &(static_cast<BsSharedData*>(pViewer->pView)->*pField);
}

BOOL RefHostViewerStart(RefHostViewer* pViewer, const char* sFolder, const char* sOutFile, DWORD dwWaitMs)
{
  *pViewer = RefHostViewer{};
  char sProgram[MAX_PATH];
  char sCommand[2 * MAX_PATH];
  snprintf(sProgram, sizeof sProgram, "%s\\VantBshw.exe", sFolder);
  // Bounded, so that a host that dies before it stops the viewer leaves none behind.
  snprintf(sCommand, sizeof sCommand, "VantBshw.exe MEM:%s -stay -t 120000 -o \"%s\"", kRegionName, sOutFile);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(sProgram, sCommand, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return FALSE;
  }
  CloseHandle(pi.hThread);
  pViewer->hProcess = pi.hProcess;

  // The viewer creates the region if it is missing; ours is only a window on it.
  DWORD dwStart = GetTickCount();
  for (;;) {
    if (pViewer->pView == nullptr) {
      pViewer->hMapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, kRegionName);
      if (pViewer->hMapping != nullptr) {
        pViewer->pView = MapViewOfFile(pViewer->hMapping, FILE_MAP_WRITE, 0, 0, BS_MAPPING_SIZE);
        if (pViewer->pView == nullptr) {
          CloseHandle(pViewer->hMapping);
          pViewer->hMapping = nullptr;
        }
      }
    }
    if (pViewer->pView != nullptr && *RegionWord(pViewer, &BsSharedData::ulRegionSize) == BS_REGION_SIZE &&
        *RegionWord(pViewer, &BsSharedData::ulViewerWord) == pi.dwProcessId) {
      return TRUE;
    }
    if (WaitForSingleObject(pViewer->hProcess, 20) == WAIT_OBJECT_0 || GetTickCount() - dwStart >= dwWaitMs) {
      break;
    }
  }
  TerminateProcess(pViewer->hProcess, 1);
  WaitForSingleObject(pViewer->hProcess, dwWaitMs);
  ViewerRelease(pViewer);
  return FALSE;
}

BOOL RefHostViewerStop(RefHostViewer* pViewer, DWORD dwWaitMs)
{
  if (pViewer->hProcess == nullptr) {
    return FALSE;
  }
  InterlockedExchange(reinterpret_cast<volatile LONG*>(RegionWord(pViewer, &BsSharedData::bShutdown)), 1);
  char sEventName[MAX_PATH];
  snprintf(sEventName, sizeof sEventName, "%s_EVENT", kRegionName);
  HANDLE hEvent = OpenEventA(EVENT_MODIFY_STATE, FALSE, sEventName);
  if (hEvent != nullptr) {
    SetEvent(hEvent);
    CloseHandle(hEvent);
  }
  BOOL bLeft = WaitForSingleObject(pViewer->hProcess, dwWaitMs) == WAIT_OBJECT_0;
  if (!bLeft) {
    TerminateProcess(pViewer->hProcess, 1);
    WaitForSingleObject(pViewer->hProcess, dwWaitMs);
  }
  // A later viewer starts with the flag clear again.
  InterlockedExchange(reinterpret_cast<volatile LONG*>(RegionWord(pViewer, &BsSharedData::bShutdown)), 0);
  ViewerRelease(pViewer);
  return bLeft;
}
