// The viewer's ring as another process may have left it: head and tail words,
// then the bytes from the tail on (wrapping); the rest of the ring is zero.
// The records are taken as the viewer and a poster dropping old ones do.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diag/BsRing.h"

#define CHECK(cond) ((cond) ? (void)0 : abort())

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t ulSize)
{
  static std::vector<uint8_t> s_Ring(BS_RING_SIZE);
  uint32_t ulHead = 0, ulTail = 0;
  int32_t lFree = 0;
  if (ulSize < 8) {
    return 0;
  }
  memcpy(&ulHead, pData, 4);
  memcpy(&ulTail, pData + 4, 4);
  if (!BsRingFreeSpace(ulHead, ulTail, &lFree)) {
    return 0;   // the viewer repairs such positions without reading
  }
  CHECK(lFree >= 0 && lFree <= (int32_t)BS_RING_SIZE);
  uint8_t* pRing = s_Ring.data();
  memset(pRing, 0, BS_RING_SIZE);
  BsRingCopyIn(pRing, ulTail, pData + 8, (uint32_t)(ulSize - 8 < BS_RING_SIZE ? ulSize - 8 : BS_RING_SIZE));
  while (ulTail != ulHead) {
    uint32_t ulUsed = BsRingUsed(ulHead, ulTail), ulPeekSize = 0;
    char cType = 0;
    BsRecordStatus peek = BsRingPeekRecord(pRing, ulTail, ulUsed, &ulPeekSize, &cType);
    BsRecord rec;
    BsRecordStatus status = BsRingReadRecord(pRing, ulTail, ulUsed, &rec);
    if (status != BS_RECORD_OK && status != BS_RECORD_BAD_CHECK) {
      CHECK(status == peek);
      break;
    }
    uint32_t ulRecord = BsRingRecordSize(rec.ulLength);
    CHECK(peek == BS_RECORD_OK && ulPeekSize == ulRecord && ulRecord <= ulUsed && strlen(rec.sText) < rec.ulLength);
    ulTail = BsRingAdvance(ulTail, ulRecord);
  }
  return 0;
}
