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

// A value recorded as dead may still sit in its old owner's variable, so a new
// handle must never carry it: every handle that is later closed through
// CleanUpHandle or given up through CloseHandleCleanupLater is taken through
// one of these two. OpenFreshHandle calls pfnOpen until the value is not
// recorded (holding the recorded ones open meanwhile) and returns what pfnOpen
// returned last (null or INVALID_HANDLE_VALUE on failure). TakeFreshHandle
// swaps a just-created handle for a duplicate when its value is recorded; on
// failure the handle is closed and the variable set to null.
typedef HANDLE (*PFN_OPEN_HANDLE)(void* pContext);
HANDLE OpenFreshHandle(PFN_OPEN_HANDLE pfnOpen, void* pContext);
BOOL TakeFreshHandle(HANDLE* pHandle);

BOOL StopNiceThread(HANDLE hThread, HANDLE hStopEvent);

// The dead-handle table, visible to tests.
extern volatile LONG64 g_DeadHandles[MAX_DEVICES];
extern ULONG g_ulDeadHandleCount;
