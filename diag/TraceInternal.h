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

TraceThreadSlot* TraceFindThreadSlot(DWORD dwThreadId, BOOL bCreate);
void TraceReadRegistry();
// Forgets the open log file of this process (tests that switch files).
void TraceResetLogFile();
