// Remove locks. Device form: one entry per plug-in index plus the device's own
// entry in the host's device record; lone form: a single tRemoveLock. Only
// interlocked counters and polling; the one mutex taken is the host's
// device-list mutex around a removal of the device's own entry.
#include "synch/SynchMgr.h"

#include "diag/Trace.h"
#include "plugin/Mou.h"
#include "synch/SynchUtil.h"

// Set explicitly by whoever owns the device list in this process (a host);
// otherwise the mutex of the host the plug-in is bound to.
static HANDLE s_hDeviceListMutex = nullptr;

void SynchSetDeviceListMutex(HANDLE hDeviceListMutex)
{
  TRACE_INFO("hDeviceListMutex=0x%X", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(hDeviceListMutex)));
  s_hDeviceListMutex = hDeviceListMutex;
}

static HANDLE SynchDeviceListMutex()
{
  if (s_hDeviceListMutex != nullptr) {
    return s_hDeviceListMutex;
  }
  return g_pGbl != nullptr ? g_pGbl->hDeviceListMutex : nullptr;
}

// Entries [first, end) selected by DeviceUMD; FALSE for a selector that names
// no entry (it would index past the record).
static BOOL SynchLockRange(ULONG DeviceUMD, ULONG* pFirst, ULONG* pEnd)
{
  if (DeviceUMD == LD_ALL_UMDS) {
    *pFirst = 0;
    *pEnd = UMD_MAX_INDEX;
    return TRUE;
  }
  if (DeviceUMD < UMD_LOCK_COUNT) {
    *pFirst = DeviceUMD;
    *pEnd = DeviceUMD + 1;
    return TRUE;
  }
  return FALSE;
}

// ---- Device form ----------------------------------------------------------------

BOOL AcquireRemoveLock(ULONG DeviceUMD, ULONG ulLockId, tDevice* pDevice)
{
  if (pDevice == nullptr) {
    TRACE_ERROR("pDevice is NULL - DeviceUMD:%d - ulLockId:%s.", static_cast<unsigned>(DeviceUMD), LockIdToString(ulLockId));
    return FALSE;
  }
  ULONG ulFirst, ulEnd;
  if (!SynchLockRange(DeviceUMD, &ulFirst, &ulEnd)) {
    TRACE_ERROR("invalid DeviceUMD:%d - ulLockId:%s.", static_cast<unsigned>(DeviceUMD), LockIdToString(ulLockId));
    return FALSE;
  }
  if (DeviceUMD >= 1 && DeviceUMD < UMD_MAX_INDEX && (pDevice->ulUMDCreated & (1u << DeviceUMD)) == 0) {
    DRAV_ASSERT_TEXT(pDevice->pUMDinfo[DeviceUMD] == NULL, "pDevice->pUMDinfo[ DeviceUMD ] == NULL");
    TRACE_INFO("Device 0x%08X %s was not created by UMD:%s.", static_cast<unsigned>(pDevice->DUID), DeviceTraceName(pDevice),
               UmdIndexToString(DeviceUMD));
    return FALSE;
  }

  TRACE_CATEGORY(TRACE_CAT_LOCK, "AquireRemoveLock - Locking UMDs %d to %d.\n", static_cast<unsigned>(ulFirst), static_cast<unsigned>(ulEnd));
  for (ULONG i = ulFirst; i < ulEnd; ++i) {
    // Count ourselves in first, then look for a removal: RequestRemoval does
    // the opposite, so one of the two always sees the other.
    InterlockedIncrement(&pDevice->RemoveLock[i].lLock);
    DRAV_ASSERT_TEXT(pDevice->RemoveLock[i].lLock > 0, "pDevice->RemoveLock[ i ].lLock > 0");
    if (pDevice->RemoveLock[i].lRemove > 0) {
      TRACE_CATEGORY(TRACE_CAT_LOCK, "AcquireRemoveLock - REMOVAL is pending for UMD %d.\n", static_cast<unsigned>(i));
      for (ULONG j = i + 1; j-- > ulFirst;) {
        InterlockedDecrement(&pDevice->RemoveLock[j].lLock);
      }
      return FALSE;
    }
  }
  return TRUE;
}

BOOL ReleaseRemoveLock(ULONG DeviceUMD, ULONG ulLockId, tDevice* pDevice)
{
  if (pDevice == nullptr) {
    TRACE_CATEGORY(TRACE_CAT_LOCK, "ReleaseRemoveLock - pDevice is NULL - DeviceUMD:%d - ulLockId:%s.\n", static_cast<unsigned>(DeviceUMD),
                   LockIdToString(ulLockId));
    DRAV_ASSERT(FALSE);
    return FALSE;
  }
  ULONG ulFirst, ulEnd;
  if (!SynchLockRange(DeviceUMD, &ulFirst, &ulEnd)) {
    TRACE_ERROR("invalid DeviceUMD:%d - ulLockId:%s.", static_cast<unsigned>(DeviceUMD), LockIdToString(ulLockId));
    return FALSE;
  }
  TRACE_CATEGORY(TRACE_CAT_LOCK, "ReleaseRemoveLock - UN-locking UMDs %d to %d.\n", static_cast<unsigned>(ulFirst), static_cast<unsigned>(ulEnd));
  for (ULONG i = ulFirst; i < ulEnd; ++i) {
    InterlockedDecrement(&pDevice->RemoveLock[i].lLock);
    DRAV_ASSERT_TEXT(pDevice->RemoveLock[i].lLock >= 0, "pDevice->RemoveLock[ i ].lLock >= 0");
  }
  return TRUE;
}

BOOL IsRemoveLockOwned(ULONG DeviceUMD, tDevice* pDevice)
{
  if (pDevice == nullptr) {
    TRACE_CATEGORY(TRACE_CAT_LOCK, "IsRemoveLockOwned - pDevice is NULL.\n");
    DRAV_ASSERT(FALSE);
    return FALSE;
  }
  ULONG ulFirst, ulEnd;
  if (!SynchLockRange(DeviceUMD, &ulFirst, &ulEnd)) {
    TRACE_ERROR("invalid DeviceUMD:%d.", static_cast<unsigned>(DeviceUMD));
    return FALSE;
  }
  for (ULONG i = ulFirst; i < ulEnd; ++i) {
    if (pDevice->RemoveLock[i].lLock == 0) {
      return FALSE;
    }
  }
  return TRUE;
}

BOOL IsRemovalPending(ULONG DeviceUMD, tDevice* pDevice)
{
  if (pDevice == nullptr) {
    DRAV_ASSERT(FALSE);
    TRACE_CATEGORY(TRACE_CAT_LOCK, "IsRemovalPending - pDevice is NULL.\n");
    return FALSE;
  }
  ULONG ulFirst, ulEnd;
  if (!SynchLockRange(DeviceUMD, &ulFirst, &ulEnd)) {
    TRACE_ERROR("invalid DeviceUMD:%d.", static_cast<unsigned>(DeviceUMD));
    return FALSE;
  }
  for (ULONG i = ulFirst; i < ulEnd; ++i) {
    if (pDevice->RemoveLock[i].lRemove > 0) {
      return TRUE;
    }
  }
  return FALSE;
}

BOOL RequestRemoval(ULONG DeviceUMD, tDevice* pDevice, BOOL bReleaseRemoveLock, ULONG ulLockId)
{
  TRACE_CATEGORY(TRACE_CAT_REMOVAL, "RequestRemoval - Entry.\n");
  if (pDevice == nullptr) {
    TRACE_ERROR("pDevice is NULL - DeviceUMD:%d - ulLockId:%s.", static_cast<unsigned>(DeviceUMD), LockIdToString(ulLockId));
    return FALSE;
  }
  // One entry only: a plug-in index or the device's own lock.
  if (DeviceUMD >= UMD_LOCK_COUNT) {
    TRACE_ERROR("invalid DeviceUMD:%d - ulLockId:%s.", static_cast<unsigned>(DeviceUMD), LockIdToString(ulLockId));
    return FALSE;
  }
  tRemoveLock* pLock = &pDevice->RemoveLock[DeviceUMD];

  // The device's own entry: no plug-in may attach between the test of
  // ulUMDCreated and the mark.
  HANDLE hMutex = nullptr;
  BOOL bRegion = FALSE;
  if (DeviceUMD == LD_DEVICE_LOCK) {
    hMutex = SynchDeviceListMutex();
    bRegion = CriticalRegionEnter(hMutex, nullptr);
    if (!bRegion) {
      TRACE_ERROR("couldn't acquire mutex pDevice->hDeviceListMutex");
    }
    if (pDevice->ulUMDCreated != 0) {
      TRACE_INFO("there is still a UMD created, or a new UMD just attached to this device and revived it");
      if (bRegion) {
        CriticalRegionLeave(hMutex);
      }
      if (bReleaseRemoveLock) {
        DRAV_ASSERT(bReleaseRemoveLock == FALSE);
      }
      return FALSE;
    }
  }

  LONG lRemove = InterlockedIncrement(&pLock->lRemove);
  if (bRegion) {
    CriticalRegionLeave(hMutex);
  }

  if (bReleaseRemoveLock) {
    DRAV_ASSERT(DeviceUMD != LD_DEVICE_LOCK);
    ReleaseRemoveLock(DeviceUMD, ulLockId, pDevice);
  }

  if (lRemove >= 2) {
    TRACE_INFO("Device is already being removed by someone else");
    return FALSE;
  }

  ULONG ulTimeOut = 0;
  for (;;) {
    if (pLock->lLock == 0 || ulTimeOut >= REMOVAL_TIMEOUT) {
      break;
    }
    ulTimeOut++;
    Sleep(REMOVAL_POLL_MS);
  }
  DRAV_ASSERT(ulTimeOut < REMOVAL_TIMEOUT);

  TRACE_CATEGORY(TRACE_CAT_REMOVAL, "RequestRemoval - Exit TRUE.\n");
  return TRUE;
}

void RequestRemovalAllUmds(tDevice* pDevice)
{
  TRACE_INFO("entry");
  for (ULONG i = 0; i < UMD_MAX_INDEX; ++i) {
    RequestRemoval(i, pDevice, FALSE, LOCK_RequestRemovalAllUmds);
  }
  TRACE_INFO("exit");
}

// ---- Lone form --------------------------------------------------------------------

BOOL AcquireRemoveLock(tRemoveLock* pLock)
{
  if (pLock == nullptr) {
    TRACE_ERROR("pLock is NULL.");
    return FALSE;
  }
  LONG lLock = InterlockedIncrement(&pLock->lLock);
  if (lLock < 1) {
    TRACE_ERROR("Remove Lock count (%d).", static_cast<int>(lLock));
  }
  if (pLock->lRemove < 1) {
    return TRUE;
  }
  InterlockedDecrement(&pLock->lLock);
  return FALSE;
}

void ReleaseRemoveLock(tRemoveLock* pLock)
{
  if (pLock == nullptr) {
    TRACE_ERROR("pLock is NULL.");
    return;
  }
  LONG lLock = InterlockedDecrement(&pLock->lLock);
  if (lLock < 0) {
    TRACE_ERROR("Remove Lock count (%d).", static_cast<int>(lLock));
  }
}

BOOL SignalRemoval(tRemoveLock* pLock)
{
  if (pLock == nullptr) {
    TRACE_ERROR("pLock is NULL.");
    return FALSE;
  }
  DRAV_ASSERT(pLock->lLock > 0);
  if (InterlockedIncrement(&pLock->lRemove) == 1) {
    return TRUE;
  }
  TRACE_WARNING("Removal already requested.");
  return FALSE;
}

void WaitForLocks(tRemoveLock* pLock)
{
  if (pLock == nullptr) {
    TRACE_ERROR("pLock is NULL.");
    return;
  }
  DRAV_ASSERT(pLock->lLock > 0);
  // The caller still holds its own count; a count of 0 (a caller that does
  // not hold) leaves nobody to wait for either.
  ULONG ulTimeOut = 0;
  for (;;) {
    if (pLock->lLock <= 1 || ulTimeOut >= REMOVAL_TIMEOUT) {
      break;
    }
    ulTimeOut++;
    TRACE_INFO("Lock is held. Waiting for %d ms... (%d/%d)", static_cast<unsigned>(REMOVAL_POLL_MS), static_cast<unsigned>(ulTimeOut), static_cast<unsigned>(REMOVAL_TIMEOUT));
    Sleep(REMOVAL_POLL_MS);
  }
  DRAV_ASSERT(ulTimeOut < REMOVAL_TIMEOUT);
}

BOOL RequestLockRemoval(tRemoveLock* pLock)
{
  if (!SignalRemoval(pLock)) {
    return FALSE;
  }
  WaitForLocks(pLock);
  return TRUE;
}
