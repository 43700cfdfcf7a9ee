#include "simdrv/DrvAnswers.h"

namespace {

// Get reply length (0 = no get) and set payload length (0 = no set); VARIABLE
// is the acceleration form, a level plus curve points.
constexpr uint32_t VARIABLE = ~0u;
struct ParamSpec {
  uint32_t ulId;
  uint32_t ulGetLength;
  uint32_t ulSetLength;
};
constexpr ParamSpec kParams[] = {
  { 3102, 4, 4 }, { 3103, 4, 4 },  { 3105, 0, 4 },                { 3106, 16, 16 }, { 3107, 4, 4 },  { 3108, 20, 20 },
  { 3109, 0, 4 }, { 3111, VARIABLE, VARIABLE }, { 3114, 0, 4 }, { 3116, 8, 8 },   { 3117, 0, 8 }, { DRV_ID_TIME_STAMP, 8, 0 },
};
static_assert(sizeof kParams / sizeof kParams[0] == DRV_PARAM_COUNT);

int FindSpec(uint32_t ulId)
{
  for (uint32_t i = 0; i < DRV_PARAM_COUNT; ++i) {
    if (kParams[i].ulId == ulId) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

uint32_t ReadId(const void* pIn)
{
  uint32_t ulId;
  __builtin_memcpy(&ulId, pIn, 4);
  return ulId;
}

void Store(DrvParam& param, const void* pData, uint32_t ulSize)
{
  if (ulSize != 0) {
    __builtin_memcpy(param.Value, pData, ulSize);
  }
  param.ulSize = ulSize;
}

DrvResult AnswerGet(DrvParamStore* pStore, const void* pIn, uint32_t ulInSize, void* pOut, uint32_t ulOutSize,
                    uint32_t* pulReturned)
{
  if (ulInSize < 4 || pIn == nullptr) {
    return DRV_BAD_PARAMETER;
  }
  const uint32_t ulId = ReadId(pIn);
  const int i = FindSpec(ulId);
  if (i < 0 || kParams[i].ulGetLength == 0) {
    return DRV_BAD_PARAMETER;
  }
  DrvParam& param = pStore->Params[i];
  uint8_t Reply[DRV_MAX_PARAM_BYTES] = {};
  uint32_t ulLength;
  if (ulId == DRV_ID_TIME_STAMP) {
    // Every get counts, even one that cannot be answered.
    const uint64_t ullStamp = pStore->ullTimeStamp++;
    __builtin_memcpy(Reply, &ullStamp, 8);
    ulLength = 8;
  } else {
    ulLength = kParams[i].ulGetLength == VARIABLE ? param.ulSize : kParams[i].ulGetLength;
    __builtin_memcpy(Reply, param.Value, param.ulSize < ulLength ? param.ulSize : ulLength);
  }
  if (param.ulReplyLength < ulLength) {
    ulLength = param.ulReplyLength;
  }
  if (ulOutSize < ulLength || (pOut == nullptr && ulLength != 0)) {
    return DRV_BUFFER_TOO_SMALL;
  }
  if (ulLength != 0) {
    __builtin_memcpy(pOut, Reply, ulLength);
  }
  *pulReturned = ulLength;
  return DRV_OK;
}

DrvResult AnswerSet(DrvParamStore* pStore, const void* pIn, uint32_t ulInSize)
{
  if (ulInSize < 4 || pIn == nullptr) {
    return DRV_BAD_PARAMETER;
  }
  const int i = FindSpec(ReadId(pIn));
  if (i < 0 || kParams[i].ulSetLength == 0) {
    return DRV_BAD_PARAMETER;
  }
  const uint32_t ulPayload = ulInSize - 4;
  if (kParams[i].ulSetLength == VARIABLE) {
    if (ulPayload < 4 || ulPayload > DRV_MAX_PARAM_BYTES || ulPayload % 4 != 0) {
      return DRV_BAD_PARAMETER;
    }
  } else if (ulPayload != kParams[i].ulSetLength) {
    return DRV_BAD_PARAMETER;
  }
  Store(pStore->Params[i], static_cast<const uint8_t*>(pIn) + 4, ulPayload);
  return DRV_OK;
}

void StoreWords(DrvParamStore* pStore, uint32_t ulId, uint32_t ulWords, uint32_t ulFirst = 0, uint32_t ulSecond = 0)
{
  const uint32_t Words[5] = { ulFirst, ulSecond };
  Store(pStore->Params[FindSpec(ulId)], Words, ulWords * 4);
}

}  // namespace

void DrvStoreInit(DrvParamStore* pStore)
{
  for (DrvParam& param : pStore->Params) {
    param.ulSize = 0;
    param.ulReplyLength = DRV_REPLY_NORMAL;
  }
  StoreWords(pStore, 3102, 1, 0x10001000);   // speed 50 on both axes
  StoreWords(pStore, 3103, 1);               // orientation
  StoreWords(pStore, 3105, 1);               // processing
  StoreWords(pStore, 3106, 4);               // wheel acceleration off
  StoreWords(pStore, 3107, 1, 0x01000100);   // wheel speed 1.0, offset 1.0
  StoreWords(pStore, 3108, 5);               // wheel filter
  StoreWords(pStore, 3109, 1);               // chording
  StoreWords(pStore, 3111, 1);               // acceleration level 0, no curve
  StoreWords(pStore, 3114, 1);               // report rate
  StoreWords(pStore, 3116, 2, 0, 1);         // wheel resolution off, x1
  StoreWords(pStore, 3117, 2);               // in-use event
  pStore->ullTimeStamp = 0x100000000ull;
}

bool DrvStoreSet(DrvParamStore* pStore, uint32_t ulId, const void* pData, uint32_t ulSize)
{
  const int i = FindSpec(ulId);
  if (i < 0 || ulId == DRV_ID_TIME_STAMP || ulSize > DRV_MAX_PARAM_BYTES || (pData == nullptr && ulSize != 0)) {
    return false;
  }
  Store(pStore->Params[i], pData, ulSize);
  return true;
}

uint32_t DrvStoreGet(const DrvParamStore* pStore, uint32_t ulId, void* pOut, uint32_t ulOutSize)
{
  const int i = FindSpec(ulId);
  if (i < 0) {
    return 0;
  }
  const DrvParam& param = pStore->Params[i];
  if (pOut != nullptr && param.ulSize != 0) {
    __builtin_memcpy(pOut, param.Value, param.ulSize < ulOutSize ? param.ulSize : ulOutSize);
  }
  return param.ulSize;
}

bool DrvStoreSetReplyLength(DrvParamStore* pStore, uint32_t ulId, uint32_t ulLength)
{
  const int i = FindSpec(ulId);
  if (i < 0) {
    return false;
  }
  pStore->Params[i].ulReplyLength = ulLength;
  return true;
}

DrvResult DrvAnswer(DrvParamStore* pStore, uint32_t ulIoctl, const void* pIn, uint32_t ulInSize, void* pOut,
                    uint32_t ulOutSize, uint32_t* pulReturned)
{
  *pulReturned = 0;
  switch (ulIoctl) {
  case DRV_IOCTL_REGISTER:
  case DRV_IOCTL_UNREGISTER:
    if (ulInSize < 4 || pIn == nullptr) {
      return DRV_BAD_PARAMETER;
    }
    return ReadId(pIn) == DRV_ID_EVENT_CHORDING_BUTTON ? DRV_OK : DRV_BAD_PARAMETER;
  case DRV_IOCTL_GET:
    return AnswerGet(pStore, pIn, ulInSize, pOut, ulOutSize, pulReturned);
  case DRV_IOCTL_SET:
    return AnswerSet(pStore, pIn, ulInSize);
  default:
    return DRV_UNKNOWN_REQUEST;
  }
}
