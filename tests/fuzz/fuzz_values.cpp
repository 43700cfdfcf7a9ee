// One model-file value: its first line names a capability, the rest is read
// as a key sequence, as a capability text and as a "DEPTH" placement.
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/UmdIdentify.h"
#include "models/IniMgr.h"

#define CHECK(cond) ((cond) ? (void)0 : abort())

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t ulSize)
{
  std::string input(reinterpret_cast<const char*>(pData), ulSize);
  size_t ulBreak = input.find('\n');
  // Exact-size heap copies: a read past a terminator is caught.
  char* sName = strdup(input.substr(0, ulBreak == std::string::npos ? 0 : ulBreak).c_str());
  char* sValue = strdup(input.substr(ulBreak == std::string::npos ? 0 : ulBreak + 1).c_str());
  static tKeySequence s_Sequence;
  if (ParseKeySequence(&s_Sequence, sValue)) {
    CHECK(s_Sequence.ulLength <= KEY_SEQUENCE_MAX_STEP_BYTES && s_Sequence.ulLength % 4 == 0);
  }
  ULONG ulHex = 0;
  const char* pEnd = ParseHexToken(&ulHex, sValue);
  CHECK(pEnd == nullptr || (pEnd >= sValue + 3 && pEnd <= sValue + strlen(sValue)));
  ULONG ulOverride = IniParseIntValue(sValue, sName);
  const uint8_t kPlaces[][2] = { { 0, 0 }, { 1, 0 }, { 0, 2 }, { 3, 15 }, { 16, 0 }, { 0, 255 } };
  for (const auto& place : kPlaces) {
    UmdPlacement p;
    UmdApplyDepthOverride(ulOverride, place[0], place[1], UMD_RECEIVER_SLOT_BASE + 1, &p);
    CHECK(p.ulStepCount <= 3 && p.ulDepth <= 15 && p.ulTypeOverride <= 15);
  }
  free(sName);
  free(sValue);
  return 0;
}
