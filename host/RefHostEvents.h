// Reference host: hardware-event records with their software events, kept in
// the host's shared region and listed from its main record under the list's mutex.
#pragma once
#include <windows.h>

#include "host/RefHost.h"

// The records' part of the shared region: fixed slots, one record each, with
// its software-event list and entries behind it.
constexpr ULONG REFHOST_HW_EVENT_AREA_OFFSET = 0x20000;
constexpr ULONG REFHOST_HW_EVENT_AREA_END = 0x28000;
constexpr ULONG REFHOST_HW_EVENT_SLOT_SIZE = 0x400;
constexpr ULONG REFHOST_MAX_HW_EVENTS =
  (REFHOST_HW_EVENT_AREA_END - REFHOST_HW_EVENT_AREA_OFFSET) / REFHOST_HW_EVENT_SLOT_SIZE;
constexpr ULONG REFHOST_MAX_SW_EVENTS = 16;   // per hardware event
static_assert(REFHOST_HW_EVENT_AREA_END <= REFHOST_SHARED_SIZE, "the records fit the region");

// Called by RefHostInit / RefHostShutdown: the empty list and its mutex.
BOOL RefHostEventsInit(RefHost* pHost);
void RefHostEventsShutdown(RefHost* pHost);

// A record for the device (DUID and device key), appended to the list with
// its own mutex and an empty software-event list; null when all slots are used.
tHWEvent* RefHostAddHWEvent(RefHost* pHost, ULONG ulDuid, ULONG64 ullDeviceKey, ULONG ulEventType,
                            ULONG ulUmdFlags);
// Appends a software event to the record; null when its entries are used up.
tSWEvent* RefHostAddSWEvent(RefHost* pHost, tHWEvent* pHWEvent, ULONG ulFlags);
// Unlinks the record, waits (bounded) for the holders of its own lock and
// frees its slot. FALSE for a record that is not listed.
BOOL RefHostRemoveHWEvent(RefHost* pHost, tHWEvent* pHWEvent);
