// Channel to the debug viewer: a named shared ring of line records.
#pragma once
#include <windows.h>

extern volatile HANDLE g_hBsEvent;
extern void* volatile g_pBsData;   // mapped view, null until opened

void BsInitializeClient();
void BsInitializeServer();
void BsPostLine(DWORD dwCategory, const char* sLine);
BOOL BsShutdownServer();
BOOL BsGetStatistics(DWORD* pbDisabled, DWORD* pulViewerWord, DWORD* pulDropped);
void BsCloseEvent();
// Unmaps the region and closes its mapping (the library is unloaded; nobody posts any more).
void BsReleaseRegion();

// Test seam: called where another poster, the viewer or a killed thread can
// come in between (the head just read; a poster inside the event signal).
enum BsTestPointId { BS_POINT_HEAD_READ, BS_POINT_SIGNAL };
typedef void (*PFN_BS_TEST_HOOK)(BsTestPointId point, void* pContext);
void BsSetTestHook(PFN_BS_TEST_HOOK pfn, void* pContext);

// The steps of BsInitializeClient and BsInitializeServer.
BOOL BsCreateEvent(const char* sRegionName);
BOOL BsOpenSharedMemory(const char* sRegionName);
BOOL BsClientSavePid();
BOOL BsLaunchViewer(const char* sRegionName);

// Name of the region; the event is this name followed by "_EVENT".
constexpr const char BS_REGION_NAME[] = "Local\\VantBugShow";
constexpr const char BS_EVENT_SUFFIX[] = "_EVENT";
constexpr const char BS_VIEWER_NAME[] = "VantBshw.exe";
