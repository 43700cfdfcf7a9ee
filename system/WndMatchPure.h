// Model comparisons and key-code tables without any system call: the traced
// services of WndMgr wrap these, and the native sanitizer build tests them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "models/ModelInfo.h"

// USB model key as discovery builds it (12 bytes, 16-bit fields
// little-endian); the zero words are not compared.
struct tUsbModelKey {
  ULONG ulZero;
  USHORT usVid;
  USHORT usPid;
  USHORT usRevision;   // USB release number of the device
  USHORT usZero;
};
static_assert(sizeof(tUsbModelKey) == 12, "USB model key is 12 bytes");

// The same key followed by a cache name.
constexpr size_t WND_CACHE_NAME_SIZE = 260;
struct tUsbModelCacheKey {
  tUsbModelKey key;
  char sCache[WND_CACHE_NAME_SIZE];
};
static_assert(sizeof(tUsbModelCacheKey) == 272, "USB model key with cache name is 272 bytes");

// One pair of a translation table.
struct tKeyScanPair {
  ULONG ulKeyCode;    // usage page in bits 16-23, usage in bits 0-15
  ULONG ulScanCode;
};

// Flag bits of a translation mask, one per table (0x20 picks F1 from key to
// scan code and F2 the other way).
enum : ULONG {
  WND_KEY_TABLE_A = 0x01,
  WND_KEY_TABLE_B = 0x02,
  WND_KEY_TABLE_C = 0x04,
  WND_KEY_TABLE_D = 0x08,
  WND_KEY_TABLE_E = 0x10,
  WND_KEY_TABLE_F = 0x20,
};
constexpr ULONG WND_KEY_CODE_MASK = 0x00FFFFFF;

// Comparisons: a null model or key never matches.
BOOL WndMatchUsb(const tModelInfo* pModel, ULONG ulKeySize, const void* pKey);
BOOL WndMatchUsbCache(const tModelInfo* pModel, ULONG ulKeySize, const void* pKey);
BOOL WndMatchQuadId(const tModelInfo* pModel, ULONG ulQid, const char* sCache);
BOOL WndMatchPs2(const tModelInfo* pModel, ULONG ulPs2Id);
// Raises *pulCandidate past the model's number when both are of one class.
void WndRaiseModelId(const tModelInfo* pModel, ULONG* pulCandidate);

// First pair of the table (ulTableSize bytes) with that code; 0 when none.
ULONG WndFindScanCode(ULONG ulKeyCode, const tKeyScanPair* pTable, ULONG ulTableSize);
ULONG WndFindKeyCode(ULONG ulScanCode, const tKeyScanPair* pTable, ULONG ulTableSize);

// The searches over the tables selected by the mask, in their fixed order;
// the key code's top 8 bits are ignored.
ULONG WndTranslateKeyCode(ULONG ulKeyCode, ULONG ulFlags);
ULONG WndTranslateScanCode(ULONG ulScanCode, ULONG ulFlags);
