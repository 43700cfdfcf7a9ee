// A device instance ID as discovery hands it over: cut at its terminator and
// upper-cased.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "framework/UmdIdentify.h"

#define CHECK(cond) ((cond) ? (void)0 : abort())

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t ulSize)
{
  char* sId = static_cast<char*>(malloc(ulSize + 1));
  for (size_t i = 0; i < ulSize; ++i) sId[i] = (char)toupper(pData[i]);
  sId[ulSize] = '\0';
  UmdIdentification id;
  UmdParseInstanceId(sId, &id);
  for (const UmdIdField& field : id.Fields) CHECK(strlen(field.sText) <= 4 && (field.bMarker || !field.bRead));
  CHECK(id.bIdentified == (id.Fields[UMD_ID_VID].bRead && id.Fields[UMD_ID_PID].bRead));
  free(sId);
  return 0;
}
