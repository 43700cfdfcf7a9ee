// A device-change broadcast: a block of exactly the bytes its size field
// claims (the input's first word, cut to what the input holds).
#include <cstdlib>
#include <cstring>

#include "framework/UmdBroadcast.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t ulSize)
{
  if (ulSize < 4) {
    return 0;
  }
  uint32_t ulClaimed = 0;
  memcpy(&ulClaimed, pData, 4);
  uint32_t ulBlock = ulClaimed < 4 ? 4 : ulClaimed < ulSize ? ulClaimed : (uint32_t)ulSize;
  auto* pBlock = static_cast<uint8_t*>(malloc(ulBlock));
  memcpy(pBlock, pData, ulBlock);
  memcpy(pBlock, ulClaimed < ulBlock ? &ulClaimed : &ulBlock, 4);
  UmdBroadcast b;
  if (UmdDecodeBroadcast(pBlock, &b) == UMD_BROADCAST_INTERFACE &&
      (b.cchPath > b.cbPath || b.cbPath + UMD_BROADCAST_INTERFACE_HEAD_SIZE != ulBlock)) {
    abort();
  }
  free(pBlock);
  return 0;
}
