// Device-change queue: coalescing of notifications for the same path.
#include "framework/UmdChange.h"

#include <dbt.h>

#include <cstddef>
#include <cstring>

#include "diag/Trace.h"

namespace {

void UmdListAppend(UmdListEntry* pHead, UmdListEntry* pEntry)
{
  pEntry->pNext = pHead;
  pEntry->pPrev = pHead->pPrev;
  pHead->pPrev->pNext = pEntry;
  pHead->pPrev = pEntry;
}

void UmdListUnlink(UmdListEntry* pEntry)
{
  pEntry->pPrev->pNext = pEntry->pNext;
  pEntry->pNext->pPrev = pEntry->pPrev;
  pEntry->pNext = pEntry->pPrev = nullptr;
}

UmdDeviceChange* UmdEntryOf(UmdListEntry* pLink)
{
  return reinterpret_cast<UmdDeviceChange*>(pLink);
}

}  // namespace

void UmdFreeDeviceChange(UmdDeviceChange* pEntry)
{
  if (pEntry != nullptr) {
    HeapFree(GetProcessHeap(), 0, pEntry);
  }
}

void UmdEnqueueDeviceChange(UmdGlobal* pUmdGlobal, ULONG ulAction, const char* sPath, ULONG cbPath)
{
  if (sPath == nullptr) {
    TRACE_ERROR("str is NULL");
    return;
  }
  bool bTerminated = memchr(sPath, 0, cbPath) != nullptr;
  if (!bTerminated) {
    TRACE_WARNING("Device path was not null terminated");
  }
  // Every byte that was passed in, and a terminating zero where it had none.
  SIZE_T cbEntry = offsetof(UmdDeviceChange, path) + cbPath + 1;
  UmdDeviceChange* pNew = static_cast<UmdDeviceChange*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbEntry));
  if (pNew == nullptr) {
    TRACE_ERROR("MEMALLOC failed");
    return;
  }
  pNew->ulAction = ulAction;
  memcpy(pNew->path, sPath, cbPath);
  TRACE_INFO("queuing action=%d path=%s", (int)ulAction, pNew->path);

  UmdDeviceChange* pDiscarded = nullptr;
  ULONG ulDuplicate = 0;
  bool bRemovalQueued = false;
  EnterCriticalSection(&pUmdGlobal->csDeviceChangeQueue);
  UmdListEntry* pHead = &pUmdGlobal->DeviceChangeQueue;
  for (UmdListEntry* p = pHead->pPrev; p != pHead; p = p->pPrev) {
    UmdDeviceChange* pQueued = UmdEntryOf(p);
    if (_stricmp(pQueued->path, pNew->path) != 0) {
      continue;
    }
    if (pQueued->ulAction == DBT_DEVICEARRIVAL && ulAction == DBT_DEVICEREMOVECOMPLETE) {
      UmdListUnlink(p);
      pDiscarded = pQueued;
    } else if (pQueued->ulAction == ulAction) {
      ulDuplicate = ulAction;
    } else {
      bRemovalQueued = true;
    }
    break;
  }
  if (pDiscarded == nullptr) {
    UmdListAppend(pHead, &pNew->Links);
  }
  LeaveCriticalSection(&pUmdGlobal->csDeviceChangeQueue);

  // Lines and frees wait until the queue is free again.
  if (pDiscarded != nullptr) {
    TRACE_INFO("discarding queued arrival and the new removal notification");
    UmdFreeDeviceChange(pDiscarded);
    UmdFreeDeviceChange(pNew);
  } else if (ulDuplicate == DBT_DEVICEARRIVAL) {
    TRACE_ERROR("Duplicate DBT_DEVICEARRIVAL notifications for %s", pNew->path);
  } else if (ulDuplicate == DBT_DEVICEREMOVECOMPLETE) {
    TRACE_ERROR("Duplicate DBT_DEVICEREMOVECOMPLETE notifications for %s", pNew->path);
  } else if (bRemovalQueued) {
    TRACE_INFO("queuing new arrival for device with a removal already in the queue");
  }
  TRACE_INFO("exit");
}

UmdDeviceChange* UmdDequeueDeviceChange(UmdGlobal* pUmdGlobal)
{
  UmdDeviceChange* pEntry = nullptr;
  EnterCriticalSection(&pUmdGlobal->csDeviceChangeQueue);
  UmdListEntry* pHead = &pUmdGlobal->DeviceChangeQueue;
  if (pHead->pNext != pHead) {
    UmdListEntry* pFirst = pHead->pNext;
    UmdListUnlink(pFirst);
    pEntry = UmdEntryOf(pFirst);
  }
  LeaveCriticalSection(&pUmdGlobal->csDeviceChangeQueue);
  if (pEntry != nullptr) {
    TRACE_INFO("dequeuing action=%d path=%s", (int)pEntry->ulAction, pEntry->path);
  } else {
    TRACE_INFO("queue is empty");
  }
  return pEntry;
}

void UmdFlushDeviceChanges(UmdGlobal* pUmdGlobal)
{
  for (;;) {
    EnterCriticalSection(&pUmdGlobal->csDeviceChangeQueue);
    UmdListEntry* pHead = &pUmdGlobal->DeviceChangeQueue;
    UmdListEntry* pFirst = pHead->pNext != pHead ? pHead->pNext : nullptr;
    if (pFirst != nullptr) {
      UmdListUnlink(pFirst);
    }
    LeaveCriticalSection(&pUmdGlobal->csDeviceChangeQueue);
    if (pFirst == nullptr) {
      return;
    }
    UmdFreeDeviceChange(UmdEntryOf(pFirst));
  }
}
