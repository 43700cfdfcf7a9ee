// Reference host: recording of the plug-in's reports.
#include "host/RefHostReports.h"

#include <cstring>

#include "plugin/LdCodes.h"

namespace {

struct ReportLog {
  SRWLOCK lock;
  CONDITION_VARIABLE changed;
  ULONG ulCount;
  RefHostReport Reports[REFHOST_MAX_RECORDED];
  BOOL bAnnounceResult;
};

ReportLog s_Log = { SRWLOCK_INIT, CONDITION_VARIABLE_INIT, 0, {}, TRUE };

void Record(const RefHostReport& report)
{
  AcquireSRWLockExclusive(&s_Log.lock);
  // Past the log's size reports are not kept; no test or demo step makes that many.
  if (s_Log.ulCount < REFHOST_MAX_RECORDED) {
    s_Log.Reports[s_Log.ulCount++] = report;
  }
  ReleaseSRWLockExclusive(&s_Log.lock);
  WakeAllConditionVariable(&s_Log.changed);
}

ULONG CountLocked(ULONG ulKind)
{
  ULONG n = 0;
  for (ULONG i = 0; i < s_Log.ulCount; ++i) {
    n += ulKind == 0 || s_Log.Reports[i].ulKind == ulKind;
  }
  return n;
}

void ModelDeviceOp(ULONG ulUmdIndex, tDevice* pDevice, const tModelInfo* pModel)
{
  RefHostReport r = {};
  r.ulKind = REFHOST_REPORT_MODEL_DEVICE;
  r.pDevice = pDevice;
  r.ulUmdIndex = ulUmdIndex;
  r.pRecord = pModel;
  Record(r);
}

// Copies a list up to its end code; a list without one is cut at the array's size.
ULONG CopyList(const ULONG* pList, ULONG ulEnd, ULONG* pOut, ULONG ulMax)
{
  ULONG n = 0;
  while (pList != nullptr && n < ulMax && pList[n] != ulEnd) {
    pOut[n] = pList[n];
    ++n;
  }
  return n;
}

BOOL AnnounceOp(tDevice* pDevice, ULONG ulZero, ULONG ulUmdIndex, const ULONG* pFunctions, const ULONG* pEvents)
{
  RefHostReport r = {};
  r.ulKind = REFHOST_REPORT_ANNOUNCE;
  r.pDevice = pDevice;
  r.ulUmdIndex = ulUmdIndex;
  r.ulFunctionCount = CopyList(pFunctions, LD_LAST_FUNCTION, r.Functions, REFHOST_MAX_ANNOUNCED);
  r.ulEventCount = CopyList(pEvents, LD_EVENT_LAST_EVENT, r.Events, 4);
  Record(r);
  AcquireSRWLockShared(&s_Log.lock);
  BOOL bResult = s_Log.bAnnounceResult;
  ReleaseSRWLockShared(&s_Log.lock);
  return bResult;
}

void ReportHwEventOp(tDevice* pDevice, void* pHWEvent, ULONG_PTR value, ULONG_PTR, ULONG_PTR)
{
  RefHostReport r = {};
  r.ulKind = REFHOST_REPORT_HW_EVENT;
  r.pDevice = pDevice;
  r.pRecord = pHWEvent;
  r.value = value;
  Record(r);
}

void ReportEventOp(ULONG ulEvent, ULONG_PTR value, ULONG_PTR)
{
  RefHostReport r = {};
  r.ulKind = REFHOST_REPORT_EVENT;
  r.ulUmdIndex = ulEvent;
  r.value = value;
  Record(r);
}

void EndOfEnumerationOp()
{
  RefHostReport r = {};
  r.ulKind = REFHOST_REPORT_END_OF_ENUMERATION;
  Record(r);
}

}  // namespace

void RefHostReportsInit(RefHost* pHost)
{
  RefHostReportsReset();
  pHost->Api[HOST_MODEL_DEVICE] = reinterpret_cast<ULONG_PTR>(&ModelDeviceOp);
  pHost->Api[HOST_ANNOUNCE] = reinterpret_cast<ULONG_PTR>(&AnnounceOp);
  pHost->Api[HOST_REPORT_HW_EVENT] = reinterpret_cast<ULONG_PTR>(&ReportHwEventOp);
  pHost->Api[HOST_REPORT_EVENT] = reinterpret_cast<ULONG_PTR>(&ReportEventOp);
  pHost->Api[HOST_END_OF_ENUMERATION] = reinterpret_cast<ULONG_PTR>(&EndOfEnumerationOp);
}

void RefHostReportsReset()
{
  AcquireSRWLockExclusive(&s_Log.lock);
  s_Log.ulCount = 0;
  s_Log.bAnnounceResult = TRUE;
  ReleaseSRWLockExclusive(&s_Log.lock);
}

void RefHostSetAnnounceResult(BOOL bResult)
{
  AcquireSRWLockExclusive(&s_Log.lock);
  s_Log.bAnnounceResult = bResult;
  ReleaseSRWLockExclusive(&s_Log.lock);
}

ULONG RefHostReportCount(ULONG ulKind)
{
  AcquireSRWLockShared(&s_Log.lock);
  ULONG n = CountLocked(ulKind);
  ReleaseSRWLockShared(&s_Log.lock);
  return n;
}

BOOL RefHostGetReport(ULONG ulKind, ULONG ulIndex, RefHostReport* pReport)
{
  BOOL bFound = FALSE;
  AcquireSRWLockShared(&s_Log.lock);
  for (ULONG i = 0, n = 0; i < s_Log.ulCount && !bFound; ++i) {
    if (ulKind == 0 || s_Log.Reports[i].ulKind == ulKind) {
      if (n++ == ulIndex) {
        *pReport = s_Log.Reports[i];
        bFound = TRUE;
      }
    }
  }
  ReleaseSRWLockShared(&s_Log.lock);
  return bFound;
}

BOOL RefHostWaitReports(ULONG ulKind, ULONG ulCount, DWORD dwTimeoutMs)
{
  ULONGLONG ullEnd = GetTickCount64() + dwTimeoutMs;
  AcquireSRWLockExclusive(&s_Log.lock);
  BOOL bReached;
  while (!(bReached = CountLocked(ulKind) >= ulCount)) {
    ULONGLONG ullNow = GetTickCount64();
    if (ullNow >= ullEnd ||
        !SleepConditionVariableSRW(&s_Log.changed, &s_Log.lock, (DWORD)(ullEnd - ullNow), 0)) {
      bReached = CountLocked(ulKind) >= ulCount;
      break;
    }
  }
  ReleaseSRWLockExclusive(&s_Log.lock);
  return bReached;
}
