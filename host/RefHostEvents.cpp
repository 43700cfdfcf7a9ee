// Reference host: hardware-event records in the shared region. Slots are
// claimed and freed under the list's mutex; a slot is in use while its record
// has a mutex.
#include "host/RefHostEvents.h"

#include <cstring>

#include "synch/SynchMgr.h"
#include "synch/SynchUtil.h"

namespace {

struct HWEventSlot {
  tHWEvent Event;
  tSWEventList List;
  tSWEvent Entries[REFHOST_MAX_SW_EVENTS];
};
static_assert(sizeof(HWEventSlot) <= REFHOST_HW_EVENT_SLOT_SIZE, "a record fits its slot");

HWEventSlot* SlotAt(RefHost* pHost, ULONG ulIndex)
{
  return reinterpret_cast<HWEventSlot*>(reinterpret_cast<BYTE*>(pHost->pMainShare) + REFHOST_HW_EVENT_AREA_OFFSET +
                                        ulIndex * REFHOST_HW_EVENT_SLOT_SIZE);
}

BOOL ListEnter(RefHost* pHost)
{
  return pHost->pMainShare != nullptr && CriticalRegionEnter(pHost->Main.hHWEventListMutex, nullptr);
}

void ListLeave(RefHost* pHost)
{
  CriticalRegionLeave(pHost->Main.hHWEventListMutex);
}

// The link that points at the record, or null when it is not listed.
tHWEvent** LinkTo(RefHost* pHost, const tHWEvent* pHWEvent)
{
  tHWEvent** pp = reinterpret_cast<tHWEvent**>(&pHost->Main.pHWEventList);
  while (*pp != nullptr && *pp != pHWEvent) {
    pp = &(*pp)->pNext;
  }
  return *pp != nullptr ? pp : nullptr;
}

}  // namespace

BOOL RefHostEventsInit(RefHost* pHost)
{
  pHost->Main.pHWEventList = nullptr;
  pHost->Main.hHWEventListMutex = CreateMutexA(nullptr, FALSE, nullptr);
  if (pHost->pMainShare != nullptr) {
    memset(SlotAt(pHost, 0), 0, REFHOST_HW_EVENT_AREA_END - REFHOST_HW_EVENT_AREA_OFFSET);
  }
  return pHost->Main.hHWEventListMutex != nullptr;
}

void RefHostEventsShutdown(RefHost* pHost)
{
  if (pHost->pMainShare != nullptr) {
    for (ULONG i = 0; i < REFHOST_MAX_HW_EVENTS; ++i) {
      CleanUpHandle(&SlotAt(pHost, i)->Event.hEventListMutex);
    }
  }
  pHost->Main.pHWEventList = nullptr;
  CleanUpHandle(&pHost->Main.hHWEventListMutex);
}

tHWEvent* RefHostAddHWEvent(RefHost* pHost, ULONG ulDuid, ULONG64 ullDeviceKey, ULONG ulEventType, ULONG ulUmdFlags)
{
  if (!ListEnter(pHost)) {
    return nullptr;
  }
  tHWEvent* pHWEvent = nullptr;
  for (ULONG i = 0; i < REFHOST_MAX_HW_EVENTS && pHWEvent == nullptr; ++i) {
    HWEventSlot* pSlot = SlotAt(pHost, i);
    if (pSlot->Event.hEventListMutex != nullptr) {
      continue;
    }
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, nullptr);
    if (hMutex == nullptr) {
      break;
    }
    memset(pSlot, 0, sizeof *pSlot);
    pHWEvent = &pSlot->Event;
    pHWEvent->DUID = ulDuid;
    pHWEvent->DeviceKey = ullDeviceKey;
    pHWEvent->ulEventType = ulEventType;
    pHWEvent->EventUMDFlag = ulUmdFlags;
    pHWEvent->pSWEventList = &pSlot->List;
    pHWEvent->hEventListMutex = hMutex;
    tHWEvent** ppLast = reinterpret_cast<tHWEvent**>(&pHost->Main.pHWEventList);
    while (*ppLast != nullptr) {
      ppLast = &(*ppLast)->pNext;
    }
    *ppLast = pHWEvent;
  }
  ListLeave(pHost);
  return pHWEvent;
}

tSWEvent* RefHostAddSWEvent(RefHost* pHost, tHWEvent* pHWEvent, ULONG ulFlags)
{
  if (pHWEvent == nullptr || !CriticalRegionEnter(pHWEvent->hEventListMutex, nullptr)) {
    return nullptr;
  }
  HWEventSlot* pSlot = reinterpret_cast<HWEventSlot*>(pHWEvent);
  tSWEventList* pList = pHWEvent->pSWEventList;
  tSWEvent* pEntry = nullptr;
  if (pList->ulCount < REFHOST_MAX_SW_EVENTS) {
    pEntry = &pSlot->Entries[pList->ulCount];
    pEntry->ulFlags = ulFlags;
    pEntry->pNext = nullptr;
    if (pList->ulCount != 0) {
      pSlot->Entries[pList->ulCount - 1].pNext = pEntry;
    } else {
      pList->pFirst = pEntry;
    }
    pList->ulCount++;
  }
  CriticalRegionLeave(pHWEvent->hEventListMutex);
  return pEntry;
}

BOOL RefHostRemoveHWEvent(RefHost* pHost, tHWEvent* pHWEvent)
{
  if (pHWEvent == nullptr || !ListEnter(pHost)) {
    return FALSE;
  }
  tHWEvent** ppLink = LinkTo(pHost, pHWEvent);
  if (ppLink != nullptr) {
    *ppLink = pHWEvent->pNext;
  }
  ListLeave(pHost);
  if (ppLink == nullptr) {
    return FALSE;
  }
  // Unlisted, so no new walker finds it; those that hold it are waited for.
  if (AcquireRemoveLock(&pHWEvent->RemoveLock)) {
    RequestLockRemoval(&pHWEvent->RemoveLock);
    ReleaseRemoveLock(&pHWEvent->RemoveLock);
  }
  if (ListEnter(pHost)) {
    HANDLE hMutex = pHWEvent->hEventListMutex;
    memset(reinterpret_cast<HWEventSlot*>(pHWEvent), 0, sizeof(HWEventSlot));
    CloseHandle(hMutex);
    ListLeave(pHost);
  }
  return TRUE;
}
