// Sections of a model file: model sections with their keys, key lists and
// the unsupported section. Pure text work over the heap helpers.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "models/IniMgr.h"
#include "models/IniPlatform.h"

static void UpperInPlace(char* s, size_t ulSize)
{
  for (size_t i = 0; i < ulSize && s[i] != '\0'; ++i) {
    if (s[i] >= 'a' && s[i] <= 'z') s[i] = (char)(s[i] - 'a' + 'A');
  }
}

// A hexadecimal value written "0X..." (after upper-casing), read from its
// third character.
static bool ReadHexValue(const char* sValue, size_t ulMinLength, unsigned* puValue)
{
  if (strstr(sValue, "0X") == nullptr || strlen(sValue) < ulMinLength) {
    return false;
  }
  return sscanf(sValue + 2, "%x", puValue) == 1;
}

static char* HeapCopy(const char* s)
{
  size_t n = strlen(s);
  char* p = static_cast<char*>(IniHeapAlloc(n + 1));
  if (p != nullptr) {
    memcpy(p, s, n + 1);
  }
  return p;
}

BOOL IniLoadNumeric(char* sValue, size_t ulBufferSize, ULONG* pulDest)
{
  if (sValue == nullptr || pulDest == nullptr) {
    INI_ASSERT_TEXT(FALSE, "FALSE");
    return FALSE;
  }
  UpperInPlace(sValue, ulBufferSize);
  unsigned uValue = 0;
  if (ReadHexValue(sValue, 3, &uValue)) {
    *pulDest = uValue;
    return TRUE;
  }
  INI_TRACE("IniLoadSection -   Invalid numeric value format '%s'.\n", sValue);
  INI_ASSERT_TEXT(FALSE, "FALSE");
  return FALSE;
}

BOOL IniLoadString(const char* sKey, char** psDest, char* sText)
{
  INI_ASSERT(psDest);
  if (psDest == nullptr) {
    return FALSE;
  }
  char sValue[INI_STRING_VALUE_SIZE];
  if (IniGetKeyValue(sKey, sValue, sizeof sValue, sText) == nullptr || strlen(sValue) >= INI_MAX_STRING) {
    return FALSE;
  }
  char* p = HeapCopy(sValue);
  if (p == nullptr) {
    return FALSE;
  }
  *psDest = p;
  return TRUE;
}

void IniFreeModelInfo(tModelInfo* pModel)
{
  if (pModel == nullptr) {
    INI_ERROR("pModel is NULL");
    return;
  }
  char** apStrings[] = {&pModel->sModelName, &pModel->sReg,   &pModel->sCap,  &pModel->sDepth,
                        &pModel->sMinTerm,   &pModel->sRemap, &pModel->sCache};
  for (char** pp : apStrings) {
    if (*pp != nullptr) {
      IniHeapFree(*pp);
      *pp = nullptr;
    }
  }
  tKeySequence* pSeq = pModel->pKeyList;
  while (pSeq != nullptr) {
    tKeySequence* pNext = pSeq->pNext;
    IniHeapFree(pSeq);
    pSeq = pNext;
  }
  pModel->pKeyList = nullptr;
}

BOOL IniLoadKeyList(const char* sKey, tKeySequence** psDest, char* sText)
{
  INI_ASSERT(psDest);
  if (psDest == nullptr) {
    return FALSE;
  }
  tKeySequence** ppTail = psDest;
  while (*ppTail != nullptr) ppTail = &(*ppTail)->pNext;

  BOOL bAny = FALSE;
  char sValue[INI_STRING_VALUE_SIZE];
  char* p = sText;
  while ((p = IniGetKeyValue(sKey, sValue, sizeof sValue, p)) != nullptr) {
    if (strlen(sValue) >= INI_MAX_STRING) {
      INI_ERROR("INI string too long");
      continue;
    }
    auto* pWork = static_cast<tKeySequence*>(IniHeapAlloc(sizeof(tKeySequence)));
    if (pWork == nullptr) {
      INI_WARNING("MEMALLOC failed");
      continue;
    }
    if (ParseKeySequence(pWork, sValue)) {
      size_t ulSize = KEY_SEQUENCE_HEADER_SIZE + (size_t)pWork->ulLength;
      auto* pSeq = static_cast<tKeySequence*>(IniHeapAlloc(ulSize));
      if (pSeq == nullptr) {
        INI_WARNING("MEMALLOC failed");
      } else {
        memcpy(static_cast<void*>(pSeq), pWork, ulSize);
        pSeq->pNext = nullptr;
        *ppTail = pSeq;
        ppTail = &pSeq->pNext;
        bAny = TRUE;
      }
    }
    IniHeapFree(pWork);
  }
  return bAny;
}

// Decimal key ("%d"): TRUE when taken.
static bool LoadDecimalKey(const char* sKey, char* sBody, ULONG* pulDest, const char* sName)
{
  char sValue[INI_VALUE_SIZE];
  if (IniGetKeyValue(sKey, sValue, sizeof sValue, sBody) == nullptr) {
    return false;
  }
  int iValue = 0;
  if (sscanf(sValue, "%d", &iValue) == 1) {
    *pulDest = (ULONG)iValue;
    IniTraceCategory(INI_TRACE_CATEGORY, "IniLoadSection", "IniLoadSection -   %s=%d.\n", sName, iValue);
    return true;
  }
  IniTraceCategory(INI_TRACE_CATEGORY, "IniLoadSection", "IniLoadSection -   INVALID %s '%s'.\n", sName, sValue);
  IniTraceAssert("IniLoadSection", __FILE_NAME__, __LINE__, "FALSE");
  return false;
}

// Hexadecimal 16-bit key written "0x...": TRUE when taken. *pbPresent tells
// whether the key was there at all.
static bool LoadHex16Key(const char* sKey, char* sBody, USHORT* pusDest, bool bIgnoreWithoutPrefix,
                         bool* pbPresent)
{
  char sValue[INI_VALUE_SIZE];
  *pbPresent = IniGetKeyValue(sKey, sValue, sizeof sValue, sBody) != nullptr;
  if (!*pbPresent) {
    return false;
  }
  UpperInPlace(sValue, sizeof sValue);
  if (bIgnoreWithoutPrefix && strstr(sValue, "0X") == nullptr) {
    return false;
  }
  unsigned uValue = 0;
  if (ReadHexValue(sValue, 3, &uValue)) {
    *pusDest = (USHORT)uValue;
    IniTraceCategory(INI_TRACE_CATEGORY, "IniLoadSection", "IniLoadSection -   %s=0x%04X.\n", sKey, uValue & 0xFFFF);
    return true;
  }
  IniTraceCategory(INI_TRACE_CATEGORY, "IniLoadSection", "IniLoadSection -   INVALID %s '%s'.\n", sKey, sValue);
  IniTraceAssert("IniLoadSection", __FILE_NAME__, __LINE__, "FALSE");
  return false;
}

// "BCDDEVICE = 0x1200, 0xFF00": revision and optional mask.
static void LoadBcdDevice(tModelInfo* pModel, char* sBody)
{
  char sValue[INI_VALUE_SIZE];
  if (IniGetKeyValue("BCDDEVICE", sValue, sizeof sValue, sBody) == nullptr) {
    return;
  }
  UpperInPlace(sValue, sizeof sValue);
  if (strstr(sValue, "0X") == nullptr) {
    return;
  }
  unsigned uValue = 0;
  if (!ReadHexValue(sValue, 3, &uValue)) {
    IniTraceCategory(INI_TRACE_CATEGORY, "IniLoadSection", "IniLoadSection -   INVALID BCDDEVICE '%s'.\n", sValue);
    IniTraceAssert("IniLoadSection", __FILE_NAME__, __LINE__, "FALSE");
    return;
  }
  pModel->usBcdDevice = (USHORT)uValue;
  pModel->usBcdMask = 0xFFFF;
  const char* pComma = strchr(sValue, ',');
  const char* pMask = pComma != nullptr ? strstr(pComma, "0X") : nullptr;
  unsigned uMask = 0;
  if (pMask != nullptr && sscanf(pMask + 2, "%x", &uMask) == 1) {
    pModel->usBcdMask = (USHORT)uMask;
  }
  IniTraceCategory(INI_TRACE_CATEGORY, "IniLoadSection", "IniLoadSection -   BCDDEVICE=0x%04X, MASK=0x%04X.\n",
                   pModel->usBcdDevice, pModel->usBcdMask);
}

BOOL IniLoadSection(tModelInfo* pModel, char* sSection)
{
  if (pModel == nullptr || sSection == nullptr) {
    INI_ERROR("NULL Pointer.");
    return FALSE;
  }
  if (strncmp(sSection, "[0x", 3) != 0) {
    INI_TRACE("IniLoadSection - Exit - Wrong Section Header.\n");
    return FALSE;
  }
  bool bDash = false;
  char* p = sSection;
  for (; *p != '\0' && *p != ']'; ++p) {
    if (*p == '-') {
      *p = ' ';
      bDash = true;
    }
  }
  if (*p != ']') {
    INI_TRACE("IniLoadSection - Exit - Missing ']' in Section Header.\n");
    return FALSE;
  }
  *p = '\0';
  char* sBody = p + 1;
  unsigned uId = 0;
  unsigned uSubId = 0;
  if (bDash) {
    if (sscanf(sSection + 3, "%x %x", &uId, &uSubId) < 2) {
      return FALSE;
    }
    pModel->ulSectionId = uId;
    pModel->ulSectionSubId = uSubId;
    INI_TRACE("IniLoadSection - [%08X-%X].\n", uId, uSubId);
  } else {
    if (sscanf(sSection + 3, "%x", &uId) < 1) {
      INI_TRACE("IniLoadSection - Exit - '%s' Not Hexa value.\n", sSection + 3);
      return FALSE;
    }
    pModel->ulSectionId = uId;
    pModel->ulSectionSubId = 0;
    INI_TRACE("IniLoadSection - [%08X].\n", uId);
  }

  BOOL bTaken = FALSE;
  char sValue[INI_VALUE_SIZE];
  if (LoadDecimalKey("MWID", sBody, &pModel->ulMwid, "MWID")) bTaken = TRUE;
  if (IniGetKeyValue("LNPCOL", sValue, sizeof sValue, sBody) != nullptr) {
    IniLoadNumeric(sValue, sizeof sValue, &pModel->ulLnpCol);
  }
  bool bPidPresent = false;
  if (LoadHex16Key("PID", sBody, &pModel->usPid, false, &bPidPresent)) bTaken = TRUE;
  if (bPidPresent) {
    pModel->usVid = INI_DEFAULT_VENDOR_ID;
    bool bVidPresent = false;
    LoadHex16Key("VID", sBody, &pModel->usVid, true, &bVidPresent);
    pModel->usBcdDevice = 0;
    LoadBcdDevice(pModel, sBody);
  }
  if (LoadDecimalKey("DEVID", sBody, &pModel->ulDevId, "DEVID")) bTaken = TRUE;
  if (LoadDecimalKey("SUBID", sBody, &pModel->ulSubId, "SUBID")) bTaken = TRUE;

  struct {
    const char* sKey;
    char** psDest;
  } aStrings[] = {{"CAP", &pModel->sCap},         {"DEPTH", &pModel->sDepth}, {"MINTERM", &pModel->sMinTerm},
                  {"NAME", &pModel->sModelName}, {"REMAP", &pModel->sRemap}, {"CACHE", &pModel->sCache}};
  for (auto& s : aStrings) {
    if (IniLoadString(s.sKey, s.psDest, sBody)) bTaken = TRUE;
  }
  if (IniLoadKeyList("KEY", &pModel->pKeyList, sBody)) bTaken = TRUE;

  pModel->sReg = nullptr;
  if (IniGetKeyValue("REG", sValue, sizeof sValue, sBody) != nullptr) {
    INI_TRACE("IniLoadSection -    REG=%s.\n", sValue);
    if (strlen(sValue) < INI_MAX_STRING) {
      RegStringToMap(sValue, sizeof sValue);
      pModel->sReg = HeapCopy(sValue);
      if (pModel->sReg != nullptr) bTaken = TRUE;
    }
  }
  bool bQidPresent = false;
  if (LoadHex16Key("QID", sBody, &pModel->usQid, false, &bQidPresent)) bTaken = TRUE;
  return bTaken;
}

BOOL IniLoadUnsupportedSection(ULONG** ppulUnsupported, ULONG* pulUnsupportedCount, char* sSection)
{
  static const char kHeader[] = "[Unsupported]";
  if (sSection == nullptr) {
    return FALSE;
  }
  for (size_t i = 0; i + 1 < sizeof kHeader; ++i) {
    char c = sSection[i];
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    char h = kHeader[i];
    if (h >= 'a' && h <= 'z') h = (char)(h - 'a' + 'A');
    if (c != h) {
      return FALSE;   // also when the text ends early
    }
  }
  char* sBody = strchr(sSection, '\n');
  sBody = sBody != nullptr ? sBody + 1 : sSection + strlen(sSection);
  if (pulUnsupportedCount == nullptr) {
    INI_TRACE("IniLoadUnsupportedSection - Exit - Must provide non-null pointer to ulUnsupportedCount.\n");
    return FALSE;
  }
  if (ppulUnsupported == nullptr) {
    return TRUE;
  }
  if (*ppulUnsupported != nullptr) {
    INI_TRACE("IniLoadUnsupportedSection - Exit - Duplicate Unsupported Section.\n");
    return FALSE;
  }

  ULONG ulCount = 0;
  BOOL bEnd = FALSE;
  for (char* p = sBody; !bEnd;) {
    p = ParseUnsupportedListKey(&bEnd, p, &ulCount, nullptr, nullptr);
  }
  auto* pulList = static_cast<ULONG*>(IniHeapAlloc((size_t)ulCount * sizeof(ULONG)));
  if (pulList == nullptr) {
    // Nothing is handed out: no list, no count.
    INI_TRACE("IniLoadUnsupportedSection - Exit - Could not allocate memory.\n");
    *pulUnsupportedCount = 0;
    return FALSE;
  }
  ULONG ulIndex = 0;
  bEnd = FALSE;
  for (char* p = sBody; !bEnd;) {
    p = ParseUnsupportedListKey(&bEnd, p, &ulCount, &ulIndex, &pulList);
  }
  std::sort(pulList, pulList + ulIndex);
  *ppulUnsupported = pulList;
  *pulUnsupportedCount = ulIndex;
  return TRUE;
}
