// Reference host: what the plug-in tells the host (model device, announcement,
// hardware-event reports, event reports, end of enumeration), recorded so the
// demo and the tests can see it.
#pragma once
#include <windows.h>

#include "host/RefHost.h"

constexpr ULONG REFHOST_MAX_RECORDED = 256;
constexpr ULONG REFHOST_MAX_ANNOUNCED = 32;

enum RefHostReportKind : ULONG {
  REFHOST_REPORT_MODEL_DEVICE = 6,
  REFHOST_REPORT_ANNOUNCE = 9,
  REFHOST_REPORT_HW_EVENT = 11,
  REFHOST_REPORT_EVENT = 20,
  REFHOST_REPORT_END_OF_ENUMERATION = 21,
};

struct RefHostReport {
  ULONG ulKind;                // the interface word that was called
  tDevice* pDevice;
  ULONG ulUmdIndex;
  const void* pRecord;         // model record or hardware-event record
  ULONG_PTR value;             // report value, or the event code of word 20
  ULONG ulFunctionCount;       // announcement: codes before LD_LAST_FUNCTION
  ULONG Functions[REFHOST_MAX_ANNOUNCED];
  ULONG ulEventCount;          // announcement: types before LD_EVENT_LAST_EVENT
  ULONG Events[4];
};

// Fills words 6, 9, 11, 20 and 21 of the interface record and forgets what
// was recorded before.
void RefHostReportsInit(RefHost* pHost);
void RefHostReportsReset();
// What the announcement answers from now on (TRUE by default).
void RefHostSetAnnounceResult(BOOL bResult);
// Reports of one kind (0: of every kind) recorded so far.
ULONG RefHostReportCount(ULONG ulKind);
// The n-th report of a kind (0: of every kind); FALSE past the end.
BOOL RefHostGetReport(ULONG ulKind, ULONG ulIndex, RefHostReport* pReport);
// Waits until at least ulCount reports of the kind have arrived.
BOOL RefHostWaitReports(ULONG ulKind, ULONG ulCount, DWORD dwTimeoutMs);
