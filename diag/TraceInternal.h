// Inner parts of the trace writer, visible to its tests.
#pragma once
#include <windows.h>

constexpr int TRACE_THREAD_SLOTS = 10;

struct TraceThreadSlot {
  volatile LONG ulThreadId;      // 0 = never used
  const char* sFunction;
  ULONG ulNesting;               // guards the viewer steps against re-entry
  LONG lStamp;                   // use counter at the last lookup
};

extern TraceThreadSlot g_TraceSlots[TRACE_THREAD_SLOTS];

// The host's records as far as the trace reads them (their layouts are the
// host's; the trace includes nothing of the layers above it).
struct TraceHostWords {      // start of the host's main shared region
  LONG lSize;
  ULONG ulPosTag;
  DWORD dwDebugLevel;
  DWORD dwModuleCategory;
};
constexpr size_t TRACE_DEVICE_NAME_OFFSET = 140;   // name text in the host's device record

TraceThreadSlot* TraceFindThreadSlot(DWORD dwThreadId, BOOL bCreate);
void TraceReadRegistry();
// Forgets the open log file of this process (tests that switch files).
void TraceResetLogFile();
