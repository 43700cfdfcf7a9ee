// An event packet as the driver's read returns it, decoded and traced in hex
// as the plug-in does.
#include <cstdlib>
#include <cstring>

#include "diag/TraceFormat.h"
#include "plugin/MouEvent.h"

#define CHECK(cond) ((cond) ? (void)0 : abort())

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t ulSize)
{
  MouEventPacket packet;
  CHECK(MouDecodeEventPacket(pData, (uint32_t)ulSize, &packet) == (ulSize >= 4));
  uint32_t ulReport = MouChordingReport(packet.ulState);
  CHECK(ulReport == 0 || ulReport == MOU_CHORDING_PRESSED || ulReport == MOU_CHORDING_RELEASED);
  for (size_t ulDone = 0; ulDone < ulSize; ulDone += 20) {
    char sHex[20 * 3 + 1];
    size_t ulChunk = ulSize - ulDone < 20 ? ulSize - ulDone : 20;
    TraceFormatHexChunk(sHex, sizeof sHex, pData + ulDone, ulChunk);
    CHECK(strlen(sHex) == ulChunk * 3);
  }
  return 0;
}
