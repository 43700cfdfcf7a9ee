#include "host/RefHostModels.h"

#include <cstdlib>

#include "diag/Trace.h"
#include "models/IniMgr.h"
#include "models/IniPlatform.h"

namespace {
// One database per process, like the host's other state: the operations in
// the interface record carry no context.
struct RefHostModelDb {
  SRWLOCK lock = SRWLOCK_INIT;
  tModelInfo* pTable = nullptr;
  ULONG ulCount = 0;
  ULONG* pulUnsupported = nullptr;
  ULONG ulUnsupportedCount = 0;
};
RefHostModelDb s_db;
}  // namespace

ULONG RefHostModelsLoad(const char* sFolder, ULONG ulFlags, BOOL bWarnOverwrite)
{
  AcquireSRWLockExclusive(&s_db.lock);
  ULONG ulAdded = IniLoadFilesFromPath(&s_db.pTable, &s_db.ulCount, &s_db.pulUnsupported, &s_db.ulUnsupportedCount,
                                       sFolder, ulFlags, bWarnOverwrite);
  ReleaseSRWLockExclusive(&s_db.lock);
  TRACE_INFO("%lu models added from '%s', %lu in the table.", ulAdded, sFolder ? sFolder : "(null)", s_db.ulCount);
  return ulAdded;
}

void RefHostModelsFree()
{
  AcquireSRWLockExclusive(&s_db.lock);
  IniFreeModelTable(s_db.pTable, s_db.ulCount);
  IniHeapFree(s_db.pulUnsupported);
  s_db.pTable = nullptr;
  s_db.ulCount = 0;
  s_db.pulUnsupported = nullptr;
  s_db.ulUnsupportedCount = 0;
  ReleaseSRWLockExclusive(&s_db.lock);
}

const tModelInfo* RefHostFindModel(ULONG ulZero, PFN_HOST_MODEL_COMPARE pfnCompare, ULONG ulKeySize,
                                   const void* pKey)
{
  if (pfnCompare == nullptr) {
    TRACE_ERROR("NULL comparison.");
    return nullptr;
  }
  const tModelInfo* pFound = nullptr;
  AcquireSRWLockShared(&s_db.lock);
  for (ULONG i = 0; i < s_db.ulCount; ++i) {
    if (pfnCompare(&s_db.pTable[i], ulKeySize, pKey)) {
      pFound = &s_db.pTable[i];
      break;
    }
  }
  ReleaseSRWLockShared(&s_db.lock);
  return pFound;
}

ULONG RefHostModelsCount()
{
  AcquireSRWLockShared(&s_db.lock);
  ULONG n = s_db.ulCount;
  ReleaseSRWLockShared(&s_db.lock);
  return n;
}

const tModelInfo* RefHostModelAt(ULONG ulIndex)
{
  AcquireSRWLockShared(&s_db.lock);
  const tModelInfo* p = ulIndex < s_db.ulCount ? &s_db.pTable[ulIndex] : nullptr;
  ReleaseSRWLockShared(&s_db.lock);
  return p;
}

static int CompareEntries(const void* a, const void* b)
{
  ULONG x = *static_cast<const ULONG*>(a);
  ULONG y = *static_cast<const ULONG*>(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

BOOL RefHostModelsIsUnsupported(ULONG ulType, ULONG ulValue)
{
  ULONG ulEntry = (ulType << 24) | (ulValue & 0xFFFF);
  AcquireSRWLockShared(&s_db.lock);
  BOOL bFound = s_db.pulUnsupported != nullptr &&
                bsearch(&ulEntry, s_db.pulUnsupported, s_db.ulUnsupportedCount, sizeof(ULONG), CompareEntries) !=
                    nullptr;
  ReleaseSRWLockShared(&s_db.lock);
  return bFound;
}

ULONG RefHostModelsUnsupportedCount()
{
  AcquireSRWLockShared(&s_db.lock);
  ULONG n = s_db.ulUnsupportedCount;
  ReleaseSRWLockShared(&s_db.lock);
  return n;
}

static const char* OrDash(const char* s) { return s != nullptr ? s : "-"; }

void RefHostModelsPrint(FILE* pOut)
{
  if (pOut == nullptr) {
    return;
  }
  AcquireSRWLockShared(&s_db.lock);
  fprintf(pOut, "Models: %lu\n", s_db.ulCount);
  for (ULONG i = 0; i < s_db.ulCount; ++i) {
    const tModelInfo& m = s_db.pTable[i];
    ULONG ulKeys = 0;
    for (const tKeySequence* p = m.pKeyList; p != nullptr; p = p->pNext) ulKeys++;
    fprintf(pOut, "  [%08lX-%lX] VID %04X PID %04X BCD %04X/%04X '%s' DEPTH %s MINTERM %s CAP %s REG %s keys %lu\n",
            m.ulSectionId, m.ulSectionSubId, m.usVid, m.usPid, m.usBcdDevice, m.usBcdMask, OrDash(m.sModelName),
            OrDash(m.sDepth), OrDash(m.sMinTerm), OrDash(m.sCap), OrDash(m.sReg), ulKeys);
  }
  fprintf(pOut, "Unsupported: %lu\n", s_db.ulUnsupportedCount);
  for (ULONG i = 0; i < s_db.ulUnsupportedCount; ++i) {
    fprintf(pOut, "  0x%08lX\n", s_db.pulUnsupported[i]);
  }
  ReleaseSRWLockShared(&s_db.lock);
  fflush(pOut);
}
