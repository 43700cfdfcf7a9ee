// One model-file value: its first line names a capability, the rest is read
// as a key sequence, as a capability text and as a "DEPTH" placement.
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/UmdIdentify.h"
#include "models/IniMgr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t ulSize)
{
  std::string input(reinterpret_cast<const char*>(pData), ulSize);
  size_t ulBreak = input.find('\n');
  std::string name = input.substr(0, ulBreak == std::string::npos ? 0 : ulBreak);
  std::string value = input.substr(ulBreak == std::string::npos ? 0 : ulBreak + 1);
  // Exact-size heap copies: a read past a terminator is caught.
  char* sName = strdup(name.c_str());
  char* sValue = strdup(value.c_str());

  static tKeySequence s_Sequence;
  if (ParseKeySequence(&s_Sequence, sValue) &&
      (s_Sequence.ulLength > KEY_SEQUENCE_MAX_STEP_BYTES || s_Sequence.ulLength % 4 != 0)) {
    abort();
  }
  ULONG ulHex = 0;
  const char* pEnd = ParseHexToken(&ulHex, sValue);
  if (pEnd != nullptr && (pEnd < sValue || pEnd > sValue + strlen(sValue))) {
    abort();
  }
  ULONG ulOverride = IniParseIntValue(sValue, sName);
  const uint8_t kPlaces[][2] = { { 0, 0 }, { 1, 0 }, { 0, 2 }, { 3, 15 }, { 16, 0 }, { 0, 255 } };
  for (const auto& place : kPlaces) {
    UmdPlacement placement;
    UmdApplyDepthOverride(ulOverride, place[0], place[1], UMD_RECEIVER_SLOT_BASE + 1, &placement);
    if (placement.ulStepCount > 3 || placement.ulDepth > 15 || placement.ulTypeOverride > 15) {
      abort();
    }
  }
  free(sName);
  free(sValue);
  return 0;
}
