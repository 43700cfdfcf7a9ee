// Identification numbers from instance IDs and the "DEPTH" placement.
#include "framework/UmdIdentify.h"

#include <cstring>

namespace {

struct MarkerSpec {
  const char* sMarker;
  const char* sFallback;   // tried when the marker does not occur
  uint32_t ulChars;
};

const MarkerSpec kMarkers[UMD_ID_FIELD_COUNT] = {
  { "VID_", "VID&0002", 4 }, { "PID_", "PID&", 4 }, { "REV_", nullptr, 4 },
  { "MI_", nullptr, 2 },     { "WI_", nullptr, 2 }, { "COL", nullptr, 2 },
};

int HexDigit(char c)
{
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void ReadField(const char* sText, const MarkerSpec& spec, UmdIdField* pField)
{
  *pField = UmdIdField{};
  const char* p = strstr(sText, spec.sMarker);
  size_t cbMarker = strlen(spec.sMarker);
  if (p == nullptr && spec.sFallback != nullptr) {
    p = strstr(sText, spec.sFallback);
    cbMarker = strlen(spec.sFallback);
  }
  if (p == nullptr) {
    return;
  }
  pField->bMarker = true;
  p += cbMarker;
  // The copy stops at the text's end: a marker at the very end gives an empty field.
  uint32_t n = 0;
  while (n < spec.ulChars && p[n] != '\0') {
    pField->sText[n] = p[n];
    ++n;
  }
  pField->sText[n] = '\0';
  uint32_t ulValue = 0;
  uint32_t digits = 0;
  for (; digits < n && HexDigit(pField->sText[digits]) >= 0; ++digits) {
    ulValue = ulValue * 16 + (uint32_t)HexDigit(pField->sText[digits]);
  }
  if (digits > 0) {
    pField->bRead = true;
    pField->ulValue = ulValue;
  }
}

}  // namespace

void UmdParseInstanceId(const char* sUpper, UmdIdentification* pId)
{
  *pId = UmdIdentification{};
  pId->ucTqIndex = UMD_NO_RECEIVER_SLOT;
  pId->bSingleInterface = true;
  if (sUpper == nullptr) {
    return;
  }
  for (int i = 0; i < UMD_ID_FIELD_COUNT; ++i) {
    ReadField(sUpper, kMarkers[i], &pId->Fields[i]);
  }
  const UmdIdField* f = pId->Fields;
  if (f[UMD_ID_VID].bRead) pId->usVid = (uint16_t)f[UMD_ID_VID].ulValue;
  if (f[UMD_ID_PID].bRead) pId->usPid = (uint16_t)f[UMD_ID_PID].ulValue;
  if (f[UMD_ID_REV].bRead) pId->usRev = (uint16_t)f[UMD_ID_REV].ulValue;
  if (f[UMD_ID_MI].bMarker) {
    pId->bSingleInterface = false;
    if (f[UMD_ID_MI].bRead) pId->ucInterface = (uint8_t)f[UMD_ID_MI].ulValue;
  }
  if (f[UMD_ID_WI].bRead) pId->ucTqIndex = (uint8_t)f[UMD_ID_WI].ulValue;
  if (f[UMD_ID_COL].bRead) pId->ucCollection = (uint8_t)f[UMD_ID_COL].ulValue;
  pId->bIdentified = f[UMD_ID_VID].bRead && f[UMD_ID_PID].bRead;
}

void UmdApplyDepthOverride(uint32_t ulOverride, uint8_t ucInterface, uint8_t ucCollection, uint32_t ulIndex,
                           UmdPlacement* pPlacement)
{
  *pPlacement = UmdPlacement{};
  pPlacement->ulDepth = ulOverride & 0xF;
  pPlacement->ulTypeOverride = (ulOverride >> 4) & 0xF;
  for (uint32_t shift = 8; shift < 32; shift += 8) {
    uint8_t ucByte = (uint8_t)(ulOverride >> shift);
    if (ucByte == 0) {
      continue;
    }
    UmdOverrideStep& step = pPlacement->Steps[pPlacement->ulStepCount++];
    step.ucByte = ucByte;
    step.ulIndexBefore = ulIndex;
    step.outcome = UMD_OVERRIDE_NO_MATCH;
    uint32_t ulSelector = ucByte >> 4;
    if (ucCollection > 15 || ucInterface > 15) {
      step.outcome = UMD_OVERRIDE_TOO_LARGE;
    } else if (ucCollection != 0 && ucCollection == ulSelector) {
      step.outcome = UMD_OVERRIDE_COLLECTION;
      ulIndex = ucByte & 0xF;
    } else if (ucCollection == 0 && ucInterface == ulSelector) {
      step.outcome = UMD_OVERRIDE_INTERFACE;
      ulIndex = ucByte & 0xF;
    }
    step.ulIndexAfter = ulIndex;
  }
  pPlacement->ulIndex = ulIndex;
}
