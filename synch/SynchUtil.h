// Critical regions over named mutexes, deferred handle close, bounded thread stop.
#pragma once
#include <windows.h>

constexpr DWORD CRITICAL_REGION_TIMEOUT_MS = 10000;
constexpr DWORD THREAD_STOP_TIMEOUT_MS = 60000;
constexpr ULONG MAX_DEVICES = 64;

BOOL CriticalRegionEnter(HANDLE hMutex, HANDLE hCancelEvent);
BOOL CriticalRegionLeave(HANDLE hMutex);

BOOL CloseHandleCleanupLater(HANDLE hHandle);
BOOL CleanUpHandle(HANDLE* pHandle);
BOOL IsDeadHandle(HANDLE hHandle);

BOOL StopNiceThread(HANDLE hThread, HANDLE hStopEvent);

// The dead-handle table, visible to tests.
extern volatile LONG64 g_DeadHandles[MAX_DEVICES];
extern ULONG g_ulDeadHandleCount;
