// Model comparisons and key-code translation tables: pure logic.
#include "system/WndMatchPure.h"

#include <cstring>

namespace {

// Key code -> scan code; the flag bit that selects each table is in the
// header. A, B, D and F1 are searched by key code, A, B, C, D, E and F2 by
// scan code.
constexpr tKeyScanPair kTableA[] = {
    {0x0C00B5, 0xC0000019}, {0x0C00B6, 0xC0000010}, {0x0C00B7, 0xC0000024}, {0x0C00CD, 0xC0000022},
    {0x0C00E2, 0xC0000020}, {0x0C00E9, 0xC0000030}, {0x0C00EA, 0xC000002E}, {0x0C0183, 0xC000006D},
    {0x0C018A, 0xC000006C}, {0x0C0192, 0xC0000021}, {0x0C0194, 0xC000006B}, {0x0C0221, 0xC0000065},
    {0x0C0223, 0xC0000032}, {0x0C0224, 0xC000006A}, {0x0C0225, 0xC0000069}, {0x0C0226, 0xC0000068},
    {0x0C0227, 0xC0000067}, {0x0C022A, 0xC0000066}, {0x010082, 0xC000005F},
};
constexpr tKeyScanPair kTableB[] = {
    {0x090010, 0x0000006F}, {0x090011, 0x0000006A}, {0x090012, 0x0000006D}, {0x090013, 0x0000006B},
    {0x090014, 0x0000006E}, {0x090015, 0x00000000}, {0x090016, 0x00000060},
};
constexpr tKeyScanPair kTableC[] = {
    {0x090001, 0xC0000011}, {0x090002, 0xC0000012}, {0x090003, 0xC0000013}, {0x090004, 0xC0000014},
    {0x090005, 0xC0000015}, {0x090006, 0xC0000016}, {0x090007, 0xC0000017}, {0x090008, 0xC0000018},
    {0x09000A, 0xC0000055}, {0x09000B, 0xC0000077}, {0x09000C, 0xC0000056}, {0x09000D, 0xC000006E},
    {0x09000E, 0xC000006F}, {0x09000F, 0xC0000070}, {0x090010, 0xC0000071}, {0x090011, 0xC0000072},
    {0x090012, 0xC0000073}, {0x090013, 0xC0000074}, {0x090014, 0xC0000075}, {0x090015, 0xC0000078},
    {0x090016, 0xC0000031}, {0x090017, 0xC000002F}, {0x090018, 0xC000002D}, {0x090019, 0xC000002C},
    {0x09001A, 0xC0000025}, {0x09001B, 0xC0000026}, {0x09001C, 0xC0000001}, {0x09001D, 0xC0000002},
    {0x09001E, 0xC0000003}, {0x09001F, 0xC0000004}, {0x090020, 0x8000006A}, {0x090021, 0x8000006B},
    {0x090022, 0x8000006C}, {0x090023, 0x8000006D}, {0x090024, 0x8000006E}, {0x090025, 0x8000006F},
    {0x090026, 0x80000055}, {0x090027, 0x8000005A}, {0x090028, 0x80000071}, {0x090029, 0x80000072},
    {0x090040, 0xC000005A}, {0x090041, 0xC000003B}, {0x090042, 0xC000003C}, {0x090043, 0xC000003D},
    {0x090044, 0xC000003E}, {0x090045, 0xC000003F}, {0x090046, 0xC0000040}, {0x090047, 0xC0000041},
    {0x090048, 0xC0000042}, {0x090049, 0xC0000043}, {0x09004A, 0xC0000044}, {0x09004B, 0xC0000057},
    {0x09004C, 0xC0000058},
};
constexpr tKeyScanPair kTableD[] = {
    {0x090070, 0x20000060}, {0x090071, 0x20000061}, {0x090072, 0x20000062}, {0x090073, 0x20000063},
    {0x090074, 0x20000064}, {0x090075, 0x20000065}, {0x090076, 0x20000066}, {0x090077, 0x20000067},
    {0x090078, 0x20000068}, {0x090079, 0x20000069}, {0x09007A, 0x2000006E}, {0x09006C, 0x2000006F},
    {0x09006D, 0x2000006A}, {0x09006E, 0x2000006D}, {0x09006F, 0x2000006B},
};
constexpr tKeyScanPair kTableE[] = {
    {0x0C0095, 0xC000003B}, {0x0C0184, 0xC000003C}, {0x0C0186, 0xC000003D}, {0x0C0188, 0xC000003E},
    {0x0C021A, 0xC000003F}, {0x0C0279, 0xC0000040}, {0x0C0208, 0xC0000041}, {0x0C0207, 0xC0000042},
    {0x0C01BC, 0xC0000011}, {0x0C022F, 0x8000006B}, {0x0C022E, 0xC0000004}, {0x0C022D, 0x8000006A},
};
// Flag 0x20 names the same three key codes in both directions but with other
// scan codes each way.
constexpr tKeyScanPair kTableF1[] = {
    {0x0700B6, 0x10000028}, {0x0700B7, 0x10000029}, {0x070067, 0x1000003D},
};
constexpr tKeyScanPair kTableF2[] = {
    {0x0700B6, 0xC000004C}, {0x0700B7, 0xC0000064}, {0x070067, 0x80000059},
};

struct tKeyTable {
  ULONG ulFlag;
  const tKeyScanPair* pTable;
  ULONG ulSize;
};
#define KEY_TABLE(flag, table) {flag, table, (ULONG)sizeof(table)}

// Search orders: the first selected table with a non-zero answer wins.
constexpr tKeyTable kKeyToScanOrder[] = {
    KEY_TABLE(WND_KEY_TABLE_A, kTableA),
    KEY_TABLE(WND_KEY_TABLE_B, kTableB),
    KEY_TABLE(WND_KEY_TABLE_D, kTableD),
    KEY_TABLE(WND_KEY_TABLE_F, kTableF1),
};
constexpr tKeyTable kScanToKeyOrder[] = {
    KEY_TABLE(WND_KEY_TABLE_A, kTableA),
    KEY_TABLE(WND_KEY_TABLE_B, kTableB),
    KEY_TABLE(WND_KEY_TABLE_E, kTableE),
    KEY_TABLE(WND_KEY_TABLE_C, kTableC),
    KEY_TABLE(WND_KEY_TABLE_D, kTableD),
    KEY_TABLE(WND_KEY_TABLE_F, kTableF2),
};
#undef KEY_TABLE

// The other half of the first pair whose `from` half is ulCode; 0 when none.
ULONG FindPair(const tKeyScanPair* pTable, ULONG ulTableSize, ULONG ulCode, ULONG tKeyScanPair::*from,
               ULONG tKeyScanPair::*to)
{
  if (pTable == nullptr) {
    return 0;
  }
  for (ULONG i = 0; i < ulTableSize / sizeof(tKeyScanPair); ++i) {
    if (pTable[i].*from == ulCode) {
      return pTable[i].*to;
    }
  }
  return 0;
}

// A found 0 counts as not found: the next selected table is tried.
template <size_t N>
ULONG SearchTables(const tKeyTable (&order)[N], ULONG ulCode, ULONG ulFlags,
                   ULONG (*pfnFind)(ULONG, const tKeyScanPair*, ULONG))
{
  ULONG ulResult = 0;
  for (const tKeyTable& t : order) {
    if (ulResult == 0 && (ulFlags & t.ulFlag) != 0) {
      ulResult = pfnFind(ulCode, t.pTable, t.ulSize);
    }
  }
  return ulResult;
}

USHORT ReadLe16(const unsigned char* p)
{
  return (USHORT)(p[0] | (p[1] << 8));
}

// Vendor, product and revision under the model's mask; the key is 12 bytes.
BOOL MatchUsbIdentity(const tModelInfo* pModel, const unsigned char* pKey)
{
  if (ReadLe16(pKey + 4) != pModel->usVid || ReadLe16(pKey + 6) != pModel->usPid) {
    return FALSE;
  }
  if (pModel->usBcdDevice == 0) {
    return TRUE;   // any revision
  }
  return (ReadLe16(pKey + 8) & pModel->usBcdMask) == (pModel->usBcdDevice & pModel->usBcdMask);
}

}  // namespace

BOOL WndMatchUsb(const tModelInfo* pModel, ULONG ulKeySize, const void* pKey)
{
  if (pModel == nullptr || pKey == nullptr || ulKeySize != sizeof(tUsbModelKey)) {
    return FALSE;
  }
  return MatchUsbIdentity(pModel, static_cast<const unsigned char*>(pKey));
}

BOOL WndMatchUsbCache(const tModelInfo* pModel, ULONG ulKeySize, const void* pKey)
{
  if (pModel == nullptr || pKey == nullptr || ulKeySize != sizeof(tUsbModelCacheKey)) {
    return FALSE;
  }
  if (!MatchUsbIdentity(pModel, static_cast<const unsigned char*>(pKey))) {
    return FALSE;
  }
  const char* sKeyCache = static_cast<const tUsbModelCacheKey*>(pKey)->sCache;
  if (sKeyCache[0] == '\0' || pModel->sCache == nullptr || pModel->sCache[0] == '\0') {
    return TRUE;
  }
  // Bounded: the key's name need not be terminated within its 260 bytes.
  return strncmp(sKeyCache, pModel->sCache, WND_CACHE_NAME_SIZE) == 0;
}

BOOL WndMatchQuadId(const tModelInfo* pModel, ULONG ulQid, const char* sCache)
{
  if (pModel == nullptr || pModel->usQid != ulQid) {
    return FALSE;
  }
  if (sCache != nullptr && sCache[0] != '\0' && pModel->sCache != nullptr) {
    return strcmp(sCache, pModel->sCache) == 0;
  }
  return TRUE;
}

BOOL WndMatchPs2(const tModelInfo* pModel, ULONG ulPs2Id)
{
  if (pModel == nullptr) {
    return FALSE;
  }
  ULONG ulDevice = ulPs2Id & 0xFFFF;
  ULONG ulSub = ulPs2Id >> 16;
  ULONG ulClass = pModel->ulSectionId >> 24;
  if (pModel->ulDevId != 0 && pModel->ulDevId == ulDevice && ulClass == 3) {
    return TRUE;
  }
  return pModel->ulDevId == ulDevice && pModel->ulSubId == ulSub + 0x100 && ulClass == 2;
}

void WndRaiseModelId(const tModelInfo* pModel, ULONG* pulCandidate)
{
  if (pModel == nullptr || pulCandidate == nullptr) {
    return;
  }
  ULONG ulModel = pModel->ulSectionId;
  ULONG ulCandidate = *pulCandidate;
  if ((ulModel >> 24) == (ulCandidate >> 24) && (ulModel & 0xFFFFFF) >= (ulCandidate & 0xFFFFFF)) {
    *pulCandidate = (ulCandidate & 0xFF000000) | (((ulModel & 0xFFFFFF) + 1) & 0xFFFFFF);
  }
}

ULONG WndFindScanCode(ULONG ulKeyCode, const tKeyScanPair* pTable, ULONG ulTableSize)
{
  return FindPair(pTable, ulTableSize, ulKeyCode, &tKeyScanPair::ulKeyCode, &tKeyScanPair::ulScanCode);
}

ULONG WndFindKeyCode(ULONG ulScanCode, const tKeyScanPair* pTable, ULONG ulTableSize)
{
  return FindPair(pTable, ulTableSize, ulScanCode, &tKeyScanPair::ulScanCode, &tKeyScanPair::ulKeyCode);
}

ULONG WndTranslateKeyCode(ULONG ulKeyCode, ULONG ulFlags)
{
  return SearchTables(kKeyToScanOrder, ulKeyCode & WND_KEY_CODE_MASK, ulFlags, WndFindScanCode);
}

ULONG WndTranslateScanCode(ULONG ulScanCode, ULONG ulFlags)
{
  return SearchTables(kScanToKeyOrder, ulScanCode, ulFlags, WndFindKeyCode);
}
