// The merge of one file's text into the work area. Pure: no file access,
// heap through IniPlatform.h.
#include <cstring>

#include "models/IniMgr.h"
#include "models/IniPlatform.h"

void IniFreeModelTable(tModelInfo* pTable, ULONG ulCount)
{
  if (pTable == nullptr) {
    return;
  }
  for (ULONG i = 0; i < ulCount; ++i) {
    IniFreeModelInfo(&pTable[i]);
  }
  IniHeapFree(pTable);
}

// One finished section: unsupported list, or a model appended unless its
// numbers are taken already. Returns whether a model was added.
static bool IniMergeSection(IniWorkArea* pWork, ULONG** ppulUnsupported, ULONG* pulUnsupportedCount,
                            char* sSection, BOOL bWarnOverwrite)
{
  tModelInfo model = {};
  if (IniLoadUnsupportedSection(ppulUnsupported, pulUnsupportedCount, sSection)) {
    return false;
  }
  if (!IniLoadSection(&model, sSection)) {
    IniFreeModelInfo(&model);
    return false;
  }
  for (ULONG i = 0; i < pWork->ulCount; ++i) {
    const tModelInfo& old = pWork->pRecords[i];
    if (old.ulSectionId == model.ulSectionId && old.ulSectionSubId == model.ulSectionSubId) {
      IniFreeModelInfo(&model);
      if (bWarnOverwrite) {
        INI_WARNING_AS(INI_LOADER_NAME, "Model Overwrite (%08X-%X).\n", (unsigned)model.ulSectionId, (unsigned)model.ulSectionSubId);
      }
      return false;
    }
  }
  if (pWork->ulCount >= INI_MAX_MODELS) {
    INI_ERROR("Model table full (%u models): model (%08X-%X) dropped.\n", (unsigned)INI_MAX_MODELS,
              (unsigned)model.ulSectionId, (unsigned)model.ulSectionSubId);
    IniFreeModelInfo(&model);
    return false;
  }
  pWork->pRecords[pWork->ulCount++] = model;
  return true;
}

ULONG IniMergeText(IniWorkArea* pWork, ULONG** ppulUnsupported, ULONG* pulUnsupportedCount, char* sText,
                   BOOL bWarnOverwrite)
{
  if (pWork == nullptr || pWork->pRecords == nullptr || sText == nullptr) {
    INI_ERROR("NULL Pointer.");
    return 0;
  }
  ULONG ulAdded = 0;
  size_t ulLength = strlen(sText);
  char* pSection = nullptr;
  for (size_t i = 0; i < ulLength; ++i) {
    if (sText[i] == '[') {
      if (pSection != nullptr) {
        sText[i - 1] = '\0';
        if (IniMergeSection(pWork, ppulUnsupported, pulUnsupportedCount, pSection, bWarnOverwrite)) ulAdded++;
      }
      pSection = sText + i;
    }
    if (i == ulLength - 1 && pSection != nullptr) {
      // The last section ends before the text's last character.
      if (ulLength >= 2 && sText + ulLength - 2 >= pSection) {
        sText[ulLength - 2] = '\0';
      }
      if (IniMergeSection(pWork, ppulUnsupported, pulUnsupportedCount, pSection, bWarnOverwrite)) ulAdded++;
      pSection = nullptr;
    }
  }
  return ulAdded;
}
