// A model file as the loader reads it: plain (";DRAV" first) or enciphered,
// then comments removed and the sections merged, once with every allocation
// granted and once with one of the first 16 refused. A plain text must also
// come back unchanged through the envelope.
#include <cstdlib>
#include <cstring>

#include "models/IniMgr.h"
#include "models/IniPlatform.h"

#define CHECK(cond) ((cond) ? (void)0 : abort())

static void Merge(const char* pText, size_t ulLength)
{
  static tModelInfo s_Records[INI_MAX_MODELS];
  char* sText = static_cast<char*>(malloc(ulLength + 1));
  memcpy(sText, pText, ulLength + 1);
  CHECK(IniStripComments(sText) == strlen(sText));
  IniWorkArea work = { s_Records, 0 };
  ULONG* pUnsupported = nullptr;
  ULONG ulUnsupported = 0;
  IniMergeText(&work, &pUnsupported, &ulUnsupported, sText, TRUE);
  CHECK(work.ulCount <= INI_MAX_MODELS && (pUnsupported != nullptr || ulUnsupported == 0));
  for (ULONG k = 1; k < ulUnsupported; ++k) CHECK(pUnsupported[k - 1] <= pUnsupported[k]);
  for (ULONG i = 0; i < work.ulCount; ++i) IniFreeModelInfo(&s_Records[i]);   // key sequences: fuzz_values
  IniHeapFree(pUnsupported);
  free(sText);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t ulSize)
{
  char* pText = nullptr;
  size_t n = 0, ulImage = 0;
  BOOL bCheck = FALSE;
  if (ulSize >= 5 && memcmp(pData, INI_PLAIN_SIGNATURE, 5) == 0) {
    uint8_t* pImage = IniEnvelopeSeal(reinterpret_cast<const char*>(pData), ulSize, &ulImage);
    CHECK(IniEnvelopeOpen(pImage, ulImage, &pText, &n, &bCheck) && bCheck && n == ulSize && !memcmp(pText, pData, n));
    IniHeapFree(pImage);
  } else if (IniEnvelopeOpen(pData, ulSize, &pText, &n, &bCheck)) {
    CHECK((n + 7) / 8 * 8 + INI_ENVELOPE_OVERHEAD == ulSize && pText[n] == '\0');
  } else {
    return 0;
  }
  Merge(pText, n);
  IniSetAllocationFailure(1 + ulSize % 16);
  Merge(pText, n);
  IniSetAllocationFailure(0);
  IniHeapFree(pText);
  return 0;
}
