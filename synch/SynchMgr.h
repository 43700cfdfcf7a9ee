// Remove locks: interlocked two-counter locks that keep a device (or another
// shared object) usable while somebody works on it.
#pragma once
#include <windows.h>

#include "framework/UmdRecords.h"

constexpr ULONG REMOVAL_TIMEOUT = 300;        // waits of 100 ms
constexpr ULONG REMOVAL_POLL_MS = 100;

// Device form: DeviceUMD is a plug-in index 0-12, LD_DEVICE_LOCK or LD_ALL_UMDS.
BOOL AcquireRemoveLock(ULONG DeviceUMD, ULONG ulLockId, tDevice* pDevice);
BOOL ReleaseRemoveLock(ULONG DeviceUMD, ULONG ulLockId, tDevice* pDevice);
BOOL IsRemoveLockOwned(ULONG DeviceUMD, tDevice* pDevice);
BOOL IsRemovalPending(ULONG DeviceUMD, tDevice* pDevice);
BOOL RequestRemoval(ULONG DeviceUMD, tDevice* pDevice, BOOL bReleaseRemoveLock, ULONG ulLockId);
void RequestRemovalAllUmds(tDevice* pDevice);

// Lone form.
BOOL AcquireRemoveLock(tRemoveLock* pLock);
void ReleaseRemoveLock(tRemoveLock* pLock);
BOOL SignalRemoval(tRemoveLock* pLock);
void WaitForLocks(tRemoveLock* pLock);
BOOL RequestLockRemoval(tRemoveLock* pLock);

// The host's device-list mutex, taken by RequestRemoval for LD_DEVICE_LOCK.
// Set when the plug-in binds (the host's global record).
void SynchSetDeviceListMutex(HANDLE hDeviceListMutex);
