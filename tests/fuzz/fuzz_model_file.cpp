// A model file as the loader reads it: plain (";DRAV" first) or enciphered,
// then comments removed and the sections merged. A plain text must also come
// back unchanged through the envelope.
#include <cstdlib>
#include <cstring>

#include "models/IniMgr.h"
#include "models/IniPlatform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t ulSize)
{
  char* pText = nullptr;
  size_t ulLength = 0;
  BOOL bCheck = FALSE;
  if (ulSize >= 5 && memcmp(pData, INI_PLAIN_SIGNATURE, 5) == 0) {
    size_t ulImage = 0;
    uint8_t* pImage = IniEnvelopeSeal(reinterpret_cast<const char*>(pData), ulSize, &ulImage);
    if (!IniEnvelopeOpen(pImage, ulImage, &pText, &ulLength, &bCheck) || !bCheck || ulLength != ulSize ||
        memcmp(pText, pData, ulSize) != 0) {
      abort();
    }
    IniHeapFree(pImage);
  } else if (!IniEnvelopeOpen(pData, ulSize, &pText, &ulLength, &bCheck)) {
    return 0;
  }
  static tModelInfo s_Records[INI_MAX_MODELS];
  IniWorkArea work = { s_Records, 0 };
  ULONG* pUnsupported = nullptr;
  ULONG ulUnsupported = 0;
  IniStripComments(pText);
  IniMergeText(&work, &pUnsupported, &ulUnsupported, pText, TRUE);
  for (ULONG i = 0; i < work.ulCount; ++i) IniFreeModelInfo(&s_Records[i]);
  IniHeapFree(pUnsupported);
  IniHeapFree(pText);
  return 0;
}
