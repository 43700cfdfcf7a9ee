// Ring arithmetic and record coding of the debug viewer channel.
#include "diag/BsRing.h"

#include <cstring>

uint32_t BsRingTextLength(size_t cchLine)
{
  return cchLine + 1 >= BS_MAX_TEXT ? BS_MAX_TEXT : (uint32_t)cchLine + 1;
}

bool BsRingFreeSpace(uint32_t ulHead, uint32_t ulTail, int32_t* plFree)
{
  if (ulHead >= BS_RING_SIZE || ulTail >= BS_RING_SIZE) {
    return false;
  }
  int64_t llFree = (int64_t)(ulTail > ulHead ? ulTail : ulTail + BS_RING_SIZE) - ulHead - BS_RING_SPARE;
  if (llFree < 0 || llFree > BS_RING_SIZE) {
    return false;
  }
  *plFree = (int32_t)llFree;
  return true;
}

char BsRingRecordType(uint32_t ulCategory)
{
  if (ulCategory & 0x08000000) {
    return BS_TYPE_ERROR;
  }
  if (ulCategory & 0x04000000) {
    return BS_TYPE_WARNING;
  }
  return BS_TYPE_OTHER;
}

bool BsRingIsRecordType(uint8_t ucType)
{
  return ucType == (uint8_t)BS_TYPE_ERROR || ucType == (uint8_t)BS_TYPE_WARNING || ucType == (uint8_t)BS_TYPE_OTHER;
}

void BsRingCopyIn(uint8_t* pRing, uint32_t ulPos, const void* pSrc, uint32_t cb)
{
  ulPos %= BS_RING_SIZE;
  uint32_t cbFirst = BS_RING_SIZE - ulPos < cb ? BS_RING_SIZE - ulPos : cb;
  memcpy(pRing + ulPos, pSrc, cbFirst);
  memcpy(pRing, static_cast<const uint8_t*>(pSrc) + cbFirst, cb - cbFirst);
}

void BsRingCopyOut(const uint8_t* pRing, uint32_t ulPos, void* pDst, uint32_t cb)
{
  ulPos %= BS_RING_SIZE;
  uint32_t cbFirst = BS_RING_SIZE - ulPos < cb ? BS_RING_SIZE - ulPos : cb;
  memcpy(pDst, pRing + ulPos, cbFirst);
  memcpy(static_cast<uint8_t*>(pDst) + cbFirst, pRing, cb - cbFirst);
}

void BsRingBeginRecord(uint8_t* pRing, uint32_t ulPos)
{
  __atomic_store_n(pRing + ulPos % BS_RING_SIZE, (uint8_t)0, __ATOMIC_RELAXED);
}

void BsRingFinishRecord(uint8_t* pRing, uint32_t ulPos, char cType, uint32_t ulPid, uint32_t ulSequence,
                        uint64_t ullStamp, const char* sLine, uint32_t ulTextLength)
{
  ulPos %= BS_RING_SIZE;
  if (ulTextLength == 0) {
    ulTextLength = 1;
  } else if (ulTextLength > BS_MAX_TEXT) {
    ulTextLength = BS_MAX_TEXT;
  }
  uint8_t header[BS_REC_TEXT - BS_REC_TYPE];
  header[0] = (uint8_t)cType;
  memcpy(header + (BS_REC_PID - BS_REC_TYPE), &ulPid, 4);
  memcpy(header + (BS_REC_SEQUENCE - BS_REC_TYPE), &ulSequence, 4);
  memcpy(header + (BS_REC_STAMP - BS_REC_TYPE), &ullStamp, 8);
  BsRingCopyIn(pRing, BsRingAdvance(ulPos, BS_REC_TYPE), header, sizeof header);
  uint32_t ulText = BsRingAdvance(ulPos, BS_REC_TEXT);
  BsRingCopyIn(pRing, ulText, sLine, ulTextLength - 1);
  pRing[BsRingAdvance(ulText, ulTextLength - 1)] = 0;
  pRing[BsRingAdvance(ulText, ulTextLength)] = (uint8_t)(ullStamp & 0xFF);
  // Readers take the record once the length byte is set: everything else first.
  __atomic_store_n(pRing + ulPos, (uint8_t)ulTextLength, __ATOMIC_RELEASE);
}

BsRecordStatus BsRingPeekRecord(const uint8_t* pRing, uint32_t ulPos, uint32_t ulUsed, uint32_t* pulSize,
                                char* pcType)
{
  ulPos %= BS_RING_SIZE;
  uint8_t ucLength = __atomic_load_n(pRing + ulPos, __ATOMIC_ACQUIRE);
  if (ucLength == 0) {
    return BS_RECORD_UNPUBLISHED;
  }
  uint8_t ucType = pRing[BsRingAdvance(ulPos, BS_REC_TYPE)];
  if (!BsRingIsRecordType(ucType)) {
    return BS_RECORD_BAD_TYPE;
  }
  if (ucLength > BS_MAX_TEXT) {
    return BS_RECORD_BAD_LENGTH;
  }
  uint32_t ulSize = BsRingRecordSize(ucLength);
  if (ulSize > ulUsed) {
    return BS_RECORD_PAST_HEAD;
  }
  *pulSize = ulSize;
  *pcType = (char)ucType;
  return BS_RECORD_OK;
}

BsRecordStatus BsRingReadRecord(const uint8_t* pRing, uint32_t ulPos, uint32_t ulUsed, BsRecord* pRecord)
{
  uint32_t ulSize = 0;
  char cType = 0;
  BsRecordStatus status = BsRingPeekRecord(pRing, ulPos, ulUsed, &ulSize, &cType);
  if (status != BS_RECORD_OK) {
    return status;
  }
  uint8_t header[BS_REC_TEXT - BS_REC_TYPE];
  BsRingCopyOut(pRing, BsRingAdvance(ulPos, BS_REC_TYPE), header, sizeof header);
  pRecord->ulLength = ulSize - BS_RECORD_OVERHEAD;
  pRecord->cType = cType;
  memcpy(&pRecord->ulPid, header + (BS_REC_PID - BS_REC_TYPE), 4);
  memcpy(&pRecord->ulSequence, header + (BS_REC_SEQUENCE - BS_REC_TYPE), 4);
  memcpy(&pRecord->ullStamp, header + (BS_REC_STAMP - BS_REC_TYPE), 8);
  uint32_t ulText = BsRingAdvance(ulPos, BS_REC_TEXT);
  BsRingCopyOut(pRing, ulText, pRecord->sText, pRecord->ulLength);
  pRecord->sText[pRecord->ulLength - 1] = '\0';   // a torn record must still end
  pRecord->ucCheck = pRing[BsRingAdvance(ulText, pRecord->ulLength)];
  if (pRecord->ucCheck != (uint8_t)(pRecord->ullStamp & 0xFF)) {
    return BS_RECORD_BAD_CHECK;
  }
  return BS_RECORD_OK;
}
