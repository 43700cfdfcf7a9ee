// Model comparisons for the host's model search, and key-code translation.
// The host calls a comparison once per model, so they trace nothing but a
// null model; the matching itself lives in WndMatchPure.cpp.
#include "diag/Trace.h"
#include "framework/UmdRecords.h"
#include "system/WndMgr.h"

BOOL WndCompareDeviceModel(const tModelInfo* pIdent, ULONG ulSectionId, const void* pSectionSubId)
{
  DRAV_ASSERT(NULL != pIdent);
  return pIdent != nullptr && pIdent->ulSectionId == ulSectionId &&
         pIdent->ulSectionSubId == (ULONG)(ULONG_PTR)pSectionSubId;
}

BOOL WndCompareModelPID(const tModelInfo* pIdent, ULONG ulPid, const void* pUnused)
{
  DRAV_ASSERT(NULL != pIdent);
  return pIdent != nullptr && pIdent->usPid == ulPid;
}

BOOL WndCompareModelMWID(const tModelInfo* pIdent, ULONG ulMwid, const void* pUnused)
{
  DRAV_ASSERT(NULL != pIdent);
  return pIdent != nullptr && pIdent->ulMwid == ulMwid;
}

BOOL WndCompareModelSubID(const tModelInfo* pIdent, ULONG ulSubId, const void* pUnused)
{
  DRAV_ASSERT(NULL != pIdent);
  return pIdent != nullptr && pIdent->ulSubId == ulSubId;
}

BOOL WndCompareModelID(const tModelInfo* pIdent, ULONG ulDevId, const void* pUnused)
{
  DRAV_ASSERT(NULL != pIdent);
  return pIdent != nullptr && pIdent->ulDevId == ulDevId;
}

BOOL WndCompareQuadID(const tModelInfo* pIdent, ULONG ulQid, const void* sCache)
{
  DRAV_ASSERT(NULL != pIdent);
  return WndMatchQuadId(pIdent, ulQid, static_cast<const char*>(sCache));
}

BOOL WndCompareModelPS2(const tModelInfo* pIdent, ULONG ulPs2Id, const void* pUnused)
{
  DRAV_ASSERT(NULL != pIdent);
  return WndMatchPs2(pIdent, ulPs2Id);
}

BOOL WndCompareModelUsb(const tModelInfo* pIdent, ULONG ulKeySize, const void* pKey)
{
  return WndMatchUsb(pIdent, ulKeySize, pKey);
}

BOOL WndCompareModelUsbCache(const tModelInfo* pIdent, ULONG ulKeySize, const void* pKey)
{
  return WndMatchUsbCache(pIdent, ulKeySize, pKey);
}

BOOL WndNextModelId(const tModelInfo* pIdent, ULONG ulUnused, const void* pCandidate)
{
  // The search hands every comparison a constant key; this one is the
  // caller's own counter, written on purpose.
  WndRaiseModelId(pIdent, const_cast<ULONG*>(static_cast<const ULONG*>(pCandidate)));
  return FALSE;
}

ULONG WndKeyCodeToScanCode(const void* pUnused, ULONG ulKeyCode, ULONG ulFlags)
{
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndKeyCodeToScanCode - KeyCode:0x%08X - TBL:0x%08X.\n", (unsigned)ulKeyCode,
                 (unsigned)ulFlags);
  ULONG ulScanCode = WndTranslateKeyCode(ulKeyCode, ulFlags);
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndKeyCodeToScanCode - 0x%08X -> 0x%08X.\n",
                 (unsigned)(ulKeyCode & WND_KEY_CODE_MASK), (unsigned)ulScanCode);
  return ulScanCode;
}

ULONG WndScanCodeToKeyCode(const tDevice* pDevice, ULONG ulScanCode, ULONG ulFlags)
{
  // A caller without a device still gets its translation.
  ULONG ulDuid = pDevice != nullptr ? pDevice->DUID : 0;
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndScanCodeToKeyCode - DUID:0x%08X - Scan:0x%08X - TBL:0x%08X.\n",
                 (unsigned)ulDuid, (unsigned)ulScanCode, (unsigned)ulFlags);
  ULONG ulKeyCode = WndTranslateScanCode(ulScanCode, ulFlags);
  TRACE_CATEGORY(TRACE_CAT_SYSTEM, "WndScanCodeToKeyCode - 0x%08X -> 0x%08X.\n", (unsigned)ulScanCode,
                 (unsigned)ulKeyCode);
  return ulKeyCode;
}
