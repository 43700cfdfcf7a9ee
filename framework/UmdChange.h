// The instance's device-change queue: interface arrivals and removals noted by
// the message window, drained one work item at a time.
#pragma once
#include <windows.h>

#include "framework/UmdRecords.h"

struct UmdDeviceChange {
  UmdListEntry Links;    // first, so an entry is its own list link
  ULONG ulAction;        // DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE
  CHAR path[1];          // zero-terminated; the entry is allocated to fit it
};

// cbPath: bytes available at sPath (for a broadcast, its size field less its head).
void UmdEnqueueDeviceChange(UmdGlobal* pUmdGlobal, ULONG ulAction, const char* sPath, ULONG cbPath);
// The oldest entry, unlinked (the caller frees it with UmdFreeDeviceChange), or null.
UmdDeviceChange* UmdDequeueDeviceChange(UmdGlobal* pUmdGlobal);
void UmdFreeDeviceChange(UmdDeviceChange* pEntry);
// Frees every entry still queued (the instance is stopping).
void UmdFlushDeviceChanges(UmdGlobal* pUmdGlobal);
// The work item that drains the queue; one owner at a time.
ULONG UmdProcessDeviceChanges(void* pUmdGlobal);
