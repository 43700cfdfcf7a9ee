// Event packets of the filter driver.
#include "plugin/MouEvent.h"

#include <cstring>

bool MouDecodeEventPacket(const void* pBuffer, uint32_t ulBytes, MouEventPacket* pPacket)
{
  *pPacket = MouEventPacket{};
  if (ulBytes < sizeof pPacket->ulId) {
    return false;
  }
  uint32_t ulWords[2] = {};
  memcpy(ulWords, pBuffer, ulBytes < sizeof ulWords ? ulBytes : sizeof ulWords);
  pPacket->ulId = ulWords[0];
  pPacket->ulState = ulWords[1];
  return true;
}

uint32_t MouChordingReport(uint32_t ulState)
{
  switch (ulState) {
  case 1: return MOU_CHORDING_PRESSED;
  case 0: return MOU_CHORDING_RELEASED;
  default: return 0;
  }
}
